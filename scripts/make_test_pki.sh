#!/usr/bin/env bash
# Makes a throw-away PKI for the tests and the emulated acquiring host in DIR:
#   DIR/ca.crt, ca.key          test CA (self-signed, SHA-256)
#   DIR/host.crt, host.key      host certificate for 127.0.0.1 signed by the CA
#                               (IP subjectAltName and CN 127.0.0.1); the terminal
#                               manager's too
#   DIR/sha256/SSLA SSLC SSLK   terminal files: CA chain, client certificate signed
#                               with SHA-256, client key
#   DIR/sha1/SSLA SSLC SSLK     the same with a client certificate signed with SHA-1
#   DIR/sha1/host.crt host.key  a host certificate of the older set-ups: 127.0.0.1,
#                               signed by the CA with SHA-1, a 1024-bit RSA key
#   DIR/named/host.crt host.key a host certificate of the CA that names the host only
#                               by the DNS name host.bank.example (for HOSTCERTNAME)
#   DIR/elsewhere/host.crt .key a certificate of the CA for elsewhere.example only:
#                               the bank's CA, but not the bank's host
#   DIR/rogue/host.crt host.key a host certificate for 127.0.0.1 from another CA,
#                               which the terminal's SSLA does not trust
# Usage: make_test_pki.sh DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
command -v openssl >/dev/null || { echo "openssl not found (scripts/deps.sh installs it)" >&2; exit 3; }
D=$1
mkdir -p "$D/sha256" "$D/sha1" "$D/named" "$D/elsewhere" "$D/rogue"
cd "$D"

# Past 2040, so that the tests can run the clock beyond January 2038.
days=9200
key() { openssl genrsa -traditional -out "$1" "${BITS:-2048}" 2>/dev/null; }

cat > ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[host]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1
[named]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:host.bank.example
[elsewhere]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:elsewhere.example
[terminal]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = clientAuth
CNF

mkca() {  # key cert subject
  key "$1"
  openssl req -new -x509 -sha256 -days $days -key "$1" -out "$2" -subj "$3" \
    -config ext.cnf -extensions ca 2>/dev/null
}
issue() {  # key cert subject section digest ca.crt ca.key serial
  key "$1"
  openssl req -new -key "$1" -subj "$3" -out "$1.csr" -config ext.cnf 2>/dev/null
  openssl x509 -req -in "$1.csr" -"$5" -days $days -CA "$6" -CAkey "$7" -set_serial "$8" \
    -extfile ext.cnf -extensions "$4" -out "$2" 2>/dev/null
  rm -f "$1.csr"
}

mkca ca.key ca.crt "/C=BY/O=RAVO Test/CN=RAVO Test CA"
issue host.key host.crt "/C=BY/O=RAVO Test/CN=127.0.0.1" host sha256 ca.crt ca.key 2
issue sha256/SSLK sha256/SSLC "/C=BY/O=RAVO Test/CN=TERM0001" terminal sha256 ca.crt ca.key 3
issue sha1/SSLK sha1/SSLC "/C=BY/O=RAVO Test/CN=TERM0001" terminal sha1 ca.crt ca.key 4
cp ca.crt sha256/SSLA
cp ca.crt sha1/SSLA
BITS=1024 issue sha1/host.key sha1/host.crt "/C=BY/O=RAVO Test/CN=127.0.0.1" host sha1 ca.crt ca.key 6
issue named/host.key named/host.crt "/C=BY/O=RAVO Test/CN=host.bank.example" named sha256 ca.crt ca.key 7
issue elsewhere/host.key elsewhere/host.crt "/C=BY/O=Elsewhere/CN=elsewhere.example" elsewhere sha256 ca.crt ca.key 8

mkca rogue/ca.key rogue/ca.crt "/C=BY/O=Elsewhere/CN=Other CA"
issue rogue/host.key rogue/host.crt "/C=BY/O=Elsewhere/CN=127.0.0.1" host sha256 rogue/ca.crt rogue/ca.key 5
rm -f ext.cnf

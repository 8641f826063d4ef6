#!/usr/bin/env bash
# The bank's side of signed software: appends the signature trailer that the
# payment library checks before it installs a library or a PIN-pad application
# delivered by the terminal manager, when the till holds SOFTSIGN.PEM.
#
#   scripts/sign_software.sh KEY.pem INPUT OUTPUT   sign INPUT into OUTPUT
#   scripts/sign_software.sh --public KEY.pem OUT    write the public key (the till's SOFTSIGN.PEM)
#   scripts/sign_software.sh --new-key KEY.pem       make a signing key (RSA 3072)
#
# OUTPUT is INPUT followed by the trailer:
#   signature (n bytes) | n (4 bytes, big-endian) | "RAVOSIG1"
# where the signature is `openssl dgst -sha256 -sign KEY.pem` over INPUT
# (RSA PKCS#1 v1.5 for an RSA key, ECDSA for an EC key). INPUT must not carry
# a trailer already. Serve OUTPUT to the till under the file's usual name.
set -euo pipefail
export LC_ALL=C

usage() {
  sed -n '5,7p' "$0" | sed 's/^# *//' >&2
  exit 2
}
command -v openssl >/dev/null || { echo "$0: openssl not found" >&2; exit 3; }
[ $# -ge 1 ] || usage

case $1 in
  --new-key)
    [ $# -eq 2 ] || usage
    (umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$2" 2>/dev/null)
    exit 0 ;;
  --public)
    [ $# -eq 3 ] || usage
    openssl pkey -in "$2" -pubout -out "$3"
    exit 0 ;;
esac

[ $# -eq 3 ] || usage
key=$1 in=$2 out=$3
magic=RAVOSIG1
if [ "$(tail -c 8 "$in")" = "$magic" ]; then
  echo "$0: $in is signed already" >&2
  exit 2
fi

tmp=$(mktemp)
trap 'rm -f "$tmp" "$tmp.sig"' EXIT
openssl dgst -sha256 -sign "$key" -out "$tmp.sig" "$in"
n=$(stat -c %s "$tmp.sig")
{
  cat "$in" "$tmp.sig"
  printf "\\x$(printf %02x $((n >> 24 & 255)))\\x$(printf %02x $((n >> 16 & 255)))"
  printf "\\x$(printf %02x $((n >> 8 & 255)))\\x$(printf %02x $((n & 255)))"
  printf '%s' "$magic"
} >"$tmp"
chmod --reference="$in" "$tmp"
mv "$tmp" "$out"

// host/netlayer.h
// The TLS client session over the module socket: the transport of the acquiring
// host and of the terminal manager. One connection serves one exchange.
// The trusted chain, the terminal's certificate and its key live here for the
// length of an operation; the kernel and the management session load them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mbedtls/x509_crt.h>

#include "host/tlsset.h"

// Marks the socket closed; called before any connection.
void NetLayer_Init();
// Prepares the TLS session and its configuration for the next connection; RES_OK or RES_TLS_SETUP.
int NetLayer_EnableSSL();
// Connects to a dotted IPv4 address and performs the TLS handshake. The peer's chain must verify
// against the trusted chain and its certificate must name certName, or the address itself when
// certName is null or empty (NetLayer_CertNamesPeer). RES_OK, RES_TLS_SETUP when the session
// could not be prepared, RES_HOST_CONNECT when TCP or the handshake failed or the peer was refused.
int NetLayer_Connect(const char* address, uint16_t port, const char* certName);
// Whether crt names the peer: certName when it is not empty, else the dialled address. A dotted
// IPv4 text must be one of the certificate's IP subjectAltNames, any other name one of its DNS
// subjectAltNames; a certificate without subjectAltNames must carry the text as a common name.
// Names compare whole, letters in either case; a wildcard matches nothing.
bool NetLayer_CertNamesPeer(const mbedtls_x509_crt* crt, const char* address, const char* certName);
// Where the last NetLayer_Connect stopped.
enum ENetLayerStep : uint8_t {
    NETLAYER_STEP_OK = 0,   // connected: TCP and the TLS handshake, the peer verified
    NETLAYER_STEP_SETUP,    // the TLS session could not be prepared
    NETLAYER_STEP_TCP,      // the TCP connection failed
    NETLAYER_STEP_TLS,      // the handshake failed, or the peer was refused
};
struct SNetLayerReport {
    uint8_t ucStep;           // ENetLayerStep
    int iPeerAlert;           // the alert by which the peer refused the handshake, -1 none
    uint32_t ulVerifyFlags;   // what the peer's certificate failed (MBEDTLS_X509_BADCERT_*), 0 none
    char szReason[640];       // the failure in words, as logged; "" after a connection
    char szProtocol[32];      // the protocol agreed ("TLSv1.2"); "" without one
};
// What the last NetLayer_Connect did.
const SNetLayerReport* NetLayer_GetConnectReport();
// The name of a TLS alert description ("certificate_expired"), "unknown" for others.
const char* NetLayer_AlertName(int description);
// The certificate chain the peer of the open connection presented (verified at its handshake);
// null when no connection is open.
const mbedtls_x509_crt* NetLayer_GetPeerCertificate();
// Writes all bytes through TLS; the count written, or a negative TLS error.
int NetLayer_Send(const unsigned char* data, uint16_t length);
// Reads exactly wanted bytes within timeoutSec seconds: the count, a negative TLS error,
// or -1 when the time ran out first.
int NetLayer_Receive(unsigned char* buffer, uint16_t wanted, uint16_t timeoutSec);
// Sends the close notification, frees the session and closes the socket; safe when closed.
void NetLayer_Close();
// The random source handed to the TLS library: the process's CTR-DRBG seeded from the
// OS entropy source; 0 or a negative error of the generator.
int ravo_random(void* context, unsigned char* output, size_t length);

// Prepares the three credential holders empty (frees anything held before).
void NetLayer_InitCredentials();
// Parses a PEM file into the trusted chain; 0 or the TLS library's negative error.
int NetLayer_ParseCAFile(const char* path);
// Parses a PEM file into the terminal's certificate chain; 0 or a negative error.
int NetLayer_ParseClientCertFile(const char* path);
// Parses a PEM private key (no password) into the terminal's key; 0 or a negative error.
int NetLayer_ParseClientKeyFile(const char* path);
// Parses one of the three files, from memory or a path (host/tlsset.h), into its holder:
// which is TLSSET_FILE_CA, TLSSET_FILE_CERT or TLSSET_FILE_KEY; 0 or a negative error.
int NetLayer_ParseCredential(uint8_t which, const STlsSetFile* file);
// Frees the three credential holders.
void NetLayer_FreeCredentials();

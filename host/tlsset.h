// host/tlsset.h
// The terminal's three TLS files checked as one set, the way the TLS client
// uses them: SSLA (the trusted CA chain), SSLC (the terminal's certificate,
// with any intermediates) and SSLK (its private key, no password). A set
// passes when each file parses, the key belongs to the certificate, and the
// certificate chains to the CA file within its dates (judged on the module
// clock, which runs past 2038). A terminal certificate signed with SHA-1 or
// weaker is the older set-up: SHA-1 signatures and 1024-bit RSA keys are then
// accepted in its chain, as its links accept them.
// The management session checks the set that would be in force after it
// applies new files (new files over the current ones); a check program can
// print the report.
#pragma once
#include <cstddef>
#include <cstdint>

// The first check of a set that failed.
enum ETlsSetStep : uint8_t {
    TLSSET_OK = 0,
    TLSSET_CA_PARSE,     // SSLA does not parse
    TLSSET_CERT_PARSE,   // SSLC does not parse
    TLSSET_KEY_PARSE,    // SSLK does not parse as a private key
    TLSSET_KEY_MATCH,    // SSLK is not the key of SSLC
    TLSSET_CHAIN,        // SSLC does not chain to SSLA, or a certificate is out of its dates
};

enum { TLSSET_TIME_SIZE = 20, TLSSET_REASON_SIZE = 256 };

struct STlsSetReport {
    uint8_t ucStep;                         // ETlsSetStep
    int iError;                             // the TLS library's error of a parse or of the key match
    uint32_t ulChainFlags;                  // the chain's verification flags (MBEDTLS_X509_BADCERT_*), 0: verified
    uint8_t ucSha1;                         // 1: the terminal certificate is signed with SHA-1 or weaker
    char szCertValidTo[TLSSET_TIME_SIZE];   // the terminal certificate's end, "YYYY-MM-DD hh:mm:ss" UTC
    char szCaValidTo[TLSSET_TIME_SIZE];     // the first CA certificate's end
};

// Checks the set ca, cert, key (paths). report may be null; reason (may be
// null) gets one sentence naming the file and what is wrong with it.
// RES_OK, or RES_TLS_CERT_FILES for a set that would not work.
int TlsSet_Check(const char* ca, const char* cert, const char* key, STlsSetReport* report, char* reason,
                 size_t reasonSize);

// The TLS library's certificate check callback that judges validity dates on
// the module clock (SysClock_Now) instead of the library's own; context unused.
int TlsSet_VerifyDates(void* context, struct mbedtls_x509_crt* crt, int depth, uint32_t* flags);

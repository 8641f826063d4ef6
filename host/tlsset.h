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
// applies new files (new files over the current ones), and that a new CA file
// still verifies the manager serving it (TlsSet_CheckPeer); the check program
// checks the set a call would take (the pad's copies, fetched into memory)
// and prints the report.
#pragma once
#include <cstddef>
#include <cstdint>

struct mbedtls_x509_crt;
struct mbedtls_pk_context;
struct mbedtls_x509_crt_profile;

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

// One file of a set: its name in the messages, and its bytes when they are in
// memory (a copy fetched from the pad); with pucData null, szName is the path
// of the file to read. Bytes are taken as the file would be (PEM or DER).
struct STlsSetFile {
    const char* szName;
    const unsigned char* pucData;
    size_t length;
};

// The three files of a set, in their order.
enum ETlsSetFile : uint8_t { TLSSET_FILE_CA = 0, TLSSET_FILE_CERT = 1, TLSSET_FILE_KEY = 2 };

struct STlsSetReport {
    uint8_t ucStep;                         // ETlsSetStep
    int iError;                             // the TLS library's error of a parse or of the key match
    uint32_t ulChainFlags;                  // the chain's verification flags (MBEDTLS_X509_BADCERT_*), 0: verified
    uint8_t ucSha1;                         // 1: the terminal certificate is signed with SHA-1 or weaker
    // Dates as "YYYY-MM-DD hh:mm:ss" UTC, and as seconds since 1970 (0: not read). The CA is the
    // certificate of SSLA that issued the top of SSLC's chain, else SSLA's first.
    char szCertValidFrom[TLSSET_TIME_SIZE]; // the terminal certificate's start
    char szCertValidTo[TLSSET_TIME_SIZE];   // the terminal certificate's end
    char szCaValidFrom[TLSSET_TIME_SIZE];   // the CA certificate's start
    char szCaValidTo[TLSSET_TIME_SIZE];     // the CA certificate's end
    int64_t llCertValidFrom;
    int64_t llCertValidTo;
    int64_t llCaValidFrom;
    int64_t llCaValidTo;
};

// Checks the set ca, cert, key (paths). report may be null; reason (may be
// null) gets one sentence naming the file and what is wrong with it.
// RES_OK, or RES_TLS_CERT_FILES for a set that would not work.
int TlsSet_Check(const char* ca, const char* cert, const char* key, STlsSetReport* report, char* reason,
                 size_t reasonSize);
// The same for files in memory or on the disk (STlsSetFile).
int TlsSet_CheckFiles(const STlsSetFile* ca, const STlsSetFile* cert, const STlsSetFile* key, STlsSetReport* report,
                      char* reason, size_t reasonSize);

// Checks that the CA file ca (memory or path) verifies peer, the chain a peer presented on a
// link (the terminal manager serving a session), the way a link of a set with that CA would
// verify it: on the module clock, with SHA-1 and 1024-bit RSA accepted when olderSetUp is set
// (a SHA-1 terminal certificate). The peer's name is not judged here (the link did it). RES_OK,
// or RES_TLS_CERT_FILES with one sentence in reason (may be null); a null peer fails.
int TlsSet_CheckPeer(const STlsSetFile* ca, const mbedtls_x509_crt* peer, uint8_t olderSetUp, char* reason,
                     size_t reasonSize);

// Parses a certificate file (memory or path) into chain, as mbedtls_x509_crt_parse_file reads a
// file; 0 or the TLS library's negative error.
int TlsSet_ParseCertificates(mbedtls_x509_crt* chain, const STlsSetFile* file);
// Parses a private key file (memory or path, no password) into key; 0 or a negative error.
int TlsSet_ParseKey(mbedtls_pk_context* key, const STlsSetFile* file);

// Whether the terminal's certificate makes an older set-up: signed with a digest
// weaker than SHA-256 (SHA-1). Such a terminal speaks TLS 1.0 and accepts its
// peers' chains on TlsSet_Profile(1).
uint8_t TlsSet_IsOlderSetUp(const mbedtls_x509_crt* terminalCert);
// The rules a chain is verified on: for an older set-up SHA-1 signatures and
// RSA keys from 1024 bits (MD5 and weaker stay refused), else the TLS library's
// default (SHA-2 family, RSA from 2048 bits).
const mbedtls_x509_crt_profile* TlsSet_Profile(uint8_t olderSetUp);

// The TLS library's certificate check callback that judges validity dates on
// the module clock (SysClock_Now) instead of the library's own; context unused.
int TlsSet_VerifyDates(void* context, struct mbedtls_x509_crt* crt, int depth, uint32_t* flags);
// The verification flags in the TLS library's words, on one line ("; " between
// its sentences); "" for none.
void TlsSet_DescribeFlags(uint32_t flags, char* out, size_t size);

// host/tlsset.cpp
#include "host/tlsset.h"

#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/result_codes.h"
#include "support/sysclock.h"

// The older set-up's chain: SHA-1 signatures and 1024-bit RSA keys.
static const mbedtls_x509_crt_profile kSha1Profile = {
    MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA1) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA224) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512),
    0x0FFFFFFF,  // any public-key algorithm
    0x0FFFFFFF,  // any curve
    1024,
};

static bool aux_TlsSet_Before(const mbedtls_x509_time& a, const mbedtls_x509_time& b) {
    const int left[] = {a.year, a.mon, a.day, a.hour, a.min, a.sec};
    const int right[] = {b.year, b.mon, b.day, b.hour, b.min, b.sec};
    for (size_t i = 0; i < sizeof(left) / sizeof(left[0]); i++)
        if (left[i] != right[i]) return left[i] < right[i];
    return false;
}

int TlsSet_VerifyDates(void* context, mbedtls_x509_crt* crt, int depth, uint32_t* flags) {
    (void)context;
    (void)depth;
    time_t now = SysClock_Now();
    struct tm utc;
    if (gmtime_r(&now, &utc) == nullptr) return 0;
    const mbedtls_x509_time at = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
    *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_FUTURE | MBEDTLS_X509_BADCERT_EXPIRED);
    if (aux_TlsSet_Before(at, crt->valid_from)) *flags |= MBEDTLS_X509_BADCERT_FUTURE;
    if (aux_TlsSet_Before(crt->valid_to, at)) *flags |= MBEDTLS_X509_BADCERT_EXPIRED;
    return 0;
}

static void aux_TlsSet_Time(const mbedtls_x509_time& t, char* out) {
    auto part = [](int v, int limit) { return static_cast<unsigned>(v < 0 ? 0 : v % limit); };
    snprintf(out, TLSSET_TIME_SIZE, "%04u-%02u-%02u %02u:%02u:%02u", part(t.year, 10000), part(t.mon, 100),
             part(t.day, 100), part(t.hour, 100), part(t.min, 100), part(t.sec, 100));
}

// The TLS library's words for an error.
static void aux_TlsSet_Words(int error, char* out, size_t size) {
    mbedtls_strerror(error, out, size);
}

// The verification flags as one line ("; " between the library's sentences).
static void aux_TlsSet_Flags(uint32_t flags, char* out, size_t size) {
    char text[512];
    if (mbedtls_x509_crt_verify_info(text, sizeof(text), "", flags) < 0) text[0] = '\0';
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
    size_t used = 0;
    for (size_t i = 0; i < n && used + 3 < size; ++i) {
        if (text[i] == '\n') {
            out[used++] = ';';
            out[used++] = ' ';
        } else {
            out[used++] = text[i];
        }
    }
    if (size > 0) out[used < size ? used : size - 1] = '\0';
}

int TlsSet_Check(const char* ca, const char* cert, const char* key, STlsSetReport* report, char* reason,
                 size_t reasonSize) {
    STlsSetReport own;
    if (report == nullptr) report = &own;
    memset(report, 0, sizeof(*report));
    char ownReason[TLSSET_REASON_SIZE];
    if (reason == nullptr || reasonSize == 0) {
        reason = ownReason;
        reasonSize = sizeof(ownReason);
    }
    reason[0] = '\0';

    mbedtls_x509_crt caChain, certChain;
    mbedtls_pk_context pk;
    mbedtls_x509_crt_init(&caChain);
    mbedtls_x509_crt_init(&certChain);
    mbedtls_pk_init(&pk);
    char words[200];

    int rc = mbedtls_x509_crt_parse_file(&caChain, ca);
    if (rc != 0) {
        report->ucStep = TLSSET_CA_PARSE;
        report->iError = rc;
        aux_TlsSet_Words(rc, words, sizeof(words));
        snprintf(reason, reasonSize, "SSLA [%s] does not parse: %s", ca, words);
    }
    if (report->ucStep == TLSSET_OK) {
        aux_TlsSet_Time(caChain.valid_to, report->szCaValidTo);
        rc = mbedtls_x509_crt_parse_file(&certChain, cert);
        if (rc != 0) {
            report->ucStep = TLSSET_CERT_PARSE;
            report->iError = rc;
            aux_TlsSet_Words(rc, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLC [%s] does not parse: %s", cert, words);
        }
    }
    if (report->ucStep == TLSSET_OK) {
        aux_TlsSet_Time(certChain.valid_to, report->szCertValidTo);
        report->ucSha1 = certChain.sig_md < MBEDTLS_MD_SHA256 ? 1 : 0;
        rc = mbedtls_pk_parse_keyfile(&pk, key, "");
        if (rc != 0) {
            report->ucStep = TLSSET_KEY_PARSE;
            report->iError = rc;
            aux_TlsSet_Words(rc, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLK [%s] is not a private key: %s", key, words);
        }
    }
    if (report->ucStep == TLSSET_OK) {
        rc = mbedtls_pk_check_pair(&certChain.pk, &pk);
        if (rc != 0) {
            report->ucStep = TLSSET_KEY_MATCH;
            report->iError = rc;
            snprintf(reason, reasonSize, "SSLK [%s] is not the key of the certificate SSLC [%s]", key, cert);
        }
    }
    if (report->ucStep == TLSSET_OK) {
        const mbedtls_x509_crt_profile* profile =
            report->ucSha1 ? &kSha1Profile : &mbedtls_x509_crt_profile_default;
        uint32_t flags = 0;
        rc = mbedtls_x509_crt_verify_with_profile(&certChain, &caChain, nullptr, profile, nullptr, &flags,
                                                  TlsSet_VerifyDates, nullptr);
        if (rc != 0 || flags != 0) {
            report->ucStep = TLSSET_CHAIN;
            report->iError = rc;
            report->ulChainFlags = flags != 0 ? flags : static_cast<uint32_t>(-1);
            aux_TlsSet_Flags(flags, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLC [%s] does not verify against SSLA [%s]: %s", cert, ca,
                     words[0] != '\0' ? words : "chain not built");
        }
    }

    mbedtls_pk_free(&pk);
    mbedtls_x509_crt_free(&certChain);
    mbedtls_x509_crt_free(&caChain);
    return report->ucStep == TLSSET_OK ? RES_OK : RES_TLS_CERT_FILES;
}

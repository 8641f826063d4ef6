// host/tlsset.cpp
#include "host/tlsset.h"

#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "support/result_codes.h"
#include "support/sysclock.h"

// The older set-ups come from the time of SHA-1 signatures and 1024-bit RSA keys.
static const mbedtls_x509_crt_profile kOlderSetUpProfile = {
    MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA1) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA224) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512),
    0x0FFFFFFF,  // any public-key algorithm
    0x0FFFFFFF,  // any curve
    1024,        // shortest RSA key
};

uint8_t TlsSet_IsOlderSetUp(const mbedtls_x509_crt* terminalCert) {
    return terminalCert->sig_md < MBEDTLS_MD_SHA256 ? 1 : 0;
}

const mbedtls_x509_crt_profile* TlsSet_Profile(uint8_t olderSetUp) {
    return olderSetUp ? &kOlderSetUpProfile : &mbedtls_x509_crt_profile_default;
}

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

// Seconds since 1970 of a certificate time (proleptic Gregorian calendar, UTC),
// whatever the width of the platform's time_t.
static int64_t aux_TlsSet_Seconds(const mbedtls_x509_time& t) {
    const int64_t y = t.year - (t.mon <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t m = t.mon;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + t.hour * 3600 + t.min * 60 + t.sec;
}

// The TLS library's words for an error.
static void aux_TlsSet_Words(int error, char* out, size_t size) {
    mbedtls_strerror(error, out, size);
}

void TlsSet_DescribeFlags(uint32_t flags, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (flags == 0) return;
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
    out[used < size ? used : size - 1] = '\0';
}

// The bytes of a file in memory as the library's file readers hand them on:
// with a terminator, counted in the length only for PEM text.
static void aux_TlsSet_Bytes(const STlsSetFile* file, std::vector<unsigned char>* bytes) {
    bytes->assign(file->pucData, file->pucData + file->length);
    bytes->push_back('\0');
    if (strstr(reinterpret_cast<const char*>(bytes->data()), "-----BEGIN ") == nullptr) bytes->pop_back();
}

int TlsSet_ParseCertificates(mbedtls_x509_crt* chain, const STlsSetFile* file) {
    if (file == nullptr || file->szName == nullptr) return MBEDTLS_ERR_X509_BAD_INPUT_DATA;
    if (file->pucData == nullptr) return mbedtls_x509_crt_parse_file(chain, file->szName);
    std::vector<unsigned char> bytes;
    aux_TlsSet_Bytes(file, &bytes);
    int rc = mbedtls_x509_crt_parse(chain, bytes.data(), bytes.size());
    mbedtls_platform_zeroize(bytes.data(), bytes.size());
    return rc;
}

int TlsSet_ParseKey(mbedtls_pk_context* key, const STlsSetFile* file) {
    if (file == nullptr || file->szName == nullptr) return MBEDTLS_ERR_PK_BAD_INPUT_DATA;
    if (file->pucData == nullptr) return mbedtls_pk_parse_keyfile(key, file->szName, "");
    std::vector<unsigned char> bytes;
    aux_TlsSet_Bytes(file, &bytes);
    int rc = mbedtls_pk_parse_key(key, bytes.data(), bytes.size(), reinterpret_cast<const unsigned char*>(""), 0);
    // The key's bytes do not outlive the parse.
    mbedtls_platform_zeroize(bytes.data(), bytes.size());
    return rc;
}

// The certificate of the CA chain that issued the top of the terminal's chain; the first when none did.
static const mbedtls_x509_crt* aux_TlsSet_Issuer(const mbedtls_x509_crt* caChain, const mbedtls_x509_crt* certChain) {
    const mbedtls_x509_crt* top = certChain;
    while (top->next != nullptr && top->next->raw.p != nullptr) top = top->next;
    for (const mbedtls_x509_crt* ca = caChain; ca != nullptr && ca->raw.p != nullptr; ca = ca->next) {
        if (ca->subject_raw.len == top->issuer_raw.len &&
            memcmp(ca->subject_raw.p, top->issuer_raw.p, ca->subject_raw.len) == 0)
            return ca;
    }
    return caChain;
}

// The name a file of the set is reported under; "" when it has none.
static const char* aux_TlsSet_Name(const STlsSetFile* file) {
    return file != nullptr && file->szName != nullptr ? file->szName : "";
}

int TlsSet_CheckFiles(const STlsSetFile* ca, const STlsSetFile* cert, const STlsSetFile* key, STlsSetReport* report,
                      char* reason, size_t reasonSize) {
    STlsSetReport own;
    if (report == nullptr) report = &own;
    memset(report, 0, sizeof(*report));
    char ownReason[TLSSET_REASON_SIZE];
    if (reason == nullptr || reasonSize == 0) {
        reason = ownReason;
        reasonSize = sizeof(ownReason);
    }
    reason[0] = '\0';
    const char* caName = aux_TlsSet_Name(ca);
    const char* certName = aux_TlsSet_Name(cert);
    const char* keyName = aux_TlsSet_Name(key);

    mbedtls_x509_crt caChain, certChain;
    mbedtls_pk_context pk;
    mbedtls_x509_crt_init(&caChain);
    mbedtls_x509_crt_init(&certChain);
    mbedtls_pk_init(&pk);
    char words[200];

    int rc = TlsSet_ParseCertificates(&caChain, ca);
    if (rc != 0) {
        report->ucStep = TLSSET_CA_PARSE;
        report->iError = rc;
        aux_TlsSet_Words(rc, words, sizeof(words));
        snprintf(reason, reasonSize, "SSLA [%s] does not parse: %s", caName, words);
    }
    if (report->ucStep == TLSSET_OK) {
        rc = TlsSet_ParseCertificates(&certChain, cert);
        if (rc != 0) {
            report->ucStep = TLSSET_CERT_PARSE;
            report->iError = rc;
            aux_TlsSet_Words(rc, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLC [%s] does not parse: %s", certName, words);
        }
    }
    if (report->ucStep == TLSSET_OK) {
        const mbedtls_x509_crt* issuer = aux_TlsSet_Issuer(&caChain, &certChain);
        aux_TlsSet_Time(issuer->valid_from, report->szCaValidFrom);
        aux_TlsSet_Time(issuer->valid_to, report->szCaValidTo);
        report->llCaValidFrom = aux_TlsSet_Seconds(issuer->valid_from);
        report->llCaValidTo = aux_TlsSet_Seconds(issuer->valid_to);
        aux_TlsSet_Time(certChain.valid_from, report->szCertValidFrom);
        aux_TlsSet_Time(certChain.valid_to, report->szCertValidTo);
        report->llCertValidFrom = aux_TlsSet_Seconds(certChain.valid_from);
        report->llCertValidTo = aux_TlsSet_Seconds(certChain.valid_to);
        report->ucSha1 = TlsSet_IsOlderSetUp(&certChain);
        rc = TlsSet_ParseKey(&pk, key);
        if (rc != 0) {
            report->ucStep = TLSSET_KEY_PARSE;
            report->iError = rc;
            aux_TlsSet_Words(rc, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLK [%s] is not a private key: %s", keyName, words);
        }
    }
    if (report->ucStep == TLSSET_OK) {
        rc = mbedtls_pk_check_pair(&certChain.pk, &pk);
        if (rc != 0) {
            report->ucStep = TLSSET_KEY_MATCH;
            report->iError = rc;
            snprintf(reason, reasonSize, "SSLK [%s] is not the key of the certificate SSLC [%s]", keyName, certName);
        }
    }
    if (report->ucStep == TLSSET_OK) {
        const mbedtls_x509_crt_profile* profile =
            TlsSet_Profile(report->ucSha1);
        uint32_t flags = 0;
        rc = mbedtls_x509_crt_verify_with_profile(&certChain, &caChain, nullptr, profile, nullptr, &flags,
                                                  TlsSet_VerifyDates, nullptr);
        if (rc != 0 || flags != 0) {
            report->ucStep = TLSSET_CHAIN;
            report->iError = rc;
            report->ulChainFlags = flags != 0 ? flags : static_cast<uint32_t>(-1);
            TlsSet_DescribeFlags(flags, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLC [%s] does not verify against SSLA [%s]: %s", certName, caName,
                     words[0] != '\0' ? words : "chain not built");
        }
    }

    mbedtls_pk_free(&pk);
    mbedtls_x509_crt_free(&certChain);
    mbedtls_x509_crt_free(&caChain);
    return report->ucStep == TLSSET_OK ? RES_OK : RES_TLS_CERT_FILES;
}

int TlsSet_CheckPeer(const STlsSetFile* ca, const mbedtls_x509_crt* peer, uint8_t olderSetUp, char* reason,
                     size_t reasonSize) {
    char ownReason[TLSSET_REASON_SIZE];
    if (reason == nullptr || reasonSize == 0) {
        reason = ownReason;
        reasonSize = sizeof(ownReason);
    }
    reason[0] = '\0';
    const char* caName = aux_TlsSet_Name(ca);
    if (peer == nullptr || peer->raw.p == nullptr) {
        snprintf(reason, reasonSize, "SSLA [%s] cannot be checked against the manager: no certificate of it at hand",
                 caName);
        return RES_TLS_CERT_FILES;
    }
    mbedtls_x509_crt caChain, chain;
    mbedtls_x509_crt_init(&caChain);
    mbedtls_x509_crt_init(&chain);
    char words[200];
    char subject[160];
    if (mbedtls_x509_dn_gets(subject, sizeof(subject), &peer->subject) < 0) snprintf(subject, sizeof(subject), "?");
    int rc = TlsSet_ParseCertificates(&caChain, ca);
    if (rc != 0) {
        aux_TlsSet_Words(rc, words, sizeof(words));
        snprintf(reason, reasonSize, "SSLA [%s] does not parse: %s", caName, words);
    }
    // The chain is verified on a copy of its own: the link's stays as the link holds it.
    for (const mbedtls_x509_crt* crt = peer; rc == 0 && crt != nullptr && crt->raw.p != nullptr; crt = crt->next)
        rc = mbedtls_x509_crt_parse_der(&chain, crt->raw.p, crt->raw.len);
    if (rc != 0 && reason[0] == '\0') {
        aux_TlsSet_Words(rc, words, sizeof(words));
        snprintf(reason, reasonSize, "the manager's certificate [%s] could not be read again: %s", subject, words);
    }
    if (rc == 0) {
        const mbedtls_x509_crt_profile* profile = TlsSet_Profile(olderSetUp);
        uint32_t flags = 0;
        rc = mbedtls_x509_crt_verify_with_profile(&chain, &caChain, nullptr, profile, nullptr, &flags,
                                                  TlsSet_VerifyDates, nullptr);
        if (rc != 0 || flags != 0) {
            TlsSet_DescribeFlags(flags, words, sizeof(words));
            snprintf(reason, reasonSize, "SSLA [%s] does not verify the manager serving this session [%s]: %s", caName,
                     subject, words[0] != '\0' ? words : "chain not built");
            rc = rc != 0 ? rc : -1;
        }
    }
    mbedtls_x509_crt_free(&chain);
    mbedtls_x509_crt_free(&caChain);
    return rc == 0 ? RES_OK : RES_TLS_CERT_FILES;
}

int TlsSet_Check(const char* ca, const char* cert, const char* key, STlsSetReport* report, char* reason,
                 size_t reasonSize) {
    const STlsSetFile files[3] = {{ca, nullptr, 0}, {cert, nullptr, 0}, {key, nullptr, 0}};
    return TlsSet_CheckFiles(&files[0], &files[1], &files[2], report, reason, reasonSize);
}

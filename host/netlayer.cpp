// host/netlayer.cpp
#include "host/netlayer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "host/net.h"
#include "host/tlsset.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/sysclock.h"

static mbedtls_ssl_context ssl;
static mbedtls_ssl_config conf;
static bool m_bSessionReady = false;

static mbedtls_x509_crt cacert;
static mbedtls_x509_crt clicert;
static mbedtls_pk_context pkey;
static bool m_bCredentialsReady = false;

static mbedtls_entropy_context m_Entropy;
static mbedtls_ctr_drbg_context m_Drbg;
static bool m_bDrbgSeeded = false;

// The peer of the connection being made: the address dialled and the name its
// certificate must carry instead, "" for the address itself.
static char m_szPeerAddress[16];
static char m_szPeerCertName[256];

// What the last connection did, and the peer's names when its certificate did not name it.
static SNetLayerReport m_Report;
static char m_szNameFault[600];

// The host speaks this one suite; the library's default list no longer offers it.
static const int m_aiCipherSuites[] = {MBEDTLS_TLS_RSA_WITH_3DES_EDE_CBC_SHA, 0};

// A host that accepts the TCP connection and then says nothing must not hold the
// till for ever: the handshake gets the same limit as the connection and a packet read.
static const uint32_t NETLAYER_HANDSHAKE_TIMEOUT_MS = NET_CONNECT_TIMEOUT_MS;

// The TLS library reads its own clock, a 32-bit time_t on the till, which from
// January 2038 on reads 1969 and would make every certificate "not yet valid":
// a certificate's dates are judged on the module clock instead.
static bool aux_NetLayer_TimeBefore(const mbedtls_x509_time& a, const mbedtls_x509_time& b) {
    const int left[] = {a.year, a.mon, a.day, a.hour, a.min, a.sec};
    const int right[] = {b.year, b.mon, b.day, b.hour, b.min, b.sec};
    for (size_t i = 0; i < sizeof(left) / sizeof(left[0]); i++) {
        if (left[i] != right[i]) return left[i] < right[i];
    }
    return false;
}

static void aux_NetLayer_VerifyDates(const mbedtls_x509_crt* crt, uint32_t* flags) {
    time_t now = SysClock_Now();
    struct tm utc;
    if (gmtime_r(&now, &utc) == nullptr) return;
    const mbedtls_x509_time at = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
    *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_FUTURE | MBEDTLS_X509_BADCERT_EXPIRED);
    if (aux_NetLayer_TimeBefore(at, crt->valid_from)) *flags |= MBEDTLS_X509_BADCERT_FUTURE;
    if (aux_NetLayer_TimeBefore(crt->valid_to, at)) *flags |= MBEDTLS_X509_BADCERT_EXPIRED;
}

// A name of the certificate equals want: same length, letters in either case.
// The length is the certificate's own, so a name with a NUL inside never matches.
static bool aux_NetLayer_SameName(const unsigned char* p, size_t length, const char* want) {
    if (p == nullptr || length != strlen(want)) return false;
    for (size_t i = 0; i < length; i++) {
        unsigned char a = p[i], b = static_cast<unsigned char>(want[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

static bool aux_NetLayer_IsSan(const mbedtls_x509_buf& san, int type) {
    return (san.tag & MBEDTLS_ASN1_TAG_CLASS_MASK) == MBEDTLS_ASN1_CONTEXT_SPECIFIC &&
           (san.tag & MBEDTLS_ASN1_CONSTRUCTED) == 0 && (san.tag & MBEDTLS_ASN1_TAG_VALUE_MASK) == type &&
           san.p != nullptr;
}

static bool aux_NetLayer_HasSan(const mbedtls_x509_crt* crt) {
    return (crt->ext_types & MBEDTLS_X509_EXT_SUBJECT_ALT_NAME) != 0;
}

bool NetLayer_CertNamesPeer(const mbedtls_x509_crt* crt, const char* address, const char* certName) {
    const char* want = certName != nullptr && certName[0] != '\0' ? certName : address;
    if (crt == nullptr || want == nullptr || want[0] == '\0') return false;
    // A certificate for a whole domain is not the bank's host: the name must be exact.
    if (strchr(want, '*') != nullptr) return false;
    unsigned char ip[4];
    const bool isIp = inet_pton(AF_INET, want, ip) == 1;
    if (aux_NetLayer_HasSan(crt)) {
        // With subjectAltNames present the common name does not count.
        for (const mbedtls_x509_sequence* san = &crt->subject_alt_names; san != nullptr; san = san->next) {
            if (isIp && aux_NetLayer_IsSan(san->buf, MBEDTLS_X509_SAN_IP_ADDRESS) && san->buf.len == sizeof(ip) &&
                memcmp(san->buf.p, ip, sizeof(ip)) == 0)
                return true;
            if (!isIp && aux_NetLayer_IsSan(san->buf, MBEDTLS_X509_SAN_DNS_NAME) &&
                aux_NetLayer_SameName(san->buf.p, san->buf.len, want))
                return true;
        }
        return false;
    }
    for (const mbedtls_x509_name* name = &crt->subject; name != nullptr; name = name->next) {
        if (name->oid.p != nullptr && MBEDTLS_OID_CMP(MBEDTLS_OID_AT_CN, &name->oid) == 0 &&
            aux_NetLayer_SameName(name->val.p, name->val.len, want))
            return true;
    }
    return false;
}

// Appends "<label><text>" to out (size bytes, kept terminated), with any byte that is
// not printable ASCII as '?': the names come from whoever answered.
static void aux_NetLayer_AppendName(char* out, size_t size, const char* label, const unsigned char* p, size_t length) {
    size_t at = strlen(out);
    const char* parts[] = {at == 0 ? "" : ", ", label};
    for (const char* part : parts) {
        for (; *part != '\0' && at + 1 < size; ++part) out[at++] = *part;
    }
    for (size_t i = 0; i < length && at + 1 < size; i++) out[at++] = p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '?';
    out[at] = '\0';
}

// The names a certificate carries, for the log: "CN=..., DNS:..., IP:...".
static void aux_NetLayer_DescribeNames(const mbedtls_x509_crt* crt, char* out, size_t size) {
    out[0] = '\0';
    for (const mbedtls_x509_name* name = &crt->subject; name != nullptr; name = name->next) {
        if (name->oid.p != nullptr && MBEDTLS_OID_CMP(MBEDTLS_OID_AT_CN, &name->oid) == 0)
            aux_NetLayer_AppendName(out, size, "CN=", name->val.p, name->val.len);
    }
    if (!aux_NetLayer_HasSan(crt)) return;
    for (const mbedtls_x509_sequence* san = &crt->subject_alt_names; san != nullptr; san = san->next) {
        char ip[INET6_ADDRSTRLEN];
        if (aux_NetLayer_IsSan(san->buf, MBEDTLS_X509_SAN_DNS_NAME)) {
            aux_NetLayer_AppendName(out, size, "DNS:", san->buf.p, san->buf.len);
        } else if (aux_NetLayer_IsSan(san->buf, MBEDTLS_X509_SAN_IP_ADDRESS) &&
                   (san->buf.len == 4 || san->buf.len == 16) &&
                   inet_ntop(san->buf.len == 4 ? AF_INET : AF_INET6, san->buf.p, ip, sizeof(ip)) != nullptr) {
            aux_NetLayer_AppendName(out, size, "IP:", reinterpret_cast<const unsigned char*>(ip), strlen(ip));
        } else if (san->buf.p != nullptr) {
            aux_NetLayer_AppendName(out, size, "other name", nullptr, 0);
        }
    }
}

// The verification callback, once for each certificate of the peer's chain, the
// peer's own (depth 0) last: dates on the module clock, and the peer's identity.
static int aux_NetLayer_VerifyPeer(void* context, mbedtls_x509_crt* crt, int depth, uint32_t* flags) {
    (void)context;
    aux_NetLayer_VerifyDates(crt, flags);
    if (depth != 0 || NetLayer_CertNamesPeer(crt, m_szPeerAddress, m_szPeerCertName)) return 0;
    *flags |= MBEDTLS_X509_BADCERT_CN_MISMATCH;
    char names[512];
    aux_NetLayer_DescribeNames(crt, names, sizeof(names));
    if (m_szPeerCertName[0] != '\0') {
        snprintf(m_szNameFault, sizeof(m_szNameFault),
                 "The peer's certificate names [%s]; expected [%s] (the configured certificate name), as a DNS "
                 "subjectAltName, or the CN when it has none",
                 names, m_szPeerCertName);
    } else {
        snprintf(m_szNameFault, sizeof(m_szNameFault),
                 "The peer's certificate names [%s]; expected [%s] (the address dialled), as an IP subjectAltName, "
                 "or the CN when it has none",
                 names, m_szPeerAddress);
    }
    LogString("ERROR. NetLayer_Connect. %s", m_szNameFault);
    return 0;
}

const char* NetLayer_AlertName(int description) {
    struct SAlertName {
        int description;
        const char* name;
    };
    static const SAlertName kNames[] = {
        {MBEDTLS_SSL_ALERT_MSG_CLOSE_NOTIFY, "close_notify"},
        {MBEDTLS_SSL_ALERT_MSG_UNEXPECTED_MESSAGE, "unexpected_message"},
        {MBEDTLS_SSL_ALERT_MSG_BAD_RECORD_MAC, "bad_record_mac"},
        {MBEDTLS_SSL_ALERT_MSG_DECRYPTION_FAILED, "decryption_failed"},
        {MBEDTLS_SSL_ALERT_MSG_RECORD_OVERFLOW, "record_overflow"},
        {MBEDTLS_SSL_ALERT_MSG_DECOMPRESSION_FAILURE, "decompression_failure"},
        {MBEDTLS_SSL_ALERT_MSG_HANDSHAKE_FAILURE, "handshake_failure"},
        {MBEDTLS_SSL_ALERT_MSG_NO_CERT, "no_certificate"},
        {MBEDTLS_SSL_ALERT_MSG_BAD_CERT, "bad_certificate"},
        {MBEDTLS_SSL_ALERT_MSG_UNSUPPORTED_CERT, "unsupported_certificate"},
        {MBEDTLS_SSL_ALERT_MSG_CERT_REVOKED, "certificate_revoked"},
        {MBEDTLS_SSL_ALERT_MSG_CERT_EXPIRED, "certificate_expired"},
        {MBEDTLS_SSL_ALERT_MSG_CERT_UNKNOWN, "certificate_unknown"},
        {MBEDTLS_SSL_ALERT_MSG_ILLEGAL_PARAMETER, "illegal_parameter"},
        {MBEDTLS_SSL_ALERT_MSG_UNKNOWN_CA, "unknown_ca"},
        {MBEDTLS_SSL_ALERT_MSG_ACCESS_DENIED, "access_denied"},
        {MBEDTLS_SSL_ALERT_MSG_DECODE_ERROR, "decode_error"},
        {MBEDTLS_SSL_ALERT_MSG_DECRYPT_ERROR, "decrypt_error"},
        {MBEDTLS_SSL_ALERT_MSG_EXPORT_RESTRICTION, "export_restriction"},
        {MBEDTLS_SSL_ALERT_MSG_PROTOCOL_VERSION, "protocol_version"},
        {MBEDTLS_SSL_ALERT_MSG_INSUFFICIENT_SECURITY, "insufficient_security"},
        {MBEDTLS_SSL_ALERT_MSG_INTERNAL_ERROR, "internal_error"},
        {MBEDTLS_SSL_ALERT_MSG_INAPROPRIATE_FALLBACK, "inappropriate_fallback"},
        {MBEDTLS_SSL_ALERT_MSG_USER_CANCELED, "user_canceled"},
        {MBEDTLS_SSL_ALERT_MSG_NO_RENEGOTIATION, "no_renegotiation"},
        {MBEDTLS_SSL_ALERT_MSG_UNSUPPORTED_EXT, "unsupported_extension"},
        {MBEDTLS_SSL_ALERT_MSG_UNRECOGNIZED_NAME, "unrecognized_name"},
        {MBEDTLS_SSL_ALERT_MSG_UNKNOWN_PSK_IDENTITY, "unknown_psk_identity"},
        {MBEDTLS_SSL_ALERT_MSG_NO_APPLICATION_PROTOCOL, "no_application_protocol"},
    };
    for (const SAlertName& n : kNames) {
        if (n.description == description) return n.name;
    }
    return "unknown";
}

// Seeds the generator once per process from the OS entropy source; 0 or a negative error.
static int aux_NetLayer_SeedRandom() {
    if (m_bDrbgSeeded) return 0;
    mbedtls_entropy_init(&m_Entropy);
    mbedtls_ctr_drbg_init(&m_Drbg);
    static const unsigned char kPersonal[] = "RAVO TLS client";
    int rc = mbedtls_ctr_drbg_seed(&m_Drbg, mbedtls_entropy_func, &m_Entropy, kPersonal,
                                   sizeof(kPersonal) - 1);
    if (rc != 0) {
        mbedtls_ctr_drbg_free(&m_Drbg);
        mbedtls_entropy_free(&m_Entropy);
        return rc;
    }
    m_bDrbgSeeded = true;
    return 0;
}

int ravo_random(void* context, unsigned char* output, size_t length) {
    (void)context;
    int rc = aux_NetLayer_SeedRandom();
    if (rc != 0) return rc;
    return mbedtls_ctr_drbg_random(&m_Drbg, output, length);
}

static void aux_NetLayer_FreeSession() {
    if (!m_bSessionReady) return;
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    m_bSessionReady = false;
}

void NetLayer_Init() { NetStart(); }

int NetLayer_EnableSSL() {
    aux_NetLayer_FreeSession();
    if (!m_bCredentialsReady) NetLayer_InitCredentials();
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_config_init(&conf);
    m_bSessionReady = true;

    int rc = mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                         MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) {
        LogString("ERROR. NetLayer_EnableSSL. ssl_config_defaults returned: %d", rc);
        aux_NetLayer_FreeSession();
        return RES_TLS_SETUP;
    }
    rc = aux_NetLayer_SeedRandom();
    if (rc != 0) {
        LogString("ERROR. NetLayer_EnableSSL. ctr_drbg_seed returned: %d", rc);
        aux_NetLayer_FreeSession();
        return RES_TLS_SETUP;
    }
    mbedtls_ssl_conf_rng(&conf, ravo_random, nullptr);
    mbedtls_ssl_conf_ciphersuites(&conf, m_aiCipherSuites);
    mbedtls_ssl_conf_ca_chain(&conf, &cacert, nullptr);
    mbedtls_ssl_conf_verify(&conf, aux_NetLayer_VerifyPeer, nullptr);

    rc = mbedtls_ssl_conf_own_cert(&conf, &clicert, &pkey);
    if (rc != 0) {
        LogString("ERROR. NetLayer_EnableSSL. mbedtls_ssl_conf_own_cert returned %d\n\n", rc);
        aux_NetLayer_FreeSession();
        return RES_TLS_SETUP;
    }

    // Whoever answers must be the bank's: the peer's chain must verify against the
    // trusted chain and name the peer (aux_NetLayer_VerifyPeer), whatever the set-up.
    // A terminal certificate signed with a digest weaker than SHA-256 belongs to the
    // older set-ups: the session stays at the oldest protocol (TLS 1.0, the oldest
    // this TLS library still speaks) and the peer's chain may be signed with SHA-1.
    mbedtls_ssl_conf_authmode(&conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_min_version(&conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
    if (TlsSet_IsOlderSetUp(&clicert)) {
        mbedtls_ssl_conf_max_version(&conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
        mbedtls_ssl_conf_cert_profile(&conf, TlsSet_Profile(1));
    }
    mbedtls_ssl_conf_read_timeout(&conf, NETLAYER_HANDSHAKE_TIMEOUT_MS);

    rc = mbedtls_ssl_setup(&ssl, &conf);
    if (rc != 0) {
        LogString("ERROR. NetLayer_EnableSSL. ssl_setup returned: %d", rc);
        aux_NetLayer_FreeSession();
        return RES_TLS_SETUP;
    }
    mbedtls_ssl_set_bio(&ssl, nullptr, NetSend, nullptr, NetReceiveTimeout);
    return 0;
}

// The alert by which the peer ended a failed handshake, or -1. The TLS library keeps
// the one it read; a peer that closes right after its alert often resets the connection
// while the terminal still writes its part of the handshake, and then the alert waits
// unread on the socket, as the plain record it is before encryption starts.
static int aux_NetLayer_PeerAlert(int rc) {
    if (rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE && ssl.in_msgtype == MBEDTLS_SSL_MSG_ALERT && ssl.in_msg != nullptr)
        return ssl.in_msg[1];
    if (rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE || ssl.in_left != 0) return -1;
    unsigned char record[7];
    if (NetReceive(nullptr, record, sizeof(record)) != static_cast<int>(sizeof(record))) return -1;
    const bool alert = record[0] == MBEDTLS_SSL_MSG_ALERT && record[1] == MBEDTLS_SSL_MAJOR_VERSION_3 &&
                       record[3] == 0 && record[4] == 2 && record[5] == MBEDTLS_SSL_ALERT_LEVEL_FATAL;
    return alert ? record[6] : -1;
}

const SNetLayerReport* NetLayer_GetConnectReport() { return &m_Report; }

int NetLayer_Connect(const char* address, uint16_t port, const char* certName) {
    snprintf(m_szPeerAddress, sizeof(m_szPeerAddress), "%s", address != nullptr ? address : "");
    snprintf(m_szPeerCertName, sizeof(m_szPeerCertName), "%s", certName != nullptr ? certName : "");
    memset(&m_Report, 0, sizeof(m_Report));
    m_Report.iPeerAlert = -1;
    m_szNameFault[0] = '\0';
    int rc = NetLayer_EnableSSL();
    if (rc != 0) {
        m_Report.ucStep = NETLAYER_STEP_SETUP;
        snprintf(m_Report.szReason, sizeof(m_Report.szReason), "the TLS session could not be prepared [%d]", rc);
        return rc;
    }

    rc = NetConnect(address, port);
    LogString("%s. NetConnect: %d", rc == 0 ? "SUCCESS" : "ERROR", rc);
    if (rc != 0) {
        m_Report.ucStep = NETLAYER_STEP_TCP;
        if (rc == ETIMEDOUT)
            snprintf(m_Report.szReason, sizeof(m_Report.szReason), "no TCP connection to %s:%u within %u s",
                     m_szPeerAddress, static_cast<unsigned>(port), static_cast<unsigned>(NET_CONNECT_TIMEOUT_MS / 1000));
        else
            snprintf(m_Report.szReason, sizeof(m_Report.szReason), "no TCP connection to %s:%u: %s", m_szPeerAddress,
                     static_cast<unsigned>(port), strerror(rc));
        return RES_HOST_CONNECT;
    }

    rc = mbedtls_ssl_handshake(&ssl);
    if (rc != 0) {
        uint32_t flags = mbedtls_ssl_get_verify_result(&ssl);
        char info[512];
        info[0] = '\0';
        if (flags != 0) mbedtls_x509_crt_verify_info(info, sizeof(info), "  ! ", flags);
        // The reason in words: the TLS library's, and the alert by which the peer refused us
        // (certificate_expired when it found the terminal's certificate expired, unknown_ca ...).
        char reason[160] = "the peer closed or reset the connection";
        // -1 is the socket layer's own answer, not a TLS error.
        if (rc != -1) mbedtls_strerror(rc, reason, sizeof(reason));
        char alert[64] = "none";
        int description = aux_NetLayer_PeerAlert(rc);
        if (description >= 0) snprintf(alert, sizeof(alert), "%s (%d)", NetLayer_AlertName(description), description);
        LogString("ERROR. ssl_handshake_client: [-0x%x], ssl_get_verify_result: [0x%x]. %s; alert from the peer: %s",
                  -rc, flags, reason, alert);
        if (flags != 0) LogString("ERROR. SSLConnect. mbedtls_x509_crt_verify_info:%s", info);
        m_Report.ucStep = NETLAYER_STEP_TLS;
        m_Report.iPeerAlert = description;
        m_Report.ulVerifyFlags = flags;
        char flagWords[400];
        TlsSet_DescribeFlags(flags, flagWords, sizeof(flagWords));
        if (rc == MBEDTLS_ERR_SSL_TIMEOUT)
            snprintf(reason, sizeof(reason), "no answer within %u s", static_cast<unsigned>(NETLAYER_HANDSHAKE_TIMEOUT_MS / 1000));
        snprintf(m_Report.szReason, sizeof(m_Report.szReason), "TLS handshake with %s:%u failed: %s; alert from the peer: %s%s%s%s%s",
                 m_szPeerAddress, static_cast<unsigned>(port), reason, alert, flagWords[0] != '\0' ? "; " : "", flagWords,
                 m_szNameFault[0] != '\0' ? ". " : "", m_szNameFault);
        // The socket stays open; Transmaster_Disconnect or NetLayer_Close closes it.
        return RES_HOST_CONNECT;
    }
    LogStringEx(LOG_INFO, "INFO. SSL Hanshake OK. Protocol is [%s], Ciphersuite is [%s].",
                mbedtls_ssl_get_version(&ssl), mbedtls_ssl_get_ciphersuite(&ssl));
    snprintf(m_Report.szProtocol, sizeof(m_Report.szProtocol), "%s", mbedtls_ssl_get_version(&ssl));
    return 0;
}

const mbedtls_x509_crt* NetLayer_GetPeerCertificate() {
    // Only a handshake that went through has a peer; a failed one leaves its session open until closed.
    if (!m_bSessionReady || m_Report.ucStep != NETLAYER_STEP_OK || m_Report.szProtocol[0] == '\0') return nullptr;
    return mbedtls_ssl_get_peer_cert(&ssl);
}

int NetLayer_Send(const unsigned char* data, uint16_t length) {
    if (!m_bSessionReady) return MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    int total = 0;
    int rc = 0;
    // TLS 1.0 writes a frame as two records (the first of one byte, against predictable
    // CBC IVs): held back together, they leave in one segment and wake the peer once.
    NetCork(true);
    // mbedtls_ssl_write may take a part of the data; the rest follows in the same call.
    while (total < length) {
        do {
            rc = mbedtls_ssl_write(&ssl, data + total, length - total);
        } while (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE);
        // A frame written in part is not written: the failure goes up, not the part's size.
        if (rc <= 0) break;
        total += rc;
    }
    NetCork(false);
    return rc <= 0 ? rc : total;
}

int NetLayer_Receive(unsigned char* buffer, uint16_t wanted, uint16_t timeoutSec) {
    if (!m_bSessionReady) return MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    if (wanted == 0) return 0;
    const uint64_t limitMs = static_cast<uint64_t>(timeoutSec) * 1000u;
    const uint64_t start = SysClock_MonotonicMs();
    int count = 0;
    int last = 0;
    for (;;) {
        uint64_t elapsed = SysClock_MonotonicMs() - start;
        uint32_t readTimeoutMs = 0;  // 0: no limit, for a timeoutSec of 0
        if (limitMs != 0) {
            if (elapsed >= limitMs) break;
            readTimeoutMs = static_cast<uint32_t>(limitMs - elapsed);
        }
        mbedtls_ssl_conf_read_timeout(&conf, readTimeoutMs);
        last = mbedtls_ssl_read(&ssl, buffer + count, static_cast<size_t>(wanted - count));
        mbedtls_ssl_conf_read_timeout(&conf, static_cast<uint32_t>(limitMs));
        if (last < 0) return last;
        // 0 means the peer ended the stream; reading again would only spin.
        if (last == 0) break;
        count += last;
        if (count >= wanted) return count;
    }
    LogString("ERROR. NetLayer_Receive. Length error ssl_read [%d][%d:%d]", last, count, wanted);
    return -1;
}

void NetLayer_Close() {
    if (m_bSessionReady) mbedtls_ssl_close_notify(&ssl);
    aux_NetLayer_FreeSession();
    NetClose();
}

void NetLayer_InitCredentials() {
    NetLayer_FreeCredentials();
    mbedtls_x509_crt_init(&cacert);
    mbedtls_x509_crt_init(&clicert);
    mbedtls_pk_init(&pkey);
    m_bCredentialsReady = true;
}

int NetLayer_ParseCAFile(const char* path) {
    if (!m_bCredentialsReady) NetLayer_InitCredentials();
    return mbedtls_x509_crt_parse_file(&cacert, path);
}

int NetLayer_ParseClientCertFile(const char* path) {
    if (!m_bCredentialsReady) NetLayer_InitCredentials();
    return mbedtls_x509_crt_parse_file(&clicert, path);
}

int NetLayer_ParseClientKeyFile(const char* path) {
    if (!m_bCredentialsReady) NetLayer_InitCredentials();
    return mbedtls_pk_parse_keyfile(&pkey, path, "");
}

int NetLayer_ParseCredential(uint8_t which, const STlsSetFile* file) {
    if (!m_bCredentialsReady) NetLayer_InitCredentials();
    switch (which) {
    case TLSSET_FILE_CA:
        return TlsSet_ParseCertificates(&cacert, file);
    case TLSSET_FILE_CERT:
        return TlsSet_ParseCertificates(&clicert, file);
    case TLSSET_FILE_KEY:
        return TlsSet_ParseKey(&pkey, file);
    default:
        return MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    }
}

void NetLayer_FreeCredentials() {
    if (!m_bCredentialsReady) return;
    // A session still configured with these holders would point at freed memory.
    aux_NetLayer_FreeSession();
    mbedtls_x509_crt_free(&cacert);
    mbedtls_x509_crt_free(&clicert);
    mbedtls_pk_free(&pkey);
    m_bCredentialsReady = false;
}

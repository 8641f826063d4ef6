// host/netlayer.cpp
#include "host/netlayer.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "host/net.h"
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

static int aux_NetLayer_VerifyDates(void* context, mbedtls_x509_crt* crt, int depth, uint32_t* flags) {
    (void)context;
    (void)depth;
    time_t now = SysClock_Now();
    struct tm utc;
    if (gmtime_r(&now, &utc) == nullptr) return 0;
    const mbedtls_x509_time at = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
    *flags &= ~static_cast<uint32_t>(MBEDTLS_X509_BADCERT_FUTURE | MBEDTLS_X509_BADCERT_EXPIRED);
    if (aux_NetLayer_TimeBefore(at, crt->valid_from)) *flags |= MBEDTLS_X509_BADCERT_FUTURE;
    if (aux_NetLayer_TimeBefore(crt->valid_to, at)) *flags |= MBEDTLS_X509_BADCERT_EXPIRED;
    return 0;
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
    mbedtls_ssl_conf_verify(&conf, aux_NetLayer_VerifyDates, nullptr);

    rc = mbedtls_ssl_conf_own_cert(&conf, &clicert, &pkey);
    if (rc != 0) {
        LogString("ERROR. NetLayer_EnableSSL. mbedtls_ssl_conf_own_cert returned %d\n\n", rc);
        aux_NetLayer_FreeSession();
        return RES_TLS_SETUP;
    }

    // A terminal certificate signed with a digest weaker than SHA-256 belongs to the
    // older host set-up: the host's chain is checked but not enforced and the session
    // stays at the oldest protocol; otherwise the chain must verify.
    // TLS 1.0 is the oldest protocol this TLS library still speaks.
    mbedtls_ssl_conf_min_version(&conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
    if (clicert.sig_md < MBEDTLS_MD_SHA256) {
        mbedtls_ssl_conf_authmode(&conf, MBEDTLS_SSL_VERIFY_OPTIONAL);
        mbedtls_ssl_conf_max_version(&conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
    } else {
        mbedtls_ssl_conf_authmode(&conf, MBEDTLS_SSL_VERIFY_REQUIRED);
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

int NetLayer_Connect(const char* address, uint16_t port) {
    int rc = NetLayer_EnableSSL();
    if (rc != 0) return rc;

    rc = NetConnect(address, port);
    LogString("%s. NetConnect: %d", rc == 0 ? "SUCCESS" : "ERROR", rc);
    if (rc != 0) return RES_HOST_CONNECT;

    srand(static_cast<unsigned>(SysClock_MonotonicMs()));

    rc = mbedtls_ssl_handshake(&ssl);
    if (rc != 0) {
        uint32_t flags = mbedtls_ssl_get_verify_result(&ssl);
        char info[512];
        info[0] = '\0';
        if (flags != 0) mbedtls_x509_crt_verify_info(info, sizeof(info), "  ! ", flags);
        LogString("ERROR. ssl_handshake_client: [-0x%x], ssl_get_verify_result: [0x%x].", -rc, flags);
        if (flags != 0) LogString("ERROR. SSLConnect. mbedtls_x509_crt_verify_info:%s", info);
        // The socket stays open; Transmaster_Disconnect or NetLayer_Close closes it.
        return RES_HOST_CONNECT;
    }
    LogStringEx(LOG_INFO, "INFO. SSL Hanshake OK. Protocol is [%s], Ciphersuite is [%s].",
                mbedtls_ssl_get_version(&ssl), mbedtls_ssl_get_ciphersuite(&ssl));
    return 0;
}

int NetLayer_Send(const unsigned char* data, uint16_t length) {
    if (!m_bSessionReady) return MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    int total = 0;
    int rc = 0;
    // mbedtls_ssl_write may take a part of the data; the rest follows in the same call.
    while (total < length) {
        do {
            rc = mbedtls_ssl_write(&ssl, data + total, length - total);
        } while (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE);
        // A frame written in part is not written: the failure goes up, not the part's size.
        if (rc <= 0) return rc;
        total += rc;
    }
    return total;
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

void NetLayer_FreeCredentials() {
    if (!m_bCredentialsReady) return;
    // A session still configured with these holders would point at freed memory.
    aux_NetLayer_FreeSession();
    mbedtls_x509_crt_free(&cacert);
    mbedtls_x509_crt_free(&clicert);
    mbedtls_pk_free(&pkey);
    m_bCredentialsReady = false;
}

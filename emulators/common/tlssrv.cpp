// emulators/common/tlssrv.cpp
#include "emulators/common/tlssrv.h"

#include <arpa/inet.h>
#include <cstdio>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "host/netlayer.h"

static mbedtls_net_context m_Listen;
static mbedtls_net_context m_Client;
static mbedtls_ssl_context m_Ssl;
static mbedtls_ssl_config m_Conf;
static mbedtls_x509_crt m_Cert;
static mbedtls_x509_crt m_CA;
static mbedtls_pk_context m_Key;
static mbedtls_entropy_context m_Entropy;
static mbedtls_ctr_drbg_context m_Drbg;
static uint16_t m_usPort = 0;
static bool m_bKeepNagle = false;
static bool m_bStarted = false;

static const int m_aiCipherSuites[] = {MBEDTLS_TLS_RSA_WITH_3DES_EDE_CBC_SHA, 0};

// Terminals of the older set-up carry certificates signed with SHA-1; the servers
// accept them, so their check of client chains admits SHA-1 beside the SHA-2 family.
static const mbedtls_x509_crt_profile m_ClientProfile = {
    MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA1) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA224) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA256) | MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA384) |
        MBEDTLS_X509_ID_FLAG(MBEDTLS_MD_SHA512),
    0xFFFFFFF, 0xFFFFFFF, 1024};

static std::string aux_TlsSrv_Error(const char* what, int rc) {
    char text[160];
    mbedtls_strerror(rc, text, sizeof(text));
    char line[256];
    snprintf(line, sizeof(line), "%s: -0x%04x %s", what, static_cast<unsigned>(-rc), text);
    return line;
}

int TlsSrv_Start(const STlsSrvConfig* config, std::string* err) {
    mbedtls_net_init(&m_Listen);
    mbedtls_net_init(&m_Client);
    mbedtls_ssl_init(&m_Ssl);
    mbedtls_ssl_config_init(&m_Conf);
    mbedtls_x509_crt_init(&m_Cert);
    mbedtls_x509_crt_init(&m_CA);
    mbedtls_pk_init(&m_Key);
    mbedtls_entropy_init(&m_Entropy);
    mbedtls_ctr_drbg_init(&m_Drbg);
    m_bStarted = true;

    static const unsigned char kPersonal[] = "RAVO emulator";
    int rc = mbedtls_ctr_drbg_seed(&m_Drbg, mbedtls_entropy_func, &m_Entropy, kPersonal, sizeof(kPersonal) - 1);
    if (rc != 0) return *err = aux_TlsSrv_Error("ctr_drbg_seed", rc), -1;
    if ((rc = mbedtls_x509_crt_parse_file(&m_Cert, config->pszCertFile)) != 0)
        return *err = aux_TlsSrv_Error(config->pszCertFile, rc), -1;
    if ((rc = mbedtls_pk_parse_keyfile(&m_Key, config->pszKeyFile, "")) != 0)
        return *err = aux_TlsSrv_Error(config->pszKeyFile, rc), -1;
    if ((rc = mbedtls_x509_crt_parse_file(&m_CA, config->pszCAFile)) != 0)
        return *err = aux_TlsSrv_Error(config->pszCAFile, rc), -1;

    rc = mbedtls_ssl_config_defaults(&m_Conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                     MBEDTLS_SSL_PRESET_DEFAULT);
    if (rc != 0) return *err = aux_TlsSrv_Error("ssl_config_defaults", rc), -1;
    mbedtls_ssl_conf_rng(&m_Conf, mbedtls_ctr_drbg_random, &m_Drbg);
    mbedtls_ssl_conf_ciphersuites(&m_Conf, m_aiCipherSuites);
    mbedtls_ssl_conf_min_version(&m_Conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
    mbedtls_ssl_conf_max_version(&m_Conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(&m_Conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&m_Conf, &m_CA, nullptr);
    mbedtls_ssl_conf_cert_profile(&m_Conf, &m_ClientProfile);
    mbedtls_ssl_conf_read_timeout(&m_Conf, config->ulIdleMs);
    if ((rc = mbedtls_ssl_conf_own_cert(&m_Conf, &m_Cert, &m_Key)) != 0)
        return *err = aux_TlsSrv_Error("ssl_conf_own_cert", rc), -1;
    if ((rc = mbedtls_ssl_setup(&m_Ssl, &m_Conf)) != 0) return *err = aux_TlsSrv_Error("ssl_setup", rc), -1;

    char port[8];
    snprintf(port, sizeof(port), "%u", config->usPort);
    if ((rc = mbedtls_net_bind(&m_Listen, "127.0.0.1", port, MBEDTLS_NET_PROTO_TCP)) != 0)
        return *err = aux_TlsSrv_Error("bind 127.0.0.1", rc), -1;
    struct sockaddr_in addr = {};
    socklen_t len = sizeof(addr);
    if (getsockname(m_Listen.fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0)
        return *err = "getsockname failed", -1;
    m_usPort = ntohs(addr.sin_port);
    m_bKeepNagle = config->bKeepNagle;
    return 0;
}

uint16_t TlsSrv_Port() { return m_usPort; }

int TlsSrv_WritePortFile(const char* path) {
    std::string tmp = std::string(path) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (f == nullptr) return -1;
    fprintf(f, "%u\n", m_usPort);
    if (fclose(f) != 0) return -1;
    return rename(tmp.c_str(), path);
}

int TlsSrv_Accept(std::string* err) {
    int rc = mbedtls_net_accept(&m_Listen, &m_Client, nullptr, 0, nullptr);
    if (rc != 0) return *err = aux_TlsSrv_Error("accept", rc), rc;
    mbedtls_ssl_session_reset(&m_Ssl);
    // Answers go out as they are written, as a server that means to be fast sets it; a
    // server that keeps the delay is the test of how the terminal copes with one.
    int one = 1;
    if (!m_bKeepNagle) setsockopt(m_Client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    mbedtls_ssl_set_bio(&m_Ssl, &m_Client, mbedtls_net_send, nullptr, mbedtls_net_recv_timeout);
    do {
        rc = mbedtls_ssl_handshake(&m_Ssl);
    } while (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (rc != 0) {
        *err = aux_TlsSrv_Error("handshake", rc);
        // The client's refusal of this server: its alert names the reason (unknown_ca, bad_certificate ...).
        if (rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE && m_Ssl.in_msgtype == MBEDTLS_SSL_MSG_ALERT &&
            m_Ssl.in_msg != nullptr)
            *err += std::string(" / alert from the client: ") + NetLayer_AlertName(m_Ssl.in_msg[1]) + " (" +
                    std::to_string(m_Ssl.in_msg[1]) + ")";
        uint32_t flags = mbedtls_ssl_get_verify_result(&m_Ssl);
        if (flags != 0 && flags != static_cast<uint32_t>(-1)) {
            char info[512];
            mbedtls_x509_crt_verify_info(info, sizeof(info), "", flags);
            for (char* p = info; *p; ++p)
                if (*p == '\n') *p = ' ';
            *err += std::string(" / client certificate: ") + info;
        }
        TlsSrv_CloseClient(false);
        return rc;
    }
    return 0;
}

int TlsSrv_Read(uint8_t* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        int rc = mbedtls_ssl_read(&m_Ssl, buffer + got, length - got);
        if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
        if (rc <= 0) return -1;
        got += static_cast<size_t>(rc);
    }
    return 0;
}

int TlsSrv_Write(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        int rc = mbedtls_ssl_write(&m_Ssl, data + done, length - done);
        if (rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
        if (rc <= 0) return -1;
        done += static_cast<size_t>(rc);
    }
    return 0;
}

std::string TlsSrv_SessionInfo() {
    const char* suite = mbedtls_ssl_get_ciphersuite(&m_Ssl);
    return std::string(mbedtls_ssl_get_version(&m_Ssl)) + " " + (suite ? suite : "-");
}

void TlsSrv_CloseClient(bool graceful) {
    if (graceful) mbedtls_ssl_close_notify(&m_Ssl);
    mbedtls_net_free(&m_Client);
    mbedtls_ssl_session_reset(&m_Ssl);
}

void TlsSrv_Stop() {
    if (!m_bStarted) return;
    mbedtls_net_free(&m_Client);
    mbedtls_net_free(&m_Listen);
    mbedtls_ssl_free(&m_Ssl);
    mbedtls_ssl_config_free(&m_Conf);
    mbedtls_x509_crt_free(&m_Cert);
    mbedtls_x509_crt_free(&m_CA);
    mbedtls_pk_free(&m_Key);
    mbedtls_ctr_drbg_free(&m_Drbg);
    mbedtls_entropy_free(&m_Entropy);
    m_bStarted = false;
}

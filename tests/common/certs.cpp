// tests/common/certs.cpp
#include "tests/common/certs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include "host/netlayer.h"

namespace {

// The DER of a subjectAltName extension from "IP:1.2.3.4,DNS:name,IP6:::1" (short entries only).
std::string SanDer(const std::string& list) {
    std::string body;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(at, end - at);
        at = end + 1;
        size_t colon = item.find(':');
        std::string kind = item.substr(0, colon), value = item.substr(colon + 1);
        std::string bytes = value;
        char tag = static_cast<char>(0x82);  // [2] dNSName
        if (kind == "IP" || kind == "IP6") {
            unsigned char ip[16];
            int family = kind == "IP" ? AF_INET : AF_INET6;
            if (inet_pton(family, value.c_str(), ip) != 1) ADD_FAILURE() << "bad address " << value;
            bytes.assign(reinterpret_cast<const char*>(ip), family == AF_INET ? 4 : 16);
            tag = static_cast<char>(0x87);  // [7] iPAddress
        } else if (kind == "URI") {
            tag = static_cast<char>(0x86);  // [6] uniformResourceIdentifier
        }
        body += tag;
        body += static_cast<char>(bytes.size());
        body += bytes;
    }
    return std::string(1, 0x30) + static_cast<char>(body.size()) + body;
}

}  // namespace

std::string MakeCert(const CertOrder& order) {
    mbedtls_pk_context key, issuerKey;
    mbedtls_pk_init(&key);
    mbedtls_pk_init(&issuerKey);
    mbedtls_x509write_cert crt;
    mbedtls_x509write_crt_init(&crt);
    mbedtls_mpi serial;
    mbedtls_mpi_init(&serial);
    std::string pem;
    unsigned char buf[4096];
    std::string san = order.sans.empty() ? "" : SanDer(order.sans);
    if (mbedtls_pk_parse_keyfile(&key, order.keyFile.c_str(), "") == 0 &&
        mbedtls_pk_parse_keyfile(&issuerKey, order.issuerKeyFile.c_str(), "") == 0 &&
        mbedtls_mpi_lset(&serial, 77) == 0) {
        mbedtls_x509write_crt_set_version(&crt, MBEDTLS_X509_CRT_VERSION_3);
        mbedtls_x509write_crt_set_md_alg(&crt, MBEDTLS_MD_SHA256);
        mbedtls_x509write_crt_set_subject_key(&crt, &key);
        mbedtls_x509write_crt_set_issuer_key(&crt, &issuerKey);
        int rc = mbedtls_x509write_crt_set_subject_name(&crt, order.subject.c_str());
        if (rc == 0) rc = mbedtls_x509write_crt_set_issuer_name(&crt, order.issuerName.c_str());
        if (rc == 0) rc = mbedtls_x509write_crt_set_serial(&crt, &serial);
        if (rc == 0) rc = mbedtls_x509write_crt_set_validity(&crt, order.notBefore.c_str(), order.notAfter.c_str());
        if (rc == 0) rc = mbedtls_x509write_crt_set_basic_constraints(&crt, order.ca ? 1 : 0, -1);
        if (rc == 0 && !san.empty())
            rc = mbedtls_x509write_crt_set_extension(&crt, MBEDTLS_OID_SUBJECT_ALT_NAME,
                                                     MBEDTLS_OID_SIZE(MBEDTLS_OID_SUBJECT_ALT_NAME), 0,
                                                     reinterpret_cast<const unsigned char*>(san.data()), san.size());
        if (rc == 0) rc = mbedtls_x509write_crt_pem(&crt, buf, sizeof(buf), ravo_random, nullptr);
        if (rc == 0) pem = reinterpret_cast<const char*>(buf);
        if (rc != 0) ADD_FAILURE() << "certificate not made: -0x" << std::hex << -rc;
    } else {
        ADD_FAILURE() << "keys not read";
    }
    mbedtls_mpi_free(&serial);
    mbedtls_x509write_crt_free(&crt);
    mbedtls_pk_free(&key);
    mbedtls_pk_free(&issuerKey);
    return pem;
}


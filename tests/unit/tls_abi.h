// The TLS library's structures that RAVO's code allocates or reads a field of,
// measured in two translation units: one compiled as the modules are, one as
// the TLS library itself was compiled (its own time_t and off_t).
#pragma once
#include <cstddef>

// The structures the modules and the emulators hold by value.
#define RAVO_TLS_SHARED_TYPES(X)                                                          \
    X(mbedtls_ssl_context) X(mbedtls_ssl_config) X(mbedtls_x509_crt) X(mbedtls_x509_time) \
    X(mbedtls_x509_crt_profile) X(mbedtls_pk_context) X(mbedtls_entropy_context)          \
    X(mbedtls_ctr_drbg_context) X(mbedtls_net_context) X(mbedtls_des_context)             \
    X(mbedtls_des3_context) X(mbedtls_x509_name) X(mbedtls_x509_sequence)

// The fields read directly rather than through a function.
#define RAVO_TLS_SHARED_FIELDS(X)                                                                                  \
    X(mbedtls_x509_crt, sig_md) X(mbedtls_x509_crt, valid_from) X(mbedtls_x509_crt, valid_to) X(mbedtls_x509_crt, next) \
    X(mbedtls_x509_crt, subject) X(mbedtls_x509_crt, subject_alt_names) X(mbedtls_x509_crt, ext_types)                 \
    X(mbedtls_x509_crt, raw) X(mbedtls_x509_crt, subject_raw) X(mbedtls_x509_crt, issuer_raw)                          \
    X(mbedtls_x509_name, oid) X(mbedtls_x509_name, val) X(mbedtls_x509_name, next)                                     \
    X(mbedtls_x509_sequence, buf) X(mbedtls_x509_sequence, next)                                                       \
    X(mbedtls_ssl_context, in_msg) X(mbedtls_ssl_context, in_msgtype) X(mbedtls_ssl_context, in_left)

struct STlsAbiRow {
    const char* name;
    size_t value;  // a size or an offset
};

// The rows as the TLS library sees them: the types' sizes, then the fields' offsets.
size_t TlsAbiProbe_LibraryRows(const STlsAbiRow** rows);
// The size of the library's own time type.
size_t TlsAbiProbe_LibraryTimeSize();

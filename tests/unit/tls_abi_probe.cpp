// Compiled with the TLS library's own time_t and off_t (see CMakeLists.txt).
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/des.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_time.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "tests/unit/tls_abi.h"

#define RAVO_TLS_SIZE_ROW(type) {#type, sizeof(type)},
#define RAVO_TLS_OFFSET_ROW(type, field) {#type "." #field, offsetof(type, field)},

static const STlsAbiRow kLibraryRows[] = {RAVO_TLS_SHARED_TYPES(RAVO_TLS_SIZE_ROW)
                                              RAVO_TLS_SHARED_FIELDS(RAVO_TLS_OFFSET_ROW)};

size_t TlsAbiProbe_LibraryRows(const STlsAbiRow** rows) {
    *rows = kLibraryRows;
    return sizeof(kLibraryRows) / sizeof(kLibraryRows[0]);
}

size_t TlsAbiProbe_LibraryTimeSize() { return sizeof(mbedtls_time_t); }

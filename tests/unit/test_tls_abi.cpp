// The TLS library's structures that the modules share with it have one layout
// whether time_t is the library's or ours: on the 32-bit target the modules use
// a 64-bit time_t while the library was built with a 32-bit one.
#include <gtest/gtest.h>

#include <cstring>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/des.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_time.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "tests/unit/tls_abi.h"

namespace {

#define RAVO_TLS_SIZE_ROW(type) {#type, sizeof(type)},
#define RAVO_TLS_OFFSET_ROW(type, field) {#type "." #field, offsetof(type, field)},

const STlsAbiRow kModuleRows[] = {RAVO_TLS_SHARED_TYPES(RAVO_TLS_SIZE_ROW)
                                      RAVO_TLS_SHARED_FIELDS(RAVO_TLS_OFFSET_ROW)};

TEST(TlsAbi, SharedStructuresMatchTheLibrary) {
    const STlsAbiRow* library = nullptr;
    size_t count = TlsAbiProbe_LibraryRows(&library);
    ASSERT_EQ(sizeof(kModuleRows) / sizeof(kModuleRows[0]), count);
    for (size_t i = 0; i < count; i++) {
        SCOPED_TRACE(kModuleRows[i].name);
        EXPECT_STREQ(library[i].name, kModuleRows[i].name);
        EXPECT_EQ(library[i].value, kModuleRows[i].value);
    }
}

// The structures that do carry the time type (the session's start, the session
// cache's entries) must stay the library's to allocate: on the 32-bit target
// they differ, which is what this probe must be able to see.
TEST(TlsAbi, ProbeSeesTheLibraryTimeType) {
    if (TlsAbiProbe_LibraryTimeSize() == sizeof(mbedtls_time_t)) GTEST_SKIP() << "one time_t for both";
    EXPECT_EQ(4u, TlsAbiProbe_LibraryTimeSize());
    EXPECT_EQ(8u, sizeof(mbedtls_time_t));
}

}  // namespace

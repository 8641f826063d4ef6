// support/version.cpp
// Compiled with RAVO_VERSION_MAJOR, _MINOR and _PATCH from the build.
#include "support/version.h"

#if !defined(RAVO_VERSION_MAJOR) || !defined(RAVO_VERSION_MINOR) || !defined(RAVO_VERSION_PATCH)
#error "the build gives the version"
#endif

#define RAVO_STR2(x) #x
#define RAVO_STR(x) RAVO_STR2(x)

static_assert(RAVO_VERSION_MAJOR < 256 && RAVO_VERSION_MINOR < 256 && RAVO_VERSION_PATCH < 256,
              "each part of the version is one byte");

uint32_t Version_GetNumber() {
    return (static_cast<uint32_t>(RAVO_VERSION_MAJOR) << 24) | (static_cast<uint32_t>(RAVO_VERSION_MINOR) << 16) |
           (static_cast<uint32_t>(RAVO_VERSION_PATCH) << 8);
}

const char* Version_GetText() {
    return RAVO_STR(RAVO_VERSION_MAJOR) "." RAVO_STR(RAVO_VERSION_MINOR) "." RAVO_STR(RAVO_VERSION_PATCH);
}

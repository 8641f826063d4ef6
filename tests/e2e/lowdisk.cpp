// tests/e2e/lowdisk.cpp
// Preloaded into Ravo by the tests of the disk floor: E2E_FREE_MB makes the
// file system of every path report that many megabytes available (the rest of
// what statfs tells stays the disk's own).
#include <cstdlib>
#include <dlfcn.h>
#include <sys/vfs.h>

namespace {

template <typename Stat>
void aux_Shrink(Stat* out) {
    const char* text = getenv("E2E_FREE_MB");
    if (text == nullptr || out->f_bsize <= 0) return;
    out->f_bavail = static_cast<unsigned long long>(atol(text)) * 1048576ull / static_cast<unsigned long long>(out->f_bsize);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int statfs(const char* path, struct statfs* out) {
    static auto real = reinterpret_cast<int (*)(const char*, struct statfs*)>(dlsym(RTLD_NEXT, "statfs"));
    int rc = real(path, out);
    if (rc == 0) aux_Shrink(out);
    return rc;
}

// The name a 32-bit program built with 64-bit file offsets calls.
__attribute__((visibility("default"))) int statfs64(const char* path, struct statfs64* out) {
    static auto real = reinterpret_cast<int (*)(const char*, struct statfs64*)>(dlsym(RTLD_NEXT, "statfs64"));
    int rc = real(path, out);
    if (rc == 0) aux_Shrink(out);
    return rc;
}

}  // extern "C"

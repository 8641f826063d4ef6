// tests/e2e/crashpoint.cpp
// Preloaded into Ravo by the reliability tests only: every change the process
// makes below DATA/, to the response file RAVORS.XML, to the library files
// and their link or to the download state UPDSOFT.BIN in the payment
// directory (write, rename, unlink, ftruncate, symlink) is numbered, listed
// in the file E2E_CRASH_LOG, and the process kills itself with SIGKILL just
// before change number E2E_CRASH_AT (0: never). This puts a crash at each
// point between two record-file updates without touching the library.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int g_count = 0;

// The part of path that the log shows: from DATA/ on, else the bare name.
const char* Shown(const char* path) {
    const char* data = strstr(path, "DATA/");
    if (data != nullptr) return data;
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool Watched(const char* path) {
    if (path == nullptr) return false;
    size_t len = strlen(path);
    if (strstr(path, "DATA/") != nullptr) return !(len >= 6 && strcmp(path + len - 6, ".cache") == 0);
    // Downloads in TEMP/ are not the payment directory's state.
    if (strstr(path, "TEMP/") != nullptr) return false;
    const char* name = Shown(path);
    return strncmp(name, "libRAVOux.so", 12) == 0 || strcmp(name, "UPDSOFT.BIN") == 0 ||
           strncmp(name, "RAVORS.XML", 10) == 0;
}

void Event(const char* what, const char* path) {
    if (!Watched(path)) return;
    int saved = errno;
    ++g_count;
    if (const char* log = getenv("E2E_CRASH_LOG")) {
        char line[1200];
        int n = snprintf(line, sizeof(line), "%d %s %s\n", g_count, what, Shown(path));
        int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND, 0644));
        if (fd >= 0) {
            syscall(SYS_write, fd, line, static_cast<size_t>(n));
            syscall(SYS_close, fd);
        }
    }
    const char* at = getenv("E2E_CRASH_AT");
    if (at != nullptr && atoi(at) == g_count) {
        syscall(SYS_kill, getpid(), SIGKILL);
    }
    errno = saved;
}

void FdEvent(const char* what, int fd) {
    char link[64], path[1024];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof(path) - 1);
    if (n <= 0) return;
    path[n] = '\0';
    Event(what, path);
}

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// With a 64-bit off_t on a 32-bit target the headers name ftruncate ftruncate64.
#if defined(__USE_FILE_OFFSET64) && __WORDSIZE == 32
const char kFtruncate[] = "ftruncate64";
#else
const char kFtruncate[] = "ftruncate";
#endif

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buf, size_t count) {
    FdEvent("write", fd);
    return static_cast<ssize_t>(syscall(SYS_write, fd, buf, count));
}

__attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    Event("rename", to);
    static auto real = Real<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

__attribute__((visibility("default"))) int unlink(const char* path) {
    Event("unlink", path);
    static auto real = Real<int (*)(const char*)>("unlink");
    return real(path);
}

__attribute__((visibility("default"))) int symlink(const char* target, const char* path) {
    Event("symlink", path);
    static auto real = Real<int (*)(const char*, const char*)>("symlink");
    return real(target, path);
}

__attribute__((visibility("default"))) int ftruncate(int fd, off_t length) {
    FdEvent("ftruncate", fd);
    static auto real = Real<int (*)(int, off_t)>(kFtruncate);
    return real(fd, length);
}

}  // extern "C"

// tests/e2e/crashpoint.cpp
// Preloaded into Ravo by the reliability and durability tests only. Three
// jobs, each switched on by the environment:
//
// Kill at a change (E2E_CRASH_LOG, E2E_CRASH_AT). Every change the process
// makes below DATA/, to the response file RAVORS.XML, to the library files and
// their link or to the download state UPDSOFT.BIN in the payment directory
// (write, rename, unlink, ftruncate, symlink) is numbered, listed in the file
// E2E_CRASH_LOG, and the process kills itself with SIGKILL just before change
// number E2E_CRASH_AT (0: never). This puts a crash at each point between two
// record-file updates without touching the library.
//
// Record the file-system steps (E2E_STEP_LOG). Every state-changing call on a
// file or directory of the payment directory (the current directory) is
// listed in that file, one line each:
//   <step> <fault> <kind> <path> [<new path>] <host trace length>
// kind is create, write, truncate, fsync, fdatasync, dirsync, rename, unlink or
// mkdir; fault numbers the calls an I/O error can hit (creates, writes,
// renames, mkdir, flushes), "-" for the others; the last word is the length of
// the file E2E_HOST_TRACE when the step began. After a create, write,
// truncate or flush of a file its whole content is copied to
// "<E2E_STEP_LOG>.<step>". Writes through stdio are seen when the stream is
// flushed (fflush), creates through fopen too.
//
// Fail one call (E2E_FAIL_AT). The call with that fault number fails once,
// as a full or failing disk makes it: ENOSPC for creates, writes, renames and
// mkdir, EIO for flushes. A write or flush through stdio loses the stream's
// buffered bytes.
//
// E2E_NO_DIRSYNC=1 turns every flush of a directory into a no-op that
// reports success (and is not listed): a build without directory flushes.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
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

// The file an open descriptor names, "" when it cannot be told.
void FdPath(int fd, char* path, size_t size) {
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    path[n > 0 ? n : 0] = '\0';
}

void FdEvent(const char* what, int fd) {
    char path[1024];
    FdPath(fd, path, sizeof(path));
    if (path[0] != '\0') Event(what, path);
}

template <typename F>
F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// With a 64-bit off_t on a 32-bit target the headers name ftruncate
// ftruncate64, and open and fopen open64 and fopen64.
#if defined(__USE_FILE_OFFSET64) && __WORDSIZE == 32
const char kFtruncate[] = "ftruncate64";
const char kFopen[] = "fopen64";
const int kLargeFile = O_LARGEFILE;
#else
const char kFtruncate[] = "ftruncate";
const char kFopen[] = "fopen";
const int kLargeFile = 0;
#endif

// ------------------------------------------------------------ the step log

int g_step = 0;
int g_fault = 0;

// path relative to the payment directory (the current one), "" outside it.
void Relative(const char* path, char* out, size_t size) {
    out[0] = '\0';
    if (path == nullptr || path[0] == '\0') return;
    if (path[0] != '/') {
        while (path[0] == '.' && path[1] == '/') path += 2;
        snprintf(out, size, "%s", path[0] != '\0' ? path : ".");
        return;
    }
    static char cwd[PATH_MAX] = "";
    if (cwd[0] == '\0' && getcwd(cwd, sizeof(cwd)) == nullptr) return;
    size_t n = strlen(cwd);
    if (strncmp(path, cwd, n) != 0) return;
    if (path[n] == '\0') snprintf(out, size, ".");
    else if (path[n] == '/') snprintf(out, size, "%s", path + n + 1);
}

bool Recording() { return getenv("E2E_STEP_LOG") != nullptr || getenv("E2E_FAIL_AT") != nullptr; }

long HostTraceLength() {
    const char* trace = getenv("E2E_HOST_TRACE");
    if (trace == nullptr) return 0;
    struct stat st;
    return stat(trace, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

void Append(const char* file, const char* text, size_t n) {
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_CREAT | O_APPEND | kLargeFile, 0644));
    if (fd < 0) return;
    syscall(SYS_write, fd, text, n);
    syscall(SYS_close, fd);
}

// One step begins: it is numbered and listed; true when it is to fail.
bool Step(const char* kind, const char* rel, const char* to, bool faultable) {
    int saved = errno;
    ++g_step;
    int fault = faultable ? ++g_fault : 0;
    if (const char* log = getenv("E2E_STEP_LOG")) {
        char line[2400], faultText[16] = "-";
        if (fault != 0) snprintf(faultText, sizeof(faultText), "%d", fault);
        int n = snprintf(line, sizeof(line), "%d %s %s %s%s%s %ld\n", g_step, faultText, kind, rel, to ? " " : "",
                         to ? to : "", HostTraceLength());
        Append(log, line, static_cast<size_t>(n));
    }
    const char* at = getenv("E2E_FAIL_AT");
    errno = saved;
    return fault != 0 && at != nullptr && atoi(at) == fault;
}

// The content of the file behind fd after the step, for the step log.
void Snapshot(int fd) {
    const char* log = getenv("E2E_STEP_LOG");
    if (log == nullptr) return;
    int saved = errno;
    char source[64];
    snprintf(source, sizeof(source), "/proc/self/fd/%d", fd);
    char target[1100];
    snprintf(target, sizeof(target), "%s.%d", log, g_step);
    int in = static_cast<int>(syscall(SYS_openat, AT_FDCWD, source, O_RDONLY | kLargeFile));
    int out = static_cast<int>(syscall(SYS_openat, AT_FDCWD, target, O_WRONLY | O_CREAT | O_TRUNC | kLargeFile, 0644));
    if (in >= 0 && out >= 0) {
        char buf[8192];
        for (;;) {
            long got = syscall(SYS_read, in, buf, sizeof(buf));
            if (got <= 0) break;
            syscall(SYS_write, out, buf, static_cast<size_t>(got));
        }
    }
    if (in >= 0) syscall(SYS_close, in);
    if (out >= 0) syscall(SYS_close, out);
    errno = saved;
}

bool IsDir(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const char* path) { return syscall(SYS_faccessat, AT_FDCWD, path, F_OK, 0) == 0; }

// The payment-directory path of a descriptor, "" outside it or when unknown.
void FdRelative(int fd, char* rel, size_t size) {
    char path[1024];
    FdPath(fd, path, sizeof(path));
    Relative(path, rel, size);
}

// A flush of a file or directory; returns what fsync or fdatasync returns.
int Flush(int fd, const char* kind, long number) {
    char rel[1024] = "";
    if (Recording()) FdRelative(fd, rel, sizeof(rel));
    if (rel[0] != '\0') {
        bool dir = IsDir(fd);
        if (dir && getenv("E2E_NO_DIRSYNC") != nullptr) return 0;
        if (Step(dir ? "dirsync" : kind, rel, nullptr, true)) {
            errno = EIO;
            return -1;
        }
        int rc = static_cast<int>(syscall(number, fd));
        if (rc == 0 && !dir) Snapshot(fd);
        return rc;
    }
    if (getenv("E2E_NO_DIRSYNC") != nullptr && IsDir(fd)) return 0;
    return static_cast<int>(syscall(number, fd));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buf, size_t count) {
    FdEvent("write", fd);
    char rel[1024] = "";
    if (Recording()) FdRelative(fd, rel, sizeof(rel));
    if (rel[0] != '\0' && Step("write", rel, nullptr, true)) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t done = static_cast<ssize_t>(syscall(SYS_write, fd, buf, count));
    if (rel[0] != '\0') Snapshot(fd);
    return done;
}

__attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    Event("rename", to);
    char relFrom[1024] = "", relTo[1024] = "";
    if (Recording()) {
        Relative(from, relFrom, sizeof(relFrom));
        Relative(to, relTo, sizeof(relTo));
    }
    if (relTo[0] != '\0' && Step("rename", relFrom, relTo, true)) {
        errno = ENOSPC;
        return -1;
    }
    static auto real = Real<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

__attribute__((visibility("default"))) int unlink(const char* path) {
    Event("unlink", path);
    char rel[1024] = "";
    if (Recording()) Relative(path, rel, sizeof(rel));
    if (rel[0] != '\0' && Exists(path)) Step("unlink", rel, nullptr, false);
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
    char rel[1024] = "";
    if (Recording()) FdRelative(fd, rel, sizeof(rel));
    if (rel[0] != '\0') Step("truncate", rel, nullptr, false);
    static auto real = Real<int (*)(int, off_t)>(kFtruncate);
    int rc = real(fd, length);
    if (rel[0] != '\0') Snapshot(fd);
    return rc;
}

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    char rel[1024] = "";
    if (Recording() && (flags & O_CREAT)) Relative(path, rel, sizeof(rel));
    const bool creates = rel[0] != '\0' && !Exists(path);
    if (creates && Step("create", rel, nullptr, true)) {
        errno = ENOSPC;
        return -1;
    }
    int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | kLargeFile, mode));
    if (creates && fd >= 0) Snapshot(fd);
    return fd;
}

__attribute__((visibility("default"))) FILE* fopen(const char* path, const char* how) {
    static auto real = Real<FILE* (*)(const char*, const char*)>(kFopen);
    char rel[1024] = "";
    if (Recording() && how != nullptr && (how[0] == 'w' || how[0] == 'a')) Relative(path, rel, sizeof(rel));
    const bool creates = rel[0] != '\0' && !Exists(path);
    if (creates && Step("create", rel, nullptr, true)) {
        errno = ENOSPC;
        return nullptr;
    }
    FILE* file = real(path, how);
    if (creates && file != nullptr) Snapshot(fileno(file));
    return file;
}

__attribute__((visibility("default"))) int fflush(FILE* stream) {
    static auto real = Real<int (*)(FILE*)>("fflush");
    char rel[1024] = "";
    if (stream != nullptr && Recording() && __fpending(stream) > 0) FdRelative(fileno(stream), rel, sizeof(rel));
    if (rel[0] != '\0' && Step("write", rel, nullptr, true)) {
        __fpurge(stream);
        errno = ENOSPC;
        return EOF;
    }
    int rc = real(stream);
    if (rel[0] != '\0') Snapshot(fileno(stream));
    return rc;
}

__attribute__((visibility("default"))) int fsync(int fd) { return Flush(fd, "fsync", SYS_fsync); }

__attribute__((visibility("default"))) int fdatasync(int fd) { return Flush(fd, "fdatasync", SYS_fdatasync); }

__attribute__((visibility("default"))) int mkdir(const char* path, mode_t mode) {
    char rel[1024] = "";
    if (Recording()) Relative(path, rel, sizeof(rel));
    if (rel[0] != '\0' && !Exists(path) && Step("mkdir", rel, nullptr, true)) {
        errno = ENOSPC;
        return -1;
    }
    return static_cast<int>(syscall(SYS_mkdirat, AT_FDCWD, path, mode));
}

}  // extern "C"

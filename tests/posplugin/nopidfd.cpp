// tests/posplugin/nopidfd.cpp
// Preloaded into the plug-in's tests where i386 programs run under qemu's
// user-mode emulator: Qt's QProcess starts a program with clone(CLONE_PIDFD)
// once waitid(P_PIDFD) shows the kernel has pid descriptors, and qemu 7.2
// passes that probe to the kernel but refuses the clone. Answering the probe
// "not supported" sends QProcess down its plain fork path.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/syscall.h>

namespace {

const long kIdTypePidFd = 3;  // waitid's P_PIDFD

// The programs QProcess starts are not to be run through this library.
__attribute__((constructor)) void ForgetPreload() { unsetenv("LD_PRELOAD"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) long syscall(long number, ...) {
    long a[6];
    va_list args;
    va_start(args, number);
    for (long& value : a) value = va_arg(args, long);
    va_end(args);
    if (number == SYS_waitid && a[0] == kIdTypePidFd) {
        errno = ENOSYS;
        return -1;
    }
    static auto real = reinterpret_cast<long (*)(long, ...)>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

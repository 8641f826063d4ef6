// tests/e2e/fastclock.cpp
// Preloaded into Ravo by tests that would otherwise wait real seconds.
// E2E_CLOCK_SCALE: the monotonic clock runs that many times faster from the
// first reading, and sleeps last that many times less. Time limits measured on
// that clock (a download's FILELOADTIMEOUT, the session's budget, the result
// pauses) then pass in a fraction of the time; the wall clock is left alone.
// E2E_SLEEP_SCALE alone: only the sleeps (the pauses between pad polls, the
// 3 s a result stays on the pad) are shortened, while every time limit, read
// on the untouched clock and waited for in poll(), stays what it is.
// E2E_POLL_SCALE: waits in poll() last that many times less; with the same
// E2E_CLOCK_SCALE a limit waited for in poll (a pad that never answers) passes
// in that fraction too, while data that arrives still ends the wait at once.
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <poll.h>

namespace {

long ScaleOf(const char* name, long fallback) {
    const char* text = getenv(name);
    long value = text != nullptr ? atol(text) : fallback;
    return value > 0 ? value : 1;
}

long ClockScale() {
    static long scale = ScaleOf("E2E_CLOCK_SCALE", 1);
    return scale;
}

long SleepScale() {
    static long scale = ScaleOf("E2E_SLEEP_SCALE", ClockScale());
    return scale;
}

long long PollScale() {
    static long scale = ScaleOf("E2E_POLL_SCALE", 1);
    return scale;
}

long long Nanos(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

timespec FromNanos(long long n) {
    timespec t;
    t.tv_sec = static_cast<time_t>(n / 1000000000LL);
    t.tv_nsec = static_cast<long>(n % 1000000000LL);
    return t;
}

// A 32-bit program built with 64-bit time_t calls glibc's 64-bit-time entry
// points under their own names; these definitions take those names from the
// headers, so the next definition is looked up under the same name.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
const char kClockGettime[] = "__clock_gettime64";
const char kNanosleep[] = "__nanosleep64";
#else
const char kClockGettime[] = "clock_gettime";
const char kNanosleep[] = "nanosleep";
#endif

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int clock_gettime(clockid_t id, timespec* out) {
    static auto real = reinterpret_cast<int (*)(clockid_t, timespec*)>(dlsym(RTLD_NEXT, kClockGettime));
    int rc = real(id, out);
    if (rc != 0 || id != CLOCK_MONOTONIC) return rc;
    static long long base = Nanos(*out);
    *out = FromNanos(base + (Nanos(*out) - base) * ClockScale());
    return 0;
}

__attribute__((visibility("default"))) int nanosleep(const timespec* request, timespec* remain) {
    static auto real = reinterpret_cast<int (*)(const timespec*, timespec*)>(dlsym(RTLD_NEXT, kNanosleep));
    timespec shorter = FromNanos(Nanos(*request) / SleepScale());
    int rc = real(&shorter, remain);
    if (remain != nullptr) *remain = FromNanos(0);
    return rc;
}

__attribute__((visibility("default"))) int poll(pollfd* fds, nfds_t count, int timeout) {
    static auto real = reinterpret_cast<int (*)(pollfd*, nfds_t, int)>(dlsym(RTLD_NEXT, "poll"));
    if (timeout > 0) timeout = static_cast<int>((timeout + PollScale() - 1) / PollScale());
    return real(fds, count, timeout);
}

}  // extern "C"

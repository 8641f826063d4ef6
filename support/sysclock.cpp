// support/sysclock.cpp
#include "support/sysclock.h"

#include <cerrno>
#include <ctime>
#include <poll.h>

static time_t aux_SysNow() { return time(nullptr); }

static void aux_SysSleepMs(uint32_t ms) {
    struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

static uint64_t aux_SysMonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

static int aux_SysPollFd(int fd, short events, uint32_t ms) {
    struct pollfd pfd = {fd, events, 0};
    int limit = ms > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(ms);
    return poll(&pfd, 1, limit);
}

static const SSysClockSeam m_SystemSeam = {aux_SysNow, aux_SysSleepMs, aux_SysMonotonicMs, aux_SysPollFd};
static SSysClockSeam m_Seam = m_SystemSeam;

time_t SysClock_Now() { return m_Seam.pfNow(); }

void SysClock_LocalTime(struct tm* out) {
    time_t now = SysClock_Now();
    localtime_r(&now, out);
}

void SysClock_SleepMs(uint32_t ms) { m_Seam.pfSleepMs(ms); }

uint64_t SysClock_MonotonicMs() { return m_Seam.pfMonotonicMs(); }

int SysClock_PollFd(int fd, short events, uint32_t ms) { return m_Seam.pfPollFd(fd, events, ms); }

void SysClock_SetSeam(const SSysClockSeam* seam) {
    m_Seam = m_SystemSeam;
    if (seam == nullptr) return;
    if (seam->pfNow) m_Seam.pfNow = seam->pfNow;
    if (seam->pfSleepMs) m_Seam.pfSleepMs = seam->pfSleepMs;
    if (seam->pfMonotonicMs) m_Seam.pfMonotonicMs = seam->pfMonotonicMs;
    if (seam->pfPollFd) m_Seam.pfPollFd = seam->pfPollFd;
}

// support/sysclock.h
// The one seam through which the system reads the clock and waits.
// Every wait of a set length (the 3-second pause, read limits, the waits on a
// serial line or a socket) goes through here so that tests can run it on a
// clock of their own; the shipped library never replaces the seam.
#pragma once
#include <cstdint>
#include <ctime>

struct SSysClockSeam {
    time_t (*pfNow)();                 // wall-clock seconds, as time()
    void (*pfSleepMs)(uint32_t ms);    // a wait of ms milliseconds
    uint64_t (*pfMonotonicMs)();       // milliseconds of a monotonic clock
    int (*pfPollFd)(int fd, short events, uint32_t ms) = nullptr;  // a wait for events on fd, as poll()
};

// Returns the current wall-clock time in seconds.
time_t SysClock_Now();
// Fills tm with the local time of SysClock_Now().
void SysClock_LocalTime(struct tm* out);
// Waits ms milliseconds without using the processor.
void SysClock_SleepMs(uint32_t ms);
// Returns milliseconds of a monotonic clock (for time limits of waits).
uint64_t SysClock_MonotonicMs();
// Waits up to ms milliseconds for events (POLLIN, POLLOUT) on fd: as poll() on
// that one descriptor, 1 when ready (errors and hang-ups included), 0 on time-out, -1 on error.
int SysClock_PollFd(int fd, short events, uint32_t ms);
// Replaces the seam (null restores the system clock); for tests.
void SysClock_SetSeam(const SSysClockSeam* seam);

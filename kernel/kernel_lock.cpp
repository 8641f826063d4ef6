// kernel/kernel_lock.cpp
// One call at a time in a payment directory. Two calls at once would share
// the one PIN pad, the batch, journal and reversal files and the response
// file; the second call is therefore refused before it touches any of them.
//
// The lock is flock() on DATA/RAVO.LCK: it belongs to the open file, so a
// second call in the same process is refused as well, and the kernel drops
// it when the process ends however it ends (a killed call never leaves the
// till locked). The file itself stays; only the lock on it comes and goes.
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "kernel/kernel.h"
#include "support/log.h"
#include "support/result_codes.h"

static const char* const CALL_LOCK_FILE = "DATA/RAVO.LCK";

static int m_iCallLock = -1;

int Kernel_LockCall() {
    // Close-on-exec: a program the call starts (zip) must not hold the lock on.
    int fd = open(CALL_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        LogString("ERROR. Kernel_LockCall. Open %s: %d", CALL_LOCK_FILE, errno);
        return RES_PROBE_DATA;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) {
            LogString("ERROR. Kernel_LockCall. Terminal busy: another call holds %s", CALL_LOCK_FILE);
            return RES_TERMINAL_BUSY;
        }
        LogString("ERROR. Kernel_LockCall. Lock %s: %d", CALL_LOCK_FILE, err);
        return RES_PROBE_DATA;
    }
    m_iCallLock = fd;
    return RES_OK;
}

void Kernel_UnlockCall() {
    if (m_iCallLock < 0) return;
    flock(m_iCallLock, LOCK_UN);
    close(m_iCallLock);
    m_iCallLock = -1;
}

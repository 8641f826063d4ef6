// pinpad/comport.cpp
#include "pinpad/comport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "support/log.h"
#include "support/param.h"
#include "support/sysclock.h"

static int m_hPort = -1;
// The last open in words: why it failed, or that the device opened is no
// serial line; empty after a clean open.
static char m_szOpenError[96];

enum : uint16_t { COMPORT_MAX_NUMBER = 250 };
// Longest wait for the driver to take the rest of a frame it only took in part.
enum : uint32_t { COMPORT_WRITE_WAIT_MS = 2000 };

static speed_t aux_ComPort_Speed(uint32_t baud) {
    switch (baud) {
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

void ComPort_Init() { m_hPort = -1; }

int ComPort_DeInit() { return ComPort_Close(); }

int ComPort_IsOpen() { return m_hPort >= 0 ? 1 : 0; }

void ComPort_GetDevicePath(char* out, size_t size) {
    if (g_ComConfig.szComDevice[0] != '\0')
        snprintf(out, size, "%.*s", static_cast<int>(sizeof(g_ComConfig.szComDevice)), g_ComConfig.szComDevice);
    else
        snprintf(out, size, "/dev/ttyS%d", g_ComConfig.usComPort - 1);
}

const char* ComPort_GetOpenError() { return m_szOpenError; }

int ComPort_Open() {
    LogStringEx(LOG_DEBUG, "Com port open: %d %lu", g_ComConfig.usComPort,
                static_cast<unsigned long>(g_ComConfig.ulBaudrate));
    m_szOpenError[0] = '\0';
    if (g_ComConfig.usComPort < 1 || g_ComConfig.usComPort > COMPORT_MAX_NUMBER) {
        snprintf(m_szOpenError, sizeof(m_szOpenError), "port number %u outside 1..%u",
                 static_cast<unsigned>(g_ComConfig.usComPort), static_cast<unsigned>(COMPORT_MAX_NUMBER));
        return -1;
    }
    speed_t speed = aux_ComPort_Speed(g_ComConfig.ulBaudrate);
    if (speed == B0) {
        snprintf(m_szOpenError, sizeof(m_szOpenError), "line speed %lu not supported",
                 static_cast<unsigned long>(g_ComConfig.ulBaudrate));
        return -1;
    }
    if (m_hPort >= 0) ComPort_Close();

    char path[sizeof(g_ComConfig.szComDevice) + 1];
    ComPort_GetDevicePath(path, sizeof(path));
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        snprintf(m_szOpenError, sizeof(m_szOpenError), "%s", strerror(errno));
        return -1;
    }

    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        snprintf(m_szOpenError, sizeof(m_szOpenError), "not a serial line: %s", strerror(errno));
    } else {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | HUPCL | CRTSCTS);
        tio.c_cflag |= CS8 | CLOCAL | CREAD;
        tio.c_lflag = 0;
        tio.c_iflag = 0;
        tio.c_oflag = 0;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 5;
        // Applied as is: a device that refuses a flag still carries the frames.
        tcsetattr(fd, TCSANOW, &tio);
    }
    // Whatever is waiting in the line now was meant for an earlier call (a
    // reply that outlived the process that asked for it); it must not be
    // taken for an answer to this one.
    tcflush(fd, TCIFLUSH);
    m_hPort = fd;
    return 0;
}

int ComPort_Close() {
    if (m_hPort >= 0) close(m_hPort);
    m_hPort = -1;
    return 0;
}

int32_t ComPort_ReadBuffer(uint8_t* buffer, int32_t wanted, uint32_t timeoutMs) {
    if (m_hPort < 0) return -1;
    if (wanted <= 0) return 0;
    uint64_t start = SysClock_MonotonicMs();
    int32_t got = 0;
    // The port stays non-blocking; the wait for bytes is a poll on the
    // descriptor bounded by what is left of the time-out, never a spin.
    for (;;) {
        uint64_t elapsed = SysClock_MonotonicMs() - start;
        if (elapsed > timeoutMs) return got;
        int pr = SysClock_PollFd(m_hPort, POLLIN, static_cast<uint32_t>(timeoutMs - elapsed));
        if (pr < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (pr == 0) return got;
        ssize_t n = read(m_hPort, buffer + got, static_cast<size_t>(wanted - got));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return -1;
        }
        // End of file: the other side has gone; nothing more will come.
        if (n == 0) return got;
        got += static_cast<int32_t>(n);
        if (got >= wanted) return got;
    }
}

int32_t ComPort_WriteBuffer(const uint8_t* buffer, int32_t length, uint32_t timeoutMs) {
    if (m_hPort < 0) return -1;
    // A frame only half handed to the driver must not be reported as sent:
    // the rest is written as the driver drains, within a bounded wait.
    uint32_t limit = timeoutMs > COMPORT_WRITE_WAIT_MS ? timeoutMs : COMPORT_WRITE_WAIT_MS;
    uint64_t start = SysClock_MonotonicMs();
    int32_t done = 0;
    while (done < length) {
        ssize_t n = write(m_hPort, buffer + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        uint64_t elapsed = SysClock_MonotonicMs() - start;
        if (elapsed >= limit) return -1;
        if (SysClock_PollFd(m_hPort, POLLOUT, static_cast<uint32_t>(limit - elapsed)) == 0) return -1;
    }
    return length;
}

void ComPort_CleanBuffer() {}

// host/net.cpp
#include "host/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <mbedtls/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/log.h"
#include "support/sysclock.h"

static int m_hSocket = -1;

// Longest wait for room in the socket's send buffer; the same limit as a read.
static const uint32_t NET_SEND_LIMIT_MS = 45000;
// The wait is made in slices no longer than this so that it also ends on the
// time of the clock seam's monotonic clock rather than on the kernel's alone.
static const int NET_POLL_SLICE_MS = 1000;

// Waits until the socket is ready for events or deadlineMs (monotonic) has passed;
// deadlineMs 0 waits without limit. Returns 1 when ready, 0 on time-out, -1 on error.
static int aux_Net_Wait(short events, uint64_t deadlineMs) {
    for (;;) {
        int sliceMs = NET_POLL_SLICE_MS;
        if (deadlineMs != 0) {
            uint64_t now = SysClock_MonotonicMs();
            if (now >= deadlineMs) return 0;
            if (deadlineMs - now < static_cast<uint64_t>(sliceMs)) sliceMs = static_cast<int>(deadlineMs - now);
        }
        int rc = SysClock_PollFd(m_hSocket, events, static_cast<uint32_t>(sliceMs));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        // Errors and hang-ups count as ready: the following call reports them.
        if (rc > 0) return 1;
    }
}

int NetStart() {
    m_hSocket = -1;
    return 0;
}

int NetConnect(const char* address, uint16_t port) {
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // inet_addr would turn a host name into INADDR_NONE and try 255.255.255.255;
    // only a dotted IPv4 text is an address here.
    if (address == nullptr || inet_pton(AF_INET, address, &addr.sin_addr) != 1) return EINVAL;

    NetClose();
    m_hSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_hSocket < 0) {
        int err = errno;
        m_hSocket = -1;
        return err;
    }
    // Non-blocking from the start: a host whose network drops the connection
    // request without an answer would otherwise hold connect() through all of
    // the kernel's retries (about two minutes).
    int flags = fcntl(m_hSocket, F_GETFL, 0);
    if (flags < 0 || fcntl(m_hSocket, F_SETFL, flags | O_NONBLOCK) != 0) {
        int err = errno;
        NetClose();
        return err;
    }
    // Each TLS record goes out as it is written. With the delay (Nagle) a record waits
    // for the acknowledgement of the one before, which the peer may hold back some
    // 40 ms; TLS 1.0 writes every block as two records (the first of one byte, against
    // predictable CBC IVs), so a download block would pay that wait on every request.
    int one = 1;
    if (setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
        int err = errno;
        NetClose();
        return err;
    }
    int err = 0;
    if (connect(m_hSocket, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            int ready = aux_Net_Wait(POLLOUT, SysClock_MonotonicMs() + NET_CONNECT_TIMEOUT_MS);
            if (ready == 0) {
                err = ETIMEDOUT;
            } else if (ready < 0) {
                err = errno;
            } else {
                socklen_t len = sizeof(err);
                if (getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            }
        }
    }
    if (err != 0) {
        NetClose();
        return err;
    }
    return 0;
}

int NetSend(void* context, const unsigned char* data, size_t length) {
    (void)context;
    if (m_hSocket < 0) return -1;
    uint64_t deadline = SysClock_MonotonicMs() + NET_SEND_LIMIT_MS;
    for (;;) {
        // MSG_NOSIGNAL: a host that has gone away must give an error, not kill the till's process.
        ssize_t sent = send(m_hSocket, data, length, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int ready = aux_Net_Wait(POLLOUT, deadline);
        if (ready == 0) return MBEDTLS_ERR_SSL_TIMEOUT;
        if (ready < 0) return -1;
    }
}

int NetReceive(void* context, unsigned char* buffer, size_t length) {
    (void)context;
    if (m_hSocket < 0) return -1;
    for (;;) {
        ssize_t got = recv(m_hSocket, buffer, length, 0);
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return -1;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // What came is acknowledged now rather than some 40 ms later: a peer that
            // keeps the delay of small writes (Nagle) holds the second record of a
            // TLS 1.0 answer until the first is acknowledged. The setting does not
            // last, so it is made each time the read is about to wait.
            int one = 1;
            setsockopt(m_hSocket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
            return 0;
        }
        return -1;
    }
}

int NetReceiveTimeout(void* context, unsigned char* buffer, size_t length, uint32_t timeoutMs) {
    uint64_t start = SysClock_MonotonicMs();
    uint64_t deadline = timeoutMs != 0 ? start + timeoutMs : 0;
    for (;;) {
        int got = NetReceive(context, buffer, length);
        if (got != 0) return got;
        int ready = aux_Net_Wait(POLLIN, deadline);
        if (ready < 0) return -1;
        if (ready == 0) {
            // A 32-bit long would wrap the milliseconds after 49 days of uptime.
            LogString("ERROR. NetReceiveTimeout. Socket read timeout [%u] sec : s[%llu]e[%llu]",
                      timeoutMs / 1000, static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(SysClock_MonotonicMs()));
            return MBEDTLS_ERR_SSL_TIMEOUT;
        }
    }
}

void NetClose() {
    if (m_hSocket >= 0) close(m_hSocket);
    m_hSocket = -1;
}

int NetGetSocket() { return m_hSocket; }

void NetCork(bool on) {
    if (m_hSocket < 0) return;
    int value = on ? 1 : 0;
    setsockopt(m_hSocket, IPPROTO_TCP, TCP_CORK, &value, sizeof(value));
}

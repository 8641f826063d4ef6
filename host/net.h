// host/net.h
// The one TCP socket of the process and the send and timed receive callbacks
// that the TLS library runs over it. The context arguments are unused: there
// is only the module socket.
#pragma once
#include <cstddef>
#include <cstdint>

// Longest wait for the TCP connection, and for the TLS handshake over it.
enum : uint32_t { NET_CONNECT_TIMEOUT_MS = 45000 };

// Marks the socket closed; returns 0.
int NetStart();
// Opens a non-blocking IPv4 stream to a dotted address (no name lookup) within
// NET_CONNECT_TIMEOUT_MS; returns 0 or the errno value of the failing call (EINVAL for
// an address that is not dotted IPv4, ETIMEDOUT when the host never answered).
int NetConnect(const char* address, uint16_t port);
// Writes bytes to the socket, waiting for room while it is full; returns the count written
// or a negative TLS error (MBEDTLS_ERR_SSL_TIMEOUT when no room came within the send limit).
int NetSend(void* context, const unsigned char* data, size_t length);
// One non-blocking read: the byte count, 0 when nothing is waiting, -1 when the peer
// closed the connection or the read failed.
int NetReceive(void* context, unsigned char* buffer, size_t length);
// Reads with a limit of timeoutMs milliseconds (0: no limit) as the TLS library's receive
// callback: the byte count, -1 on close or error, MBEDTLS_ERR_SSL_TIMEOUT when the time ran out.
int NetReceiveTimeout(void* context, unsigned char* buffer, size_t length, uint32_t timeoutMs);
// Closes the socket when it is open and marks it closed.
void NetClose();
// Returns the module socket (-1 when closed).
int NetGetSocket();
// Holds what is written back (on) until the hold ends (off), so that the records of one
// write leave together; a no-op when the socket is closed.
void NetCork(bool on);

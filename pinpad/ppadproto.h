// pinpad/ppadproto.h
// The framed link to the PIN pad: request and reply frames with CRC-16,
// optional Triple-DES encipherment under a per-connect session key, the
// link test and the session-key agreement. The terminal is the master.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Frame bytes and sizes, shared with the pad emulator.
enum : uint8_t {
    PP_STX = 0x02,
    PP_ETX = 0x03,
    PP_LINK_TEST = 0x03,     // 02 03: link test, echoed by the pad
    PP_LINK_RELEASE = 0x04,  // 02 04: link release, not answered
    PP_KEY_FRAME = 0x02,     // 02 02: session-key half
    PP_FLAG_PLAIN = 0x00,
    PP_FLAG_ENCRYPTED = 0x01,
};
enum : int32_t {
    PP_FRAME_BUF_SIZE = 1200,  // largest request or reply frame
    PP_INBUF_SIZE = 1200,      // g_ucInBuf
    PP_OUTBUF_SIZE = 932,      // g_ucOutBuf
    PP_REQ_OVERHEAD = 7,       // STX, flag, length (2), ETX, CRC (2)
    PP_REPLY_HEADER = 6,       // STX, flag, length (2), status word (2)
    PP_KEY_FRAME_SIZE = 21,    // 02 02, 16 key-half bytes, 03, CRC (2)
    PP_KEY_HALF_SIZE = 16,
};
// The two fixed masks of the session-key agreement; the pad's application
// (and the emulator) must use the same values.
enum : uint8_t {
    PP_TERMINAL_HALF_MASK = 0x3C,  // XORed into every byte of the terminal's half
    PP_SESSION_KEY_MASK = 0xC5,    // XORed into every byte of T ^ P
};
// Time-outs of the link, in milliseconds.
enum : uint32_t {
    PP_LINK_TEST_TIMEOUT_MS = 2000,
    PP_KEY_REPLY_TIMEOUT_MS = 7000,
    PP_DEFAULT_PROTO_TO_MS = 12000,
};
// The listen-only command: nothing is sent, an unsolicited reply is awaited.
enum : uint8_t { PP_LISTEN_CLASS = 6, PP_LISTEN_CODE = 2 };

// The PIN-pad layer's shared request and reply buffers.
extern uint8_t g_ucInBuf[PP_INBUF_SIZE];
extern int32_t g_iInBufLen;
extern uint8_t g_ucOutBuf[PP_OUTBUF_SIZE];
extern int32_t g_iOutBufLen;

// Initialises the serial port state.
void PPadProto_Init();
// Opens the port, tests the link and agrees a session key; RES_OK, RES_PP_PORT_OPEN, RES_PP_NO_LINK,
// RES_PP_BAD_CRC, RES_PP_KEY_TIMEOUT, RES_PP_KEY_FRAME or RES_PP_RANDOM.
int PPadProto_Connect(uint32_t port);
// Clears the pad's display and releases the link when it was up, closes the port; always 0.
int PPadProto_Disconnect();
// Up to attempts link tests; 1 when the pad echoed one, else 0. Stale input ahead of
// the echo (a late reply, stray bytes) is passed over.
int PPadProto_TestConnect(uint16_t attempts);
// Agrees a new session key with the pad; RES_OK, RES_PP_BAD_CRC, RES_PP_KEY_TIMEOUT, RES_PP_KEY_FRAME
// or RES_PP_RANDOM (random source failed).
int PPadProto_SetSessionKey();
// One request and its reply; the reply data (at most outCapacity bytes) go to out.
// timeoutMs 0 means PROTO_TO. Returns RES_OK, the pad's non-zero status word or a link error.
int PPadProto_Exchange(uint8_t cmdClass, uint8_t cmdCode, const uint8_t* data, int32_t len, uint8_t* out,
                       int32_t* outLen, uint8_t encrypt, int32_t timeoutMs, uint8_t useSendTimeout,
                       int32_t outCapacity = PP_OUTBUF_SIZE);
// Writes bytes to the port; 0 when all were written, else -1.
int PPadProto_Send(const uint8_t* bytes, int32_t len, uint32_t timeoutMs);
// Reads wanted bytes; 0 when all arrived within timeoutMs, else non-zero (received holds the count).
int PPadProto_Read(uint8_t* buffer, int32_t wanted, int32_t* received, uint32_t timeoutMs);
// Port number of the last successful connect.
uint32_t PPadProto_GetPort();

// The OS random source of the terminal's key half, as getrandom(2): the count
// filled, or -1 with errno set.
typedef ssize_t (*PFN_PPADPROTO_RANDOM)(void* buffer, size_t length, unsigned int flags);
// Replaces the random source (null restores getrandom); for tests.
void PPadProto_SetRandomSource(PFN_PPADPROTO_RANDOM source);

// pinpad/ppadproto.cpp
#include "pinpad/ppadproto.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include "pinpad/comport.h"
#include "pinpad/crc.h"
#include "pinpad/des.h"
#include "pinpad/padprofile_internal.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/sysclock.h"

uint8_t g_ucInBuf[PP_INBUF_SIZE];
int32_t g_iInBufLen;
uint8_t g_ucOutBuf[PP_OUTBUF_SIZE];
int32_t g_iOutBufLen;

static uint8_t m_SessionKey[DES3_KEY_SIZE];
static uint8_t m_Buf[PP_FRAME_BUF_SIZE];
static uint32_t m_ulPort;

static PFN_PPADPROTO_RANDOM m_pfRandom = getrandom;

enum : int {
    PP_CONNECT_LINK_TESTS = 5,
    PP_RANDOM_DRAWS = 8,  // calls of the random source for one key half
};

static uint32_t aux_PPadProto_Pad8(uint32_t n) { return (n + 7u) / 8u * 8u; }

static void aux_PPadProto_PutCrc(uint8_t* at, uint16_t crc) {
    at[0] = static_cast<uint8_t>(crc & 0xFFu);
    at[1] = static_cast<uint8_t>(crc >> 8);
}

// Bytes left behind by a late reply would be taken for the next reply's
// header; they are dropped before a link test, and so before every request.
static void aux_PPadProto_DropStale() {
    uint8_t scratch[256];
    for (int i = 0; i < 64; ++i) {
        if (ComPort_ReadBuffer(scratch, sizeof(scratch), 0) < static_cast<int32_t>(sizeof(scratch))) return;
    }
}

// The rest of a refused reply is read and thrown away (within the reply
// time-out) so that it cannot pass for the next reply.
static void aux_PPadProto_Discard(uint32_t count, uint32_t timeoutMs) {
    uint8_t scratch[256];
    while (count > 0) {
        int32_t want = count < sizeof(scratch) ? static_cast<int32_t>(count) : static_cast<int32_t>(sizeof(scratch));
        int32_t got = ComPort_ReadBuffer(scratch, want, timeoutMs);
        if (got <= 0) return;
        count -= static_cast<uint32_t>(got);
    }
}

// Reads up to count bytes into at before deadlineMs (monotonic); the count read.
static int32_t aux_PPadProto_ReadBy(uint8_t* at, int32_t count, uint64_t deadlineMs) {
    uint64_t now = SysClock_MonotonicMs();
    if (now >= deadlineMs) return 0;
    int32_t got = ComPort_ReadBuffer(at, count, static_cast<uint32_t>(deadlineMs - now));
    return got < 0 ? 0 : got;
}

// A sound frame ends in ETX followed by the CRC-16 of its body.
static bool aux_PPadProto_SoundTail(const uint8_t* body, uint32_t bodyLen) {
    const uint8_t* tail = body + bodyLen;
    return tail[0] == PP_ETX &&
           CRC_CalcCRC16(body, bodyLen, 0) == static_cast<uint16_t>(tail[1] | (tail[2] << 8));
}

// Waits until deadlineMs for the link-test echo. A sound reply or key-half
// frame ahead of it is stale, above all the reply of a call that was killed
// while the pad worked, and is passed over whole (its body may well hold
// 02 03), so the link gets back in step. Any other byte ends the attempt at
// once, as before: a pad at another speed answers with noise.
static bool aux_PPadProto_AwaitEcho(uint64_t deadlineMs) {
    uint8_t w[PP_FRAME_BUF_SIZE];
    size_t have = 0;
    for (;;) {
        size_t need = 0, stale = 0;
        if (have >= 1 && w[0] != PP_STX) return false;
        if (have < 2) {
            need = 2;
        } else if (w[1] == PP_LINK_TEST) {
            return true;
        } else if (w[1] == PP_KEY_FRAME) {
            if (have < static_cast<size_t>(PP_KEY_FRAME_SIZE))
                need = PP_KEY_FRAME_SIZE;
            else if (aux_PPadProto_SoundTail(w + 2, PP_KEY_HALF_SIZE))
                stale = PP_KEY_FRAME_SIZE;
            else
                return false;
        } else if (w[1] == PP_FLAG_PLAIN || w[1] == PP_FLAG_ENCRYPTED) {
            if (have < static_cast<size_t>(PP_REPLY_HEADER)) {
                need = PP_REPLY_HEADER;
            } else {
                uint32_t n = static_cast<uint32_t>(w[2] | (w[3] << 8));
                uint32_t bodyLen = w[1] == PP_FLAG_ENCRYPTED ? aux_PPadProto_Pad8(n) : n;
                size_t total = PP_REPLY_HEADER + bodyLen + 3u;
                if (total > sizeof(w)) return false;
                if (have < total)
                    need = total;
                else if (aux_PPadProto_SoundTail(w + PP_REPLY_HEADER, bodyLen))
                    stale = total;
                else
                    return false;
            }
        } else {
            return false;
        }
        if (stale != 0) {
            have = 0;
            continue;
        }
        int32_t got = aux_PPadProto_ReadBy(w + have, static_cast<int32_t>(need - have), deadlineMs);
        if (got <= 0) return false;
        have += static_cast<size_t>(got);
    }
}

// Fills out from the OS random source; false when the source fails. A short
// or interrupted draw is continued a bounded number of times, never spun on.
static bool aux_PPadProto_DrawRandom(uint8_t* out, size_t len) {
    size_t filled = 0;
    int err = 0;
    for (int i = 0; i < PP_RANDOM_DRAWS && filled < len; ++i) {
        ssize_t n = m_pfRandom(out + filled, len - filled, 0);
        if (n > 0) {
            filled += static_cast<size_t>(n);
            continue;
        }
        err = n < 0 ? errno : 0;
        if (err != EINTR) break;
    }
    if (filled == len) return true;
    LogString("ERROR. PPadProto_SetSessionKey. Random source failed [%d].", err);
    return false;
}

void PPadProto_Init() { ComPort_Init(); }

uint32_t PPadProto_GetPort() { return m_ulPort; }

int PPadProto_Send(const uint8_t* bytes, int32_t len, uint32_t timeoutMs) {
    return ComPort_WriteBuffer(bytes, len, timeoutMs) == len ? 0 : -1;
}

int PPadProto_Read(uint8_t* buffer, int32_t wanted, int32_t* received, uint32_t timeoutMs) {
    int32_t n = ComPort_ReadBuffer(buffer, wanted, timeoutMs);
    *received = n < 0 ? 0 : n;
    return n == wanted ? 0 : 1;
}

int PPadProto_TestConnect(uint16_t attempts) {
    static const uint8_t kTest[2] = {PP_STX, PP_LINK_TEST};
    for (uint16_t i = 0; i < attempts; ++i) {
        aux_PPadProto_DropStale();
        PPadProto_Send(kTest, 2, g_ComConfig.usComTO);
        if (aux_PPadProto_AwaitEcho(SysClock_MonotonicMs() + PP_LINK_TEST_TIMEOUT_MS)) return 1;
    }
    return 0;
}

void PPadProto_SetRandomSource(PFN_PPADPROTO_RANDOM source) { m_pfRandom = source != nullptr ? source : getrandom; }

int PPadProto_SetSessionKey() {
    uint8_t half[PP_KEY_HALF_SIZE];
    // The terminal's half comes from the system's random source, never from rand().
    if (!aux_PPadProto_DrawRandom(half, sizeof(half))) {
        memset(half, 0, sizeof(half));
        return RES_PP_RANDOM;
    }
    for (uint8_t& b : half) {
        if (b == 0xFF) b = 0x00;
        b ^= PP_TERMINAL_HALF_MASK;
    }
    uint8_t frame[PP_KEY_FRAME_SIZE];
    frame[0] = PP_STX;
    frame[1] = PP_KEY_FRAME;
    memcpy(frame + 2, half, PP_KEY_HALF_SIZE);
    frame[18] = PP_ETX;
    aux_PPadProto_PutCrc(frame + 19, CRC_CalcCRC16(half, PP_KEY_HALF_SIZE, 0));

    PPadProto_TestConnect(1);
    PPadProto_Send(frame, PP_KEY_FRAME_SIZE, g_ComConfig.usComTO);

    uint8_t reply[PP_KEY_FRAME_SIZE];
    memset(reply, 0, sizeof(reply));
    const uint64_t deadline = SysClock_MonotonicMs() + PP_KEY_REPLY_TIMEOUT_MS;
    int32_t got = aux_PPadProto_ReadBy(reply, PP_KEY_FRAME_SIZE, deadline);
    // A link-test echo that came late stands in front of the key half: it is
    // passed over (a key-half frame begins 02 02).
    for (int i = 0; i < PP_CONNECT_LINK_TESTS && got == PP_KEY_FRAME_SIZE && reply[0] == PP_STX &&
                    reply[1] == PP_LINK_TEST;
         ++i) {
        memmove(reply, reply + 2, PP_KEY_FRAME_SIZE - 2);
        got = PP_KEY_FRAME_SIZE - 2 + aux_PPadProto_ReadBy(reply + PP_KEY_FRAME_SIZE - 2, 2, deadline);
    }
    int rc = RES_OK;
    if (got != PP_KEY_FRAME_SIZE) {
        rc = RES_PP_KEY_TIMEOUT;
    } else if (reply[0] != PP_STX || reply[1] != PP_KEY_FRAME || reply[18] != PP_ETX) {
        rc = RES_PP_KEY_FRAME;
    } else if (CRC_CalcCRC16(reply + 2, PP_KEY_HALF_SIZE, 0) !=
               static_cast<uint16_t>(reply[19] | (reply[20] << 8))) {
        rc = RES_PP_BAD_CRC;
    } else {
        for (int i = 0; i < PP_KEY_HALF_SIZE; ++i)
            m_SessionKey[i] = static_cast<uint8_t>(half[i] ^ reply[2 + i] ^ PP_SESSION_KEY_MASK);
    }
    memset(half, 0, sizeof(half));
    memset(reply, 0, sizeof(reply));
    return rc;
}

int PPadProto_Connect(uint32_t port) {
    memset(m_SessionKey, 0, sizeof(m_SessionKey));
    if (ComPort_Open() != 0) return RES_PP_PORT_OPEN;
    if (PPadProto_TestConnect(PP_CONNECT_LINK_TESTS) != 1) {
        ComPort_Close();
        return RES_PP_NO_LINK;
    }
    int rc = PPadProto_SetSessionKey();
    if (rc != RES_OK) {
        ComPort_Close();
        return rc;
    }
    m_ulPort = port;
    aux_PadProfile_Edit()->ucPinpadConnected = 1;
    return RES_OK;
}

static int PPadProto_aux_Exchange(uint8_t cmdClass, uint8_t cmdCode, const uint8_t* data, int32_t len,
                                  uint8_t* out, int32_t* outLen, uint8_t encrypt, int32_t timeoutMs,
                                  uint8_t useSendTimeout, int32_t outCapacity) {
    *outLen = 0;
    const bool listenOnly = cmdClass == PP_LISTEN_CLASS && cmdCode == PP_LISTEN_CODE;
    if (!listenOnly) {
        if (len < 0) len = 0;
        uint32_t body = static_cast<uint32_t>(len) + 2u;
        uint32_t n = encrypt == 1 ? aux_PPadProto_Pad8(body) : body;
        if (n + PP_REQ_OVERHEAD > static_cast<uint32_t>(PP_FRAME_BUF_SIZE)) {
            LogString("ERROR. PPadProto_aux_Exchange. Request too long [%ld].", static_cast<long>(len));
            return RES_IO_FAILED;
        }
        memset(m_Buf, 0, sizeof(m_Buf));
        m_Buf[0] = cmdClass;
        m_Buf[1] = cmdCode;
        if (data != nullptr && len != 0) memcpy(m_Buf + 2, data, static_cast<size_t>(len));
        uint8_t flag = PP_FLAG_PLAIN;
        if (encrypt == 1) {
            Encode_3DES(m_Buf, m_Buf, static_cast<uint16_t>(n), m_SessionKey);
            flag = PP_FLAG_ENCRYPTED;
        }
        uint16_t crc = CRC_CalcCRC16(m_Buf, n, 0);
        memmove(m_Buf + 4, m_Buf, n);
        m_Buf[0] = PP_STX;
        m_Buf[1] = flag;
        m_Buf[2] = static_cast<uint8_t>(n & 0xFFu);
        m_Buf[3] = static_cast<uint8_t>(n >> 8);
        m_Buf[4 + n] = PP_ETX;
        aux_PPadProto_PutCrc(m_Buf + 5 + n, crc);

        PPadProto_TestConnect(1);
        int rc = PPadProto_Send(m_Buf, static_cast<int32_t>(n + PP_REQ_OVERHEAD),
                                useSendTimeout ? g_ComConfig.usComTO : 0);
        // The clear request (PIN pad requests carry a masked PAN at most, but
        // the frame buffer also carries key material) is not kept.
        memset(m_Buf, 0, sizeof(m_Buf));
        if (rc != 0) return RES_IO_FAILED;
    }

    uint32_t timeout = timeoutMs != 0 ? static_cast<uint32_t>(timeoutMs) : g_ComConfig.usProtoTO;
    memset(m_Buf, 0, sizeof(m_Buf));
    int32_t got = 0;
    if (PPadProto_Read(m_Buf, PP_REPLY_HEADER, &got, timeout) != 0) {
        if (listenOnly && outCapacity >= 1) {
            out[0] = 0x01;  // nothing has arrived yet
            *outLen = 1;
            return RES_OK;
        }
        return RES_PP_NO_HEADER;
    }
    if (m_Buf[0] != PP_STX) return RES_PP_NO_STX;
    uint8_t flag = m_Buf[1];
    uint32_t n = static_cast<uint32_t>(m_Buf[2] | (m_Buf[3] << 8));
    int status = m_Buf[4] | (m_Buf[5] << 8);
    uint32_t bodyLen = flag == PP_FLAG_ENCRYPTED ? aux_PPadProto_Pad8(n) : n;
    uint32_t rest = bodyLen + 3u;
    // A reply larger than the frame buffer, or whose data would not fit the
    // caller's buffer, is refused before a byte of it is stored.
    if (rest + PP_REPLY_HEADER > static_cast<uint32_t>(PP_FRAME_BUF_SIZE) ||
        (n >= 2 && n - 2 > static_cast<uint32_t>(outCapacity < 0 ? 0 : outCapacity))) {
        LogString("ERROR. PPadProto_aux_Exchange. Reply too long [%lu].", static_cast<unsigned long>(n));
        aux_PPadProto_Discard(rest, timeout);
        return RES_PP_REPLY_TOO_LONG;
    }

    memset(m_Buf, 0, sizeof(m_Buf));
    if (PPadProto_Read(m_Buf, static_cast<int32_t>(rest), &got, timeout) != 0) {
        LogStringEx(LOG_DEBUG, "DEBUG. PPadProto_aux_Exchange. len=(%d), rec=(%d).", static_cast<int>(rest),
                    static_cast<int>(got));
        return RES_PP_NO_BODY;
    }
    if (m_Buf[rest - 3] != PP_ETX) return RES_PP_NO_ETX;
    uint16_t calc = CRC_CalcCRC16(m_Buf, bodyLen, 0);
    uint16_t pck = static_cast<uint16_t>(m_Buf[rest - 2] | (m_Buf[rest - 1] << 8));
    if (calc != pck) {
        LogString("ERROR. Invalid CRC [CLC.%04X <> PCK.%04X]", calc, pck);
        return RES_PP_BAD_CRC;
    }
    if (flag == PP_FLAG_ENCRYPTED) Decode_3DES(m_Buf, m_Buf, static_cast<uint16_t>(bodyLen), m_SessionKey);
    // A body too short to hold the echo cannot be a reply to this request.
    int rc;
    if (n < 2 || m_Buf[0] != cmdClass || m_Buf[1] != cmdCode) {
        rc = RES_PP_BAD_ECHO;
    } else {
        *outLen = static_cast<int32_t>(n - 2);
        if (*outLen > 0) memcpy(out, m_Buf + 2, static_cast<size_t>(*outLen));
        rc = status;
    }
    // Replies carry enciphered card data and PIN blocks; no copy stays here.
    memset(m_Buf, 0, sizeof(m_Buf));
    return rc;
}

int PPadProto_Exchange(uint8_t cmdClass, uint8_t cmdCode, const uint8_t* data, int32_t len, uint8_t* out,
                       int32_t* outLen, uint8_t encrypt, int32_t timeoutMs, uint8_t useSendTimeout,
                       int32_t outCapacity) {
    return PPadProto_aux_Exchange(cmdClass, cmdCode, data, len, out, outLen, encrypt, timeoutMs, useSendTimeout,
                                  outCapacity);
}

int PPadProto_Disconnect() {
    if (PadProfile_Get()->ucPinpadConnected) {
        int32_t len = 0;
        uint8_t scratch[16];
        PPadProto_aux_Exchange(2, 1, nullptr, 0, scratch, &len, 0, 0, 0, sizeof(scratch));
        SysClock_SleepMs(1);
        static const uint8_t kRelease[2] = {PP_STX, PP_LINK_RELEASE};
        PPadProto_Send(kRelease, 2, g_ComConfig.usComTO);
        aux_PadProfile_Edit()->ucPinpadConnected = 0;
    }
    SysClock_SleepMs(1);
    ComPort_Close();
    memset(m_SessionKey, 0, sizeof(m_SessionKey));
    return RES_OK;
}

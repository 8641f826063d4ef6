// fuzz/fake_pad.cpp
#include "fuzz/fake_pad.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "pinpad/comport.h"
#include "pinpad/crc.h"
#include "pinpad/des.h"
#include "pinpad/ppadproto.h"

static std::string m_line;         // bytes waiting to be read
static size_t m_linePos = 0;
static bool m_replies = false;
static bool m_raw = false;
static const uint8_t* m_records = nullptr;
static size_t m_recordsLeft = 0;
static uint8_t m_key[DES3_KEY_SIZE];  // the session key as the pad sees it

void FakePad_Raw(const uint8_t* data, size_t n) {
    m_line.clear();
    m_linePos = 0;
    m_replies = false;
    m_raw = true;
    m_records = data;
    m_recordsLeft = n;
}

void FakePad_Replies(const uint8_t* data, size_t n) {
    m_line.clear();
    m_linePos = 0;
    m_replies = true;
    m_raw = false;
    m_records = data;
    m_recordsLeft = n;
}

static void aux_FakePad_PutCrc(std::string& out, const uint8_t* body, uint32_t n) {
    uint16_t crc = CRC_CalcCRC16(body, n, 0);
    out += static_cast<char>(crc & 0xFF);
    out += static_cast<char>(crc >> 8);
}

static void aux_FakePad_KeyHalf(const uint8_t* frame) {
    uint8_t half[PP_KEY_HALF_SIZE];
    memset(half, 0x5A, sizeof(half));
    for (int i = 0; i < PP_KEY_HALF_SIZE; ++i)
        m_key[i] = static_cast<uint8_t>(frame[2 + i] ^ half[i] ^ PP_SESSION_KEY_MASK);
    m_line += static_cast<char>(PP_STX);
    m_line += static_cast<char>(PP_KEY_FRAME);
    m_line.append(reinterpret_cast<const char*>(half), sizeof(half));
    m_line += static_cast<char>(PP_ETX);
    aux_FakePad_PutCrc(m_line, half, sizeof(half));
}

static void aux_FakePad_Answer(const uint8_t* frame, int32_t len) {
    uint32_t n = static_cast<uint32_t>(frame[2] | (frame[3] << 8));
    if (n < 2 || static_cast<uint32_t>(len) < n + 4) return;
    uint8_t body[PP_FRAME_BUF_SIZE];
    memcpy(body, frame + 4, n);
    if (frame[1] == PP_FLAG_ENCRYPTED) Decode_3DES(body, body, static_cast<uint16_t>(n), m_key);
    if (m_recordsLeft < 4) return;  // the pad says nothing more
    FuzzReader in(m_records, m_recordsLeft);
    uint16_t length = in.u16();
    uint16_t status = in.u16();
    std::string data = in.bytes(length);
    m_records += 4 + data.size();
    m_recordsLeft -= 4 + data.size();
    std::string reply;
    reply += static_cast<char>(body[0]);
    reply += static_cast<char>(body[1]);
    reply += data;
    uint32_t size = static_cast<uint32_t>(reply.size());
    m_line += static_cast<char>(PP_STX);
    m_line += static_cast<char>(PP_FLAG_PLAIN);
    m_line += static_cast<char>(size & 0xFF);
    m_line += static_cast<char>((size >> 8) & 0xFF);
    m_line += static_cast<char>(status & 0xFF);
    m_line += static_cast<char>(status >> 8);
    m_line += reply;
    m_line += static_cast<char>(PP_ETX);
    aux_FakePad_PutCrc(m_line, reinterpret_cast<const uint8_t*>(reply.data()), size);
}

void ComPort_Init() {}
int ComPort_DeInit() { return 0; }
int ComPort_Open() { return 0; }
int ComPort_Close() { return 0; }
void ComPort_CleanBuffer() {}
int ComPort_IsOpen() { return 1; }
void ComPort_GetDevicePath(char* out, size_t size) { snprintf(out, size, "fake pad"); }
const char* ComPort_GetOpenError() { return ""; }

int32_t ComPort_ReadBuffer(uint8_t* buffer, int32_t wanted, uint32_t timeoutMs) {
    if (wanted <= 0) return 0;
    size_t have = m_line.size() - m_linePos;
    size_t n = have < static_cast<size_t>(wanted) ? have : static_cast<size_t>(wanted);
    memcpy(buffer, m_line.data() + m_linePos, n);
    m_linePos += n;
    if (n < static_cast<size_t>(wanted)) Fuzz_ClockAdvance(timeoutMs + 1u);
    return static_cast<int32_t>(n);
}

// The next raw record joins whatever is still unread on the line.
static void aux_FakePad_NextRaw() {
    FuzzReader in(m_records, m_recordsLeft);
    std::string piece = in.bytes(in.u16());
    size_t used = m_recordsLeft - in.left();
    m_records += used;
    m_recordsLeft -= used;
    m_line += piece;
}

int32_t ComPort_WriteBuffer(const uint8_t* buffer, int32_t length, uint32_t timeoutMs) {
    if (m_raw) {
        aux_FakePad_NextRaw();
        return length;
    }
    if (!m_replies || length < 2 || buffer[0] != PP_STX) return length;
    if (m_linePos == m_line.size()) {
        m_line.clear();
        m_linePos = 0;
    }
    if (buffer[1] == PP_LINK_TEST && length == 2)
        m_line.append("\x02\x03", 2);
    else if (buffer[1] == PP_KEY_FRAME && length == PP_KEY_FRAME_SIZE)
        aux_FakePad_KeyHalf(buffer);
    else if ((buffer[1] == PP_FLAG_PLAIN || buffer[1] == PP_FLAG_ENCRYPTED) && length >= PP_REQ_OVERHEAD + 2)
        aux_FakePad_Answer(buffer, length);
    return length;
}

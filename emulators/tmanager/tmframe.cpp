// emulators/tmanager/tmframe.cpp
#include "emulators/tmanager/tmframe.h"

#include <cstring>

#include "pinpad/crc.h"

void TmFrame_PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t TmFrame_GetU32(const uint8_t* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | in[i];
    return value;
}

uint32_t TmFrame_Crc(const uint8_t* head, const uint8_t* data, size_t n) {
    const uint8_t etx = TMFRAME_ETX;
    uint32_t crc = CRC_CalcCRC32(head + 1, TMFRAME_HEAD - 1, 0);  // L and the command; STX stays out
    if (n > 0) crc = CRC_CalcCRC32(data, static_cast<uint32_t>(n), crc);
    return CRC_CalcCRC32(&etx, 1, crc);
}

std::vector<uint8_t> TmFrame_Build(uint8_t command, const uint8_t* data, size_t n) {
    if (n > TMFRAME_MAX_DATA) n = TMFRAME_MAX_DATA;
    const size_t l = n + TMFRAME_L_EXTRA;
    std::vector<uint8_t> frame(TMFRAME_HEAD + n + TMFRAME_TAIL);
    frame[0] = TMFRAME_STX;
    frame[1] = static_cast<uint8_t>(l >> 8);
    frame[2] = static_cast<uint8_t>(l);
    frame[3] = command;
    if (n > 0) memcpy(&frame[TMFRAME_HEAD], data, n);
    frame[TMFRAME_HEAD + n] = TMFRAME_ETX;
    TmFrame_PutU32(&frame[TMFRAME_HEAD + n + 1], TmFrame_Crc(frame.data(), data, n));
    return frame;
}

ETmFrameCheck TmFrame_CheckHead(const uint8_t* head, uint16_t* dataLength, uint8_t* command) {
    if (head[0] != TMFRAME_STX) return TMFRAME_NO_STX;
    const unsigned l = static_cast<unsigned>(head[1]) << 8 | head[2];
    if (l < TMFRAME_L_EXTRA || l > TMFRAME_MAX_L) return TMFRAME_BAD_LENGTH;
    *dataLength = static_cast<uint16_t>(l - TMFRAME_L_EXTRA);
    *command = head[3];
    return TMFRAME_OK;
}

ETmFrameCheck TmFrame_CheckTail(const uint8_t* head, const uint8_t* data, size_t n, const uint8_t* tail) {
    if (tail[0] != TMFRAME_ETX) return TMFRAME_NO_ETX;
    return TmFrame_GetU32(tail + 1) == TmFrame_Crc(head, data, n) ? TMFRAME_OK : TMFRAME_BAD_CRC;
}

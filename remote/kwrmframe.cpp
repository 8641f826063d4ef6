// remote/kwrmframe.cpp
#include "remote/kwrmframe.h"

#include <cstring>

#include "pinpad/crc.h"
#include "support/result_codes.h"

void KwrmFrame_PutU32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint32_t KwrmFrame_GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | in[3];
}

uint32_t KwrmFrame_Crc(const uint8_t* header, const uint8_t* data, uint16_t n) {
    static const uint8_t kEtx = KWRM_ETX;
    uint32_t crc = CRC_CalcCRC32(header + 1, KWRM_HEADER_SIZE - 1, 0);
    if (n > 0) crc = CRC_CalcCRC32(data, n, crc);
    return CRC_CalcCRC32(&kEtx, 1, crc);
}

uint16_t KwrmFrame_Build(uint8_t command, const uint8_t* data, uint16_t n, uint8_t* out) {
    uint16_t l = static_cast<uint16_t>(n + KWRM_L_OVERHEAD);
    out[0] = KWRM_STX;
    out[1] = static_cast<uint8_t>(l >> 8);
    out[2] = static_cast<uint8_t>(l);
    out[3] = command;
    // The data may already sit in place (the caller built it in the frame buffer).
    if (n > 0 && data != out + KWRM_HEADER_SIZE) memmove(out + KWRM_HEADER_SIZE, data, n);
    uint8_t* trailer = out + KWRM_HEADER_SIZE + n;
    trailer[0] = KWRM_ETX;
    KwrmFrame_PutU32(trailer + 1, KwrmFrame_Crc(out, out + KWRM_HEADER_SIZE, n));
    return static_cast<uint16_t>(KWRM_HEADER_SIZE + n + KWRM_TRAILER_SIZE);
}

int KwrmFrame_CheckHeader(const uint8_t* header, uint16_t bufferSize, uint16_t* dataLength, uint8_t* command) {
    if (header[0] != KWRM_STX) return RES_KWRM_FRAME;
    uint32_t l = static_cast<uint32_t>(header[1]) << 8 | header[2];
    // Checked before any data is read: a length beyond the buffer is refused outright.
    if (l < KWRM_L_OVERHEAD || l > KWRM_MAX_L || l > static_cast<uint32_t>(bufferSize) + KWRM_L_OVERHEAD)
        return RES_KWRM_LENGTH;
    *dataLength = static_cast<uint16_t>(l - KWRM_L_OVERHEAD);
    *command = header[3];
    return RES_OK;
}

int KwrmFrame_CheckTrailer(const uint8_t* header, const uint8_t* data, uint16_t n, const uint8_t* trailer) {
    if (trailer[0] != KWRM_ETX) return RES_KWRM_FRAME;
    if (KwrmFrame_GetU32(trailer + 1) != KwrmFrame_Crc(header, data, n)) return RES_KWRM_CRC;
    return RES_OK;
}

// pinpad/crc.cpp
#include "pinpad/crc.h"

#include <cerrno>
#include <cstdio>

#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

static inline uint16_t aux_CRC_Feed16(uint16_t reg, uint8_t byte) {
    for (int bit = 7; bit >= 0; --bit) {
        bool top = (reg & 0x8000u) != 0;
        reg = static_cast<uint16_t>((reg << 1) | ((byte >> bit) & 1u));
        if (top) reg ^= 0x8005u;
    }
    return reg;
}

uint16_t CRC_CalcCRC16(const uint8_t* data, uint32_t len, uint16_t init) {
    uint16_t reg = init;
    for (uint32_t i = 0; i < len; ++i) reg = aux_CRC_Feed16(reg, data[i]);
    // The augmented form pushes the register out with sixteen zero bits.
    reg = aux_CRC_Feed16(reg, 0);
    reg = aux_CRC_Feed16(reg, 0);
    return reg;
}

uint32_t CRC_CalcCRC32(const uint8_t* data, uint32_t len, uint32_t prev) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            table[n] = c;
        }
        ready = true;
    }
    uint32_t reg = ~prev;
    for (uint32_t i = 0; i < len; ++i) reg = table[(reg ^ data[i]) & 0xFFu] ^ (reg >> 8);
    return ~reg;
}

int CRC_GetFileCRC(const char* path, uint32_t* crc) {
    *crc = 0;
    if (!UtilFile_IsExists(path)) {
        LogStringEx(LOG_WARNING, "WARNING. GetFileCRC. No file: %s", path);
        return RES_KWRM_FILE_OPEN;
    }
    int32_t length = 0;
    if (UtilFile_GetLength(path, &length) != 0 || length > CRC_MAX_FILE_LENGTH) {
        LogString("ERROR. GetFileCRC. Invalid length [%ld], file: %s", static_cast<long>(length), path);
        return RES_KWRM_FILE_LENGTH;
    }
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        LogString("ERROR. GetFileCRC. Error open file: %s [%d]", path, errno);
        return RES_KWRM_FILE_OPEN;
    }
    uint32_t value = 0;
    int32_t left = length;
    uint8_t piece[32];
    while (left > 0) {
        size_t want = left < static_cast<int32_t>(sizeof(piece)) ? static_cast<size_t>(left) : sizeof(piece);
        if (fread(piece, 1, want, file) != want) {
            LogString("ERROR. GetFileCRC. Read file: %s [%d]", path, errno);
            fclose(file);
            return RES_KWRM_FILE_IO;
        }
        value = CRC_CalcCRC32(piece, static_cast<uint32_t>(want), value);
        left -= static_cast<int32_t>(want);
    }
    fclose(file);
    *crc = value;
    return RES_OK;
}

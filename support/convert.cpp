// support/convert.cpp
#include "support/convert.h"

#include <cstdio>
#include <sys/time.h>

static uint8_t aux_Convert_CharToNibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return 0;
}

// A nibble above 15 cannot come from a byte; it prints as "0" rather than garbage.
static char int_ConvBinToChar(uint8_t nibble) {
    static const char kDigits[] = "0123456789ABCDEF";
    return nibble <= 15 ? kDigits[nibble] : '0';
}

void Convert_HexToByte(const char* hex, uint8_t* out) {
    *out = static_cast<uint8_t>((aux_Convert_CharToNibble(hex[0]) << 4) | aux_Convert_CharToNibble(hex[1]));
}

void Convert_ByteToHex(uint8_t byte, char* out) {
    out[0] = int_ConvBinToChar(static_cast<uint8_t>(byte >> 4));
    out[1] = int_ConvBinToChar(static_cast<uint8_t>(byte & 0x0F));
}

void Convert_BinToHex(const void* bytes, char* text, int count) {
    const uint8_t* in = static_cast<const uint8_t*>(bytes);
    for (int i = 0; i < count; ++i) Convert_ByteToHex(in[i], text + 2 * i);
}

void Convert_HexToBin(const char* text, void* bytes, int count) {
    uint8_t* out = static_cast<uint8_t*>(bytes);
    for (int i = 0; i < count; ++i) Convert_HexToByte(text + 2 * i, out + i);
}

void Convert_NumToBuf(uint32_t value, void* buffer, int length, int order) {
    if (length < 1 || length > 4) return;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < length; ++i) {
        uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
        if (order == 0) {
            out[length - 1 - i] = byte;
        } else {
            out[i] = byte;
        }
    }
}

uint32_t Convert_BufToNum(const void* buffer, int length, int order) {
    if (length < 1 || length > 4) return 0;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    uint32_t value = 0;
    for (int i = 0; i < length; ++i) {
        uint32_t byte = order == 0 ? in[length - 1 - i] : in[i];
        value |= byte << (8 * i);
    }
    return value;
}

void Convert_ULongToBCD(uint32_t value, void* buffer, int digits) {
    if (digits < 2) return;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    // Filled from the last byte backwards: the zero fill and a too-wide value
    // both come out of the same digit loop without an intermediate text.
    for (int i = digits / 2 - 1; i >= 0; --i) {
        uint8_t low = static_cast<uint8_t>(value % 10u);
        value /= 10u;
        uint8_t high = static_cast<uint8_t>(value % 10u);
        value /= 10u;
        out[i] = static_cast<uint8_t>((high << 4) | low);
    }
}

char* ultoa(unsigned long value, char* text, int radix) {
    // 16 hexadecimal or 20 decimal digits of a 64-bit long, terminator.
    snprintf(text, 21, radix == 16 ? "%lX" : "%lu", value);
    return text;
}

uint32_t GetTickCount() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_usec) / 1000u);
}

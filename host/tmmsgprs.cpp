// host/tmmsgprs.cpp
#include "host/tmmsgprs.h"

#include <cstdio>
#include <cstring>

#include "support/convert.h"
#include "support/result_codes.h"

STMMsgContainer stTMMsg;

static STMFieldDescriptor stDescriptorsTable[TMMSG_FIELD_COUNT];
static uint8_t pucBitMapMask[8];

enum { TMMSG_MAX_RESPONSE = 1024 };

static void aux_TMMsgPrs_SetDictionaryItem(uint16_t index, uint8_t type, uint16_t maxLength) {
    stDescriptorsTable[index].ucType = type;
    stDescriptorsTable[index].usMaxLength = maxLength;
}

// Fills fields first..last with one format.
static void aux_TMMsgPrs_SetDictionaryRange(uint16_t first, uint16_t last, uint8_t type,
                                            uint16_t maxLength) {
    for (uint16_t i = first; i <= last; ++i) aux_TMMsgPrs_SetDictionaryItem(i, type, maxLength);
}

void TMMsgPrs_Init() {
    const uint8_t N = TMMSG_CLASS_NUMERIC, A = TMMSG_CLASS_ALPHA, B = TMMSG_CLASS_BINARY;
    const uint8_t LL = TMMSG_PREFIX_LL | TMMSG_CLASS_ALPHA, LLL = TMMSG_PREFIX_LLL | TMMSG_CLASS_ALPHA;

    aux_TMMsgPrs_SetDictionaryRange(0, 1, TMMSG_CLASS_BITMAP, 16);
    aux_TMMsgPrs_SetDictionaryItem(2, LL, 19);
    aux_TMMsgPrs_SetDictionaryItem(3, N, 6);
    aux_TMMsgPrs_SetDictionaryRange(4, 6, N, 12);
    aux_TMMsgPrs_SetDictionaryItem(7, N, 14);
    aux_TMMsgPrs_SetDictionaryRange(8, 10, N, 8);
    aux_TMMsgPrs_SetDictionaryItem(11, A, 6);
    aux_TMMsgPrs_SetDictionaryItem(12, N, 12);
    aux_TMMsgPrs_SetDictionaryRange(13, 14, N, 4);
    aux_TMMsgPrs_SetDictionaryItem(15, N, 14);
    aux_TMMsgPrs_SetDictionaryRange(16, 18, N, 4);
    aux_TMMsgPrs_SetDictionaryRange(19, 21, N, 3);
    aux_TMMsgPrs_SetDictionaryItem(22, A, 12);
    aux_TMMsgPrs_SetDictionaryRange(23, 24, N, 3);
    aux_TMMsgPrs_SetDictionaryRange(25, 26, N, 4);
    aux_TMMsgPrs_SetDictionaryItem(27, N, 1);
    aux_TMMsgPrs_SetDictionaryItem(28, N, 6);
    aux_TMMsgPrs_SetDictionaryItem(29, N, 3);
    aux_TMMsgPrs_SetDictionaryItem(30, N, 24);
    aux_TMMsgPrs_SetDictionaryItem(31, LL, 99);
    aux_TMMsgPrs_SetDictionaryRange(32, 33, LL, 11);
    aux_TMMsgPrs_SetDictionaryItem(34, LL, 28);
    aux_TMMsgPrs_SetDictionaryItem(35, LL, 37);
    aux_TMMsgPrs_SetDictionaryItem(36, LLL, 104);
    aux_TMMsgPrs_SetDictionaryItem(37, A, 12);
    aux_TMMsgPrs_SetDictionaryItem(38, A, 6);
    aux_TMMsgPrs_SetDictionaryItem(39, A, 3);
    aux_TMMsgPrs_SetDictionaryItem(40, N, 3);
    aux_TMMsgPrs_SetDictionaryItem(41, A, 8);
    aux_TMMsgPrs_SetDictionaryItem(42, A, 15);
    aux_TMMsgPrs_SetDictionaryRange(43, 44, LL, 99);
    aux_TMMsgPrs_SetDictionaryItem(45, LL, 76);
    aux_TMMsgPrs_SetDictionaryItem(46, LLL, 204);
    aux_TMMsgPrs_SetDictionaryRange(47, 48, LLL, 999);
    aux_TMMsgPrs_SetDictionaryItem(49, N, 3);
    aux_TMMsgPrs_SetDictionaryRange(50, 51, A, 3);
    aux_TMMsgPrs_SetDictionaryItem(52, B, 16);
    aux_TMMsgPrs_SetDictionaryItem(53, LL, 96);
    aux_TMMsgPrs_SetDictionaryItem(54, LLL, 360);
    aux_TMMsgPrs_SetDictionaryItem(55, LLL, 510);
    aux_TMMsgPrs_SetDictionaryItem(56, LL, 35);
    aux_TMMsgPrs_SetDictionaryItem(57, N, 3);
    aux_TMMsgPrs_SetDictionaryItem(58, LL, 11);
    aux_TMMsgPrs_SetDictionaryRange(59, 63, LLL, 999);
    aux_TMMsgPrs_SetDictionaryRange(64, 65, B, 16);
    aux_TMMsgPrs_SetDictionaryItem(66, LLL, 204);
    aux_TMMsgPrs_SetDictionaryItem(67, N, 2);
    aux_TMMsgPrs_SetDictionaryRange(68, 70, N, 3);
    aux_TMMsgPrs_SetDictionaryItem(71, N, 8);
    aux_TMMsgPrs_SetDictionaryItem(72, LLL, 999);
    aux_TMMsgPrs_SetDictionaryItem(73, N, 6);
    aux_TMMsgPrs_SetDictionaryRange(74, 85, N, 10);
    aux_TMMsgPrs_SetDictionaryRange(86, 89, N, 16);
    aux_TMMsgPrs_SetDictionaryItem(90, N, 10);
    aux_TMMsgPrs_SetDictionaryRange(91, 92, N, 3);
    aux_TMMsgPrs_SetDictionaryRange(93, 94, LL, 11);
    aux_TMMsgPrs_SetDictionaryItem(95, LL, 99);
    aux_TMMsgPrs_SetDictionaryItem(96, LLL, 998);
    aux_TMMsgPrs_SetDictionaryItem(97, A, 17);
    aux_TMMsgPrs_SetDictionaryItem(98, A, 25);
    aux_TMMsgPrs_SetDictionaryRange(99, 100, LL, 11);
    aux_TMMsgPrs_SetDictionaryItem(101, LL, 17);
    aux_TMMsgPrs_SetDictionaryRange(102, 103, LL, 28);
    aux_TMMsgPrs_SetDictionaryItem(104, LLL, 100);
    aux_TMMsgPrs_SetDictionaryRange(105, 106, N, 16);
    aux_TMMsgPrs_SetDictionaryRange(107, 108, N, 10);
    aux_TMMsgPrs_SetDictionaryRange(109, 110, LL, 84);
    aux_TMMsgPrs_SetDictionaryRange(111, 127, LLL, 999);
    aux_TMMsgPrs_SetDictionaryItem(128, B, 16);

    uint8_t mask = 0x80;
    for (int i = 0; i < 8; ++i) {
        pucBitMapMask[i] = mask;
        mask >>= 1;
    }
}

const STMFieldDescriptor* TMMsgPrs_GetDescriptor(uint16_t field) {
    if (field >= TMMSG_FIELD_COUNT) return nullptr;
    return &stDescriptorsTable[field];
}

// Width of the length prefix of a format code: 0 for a fixed field.
static int aux_TMMsgPrs_PrefixWidth(uint8_t type) {
    switch (type & TMMSG_PREFIX_MASK) {
    case TMMSG_PREFIX_L: return 1;
    case TMMSG_PREFIX_LL: return 2;
    case TMMSG_PREFIX_LLL: return 3;
    default: return 0;
    }
}

// Position of the two bitmap characters that hold the bit of field n (1..128).
static int aux_TMMsgPrs_BitPos(uint16_t field) {
    return TMMSG_BITMAP_OFFSET + 2 * ((field - 1) / 8);
}

static void aux_TMMsgPrs_SetBit(STMMsgContainer* msg, uint16_t field) {
    char* hex = msg->acMessage + aux_TMMsgPrs_BitPos(field);
    uint8_t byte = 0;
    Convert_HexToByte(hex, &byte);
    byte |= pucBitMapMask[(field - 1) % 8];
    Convert_ByteToHex(byte, hex);
}

static bool aux_TMMsgPrs_IsBitSet(const STMMsgContainer* msg, uint16_t field) {
    uint8_t byte = 0;
    Convert_HexToByte(msg->acMessage + aux_TMMsgPrs_BitPos(field), &byte);
    return (byte & pucBitMapMask[(field - 1) % 8]) != 0;
}

void TMMsgPrs_InitContainer(STMMsgContainer* msg) {
    memset(msg->acMessage, 0, sizeof(msg->acMessage));
    memset(msg->acMessage + TMMSG_BITMAP_OFFSET, '0', TMMSG_BITMAP_CHARS);
    msg->usLength = TMMSG_HEADER_CHARS;
    memset(msg->astField, 0, sizeof(msg->astField));
    msg->astField[0].usOffset = TMMSG_BITMAP_OFFSET;
    msg->astField[0].usLength = TMMSG_BITMAP_CHARS;
}

void TMMsgPrs_SetMTI(STMMsgContainer* msg, uint16_t mti) {
    char text[8];
    snprintf(text, sizeof(text), "%04u", (unsigned)(mti % 10000));
    memcpy(msg->acMessage, text, 4);
}

uint16_t TMMsgPrs_GetMTI(const STMMsgContainer* msg) {
    const char* t = msg->acMessage;
    return (uint16_t)((t[0] - '0') * 1000 + (t[1] - '0') * 100 + (t[2] - '0') * 10 + (t[3] - '0'));
}

void TMMsgPrs_AddField(STMMsgContainer* msg, uint8_t field, const char* data, uint16_t length) {
    if (field < 1 || field > 128) return;
    if (length > 0 && data == nullptr) return;
    const STMFieldDescriptor& desc = stDescriptorsTable[field];
    const uint16_t maxLength = desc.usMaxLength;
    if (length > maxLength) return;
    const int width = aux_TMMsgPrs_PrefixWidth(desc.ucType);
    // Count what is really written (padding, prefix), not just the data.
    const int written = width == 0 ? maxLength : width + length;
    if (msg->usLength + written > TMMSG_MAX_LENGTH) return;
    // Bits above 64 land in characters 20..35, which are somebody else's data
    // unless the secondary bitmap (field 1) is there.
    if (field > 64 && msg->astField[1].usLength == 0) return;
    // A field at or below one already present would be split at the wrong place.
    for (uint16_t f = field; f <= 128; ++f) {
        if (f > 64 && msg->astField[1].usLength == 0) break;
        if (aux_TMMsgPrs_IsBitSet(msg, f)) return;
    }

    aux_TMMsgPrs_SetBit(msg, field);
    char* out = msg->acMessage + msg->usLength;
    STMFieldEntry& entry = msg->astField[field];
    if (width == 0) {
        entry.usOffset = msg->usLength;
        entry.usLength = maxLength;
        const int pad = maxLength - length;
        if ((desc.ucType & TMMSG_CLASS_MASK) == TMMSG_CLASS_ALPHA) {
            memcpy(out, data, length);
            memset(out + length, ' ', pad);
        } else {
            memset(out, '0', pad);
            memcpy(out + pad, data, length);
        }
    } else {
        char prefix[8];
        snprintf(prefix, sizeof(prefix), "%0*u", width, (unsigned)length);
        memcpy(out, prefix, width);
        entry.usOffset = (uint16_t)(msg->usLength + width);
        entry.usLength = length;
        if (length > 0) memcpy(out + width, data, length);
    }
    msg->usLength = (uint16_t)(msg->usLength + written);
}

void TMMsgPrs_GetField(const STMMsgContainer* msg, uint16_t field, const char** data,
                       uint16_t* length) {
    if (data) *data = nullptr;
    if (length) *length = 0;
    if (field >= TMMSG_FIELD_COUNT) return;
    const STMFieldEntry& entry = msg->astField[field];
    if (entry.usLength == 0) return;
    if (data) *data = msg->acMessage + entry.usOffset;
    if (length) *length = entry.usLength;
}

bool TMMsgPrs_IsFieldExists(const STMMsgContainer* msg, uint8_t field) {
    return field < TMMSG_FIELD_COUNT && msg->astField[field].usLength != 0;
}

bool TMMsgPrs_IsFieldsExists(const STMMsgContainer* msg, const char* list) {
    if (list == nullptr || *list == '\0') return false;
    unsigned number = 0;
    int digits = 0;
    auto check = [&]() {
        return digits > 0 && number >= 1 && number <= 128 &&
               TMMsgPrs_IsFieldExists(msg, (uint8_t)number);
    };
    const char* p = list;
    for (; *p; ++p) {
        if (*p == ';') {
            if (!check()) return false;
            number = 0;
            digits = 0;
        } else if (*p >= '0' && *p <= '9') {
            if (number < 1000) number = number * 10 + (unsigned)(*p - '0');
            ++digits;
        }
    }
    if (p[-1] == ';') return true;
    return check();
}

void TMMsgPrs_ParseMessage(STMMsgContainer* msg, const char* data, uint16_t count) {
    if (data == nullptr) count = 0;
    if (count > TMMSG_MAX_LENGTH) count = TMMSG_MAX_LENGTH;
    // The bytes may already sit in this container (a packet received in place).
    if (count > 0) memmove(msg->acMessage, data, count);
    memset(msg->acMessage + count, 0, TMMSG_MAX_LENGTH - count);
    for (int i = TMMSG_BITMAP_OFFSET; i < TMMSG_HEADER_CHARS; ++i)
        if (i >= count) msg->acMessage[i] = '0';
    memset(msg->astField, 0, sizeof(msg->astField));
    msg->astField[0].usOffset = TMMSG_BITMAP_OFFSET;
    msg->astField[0].usLength = TMMSG_BITMAP_CHARS;
    msg->usLength = count;

    int pos = TMMSG_HEADER_CHARS;
    for (uint16_t field = 1; field <= 128; ++field) {
        if (field > 64 && msg->astField[1].usLength == 0) break;
        if (!aux_TMMsgPrs_IsBitSet(msg, field)) continue;
        const STMFieldDescriptor& desc = stDescriptorsTable[field];
        const int width = aux_TMMsgPrs_PrefixWidth(desc.ucType);
        int start = pos;
        int length = desc.usMaxLength;
        if (width > 0) {
            // A lying or cut-off length prefix ends the split; the fields the
            // parsers need are then reported absent instead of read from garbage.
            if (pos + width > count) break;
            length = 0;
            bool digitsOnly = true;
            for (int i = 0; i < width; ++i) {
                const char c = msg->acMessage[pos + i];
                if (c < '0' || c > '9') digitsOnly = false;
                length = length * 10 + (c - '0');
            }
            if (!digitsOnly || length > desc.usMaxLength) break;
            start = pos + width;
        }
        if (start + length > count) break;
        msg->astField[field].usOffset = (uint16_t)start;
        msg->astField[field].usLength = (uint16_t)length;
        pos = start + length;
        if (pos >= count) break;
    }
}

int TMMsgPrs_ParseResponse(STMMsgContainer* msg, const uint8_t* packet, uint16_t count) {
    if (packet == nullptr || count == 0 || count > TMMSG_MAX_RESPONSE) {
        TMMsgPrs_InitContainer(msg);
        return RES_HOST_BAD_LENGTH;
    }
    if (packet[0] != 0) {
        TMMsgPrs_InitContainer(msg);
        return TMMsgPrs_StatusResult(packet[0]);
    }
    TMMsgPrs_ParseMessage(msg, reinterpret_cast<const char*>(packet + 1), (uint16_t)(count - 1));
    return RES_OK;
}

int TMMsgPrs_ParseSecPacket(STMMsgContainer* msg, const uint8_t* packet, uint16_t count,
                            STMSecPacket* out) {
    TMMsgPrs_InitContainer(msg);
    if (out) memset(out, 0, sizeof(*out));
    if (packet == nullptr || out == nullptr || count < TMMSG_ENVELOPE_HEADER)
        return RES_HOST_BAD_LENGTH;
    memcpy(out->szTerminalId, packet, TMMSG_TERMINAL_ID_CHARS);
    out->ucKind = packet[8];
    out->usMsgLength = (uint16_t)((packet[9] << 8) | packet[10]);
    const int msgEnd = TMMSG_ENVELOPE_HEADER + out->usMsgLength;
    if (msgEnd > count || out->usMsgLength > TMMSG_MAX_LENGTH) return RES_HOST_BAD_LENGTH;

    int pos = msgEnd;
    while (pos < count) {
        if (pos + 4 > count || out->ucElementCount >= TMMSG_MAX_SEC_ELEMENTS)
            return RES_HOST_BAD_LENGTH;
        STMSecElement& element = out->astElement[out->ucElementCount];
        element.ucTag = packet[pos];
        element.ucField = packet[pos + 1];
        element.usLength = (uint16_t)((packet[pos + 2] << 8) | packet[pos + 3]);
        const bool ciphered = element.ucTag >= 1 && element.ucTag <= 4;
        const int stored = ciphered ? (element.usLength + 7) / 8 * 8 : element.usLength;
        if (pos + 4 + stored > count) return RES_HOST_BAD_LENGTH;
        element.usStored = (uint16_t)stored;
        element.pucData = packet + pos + 4;
        ++out->ucElementCount;
        pos += 4 + stored;
    }
    TMMsgPrs_ParseMessage(msg, reinterpret_cast<const char*>(packet + TMMSG_ENVELOPE_HEADER),
                          out->usMsgLength);
    return RES_OK;
}

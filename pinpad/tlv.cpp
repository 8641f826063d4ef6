// pinpad/tlv.cpp
#include "pinpad/tlv.h"

#include <cstring>

#include "support/log.h"
#include "support/result_codes.h"

S_TLV g_tlv;

// One parsed object: where it starts, its tag, where its value lies.
struct STlvItem {
    uint32_t ulStart;
    uint32_t ulTag;
    uint32_t ulValueOffset;
    uint32_t ulLength;
};

// Parses the object at pos; false when its header or value runs past the used size.
static bool aux_TLV_Parse(const S_TLV* tlv, uint32_t pos, STlvItem* item) {
    const uint8_t* b = tlv->pucBuffer;
    uint32_t end = tlv->ulUsed;
    if (pos >= end) return false;
    item->ulStart = pos;
    uint32_t tag = b[pos++];
    if ((tag & 0x1Fu) == 0x1Fu) {
        // Further tag bytes follow while the previous one has its top bit set;
        // a tag is at most four bytes.
        int count = 1;
        uint8_t last;
        do {
            if (pos >= end || count == 4) return false;
            last = b[pos++];
            tag = (tag << 8) | last;
            ++count;
        } while (last & 0x80u);
    }
    if (pos >= end) return false;
    uint32_t len = b[pos++];
    if (len & 0x80u) {
        uint32_t n = len & 0x0Fu;
        if (n == 0 || n > 4 || end - pos < n) return false;
        len = 0;
        for (uint32_t i = 0; i < n; ++i) len = (len << 8) | b[pos++];
    }
    if (len > end - pos) return false;
    item->ulTag = tag;
    item->ulValueOffset = pos;
    item->ulLength = len;
    return true;
}

// Finds the first object with tag; false when absent or the list is damaged before it.
static bool aux_TLV_Find(const S_TLV* tlv, uint32_t tag, STlvItem* item) {
    if (tlv == nullptr || tlv->pucBuffer == nullptr) return false;
    uint32_t pos = 0;
    while (aux_TLV_Parse(tlv, pos, item)) {
        if (item->ulTag == tag) return true;
        pos = item->ulValueOffset + item->ulLength;
    }
    return false;
}

int TLV_OpenStorage(S_TLV* tlv, uint32_t used, uint32_t capacity, uint8_t* buffer) {
    if (tlv == nullptr || buffer == nullptr || capacity == 0) return 1;
    memset(tlv, 0, sizeof(*tlv));
    tlv->pucBuffer = buffer;
    tlv->ulCapacity = capacity;
    // A used size beyond the buffer would let every later scan run off its end.
    tlv->ulUsed = used > capacity ? capacity : used;
    return 0;
}

uint32_t TLV_GetSize(const S_TLV* tlv) { return tlv ? tlv->ulUsed : 0; }

int TLV_AddObject(S_TLV* tlv, uint32_t tag, uint32_t length, const void* value) {
    if (tlv == nullptr || tlv->pucBuffer == nullptr || tag == 0) return 1;
    // Tag and length take at most eight bytes together.
    if (static_cast<uint64_t>(tlv->ulUsed) + length + TLV_HEADER_RESERVE > tlv->ulCapacity) return 1;
    uint8_t* p = tlv->pucBuffer + tlv->ulUsed;
    int tagBytes = 0;
    for (uint32_t t = tag; t != 0 && tagBytes < 4; t >>= 8) ++tagBytes;
    for (int i = tagBytes - 1; i >= 0; --i) *p++ = static_cast<uint8_t>(tag >> (8 * i));
    if (length < 0x80u) {
        *p++ = static_cast<uint8_t>(length);
    } else if (length < 0x100u) {
        *p++ = 0x81;
        *p++ = static_cast<uint8_t>(length);
    } else if (length < 0x10000u) {
        *p++ = 0x82;
        *p++ = static_cast<uint8_t>(length >> 8);
        *p++ = static_cast<uint8_t>(length);
    } else {
        *p++ = 0x83;
        *p++ = static_cast<uint8_t>(length >> 16);
        *p++ = static_cast<uint8_t>(length >> 8);
        *p++ = static_cast<uint8_t>(length);
    }
    if (value != nullptr && length != 0) memmove(p, value, length);
    // Without a value the bytes are whatever the buffer held; the length still counts.
    p += length;
    tlv->ulUsed = static_cast<uint32_t>(p - tlv->pucBuffer);
    return 0;
}

int TLV_GetObject(S_TLV* tlv, uint32_t tag) {
    STlvItem item;
    if (!aux_TLV_Find(tlv, tag, &item)) return 1;
    tlv->ulCurTag = item.ulTag;
    tlv->ulCurLength = item.ulLength;
    tlv->ulCurOffset = item.ulValueOffset;
    return 0;
}

uint32_t TLV_GetObjectTagLength(const S_TLV* tlv) { return tlv ? tlv->ulCurLength : 0; }

uint32_t TLV_GetObjectTagOffset(const S_TLV* tlv) { return tlv ? tlv->ulCurOffset : 0; }

int TLV_ClearObject(S_TLV* tlv, uint32_t tag) {
    STlvItem item;
    if (!aux_TLV_Find(tlv, tag, &item)) return 1;
    uint32_t objEnd = item.ulValueOffset + item.ulLength;
    memmove(tlv->pucBuffer + item.ulStart, tlv->pucBuffer + objEnd, tlv->ulUsed - objEnd);
    tlv->ulUsed -= objEnd - item.ulStart;
    return 0;
}

int TLV_CheckTagData(S_TLV* tlv, uint32_t tag, uint16_t requiredLen, void* dest, uint8_t remove) {
    if (TLV_GetObject(tlv, tag) != 0) {
        LogStringEx(LOG_WARNING, "WARNING. TLV_CheckTagData. Tag [%06lX] not found.", static_cast<unsigned long>(tag));
        return RES_TLV_TAG_MISSING;
    }
    if (requiredLen != 0 && requiredLen != tlv->ulCurLength) {
        LogString("ERROR. TLV_CheckTagData. Bad Tag [%06lX] len [%lu].", static_cast<unsigned long>(tag),
                  static_cast<unsigned long>(tlv->ulCurLength));
        return RES_TLV_TAG_LENGTH;
    }
    if (dest != nullptr) memcpy(dest, tlv->pucBuffer + tlv->ulCurOffset, tlv->ulCurLength);
    if (remove) TLV_ClearObject(tlv, tag);
    return RES_OK;
}

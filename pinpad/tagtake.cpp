// pinpad/tagtake.cpp
#include "pinpad/tagtake.h"

#include <cstring>

#include "support/convert.h"

static uint32_t aux_TagTake_Pad8(uint32_t n) { return (n + 7u) / 8u * 8u; }

// The result of a take, after the drop that flags ask for.
static int aux_TagTake_Done(S_TLV* tlv, uint32_t tag, uint8_t flags, bool taken) {
    if (flags & TAGTAKE_DROP) TagTake_Drop(tlv, tag);
    return taken ? 0 : 1;
}

const uint8_t* TagTake_Find(S_TLV* tlv, uint32_t tag, uint32_t* len) {
    if (TLV_GetObject(tlv, tag) != 0) return nullptr;
    *len = TLV_GetObjectTagLength(tlv);
    return tlv->pucBuffer + TLV_GetObjectTagOffset(tlv);
}

int TagTake_Fixed(S_TLV* tlv, uint32_t tag, uint32_t len, void* dest, uint8_t flags) {
    uint32_t got = 0;
    const uint8_t* v = TagTake_Find(tlv, tag, &got);
    const bool taken = v != nullptr && got == len;
    if (taken && dest != nullptr) memcpy(dest, v, len);
    return aux_TagTake_Done(tlv, tag, flags, taken);
}

int TagTake_Text(S_TLV* tlv, uint32_t tag, uint32_t minLen, uint32_t maxLen, char* dest, uint8_t flags) {
    uint32_t got = 0;
    const uint8_t* v = TagTake_Find(tlv, tag, &got);
    if (v != nullptr && got > maxLen && (flags & TAGTAKE_CUT)) got = maxLen;
    const bool taken = v != nullptr && got >= minLen && got <= maxLen;
    if (taken) {
        memset(dest, 0, maxLen + 1);
        memcpy(dest, v, got);
    }
    return aux_TagTake_Done(tlv, tag, flags, taken);
}

int TagTake_Hex(S_TLV* tlv, uint32_t tag, uint32_t minLen, uint32_t maxLen, char* dest, uint8_t flags) {
    uint32_t got = 0;
    const uint8_t* v = TagTake_Find(tlv, tag, &got);
    const bool taken = v != nullptr && got >= minLen && got <= maxLen;
    if (taken) {
        memset(dest, 0, 2 * maxLen + 1);
        Convert_BinToHex(v, dest, static_cast<int>(got));
    }
    return aux_TagTake_Done(tlv, tag, flags, taken);
}

int TagTake_Enc(S_TLV* tlv, uint32_t tag, uint32_t maxLen, uint32_t encMax, uint8_t* len, uint8_t* enc,
                uint8_t flags) {
    uint32_t got = 0;
    const uint8_t* v = TagTake_Find(tlv, tag, &got);
    bool taken = v != nullptr && got >= 1;
    if (taken) {
        const uint32_t clear = v[0];
        const uint32_t encLen = got - 1;
        taken = clear != 0 && clear <= maxLen && encLen == aux_TagTake_Pad8(clear) && encLen <= encMax;
        if (taken) {
            memset(enc, 0, encMax);
            memcpy(enc, v + 1, encLen);
            *len = static_cast<uint8_t>(clear);
        }
    }
    return aux_TagTake_Done(tlv, tag, flags, taken);
}

void TagTake_Drop(S_TLV* tlv, uint32_t tag) {
    while (TLV_ClearObject(tlv, tag) == 0) {
    }
}

// fuzz/fuzz_tlv.cpp
// The TLV store laid over a pad reply: objects found, checked, copied out,
// cleared and added. The input is a tag of its own (4 bytes, any value), then the reply.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "pinpad/tlv.h"

// Tags the chip and contactless replies are read for, one- to three-byte forms.
static const uint32_t kTags[] = {0x57, 0x5A, 0x82, 0x84, 0x95, 0x9A, 0x9C, 0x5F24, 0x5F2A, 0x5F34,
                                 0x9F02, 0x9F10, 0x9F26, 0x9F27, 0x9F34, 0x9F36, 0x9F37, 0xDF8129, 0xFF8105};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FuzzReader in(data, size);
    uint32_t own = static_cast<uint32_t>(in.u16()) | (static_cast<uint32_t>(in.u16()) << 16);
    std::string reply = in.rest();
    // Exactly the reply plus room for one more small object: a step past it is caught.
    const uint32_t room = 16;
    std::vector<uint8_t> buffer(reply.size() + room);
    if (!reply.empty()) memcpy(buffer.data(), reply.data(), reply.size());
    S_TLV tlv;
    TLV_OpenStorage(&tlv, static_cast<uint32_t>(reply.size()), static_cast<uint32_t>(buffer.size()), buffer.data());
    uint8_t value[64];
    volatile uint8_t sink = 0;
    for (uint32_t tag : kTags) {
        if (TLV_GetObject(&tlv, tag) == 0) {
            uint32_t off = TLV_GetObjectTagOffset(&tlv), len = TLV_GetObjectTagLength(&tlv);
            for (uint32_t i = 0; i < len; ++i) sink ^= buffer[off + i];
        }
        TLV_CheckTagData(&tlv, tag, 2, value, 0);
    }
    TLV_CheckTagData(&tlv, own, 8, value, 1);
    TLV_ClearObject(&tlv, 0x9F02);
    TLV_AddObject(&tlv, own, 4, "\x01\x02\x03\x04");
    TLV_GetObject(&tlv, own);
    (void)sink;
    return 0;
}

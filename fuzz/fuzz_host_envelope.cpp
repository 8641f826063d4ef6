// fuzz/fuzz_host_envelope.cpp
// The host's envelopes: the response (status byte, message) the terminal reads,
// and the request envelope (header, security elements) the host side reads.
#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"
#include "host/tmmsgprs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    static STMMsgContainer msg;
    TMMsgPrs_InitContainer(&msg);
    TMMsgPrs_ParseResponse(&msg, data, count);
    TMMsgPrs_InitContainer(&msg);
    static STMSecPacket sec;
    if (TMMsgPrs_ParseSecPacket(&msg, data, count, &sec) == 0) {
        // Every element must lie inside the packet.
        volatile uint8_t sink = 0;
        for (uint8_t i = 0; i < sec.ucElementCount && i < TMMSG_MAX_SEC_ELEMENTS; ++i)
            for (uint16_t j = 0; j < sec.astElement[i].usStored; ++j) sink ^= sec.astElement[i].pucData[j];
        (void)sink;
    }
    return 0;
}

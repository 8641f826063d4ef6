// fuzz/fuzz_host_settlement.cpp
// The host's answer to the reconciliation of a batch.
#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        Fuzz_EnterWorkDir();
        TMMsgBuilder_Init();
        ready = true;
    }
    uint16_t count = size > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(size);
    char authCode[7];
    char rrn[13];
    uint16_t actionCode = 0;
    TMMsgBuilder_ParseBatchCloseRs(data, count, authCode, rrn, &actionCode);
    return 0;
}

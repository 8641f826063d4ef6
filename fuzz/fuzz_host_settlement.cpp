// fuzz/fuzz_host_settlement.cpp
// The host's answer to the reconciliation of a batch.
#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    char authCode[7];
    char rrn[13];
    uint16_t actionCode = 0;
    TMMsgBuilder_ParseBatchCloseRs(data, count, authCode, rrn, &actionCode);
    return 0;
}

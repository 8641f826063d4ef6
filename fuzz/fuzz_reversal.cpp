// fuzz/fuzz_reversal.cpp
// DATA/RVS.SAV (the pending reversal) and DATA/RVSLAST.SAV (the last
// completed operation) as read back, each then turned into the reversal sent
// to the host and into the response, as the batch-state check and a
// reverse-last do.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"
#include "kernel/batch.h"
#include "kernel/kernel.h"
#include "kernel/kernel_call.h"
#include "kernel/opstore.h"
#include "kernel/reversal.h"
#include "kernel/reversal_internal.h"
#include "support/payorder.h"

static void aux_Use(S_PAY_ORDER* order, HostMode mode) {
    uint16_t length = 0;
    TMMsgBuilder_GetTransactionRq(order, "TERM0001", "260101", 1, 1, 1, mode, 0, Kernel_Call()->szHostDateTime,
                                  &length);
    char* response = nullptr;
    Kernel_CreateResponse(0, order, &response);
    delete[] response;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    // A saved step that reading completes books into the journal and the batch:
    // each run starts without them, or the journal grows run after run and every
    // response reports all of it.
    Fuzz_RemoveFile(OPSTORE_FILE);
    Fuzz_RemoveFile(BATCH_FILE);
    Batch_Initialize();
    static S_PAY_ORDER order;
    Fuzz_WriteFile(REVERSAL_FILE, data, size);
    if (Kernel_ReadReversalFile(&order) == 0) aux_Use(&order, HostMode::SavedReversal);
    Fuzz_WriteFile(REVERSAL_LAST_FILE, data, size);
    if (Kernel_ReadReverseLastFile(&order) == 0) aux_Use(&order, HostMode::ReverseLast);
    return 0;
}

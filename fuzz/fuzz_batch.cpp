// fuzz/fuzz_batch.cpp
// DATA/BATCH.CFG (and DATA/VERSION) as the kernel loads the batch at start,
// reports it and counts an operation into it. The input's first byte keeps
// the stored data version current (even) or takes the next four bytes as it.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "kernel/batch.h"
#include "support/bigint.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FuzzReader in(data, size);
    uint32_t version = BATCH_DATA_VERSION;
    if (in.u8() & 1u) {
        std::string v = in.bytes(4);
        Fuzz_WriteFile(BATCH_VERSION_FILE, reinterpret_cast<const uint8_t*>(v.data()), v.size());
    } else {
        Fuzz_WriteFile(BATCH_VERSION_FILE, reinterpret_cast<const uint8_t*>(&version), sizeof(version));
    }
    std::string file = in.rest();
    Fuzz_WriteFile(BATCH_FILE, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    Batch_Initialize();
    uint16_t purchases = 0, cancels = 0, refunds = 0;
    SBigInt totals[3];
    Batch_Report(&purchases, &cancels, &refunds, &totals[0], &totals[1], &totals[2]);
    char text[64];
    for (const SBigInt& t : totals) BigInt_IntToStr(&t, text);
    volatile size_t sink = strlen(Batch_GetOpenedDate()) + Batch_GetNumber() + Batch_IsOpened() + Batch_IsClosing();
    (void)sink;
    SBigInt amount;
    BigInt_StrToInt("999999999999", &amount);
    Batch_IncOperationTotals(OP_SALE, amount);
    Batch_CountReversed(OP_RETURN, amount, 1);
    Batch_Report(&purchases, &cancels, &refunds, &totals[0], &totals[1], &totals[2]);
    for (const SBigInt& t : totals) BigInt_IntToStr(&t, text);
    return 0;
}

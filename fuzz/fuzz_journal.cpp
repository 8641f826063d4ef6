// fuzz/fuzz_journal.cpp
// DATA/TRANS.CFG, the day's journal, walked entry by entry as the reports and
// the currency check walk it, each entry's amounts put in words.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "kernel/opstore.h"
#include "support/bigint.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    Fuzz_WriteFile(OPSTORE_FILE, data, size);
    static S_PAY_ORDER order;
    OpStore_Reset();
    volatile size_t sink = 0;
    while (OpStore_Next() == 0) {
        memset(&order, 0, sizeof(order));
        if (OpStore_GetCurrent(&order) != 0) break;
        char text[64];
        BigInt_IntToStr(&order.stAmount, text);
        sink = sink + strlen(text) + strlen(order.szPAN) + strlen(order.szRRN) + strlen(order.szAppLabel);
        BigInt_IntToStr(&order.stOrigAmount, text);
    }
    sink = sink + OpStore_IsOperationCurrencyDetect(OP_SALE, "BYN");
    (void)sink;
    OpStore_Reset();
    return 0;
}

// fuzz/fuzz_host_transaction.cpp
// The host's answer to a card transaction, read into an order with field 54.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    static S_PAY_ORDER order;
    memset(&order, 0, sizeof(order));
    char addAmounts[TMMSG_ADD_AMOUNTS_SIZE];
    TMMsgBuilder_ParseTransactionRs(data, count, &order, addAmounts);
    return 0;
}

// fuzz/fuzz_host_field54.cpp
// Field 54 of a transaction answer (the balance blocks) as the balance enquiry
// picks its block. The input is the order's currency (3 bytes), then the field.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"
#include "kernel/kernel_host_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FuzzReader in(data, size);
    char currency[4] = {};
    std::string code = in.bytes(3);
    memcpy(currency, code.data(), code.size());
    // As the answer parser leaves it: at most TMMSG_ADD_AMOUNTS_SIZE - 1 characters, terminated.
    char field[TMMSG_ADD_AMOUNTS_SIZE] = {};
    std::string text = in.bytes(TMMSG_ADD_AMOUNTS_SIZE - 1);
    memcpy(field, text.data(), text.size());
    char amount[KERNEL_BALANCE_AMOUNT_SIZE];
    char shown[4];
    Kernel_PickBalance(field, currency, amount, shown);
    return 0;
}

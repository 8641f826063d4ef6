// fuzz/fuzz_request.cpp
// The request RAVORQ.XML (1 to 2048 bytes, written by the point-of-sale plug-in)
// as the library scans it into an order.
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "kernel/kernel.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    // The launcher refuses anything longer before the scanner sees it.
    if (size == 0 || size > 2048) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    static S_PAY_ORDER order;
    memset(&order, 0, sizeof(order));
    uint8_t fullReport = 0;
    Kernel_ParseInput(text.c_str(), &order, &fullReport);
    return 0;
}

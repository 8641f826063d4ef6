// fuzz/fuzz_ranges.cpp
// DATA/RANGE.CFG, the card ranges: checked as a whole, then looked up for a
// card as the pad reported it. The input is the reported range number (2
// bytes), the masked card number (19 bytes), then the file.
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "kernel/ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FuzzReader in(data, size);
    uint16_t rangeNo = in.u16();
    std::string pan = in.bytes(19);
    pan = pan.c_str();
    std::string file = in.rest();
    char reason[RANGES_REASON_SIZE];
    RangeFile_CheckBuffer(reinterpret_cast<const uint8_t*>(file.data()), file.size(), reason, sizeof(reason));
    Fuzz_WriteFile(RANGES_FILE, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    Ranges_Reset();
    Ranges_SetRange(pan.c_str(), rangeNo);
    volatile size_t sink = strlen(Ranges_GetPaySysName());
    sink = sink + Ranges_IsPinEnable() + Ranges_IsReturnEnable() + Ranges_IsBalanceEnable() + Ranges_GetIndex();
    (void)sink;
    Ranges_Reset();
    return 0;
}

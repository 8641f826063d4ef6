// fuzz/fuzz_host_bitmap.cpp
// The bitmap message container: a received message split into fields, every
// field then read back whole.
#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"
#include "host/tmmsgprs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    static STMMsgContainer msg;
    TMMsgPrs_InitContainer(&msg);
    TMMsgPrs_ParseMessage(&msg, reinterpret_cast<const char*>(data), count);
    volatile uint8_t sink = 0;
    sink ^= static_cast<uint8_t>(TMMsgPrs_GetMTI(&msg));
    for (uint16_t f = 0; f <= 129; ++f) {
        const char* value = nullptr;
        uint16_t length = 0;
        TMMsgPrs_GetField(&msg, f, &value, &length);
        for (uint16_t i = 0; value != nullptr && i < length; ++i) sink ^= static_cast<uint8_t>(value[i]);
    }
    sink ^= TMMsgPrs_IsFieldsExists(&msg, "2;3;4;11;12;37;38;39;");
    (void)sink;
    return 0;
}

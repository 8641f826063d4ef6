// fuzz/fuzz_host_echo.cpp
// The host's answer to the echo test.
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
    uint16_t actionCode = 0;
    TMMsgBuilder_GetEchoTestResponse(data, count, &actionCode);
    return 0;
}

// fuzz/fuzz_host_echo.cpp
// The host's answer to the echo test.
#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    uint16_t actionCode = 0;
    TMMsgBuilder_GetEchoTestResponse(data, count, &actionCode);
    return 0;
}

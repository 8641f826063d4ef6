// fuzz/fuzz_pad_link.cpp
// The pad's link layer: whatever bytes the serial line gives, read as link-test
// echoes, a session-key half and reply frames (plain and enciphered, one into
// a small buffer, one unsolicited).
#include "fuzz/fake_pad.h"
#include "fuzz/fuzz_util.h"
#include "pinpad/ppadproto.h"
#include "support/vars.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FakePad_Raw(data, size);
    static uint8_t out[PP_OUTBUF_SIZE];
    int32_t outLen = 0;
    PPadProto_TestConnect(2);
    PPadProto_SetSessionKey();
    PPadProto_Exchange(0x01, 0x01, reinterpret_cast<const uint8_t*>("\x00\x01"), 2, out, &outLen, 0, 0, 0);
    PPadProto_Exchange(0x05, 0x02, nullptr, 0, out, &outLen, 1, 0, 0, 16);
    PPadProto_Exchange(PP_LISTEN_CLASS, PP_LISTEN_CODE, nullptr, 0, out, &outLen, 0, 0, 0);
    g_Vars.ucPinpadConnected = 0;
    return 0;
}

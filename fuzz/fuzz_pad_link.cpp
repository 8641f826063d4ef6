// fuzz/fuzz_pad_link.cpp
// The pad's link layer: whatever bytes the serial line gives, read as link-test
// echoes, a session-key half and reply frames (plain and enciphered, one into
// a small buffer, one unsolicited). The line answers each write with the next
// record of the input (fake_pad.h).
#include <cstring>

#include "fuzz/fake_pad.h"
#include "fuzz/fuzz_util.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/ppadproto.h"

// The terminal's key half is fixed, so that one input always takes the same path.
static ssize_t aux_Fuzz_FixedRandom(void* buffer, size_t length, unsigned int) {
    memset(buffer, 0x11, length);
    return static_cast<ssize_t>(length);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    PPadProto_SetRandomSource(aux_Fuzz_FixedRandom);
    FakePad_Raw(data, size);
    static uint8_t out[PP_OUTBUF_SIZE];
    int32_t outLen = 0;
    PPadProto_TestConnect(2);
    PPadProto_SetSessionKey();
    PPadProto_Exchange(0x01, 0x01, reinterpret_cast<const uint8_t*>("\x00\x01"), 2, out, &outLen, 0, 0, 0);
    PPadProto_Exchange(0x05, 0x02, nullptr, 0, out, &outLen, 1, 0, 0, 16);
    PPadProto_Exchange(PP_LISTEN_CLASS, PP_LISTEN_CODE, nullptr, 0, out, &outLen, 0, 0, 0);
    aux_PadProfile_Edit()->ucPinpadConnected = 0;
    return 0;
}

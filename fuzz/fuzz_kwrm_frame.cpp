// fuzz/fuzz_kwrm_frame.cpp
// The terminal manager's frames as received: the header against a receive
// buffer, then the trailer over the data that follows it.
#include <vector>

#include "fuzz/fuzz_util.h"
#include "remote/kwrmframe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    if (size < KWRM_HEADER_SIZE) return 0;
    // The client's buffers: a short answer, a block.
    for (uint16_t bufferSize : {static_cast<uint16_t>(16), static_cast<uint16_t>(KWRM_MAX_DATA)}) {
        uint16_t length = 0;
        uint8_t command = 0;
        if (KwrmFrame_CheckHeader(data, bufferSize, &length, &command) != 0) continue;
        if (length > bufferSize) __builtin_trap();  // the header let through more than the buffer holds
        if (size < static_cast<size_t>(KWRM_HEADER_SIZE) + length + KWRM_TRAILER_SIZE) continue;
        // The data and trailer in buffers of their own size, as the client receives them.
        std::vector<uint8_t> body(data + KWRM_HEADER_SIZE, data + KWRM_HEADER_SIZE + length);
        std::vector<uint8_t> trailer(data + KWRM_HEADER_SIZE + length,
                                     data + KWRM_HEADER_SIZE + length + KWRM_TRAILER_SIZE);
        KwrmFrame_CheckTrailer(data, body.data(), length, trailer.data());
    }
    return 0;
}

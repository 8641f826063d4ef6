// fuzz/fuzz_kwrm_answers.cpp
// The terminal manager's answers as the client reads them through a session:
// open, date and time, transport key, a configuration download and a resumable
// software download. The input is a list of answer frames, each a command byte,
// a length (2 bytes) and that many data bytes, framed here with their CRC so
// that the answers themselves are what is fuzzed.
#include <string>

#include "fuzz/fake_net.h"
#include "fuzz/fuzz_util.h"
#include "remote/kwrmcli.h"
#include "remote/kwrmframe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FuzzReader in(data, size);
    std::string stream;
    while (in.left() >= 3) {
        uint8_t command = in.u8();
        uint16_t n = in.u16();
        std::string body = in.bytes(n > KWRM_MAX_DATA ? static_cast<uint16_t>(KWRM_MAX_DATA) : n);
        uint8_t frame[KWRM_MAX_FRAME];
        uint16_t length = KwrmFrame_Build(command, reinterpret_cast<const uint8_t*>(body.data()),
                                          static_cast<uint16_t>(body.size()), frame);
        // A length the data does not have: the frame as announced, cut short.
        if (n > body.size() && n <= KWRM_MAX_DATA) {
            frame[1] = static_cast<uint8_t>((n + KWRM_L_OVERHEAD) >> 8);
            frame[2] = static_cast<uint8_t>(n + KWRM_L_OVERHEAD);
        }
        stream.append(reinterpret_cast<const char*>(frame), length);
    }
    FakeNet_Stream(stream);
    KWRM_CLI_SetDeadline(0);
    KWRM_CLI_OpenSession("TERM0001");
    char text[13];
    KWRM_CLI_GetDateTime(text);
    uint8_t keyLength = 0, update = 0, key[16];
    KWRM_CLI_GetTKFromKwrm(0x12345678u, &keyLength, &update, key);
    uint8_t updated = 0;
    KWRM_CLI_GetConfigFromKwrm("TEMP/CONFIG.INI", "DATA/CONFIG.INI", &updated);
    uint8_t complete = 0, started = 0;
    KWRM_CLI_GetAppDataFromKwrm(0x01020304u, "TEMP/APP.BIN", &complete, &started);
    Fuzz_RemoveFile("TEMP/CONFIG.INI");
    Fuzz_RemoveFile("TEMP/APP.BIN");
    return 0;
}

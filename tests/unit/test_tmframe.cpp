// The manager emulator's framing and the terminal's, both against frames
// written out byte by byte (the CRC-32 of IEEE 802.3 over L, the command, the
// data and ETX, worked out apart from either side), and the emulator's reading
// of frames spoilt on the way.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "emulators/tmanager/tmframe.h"
#include "pinpad/crc.h"
#include "remote/kwrmframe.h"

namespace {

template <size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

struct Literal {
    const char* name;
    uint8_t command;
    std::string data;
    std::string frame;
};

const Literal kFrames[] = {
    {"open", 0x11, "TERM0001", Bytes("\x02\x00\x0E\x11" "TERM0001" "\x03\x82\xB5\xC9\xDF")},
    {"next block, no data", 0x30, "", Bytes("\x02\x00\x06\x30\x03\x63\x86\xC4\xE7")},
    {"date and time answer", 0x2B, Bytes("\x00" "250203140509"),
     Bytes("\x02\x00\x13\x2B\x00" "250203140509" "\x03\x9E\x4C\x15\x4C")},
    {"close, status 0000064A", 0x40, Bytes("\x00\x00\x06\x4A"),
     Bytes("\x02\x00\x0A\x40\x00\x00\x06\x4A\x03\x59\x18\x00\xCC")},
};

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(TmFrame, BothSidesWriteAndReadTheWrittenOutFrames) {
    for (const Literal& f : kFrames) {
        SCOPED_TRACE(f.name);
        const std::vector<uint8_t> emu = TmFrame_Build(f.command, U8(f.data), f.data.size());
        EXPECT_EQ(std::string(emu.begin(), emu.end()), f.frame);
        std::vector<uint8_t> terminal(KWRM_MAX_FRAME);
        terminal.resize(KwrmFrame_Build(f.command, U8(f.data), static_cast<uint16_t>(f.data.size()), terminal.data()));
        EXPECT_EQ(std::string(terminal.begin(), terminal.end()), f.frame);

        uint16_t n = 0xFFFF;
        uint8_t command = 0;
        ASSERT_EQ(TmFrame_CheckHead(U8(f.frame), &n, &command), TMFRAME_OK);
        EXPECT_EQ(n, f.data.size());
        EXPECT_EQ(command, f.command);
        EXPECT_EQ(TmFrame_CheckTail(U8(f.frame), U8(f.frame) + TMFRAME_HEAD, n, U8(f.frame) + TMFRAME_HEAD + n),
                  TMFRAME_OK);
    }
}

TEST(TmFrame, SpoiltFramesAreRefused) {
    using Edit = std::function<void(std::string&)>;
    auto at = [](size_t offset, const std::string& bytes) -> Edit {
        return [=](std::string& f) { f.replace(offset, bytes.size(), bytes); };
    };
    // The date and time answer: 13 data bytes, ETX at 17, the CRC at 18..21.
    const Literal& base = kFrames[2];
    struct Case { const char* name; Edit edit; ETmFrameCheck head, tail; };
    const Case cases[] = {
        {"as sent", [](std::string&) {}, TMFRAME_OK, TMFRAME_OK},
        {"no STX", at(0, "\x03"), TMFRAME_NO_STX, TMFRAME_OK},
        {"L 5", at(1, Bytes("\x00\x05")), TMFRAME_BAD_LENGTH, TMFRAME_OK},
        {"L 527", at(1, Bytes("\x02\x0F")), TMFRAME_BAD_LENGTH, TMFRAME_OK},
        {"no ETX", at(17, "\x04"), TMFRAME_OK, TMFRAME_NO_ETX},
        {"CRC spoilt", at(21, "\x4D"), TMFRAME_OK, TMFRAME_BAD_CRC},
        {"a data byte changed", at(5, "3"), TMFRAME_OK, TMFRAME_BAD_CRC},
        {"CRC without ETX", [](std::string& f) {
             const uint32_t crc = CRC_CalcCRC32(reinterpret_cast<const uint8_t*>(f.data()) + 1, 16, 0);
             for (int i = 0; i < 4; ++i) f[18 + i] = static_cast<char>(crc >> (24 - 8 * i));
         }, TMFRAME_OK, TMFRAME_BAD_CRC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string f = base.frame;
        c.edit(f);
        uint16_t n = 0;
        uint8_t command = 0;
        EXPECT_EQ(TmFrame_CheckHead(U8(f), &n, &command), c.head);
        if (c.head != TMFRAME_OK) continue;
        EXPECT_EQ(TmFrame_CheckTail(U8(f), U8(f) + TMFRAME_HEAD, n, U8(f) + TMFRAME_HEAD + n), c.tail);
    }
    // The longest frame the protocol allows (520 data bytes) is read.
    uint16_t n = 0;
    uint8_t command = 0;
    EXPECT_EQ(TmFrame_CheckHead(U8(Bytes("\x02\x02\x0E\x30")), &n, &command), TMFRAME_OK);
    EXPECT_EQ(n, 520);
}

}  // namespace

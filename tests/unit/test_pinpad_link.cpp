// The serial port, the link and the device commands over a real
// pseudo-terminal, against the built pad emulator (and, for exact frame
// bytes, against a small scripted peer).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/random.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "pinpad/comport.h"
#include "pinpad/crc.h"
#include "pinpad/des.h"
#include "pinpad/ppadproto.h"
#include "pinpad/ppcmd.h"
#include "support/param.h"
#include "support/payorder.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "tests/unit/pad_session_util.h"

namespace {

using padtest::ConfigureLink;
using padtest::PadEmu;

class PinpadLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, access(emu::PadEmuPath(), X_OK)) << "pad emulator not built at " << emu::PadEmuPath()
                                                       << " (build the pinpad_emu target first)";
        m_dir.write("LOG/.keep", "");
        PadProfile_Reset();
        ComPort_Init();
    }
    void TearDown() override { SysClock_SetSeam(nullptr); }
    // Starts the emulator and connects to it.
    void Start(const std::string& scenario, uint16_t protoTO = 1000) {
        m_emu.reset(new PadEmu(m_dir, scenario));
        ASSERT_FALSE(m_emu->path().empty()) << "emulator gave no pty path";
        ConfigureLink(m_emu->path(), 115200, protoTO);
    }
    void StartConnected(const std::string& scenario, uint16_t protoTO = 1000) {
        Start(scenario, protoTO);
        ASSERT_EQ(RES_OK, Connect(1));
        ASSERT_EQ(1, PadProfile_Get()->ucPinpadConnected);
    }
    TempDir m_dir;
    std::unique_ptr<PadEmu> m_emu;
};

TEST_F(PinpadLink, ConnectAgreesKeyAndCarriesPlainAndEncipheredExchanges) {
    StartConnected("dev_name=Sagem Test\ndev_id=ID-7\napp_version=0x01020801\ndev_number=513\n"
                   "serial=SN-42\npad_type=6\n");
    char name[32], id[32], t3[32], t4[32];
    uint32_t version = 0;
    uint16_t number = 0;
    ASSERT_EQ(RES_OK, DevGetInfo(name, id, t3, &version, t4, &number));
    EXPECT_STREQ("Sagem Test", name);
    EXPECT_STREQ("ID-7", id);
    EXPECT_STREQ("KWPAD", t3);
    EXPECT_EQ(0x01020801u, version);
    EXPECT_EQ(513, number);

    // Enciphered request, reply enciphered as the request was: the session
    // key that both sides derived must agree.
    strcpy(reinterpret_cast<char*>(g_ucOutBuf), "BYN 12.50");
    uint8_t block[8] = {}, blockLen = 0;
    ASSERT_EQ(RES_OK, PinBlockInitEx(1, 4, 12, 30, "400000******7899", block, &blockLen));
    EXPECT_EQ(8, blockLen);

    uint16_t type = 0;
    ASSERT_EQ(RES_OK, GetPinpadType(&type));
    EXPECT_EQ(6, type);
    char sn[PP_SERIAL_SIZE];
    ASSERT_EQ(RES_OK, GetPinpadSN(sn));
    EXPECT_STREQ("SN-42", sn);

    // Flags written are read back.
    ASSERT_EQ(RES_OK, GetSetUpdateKeyFlags(1, KEYFLAG_TPK | KEYFLAG_CFG));
    aux_PadProfile_Edit()->ucUpdTPK = 0, aux_PadProfile_Edit()->ucKeyCfg = 0;
    ASSERT_EQ(RES_OK, GetSetUpdateKeyFlags(0, 0));
    EXPECT_EQ(0, PadProfile_Get()->ucUpdTMP);
    EXPECT_EQ(1, PadProfile_Get()->ucUpdTPK);
    EXPECT_EQ(1, PadProfile_Get()->ucKeyCfg);

    ASSERT_EQ(RES_OK, DisplayStringEx(2, "HELLO", 5));
    EXPECT_EQ(RES_PP_BAUDRATE, SetBaudrate(38400));
    Disconnect();
    EXPECT_EQ(0, PadProfile_Get()->ucPinpadConnected);

    std::string trace = m_emu->traceWith("RELEASE");  // the pad's last line, written after the port closed
    EXPECT_NE(std::string::npos, trace.find("KEY"));
    EXPECT_NE(std::string::npos, trace.find("REQ 6,29 PinBlockInitEx key=1 min=4 max=12 timeout=30 pan=400000******7899 amount=BYN 12.50"));
    EXPECT_NE(std::string::npos, trace.find("DISPLAY 2 HELLO"));
    EXPECT_EQ(std::string::npos, trace.find("SetBaudrate")) << "an unsupported speed must not reach the pad";
    EXPECT_NE(std::string::npos, trace.find("CLEAR\n"));
    EXPECT_NE(std::string::npos, trace.find("RELEASE"));
}

TEST_F(PinpadLink, EncipheredRepliesToPlainRequests) {
    StartConnected("reply_cipher=always\ndev_name=Landi\n");
    char name[32];
    ASSERT_EQ(RES_OK, DevGetInfo(name, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("Landi", name);
}

TEST_F(PinpadLink, ConnectFailures) {
    struct Case {
        const char* fault;
        int result;
    } cases[] = {
        {"fault=silence@linktest", RES_PP_NO_LINK},
        {"fault=silence@key", RES_PP_KEY_TIMEOUT},
        {"fault=truncate@key", RES_PP_KEY_TIMEOUT},
        {"fault=bad_stx@key", RES_PP_KEY_FRAME},
        {"fault=no_etx@key", RES_PP_KEY_FRAME},
        {"fault=bad_crc@key", RES_PP_BAD_CRC},
    };
    // The pad says nothing or all it will say at once: the link-test and
    // key-half limits pass on the virtual clock, each after a short real wait.
    padtest::UseVirtualClockAndSilentLine();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Start(c.fault);
        const uint64_t start = SysClock_MonotonicMs();
        const auto realStart = std::chrono::steady_clock::now();
        EXPECT_EQ(c.result, Connect(1));
        const uint64_t took = SysClock_MonotonicMs() - start;
        EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(5))
            << "the waits on the line follow the clock seam";
        if (c.result == RES_PP_NO_LINK) {
            EXPECT_GE(took, 5u * PP_LINK_TEST_TIMEOUT_MS) << "five link tests, each waited out";
        } else if (c.result == RES_PP_KEY_TIMEOUT) {
            EXPECT_GE(took, static_cast<uint64_t>(PP_KEY_REPLY_TIMEOUT_MS)) << "the key half is waited for";
        }
        EXPECT_EQ(0, PadProfile_Get()->ucPinpadConnected);
        EXPECT_EQ(0, ComPort_IsOpen()) << "a failed connect leaves the port closed";
        m_emu.reset();
    }
    SysClock_SetSeam(nullptr);
    ConfigureLink(m_dir.file("no-such-tty"));
    EXPECT_EQ(RES_PP_PORT_OPEN, Connect(1));
}

// The terminal's key half comes from the OS random source; when that fails
// the connect fails with its own code instead of waiting on it for ever.
namespace random_source {
int g_calls = 0;
ssize_t Fails(void*, size_t, unsigned) {
    ++g_calls;
    errno = EIO;
    return -1;
}
ssize_t GivesNothing(void*, size_t, unsigned) {
    ++g_calls;
    return 0;
}
ssize_t AlwaysInterrupted(void*, size_t, unsigned) {
    ++g_calls;
    errno = EINTR;
    return -1;
}
ssize_t InterruptedOnce(void* b, size_t n, unsigned f) {
    if (g_calls++ == 0) {
        errno = EINTR;
        return -1;
    }
    return getrandom(b, n, f);
}
ssize_t EightAtATime(void* b, size_t n, unsigned f) {
    ++g_calls;
    return getrandom(b, n < 8 ? n : 8, f);
}
}  // namespace random_source

TEST_F(PinpadLink, SessionKeyDrawEndsWhenTheRandomSourceFails) {
    using namespace random_source;
    struct Case {
        const char* name;
        PFN_PPADPROTO_RANDOM source;
        int result;
    } cases[] = {
        {"source fails", Fails, RES_PP_RANDOM},
        {"source gives nothing", GivesNothing, RES_PP_RANDOM},
        {"source always interrupted", AlwaysInterrupted, RES_PP_RANDOM},
        {"one interrupted draw is repeated", InterruptedOnce, RES_OK},
        {"a short draw is continued", EightAtATime, RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_calls = 0;
        Start("");
        PPadProto_SetRandomSource(c.source);
        EXPECT_EQ(c.result, Connect(1));
        PPadProto_SetRandomSource(nullptr);
        EXPECT_LE(g_calls, 8) << "the source is asked a bounded number of times";
        if (c.result == RES_OK) {
            uint16_t type = 0;
            EXPECT_EQ(RES_OK, GetPinpadType(&type)) << "both sides agreed the same key";
            Disconnect();
        } else {
            EXPECT_EQ(0, ComPort_IsOpen());
            EXPECT_EQ(0, PadProfile_Get()->ucPinpadConnected);
            EXPECT_NE(std::string::npos, emu::ReadLog(m_dir.file("LOG")).find("Random source failed"));
        }
        m_emu.reset();
    }
}

// Every fault on a reply gives its code, never a crash or a write past a
// buffer; the link carries the next exchange as if nothing had happened.
TEST_F(PinpadLink, ReplyFaultsGiveTheirCodesAndTheLinkRecovers) {
    struct Case {
        const char* fault;
        int result;
        int32_t dataLen;  // reply data delivered (-1: not checked)
    } cases[] = {
        {"silence", RES_PP_NO_HEADER, 0},
        {"bad_stx", RES_PP_NO_STX, 0},
        {"no_etx", RES_PP_NO_ETX, 0},
        {"bad_crc", RES_PP_BAD_CRC, 0},
        {"wrong_echo", RES_PP_BAD_ECHO, 0},
        {"truncate", RES_PP_NO_BODY, 0},
        {"status:4660", 4660, 2},  // pad error with its data
        {"oversize:932", RES_OK, 932},
        {"oversize:933", RES_PP_REPLY_TOO_LONG, 0},
        {"oversize:1189", RES_PP_REPLY_TOO_LONG, 0},
        {"oversize:1190", RES_PP_REPLY_TOO_LONG, 0},
        {"oversize:60000", RES_PP_REPLY_TOO_LONG, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        StartConnected(std::string("fault=") + c.fault + "@cmd:1.14#1\n");
        // A sentinel just behind the caller's buffer must survive.
        static uint8_t out[PP_OUTBUF_SIZE + 16];
        memset(out, 0xCC, sizeof(out));
        int32_t len = -1;
        // A reply that never comes (whole or in part) is waited out on the
        // virtual clock; the pad's next, sound reply on the real one.
        const bool silent = c.result == RES_PP_NO_HEADER || c.result == RES_PP_NO_BODY;
        if (silent) padtest::UseVirtualClockAndSilentLine();
        EXPECT_EQ(c.result, PPadProto_Exchange(1, 14, nullptr, 0, out, &len, 0, 0, 1));
        SysClock_SetSeam(nullptr);
        EXPECT_EQ(c.dataLen, len);
        for (size_t i = PP_OUTBUF_SIZE; i < sizeof(out); ++i) ASSERT_EQ(0xCC, out[i]);
        uint16_t type = 0;
        EXPECT_EQ(RES_OK, GetPinpadType(&type));
        EXPECT_EQ(6, type);
        m_emu.reset();
    }
}

TEST_F(PinpadLink, ListenOnlyTakesSilenceAsNothingYet) {
    StartConnected("");
    uint8_t out[8] = {};
    int32_t len = 0;
    EXPECT_EQ(RES_OK, PPadProto_Exchange(6, 2, nullptr, 0, out, &len, 0, 200, 0));
    EXPECT_EQ(1, len);
    EXPECT_EQ(0x01, out[0]);
    EXPECT_EQ(std::string::npos, m_emu->trace().find("REQ 6,2")) << "listen-only sends nothing";
}

TEST_F(PinpadLink, CardRequest) {
    struct Case {
        const char* scenario;
        uint16_t timeout;
        int result;
        uint8_t state;
    } cases[] = {
        {"card=stripe\ncard_delay_ms=300\npan=4000001234567899\nrange_no=7\nchip_flag=1\n", 5, RES_OK, CARD_STATE_STRIPE},
        {"card=chip\n", 5, RES_OK, CARD_STATE_CHIP},
        {"card=contactless\n", 5, RES_OK, CARD_STATE_CLESS},
        {"card=cancel\n", 5, RES_OK, CARD_STATE_CANCELLED},
        {"card=none\n", 1, RES_PP_NO_CARD, CARD_STATE_NONE},
        {"card=stripe\nfault=short:88@cmd:4.18\n", 5, RES_PP_BAD_REPLY, CARD_STATE_STRIPE},
        {"card=stripe\nfault=short:0@cmd:4.18\n", 5, RES_PP_BAD_REPLY, CARD_STATE_NONE},
        {"card=stripe\nfault=status:77@cmd:4.18\n", 5, 77, CARD_STATE_NONE},
        {"card=stripe\nfault=status:66@cmd:4.17\n", 5, 66, CARD_STATE_NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        StartConnected(c.scenario);
        S_PAY_ORDER order;
        memset(&order, 0, sizeof(order));
        uint8_t state = 0;
        // A pad that never sees a card answers every poll at once: the
        // pauses between the polls pass on the virtual clock.
        if (c.result == RES_PP_NO_CARD) padtest::UseVirtualClock();
        uint64_t start = SysClock_MonotonicMs();
        EXPECT_EQ(c.result, CardRequest(0x0B, 2, c.timeout, 1, &state, &order));
        EXPECT_EQ(c.state, state);
        std::string trace = m_emu->trace();
        if (c.result == RES_PP_NO_CARD) {
            EXPECT_GT(SysClock_MonotonicMs() - start, 1000u * c.timeout);
            SysClock_SetSeam(nullptr);
        }
        if (c.result != 66) {
            EXPECT_NE(std::string::npos, trace.find("CardReaderCancel")) << "the reader is always cancelled";
        }
        if (c.result == RES_OK && state == CARD_STATE_STRIPE) {
            EXPECT_STREQ("400000******7899", order.szPAN);
            EXPECT_EQ(37, order.ucTrack2Len);
            EXPECT_EQ(16, order.ucPANLen);
            EXPECT_EQ(4, order.ucExpDateLen);
            EXPECT_EQ(7, order.usRangeNo);
            EXPECT_EQ(1, order.ucIsChipCard);
            EXPECT_EQ(1, order.ucIsValid);
            EXPECT_EQ(std::string::npos, trace.find("4000001234567899")) << "clear PAN in the trace";
        }
        m_emu.reset();
    }
}

TEST_F(PinpadLink, StripeReplyBoundsProtectTheOrder) {
    // A 19-digit card fits; the layout of a 16-digit card needs 89 bytes.
    struct Case {
        const char* scenario;
        int result;
    } cases[] = {
        {"card=stripe\npan=4000001234567899123\n", RES_OK},
        {"card=stripe\nfault=short:89@cmd:4.18\n", RES_OK},
        {"card=stripe\nfault=short:88@cmd:4.18\n", RES_PP_BAD_REPLY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        StartConnected(c.scenario);
        S_PAY_ORDER order;
        memset(&order, 0xEE, sizeof(order));
        uint8_t state = 0;
        ASSERT_EQ(RES_OK, CardReaderInitTK(0x0B, 2, 1));
        EXPECT_EQ(c.result, CardReaderCheckTK(&state, &order));
        EXPECT_EQ(CARD_STATE_STRIPE, state);
        if (c.result == RES_OK) {
            EXPECT_LT(strnlen(order.szPAN, sizeof(order.szPAN)), sizeof(order.szPAN));
        }
        m_emu.reset();
    }
}

TEST_F(PinpadLink, KeyboardInput) {
    struct Case {
        const char* scenario;
        int result;
    } cases[] = {
        {"confirm=yes\nkey_text=OK\n", KBD_FINISHED},
        {"confirm=no\n", KBD_CANCELLED},
        {"confirm=none\n", RES_PP_NO_INPUT},
        {"confirm=yes\nfault=short:0@cmd:3.6\n", RES_PP_BAD_REPLY},
        {"confirm=yes\nkey_text=0123456789\nfault=short:5@cmd:3.6\n", RES_PP_BAD_REPLY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        StartConnected(c.scenario);
        const uint8_t params[8] = {KBD_MODE_CONFIRM, 1, 1, 1, 1, 0, 0, 0};
        uint8_t len = 0;
        char text[KBD_TEXT_SIZE] = {};
        // No key ever comes: the pauses between the polls pass on the virtual clock.
        if (c.result == RES_PP_NO_INPUT) padtest::UseVirtualClock();
        uint64_t start = SysClock_MonotonicMs();
        EXPECT_EQ(c.result, KbdInputValue(params, 1, &len, text));
        if (c.result == KBD_FINISHED) {
            EXPECT_STREQ("OK", text);
        }
        if (c.result == RES_PP_NO_INPUT) {
            EXPECT_GT(SysClock_MonotonicMs() - start, 1000u);
            SysClock_SetSeam(nullptr);
        }
        EXPECT_NE(std::string::npos, m_emu->trace().find("REQ 3,7 KbdInputCancel"));
        m_emu.reset();
    }
    // Text longer than the caller's room is refused.
    StartConnected("confirm=yes\nkey_text=ABCDEFGHIJ\n");
    uint8_t len = 0;
    char small[4];
    const uint8_t params[8] = {KBD_MODE_CONFIRM, 1, 1, 1, 1, 0, 0, 0};
    ASSERT_EQ(RES_OK, KbdInputInit(params));
    EXPECT_EQ(RES_PP_BAD_REPLY, KbdInputCheck(&len, small, sizeof(small)));
}

TEST_F(PinpadLink, SmartEjectWaitsForRemoval) {
    StartConnected("card=chip\nremove_after_ms=400\n");
    EXPECT_EQ(RES_OK, SmartEject(1, 5));
    EXPECT_NE(std::string::npos, m_emu->trace().find("BEEP"));
    m_emu.reset();
    StartConnected("card=chip\nremove_after_ms=60000\n");
    // The card stays for good: the pauses between the polls pass on the virtual clock.
    padtest::UseVirtualClock();
    const uint64_t start = SysClock_MonotonicMs();
    EXPECT_EQ(RES_PP_NO_CARD, SmartEject(0, 1));
    EXPECT_GT(SysClock_MonotonicMs() - start, 1000u);
    SysClock_SetSeam(nullptr);
    EXPECT_EQ(std::string::npos, m_emu->trace().find("BEEP"));
    m_emu.reset();
    StartConnected("card=chip\nfault=short:0@cmd:5.4\n");
    uint8_t present = 9;
    EXPECT_EQ(RES_PP_BAD_REPLY, SmartPresent(&present));
}

TEST_F(PinpadLink, MalformedCommandRepliesAreRefused) {
    struct Case {
        const char* fault;
        int (*run)();
        int result;
    } cases[] = {
        {"short:3@cmd:1.1", [] { char n[32]; return DevGetInfo(n, n, n, nullptr, n, nullptr); }, RES_PP_BAD_REPLY},
        {"short:0@cmd:1.14", [] { uint16_t t = 99; int rc = GetPinpadType(&t); return t == 99 ? rc : -1; }, RES_PP_BAD_REPLY},
        {"oversize:3@cmd:1.14", [] { uint16_t t = 99; int rc = GetPinpadType(&t); return t == 99 ? rc : -1; }, RES_PP_BAD_REPLY},
        {"short:3@cmd:1.18", [] { char sn[PP_SERIAL_SIZE]; return GetPinpadSN(sn); }, RES_PP_BAD_REPLY},
        {"short:3@cmd:1.17", [] { return GetSetUpdateKeyFlags(0, 0); }, RES_PP_KEYFLAGS_REPLY},
        {"short:9@cmd:6.29", [] { uint8_t b[8], l; g_ucOutBuf[0] = 0; return PinBlockInitEx(1, 4, 12, 30, "4000", b, &l); }, RES_PP_BAD_REPLY},
        {"status:2@cmd:6.29", [] { uint8_t b[8], l; g_ucOutBuf[0] = 0; return PinBlockInitEx(1, 4, 12, 30, "4000", b, &l); }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        StartConnected(std::string("fault=") + c.fault + "\n");
        EXPECT_EQ(c.result, c.run());
        m_emu.reset();
    }
    // A serial number longer than the caller's room.
    StartConnected("serial=0123456789012345678901234567890123456789\n");
    char sn[PP_SERIAL_SIZE];
    EXPECT_EQ(RES_PP_BAD_REPLY, GetPinpadSN(sn));
}

// ---- exact frame bytes against a scripted peer on a raw pty ----

// Reads give up after 3 s of silence.
struct RawPeer : emu::RawPty {
    std::vector<uint8_t> Read(size_t n) { return emu::RawPty::Read(n, 3000); }
    void Write(const std::vector<uint8_t>& v) { ASSERT_EQ(static_cast<ssize_t>(v.size()), emu::RawPty::Write(v)); }
};

std::vector<uint8_t> ReplyFrame(uint8_t flag, uint16_t n, uint16_t status, std::vector<uint8_t> body) {
    uint16_t crc = CRC_CalcCRC16(body.data(), static_cast<uint32_t>(body.size()), 0);
    std::vector<uint8_t> f{0x02, flag, uint8_t(n), uint8_t(n >> 8), uint8_t(status), uint8_t(status >> 8)};
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(0x03);
    f.push_back(uint8_t(crc));
    f.push_back(uint8_t(crc >> 8));
    return f;
}

TEST(PinpadFrames, RequestBytesAndCraftedReplies) {
    TempDir dir;
    dir.write("LOG/.keep", "");
    RawPeer peer;
    ConfigureLink(peer.path());
    ComPort_Init();
    ASSERT_EQ(0, ComPort_Open());
    const uint8_t zeroKey[16] = {};  // no key agreed: the session key is all zero

    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        uint8_t encrypt;
        std::vector<uint8_t> reply;  // crafted reply frame
        int result;
        std::vector<uint8_t> out;
    } cases[] = {
        {"plain, 3 data bytes", {0xA1, 0xA2, 0xA3}, 0, ReplyFrame(0, 4, 0, {7, 9, 0x55, 0x66}), RES_OK, {0x55, 0x66}},
        {"reply with N below the echo", {}, 0, ReplyFrame(0, 0, 0, {}), RES_PP_BAD_ECHO, {}},
        {"reply with N = 1", {}, 0, ReplyFrame(0, 1, 0, {7}), RES_PP_BAD_ECHO, {}},
        {"encrypted, 6 data bytes: one block", {1, 2, 3, 4, 5, 6}, 1, {}, RES_OK, {}},
        {"encrypted, 7 data bytes: two blocks", {1, 2, 3, 4, 5, 6, 7}, 1, {}, RES_OK, {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> request;
        std::thread pad([&] {
            std::vector<uint8_t> test = peer.Read(2);
            peer.Write(test);  // echo the link test
            std::vector<uint8_t> head = peer.Read(4);
            if (head.size() < 4) return;
            uint16_t n = head[2] | (head[3] << 8);
            request = head;
            std::vector<uint8_t> rest = peer.Read(n + 3u);
            request.insert(request.end(), rest.begin(), rest.end());
            if (!c.reply.empty()) {
                peer.Write(c.reply);
            } else {
                // Enciphered reply with N = 10: sixteen body bytes follow.
                std::vector<uint8_t> body{7, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0};
                Encode_3DES(body.data(), body.data(), 16, zeroKey);
                peer.Write(ReplyFrame(1, 10, 0, body));
            }
        });
        uint8_t out[PP_OUTBUF_SIZE];
        int32_t len = -1;
        int rc = PPadProto_Exchange(7, 9, c.data.empty() ? nullptr : c.data.data(), static_cast<int32_t>(c.data.size()),
                                    out, &len, c.encrypt, 2000, 0);
        pad.join();
        EXPECT_EQ(c.result, rc);
        if (c.encrypt == 0 && c.data.size() == 3) {
            uint8_t body[5] = {7, 9, 0xA1, 0xA2, 0xA3};
            uint16_t crc = CRC_CalcCRC16(body, 5, 0);
            EXPECT_EQ((std::vector<uint8_t>{0x02, 0x00, 0x05, 0x00, 7, 9, 0xA1, 0xA2, 0xA3, 0x03, uint8_t(crc),
                                            uint8_t(crc >> 8)}),
                      request);
            EXPECT_EQ(c.out, std::vector<uint8_t>(out, out + len));
        }
        if (c.encrypt) {
            size_t n = c.data.size() == 6 ? 8 : 16;
            ASSERT_EQ(n + 7, request.size());
            EXPECT_EQ(0x01, request[1]);
            EXPECT_EQ(n, request[2]);
            std::vector<uint8_t> body(request.begin() + 4, request.begin() + 4 + n);
            Decode_3DES(body.data(), body.data(), static_cast<uint16_t>(n), zeroKey);
            std::vector<uint8_t> expect{7, 9};
            expect.insert(expect.end(), c.data.begin(), c.data.end());
            expect.resize(n, 0);
            EXPECT_EQ(expect, body);
            EXPECT_EQ(8, len);
            EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}), std::vector<uint8_t>(out, out + 8));
        }
    }
    ComPort_Close();
}

// A call killed while the pad worked leaves the pad's reply to come late,
// and a late link-test echo may stand in the way too. None of it may keep
// the next connect from finding the pad.
TEST(PinpadFrames, StaleInputDoesNotLockTheLinkOut) {
    TempDir dir;
    dir.write("LOG/.keep", "");
    // An enciphered PIN-block reply of 25 bytes whose body holds 02 03: taken
    // two bytes at a time it never lines up with an echo again.
    std::vector<uint8_t> body{6, 29, 8, 0x02, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0, 0};
    const std::vector<uint8_t> lateReply = ReplyFrame(1, 11, 0, body);
    std::vector<uint8_t> lateTwo = ReplyFrame(0, 5, 0x0102, {6, 29, 0x02, 0x03, 0x02});
    lateTwo.insert(lateTwo.end(), lateReply.begin(), lateReply.end());
    const std::vector<uint8_t> echo{0x02, 0x03};
    struct Case {
        const char* name;
        std::vector<uint8_t> waiting;      // in the line before the port opens
        std::vector<uint8_t> beforeEcho;   // ahead of the echo to the connect's link test
        std::vector<uint8_t> beforeKey;    // ahead of the pad's key half
    } cases[] = {
        {"a late reply waiting in the line", lateReply, {}, {}},
        {"a late reply arriving ahead of the echo", {}, lateReply, {}},
        {"a late plain reply and a late enciphered one ahead of the echo", {}, lateTwo, {}},
        {"a late echo ahead of the key half", {}, {}, echo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer;
        ConfigureLink(peer.path());
        ComPort_Init();
        if (!c.waiting.empty()) peer.Write(c.waiting);
        std::thread pad([&] {
            std::vector<uint8_t> out = c.beforeEcho;
            if (peer.Read(2) != echo) return;
            out.insert(out.end(), echo.begin(), echo.end());
            peer.Write(out);
            if (peer.Read(2) != echo) return;  // the key agreement's own link test
            peer.Write(echo);
            std::vector<uint8_t> key = peer.Read(PP_KEY_FRAME_SIZE);
            if (key.size() != static_cast<size_t>(PP_KEY_FRAME_SIZE)) return;
            out = c.beforeKey;
            out.insert(out.end(), key.begin(), key.end());  // its own half back: any half will do
            peer.Write(out);
            if (peer.Read(2) != echo) return;  // the exchange's link test
            peer.Write(echo);
            std::vector<uint8_t> head = peer.Read(4);
            if (head.size() < 4) return;
            peer.Read((head[2] | (head[3] << 8)) + 3u);
            peer.Write(ReplyFrame(0, 3, 0, {1, 14, 0x42}));
        });
        EXPECT_EQ(RES_OK, PPadProto_Connect(1));
        uint8_t out[8] = {};
        int32_t len = 0;
        EXPECT_EQ(RES_OK, PPadProto_Exchange(1, 14, nullptr, 0, out, &len, 0, 2000, 0));
        EXPECT_EQ(1, len);
        EXPECT_EQ(0x42, out[0]);
        pad.join();
        ComPort_Close();
    }
}

TEST(PinpadSerial, PortRulesAndTimedReads) {
    TempDir dir;
    dir.write("LOG/.keep", "");
    RawPeer peer;
    struct Case {
        uint16_t port;
        uint32_t baud;
        int result;
    } cases[] = {{0, 115200, -1}, {251, 115200, -1}, {1, 14400, -1}, {1, 0, -1}, {1, 4800, 0}, {250, 38400, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port * 1000000 + c.baud);
        ConfigureLink(peer.path());
        g_ComConfig.usComPort = c.port;
        g_ComConfig.ulBaudrate = c.baud;
        EXPECT_EQ(c.result, ComPort_Open());
        ComPort_Close();
    }
    uint8_t buf[8];
    EXPECT_EQ(-1, ComPort_ReadBuffer(buf, 6, 10));
    EXPECT_EQ(-1, ComPort_WriteBuffer(buf, 6, 0));

    ConfigureLink(peer.path());
    ASSERT_EQ(0, ComPort_Open());
    // Four of six bytes arrive: the read returns 4 once the time-out passes.
    peer.Write({1, 2, 3, 4});
    uint64_t start = SysClock_MonotonicMs();
    EXPECT_EQ(4, ComPort_ReadBuffer(buf, 6, 300));
    EXPECT_GE(SysClock_MonotonicMs() - start, 290u);
    // All bytes at once: no wait for the time-out.
    peer.Write({1, 2, 3, 4, 5, 6});
    start = SysClock_MonotonicMs();
    EXPECT_EQ(6, ComPort_ReadBuffer(buf, 6, 5000));
    EXPECT_LT(SysClock_MonotonicMs() - start, 1000u);
    EXPECT_EQ(3, ComPort_WriteBuffer(buf, 3, 0));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), peer.Read(3));
    ComPort_Close();
}

}  // namespace

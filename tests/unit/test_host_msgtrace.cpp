// The debug trace of host messages and manager exchanges: what support staff
// read in the log, and that no card number, track or PIN block reaches it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "host/msgtrace.h"
#include "host/tmmsgbuilder.h"
#include "host/tmmsgprs.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "tests/common/cardscan.h"
#include "tests/common/tempdir.h"

namespace {

const char kPan[] = "4761739001010119";
const char kTrack2[] = "4761739001010119=25122011143804400000";
const uint8_t kPinBlock[8] = {0x04, 0x12, 0x6F, 0xEF, 0xFE, 0xFE, 0xFE, 0x7A};

time_t FixedNow() { return 1738591509; }  // 2025-02-03 14:05:09 UTC

std::vector<uint8_t> Envelope(STMMsgContainer* m) {
    return std::vector<uint8_t>(m->acMessage, m->acMessage + m->usLength);
}

class MsgTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        static const SSysClockSeam seam = {FixedNow, nullptr, nullptr};
        SysClock_SetSeam(&seam);
        mkdir("LOG", 0755);
        TMMsgBuilder_Init();
        SetLogLevel(LOG_DEBUG);
        card.pan = kPan;
        card.track2 = kTrack2;
        card.pinBlock.assign(kPinBlock, kPinBlock + sizeof(kPinBlock));
    }
    void TearDown() override {
        SetLogLevel(LOG_INFO);
        SysClock_SetSeam(nullptr);
    }
    std::string Log() const { return dir.read("LOG/20250203.LOG"); }
    void ExpectNoCardData(const std::string& text) const {
        EXPECT_EQ(emu::FindCardData("trace", text, {card}), std::vector<std::string>()) << text;
        EXPECT_EQ(text.find("25122011143804400000"), std::string::npos) << "track 2 after the separator";
    }

    TempDir dir;
    emu::SCardData card;
};

// A chip sale built as the kernel builds it, its card data in the envelope's
// elements (here in clear, the worst a pad could hand over) and the card number
// once more inside the chip data; then the host's approval.
TEST_F(MsgTraceTest, SaleExchangeShowsFieldsAndNoCardData) {
    S_PAY_ORDER order;
    memset(&order, 0, sizeof(order));
    char hostDateTime[13] = "250203140509";
    order.ucOpType = OP_SALE;
    order.ucCardEntry = ENTRY_CHIP;
    order.ucPINType = PIN_ONLINE;
    order.stAmount.ulLow = 1500;
    order.stOrigAmount.ulLow = 1500;
    order.usCurrencyCode = 933;
    strcpy(order.szPANSeqNo, "1");
    strcpy(order.szICCData, "9F2701805A0847617390010101195F24032512319F3602001A");
    order.ucPANLen = 16;
    memcpy(order.ucPANEnc, kPan, 16);
    order.ucExpDateLen = 4;
    memcpy(order.ucExpDateEnc, "2512", 4);
    order.ucTrack2Len = 37;
    memcpy(order.ucTrack2Enc, kTrack2, 37);
    memcpy(order.ucPINBlock, kPinBlock, 8);
    uint16_t length = 0;
    const uint8_t* rq =
        TMMsgBuilder_GetTransactionRq(&order, "TERM0001", "250201", 7, 12, 42, HostMode::NewRequest, 0, hostDateTime, &length);
    ASSERT_NE(rq, nullptr);
    MsgTrace_HostRequest(rq, length);

    STMMsgContainer rs;
    TMMsgPrs_InitContainer(&rs);
    TMMsgPrs_SetMTI(&rs, 1210);
    TMMsgPrs_AddField(&rs, 2, kPan, 16);
    TMMsgPrs_AddField(&rs, 4, "000000001500", 12);
    TMMsgPrs_AddField(&rs, 38, "A1B2C3", 6);
    TMMsgPrs_AddField(&rs, 39, "000", 3);
    ASSERT_EQ(TMMsgBuilder_PrepareRsPacket(&rs, 0), RES_OK);
    const std::vector<uint8_t> answer = Envelope(&rs);
    MsgTrace_HostResponse(answer.data(), (uint16_t)answer.size());

    const std::string log = Log();
    EXPECT_NE(log.find("Host request (kind 1, "), std::string::npos) << log;
    EXPECT_NE(log.find(": 1200 F3=000000 F4=000000001500"), std::string::npos) << log;
    EXPECT_NE(log.find(" F55=[50]"), std::string::npos) << log;
    EXPECT_NE(log.find(" S1/F2=enc[16] S2/F14=enc[4] S4/F35=enc[37] S5/F52=****"), std::string::npos) << log;
    EXPECT_NE(log.find(": 1210 F2=************0119 F4=000000001500 F38=A1B2C3 F39=000"), std::string::npos) << log;
    ExpectNoCardData(log);
    EXPECT_EQ(log.find("2512"), std::string::npos) << "expiry";
}

// Card data as a bitmap field in clear, field by field.
TEST_F(MsgTraceTest, ClearCardFieldsAreMasked) {
    char pinHex[17];
    for (int i = 0; i < 8; ++i) snprintf(pinHex + 2 * i, 3, "%02X", kPinBlock[i]);
    const std::string track1 = std::string("B") + kPan + "^CARDHOLDER/TEST^2512201100000";
    struct Case {
        uint16_t mti;
        uint8_t field;
        std::string value;
        std::string shown;
    } cases[] = {
        {1100, 2, kPan, "F2=************0119"},
        {1100, 14, "2512", "F14=****"},
        {1100, 35, kTrack2, "F35=************0119[37]"},
        {1100, 35, "4761739001010119D2512201", "F35=************0119[24]"},
        {1100, 45, track1, "F45=[47]"},
        {1100, 52, pinHex, "F52=****"},
        {1100, 55, "5A0847617390010101195F2403251231", "F55=[32]"},
        {1100, 64, "0011223344556677", "F64=[16]"},
        {1814, 48, "0010123456789ABCDEF", "F48=[19]"},
        {1210, 48, "ABC", "F48=ABC"},
        {1210, 44, std::string("A\x01\xFF", 3), "F44=hex:4101FF"},
    };
    for (const Case& c : cases) {
        STMMsgContainer m;
        TMMsgPrs_InitContainer(&m);
        TMMsgPrs_SetMTI(&m, c.mti);
        TMMsgPrs_AddField(&m, c.field, c.value.data(), (uint16_t)c.value.size());
        ASSERT_TRUE(TMMsgPrs_IsFieldExists(&m, c.field)) << (int)c.field;
        char text[512];
        MsgTrace_FormatMessage(&m, text, sizeof(text));
        EXPECT_EQ(std::string(text), std::to_string(c.mti) + " " + c.shown);
        ExpectNoCardData(text);
    }
}

// A long message in a small buffer: cut, marked and terminated, never overrun.
TEST_F(MsgTraceTest, FormatFitsTheBuffer) {
    STMMsgContainer m;
    TMMsgPrs_InitContainer(&m);
    TMMsgPrs_SetMTI(&m, 1210);
    const std::string odd(99, '\x02');
    TMMsgPrs_AddField(&m, 44, odd.data(), (uint16_t)odd.size());
    char text[64];
    memset(text, 'Z', sizeof(text));
    MsgTrace_FormatMessage(&m, text, 40);
    const std::string shown(text);
    EXPECT_LT(shown.size(), 40u);
    EXPECT_EQ(shown.substr(shown.size() - 3), "...");
    EXPECT_EQ(text[40], 'Z');
}

TEST_F(MsgTraceTest, RefusalsAndBrokenEnvelopes) {
    const uint8_t refusal[1] = {TMMSG_STATUS_NO_LINK};
    MsgTrace_HostResponse(refusal, 1);
    const uint8_t cut[5] = {'T', 'E', 'R', 'M', '0'};
    MsgTrace_HostRequest(cut, sizeof(cut));
    const std::string log = Log();
    EXPECT_NE(log.find("Host response (1 bytes): status 0x50"), std::string::npos) << log;
    EXPECT_NE(log.find("Host request: unreadable envelope of 5 bytes"), std::string::npos) << log;
}

TEST_F(MsgTraceTest, ManagerExchangesOneLineEachWithoutContent) {
    MsgTrace_ManagerExchange(0x11, 8, 0x11, 0, 16, MSGTRACE_NONE);
    MsgTrace_ManagerExchange(0x30, 0, 0x30, MSGTRACE_NONE, 520, 1040);
    const std::string log = Log();
    EXPECT_NE(log.find("Manager: > 11 len 8 < 11 status 00 len 16\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Manager: > 30 len 0 < 30 len 520 offset 1040\n"), std::string::npos) << log;
}

// Below the debug level nothing of the trace is written, not even a line.
TEST_F(MsgTraceTest, SilentBelowDebugLevel) {
    SetLogLevel(LOG_INFO);
    const uint8_t refusal[1] = {TMMSG_STATUS_NO_LINK};
    MsgTrace_HostResponse(refusal, 1);
    MsgTrace_ManagerExchange(0x30, 0, 0x30, MSGTRACE_NONE, 520, 0);
    MsgTrace_HostRequest(refusal, 1);
    EXPECT_EQ(Log(), "");
}

}  // namespace

// Host messages: the class of a transaction per operation code and mode, the
// built requests (byte-exact for a chip sale), and the parsers of transaction,
// reconciliation, echo and key-download answers, including hostile ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host/tmmsgbuilder.h"
#include "host/tmmsgbuilder_internal.h"
#include "host/tmmsgprs.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "tests/common/tempdir.h"
#include "tests/unit/host_envelopes.h"

namespace {

// 2025-02-03 14:05:09 UTC, a Monday; day of the year 34.
time_t FixedNow() {
    struct tm t = {};
    t.tm_year = 125;
    t.tm_mon = 1;
    t.tm_mday = 3;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    return timegm(&t);
}

SBigInt Amount(uint64_t v) {
    SBigInt a;
    a.ucSign = 0;
    a.ulHigh = (uint32_t)(v / 1000000000ULL);
    a.ulLow = (uint32_t)(v % 1000000000ULL);
    return a;
}

using Fields = std::vector<std::pair<uint8_t, std::string>>;

// A response envelope built with the same container the emulator uses.
std::vector<uint8_t> Response(uint16_t mti, const Fields& fields) {
    STMMsgContainer m;
    TMMsgPrs_InitContainer(&m);
    TMMsgPrs_SetMTI(&m, mti);
    for (const auto& f : fields)
        TMMsgPrs_AddField(&m, f.first, f.second.data(), (uint16_t)f.second.size());
    EXPECT_EQ(TMMsgBuilder_PrepareRsPacket(&m, 0), RES_OK);
    return std::vector<uint8_t>(m.acMessage, m.acMessage + m.usLength);
}

class HostMessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        static const SSysClockSeam seam = {FixedNow, nullptr, nullptr};
        SysClock_SetSeam(&seam);
        TMMsgBuilder_Init();
        memset(&order, 0, sizeof(order));
    }
    void TearDown() override { SysClock_SetSeam(nullptr); }

    // The chip sale with online PIN of the byte-exact fixture.
    void ChipSaleOrder() {
        padReads = TMMSG_PAD_CHIP;
        strcpy(hostDateTime, "250203140509");
        order.ucOpType = OP_SALE;
        order.ucCardEntry = ENTRY_CHIP;
        order.ucPINType = PIN_ONLINE;
        order.stAmount = Amount(1500);
        order.stOrigAmount = Amount(1500);
        order.usCurrencyCode = 933;
        strcpy(order.szPANSeqNo, "1");
        strcpy(order.szICCData, "9F2701809F3602001A");
        order.ucPANLen = 16;
        memset(order.ucPANEnc, 0x11, 16);
        memset(order.ucExpDateEnc, 0x22, 8);
        order.ucTrack2Len = 37;
        memset(order.ucTrack2Enc, 0x33, 40);
        memset(order.ucPINBlock, 0x44, 8);
    }

    // Builds the order's request and splits its message back into a container.
    std::string Build(HostMode mode, STMSecPacket* sec = nullptr) {
        uint16_t length = 0;
        uint8_t* p =
            TMMsgBuilder_GetTransactionRq(&order, "TERM0001", "250201", 7, 12, 42, mode, padReads, hostDateTime, &length);
        std::string packet((const char*)p, length);
        STMSecPacket local;
        EXPECT_EQ(TMMsgPrs_ParseSecPacket(&rx, (const uint8_t*)packet.data(), length,
                                          sec ? sec : &local),
                  RES_OK);
        return packet;
    }
    std::string Rx(uint16_t field) const {
        const char* d = nullptr;
        uint16_t l = 0;
        TMMsgPrs_GetField(&rx, field, &d, &l);
        return d ? std::string(d, l) : std::string("<absent>");
    }

    TempDir dir;  // the builders and parsers log into LOG/ of the working directory
    S_PAY_ORDER order;
    uint8_t padReads = 0;         // what the pad of the call reads (TMMSG_PAD_*)
    char hostDateTime[13] = "";  // the call's date and time of its host messages
    STMMsgContainer rx;
};

// ---------------------------------------------------------------- class table

TEST_F(HostMessagesTest, MessageClassPerOperationAndMode) {
    struct Case { uint8_t op, mode; uint16_t mti, orig; const char* proc; uint16_t func, reason; };
    const Case cases[] = {
        {1, 0, 1200, 1200, "000000", 200, 1508},   {2, 0, 1200, 1200, "200000", 200, 1508},
        {3, 0, 1420, 1200, "000000", 401, 4000},   {4, 0, 1420, 1200, "200000", 401, 4000},
        {5, 0, 1420, 1100, "000000", 400, 4000},   {6, 0, 1420, 1200, "000000", 400, 4000},
        {7, 0, 1420, 1200, "200000", 400, 4000},  {8, 0, 1100, 1100, "310000", 108, 1508},
        {9, 0, 1220, 0, "000000", 200, 1005},      {10, 0, 1220, 0, "200000", 200, 1005},
        {11, 0, 1420, 1220, "000000", 400, 4000},  {12, 0, 1420, 1220, "200000", 400, 4000},
        {13, 0, 1100, 1100, "000000", 108, 1508},  {14, 0, 1100, 1100, "000000", 101, 1508},
        {15, 0, 1100, 1100, "200000", 101, 1508}, {16, 0, 1220, 0, "000000", 201, 1508},
        {17, 0, 1220, 0, "200000", 201, 1508},    {18, 0, 0, 0, "990000", 0, 0},
        {0, 0, 0, 0, "990000", 0, 0},
        // advice: type only
        {1, 1, 1220, 1200, "000000", 200, 1508},   {8, 1, 1220, 1100, "310000", 108, 1508},
        {30, 1, 1220, 0, "990000", 0, 0},
        // reversals: type, function 400 and the reason of the mode
        {1, 2, 1420, 1200, "000000", 400, 4020},   {2, 3, 1420, 1200, "200000", 400, 4021},
        {6, 4, 1420, 1200, "000000", 400, 4007},   {8, 5, 1420, 1100, "310000", 400, 4021},
        {9, 3, 1220, 0, "000000", 400, 4021},      {17, 5, 1220, 0, "200000", 400, 4021},
        {18, 3, 0, 0, "990000", 400, 4021},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "op " << (int)c.op << " mode " << (int)c.mode);
        order.ucOpType = c.op;
        EXPECT_EQ(aux_TMMsgBuilder_GetMTI(c.op, static_cast<HostMode>(c.mode)), c.mti);
        EXPECT_EQ(aux_TMMsgBuilder_GetOriginalMTI(c.op), c.orig);
        EXPECT_STREQ(aux_TMMsgBuilder_GetProcCode(c.op), c.proc);
        EXPECT_EQ(aux_TMMsgBuilder_GetFunctionCode(&order, static_cast<HostMode>(c.mode)), c.func);
        EXPECT_EQ(aux_TMMsgBuilder_GetMessageReasonCode(c.op, static_cast<HostMode>(c.mode)), c.reason);
    }
    // A completion for another amount than authorised is partial.
    order.ucOpType = OP_COMPLETION;
    order.stAmount = Amount(900);
    order.stOrigAmount = Amount(1000);
    EXPECT_EQ(aux_TMMsgBuilder_GetFunctionCode(&order, HostMode::NewRequest), 202);
}

TEST_F(HostMessagesTest, PointOfServiceDataCode) {
    struct Case { uint8_t cless, emv, entry, clessMode, pin; const char* code; };
    const Case cases[] = {
        {0, 1, ENTRY_CHIP, 0, PIN_ONLINE, "510101513346"},
        {0, 0, ENTRY_STRIPE, 0, PIN_NO_ONLINE, "210101954346"},
        {1, 1, ENTRY_CLESS, 9, PIN_NONE, "M10101A04346"},
        {1, 1, ENTRY_CLESS, 11, PIN_NOT_REQUIRED, "M10101A00346"},
        {1, 1, ENTRY_CLESS, 8, PIN_OFFLINE, "M10101M11346"},
        {0, 1, ENTRY_FALLBACK, 0, PIN_OFFLINE_SIGNATURE, "510101811346"},
        {0, 1, ENTRY_NONE, 0, PIN_CHIP_FAILED, "510101100346"},
        {0, 1, ENTRY_CHIP, 0, 9, "510101509346"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        order.ucCardEntry = c.entry;
        order.ucClessMode = c.clessMode;
        order.ucPINType = c.pin;
        char out[TMMSG_POS_CODE_SIZE];
        memset(out, 'x', sizeof(out));
        aux_TMMsgBuilder_GetPOSDataCode(&order, (c.emv ? TMMSG_PAD_CHIP : 0) | (c.cless ? TMMSG_PAD_CLESS : 0), out);
        EXPECT_STREQ(out, c.code);
    }
}

// --------------------------------------------------------- transaction request

TEST_F(HostMessagesTest, ChipSaleWithOnlinePinIsByteExact) {
    ChipSaleOrder();
    const std::string packet = Build(HostMode::NewRequest);
    std::string expected = "TERM0001";
    expected += std::string("\x01\x00\x8F", 3);
    expected += "1200" "3010079808808A00"
                "000000" "000000001500" "250203140509" "510101513346" "001" "200" "1508"
                "250201" "007" "503414070042" "TERM0001" "933" "163938303131303030"
                "0189F2701809F3602001A";
    expected += std::string("\x01\x02\x00\x10", 4) + std::string(16, '\x11');
    expected += std::string("\x02\x0E\x00\x04", 4) + std::string(8, '\x22');
    expected += std::string("\x04\x23\x00\x25", 4) + std::string(40, '\x33');
    expected += std::string("\x05\x34\x00\x08", 4) + std::string(8, '\x44');
    EXPECT_EQ(packet, expected);
    // The order keeps what the request was made with.
    EXPECT_STREQ(order.szRRN, "503414070042");
    EXPECT_STREQ(order.szDateTime, "250203140509");
    EXPECT_EQ(order.usOriginalCode, 12);
    // Clearing the card data is the host exchange's job, not the builder's.
    EXPECT_EQ(order.ucPINBlock[0], 0x44);
}

TEST_F(HostMessagesTest, RequestVariants) {
    struct Case {
        const char* name;
        uint8_t op, entry, pin, mode;
        bool field95, addAmount, noExpDate;
        uint16_t mti;
        const char* present;
        std::vector<uint8_t> absent;
        std::vector<uint8_t> tags;  // security elements in order
    };
    const Case cases[] = {
        {"balance", OP_BALANCE, ENTRY_STRIPE, PIN_ONLINE, 0, false, false, false, 1100,
         "3;4;12;22;24;25;37;41;49;53", {1, 23, 30, 39, 55, 56, 95}, {1, 2, 4, 5}},
        {"chip reversal", OP_REVERSAL, ENTRY_CHIP, PIN_ONLINE, 3, false, false, false, 1420,
         "3;4;30;55;56", {1, 23, 39, 53, 54}, {1, 2}},
        {"advice with field 95", OP_SALE, ENTRY_CHIP, PIN_ONLINE, 1, true, true, false, 1220,
         "1;15;23;39;54;55;95", {30, 56}, {1, 2, 4, 5}},
        {"reversal with field 95", OP_SALE, ENTRY_STRIPE, PIN_NO_ONLINE, 5, true, true, false,
         1420, "1;15;30;56;95", {23, 39, 53, 54, 55}, {1, 2}},
        {"stripe return without expiry", OP_RETURN, ENTRY_STRIPE, PIN_NO_ONLINE, 0, true, true,
         true, 1200, "3;4;54", {1, 15, 23, 53, 55, 95}, {1, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        memset(&order, 0, sizeof(order));
        ChipSaleOrder();
        order.ucOpType = c.op;
        order.ucCardEntry = c.entry;
        order.ucPINType = c.pin;
        strcpy(order.szSTAN, "123456");
        strcpy(order.szDateTime, "250202101010");
        strcpy(order.szAcquirerId, "12345");
        strcpy(order.szField15, "20250202101010");
        strcpy(order.szRRN, "R00000000001");
        if (c.field95) strcpy(order.szField95, "F95DATA");
        if (c.addAmount) order.stAddAmount = Amount(250);
        if (c.noExpDate) order.ucExpDateEnc[0] = 0;
        order.stAmount = Amount(1500);
        order.stOrigAmount = Amount(2000);
        STMSecPacket sec;
        Build(static_cast<HostMode>(c.mode), &sec);
        EXPECT_EQ(TMMsgPrs_GetMTI(&rx), c.mti);
        EXPECT_TRUE(TMMsgPrs_IsFieldsExists(&rx, c.present)) << c.present;
        for (uint8_t f : c.absent) EXPECT_FALSE(TMMsgPrs_IsFieldExists(&rx, f)) << (int)f;
        std::vector<uint8_t> tags;
        for (int i = 0; i < sec.ucElementCount; ++i) tags.push_back(sec.astElement[i].ucTag);
        EXPECT_EQ(tags, c.tags);
        EXPECT_EQ(sec.ucKind, TMMSG_PACKET_TRANSACTION);
        // Field 12 is this message's time, not the saved order's.
        EXPECT_EQ(Rx(12), "250203140509");
        EXPECT_STREQ(order.szDateTime, "250202101010");
        EXPECT_EQ(Rx(37), "R00000000001");
    }
}

TEST_F(HostMessagesTest, RequestFieldContents) {
    ChipSaleOrder();
    order.ucOpType = OP_BALANCE;
    order.ucCardEntry = ENTRY_STRIPE;
    Build(HostMode::NewRequest);
    EXPECT_EQ(Rx(3), "310000");
    EXPECT_EQ(Rx(4), "000000000000");
    EXPECT_EQ(Rx(24), "108");

    memset(&order, 0, sizeof(order));
    ChipSaleOrder();
    order.ucOpType = OP_REVERSAL;
    order.stAmount = Amount(1500);
    order.stOrigAmount = Amount(2000);
    strcpy(order.szDateTime, "250202101010");
    strcpy(order.szAcquirerId, "12345");
    strcpy(order.szField95, "F95DATA");
    order.usOriginalCode = 3;
    Build(HostMode::SavedReversal);
    EXPECT_EQ(Rx(30), "000000002000000000000000");
    EXPECT_EQ(Rx(56), "1200000000250202101010" "0512345");
    EXPECT_EQ(Rx(25), "4021");
    EXPECT_EQ(Rx(95), "F95DATA");
    EXPECT_EQ(std::string(rx.acMessage + 4, 16).substr(0, 1), "B");  // fields 1, 3, 4
    EXPECT_EQ(std::string(rx.acMessage + 20, 16), "0000000200000000");
    EXPECT_EQ(order.usOriginalCode, 3);  // a given code is kept

    memset(&order, 0, sizeof(order));
    ChipSaleOrder();
    order.ucOpType = OP_COMPLETION;  // completion advice: field 39 "000", additional amount
    order.stAddAmount = Amount(250);
    Build(HostMode::NewRequest);
    EXPECT_EQ(Rx(39), "000");
    EXPECT_EQ(Rx(54), "0041933D000000000250");
}

TEST_F(HostMessagesTest, DamagedCardLengthsDoNotLeakMemory) {
    ChipSaleOrder();
    order.ucPANLen = 200;     // a damaged reversal file
    order.ucTrack2Len = 60;
    STMSecPacket sec;
    Build(HostMode::NewRequest, &sec);
    std::vector<uint8_t> tags;
    for (int i = 0; i < sec.ucElementCount; ++i) tags.push_back(sec.astElement[i].ucTag);
    EXPECT_EQ(tags, (std::vector<uint8_t>{2, 5}));
}

// --------------------------------------------------------- transaction answer

TEST_F(HostMessagesTest, TransactionResponses) {
    const Fields approve = {{4, "1500"},          {11, "000777"}, {15, "20250203140510"},
                            {32, "12345"},        {37, "503414070099"}, {38, "A1B2C3"},
                            {39, "000"},          {54, "0041933C000000010000"},
                            {55, "910A0102"}};
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        uint8_t entry;
        int result;
        uint16_t respCode;
        const char* hostCode;
    };
    Fields decline = {{37, "503414070099"}, {38, "      "}, {39, "116"}};
    Fields letterCode = {{37, "503414070099"}, {38, "000000"}, {39, "0Z3"}};
    Fields letterCode2 = {{37, "503414070099"}, {38, "000000"}, {39, "1A1"}};
    const Case cases[] = {
        {"approval", Response(1210, approve), ENTRY_CHIP, RES_OK, 0, ""},
        {"decline without approval code", Response(1210, {{37, "503414070099"}, {39, "116"}}),
         ENTRY_STRIPE, RES_HOST_NO_RRN_AUTH, 116, ""},
        {"decline with blank approval code", Response(1210, decline), ENTRY_STRIPE, RES_OK,
         116, ""},
        {"hold-on", Response(1810, {{39, "000"}}), ENTRY_STRIPE, RES_HOST_ONLY_HOLDON, 0, ""},
        {"front-end refusal", {0x40}, ENTRY_STRIPE, 2064, 0, ""},
        {"empty", {}, ENTRY_STRIPE, RES_HOST_BAD_LENGTH, 0, ""},
        {"too long", std::vector<uint8_t>(1025, 0), ENTRY_STRIPE, RES_HOST_BAD_LENGTH, 0, ""},
        {"no action code", Response(1210, {{37, "503414070099"}, {38, "AAAAAA"}}), ENTRY_STRIPE,
         RES_HOST_NO_RESPCODE, 0, ""},
        {"chip letter code, first digit zero", Response(1210, letterCode), ENTRY_CHIP, RES_OK,
         0, "0Z3"},
        {"contactless letter code", Response(1210, letterCode2), ENTRY_CLESS, RES_OK, 100,
         "1A1"},
        {"stripe letter code read as a number", Response(1210, letterCode2), ENTRY_STRIPE,
         RES_OK, 271, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        memset(&order, 0, sizeof(order));
        order.ucCardEntry = c.entry;
        order.stAmount = Amount(1000);
        char add[TMMSG_ADD_AMOUNTS_SIZE];
        memset(add, 'x', sizeof(add));
        EXPECT_EQ(TMMsgBuilder_ParseTransactionRs(c.packet.data(), (uint16_t)c.packet.size(),
                                                  &order, add),
                  c.result);
        // The order is a packed record: compare copies, not references into it.
        EXPECT_EQ(uint16_t(order.usRespCode), c.respCode);
        EXPECT_STREQ(order.szHostRespCode, c.hostCode);
    }
}

TEST_F(HostMessagesTest, TransactionResponseFillsOrder) {
    const Fields approve = {{1, "0000000000000000"}, {4, "1500"},          {11, "000777"},
                            {15, "20250203140510"},  {32, "12345678901"},  {37, "503414070099"},
                            {38, "A1B2C3"},          {39, "001"},          {54, "0041933C000000010000"},
                            {55, "910A0102"},        {95, "F95"}};
    const std::vector<uint8_t> packet = Response(1210, approve);
    order.stAmount = Amount(1000);
    strcpy(order.szRRN, "LOCAL0000001");
    char add[TMMSG_ADD_AMOUNTS_SIZE];
    ASSERT_EQ(TMMsgBuilder_ParseTransactionRs(packet.data(), (uint16_t)packet.size(), &order, add),
              RES_OK);
    EXPECT_EQ(order.usRespCode, 1);
    EXPECT_EQ(uint32_t{order.stAmount.ulLow}, 1500u);
    EXPECT_STREQ(order.szSTAN, "000777");
    EXPECT_STREQ(order.szField15, "20250203140510");
    EXPECT_STREQ(order.szAcquirerId, "12345678901");
    EXPECT_STREQ(order.szRRN, "503414070099");
    EXPECT_STREQ(order.szAuthCode, "A1B2C3");
    EXPECT_STREQ(add, "0041933C000000010000");
    EXPECT_STREQ(order.szICCData, "910A0102");
    EXPECT_STREQ(order.szField95, "F95");

    // Absent fields keep what the order had; a null buffer skips field 54.
    const std::vector<uint8_t> bare = Response(1210, {{38, "XYZ123"}, {39, "000"}});
    ASSERT_EQ(TMMsgBuilder_ParseTransactionRs(bare.data(), (uint16_t)bare.size(), &order, nullptr),
              RES_OK);
    EXPECT_STREQ(order.szRRN, "503414070099");
    EXPECT_STREQ(order.szAuthCode, "XYZ123");
    EXPECT_EQ(uint32_t{order.stAmount.ulLow}, 1500u);
}

// Answers written out byte by byte (host_envelopes.h): every field the bytes
// carry is split out whole and no other, and what the parser keeps of it lands
// in the order, so a wrong bit, prefix or width in the parser shows here and
// not only against the terminal's own packer.
TEST_F(HostMessagesTest, LiteralTransactionAnswers) {
    struct Case { const envelopes::Literal* answer; uint8_t entry; int result; uint16_t respCode; };
    const Case cases[] = {
        {&envelopes::kApprove, ENTRY_STRIPE, RES_OK, 0},
        {&envelopes::kDecline, ENTRY_STRIPE, RES_OK, 116},
        {&envelopes::kHoldOn, ENTRY_STRIPE, RES_HOST_ONLY_HOLDON, 0},
        {&envelopes::kBalance, ENTRY_STRIPE, RES_OK, 0},
        {&envelopes::kChip, ENTRY_CHIP, RES_OK, 0},
        {&envelopes::kField95, ENTRY_STRIPE, RES_OK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer->name);
        memset(&order, 0, sizeof(order));
        order.ucCardEntry = c.entry;
        order.stAmount = Amount(1000);
        char add[TMMSG_ADD_AMOUNTS_SIZE] = "stale";
        const std::string& bytes = c.answer->bytes;
        ASSERT_EQ(TMMsgBuilder_ParseTransactionRs((const uint8_t*)bytes.data(), (uint16_t)bytes.size(), &order,
                                                  add),
                  c.result);
        EXPECT_EQ(TMMsgPrs_GetMTI(&stTMMsg), c.answer->mti);
        std::vector<bool> listed(129, false);
        for (const auto& f : c.answer->fields) {
            listed[f.first] = true;
            const char* data = nullptr;
            uint16_t length = 0;
            TMMsgPrs_GetField(&stTMMsg, (uint16_t)f.first, &data, &length);
            EXPECT_EQ(data ? std::string(data, length) : "<absent>", f.second) << "field " << f.first;
        }
        for (int f = 2; f <= 128; ++f) {
            if (listed[f]) continue;
            EXPECT_FALSE(TMMsgPrs_IsFieldExists(&stTMMsg, (uint8_t)f)) << "field " << f;
        }
        if (c.result != RES_OK) continue;
        // The order is a packed record: compare copies, not references into it.
        EXPECT_EQ(uint16_t(order.usRespCode), c.respCode);
        std::string field54;
        for (const auto& f : c.answer->fields) {
            SCOPED_TRACE(f.first);
            switch (f.first) {
                case 4:
                    EXPECT_EQ(uint32_t(order.stAmount.ulHigh), 0u);
                    EXPECT_EQ(uint32_t(order.stAmount.ulLow), strtoul(f.second.c_str(), nullptr, 10));
                    break;
                case 11: EXPECT_STREQ(order.szSTAN, f.second.c_str()); break;
                case 37: EXPECT_STREQ(order.szRRN, f.second.c_str()); break;
                case 38: EXPECT_STREQ(order.szAuthCode, f.second.c_str()); break;
                case 54: field54 = f.second; break;
                case 55: EXPECT_STREQ(order.szICCData, f.second.c_str()); break;
                case 95: EXPECT_STREQ(order.szField95, f.second.c_str()); break;
                default: break;
            }
        }
        EXPECT_STREQ(add, field54.c_str());
    }
}

TEST_F(HostMessagesTest, TruncatedTransactionResponseIsNotReadFromGarbage) {
    // Bits of 37, 38, 39 set; the message stops inside field 38.
    std::string body = std::string("1210") + "000000000E000000" + "503414070099" + "A1B";
    std::vector<uint8_t> packet = {0};
    packet.insert(packet.end(), body.begin(), body.end());
    EXPECT_EQ(TMMsgBuilder_ParseTransactionRs(packet.data(), (uint16_t)packet.size(), &order,
                                              nullptr),
              RES_HOST_NO_RESPCODE);
    EXPECT_STREQ(order.szAuthCode, "");
}

TEST_F(HostMessagesTest, MutatedAnswersStayWithinReceivedBytes) {
    const std::string keyText = "KYVL039MTPK032" + std::string(32, 'A');
    const std::vector<uint8_t> seeds[] = {
        Response(1210, {{1, "0000000000000000"}, {4, "1500"}, {11, "000777"}, {32, "12345"},
                        {37, "503414070099"}, {38, "A1B2C3"}, {39, "000"}, {54, "0041933C0001"},
                        {55, "910A0102"}, {95, "F95"}}),
        Response(1814, {{39, "800"}, {48, "01046" + keyText}}),
    };
    std::mt19937 gen(12345);  // fixed seed: the same cases on every run
    const int allowed[] = {RES_OK, RES_HOST_BAD_LENGTH, RES_HOST_ONLY_HOLDON, RES_HOST_NO_RESPCODE,
                           RES_HOST_NO_RRN_AUTH, RES_HOST_KEY_NO_RESPCODE, RES_KEY_REFUSED};
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> packet = seeds[round % 2];
        packet.resize(1 + gen() % packet.size());  // cut anywhere
        for (int k = gen() % 4; k > 0 && packet.size() > 1; --k)
            packet[1 + gen() % (packet.size() - 1)] = (uint8_t)("0123456789AF;9 \x00"[gen() % 15]);
        SCOPED_TRACE(round);
        int rc;
        if (round % 2 == 0) {
            memset(&order, 0, sizeof(order));
            char add[TMMSG_ADD_AMOUNTS_SIZE] = "";
            rc = TMMsgBuilder_ParseTransactionRs(packet.data(), (uint16_t)packet.size(), &order, add);
            ASSERT_LT(strnlen(order.szAcquirerId, sizeof(order.szAcquirerId)), sizeof(order.szAcquirerId));
            ASSERT_LT(strnlen(add, sizeof(add)), sizeof(add));
        } else {
            char keys[TMMSG_KEY_DATA_SIZE];
            char auth[7];
            uint16_t action = 0;
            rc = TMMsgBuilder_ParseKeyDownloadRs(packet.data(), (uint16_t)packet.size(), keys,
                                                 &action, auth, nullptr);
            ASSERT_LT(strnlen(keys, sizeof(keys)), sizeof(keys));
        }
        ASSERT_NE(std::find(std::begin(allowed), std::end(allowed), rc), std::end(allowed)) << rc;
        for (int f = 1; f <= 128; ++f) {
            const STMFieldEntry& e = stTMMsg.astField[f];
            if (e.usLength) {
                ASSERT_LE(e.usOffset + e.usLength, (int)packet.size() - 1) << f;
            }
        }
    }
}

// -------------------------------------------------------------- reconciliation

TEST_F(HostMessagesTest, BatchCloseRequest) {
    struct Case {
        const char* name;
        uint64_t sales, saleCancels, returns, returnCancels;
        uint8_t variant;
        const char* field97;
        const char* field24;
    };
    const Case cases[] = {
        {"three sales one cancelled one return", 3000, 1000, 500, 0, 0, "D0000000000001500", "500"},
        {"returns exceed sales", 1000, 0, 2500, 200, 7, "C0000000000001300", "570"},
        {"all zero", 0, 0, 0, 0, 8, "D0000000000000000", "571"},
        {"net exactly zero", 1000, 500, 500, 0, 9, "D0000000000000000", "500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SBigInt s = Amount(c.sales), sc = Amount(c.saleCancels), r = Amount(c.returns),
                      rc = Amount(c.returnCancels);
        uint16_t length = 0;
        uint8_t* p = TMMsgBuilder_GetBatchCloseRq("TERM0001", 3, 1, 1, 0, 0, 0, &s, &sc, &r, &rc,
                                                  "250201", c.variant, 7, 42, &length);
        STMSecPacket sec;
        ASSERT_EQ(TMMsgPrs_ParseSecPacket(&rx, p, length, &sec), RES_OK);
        EXPECT_EQ(sec.ucKind, TMMSG_PACKET_ADMIN);
        EXPECT_EQ(sec.ucElementCount, 0);
        EXPECT_STREQ(sec.szTerminalId, "TERM0001");
        EXPECT_EQ(TMMsgPrs_GetMTI(&rx), 1520);
        EXPECT_EQ(Rx(97), c.field97);
        EXPECT_EQ(Rx(24), c.field24);
    }
    // The worked example in full.
    EXPECT_EQ(Rx(12), "250203140509");
    EXPECT_EQ(Rx(28), "250201");
    EXPECT_EQ(Rx(29), "007");
    EXPECT_EQ(Rx(37), "503414070042");
    EXPECT_EQ(Rx(41), "TERM0001");
    const SBigInt s = Amount(3000), sc = Amount(1000), r = Amount(500), rc = Amount(0);
    uint16_t length = 0;
    uint8_t* p = TMMsgBuilder_GetBatchCloseRq("TERM0001", 3, 1, 1, 0, 0, 0, &s, &sc, &r, &rc,
                                              "250201", 0, 7, 42, &length);
    STMSecPacket sec;
    ASSERT_EQ(TMMsgPrs_ParseSecPacket(&rx, p, length, &sec), RES_OK);
    const std::pair<uint8_t, const char*> expected[] = {
        {74, "0000000001"}, {75, "0000000001"}, {76, "0000000003"}, {77, "0000000000"},
        {81, "0000000000"}, {86, "0000000000000500"}, {87, "0000000000001000"},
        {88, "0000000000003000"}, {89, "0000000000000000"}, {90, "0000000000"},
        {97, "D0000000000001500"}};
    for (const auto& e : expected) EXPECT_EQ(Rx(e.first), e.second) << (int)e.first;
    EXPECT_TRUE(TMMsgPrs_IsFieldExists(&rx, 1));
}

TEST_F(HostMessagesTest, BatchCloseResponses) {
    struct Case { const char* name; std::vector<uint8_t> packet; int result; uint16_t action;
                  const char* auth; const char* rrn; };
    const Case cases[] = {
        {"totals agreed", Response(1530, {{37, "503414070042"}, {38, "OK0001"}, {39, "500"}}),
         RES_OK, 500, "OK0001", "503414070042"},
        {"totals differ, no 37/38", Response(1530, {{39, "501"}}), RES_OK, 501, "", ""},
        {"hold-on", Response(1810, {{39, "800"}}), RES_HOST_ONLY_HOLDON, 0, "?", "?"},
        {"no action code", Response(1530, {{37, "503414070042"}}), RES_HOST_NO_RESPCODE, 0, "?",
         "?"},
        {"refusal", {0x50}, 2080, 0, "?", "?"},
        {"empty", {}, RES_HOST_BAD_LENGTH, 0, "?", "?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char auth[7] = "?";
        char rrn[13] = "?";
        uint16_t action = 0;
        EXPECT_EQ(TMMsgBuilder_ParseBatchCloseRs(c.packet.data(), (uint16_t)c.packet.size(), auth,
                                                 rrn, &action),
                  c.result);
        EXPECT_EQ(action, c.action);
        EXPECT_STREQ(auth, c.auth);
        EXPECT_STREQ(rrn, c.rrn);
    }
}

// The reconciliation, echo and key-download answers written out byte by byte.
TEST_F(HostMessagesTest, LiteralAdministrativeAnswers) {
    enum Reader { SETTLEMENT, ECHO, KEYS };
    struct Case { const envelopes::Literal* answer; Reader reader; uint16_t action; const char* text; };
    const Case cases[] = {
        {&envelopes::kSettled, SETTLEMENT, 500, "OK0001/503414070042"},
        {&envelopes::kEcho, ECHO, 800, ""},
        {&envelopes::kKeys, KEYS, 800, "MTPK0320123456789ABCDEFFEDCBA9876543210"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer->name);
        const uint8_t* bytes = (const uint8_t*)c.answer->bytes.data();
        const uint16_t count = (uint16_t)c.answer->bytes.size();
        uint16_t action = 0;
        std::string text;
        int rc = -1;
        if (c.reader == SETTLEMENT) {
            char auth[7] = "?", rrn[13] = "?";
            rc = TMMsgBuilder_ParseBatchCloseRs(bytes, count, auth, rrn, &action);
            text = std::string(auth) + "/" + rrn;
        } else if (c.reader == ECHO) {
            rc = TMMsgBuilder_GetEchoTestResponse(bytes, count, &action);
        } else {
            char keys[TMMSG_KEY_DATA_SIZE], auth[7];
            rc = TMMsgBuilder_ParseKeyDownloadRs(bytes, count, keys, &action, auth, nullptr);
            text = keys;
        }
        EXPECT_EQ(rc, RES_OK);
        EXPECT_EQ(action, c.action);
        EXPECT_EQ(text, c.text);
    }
}

// The administrative requests whole, written out byte by byte: the envelope's
// header (kind 0, message length), both bitmaps and every field's width.
TEST_F(HostMessagesTest, AdministrativeRequestsAreByteExact) {
    strcpy(g_Config.szTerminalId, "TERM0002");
    const SBigInt s = Amount(3000), sc = Amount(1000), r = Amount(500), rc = Amount(0);
    uint16_t settleLength = 0, keyLength = 0;
    const uint8_t* settle = TMMsgBuilder_GetBatchCloseRq("TERM0001", 3, 1, 1, 0, 0, 0, &s, &sc, &r, &rc, "250201",
                                                         0, 7, 42, &settleLength);
    const std::string settleBytes((const char*)settle, settleLength);
    const uint8_t* key = TMMsgBuilder_GetKeyDownloadRq(0, &keyLength, RTPS_KEY_TPK, 7, 42);
    const std::string keyBytes((const char*)key, keyLength);
    struct Case { const char* name; const std::string& built; std::string expected; };
    const Case cases[] = {
        {"reconciliation: bits 1 12 24 28 29 37 41, then 74-77 81 86-90 97", settleBytes,
         std::string("TERM0001\x00\x00\xDD", 11) +
             "1520" "8010011808800000" "007887C080000000" "250203140509" "500" "250201" "007" "503414070042"
             "TERM0001" "0000000001" "0000000001" "0000000003" "0000000000" "0000000000"
             "0000000000000500" "0000000000001000" "0000000000003000" "0000000000000000" "0000000000"
             "D0000000000001500"},
        {"working-key download: bits 12 24 37 41 48", keyBytes,
         std::string("TERM0002\x00\x00\x51", 11) +
             "1804" "0010010008810000" "250203140509" "811" "503414070042" "TERM0002"
             "023" "01018KYTP003TPKKDTT0014"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.built, c.expected);
    }
}

// ------------------------------------------------------------------- echo test

TEST_F(HostMessagesTest, EchoTest) {
    uint16_t length = 0;
    uint8_t* p = TMMsgBuilder_ParseEchoTestRq("TERM0001", 99, 7, 42, &length);
    STMSecPacket sec;
    ASSERT_EQ(TMMsgPrs_ParseSecPacket(&rx, p, length, &sec), RES_OK);
    EXPECT_EQ(sec.ucKind, TMMSG_PACKET_ADMIN);
    EXPECT_EQ(TMMsgPrs_GetMTI(&rx), 1800);
    EXPECT_EQ(std::string(rx.acMessage, rx.usLength),
              "1800" "0010010008800000" "250203140509" "831" "503414070042" "TERM0001");

    struct Case { const char* name; std::vector<uint8_t> packet; int result; uint16_t action; };
    const Case cases[] = {
        {"answer", Response(1810, {{39, "800"}}), RES_OK, 800},
        {"any type", Response(1814, {{39, "000"}}), RES_OK, 0},
        {"no action code", Response(1810, {{37, "503414070042"}}), RES_HOST_NO_RRN_AUTH, 0},
        {"refusal", {0xFF}, 2255, 0},
        {"too long", std::vector<uint8_t>(1025, 0), RES_HOST_BAD_LENGTH, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t action = 0;
        EXPECT_EQ(TMMsgBuilder_GetEchoTestResponse(c.packet.data(), (uint16_t)c.packet.size(),
                                                   &action),
                  c.result);
        EXPECT_EQ(action, c.action);
    }
}

// ---------------------------------------------------------------- key download

TEST_F(HostMessagesTest, KeyDownloadRequest) {
    strcpy(g_Config.szTerminalId, "TERM0002");
    struct Case { uint8_t type; const char* field48; };
    const Case cases[] = {
        {RTPS_KEY_TMK, "01018KYTP003TMKKDTT0014"},
        {RTPS_KEY_TMP, "01018KYTP003TMPKDTT0014"},
        {RTPS_KEY_TPK, "01018KYTP003TPKKDTT0014"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((int)c.type);
        uint16_t length = 0;
        uint8_t* p = TMMsgBuilder_GetKeyDownloadRq(0, &length, c.type, 7, 42);
        STMSecPacket sec;
        ASSERT_EQ(TMMsgPrs_ParseSecPacket(&rx, p, length, &sec), RES_OK);
        EXPECT_STREQ(sec.szTerminalId, "TERM0002");
        EXPECT_EQ(sec.ucKind, TMMSG_PACKET_ADMIN);
        EXPECT_EQ(TMMsgPrs_GetMTI(&rx), 1804);
        EXPECT_EQ(Rx(24), "811");
        EXPECT_EQ(Rx(41), "TERM0002");
        EXPECT_EQ(Rx(48), c.field48);
        EXPECT_TRUE(TMMsgPrs_IsFieldsExists(&rx, "12;24;37;41;48"));
    }
    uint16_t length = 99;
    EXPECT_EQ(TMMsgBuilder_GetKeyDownloadRq(0, &length, 3, 7, 42), nullptr);
    EXPECT_EQ(length, 0);
}

TEST_F(HostMessagesTest, KeyDownloadResponses) {
    const std::string keyData = "MTPK032" + std::string(32, 'A');
    const std::string kyvl = "KYVL" + std::to_string(keyData.size() + 1000).substr(1) + keyData;
    const std::string field48 = "01" + std::to_string(kyvl.size() + 1000).substr(1) + kyvl;
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        int result;
        uint16_t action;
        const char* auth;
        std::string keys;
    };
    const Case cases[] = {
        {"keys", Response(1814, {{39, "800"}, {48, field48}}), RES_OK, 800, "", keyData},
        {"refused", Response(1814, {{38, "REF001"}, {39, "909"}}), RES_KEY_REFUSED, 909,
         "REF001", ""},
        {"no KYVL", Response(1814, {{39, "800"}, {48, "01010KDTT003ABC"}}), RES_HOST_NO_RRN_AUTH,
         800, "", ""},
        {"no field 48", Response(1814, {{39, "800"}}), RES_HOST_NO_RRN_AUTH, 800, "", ""},
        {"no action code", Response(1814, {{48, field48}}), RES_HOST_KEY_NO_RESPCODE, 0, "", ""},
        {"hold-on", Response(1810, {{39, "800"}}), RES_HOST_ONLY_HOLDON, 0, "", ""},
        {"wrong type", Response(1210, {{39, "800"}}), RES_HOST_NO_RRN_AUTH, 0, "",
         ""},
        {"refusal", {0x41}, 2065, 0, "", ""},
        {"empty", {}, RES_HOST_BAD_LENGTH, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char keys[TMMSG_KEY_DATA_SIZE];
        strcpy(keys, "stale");
        char auth[7] = "stale";
        uint16_t action = 0;
        EXPECT_EQ(TMMsgBuilder_ParseKeyDownloadRs(c.packet.data(), (uint16_t)c.packet.size(),
                                                  keys, &action, auth, nullptr),
                  c.result);
        EXPECT_EQ(action, c.action);
        EXPECT_STREQ(auth, c.auth);
        EXPECT_EQ(std::string(keys), c.keys);
    }
    const std::vector<uint8_t> ok = Response(1814, {{39, "800"}, {48, field48}});
    char keys[TMMSG_KEY_DATA_SIZE];
    char auth[7];
    uint16_t action = 0;
    EXPECT_EQ(TMMsgBuilder_ParseKeyDownloadRs(ok.data(), (uint16_t)ok.size(), nullptr, &action,
                                              auth, nullptr),
              RES_HOST_NO_OUT_BUFFER);
    EXPECT_EQ(TMMsgBuilder_ParseKeyDownloadRs(ok.data(), (uint16_t)ok.size(), keys, nullptr, auth,
                                              nullptr),
              RES_HOST_NO_OUT_BUFFER);
    EXPECT_EQ(TMMsgBuilder_ParseKeyDownloadRs(ok.data(), (uint16_t)ok.size(), keys, &action,
                                              nullptr, nullptr),
              RES_HOST_NO_OUT_BUFFER);
}

TEST_F(HostMessagesTest, Field48Walk) {
    const std::string key = "KYVL010" "MTMK003ABC";
    struct Case {
        const char* name;
        std::string field;
        uint16_t number;
        const char* value12;
        const char* keys;
    };
    const Case cases[] = {
        {"key data only", "01017" + key, 0, "", "MTMK003ABC"},
        {"every sub-field", "7F" "03abc" "12ABCDEFGHIJKL" "01x" "02yy" "1234" "005zzzzz" "017" +
                                key,
         1234, "ABCDEFGHIJKL", "MTMK003ABC"},
        {"0x20 value not 12 long is skipped", "21" "05ABCDE" "017" + key, 0, "", "MTMK003ABC"},
        {"extended presence, 16 more", "81" + std::string(16, '0') + "017" + key, 0, "",
         "MTMK003ABC"},
        {"extended presence, 32 more", "81" "8" + std::string(31, '0') + "017" + key, 0, "",
         "MTMK003ABC"},
        {"key data cut off", "01099" + key, 0, "", ""},
        {"key data length not digits", "01x17" + key, 0, "", ""},
        {"too short", "01", 0, "", ""},
        {"announced number cut", "04" "12", 0, "", ""},
        {"0x20 with under 14 left", "20" "12ABC", 0, "", ""},
        {"sub-field length past the end", "41" "99ab" "017" + key, 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t number = 77;
        char value12[13] = "stale";
        char keys[TMMSG_KEY_DATA_SIZE] = "stale";
        aux_TMMsgBuilder_Parse48Field(c.field.data(), (uint16_t)c.field.size(), &number, value12,
                                      keys);
        EXPECT_EQ(number, c.number);
        EXPECT_STREQ(value12, c.value12);
        EXPECT_STREQ(keys, c.keys);
    }
    // Null outputs are skipped.
    const std::string f = "01017" + key;
    aux_TMMsgBuilder_Parse48Field(f.data(), (uint16_t)f.size(), nullptr, nullptr, nullptr);
}

TEST_F(HostMessagesTest, LongKeyDataIsReadWhole) {
    // Three keys and their wrapper exceed 255 characters: nothing may be cut.
    std::string inner;
    for (const char* tag : {"MTMK", "MTMP", "MTPK", "KTPK", "MTMK", "MTMP", "MTPK"})
        inner += std::string(tag) + "032" + std::string(32, 'F');
    const std::string kyvl = "KYVL" + std::to_string(inner.size()) + inner;  // 273 characters
    ASSERT_GT(kyvl.size(), 255u);
    const std::string field = "01" + std::to_string(kyvl.size()) + kyvl;
    char keys[TMMSG_KEY_DATA_SIZE];
    aux_TMMsgBuilder_Parse48Field(field.data(), (uint16_t)field.size(), nullptr, nullptr, keys);
    EXPECT_EQ(std::string(keys), inner);
}

TEST_F(HostMessagesTest, KeyDataElements) {
    struct Case { const char* name; std::string text; const char* out; };
    const Case cases[] = {
        {"first element", "KYVL003abc", "abc"},
        {"after others", "KYTP003TPKKDTT0014KYVL002xy", "xy"},
        {"absent", "KYTP003TPK", ""},
        {"value past the end", "KYVL009abc", ""},
        {"non-digit length", "KYTPx03TPKKYVL002xy", ""},
        {"shorter than 3", "KY", ""},
        {"empty value", "KYVL000", ""},
        {"above 500", "KYVL003abc" + std::string(491, ' '), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char out[TMMSG_KEY_DATA_SIZE] = "stale";
        aux_TMMsgBuilder_ParseKeyData(c.text.data(), (uint16_t)c.text.size(), out);
        EXPECT_STREQ(out, c.out);
    }
}

}  // namespace

// Chip and contactless transactions: the terminal's verification checks as
// tables, and the card-data rules against the pad emulator, whose replies the
// scenarios edit tag by tag (missing tags, wrong sizes, lengths past their
// fields).
#include <vector>

#include "pinpad/cless.h"
#include "pinpad/crc.h"
#include "pinpad/ppadproto.h"
#include "pinpad/emv.h"
#include "pinpad/tlv.h"
#include "support/convert.h"
#include "support/mpsutils.h"
#include "support/result_codes.h"
#include "tests/unit/pad_session_util.h"

using padtest::Count;
using padtest::PadSession;

namespace {

// Hexadecimal of a length-prefixed value: clear length, then n filler bytes.
std::string Enc(int clearLen, int n) {
    char b[3];
    snprintf(b, sizeof(b), "%02X", clearLen);
    std::string s = b;
    for (int i = 0; i < n; ++i) s += "A5";
    return s;
}
std::string HexText(const std::string& text) {
    std::string s;
    char b[3];
    for (unsigned char c : text) {
        snprintf(b, sizeof(b), "%02X", c);
        s += b;
    }
    return s;
}

// The tags present in the order's EMV data text.
std::vector<uint32_t> IccTags(const S_PAY_ORDER& o) {
    static uint8_t buf[600];
    size_t n = strnlen(o.szICCData, sizeof(o.szICCData)) / 2;
    Convert_HexToBin(o.szICCData, buf, static_cast<int>(n));
    std::vector<uint32_t> tags;
    size_t pos = 0;
    while (pos < n) {
        uint32_t tag = buf[pos++];
        if ((tag & 0x1F) == 0x1F) {
            uint8_t b;
            do {
                b = buf[pos++];
                tag = tag << 8 | b;
            } while (b & 0x80);
        }
        uint32_t len = buf[pos++];
        if (len == 0x81) len = buf[pos++];
        tags.push_back(tag);
        pos += len;
    }
    return tags;
}
bool Has(const std::vector<uint32_t>& tags, uint32_t tag) {
    for (uint32_t t : tags)
        if (t == tag) return true;
    return false;
}

TEST(EmvChecks, PinTypeFromCvmResults) {
    struct Case {
        const char* name;
        uint8_t cvmr[3];
        uint8_t type;
    };
    const Case cases[] = {
        {"no CVM required, successful", {0x1F, 0x00, 0x02}, PIN_NOT_REQUIRED},
        {"no CVM required, unknown", {0x1F, 0x00, 0x00}, PIN_OFFLINE},
        {"signature failed", {0x1E, 0x00, 0x03}, PIN_CHIP_FAILED},
        {"signature", {0x1E, 0x00, 0x00}, PIN_NO_ONLINE},
        {"signature, condition bits set", {0x5E, 0x03, 0x00}, PIN_NO_ONLINE},
        {"online PIN, unknown", {0x02, 0x00, 0x00}, PIN_ONLINE},
        {"online PIN, successful", {0x42, 0x03, 0x02}, PIN_ONLINE},
        {"offline PIN and signature", {0x03, 0x00, 0x02}, PIN_OFFLINE_SIGNATURE},
        {"enciphered offline PIN and signature", {0x05, 0x00, 0x00}, PIN_OFFLINE_SIGNATURE},
        {"plain offline PIN", {0x01, 0x00, 0x02}, PIN_OFFLINE},
        {"offline PIN failed", {0x01, 0x00, 0x01}, PIN_CHIP_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.type, EmvGetPinType(c.cvmr));
    }
}

TEST(EmvChecks, VerificationResultsAcceptedOrRefused) {
    struct Case {
        const char* name;
        uint8_t tvr3;
        uint8_t cvmr[3];
        int result;
    };
    const Case cases[] = {
        {"nothing flagged", 0x00, {0x1E, 0x00, 0x00}, RES_OK},
        {"online PIN entered wins over failure bits", 0x84, {0x1E, 0x00, 0x01}, RES_OK},
        {"PIN method, result unknown", 0x80, {0x01, 0x00, 0x00}, RES_OK},
        {"PIN method, successful", 0x18, {0x05, 0x00, 0x02}, RES_OK},
        {"PIN method failed, PIN pad missing", 0x10, {0x02, 0x00, 0x01}, RES_EMV_CVM},
        {"PIN required, not entered", 0x08, {0x1E, 0x00, 0x00}, RES_EMV_CVM},
        {"verification not successful", 0x80, {0x1F, 0x00, 0x00}, RES_EMV_CVM},
        {"code 6 is no PIN method", 0x80, {0x06, 0x00, 0x02}, RES_EMV_CVM},
        {"other bits of byte 3 only", 0x63, {0x1F, 0x00, 0x02}, RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t tvr[5] = {0xFF, 0xFF, c.tvr3, 0xFF, 0xFF};
        EXPECT_EQ(c.result, EmvVerifyTVR(tvr, c.cvmr));
    }
}

class EmvTest : public PadSession {
protected:
    void SetUp() override {
        PadSession::SetUp();
        order = padtest::SaleOrder();
        strcpy(order.szRRN, "503414070042");
        aux_PadProfile_Edit()->ucEMVSupport = 1;
    }
    S_PAY_ORDER order;
};

TEST_F(EmvTest, CardReadTakesEachFieldOrRefusesIt) {
    struct Case {
        const char* name;
        std::string scenario;
        uint8_t op;
        int result;
        const char* label;
    };
    const Case cases[] = {
        {"card as the pad gives it", "", OP_SALE, RES_OK, "VISA CLASSIC"},
        {"empty reply", "raw_reply=readtk:\n", OP_SALE, RES_EMV_EMPTY_REPLY, nullptr},
        {"chip to be read again", "emv_retries=1\n", OP_SALE, RES_EMV_CHIP_RETRY, nullptr},
        {"no PAN", "tlv=readtk:5A:-\n", OP_SALE, RES_EMV_PAN, nullptr},
        {"PAN longer than 24 enciphered bytes", "tlv=readtk:5A:" + Enc(25, 32) + "\n", OP_SALE, RES_EMV_PAN,
         nullptr},
        {"PAN padding disagrees", "tlv=readtk:5A:" + Enc(16, 24) + "\n", OP_SALE, RES_EMV_PAN, nullptr},
        {"no sequence number is only a warning", "tlv=readtk:5F34:-\n", OP_SALE, RES_OK, "VISA CLASSIC"},
        {"AID of 4 bytes", "tlv=readtk:4F:A0000000\n", OP_SALE, RES_EMV_AID, nullptr},
        {"AID of 17 bytes", "tlv=readtk:4F:" + std::string(34, '1') + "\n", OP_SALE, RES_EMV_AID, nullptr},
        {"AID of 16 bytes", "tlv=readtk:4F:" + std::string(32, '1') + "\n", OP_SALE, RES_OK, "VISA CLASSIC"},
        {"sale without expiry", "tlv=readtk:5F24:-\n", OP_SALE, RES_EMV_EXPIRY, nullptr},
        {"return without expiry", "tlv=readtk:5F24:-\n", OP_RETURN, RES_OK, "VISA CLASSIC"},
        {"expiry of 8 bytes", "tlv=readtk:5F24:" + std::string(16, '0') + "\n", OP_SALE, RES_EMV_EXPIRY, nullptr},
        {"track 2 of 37 in 40 bytes", "tlv=readtk:57:" + Enc(37, 40) + "\n", OP_SALE, RES_OK, "VISA CLASSIC"},
        {"track 2 of 37 in 39 bytes", "tlv=readtk:57:" + Enc(37, 39) + "\n", OP_SALE, RES_EMV_TRACK2, nullptr},
        {"track 2 of 37 in 48 bytes", "tlv=readtk:57:" + Enc(37, 48) + "\n", OP_SALE, RES_EMV_TRACK2, nullptr},
        {"track 2 of 41 would need 48 bytes", "tlv=readtk:57:" + Enc(41, 48) + "\n", OP_SALE, RES_EMV_TRACK2,
         nullptr},
        {"no track 2 is only a warning", "tlv=readtk:57:-\n", OP_SALE, RES_OK, "VISA CLASSIC"},
        {"preferred name when the code table is 1",
         "tlv=readtk:9F11:01\ntlv=readtk:9F12:" + HexText("PREFERRED") + "\n", OP_SALE, RES_OK, "PREFERRED"},
        {"label when the code table is not 1",
         "tlv=readtk:9F11:02\ntlv=readtk:9F12:" + HexText("PREFERRED") + "\n", OP_SALE, RES_OK, "VISA CLASSIC"},
        {"no label", "tlv=readtk:50:-\n", OP_SALE, RES_EMV_APP_LABEL, nullptr},
        {"label of 17 characters", "tlv=readtk:50:" + HexText("ABCDEFGHIJKLMNOPQ") + "\n", OP_SALE,
         RES_EMV_APP_LABEL, nullptr},
        {"masked PAN of 15", "tlv=readtk:9FFF0F:" + HexText("400000*****7899") + "\n", OP_SALE,
         RES_EMV_MASKED_PAN, nullptr},
        {"masked PAN of 20", "tlv=readtk:9FFF0F:" + HexText("400000**********7899") + "\n", OP_SALE,
         RES_EMV_MASKED_PAN, nullptr},
        {"no expiry indicator", "tlv=readtk:9FFF0E:-\n", OP_SALE, RES_EMV_VALID_FLAG, nullptr},
        {"range number of 3 bytes", "tlv=readtk:9FFF0D:000001\n", OP_SALE, RES_EMV_RANGE_NO, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartConnected("range_no=258\n" + c.scenario);
        memset(&order, 0xEE, sizeof(order));
        order.ucOpType = c.op;
        EXPECT_EQ(c.result, EMVReadTK(g_Config.szTerminalId, &order));
        EXPECT_EQ(std::string::npos, trace().find("EMVREADTK tid=- ")) << "terminal identifier not sent";
        if (c.result == RES_OK) {
            EXPECT_STREQ(c.label, order.szAppLabel);
            EXPECT_STREQ("400000******7899", order.szPAN);
            EXPECT_EQ(16, order.ucPANLen);
            EXPECT_EQ(258, order.usRangeNo);
            EXPECT_EQ(1, order.ucIsValid);
        }
        if (c.result == RES_EMV_TRACK2) { EXPECT_EQ(static_cast<char>(0xEE), order.szPAN[0]) << "track 2 overran"; }
        EXPECT_EQ(0xEE, order.ucPINBlock[0]);
        m_emu.reset();
    }
}

TEST_F(EmvTest, CardReadFieldsOfTheDefaultCard) {
    StartConnected("");
    ASSERT_EQ(RES_OK, EMVReadTK(g_Config.szTerminalId, &order));
    EXPECT_STREQ("A0000000031010", order.szAID);
    EXPECT_STREQ("01", order.szPANSeqNo);
    EXPECT_EQ(37, order.ucTrack2Len);
    EXPECT_EQ(4, order.ucExpDateLen);
    EXPECT_NE(std::string::npos, trace().find("EMVREADTK tid=T0000042 status=0"));
    for (int i = 0; i < 40; ++i) ASSERT_EQ(0, g_ucOutBuf[i]) << "card data left in the reply buffer";
}

TEST_F(EmvTest, TransactionStepChecksVerificationByOperation) {
    struct Case {
        const char* name;
        std::string scenario;
        uint8_t op;
        int result;
        uint8_t pinType;
    };
    const Case cases[] = {
        {"no CVM", "cvm=1F0002\n", OP_SALE, RES_OK, PIN_NOT_REQUIRED},
        {"online PIN with its block", "cvm=020000\n", OP_SALE, RES_OK, PIN_ONLINE},
        {"online PIN without a block", "cvm=020000\ntlv=tran:9FFF09:-\n", OP_SALE, RES_EMV_CVM, PIN_ONLINE},
        {"online PIN, block length byte wrong", "cvm=020000\ntlv=tran:9FFF09:09" + std::string(16, 'B') + "\n",
         OP_SALE, RES_EMV_CVM, PIN_ONLINE},
        {"online PIN, block of 17", "cvm=020000\ntlv=tran:9FFF09:11" + std::string(34, 'B') + "\n", OP_SALE,
         RES_EMV_CVM, PIN_ONLINE},
        {"sale, verification failed", "cvm=1E0000\ntlv=tran:95:0000800000\n", OP_SALE, RES_EMV_CVM, PIN_NO_ONLINE},
        {"sale, online PIN entered", "cvm=1E0000\ntlv=tran:95:0000840000\n", OP_SALE, RES_OK, PIN_NO_ONLINE},
        {"balance, PIN required not entered", "cvm=420003\ntlv=tran:95:0000080000\n", OP_BALANCE, RES_EMV_CVM,
         PIN_CHIP_FAILED},
        {"return, CVM failed", "cvm=1E0003\n", OP_RETURN, RES_EMV_CVM, PIN_CHIP_FAILED},
        {"return, signature", "cvm=1E0000\ntlv=tran:95:0000800000\n", OP_RETURN, RES_OK, PIN_NO_ONLINE},
        {"reversal, failed CVM becomes signature", "cvm=1E0003\n", OP_REVERSAL, RES_OK, PIN_NO_ONLINE},
        {"empty reply", "raw_reply=tran:\n", OP_SALE, RES_EMV_EMPTY_REPLY, 0},
        {"no transaction type", "tlv=tran:9C:-\n", OP_SALE, RES_EMV_TRAN_TYPE, 0},
        {"no state", "tlv=tran:9FFF07:-\n", OP_SALE, RES_EMV_TRAN_STATE, 0},
        {"state failed", "tlv=tran:9FFF07:00\n", OP_SALE, RES_EMV_TRAN_STATE, 0},
        {"state other than normal goes on", "tlv=tran:9FFF07:01\n", OP_SALE, RES_OK, PIN_NOT_REQUIRED},
        {"TVR of 4 bytes", "tlv=tran:95:00000000\n", OP_SALE, RES_EMV_TVR, 0},
        {"no CVM results", "tlv=tran:9F34:-\n", OP_SALE, RES_EMV_CVM_RESULTS, 0},
        {"no date", "tlv=tran:9A:-\n", OP_SALE, RES_EMV_DATE, PIN_NOT_REQUIRED},
        {"no time", "tlv=tran:9F21:-\n", OP_SALE, RES_EMV_TIME, PIN_NOT_REQUIRED},
        {"no application version", "tlv=tran:9F09:-\n", OP_SALE, RES_EMV_APP_VERSION, PIN_NOT_REQUIRED},
        {"no cryptogram information", "tlv=tran:9F27:-\n", OP_SALE, RES_EMV_CID, PIN_NOT_REQUIRED},
        {"EMV data beyond the order's field", "tlv=tran:DF01:" + std::string(480, '0') + "\n", OP_SALE,
         RES_EMV_DATA_TOO_LONG, PIN_NOT_REQUIRED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartConnected(c.scenario);
        order.ucOpType = c.op;
        order.ucPINType = 0;
        memset(order.ucPINBlock, 0, sizeof(order.ucPINBlock));
        EXPECT_EQ(c.result, EMVTransaction(&order));
        EXPECT_EQ(c.pinType, order.ucPINType);
        if (c.result == RES_OK) {
            EXPECT_NE(0, order.ucCID);
            EXPECT_EQ(c.pinType == PIN_ONLINE, order.ucPINBlock[0] != 0 || order.ucPINBlock[7] != 0);
        }
        m_emu.reset();
    }
}

TEST_F(EmvTest, TransactionStepSendsTerminalDataAndKeepsOnlyHostTags) {
    StartConnected("cvm=020000\ntlv=tran:9B:E800\ntlv=tran:9F4C:0102030405060708\ntlv=tran:8E:0000\n"
                   "tlv=tran:9F07:FF00\ntlv=tran:9FFF08:02\ntlv=tran:DF01:AB\n");
    char hostDateTime[MPSUTILS_DATETIME_SIZE] = "";
    ASSERT_EQ(RES_OK, EMVTransaction(&order, hostDateTime));
    std::string t = trace();
    EXPECT_NE(std::string::npos, t.find("KeyLoad mk=1 type=2 index=1"));
    EXPECT_NE(std::string::npos, t.find("EMVTRAN type=00 bin=000004E2 amount=000000001250 line=12.50 BYN cur=0933 "
                                        "exp=00 date=" +
                                        std::string(hostDateTime, 6) +
                                        " time=" + std::string(hostDateTime + 6, 6) +
                                        " seq=0042 remote=00"))
        << t;
    std::vector<uint32_t> tags = IccTags(order);
    for (uint32_t gone : {0x9FFF07u, 0x9FFF08u, 0x9FFF09u, 0x9Bu, 0x9F4Cu, 0x8Eu, 0x9F07u}) {
        SCOPED_TRACE(gone);
        EXPECT_FALSE(Has(tags, gone));
    }
    for (uint32_t kept : {0x9Cu, 0x95u, 0x9F34u, 0x9Au, 0x9F21u, 0x9F09u, 0x9F27u, 0x9F26u, 0xDF01u}) {
        SCOPED_TRACE(kept);
        EXPECT_TRUE(Has(tags, kept));
    }
    m_emu.reset();

    // Remote keys, a balance without amount line, a reference number made when there is none.
    StartConnected("");
    aux_PadProfile_Edit()->ucRemoteKeysSupport = aux_PadProfile_Edit()->ucKeyCfg = 1;
    strcpy(g_ComConfig.szRemoteOpenKey, "00112233445566778899AABBCCDDEEFF");
    order.ucOpType = OP_BALANCE;
    order.szRRN[0] = '\0';
    EMV_SetRRNInputs(7, 1234);
    ASSERT_EQ(RES_OK, EMVTransaction(&order));
    t = trace();
    EXPECT_NE(std::string::npos, t.find("KeyLoad mk=3 type=2 index=2"));
    EXPECT_NE(std::string::npos, t.find("EMVTRAN type=31 "));
    EXPECT_NE(std::string::npos, t.find(" line=- "));
    EXPECT_NE(std::string::npos, t.find(" seq=1234 remote=01"));
    EXPECT_EQ(12u, strlen(order.szRRN));
    m_emu.reset();

    // Amounts past 32 bits never reach the pad.
    StartConnected("");
    aux_PadProfile_Edit()->ucRemoteKeysSupport = aux_PadProfile_Edit()->ucKeyCfg = 0;
    order.stAmount.ulHigh = 4, order.stAmount.ulLow = 294967296;
    EXPECT_EQ(RES_EMV_AMOUNT, EMVTransaction(&order));
    EXPECT_EQ(0u, Count(trace(), "EMVTRAN"));
    order.stAmount.ulLow = 294967295;
    EXPECT_EQ(RES_OK, EMVTransaction(&order));
    EXPECT_NE(std::string::npos, trace().find("bin=FFFFFFFF amount=004294967295"));
}

TEST_F(EmvTest, CompletionTellsThePadTheHostOutcome) {
    struct Case {
        const char* name;
        int32_t host;
        const char* icc;  // host's EMV data
        const char* scenario;
        int result;
        const char* traced;
        uint8_t status;
    };
    const Case cases[] = {
        {"approved", 0, "9F2701809F360200019F10020101", "", RES_OK, "EMVFINAL tags=8A,9FFF0A,9F27 arc=00 host=00 cid=80", 0},
        {"host not reached", RES_HOST_CONNECT, "9F360200019F1002010195050000000000", "", RES_OK, "arc=05 host=0B", 0},
        {"send or receive failed", RES_HOST_SEND, "9F36020001", "", RES_OK, "arc=05 host=0B", 0},
        {"declined", 51, "9F36020001", "", RES_OK, "arc=05 host=0D", 0},
        {"host's response code and scripts", 0, "8A023035910401020304710371010272037201029F36020001", "", RES_OK,
         "tags=8A,91,71,72,9FFF0A,9F27 arc=05 host=00", 0},
        {"empty reply", 0, "9F36020001", "raw_reply=final:\n", RES_EMV_EMPTY_REPLY, "EMVFINAL", 0},
        {"no pad status", 0, "9F36020001", "tlv=final:9FFF0B:-\ntlv=final:DF01:00\n", RES_EMV_PP_STATUS, "EMVFINAL", 0},
        {"card refuses what the host declined", 51, "9F36020001", "card_decision=1\n", RES_OK, "host=0D", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartConnected(c.scenario);
        memset(order.szICCData, 0, sizeof(order.szICCData));
        strcpy(order.szICCData, c.icc);
        order.ucCID = 0x80;
        std::string before = order.szICCData;
        EXPECT_EQ(c.result, EMVFinalize(c.host, &order));
        EXPECT_NE(std::string::npos, trace().find(c.traced)) << trace();
        EXPECT_EQ(c.status, order.ucPPTranStatus);
        EXPECT_EQ(before, order.szICCData) << "the data change only when the card refuses an approval";
        m_emu.reset();
    }
}

TEST_F(EmvTest, CardRefusingAnApprovalReplacesItsValuesInTheData) {
    StartConnected("card_decision=1\ntlv=final:95:0000008000\ntlv=final:9F36:0007\ntlv=final:9F10:0A0B0C\n"
                   "tlv=final:9F26:1111111111111111\n");
    strcpy(order.szICCData, "9F2701809F360200019F10020101950500000000009C0100");
    order.ucCID = 0;
    ASSERT_EQ(RES_OK, EMVFinalize(0, &order));
    EXPECT_EQ(1, order.ucPPTranStatus);
    EXPECT_STREQ("9F2701809C01009F10030A0B0C950500000080009F36020007", order.szICCData);
    EXPECT_NE(std::string::npos, trace().find("tags=8A,9FFF0A arc=00")) << "no 9F27 without a CID" << trace();

    memset(order.szICCData, 0, sizeof(order.szICCData));
    EXPECT_EQ(RES_EMV_NO_DATA, EMVFinalize(0, &order));
    EXPECT_EQ(1u, Count(trace(), "EMVFINAL"));
}

TEST_F(EmvTest, CancelAndCleanUp) {
    struct Case {
        const char* scenario;
        int result;
    };
    const Case cases[] = {
        {"", RES_OK},
        {"raw_reply=cancel:\n", RES_EMV_EMPTY_REPLY},
        {"raw_reply=cancel:DF0100\n", RES_EMV_CANCEL_TAG},
        {"fault=status:300@cmd:17.3\n", 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        StartConnected(c.scenario);
        uint16_t status = 0xFFFF;
        EXPECT_EQ(c.result, EMVCancel(&status));
        if (c.result == RES_OK) { EXPECT_EQ(0, status); }
        EXPECT_EQ(RES_OK, EMVDestroyContext());
        EXPECT_EQ(RES_OK, EMVRereadCfg("EMVCFG"));
        m_emu.reset();
    }
}

TEST_F(EmvTest, ContactlessOutcomeKeepsExactlyTheHostTags) {
    StartConnected("tlv=cless:5F25:250101\ntlv=cless:9F1C:3132333435363738\ntlv=cless:9F21:120000\n"
                   "tlv=cless:9F42:0933\ntlv=cless:9F6E:01020304\ntlv=cless:81:000004E2\ntlv=cless:8E:0000\n"
                   "tlv=cless:9B:E800\ntlv=cless:5F20:" + HexText("IVANOV/IVAN") + "\n"
                   "tlv=cless:9F12:" + HexText("PREFERRED NAME OF TWENTY") + "\ntlv=cless:9F11:01\n"
                   "tlv=cless:DF01:AB\ntlv=cless:9F26:0102030405060708\n");
    ASSERT_EQ(RES_OK, CardReader_GetClessResult(&order));
    std::vector<uint32_t> tags = IccTags(order);
    const uint32_t gone[] = {0x9FFF15, 0x9FFF07, 0x9FFF08, 0x9FFF14, 0x5F24, 0x5F25, 0x9F1C, 0x9F21,
                             0x9F42,   0x9F6E,   0x57,     0x5A,     0x81,   0x8E,   0x9B,   0x5F34,
                             0x9FFF0F, 0x9FFF0E, 0x9FFF0D, 0x5F20,   0x9F12, 0x9F11, 0x50};
    for (uint32_t t : gone) {
        SCOPED_TRACE(t);
        EXPECT_FALSE(Has(tags, t));
    }
    const uint32_t kept[] = {0x9C, 0x95, 0x9F34, 0x9F09, 0x9F27, 0x4F, 0xDF01, 0x9F26};
    for (uint32_t t : kept) {
        SCOPED_TRACE(t);
        EXPECT_TRUE(Has(tags, t));
    }
    EXPECT_EQ(sizeof(kept) / sizeof(kept[0]), tags.size());
    EXPECT_STREQ("PREFERRED NAME O", order.szAppLabel) << "a name longer than the field is cut";
    EXPECT_STREQ("400000******7899", order.szPAN);
    EXPECT_STREQ("A0000000031010", order.szAID);
    EXPECT_EQ(8, order.ucClessMode);
    EXPECT_EQ(PIN_NOT_REQUIRED, order.ucPINType);
    EXPECT_EQ(37, order.ucTrack2Len);
}

TEST_F(EmvTest, ContactlessOutcomeRules) {
    struct Case {
        const char* name;
        std::string scenario;
        uint8_t op;
        int result;
        uint8_t pinType;
    };
    const Case cases[] = {
        {"result not successful", "cless_results=0001\n", OP_SALE, RES_CLESS_RESULT, 0},
        {"empty reply", "raw_reply=cless:\n", OP_SALE, RES_CLESS_RESULT, 0},
        {"pad error status", "fault=status:77@cmd:4.20\n", OP_SALE, RES_OK, PIN_NOT_REQUIRED},
        {"no transaction type", "tlv=cless:9C:-\n", OP_SALE, RES_EMV_TRAN_TYPE, 0},
        {"state not normal", "tlv=cless:9FFF07:01\n", OP_SALE, RES_EMV_TRAN_STATE, 0},
        {"signature", "cless_cvm=0x10\n", OP_SALE, RES_OK, PIN_NO_ONLINE},
        {"online PIN", "cless_cvm=0x02\n", OP_SALE, RES_OK, PIN_ONLINE},
        {"unknown verification", "cless_cvm=0x01\n", OP_SALE, RES_EMV_CVM, 0},
        {"no verification outcome", "tlv=cless:9FFF08:-\n", OP_SALE, RES_EMV_CVM, 0},
        {"no TVR", "tlv=cless:95:-\n", OP_SALE, RES_EMV_TVR, PIN_NOT_REQUIRED},
        {"no CVM results is fine", "tlv=cless:9F34:-\n", OP_SALE, RES_OK, PIN_NOT_REQUIRED},
        {"outcome kind 7", "tlv=cless:9FFF14:07\n", OP_SALE, RES_CLESS_MODE, PIN_NOT_REQUIRED},
        {"outcome kind 12", "tlv=cless:9FFF14:0C\n", OP_SALE, RES_CLESS_MODE, PIN_NOT_REQUIRED},
        {"outcome kind 11", "tlv=cless:9FFF14:0B\n", OP_SALE, RES_OK, PIN_NOT_REQUIRED},
        {"no application version", "tlv=cless:9F09:-\n", OP_SALE, RES_EMV_APP_VERSION, PIN_NOT_REQUIRED},
        {"no cryptogram information", "tlv=cless:9F27:-\n", OP_SALE, RES_EMV_CID, PIN_NOT_REQUIRED},
        {"sale without expiry", "tlv=cless:5F24:-\n", OP_SALE, RES_EMV_EXPIRY, PIN_NOT_REQUIRED},
        {"return without expiry", "tlv=cless:5F24:-\n", OP_RETURN, RES_OK, PIN_NOT_REQUIRED},
        {"track 2 of 41 would need 48 bytes", "tlv=cless:57:" + Enc(41, 48) + "\n", OP_SALE, RES_EMV_TRACK2,
         PIN_NOT_REQUIRED},
        {"track 2 padding disagrees", "tlv=cless:57:" + Enc(37, 32) + "\n", OP_SALE, RES_EMV_TRACK2,
         PIN_NOT_REQUIRED},
        {"no PAN", "tlv=cless:5A:-\n", OP_SALE, RES_EMV_PAN, PIN_NOT_REQUIRED},
        {"masked PAN of 15", "tlv=cless:9FFF0F:" + HexText("400000*****7899") + "\n", OP_SALE, RES_EMV_MASKED_PAN,
         PIN_NOT_REQUIRED},
        {"no expiry indicator", "tlv=cless:9FFF0E:-\n", OP_SALE, RES_EMV_VALID_FLAG, PIN_NOT_REQUIRED},
        {"no range number", "tlv=cless:9FFF0D:-\n", OP_SALE, RES_EMV_RANGE_NO, PIN_NOT_REQUIRED},
        {"no label is only a warning", "tlv=cless:50:-\n", OP_SALE, RES_OK, PIN_NOT_REQUIRED},
        {"AID of 4 bytes", "tlv=cless:4F:A0000000\n", OP_SALE, RES_EMV_AID, PIN_NOT_REQUIRED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartConnected(c.scenario);
        order.ucOpType = c.op;
        order.ucPINType = 0;
        EXPECT_EQ(c.result, CardReader_GetClessResult(&order));
        EXPECT_EQ(c.pinType, order.ucPINType);
        m_emu.reset();
    }
}

TEST_F(EmvTest, ContactlessParametersAndTheirResend) {
    StartConnected("");
    order.ucOpType = OP_RETURN;
    ASSERT_EQ(RES_OK, CardReader_SetClessParam(&order));
    ASSERT_EQ(RES_OK, CardReader_GetClessResult(&order));
    std::string t = trace();
    EXPECT_NE(std::string::npos, t.find("CLESSSET type=22 bin=000004E2 amount=000000001250 line=12.50 BYN cur=0933"));
    size_t sent = t.find("CLESSGET sent=");
    ASSERT_NE(std::string::npos, sent);
    EXPECT_NE("0", t.substr(sent + 14, 1)) << "the parameter list travels again with the outcome request";

    order.stAmount.ulHigh = 5;
    EXPECT_EQ(RES_EMV_AMOUNT, CardReader_SetClessParam(&order));
    EXPECT_EQ(1u, Count(trace(), "CLESSSET"));
    m_emu.reset();

    StartConnected("cless_set_status=21\n");
    order.stAmount.ulHigh = 0;
    EXPECT_EQ(21, CardReader_SetClessParam(&order));
}

TEST_F(EmvTest, ConfigurationFilesFollowTheTerminalsCopies) {
    const std::string cfg = "EMV CONFIGURATION", capk = "EMV KEYS";
    struct Case {
        const char* name;
        uint8_t emvSupport;
        const char* localCfg;   // null: no DATA/EMVCFG
        const char* newCapk;    // DATA/Capk waiting
        std::string padFiles;
        int result;
        int writes;             // transfers started
        int rereads;
    };
    const Case cases[] = {
        {"no chip support: nothing asked", 0, nullptr, nullptr, "", RES_OK, 0, 0},
        {"both in step", 1, "EMV CONFIGURATION", nullptr, "file=EMVCFG:EMV CONFIGURATION\nfile=EMVCAPK:EMV KEYS\n",
         RES_OK, 0, 0},
        {"new key file renamed and sent", 1, "EMV CONFIGURATION", "EMV KEYS",
         "file=EMVCFG:EMV CONFIGURATION\n", RES_OK, 1, 1},
        {"configuration differs", 1, "EMV CONFIGURATION", nullptr, "file=EMVCFG:OLD\nfile=EMVCAPK:EMV KEYS\n",
         RES_OK, 1, 1},
        {"pad's configuration kept when the terminal has none", 1, nullptr, nullptr,
         "file=EMVCFG:OLD\nfile=EMVCAPK:EMV KEYS\n", RES_OK, 0, 0},
        {"neither has a configuration", 1, nullptr, nullptr, "file=EMVCAPK:EMV KEYS\n", RES_PP_EMV_CONFIG, 0, 0},
        {"transfer refused", 1, "EMV CONFIGURATION", nullptr,
         "file=EMVCAPK:EMV KEYS\nfault=status:7@cmd:18.2\n", RES_PP_EMV_CONFIG, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink("DATA/EMVCFG");
        unlink("DATA/Capk");
        m_dir.write("DATA/EMVCAPK", capk);
        if (c.localCfg) m_dir.write("DATA/EMVCFG", c.localCfg);
        if (c.newCapk) {
            m_dir.write("DATA/EMVCAPK", "OLD KEYS");
            m_dir.write("DATA/Capk", c.newCapk);
        }
        StartConnected(c.padFiles);
        aux_PadProfile_Edit()->ucEMVSupport = c.emvSupport;
        uint32_t cfgCrc = 0, capkCrc = 0;
        EXPECT_EQ(c.result, PPlayer_CheckEMV(&cfgCrc, &capkCrc));
        std::string t = trace();
        EXPECT_EQ(static_cast<size_t>(c.writes), Count(t, "FileStartWrite"));
        EXPECT_EQ(static_cast<size_t>(c.rereads), Count(t, "EMVRereadCfg"));
        if (!c.emvSupport) { EXPECT_EQ(0u, Count(t, "FileCheck")); }
        if (c.newCapk) {
            EXPECT_FALSE(m_dir.exists("DATA/Capk"));
            EXPECT_EQ(capk, m_dir.read("DATA/EMVCAPK"));
        }
        if (c.result == RES_OK && c.emvSupport) {
            uint32_t want = CRC_CalcCRC32(reinterpret_cast<const uint8_t*>(capk.data()), capk.size(), 0);
            EXPECT_EQ(want, capkCrc);
            if (c.localCfg)
                EXPECT_EQ(CRC_CalcCRC32(reinterpret_cast<const uint8_t*>(cfg.data()), cfg.size(), 0), cfgCrc);
            else
                EXPECT_NE(0u, cfgCrc);
        }
        m_emu.reset();
    }
}

}  // namespace

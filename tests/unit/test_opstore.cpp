// Operation journal DATA/TRANS.CFG: byte layout, masking, cursor walk, bad files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/opstore.h"
#include "support/result_codes.h"
#include "tests/unit/records_test_util.h"

namespace {

S_PAY_ORDER MakeOrder(uint8_t op, const char* currency, uint32_t amount, const char* pan = "411111******1111") {
    S_PAY_ORDER o;
    memset(&o, 0, sizeof(o));
    strcpy(o.szPAN, pan);
    strcpy(o.szSTAN, "000123");
    strcpy(o.szRRN, "503414070042");
    strcpy(o.szAuthCode, "A1B2C3");
    strcpy(o.szDateTime, "250203140500");
    strcpy(o.szCurrency, currency);
    o.usOriginalCode = 258;
    o.usRespCode = 772;
    o.ucOpType = op;
    o.ucCardEntry = ENTRY_CHIP;
    o.stAmount = {0, 0, amount};
    o.stOrigAmount = {1, 0, 5};
    strcpy(o.szAID, "A0000000031010A0000000031010FFFF");
    strcpy(o.szAppLabel, "VISA CREDIT");
    memset(o.ucTrack2Enc, 0xAA, sizeof(o.ucTrack2Enc));
    return o;
}

class OpStoreTest : public ::testing::Test {
protected:
    RecordsDir dir;
    void SetUp() override { OpStore_Reset(); }
};

TEST_F(OpStoreTest, EntryIsByteExactWithMaskedCardNumber) {
    S_PAY_ORDER o = MakeOrder(OP_SALE, "BYN", 0);
    o.stAmount = {0, 1234, 567890123};
    ASSERT_EQ(RES_OK, OpStore_AddTransaction(&o));

    std::string expected = Bytes()
                               .text("XXXXXXXXXXXX1111", 20)
                               .text("000123", 7)
                               .text("503414070042", 13)
                               .text("A1B2C3", 7)
                               .text("250203140500", 13)
                               .text("BYN", 4)
                               .u16(258)
                               .u16(772)
                               .u8(1)
                               .u8(2)
                               .amount(0, 1234, 567890123)
                               .amount(1, 0, 5)
                               .text("A0000000031010A0", 17)  // a 32-digit AID keeps its first 16
                               .text("VISA CREDIT", 17)
                               .s;
    ASSERT_EQ(122u, expected.size());
    EXPECT_EQ(expected, ReadFile(OPSTORE_FILE).value_or(""));
}

TEST_F(OpStoreTest, CardNumberKeepsOnlyLastFourCharacters) {
    struct Case { const char* pan; const char* stored; };
    const Case cases[] = {
        {"411111******1111", "XXXXXXXXXXXX1111"},
        {"5555", "XXXXXXXXXXXX5555"},
        {"12", "XXXXXXXXXXXX12"},
        {"", "XXXXXXXXXXXX"},
        {"12345678901234567890", "XXXXXXXXXXXX7890"},  // fills the field, no terminator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pan);
        unlink(OPSTORE_FILE);
        S_PAY_ORDER o = MakeOrder(OP_SALE, "BYN", 100);
        memcpy(o.szPAN, c.pan, strnlen(c.pan, sizeof(o.szPAN)));
        if (strlen(c.pan) < sizeof(o.szPAN)) o.szPAN[strlen(c.pan)] = '\0';
        ASSERT_EQ(RES_OK, OpStore_AddTransaction(&o));
        std::string file = ReadFile(OPSTORE_FILE).value_or("");
        EXPECT_EQ(std::string(c.stored), std::string(file.c_str()));
        EXPECT_EQ(std::string::npos, file.find("411111"));

        S_PAY_ORDER back;
        memset(&back, 0, sizeof(back));
        OpStore_Reset();
        ASSERT_EQ(0, OpStore_Next());
        ASSERT_EQ(RES_OK, OpStore_GetCurrent(&back));
        EXPECT_STREQ(c.stored, back.szPAN);
    }
}

TEST_F(OpStoreTest, WalkReadsEntriesInOrderAndStopsAtTheLast) {
    const S_PAY_ORDER ops[] = {MakeOrder(OP_SALE, "BYN", 100), MakeOrder(OP_RETURN, "USD", 200),
                               MakeOrder(OP_REVERSAL, "EUR", 300)};
    for (const S_PAY_ORDER& o : ops) ASSERT_EQ(RES_OK, OpStore_AddTransaction(&o));
    EXPECT_EQ(3, OpStore_GetCount());

    S_PAY_ORDER back;
    memset(&back, 0, sizeof(back));
    strcpy(back.szField95, "kept");
    EXPECT_EQ(-1, OpStore_GetCurrent(&back));  // before the first entry

    OpStore_Reset();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(0, OpStore_Next());
        EXPECT_EQ(i, OpStore_GetIndex());
        ASSERT_EQ(RES_OK, OpStore_GetCurrent(&back));
        EXPECT_EQ(ops[i].ucOpType, back.ucOpType);
        EXPECT_STREQ(ops[i].szCurrency, back.szCurrency);
        EXPECT_EQ(uint32_t(ops[i].stAmount.ulLow), uint32_t(back.stAmount.ulLow));
        EXPECT_EQ(1, back.stOrigAmount.ucSign);
        EXPECT_EQ(258, uint32_t(back.usOriginalCode));
        EXPECT_EQ(772, uint32_t(back.usRespCode));
        EXPECT_STREQ("503414070042", back.szRRN);
        EXPECT_STREQ("A0000000031010A0", back.szAID);
        EXPECT_STREQ("VISA CREDIT", back.szAppLabel);
        EXPECT_STREQ("kept", back.szField95);  // not a journal field
        EXPECT_EQ(0, back.ucTrack2Enc[0]);
    }
    EXPECT_EQ(-1, OpStore_Next());
    EXPECT_EQ(2, OpStore_GetIndex());
}

TEST_F(OpStoreTest, CountIsWholeEntriesOnly) {
    struct Case { int size; int count; };
    const Case cases[] = {{-1, 0}, {0, 0}, {121, 0}, {122, 1}, {250, 2}, {366, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        unlink(OPSTORE_FILE);
        if (c.size >= 0) WriteFile(OPSTORE_FILE, std::string(c.size, '\x11'));
        EXPECT_EQ(c.count, OpStore_GetCount());
        OpStore_Reset();
        int steps = 0;
        while (OpStore_Next() == 0) ++steps;
        EXPECT_EQ(c.count, steps);
        EXPECT_EQ(c.count - 1, OpStore_GetIndex());  // -1 when empty
    }
}

TEST_F(OpStoreTest, CursorOutsideTheFileOrBadFileGivesReadError) {
    OpStore_SetIndex(-7);
    EXPECT_EQ(-1, OpStore_GetIndex());

    S_PAY_ORDER back;
    OpStore_SetIndex(0);
    EXPECT_EQ(RES_JOURNAL_READ, OpStore_GetCurrent(&back));  // no file

    WriteFile(OPSTORE_FILE, std::string(250, '\x11'));
    OpStore_SetIndex(2);  // only the 6-byte tail is there
    EXPECT_EQ(RES_JOURNAL_READ, OpStore_GetCurrent(&back));
}

TEST_F(OpStoreTest, GarbageEntriesReadBackWithTerminatedTexts) {
    WriteFile(OPSTORE_FILE, std::string(244, '\xFF'));
    S_PAY_ORDER back;
    memset(&back, 0, sizeof(back));
    OpStore_Reset();
    while (OpStore_Next() == 0) {
        ASSERT_EQ(RES_OK, OpStore_GetCurrent(&back));
        EXPECT_EQ(19u, strlen(back.szPAN));
        EXPECT_EQ(6u, strlen(back.szSTAN));
        EXPECT_EQ(12u, strlen(back.szRRN));
        EXPECT_EQ(3u, strlen(back.szCurrency));
        EXPECT_EQ(16u, strlen(back.szAID));
        EXPECT_EQ(16u, strlen(back.szAppLabel));
    }
}

TEST_F(OpStoreTest, OperationCurrencyDetect) {
    const S_PAY_ORDER ops[] = {MakeOrder(OP_SALE, "BYN", 1), MakeOrder(OP_RETURN, "USD", 1),
                               MakeOrder(OP_REVERSAL, "EUR", 1)};
    EXPECT_EQ(0, OpStore_IsOperationCurrencyDetect(OP_SALE, "BYN"));  // empty journal
    for (const S_PAY_ORDER& o : ops) ASSERT_EQ(RES_OK, OpStore_AddTransaction(&o));

    struct Case { uint8_t op; const char* currency; int found; int cursor; };
    const Case cases[] = {
        {OP_SALE, "BYN", 1, 0},  {OP_SALE, "USD", 0, 2},     {OP_RETURN, "USD", 1, 1},
        {OP_RETURN, "USDX", 1, 1}, {OP_REVERSAL, "EUR", 1, 2}, {OP_REVERSAL_OTHER, "EUR", 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.op) + c.currency);
        OpStore_SetIndex(1);
        EXPECT_EQ(c.found, OpStore_IsOperationCurrencyDetect(c.op, c.currency));
        EXPECT_EQ(c.cursor, OpStore_GetIndex());
    }
}

TEST_F(OpStoreTest, TornTailIsCutBeforeTheNextAppend) {
    S_PAY_ORDER first = MakeOrder(OP_SALE, "BYN", 100);
    ASSERT_EQ(RES_OK, OpStore_AddTransaction(&first));
    std::string whole = ReadFile(OPSTORE_FILE).value();
    WriteFile(OPSTORE_FILE, whole + whole.substr(0, 61));  // an append cut half-way
    EXPECT_EQ(1, OpStore_GetCount());

    S_PAY_ORDER second = MakeOrder(OP_RETURN, "USD", 200);
    ASSERT_EQ(RES_OK, OpStore_AddTransaction(&second));
    EXPECT_EQ(244u, ReadFile(OPSTORE_FILE).value().size());

    S_PAY_ORDER back;
    OpStore_SetIndex(1);
    ASSERT_EQ(RES_OK, OpStore_GetCurrent(&back));
    EXPECT_EQ(OP_RETURN, back.ucOpType);
    EXPECT_STREQ("USD", back.szCurrency);
    EXPECT_EQ(200u, uint32_t(back.stAmount.ulLow));
}

TEST_F(OpStoreTest, AppendAndClearFailures) {
    S_PAY_ORDER o = MakeOrder(OP_SALE, "BYN", 100);
    EXPECT_EQ(RES_OK, OpStore_Clear());  // nothing to delete is clear

    ASSERT_EQ(RES_OK, OpStore_AddTransaction(&o));
    EXPECT_EQ(RES_OK, OpStore_Clear());
    EXPECT_FALSE(Exists(OPSTORE_FILE));

    // A journal that cannot be removed is reported, not taken as cleared.
    mkdir(OPSTORE_FILE, 0777);
    WriteFile(OPSTORE_FILE "/x", "x");
    EXPECT_EQ(RES_JOURNAL_WRITE, OpStore_Clear());
    EXPECT_EQ(RES_JOURNAL_WRITE, OpStore_AddTransaction(&o));
    unlink(OPSTORE_FILE "/x");
    rmdir(OPSTORE_FILE);

    rmdir("DATA");
    EXPECT_EQ(RES_JOURNAL_WRITE, OpStore_AddTransaction(&o));
}

}  // namespace

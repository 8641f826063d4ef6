// Batch record DATA/BATCH.CFG and data version DATA/VERSION.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/batch.h"
#include "kernel/opstore.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"
#include "tests/common/emulators.h"
#include "tests/unit/records_test_util.h"

namespace {

const std::string kVersionBytes("\x00\x02\x03\x01", 4);

time_t FixedNow() {
    struct tm t = {};
    t.tm_year = 125;  // 2025-02-03 12:00 local
    t.tm_mon = 1;
    t.tm_mday = 3;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return mktime(&t);
}

// A batch record: open batch 7 of 250101, indices 5 and 42, no totals.
std::string Record(uint16_t number = 7, uint16_t rrn = 42, uint8_t opened = 1) {
    return Bytes()
        .u16(5)
        .u16(rrn)
        .u16(number)
        .text("250101", 7)
        .u8(0)
        .u8(opened)
        .u8(0)
        .u16(1)
        .u16(2)
        .u16(3)
        .u16(4)
        .amount(0, 0, 100)
        .amount(0, 0, 200)
        .amount(0, 0, 300)
        .amount(0, 0, 400)
        .s;
}

std::string Info() {
    SBatchInfo info;
    Batch_GetInfo(&info);
    return std::string(reinterpret_cast<const char*>(&info), sizeof(info));
}

SBigInt Amount(uint32_t low) { return SBigInt{0, 0, low}; }

int FailRenameOnce(const char* step, const char* path) {
    return strcmp(step, "rename") == 0 && strstr(path, "BATCH") != nullptr;
}

class BatchTest : public ::testing::Test {
protected:
    RecordsDir dir;
    void SetUp() override {
        static const SSysClockSeam seam = {FixedNow, nullptr, nullptr};
        SysClock_SetSeam(&seam);
        WriteFile(BATCH_VERSION_FILE, kVersionBytes);
        Batch_Initialize();
    }
    void TearDown() override {
        SysClock_SetSeam(nullptr);
        UtilFile_SetFaultHook(nullptr);
    }
    void Load(const std::string& record) {
        WriteFile(BATCH_FILE, record);
        Batch_Initialize();
    }
};

TEST_F(BatchTest, FirstRunDropsOldBatchAndFirstOpenIsBatchOne) {
    unlink(BATCH_VERSION_FILE);
    WriteFile(OPSTORE_FILE, std::string(122, 'j'));
    Load(Record());
    EXPECT_FALSE(Exists(BATCH_FILE));
    EXPECT_EQ(kVersionBytes, ReadFile(BATCH_VERSION_FILE).value_or(""));
    EXPECT_EQ(std::string(60, '\0'), Info());

    ASSERT_EQ(RES_OK, Batch_Open());
    EXPECT_EQ(1, Batch_IsOpened());
    EXPECT_EQ(1, Batch_GetNumber());
    EXPECT_STREQ("250203", Batch_GetOpenedDate());
    EXPECT_EQ(1, Batch_GetTransactIndex());
    EXPECT_EQ(1, Batch_GetRRNIndex());
    EXPECT_FALSE(Exists(OPSTORE_FILE));  // the journal belongs to the old batch
}

TEST_F(BatchTest, RecordIsByteExact) {
    ASSERT_EQ(RES_OK, Batch_Open());
    ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_SALE, Amount(999999999)));
    ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_SALE, Amount(1)));  // carries into the high limb
    ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_REVERSAL, Amount(999999999)));
    ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_RETURN, Amount(700)));
    ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_REVERSAL_OTHER, Amount(50)));
    ASSERT_EQ(RES_OK, Batch_IncRRNIndex());
    ASSERT_EQ(RES_OK, Batch_IncRRNIndex());
    ASSERT_EQ(RES_OK, Batch_SetReversal());

    std::string expected = Bytes()
                               .u16(4)  // 1 + two sales + one refund; cancels do not advance it
                               .u16(3)
                               .u16(1)
                               .text("250203", 7)
                               .u8(1)
                               .u8(1)
                               .u8(0)
                               .u16(2)
                               .u16(1)
                               .u16(1)
                               .u16(1)
                               .amount(0, 1, 0)
                               .amount(0, 0, 999999999)
                               .amount(0, 0, 700)
                               .amount(0, 0, 50)
                               .s;
    ASSERT_EQ(60u, expected.size());
    EXPECT_EQ(expected, ReadFile(BATCH_FILE).value_or(""));

    Batch_Initialize();  // the next process sees the same
    EXPECT_EQ(expected, Info());
    uint16_t sales, cancels, refunds;
    SBigInt saleAmt, cancelAmt, refundAmt;
    ASSERT_EQ(RES_OK, Batch_Report(&sales, &cancels, &refunds, &saleAmt, &cancelAmt, &refundAmt));
    EXPECT_EQ(2, sales);
    EXPECT_EQ(1, cancels);
    EXPECT_EQ(1, refunds);
    EXPECT_EQ(1u, uint32_t(saleAmt.ulHigh));
    EXPECT_EQ(999999999u, uint32_t(cancelAmt.ulLow));
    EXPECT_EQ(700u, uint32_t(refundAmt.ulLow));
}

TEST_F(BatchTest, InitializeChecksVersionAndReadsAtMostTheRecord) {
    const std::string rec = Record();
    // What the log says of the batch: its removal only when there was one.
    const char* const removed = "INFO. Removing BATCH due to upgrade [0].";
    const char* const none = "INFO. Batch_Initialize. No batch exists yet: the first operation opens one.";
    struct Case {
        const char* name;
        std::optional<std::string> version;
        std::optional<std::string> batch;
        std::string loaded;  // record in memory afterwards
        bool batchKept;
        const char* logged;  // a line the log must hold
        const char* notLogged;
    };
    const std::string zero(60, '\0');
    const Case cases[] = {
        {"no version", std::nullopt, rec, zero, false, removed, none},
        {"older version", Bytes().u32(0x01020000).s, rec, zero, false, removed, none},
        {"short version", std::string("\x00\x02", 2), rec, zero, false, removed, none},
        {"same version", kVersionBytes, rec, rec, true, "", removed},
        {"newer version", Bytes().u32(0x01040000).s, rec, rec, true, "", removed},
        {"short batch", kVersionBytes, rec.substr(0, 20), rec.substr(0, 20) + std::string(40, '\0'), true, "", none},
        {"long batch", kVersionBytes, rec + std::string(40, 'z'), rec, true, "", none},
        {"empty batch", kVersionBytes, std::string(), zero, true, "", none},
        {"missing batch", kVersionBytes, std::nullopt, zero, false, none, "ERROR"},
        {"a new payment directory", std::nullopt, std::nullopt, zero, false, none, "Removing BATCH"},
        {"an upgrade before any batch", Bytes().u32(0x01020000).s, std::nullopt, zero, false, none, "Removing BATCH"},
    };
    mkdir("LOG", 0777);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(BATCH_VERSION_FILE);
        unlink(BATCH_FILE);
        if (c.version) WriteFile(BATCH_VERSION_FILE, *c.version);
        if (c.batch) WriteFile(BATCH_FILE, *c.batch);
        emu::ClearLog();
        EXPECT_EQ(RES_OK, Batch_Initialize());
        EXPECT_EQ(c.loaded, Info());
        EXPECT_EQ(c.batchKept, Exists(BATCH_FILE));
        EXPECT_EQ(kVersionBytes, ReadFile(BATCH_VERSION_FILE).value_or(""));
        const std::string log = emu::ReadLog();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        EXPECT_EQ(std::string::npos, log.find(c.notLogged)) << log;
    }
}

TEST_F(BatchTest, CountersWrap) {
    struct Case { uint16_t number, rrn, numberAfterOpen, rrnAfterInc; };
    const Case cases[] = {
        {5, 1, 6, 2}, {998, 9998, 999, 9999}, {999, 9999, 1, 1}, {5000, 40000, 1, 1}, {0, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        Load(Record(c.number, c.rrn, 0));
        ASSERT_EQ(RES_OK, Batch_IncRRNIndex());
        EXPECT_EQ(c.rrnAfterInc, Batch_GetRRNIndex());
        ASSERT_EQ(RES_OK, Batch_Open());
        EXPECT_EQ(c.numberAfterOpen, Batch_GetNumber());
        EXPECT_EQ(1, Batch_GetRRNIndex());
    }
}

TEST_F(BatchTest, OpenLeavesAnOpenBatchAndTheFlagsAlone) {
    Load(Record());
    WriteFile(OPSTORE_FILE, std::string(122, 'j'));
    ASSERT_EQ(RES_OK, Batch_Open());
    EXPECT_EQ(Record(), Info());
    EXPECT_TRUE(Exists(OPSTORE_FILE));

    // Closed, with a reversal pending and a close under way: opening keeps both flags.
    std::string rec = Record(7, 42, 0);
    rec[13] = 1;
    rec[15] = 1;
    Load(rec);
    ASSERT_EQ(RES_OK, Batch_Open());
    EXPECT_EQ(1, Batch_IsReversal());
    EXPECT_EQ(1, Batch_IsClosing());
    EXPECT_EQ(8, Batch_GetNumber());
    uint16_t sales, cancels, refunds;
    SBigInt a, b, c;
    Batch_Report(&sales, &cancels, &refunds, &a, &b, &c);
    EXPECT_EQ(0, sales + cancels + refunds);
    EXPECT_EQ(0u, a.ulLow + b.ulLow + c.ulLow);
}

TEST_F(BatchTest, OnlyTheFourCountedOperationsChangeAndSave) {
    ASSERT_EQ(RES_OK, Batch_Open());
    unlink(BATCH_FILE);
    for (uint8_t op : {0, 3, 8, 18, 19, 20, 21, 255}) {
        SCOPED_TRACE(op);
        EXPECT_EQ(RES_OK, Batch_IncOperationTotals(op, Amount(5)));
    }
    EXPECT_FALSE(Exists(BATCH_FILE));
    EXPECT_EQ(1, Batch_GetTransactIndex());
    ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_RETURN, Amount(5)));
    EXPECT_TRUE(Exists(BATCH_FILE));
}

TEST_F(BatchTest, CloseStepsKeepTheTotals) {
    Load(Record());
    ASSERT_EQ(RES_OK, Batch_SetClosing());
    EXPECT_EQ(1, Batch_IsClosing());
    EXPECT_EQ(1, Batch_IsOpened());
    ASSERT_EQ(RES_OK, Batch_SetClosed());
    Batch_Initialize();
    EXPECT_EQ(0, Batch_IsClosing());
    EXPECT_EQ(0, Batch_IsOpened());
    EXPECT_EQ(Record(7, 42, 0), Info());
}

TEST_F(BatchTest, FailedSaveLeavesMemoryAsOnDisk) {
    struct Case { const char* name; int (*change)(); };
    const Case cases[] = {
        {"open", [] { return Batch_Open(); }},
        {"sale", [] { return Batch_IncOperationTotals(OP_SALE, Amount(10)); }},
        {"reversal flag", [] { return Batch_SetReversal(); }},
        {"closing flag", [] { return Batch_SetClosing(); }},
        {"reference index", [] { return Batch_IncRRNIndex(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(Record(7, 42, 0));
        UtilFile_SetFaultHook(FailRenameOnce);
        EXPECT_EQ(RES_BATCH_WRITE, c.change());
        UtilFile_SetFaultHook(nullptr);
        EXPECT_EQ(Record(7, 42, 0), Info());
        EXPECT_EQ(Record(7, 42, 0), ReadFile(BATCH_FILE).value_or(""));
    }
}

TEST_F(BatchTest, OpenRefusedWhileTheOldJournalCannotBeRemoved) {
    Load(Record(7, 42, 0));
    mkdir(OPSTORE_FILE, 0777);
    WriteFile(OPSTORE_FILE "/x", "x");
    EXPECT_EQ(RES_BATCH_WRITE, Batch_Open());
    EXPECT_EQ(0, Batch_IsOpened());
    unlink(OPSTORE_FILE "/x");
    rmdir(OPSTORE_FILE);
}

TEST_F(BatchTest, GarbageRecordIsUsableAndKeepsCountersInRange) {
    Load(std::string(60, '\xFF'));
    EXPECT_EQ(6u, strlen(Batch_GetOpenedDate()));
    EXPECT_EQ(1, Batch_IsOpened());
    ASSERT_EQ(RES_OK, Batch_IncRRNIndex());
    EXPECT_EQ(1, Batch_GetRRNIndex());
}

}  // namespace

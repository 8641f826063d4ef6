// Reversal files DATA/RVS.SAV and DATA/RVSLAST.SAV.
#include <gtest/gtest.h>
#include <unistd.h>

#include "kernel/batch.h"
#include "kernel/opstore.h"
#include "kernel/reversal_internal.h"
#include "support/result_codes.h"
#include "support/utilfile.h"
#include "tests/unit/records_test_util.h"

namespace {

const std::string kVersionBytes("\x00\x02\x03\x01", 4);

S_PAY_ORDER Order(uint8_t op, uint32_t amount) {
    S_PAY_ORDER o;
    memset(&o, 0, sizeof(o));
    o.ucOpType = op;
    o.stAmount = {0, 2, amount};
    o.usOriginalCode = 0x0102;
    strcpy(o.szPAN, "411111******1111");
    strcpy(o.szRRN, "503414070042");
    memset(o.ucTrack2Enc, 0xAA, sizeof(o.ucTrack2Enc));
    memset(o.ucPINBlock, 0xBB, sizeof(o.ucPINBlock));
    return o;
}

std::string Raw(const S_PAY_ORDER& o) { return std::string(reinterpret_cast<const char*>(&o), sizeof(o)); }

int FailReversalWrite(const char* step, const char* path) {
    return strcmp(step, "open") == 0 && strstr(path, "RVS.SAV") != nullptr;
}

class ReversalTest : public ::testing::Test {
protected:
    RecordsDir dir;
    void SetUp() override {
        WriteFile(BATCH_VERSION_FILE, kVersionBytes);
        Batch_Initialize();
        ASSERT_EQ(RES_OK, Batch_Open());
    }
    void TearDown() override { UtilFile_SetFaultHook(nullptr); }
    // Batch flag as the next process would see it.
    int DiskFlag() {
        Batch_Initialize();
        return Batch_IsReversal();
    }
};

TEST_F(ReversalTest, SaleIsSavedWholeWithCardSecretsWiped) {
    S_PAY_ORDER sale = Order(OP_SALE, 1500);
    ASSERT_EQ(RES_OK, Kernel_SetReversal(&sale));
    EXPECT_EQ(1, DiskFlag());

    std::string file = ReadFile(REVERSAL_FILE).value_or("");
    ASSERT_EQ(948u, file.size());
    EXPECT_EQ(std::string(41, '\0'), file.substr(0, 41));     // enciphered track 2
    EXPECT_EQ(std::string(17, '\0'), file.substr(121, 17));   // PIN block
    EXPECT_EQ("411111******1111", std::string(file.c_str() + 41));
    EXPECT_EQ(Bytes().u16(0x0102).s, file.substr(352, 2));
    EXPECT_EQ(std::string(1, OP_SALE), file.substr(881, 1));
    EXPECT_EQ(Bytes().amount(0, 2, 1500).s, file.substr(882, 9));

    S_PAY_ORDER expected = sale;
    memset(expected.ucTrack2Enc, 0, sizeof(expected.ucTrack2Enc));
    memset(expected.ucPINBlock, 0, sizeof(expected.ucPINBlock));
    EXPECT_EQ(Raw(expected), file);
    EXPECT_EQ(0xAA, sale.ucTrack2Enc[0]);  // the caller's order is not touched
}

TEST_F(ReversalTest, OnlyPurchasesAndRefundsAreSaved) {
    struct Case { uint8_t op; bool saved; };
    const Case cases[] = {{OP_SALE, true},     {OP_RETURN, true},     {OP_REVERSAL, false}, {OP_REVERSAL_OTHER, false},
                          {OP_BALANCE, false}, {OP_CLOSE_DAY, false}, {OP_TEST_BANK, false}, {OP_REVERSE_LAST, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL);
        S_PAY_ORDER o = Order(c.op, 1);
        EXPECT_EQ(RES_OK, Kernel_SetReversal(&o));
        EXPECT_EQ(c.saved, Exists(REVERSAL_FILE));
        EXPECT_EQ(c.saved ? 1 : 0, DiskFlag());
    }
}

TEST_F(ReversalTest, FailedWriteIsReportedAndLeavesNoStaleReversal) {
    // A file left from a settled sale, flag clear: it must not end up under the flag.
    S_PAY_ORDER old = Order(OP_SALE, 1);
    WriteFile(REVERSAL_FILE, Raw(old));
    S_PAY_ORDER sale = Order(OP_SALE, 2);
    UtilFile_SetFaultHook(FailReversalWrite);
    EXPECT_EQ(RES_RVS_WRITE, Kernel_SetReversal(&sale));
    UtilFile_SetFaultHook(nullptr);
    EXPECT_EQ(1, DiskFlag());
    EXPECT_FALSE(Exists(REVERSAL_FILE));
    EXPECT_EQ(0, Kernel_IsReversalPending());

    // Without the flag on disk nothing may be written: it would never be sent.
    Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL);
    UtilFile_SetFaultHook([](const char* step, const char* path) {
        return static_cast<int>(strcmp(step, "open") == 0 && strstr(path, "BATCH") != nullptr);
    });
    EXPECT_EQ(RES_RVS_WRITE, Kernel_SetReversal(&sale));
    UtilFile_SetFaultHook(nullptr);
    EXPECT_FALSE(Exists(REVERSAL_FILE));
    EXPECT_EQ(0, DiskFlag());
}

TEST_F(ReversalTest, RemoveModes) {
    const std::string pending = Raw(Order(OP_SALE, 2));
    const std::string last = Raw(Order(OP_RETURN, 1));
    struct State { bool rvs; bool rvsLast; int flag; };
    struct Case { const char* name; State before; uint8_t mode; State after; const std::string* lastContent; };
    const Case cases[] = {
        {"full", {true, true, 1}, REV_REMOVE_TYPE_FULL, {false, false, 0}, nullptr},
        {"full, nothing there", {false, false, 1}, REV_REMOVE_TYPE_FULL, {false, false, 0}, nullptr},
        {"last", {true, true, 1}, REV_REMOVE_TYPE_LAST, {true, false, 1}, nullptr},
        {"replace", {true, true, 1}, REV_REMOVE_TYPE_REPLACE, {false, true, 1}, &pending},
        {"replace without old copy", {true, false, 1}, REV_REMOVE_TYPE_REPLACE, {false, true, 1}, &pending},
        {"replace without pending", {false, true, 1}, REV_REMOVE_TYPE_REPLACE, {false, false, 1}, nullptr},
        {"unknown mode", {true, true, 1}, 9, {true, true, 1}, &last},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(REVERSAL_FILE);
        unlink(REVERSAL_LAST_FILE);
        if (c.before.rvs) WriteFile(REVERSAL_FILE, pending);
        if (c.before.rvsLast) WriteFile(REVERSAL_LAST_FILE, last);
        c.before.flag ? Batch_SetReversal() : Batch_RemoveReversal();

        Kernel_RemoveReversal(c.mode);
        EXPECT_EQ(c.after.rvs, Exists(REVERSAL_FILE));
        EXPECT_EQ(c.after.rvsLast, Exists(REVERSAL_LAST_FILE));
        EXPECT_EQ(c.after.flag, DiskFlag());
        if (c.lastContent) { EXPECT_EQ(*c.lastContent, ReadFile(REVERSAL_LAST_FILE).value_or("")); }
    }
}

TEST_F(ReversalTest, PendingNeedsFlagAndFile) {
    struct Case { int flag; bool file; int pending; };
    const Case cases[] = {{1, true, 1}, {1, false, 0}, {0, true, 0}, {0, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flag * 10 + c.file);
        unlink(REVERSAL_FILE);
        if (c.file) WriteFile(REVERSAL_FILE, Raw(Order(OP_SALE, 1)));
        c.flag ? Batch_SetReversal() : Batch_RemoveReversal();
        EXPECT_EQ(c.pending, Kernel_IsReversalPending());
    }
}

// The record is read into the middle of a larger buffer: bytes around it must stay untouched.
struct Guarded {
    uint8_t before[64];
    S_PAY_ORDER order;
    uint8_t after[64];
    Guarded() {
        memset(before, 0x5A, sizeof(before));
        memset(after, 0x5A, sizeof(after));
    }
    bool intact() const {
        for (size_t i = 0; i < 64; ++i)
            if (before[i] != 0x5A || after[i] != 0x5A) return false;
        return true;
    }
};

TEST_F(ReversalTest, ReadingRules) {
    const std::string rec = Raw(Order(OP_SALE, 77));
    struct Case { const char* name; int size; int pendingResult; int lastResult; };
    // size -1: no file; the record's bytes are repeated/cut to size, a longer file has junk after it.
    const Case cases[] = {
        {"missing", -1, RES_RVS_READ, RES_RVS_NOT_FOUND},
        {"empty", 0, RES_RVS_READ, RES_RVS_NOT_FOUND},
        {"one byte short", 947, RES_RVS_READ, RES_RVS_NOT_FOUND},
        {"exact", 948, RES_OK, RES_OK},
        {"one byte long", 949, RES_RVS_READ, RES_OK},
        {"far too long", 100000, RES_RVS_READ, RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(REVERSAL_FILE);
        unlink(REVERSAL_LAST_FILE);
        if (c.size >= 0) {
            std::string content = rec;
            content.resize(c.size, '\xEE');
            WriteFile(REVERSAL_FILE, content);
            WriteFile(REVERSAL_LAST_FILE, content);
        }
        Guarded pending, last;
        EXPECT_EQ(c.pendingResult, Kernel_ReadReversalFile(&pending.order));
        EXPECT_EQ(c.lastResult, Kernel_ReadReverseLastFile(&last.order));
        EXPECT_TRUE(pending.intact());
        EXPECT_TRUE(last.intact());
        if (c.pendingResult == RES_OK) { EXPECT_EQ(rec, Raw(pending.order)); }
        if (c.lastResult == RES_OK) { EXPECT_EQ(rec, Raw(last.order)); }
    }
}

// A reverse-last whose answer was lost left its operation pending; tried again,
// it takes that operation over from the batch-state check, but only an
// operation the batch had counted and only for the amount it names.
TEST_F(ReversalTest, RetriedReverseLastTakesOverOnlyACountedOperation) {
    const struct {
        const char* name;
        uint8_t requestOp;
        uint32_t requestAmount;  // 0: no amount; else the low limb beside the sale's high one
        bool counted;
        bool flag;
        int taken;
    } cases[] = {
        {"same amount", OP_REVERSE_LAST, 1500, true, true, 1},
        {"no amount", OP_REVERSE_LAST, 0, true, true, 1},
        {"other amount", OP_REVERSE_LAST, 1000, true, true, 0},
        {"sale never completed", OP_REVERSE_LAST, 0, false, true, 0},
        {"not a reverse-last", OP_BALANCE, 0, true, true, 0},
        {"flag cleared", OP_REVERSE_LAST, 0, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL);
        Batch_Initialize();
        S_PAY_ORDER sale = Order(OP_SALE, 1500);
        sale.usOriginalCode = Batch_GetTransactIndex();
        if (c.counted) {
            ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_SALE, sale.stAmount));
        }
        ASSERT_EQ(RES_OK, Kernel_SetReversal(&sale));
        if (!c.flag) Batch_RemoveReversal();

        S_PAY_ORDER request = Order(c.requestOp, c.requestAmount);
        if (c.requestAmount == 0) request.stAmount = {};
        S_PAY_ORDER out = {};
        EXPECT_EQ(c.taken, Kernel_ReadRetriedReverseLast(&request, &out));
        if (c.taken) {
            EXPECT_EQ(OP_SALE, out.ucOpType);
            EXPECT_EQ(sale.usOriginalCode, out.usOriginalCode);
        }
    }
}

// Every row of the lifecycle table, played on the files: from its state, the
// event about its subject leads to its state, and a reversed operation is
// counted once with its cancellation.
TEST(ReversalLifecycle, EveryTransitionLeadsWhereTheTableSays) {
    size_t count = 0;
    const RvsTransition* table = Kernel_ReversalTable(&count);
    ASSERT_GT(count, 0u);
    for (size_t i = 0; i < count; ++i) {
        const RvsTransition& row = table[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        // Rows are searched in order: one (event, subject) runs one step.
        for (size_t j = 0; j < i; ++j) {
            if (table[j].event == row.event && table[j].subject == row.subject) {
                EXPECT_EQ(table[j].step, row.step);
            }
        }

        RecordsDir dir;
        WriteFile(BATCH_VERSION_FILE, kVersionBytes);
        Batch_Initialize();
        ASSERT_EQ(RES_OK, Batch_Open());
        S_PAY_ORDER sale = Order(OP_SALE, 1500);
        sale.usOriginalCode = Batch_GetTransactIndex();
        const bool counted = row.from == RvsState::PendingCounted || row.from == RvsState::Last;
        if (counted) {
            ASSERT_EQ(RES_OK, Batch_IncOperationTotals(OP_SALE, sale.stAmount));
        }
        if (row.from == RvsState::Pending || row.from == RvsState::PendingCounted) {
            ASSERT_EQ(RES_OK, Kernel_SetReversal(&sale));
        }
        if (row.from == RvsState::Last) WriteFile(REVERSAL_LAST_FILE, Raw(sale));
        ASSERT_EQ(row.from, Kernel_ReversalState());

        S_PAY_ORDER cancel = sale;  // the sale's cancellation, as a reverse-last answers it
        cancel.ucOpType = OP_REVERSAL;
        S_PAY_ORDER other = Order(OP_REVERSAL, 1500);  // a cancel request of another sale
        other.usOriginalCode = 77;
        S_PAY_ORDER balance = Order(OP_BALANCE, 0);
        S_PAY_ORDER reverseLast = Order(OP_REVERSE_LAST, 0);
        reverseLast.stAmount = {};
        if (row.subject == RvsSubject::AnsweredAgain) {
            // An earlier call counted the cancellation and was killed before
            // answering; a reverse-last tried again found it in the journal.
            ASSERT_EQ(RES_OK, OpStore_AddTransaction(&cancel));
            Kernel_ReversalUnpublished(0, 1);
            S_PAY_ORDER found;
            int answered = 0;
            ASSERT_EQ(RES_OK, Kernel_ReadReverseLastTarget(&reverseLast, &found, &answered));
            ASSERT_EQ(1, answered);
        }
        const S_PAY_ORDER* order = &sale;
        HostMode mode = HostMode::NewRequest;
        switch (row.subject) {
        case RvsSubject::Purchase: break;
        case RvsSubject::Cancellation: order = &other; break;
        case RvsSubject::Request: order = &balance; break;
        case RvsSubject::ReverseLast:
            mode = HostMode::ReverseLast;
            if (row.event == RvsEvent::Starting) order = &reverseLast;
            if (row.event == RvsEvent::Counted) order = &cancel;
            break;
        case RvsSubject::SavedReversal: mode = HostMode::SavedReversal; break;
        case RvsSubject::AnsweredAgain: order = &cancel; break;
        case RvsSubject::Other: ADD_FAILURE() << "no row is about nothing"; break;
        }

        SBatchInfo before;
        Batch_GetInfo(&before);
        switch (row.event) {
        case RvsEvent::Starting: Kernel_ReversalStarting(order); break;
        case RvsEvent::Sending: EXPECT_EQ(RES_OK, Kernel_ReversalSending(order, mode)); break;
        case RvsEvent::Unanswered: Kernel_ReversalAnswered(order, mode, HostAnswer::Unanswered); break;
        case RvsEvent::NotProcessed: Kernel_ReversalAnswered(order, mode, HostAnswer::NotProcessed); break;
        case RvsEvent::Declined: Kernel_ReversalAnswered(order, mode, HostAnswer::Declined); break;
        case RvsEvent::Approved: Kernel_ReversalAnswered(order, mode, HostAnswer::Approved); break;
        case RvsEvent::CardRefused: Kernel_ReversalCardRefused(order, RES_OK); break;
        case RvsEvent::Counted: Kernel_ReversalCount(RES_OK, order); break;
        case RvsEvent::Settled: Kernel_ReversalSettled(RES_OK, order); break;
        case RvsEvent::Unpublished:
            if (row.subject == RvsSubject::Purchase) Kernel_ReversalUnpublished(sale.usOriginalCode, 0);
            else Kernel_ReversalUnpublished(0, 1);
            break;
        }
        Batch_Initialize();  // as the next process reads it
        EXPECT_EQ(row.to, Kernel_ReversalState());

        SBatchInfo after;
        Batch_GetInfo(&after);
        // A sale is counted by its response, or with its reversal when it
        // never was; a cancellation by the host's approval of a saved
        // reversal, or by the response that answers it, once.
        const bool approvedReversal = row.event == RvsEvent::Approved && row.subject == RvsSubject::SavedReversal;
        const bool sold = (row.event == RvsEvent::Counted && row.subject == RvsSubject::Purchase) ||
                          (approvedReversal && !counted);
        const bool cancelled = approvedReversal || (row.event == RvsEvent::Counted &&
                                                    (row.subject == RvsSubject::ReverseLast ||
                                                     row.subject == RvsSubject::Cancellation));
        EXPECT_EQ(before.usSaleCount + (sold ? 1 : 0), after.usSaleCount);
        EXPECT_EQ(before.usSaleCancelCount + (cancelled ? 1 : 0), after.usSaleCancelCount);
    }
}

// The record and the step whose write fails, once.
const char* g_failRecord = nullptr;
const char* g_failStep = nullptr;
int FailOnce(const char* step, const char* path) {
    if (g_failRecord == nullptr || strcmp(step, g_failStep) != 0 || strstr(path, g_failRecord) == nullptr) return 0;
    g_failRecord = nullptr;
    return 1;
}

// A completed operation that the batch or the journal refuses to take is
// reported and left to be reversed (for a cancellation the bank made, its
// operation is reversed again); the next call's reversal then counts the
// operation and its cancellation once, in the batch and the journal alike.
TEST(ReversalLifecycle, ACountTheDiskRefusesIsReversedAndCountedOnce) {
    enum Counted { Sale, ReverseLast, CancelRequest };
    const struct {
        const char* name;
        Counted counted;
        const char* record;  // whose write fails
        const char* step;
        int code;
    } cases[] = {
        {"sale, batch", Sale, "BATCH.CFG", "open", RES_BATCH_WRITE},
        {"sale, batch not flushed", Sale, "BATCH.CFG", "dirsync", RES_BATCH_WRITE},
        {"sale, journal", Sale, "TRANS.CFG", "write", RES_JOURNAL_WRITE},
        {"reverse-last, journal", ReverseLast, "TRANS.CFG", "fsync", RES_JOURNAL_WRITE},
        {"reverse-last, batch", ReverseLast, "BATCH.CFG", "rename", RES_BATCH_WRITE},
        {"reverse-last, batch not flushed", ReverseLast, "BATCH.CFG", "dirsync", RES_BATCH_WRITE},
        {"cancel request, journal", CancelRequest, "TRANS.CFG", "open", RES_JOURNAL_WRITE},
        {"cancel request, batch", CancelRequest, "BATCH.CFG", "write", RES_BATCH_WRITE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordsDir dir;
        WriteFile(BATCH_VERSION_FILE, kVersionBytes);
        Batch_Initialize();
        ASSERT_EQ(RES_OK, Batch_Open());
        S_PAY_ORDER sale = Order(OP_SALE, 1500);
        sale.usOriginalCode = Batch_GetTransactIndex();
        S_PAY_ORDER cancel = sale;
        cancel.ucOpType = OP_REVERSAL;
        // The sale as sent; for the two cancels completed before.
        ASSERT_EQ(RES_OK, Kernel_ReversalSending(&sale, HostMode::NewRequest));
        if (c.counted != Sale) {
            ASSERT_EQ(RES_OK, Kernel_ReversalCount(RES_OK, &sale));
            Kernel_ReversalSettled(RES_OK, &sale);
            if (c.counted == ReverseLast) ASSERT_EQ(RES_OK, Kernel_ReversalSending(&sale, HostMode::ReverseLast));
            else Kernel_ReversalStarting(&cancel);
        }
        const S_PAY_ORDER& counted = c.counted == Sale ? sale : cancel;

        g_failRecord = c.record;
        g_failStep = c.step;
        UtilFile_SetFaultHook(FailOnce);
        EXPECT_EQ(c.code, Kernel_ReversalCount(RES_OK, &counted));
        UtilFile_SetFaultHook(nullptr);
        EXPECT_EQ(nullptr, g_failRecord) << "the write did not fail";
        EXPECT_FALSE(Exists("DATA/BATCH.CFG.tmp"));
        Batch_Initialize();  // as the next process reads it
        SBatchInfo info;
        Batch_GetInfo(&info);
        EXPECT_EQ(0, info.usSaleCancelCount);
        EXPECT_EQ(1, Kernel_IsReversalPending()) << "nothing left to reverse";

        // The next call sends the reversal; the bank approves it.
        S_PAY_ORDER request = Order(OP_BALANCE, 0), pending;
        int send = 0;
        ASSERT_EQ(RES_OK, Kernel_ReadReversalToSend(&request, &pending, &send));
        ASSERT_EQ(1, send);
        EXPECT_EQ(sale.usOriginalCode, pending.usOriginalCode);
        EXPECT_EQ(RES_OK, Kernel_ReversalAnswered(&pending, HostMode::SavedReversal, HostAnswer::Approved));
        EXPECT_EQ(RvsState::Clean, Kernel_ReversalState());
        Batch_Initialize();
        Batch_GetInfo(&info);
        EXPECT_EQ(1, info.usSaleCount);
        EXPECT_EQ(1, info.usSaleCancelCount);
        int sales = 0, cancels = 0;
        OpStore_Reset();
        while (OpStore_Next() == 0) {
            S_PAY_ORDER entry;
            ASSERT_EQ(RES_OK, OpStore_GetCurrent(&entry));
            sales += entry.ucOpType == OP_SALE;
            cancels += entry.ucOpType == OP_REVERSAL;
        }
        EXPECT_EQ(sales, cancels) << "the journal and the batch disagree";
        EXPECT_LE(cancels, 1);
    }
}

}  // namespace

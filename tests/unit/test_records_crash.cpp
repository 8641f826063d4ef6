// Record files under interruption: every durable step of a write is made to
// fail in turn (step N = 1, 2, 3 ... until the operation gets through), as a
// crash at that point would; the files left on disk must read back as the old
// or the new state, never a mixture, and the next process must go on from them.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "kernel/batch.h"
#include "kernel/opstore.h"
#include "kernel/reversal_internal.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"
#include "tests/unit/records_test_util.h"

namespace {

const std::string kVersionBytes("\x00\x02\x03\x01", 4);

// crash: step N and every later one fail (the process is gone);
// torn: the same, and a write at step N gets half its bytes in first;
// once: only step N fails, the process carries on.
enum Mode { CRASH, TORN, ONCE };
const char* const kModeNames[] = {"crash", "torn", "once"};

Mode g_mode;
int g_failAt;
int g_step;
bool g_crashed;
std::string g_failedStep;

int Hook(const char* step, const char* /*path*/) {
    ++g_step;
    if (g_crashed) return 1;
    if (g_step != g_failAt) return 0;
    g_failedStep = step;
    if (g_mode != ONCE) g_crashed = true;
    if (g_mode == TORN && strcmp(step, "write") == 0) return UTILFILE_FAULT_TORN;
    return 1;
}

void Arm(Mode mode, int failAt) {
    g_mode = mode;
    g_failAt = failAt;
    g_step = 0;
    g_crashed = false;
    g_failedStep.clear();
    UtilFile_SetFaultHook(Hook);
}

time_t FixedNow() { return 1738584000; }  // 2025-02-03

const char* const kFiles[] = {BATCH_FILE, BATCH_VERSION_FILE, OPSTORE_FILE, REVERSAL_FILE, REVERSAL_LAST_FILE};
typedef std::map<std::string, std::optional<std::string>> Snapshot;

// The files as a restarted process reads them; the journal by whole entries.
Snapshot Take() {
    Snapshot s;
    for (const char* f : kFiles) s[f] = ReadFile(f);
    auto& journal = s[OPSTORE_FILE];
    if (journal) journal->resize(journal->size() - journal->size() % OPSTORE_ENTRY_SIZE);
    return s;
}

S_PAY_ORDER Order(uint8_t op, uint32_t amount) {
    S_PAY_ORDER o;
    memset(&o, 0, sizeof(o));
    o.ucOpType = op;
    o.stAmount = {0, 0, amount};
    strcpy(o.szPAN, "411111******1111");
    strcpy(o.szCurrency, "BYN");
    return o;
}

std::string Raw(const S_PAY_ORDER& o) { return std::string(reinterpret_cast<const char*>(&o), sizeof(o)); }

std::string BatchRecord(uint8_t opened, uint8_t reversal) {
    return Bytes()
        .u16(3).u16(9).u16(7).text("250101", 7).u8(reversal).u8(opened).u8(0)
        .u16(2).u16(0).u16(0).u16(0)
        .amount(0, 0, 300).amount(0, 0, 0).amount(0, 0, 0).amount(0, 0, 0)
        .s;
}

void Journal(int entries) {
    for (int i = 0; i < entries; ++i) {
        S_PAY_ORDER o = Order(OP_SALE, 100 + i);
        OpStore_AddTransaction(&o);
    }
}

struct Scenario {
    const char* name;
    std::vector<Mode> modes;
    std::function<void()> setup;
    std::function<int()> run;
    // What must hold of the state left on disk, beyond each file being old or new.
    std::function<void(const Snapshot& oldState, const Snapshot& newState, const Snapshot& after)> invariant;
    // A file that an intermediate step removes on the way from old to new.
    const char* mayVanish;
};

const S_PAY_ORDER kSale = Order(OP_SALE, 1500);
const S_PAY_ORDER kStale = Order(OP_SALE, 99);
const S_PAY_ORDER kEarlier = Order(OP_RETURN, 700);

const Scenario kScenarios[] = {
    {"batch open", {CRASH, TORN},
     [] { WriteFile(BATCH_FILE, BatchRecord(0, 0)); Batch_Initialize(); Journal(2); },
     [] { return Batch_Open(); },
     [](const Snapshot&, const Snapshot& n, const Snapshot& a) {
         // A new batch never sits on the old batch's journal.
         if (a.at(BATCH_FILE) == n.at(BATCH_FILE)) { EXPECT_FALSE(a.at(OPSTORE_FILE).has_value()); }
     },
     nullptr},
    {"sale counted", {CRASH, TORN, ONCE},
     [] { WriteFile(BATCH_FILE, BatchRecord(1, 0)); Batch_Initialize(); },
     [] { return Batch_IncOperationTotals(OP_SALE, SBigInt{0, 0, 1500}); }, nullptr, nullptr},
    {"reference index", {CRASH, TORN, ONCE},
     [] { WriteFile(BATCH_FILE, BatchRecord(1, 0)); Batch_Initialize(); },
     [] { return Batch_IncRRNIndex(); }, nullptr, nullptr},
    {"pending reversal written", {CRASH, TORN},
     [] { WriteFile(BATCH_FILE, BatchRecord(1, 0)); Batch_Initialize(); },
     [] { return Kernel_SetReversal(&kSale); },
     [](const Snapshot&, const Snapshot&, const Snapshot& a) {
         // The file is never there without the flag that gets it sent.
         if (a.at(REVERSAL_FILE)) { EXPECT_EQ(BatchRecord(1, 1), a.at(BATCH_FILE).value_or("")); }
     },
     nullptr},
    {"pending reversal over a stale file", {CRASH, TORN},
     [] { WriteFile(BATCH_FILE, BatchRecord(1, 0)); Batch_Initialize(); WriteFile(REVERSAL_FILE, Raw(kStale)); },
     [] { return Kernel_SetReversal(&kSale); },
     [](const Snapshot&, const Snapshot&, const Snapshot& a) {
         // A settled sale must never come to be reversed by the next call.
         if (a.at(BATCH_FILE) == BatchRecord(1, 1) && a.at(REVERSAL_FILE)) {
             EXPECT_EQ(Raw(kSale), *a.at(REVERSAL_FILE));
         }
     },
     REVERSAL_FILE},
    {"full removal", {CRASH},
     [] {
         WriteFile(BATCH_FILE, BatchRecord(1, 1)); Batch_Initialize();
         WriteFile(REVERSAL_FILE, Raw(kSale)); WriteFile(REVERSAL_LAST_FILE, Raw(kEarlier));
     },
     [] { Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL); return RES_OK; },
     [](const Snapshot&, const Snapshot&, const Snapshot& a) {
         // The flag goes last: a cleared flag never leaves a stale file behind.
         if (a.at(BATCH_FILE) == BatchRecord(1, 0)) { EXPECT_FALSE(a.at(REVERSAL_FILE).has_value()); }
     },
     nullptr},
    {"pending becomes reverse-last", {CRASH},
     [] {
         WriteFile(BATCH_FILE, BatchRecord(1, 1)); Batch_Initialize();
         WriteFile(REVERSAL_FILE, Raw(kSale)); WriteFile(REVERSAL_LAST_FILE, Raw(kEarlier));
     },
     [] { Kernel_RemoveReversal(REV_REMOVE_TYPE_REPLACE); return RES_OK; },
     [](const Snapshot&, const Snapshot&, const Snapshot& a) {
         // The sale is in one of the two files at every moment.
         EXPECT_TRUE(a.at(REVERSAL_FILE) == Raw(kSale) || a.at(REVERSAL_LAST_FILE) == Raw(kSale));
     },
     nullptr},
    {"upgrade", {CRASH, TORN},
     [] {
         WriteFile(BATCH_VERSION_FILE, Bytes().u32(0x01020000).s);
         WriteFile(BATCH_FILE, BatchRecord(1, 0));
     },
     [] { return Batch_Initialize(); },
     [](const Snapshot&, const Snapshot& n, const Snapshot& a) {
         // The new version is never written over a batch of the older library.
         if (a.at(BATCH_VERSION_FILE) == n.at(BATCH_VERSION_FILE)) { EXPECT_FALSE(a.at(BATCH_FILE).has_value()); }
     },
     nullptr},
};

class RecordsCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        static const SSysClockSeam seam = {FixedNow, nullptr, nullptr};
        SysClock_SetSeam(&seam);
    }
    void TearDown() override {
        UtilFile_SetFaultHook(nullptr);
        SysClock_SetSeam(nullptr);
    }
};

// A fresh payment directory with the current data version.
struct Fresh {
    RecordsDir dir;
    Fresh() { WriteFile(BATCH_VERSION_FILE, kVersionBytes); }
};

TEST_F(RecordsCrashTest, EveryInterruptedWriteLeavesOldOrNewState) {
    for (const Scenario& sc : kScenarios) {
        SCOPED_TRACE(sc.name);
        Snapshot oldState, newState;
        {
            Fresh f;
            sc.setup();
            oldState = Take();
            ASSERT_EQ(RES_OK, sc.run());
            newState = Take();
        }
        for (Mode mode : sc.modes) {
            int steps = 0;
            for (int n = 1; n < 100; ++n) {
                SCOPED_TRACE(std::string(kModeNames[mode]) + " at step " + std::to_string(n));
                Fresh f;
                sc.setup();
                Arm(mode, n);
                int rc = sc.run();
                bool hit = g_step >= n;
                UtilFile_SetFaultHook(nullptr);
                Snapshot after = Take();
                if (!hit) {  // got through: the new state, completely
                    EXPECT_EQ(RES_OK, rc);
                    EXPECT_EQ(newState, after);
                    steps = n - 1;
                    break;
                }
                SCOPED_TRACE("failed step " + g_failedStep);
                // A failure the process lives through leaves no temporary file behind.
                if (mode == ONCE) {
                    for (const char* file : kFiles) EXPECT_FALSE(ReadFile((std::string(file) + ".tmp").c_str())) << file;
                }
                for (const char* file : kFiles) {
                    SCOPED_TRACE(file);
                    bool vanished = sc.mayVanish != nullptr && strcmp(file, sc.mayVanish) == 0 && !after.at(file);
                    EXPECT_TRUE(after.at(file) == oldState.at(file) || after.at(file) == newState.at(file) || vanished);
                }
                if (sc.invariant) sc.invariant(oldState, newState, after);

                // The next process starts from what is there and gets through.
                Batch_Initialize();
                SBatchInfo info;
                Batch_GetInfo(&info);
                if (after.at(BATCH_VERSION_FILE) == kVersionBytes && after.at(BATCH_FILE) &&
                    after.at(BATCH_FILE)->size() == 60) {
                    EXPECT_EQ(*after.at(BATCH_FILE), std::string(reinterpret_cast<char*>(&info), 60));
                }
            }
            EXPECT_GT(steps, 0) << kModeNames[mode];
        }
    }
}

TEST_F(RecordsCrashTest, JournalCountMatchesCompletedAppends) {
    const int kAppends = 3;
    for (Mode mode : {CRASH, TORN, ONCE}) {
        for (int n = 1; n < 100; ++n) {
            SCOPED_TRACE(std::string(kModeNames[mode]) + " at step " + std::to_string(n));
            Fresh f;
            Journal(1);
            std::vector<uint32_t> kept = {100};
            Arm(mode, n);
            for (int k = 0; k < kAppends; ++k) {
                S_PAY_ORDER o = Order(OP_RETURN, 1000 + k);
                int before = g_step;
                int rc = OpStore_AddTransaction(&o);
                bool failedHere = before < n && g_step >= n;
                if (rc == RES_OK) {
                    kept.push_back(1000 + k);
                } else if (failedHere && mode != ONCE && g_failedStep == "fsync") {
                    // Every byte was handed over before the crash: the entry is there, whole.
                    kept.push_back(1000 + k);
                } else {
                    EXPECT_EQ(RES_JOURNAL_WRITE, rc);
                }
            }
            bool hit = g_step >= n;
            UtilFile_SetFaultHook(nullptr);

            // Restart: count from the file, then carry on appending.
            OpStore_Reset();
            EXPECT_EQ(static_cast<int>(kept.size()), OpStore_GetCount());
            S_PAY_ORDER next = Order(OP_SALE, 9);
            ASSERT_EQ(RES_OK, OpStore_AddTransaction(&next));
            kept.push_back(9);
            ASSERT_EQ(static_cast<int>(kept.size()), OpStore_GetCount());
            int32_t length = 0;
            UtilFile_GetLength(OPSTORE_FILE, &length);
            EXPECT_EQ(0, length % OPSTORE_ENTRY_SIZE);

            OpStore_Reset();
            for (uint32_t amount : kept) {
                ASSERT_EQ(0, OpStore_Next());
                S_PAY_ORDER back;
                ASSERT_EQ(RES_OK, OpStore_GetCurrent(&back));
                EXPECT_EQ(amount, uint32_t(back.stAmount.ulLow));
                EXPECT_STREQ("XXXXXXXXXXXX1111", back.szPAN);
            }
            if (!hit) break;
        }
    }
}

}  // namespace

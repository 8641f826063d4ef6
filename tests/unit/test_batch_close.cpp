// The day close against the emulated host: settlement answers and failures,
// what the batch record holds afterwards, and the remote key update that
// follows a close when the PIN pad (emulated) asks for new keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/keyexchange.h"
#include "kernel/batch.h"
#include "pinpad/padprofile_internal.h"
#include "support/bigint.h"
#include "support/cp1251.h"
#include "support/payorder.h"
#include "support/result_codes.h"
#include "support/utilfile.h"
#include "support/utilmsg.h"
#include "tests/unit/host_pad_emu.h"

namespace {

using emu::Has;

std::unique_ptr<emu::Workspace> g_ws;

// What the cashier's display was given.
std::string g_display;
void CaptureDisplay(char* text) { g_display += std::string(text) + "\n"; }

// Makes the Nth write of the batch file (counted from arming) fail at its start.
int g_failBatchWrite = 0;
int g_batchWrites = 0;
int FailNthBatchWrite(const char* step, const char* path) {
    if (strcmp(step, "open") != 0 || strstr(path, "BATCH") == nullptr) return 0;
    return ++g_batchWrites == g_failBatchWrite ? 1 : 0;
}

SBigInt Amount(const char* text) {
    SBigInt value;
    BigInt_StrToInt(text, &value);
    return value;
}

class BatchCloseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_ws.reset(new emu::Workspace()); }
    static void TearDownTestSuite() { g_ws.reset(); }
    void SetUp() override {
        if (!g_ws->ready()) GTEST_SKIP() << "openssl, host_emu or pinpad_emu missing";
        KeyExchange_ResetLoadErrFlags();
        PadProfile_Reset();
        memset(&g_Config, 0, sizeof(g_Config));
        strcpy(g_Config.szTerminalId, "TERM0001");
        g_Config.usHoldOns = 5;
        g_ws->dir().write("DATA/DEVICE.INI", "COMPORT=1\n");
        NoBatch();
    }
    // No batch file and an empty log, as at the start of each case of a table.
    static void NoBatch() {
        unlink(BATCH_FILE);
        Batch_Initialize();
        emu::ClearLog();
    }
    // Batch 1 with two sales of 10.00, one of them cancelled, and a return of 5.00.
    void OpenBatchWithOperations() {
        ASSERT_EQ(0, Batch_Open());
        ASSERT_EQ(0, Batch_IncOperationTotals(OP_SALE, Amount("1000")));
        ASSERT_EQ(0, Batch_IncOperationTotals(OP_SALE, Amount("1000")));
        ASSERT_EQ(0, Batch_IncOperationTotals(OP_REVERSAL, Amount("1000")));
        ASSERT_EQ(0, Batch_IncOperationTotals(OP_RETURN, Amount("500")));
    }
    // The record as the disk holds it.
    static SBatchInfo Stored() {
        Batch_Initialize();
        SBatchInfo info;
        Batch_GetInfo(&info);
        return info;
    }
};

// Settlement answers and failures: the result, the host's verdict and the batch state left behind.
TEST_F(BatchCloseTest, SettlementOutcomes) {
    struct Case {
        const char* name;
        const char* scenario;  // null: nothing listens
        int result;
        int respCode;          // -1: left alone
        bool closed;
        const char* logged;
    };
    const Case cases[] = {
        {"totals agreed", "default", 0, 500, true, "SUCCESS. Batch_Close. Result: 0"},
        {"totals differ: closed all the same", "approve 501", 0, 501, true, "SUCCESS. Batch_Close. Result: 0"},
        {"hold-ons, then the answer", "holdon 2; default", 0, 500, true, "WARNING. Batch_Close. HoldOn[2]"},
        {"only hold-ons", "holdon 3", RES_HOST_ONLY_HOLDON, -1, false, "ERROR. Batch_Close. Result: 1092"},
        {"answer lost", "drop", RES_HOST_SEND, -1, false, "ERROR. Batch_Close. Receive: 1081"},
        {"front end refuses", "status 41", RES_HOST_STATUS_BASE + 0x41, -1, false, "ERROR. Batch_Close. Result: 2065"},
        {"answer without action code", "default f39=", RES_HOST_NO_RESPCODE, -1, false,
         "ERROR. Batch_Close. Result: 1086"},
        {"no host", nullptr, RES_HOST_CONNECT, -1, false, "ERROR. Batch_Close. Connect: 1080"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NoBatch();
        OpenBatchWithOperations();
        std::unique_ptr<emu::HostEmu> host;
        if (c.scenario) {
            host.reset(new emu::HostEmu(g_ws->dir(), c.scenario));
        } else {
            snprintf(g_Config.szHost, sizeof(g_Config.szHost), "127.0.0.1");
            g_Config.usSecPort = emu::FreePort();
        }
        uint16_t respCode = 0xFFFF;
        g_display.clear();
        UtilMsg_Init(CaptureDisplay);
        EXPECT_EQ(c.result, Batch_Close(&respCode));
        UtilMsg_Init(nullptr);
        EXPECT_EQ(c.respCode < 0 ? 0xFFFF : c.respCode, respCode);
        EXPECT_TRUE(Has(g_display, "ПОЖАЛУЙСТА, ПОДОЖДИТЕ ОБМЕН ДАННЫМИ С БАНКОМ")) << g_display;
        EXPECT_TRUE(Has(emu::ReadLog(), c.logged)) << emu::ReadLog();

        SBatchInfo info = Stored();
        EXPECT_EQ(c.closed ? 0 : 1, info.ucOpened);
        EXPECT_EQ(c.closed ? 0 : 1, info.ucClosing) << "a failed settlement leaves the batch closing";
        EXPECT_EQ(c.closed ? 0 : 1, Batch_IsClosing());
        EXPECT_EQ(1, info.usNumber);
        // Counts and totals stay for the report of the close.
        uint16_t sales = 0, cancels = 0, returns = 0;
        SBigInt saleTotal, cancelTotal, returnTotal;
        Batch_Report(&sales, &cancels, &returns, &saleTotal, &cancelTotal, &returnTotal);
        EXPECT_EQ(2, sales);
        EXPECT_EQ(1, cancels);
        EXPECT_EQ(1, returns);
        char text[32];
        BigInt_IntToStr(&saleTotal, text);
        EXPECT_STREQ("2000", text);

        if (host) {
            std::string trace = host->trace();
            EXPECT_EQ(1, emu::Count(trace, "mti=1520")) << trace;
            EXPECT_TRUE(Has(trace, "f24=500")) << trace;
            EXPECT_TRUE(Has(trace, "f29=001")) << trace;
            EXPECT_TRUE(Has(trace, "f74=0000000001 f75=0000000001 f76=0000000002 f77=0000000000")) << trace;
            EXPECT_TRUE(Has(trace, "f86=0000000000000500 f87=0000000000001000 f88=0000000000002000")) << trace;
            EXPECT_FALSE(Has(trace, "mti=1804")) << "no key download when the pad asks for none";
        }
    }
}

// A settlement whose answer was lost is repeated by the next day close, which closes the batch.
TEST_F(BatchCloseTest, RepeatedCloseSettlesClosingBatch) {
    OpenBatchWithOperations();
    emu::HostEmu host(g_ws->dir(), "drop\ndefault");
    uint16_t respCode = 0;
    ASSERT_EQ(RES_HOST_SEND, Batch_Close(&respCode));
    ASSERT_EQ(1, Stored().ucClosing);

    EXPECT_EQ(0, Batch_Close(&respCode));
    EXPECT_EQ(500, respCode);
    SBatchInfo info = Stored();
    EXPECT_EQ(0, info.ucOpened);
    EXPECT_EQ(0, info.ucClosing);
    EXPECT_EQ(2, emu::Count(host.trace(), "mti=1520")) << host.trace();

    // The batch is closed now: the next close answers 1101 without the host.
    emu::ClearLog();
    respCode = 0xFFFF;
    EXPECT_EQ(RES_BATCH_CLOSED, Batch_Close(&respCode));
    EXPECT_EQ(0xFFFF, respCode);
    EXPECT_EQ(2, emu::Count(host.trace(), "mti=1520")) << host.trace();
    EXPECT_TRUE(Has(emu::ReadLog(), "Batch_Close. Just closed: 0")) << emu::ReadLog();
}

// A batch file that cannot be written never lets the close claim more than the disk holds.
TEST_F(BatchCloseTest, BatchFileNotWritten) {
    struct Case {
        const char* name;
        int failingWrite;  // 1: marking the batch closing, 2: closing it
        int settlements;   // requests the host receives
        uint8_t closing;   // on the disk afterwards
    };
    const Case cases[] = {
        {"closing mark not written: the totals are not sent", 1, 0, 0},
        {"close not written after the answer: reported, batch stays closing", 2, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NoBatch();
        OpenBatchWithOperations();
        emu::HostEmu host(g_ws->dir(), "default");
        g_batchWrites = 0;
        g_failBatchWrite = c.failingWrite;
        UtilFile_SetFaultHook(FailNthBatchWrite);
        uint16_t respCode = 0;
        int result = Batch_Close(&respCode);
        UtilFile_SetFaultHook(nullptr);
        EXPECT_EQ(RES_BATCH_WRITE, result);
        EXPECT_EQ(c.settlements, emu::Count(host.trace(), "mti=1520")) << host.trace();
        SBatchInfo info = Stored();
        EXPECT_EQ(1, info.ucOpened);
        EXPECT_EQ(c.closing, info.ucClosing);
        EXPECT_EQ(c.closing, Batch_IsClosing()) << "memory agrees with the disk";
    }
}

// A closed batch is not settled again, whatever the flags that do not ask for a key update.
TEST_F(BatchCloseTest, ClosedBatchDoesNotReachHost) {
    struct Case {
        const char* name;
        uint8_t support, tmp, tpk;
    };
    const Case cases[] = {
        {"never opened", 0, 0, 0},
        {"update flags without remote-key support", 0, 1, 1},
        {"remote keys supported, nothing to update", 1, 0, 0},
    };
    emu::HostEmu host(g_ws->dir(), "default");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        aux_PadProfile_Edit()->ucRemoteKeysSupport = c.support;
        aux_PadProfile_Edit()->ucUpdTMP = c.tmp;
        aux_PadProfile_Edit()->ucUpdTPK = c.tpk;
        uint16_t respCode = 0xFFFF;
        EXPECT_EQ(RES_BATCH_CLOSED, Batch_Close(&respCode));
        EXPECT_EQ(0, Stored().usNumber);
    }
    EXPECT_FALSE(Has(host.trace(), "CONN")) << host.trace();
}

// The key update after a close: which keys are downloaded, in which order, what
// the pad is told at the end, and that its outcome never changes the close's result.
TEST_F(BatchCloseTest, RemoteKeyUpdateAfterClose) {
    struct Case {
        const char* name;
        bool open;
        uint8_t tmp, tpk, cfg;
        const char* hostScenario;     // settlement first when open, then the key downloads
        int result;
        std::vector<const char*> loads;  // pad KeyLoad requests, in order
        bool switched;                // flags written to the pad: TMP 0, TPK 0, CFG 1
        const char* logged;
    };
    const Case cases[] = {
        {"closed batch, master keys to replace", false, 1, 1, 0, "default", RES_BATCH_CLOSED,
         {"mk=1 type=1 index=2", "mk=2 type=1 index=3", "mk=3 type=2 index=2"}, true,
         "INFO. Keys successfully loaded. Switching pinpad config [0]."},
        {"open batch, working key only", true, 0, 1, 1, "default", 0, {"mk=3 type=2 index=2"}, true,
         "INFO. Loading working key (TPK) result [0], errflags [0]."},
        {"working key before the first key set-up is skipped", true, 0, 1, 0, "default", 0, {}, false,
         "ERROR. Bad Pinpad key config. Skipping working key update before first init."},
        {"transport key refused: nothing more asked", false, 1, 0, 1, "decline 055\n* default", RES_BATCH_CLOSED, {},
         false, "ERROR. Loading transport key (TMK) result [1450], flags [5]."},
        {"master key refused by the host after the transport key", true, 1, 1, 1, "default\ndefault\ndecline 055",
         0, {"mk=1 type=1 index=2"}, false, "ERROR. Loading master key (TMP) result [1450], flags [7]."},
        {"failed settlement: no key update", true, 1, 1, 1, "drop\n* default", RES_HOST_SEND, {}, false,
         "ERROR. Batch_Close. Receive: 1081"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NoBatch();
        g_ws->dir().write("DATA/DEVICE.INI", "COMPORT=1\n");
        if (c.open) OpenBatchWithOperations();
        emu::HostEmu host(g_ws->dir(), c.hostScenario);
        uint16_t port = host.port();
        std::string padTrace;
        int result;
        {
            emu::PadEmu pad(g_ws->dir(), "");
            ASSERT_TRUE(pad.connected());
            g_Config.usSecPort = port;
            KeyExchange_ResetLoadErrFlags();
            PadProfile_Reset();
            aux_PadProfile_Edit()->ucRemoteKeysSupport = 1;
            aux_PadProfile_Edit()->ucUpdTMP = c.tmp;
            aux_PadProfile_Edit()->ucUpdTPK = c.tpk;
            aux_PadProfile_Edit()->ucKeyCfg = c.cfg;
            uint16_t respCode = 0;
            result = Batch_Close(&respCode);
            padTrace = pad.trace();
        }
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.open, Has(padTrace, CP1251("ОБМЕН С БАНКОМ"))) << padTrace;
        std::string log = emu::ReadLog();
        EXPECT_TRUE(Has(log, c.logged)) << log;

        // The pad's loads, in order.
        size_t at = 0;
        for (const char* load : c.loads) {
            at = padTrace.find(std::string("KeyLoad ") + load, at);
            ASSERT_NE(std::string::npos, at) << load << "\n" << padTrace;
        }
        EXPECT_EQ(static_cast<int>(c.loads.size()), emu::Count(padTrace, "KeyLoad")) << padTrace;
        EXPECT_EQ(c.switched, Has(padTrace, "GetSetUpdateKeyFlags mode=DB flags=4")) << padTrace;
        EXPECT_EQ(c.switched ? 0 : c.tmp, PadProfile_Get()->ucUpdTMP);
        EXPECT_EQ(c.switched ? 0 : c.tpk, PadProfile_Get()->ucUpdTPK);
        EXPECT_EQ(c.switched ? 1 : c.cfg, PadProfile_Get()->ucKeyCfg);
        if (c.result == 0 || c.result == RES_BATCH_CLOSED) {
            EXPECT_EQ(0, Stored().ucOpened) << "the close stands whatever the key update did";
        }
        std::string hostTrace = host.trace();
        EXPECT_EQ(c.open ? 1 : 0, emu::Count(hostTrace, "mti=1520")) << hostTrace;
        if (c.loads.empty() && Has(c.logged, "Bad Pinpad")) {
            EXPECT_FALSE(Has(hostTrace, "mti=1804")) << hostTrace;
        }
    }
}

}  // namespace

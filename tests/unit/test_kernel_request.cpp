// Request scanning, response writing and the driver's start-up checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kernel/kernel.h"
#include "pinpad/padprofile_internal.h"
#include "support/param.h"
#include "support/sysclock.h"
#include "tests/common/tempdir.h"

namespace {

struct ParseCase {
    const char* name;
    const char* request;
    int result;
    uint8_t op;
    const char* amount;    // stAmount as text, null when not checked
    const char* currency;  // szCurrency, null when not checked
    uint16_t originalCode;
};

const ParseCase kParseCases[] = {
    {"no operation", "<Amount>100</Amount>", 1001, 0, nullptr, nullptr, 0},
    {"unknown word", "<OperationType>Refund</OperationType>", 1001, 0, nullptr, nullptr, 0},
    {"lower case word", "<OperationType>sale</OperationType><Amount>1</Amount>", 1001, 0, nullptr, nullptr, 0},
    {"attribute breaks the tag", "<OperationType a=\"1\">Sale</OperationType>", 1001, 0, nullptr, nullptr, 0},
    {"empty operation", "<OperationType></OperationType>", 1001, 0, nullptr, nullptr, 0},
    {"sale prefix", "<OperationType>SaleX</OperationType><Amount>1</Amount>", 0, 1, "1", "", 0},
    {"sale in a root with declaration",
     "<?xml version=\"1.0\"?><OperationDataRq><OperationType>Sale</OperationType><Amount>150</Amount>"
     "<Currency>933</Currency></OperationDataRq>",
     0, 1, "150", "BYN", 0},
    {"alphabetic currency cut to three", "<OperationType>Sale</OperationType><Amount>5</Amount><Currency>USDX</Currency>",
     0, 1, "5", "USD", 0},
    {"sale without amount", "<OperationType>Sale</OperationType>", 1002, 1, nullptr, nullptr, 0},
    {"empty amount is missing", "<OperationType>Sale</OperationType><Amount></Amount>", 1002, 1, nullptr, nullptr, 0},
    {"13-character amount", "<OperationType>Sale</OperationType><Amount>1234567890123</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"12-character amount", "<OperationType>Return</OperationType><Amount>123456789012</Amount>", 0, 2, "123456789012", "", 0},
    {"reverse-last defaults to 0", "<OperationType>ReverseLast</OperationType>", 0, 21, "0", nullptr, 0},
    {"balance ignores amount", "<OperationType>Balance</OperationType><Amount>77</Amount>", 0, 8, "0", "", 0},
    {"reversal", "<OperationType>Reversal</OperationType><Amount>10</Amount><OriginalCode>0012</OriginalCode>", 0, 6, "10", "", 12},
    {"reversal without code", "<OperationType>Reversal</OperationType><Amount>10</Amount>", 1004, 6, nullptr, nullptr, 0},
    {"reversal with code 0", "<OperationType>Reversal</OperationType><Amount>10</Amount><OriginalCode>x</OriginalCode>", 1004, 6, nullptr, nullptr, 0},
    {"33-character code is absent",
     "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>123456789012345678901234567890123</OriginalCode>",
     1004, 6, nullptr, nullptr, 0},
    // An amount is a whole positive number of minor units; the bank must not get another figure than the till.
    {"negative sale", "<OperationType>Sale</OperationType><Amount>-1500</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"letters", "<OperationType>Sale</OperationType><Amount>abc</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"digits then letters", "<OperationType>Sale</OperationType><Amount>15x</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"plus sign", "<OperationType>Return</OperationType><Amount>+15</Amount>", 1002, 2, nullptr, nullptr, 0},
    {"blank around", "<OperationType>Sale</OperationType><Amount> 15</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"decimal point", "<OperationType>Sale</OperationType><Amount>15.00</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"zero sale", "<OperationType>Sale</OperationType><Amount>000</Amount>", 1002, 1, nullptr, nullptr, 0},
    {"zero cancel", "<OperationType>Reversal</OperationType><Amount>0</Amount><OriginalCode>1</OriginalCode>", 1002, 6, nullptr, nullptr, 0},
    {"reverse-last 0 is the saved amount", "<OperationType>ReverseLast</OperationType><Amount>0</Amount>", 0, 21, "0", nullptr, 0},
    {"reverse-last amount", "<OperationType>ReverseLast</OperationType><Amount>1500</Amount>", 0, 21, "1500", nullptr, 0},
    {"negative reverse-last", "<OperationType>ReverseLast</OperationType><Amount>-1500</Amount>", 1002, 21, nullptr, nullptr, 0},
    // A code is 1..65535 in digits: a larger one must not wrap onto another sale.
    {"code 65535", "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>65535</OriginalCode>", 0, 6, "1", "", 65535},
    {"code 65536", "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>65536</OriginalCode>", 1004, 6, nullptr, nullptr, 0},
    {"code 70000", "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>70000</OriginalCode>", 1004, 6, nullptr, nullptr, 0},
    {"code with letters", "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>12abc</OriginalCode>", 1004, 6, nullptr, nullptr, 0},
    {"negative code", "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>-1</OriginalCode>", 1004, 6, nullptr, nullptr, 0},
    {"code past 32 bits", "<OperationType>Reversal</OperationType><Amount>1</Amount><OriginalCode>4294967297</OriginalCode>", 1004, 6, nullptr, nullptr, 0},
    {"day report", "<OperationType>DayReport</OperationType><Currency>USD</Currency>", 0, 19, nullptr, "", 0},
    {"closing tag missing", "<OperationType>Sale", 1001, 0, nullptr, nullptr, 0},
};

TEST(KernelParseInput, Table) {
    TempDir dir;
    mkdir("LOG", 0777);
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.name);
        S_PAY_ORDER order = {};
        uint8_t full = 9;
        aux_PadProfile_Edit()->ucEMVSupport = 1;
        EXPECT_EQ(c.result, Kernel_ParseInput(c.request, &order, &full));
        EXPECT_EQ(0, PadProfile_Get()->ucEMVSupport) << "the session flags are cleared first";
        EXPECT_EQ(c.op, order.ucOpType);
        if (c.amount) {
            char text[32];
            BigInt_IntToStr(&order.stAmount, text);
            EXPECT_STREQ(c.amount, text);
            EXPECT_EQ(0, memcmp(&order.stAmount, &order.stOrigAmount, sizeof(SBigInt)));
        }
        if (c.currency) {
            EXPECT_STREQ(c.currency, order.szCurrency);
        }
        EXPECT_EQ(c.originalCode, order.usOriginalCode);
    }
}

TEST(KernelParseInput, FullReportFlag) {
    TempDir dir;
    mkdir("LOG", 0777);
    const struct { const char* request; uint8_t full; } cases[] = {
        {"<OperationType>CloseDay</OperationType>", 1},
        {"<OperationType>CloseDay</OperationType><DetailReport>ChequeTotalsOnly</DetailReport>", 0},
        {"<OperationType>DayReport</OperationType><DetailReport>Full</DetailReport>", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        S_PAY_ORDER order = {};
        uint8_t full = 7;
        ASSERT_EQ(0, Kernel_ParseInput(c.request, &order, &full));
        EXPECT_EQ(c.full, full);
    }
}

TEST(KernelResponse, ParseFailureCarriesCodeAndTextOnly) {
    TempDir dir;
    mkdir("LOG", 0777);
    memset(&g_Config, 0, sizeof(g_Config));
    S_PAY_ORDER order = {};
    char* response = nullptr;
    ASSERT_EQ(0, Kernel_CreateResponse(1001, &order, &response));
    ASSERT_NE(nullptr, response);
    const std::string expected =
        "<OperationResultRs>\n"
        "  <ResultCode>1001</ResultCode>\n"
        "  <ResultText>ОТКЛОНЕНО ОШИБКА ВЫЗОВА</ResultText>\n"
        "</OperationResultRs>\n";
    EXPECT_EQ(expected, std::string(response));
    EXPECT_EQ(expected, dir.read("RAVORS.XML"));
    delete[] response;
}

TEST(KernelResponse, ClosedBatchIsAnsweredAsSuccessWithOneCopy) {
    TempDir dir;
    mkdir("LOG", 0777);
    memset(&g_Config, 0, sizeof(g_Config));
    strcpy(g_Config.szTerminalId, "T<&>0001");
    S_PAY_ORDER order = {};
    order.ucOpType = OP_CLOSE_DAY;
    char* response = nullptr;
    ASSERT_EQ(0, Kernel_CreateResponse(1101, &order, &response));
    const std::string expected =
        "<OperationResultRs>\n"
        "  <ResultCode>0</ResultCode>\n"
        "  <ResultText>ОТКЛОНЕНО СМЕНА УЖЕ ЗАКРЫТА</ResultText>\n"
        "  <TerminalId>T&lt;&amp;&gt;0001</TerminalId>\n"
        "  <ChequeText>ОТКЛОНЕНО\nСМЕНА УЖЕ ЗАКРЫТА</ChequeText>\n"
        "  <ChequeCount>1</ChequeCount>\n"
        "</OperationResultRs>\n";
    EXPECT_EQ(expected, std::string(response));
    delete[] response;
}

// The response takes the place of an older one whole, or, when it cannot be
// written, leaves none: the older answer must not pass for this call's.
TEST(KernelResponse, ReplacesTheFileWholeOrLeavesNone) {
    const struct {
        const char* name;
        bool tempBlocked;  // a directory where the response is written first
        int result;
    } cases[] = {
        {"written", false, 0},
        {"cannot be written", true, 1200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        mkdir("LOG", 0777);
        memset(&g_Config, 0, sizeof(g_Config));
        dir.write("RAVORS.XML", "<OperationResultRs>\n  <ResultCode>0</ResultCode>\n</OperationResultRs>\n");
        if (c.tempBlocked) mkdir("RAVORS.XML.tmp", 0777);
        S_PAY_ORDER order = {};
        char* response = nullptr;
        EXPECT_EQ(c.result, Kernel_CreateResponse(1001, &order, &response));
        if (c.result == 0) {
            ASSERT_NE(nullptr, response);
            EXPECT_EQ(std::string(response), dir.read("RAVORS.XML"));
            EXPECT_NE(std::string::npos, dir.read("RAVORS.XML").find("<ResultCode>1001</ResultCode>"));
            EXPECT_FALSE(dir.exists("RAVORS.XML.tmp"));
        } else {
            EXPECT_EQ(nullptr, response);
            EXPECT_FALSE(dir.exists("RAVORS.XML"));
        }
        delete[] response;
    }
}

// Runs the driver on request in the current directory with the 3-second pause skipped.
int RunDriver(const char* request, char** response) {
    static const SSysClockSeam seam = {nullptr, [](uint32_t) {}, nullptr};
    SysClock_SetSeam(&seam);
    *response = nullptr;
    int rc = int_PerformCardOperation(request, response, nullptr);
    SysClock_SetSeam(nullptr);
    return rc;
}

std::vector<std::string> g_shown;

TEST(KernelDriver, CashierSeesProgressAndResultInUtf8) {
    TempDir dir;
    mkdir("DATA", 0777);
    g_shown.clear();
    static const SSysClockSeam seam = {nullptr, [](uint32_t) {}, nullptr};
    SysClock_SetSeam(&seam);
    char* response = nullptr;
    int rc = int_PerformCardOperation("<Amount>1</Amount>", &response, [](char* text) { g_shown.push_back(text); });
    SysClock_SetSeam(nullptr);
    delete[] response;
    EXPECT_EQ(0, rc);
    const std::vector<std::string> expected = {"ПОДОЖДИТЕ, ПОЖАЛУЙСТА", "ОТКЛОНЕНО ОШИБКА ВЫЗОВА КОД: [1001]"};
    EXPECT_EQ(expected, g_shown);
}

TEST(KernelDriver, MissingDataStopsWithoutResponse) {
    TempDir dir;
    char* response = nullptr;
    EXPECT_EQ(1065, RunDriver("<OperationType>Sale</OperationType>", &response));
    EXPECT_EQ(nullptr, response);
    EXPECT_FALSE(dir.exists("RAVORS.XML"));
    EXPECT_TRUE(dir.exists("LOG")) << "LOG and TEMP are made before the first line";
    EXPECT_TRUE(dir.exists("TEMP"));
}

// While another call holds DATA/RAVO.LCK a call is refused at once: its own
// code, the cashier's text, no response and no file of the running call
// touched. A lock file that cannot be used is a start-up failure of DATA.
TEST(KernelDriver, ACallWhileAnotherRunsIsRefusedAndTouchesNothing) {
    const struct { const char* name; bool held; int code; const char* shown; } cases[] = {
        {"held by another call", true, 1072, "ОТКЛОНЕНО ТЕРМИНАЛ ЗАНЯТ ДРУГОЙ ОПЕРАЦИЕЙ КОД: [1072]"},
        {"a directory in its place", false, 1065, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        mkdir("DATA", 0777);
        dir.write("RAVORS.XML", "the running call's answer");
        dir.write("RAVORS.XML.tmp", "the running call's answer, being written");
        int other = -1;
        if (c.held) {
            other = open("DATA/RAVO.LCK", O_RDWR | O_CREAT, 0600);
            ASSERT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
        } else {
            mkdir("DATA/RAVO.LCK", 0777);
        }
        g_shown.clear();
        char* response = nullptr;
        EXPECT_EQ(c.code, int_PerformCardOperation("<OperationType>Sale</OperationType><Amount>1</Amount>", &response,
                                                   [](char* text) { g_shown.push_back(text); }));
        EXPECT_EQ(nullptr, response);
        EXPECT_EQ("the running call's answer", dir.read("RAVORS.XML"));
        EXPECT_EQ("the running call's answer, being written", dir.read("RAVORS.XML.tmp"));
        EXPECT_EQ(c.shown ? std::vector<std::string>{c.shown} : std::vector<std::string>{}, g_shown);
        if (other >= 0) close(other);
    }
}

TEST(KernelDriver, RequestErrorsAndConfigurationErrorsReachTheResponse) {
    const char* const kUsd = "ENABLEDCURRENCY=USD|\n";
    // settings: CONFIG.INI lines after the common ones, null for no configuration files.
    const struct { const char* name; const char* request; const char* settings; const char* code; } cases[] = {
        {"no operation", "<Amount>1</Amount>", kUsd, "<ResultCode>1001</ResultCode>"},
        {"no config file", "<OperationType>Sale</OperationType><Amount>1</Amount><Currency>BYN</Currency>", nullptr,
         "<ResultCode>1020</ResultCode>"},
        {"currency not enabled", "<OperationType>Sale</OperationType><Amount>1</Amount><Currency>EUR</Currency>", kUsd,
         "<ResultCode>1006</ResultCode>"},
        {"no currency, no forcing", "<OperationType>Sale</OperationType><Amount>1</Amount>", kUsd,
         "<ResultCode>1006</ResultCode>"},
        // BYN passes the currency check and the call goes on to the (absent) PIN pad.
        {"BYN with a list too full to take it", "<OperationType>Sale</OperationType><Amount>1</Amount><Currency>BYN</Currency>",
         "BASECURRENCY=USD\nENABLEDCURRENCY=EUR|RUB|GBP|PLN|UAH|CNY|JPY|\n", "<ResultCode>1300</ResultCode>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        mkdir("DATA", 0777);
        if (c.settings) {
            dir.write("DATA/CONFIG.INI",
                      std::string("TERMINALID=T0000001\nHOST=127.0.0.1\nSECPORT=7000\nKWRMHOST=127.0.0.1\nKWRMPORT=7001\n"
                                  "OPENKEY=0123456789ABCDEF0123456789ABCDEF\n") +
                          c.settings);
            dir.write("DATA/DEVICE.INI", "COMPORT=1\nCOMDEVICE=/nonexistent/pad\n");
        }
        char* response = nullptr;
        EXPECT_EQ(0, RunDriver(c.request, &response));
        ASSERT_NE(nullptr, response);
        EXPECT_NE(std::string::npos, std::string(response).find(c.code)) << response;
        delete[] response;
    }
}

TEST(KernelDriver, OldRoubleAmountIsConverted) {
    TempDir dir;
    mkdir("DATA", 0777);
    dir.write("DATA/CONFIG.INI",
              "TERMINALID=T0000001\nHOST=127.0.0.1\nSECPORT=7000\nKWRMHOST=127.0.0.1\nKWRMPORT=7001\n"
              "OPENKEY=0123456789ABCDEF0123456789ABCDEF\n");
    dir.write("DATA/DEVICE.INI", "COMPORT=1\nCOMDEVICE=/nonexistent/pad\n");
    char* response = nullptr;
    RunDriver("<OperationType>Sale</OperationType><Amount>150099</Amount><Currency>BYR</Currency>", &response);
    delete[] response;
    char name[64];
    struct tm now;
    SysClock_LocalTime(&now);
    snprintf(name, sizeof(name), "LOG/%04d%02d%02d.LOG", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
    EXPECT_NE(std::string::npos, dir.read(name).find("Currency [BYN:933], amount [1500]."));
}

TEST(KernelDriver, UnwritableRecordFileStopsBeforeTheRequest) {
    // Root passes every access check, so the check runs in a child that has dropped to nobody.
    const struct { const char* file; int code; } cases[] = {
        {"DATA/VERSION", 1068}, {"DATA/BATCH.CFG", 1069}, {"DATA/TRANS.CFG", 1070}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        mkdir("DATA", 0777);
        mkdir("LOG", 0777);
        mkdir("TEMP", 0777);
        chmod("DATA", 0777);
        chmod("LOG", 0777);
        chmod("TEMP", 0777);
        dir.write(c.file, "x");
        chmod(c.file, 0444);
        pid_t pid = fork();
        if (pid == 0) {
            if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(200);
            char* response = nullptr;
            int rc = RunDriver("<Amount>1</Amount>", &response);
            _exit(response == nullptr ? rc - 1000 : 201);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(c.code - 1000, WEXITSTATUS(status));
        EXPECT_FALSE(dir.exists("RAVORS.XML"));
    }
}

}  // namespace

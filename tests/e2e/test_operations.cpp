// Every card operation of the till run through the real processes, checked on
// the response, the record files and the emulators' traces.
#include <cstddef>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/stat.h>

#include "tests/e2e/terminal.h"

namespace e2e {
namespace {

const char* const kCard = "4000001234567899";   // the pad emulator's card, a range with PIN
const char* const kNoPinCard = "pan=5100001234560008";

// Card data must not leave the pad in clear.
void ExpectNoClearCard(const Terminal& t, const RunResult& r) {
    EXPECT_FALSE(Has(r.log, kCard)) << "card number in the log";
    EXPECT_FALSE(Has(r.response, kCard)) << "card number in the response";
    EXPECT_FALSE(Has(r.host, kCard)) << "card number in the host trace";
    for (const char* name : {"DATA/RVS.SAV", "DATA/RVSLAST.SAV", "DATA/TRANS.CFG", "DATA/BATCH.CFG"}) {
        std::ifstream in(t.Path() + "/" + name, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_FALSE(Has(data, kCard)) << "card number in " << name;
        EXPECT_FALSE(Has(data, "4000001234567899=")) << "track data in " << name;
    }
}

// The first log line that holds mark, "" when none does.
std::string LogLine(const std::string& log, const std::string& mark) {
    const size_t at = log.find(mark);
    if (at == std::string::npos) return "";
    const size_t newline = log.rfind('\n', at);
    const size_t from = newline == std::string::npos ? 0 : newline + 1;
    return log.substr(from, log.find('\n', at) - from);  // npos - from: up to the end
}

// A completed sale of 15.00 BYN and what it left behind.
RunResult CompletedSale(Terminal& t, const std::string& pad = "", long amount = 1500) {
    RunResult r = t.Run(Request("Sale", amount), pad, "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    return r;
}

TEST(Operations, SaleApprovedByEveryCardEntry) {
    const struct { const char* name; const char* pad; const char* padMark; const char* receiptMark; } cases[] = {
        {"stripe with online PIN", "card=stripe", "PinBlockInitEx", "ПИН"},
        {"chip", "card=chip", "EMVFINAL", ""},
        {"contactless", "card=contactless", "CLESSGET", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Terminal t;
        RunResult r = t.Run(Request("Sale", 1500), c.pad, "* approve");
        ASSERT_EQ(0, r.exitCode) << r.log;
        EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
        EXPECT_EQ("ОДОБРЕНО БАНКОМ", r.Field("ResultText"));
        EXPECT_EQ("TERM0001", r.Field("TerminalId"));
        EXPECT_TRUE(Has(r.Field("ChequeText"), "15.00 BYN")) << r.response;
        EXPECT_TRUE(Has(r.Field("ChequeText"), c.receiptMark)) << r.response;
        EXPECT_EQ("2", r.Field("ChequeCount"));
        EXPECT_EQ("1", r.Field("OriginalCode"));
        EXPECT_EQ("************7899", r.Field("CardNo"));
        EXPECT_TRUE(std::regex_match(r.Field("DateTime"), std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\d)")))
            << r.Field("DateTime");
        EXPECT_TRUE(Has(r.pad, c.padMark)) << r.pad;

        EXPECT_TRUE(t.Exists("DATA/RVSLAST.SAV"));
        EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
        auto journal = t.Journal();
        ASSERT_EQ(1u, journal.size());
        EXPECT_EQ(OP_SALE, journal[0].ucOpType);
        EXPECT_EQ(1500, AmountOf(journal[0].stAmount));
        SBatchInfo b = t.Batch();
        EXPECT_EQ(1, b.ucOpened);
        EXPECT_EQ(1, b.usSaleCount);
        EXPECT_EQ(1500, AmountOf(b.stSaleTotal));
        EXPECT_EQ(2, b.usTransactIndex);

        auto requests = HostRequests(r.host, "1200");
        ASSERT_EQ(1u, requests.size()) << r.host;
        EXPECT_TRUE(Has(requests[0], "f4=000000001500")) << requests[0];
        EXPECT_TRUE(Has(requests[0], "f49=933")) << requests[0];
        // The terminal runs at the debug level: the trace shows the exchange, masked.
        const std::string rq = LogLine(r.log, "MsgTrace. Host request (kind 1, ");
        EXPECT_TRUE(Has(rq, ": 1200 F3=000000 F4=000000001500 ")) << rq;
        EXPECT_TRUE(Has(rq, " S1/F2=enc[")) << rq;
        const std::string rs = LogLine(r.log, "MsgTrace. Host response (");
        EXPECT_TRUE(Has(rs, "): 1210 ")) << rs;
        EXPECT_TRUE(Has(rs, " F39=000")) << rs;
        EXPECT_FALSE(Has(r.log, "4000001234567899=")) << "track data in the log";
        ExpectNoClearCard(t, r);
    }
}

TEST(Operations, ReturnIsCountedAsRefund) {
    Terminal t;
    RunResult r = t.Run(Request("Return", 700), kNoPinCard, "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_EQ("2", r.Field("ChequeCount"));
    EXPECT_EQ("1", r.Field("OriginalCode"));
    EXPECT_TRUE(Has(r.pad, "ConfirmAmount") || Has(r.pad, "7.00")) << "a refund without PIN is confirmed";
    auto requests = HostRequests(r.host, "");
    ASSERT_EQ(1u, requests.size()) << r.host;
    EXPECT_TRUE(Has(requests[0], "f3=20")) << requests[0];
    SBatchInfo b = t.Batch();
    EXPECT_EQ(0, b.usSaleCount);
    EXPECT_EQ(1, b.usReturnCount);
    EXPECT_EQ(700, AmountOf(b.stReturnTotal));
    auto journal = t.Journal();
    ASSERT_EQ(1u, journal.size());
    EXPECT_EQ(OP_RETURN, journal[0].ucOpType);
    EXPECT_TRUE(t.Exists("DATA/RVSLAST.SAV"));
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
}

// A cancel names the sale by its OriginalCode and amount; one cancel only.
TEST(Operations, ReversalOfAnEarlierSale) {
    Terminal t;
    CompletedSale(t);
    const std::string code = "<OriginalCode>1</OriginalCode>";

    RunResult wrong = t.Run(Request("Reversal", 1000, code), "", "* approve");
    EXPECT_EQ(1091, wrong.ResultCode()) << wrong.log;
    EXPECT_TRUE(HostRequests(wrong.host, "").empty()) << "nothing is sent for an unknown sale";

    RunResult ok = t.Run(Request("Reversal", 1500, code), "", "* approve");
    EXPECT_EQ(0, ok.ResultCode()) << ok.response << ok.log;
    EXPECT_EQ("************7899", ok.Field("CardNo"));
    EXPECT_EQ("", ok.Field("OriginalCode"));
    EXPECT_FALSE(ok.Field("ChequeText").empty());
    EXPECT_EQ(1u, HostRequests(ok.host, "").size()) << ok.host;
    SBatchInfo b = t.Batch();
    EXPECT_EQ(1, b.usSaleCount);
    EXPECT_EQ(1, b.usSaleCancelCount);
    EXPECT_EQ(1500, AmountOf(b.stSaleCancelTotal));
    EXPECT_EQ(2, b.usTransactIndex) << "a cancel does not take a new code";
    auto journal = t.Journal();
    ASSERT_EQ(2u, journal.size());
    EXPECT_EQ(OP_REVERSAL, journal[1].ucOpType);
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    EXPECT_FALSE(t.Exists("DATA/RVSLAST.SAV"));

    RunResult again = t.Run(Request("Reversal", 1500, code), "", "* approve");
    EXPECT_EQ(1503, again.ResultCode()) << again.log;
    EXPECT_FALSE(again.Field("ChequeText").empty()) << "an earlier cancel is answered with its receipt";
    EXPECT_EQ("************7899", again.Field("CardNo"));
    EXPECT_TRUE(HostRequests(again.host, "").empty()) << again.host;
    EXPECT_EQ(1, t.Batch().usSaleCancelCount);
    EXPECT_EQ(2u, t.Journal().size());
}

TEST(Operations, BalanceIsShownOnThePad) {
    Terminal t;
    RunResult r = t.Run(Request("Balance"), "", "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_TRUE(Has(r.pad, "СУММА НА СЧЕТЕ")) << r.pad;
    EXPECT_TRUE(Has(r.pad, "1 000.00")) << r.pad;
    EXPECT_EQ("", r.Field("ChequeText"));
    EXPECT_FALSE(r.Field("DateTime").empty());
    auto requests = HostRequests(r.host, "1100");
    ASSERT_EQ(1u, requests.size()) << r.host;
    EXPECT_TRUE(Has(requests[0], "f3=31")) << requests[0];
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    EXPECT_FALSE(t.Exists("DATA/RVSLAST.SAV"));
    EXPECT_EQ(0, t.Batch().usSaleCount);
    EXPECT_TRUE(t.Journal().empty());
}

// The batch closes on any verdict of the bank (the shop sells on in a new
// one), and the management session follows; what the bank said reaches the
// answer, the cashier's display and the report receipt.
TEST(Operations, CloseDaySettlesAndThenFindsTheBatchClosed) {
    const struct {
        const char* host;
        bool sale;           // a sale in the batch, else only a balance inquiry opened it
        int code;            // ResultCode
        const char* text;    // ResultText
        const char* mark;    // on the report receipt
        const char* shown;   // on the pad at the end, "" when only the approval
    } cases[] = {
        {"approve 500", true, 0, "ОДОБРЕНО БАНКОМ", "Ac 500", ""},
        {"approve 501", true, 0, "ОДОБРЕНО БАНКОМ СМЕНА ЗАКРЫТА НЕСОВПАДЕНИЕ СУММ", "НЕСОВПАДЕНИЕ СУММ !!!",
         "НЕСОВПАДЕНИЕ СУММ"},
        {"approve 502", true, 502, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА НЕТ ИТОГОВЫХ ДАННЫХ", "НЕТ ИТОГОВЫХ ДАННЫХ",
         "СМЕНА НЕ ЗАКРЫТА"},
        {"decline 503", true, 503, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА ОШИБКА В ИТОГАХ", "ОШИБКА В ИТОГАХ",
         "ОШИБКА В ИТОГАХ"},
        {"decline 504", true, 504, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА НЕТ ИТОГОВЫХ ДАННЫХ", "Ac 504",
         "СМЕНА НЕ ЗАКРЫТА"},
        {"decline 503", false, 503, "ОТКЛОНЕНО СМЕНА НЕ ЗАКРЫТА ОШИБКА В ИТОГАХ", "Ac 503", "ОШИБКА В ИТОГАХ"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + (c.sale ? " after a sale" : " without operations"));
        Terminal t;
        if (c.sale) CompletedSale(t);
        else ASSERT_EQ(0, t.Run(Request("Balance"), "", "* approve").ResultCode());
        RunResult r = t.Run(Request("CloseDay"), "", c.host);
        EXPECT_EQ(0, r.exitCode);
        EXPECT_EQ(c.code, r.ResultCode()) << r.response << r.log;
        EXPECT_EQ(c.text, r.Field("ResultText"));
        EXPECT_TRUE(Has(r.Field("ChequeText"), c.mark)) << r.response;
        EXPECT_TRUE(Has(r.Field("ChequeText"), c.sale ? "Итого" : "НЕТ ОПЕРАЦИЙ")) << r.response;
        EXPECT_EQ(c.code != 0, Has(r.Field("ChequeText"), "СМЕНА НЕ ЗАКРЫТА")) << r.response;
        EXPECT_TRUE(Has(r.pad, c.shown)) << r.pad;
        EXPECT_EQ("1", r.Field("ChequeCount"));
        EXPECT_EQ(c.sale ? "1500" : "0", r.Field("SaleAmt"));
        EXPECT_EQ(c.sale ? "1" : "0", r.Field("SaleCount"));
        EXPECT_EQ(c.sale ? "1500" : "0", r.Field("TotalAmt"));
        auto requests = HostRequests(r.host, "1520");
        ASSERT_EQ(1u, requests.size()) << r.host;
        SBatchInfo b = t.Batch();
        EXPECT_EQ(0, b.ucOpened);
        EXPECT_EQ(0, b.ucClosing);
        EXPECT_FALSE(t.Exists("DATA/RVSLAST.SAV"));
        EXPECT_TRUE(Has(r.log, "KWRM STARTED")) << "the management session follows every settled close";

        RunResult closed = t.Run(Request("CloseDay"), "", "* approve");
        EXPECT_EQ(0, closed.ResultCode()) << closed.response;
        EXPECT_EQ("ОТКЛОНЕНО\nСМЕНА УЖЕ ЗАКРЫТА", closed.Field("ChequeText")) << closed.response;
        EXPECT_EQ("1", closed.Field("ChequeCount"));
        EXPECT_TRUE(HostRequests(closed.host, "").empty()) << "a closed batch is not settled again";

        // The shop sells on in the next batch.
        RunResult next = t.Run(Request("Sale", 300), "", "* approve");
        EXPECT_EQ(0, next.ResultCode()) << next.log;
        EXPECT_EQ(1, t.Batch().ucOpened);
        EXPECT_EQ(1, t.Batch().usSaleCount);
    }
}

TEST(Operations, DayReportShowsTheOpenBatchWithoutTheHost) {
    Terminal t;
    t.config["REPORTCOUNT"] = "2";
    CompletedSale(t);
    CompletedSale(t, "", 250);
    RunResult r = t.Run(Request("DayReport"), "", "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_EQ("2", r.Field("ChequeCount"));
    EXPECT_EQ("1750", r.Field("SaleAmt"));
    EXPECT_EQ("2", r.Field("SaleCount"));
    EXPECT_EQ("2", r.Field("TotalCount"));
    EXPECT_TRUE(Has(r.Field("ChequeText"), "17.50")) << r.response;
    EXPECT_TRUE(HostRequests(r.host, "").empty()) << r.host;
    EXPECT_EQ(1, t.Batch().ucOpened);
    EXPECT_EQ(2u, t.Journal().size());
}

TEST(Operations, TestBankEchoes) {
    Terminal t;
    RunResult r = t.Run(Request("TestBank"), "", "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_EQ(1u, HostRequests(r.host, "1800").size()) << r.host;
    EXPECT_TRUE(Has(r.host, "f39=800")) << r.host;
}

TEST(Operations, ReverseLastCancelsTheLastSaleOnly) {
    Terminal t;
    CompletedSale(t);
    RunResult r = t.Run(Request("ReverseLast"), "", "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_FALSE(r.Field("ChequeText").empty());
    EXPECT_EQ("************7899", r.Field("CardNo"));
    auto reversals = HostRequests(r.host, "1420");
    ASSERT_EQ(1u, reversals.size()) << r.host;
    EXPECT_TRUE(Has(reversals[0], "f4=000000001500")) << reversals[0];
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    EXPECT_FALSE(t.Exists("DATA/RVSLAST.SAV"));
    SBatchInfo b = t.Batch();
    EXPECT_EQ(1, b.usSaleCount);
    EXPECT_EQ(1, b.usSaleCancelCount);
    EXPECT_EQ(2u, t.Journal().size());

    // A Balance in between takes the last sale out of reach.
    CompletedSale(t);
    EXPECT_EQ(0, t.Run(Request("Balance"), "", "* approve").ResultCode());
    RunResult late = t.Run(Request("ReverseLast"), "", "* approve");
    EXPECT_EQ(1046, late.ResultCode()) << late.log;
    EXPECT_TRUE(HostRequests(late.host, "").empty());
}

struct FailureCase {
    const char* name;
    const char* pad;
    const char* host;
    const char* timeout;
    int code;
    bool hostAsked;
    const char* receipt;  // a text of the receipt, nullptr for none
};
const FailureCase kFailureCases[] = {
    {"host declines", "", "decline 116", nullptr, 116, true, nullptr},
    {"host keeps the card", "", "pickup 208", nullptr, 208, true, "ИЗЪЯТЬ КАРТОЧКУ"},
    {"PIN cancelled", "pin=cancel", "* approve", nullptr, 1303, false, nullptr},
    {"amount not confirmed", "confirm=no\npan=5100001234560008", "* approve", nullptr, 1304, false, nullptr},
    {"no card within CLIENTTIMEOUT", "card=none", "* approve", "2", 1301, false, nullptr},
};

class FailuresLeaveNoTrace : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailuresLeaveNoTrace, AndPauseForRealBeforeTheAnswer) {
    const FailureCase& c = GetParam();
    SCOPED_TRACE(c.name);
    Terminal t;
    t.pauseScale = 1;  // the pause itself is checked
    if (c.timeout) t.config["CLIENTTIMEOUT"] = c.timeout;
    RunResult r = t.Run(Request("Sale", 1500), c.pad, c.host);
    EXPECT_EQ(c.code, r.ResultCode()) << r.response << r.log;
    EXPECT_EQ(c.receipt != nullptr, !r.Field("ChequeText").empty()) << r.response;
    if (c.receipt) { EXPECT_TRUE(Has(r.Field("ChequeText"), c.receipt)) << r.response; }
    EXPECT_EQ(c.receipt ? "2" : "", r.Field("ChequeCount"));
    EXPECT_EQ("", r.Field("OriginalCode"));
    EXPECT_EQ(c.hostAsked, !HostRequests(r.host, "1200").empty()) << r.host;
    EXPECT_GE(r.elapsedMs, 3000) << "a failure pauses for 3 s";
    if (c.timeout) {
        EXPECT_GE(r.elapsedMs, 5000) << "the card is awaited CLIENTTIMEOUT seconds";
        EXPECT_LT(r.elapsedMs, 20000) << "and no longer";
    }
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    EXPECT_FALSE(t.Exists("DATA/RVSLAST.SAV"));
    EXPECT_EQ(0, t.Batch().usSaleCount);
    EXPECT_TRUE(t.Journal().empty());
}

INSTANTIATE_TEST_SUITE_P(Operations, FailuresLeaveNoTrace, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return CaseName(info.param.name); });

TEST(Operations, HoldOnsThenApproval) {
    Terminal t;
    RunResult r = t.Run(Request("Sale", 1500), "", "holdon 2; approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_EQ(2, Count(r.log, "WARNING. Kernel_HostExchange. HoldOn[")) << r.log;
    EXPECT_EQ(1, t.Batch().usSaleCount);
}

// A settlement whose answer is lost keeps the batch closing: only CloseDay may run.
TEST(Operations, LostSettlementBansTheBatch) {
    Terminal t;
    CompletedSale(t);
    RunResult lost = t.Run(Request("CloseDay"), "", "drop");
    EXPECT_EQ(1081, lost.ResultCode()) << lost.log;
    EXPECT_EQ(1, t.Batch().ucClosing);

    RunResult banned = t.Run(Request("Sale", 100), "", "* approve");
    EXPECT_EQ(1100, banned.ResultCode()) << banned.log;
    EXPECT_FALSE(Has(banned.pad, "CardReaderInitTK")) << "no card is asked for";
    EXPECT_TRUE(HostRequests(banned.host, "").empty());

    RunResult settled = t.Run(Request("CloseDay"), "", "approve 500");
    EXPECT_EQ(0, settled.ResultCode()) << settled.log;
    EXPECT_EQ("1", settled.Field("SaleCount"));
    EXPECT_EQ(0, t.Batch().ucClosing);
    EXPECT_EQ(0, t.Batch().ucOpened);
}

// The card's refusal after the host's approval is reversed in the same call.
TEST(Operations, ChipRefusedAfterApprovalIsReversedAtOnce) {
    Terminal t;
    RunResult r = t.Run(Request("Sale", 1500), "card=chip\ncard_decision=1", "* approve");
    EXPECT_EQ(1312, r.ResultCode()) << r.response << r.log;
    EXPECT_EQ("", r.Field("ChequeText"));
    auto sale = HostRequests(r.host, "1200"), reversal = HostRequests(r.host, "1420");
    ASSERT_EQ(1u, sale.size()) << r.host;
    ASSERT_EQ(1u, reversal.size()) << r.host;
    EXPECT_LT(r.host.find(sale[0]), r.host.find(reversal[0]));
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    SBatchInfo b = t.Batch();
    EXPECT_EQ(b.usSaleCount, b.usSaleCancelCount) << "the sale and its reversal net out";
    EXPECT_EQ(AmountOf(b.stSaleTotal), AmountOf(b.stSaleCancelTotal));
    EXPECT_TRUE(t.Journal().empty());
}

// A request naming its own currency (Request() always names BYN).
std::string RequestIn(const std::string& op, const std::string& currency, const std::string& amount,
                      const std::string& extra = "") {
    std::string r = "<OperationDataRq><OperationType>" + op + "</OperationType>";
    if (!amount.empty()) r += "<Amount>" + amount + "</Amount>";
    return r + "<Currency>" + currency + "</Currency>" + extra + "</OperationDataRq>";
}

// An amount the till and the bank could read differently is refused before
// the pad reads a card or the host hears of it.
TEST(Operations, AmountsThatAreNoPaymentAreRefusedUpFront) {
    const struct { const char* name; std::string request; int code; } cases[] = {
        {"negative sale", RequestIn("Sale", "BYN", "-1500"), 1002},
        {"letters", RequestIn("Sale", "BYN", "abc"), 1002},
        {"negative refund", RequestIn("Return", "BYN", "-700"), 1002},
        {"old roubles worth no kopeck", RequestIn("Sale", "BYR", "99"), 1002},
        {"code past 16 bits", RequestIn("Reversal", "BYN", "1500", "<OriginalCode>65537</OriginalCode>"), 1004},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Terminal t;
        CompletedSale(t);
        RunResult r = t.Run(c.request, "", "* approve");
        EXPECT_EQ(c.code, r.ResultCode()) << r.response << r.log;
        EXPECT_EQ("", r.Field("ChequeText"));
        EXPECT_FALSE(Has(r.pad, "CardReaderInitTK")) << r.pad;
        EXPECT_TRUE(HostRequests(r.host, "").empty()) << r.host;
        SBatchInfo b = t.Batch();
        EXPECT_EQ(1, b.usSaleCount);
        EXPECT_EQ(1500, AmountOf(b.stSaleTotal));
        EXPECT_EQ(0, b.usSaleCancelCount);
        EXPECT_EQ(1u, t.Journal().size());
    }
}

// Field 49 carries the currency's ISO number: a code the terminal cannot
// number is refused before the pad reads a card or the host hears of it,
// whoever named it (the request, the base currency, the enabled list, a sale
// being cancelled); codes are read in any case and sent in capitals.
TEST(Operations, CurrencyGoesToTheBankAsItsIsoNumber) {
    const struct {
        const char* name;
        const char* enabled;   // ENABLEDCURRENCY, null for the default BYN|USD|
        const char* base;      // BASECURRENCY, null for none
        std::string request;
        int code;
        const char* field49;   // null when nothing may reach the host
        bool cancelsLegacySale = false;  // the journal's sale (15.00) is kept in "XYZ"
    } cases[] = {
        {"enabled code without a number", "BYN|XYZ|", nullptr, RequestIn("Sale", "XYZ", "1500"), 1006, nullptr},
        {"base currency without a number", nullptr, "XYZ", RequestIn("Sale", "XYZ", "1500"), 1006, nullptr},
        {"numeric code outside the table", "BYN|999|", nullptr, RequestIn("Sale", "999", "1500"), 1006, nullptr},
        {"refund", "BYN|XYZ|", nullptr, RequestIn("Return", "XYZ", "700"), 1006, nullptr},
        {"balance", "BYN|XYZ|", nullptr, RequestIn("Balance", "XYZ", ""), 1006, nullptr},
        {"cancel named in such a code", "BYN|XYZ|", nullptr,
         RequestIn("Reversal", "XYZ", "1500", "<OriginalCode>1</OriginalCode>"), 1006, nullptr},
        {"cancel of a sale kept in such a code", nullptr, nullptr,
         RequestIn("Reversal", "BYN", "1500", "<OriginalCode>1</OriginalCode>"), 1006, nullptr, true},
        {"small letters", nullptr, nullptr, RequestIn("Sale", "usd", "1500"), 0, "840"},
        {"settings in small letters", "byn|usd|", nullptr, RequestIn("Sale", "USD", "1500"), 0, "840"},
        {"base currency in small letters", "BYN|", "usd", RequestIn("Sale", "USD", "1500"), 0, "840"},
        {"numeric code enabled", "BYN|EUR|", nullptr, RequestIn("Sale", "978", "1500"), 0, "978"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Terminal t;
        if (c.enabled) t.config["ENABLEDCURRENCY"] = c.enabled;
        if (c.base) t.config["BASECURRENCY"] = c.base;
        CompletedSale(t);
        if (c.cancelsLegacySale) {
            // What an older library kept for a sale it sent in no currency.
            const std::string journal = t.Path() + "/" OPSTORE_FILE;
            std::fstream f(journal, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(offsetof(SOpStoreEntry, szCurrency));
            f.write("XYZ", 4);
        }
        RunResult r = t.Run(c.request, "", "* approve");
        EXPECT_EQ(c.code, r.ResultCode()) << r.response << r.log;
        EXPECT_FALSE(Has(r.host, "f49=000")) << r.host;
        const auto sent = HostRequests(r.host, "");
        if (c.field49) {
            ASSERT_EQ(1u, sent.size()) << r.host;
            EXPECT_TRUE(Has(sent[0], std::string("f49=") + c.field49)) << sent[0];
            continue;
        }
        EXPECT_EQ("", r.Field("ChequeText"));
        EXPECT_TRUE(sent.empty()) << r.host;
        EXPECT_EQ(c.cancelsLegacySale, Has(r.pad, "CardReaderInitTK")) << "only a cancel reads the card first\n" << r.pad;
        SBatchInfo b = t.Batch();
        EXPECT_EQ(1, b.usSaleCount);
        EXPECT_EQ(0, b.usSaleCancelCount);
        EXPECT_EQ(0, b.usReturnCount);
        EXPECT_EQ(1u, t.Journal().size());
        EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    }
}

// A reverse-last the host declines leaves the sale charged: the till says so,
// counts nothing and keeps the sale there to try again.
TEST(Operations, DeclinedReverseLastLeavesTheSaleStanding) {
    Terminal t;
    CompletedSale(t);
    RunResult declined = t.Run(Request("ReverseLast"), "", "decline 116");
    EXPECT_EQ(116, declined.ResultCode()) << declined.response << declined.log;
    EXPECT_NE("ОДОБРЕНО БАНКОМ", declined.Field("ResultText"));
    EXPECT_EQ("", declined.Field("ChequeText")) << declined.response;
    EXPECT_EQ(1u, HostRequests(declined.host, "1420").size()) << declined.host;
    EXPECT_FALSE(Has(declined.pad, "ОДОБРЕНО")) << declined.pad;
    SBatchInfo b = t.Batch();
    EXPECT_EQ(1, b.usSaleCount);
    EXPECT_EQ(0, b.usSaleCancelCount);
    EXPECT_EQ(1u, t.Journal().size());
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV") && b.ucReversal) << "nothing is left to reverse behind the cashier's back";
    EXPECT_TRUE(t.Exists("DATA/RVSLAST.SAV"));

    RunResult again = t.Run(Request("ReverseLast"), "", "* approve");
    EXPECT_EQ(0, again.ResultCode()) << again.response << again.log;
    EXPECT_TRUE(Has(again.Field("ChequeText"), "ОТМЕНА ОПЛАТЫ")) << again.response;
    b = t.Batch();
    EXPECT_EQ(1, b.usSaleCancelCount);
    EXPECT_EQ(1500, AmountOf(b.stSaleCancelTotal));
    ASSERT_EQ(2u, t.Journal().size());
    EXPECT_EQ(OP_REVERSAL, t.Journal()[1].ucOpType);
}

// A cancel carries the sale's currency to the bank, the receipt and the journal.
TEST(Operations, CancelGoesOutInTheSalesCurrency) {
    Terminal t;
    RunResult sale = t.Run(RequestIn("Sale", "USD", "1500"), "", "* approve");
    ASSERT_EQ(0, sale.ResultCode()) << sale.log;
    auto sent = HostRequests(sale.host, "1200");
    ASSERT_EQ(1u, sent.size()) << sale.host;
    ASSERT_TRUE(Has(sent[0], "f49=840")) << sent[0];

    RunResult cancel = t.Run(RequestIn("Reversal", "BYN", "1500", "<OriginalCode>1</OriginalCode>"), "", "* approve");
    EXPECT_EQ(0, cancel.ResultCode()) << cancel.response << cancel.log;
    auto reversals = HostRequests(cancel.host, "1420");
    ASSERT_EQ(1u, reversals.size()) << cancel.host;
    EXPECT_TRUE(Has(reversals[0], "f49=840")) << reversals[0];
    EXPECT_TRUE(Has(cancel.Field("ChequeText"), "15.00 USD")) << cancel.response;
    auto journal = t.Journal();
    ASSERT_EQ(2u, journal.size());
    EXPECT_STREQ("USD", journal[1].szCurrency);
}

// TotalAmt is the net the settlement sends (sales and cancelled refunds in,
// refunds and cancelled sales out), and TotalCount counts every operation the
// report receipt lists.
TEST(Operations, TotalsCountCancelledRefunds) {
    Terminal t;
    CompletedSale(t);
    ASSERT_EQ(0, t.Run(Request("Return", 700), kNoPinCard, "* approve").ResultCode());
    RunResult undo = t.Run(Request("ReverseLast"), "", "* approve");
    ASSERT_EQ(0, undo.ResultCode()) << undo.log;
    EXPECT_TRUE(Has(undo.Field("ChequeText"), "ОТМЕНА ВОЗВРАТА")) << undo.response;

    RunResult report = t.Run(Request("DayReport"), "", "* approve");
    EXPECT_EQ(0, report.ResultCode()) << report.log;
    EXPECT_EQ("700", report.Field("ReturnAmt"));
    EXPECT_EQ("1", report.Field("ReturnCount"));
    EXPECT_EQ("1500", report.Field("TotalAmt")) << report.response;
    EXPECT_EQ("3", report.Field("TotalCount"));

    RunResult close = t.Run(Request("CloseDay"), "", "* approve");
    EXPECT_EQ(0, close.ResultCode()) << close.log;
    auto settlement = HostRequests(close.host, "1520");
    ASSERT_EQ(1u, settlement.size()) << close.host;
    EXPECT_TRUE(Has(settlement[0], "f97=D0000000000001500")) << settlement[0];
    EXPECT_EQ("1500", close.Field("TotalAmt"));
    EXPECT_EQ("3", close.Field("TotalCount"));
}

// The host names currencies in its balance blocks by number.
TEST(Operations, BalanceShowsTheBlockOfTheAskedCurrency) {
    Terminal t;
    RunResult r = t.Run(RequestIn("Balance", "USD", ""), "",
                        "approve f54=0002933C0000001000000002840C000000000525");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_TRUE(Has(r.pad, "5.25")) << r.pad;
    EXPECT_FALSE(Has(r.pad, "1 000.00")) << r.pad;
}

// A reverse-last reads no card, so it asks the pad about none, even when the
// sale it cancels was made by chip.
TEST(Operations, ReverseLastAfterAChipSaleLeavesTheCardReaderAlone) {
    Terminal t;
    CompletedSale(t, "card=chip");
    RunResult r = t.Run(Request("ReverseLast"), "card=chip", "* approve");
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_FALSE(Has(r.pad, "SmartPresent")) << r.pad;
    EXPECT_FALSE(Has(r.pad, "EMVCancel")) << r.pad;
    EXPECT_FALSE(Has(r.log, "EMVCancel")) << r.log;
}

// The terminal's TLS key and certificates are readable by their owner only,
// also when a copy kept from before was wider.
TEST(Operations, TlsFilesAreOwnerOnly) {
    Terminal t;
    CompletedSale(t);
    auto mode = [&t](const char* name) {
        struct stat st = {};
        EXPECT_EQ(0, stat((t.Path() + "/DATA/" + name).c_str(), &st)) << name;
        return st.st_mode & 0777;
    };
    for (const char* name : {"SSLA", "SSLC", "SSLK"}) EXPECT_EQ(0600u, mode(name)) << name;
    ASSERT_EQ(0, chmod((t.Path() + "/DATA/SSLK").c_str(), 0644));
    CompletedSale(t);
    EXPECT_EQ(0600u, mode("SSLK"));
}

}  // namespace
}  // namespace e2e

// Lost host answers and crashes of Ravo at every point of a sale: whatever
// happens, the next request settles the matter with the host, and the batch
// totals, the journal and the host agree on what was sold.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/ledger.h"
#include "tests/e2e/terminal.h"

namespace e2e {
namespace {

// No reversal left pending, and the host, the batch and the journal agree.
void ExpectConsistent(const Terminal& t) {
    SBatchInfo b = t.Batch();
    EXPECT_FALSE(b.ucReversal && t.Exists("DATA/RVS.SAV")) << "a reversal is still pending";
    EXPECT_LE(b.usSaleCancelCount, b.usSaleCount);
    const Ledger host = HostLedger(t.HostHistory()), batch = BatchLedger(b), journal = JournalLedger(t.Journal());
    EXPECT_EQ(host.Text(), batch.Text()) << "batch against host\n" << t.HostHistory();
    EXPECT_EQ(batch.Text(), journal.Text()) << "journal against batch";
}

struct LossCase {
    const char* loss;
    const char* next;
    int nextCode;
    const char* nextMti;  // what the next request sends after the reversal, "" nothing
    long clockScale;      // Ravo's clock runs this much faster (1: real time)
};
const LossCase kLossCases[] = {
    {"drop", "Sale", 0, "1200", 1},
    {"frame 0064 00 31 32 31 30; drop", "Balance", 0, "1100", 1},
    {"bytes 00; drop", "Return", 0, "1200", 1},
    {"drop", "CloseDay", 0, "1520", 1},
    {"drop", "ReverseLast", 1046, "", 1},
    // The host's 45 s of silence pass in 4.5 s, and in 0.9 s on a plain build.
    {"stall", "Sale", 0, "1200", 10 * kQuickLimits},
};

class LostSaleAnswer : public ::testing::TestWithParam<LossCase> {};

TEST_P(LostSaleAnswer, IsReversedByTheNextRequest) {
    const LossCase& c = GetParam();
    SCOPED_TRACE(std::string(c.loss) + " then " + c.next);
    Terminal t;
    if (c.clockScale > 1) t.env = {"E2E_CLOCK_SCALE=" + std::to_string(c.clockScale)};
    RunResult lost = t.Run(Request("Sale", 1500), "", c.loss);
    EXPECT_EQ(1081, lost.ResultCode()) << lost.log;
    EXPECT_EQ(1u, HostRequests(lost.host, "1200").size()) << "the sale reached the host";
    EXPECT_TRUE(t.Exists("DATA/RVS.SAV"));
    EXPECT_EQ(1, t.Batch().ucReversal);
    EXPECT_EQ(0, t.Batch().usSaleCount);

    long amount = std::string(c.next) == "Sale" || std::string(c.next) == "Return" ? 300 : -1;
    RunResult next = t.Run(Request(c.next, amount), "pan=5100001234560008", "* approve");
    EXPECT_EQ(c.nextCode, next.ResultCode()) << next.response << next.log;
    auto all = HostRequests(next.host, "");
    ASSERT_FALSE(all.empty()) << next.host;
    EXPECT_TRUE(Has(all[0], "mti=1420") && Has(all[0], "f4=000000001500")) << "the reversal goes first: " << all[0];
    EXPECT_EQ(TraceWord(HostRequests(lost.host, "1200")[0], "f37"), TraceWord(all[0], "f37")) << "it names the lost sale";
    if (*c.nextMti) {
        ASSERT_EQ(2u, all.size()) << next.host;
        EXPECT_TRUE(Has(all[1], "mti=" + std::string(c.nextMti))) << all[1];
    } else {
        EXPECT_EQ(1u, all.size()) << next.host;
    }
    EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
    if (std::string(c.next) == "CloseDay") {
        EXPECT_EQ("1", next.Field("SaleCount")) << "the settlement counts the sale and its reversal";
        EXPECT_EQ("1", next.Field("ReversalCount"));
        EXPECT_EQ("0", next.Field("TotalAmt"));
    } else {
        ExpectConsistent(t);
    }
}

INSTANTIATE_TEST_SUITE_P(Reliability, LostSaleAnswer, ::testing::ValuesIn(kLossCases),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                             return CaseName(std::string(info.param.loss) + " then " + info.param.next);
                         });

// Ravo killed between any two changes of its record files during a sale, and
// at moments seen on the emulators; the next request puts everything right.
class SaleKilledAnywhere : public Sharded<3> {};

TEST_P(SaleKilledAnywhere, LeavesConsistentRecords) {
    Terminal probe;
    RunResult listed = probe.Run(Request("Sale", 1500), "", "* approve", KillAt{"", "", -1});
    ASSERT_EQ(0, listed.ResultCode()) << listed.log;
    const int changes = static_cast<int>(listed.fileEvents.size());
    ASSERT_GT(changes, 5) << "the crash-point shim saw no record changes";

    std::vector<std::pair<std::string, KillAt>> points;
    for (int k = 1; k <= changes; ++k) points.push_back({"before " + listed.fileEvents[k - 1], KillAt{"", "", k}});
    points.push_back({"waiting for the card", KillAt{"", "CARDINIT", 0}});
    points.push_back({"sale sent, answer not there yet", KillAt{"REQ 1", "", 0}});

    for (size_t i = 0; i < points.size(); ++i) {
        if (!Mine(i)) continue;
        const auto& p = points[i];
        SCOPED_TRACE(p.first);
        Terminal t;
        const bool slowHost = !p.second.hostTrace.empty(), slowCard = !p.second.padTrace.empty();
        RunResult killed = t.Run(Request("Sale", 1500), slowCard ? "card_delay_ms=1500" : "",
                                 slowHost ? "wait 1500; approve" : "* approve", p.second);
        EXPECT_TRUE(killed.killed) << "Ravo finished before the kill point: " << killed.response;
        // A reader finds no response or a whole one, never a part.
        if (t.Exists("RAVORS.XML")) {
            EXPECT_EQ(0u, killed.response.rfind("<OperationResultRs>\n", 0)) << killed.response;
            EXPECT_TRUE(Has(killed.response, "\n</OperationResultRs>\n")) << killed.response;
        }
        const bool shownApproved = t.Exists("RAVORS.XML") && killed.ResultCode() == 0;
        RunResult next = t.Run(Request("Balance"), "", "* approve");
        EXPECT_EQ(0, next.ResultCode()) << next.log;
        ExpectConsistent(t);
        // The cashier's view holds too: a sale shown approved stands, one not shown is not kept.
        SBatchInfo b = t.Batch();
        EXPECT_EQ(shownApproved ? 1 : 0, b.usSaleCount - b.usSaleCancelCount) << killed.response << next.log;
    }
}

INSTANTIATE_TEST_SUITE_P(Reliability, SaleKilledAnywhere, ::testing::Range(0, SaleKilledAnywhere::kShards));

// Ravo killed while the pad works on a command (a PIN being typed when the
// till's time limit strikes), the pad's reply reaching the line only after
// the kill: the next call finds the pad all the same, and sends the sale's
// reversal first when one is pending.
class KillDuringAPadCommand : public Sharded<3> {};

TEST_P(KillDuringAPadCommand, NextCallFindsThePad) {
    struct Point {
        std::string name;
        std::string pad;    // scenario: the card, and the reply that the pad holds back
        int pauseMs;        // from the kill to the next call
        bool reversal;      // the host approved the sale and the next call must reverse it first
    };
    std::vector<Point> points;
    // Every command of a stripe sale and of a chip sale, once, and every one
    // from the chip's completion on (after the host's answer); the pad holds
    // each reply until the next call's link test reaches it, so the reply
    // lands while that call tests the link.
    std::set<std::string> seen;
    for (const char* card : {"card=stripe", "card=chip"}) {
        Terminal probe;
        RunResult listed = probe.Run(Request("Sale", 1500), card, "* approve");
        ASSERT_EQ(0, listed.ResultCode()) << listed.log;
        std::map<std::string, int> nth;
        bool answered = false;
        std::istringstream in(listed.pad);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("REQ ", 0) != 0) continue;
            std::string cmd = line.substr(4, line.find(' ', 4) - 4);
            int n = ++nth[cmd];
            answered |= cmd == "17,4";
            if (!seen.insert(cmd).second && !answered) continue;
            std::string dotted = cmd;
            dotted[dotted.find(',')] = '.';
            points.push_back({std::string(card) + ": " + line,
                              std::string(card) + "\nfault=hold:10000@cmd:" + dotted + "#" + std::to_string(n), 0,
                              cmd == "17,4"});
        }
    }
    ASSERT_GT(points.size(), 20u);
    // The PIN reply is already waiting in the line when the next call opens it.
    points.push_back({"PIN reply waiting in the line", "fault=delay:200@cmd:6.29#1", 1000, false});

    for (size_t i = 0; i < points.size(); ++i) {
        if (!Mine(i)) continue;
        const Point& p = points[i];
        SCOPED_TRACE(p.name);
        Terminal t;
        auto runs = t.RunKilledThen(Request("Sale", 1500), KillAt{"", "FAULT reply=", 0}, p.pauseMs,
                                    Request("Balance"), p.pad, "* approve");
        const RunResult& killed = runs.first;
        const RunResult& next = runs.second;
        ASSERT_TRUE(killed.killed) << "Ravo finished before the kill point: " << killed.response;
        EXPECT_EQ(0, next.ResultCode()) << next.response << next.log;
        EXPECT_TRUE(Has(next.pad, "REQ 1,1 DevGetInfo")) << next.pad;
        auto sent = HostRequests(next.host, "");
        if (p.reversal) {
            ASSERT_EQ(2u, sent.size()) << next.host;
            EXPECT_TRUE(Has(sent[0], "mti=1420") && Has(sent[0], "f4=000000001500")) << sent[0];
        }
        // Otherwise the sale never reached the host, or was recorded whole.
        ExpectConsistent(t);
    }
}

INSTANTIATE_TEST_SUITE_P(Reliability, KillDuringAPadCommand, ::testing::Range(0, KillDuringAPadCommand::kShards));

// The call that reverses such a sale is itself killed at each of its record
// changes: the reversal is repeated, never counted twice.
class RecoveryKilledAnywhere : public Sharded<3> {};

TEST_P(RecoveryKilledAnywhere, CountsTheReversalOnce) {
    // The sale is recorded in the totals and the journal, and killed before
    // its reversal file becomes the reverse-last copy.
    auto recordedSale = [](Terminal& t) {
        RunResult listed = t.Run(Request("Sale", 1500), "", "* approve", KillAt{"", "", -1});
        int last = 0;
        for (size_t i = 0; i < listed.fileEvents.size(); ++i)
            if (Has(listed.fileEvents[i], "rename DATA/RVSLAST.SAV")) last = static_cast<int>(i) + 1;
        return last;
    };
    Terminal probe;
    const int renameAt = recordedSale(probe);
    ASSERT_GT(renameAt, 0) << "no reverse-last copy made";

    auto killedSale = [&](Terminal& t) {
        RunResult killed = t.Run(Request("Sale", 1500), "", "* approve", KillAt{"", "", renameAt});
        EXPECT_TRUE(killed.killed);
    };
    Terminal listing;
    killedSale(listing);
    RunResult recovery = listing.Run(Request("Balance"), "", "* approve", KillAt{"", "", -1});
    ASSERT_EQ(0, recovery.ResultCode()) << recovery.log;
    ASSERT_EQ(2u, HostRequests(recovery.host, "").size()) << recovery.host;
    ExpectConsistent(listing);

    for (size_t k = 1; k <= recovery.fileEvents.size(); ++k) {
        if (!Mine(k - 1)) continue;
        SCOPED_TRACE("recovery killed before " + recovery.fileEvents[k - 1]);
        Terminal t;
        killedSale(t);
        t.Run(Request("Balance"), "", "* approve", KillAt{"", "", static_cast<int>(k)});
        RunResult next = t.Run(Request("Balance"), "", "* approve");
        EXPECT_EQ(0, next.ResultCode()) << next.log;
        ExpectConsistent(t);
        SBatchInfo b = t.Batch();
        EXPECT_EQ(1, b.usSaleCount);
        EXPECT_EQ(1, b.usSaleCancelCount);
    }
}

INSTANTIATE_TEST_SUITE_P(Reliability, RecoveryKilledAnywhere, ::testing::Range(0, RecoveryKilledAnywhere::kShards));

// A reverse-last killed at each of its record changes and while the host
// holds its reversal: whatever the next request is, the host, the batch and
// the journal agree, and the cancellation is never counted twice.
class ReverseLastKilledAnywhere : public Sharded<4> {};

TEST_P(ReverseLastKilledAnywhere, CountsTheCancellationOnce) {
    auto completedSale = [](Terminal& t) {
        RunResult sale = t.Run(Request("Sale", 1500), "", "* approve");
        ASSERT_EQ(0, sale.ResultCode()) << sale.log;
        ASSERT_TRUE(t.Exists("DATA/RVSLAST.SAV"));
    };
    Terminal probe;
    completedSale(probe);
    RunResult listed = probe.Run(Request("ReverseLast"), "", "* approve", KillAt{"", "", -1});
    ASSERT_EQ(0, listed.ResultCode()) << listed.log;
    ExpectConsistent(probe);
    EXPECT_EQ(1, probe.Batch().usSaleCancelCount);
    const int changes = static_cast<int>(listed.fileEvents.size());
    ASSERT_GT(changes, 3) << "the crash-point shim saw no record changes";

    std::vector<std::pair<std::string, KillAt>> points;
    for (int k = 1; k <= changes; ++k) points.push_back({"before " + listed.fileEvents[k - 1], KillAt{"", "", k}});
    points.push_back({"connected to the host", KillAt{"CONN 1", "", 0}});
    points.push_back({"reversal sent, answer not there yet", KillAt{"REQ 1", "", 0}});

    const struct {
        const char* request;
        bool retry;     // the cashier tries the reverse-last again
    } nexts[] = {
        {"Balance", false},
        {"ReverseLast", true},
    };
    size_t index = 0;
    for (const auto& p : points) {
        for (const auto& n : nexts) {
            if (!Mine(index++)) continue;
            SCOPED_TRACE(p.first + ", then " + n.request);
            Terminal t;
            completedSale(t);
            const bool slowHost = !p.second.hostTrace.empty();
            RunResult killed = t.Run(Request("ReverseLast"), "", slowHost ? "wait 1500; approve" : "* approve", p.second);
            EXPECT_TRUE(killed.killed) << "Ravo finished before the kill point: " << killed.response;
            const bool shownDone = t.Exists("RAVORS.XML") && killed.ResultCode() == 0;
            RunResult next = t.Run(Request(n.request), "", "* approve");
            // A retry answers as the cancellation unless the cashier was already shown it.
            if (n.retry) {
                EXPECT_EQ(shownDone ? 1046 : 0, next.ResultCode()) << next.response << next.log;
            } else {
                EXPECT_EQ(0, next.ResultCode()) << next.response << next.log;
            }
            ExpectConsistent(t);
            SBatchInfo b = t.Batch();
            EXPECT_EQ(1, b.usSaleCount);
            if (n.retry || shownDone) {
                EXPECT_EQ(1, b.usSaleCancelCount) << t.HostHistory();
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Reliability, ReverseLastKilledAnywhere,
                         ::testing::Range(0, ReverseLastKilledAnywhere::kShards));

// A reverse-last that got no answer may have reversed the sale at the host:
// it stays pending and the next request settles it; a reverse-last tried
// again answers as the cancellation it completes. One the host's front end
// did not process leaves the sale standing, still there to reverse-last.
TEST(Reliability, ReverseLastWithoutAnAnswerIsSettledByTheNextRequest) {
    const struct {
        const char* loss;
        int code;
        bool pending;  // otherwise the reverse-last copy is kept
        const char* next;
    } cases[] = {
        {"drop", 1081, true, "Balance"},
        {"bytes 00; drop", 1081, true, "ReverseLast"},
        {"drop", 1081, true, "ReverseLast"},
        {"status 41", 2065, false, "ReverseLast"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.loss) + " then " + c.next);
        Terminal t;
        ASSERT_EQ(0, t.Run(Request("Sale", 1500), "", "* approve").ResultCode());
        RunResult lost = t.Run(Request("ReverseLast"), "", c.loss);
        EXPECT_EQ(c.code, lost.ResultCode()) << lost.log;
        EXPECT_EQ(1u, HostRequests(lost.host, "1420").size()) << lost.host;
        EXPECT_EQ(c.pending, t.Exists("DATA/RVS.SAV") && t.Batch().ucReversal == 1);
        EXPECT_EQ(!c.pending, t.Exists("DATA/RVSLAST.SAV"));
        EXPECT_EQ(0, t.Batch().usSaleCancelCount);

        RunResult next = t.Run(Request(c.next), "", "* approve");
        const bool reverseLast = std::string(c.next) == "ReverseLast";
        EXPECT_EQ(0, next.ResultCode()) << next.response << next.log;
        EXPECT_EQ(reverseLast, Has(next.Field("ChequeText"), "ОТМЕНА ОПЛАТЫ")) << next.response;
        if (reverseLast) { EXPECT_EQ("************7899", next.Field("CardNo")); }
        auto reversals = HostRequests(next.host, "1420");
        ASSERT_EQ(1u, reversals.size()) << next.host;
        EXPECT_TRUE(Has(reversals[0], "f4=000000001500")) << reversals[0];
        EXPECT_FALSE(t.Exists("DATA/RVS.SAV"));
        EXPECT_FALSE(t.Exists("DATA/RVSLAST.SAV"));
        ExpectConsistent(t);
        EXPECT_EQ(1, t.Batch().usSaleCancelCount);
        EXPECT_EQ(2u, t.Journal().size()) << "the sale and one cancel entry";
    }
}

long NowMs() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Starts ./Ravo in the payment directory on the request already there; its
// output goes to out.
pid_t StartRavo(const std::string& pay, const std::string& out) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(pay.c_str()) != 0) _exit(126);
        dup2(fd, 1);
        dup2(fd, 2);
        execl("./Ravo", "./Ravo", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Ravo's exit code, or -1 when it had to be killed after limitMs.
int WaitRavo(pid_t pid, long limitMs) {
    const long start = NowMs();
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (NowMs() - start > limitMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two calls in one payment directory (a second window of the till, a retry
// while the first call still waits for the card): the second is refused at
// once with an exit code of its own and writes no response; the first call's
// approval is the answer in RAVORS.XML, and the pad and the host saw one sale.
TEST(Reliability, ASecondCallWhileOneRunsIsRefusedAtOnce) {
    Terminal t;
    const std::string pay = t.Path();
    const std::string outFirst = pay + "/../first.out", outSecond = pay + "/../second.out";
    // The card is held back until the second call has had its answer: the
    // first call is then surely still waiting for it.
    const std::string cardGo = pay + "/../card.go";
    int firstExit = -2, secondExit = -2;
    long secondMs = -1;
    bool answeredEarly = true, waitedForCard = false;
    RunResult r = t.RunVia(
        [&] {
            std::ofstream(pay + "/RAVORQ.XML") << Request("Sale", 1500);
            pid_t first = StartRavo(pay, outFirst);
            for (int i = 0; i < 3000 && !waitedForCard; ++i) {
                waitedForCard = Has(emu::ReadLog(pay + "/LOG"), "SUCCESS. Kernel_Initialize");
                if (!waitedForCard) usleep(10000);
            }
            // The second caller writes its own request, as any caller does.
            std::ofstream(pay + "/RAVORQ.XML") << Request("Sale", 700);
            const long start = NowMs();
            secondExit = WaitRavo(StartRavo(pay, outSecond), 30000);
            secondMs = NowMs() - start;
            answeredEarly = t.Exists("RAVORS.XML") || t.Exists("RAVORS.XML.tmp");
            std::ofstream(cardGo) << "card";
            firstExit = WaitRavo(first, 60000);
        },
        "card_when_file=" + cardGo, "* approve");

    ASSERT_TRUE(waitedForCard) << r.log;
    EXPECT_EQ(251, secondExit) << r.log;
    EXPECT_LT(secondMs, 4000) << "the second call is answered at once, not after the first";
    EXPECT_FALSE(answeredEarly) << "the second call wrote a response";
    EXPECT_TRUE(Has(r.log, "Terminal busy")) << r.log;
    EXPECT_EQ(0, firstExit);
    EXPECT_EQ(0, r.ResultCode()) << r.response << r.log;
    EXPECT_TRUE(Has(r.Field("ChequeText"), "15.00 BYN")) << r.response;
    EXPECT_EQ(1, Count(r.pad, "CardReaderInitTK")) << r.pad;
    const auto sales = HostRequests(r.host, "1200");
    ASSERT_EQ(1u, sales.size()) << r.host;
    EXPECT_TRUE(Has(sales[0], "f4=000000001500")) << sales[0];
    EXPECT_EQ(1, t.Batch().usSaleCount);
    EXPECT_EQ(1500, AmountOf(t.Batch().stSaleTotal));
    EXPECT_EQ(1u, t.Journal().size());
    for (const std::string& out : {outFirst, outSecond}) {
        const std::string text = emu::ReadFile(out);
        EXPECT_FALSE(Has(text, "Sanitizer") || Has(text, "runtime error")) << out << ":\n" << text;
    }
}

// The lock goes with the process: a call killed while it waits for the card
// leaves the next call free to run.
TEST(Reliability, AKilledCallLeavesTheTerminalFree) {
    Terminal t;
    KillAt kill;
    kill.padTrace = "CardReaderInitTK";
    // The card comes only after the kill, for the next call.
    const std::string cardGo = t.Path() + "/../card.go";
    auto runs = t.RunKilledThen(Request("Sale", 1500), kill, 0, Request("Sale", 700), "card_when_file=" + cardGo,
                                "* approve", [&] { std::ofstream(cardGo) << "card"; });
    EXPECT_TRUE(runs.first.killed);
    EXPECT_EQ(0, runs.second.exitCode);
    EXPECT_EQ(0, runs.second.ResultCode()) << runs.second.response << runs.second.log;
    EXPECT_FALSE(Has(runs.second.log, "Terminal busy"));
    EXPECT_EQ(1, t.Batch().usSaleCount);
    EXPECT_EQ(700, AmountOf(t.Batch().stSaleTotal));
}

}  // namespace
}  // namespace e2e

// tests/e2e/terminal.h
// A till's payment directory driven through the real processes: Ravo loads
// libRAVOux.so, which talks to pinpad_emu over a pseudo-terminal and to
// host_emu over TLS. Each run starts both emulators with scenarios written by
// the test, runs Ravo on one request and stops them again; the response, the
// record files, the log and both traces are there to be checked afterwards.
// After every run the payment directory is searched for the card data the pad
// handed out in any run of the test: finding one fails the test.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kernel/batch.h"
#include "kernel/opstore.h"
#include "tests/common/cardscan.h"
#include "tests/common/emulators.h"

namespace e2e {

// A limit that a test only needs to see pass runs on a clock faster still on
// a plain build; under qemu or the sanitizers every step of the till is slow
// enough that the clock keeps the pace it had before.
#if E2E_SLOW_STEPS
constexpr long kQuickLimits = 1;
#else
constexpr long kQuickLimits = 3;
#endif

// When to SIGKILL Ravo during a run, and what else the crash-point shim does
// to its file-system calls; all empty means let it finish untouched.
struct KillAt {
    std::string hostTrace;   // the host emulator's trace shows this text
    std::string padTrace;    // the pad emulator's trace shows this text
    int fileEvent = 0;       // just before the Nth change under DATA/ (crash-point shim); -1 only lists them
    bool recordSteps = false;  // list every file-system step of the run (RunResult::stepLog)
    int failCall = 0;        // the state-changing call with this fault number fails once (ENOSPC, EIO)
};

struct RunResult {
    int exitCode = -1;       // Ravo's exit status, -1 when killed
    bool killed = false;
    long elapsedMs = 0;
    std::string response;    // RAVORS.XML, "" when missing
    std::string log;         // LOG/*.LOG of this run
    std::string pad;         // pad trace of this run (texts converted to UTF-8)
    std::string host;        // host trace of this run
    std::vector<std::string> fileEvents;  // changes under DATA/ seen by the shim, in order
    std::string stepLog;     // with KillAt::recordSteps: the shim's step log (ReadSteps, powercut.h)

    // Text of the first element <tag>, "" when absent.
    std::string Field(const std::string& tag) const;
    int ResultCode() const;
};

class Terminal {
public:
    Terminal();
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // CONFIG.INI keys on top of the defaults (written before each run).
    std::map<std::string, std::string> config;
    // The terminal's TLS files the pad holds: the test PKI's "sha256" set or the
    // older "sha1" one; and the folder of the PKI whose host.crt and host.key the
    // host emulator presents ("" the genuine host's; "elsewhere", "rogue" ...).
    std::string tlsSet = "sha256";
    std::string hostCertDir;
    // Called with the payment directory just before Ravo starts (after the
    // log of the last run was cleared), to lay files of the test's own.
    std::function<void(const std::string& pay)> beforeLaunch;
    // Shared objects preloaded into Ravo (beside the crash-point shim) and
    // environment entries "NAME=value" of its process.
    std::vector<std::string> preload;
    std::vector<std::string> env;
    // Ravo's sleeps (the pauses between pad polls, the 3 s a result stays on
    // the pad) last this many times less, through the fast-clock shim; every
    // time limit stays real. 1 keeps the real pauses. A test whose env sets
    // E2E_CLOCK_SCALE or E2E_SLEEP_SCALE paces Ravo itself.
    long pauseScale = 500;

    // Puts the built library into the payment directory as an installation
    // has it: the file libRAVOux.so.<version> and the link libRAVOux.so to it.
    void UseLibraryCopy();

    // Runs one request. padScenario lines come after the pad's standard
    // contents (TLS files, transport key, EMV configuration); hostScenario is
    // the whole host scenario.
    RunResult Run(const std::string& request, const std::string& padScenario, const std::string& hostScenario,
                  const KillAt& kill = KillAt());

    // Two calls served by the same two emulators: `first` is run and SIGKILLed at
    // kill, and `next` is run pauseMs later. A pad reply held back past the kill
    // (scenario fault delay) reaches the line while the next call opens it, as a
    // real pad's does. Each result holds its own call's traces, log and response.
    // `between`, when given, runs after the kill and before `next` (say, to
    // present the card the first call waited for).
    std::pair<RunResult, RunResult> RunKilledThen(const std::string& first, const KillAt& kill, int pauseMs,
                                                  const std::string& next, const std::string& padScenario,
                                                  const std::string& hostScenario,
                                                  const std::function<void()>& between = nullptr);

    // Like Run, but the operation is started by `launch` while both emulators
    // serve it: a caller such as the point-of-sale plug-in writes the request
    // and runs Ravo itself. exitCode and killed stay unset.
    RunResult RunVia(const std::function<void()>& launch, const std::string& padScenario,
                     const std::string& hostScenario);

    bool Exists(const std::string& name) const;
    SBatchInfo Batch() const;                   // zeros when there is no batch file
    std::vector<SOpStoreEntry> Journal() const;
    const std::string& Path() const { return m_pay; }
    // Every host trace line of every run so far.
    const std::string& HostHistory() const { return m_hostHistory; }

private:
    // Runs Ravo on the request already written, killing it at kill; fills the
    // exit status, the time taken and the record changes of the run in r.
    void RunRavo(const std::string& base, const KillAt& kill, RunResult& r);
    // Starts both emulators, writes the configuration, runs `body` (given the
    // run's file prefix) and collects what the run left behind.
    RunResult Serve(const std::string& padScenario, const std::string& hostScenario,
                    const std::function<void(const std::string& base, RunResult& r)>& body);

    // Fails the test on any card data of this test's runs kept in the
    // payment directory, and on any sanitizer report of the run's processes.
    void CheckRun(const std::string& base);

    std::string m_root;
    std::string m_pay;
    std::vector<emu::SCardData> m_cards;  // what the pad handed out in every run so far
    std::string m_hostHistory;
    int m_runs = 0;
    emu::ClosedPort m_noManager;  // the terminal manager's port unless a test sets its own
};

// The directory of the test PKI shared by the runs of this program (ca.crt, host.crt, host.key, sha256/, sha1/,
// and the other host certificates of scripts/make_test_pki.sh).
const std::string& TestPki();

// Request texts.
std::string Request(const std::string& op, long amount = -1, const std::string& extra = "");

// A long table (a kill at every point) runs in shards side by side: shard i of
// N takes every entry whose index leaves i over when divided by N, so that all
// of them run.
template <int N>
class Sharded : public ::testing::TestWithParam<int> {
public:
    static constexpr int kShards = N;

protected:
    bool Mine(size_t index) const { return static_cast<int>(index % N) == GetParam(); }
};

// A case's description as a test name: letters and digits, the rest "_".
std::string CaseName(const std::string& text);

// Every file under root/rel, as relative name -> content (a link -> "-> " and its target).
void Snapshot(const std::string& root, const std::string& rel, std::map<std::string, std::string>* out);

bool Has(const std::string& text, const std::string& part);
int Count(const std::string& text, const std::string& part);
// Host trace lines starting with "REQ" whose text holds every one of parts.
std::vector<std::string> HostRequests(const std::string& trace, const std::string& mti);
long long AmountOf(const SBigInt& v);

}  // namespace e2e

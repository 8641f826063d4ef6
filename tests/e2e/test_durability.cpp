// A power cut after any file-system step of a Sale, a Return, a ReverseLast
// and a CloseDay, and a full or failing disk at a state-changing call of them
// (and of a call that reverses an answer never published): the next call
// answers, no record is torn, an approval the cashier was shown stands and one
// not shown is taken back, the till counts what the emulated bank counts, and
// an answer 0 comes only for an operation that stands at the bank and in the
// records.
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>

#include "support/payorder.h"
#include "tests/e2e/ledger.h"
#include "tests/e2e/powercut.h"
#include "tests/e2e/terminal.h"

namespace e2e {
namespace {

enum class Kind { Purchase, Refund, ReverseLast, CloseDay, Recovery };

struct OpCase {
    const char* name;
    std::vector<std::string> before;  // requests approved first
    std::string request;              // the operation cut or failed
    std::string next;                 // the call after it
    Kind kind;
    Ledger effect;                    // what the operation adds to the bank's and the till's counts
    // Done to the payment directory after the requests before.
    std::function<void(const std::string& pay)> prepare;
};

// The answer of the call before never reached the till: it was killed
// before it put its prepared response in place.
void Unpublish(const std::string& pay) {
    rename((pay + "/RAVORS.XML").c_str(), (pay + "/RAVORS.XML.tmp").c_str());
}

// The operations cut by a power cut; the I/O-error table adds the call that
// finds an answer not published and reverses what it approved.
constexpr int kPowerCutOps = 4;

const std::vector<OpCase>& Ops() {
    static const std::vector<OpCase> ops = {
        {"Sale", {}, Request("Sale", 1500), Request("Balance"), Kind::Purchase, Ledger{1, 1500, 0, 0}, nullptr},
        {"Return", {Request("Sale", 2000)}, Request("Return", 700), Request("Balance"), Kind::Refund,
         Ledger{0, 0, 1, 700}, nullptr},
        // The cashier tries a reverse-last again when no answer came.
        {"ReverseLast", {Request("Sale", 1500)}, Request("ReverseLast"), Request("ReverseLast"), Kind::ReverseLast,
         Ledger{-1, -1500, 0, 0}, nullptr},
        {"CloseDay", {Request("Sale", 1500), Request("Return", 300)}, Request("CloseDay"), Request("CloseDay"),
         Kind::CloseDay, Ledger{}, nullptr},
        {"Recovery", {Request("Sale", 1500)}, Request("Balance"), Request("Balance"), Kind::Recovery,
         Ledger{-1, -1500, 0, 0}, Unpublish},
    };
    return ops;
}

Ledger Plus(Ledger a, const Ledger& b) {
    a.sales += b.sales;
    a.salesAmount += b.salesAmount;
    a.refunds += b.refunds;
    a.refundsAmount += b.refundsAmount;
    return a;
}

// The operation as one run in a fresh terminal: its steps, the directory it
// found and the host's lines before it.
struct Recording {
    Terminal t;
    std::string prior;
    DirImage before;
    RunResult run;
    std::vector<FsStep> steps;
};

void Record(const OpCase& c, const std::vector<std::string>& env, Recording* r) {
    for (const std::string& b : c.before) {
        RunResult done = r->t.Run(b, "", "* approve");
        ASSERT_EQ(0, done.ResultCode()) << done.log;
    }
    if (c.prepare) c.prepare(r->t.Path());
    r->prior = r->t.HostHistory();
    r->t.env = env;
    r->t.beforeLaunch = [r](const std::string& pay) { r->before = TakeImage(pay); };
    KillAt record;
    record.recordSteps = true;
    r->run = r->t.Run(c.request, "", "* approve", record);
    ASSERT_EQ(0, r->run.ResultCode()) << r->run.log;
    r->steps = ReadSteps(r->run.stepLog);
    ASSERT_GT(r->steps.size(), 20u) << "the shim listed no steps";
}

int CodeOf(const std::string& response) {
    RunResult r;
    r.response = response;
    return r.ResultCode();
}

std::string Entry(const DirImage& image, const std::string& path, bool* present = nullptr) {
    auto it = image.find(path);
    if (present != nullptr) *present = it != image.end();
    return it == image.end() ? "" : it->second;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The daily log or its directory (not the start-up probe in it).
bool IsLog(const std::string& path) {
    return (path.rfind("LOG/", 0) == 0 && !Has(path, ".cache")) || path == "LOG";
}

// Record files that are not whole.
std::vector<std::string> Torn(const DirImage& image) {
    static const struct {
        const char* path;
        size_t size;     // exact size, or 0 for whole entries of `entry` bytes
        size_t entry;
    } kRecords[] = {
        {"DATA/BATCH.CFG", 60, 0}, {"DATA/VERSION", 4, 0}, {"DATA/RVS.SAV", 948, 0},
        {"DATA/RVSLAST.SAV", 948, 0}, {"DATA/TRANS.CFG", 0, 122},
    };
    std::vector<std::string> torn;
    for (const auto& r : kRecords) {
        bool present = false;
        size_t size = Entry(image, r.path, &present).size();
        if (present && (r.size != 0 ? size != r.size : size % r.entry != 0))
            torn.push_back(std::string("torn record ") + r.path + " of " + std::to_string(size) + " bytes");
    }
    const std::string response = Entry(image, "RAVORS.XML");
    if (!response.empty() && (response.rfind("<OperationResultRs>\n", 0) != 0 || !Has(response, "</OperationResultRs>\n")))
        torn.push_back("part of a response in RAVORS.XML");
    return torn;
}

// The settlement amount field as the terminal sends it.
std::string Field97(long long net) {
    char text[32];
    snprintf(text, sizeof(text), "%c%016lld", net < 0 ? 'C' : 'D', net < 0 ? -net : net);
    return text;
}

// Runs the next call in t and tells what is wrong afterwards. shown: the
// cashier saw the operation's approval; prior: the host's lines before the
// operation; views: its lines as the bank may hold them (each must agree).
std::vector<std::string> CheckNext(Terminal& t, const OpCase& c, bool shown, const std::string& prior,
                                   const std::vector<std::string>& views) {
    std::vector<std::string> wrong;
    RunResult next = t.Run(c.next, "", "* approve");
    const int expected = c.kind == Kind::ReverseLast && shown ? 1046 : 0;
    if (next.ResultCode() != expected)
        wrong.push_back("the next call answered " + std::to_string(next.ResultCode()) + ", not " +
                        std::to_string(expected) + "\n" + next.response + next.log);
    for (const std::string& torn : Torn(TakeImage(t.Path()))) wrong.push_back(torn + " after the next call");
    const SBatchInfo batch = t.Batch();
    if (batch.ucReversal && t.Exists("DATA/RVS.SAV")) wrong.push_back("a reversal is still pending");

    const Ledger before = HostLedger(prior);
    // A reverse-last tried again completes; the reversal of an answer never published always goes.
    const bool stands = c.kind == Kind::ReverseLast || c.kind == Kind::Recovery || (shown && c.kind != Kind::CloseDay);
    const Ledger want = stands ? Plus(before, c.effect) : before;
    const Ledger till = BatchLedger(batch), journal = JournalLedger(t.Journal());
    if (till != want)
        wrong.push_back(std::string("the till counts ") + till.Text() + ", the cashier's view " + want.Text());
    if (journal != till) wrong.push_back("the journal counts " + journal.Text() + ", the batch " + till.Text());
    for (const std::string& view : views) {
        const std::string history = prior + view + next.host;
        const Ledger bank = HostLedger(history);
        if (bank != till) wrong.push_back("the bank counts " + bank.Text() + ", the till " + till.Text() + "\n" + history);
        if (c.kind != Kind::CloseDay) continue;
        // Every settlement of the batch carries what the bank counted before it.
        std::istringstream in(history);
        std::string seen;
        for (std::string line; std::getline(in, line); seen += line + "\n") {
            if (line.rfind("REQ ", 0) != 0 || TraceWord(line, "mti") != "1520") continue;
            const std::string sent = TraceWord(line, "f97"), owed = Field97(HostLedger(seen).Net());
            if (sent != owed) wrong.push_back("a settlement sent " + sent + ", the bank counted " + owed);
        }
    }
    if (c.kind == Kind::CloseDay) {
        if (batch.ucOpened || batch.ucClosing) wrong.push_back("the batch is not closed after the next CloseDay");
        if (shown && !HostRequests(next.host, "1520").empty()) wrong.push_back("a day shown closed is settled again");
    }
    return wrong;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// ------------------------------------------------------------------ power cut

// What the cases cut the operation at: one per distinct state of the records
// (the log and TEMP aside) and of what the bank may have seen.
struct Cut {
    std::string name;
    DirImage image;
    size_t hostLow, hostHigh;  // the bank's lines when the power went: somewhere between these lengths
};

// Walks the steps: checks what needs no next call (torn records, flushed log
// lines lost) of every cut, and hands back the cuts with a state of their
// own, in order.
std::vector<Cut> Cuts(const Recording& r, std::vector<std::string>* wrong) {
    std::vector<Cut> cuts;
    std::set<std::string> keys;
    PowerCutModel model(r.before);
    // Log file -> its content when its last line was written: flushed and, for
    // a new file, LOG flushed after it (the one call writes both).
    std::map<std::string, std::string> flushedLog, flushing;
    for (size_t k = 0; k <= r.steps.size(); ++k) {
        if (k > 0) {
            const FsStep& s = r.steps[k - 1];
            model.Apply(s);
            const bool logFlush = (s.kind == "fsync" || s.kind == "fdatasync") && IsLog(s.path) && s.content;
            if (!logFlush) {
                for (const auto& f : flushing) flushedLog[f.first] = f.second;
                flushing.clear();
            }
            if (logFlush) flushing[s.path] = *s.content;
        }
        const std::string at = k == 0 ? "before the first step" : "after step " + Describe(r.steps[k - 1]);
        const size_t low = k == 0 ? 0 : r.steps[k - 1].hostBytes;
        const size_t high = k < r.steps.size() ? r.steps[k].hostBytes : r.run.host.size();
        for (bool durable : {true, false}) {
            const std::string name = std::string(durable ? "power cut " : "kill ") + at;
            DirImage image = durable ? model.Durable() : model.InOrder();
            for (const std::string& torn : Torn(image)) wrong->push_back(name + ": " + torn);
            for (const auto& log : flushedLog) {
                if (durable && Entry(image, log.first).compare(0, log.second.size(), log.second) != 0)
                    wrong->push_back(name + ": flushed lines of " + log.first + " lost");
            }
            if (durable && !flushedLog.empty() && (!image.count("LOG/") || !image.count("TEMP/")))
                wrong->push_back(name + ": LOG or TEMP gone after the first flushed log line");
            // The bank's lines by their requests and answers: when a connection's
            // end is traced varies from run to run.
            std::string key = std::to_string(Count(HostCut(r.run.host, low), "REQ ")) + " " +
                              std::to_string(Count(HostCut(r.run.host, low), "ANS ")) + " " +
                              std::to_string(Count(HostCut(r.run.host, high), "REQ ")) + " " +
                              std::to_string(Count(HostCut(r.run.host, high), "ANS "));
            // Nothing reads a temporary record file: one is written over whole.
            for (const auto& e : image) {
                if (e.first.rfind("LOG/", 0) == 0 || e.first.rfind("TEMP/", 0) == 0 || Has(e.first, ".cache") ||
                    (e.first.rfind("DATA/", 0) == 0 && EndsWith(e.first, ".tmp")))
                    continue;
                key += "\n" + e.first + "=" + std::to_string(e.second.size()) + ":" + e.second;
            }
            if (keys.insert(key).second) cuts.push_back(Cut{name, image, low, high});
        }
    }
    return cuts;
}

// The cut's next call, in a terminal of its own.
std::vector<std::string> RunCut(const OpCase& c, const Recording& r, const Cut& cut) {
    Terminal t;
    PutImage(t.Path(), cut.image);
    const bool shown = CodeOf(Entry(cut.image, "RAVORS.XML")) == 0;
    std::vector<std::string> views = {HostCut(r.run.host, cut.hostLow)};
    if (cut.hostHigh != cut.hostLow) views.push_back(HostCut(r.run.host, cut.hostHigh));
    return CheckNext(t, c, shown, r.prior, views);
}

constexpr int kShards = 2;  // of the I/O-error table; a power-cut case is one test

struct ShardParam {
    int op;
    int shard;
};

std::vector<ShardParam> Shards(int ops) {
    std::vector<ShardParam> all;
    for (int op = 0; op < ops; ++op)
        for (int s = 0; s < kShards; ++s) all.push_back({op, s});
    return all;
}

void PrintTo(const ShardParam& p, std::ostream* os) { *os << Ops()[p.op].name << " shard " << p.shard; }

std::string ShardName(const ::testing::TestParamInfo<ShardParam>& info) {
    return std::string(Ops()[info.param.op].name) + "_" + std::to_string(info.param.shard);
}

class PowerCut : public ::testing::TestWithParam<int> {};

TEST_P(PowerCut, AfterEveryStepTheNextCallSettlesIt) {
    const OpCase& c = Ops()[GetParam()];
    Recording r;
    Record(c, {}, &r);
    if (HasFatalFailure()) return;
    std::vector<std::string> wrong;
    std::vector<Cut> cuts = Cuts(r, &wrong);
    EXPECT_TRUE(wrong.empty()) << Lines(wrong);
    for (const Cut& cut : cuts) {
        std::vector<std::string> after = RunCut(c, r, cut);
        EXPECT_TRUE(after.empty()) << cut.name << ":\n" << Lines(after);
    }
}

INSTANTIATE_TEST_SUITE_P(Durability, PowerCut, ::testing::Range(0, kPowerCutOps),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(Ops()[info.param].name); });

// The same table finds the faults of a build whose directory flushes do
// nothing: the day's log vanishes, and an approved sale is lost to the till
// while the bank keeps it.
TEST(Durability, PowerCutFindsMissingDirectoryFlushes) {
    const OpCase& c = Ops()[0];
    Recording r;
    Record(c, {"E2E_NO_DIRSYNC=1"}, &r);
    if (HasFatalFailure()) return;
    std::vector<std::string> wrong;
    std::vector<Cut> cuts = Cuts(r, &wrong);
    EXPECT_TRUE(Has(Lines(wrong), "flushed lines of LOG/")) << Lines(wrong);
    bool lost = false;
    for (size_t i = 0; i < cuts.size() && !lost; ++i) {
        if (cuts[i].name.rfind("power cut", 0) != 0) continue;
        lost = Has(Lines(RunCut(c, r, cuts[i])), "the bank counts");
    }
    EXPECT_TRUE(lost) << "no power cut left the bank and the till apart";
}

// ------------------------------------------------------------------ I/O errors

// The record files and the response, whose every call the table fails.
bool IsRecord(const std::string& path) {
    static const char* const kRecords[] = {"DATA/BATCH.CFG", "DATA/TRANS.CFG", "DATA/RVS.SAV", "DATA/RVSLAST.SAV",
                                           "DATA/VERSION", "RAVORS.XML"};
    for (const char* r : kRecords)
        if (path.rfind(r, 0) == 0) return true;
    return false;
}

// The calls the table fails: those on the records and the response (a
// directory's flush counts with the file whose name it makes durable), of a
// record file replaced whole one of the three calls that write its
// temporary (they fail alike: the old file stays), in turn, then its rename
// and its directory's flush; of the others (the log, the start-up probes,
// the pad's TLS files kept in DATA), whose failures stop the call before the
// bank is asked or are only logged, the first of each kind, of the log's
// too, and of the log's once the bank has answered (a failing log must not
// stop an operation).
std::vector<const FsStep*> Faultable(const std::vector<FsStep>& steps, size_t answered) {
    static const char* const kWrites[] = {"create", "write", "fsync"};
    std::vector<const FsStep*> out;
    std::set<std::string> kinds;
    std::map<std::string, std::string> named;  // directory -> the file last named in it
    int replaced = 0;                          // record files replaced so far
    for (const FsStep& s : steps) {
        const std::string& name = s.kind == "rename" ? s.to : s.path;
        if (s.kind == "create" || s.kind == "rename" || s.kind == "unlink" || s.kind == "mkdir")
            named[name.find('/') == std::string::npos ? "." : name.substr(0, name.rfind('/'))] = name;
        const bool temporary = IsRecord(s.path) && s.path.rfind("DATA/", 0) == 0 && EndsWith(s.path, ".tmp");
        if (temporary && s.kind == "create") ++replaced;
        if (s.fault == 0) continue;
        const std::string owner = s.kind == "dirsync" ? named[s.path] : name;
        const std::string group = !IsLog(owner) ? "" : s.hostBytes >= answered ? "answered log " : "log ";
        if (temporary && s.kind != kWrites[(replaced + 2) % 3]) continue;
        if (IsRecord(owner) || kinds.insert(group + s.kind).second) out.push_back(&s);
    }
    return out;
}

// What the next call's course depends on, without the times and reference
// numbers that differ from run to run: cases that leave the same need one
// next call.
std::string NextCallKey(const Terminal& t, bool shown, const std::string& host) {
    std::ostringstream key;
    key << shown << " bank " << Count(host, "REQ ") << "/" << Count(host, "ANS ") << " " << HostLedger(host).Text();
    const SBatchInfo batch = t.Batch();
    key << " batch " << t.Exists("DATA/BATCH.CFG") << ":" << std::string(reinterpret_cast<const char*>(&batch), sizeof(batch));
    key << " version " << emu::ReadFile(t.Path() + "/DATA/VERSION");
    for (const SOpStoreEntry& e : t.Journal()) key << " entry " << int(e.ucOpType) << ":" << e.usOriginalCode;
    for (const char* file : {"DATA/RVS.SAV", "DATA/RVSLAST.SAV"}) {
        const std::string raw = emu::ReadFile(t.Path() + "/" + file);
        key << " " << file << " " << raw.size();
        if (raw.size() == sizeof(S_PAY_ORDER)) {
            const S_PAY_ORDER* order = reinterpret_cast<const S_PAY_ORDER*>(raw.data());
            key << ":" << int(order->ucOpType) << ":" << order->usOriginalCode;
        }
    }
    const std::string unpublished = emu::ReadFile(t.Path() + "/RAVORS.XML.tmp");
    key << " unpublished " << t.Exists("RAVORS.XML.tmp") << ":" << CodeOf(unpublished) << ":"
        << Has(unpublished, "<OriginalCode>") << Has(unpublished, "<CardNo>");
    return key.str();
}

class IoError : public ::testing::TestWithParam<ShardParam> {};

TEST_P(IoError, AFailedCallIsNeverAnApprovalLost) {
    const OpCase& c = Ops()[GetParam().op];
    const int shard = GetParam().shard;
    Recording probe;
    Record(c, {}, &probe);
    if (HasFatalFailure()) return;
    const std::vector<const FsStep*> calls = Faultable(probe.steps, probe.run.host.size());
    // The first log line's calls (its flush, and the flush of LOG after it):
    // the call stops without it; no later log failure may change the answer.
    int firstLine = 0;
    for (size_t i = 0; i < probe.steps.size(); ++i) {
        if (!IsLog(probe.steps[i].path) || probe.steps[i].kind != "fsync") continue;
        firstLine = probe.steps[i].fault;
        if (i + 1 < probe.steps.size() && probe.steps[i + 1].kind == "dirsync" && probe.steps[i + 1].path == "LOG")
            firstLine = probe.steps[i + 1].fault;
        break;
    }

    std::set<std::string> nextCalls;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (static_cast<int>(i % kShards) != shard) continue;
        const FsStep& call = *calls[i];
        SCOPED_TRACE("failed call " + std::to_string(call.fault) + ": " + Describe(call));
        // The operation starts from the directory the probe's did.
        Terminal t;
        PutImage(t.Path(), probe.before);
        const std::string& prior = probe.prior;
        KillAt fail;
        fail.failCall = call.fault;
        RunResult failed = t.Run(c.request, "", "* approve", fail);
        const DirImage image = TakeImage(t.Path());
        std::vector<std::string> wrong = Torn(image);
        for (const auto& e : image) {
            if (e.first.rfind("DATA/", 0) == 0 && EndsWith(e.first, ".tmp"))
                wrong.push_back("temporary record file left: " + e.first);
        }
        const bool shown = failed.ResultCode() == 0;
        if (IsLog(call.path) && call.fault > firstLine && !shown)
            wrong.push_back("a failed log line stopped the operation: " + failed.response + failed.log);
        if (shown) {
            // An answer 0 only for an operation that stands at the bank and in the records.
            const Ledger want = Plus(HostLedger(prior), c.effect);
            const Ledger bank = HostLedger(prior + failed.host), till = BatchLedger(t.Batch());
            const Ledger journal = JournalLedger(t.Journal());
            if (bank != want || till != want || journal != want)
                wrong.push_back("approved, but the bank counts " + bank.Text() + ", the batch " + till.Text() +
                                ", the journal " + journal.Text() + "; want " + want.Text());
            if (c.kind == Kind::CloseDay && (t.Batch().ucOpened || HostRequests(failed.host, "1520").empty()))
                wrong.push_back("a day close approved without a settled batch");
        }
        if (nextCalls.insert(NextCallKey(t, shown, failed.host)).second) {
            std::vector<std::string> after = CheckNext(t, c, shown, prior, {failed.host});
            wrong.insert(wrong.end(), after.begin(), after.end());
        }
        EXPECT_TRUE(wrong.empty()) << "answered " << failed.ResultCode() << ":\n" << Lines(wrong) << failed.log;
    }
}

INSTANTIATE_TEST_SUITE_P(Durability, IoError, ::testing::ValuesIn(Shards(static_cast<int>(Ops().size()))), ShardName);

}  // namespace
}  // namespace e2e

// tests/e2e/terminal.cpp
#include "tests/e2e/terminal.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iconv.h>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kernel/ranges.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace e2e {
namespace {

using emu::ReadFile;

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

long NowMs() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The pad shows Windows-1251; the tests compare UTF-8.
std::string FromCp1251(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string out(text.size() * 3 + 1, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size(), outLeft = out.size();
    char* o = &out[0];
    iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// One PKI per test program: making keys is the slow part of a set-up.
const std::string& Pki() {
    static std::unique_ptr<TempDir> dir;
    if (!dir) {
        dir.reset(new TempDir(false));
        if (!emu::MakeTestPki(dir->file("pki"))) ADD_FAILURE() << "test PKI not made";
    }
    static const std::string path = dir->file("pki");
    return path;
}

}  // namespace

const std::string& TestPki() { return Pki(); }

namespace {

// Two ranges, searched from the last: cards starting with 4 ask for a PIN,
// every other card falls back to the first, which does not.
std::string RangeTable() {
    SRangeEntry entries[2];
    memset(entries, 0, sizeof(entries));
    strcpy(entries[0].szPrefix, "*");
    strcpy(entries[0].szPaySysName, "OTHER");
    strcpy(entries[1].szPrefix, "4");
    strcpy(entries[1].szPaySysName, "VISA");
    for (int i = 0; i < 2; ++i) {
        entries[i].ucPinFlag = i == 1 ? 1 : 0;
        entries[i].ucChipFlag = 1;
        entries[i].ucReturnFlag = 1;
        entries[i].ucBalanceFlag = 1;
    }
    return std::string(reinterpret_cast<const char*>(entries), sizeof(entries));
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& dir, const std::string& out,
            const std::vector<std::string>& env = {}) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // Nothing a test started outlives the test program.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        for (const auto& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// A sanitizer's report from a child goes to files beside the run's own
// (base.san.<pid>); what the system programs Ravo runs leak is theirs.
std::vector<std::string> SanitizerEnv(const std::string& base) {
    std::vector<std::string> env;
    const std::pair<const char*, std::string> added[] = {
        {"ASAN_OPTIONS", "log_path=" + base + ".san"},
        {"UBSAN_OPTIONS", "log_path=" + base + ".san"},
        {"LSAN_OPTIONS", "suppressions=" RAVO_SOURCE_DIR "/scripts/lsan.supp"},
    };
    for (const auto& a : added) {
        const char* inherited = getenv(a.first);
        std::string options = inherited != nullptr && *inherited != '\0' ? std::string(inherited) + ":" : "";
        env.push_back(std::string(a.first) + "=" + options + a.second);
    }
    return env;
}

// Both emulators are told to end at once, then awaited (2 s each at most).
void Stop(pid_t a, pid_t b) {
    for (pid_t pid : {a, b})
        if (pid > 0) kill(pid, SIGTERM);
    for (pid_t pid : {a, b}) {
        if (pid <= 0) continue;
        if (emu::WaitFor([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 2000)) continue;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

}  // namespace

std::string RunResult::Field(const std::string& tag) const {
    std::string open = "<" + tag + ">", close = "</" + tag + ">";
    size_t b = response.find(open);
    if (b == std::string::npos) return "";
    b += open.size();
    size_t e = response.find(close, b);
    return e == std::string::npos ? "" : response.substr(b, e - b);
}

int RunResult::ResultCode() const {
    std::string code = Field("ResultCode");
    return code.empty() ? -1 : atoi(code.c_str());
}

Terminal::Terminal() {
    std::string tmpl = TestScratchRoot() + "/ravo-e2e-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_root = tmpl;
    m_pay = m_root + "/pay";
    mkdir(m_pay.c_str(), 0777);
    mkdir((m_pay + "/DATA").c_str(), 0777);
    symlink(RAVO_BIN, (m_pay + "/Ravo").c_str());
    symlink(RAVO_LIB, (m_pay + "/libRAVOux.so").c_str());
    WriteFile(m_pay + "/DATA/RANGE.CFG", RangeTable());
    config = {
        {"TERMINALID", "TERM0001"}, {"HOST", "127.0.0.1"},      {"KWRMHOST", "127.0.0.1"},
        {"OPENKEY", "0123456789ABCDEF0123456789ABCDEF"},        {"ENABLEDCURRENCY", "BYN|USD|"},
        {"CHEQUEWIDTH", "32"},                                  {"HOLDONS", "3"},
    };
    config["KWRMPORT"] = std::to_string(m_noManager.port());
}

Terminal::~Terminal() {
    RemoveTree(m_root);
}

RunResult Terminal::Serve(const std::string& padScenario, const std::string& hostScenario,
                          const std::function<void(const std::string& base, RunResult& r)>& body) {
    RunResult r;
    const std::string& pki = Pki();
    std::string base = m_root + "/run" + std::to_string(++m_runs);
    std::string padScn = base + ".pad.scn", padPty = base + ".pty", padTrace = base + ".pad.trace";
    std::string hostScn = base + ".host.scn", hostPort = base + ".port", hostTrace = base + ".host.trace";

    const std::string set = pki + "/" + tlsSet;
    WriteFile(padScn, "card=stripe\npin=entered\nconfirm=yes\n"
                      "file_from=SSLA:" + set + "/SSLA\nfile_from=SSLC:" + set + "/SSLC\n"
                      "file_from=SSLK:" + set + "/SSLK\nkey=TK:1:A1B2C3\nfile=EMVCFG:TESTEMVCONFIG\n" +
                      padScenario + "\n");
    WriteFile(hostScn, hostScenario + "\n");

    pid_t pad = Spawn({PAD_EMU, "-s", padScn, "-p", padPty, "-t", padTrace, "-d", base + ".card"}, "",
                      base + ".pad.out", SanitizerEnv(base));
    const std::string hostCerts = hostCertDir.empty() ? pki : pki + "/" + hostCertDir;
    pid_t host = Spawn({HOST_EMU, "--cert", hostCerts + "/host.crt", "--key", hostCerts + "/host.key", "--ca", pki + "/ca.crt",
                        "--port", "0", "--port-file", hostPort, "--scenario", hostScn, "--trace", hostTrace, "--idle", "60"},
                       "", base + ".host.out", SanitizerEnv(base));
    std::string pty, port;
    emu::WaitFor(
        [&] {
            if (pty.empty()) std::istringstream(ReadFile(padPty)) >> pty;
            if (port.empty()) std::istringstream(ReadFile(hostPort)) >> port;
            return !pty.empty() && !port.empty();
        },
        5000);
    EXPECT_FALSE(pty.empty()) << "pad emulator did not start";
    EXPECT_FALSE(port.empty()) << "host emulator did not start";
    emu::SCardData card;
    if (emu::ReadCardData(base + ".card", &card)) {
        bool known = false;
        for (const auto& c : m_cards) known |= c.pan == card.pan && c.track2 == card.track2 && c.pinBlock == card.pinBlock;
        if (!known) m_cards.push_back(card);
    } else {
        ADD_FAILURE() << "pad emulator did not list its card data";
    }

    config["SECPORT"] = port;
    std::string ini;
    for (const auto& kv : config) ini += kv.first + "=" + kv.second + "\n";
    WriteFile(m_pay + "/DATA/CONFIG.INI", ini);
    WriteFile(m_pay + "/DATA/DEVICE.INI", "COMPORT=1\nCOMDEVICE=" + pty + "\nLOGLEVEL=3\n");
    unlink((m_pay + "/RAVORS.XML").c_str());
    emu::ClearLog(m_pay + "/LOG");

    body(base, r);

    Stop(pad, host);
    CheckRun(base);
    r.response = ReadFile(m_pay + "/RAVORS.XML");
    r.log = emu::ReadLog(m_pay + "/LOG");
    r.pad = FromCp1251(ReadFile(padTrace));
    r.host = ReadFile(hostTrace);
    m_hostHistory += r.host;
    return r;
}

RunResult Terminal::RunVia(const std::function<void()>& launch, const std::string& padScenario,
                           const std::string& hostScenario) {
    return Serve(padScenario, hostScenario, [&launch](const std::string&, RunResult& r) {
        long start = NowMs();
        launch();
        r.elapsedMs = NowMs() - start;
    });
}

void Terminal::RunRavo(const std::string& base, const KillAt& kill, RunResult& r) {
    const std::string padTrace = base + ".pad.trace", hostTrace = base + ".host.trace";
    const std::string events = base + ".events";
    std::vector<std::string> libs, env;
    if (kill.fileEvent != 0) {
        libs.push_back(CRASH_LIB);
        env = {"E2E_CRASH_AT=" + std::to_string(kill.fileEvent > 0 ? kill.fileEvent : 0), "E2E_CRASH_LOG=" + events};
    }
    if (kill.recordSteps || kill.failCall != 0) {
        if (libs.empty()) libs.push_back(CRASH_LIB);
        env.push_back("E2E_HOST_TRACE=" + hostTrace);
        if (kill.recordSteps) {
            r.stepLog = base + ".steps";
            env.push_back("E2E_STEP_LOG=" + r.stepLog);
        }
        if (kill.failCall != 0) env.push_back("E2E_FAIL_AT=" + std::to_string(kill.failCall));
    }
    libs.insert(libs.end(), preload.begin(), preload.end());
    bool paced = false;
    for (const auto& e : this->env) paced |= e.rfind("E2E_CLOCK_SCALE=", 0) == 0 || e.rfind("E2E_SLEEP_SCALE=", 0) == 0;
    if (!paced && pauseScale > 1) {
        env.push_back("E2E_SLEEP_SCALE=" + std::to_string(pauseScale));
        paced = true;
    }
    if (paced && std::find(libs.begin(), libs.end(), FASTCLOCK_LIB) == libs.end()) libs.push_back(FASTCLOCK_LIB);
    if (!libs.empty()) {
        std::string joined;
        for (const auto& lib : libs) joined += (joined.empty() ? "" : ":") + lib;
        env.push_back("LD_PRELOAD=" + emu::PreloadValue(joined));
    }
    std::vector<std::string> sanitizer = SanitizerEnv(base);
    env.insert(env.end(), sanitizer.begin(), sanitizer.end());
    env.insert(env.end(), this->env.begin(), this->env.end());
    if (beforeLaunch) beforeLaunch(m_pay);
    long start = NowMs();
    pid_t ravo = Spawn({"./Ravo"}, m_pay, base + ".ravo.out", env);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(ravo, &status, WNOHANG);
        if (done == ravo) break;
        long elapsed = NowMs() - start;
        bool fire = (!kill.hostTrace.empty() && Has(ReadFile(hostTrace), kill.hostTrace)) ||
                    (!kill.padTrace.empty() && Has(ReadFile(padTrace), kill.padTrace));
        if (elapsed > 240000) {
            ADD_FAILURE() << "Ravo did not finish in time";
            fire = true;
        }
        if (fire) {
            ::kill(ravo, SIGKILL);
            waitpid(ravo, &status, 0);
            break;
        }
        usleep(2000);
    }
    r.elapsedMs = NowMs() - start;
    r.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream ev(ReadFile(events));
    for (std::string line; std::getline(ev, line);) r.fileEvents.push_back(line);
}

RunResult Terminal::Run(const std::string& request, const std::string& padScenario, const std::string& hostScenario,
                        const KillAt& kill) {
    return Serve(padScenario, hostScenario, [&](const std::string& base, RunResult& r) {
        WriteFile(m_pay + "/RAVORQ.XML", request);
        RunRavo(base, kill, r);
    });
}

std::pair<RunResult, RunResult> Terminal::RunKilledThen(const std::string& first, const KillAt& kill, int pauseMs,
                                                        const std::string& next, const std::string& padScenario,
                                                        const std::string& hostScenario,
                                                        const std::function<void()>& between) {
    RunResult killed;
    std::string base;
    size_t padMark = 0, hostMark = 0;
    RunResult after = Serve(padScenario, hostScenario, [&](const std::string& b, RunResult& r) {
        base = b;
        WriteFile(m_pay + "/RAVORQ.XML", first);
        RunRavo(base, kill, killed);
        CheckRun(base);
        killed.response = ReadFile(m_pay + "/RAVORS.XML");
        killed.log = emu::ReadLog(m_pay + "/LOG");
        padMark = ReadFile(base + ".pad.trace").size();
        hostMark = ReadFile(base + ".host.trace").size();
        unlink((m_pay + "/RAVORS.XML").c_str());
        emu::ClearLog(m_pay + "/LOG");
        unlink((base + ".events").c_str());
        if (pauseMs > 0) usleep(static_cast<useconds_t>(pauseMs) * 1000);
        if (between) between();
        WriteFile(m_pay + "/RAVORQ.XML", next);
        RunRavo(base, KillAt(), r);
    });
    std::string pad = ReadFile(base + ".pad.trace");
    killed.pad = FromCp1251(pad.substr(0, padMark));
    after.pad = FromCp1251(pad.substr(std::min(padMark, pad.size())));
    killed.host = after.host.substr(0, std::min(hostMark, after.host.size()));
    after.host = after.host.substr(std::min(hostMark, after.host.size()));
    return {killed, after};
}

void Terminal::CheckRun(const std::string& base) {
    for (const std::string& finding : emu::ScanPaymentDir(m_pay, m_cards)) ADD_FAILURE() << "card data kept: " << finding;
    std::string dir = base.substr(0, base.rfind('/')), prefix = base.substr(base.rfind('/') + 1) + ".san.";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind(prefix, 0) != 0) continue;
            ADD_FAILURE() << "sanitizer report of process " << name.substr(prefix.size()) << ":\n"
                          << ReadFile(dir + "/" + name);
            unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    // Undefined-behaviour reports go to the standard error, which is kept in these.
    for (const char* out : {".ravo.out", ".pad.out", ".host.out"}) {
        std::string text = ReadFile(base + out);
        size_t at = text.find("runtime error:");
        if (at == std::string::npos) continue;
        ADD_FAILURE() << "undefined behaviour in " << base << out << ":\n" << text.substr(at > 300 ? at - 300 : 0);
        truncate((base + out).c_str(), 0);
    }
}

void Terminal::UseLibraryCopy() {
    // The built library already carries its versioned name.
    std::string built = RAVO_LIB;
    std::string versioned = built.substr(built.rfind('/') + 1);
    std::string bytes = ReadFile(RAVO_LIB);
    WriteFile(m_pay + "/" + versioned, bytes);
    chmod((m_pay + "/" + versioned).c_str(), 0755);
    unlink((m_pay + "/libRAVOux.so").c_str());
    if (symlink(versioned.c_str(), (m_pay + "/libRAVOux.so").c_str()) != 0) ADD_FAILURE() << "library link not made";
}

bool Terminal::Exists(const std::string& name) const { return access((m_pay + "/" + name).c_str(), F_OK) == 0; }

SBatchInfo Terminal::Batch() const {
    SBatchInfo b;
    memset(&b, 0, sizeof(b));
    std::string data = ReadFile(m_pay + "/" BATCH_FILE);
    memcpy(&b, data.data(), std::min(data.size(), sizeof(b)));
    return b;
}

std::vector<SOpStoreEntry> Terminal::Journal() const {
    std::string data = ReadFile(m_pay + "/" OPSTORE_FILE);
    std::vector<SOpStoreEntry> out(data.size() / sizeof(SOpStoreEntry));
    if (!out.empty()) memcpy(out.data(), data.data(), out.size() * sizeof(SOpStoreEntry));
    return out;
}

std::string Request(const std::string& op, long amount, const std::string& extra) {
    std::string r = "<OperationDataRq><OperationType>" + op + "</OperationType>";
    if (amount >= 0) r += "<Amount>" + std::to_string(amount) + "</Amount>";
    return r + "<Currency>BYN</Currency>" + extra + "</OperationDataRq>";
}

std::string CaseName(const std::string& text) {
    std::string name;
    for (char ch : text) name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

void Snapshot(const std::string& root, const std::string& rel, std::map<std::string, std::string>* out) {
    DIR* d = opendir((root + "/" + rel).c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = rel.empty() ? name : rel + "/" + name;
        std::string full = root + "/" + path;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[512];
            ssize_t n = readlink(full.c_str(), target, sizeof(target) - 1);
            (*out)[path] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            Snapshot(root, path, out);
        } else {
            (*out)[path] = ReadFile(full);
        }
    }
    closedir(d);
}

bool Has(const std::string& text, const std::string& part) { return emu::Has(text, part); }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<std::string> HostRequests(const std::string& trace, const std::string& mti) {
    std::vector<std::string> out;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("REQ ", 0) == 0 && (mti.empty() || Has(line, " mti=" + mti + " "))) out.push_back(line);
    return out;
}

long long AmountOf(const SBigInt& v) {
    long long value = static_cast<long long>(v.ulHigh) * 1000000000LL + v.ulLow;
    return v.ucSign == 1 ? -value : value;
}

}  // namespace e2e

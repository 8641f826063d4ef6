// ravo-check run as a field engineer runs it, in payment directories of the
// end-to-end fixture against the emulated pad, host and terminal manager:
// against sound peers every item is OK and the exit status 0; each planted
// fault is named on its own item's line, the other items stay OK (or say why
// they could not be checked), and the exit status is 1. Whatever it finds,
// the check loads nothing into the pad, opens no manager session and leaves
// the payment directory as it was but for its log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/common/certs.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"
#include "tests/e2e/terminal.h"

namespace e2e {
namespace {

using emu::ReadFile;

// The items in the order the program takes them.
const char* const kItems[] = {"directories", "CONFIG.INI", "DEVICE.INI", "pad", "card ranges",
                              "TLS files",   "host",       "manager",    "clock"};
constexpr size_t kItemCount = sizeof(kItems) / sizeof(kItems[0]);

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct Line {
    std::string verdict;  // OK, WARN, FAIL
    size_t item;          // index in kItems
    std::string text;     // the whole line
};

struct CheckOutcome {
    int exitCode = -1;
    long elapsedMs = 0;
    std::string out, err;
    std::vector<Line> lines;
    std::vector<std::string> strays;  // lines of no item
};

// Runs ravo-check in pay with the fast-clock shim and the environment given.
CheckOutcome RunCheck(const std::string& pay, const std::vector<std::string>& env,
                      const std::vector<std::string>& args = {}, const std::string& preload = "") {
    CheckOutcome o;
    const std::string outFile = pay + "/../check.out", errFile = pay + "/../check.err";
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(pay.c_str()) != 0) _exit(126);
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        setenv("LD_PRELOAD", emu::PreloadValue(FASTCLOCK_LIB + (preload.empty() ? "" : ":" + preload)).c_str(), 1);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(RAVO_CHECK_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(RAVO_CHECK_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    o.elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.out = ReadFile(outFile);
    o.err = ReadFile(errFile);
    size_t at = 0;
    while (at < o.out.size()) {
        size_t end = o.out.find('\n', at);
        if (end == std::string::npos) end = o.out.size();
        std::string text = o.out.substr(at, end - at);
        at = end + 1;
        Line line;
        line.text = text;
        line.verdict = text.substr(0, text.find(' '));
        std::string rest = text.size() > 5 ? text.substr(5) : "";
        line.item = kItemCount;
        for (size_t i = 0; i < kItemCount; ++i)
            if (rest.rfind(kItems[i], 0) == 0) line.item = i;
        if (line.item == kItemCount || text.compare(0, 5, line.verdict + std::string(5 - line.verdict.size(), ' ')) != 0)
            o.strays.push_back(text);
        else
            o.lines.push_back(line);
    }
    return o;
}

// Sets of the genuine CA's key in the PKI: "expired", whose terminal
// certificate ended on 2021-01-01; "ending", whose terminal certificate ends
// in ten days; and "future-ca", whose SSLA is the CA again (same name and
// key) from 2040 on, as a till whose clock was set back would see it.
void MakeSets() {
    const std::string pki = TestPki();
    if (access((pki + "/ending/SSLA").c_str(), F_OK) == 0) return;
    CertOrder terminal;
    terminal.subject = "C=BY,O=RAVO Test,CN=TERM0001";
    terminal.keyFile = pki + "/sha256/SSLK";
    terminal.issuerKeyFile = pki + "/ca.key";
    terminal.issuerName = "C=BY,O=RAVO Test,CN=RAVO Test CA";
    terminal.notAfter = "20210101000000";
    CertOrder ca;
    ca.subject = ca.issuerName = terminal.issuerName;
    ca.keyFile = ca.issuerKeyFile = pki + "/ca.key";
    ca.notBefore = "20400101000000";
    ca.notAfter = "20491231235959";
    ca.ca = true;
    CertOrder ending = terminal;
    char end[16];
    const time_t inTenDays = time(nullptr) + 10 * 86400 + 43200;  // ten days and a half: "10 days" all day
    struct tm utc;
    strftime(end, sizeof(end), "%Y%m%d%H%M%S", gmtime_r(&inTenDays, &utc));
    ending.notAfter = end;
    const struct {
        const char* dir;
        std::string ssla, sslc;
    } sets[] = {
        {"expired", ReadFile(pki + "/ca.crt"), MakeCert(terminal)},
        {"future-ca", MakeCert(ca), ReadFile(pki + "/sha256/SSLC")},
        {"ending", ReadFile(pki + "/ca.crt"), MakeCert(ending)},
    };
    for (const auto& set : sets) {
        const std::string dir = pki + "/" + set.dir;
        mkdir(dir.c_str(), 0777);
        WriteFile(dir + "/SSLC", set.sslc);
        WriteFile(dir + "/SSLK", ReadFile(pki + "/sha256/SSLK"));
        WriteFile(dir + "/SSLA", set.ssla);
    }
}

struct CheckCase {
    const char* name;
    const char* tlsSet;        // the terminal's TLS files the pad holds
    bool dataCopies;           // DATA holds copies of them, as after a first call
    const char* managerCert;   // the manager's certificate folder of the PKI, "" the genuine one
    std::map<std::string, std::string> config;  // CONFIG.INI keys set ("" removes the key)
    std::string hostScenario;
    std::function<void(const std::string& pay)> plant;  // just before the check
    std::vector<std::string> env;             // the check's environment (and a shim of its own below)
    std::map<std::string, std::string> fails;  // item -> a part of its FAIL line
    std::map<std::string, std::string> warns;  // item -> a part of its WARN line
    std::string preload = "";                  // a shim preloaded beside the fast clock
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

// The pad's device replaced in DEVICE.INI.
std::function<void(const std::string&)> Device(const std::string& path) {
    return [path](const std::string& pay) { WriteFile(pay + "/DATA/DEVICE.INI", "COMPORT=1\nCOMDEVICE=" + path + "\n"); };
}

// A pseudo-terminal nobody answers on: a port with nothing attached.
struct SilentPort {
    int master = -1;
    std::string path;
    SilentPort() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
    }
    ~SilentPort() {
        if (master >= 0) close(master);
    }
};
SilentPort& Silent() {
    static SilentPort port;
    return port;
}

// SECPORT replaced in CONFIG.INI.
std::function<void(const std::string&)> HostPort(uint16_t port) {
    return [port](const std::string& pay) {
        std::string config = ReadFile(pay + "/DATA/CONFIG.INI");
        const size_t at = config.find("SECPORT=");
        config.replace(at, config.find('\n', at) - at, "SECPORT=" + std::to_string(port));
        WriteFile(pay + "/DATA/CONFIG.INI", config);
    };
}

// A loopback port that takes connections (into its backlog) and never says a word.
struct SilentListener {
    int fd = -1;
    uint16_t port = 0;
    SilentListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof(a);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
    }
    ~SilentListener() { close(fd); }
};
uint16_t SilentListenerPort() {
    static SilentListener listener;
    return listener.port;
}
uint16_t ClosedHostPort() {
    static emu::ClosedPort closed;
    return closed.port();
}

// The 45 s of a silent host and the 30 s of link tests on a silent port pass
// in a tenth, and in a fiftieth on a plain build.
const std::vector<std::string> kFastWaits = {"E2E_CLOCK_SCALE=" + std::to_string(10 * kQuickLimits),
                                             "E2E_POLL_SCALE=" + std::to_string(10 * kQuickLimits)};

const CheckCase kCases[] = {
    {"a sound till on its first check", "sha256", false, "", {}, "* default", nullptr, {}, {}, {}},
    {"an older SHA-1 set-up", "sha1", true, "", {}, "* default", nullptr, {}, {},
     {{"TLS files", "SHA-1 set (TLS 1.0), from DATA's copies, the same as the pad's: SSLK is the key of SSLC"}}},
    {"a disk below the floor", "sha256", true, "", {}, "* default", nullptr, {"E2E_FREE_MB=12"},
     {{"directories", "12 MB free on the disk of the payment directory; more than 20 MB are needed: free some "
                      "space (a call stops here: Ravo exits 252, start-up code 1071)"}},
     {}, LOWDISK_LIB},
    {"a terminal certificate that ends in ten days", "ending", true, "", {}, "* default", nullptr, {}, {},
     {{"TLS files", "; SSLC ends in 10 days ("}}},
    {"a misspelt key", "sha256", true, "", {{"TERMINALID", ""}, {"TERMINALDI", "TERM0001"}}, "* default", nullptr, {},
     {{"CONFIG.INI", ": TERMINALID missing (is TERMINALDI a misspelling?)"}},
     {{"pad", "not checked: the settings do not load"},
      {"host", "not checked: the settings do not load"},
      {"manager", "not checked: the settings do not load"}}},
    {"a pad device that does not exist", "sha256", true, "", {}, "* default", Device("/nonexistent/pad"), {},
     {{"pad", "pad: device /nonexistent/pad not opened: No such file or directory: check COMPORT"}}, {}},
    {"a port with nothing attached", "sha256", true, "", {}, "* default", Device(Silent().path), kFastWaits,
     {{"pad", "no answer on " + Silent().path + " at 19200, 115200 bps"}}, {}},
    {"an expired terminal certificate", "expired", false, "", {}, "* default", nullptr, {},
     {{"TLS files", "the terminal's certificate SSLC expired on 2021-01-01 00:00:00 UTC"},
      {"host", "alert from the peer: certificate_expired (45)"},
      {"manager", "alert from the peer: certificate_expired (45)"},
      {"clock", "after the end of SSLC (2021-01-01 00:00:00 UTC)"}},
     {}},
    {"a clock before the CA's start", "future-ca", false, "", {}, "* default", nullptr, {},
     {{"TLS files", "a certificate is not valid yet (SSLC from "},
      {"host", "out of its dates on this clock: see the clock line"},
      {"manager", "out of its dates on this clock: see the clock line"},
      {"clock", "before the CA's start (2040-01-01 00:00:00 UTC): set the clock"}},
     {}},
    {"a silent host", "sha256", true, "", {}, "stall", nullptr, kFastWaits,
     {{"host", "TCP and TLSv1.2 handshake, but no answer to the echo within 45 s"}}, {}},
    {"a host port nobody listens on", "sha256", true, "", {}, "* default", HostPort(ClosedHostPort()), {},
     {{"host", ": Connection refused: check HOST and SECPORT in CONFIG.INI and the network; a call answers 1080"}}, {}},
    {"a host that never answers the handshake", "sha256", true, "", {}, "* default", HostPort(SilentListenerPort()),
     kFastWaits,
     {{"host", "failed: no answer within 45 s; alert from the peer: none: the peer accepted the connection but did "
               "not finish the handshake"}},
     {}},
    {"a host certificate that does not carry the configured name", "sha256", true, "",
     {{"HOSTCERTNAME", "other.bank.example"}}, "* default", nullptr, {},
     {{"host", "The peer's certificate names [CN=127.0.0.1, IP:127.0.0.1]; expected [other.bank.example]"}}, {}},
    {"a card-range table of noise", "sha256", true, "", {}, "* default",
     [](const std::string& pay) {
         std::string noise;
         for (int i = 0; i < 200; ++i) noise += static_cast<char>((i * 97 + 13) & 0xFF);
         WriteFile(pay + "/DATA/RANGE.CFG", noise);
     },
     {}, {{"card ranges", "DATA/RANGE.CFG refused: "}}, {}},
    {"an impostor manager", "sha256", true, "rogue", {}, "* default", nullptr, {},
     {{"manager", "The certificate is not correctly signed by the trusted CA"}}, {}},
};

class CheckProgram : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckProgram, NamesEachFaultOnItsLineAndChangesNothing) {
    const CheckCase& c = GetParam();
    MakeSets();
    Terminal t;
    t.tlsSet = c.tlsSet;
    t.config["BANKID"] = "100000001";
    for (const auto& kv : c.config) {
        if (kv.second.empty()) t.config.erase(kv.first);
        else t.config[kv.first] = kv.second;
    }
    TempDir dir(false);
    ASSERT_EQ(0, symlink(TestPki().c_str(), dir.file("pki").c_str()));
    mkdir(dir.file("srv").c_str(), 0777);
    const std::string managerCert = *c.managerCert ? TestPki() + "/" + c.managerCert : "";
    emu::TManagerEmuProcess manager(dir, "", dir.file("srv"), "", 0, managerCert);
    ASSERT_NE(0, manager.port()) << "tmanager_emu did not start";
    t.config["KWRMPORT"] = std::to_string(manager.port());

    CheckOutcome o;
    std::map<std::string, std::string> before, after;
    RunResult r = t.RunVia(
        [&]() {
            const std::string pay = t.Path();
            if (c.dataCopies) {
                for (const char* f : {"SSLA", "SSLC", "SSLK"})
                    WriteFile(pay + "/DATA/" + f, ReadFile(TestPki() + "/" + c.tlsSet + "/" + f));
            }
            if (c.plant) c.plant(pay);
            Snapshot(pay, "", &before);
            std::vector<std::string> env = {"E2E_SLEEP_SCALE=50"};
            env.insert(env.end(), c.env.begin(), c.env.end());
            o = RunCheck(pay, env, {}, c.preload);
            Snapshot(pay, "", &after);
        },
        "", c.hostScenario);

    SCOPED_TRACE("ravo-check printed:\n" + o.out + o.err);
    EXPECT_EQ(c.fails.empty() ? 0 : 1, o.exitCode);
    EXPECT_TRUE(o.strays.empty()) << "a line of no item: " << o.strays[0];
    EXPECT_EQ("", o.err);
    // Every item has its line, in order.
    size_t last = 0;
    std::vector<bool> seen(kItemCount, false);
    for (const Line& line : o.lines) {
        EXPECT_GE(line.item, last) << "out of order: " << line.text;
        last = line.item;
        seen[line.item] = true;
    }
    for (size_t i = 0; i < kItemCount; ++i) EXPECT_TRUE(seen[i]) << kItems[i] << " has no line";
    for (size_t i = 0; i < kItemCount; ++i) {
        const std::string item = kItems[i];
        auto fail = c.fails.find(item);
        auto warn = c.warns.find(item);
        bool named = false;
        for (const Line& line : o.lines) {
            if (line.item != i) continue;
            if (fail != c.fails.end()) {
                named = named || (line.verdict == "FAIL" && Has(line.text, fail->second));
            } else if (warn != c.warns.end()) {
                EXPECT_EQ("WARN", line.verdict) << line.text;
                named = named || Has(line.text, warn->second);
            } else {
                EXPECT_EQ("OK", line.verdict) << line.text;
                named = true;
            }
        }
        EXPECT_TRUE(named) << item << ": no line says "
                           << (fail != c.fails.end() ? fail->second : warn != c.warns.end() ? warn->second : "OK");
    }

    // Only its log lines are new (and the call lock's file, which any call makes).
    for (const auto& file : after) {
        if (file.first.rfind("LOG/", 0) == 0) continue;
        if (file.first == "DATA/RAVO.LCK" && !before.count(file.first)) {
            EXPECT_EQ("", file.second);
            continue;
        }
        auto was = before.find(file.first);
        EXPECT_TRUE(was != before.end() && was->second == file.second) << file.first << " made or changed";
    }
    for (const auto& file : before) EXPECT_TRUE(after.count(file.first)) << file.first << " removed";
    EXPECT_TRUE(Has(r.log, "RAVO-CHECK FINISHED [" + std::to_string(o.exitCode) + "]")) << r.log;
    for (const Line& line : o.lines) EXPECT_TRUE(Has(r.log, line.text.substr(5))) << "not logged: " << line.text;

    // Nothing loaded into the pad; no frame to the manager; the echo is TestBank's own.
    for (const char* loading : {"FileStartWrite", "DevRestart", "KeyLoad", "TKLoad", "UpdateApp"})
        EXPECT_FALSE(Has(r.pad, loading)) << r.pad;
    EXPECT_FALSE(Has(manager.trace(), "RX ")) << manager.trace();
    if (!c.fails.count("host") && !c.warns.count("host")) {
        EXPECT_EQ(1u, HostRequests(r.host, "1800").size()) << r.host;
    }
    if (!c.env.empty()) {
        EXPECT_LT(o.elapsedMs, 30000) << "the waits are the fast clock's";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, CheckProgram, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CheckCase>& info) { return CaseName(info.param.name); });

// A payment running in the directory: the check says so and touches nothing,
// not even the pad's line.
TEST(CheckProgramAlone, WaitsForNoPaymentAndAnswersItsArguments) {
    Terminal t;
    CheckOutcome busy, version, unknown;
    RunResult r = t.RunVia(
        [&]() {
            int fd = open((t.Path() + "/DATA/RAVO.LCK").c_str(), O_RDWR | O_CREAT, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(0, flock(fd, LOCK_EX));
            busy = RunCheck(t.Path(), {});
            close(fd);
            version = RunCheck(t.Path(), {}, {"--version"});
            unknown = RunCheck(t.Path(), {}, {"--verbose"});
        },
        "", "* default");
    EXPECT_EQ(3, busy.exitCode);
    EXPECT_EQ("FAIL call lock: a payment call is running in this directory (DATA/RAVO.LCK is held): nothing was "
              "checked; run ravo-check again when it has finished\n",
              busy.out);
    EXPECT_FALSE(Has(r.pad, "KEY") || Has(r.pad, "REQ")) << r.pad;
    EXPECT_FALSE(Has(r.host, "CONN")) << r.host;
    EXPECT_FALSE(t.Exists("TEMP")) << "no start-up probe ran";

    EXPECT_EQ(0, version.exitCode);
    EXPECT_EQ("ravo-check " RAVO_VERSION_TEXT "\n", version.out);
    EXPECT_EQ(2, unknown.exitCode);
    EXPECT_EQ("", unknown.out);
    EXPECT_TRUE(Has(unknown.err, "ravo-check: unknown argument --verbose\nUsage: ravo-check [--version]")) << unknown.err;
}

}  // namespace
}  // namespace e2e

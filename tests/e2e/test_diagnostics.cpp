// Faults planted in a payment directory, run through the real Ravo and
// library: the settings, the pad's device and the directory itself. Each
// fault must be named in the log in words (the file, the key and the line;
// the device and the system's reason), reach the cashier as a failure, and
// cost no real seconds of waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

const char kConfig[] =
    "TERMINALID=T0000001\nHOST=127.0.0.1\nSECPORT=7000\nKWRMHOST=127.0.0.1\nKWRMPORT=7001\n"
    "OPENKEY=0123456789ABCDEF0123456789ABCDEF\nBANKID=100000001\n";
// The pad's device: one that does not exist, so that no call waits for a pad.
const char kDevice[] = "COMPORT=1\nCOMDEVICE=/nonexistent/pad\n";
const char kSale[] = "<OperationDataRq><OperationType>Sale</OperationType><Amount>100</Amount>"
                     "<Currency>BYN</Currency></OperationDataRq>";

struct Outcome {
    int exitCode = -1;
    long elapsedMs = 0;
    std::string out, err, log, response;
    std::string ResultCode() const {
        size_t from = response.find("<ResultCode>");
        if (from == std::string::npos) return "";
        from += 12;
        return response.substr(from, response.find('<', from) - from);
    }
};

// A payment directory with Ravo, the library behind libRAVOux.so, a request
// and the settings; a case plants its fault, then Ravo runs there with the
// fast-clock shim (and any other) preloaded.
struct PaymentDir {
    TempDir dir{false};
    std::vector<std::string> env{"E2E_SLEEP_SCALE=50"};
    std::string preload = FASTCLOCK_LIB;

    explicit PaymentDir(const char* library = RAVO_LIB) {
        symlink(RAVO_BIN, dir.file("Ravo").c_str());
        if (library != nullptr) symlink(library, dir.file("libRAVOux.so").c_str());
        dir.write("DATA/CONFIG.INI", kConfig);
        dir.write("DATA/DEVICE.INI", kDevice);
        dir.write("RAVORQ.XML", kSale);
    }

    Outcome Run() const {
        Outcome o;
        // Beside the payment directory, named after it: cases of other programs run at the same time.
        const std::string outPath = dir.path() + ".stdout", errPath = dir.path() + ".stderr";
        const auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.path().c_str()) != 0) _exit(126);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            setenv("LD_PRELOAD", emu::PreloadValue(preload).c_str(), 1);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            execl("./Ravo", "Ravo", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        o.elapsedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.out = emu::ReadFile(outPath);
        o.err = emu::ReadFile(errPath);
        unlink(outPath.c_str());
        unlink(errPath.c_str());
        o.log = emu::ReadLog(dir.file("LOG"));
        o.response = dir.read("RAVORS.XML");
        return o;
    }
};

// The log holds every one of lines (each ending a log line) and none of absent.
void ExpectLog(const Outcome& o, const std::vector<std::string>& lines, const std::vector<std::string>& absent = {}) {
    for (const std::string& line : lines)
        EXPECT_NE(std::string::npos, o.log.find(line + "\n")) << line << "\nlog:\n" << o.log;
    for (const std::string& part : absent) EXPECT_EQ(std::string::npos, o.log.find(part)) << part << "\nlog:\n" << o.log;
}

TEST(Diagnostics, ConfigurationFaultsAreNamedInTheLog) {
    const std::string config(kConfig);
    struct Case {
        const char* name;
        std::string config;
        const char* device;  // nullptr: no DEVICE.INI
        const char* resultCode;
        std::string line;
    } cases[] = {
        {"a misspelt key", "TERMINALDI=T0000001\n" + config.substr(config.find('\n') + 1), kDevice, "1022",
         "ERROR. Param_LoadConfig. DATA/CONFIG.INI line 1: TERMINALID missing (is TERMINALDI a misspelling?)"},
        {"no DEVICE.INI", config, nullptr, "1022",
         "ERROR. LoadComConfig. DATA/DEVICE.INI: COMPORT missing: the file was not read (No such file or directory)"},
        {"a port that is no number", config + "SECPORT=seven\n", kDevice, "1022",
         "ERROR. Param_LoadConfig. DATA/CONFIG.INI line 8: SECPORT: 'seven' is not a number"},
        // Read past the mark, the settings are whole: the call goes on to the pad.
        {"a UTF-8 byte-order mark", "\xEF\xBB\xBF" + config, "\xEF\xBB\xBF" "COMPORT=1\nCOMDEVICE=/nonexistent/pad\n",
         "1300", "INFO. Param_LoadConfig. DATA/CONFIG.INI: UTF-8 byte-order mark skipped (texts are read as Windows-1251)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PaymentDir pd;
        pd.dir.write("DATA/CONFIG.INI", c.config);
        unlink(pd.dir.file("DATA/DEVICE.INI").c_str());
        if (c.device != nullptr) pd.dir.write("DATA/DEVICE.INI", c.device);
        const Outcome o = pd.Run();
        EXPECT_EQ(0, o.exitCode);
        EXPECT_EQ(c.resultCode, o.ResultCode()) << o.response;
        if (std::string(c.resultCode) == "1022") {
            EXPECT_NE(std::string::npos, o.response.find("<ResultText>ОТКЛОНЕНО ОШИБКА НАСТРОЕК</ResultText>"));
            ExpectLog(o, {"ERROR. Param_LoadConfig. Mandatory params absent"});
        }
        ExpectLog(o, {c.line});
        EXPECT_EQ("", o.out + o.err) << "Ravo prints nothing";
    }
}

// A pseudo-terminal whose other end is held open and never answers: a
// serial port with nothing attached.
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
    // What the terminal sent so far.
    std::string Sent() const {
        std::string all;
        fcntl(master, F_SETFL, O_NONBLOCK);
        char buf[512];
        for (ssize_t n; (n = read(master, buf, sizeof(buf))) > 0;) all.append(buf, static_cast<size_t>(n));
        return all;
    }
};

TEST(Diagnostics, APadFaultNamesTheDeviceAndAdvisesTheSpeedOnlyWhenItOpened) {
    const char advice[] = "Switch PinPad manually to supported baudrate from menu and restart RAVO!";
    {
        SCOPED_TRACE("a device that does not exist");
        PaymentDir pd;
        const Outcome o = pd.Run();
        EXPECT_EQ("1300", o.ResultCode()) << o.response;
        ExpectLog(o,
                  {"ERROR. PPLayer_Connect. Device [/nonexistent/pad] not opened: No such file or directory. Check "
                   "COMPORT (port N is /dev/ttyS<N-1>) and COMDEVICE in DEVICE.INI, and that the till's user may use "
                   "the device.",
                   "ERROR. Kernel_Initialize. PPLayer_Connect(1):[1310]"},
                  {advice, "No answer"});
    }
    {
        SCOPED_TRACE("a folder in the device's place");
        PaymentDir pd;
        pd.dir.write("DATA/DEVICE.INI", "COMPORT=1\nCOMDEVICE=" + pd.dir.file("DATA") + "\n");
        const Outcome o = pd.Run();
        EXPECT_EQ("1300", o.ResultCode()) << o.response;
        ExpectLog(o, {}, {advice});
        EXPECT_NE(std::string::npos, o.log.find("Device [" + pd.dir.file("DATA") + "] not opened: Is a directory."))
            << o.log;
    }
    {
        SCOPED_TRACE("a port with nothing attached");
        SilentPort port;
        ASSERT_FALSE(port.path.empty());
        PaymentDir pd;
        pd.dir.write("DATA/DEVICE.INI", "COMPORT=1\nBAUDRATE=9600\nCOMDEVICE=" + port.path + "\n");
        // The 30 s of link tests (5 of 2 s at each of three speeds) pass in a fiftieth.
        pd.env = {"E2E_CLOCK_SCALE=50", "E2E_POLL_SCALE=50"};
        const Outcome o = pd.Run();
        EXPECT_EQ("1300", o.ResultCode()) << o.response;
        ExpectLog(o,
                  {"ERROR. PPLayer_Connect. Connection error [1912] using baudrate [9600].",
                   "ERROR. PPLayer_Connect. Connection error [1912] using baudrate [115200].",
                   "ERROR. PPLayer_Connect. Connection error [1912] using baudrate [19200].", advice,
                   "ERROR. PPLayer_Connect. No answer on [" + port.path +
                       "] at 9600, 115200, 19200 bps: check that the pad is attached to this port and powered, then "
                       "that its speed is one of these."},
                  {"not opened"});
        EXPECT_EQ(15u, emu::Count(port.Sent(), "\x02\x03")) << "five link tests at each speed";
        EXPECT_LT(o.elapsedMs, 15000) << "the waits for an echo are the fast clock's";
    }
}

// The launcher's statuses and the library's start-up checks, each with the
// reason in the log; when the log itself cannot be written, on standard error.
TEST(Diagnostics, StartUpFailuresSayWhy) {
    struct Case {
        const char* name;
        const char* library;
        std::function<bool(PaymentDir&)> plant;  // false: the fault cannot be made here
        int exitCode;
        std::vector<std::string> lines;
        std::string stderrText;
        std::string part = "";  // a part of a line whose end (the system's words) varies
    } cases[] = {
        {"no library", nullptr, [](PaymentDir&) { return true; }, 255,
         {"ERROR. Launcher_Run. ./libRAVOux.so not loaded: ./libRAVOux.so: cannot open shared object file: No such "
          "file or directory (exit code 255)"},
         ""},
        {"a library without the entry point", NOENTRY_LIB, [](PaymentDir&) { return true; }, 254, {}, "",
         "ERROR. Launcher_Run. No PerformCardOperation in ./libRAVOux.so: ./libRAVOux.so: undefined symbol: "
         "PerformCardOperation (exit code 254)"},
        {"no request", RAVO_LIB,
         [](PaymentDir& pd) { return unlink(pd.dir.file("RAVORQ.XML").c_str()) == 0; }, 253,
         {"ERROR. Launcher_Run. Request RAVORQ.XML not read: No such file or directory (exit code 253)"}, ""},
        {"an empty request", RAVO_LIB,
         [](PaymentDir& pd) {
             pd.dir.write("RAVORQ.XML", "");
             return true;
         },
         253, {"ERROR. Launcher_Run. Request RAVORQ.XML empty: the point-of-sale plug-in wrote no request (exit code 253)"},
         ""},
        {"a request of 1 MB", RAVO_LIB,
         [](PaymentDir& pd) {
             pd.dir.write("RAVORQ.XML", std::string(1048576, ' '));
             return true;
         },
         253,
         {"ERROR. Launcher_Run. Request RAVORQ.XML 1048576 bytes long, more than the 2048 a request may have (exit "
          "code 253)"},
         ""},
        {"no DATA", RAVO_LIB,
         [](PaymentDir& pd) {
             RemoveTree(pd.dir.file("DATA"));
             return true;
         },
         252,
         {"ERROR. int_PerformCardOperation. DATA/.cache not written: No such file or directory; DATA must exist in "
          "the payment directory and be writable by the till's user",
          "ERROR. int_PerformCardOperation. Start-up check failed: 1065",
          "ERROR. Launcher_Run. The library gave no response [1065]; the lines before this one (or the result codes "
          "of the README) say why (exit code 252)"},
         ""},
        {"a DATA nobody may write to", RAVO_LIB,
         [](PaymentDir& pd) {
             // Root writes anywhere: the folder is made immutable instead, where the file system allows it.
             const std::string data = pd.dir.file("DATA");
             if (getuid() != 0) return chmod(data.c_str(), 0555) == 0;
             return system(("chattr +i '" + data + "' 2>/dev/null").c_str()) == 0;
         },
         252, {"ERROR. int_PerformCardOperation. Start-up check failed: 1065"}, "",
         "ERROR. int_PerformCardOperation. DATA/.cache not written: "},
        {"a disk below the floor", RAVO_LIB,
         [](PaymentDir& pd) {
             pd.preload += std::string(":") + LOWDISK_LIB;
             pd.env.push_back("E2E_FREE_MB=12");
             return true;
         },
         252,
         {"ERROR. int_PerformCardOperation. 12 MB free on the disk of the payment directory; more than 20 MB are "
          "needed: free some space",
          "ERROR. int_PerformCardOperation. Start-up check failed: 1071",
          "ERROR. Launcher_Run. The library gave no response [1071]; the lines before this one (or the result codes "
          "of the README) say why (exit code 252)"},
         ""},
        {"a log that cannot be written", RAVO_LIB,
         [](PaymentDir& pd) {
             pd.dir.write("LOG", "a file where the folder should be");
             return true;
         },
         252, {},
         "Ravo: The library gave no response [1063]; the lines before this one (or the result codes of the README) "
         "say why (exit code 252)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PaymentDir pd(c.library);
        if (!c.plant(pd)) {
            printf("[ SKIPPED  ] %s: the fault cannot be planted on this file system\n", c.name);
            continue;
        }
        const Outcome o = pd.Run();
        EXPECT_EQ(c.exitCode, o.exitCode);
        EXPECT_EQ("", o.response);
        ExpectLog(o, c.lines);
        EXPECT_NE(std::string::npos, o.log.find(c.part)) << c.part << "\n" << o.log;
        EXPECT_EQ("", o.out) << "Ravo prints nothing";
        EXPECT_EQ(c.stderrText, o.err) << "standard error only when the log cannot be written";
    }
}

}  // namespace

// The PADFEED program run as a technician runs it, in a working directory
// with DATA/, against the pad emulator on a pseudo-terminal: its switches,
// the size limits, the names on the pad, the transport-key report and the
// restart that follows only a load.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

const char* kPadfeed = RAVO_BUILD_DIR "/padfeed/PADFEED";

const char kUsage[] =
    "PADFEED v. 1.6\nUsage: PADFEED {[-s] [-r] [-e]}\n-s:\t\tUpload SSLA, SSLC, SSLK from dir 'DATA'\n"
    "-r:\t\tUpload 'RANGE.CFG' from dir 'DATA'\n-e:\t\tUpload 'EMVCFG' and 'EMVCAPK' (if exists) from dir 'DATA'\n";

using emu::Count;

struct SRun {
    int status = -1;
    std::string out;  // standard output
    std::string log;  // all log lines of the run
};

std::string Files(size_t n, char c) { return std::string(n, c); }

// A card-range table of n entries with the prefix text given (digits pass the check).
std::string Table(int n, const char* prefix = "4") {
    std::string table;
    for (int i = 0; i < n; ++i) {
        std::string entry(131, '\0');
        memcpy(&entry[0], prefix, strlen(prefix));
        memcpy(&entry[20], "VISA", 4);
        table += entry;
    }
    return table;
}

class Padfeed : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, access(emu::PadEmuPath(), X_OK)) << "pad emulator not built at " << emu::PadEmuPath();
        ASSERT_EQ(0, access(kPadfeed, X_OK)) << "PADFEED not built at " << kPadfeed;
    }
    // A fresh working directory with the configuration and the given DATA files.
    void Prepare(const std::vector<std::pair<std::string, std::string>>& data, const std::string& scenario,
                 const char* device = nullptr) {
        m_work.reset();
        m_emu.reset();
        m_work.reset(new TempDir(false));
        m_work->write("DATA/CONFIG.INI",
                      "TERMINALID=12345678\nHOST=10.0.0.1\nSECPORT=443\nKWRMHOST=10.0.0.2\nKWRMPORT=8000\n"
                      "OPENKEY=0123456789ABCDEF0123456789ABCDEF\n");
        m_emu.reset(new emu::PadEmuProcess(*m_work, scenario));
        m_work->write("DATA/DEVICE.INI", std::string("COMPORT=1\nBAUDRATE=115200\nPROTO_TO=5000\nCOMDEVICE=") +
                                             (device ? device : m_emu->path().c_str()) + "\n");
        for (const auto& f : data) m_work->write("DATA/" + f.first, f.second);
    }
    SRun Run(const std::vector<std::string>& args) {
        SRun r;
        std::string outFile = m_work->file("stdout.txt");
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(m_work->path().c_str()) != 0) _exit(126);
            int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            std::vector<char*> argv{const_cast<char*>(kPadfeed)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kPadfeed, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = m_work->read("stdout.txt");
        r.log = emu::ReadLog(m_work->file("LOG"));
        return r;
    }
    std::unique_ptr<TempDir> m_work;
    std::unique_ptr<emu::PadEmuProcess> m_emu;
};

TEST_F(Padfeed, ImproperArgumentsShowTheUsageAndTouchNoPad) {
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{}, "No args!"},
        {{"-s", "-s"}, "-s"},
        {{"-r", "-e", "-R"}, "-R"},
        {{"-x"}, "-x"},
        {{"-s", ""}, "No description"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Prepare({{"SSLA", Files(600, 'a')}}, "");
        SRun r = Run(c.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(kUsage, r.out);
        EXPECT_NE(std::string::npos, r.log.find(std::string("Improper usage. Returned error: [") + c.reason + "]."));
        EXPECT_NE(std::string::npos, r.log.find(">>>> PADFEED STARTED v.1.6 <<<<"));
        EXPECT_NE(std::string::npos, r.log.find("<<<< PADFEED FINISHED [0] <<<<"));
        EXPECT_EQ(0u, Count(m_emu->trace(), "REQ ")) << m_emu->trace();
    }
}

TEST_F(Padfeed, UploadsUnderThePadNamesAndRestartsOnlyAfterALoad) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> data;
        std::vector<std::string> padNames;  // files written to the pad, in order
        std::vector<std::string> lines;     // printed lines expected
        const char* finished;
        bool restart;
        int status;
    } cases[] = {
        {"-S -r: TLS files and the range table",
         {"-S", "-r"},
         {{"SSLA", Files(512, 'a')}, {"SSLC", Files(4096, 'c')}, {"SSLK", Files(700, 'k')},
          {"RANGE.CFG", Table(1)}},
         {"SSLA", "SSLC", "SSLK", "RANGES"},
         {"Starting...\n", "INFO. 'SSLA' (512 bytes) successfully uploaded.\n",
          "INFO. 'RANGE.CFG' (131 bytes) successfully uploaded.\n"},
         "[0]",
         true,
         0},
        {"-e without EMVCAPK",
         {"-e"},
         {{"EMVCFG", Files(65000, 'e')}},
         {"EMVCFG"},
         {"INFO. 'EMVCFG' (65000 bytes) successfully uploaded.\n"},
         "[0]",
         true,
         0},
        {"SSLA of 511 bytes",
         {"-s"},
         {{"SSLA", Files(511, 'a')}, {"SSLC", Files(600, 'c')}, {"SSLK", Files(600, 'k')}},
         {"SSLC", "SSLK"},
         {"File (DATA/SSLA) is bad because of wrong file size (511 bytes).\n"},
         "[1]",
         true,
         4},
        {"every requested file fails", {"-r", "-s"}, {{"RANGE.CFG", Files(65001, 'r')}, {"SSLA", Files(4097, 'a')}},
         {}, {"Failed to open the file (DATA/SSLC).\n"}, "[15]", false, 4},
        {"a failed EMVCFG and an absent EMVCAPK", {"-e"}, {{"EMVCFG", Files(99, 'e')}}, {}, {}, "[16]", false, 4},
        {"a range table that does not read as one", {"-r"}, {{"RANGE.CFG", Table(2, "4X")}}, {},
         {"File (DATA/RANGE.CFG) is bad: entry 1: prefix not digits or \"*\".\n"}, "[8]", false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.data, "block_size=800\n");
        SRun r = Run(c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_NE(std::string::npos, r.out.find("PinPad on " + m_emu->path() + " at 115200 bps.\n")) << r.out;
        std::string trace = m_emu->trace();
        size_t pos = 0;
        for (const std::string& n : c.padNames) {
            pos = trace.find("FileStartWrite name=" + n + " ", pos);
            EXPECT_NE(std::string::npos, pos) << n << "\n" << trace;
        }
        EXPECT_EQ(c.padNames.size(), Count(trace, "FileStartWrite")) << trace;
        for (const std::string& l : c.lines) EXPECT_NE(std::string::npos, r.out.find(l)) << l << "\n" << r.out;
        EXPECT_NE(std::string::npos, r.out.find("WARNING. Transport key is not loaded! Please upload it to PinPad.\n"));
        EXPECT_EQ(c.restart, trace.find("DevRestart") != std::string::npos) << trace;
        EXPECT_NE(std::string::npos, r.log.find(std::string("<<<< PADFEED FINISHED ") + c.finished + " <<<<")) << r.log;
    }

    // A second run finds the pad in step: nothing is sent, the run still counts as a load.
    Prepare({{"RANGE.CFG", Table(2)}}, "key=TK:1:ABCDEF\n");
    Run({"-r"});
    SRun r = Run({"-R"});
    EXPECT_EQ(1u, Count(m_emu->trace(), "FileStartWrite"));
    EXPECT_NE(std::string::npos, r.out.find("INFO. Transport key is loaded, KCV: (0xABCDEF).\n")) << r.out;
    EXPECT_NE(std::string::npos, r.log.find("INFO. Writing finished. Errors mask: [0x00000000]."));
}

TEST_F(Padfeed, SetUpFailuresEndTheRunBeforeAnyUpload) {
    struct Case {
        const char* name;
        std::string scenario;
        const char* device;
        bool noConfig;
        std::vector<std::string> lines;
        const char* finished;
        int status;
        bool busy = false;  // a payment call holds the directory's lock
    } cases[] = {
        {"no configuration", "", nullptr, true,
         {"\nInvalid config file (CONFIG.INI).", "The log (LOG/) names the file, the line and the key at fault."},
         "[1020]", 2},
        {"no pad on the port", "", "/nonexistent/tty", false,
         {"PinPad connection error: (1310), COM port used: (1).\n",
          "Reason: device /nonexistent/tty not opened: No such file or directory.\n"},
         "[5001]", 3},
        {"application too old", "app_version=0x010206FF\n", nullptr, false,
         {"Invalid KWPAD version: (0x010206FF), must be (0x01020700) or higher."}, "[5001]", 3},
        {"a payment running", "", nullptr, false,
         {"A payment call is running in this directory (DATA/RAVO.LCK is held): the pad was not touched. Run "
          "PADFEED again when it has finished.\n"},
         "[1072]", 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare({{"RANGE.CFG", Table(2)}}, c.scenario, c.device);
        if (c.noConfig) unlink(m_work->file("DATA/CONFIG.INI").c_str());
        int lock = -1;
        if (c.busy) {
            lock = open(m_work->file("DATA/RAVO.LCK").c_str(), O_RDWR | O_CREAT, 0600);
            ASSERT_EQ(0, flock(lock, LOCK_EX));
        }
        SRun r = Run({"-r"});
        if (lock >= 0) close(lock);
        if (c.busy) {
            EXPECT_EQ(0u, Count(m_emu->trace(), "KEY") + Count(m_emu->trace(), "REQ ")) << m_emu->trace();
        }
        EXPECT_EQ(c.status, r.status);
        for (const std::string& l : c.lines) EXPECT_NE(std::string::npos, r.out.find(l)) << l << "\n" << r.out;
        EXPECT_EQ(std::string::npos, r.out.find("Starting..."));
        EXPECT_NE(std::string::npos, r.log.find(std::string("<<<< PADFEED FINISHED ") + c.finished + " <<<<")) << r.log;
        EXPECT_EQ(0u, Count(m_emu->trace(), "FileStartWrite"));
    }
}

}  // namespace

// tests/unit/pad_session_util.h
// A connected session with the pad emulator for the PIN-pad layer and chip
// tests: the emulator as a child process on a pseudo-terminal with its own
// scenario and trace, a working directory with DATA/ and LOG/, and a clock
// whose waits cost no real time (the monotonic clock jumps instead).
#pragma once
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "pinpad/comport.h"
#include "pinpad/ppcmd.h"
#include "support/param.h"
#include "support/sysclock.h"
#include "support/vars.h"
#include "tests/common/tempdir.h"

namespace padtest {

inline const char* EmuPath() { return RAVO_BUILD_DIR "/emulators/pinpad/pinpad_emu"; }

// Virtual time: sleeps advance the monotonic clock without waiting.
inline uint64_t& SkewMs() {
    static uint64_t skew = 0;
    return skew;
}
inline uint64_t RealMonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
inline uint64_t VirtualMonotonicMs() { return RealMonotonicMs() + SkewMs(); }
inline void VirtualSleepMs(uint32_t ms) { SkewMs() += ms; }
inline void UseVirtualClock() {
    static const SSysClockSeam seam = {nullptr, VirtualSleepMs, VirtualMonotonicMs};
    SysClock_SetSeam(&seam);
}

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class PadEmu {
public:
    PadEmu(const TempDir& dir, const std::string& scenario) : m_dir(dir) {
        dir.write("pad.scn", scenario);
        std::string ptyFile = dir.file("pad.pty"), trace = dir.file("pad.trace"), scn = dir.file("pad.scn");
        unlink(ptyFile.c_str());
        unlink(trace.c_str());
        m_pid = fork();
        if (m_pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl(EmuPath(), EmuPath(), "-s", scn.c_str(), "-p", ptyFile.c_str(), "-t", trace.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && !dir.exists("pad.pty"); ++i) usleep(10000);
        std::istringstream in(dir.read("pad.pty"));
        in >> m_path;
    }
    ~PadEmu() {
        Disconnect();
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& path() const { return m_path; }
    std::string trace() const { return m_dir.read("pad.trace"); }

private:
    const TempDir& m_dir;
    pid_t m_pid = -1;
    std::string m_path;
};

class PadSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, access(EmuPath(), X_OK)) << "pad emulator not built at " << EmuPath();
        m_dir.write("LOG/.keep", "");
        m_dir.write("DATA/DEVICE.INI", "COMPORT=1\nBAUDRATE=115200\n");
        Vars_Clear();
        ComPort_Init();
        memset(&g_Config, 0, sizeof(g_Config));
        strcpy(g_Config.szTerminalId, "T0000042");
        strcpy(g_Config.szOpenKey, "0123456789ABCDEF0123456789ABCDEF");
        g_Config.usClientTimeout = 5;
        g_Config.ucMKIdx = 1;
        UseVirtualClock();
    }
    void TearDown() override {
        m_emu.reset();
        SysClock_SetSeam(nullptr);
    }
    void Start(const std::string& scenario, uint32_t baud = 115200) {
        m_emu.reset(new PadEmu(m_dir, scenario));
        ASSERT_FALSE(m_emu->path().empty()) << "emulator gave no pty path";
        memset(&g_ComConfig, 0, sizeof(g_ComConfig));
        g_ComConfig.usComPort = 1;
        g_ComConfig.ulBaudrate = baud;
        g_ComConfig.usProtoTO = 1000;
        snprintf(g_ComConfig.szComDevice, sizeof(g_ComConfig.szComDevice), "%s", m_emu->path().c_str());
    }
    void StartConnected(const std::string& scenario) {
        Start(scenario);
        ASSERT_EQ(0, Connect(1));
    }
    std::string trace() const { return m_emu->trace(); }
    // Everything logged so far.
    std::string log() const {
        std::string all;
        DIR* d = opendir((m_dir.path() + "/LOG").c_str());
        if (d == nullptr) return all;
        while (struct dirent* e = readdir(d))
            if (strstr(e->d_name, ".LOG")) all += m_dir.read(std::string("LOG/") + e->d_name);
        closedir(d);
        return all;
    }
    TempDir m_dir;
    std::unique_ptr<PadEmu> m_emu;
};

}  // namespace padtest

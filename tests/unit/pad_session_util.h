// tests/unit/pad_session_util.h
// A connected session with the pad emulator for the PIN-pad layer, file and
// chip tests: the emulator (tests/common/emulators.h) with the link pointed
// at its pseudo-terminal, a working directory with DATA/ and LOG/, and a
// clock whose waits cost no real time (the monotonic clock jumps instead).
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "pinpad/comport.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/ppcmd.h"
#include "support/param.h"
#include "support/payorder.h"
#include "support/sysclock.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace padtest {

using emu::Count;
using emu::PadEmuPath;

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
// A wait for the line that stays silent: after a short real wait the clock
// jumps to its end. Only for a peer that is meant to say nothing; one that
// answers late would be taken for silent: the wait is longer where qemu or
// the sanitizers slow the peer down.
constexpr uint32_t kSilentWaitRealMs = RAVO_TESTS_SLOW_STEPS ? 200 : 50;
inline int SilentLinePollFd(int fd, short events, uint32_t ms) {
    struct pollfd p = {fd, events, 0};
    uint32_t real = ms < kSilentWaitRealMs ? ms : kSilentWaitRealMs;
    int rc = poll(&p, 1, static_cast<int>(real));
    if (rc == 0) SkewMs() += ms - real;
    return rc;
}
// The virtual clock, and waits on a silent line that cost little real time.
inline void UseVirtualClockAndSilentLine() {
    static const SSysClockSeam seam = {nullptr, VirtualSleepMs, VirtualMonotonicMs, SilentLinePollFd};
    SysClock_SetSeam(&seam);
}

// Points the link at a device (the emulator's pty or a scripted peer) as DEVICE.INI would.
inline void ConfigureLink(const std::string& device, uint32_t baud = 115200, uint16_t protoTO = 1000) {
    memset(&g_ComConfig, 0, sizeof(g_ComConfig));
    g_ComConfig.usComPort = 1;
    g_ComConfig.ulBaudrate = baud;
    g_ComConfig.usProtoTO = protoTO;
    snprintf(g_ComConfig.szComDevice, sizeof(g_ComConfig.szComDevice), "%s", device.c_str());
}

// pinpad_emu that the test drives through the link: the link is closed
// before the emulator stops.
class PadEmu : public emu::PadEmuProcess {
public:
    using emu::PadEmuProcess::PadEmuProcess;
    ~PadEmu() { Disconnect(); }
};

// A sale of 12.50 BYN as the till hands it in.
inline S_PAY_ORDER SaleOrder() {
    S_PAY_ORDER order;
    memset(&order, 0, sizeof(order));
    order.ucOpType = OP_SALE;
    order.stAmount.ulLow = 1250;
    memcpy(order.szCurrency, "BYN", 3);
    order.usCurrencyCode = 933;
    return order;
}

class PadSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, access(PadEmuPath(), X_OK)) << "pad emulator not built at " << PadEmuPath();
        m_dir.write("LOG/.keep", "");
        m_dir.write("DATA/DEVICE.INI", "COMPORT=1\nBAUDRATE=115200\n");
        PadProfile_Reset();
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
        ConfigureLink(m_emu->path(), baud);
    }
    void StartConnected(const std::string& scenario) {
        Start(scenario);
        ASSERT_EQ(0, Connect(1));
    }
    std::string trace() const { return m_emu->trace(); }
    // Everything logged so far.
    std::string log() const { return emu::ReadLog(m_dir.file("LOG")); }
    TempDir m_dir;
    std::unique_ptr<PadEmu> m_emu;
};

}  // namespace padtest

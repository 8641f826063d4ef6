// tests/unit/host_pad_emu.h
// The emulated acquiring host and PIN pad (tests/common/emulators.h) wired
// into the payment modules, in a temporary working directory with LOG/, DATA/
// and a test PKI. Header-only, shared by the day-close and key-download tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "host/netlayer.h"
#include "host/tmmsgbuilder.h"
#include "pinpad/comport.h"
#include "pinpad/ppcmd.h"
#include "support/param.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"
#include "tests/unit/pad_session_util.h"

namespace emu {

// The working directory of a test suite: LOG/, DATA/, pki/ and the terminal's
// TLS credentials loaded; ready() is false when openssl or an emulator is missing.
class Workspace {
public:
    Workspace() : m_dir(true) {
        mkdir("LOG", 0777);
        mkdir("DATA", 0777);
        m_ready = MakeTestPki(m_dir.file("pki")) && access(HostEmuPath(), X_OK) == 0 &&
                  access(PadEmuPath(), X_OK) == 0;
        NetLayer_Init();
        TMMsgBuilder_Init();
        NetLayer_InitCredentials();
        if (m_ready) {
            std::string set = m_dir.file("pki/sha256/");
            m_ready = NetLayer_ParseCAFile((set + "SSLA").c_str()) == 0 &&
                      NetLayer_ParseClientCertFile((set + "SSLC").c_str()) == 0 &&
                      NetLayer_ParseClientKeyFile((set + "SSLK").c_str()) == 0;
        }
    }
    ~Workspace() { NetLayer_FreeCredentials(); }
    bool ready() const { return m_ready; }
    const TempDir& dir() const { return m_dir; }

private:
    TempDir m_dir;
    bool m_ready = false;
};

// host_emu answering from a scenario; points g_Config at itself.
class HostEmu : public HostEmuProcess {
public:
    HostEmu(const TempDir& dir, const std::string& scenario) : HostEmuProcess(dir, scenario) {
        snprintf(g_Config.szHost, sizeof(g_Config.szHost), "127.0.0.1");
        g_Config.usSecPort = port();
    }
};

// pinpad_emu on a pseudo-terminal, connected through the link (session key
// agreed) once it listens; disconnected and stopped at the end.
class PadEmu : public padtest::PadEmu {
public:
    PadEmu(const TempDir& dir, const std::string& scenario) : padtest::PadEmu(dir, scenario) {
        padtest::ConfigureLink(path());
        ComPort_Init();
        m_connected = !path().empty() && Connect(1) == 0;
    }
    bool connected() const { return m_connected; }

private:
    bool m_connected = false;
};

}  // namespace emu

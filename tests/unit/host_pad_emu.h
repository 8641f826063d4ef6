// tests/unit/host_pad_emu.h
// The emulated acquiring host and PIN pad as child processes of a test, in a
// temporary working directory with LOG/, DATA/ and a test PKI. Header-only,
// shared by the day-close and key-download tests.
#pragma once
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/netlayer.h"
#include "host/tmmsgbuilder.h"
#include "pinpad/comport.h"
#include "pinpad/ppcmd.h"
#include "support/param.h"
#include "tests/common/tempdir.h"

namespace emu {

inline const char* HostEmuPath() { return RAVO_BUILD_DIR "/emulators/host/host_emu"; }
inline const char* PadEmuPath() { return RAVO_BUILD_DIR "/emulators/pinpad/pinpad_emu"; }

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Today's log lines (one file per day under LOG/).
inline std::string ReadLog() {
    std::string all;
    DIR* dir = opendir("LOG");
    if (dir == nullptr) return all;
    while (struct dirent* e = readdir(dir))
        if (e->d_name[0] != '.') all += ReadFile(std::string("LOG/") + e->d_name);
    closedir(dir);
    return all;
}

inline void ClearLog() {
    DIR* dir = opendir("LOG");
    if (dir == nullptr) return;
    while (struct dirent* e = readdir(dir))
        if (e->d_name[0] != '.') unlink((std::string("LOG/") + e->d_name).c_str());
    closedir(dir);
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Number of times part occurs in text.
inline int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A loopback port on which nothing listens (free a moment ago).
inline uint16_t ClosedPort() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(probe, reinterpret_cast<struct sockaddr*>(&addr), &len);
    close(probe);
    return ntohs(addr.sin_port);
}

// The working directory of a test suite: LOG/, DATA/, pki/ and the terminal's
// TLS credentials loaded; ready() is false when openssl or an emulator is missing.
class Workspace {
public:
    Workspace() : m_dir(true) {
        mkdir("LOG", 0777);
        mkdir("DATA", 0777);
        std::string cmd = std::string(RAVO_SOURCE_DIR "/scripts/make_test_pki.sh '") + m_dir.file("pki") +
                          "' >/dev/null 2>&1";
        m_ready = system(cmd.c_str()) == 0 && access(HostEmuPath(), X_OK) == 0 && access(PadEmuPath(), X_OK) == 0;
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

// host_emu answering from a scenario (see emulators/host/README.md); points
// g_Config at itself.
class HostEmu {
public:
    HostEmu(const TempDir& dir, const std::string& scenario) {
        static int serial = 0;
        std::string base = dir.path() + "/host" + std::to_string(++serial);
        m_trace = base + ".trace";
        std::string portFile = base + ".port", scen = base + ".scen";
        std::ofstream(scen) << scenario << "\n";
        std::string cert = dir.file("pki/host.crt"), key = dir.file("pki/host.key"), ca = dir.file("pki/ca.crt");
        m_pid = fork();
        if (m_pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl(HostEmuPath(), HostEmuPath(), "--cert", cert.c_str(), "--key", key.c_str(), "--ca", ca.c_str(),
                  "--scenario", scen.c_str(), "--trace", m_trace.c_str(), "--port-file", portFile.c_str(), "--idle",
                  "30", (char*)nullptr);
            _exit(127);
        }
        uint16_t port = 0;
        for (int i = 0; i < 500 && port == 0; ++i) {
            std::string text = ReadFile(portFile);
            if (!text.empty()) port = static_cast<uint16_t>(atoi(text.c_str()));
            else usleep(20000);
        }
        snprintf(g_Config.szHost, sizeof(g_Config.szHost), "127.0.0.1");
        g_Config.usSecPort = port;
        m_port = port;
    }
    ~HostEmu() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    uint16_t port() const { return m_port; }
    std::string trace() const { return ReadFile(m_trace); }

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_trace;
};

// pinpad_emu on a pseudo-terminal, connected through the link (session key
// agreed) once it listens; disconnected and stopped at the end.
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
            execl(PadEmuPath(), PadEmuPath(), "-s", scn.c_str(), "-p", ptyFile.c_str(), "-t", trace.c_str(),
                  (char*)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && !dir.exists("pad.pty"); ++i) usleep(10000);
        std::string path;
        std::istringstream(dir.read("pad.pty")) >> path;
        memset(&g_ComConfig, 0, sizeof(g_ComConfig));
        g_ComConfig.usComPort = 1;
        g_ComConfig.ulBaudrate = 115200;
        g_ComConfig.usProtoTO = 1000;
        snprintf(g_ComConfig.szComDevice, sizeof(g_ComConfig.szComDevice), "%s", path.c_str());
        ComPort_Init();
        m_connected = !path.empty() && Connect(1) == 0;
    }
    ~PadEmu() {
        Disconnect();
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool connected() const { return m_connected; }
    std::string trace() const { return m_dir.read("pad.trace"); }

private:
    const TempDir& m_dir;
    pid_t m_pid = -1;
    bool m_connected = false;
};

}  // namespace emu

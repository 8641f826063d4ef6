// tests/common/emulators.h
// The pieces every test that runs the emulators needs: the built pad and host
// emulators as child processes, the throw-away test PKI, a free loopback port,
// and reading the files and the daily log they leave behind. Nothing here
// touches the payment modules; the tests point the link or the host
// configuration at what these start.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TempDir;

namespace emu {

const char* PadEmuPath();
const char* HostEmuPath();
const char* TManagerEmuPath();

// The whole content of a file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
bool Has(const std::string& text, const std::string& part);
// Number of times part occurs in text (overlapping ones too).
size_t Count(const std::string& text, const std::string& part);

// All lines of the daily log files (one file a day) under logDir.
std::string ReadLog(const std::string& logDir = "LOG");
// Removes the daily log files under logDir, so that a case sees only its own lines.
void ClearLog(const std::string& logDir = "LOG");

// LD_PRELOAD text for a child of this program that preloads libs (":"-separated):
// under AddressSanitizer its runtime comes first, as it must be the first
// library the child loads.
std::string PreloadValue(const std::string& libs);

// Asks done() until it says yes or limitMs passed (looking often at first,
// then every few milliseconds); what done() said last.
bool WaitFor(const std::function<bool()>& done, int limitMs);

// A loopback port that was free a moment ago: nothing listens there.
uint16_t FreePort();

// A loopback port that refuses connections for as long as this lives: bound,
// never listening, so that no other process (an emulator of a test running
// beside this one) can take it meanwhile.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// Puts the test PKI (CA, host, rogue host, terminal sets sha256/ and sha1/) in dir: a copy of
// the one the build made, or a new one when there is none.
bool MakeTestPki(const std::string& dir);

// pinpad_emu on a pseudo-terminal with a scenario, its trace in dir; the
// files pad.scn, pad.pty and pad.trace of dir are its own. Stopped on destruction.
class PadEmuProcess {
public:
    PadEmuProcess(const TempDir& dir, const std::string& scenario);
    ~PadEmuProcess();
    PadEmuProcess(const PadEmuProcess&) = delete;
    PadEmuProcess& operator=(const PadEmuProcess&) = delete;
    // The pty the emulator listens on; "" when it never said.
    const std::string& path() const { return m_path; }
    std::string trace() const;
    // The trace once it holds part (the emulator writes a line after it
    // answers), or as it stands after limitMs.
    std::string traceWith(const std::string& part, int limitMs = 5000) const;

private:
    const TempDir& m_dir;
    pid_t m_pid = -1;
    std::string m_path;
};

// host_emu on a free loopback port answering from a scenario (see
// emulators/host/README.md). Its certificate and key come from certDir
// (default <dir>/pki; "<dir>/pki/rogue" for an untrusted host), the CA is
// always <dir>/pki/ca.crt; count ends it after that many connections (0: never);
// keepNagle leaves the delay of small writes on (--nodelay 0).
class HostEmuProcess {
public:
    HostEmuProcess(const TempDir& dir, const std::string& scenario, const std::string& certDir = "",
                   unsigned count = 0, bool keepNagle = false);
    ~HostEmuProcess();
    HostEmuProcess(const HostEmuProcess&) = delete;
    HostEmuProcess& operator=(const HostEmuProcess&) = delete;
    // 0 when it never listened (it stopped at once, e.g. on a bad scenario).
    uint16_t port() const { return m_port; }
    std::string trace() const { return ReadFile(m_trace); }
    // The trace once it holds part (a failed handshake is traced after the
    // client has already given up), or as it is after limitMs.
    std::string traceWith(const std::string& part, int limitMs = 5000) const;
    // Waits (at most 10 s) for the emulator to end by itself; its exit status or -1.
    int waitExit();

private:
    pid_t m_pid = -1;
    int m_status = 0;
    uint16_t m_port = 0;
    std::string m_trace;
};

// tmanager_emu on a free loopback port (see emulators/tmanager/README.md) with
// the certificate and key of certDir (default <dir>/pki, the host's), serving
// the files of filesDir, storing uploads in logsDir ("" for either: none),
// answering from a scenario; count ends it after that many connections (0: never).
class TManagerEmuProcess {
public:
    // signKey: the private key it signs software offers with ("": none).
    TManagerEmuProcess(const TempDir& dir, const std::string& scenario, const std::string& filesDir,
                       const std::string& logsDir, unsigned count = 0, const std::string& certDir = "",
                       const std::string& signKey = "");
    ~TManagerEmuProcess();
    TManagerEmuProcess(const TManagerEmuProcess&) = delete;
    TManagerEmuProcess& operator=(const TManagerEmuProcess&) = delete;
    // 0 when it never listened (it stopped at once, e.g. on a bad scenario).
    uint16_t port() const { return m_port; }
    std::string trace() const { return ReadFile(m_trace); }
    // The trace once it holds part, or as it is after limitMs.
    std::string traceWith(const std::string& part, int limitMs = 5000) const;
    // The scenario file it reads again before each session.
    const std::string& scenarioPath() const { return m_scenario; }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    uint16_t m_port = 0;
    std::string m_trace;
    std::string m_scenario;
};

// A raw pseudo-terminal for a scripted peer in place of the pad: the link
// opens path(), the test reads and writes the other side. The far side is
// held open so that its raw line settings last between the link's opens.
class RawPty {
public:
    RawPty();
    ~RawPty();
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;
    const std::string& path() const { return m_path; }
    int fd() const { return m_master; }
    // Up to n bytes. Without stop, a silence of waitMs ends the read early;
    // with it, the read waits on until n bytes came or *stop is set.
    std::vector<uint8_t> Read(size_t n, int waitMs, const std::atomic<bool>* stop = nullptr);
    // The count written, as write() gives it.
    ssize_t Write(const std::vector<uint8_t>& bytes);

private:
    int m_master = -1, m_keep = -1;
    std::string m_path;
};

}  // namespace emu

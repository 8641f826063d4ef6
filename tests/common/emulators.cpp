// tests/common/emulators.cpp
#include "tests/common/emulators.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <link.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "tests/common/tempdir.h"

namespace emu {

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limitMs);
    // Looked at often at first (a child starts or ends in a few milliseconds),
    // then every 5 ms: a long wait costs little processor time.
    for (useconds_t pause = 200;; pause = pause < 5000 ? pause * 2 : 5000) {
        if (done()) return true;
        if (Clock::now() >= end) return false;
        usleep(pause);
    }
}

namespace {

// Runs argv[0] as a child with its standard output thrown away; its pid.
pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // An emulator outlives no test program that dies (a sanitizer stop, a crash): it would hold ctest's pipes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// SIGTERM, then SIGKILL when the child has not ended within 3 s.
void Stop(pid_t pid, int* status) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (WaitFor([&] { return waitpid(pid, status, WNOHANG) == pid; }, 3000)) return;
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
}

// Starts a TLS emulator that writes its port into portFile; the port, or 0 with
// *pid set to -1 when the emulator ended before it listened.
uint16_t SpawnListening(const std::vector<std::string>& args, const std::string& portFile, pid_t* pid,
                        int* status) {
    *pid = Spawn(args);
    uint16_t port = 0;
    WaitFor(
        [&] {
            std::string text = ReadFile(portFile);
            if (!text.empty()) {
                port = static_cast<uint16_t>(atoi(text.c_str()));
                return true;
            }
            if (waitpid(*pid, status, WNOHANG) == *pid) {
                *pid = -1;
                return true;
            }
            return false;
        },
        10000);
    return port;
}

}  // namespace

const char* PadEmuPath() { return RAVO_EMU_DIR "/pinpad/pinpad_emu"; }
const char* HostEmuPath() { return RAVO_EMU_DIR "/host/host_emu"; }
const char* TManagerEmuPath() { return RAVO_EMU_DIR "/tmanager/tmanager_emu"; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string ReadLog(const std::string& logDir) {
    std::string all;
    DIR* dir = opendir(logDir.c_str());
    if (dir == nullptr) return all;
    while (struct dirent* e = readdir(dir))
        if (e->d_name[0] != '.') all += ReadFile(logDir + "/" + e->d_name);
    closedir(dir);
    return all;
}

void ClearLog(const std::string& logDir) {
    DIR* dir = opendir(logDir.c_str());
    if (dir == nullptr) return;
    while (struct dirent* e = readdir(dir))
        if (e->d_name[0] != '.') unlink((logDir + "/" + e->d_name).c_str());
    closedir(dir);
}

std::string PreloadValue(const std::string& libs) {
#if defined(__SANITIZE_ADDRESS__)
    std::string runtime;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (name.find("/libasan.so") == std::string::npos) return 0;
            *static_cast<std::string*>(data) = name;
            return 1;
        },
        &runtime);
    if (!runtime.empty()) return libs.empty() ? runtime : runtime + ":" + libs;
#endif
    return libs;
}

uint16_t FreePort() {
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

ClosedPort::ClosedPort() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(m_fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0)
        m_port = ntohs(addr.sin_port);
}

ClosedPort::~ClosedPort() {
    if (m_fd >= 0) close(m_fd);
}

bool MakeTestPki(const std::string& dir) {
    // The build makes the keys once; each test gets a copy of its own to change at will
    // (copied here rather than by cp: every case of the end-to-end suites is a program of its own).
    if (access(RAVO_TEST_PKI "/made", F_OK) == 0) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (!ec)
            std::filesystem::copy(RAVO_TEST_PKI, dir,
                                  std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks |
                                      std::filesystem::copy_options::overwrite_existing,
                                  ec);
        return !ec;
    }
    std::string cmd = std::string(RAVO_SOURCE_DIR "/scripts/make_test_pki.sh '") + dir + "' >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

PadEmuProcess::PadEmuProcess(const TempDir& dir, const std::string& scenario) : m_dir(dir) {
    std::string ptyFile = dir.file("pad.pty"), trace = dir.file("pad.trace"), scn = dir.file("pad.scn");
    unlink(ptyFile.c_str());
    unlink(trace.c_str());
    dir.write("pad.scn", scenario);
    m_pid = Spawn({PadEmuPath(), "-s", scn, "-p", ptyFile, "-t", trace});
    WaitFor([&] { return dir.exists("pad.pty"); }, 5000);
    std::istringstream(dir.read("pad.pty")) >> m_path;
}

PadEmuProcess::~PadEmuProcess() { Stop(m_pid, nullptr); }

std::string PadEmuProcess::trace() const { return m_dir.read("pad.trace"); }

// The file's text once it holds part, or as it is after limitMs.
static std::string aux_ReadOnceItHolds(const std::string& path, const std::string& part, int limitMs) {
    std::string text;
    WaitFor(
        [&] {
            text = ReadFile(path);
            return text.find(part) != std::string::npos;
        },
        limitMs);
    return text;
}

std::string PadEmuProcess::traceWith(const std::string& part, int limitMs) const {
    return aux_ReadOnceItHolds(m_dir.file("pad.trace"), part, limitMs);
}

std::string HostEmuProcess::traceWith(const std::string& part, int limitMs) const {
    return aux_ReadOnceItHolds(m_trace, part, limitMs);
}

std::string TManagerEmuProcess::traceWith(const std::string& part, int limitMs) const {
    return aux_ReadOnceItHolds(m_trace, part, limitMs);
}

HostEmuProcess::HostEmuProcess(const TempDir& dir, const std::string& scenario, const std::string& certDir,
                               unsigned count, bool keepNagle) {
    static int serial = 0;
    std::string base = dir.path() + "/host" + std::to_string(++serial);
    m_trace = base + ".trace";
    std::string portFile = base + ".port", scen = base + ".scen";
    std::ofstream(scen) << scenario << "\n";
    std::string certs = certDir.empty() ? dir.file("pki") : certDir;
    std::vector<std::string> args = {HostEmuPath(), "--cert", certs + "/host.crt", "--key", certs + "/host.key",
                                     "--ca", dir.file("pki/ca.crt"), "--scenario", scen, "--trace", m_trace,
                                     "--port-file", portFile, "--count", std::to_string(count), "--idle", "30"};
    if (keepNagle) args.insert(args.end(), {"--nodelay", "0"});
    m_port = SpawnListening(args, portFile, &m_pid, &m_status);
}

HostEmuProcess::~HostEmuProcess() { Stop(m_pid, &m_status); }

int HostEmuProcess::waitExit() {
    if (m_pid <= 0 || !WaitFor([&] { return waitpid(m_pid, &m_status, WNOHANG) == m_pid; }, 10000)) return -1;
    m_pid = -1;
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

TManagerEmuProcess::TManagerEmuProcess(const TempDir& dir, const std::string& scenario, const std::string& filesDir,
                                       const std::string& logsDir, unsigned count, const std::string& certDir,
                                       const std::string& signKey) {
    static int serial = 0;
    std::string base = dir.path() + "/tmanager" + std::to_string(++serial);
    m_trace = base + ".trace";
    std::string portFile = base + ".port", scen = base + ".scen";
    m_scenario = scen;
    std::ofstream(scen) << scenario << "\n";
    std::string certs = certDir.empty() ? dir.file("pki") : certDir;
    std::vector<std::string> args = {TManagerEmuPath(), "--cert", certs + "/host.crt", "--key",
                                     certs + "/host.key", "--ca", dir.file("pki/ca.crt"), "--scenario", scen,
                                     "--trace", m_trace, "--port-file", portFile, "--count", std::to_string(count),
                                     "--idle", "30"};
    if (!filesDir.empty()) args.insert(args.end(), {"--files", filesDir});
    if (!logsDir.empty()) args.insert(args.end(), {"--logs", logsDir});
    if (!signKey.empty()) args.insert(args.end(), {"--sign-key", signKey});
    m_port = SpawnListening(args, portFile, &m_pid, &m_status);
}

TManagerEmuProcess::~TManagerEmuProcess() { Stop(m_pid, &m_status); }

RawPty::RawPty() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(m_master);
    unlockpt(m_master);
    m_path = ptsname(m_master);
    m_keep = open(m_path.c_str(), O_RDWR | O_NOCTTY);
    struct termios tio;
    tcgetattr(m_keep, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_keep, TCSANOW, &tio);
}

RawPty::~RawPty() {
    close(m_master);
    close(m_keep);
}

std::vector<uint8_t> RawPty::Read(size_t n, int waitMs, const std::atomic<bool>* stop) {
    std::vector<uint8_t> got;
    while (got.size() < n && !(stop && *stop)) {
        struct pollfd p = {m_master, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) {
            if (stop) continue;
            break;
        }
        uint8_t b[1300];
        ssize_t r = read(m_master, b, n - got.size() < sizeof(b) ? n - got.size() : sizeof(b));
        if (r <= 0) break;
        got.insert(got.end(), b, b + r);
    }
    return got;
}

ssize_t RawPty::Write(const std::vector<uint8_t>& bytes) { return write(m_master, bytes.data(), bytes.size()); }

}  // namespace emu

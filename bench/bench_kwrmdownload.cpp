// bench_kwrmdownload: a library download from the terminal manager.
// Starts tmanager_emu on 127.0.0.1 offering a library of the given size and
// downloads it with the terminal's client (520-byte blocks over TLS) with the
// SHA-256 terminal set (TLS 1.2) and with the SHA-1 set of the older set-ups
// (TLS 1.0), each from an emulator that sends at once (TCP_NODELAY) and from
// one that keeps the delay of small writes (Nagle), as many servers do;
// reports wall time and the terminal process's CPU time (user + system) of
// each, and how TLS 1.0 compares with TLS 1.2.
//   bench_kwrmdownload [megabytes=5] [emulator path]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/netlayer.h"
#include "pinpad/crc.h"
#include "remote/kwrmcli.h"
#include "support/param.h"
#include "support/sysclock.h"
#include "support/utilfile.h"

struct SBenchRun {
    const char* set;       // terminal set of the test PKI: pki/<set>/SSL[ACK]
    const char* protocol;  // what the set negotiates
    const char* nodelay;   // the emulator's --nodelay
    double wall = 0, cpu = 0, emuCpu = 0;
    bool whole = false;
};

static double aux_Seconds(const struct rusage& ru) {
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

static double aux_CpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return aux_Seconds(ru);
}

// One download of srv/libRAVOux.so from a fresh emulator with the terminal set run->set.
static int aux_Download(const std::string& emu, const std::vector<char>& content, SBenchRun* run) {
    unlink("tm.port");
    unlink("TEMP/libRAVOux.so");
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        execl(emu.c_str(), emu.c_str(), "--cert", "pki/host.crt", "--key", "pki/host.key", "--ca", "pki/ca.crt",
              "--files", "srv", "--scenario", "tm.scn", "--port-file", "tm.port", "--count", "1", "--nodelay",
              run->nodelay, (char*)nullptr);
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        std::ifstream("tm.port") >> port;
        if (port == 0) SysClock_SleepMs(10);
    }
    if (port == 0) {
        fprintf(stderr, "bench_kwrmdownload: emulator %s did not start\n", emu.c_str());
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return 1;
    }

    const std::string dir = std::string("pki/") + run->set + "/";
    NetLayer_Init();
    NetLayer_InitCredentials();
    if (NetLayer_ParseCAFile((dir + "SSLA").c_str()) != 0 || NetLayer_ParseClientCertFile((dir + "SSLC").c_str()) != 0 ||
        NetLayer_ParseClientKeyFile((dir + "SSLK").c_str()) != 0 ||
        NetLayer_Connect("127.0.0.1", static_cast<uint16_t>(port), "") != 0) {
        fprintf(stderr, "bench_kwrmdownload: no TLS connection to the emulator with the %s set\n", run->set);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return 1;
    }
    g_Config.ucFileLoadTimeout = 0;
    uint8_t complete = 0, started = 0;
    double cpu0 = aux_CpuSeconds();
    uint64_t wall0 = SysClock_MonotonicMs();
    int rc = KWRM_CLI_GetAppDataFromKwrm(0x01030200, "TEMP/libRAVOux.so", &complete, &started);
    run->wall = (SysClock_MonotonicMs() - wall0) / 1000.0;
    run->cpu = aux_CpuSeconds() - cpu0;
    KWRM_CLI_CloseSession(0);
    NetLayer_Close();
    NetLayer_FreeCredentials();
    struct rusage emuUsage = {};
    wait4(pid, nullptr, 0, &emuUsage);
    run->emuCpu = aux_Seconds(emuUsage);

    uint32_t got = 0;
    CRC_GetFileCRC("TEMP/libRAVOux.so", &got);
    uint32_t want = CRC_CalcCRC32(reinterpret_cast<const uint8_t*>(content.data()),
                                  static_cast<uint32_t>(content.size()), 0);
    run->whole = rc == 0 && complete == 1 && got == want;
    printf("%s (%s set, server --nodelay %s): result %d, complete %u, content %s\n", run->protocol, run->set,
           run->nodelay, rc, complete, got == want ? "identical" : "DIFFERENT");
    return run->whole ? 0 : 1;
}

int main(int argc, char** argv) {
    double megabytes = argc > 1 ? atof(argv[1]) : 5.0;
    std::string emu = argc > 2 ? argv[2] : RAVO_BUILD_DIR "/emulators/tmanager/tmanager_emu";
    if (megabytes <= 0 || megabytes > 47) {
        fprintf(stderr, "usage: bench_kwrmdownload [megabytes 0..47] [emulator]\n");
        return 2;
    }
    char dir[] = "/tmp/bench-kwrm-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
    for (const char* d : {"LOG", "TEMP", "srv"}) mkdir(d, 0777);
    std::string pki = std::string(RAVO_SOURCE_DIR "/scripts/make_test_pki.sh ") + dir + "/pki >/dev/null 2>&1";
    if (system(pki.c_str()) != 0) {
        fprintf(stderr, "bench_kwrmdownload: test PKI not made (openssl missing?)\n");
        return 1;
    }
    const size_t size = static_cast<size_t>(megabytes * 1024 * 1024);
    std::vector<char> content(size);
    uint32_t x = 1;
    for (char& c : content) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    std::ofstream("srv/libRAVOux.so", std::ios::binary).write(content.data(), static_cast<std::streamsize>(size));
    std::ofstream("tm.scn") << "offer libRAVOux.so 1.3.3\n";

    printf("download of %zu bytes (%zu blocks of 520)\n", size, (size + 519) / 520);
    SBenchRun runs[] = {{"sha256", "TLS 1.2", "1"}, {"sha1", "TLS 1.0", "1"}, {"sha256", "TLS 1.2", "0"},
                        {"sha1", "TLS 1.0", "0"}};
    int failed = 0;
    for (SBenchRun& run : runs) failed |= aux_Download(emu, content, &run);
    for (const SBenchRun& run : runs) {
        printf("%s, server %s: wall %.3f s (%.1f MB/s, %.0f us a block), terminal CPU %.3f s, emulator CPU %.3f s\n",
               run.protocol, run.nodelay[0] == '1' ? "TCP_NODELAY" : "Nagle  ", run.wall,
               run.wall > 0 ? megabytes / run.wall : 0.0, run.wall * 1e6 / static_cast<double>((size + 519) / 520),
               run.cpu, run.emuCpu);
    }
    for (size_t i = 0; i + 1 < sizeof(runs) / sizeof(runs[0]); i += 2) {
        if (runs[i].wall > 0)
            printf("TLS 1.0 / TLS 1.2 wall time, server %s: %.2f\n", runs[i].nodelay[0] == '1' ? "TCP_NODELAY" : "Nagle",
                   runs[i + 1].wall / runs[i].wall);
    }
    std::string clean = std::string("rm -rf '") + dir + "'";
    if (system(clean.c_str()) != 0) return 1;
    return failed;
}

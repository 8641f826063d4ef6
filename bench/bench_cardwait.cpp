// bench_cardwait: the processor cost of waiting for a card.
// Starts pinpad_emu holding the card back for the given time, runs the
// terminal's card request against it and reports the terminal process's
// CPU time per wall-clock second (user + system, getrusage).
//   bench_cardwait [seconds=10] [emulator path]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pinpad/ppcmd.h"
#include "support/param.h"
#include "support/payorder.h"
#include "support/sysclock.h"
#include "support/utilfile.h"

static double aux_CpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
    std::string emu = argc > 2 ? argv[2] : RAVO_BUILD_DIR "/emulators/pinpad/pinpad_emu";
    char dir[] = "/tmp/bench-cardwait-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    if (chdir(dir) != 0) return 1;
    UtilFile_CreateDir("LOG");
    std::ofstream("pad.scn") << "card=stripe\ncard_delay_ms=" << seconds * 1000 << "\n";

    pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execl(emu.c_str(), emu.c_str(), "-s", "pad.scn", "-p", "pad.pty", (char*)nullptr);
        _exit(127);
    }
    std::string path;
    for (int i = 0; i < 500 && path.empty(); ++i) {
        std::ifstream in("pad.pty");
        in >> path;
        if (path.empty()) SysClock_SleepMs(10);
    }
    if (path.empty()) {
        fprintf(stderr, "bench_cardwait: emulator %s did not start\n", emu.c_str());
        return 1;
    }
    memset(&g_ComConfig, 0, sizeof(g_ComConfig));
    g_ComConfig.usComPort = 1;
    g_ComConfig.ulBaudrate = 115200;
    g_ComConfig.usProtoTO = 12000;
    snprintf(g_ComConfig.szComDevice, sizeof(g_ComConfig.szComDevice), "%s", path.c_str());
    int rc = Connect(1);
    if (rc != 0) {
        fprintf(stderr, "bench_cardwait: connect %d\n", rc);
        return 1;
    }

    S_PAY_ORDER order;
    memset(&order, 0, sizeof(order));
    uint8_t state = 0;
    double cpu0 = aux_CpuSeconds();
    uint64_t wall0 = SysClock_MonotonicMs();
    rc = CardRequest(0x0B, 2, static_cast<uint16_t>(seconds + 30), 1, &state, &order);
    double cpu = aux_CpuSeconds() - cpu0;
    double wall = (SysClock_MonotonicMs() - wall0) / 1000.0;
    Disconnect();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    printf("card request: result %d, state %u\n", rc, state);
    printf("wall %.2f s, terminal CPU %.4f s, CPU per wall second %.4f%% of one core\n", wall, cpu,
           wall > 0 ? 100.0 * cpu / wall : 0.0);
    unlink("pad.scn");
    unlink("pad.pty");
    return rc == 0 && state == CARD_STATE_STRIPE ? 0 : 1;
}

// emulators/tmanager/tmemu_main.cpp
// tmanager_emu: the emulated terminal manager for tests and demonstrations.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulators/tmanager/tmemu.h"

static void aux_Usage() {
    fprintf(stderr,
            "usage: tmanager_emu --cert FILE --key FILE --ca FILE [--files DIR] [--logs DIR]\n"
            "                    [--port N] [--port-file FILE] [--scenario FILE] [--trace FILE]\n"
            "                    [--count N] [--idle SECONDS] [--nodelay 0|1] [--sign-key FILE]\n"
            "  --files: folder of the served files; --logs: folder that receives uploaded logs.\n"
            "  --scenario: read again before each session; --sign-key: software offers carry a signature\n"
            "  made with this private key (PEM).\n"
            "  --port 0 (the default) picks a free port; --port-file receives the port number.\n"
            "  --count N ends after N connections (0, the default: until killed).\n"
            "  --nodelay 0 keeps the delay of small writes (Nagle), as a server without TCP_NODELAY.\n");
}

static bool aux_Number(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    *out = strtoul(text, &end, 10);
    return *text != '\0' && *end == '\0' && *out <= max;
}

int main(int argc, char** argv) {
    STmEmuConfig cfg = {};
    cfg.ulIdleMs = 120000;
    for (int i = 1; i < argc; i += 2) {
        const char* opt = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long v = 0;
        if (val == nullptr) return aux_Usage(), 2;
        if (!strcmp(opt, "--cert")) cfg.pszCertFile = val;
        else if (!strcmp(opt, "--key")) cfg.pszKeyFile = val;
        else if (!strcmp(opt, "--ca")) cfg.pszCAFile = val;
        else if (!strcmp(opt, "--files")) cfg.pszFilesDir = val;
        else if (!strcmp(opt, "--logs")) cfg.pszLogsDir = val;
        else if (!strcmp(opt, "--scenario")) cfg.pszScenario = val;
        else if (!strcmp(opt, "--trace")) cfg.pszTrace = val;
        else if (!strcmp(opt, "--port-file")) cfg.pszPortFile = val;
        else if (!strcmp(opt, "--sign-key")) cfg.pszSignKey = val;
        else if (!strcmp(opt, "--port") && aux_Number(val, 65535, &v)) cfg.usPort = static_cast<uint16_t>(v);
        else if (!strcmp(opt, "--count") && aux_Number(val, 1000000, &v)) cfg.uConnections = static_cast<unsigned>(v);
        else if (!strcmp(opt, "--idle") && aux_Number(val, 3600, &v) && v > 0) cfg.ulIdleMs = static_cast<uint32_t>(v * 1000);
        else if (!strcmp(opt, "--nodelay") && aux_Number(val, 1, &v)) cfg.bKeepNagle = v == 0;
        else return aux_Usage(), 2;
    }
    if (!cfg.pszCertFile || !cfg.pszKeyFile || !cfg.pszCAFile) return aux_Usage(), 2;
    // A terminal that hangs up mid-answer must end that client, not the emulator.
    signal(SIGPIPE, SIG_IGN);
    return TmEmu_Run(&cfg);
}

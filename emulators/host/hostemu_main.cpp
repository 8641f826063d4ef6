// emulators/host/hostemu_main.cpp
// host_emu: the emulated acquiring host for tests and demonstrations.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulators/host/hostemu.h"

static void aux_Usage() {
    fprintf(stderr,
            "usage: host_emu --cert FILE --key FILE --ca FILE [--port N] [--port-file FILE]\n"
            "                [--scenario FILE] [--trace FILE] [--count N] [--idle SECONDS] [--nodelay 0|1]\n"
            "  --port 0 (the default) picks a free port; --port-file receives the port number.\n"
            "  --count N ends after N connections (0, the default: until killed).\n"
            "  --nodelay 0 keeps the delay of small writes (Nagle), as a server without TCP_NODELAY.\n");
}

int main(int argc, char** argv) {
    SHostEmuConfig cfg = {};
    cfg.ulIdleMs = 120000;
    for (int i = 1; i < argc; ++i) {
        const char* opt = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        if (val == nullptr) {
            aux_Usage();
            return 2;
        }
        char* end = nullptr;
        if (!strcmp(opt, "--cert")) cfg.pszCertFile = val;
        else if (!strcmp(opt, "--key")) cfg.pszKeyFile = val;
        else if (!strcmp(opt, "--ca")) cfg.pszCAFile = val;
        else if (!strcmp(opt, "--scenario")) cfg.pszScenario = val;
        else if (!strcmp(opt, "--trace")) cfg.pszTrace = val;
        else if (!strcmp(opt, "--port-file")) cfg.pszPortFile = val;
        else if (!strcmp(opt, "--port")) {
            unsigned long v = strtoul(val, &end, 10);
            if (*end || v > 65535) return aux_Usage(), 2;
            cfg.usPort = static_cast<uint16_t>(v);
        } else if (!strcmp(opt, "--count")) {
            unsigned long v = strtoul(val, &end, 10);
            if (*end) return aux_Usage(), 2;
            cfg.uConnections = static_cast<unsigned>(v);
        } else if (!strcmp(opt, "--idle")) {
            unsigned long v = strtoul(val, &end, 10);
            if (*end || v == 0 || v > 3600) return aux_Usage(), 2;
            cfg.ulIdleMs = static_cast<uint32_t>(v * 1000);
        } else if (!strcmp(opt, "--nodelay")) {
            unsigned long v = strtoul(val, &end, 10);
            if (*end || v > 1) return aux_Usage(), 2;
            cfg.bKeepNagle = v == 0;
        } else {
            aux_Usage();
            return 2;
        }
        ++i;
    }
    if (!cfg.pszCertFile || !cfg.pszKeyFile || !cfg.pszCAFile) {
        aux_Usage();
        return 2;
    }
    // A terminal that hangs up mid-answer must end that client, not the emulator.
    signal(SIGPIPE, SIG_IGN);
    return HostEmu_Run(&cfg);
}

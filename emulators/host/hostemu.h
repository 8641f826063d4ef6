// emulators/host/hostemu.h
// The emulated acquiring host's serving loop: clients one after another, each
// request decoded, traced and answered from the scenario.
#pragma once
#include <cstdint>

struct SHostEmuConfig {
    const char* pszCertFile;
    const char* pszKeyFile;
    const char* pszCAFile;
    const char* pszScenario;  // null: the usual answers only
    const char* pszTrace;     // null: no trace
    const char* pszPortFile;  // null: the port is only printed
    uint16_t usPort;          // 0: any free port
    unsigned uConnections;    // 0: serve until killed
    uint32_t ulIdleMs;        // longest wait for a client's next bytes
    bool bKeepNagle;          // answers wait for acknowledgements (Nagle), as a server without TCP_NODELAY
};

// Serves clients; returns the process exit status (0, or 2 when it could not start).
int HostEmu_Run(const SHostEmuConfig* config);

// emulators/tmanager/tmemu.h
// The emulated terminal manager's serving loop: clients one after another,
// every frame checked with the terminal's own codec, traced, and answered
// from the served folder and the scenario.
#pragma once
#include <cstdint>

struct STmEmuConfig {
    const char* pszCertFile;
    const char* pszKeyFile;
    const char* pszCAFile;
    const char* pszFilesDir;  // folder of the files served by command; null: none
    const char* pszLogsDir;   // where uploaded logs are stored; null: checked, not stored
    const char* pszScenario;  // null: plain answers only; else read again before each session
    const char* pszSignKey;   // null: software served as it is; else signed with this private key
    const char* pszTrace;     // null: no trace
    const char* pszPortFile;  // null: the port is only printed
    uint16_t usPort;          // 0: any free port
    unsigned uConnections;    // 0: serve until killed
    uint32_t ulIdleMs;        // longest wait for a client's next bytes
    bool bKeepNagle;          // answers wait for acknowledgements (Nagle), as a server without TCP_NODELAY
};

// Serves clients; returns the process exit status (0, or 2 when it could not start).
int TmEmu_Run(const STmEmuConfig* config);

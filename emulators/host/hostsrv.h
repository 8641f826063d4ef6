// emulators/host/hostsrv.h
// The TLS server side of the emulated acquiring host: one listening socket on
// 127.0.0.1, one client at a time, the host's one cipher suite, and client
// certificates checked against the trusted chain.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct SHostSrvConfig {
    const char* pszCertFile;  // host certificate chain (PEM)
    const char* pszKeyFile;   // host private key (PEM)
    const char* pszCAFile;    // chain that client certificates must verify against
    uint16_t usPort;          // 0: the system picks a free port
    uint32_t ulIdleMs;        // longest wait for a client's bytes
};

// Loads the credentials and starts listening; 0, or -1 with a message in err.
int HostSrv_Start(const SHostSrvConfig* config, std::string* err);
// Returns the port the server listens on.
uint16_t HostSrv_Port();
// Waits for the next client and runs the handshake; 0, or a negative TLS error with a
// description in err (the client is closed then).
int HostSrv_Accept(std::string* err);
// Reads exactly length bytes from the client; 0, or -1 when it closed, failed or idled.
int HostSrv_Read(uint8_t* buffer, size_t length);
// Writes all bytes to the client; 0 or -1.
int HostSrv_Write(const uint8_t* data, size_t length);
// Returns the protocol version and cipher suite of the current client, for the trace.
std::string HostSrv_SessionInfo();
// Ends the current client: with the close notification when graceful, else a bare close.
void HostSrv_CloseClient(bool graceful);
// Stops listening and frees everything.
void HostSrv_Stop();

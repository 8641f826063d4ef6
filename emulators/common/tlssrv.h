// emulators/common/tlssrv.h
// The TLS server side of the emulated acquiring host and terminal manager: one
// listening socket on 127.0.0.1, one client at a time, the terminal's one cipher
// suite, and client certificates checked against the trusted chain.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct STlsSrvConfig {
    const char* pszCertFile;  // server certificate chain (PEM)
    const char* pszKeyFile;   // server private key (PEM)
    const char* pszCAFile;    // chain that client certificates must verify against
    uint16_t usPort;          // 0: the system picks a free port
    uint32_t ulIdleMs;        // longest wait for a client's bytes
    bool bKeepNagle;          // leave the delay of small writes on (a server without TCP_NODELAY)
};

// Loads the credentials and starts listening; 0, or -1 with a message in err.
int TlsSrv_Start(const STlsSrvConfig* config, std::string* err);
// Returns the port the server listens on.
uint16_t TlsSrv_Port();
// Writes the port as a line into path, through a file renamed into place so that a
// reader sees the whole number or nothing; 0 or -1.
int TlsSrv_WritePortFile(const char* path);
// Waits for the next client and runs the handshake; 0, or a negative TLS error with a
// description in err (the client is closed then): the TLS library's words, the alert the
// client refused the server with, and what was wrong with the client's certificate.
int TlsSrv_Accept(std::string* err);
// Reads exactly length bytes from the client; 0, or -1 when it closed, failed or idled.
int TlsSrv_Read(uint8_t* buffer, size_t length);
// Writes all bytes to the client; 0 or -1.
int TlsSrv_Write(const uint8_t* data, size_t length);
// Returns the protocol version and cipher suite of the current client, for the trace.
std::string TlsSrv_SessionInfo();
// Ends the current client: with the close notification when graceful, else a bare close.
void TlsSrv_CloseClient(bool graceful);
// Stops listening and frees everything.
void TlsSrv_Stop();

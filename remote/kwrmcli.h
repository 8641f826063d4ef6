// remote/kwrmcli.h
// The client side of the terminal-manager protocol: one framed exchange at a
// time over the open TLS connection of host/netlayer.h (the session connects
// and closes it), and on top of it the commands of a session. Every operation
// returns 0 or a code of support/result_codes.h; downloads write only their
// target path, which the session points into TEMP and moves into place itself.
#pragma once
#include <cstdint>

// A file announced at this size or larger is refused; so is a log to upload.
enum : uint32_t { KWRM_MAX_FILE_SIZE = 50000001 };

enum : uint16_t {
    KWRM_DATETIME_SIZE = 13,   // date-and-time text: 12 characters and the terminator
    KWRM_TK_SIZE = 16,         // transport key delivered by the manager
};

// The software report sent with the software information command.
struct SSoftEntry16 {
    char szName[16];
    uint32_t ulVersion;  // major, minor, build in the top three bytes
    uint32_t ulCrc;
};
struct SSoftEntry24 {
    char szName[24];
    uint32_t ulVersion;
    uint32_t ulCrc;
};
struct SSoftConfig {
    char szEdition[8];     // "LINUX"
    SSoftEntry16 stOther;  // "NO_FILE", 0, 0
    SSoftEntry24 stLib;    // the library file behind the link, its version and CRC
    SSoftEntry24 stLib2;   // the same again
    struct {
        char szName[16];   // the PIN pad's application file, "" when none applies
        uint32_t ulVersion;
    } stPadApp;
};

// Sets the session's time budget: a point on SysClock_MonotonicMs() (0: none;
// the budget outlives the call, so the session sets 0 again when it ends).
// Past it no operation but the close frame starts (RES_KWRM_TIME_BUDGET); a download that
// reaches it between blocks stops: a resumable one like the FILELOADTIMEOUT
// stop (partial file kept, RES_OK with complete 0), any other with RES_KWRM_TIME_BUDGET and no file.
void KWRM_CLI_SetDeadline(uint64_t monotonicMs);

// Opens the protocol session with the 8-character terminal id; RES_OK, RES_KWRM_TERMINAL_ID (nothing
// sent), RES_KWRM_SESSION_REFUSED when refused, or an exchange code.
uint16_t KWRM_CLI_OpenSession(const char* terminalId);

// File downloads into target, identified by the CRC-32 of current (0 when absent). updated becomes 1
// only when a whole file of the announced size and CRC arrived (flushed to the disk); a refusal of the
// request means nothing newer: RES_OK, updated 0. A failed download leaves no target behind. Besides
// exchange codes: RES_KWRM_FILE_RECV (too big, not written, wrong size), RES_KWRM_FILE_CREATE (target
// not opened), RES_KWRM_FILE_CRC (CRC), RES_KWRM_DISK_SPACE (disk space).
uint16_t KWRM_CLI_GetConfigFromKwrm(const char* target, const char* current, uint8_t* updated);
uint16_t KWRM_CLI_GetBinTableFromKwrm(const char* target, const char* current, uint8_t* updated);
uint16_t KWRM_CLI_GetEmvCapkFromKwrm(const char* target, const char* current, uint8_t* updated);
uint16_t KWRM_CLI_GetEmvCfgFromKwrm(const char* target, const char* current, uint8_t* updated);
// The same for a TLS file (command 0x14, 0x15 or 0x16) with the PIN pad's CRC as
// identifier (0: the CRC of current); sets updated to 1 when a file arrived, never clears it.
uint16_t KWRM_CLI_GetSSLDataFromKwrm(uint8_t command, const char* target, const char* current, uint8_t* updated,
                                     uint32_t identifier);

// Software download into target for the given installed version: resumable from
// what target already holds when FILELOADTIMEOUT is set (stopping after that many
// seconds with the partial file kept), else from the start. started = 1 once blocks
// were asked for, complete = 1 once the whole file arrived with its CRC. The version
// the manager announces goes to announced when it is not null (0 when none).
uint16_t KWRM_CLI_GetAppDataFromKwrm(uint32_t version, const char* target, uint8_t* complete, uint8_t* started,
                                     uint32_t* announced = nullptr);

// Asks for a transport key, giving the 24-bit KCV of the pad's key (0: none).
// update 0: no new key; else key holds keyLength (16) bytes. RES_OK or RES_KWRM_TK_LOAD.
uint16_t KWRM_CLI_GetTKFromKwrm(uint32_t kcv, uint8_t* keyLength, uint8_t* update, uint8_t* key);
// Reports the load of a new transport key; RES_OK or RES_KWRM_TK_CHANGE.
uint16_t KWRM_CLI_SendLoadTKInfo(uint8_t loadResult, uint32_t newKcv);
// The manager's 12 date-and-time characters into text (13 bytes), unparsed; RES_OK or
// RES_KWRM_DATETIME with text "".
uint16_t KWRM_CLI_GetDateTime(char* text);
// Sends the software report; RES_OK or RES_KWRM_SOFTINFO.
uint16_t KWRM_CLI_SendSoftInfoEx(const SSoftConfig* info);
// Writes the software report's text as sent into out (size bytes, terminated); its length.
uint16_t KWRM_CLI_BuildSoftInfoText(const SSoftConfig* info, char* out, uint16_t size);
// Uploads a file in blocks of 520 bytes; RES_OK, RES_KWRM_FILE_SEND, RES_KWRM_NO_FILE,
// RES_KWRM_FILE_OPEN (also: not a plain file), RES_KWRM_FILE_IO, RES_KWRM_FILE_LENGTH or
// RES_KWRM_UPLOAD_REFUSED. Only a plain file is sent (KWRM_CLI_IsPlainFile), opened without
// following a link.
uint16_t KWRM_CLI_PutLogFileToKwrm(const char* path);
// 1 when path is a file the terminal may upload: a regular file, not a link
// (none is followed) and with no other name (no hard link to a file elsewhere).
int KWRM_CLI_IsPlainFile(const char* path);
// Sends the close frame with the session status; no answer is read. RES_OK or RES_KWRM_TRANSPORT.
uint16_t KWRM_CLI_CloseSession(uint32_t status);

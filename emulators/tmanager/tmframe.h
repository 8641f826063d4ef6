// emulators/tmanager/tmframe.h
// The emulated manager's own framing of the terminal's management protocol,
// kept apart from the terminal's code so that each side checks the other.
// One frame, the same in both directions (numbers big-endian):
//   STX 0x02, L (2: data bytes + 6), command, data, ETX 0x03, CRC-32 (4)
// with the CRC-32 started from 0 and run over L, the command, the data and ETX.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

enum : uint8_t { TMFRAME_STX = 0x02, TMFRAME_ETX = 0x03 };

enum : uint16_t {
    TMFRAME_HEAD = 4,                           // STX, L, command
    TMFRAME_TAIL = 5,                           // ETX, CRC
    TMFRAME_L_EXTRA = 6,                        // L counts the data and these
    TMFRAME_MAX_DATA = 520,                     // data bytes a frame may carry
    TMFRAME_MAX_L = TMFRAME_MAX_DATA + TMFRAME_L_EXTRA,
    TMFRAME_MAX = TMFRAME_HEAD + TMFRAME_MAX_DATA + TMFRAME_TAIL,
};

// Commands of the terminal; 0x31, 0x33 and 0x40 are also answers of their own.
enum : uint8_t {
    TMCMD_OPEN = 0x11,          // open session: terminal id
    TMCMD_CONFIG = 0x12,        // CONFIG.INI
    TMCMD_RANGES = 0x13,        // RANGE.CFG
    TMCMD_SSLA = 0x14,          // TLS trusted chain
    TMCMD_SSLC = 0x15,          // TLS client certificate
    TMCMD_SSLK = 0x16,          // TLS client key
    TMCMD_APP = 0x1A,           // software file
    TMCMD_LOG_START = 0x1B,     // log upload start
    TMCMD_APP_RESUME = 0x1C,    // software file from an offset
    TMCMD_EMVCAPK = 0x20,       // EMV public keys
    TMCMD_TK = 0x23,            // transport key
    TMCMD_TK_REPORT = 0x24,     // transport key load report
    TMCMD_EMVCFG = 0x27,        // EMV configuration
    TMCMD_DATETIME = 0x2B,      // date and time
    TMCMD_NEXT_BLOCK = 0x30,    // next download block
    TMCMD_REPEAT = 0x31,        // answer: send the last request again
    TMCMD_UPLOAD_BLOCK = 0x32,  // upload block
    TMCMD_END = 0x33,           // upload end; as an answer, download end with the file's CRC
    TMCMD_SOFTINFO = 0x34,      // software information text
    TMCMD_STATUS = 0x40,        // close session; as an answer, the manager's status frame
};

// First data byte of an ordinary answer.
enum : uint8_t {
    TMSTATUS_OK = 0x00,
    TMSTATUS_REFUSED = 0x01,      // the emulator's refusal ("nothing newer", a bad request)
    TMSTATUS_PARTIAL_CRC = 0x40,  // answer to 0x1C: the partial file's CRC does not match
};

// What a received frame's head or tail says.
enum ETmFrameCheck : uint8_t {
    TMFRAME_OK,
    TMFRAME_NO_STX,      // first byte not STX
    TMFRAME_BAD_LENGTH,  // L below 6 or above 526
    TMFRAME_NO_ETX,      // the byte after the data not ETX
    TMFRAME_BAD_CRC,     // the CRC is not the frame's
};

// The whole frame of command and data (at most TMFRAME_MAX_DATA bytes).
std::vector<uint8_t> TmFrame_Build(uint8_t command, const uint8_t* data, size_t n);
// Reads a frame's four head bytes: the data length and the command, or why not.
ETmFrameCheck TmFrame_CheckHead(const uint8_t* head, uint16_t* dataLength, uint8_t* command);
// Checks the five tail bytes of a frame of that head and n data bytes.
ETmFrameCheck TmFrame_CheckTail(const uint8_t* head, const uint8_t* data, size_t n, const uint8_t* tail);
// The CRC-32 a frame of that head and data carries.
uint32_t TmFrame_Crc(const uint8_t* head, const uint8_t* data, size_t n);

// Big-endian numbers inside frames.
void TmFrame_PutU32(uint8_t* out, uint32_t value);
uint32_t TmFrame_GetU32(const uint8_t* in);

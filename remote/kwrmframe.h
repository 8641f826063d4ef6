// remote/kwrmframe.h
// The terminal manager's frame, the same in both directions:
//   STX, L (2 bytes, big-endian, data length + 6), command, data, ETX, CRC-32 (4, big-endian)
// with the CRC chained over L, the command, the data and ETX. The client and
// the emulated manager both build and check frames here.
#pragma once
#include <cstdint>

enum : uint8_t { KWRM_STX = 0x02, KWRM_ETX = 0x03 };

enum : uint16_t {
    KWRM_HEADER_SIZE = 4,    // STX, L, command
    KWRM_TRAILER_SIZE = 5,   // ETX, CRC
    KWRM_L_OVERHEAD = 6,     // L counts the data plus this
    KWRM_MAX_DATA = 520,     // data bytes in one frame
    KWRM_MAX_L = KWRM_MAX_DATA + KWRM_L_OVERHEAD,
    KWRM_MAX_FRAME = KWRM_HEADER_SIZE + KWRM_MAX_DATA + KWRM_TRAILER_SIZE,
};

// Command codes; 0x31, 0x33 and 0x40 also come back as answers of their own.
enum : uint8_t {
    KWRM_CMD_OPEN = 0x11,          // open session: terminal id
    KWRM_CMD_CONFIG = 0x12,        // CONFIG.INI
    KWRM_CMD_RANGES = 0x13,        // RANGE.CFG
    KWRM_CMD_SSLA = 0x14,          // TLS trusted chain
    KWRM_CMD_SSLC = 0x15,          // TLS client certificate
    KWRM_CMD_SSLK = 0x16,          // TLS client key
    KWRM_CMD_APP = 0x1A,           // software file
    KWRM_CMD_LOG_START = 0x1B,     // log upload start
    KWRM_CMD_APP_RESUME = 0x1C,    // software file from an offset
    KWRM_CMD_EMVCAPK = 0x20,       // EMV public keys
    KWRM_CMD_TK = 0x23,            // transport key
    KWRM_CMD_TK_REPORT = 0x24,     // transport key load report
    KWRM_CMD_EMVCFG = 0x27,        // EMV configuration
    KWRM_CMD_DATETIME = 0x2B,      // date and time
    KWRM_CMD_NEXT_BLOCK = 0x30,    // next download block
    KWRM_CMD_REPEAT = 0x31,        // answer: send the last request again
    KWRM_CMD_UPLOAD_BLOCK = 0x32,  // upload block
    KWRM_CMD_END = 0x33,           // upload end; as an answer, download end with the file's CRC
    KWRM_CMD_SOFTINFO = 0x34,      // software information text
    KWRM_CMD_STATUS = 0x40,        // close session; as an answer, the manager's status frame
};

// First data byte of an ordinary answer.
enum : uint8_t {
    KWRM_STATUS_OK = 0x00,
    KWRM_STATUS_PARTIAL_CRC = 0x40,  // answer to 0x1C: the partial file's CRC does not match
    KWRM_STATUS_REFUSED = 0x01,      // what the emulated manager sends for a refusal
};

// Writes a whole frame (n + 9 bytes) into out; n must not exceed KWRM_MAX_DATA.
// Returns the frame length.
uint16_t KwrmFrame_Build(uint8_t command, const uint8_t* data, uint16_t n, uint8_t* out);
// Checks a received header against a receive buffer of bufferSize data bytes;
// RES_OK with the data length and command, RES_KWRM_FRAME without STX, RES_KWRM_LENGTH for L < 6, L > 526
// or L > bufferSize + 6.
int KwrmFrame_CheckHeader(const uint8_t* header, uint16_t bufferSize, uint16_t* dataLength, uint8_t* command);
// Checks the trailer of a frame whose header and n data bytes were received;
// RES_OK, RES_KWRM_FRAME without ETX, RES_KWRM_CRC when the CRC differs.
int KwrmFrame_CheckTrailer(const uint8_t* header, const uint8_t* data, uint16_t n, const uint8_t* trailer);
// Returns the CRC-32 that a frame of these header and data bytes carries.
uint32_t KwrmFrame_Crc(const uint8_t* header, const uint8_t* data, uint16_t n);

// Big-endian numbers inside frames.
void KwrmFrame_PutU32(uint8_t* out, uint32_t value);
uint32_t KwrmFrame_GetU32(const uint8_t* in);

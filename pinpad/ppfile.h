// pinpad/ppfile.h
// Files, keys and software that the terminal hands to the PIN pad: block-wise
// file transfer in both directions with CRC-32 checks (a file whose CRC the
// pad already holds is not sent again), the key commands with their check
// values (KCV), the pad's application update and the connect-time checks
// that bring the card-range table and the TLS files into step.
// The update-key flags command lives with the device commands (ppcmd.h).
#pragma once
#include <cstdint>
#include <cstdio>

// Key types of the pad.
enum PP_KEY_TYPE : uint8_t {
    PP_KEY_ROOT = 0,
    PP_KEY_MK = 1,      // master key
    PP_KEY_WK = 2,      // working key
    PP_KEY_MAC = 3,
    PP_KEY_TK = 4,      // transport key
    PP_KEY_GK = 5,
    PP_KEY_DTDES = 6,
    PP_KEY_RDTDES = 7,
};

enum : uint32_t {
    PP_FILE_NAME_MAX = 7,       // longest file name on the pad
    PP_FILE_BLOCK_MAX = 800,    // block size offered; the pad may answer with less
    PP_APP_BLOCK_MAX = 800,     // bytes of the application image per block
    PP_KEY_SIZE = 16,           // key bytes of KeyLoad
    PP_KCV_SIZE = 3,
    PP_TK_INDEX = 1,            // slot of the transport key
};
// File-transfer TLV tags.
enum : uint32_t {
    PP_TAG_FILE_NAME = 0x1F55,
    PP_TAG_FILE_LENGTH = 0x1F56,
    PP_TAG_FILE_CRC = 0x1F57,
    PP_TAG_BLOCK_SIZE = 0x1F58,
    PP_TAG_BLOCK_INDEX = 0x1F59,
    PP_TAG_BLOCK_DATA = 0x1F60,
    PP_TAG_READ_SIZE = 0x1F61,
    PP_TAG_END_OF_FILE = 0x1F62,
};
enum : uint8_t { PP_FILE_DIR_WRITE = 0, PP_FILE_DIR_READ = 1 };

// Pad names of the TLS files; the pad holds the master copies.
#define PP_FILE_SSL_CA "SSLA"
#define PP_FILE_SSL_CERT "SSLC"
#define PP_FILE_SSL_KEY "SSLK"
#define PP_FILE_RANGES "RANGES"

// Name of a pad key type as logged ("ROOT", "MK", ... or "Unknown").
const char* GetPPKeyName(uint8_t type);

// (18,1) Length and CRC of a pad file (name or path); crc in: sent, out: the pad's.
// RES_OK (also when the pad has no such file: CRC and length 0), 1 when the pad's
// length or CRC is 0, RES_PP_PORT_OPEN for a bad name, or a link error.
int FileCheck(const char* name, uint32_t* crc, uint32_t* length, uint8_t quiet);
// (18,2) / (18,5) Opens a transfer; blockSize gets the pad's block size (1..800).
// RES_OK, RES_PP_PORT_OPEN or a link error.
int FileStart(const char* name, uint16_t* blockSize, uint8_t direction);
// (18,3) Sends count (at most 800) bytes at *offset of source, or of the file
// at path when source is null, as block blockIndex; *offset advances.
// RES_OK, RES_PP_PORT_OPEN, a file error or a link error.
int FileWriteBlock(const char* path, int32_t* offset, uint16_t count, uint16_t blockIndex, const uint8_t* source);
// (18,6) Reads block blockIndex of a file of totalLength bytes into out at
// blockIndex * blockSize, or appends it to file when out is null; chains *crc
// over the data; *end is set when the pad marked the last block.
// RES_OK, RES_PP_PORT_OPEN (no data, no end mark, a block beyond the length, write error) or a link error.
int FileReadBlock(FILE* file, uint32_t totalLength, uint16_t blockIndex, uint32_t* crc, uint16_t blockSize,
                  uint8_t* end, uint8_t* out);
// Writes a file to the pad: length bytes of buffer (padName required) or the
// file at path; nothing is sent when the pad's CRC already matches.
// RES_OK, RES_KWRM_FILE_CRC, RES_PP_PORT_OPEN or an error of the steps.
int PPLayer_FileWrite(const char* path, const char* padName, const uint8_t* buffer, int32_t length);
// Reads a pad file into buffer (*size in: its room, out: the file length) or, when buffer is null,
// into the file at path, replaced only once the whole file arrived with the pad's CRC. RES_OK,
// RES_PP_FILE_CREATE, RES_KWRM_FILE_CRC, RES_PP_PORT_OPEN, RES_PP_REPLY_TOO_LONG (larger than the
// buffer) or an error of the steps.
int PPLayer_FileRead(const char* path, const char* padName, uint8_t* buffer, uint32_t* size);

// (6,24) KCV of a key into *kcv (0 on failure), for the transport key's slot also into the pad's
// profile; RES_OK or RES_PP_KEY_CHECK.
int KeyCheck(uint8_t type, uint8_t index, uint32_t* kcv, uint8_t quiet);
// (6,27) Loads 16 key bytes enciphered under master key mkIndex; RES_OK or RES_KEY_REFUSED.
int KeyLoad(uint8_t mkIndex, uint8_t type, uint8_t index, const uint8_t* key, uint32_t* kcv);
// (6,16) / (6,17) Loads the transport key (16 or 24 bytes, plain or enciphered); the new key's KCV
// goes to *kcv and the pad's profile. RES_OK, RES_KWRM_TK_CHANGE or a link error.
int TKLoad(uint8_t length, const uint8_t* key, uint32_t* kcv, uint8_t enciphered);
// TKLoad of enciphered key material.
int TKLoadEncrypted(uint8_t length, const uint8_t* key, uint32_t* kcv);

// Checks that the pad holds "SSLA", "SSLC" and "SSLK", keeping their CRCs in
// the pad's profile; 0 when all three are there, else 1.
int RsaCheckAll();

// Where the parsed TLS files go: each function parses the PEM file at path
// into the holder of the TLS client (the host link's credentials) and returns
// 0 or the TLS library's negative error.
struct S_PP_SSL_PARSERS {
    int (*pfnParseCA)(const char* path);          // "SSLA": the trusted chain
    int (*pfnParseClientCert)(const char* path);  // "SSLC": the terminal's certificate chain
    int (*pfnParseClientKey)(const char* path);   // "SSLK": the terminal's key, no password
};
// Brings DATA/<name> in step with the pad's file of CRC expectedCrc (read from
// the pad when absent or different) and parses it through parsers (null:
// parsed into a throw-away object, a check only). RES_OK, RES_TLS_CERT_FILES (not read from the
// pad), RES_TLS_PAD_FILE (unknown name) or the TLS library's negative error.
int PPlayer_UpdateAndParseSSLFile(const char* name, uint32_t expectedCrc, const S_PP_SSL_PARSERS* parsers);

// Puts a waiting DATA/Btbl in place of DATA/RANGE.CFG, checks the table
// (RangeFile_Check), writes it to the pad as "RANGES" unless the pad's CRC
// matches (pad CRC into *rangeCrc) and checks the transport key (KCV into
// *tkKcv); either may be null, both go to the pad's profile. RES_OK, RES_NO_RANGES (a table that does not read: the reason is
// logged) or RES_PP_NO_TK_RANGES (no table, not written, no transport key).
int PPlayer_CheckPA(uint32_t* rangeCrc, uint32_t* tkKcv);

// (9,1) Announces an application image of length bytes.
int UpdateAppStart(uint32_t length);
// (9,2) Sends up to 800 bytes of the image at path from *offset; advances *offset and chains *crc.
// RES_OK, RES_PP_PORT_OPEN (nothing left to read), a file error or the exchange result.
int UpdateAppWriteBlock(const char* path, int32_t* offset, uint32_t* crc);
// (9,3) Ends the update with the CRC-32 of the whole image.
int UpdateAppFinish(uint32_t crc);
// Sends the application image at path to the pad; 0 or an error of the steps.
int PPLayer_AppUpdate(const char* path);

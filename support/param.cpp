// support/param.cpp
// Reader of the flat key=value files DATA/CONFIG.INI and DATA/DEVICE.INI and
// the one-key rewrite through DATA/TMPCFG.INI.
#include "support/param.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include <string>
#include <unistd.h>

#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

SConfig g_Config;
SComConfig g_ComConfig;

namespace {

enum { PARAM_NAME_MAX = 32, PARAM_LINE_MAX = 127, PARAM_INT_MAX = 10, PARAM_HEX_DIGITS = 8 };
enum { TRIM_LEADING = 1, TRIM_TRAILING = 2, TRIM_BOTH = 3 };
// Result of the name reader when the line ended before a "="; never leaves it.
enum { READ_LINE_END = -3 };
// A line of the rewrite is read into this many bytes; a line that fills it is refused.
enum { REWRITE_LINE_BUF = 512 };
// Names of a file that are no key, kept for the hint at a missing key.
enum { PARAM_UNKNOWN_MAX = 16 };
// Room for a path in the messages (a checked file may lie anywhere).
enum { PARAM_PATH_MAX = 256 };
// The working key: its first 32 characters are the key, in hexadecimal.
enum { PARAM_KEY_HEX_DIGITS = 32 };
enum : uint16_t { PARAM_COMPORT_MAX = 250, PARAM_PROTO_TO_MIN = 5000, PARAM_PROTO_TO_MAX = 30000,
                  PARAM_PROTO_TO_DEFAULT = 12000 };
enum : uint32_t { PARAM_BAUD_DEFAULT = 19200 };
enum : uint8_t { PARAM_FILE_LOAD_MIN = 15, PARAM_FILE_LOAD_MAX = 120 };

enum EParamKind : uint8_t {
    PK_TEXT,
    PK_ADDRESS,           // a dotted IPv4 address: the links look no name up
    PK_KEY,               // a working key: 32 hexadecimal characters first; never shown in the log
    PK_RECEIPT_TEXT,      // printed on the receipt, which reads it as Windows-1251
    PK_U8,
    PK_U16,
    PK_U32,
    PK_BASE_CURRENCY,     // kept only when it does not start with "BY"
    PK_FILE_LOAD_TIMEOUT, // kept only within 15..120
    PK_LOG_LEVEL,         // handed to the logger at once
    PK_CHEQUE_WIDTH,      // receipts take it within 20..80
    PK_REPORT_COUNT,      // reports take it within 1..3, else 1
};

// One key of a file: how its value is read and the field of the records in
// force (g_Config, g_ComConfig) it goes to; a check reads the same field of
// its own records.
struct SParamKey {
    const char* key;
    EParamKind kind;
    void* field;
    uint16_t size;  // text fields: bytes including the terminator
};

const SParamKey kConfigKeys[] = {
    {"TERMINALID", PK_TEXT, g_Config.szTerminalId, sizeof(g_Config.szTerminalId)},
    {"HOST", PK_ADDRESS, g_Config.szHost, sizeof(g_Config.szHost)},
    {"TCPPORT", PK_U16, &g_Config.usTcpPort, 0},
    {"SECPORT", PK_U16, &g_Config.usSecPort, 0},
    {"KWRMHOST", PK_ADDRESS, g_Config.szKwrmHost, sizeof(g_Config.szKwrmHost)},
    {"KWRMPORT", PK_U16, &g_Config.usKwrmPort, 0},
    {"OPENKEY", PK_KEY, g_Config.szOpenKey, sizeof(g_Config.szOpenKey)},
    {"CLIENTTIMEOUT", PK_U16, &g_Config.usClientTimeout, 0},
    {"BANKLOGO", PK_RECEIPT_TEXT, g_Config.szBankLogo, sizeof(g_Config.szBankLogo)},
    {"BANKTITLE", PK_RECEIPT_TEXT, g_Config.szBankTitle, sizeof(g_Config.szBankTitle)},
    {"BANKADDRESS", PK_RECEIPT_TEXT, g_Config.szBankAddress, sizeof(g_Config.szBankAddress)},
    {"BANKPHONE", PK_RECEIPT_TEXT, g_Config.szBankPhone, sizeof(g_Config.szBankPhone)},
    {"DEPARTTITLE", PK_RECEIPT_TEXT, g_Config.szDepartTitle, sizeof(g_Config.szDepartTitle)},
    {"BANKID", PK_RECEIPT_TEXT, g_Config.szBankId, sizeof(g_Config.szBankId)},
    {"BASECURRENCY", PK_BASE_CURRENCY, g_Config.szBaseCurrency, sizeof(g_Config.szBaseCurrency)},
    {"ENABLEDCURRENCY", PK_TEXT, g_Config.szEnabledCurrency, sizeof(g_Config.szEnabledCurrency)},
    {"CHEQUEWIDTH", PK_CHEQUE_WIDTH, &g_Config.ucChequeWidth, 0},
    {"REPORTCOUNT", PK_REPORT_COUNT, &g_Config.ucReportCount, 0},
    {"CHECKSUM", PK_TEXT, g_Config.szChecksum, sizeof(g_Config.szChecksum)},
    {"FILELOADTIMEOUT", PK_FILE_LOAD_TIMEOUT, &g_Config.ucFileLoadTimeout, 0},
    {"HOLDONS", PK_U16, &g_Config.usHoldOns, 0},
    {"SMALLREPORT", PK_U8, &g_Config.ucSmallReport, 0},
    {"HOSTCERTNAME", PK_TEXT, g_Config.szHostCertName, sizeof(g_Config.szHostCertName)},
    {"KWRMCERTNAME", PK_TEXT, g_Config.szKwrmCertName, sizeof(g_Config.szKwrmCertName)},
    // Older installations name the PIN-pad port here; DEVICE.INI's wins.
    {"COMPORT", PK_U16, &g_ComConfig.usComPort, 0},
};

const SParamKey kDeviceKeys[] = {
    {"COMIRQ", PK_U16, &g_ComConfig.usComIrq, 0},
    {"COMPORT", PK_U16, &g_ComConfig.usComPort, 0},
    {"BAUDRATE", PK_U32, &g_ComConfig.ulBaudrate, 0},
    {"COMTO", PK_U16, &g_ComConfig.usComTO, 0},
    {"PROTO_TO", PK_U16, &g_ComConfig.usProtoTO, 0},
    {"REMOTEOPENKEY", PK_KEY, g_ComConfig.szRemoteOpenKey, sizeof(g_ComConfig.szRemoteOpenKey)},
    {"FORCEBYR", PK_U8, &g_ComConfig.ucForceByr, 0},
    {"FORCEBYN", PK_U8, &g_ComConfig.ucForceByn, 0},
    {"LOGLEVEL", PK_LOG_LEVEL, nullptr, 0},
    {"COMDEVICE", PK_TEXT, g_ComConfig.szComDevice, sizeof(g_ComConfig.szComDevice)},
};

constexpr size_t kConfigKeyCount = sizeof(kConfigKeys) / sizeof(kConfigKeys[0]);
constexpr size_t kDeviceKeyCount = sizeof(kDeviceKeys) / sizeof(kDeviceKeys[0]);
constexpr size_t kMaxKeyCount = kConfigKeyCount > kDeviceKeyCount ? kConfigKeyCount : kDeviceKeyCount;

// One open file being read: the bytes left of the length taken at open, the
// line of the byte read last (a CR LF pair ends one line), and what the
// messages need of the value read last.
struct SParamReader {
    FILE* file;
    long remaining;
    unsigned line;
    int last;
    char raw[PARAM_LINE_MAX + 1];  // the value (or the name) read last, trimmed, whatever its limit
    bool lineTooLong;              // the value's line held more than 127 characters
};

// Where the value in force of a key came from.
struct SKeyOrigin {
    unsigned line;                 // 0: not given in the file
    char raw[PARAM_LINE_MAX + 1];  // as written, trimmed
};

struct SUnknownName {
    char name[PARAM_NAME_MAX + 1];
    unsigned line;
};

// One of the two files as this load or check read it.
struct SParamFile {
    char path[PARAM_PATH_MAX];
    const char* func;          // the function named in its log lines
    const SParamKey* keys;
    size_t count;
    const SParamKey* otherKeys;  // the keys of the other file, for a key put in the wrong one
    size_t otherCount;
    PFN_PARAM_REPORT report;   // a check's receiver of every sentence about the file (may be null)
    void* reportContext;
    int openErrno;             // why it was not read: errno, -1 empty; 0 read
    bool opened;
    unsigned stopLine;         // a fault stopped the reading on this line; 0 read whole
    SKeyOrigin origins[kMaxKeyCount];
    SUnknownName unknown[PARAM_UNKNOWN_MAX];
    size_t unknownCount;
};

// A load into the records in force, or a check into records of its own.
struct SParamLoad {
    SConfig* cfg;
    SComConfig* com;
    bool check;        // the logger's level is left alone
    uint8_t logLevel;  // LOGLEVEL as a check read it
    PFN_PARAM_REPORT report;  // a check's receiver of the sentences (may be null)
    void* reportContext;
    SParamFile config;
    SParamFile device;
};

}  // namespace

// The field of key in the records of this load: the table points into the
// records in force; a check reads the same offset of its own.
static void* aux_Field(const SParamLoad* load, const SParamKey* key) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(key->field);
    const uintptr_t cfg = reinterpret_cast<uintptr_t>(&g_Config);
    if (at >= cfg && at < cfg + sizeof(SConfig)) return reinterpret_cast<char*>(load->cfg) + (at - cfg);
    const uintptr_t com = reinterpret_cast<uintptr_t>(&g_ComConfig);
    return reinterpret_cast<char*>(load->com) + (at - com);
}

// One byte of the file: 1 read, 0 nothing left of the length taken at open, -1 read error.
static int aux_ReadByte(SParamReader* r, int* out) {
    if (r->remaining <= 0) return 0;
    errno = 0;
    int c = fgetc(r->file);
    if (c == EOF) return -1;
    --r->remaining;
    if (c == '\r' || (c == '\n' && r->last != '\r')) ++r->line;
    r->last = c;
    *out = c;
    return 1;
}

static bool aux_IsLineEnd(int c) { return c == '\r' || c == '\n'; }

static void aux_InitParams(SConfig* cfg, SComConfig* com) {
    memset(cfg, 0, sizeof(*cfg));
    memset(com, 0, sizeof(*com));
    cfg->ucMKIdx = 1;
    cfg->usClientTimeout = 90;
    strcpy(cfg->szBaseCurrency, "BYN");
    cfg->ucChequeWidth = 30;
    cfg->ucReportCount = 1;
    cfg->usHoldOns = 5;
    com->usComIrq = 0xFFFF;
    com->usProtoTO = PARAM_PROTO_TO_DEFAULT;
}

// Logs "<level>. <func>. <path>[ line <n>]: <text>", the form of every message
// that names a place in a file. Errors are always written, warnings and notes
// by the log level.
static void aux_Say(const SParamFile* f, uint8_t level, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
static void aux_Say(const SParamFile* f, uint8_t level, unsigned line, const char* format, ...) {
    if (level > GetLogLevel() && f->report == nullptr) return;
    char text[400];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (f->report != nullptr) f->report(f->reportContext, level, f->path, line, text);
    if (level > GetLogLevel()) return;
    const char* word = level == LOG_ERROR ? "ERROR" : level == LOG_WARNING ? "WARNING" : "INFO";
    if (line != 0) LogString("%s. %s. %s line %u: %s", word, f->func, f->path, line, text);
    else LogString("%s. %s. %s: %s", word, f->func, f->path, text);
}

// Opens path for reading the keys; RES_OK or RES_CFG_FILE, with errno (or -1
// for an empty file) in *openErrno.
static int aux_OpenConfigPath(const char* path, FILE** file, long* length, int* openErrno) {
    *file = nullptr;
    *length = 0;
    *openErrno = 0;
    FILE* f = fopen(path, "r+b");
    if (f == nullptr) {
        *openErrno = errno;
        LogString("WARNING. Open or create config file [%s].", path);
        return RES_CFG_FILE;
    }
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 0) {
        *openErrno = errno;
        fclose(f);
        LogString("ERROR. OpenConfig. Func fseek() error");
        return RES_CFG_FILE;
    }
    if (size == 0) {
        *openErrno = -1;
        fclose(f);
        LogString("ERROR. OpenConfig. Empty config [%s].", path);
        return RES_CFG_FILE;
    }
    if (fseek(f, 0, SEEK_SET) != 0) {
        *openErrno = errno;
        fclose(f);
        LogString("ERROR. OpenConfig. Func fseek() error");
        return RES_CFG_FILE;
    }
    *file = f;
    *length = size;
    return RES_OK;
}

static int aux_OpenConfig(const char* fileName, FILE** file, long* length) {
    if (strlen(fileName) > MAX_FILE_NAME_LENGTH) {
        LogString("WARNING. Open or create config file [%s].", fileName);
        return RES_CFG_FILE;
    }
    char path[64];
    UtilFile_CreateFilePath(path, "DATA", fileName);
    int openErrno = 0;
    return aux_OpenConfigPath(path, file, length, &openErrno);
}

// Skips the rest of the line: 1 at its end, 0 at the end of the file, -1 on a read error.
static int aux_FindNewLine(SParamReader* r) {
    int c = 0;
    for (;;) {
        int rc = aux_ReadByte(r, &c);
        if (rc <= 0) return rc;
        if (aux_IsLineEnd(c)) return 1;
    }
}

// Skips to the "=" of a name that ended with a space.
static int aux_FindDelimiter(SParamReader* r) {
    int c = 0;
    for (;;) {
        int rc = aux_ReadByte(r, &c);
        if (rc <= 0) return rc;
        if (c == '=') return 1;
        if (aux_IsLineEnd(c)) return READ_LINE_END;
    }
}

// Reads the next key name up to its "=" (name holds at least 33 bytes).
// 1 a name was read; 0 end of file (no name); -1 read error; -2 name too long
// (its first 32 characters in r->raw).
static int aux_ReadParamName(SParamReader* r, char* name) {
    for (;;) {
        size_t len = 0;
        name[0] = '\0';
        int lineRc = 1;  // how the current line was left: 1 continue, else its result
        for (;;) {
            int c = 0;
            int rc = aux_ReadByte(r, &c);
            if (rc <= 0) {
                // A name cut off by the end of the file has no value: dropped.
                name[0] = '\0';
                return rc;
            }
            if (aux_IsLineEnd(c)) {
                lineRc = READ_LINE_END;
                break;
            }
            if (c == ' ') {
                if (len == 0) continue;
                lineRc = aux_FindDelimiter(r);
                if (lineRc == 1) {
                    name[len] = '\0';
                    return 1;
                }
                break;
            }
            if (c == '=' && len > 0) {
                name[len] = '\0';
                return 1;
            }
            if (c == '=' || c == ';' || c == '#' || c == '-') {
                lineRc = aux_FindNewLine(r);
                if (lineRc == 1) lineRc = READ_LINE_END;
                break;
            }
            if (len == PARAM_NAME_MAX) {
                memcpy(r->raw, name, len);
                r->raw[len] = '\0';
                name[0] = '\0';
                return -2;
            }
            name[len++] = static_cast<char>(c);
        }
        name[0] = '\0';
        // The line gave no usable name; go on with the next one.
        if (lineRc != READ_LINE_END) return lineRc;
    }
}

// Reads the rest of the line as a value of at most size-1 characters after
// trimming. out is written only on success, so a refused value leaves the
// field as it was; the trimmed text goes to r->raw in any case. 1 more text
// follows; 0 end of file; -1 read error; -2 too long.
static int aux_ReadValue(SParamReader* r, unsigned short size, unsigned char trim, char* out) {
    char line[PARAM_LINE_MAX + 1];
    size_t len = 0;
    int result = 1;
    r->raw[0] = '\0';
    r->lineTooLong = false;
    for (;;) {
        int c = 0;
        int rc = aux_ReadByte(r, &c);
        if (rc < 0) return rc;
        if (rc == 0) {
            result = 0;
            break;
        }
        if (aux_IsLineEnd(c)) break;
        if (len == PARAM_LINE_MAX) {
            line[len] = '\0';
            snprintf(r->raw, sizeof(r->raw), "%s", line);
            r->lineTooLong = true;
            return -2;
        }
        line[len++] = static_cast<char>(c);
    }
    line[len] = '\0';  // a NUL byte inside the line ends the text early

    const char* begin = line;
    if (trim & TRIM_LEADING) {
        while (*begin == ' ') ++begin;
    }
    size_t n = strlen(begin);
    if (trim & TRIM_TRAILING) {
        while (n > 0 && begin[n - 1] == ' ') --n;
    }
    memcpy(r->raw, begin, n);
    r->raw[n] = '\0';
    if (size == 0 || n > static_cast<size_t>(size - 1)) return -2;
    memcpy(out, begin, n);
    out[n] = '\0';
    return result;
}

// atol as the 32-bit target computes it: optional blanks and sign, digits up
// to the first non-digit, saturated at the limits of a 32-bit long.
static long aux_DecimalValue(const char* text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    int64_t value = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<long>(value);
}

static long aux_HexValue(const char* text) {
    uint32_t value = 0;
    for (int i = 0; i < PARAM_HEX_DIGITS && isxdigit(static_cast<unsigned char>(text[i])); ++i) {
        char c = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
        value = value * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    // A 32-bit long holds the eight digits with their top bit as the sign.
    return static_cast<long>(static_cast<int32_t>(value));
}

static bool aux_IsHexText(const char* text) { return text[0] == 'x' || text[0] == 'X'; }

// Reads an integer value; the reader's result goes to status.
static long aux_ReadIntegerValue(SParamReader* r, int* status) {
    char text[PARAM_INT_MAX + 1];
    *status = aux_ReadValue(r, sizeof(text), TRIM_BOTH, text);
    if (*status < 0) return 0;
    if (aux_IsHexText(text)) return aux_HexValue(text + 1);
    return aux_DecimalValue(text);
}

// The number a value means, without the cut to 32 bits (a hexadecimal value
// of 8 digits is positive here).
static int64_t aux_NumberMeant(const char* text, long value) {
    if (aux_IsHexText(text)) return static_cast<uint32_t>(value);
    return value;
}

// Whether the text reads as a number whole: decimal digits with an optional
// sign, or "x" and 1 to 8 hexadecimal digits.
static bool aux_IsWholeNumber(const char* text) {
    const char* p = text;
    if (aux_IsHexText(p)) {
        size_t n = strspn(p + 1, "0123456789abcdefABCDEF");
        return n >= 1 && n <= PARAM_HEX_DIGITS && p[1 + n] == '\0';
    }
    if (*p == '+' || *p == '-') ++p;
    size_t n = strspn(p, "0123456789");
    return n >= 1 && p[n] == '\0';
}

static const SParamKey* aux_FindKey(const SParamKey* keys, size_t count, const char* name) {
    for (size_t i = 0; i < count; ++i) {
        if (strcasecmp(keys[i].key, name) == 0) return &keys[i];
    }
    return nullptr;
}

// Edits (a change, an insertion, a removal or two neighbours swapped) that
// turn one name into the other, case aside.
static size_t aux_EditDistance(const char* a, const char* b) {
    const size_t n = strlen(a), m = strlen(b);
    if (n > PARAM_NAME_MAX || m > PARAM_NAME_MAX) return SIZE_MAX;
    size_t d[PARAM_NAME_MAX + 1][PARAM_NAME_MAX + 1];
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t j = 1; j <= m; ++j) {
            const int ca = toupper(static_cast<unsigned char>(a[i - 1]));
            const int cb = toupper(static_cast<unsigned char>(b[j - 1]));
            size_t best = d[i - 1][j - 1] + (ca == cb ? 0 : 1);
            if (d[i - 1][j] + 1 < best) best = d[i - 1][j] + 1;
            if (d[i][j - 1] + 1 < best) best = d[i][j - 1] + 1;
            if (i > 1 && j > 1 && ca == toupper(static_cast<unsigned char>(b[j - 2])) &&
                toupper(static_cast<unsigned char>(a[i - 2])) == cb && d[i - 2][j - 2] + 1 < best) {
                best = d[i - 2][j - 2] + 1;
            }
            d[i][j] = best;
        }
    }
    return d[n][m];
}

// Whether written is close enough to the key to be it misspelt: one edit for
// a short key, two for a longer one.
static bool aux_LooksLike(const char* written, const char* key) {
    const size_t allowed = strlen(key) <= 4 ? 1 : 2;
    const size_t distance = aux_EditDistance(written, key);
    return distance != 0 && distance <= allowed;
}

// A name that is no key of its file: logged (with the key it likely stands
// for, or the file it belongs in) and kept for the hint at a missing key.
static void aux_NoteUnknownName(SParamFile* f, const char* name, unsigned line) {
    if (f->unknownCount < PARAM_UNKNOWN_MAX) {
        SUnknownName& u = f->unknown[f->unknownCount++];
        snprintf(u.name, sizeof(u.name), "%s", name);
        u.line = line;
    }
    if (f->otherKeys != nullptr && aux_FindKey(f->otherKeys, f->otherCount, name) != nullptr) {
        aux_Say(f, LOG_WARNING, line, "%s is read only from %s; ignored here", name,
                f->keys == kConfigKeys ? "DEVICE.INI" : "CONFIG.INI");
        return;
    }
    for (size_t i = 0; i < f->count; ++i) {
        if (aux_LooksLike(name, f->keys[i].key)) {
            aux_Say(f, LOG_WARNING, line, "%s is no key (is it %s misspelt?); ignored", name, f->keys[i].key);
            return;
        }
    }
    aux_Say(f, LOG_INFO, line, "%s is no key; ignored", name);
}

// Whether a text in a single-byte code page reads as UTF-8 with at least one
// multi-byte character (Windows-1251 letters almost never do).
static bool aux_LooksLikeUtf8(const char* text) {
    bool multiByte = false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        int follow = (*p & 0xE0) == 0xC0 ? 1 : (*p & 0xF0) == 0xE0 ? 2 : (*p & 0xF8) == 0xF0 ? 3 : -1;
        if (follow < 0 || *p == 0xC0 || *p == 0xC1) return false;
        for (int i = 1; i <= follow; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += follow + 1;
        multiByte = true;
    }
    return multiByte;
}

// The warnings of a text value the reader took.
static void aux_CheckText(SParamFile* f, unsigned line, const SParamKey* key, const char* value) {
    switch (key->kind) {
    case PK_ADDRESS:
        if (value[0] != '\0' && inet_addr(value) == INADDR_NONE)
            aux_Say(f, LOG_WARNING, line, "%s: '%s' is not a dotted IPv4 address (no name is looked up); the "
                    "connection will fail", key->key, value);
        break;
    case PK_KEY: {
        // Empty is a remote key not delivered yet; OPENKEY too short is the
        // mandatory test's to name.
        const size_t n = strlen(value);
        bool hex = n >= PARAM_KEY_HEX_DIGITS;
        for (size_t i = 0; hex && i < PARAM_KEY_HEX_DIGITS; ++i) hex = isxdigit(static_cast<unsigned char>(value[i]));
        const bool shortOpenKey = key->field == g_Config.szOpenKey && n < PARAM_KEY_HEX_DIGITS;
        if (n != 0 && !hex && !shortOpenKey)
            aux_Say(f, LOG_WARNING, line, "%s: %d hexadecimal characters expected (%zu characters given); no PIN "
                    "can be asked for with it", key->key, PARAM_KEY_HEX_DIGITS, n);
        break;
    }
    case PK_RECEIPT_TEXT:
        if (aux_LooksLikeUtf8(value))
            aux_Say(f, LOG_WARNING, line, "%s: the text is written in UTF-8; receipts read it as Windows-1251 "
                    "(save the file in that code page)", key->key);
        break;
    default:
        break;
    }
}

// The warning of a number the reader took: not written as a number, or cut
// to its field, with the value used instead.
static void aux_CheckNumber(SParamFile* f, unsigned line, const SParamKey* key, const char* text, long value,
                            int bits, unsigned long used) {
    const int64_t meant = aux_NumberMeant(text, value);
    const int64_t top = bits == 32 ? static_cast<int64_t>(UINT32_MAX) : (static_cast<int64_t>(1) << bits) - 1;
    if (text[0] == '\0')
        aux_Say(f, LOG_WARNING, line, "%s: no number given, %lu used", key->key, used);
    else if (!aux_IsWholeNumber(text))
        aux_Say(f, LOG_WARNING, line, "%s: '%s' is not a number, %lu used", key->key, text, used);
    else if (meant < 0 || meant > top)
        aux_Say(f, LOG_WARNING, line, "%s: %s does not fit 0..%lld, %lu used", key->key, text,
                static_cast<long long>(top), used);
}

// Reads the value of one known key into its field and checks it; returns the
// reader's result.
static int aux_ReadKeyValue(SParamLoad* load, SParamFile* f, SParamReader* r, const SParamKey* key) {
    const unsigned line = r->line;
    int status = 0;
    void* field = key->field != nullptr ? aux_Field(load, key) : nullptr;
    switch (key->kind) {
    case PK_TEXT:
    case PK_ADDRESS:
    case PK_KEY:
    case PK_RECEIPT_TEXT:
        status = aux_ReadValue(r, key->size, TRIM_BOTH, static_cast<char*>(field));
        if (status >= 0) aux_CheckText(f, line, key, static_cast<char*>(field));
        return status;
    case PK_BASE_CURRENCY: {
        char text[sizeof(g_Config.szBaseCurrency)];
        status = aux_ReadValue(r, sizeof(text), TRIM_BOTH, text);
        // The Belarusian rouble in either denomination is always taken as BYN.
        if (status >= 0 && strncasecmp(text, "BY", 2) != 0) strcpy(static_cast<char*>(field), text);
        else if (status >= 0 && strcasecmp(text, "BYN") != 0)
            aux_Say(f, LOG_WARNING, line, "%s: %s is taken as BYN", key->key, text);
        return status;
    }
    default:
        break;
    }

    long value = aux_ReadIntegerValue(r, &status);
    if (status < 0) return status;
    const char* text = r->raw;
    switch (key->kind) {
    case PK_U8:
        *static_cast<uint8_t*>(field) = static_cast<uint8_t>(value);
        aux_CheckNumber(f, line, key, text, value, 8, *static_cast<uint8_t*>(field));
        break;
    case PK_U16:
        *static_cast<uint16_t*>(field) = static_cast<uint16_t>(value);
        aux_CheckNumber(f, line, key, text, value, 16, *static_cast<uint16_t*>(field));
        break;
    case PK_U32:
        *static_cast<uint32_t*>(field) = static_cast<uint32_t>(value);
        aux_CheckNumber(f, line, key, text, value, 32, *static_cast<uint32_t*>(field));
        break;
    case PK_CHEQUE_WIDTH: {
        uint8_t width = static_cast<uint8_t>(value);
        *static_cast<uint8_t*>(field) = width;
        unsigned long used = width;
        if (width < PARAM_CHEQUE_WIDTH_MIN) used = PARAM_CHEQUE_WIDTH_MIN;
        if (width > PARAM_CHEQUE_WIDTH_MAX) used = PARAM_CHEQUE_WIDTH_MAX;
        aux_CheckNumber(f, line, key, text, value, 8, used);
        if (aux_IsWholeNumber(text) && aux_NumberMeant(text, value) == width && used != width)
            aux_Say(f, LOG_WARNING, line, "%s: %u outside %u..%u, %lu used", key->key, width,
                    PARAM_CHEQUE_WIDTH_MIN, PARAM_CHEQUE_WIDTH_MAX, used);
        break;
    }
    case PK_REPORT_COUNT: {
        uint8_t count = static_cast<uint8_t>(value);
        *static_cast<uint8_t*>(field) = count;
        unsigned long used = count >= 1 && count <= PARAM_REPORT_COUNT_MAX ? count : 1;
        aux_CheckNumber(f, line, key, text, value, 8, used);
        if (aux_IsWholeNumber(text) && aux_NumberMeant(text, value) == count && used != count)
            aux_Say(f, LOG_WARNING, line, "%s: %u outside 1..%u, %lu used", key->key, count, PARAM_REPORT_COUNT_MAX,
                    used);
        break;
    }
    case PK_FILE_LOAD_TIMEOUT:
        if (value >= PARAM_FILE_LOAD_MIN && value <= PARAM_FILE_LOAD_MAX) {
            uint8_t* timeout = static_cast<uint8_t*>(field);
            *timeout = static_cast<uint8_t>(value);
            LogStringEx(LOG_INFO, "INFO. %s. Param <%s>, value: %d", f->func, key->key, *timeout);
            if (!aux_IsWholeNumber(text))
                aux_Say(f, LOG_WARNING, line, "%s: '%s' is not a number, %ld used", key->key, text, value);
        } else if (value != 0 || !aux_IsWholeNumber(text)) {
            // 0 is the usual way to say "no resumable download".
            aux_Say(f, LOG_WARNING, line, "%s: '%s' not taken: a number of seconds within %u..%u expected (%u used)",
                    key->key, text, PARAM_FILE_LOAD_MIN, PARAM_FILE_LOAD_MAX,
                    static_cast<unsigned>(load->cfg->ucFileLoadTimeout));
        }
        break;
    case PK_LOG_LEVEL: {
        uint8_t level = static_cast<uint8_t>(value);
        unsigned long used = level > LOG_DEBUG ? static_cast<unsigned long>(LOG_DEBUG) : level;
        aux_CheckNumber(f, line, key, text, value, 8, used);
        if (aux_IsWholeNumber(text) && aux_NumberMeant(text, value) == level && used != level)
            aux_Say(f, LOG_WARNING, line, "%s: %u above %u, %lu used", key->key, level, LOG_DEBUG, used);
        if (load->check) load->logLevel = static_cast<uint8_t>(used);
        else SetLogLevel(level);
        break;
    }
    default:
        break;
    }
    return status;
}

// Why a byte of the file could not be read.
static const char* aux_ReadError() {
    return errno != 0 ? strerror(errno) : "the file ended before the length it had when it was opened";
}

// Skips a UTF-8 byte-order mark at the start of the file (an editor's, not a key's).
static void aux_SkipByteOrderMark(SParamFile* f, SParamReader* r) {
    static const unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};
    unsigned char head[3];
    if (r->remaining >= 3 && fread(head, 1, 3, r->file) == 3 && memcmp(head, kMark, 3) == 0) {
        r->remaining -= 3;
        aux_Say(f, LOG_INFO, 0, "UTF-8 byte-order mark skipped (texts are read as Windows-1251)");
        return;
    }
    fseek(r->file, 0, SEEK_SET);
}

// Reads name=value lines to the end of the file, taking the values of the
// known keys and passing over the rest. 0 when the whole file went; else the
// first fault's code, with its key in *badKey when the value was at fault
// (nullptr when the name was), and the fault named in the log by file, line
// and rule.
static int aux_ReadKeys(SParamLoad* load, SParamFile* f, FILE* file, long length, const SParamKey** badKey) {
    SParamReader r;
    memset(&r, 0, sizeof(r));
    r.file = file;
    r.remaining = length;
    r.line = 1;
    aux_SkipByteOrderMark(f, &r);
    f->opened = true;

    // A fault stops CONFIG.INI's load; DEVICE.INI's reading only.
    const uint8_t level = f->keys == kConfigKeys ? LOG_ERROR : LOG_WARNING;
    char name[PARAM_NAME_MAX + 1];
    *badKey = nullptr;
    for (;;) {
        int rc = aux_ReadParamName(&r, name);
        if (rc < 0) {
            f->stopLine = r.line;
            if (rc == -2)
                aux_Say(f, level, r.line, "a key name of at most %d characters expected, %s... is longer",
                        PARAM_NAME_MAX, r.raw);
            else
                aux_Say(f, level, r.line, "read error: %s", aux_ReadError());
        }
        if (rc <= 0) return rc;
        const SParamKey* key = aux_FindKey(f->keys, f->count, name);
        if (key == nullptr) {
            aux_NoteUnknownName(f, name, r.line);
            aux_FindNewLine(&r);
            continue;
        }
        const unsigned line = r.line;
        rc = aux_ReadKeyValue(load, f, &r, key);
        if (rc < 0) {
            *badKey = key;
            f->stopLine = line;
            const bool secret = key->kind == PK_KEY;
            if (rc == -1)
                aux_Say(f, level, line, "%s: read error: %s", key->key, aux_ReadError());
            else if (r.lineTooLong)
                aux_Say(f, level, line, "%s: a line of at most %d characters expected", key->key, PARAM_LINE_MAX);
            else if (key->size == 0)
                aux_Say(f, level, line, "%s: a number of at most %d characters expected, '%s' is longer", key->key,
                        PARAM_INT_MAX, r.raw);
            else
                aux_Say(f, level, line, "%s: at most %d characters expected, %zu given%s%s%s", key->key,
                        key->size - 1, strlen(r.raw), secret ? "" : " (", secret ? "" : r.raw, secret ? "" : ")");
        } else {
            SKeyOrigin& origin = f->origins[key - f->keys];
            origin.line = line;
            snprintf(origin.raw, sizeof(origin.raw), "%s", r.raw);
        }
        if (rc <= 0) return rc;
    }
}

// Opens and reads one file of this load; the open's code (the reading's own
// faults are in badKey and the result).
static int aux_ReadFile(SParamLoad* load, SParamFile* f, int* readRc, const SParamKey** badKey) {
    FILE* file = nullptr;
    long length = 0;
    *readRc = 0;
    *badKey = nullptr;
    int rc = aux_OpenConfigPath(f->path, &file, &length, &f->openErrno);
    if (rc != RES_OK) {
        if (f->openErrno > 0) aux_Say(f, f->keys == kConfigKeys ? LOG_ERROR : LOG_WARNING, 0, "%s", strerror(f->openErrno));
        // An empty DEVICE.INI is named by the mandatory COMPORT; CONFIG.INI's stops the load here.
        else if (f->keys == kConfigKeys) aux_Say(f, LOG_ERROR, 0, "the file is empty");
        return rc;
    }
    *readRc = aux_ReadKeys(load, f, file, length, badKey);
    fclose(file);
    return RES_OK;
}

// DEVICE.INI: whatever it holds, the load goes on; a broken file keeps what was read before the fault.
static void aux_LoadComConfig(SParamLoad* load) {
    SParamFile* f = &load->device;
    int rc = 0;
    const SParamKey* badKey = nullptr;
    if (aux_ReadFile(load, f, &rc, &badKey) != RES_OK) return;
    if (rc < 0) {
        if (badKey != nullptr) LogString("WARN. %s. Param <%s> parse error: %d", f->func, badKey->key, rc);
        else LogString("WARN. %s. Config parse error: %d", f->func, rc);
        aux_Say(f, LOG_WARNING, 0, "the keys after line %u are not read", f->stopLine);
        return;
    }
    if (load->check) return;
    LogString("Using LogLevel [%d].", GetLogLevel());
    LogString("SUCCESS. LoadComConfig");
}

// The origin of key in the file, or nullptr when the file does not give it.
static const SKeyOrigin* aux_Origin(const SParamFile* f, const char* key) {
    const SParamKey* k = aux_FindKey(f->keys, f->count, key);
    if (k == nullptr || f->origins[k - f->keys].line == 0) return nullptr;
    return &f->origins[k - f->keys];
}

static void aux_ProcessComConfig(SParamLoad* load) {
    SComConfig* com = load->com;
    SParamFile* dev = &load->device;
    if (com->usComPort > PARAM_COMPORT_MAX) com->usComPort = 0;
    // Port 0 is left for the mandatory test to refuse.
    if (com->usComPort == 0) return;
    switch (com->ulBaudrate) {
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        break;
    default:
        // No BAUDRATE at all is the usual way to ask for 19200.
        if (const SKeyOrigin* o = aux_Origin(dev, "BAUDRATE"))
            aux_Say(dev, LOG_WARNING, o->line, "BAUDRATE: %s is not a speed of the line (9600, 19200, 38400, 57600, "
                    "115200), %u used", o->raw, static_cast<unsigned>(PARAM_BAUD_DEFAULT));
        com->ulBaudrate = PARAM_BAUD_DEFAULT;
        break;
    }
    if (com->usProtoTO < PARAM_PROTO_TO_MIN || com->usProtoTO > PARAM_PROTO_TO_MAX) {
        if (const SKeyOrigin* o = aux_Origin(dev, "PROTO_TO"))
            aux_Say(dev, LOG_WARNING, o->line, "PROTO_TO: %s outside %u..%u ms, %u used", o->raw,
                    static_cast<unsigned>(PARAM_PROTO_TO_MIN), static_cast<unsigned>(PARAM_PROTO_TO_MAX),
                    static_cast<unsigned>(PARAM_PROTO_TO_DEFAULT));
        com->usProtoTO = PARAM_PROTO_TO_DEFAULT;
    }
    if (load->check) return;
    LogStringEx(LOG_INFO, "INFO. ProcessComConfig. usProtoTO [%u].", static_cast<unsigned>(com->usProtoTO));
    if (com->szComDevice[0] != '\0') LogStringEx(LOG_INFO, "INFO. ProcessComConfig. Device [%s].", com->szComDevice);
}

static bool aux_MandatoryPresent(const SConfig* cfg, const SComConfig* com) {
    return strlen(cfg->szTerminalId) == 8 && cfg->szHost[0] != '\0' && cfg->usSecPort != 0 &&
           cfg->szKwrmHost[0] != '\0' && cfg->usKwrmPort != 0 && strlen(cfg->szOpenKey) >= PARAM_KEY_HEX_DIGITS &&
           com->usComPort != 0 && cfg->ucMKIdx != 0 && cfg->szBaseCurrency[0] != '\0';
}

// A mandatory key that fails its test: where it was given and the rule it
// breaks, or that it is missing, with a name of the file that may be it misspelt.
static void aux_ReportMandatory(const SParamFile* f, const char* key, const char* rule) {
    if (const SKeyOrigin* o = aux_Origin(f, key)) {
        aux_Say(f, LOG_ERROR, o->line, "%s: %s", key, rule);
        return;
    }
    for (size_t i = 0; i < f->unknownCount; ++i) {
        if (aux_LooksLike(f->unknown[i].name, key)) {
            aux_Say(f, LOG_ERROR, f->unknown[i].line, "%s missing (is %s a misspelling?)", key, f->unknown[i].name);
            return;
        }
    }
    if (!f->opened && f->openErrno > 0)
        aux_Say(f, LOG_ERROR, 0, "%s missing: the file was not read (%s)", key, strerror(f->openErrno));
    else if (!f->opened)
        aux_Say(f, LOG_ERROR, 0, "%s missing: the file is empty", key);
    else if (f->stopLine != 0)
        aux_Say(f, LOG_ERROR, 0, "%s missing: the file was read only up to its line %u", key, f->stopLine);
    else
        aux_Say(f, LOG_ERROR, 0, "%s missing", key);
}

// The rule a port number breaks.
static const char* aux_PortRule(const SParamFile* f, const char* key, const char* range, char* out, size_t size) {
    const SKeyOrigin* o = aux_Origin(f, key);
    if (o != nullptr && o->raw[0] == '\0') snprintf(out, size, "no number given");
    else if (o != nullptr && !aux_IsWholeNumber(o->raw)) snprintf(out, size, "'%s' is not a number", o->raw);
    else snprintf(out, size, "%s is not a port number %s", o != nullptr ? o->raw : "0", range);
    return out;
}

// Names every mandatory setting the load found missing or unusable.
static void aux_ReportMandatoryFaults(const SParamLoad* load) {
    const SConfig* cfg = load->cfg;
    const SParamFile* conf = &load->config;
    char rule[200];
    if (strlen(cfg->szTerminalId) != 8) {
        snprintf(rule, sizeof(rule), "8 characters expected, %zu given", strlen(cfg->szTerminalId));
        aux_ReportMandatory(conf, "TERMINALID", rule);
    }
    if (cfg->szHost[0] == '\0') aux_ReportMandatory(conf, "HOST", "an address expected, the value is empty");
    if (cfg->usSecPort == 0) aux_ReportMandatory(conf, "SECPORT", aux_PortRule(conf, "SECPORT", "1..65535", rule, sizeof(rule)));
    if (cfg->szKwrmHost[0] == '\0') aux_ReportMandatory(conf, "KWRMHOST", "an address expected, the value is empty");
    if (cfg->usKwrmPort == 0)
        aux_ReportMandatory(conf, "KWRMPORT", aux_PortRule(conf, "KWRMPORT", "1..65535", rule, sizeof(rule)));
    if (strlen(cfg->szOpenKey) < PARAM_KEY_HEX_DIGITS) {
        snprintf(rule, sizeof(rule), "%d hexadecimal characters expected, %zu given", PARAM_KEY_HEX_DIGITS,
                 strlen(cfg->szOpenKey));
        aux_ReportMandatory(conf, "OPENKEY", rule);
    }
    if (load->com->usComPort == 0) {
        // DEVICE.INI's COMPORT wins; CONFIG.INI's counts when DEVICE.INI has none.
        const SParamFile* f = aux_Origin(&load->device, "COMPORT") != nullptr || aux_Origin(conf, "COMPORT") == nullptr
                                  ? &load->device
                                  : conf;
        aux_ReportMandatory(f, "COMPORT", aux_PortRule(f, "COMPORT", "1..250", rule, sizeof(rule)));
    }
}

static void aux_InitFile(SParamFile* f, const char* path, const char* func, bool config, PFN_PARAM_REPORT report,
                         void* context) {
    memset(f, 0, sizeof(*f));
    f->report = report;
    f->reportContext = context;
    snprintf(f->path, sizeof(f->path), "%s", path);
    f->func = func;
    f->keys = config ? kConfigKeys : kDeviceKeys;
    f->count = config ? kConfigKeyCount : kDeviceKeyCount;
    f->otherKeys = config ? kDeviceKeys : kConfigKeys;
    f->otherCount = config ? kDeviceKeyCount : kConfigKeyCount;
}

// Loads CONFIG.INI from configPath and DEVICE.INI from devicePath into the
// load's records; the load's result.
static int aux_Load(SParamLoad* load, const char* configPath, const char* devicePath, const char* func) {
    aux_InitParams(load->cfg, load->com);
    aux_InitFile(&load->config, configPath, func, true, load->report, load->reportContext);
    aux_InitFile(&load->device, devicePath, load->check ? func : "LoadComConfig", false, load->report,
                 load->reportContext);

    int readRc = 0;
    const SParamKey* badKey = nullptr;
    int rc = aux_ReadFile(load, &load->config, &readRc, &badKey);
    if (rc != RES_OK) return rc;
    if (readRc < 0 && badKey != nullptr) {
        LogString("ERROR. %s. Param <%s> parse error: %d", func, badKey->key, readRc);
        return RES_CFG_VALUE;
    }
    if (readRc < 0) {
        LogString("ERROR. %s. Config parse error: %d", func, readRc);
        return RES_CFG_NAME;
    }

    aux_LoadComConfig(load);
    aux_ProcessComConfig(load);
    if (!load->check)
        LogString("COM Config. Port: %u; IRQ: %u; Baudrate: %lu", static_cast<unsigned>(load->com->usComPort),
                  static_cast<unsigned>(load->com->usComIrq), static_cast<unsigned long>(load->com->ulBaudrate));

    if (!aux_MandatoryPresent(load->cfg, load->com)) {
        LogString("ERROR. %s. Mandatory params absent", func);
        aux_ReportMandatoryFaults(load);
        return RES_CFG_VALUE;
    }
    // Not mandatory, but every receipt prints its line.
    if (load->cfg->szBankId[0] == '\0') {
        const SKeyOrigin* o = aux_Origin(&load->config, "BANKID");
        aux_Say(&load->config, LOG_WARNING, o != nullptr ? o->line : 0,
                "BANKID %s: the receipts print the bank's taxpayer number line (UNP) without a number",
                o != nullptr ? "empty" : "missing");
    }
    return RES_OK;
}

int Param_LoadConfig() {
    SParamLoad load;
    load.cfg = &g_Config;
    load.com = &g_ComConfig;
    load.check = false;
    load.logLevel = GetLogLevel();
    load.report = nullptr;
    load.reportContext = nullptr;
    int rc = aux_Load(&load, "DATA/CONFIG.INI", "DATA/DEVICE.INI", "Param_LoadConfig");
    if (rc == RES_OK) LogString("SUCCESS. Param_LoadConfig");
    return rc;
}

// A check: the files read into records of its own, the result logged.
static int aux_Check(const char* configPath, const char* devicePath, const char* checked, const char* func,
                     PFN_PARAM_REPORT report, void* context) {
    if (checked == nullptr || checked[0] == '\0') {
        LogString("ERROR. %s. No file named", func);
        return RES_CFG_FILE;
    }
    SConfig cfg;
    SComConfig com;
    SParamLoad load;
    load.cfg = &cfg;
    load.com = &com;
    load.check = true;
    load.logLevel = GetLogLevel();
    load.report = report;
    load.reportContext = context;
    int rc = aux_Load(&load, configPath, devicePath, func);
    if (rc == RES_OK) LogString("SUCCESS. %s. [%s] loads", func, checked);
    else LogString("ERROR. %s. [%s] would not load: %d", func, checked, rc);
    memset(&cfg, 0, sizeof(cfg));
    memset(&com, 0, sizeof(com));
    return rc;
}

int Param_CheckConfigFile(const char* path, PFN_PARAM_REPORT report, void* context) {
    return aux_Check(path, "DATA/DEVICE.INI", path, "Param_CheckConfigFile", report, context);
}

int Param_CheckDeviceFile(const char* path, PFN_PARAM_REPORT report, void* context) {
    return aux_Check("DATA/CONFIG.INI", path, path, "Param_CheckDeviceFile", report, context);
}

// Reads one line with its LF (if any) into buf; returns its length in bytes,
// 0 at the end of the file, -1 on a read error, -2 when it fills the buffer.
static int aux_ReadRewriteLine(SParamReader* r, char* buf) {
    int len = 0;
    for (;;) {
        int c = 0;
        int rc = aux_ReadByte(r, &c);
        if (rc < 0) return -1;
        if (rc == 0) return len;
        // 511 characters before the LF would fill the buffer.
        if (c != '\n' && len == REWRITE_LINE_BUF - 2) return -2;
        buf[len++] = static_cast<char>(c);
        if (c == '\n') return len;
    }
}

// Writes n bytes into the new copy and counts them; 0 or -1.
static int aux_WriteAll(SUtilFileAside* out, const void* data, size_t n, size_t* written) {
    if (UtilFile_AsideWrite(out, data, static_cast<int32_t>(n)) != RES_OK) return -1;
    *written += n;
    return 0;
}

// Writes "[\n]name=value\n" into the new copy; 0 or -1.
static int aux_WriteParam(SUtilFileAside* out, bool newLine, const char* paramName, const char* value,
                          size_t* written) {
    const std::string line = std::string(newLine ? "\n" : "") + paramName + "=" + value + "\n";
    return aux_WriteAll(out, line.data(), line.size(), written);
}

// Copies the open configuration file to the open TMPCFG.INI with paramName replaced or added.
static int aux_CopyWithParam(FILE* in, long remaining, SUtilFileAside* out, const char* paramName, const char* value,
                             size_t* written) {
    SParamReader r;
    memset(&r, 0, sizeof(r));
    r.file = in;
    r.remaining = remaining;
    char line[REWRITE_LINE_BUF];
    size_t nameLen = strlen(paramName);
    bool matched = false;
    for (;;) {
        int len = aux_ReadRewriteLine(&r, line);
        if (len == -2) {
            LogString("ERROR. Param_WriteConfigParam. Line too long");
            return -1;
        }
        if (len < 0) {
            LogString("ERROR. Param_WriteConfigParam. Read error");
            return -1;
        }
        if (len == 0) break;
        if (static_cast<size_t>(len) >= nameLen && strncasecmp(line, paramName, nameLen) == 0) {
            matched = true;
            if (aux_WriteParam(out, false, paramName, value, written) != 0) return -1;
        } else if (aux_WriteAll(out, line, static_cast<size_t>(len), written) != 0) {
            return -1;
        }
    }
    if (!matched && aux_WriteParam(out, true, paramName, value, written) != 0) return -1;
    return 0;
}

int Param_WriteConfigParam(const char* fileName, const char* paramName, const char* value) {
    // A name or value that could split the line would plant other keys in the file.
    if (fileName == nullptr || paramName == nullptr || value == nullptr || paramName[0] == '\0' ||
        strpbrk(paramName, "\r\n=") != nullptr || strpbrk(value, "\r\n") != nullptr) {
        LogString("ERROR. Param_WriteConfigParam. Bad parameter");
        return RES_CFG_FILE;
    }

    FILE* in = nullptr;
    long remaining = 0;
    if (aux_OpenConfig(fileName, &in, &remaining) != RES_OK) return RES_CFG_FILE;

    char path[64];
    char tmpPath[64];
    UtilFile_CreateFilePath(path, "DATA", fileName);
    UtilFile_CreateFilePath(tmpPath, "DATA", "TMPCFG.INI");
    SUtilFileAside out;
    if (UtilFile_AsideOpen(&out, path, tmpPath, 0666, 0) != RES_OK) {
        fclose(in);
        LogString("ERROR. Param_WriteConfigParam. Open or create config file [%s].", tmpPath);
        return RES_CFG_FILE;
    }

    size_t written = 0;
    int rc = aux_CopyWithParam(in, remaining, &out, paramName, value, &written);
    fclose(in);
    // The new copy must be on the disk before it replaces the old file.
    if (rc == 0 && UtilFile_AsideClose(&out, 1) != RES_OK) rc = -1;
    if (rc == 0 && written <= strlen(paramName) + strlen(value)) rc = -1;
    if (rc != 0) {
        UtilFile_AsideDrop(&out);
        LogString("ERROR. Param_WriteConfigParam. [%s] not rewritten", path);
        return RES_CFG_FILE;
    }
    // Renamed over the old file, never deleted first: a crash leaves the old or the new file.
    // A directory that was not flushed leaves the new file in place: it counts as written.
    if (UtilFile_AsideCommit(&out) != RES_OK && !out.ucPlaced) {
        LogString("ERROR. Param_WriteConfigParam. [%s] not rewritten", path);
        return RES_CFG_FILE;
    }
    return RES_OK;
}

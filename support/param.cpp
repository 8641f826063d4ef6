// support/param.cpp
// Reader of the flat key=value files DATA/CONFIG.INI and DATA/DEVICE.INI and
// the one-key rewrite through DATA/TMPCFG.INI.
#include "support/param.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <strings.h>
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

enum EParamKind : uint8_t {
    PK_TEXT,
    PK_U8,
    PK_U16,
    PK_U32,
    PK_BASE_CURRENCY,     // kept only when it does not start with "BY"
    PK_FILE_LOAD_TIMEOUT, // kept only within 15..120
    PK_LOG_LEVEL,         // handed to the logger at once
};

struct SParamKey {
    const char* key;
    EParamKind kind;
    void* field;
    uint16_t size;  // text fields: bytes including the terminator
};

const SParamKey kConfigKeys[] = {
    {"TERMINALID", PK_TEXT, g_Config.szTerminalId, sizeof(g_Config.szTerminalId)},
    {"HOST", PK_TEXT, g_Config.szHost, sizeof(g_Config.szHost)},
    {"TCPPORT", PK_U16, &g_Config.usTcpPort, 0},
    {"SECPORT", PK_U16, &g_Config.usSecPort, 0},
    {"KWRMHOST", PK_TEXT, g_Config.szKwrmHost, sizeof(g_Config.szKwrmHost)},
    {"KWRMPORT", PK_U16, &g_Config.usKwrmPort, 0},
    {"OPENKEY", PK_TEXT, g_Config.szOpenKey, sizeof(g_Config.szOpenKey)},
    {"CLIENTTIMEOUT", PK_U16, &g_Config.usClientTimeout, 0},
    {"BANKLOGO", PK_TEXT, g_Config.szBankLogo, sizeof(g_Config.szBankLogo)},
    {"BANKTITLE", PK_TEXT, g_Config.szBankTitle, sizeof(g_Config.szBankTitle)},
    {"BANKADDRESS", PK_TEXT, g_Config.szBankAddress, sizeof(g_Config.szBankAddress)},
    {"BANKPHONE", PK_TEXT, g_Config.szBankPhone, sizeof(g_Config.szBankPhone)},
    {"DEPARTTITLE", PK_TEXT, g_Config.szDepartTitle, sizeof(g_Config.szDepartTitle)},
    {"BANKID", PK_TEXT, g_Config.szBankId, sizeof(g_Config.szBankId)},
    {"BASECURRENCY", PK_BASE_CURRENCY, g_Config.szBaseCurrency, sizeof(g_Config.szBaseCurrency)},
    {"ENABLEDCURRENCY", PK_TEXT, g_Config.szEnabledCurrency, sizeof(g_Config.szEnabledCurrency)},
    {"CHEQUEWIDTH", PK_U8, &g_Config.ucChequeWidth, 0},
    {"REPORTCOUNT", PK_U8, &g_Config.ucReportCount, 0},
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
    {"REMOTEOPENKEY", PK_TEXT, g_ComConfig.szRemoteOpenKey, sizeof(g_ComConfig.szRemoteOpenKey)},
    {"FORCEBYR", PK_U8, &g_ComConfig.ucForceByr, 0},
    {"FORCEBYN", PK_U8, &g_ComConfig.ucForceByn, 0},
    {"LOGLEVEL", PK_LOG_LEVEL, nullptr, 0},
    {"COMDEVICE", PK_TEXT, g_ComConfig.szComDevice, sizeof(g_ComConfig.szComDevice)},
};

}  // namespace

// One byte of the file: 1 read, 0 nothing left of the length taken at open, -1 read error.
static int aux_ReadByte(FILE* file, long* remaining, int* out) {
    if (*remaining <= 0) return 0;
    int c = fgetc(file);
    if (c == EOF) return -1;
    --*remaining;
    *out = c;
    return 1;
}

static bool aux_IsLineEnd(int c) { return c == '\r' || c == '\n'; }

static void aux_InitParams() {
    memset(&g_Config, 0, sizeof(g_Config));
    memset(&g_ComConfig, 0, sizeof(g_ComConfig));
    g_Config.ucMKIdx = 1;
    g_Config.usClientTimeout = 90;
    strcpy(g_Config.szBaseCurrency, "BYN");
    g_Config.ucChequeWidth = 30;
    g_Config.ucReportCount = 1;
    g_Config.usHoldOns = 5;
    g_ComConfig.usComIrq = 0xFFFF;
    g_ComConfig.usProtoTO = 12000;
}

static int aux_OpenConfig(const char* fileName, FILE** file, long* length, unsigned char create) {
    char path[64];
    *file = nullptr;
    *length = 0;
    if (strlen(fileName) > MAX_FILE_NAME_LENGTH) {
        LogString("%s. Open or create config file [%s].", create ? "ERROR" : "WARNING", fileName);
        return RES_CFG_FILE;
    }
    UtilFile_CreateFilePath(path, "DATA", fileName);

    FILE* f = fopen(path, "r+b");
    if (f == nullptr && create) f = fopen(path, "w+b");
    if (f == nullptr) {
        LogString("%s. Open or create config file [%s].", create ? "ERROR" : "WARNING", path);
        return RES_CFG_FILE;
    }
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 0) {
        fclose(f);
        LogString("ERROR. OpenConfig. Func fseek() error");
        return RES_CFG_FILE;
    }
    if (size == 0 && !create) {
        fclose(f);
        LogString("ERROR. OpenConfig. Empty config [%s].", path);
        return RES_CFG_FILE;
    }
    if (fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        LogString("ERROR. OpenConfig. Func fseek() error");
        return RES_CFG_FILE;
    }
    *file = f;
    *length = size;
    return RES_OK;
}

// Skips the rest of the line: 1 at its end, 0 at the end of the file, -1 on a read error.
static int aux_FindNewLine(FILE* file, long* remaining) {
    int c = 0;
    for (;;) {
        int rc = aux_ReadByte(file, remaining, &c);
        if (rc <= 0) return rc;
        if (aux_IsLineEnd(c)) return 1;
    }
}

// Skips to the "=" of a name that ended with a space.
static int aux_FindDelimiter(FILE* file, long* remaining) {
    int c = 0;
    for (;;) {
        int rc = aux_ReadByte(file, remaining, &c);
        if (rc <= 0) return rc;
        if (c == '=') return 1;
        if (aux_IsLineEnd(c)) return READ_LINE_END;
    }
}

// Reads the next key name up to its "=" (name holds at least 33 bytes).
// 1 a name was read; 0 end of file (no name); -1 read error; -2 name too long.
static int aux_ReadParamName(FILE* file, long* remaining, char* name) {
    for (;;) {
        size_t len = 0;
        name[0] = '\0';
        int lineRc = 1;  // how the current line was left: 1 continue, else its result
        for (;;) {
            int c = 0;
            int rc = aux_ReadByte(file, remaining, &c);
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
                lineRc = aux_FindDelimiter(file, remaining);
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
                lineRc = aux_FindNewLine(file, remaining);
                if (lineRc == 1) lineRc = READ_LINE_END;
                break;
            }
            if (len == PARAM_NAME_MAX) {
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
// field as it was. 1 more text follows; 0 end of file; -1 read error; -2 too long.
static int aux_ReadValue(FILE* file, long* remaining, unsigned short size, unsigned char trim, char* out) {
    char line[PARAM_LINE_MAX + 1];
    size_t len = 0;
    int result = 1;
    for (;;) {
        int c = 0;
        int rc = aux_ReadByte(file, remaining, &c);
        if (rc < 0) return rc;
        if (rc == 0) {
            result = 0;
            break;
        }
        if (aux_IsLineEnd(c)) break;
        if (len == PARAM_LINE_MAX) return -2;
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

// Reads an integer value; the reader's result goes to status.
static long aux_ReadIntegerValue(FILE* file, long* remaining, int* status) {
    char text[PARAM_INT_MAX + 1];
    *status = aux_ReadValue(file, remaining, sizeof(text), TRIM_BOTH, text);
    if (*status < 0) return 0;
    if (text[0] == 'x' || text[0] == 'X') return aux_HexValue(text + 1);
    return aux_DecimalValue(text);
}

static const SParamKey* aux_FindKey(const SParamKey* keys, size_t count, const char* name) {
    for (size_t i = 0; i < count; ++i) {
        if (strcasecmp(keys[i].key, name) == 0) return &keys[i];
    }
    return nullptr;
}

// Reads the value of one known key into its field; returns the reader's result.
static int aux_ReadKeyValue(FILE* file, long* remaining, const SParamKey* key) {
    int status = 0;
    switch (key->kind) {
    case PK_TEXT:
        return aux_ReadValue(file, remaining, key->size, TRIM_BOTH, static_cast<char*>(key->field));
    case PK_BASE_CURRENCY: {
        char text[sizeof(g_Config.szBaseCurrency)];
        status = aux_ReadValue(file, remaining, sizeof(text), TRIM_BOTH, text);
        // The Belarusian rouble in either denomination is always taken as BYN.
        if (status >= 0 && strncasecmp(text, "BY", 2) != 0) strcpy(g_Config.szBaseCurrency, text);
        return status;
    }
    default:
        break;
    }

    long value = aux_ReadIntegerValue(file, remaining, &status);
    if (status < 0) return status;
    switch (key->kind) {
    case PK_U8:
        *static_cast<uint8_t*>(key->field) = static_cast<uint8_t>(value);
        break;
    case PK_U16:
        *static_cast<uint16_t*>(key->field) = static_cast<uint16_t>(value);
        break;
    case PK_U32:
        *static_cast<uint32_t*>(key->field) = static_cast<uint32_t>(value);
        break;
    case PK_FILE_LOAD_TIMEOUT:
        if (value >= 15 && value <= 120) {
            g_Config.ucFileLoadTimeout = static_cast<uint8_t>(value);
            LogStringEx(LOG_INFO, "INFO. Param_LoadConfig. Param <%s>, value: %d", key->key,
                        g_Config.ucFileLoadTimeout);
        }
        break;
    case PK_LOG_LEVEL:
        SetLogLevel(static_cast<uint8_t>(value));
        break;
    default:
        break;
    }
    return status;
}

// Reads name=value lines to the end of the file, taking the values of the
// known keys and passing over the rest. 0 when the whole file went; else the
// first fault's code, with its key in *badKey when the value was at fault
// (nullptr when the name was).
static int aux_ReadKeys(FILE* file, long* remaining, const SParamKey* keys, size_t count, const SParamKey** badKey) {
    char name[PARAM_NAME_MAX + 1];
    *badKey = nullptr;
    for (;;) {
        int rc = aux_ReadParamName(file, remaining, name);
        if (rc <= 0) return rc;
        const SParamKey* key = aux_FindKey(keys, count, name);
        if (key == nullptr) {
            aux_FindNewLine(file, remaining);
            continue;
        }
        rc = aux_ReadKeyValue(file, remaining, key);
        if (rc < 0) *badKey = key;
        if (rc <= 0) return rc;
    }
}

// DEVICE.INI: whatever it holds, the load goes on; a broken file keeps what was read before the fault.
static void aux_LoadComConfig() {
    FILE* file = nullptr;
    long remaining = 0;
    if (aux_OpenConfig("DEVICE.INI", &file, &remaining, 0) != RES_OK) return;

    const SParamKey* badKey = nullptr;
    int rc = aux_ReadKeys(file, &remaining, kDeviceKeys, sizeof(kDeviceKeys) / sizeof(kDeviceKeys[0]), &badKey);
    fclose(file);
    if (rc < 0) {
        if (badKey != nullptr) LogString("WARN. LoadComConfig. Param <%s> parse error: %d", badKey->key, rc);
        else LogString("WARN. LoadComConfig. Config parse error: %d", rc);
        return;
    }
    LogString("Using LogLevel [%d].", GetLogLevel());
    LogString("SUCCESS. LoadComConfig");
}

static void aux_ProcessComConfig() {
    if (g_ComConfig.usComPort > 250) g_ComConfig.usComPort = 0;
    // Port 0 is left for the mandatory test to refuse.
    if (g_ComConfig.usComPort == 0) return;
    switch (g_ComConfig.ulBaudrate) {
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        break;
    default:
        g_ComConfig.ulBaudrate = 19200;
        break;
    }
    if (g_ComConfig.usProtoTO < 5000 || g_ComConfig.usProtoTO > 30000) g_ComConfig.usProtoTO = 12000;
    LogStringEx(LOG_INFO, "INFO. ProcessComConfig. usProtoTO [%u].", static_cast<unsigned>(g_ComConfig.usProtoTO));
    if (g_ComConfig.szComDevice[0] != '\0')
        LogStringEx(LOG_INFO, "INFO. ProcessComConfig. Device [%s].", g_ComConfig.szComDevice);
}

static bool aux_MandatoryPresent() {
    return strlen(g_Config.szTerminalId) == 8 && g_Config.szHost[0] != '\0' && g_Config.usSecPort != 0 &&
           g_Config.szKwrmHost[0] != '\0' && g_Config.usKwrmPort != 0 && strlen(g_Config.szOpenKey) >= 32 &&
           g_ComConfig.usComPort != 0 && g_Config.ucMKIdx != 0 && g_Config.szBaseCurrency[0] != '\0';
}

int Param_LoadConfig() {
    aux_InitParams();

    FILE* file = nullptr;
    long remaining = 0;
    int rc = aux_OpenConfig("CONFIG.INI", &file, &remaining, 0);
    if (rc != RES_OK) return rc;

    const SParamKey* badKey = nullptr;
    rc = aux_ReadKeys(file, &remaining, kConfigKeys, sizeof(kConfigKeys) / sizeof(kConfigKeys[0]), &badKey);
    fclose(file);
    if (rc < 0 && badKey != nullptr) {
        LogString("ERROR. Param_LoadConfig. Param <%s> parse error: %d", badKey->key, rc);
        return RES_CFG_VALUE;
    }
    if (rc < 0) {
        LogString("ERROR. Param_LoadConfig. Config parse error: %d", rc);
        return RES_CFG_NAME;
    }

    aux_LoadComConfig();
    aux_ProcessComConfig();
    LogString("COM Config. Port: %u; IRQ: %u; Baudrate: %lu", static_cast<unsigned>(g_ComConfig.usComPort),
              static_cast<unsigned>(g_ComConfig.usComIrq), static_cast<unsigned long>(g_ComConfig.ulBaudrate));

    if (!aux_MandatoryPresent()) {
        LogString("ERROR. Param_LoadConfig. Mandatory params absent");
        return RES_CFG_VALUE;
    }
    LogString("SUCCESS. Param_LoadConfig");
    return RES_OK;
}

// Reads one line with its LF (if any) into buf; returns its length in bytes,
// 0 at the end of the file, -1 on a read error, -2 when it fills the buffer.
static int aux_ReadRewriteLine(FILE* file, long* remaining, char* buf) {
    int len = 0;
    for (;;) {
        int c = 0;
        int rc = aux_ReadByte(file, remaining, &c);
        if (rc < 0) return -1;
        if (rc == 0) return len;
        // 511 characters before the LF would fill the buffer.
        if (c != '\n' && len == REWRITE_LINE_BUF - 2) return -2;
        buf[len++] = static_cast<char>(c);
        if (c == '\n') return len;
    }
}

static int aux_WriteAll(FILE* file, const void* data, size_t n) {
    return fwrite(data, 1, n, file) == n ? 0 : -1;
}

// Copies the open configuration file to the open TMPCFG.INI with paramName replaced or added.
static int aux_CopyWithParam(FILE* in, long remaining, FILE* out, const char* paramName, const char* value) {
    char line[REWRITE_LINE_BUF];
    size_t nameLen = strlen(paramName);
    bool matched = false;
    for (;;) {
        int len = aux_ReadRewriteLine(in, &remaining, line);
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
            if (fprintf(out, "%s=%s\n", paramName, value) < 0) return -1;
        } else if (aux_WriteAll(out, line, static_cast<size_t>(len)) != 0) {
            return -1;
        }
    }
    if (!matched && fprintf(out, "\n%s=%s\n", paramName, value) < 0) return -1;
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
    if (aux_OpenConfig(fileName, &in, &remaining, 0) != RES_OK) return RES_CFG_FILE;

    char path[64];
    char tmpPath[64];
    UtilFile_CreateFilePath(path, "DATA", fileName);
    UtilFile_CreateFilePath(tmpPath, "DATA", "TMPCFG.INI");
    FILE* out = fopen(tmpPath, "w+b");
    if (out == nullptr) {
        fclose(in);
        LogString("ERROR. Param_WriteConfigParam. Open or create config file [%s].", tmpPath);
        return RES_CFG_FILE;
    }

    int rc = aux_CopyWithParam(in, remaining, out, paramName, value);
    fclose(in);
    // The new copy must be on the disk before it replaces the old file.
    if (rc == 0 && (fflush(out) != 0 || fsync(fileno(out)) != 0)) rc = -1;
    long outLength = -1;
    if (rc == 0 && fseek(out, 0, SEEK_END) == 0) outLength = ftell(out);
    if (fclose(out) != 0) rc = -1;
    if (rc == 0 && outLength <= static_cast<long>(strlen(paramName) + strlen(value))) rc = -1;
    if (rc != 0) {
        unlink(tmpPath);
        LogString("ERROR. Param_WriteConfigParam. [%s] not rewritten", path);
        return RES_CFG_FILE;
    }
    // Renamed over the old file, never deleted first: a crash leaves the old or the new file.
    if (rename(tmpPath, path) != 0) {
        unlink(tmpPath);
        LogString("ERROR. Param_WriteConfigParam. [%s] not rewritten", path);
        return RES_CFG_FILE;
    }
    UtilFile_SyncDir(path);
    return RES_OK;
}

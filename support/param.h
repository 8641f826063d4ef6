// support/param.h
// DATA/CONFIG.INI and DATA/DEVICE.INI, loaded into g_Config and g_ComConfig.
#pragma once
#include <cstdint>

struct SConfig {
    char szTerminalId[9];        // TERMINALID, exactly 8 characters
    char szHost[16];             // HOST, acquiring host address
    uint16_t usTcpPort;          // TCPPORT, kept only
    uint16_t usSecPort;          // SECPORT, acquiring host TLS port
    char szKwrmHost[16];         // KWRMHOST, terminal manager address
    uint16_t usKwrmPort;         // KWRMPORT
    uint8_t ucMKIdx;             // master-key index for szOpenKey, 1
    char szOpenKey[49];          // OPENKEY, PIN working key as hex
    uint16_t usClientTimeout;    // CLIENTTIMEOUT seconds, 90
    char szBankLogo[64];         // BANKLOGO
    char szBankTitle[128];       // BANKTITLE
    char szBankAddress[128];     // BANKADDRESS
    char szBankPhone[64];        // BANKPHONE
    char szDepartTitle[64];      // DEPARTTITLE
    char szBankId[20];           // BANKID
    char szBaseCurrency[4];      // BASECURRENCY, "BYN"
    char szEnabledCurrency[32];  // ENABLEDCURRENCY, codes each followed by "|"
    uint8_t ucChequeWidth;       // CHEQUEWIDTH, 30; receipts use it within 20..80
    uint8_t ucReportCount;       // REPORTCOUNT, 1; used only within 1..3
    char szChecksum[32];         // CHECKSUM, kept only
    uint8_t ucFileLoadTimeout;   // FILELOADTIMEOUT seconds, only 15..120
    uint16_t usHoldOns;          // HOLDONS, 5
    uint8_t ucSmallReport;       // SMALLREPORT
    char szHostCertName[128];    // HOSTCERTNAME: name the host's certificate carries, "" for HOST itself
    char szKwrmCertName[128];    // KWRMCERTNAME: name the manager's certificate carries, "" for KWRMHOST
};

struct SComConfig {
    uint16_t usComIrq;           // COMIRQ, 0xFFFF, logged only
    uint16_t usComPort;          // COMPORT 1..250
    uint32_t ulBaudrate;         // BAUDRATE, 19200 when not a known speed
    uint16_t usComTO;            // COMTO ms, send time-out
    uint16_t usProtoTO;          // PROTO_TO ms, 5000..30000, 12000
    char szRemoteOpenKey[49];    // REMOTEOPENKEY
    uint8_t ucForceByr;          // FORCEBYR
    uint8_t ucForceByn;          // FORCEBYN
    char szComDevice[128];       // COMDEVICE: a device path that overrides /dev/ttyS<COMPORT-1>
};

// The ranges within which a receipt and a report take the receipt settings.
enum : uint8_t {
    PARAM_CHEQUE_WIDTH_MIN = 20,
    PARAM_CHEQUE_WIDTH_MAX = 80,
    PARAM_REPORT_COUNT_MAX = 3,  // REPORTCOUNT outside 1..3 prints one copy
};

extern SConfig g_Config;
extern SComConfig g_ComConfig;

// Loads both files into g_Config and g_ComConfig; RES_OK, RES_CFG_FILE, RES_CFG_VALUE or RES_CFG_NAME.
// Every refusal and every value replaced by another is logged with the file, the line and the key.
int Param_LoadConfig();
// Receives each fault or note of a check as the reader words it: level (LOG_ERROR, LOG_WARNING,
// LOG_INFO; whatever the log level), the file's path, its line (0: the file as a whole) and the
// sentence ("TERMINALID missing (is TERMINALDI a misspelling?)").
typedef void (*PFN_PARAM_REPORT)(void* context, uint8_t level, const char* path, unsigned line, const char* text);
// Checks path as a CONFIG.INI that would replace DATA/CONFIG.INI, read together with the
// DATA/DEVICE.INI in force, by the same reader and rules as Param_LoadConfig but into records of
// its own (g_Config, g_ComConfig and the log level stay as they are); returns the code loading
// would give. The faults are logged as the load logs them, and each handed to report (may be null).
int Param_CheckConfigFile(const char* path, PFN_PARAM_REPORT report = nullptr, void* context = nullptr);
// The same for path as a DEVICE.INI that would replace DATA/DEVICE.INI, read after the
// DATA/CONFIG.INI in force.
int Param_CheckDeviceFile(const char* path, PFN_PARAM_REPORT report = nullptr, void* context = nullptr);
// Replaces or adds paramName=value in DATA/<fileName> through DATA/TMPCFG.INI; RES_OK or RES_CFG_FILE.
int Param_WriteConfigParam(const char* fileName, const char* paramName, const char* value);

// check/ravocheck.cpp
#include "check/ravocheck.h"

#include <mbedtls/platform_util.h>
#include <mbedtls/x509.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "host/hostcodes.h"
#include "host/netlayer.h"
#include "host/tlsset.h"
#include "host/tmmsgbuilder.h"
#include "host/transmaster.h"
#include "kernel/batch.h"
#include "kernel/kernel.h"
#include "pinpad/comport.h"
#include "pinpad/crc.h"
#include "pinpad/padprofile.h"
#include "pinpad/ppcmd.h"
#include "pinpad/ppfile.h"
#include "pinpad/pplayer.h"
#include "support/resource.h"
#include "support/log.h"
#include "support/param.h"
#include "support/rangefile.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"
#include "support/version.h"

namespace {

enum : size_t {
    RAVOCHECK_TEXT_SIZE = 1024,      // room for one line's sentence
    RAVOCHECK_TLS_FILE_MAX = 16384,  // a TLS file fetched from the pad (PADFEED loads at most 4096 bytes)
};

// What the pad said of itself when its application was checked.
struct SRavoCheckPadReport {
    uint32_t ulVersion;     // its payment application's version, 0 when it did not say
    char szName[32];        // the device's name
    uint32_t ulSslCrc[3];   // its CRC-32 of SSLA, SSLC, SSLK (0: it has no such file)
};

// One TLS file as a call would take it.
struct SRavoCheckTlsFile {
    const char* szPadName;             // its name on the pad (and in DATA)
    char szPath[32];                   // DATA/<name>
    char szName[64];                   // the name in the sentences
    std::vector<unsigned char> bytes;  // the pad's copy, when it was fetched
    STlsSetFile file;
};

// One sentence of the configuration reader.
struct SRavoCheckSetting {
    uint8_t level;
    std::string path;
    unsigned line;
    std::string text;
};

}  // namespace

struct SRavoCheck {
    PFN_RAVOCHECK_LINE pfnLine = nullptr;
    void* context = nullptr;
    uint32_t failed = 0;
    bool settingsLoaded = false;
    bool padConnected = false;
    bool padReported = false;   // the pad told its name, version and TLS files
    SRavoCheckPadReport pad = {};
    SRavoCheckTlsFile tls[3];
    bool tlsParsed = false;     // the three files parse: the links can be tried with them
    bool tlsDates = false;      // the certificates' dates were read
    STlsSetReport tlsReport = {};
    std::vector<SRavoCheckSetting> settings;
};

static const char* const kVerdictWords[] = {"OK", "WARN", "FAIL"};
static const char* const kLogWords[] = {"INFO", "WARNING", "ERROR"};
static const char kRangesWaiting[] = "DATA/Btbl";

// Hands one line to the receiver and to the log.
static void aux_RavoCheck_Line(SRavoCheck* c, uint8_t verdict, const char* item, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
static void aux_RavoCheck_Line(SRavoCheck* c, uint8_t verdict, const char* item, const char* format, ...) {
    char text[RAVOCHECK_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (verdict > RAVOCHECK_FAIL) verdict = RAVOCHECK_FAIL;
    if (verdict == RAVOCHECK_FAIL) ++c->failed;
    LogString("%s. RavoCheck. %s %s: %s", kLogWords[verdict], kVerdictWords[verdict], item, text);
    if (c->pfnLine != nullptr) c->pfnLine(c->context, verdict, item, text);
}

// What the pad reported of itself, read in one place.
static void aux_RavoCheck_PadReport(SRavoCheckPadReport* out) {
    memset(out, 0, sizeof(*out));
    const SPadProfile* pad = PadProfile_Get();
    out->ulVersion = pad->ulKwpadVer;
    memcpy(out->szName, pad->szDevName, sizeof(out->szName));
    out->szName[sizeof(out->szName) - 1] = '\0';
    out->ulSslCrc[TLSSET_FILE_CA] = pad->ulSSLACrc;
    out->ulSslCrc[TLSSET_FILE_CERT] = pad->ulSSLCCrc;
    out->ulSslCrc[TLSSET_FILE_KEY] = pad->ulSSLKCrc;
}

// "YYYY-MM-DD hh:mm:ss" of a time in seconds since 1970, UTC.
static void aux_RavoCheck_Utc(time_t t, char* out, size_t size) {
    struct tm utc;
    if (gmtime_r(&t, &utc) == nullptr || strftime(out, size, "%Y-%m-%d %H:%M:%S", &utc) == 0)
        snprintf(out, size, "%lld", static_cast<long long>(t));
}

// The application version in dotted form (0x01020800 is 1.2.8.0).
static void aux_RavoCheck_PadVersion(uint32_t v, char* out, size_t size) {
    snprintf(out, size, "%u.%u.%u.%u", static_cast<unsigned>(v >> 24), static_cast<unsigned>((v >> 16) & 0xFF),
             static_cast<unsigned>((v >> 8) & 0xFF), static_cast<unsigned>(v & 0xFF));
}

SRavoCheck* RavoCheck_Begin(PFN_RAVOCHECK_LINE line, void* context) {
    SRavoCheck* c = new SRavoCheck();
    c->pfnLine = line;
    c->context = context;
    static const char* const names[] = {PP_FILE_SSL_CA, PP_FILE_SSL_CERT, PP_FILE_SSL_KEY};
    for (int i = 0; i < 3; ++i) {
        c->tls[i].szPadName = names[i];
        UtilFile_CreateFilePath(c->tls[i].szPath, "DATA", names[i]);
        snprintf(c->tls[i].szName, sizeof(c->tls[i].szName), "%s", c->tls[i].szPath);
        c->tls[i].file = {c->tls[i].szPath, nullptr, 0};
    }
    return c;
}

static void aux_RavoCheck_EndPad(SRavoCheck* c) {
    if (!c->padConnected) return;
    PPLayer_Disconnect();
    c->padConnected = false;
}

void RavoCheck_End(SRavoCheck* check) {
    if (check == nullptr) return;
    aux_RavoCheck_EndPad(check);
    NetLayer_Close();
    NetLayer_FreeCredentials();
    for (SRavoCheckTlsFile& f : check->tls) {
        if (!f.bytes.empty()) mbedtls_platform_zeroize(f.bytes.data(), f.bytes.size());
    }
    delete check;
}

// ---------------------------------------------------------------- directories

void RavoCheck_Directories(SRavoCheck* c) {
    // LOG holds the check's own lines and is made as a call makes it; TEMP is
    // left as found: made for the probe only when absent, and removed again.
    struct stat st;
    const bool tempAbsent = stat("TEMP", &st) != 0;
    const bool tempMade = tempAbsent && mkdir("TEMP", 0777) == 0;
    SKernelStartup startup;
    int rc = Kernel_StartupChecks(&startup);
    if (tempMade) rmdir("TEMP");
    const char* item = "directories";
    if (rc != RES_OK) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s (a call stops here: Ravo exits 252, start-up code %d)",
                           startup.szReason, rc);
        return;
    }
    aux_RavoCheck_Line(c, RAVOCHECK_OK, item,
                       "the payment directory, DATA, LOG and TEMP are writable%s; %ld MB free (more than %ld MB "
                       "needed)",
                       tempMade ? " (TEMP absent: the next call makes it)" : "", startup.lFreeMb,
                       static_cast<long>(KERNEL_MIN_FREE_MB));
}

// ---------------------------------------------------------------- settings

static void aux_RavoCheck_Setting(void* context, uint8_t level, const char* path, unsigned line, const char* text) {
    static_cast<SRavoCheck*>(context)->settings.push_back({level, path != nullptr ? path : "", line, text});
}

// The file's name without its folder.
static const char* aux_RavoCheck_BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

void RavoCheck_Settings(SRavoCheck* c) {
    static const char kConfig[] = "DATA/CONFIG.INI";
    static const char kDevice[] = "DATA/DEVICE.INI";
    c->settings.clear();
    // One check reads both files, as a call loads them: each sentence names its file.
    int rc = Param_CheckConfigFile(kConfig, aux_RavoCheck_Setting, c);
    bool errorSaid = false;
    bool spoken[2] = {false, false};  // CONFIG.INI, DEVICE.INI had a line of their own
    for (const SRavoCheckSetting& s : c->settings) {
        if (s.level > LOG_WARNING) continue;  // notes stay in the log
        const uint8_t verdict = s.level == LOG_ERROR ? RAVOCHECK_FAIL : RAVOCHECK_WARN;
        errorSaid = errorSaid || verdict == RAVOCHECK_FAIL;
        spoken[s.path == kDevice ? 1 : 0] = true;
        if (s.line != 0)
            aux_RavoCheck_Line(c, verdict, aux_RavoCheck_BaseName(s.path), "%s line %u: %s", s.path.c_str(), s.line,
                               s.text.c_str());
        else
            aux_RavoCheck_Line(c, verdict, aux_RavoCheck_BaseName(s.path), "%s: %s", s.path.c_str(), s.text.c_str());
    }
    if (rc != RES_OK && !errorSaid) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, "CONFIG.INI", "%s: the settings do not load (%d): the log names the cause",
                           kConfig, rc);
        spoken[0] = true;
    }
    if (rc == RES_OK && Param_LoadConfig() == RES_OK) c->settingsLoaded = true;
    if (!spoken[0]) {
        if (c->settingsLoaded) {
            const char* hostName = g_Config.szHostCertName[0] != '\0' ? g_Config.szHostCertName : g_Config.szHost;
            const char* kwrmName = g_Config.szKwrmCertName[0] != '\0' ? g_Config.szKwrmCertName : g_Config.szKwrmHost;
            aux_RavoCheck_Line(c, RAVOCHECK_OK, "CONFIG.INI",
                               "%s: every key reads; terminal %s, host %s:%u (certificate name %s), manager %s:%u "
                               "(certificate name %s)",
                               kConfig, g_Config.szTerminalId, g_Config.szHost,
                               static_cast<unsigned>(g_Config.usSecPort), hostName, g_Config.szKwrmHost,
                               static_cast<unsigned>(g_Config.usKwrmPort), kwrmName);
        } else {
            aux_RavoCheck_Line(c, RAVOCHECK_OK, "CONFIG.INI", "%s: every key reads", kConfig);
        }
    }
    if (!spoken[1]) {
        if (c->settingsLoaded) {
            char device[sizeof(g_ComConfig.szComDevice) + 16];
            ComPort_GetDevicePath(device, sizeof(device));
            aux_RavoCheck_Line(c, RAVOCHECK_OK, "DEVICE.INI", "%s: every key reads; pad on %s at %lu bps, log level %u",
                               kDevice, device, static_cast<unsigned long>(g_ComConfig.ulBaudrate),
                               static_cast<unsigned>(GetLogLevel()));
        } else {
            aux_RavoCheck_Line(c, RAVOCHECK_OK, "DEVICE.INI", "%s: every key reads", kDevice);
        }
    }
}

// ---------------------------------------------------------------- pad

// What to do about a link that did not come up, by what PPLayer_Connect found.
static const char* aux_RavoCheck_PadAdvice(const char* error) {
    if (strncmp(error, "device ", 7) == 0)
        return "check COMPORT (port N is /dev/ttyS<N-1>) and COMDEVICE in DEVICE.INI, and that the till's user may "
               "use the device (group dialout); a call answers 1300 after 3 s";
    if (strncmp(error, "no answer", 9) == 0)
        return "check that the pad is attached to this port and powered, then that its speed is one of these (the "
               "pad's menu); a call answers 1300 after about 23 s";
    return "check the pad's payment application; a call answers 1300";
}

void RavoCheck_Pad(SRavoCheck* c) {
    const char* item = "pad";
    if (!c->settingsLoaded) {
        aux_RavoCheck_Line(c, RAVOCHECK_WARN, item, "not checked: the settings do not load (lines above)");
        return;
    }
    char device[sizeof(g_ComConfig.szComDevice) + 16];
    ComPort_GetDevicePath(device, sizeof(device));
    const uint32_t configured = g_ComConfig.ulBaudrate;
    // The speed found by switching is reported, not written into DEVICE.INI: the next call does that.
    if (PPLayer_Connect(static_cast<uint8_t>(g_ComConfig.usComPort), false) != RES_OK) {
        const char* error = PPLayer_GetConnectError();
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s: %s", error, aux_RavoCheck_PadAdvice(error));
        return;
    }
    c->padConnected = true;
    const uint32_t speed = g_ComConfig.ulBaudrate;

    char name[DEVINFO_TEXT_SIZE] = "";
    uint32_t version = 0;
    int rc = PPLayer_CheckKWPADVer(&version, name);
    aux_RavoCheck_PadReport(&c->pad);
    c->padReported = true;
    char versionText[24];
    aux_RavoCheck_PadVersion(c->pad.ulVersion, versionText, sizeof(versionText));
    char who[sizeof(device) + 128];
    snprintf(who, sizeof(who), "%s, application KWPAD %s, on %s at %lu bps",
             c->pad.szName[0] != '\0' ? c->pad.szName : "(no name)", versionText, device,
             static_cast<unsigned long>(speed));

    uint32_t kcv = 0;
    KeyCheck(PP_KEY_TK, PP_TK_INDEX, &kcv, 1);
    std::string faults, warnings;
    if (rc == RES_PP_KWPAD_VERSION && c->pad.ulVersion == 0)
        faults += "the pad did not tell its application (1306): check its payment application";
    else if (rc == RES_PP_KWPAD_VERSION && c->pad.ulVersion <= KWPAD_VER_TOO_OLD)
        faults += "its application is too old (1306, above 1.2.6.255 needed): the management session after a "
                  "CloseDay installs the bank's";
    else if (rc == RES_PP_KWPAD_VERSION)
        faults += "it lacks TLS files (1306): load SSLA, SSLC and SSLK with PADFEED -s";
    else if (rc == RES_REMOTE_KEYS_BAD)
        faults += "it expects remote keys that are missing (1750): the management session loads them";
    else if (rc != RES_OK)
        faults += "its application did not answer as expected (" + std::to_string(rc) + ")";
    if (kcv == 0)
        faults += std::string(faults.empty() ? "" : "; ") +
                  "it holds no transport key (1309): the management session loads it";
    if (speed != configured) {
        char text[200];
        snprintf(text, sizeof(text), "it answered at %lu bps, not at BAUDRATE %lu: the next call writes %lu into "
                 "DEVICE.INI", static_cast<unsigned long>(speed), static_cast<unsigned long>(configured),
                 static_cast<unsigned long>(speed));
        warnings = text;
    }
    if (!faults.empty()) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s: %s%s%s", who, faults.c_str(), warnings.empty() ? "" : "; ",
                           warnings.c_str());
        return;
    }
    if (!warnings.empty()) {
        aux_RavoCheck_Line(c, RAVOCHECK_WARN, item, "%s: link test answered, session key agreed; %s", who,
                           warnings.c_str());
        return;
    }
    aux_RavoCheck_Line(c, RAVOCHECK_OK, item,
                       "%s: link test answered, session key agreed, TLS files present, transport key loaded (KCV "
                       "0x%06lX)",
                       who, static_cast<unsigned long>(kcv));
}

// ---------------------------------------------------------------- card ranges

void RavoCheck_CardRanges(SRavoCheck* c) {
    const char* item = "card ranges";
    // A table waiting as Btbl replaces RANGE.CFG at the next call when it reads as one.
    const char* path = RANGES_FILE;
    const bool waiting = UtilFile_IsExists(kRangesWaiting) && RangeFile_Check(kRangesWaiting, nullptr, 0) == RES_OK;
    if (waiting) path = kRangesWaiting;
    if (!UtilFile_IsExists(path)) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "%s missing: every call answers 1309 and a management session delivers the table (for a "
                           "test till: scripts/make_range_cfg.sh)",
                           path);
        return;
    }
    char reason[RANGES_REASON_SIZE] = "";
    if (RangeFile_Check(path, reason, sizeof(reason)) != RES_OK) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "%s refused: %s; a call answers 1400 and never loads it into the pad; the next management "
                           "session can deliver a good one",
                           path, reason);
        return;
    }
    int32_t length = 0;
    UtilFile_GetLength(path, &length);
    std::string pad = "the pad was not asked";
    if (c->padConnected) {
        uint32_t localCrc = 0, padCrc = 0, padLen = 0;
        CRC_GetFileCRC(path, &localCrc);
        padCrc = localCrc;
        if (FileCheck(PP_FILE_RANGES, &padCrc, &padLen, 1) == RES_OK && padLen != 0 && padCrc == localCrc)
            pad = "the pad holds the same table";
        else
            pad = "the pad holds another table or none: the next call loads this one";
    }
    aux_RavoCheck_Line(c, RAVOCHECK_OK, item, "%s: %ld records, every one reads%s; %s", path,
                       static_cast<long>(length / RANGES_ENTRY_SIZE),
                       waiting ? " (it replaces DATA/RANGE.CFG at the next call)" : "", pad.c_str());
}

// ---------------------------------------------------------------- TLS files

// Takes each file as a call would: DATA's copy when it is the pad's, else the pad's
// copy fetched into memory; DATA's where the pad has none or was not reached.
// false when a file the pad holds could not be fetched.
static bool aux_RavoCheck_TakeTlsFiles(SRavoCheck* c, std::string* where, std::string* fault) {
    int same = 0, fetched = 0, notOnPad = 0;
    for (SRavoCheckTlsFile& f : c->tls) {
        const uint32_t padCrc = c->padReported ? c->pad.ulSslCrc[&f - c->tls] : 0;
        uint32_t localCrc = 0;
        if (UtilFile_IsExists(f.szPath)) CRC_GetFileCRC(f.szPath, &localCrc);
        if (!c->padConnected) continue;
        if (padCrc == 0) {
            ++notOnPad;
            continue;
        }
        if (localCrc != 0 && localCrc == padCrc) {
            ++same;
            continue;
        }
        f.bytes.assign(RAVOCHECK_TLS_FILE_MAX, 0);
        uint32_t size = static_cast<uint32_t>(f.bytes.size());
        int rc = PPLayer_FileRead(nullptr, f.szPadName, f.bytes.data(), &size);
        if (rc != RES_OK) {
            *fault = std::string(f.szPadName) + " not fetched from the pad (" + std::to_string(rc) +
                     "): a call answers 1030; load the set again with PADFEED -s";
            return false;
        }
        f.bytes.resize(size);
        snprintf(f.szName, sizeof(f.szName), "%s on the pad", f.szPadName);
        f.file = {f.szName, f.bytes.data(), f.bytes.size()};
        ++fetched;
    }
    if (!c->padConnected)
        *where = "DATA's copies (the pad, whose copies a call takes, was not reached)";
    else if (notOnPad != 0)
        *where = "DATA's copies where the pad has none (a call answers 1306 until PADFEED -s loads them)";
    else if (fetched == 0)
        *where = "DATA's copies, the same as the pad's";
    else if (same == 0)
        *where = "the pad's copies (DATA's differ or are missing: the next call replaces them)";
    else
        *where = "the pad's copies, DATA's where they are the same (the next call replaces the others)";
    return true;
}

// Whole days from now to t, rounded down (negative once past).
static long aux_RavoCheck_DaysTo(int64_t t, time_t now) {
    int64_t seconds = t - static_cast<int64_t>(now);
    return static_cast<long>(seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400));
}

// The reason of a chain that fails, in the words of its dates where they are the cause.
static std::string aux_RavoCheck_ChainFault(const STlsSetReport& r, const char* reason, time_t now) {
    char text[400];
    if ((r.ulChainFlags & MBEDTLS_X509_BADCERT_EXPIRED) != 0 && r.llCertValidTo < now)
        snprintf(text, sizeof(text), "the terminal's certificate SSLC expired on %s UTC", r.szCertValidTo);
    else if ((r.ulChainFlags & MBEDTLS_X509_BADCERT_EXPIRED) != 0)
        snprintf(text, sizeof(text), "a CA certificate of SSLA has expired (the CA's end %s UTC)", r.szCaValidTo);
    else if ((r.ulChainFlags & MBEDTLS_X509_BADCERT_FUTURE) != 0)
        snprintf(text, sizeof(text), "a certificate is not valid yet (SSLC from %s UTC, the CA from %s UTC)",
                 r.szCertValidFrom, r.szCaValidFrom);
    else
        snprintf(text, sizeof(text), "%s", reason);
    return text;
}

void RavoCheck_TlsFiles(SRavoCheck* c) {
    const char* item = "TLS files";
    std::string where, fault;
    bool taken = aux_RavoCheck_TakeTlsFiles(c, &where, &fault);
    // Everything the pad is asked for has been asked: its link ends before the network's waits.
    aux_RavoCheck_EndPad(c);
    if (!taken) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s", fault.c_str());
        return;
    }
    char reason[TLSSET_REASON_SIZE] = "";
    STlsSetReport& r = c->tlsReport;
    int rc = TlsSet_CheckFiles(&c->tls[0].file, &c->tls[1].file, &c->tls[2].file, &r, reason, sizeof(reason));
    c->tlsDates = r.llCertValidTo != 0;
    c->tlsParsed = rc == RES_OK || r.ucStep == TLSSET_KEY_MATCH || r.ucStep == TLSSET_CHAIN;
    if (c->tlsParsed) {
        NetLayer_InitCredentials();
        for (uint8_t i = 0; i < 3; ++i) c->tlsParsed = c->tlsParsed && NetLayer_ParseCredential(i, &c->tls[i].file) == 0;
    }
    const char* set = r.ucSha1 ? "SHA-1 set (TLS 1.0)" : "SHA-256 set (TLS 1.2)";
    const time_t now = SysClock_Now();
    if (rc != RES_OK) {
        std::string why = r.ucStep == TLSSET_CHAIN ? aux_RavoCheck_ChainFault(r, reason, now) : std::string(reason);
        // A file that does not parse stops every call; a set that parses fails at the peers.
        const char* effect = r.ucStep <= TLSSET_KEY_PARSE ? "every call answers 1030"
                                                          : "the host and the manager refuse the terminal (1080, 1601)";
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s, from %s: %s; %s: ask the bank for a sound set and load it with "
                           "PADFEED -s",
                           r.ucStep >= TLSSET_KEY_PARSE ? set : "the set", where.c_str(), why.c_str(), effect);
        return;
    }
    std::string warnings;
    const long certDays = aux_RavoCheck_DaysTo(r.llCertValidTo, now);
    const long caDays = aux_RavoCheck_DaysTo(r.llCaValidTo, now);
    char text[300];
    if (certDays < RAVOCHECK_EXPIRY_WARN_DAYS) {
        snprintf(text, sizeof(text), "; SSLC ends in %ld days (%s UTC): ask the bank for a new set", certDays,
                 r.szCertValidTo);
        warnings += text;
    }
    if (caDays < RAVOCHECK_EXPIRY_WARN_DAYS) {
        snprintf(text, sizeof(text), "; the CA ends in %ld days (%s UTC): ask the bank for the next SSLA", caDays,
                 r.szCaValidTo);
        warnings += text;
    }
    if (r.ucSha1) warnings += "; a SHA-1 set holds both links to TLS 1.0: ask the bank for a SHA-256 set";
    aux_RavoCheck_Line(c, warnings.empty() ? RAVOCHECK_OK : RAVOCHECK_WARN, item,
                       "%s, from %s: SSLK is the key of SSLC, SSLC chains to SSLA; SSLC valid to %s UTC, the CA to "
                       "%s UTC%s",
                       set, where.c_str(), r.szCertValidTo, r.szCaValidTo, warnings.c_str());
}

// ---------------------------------------------------------------- host and manager

// Why a link was not checked; nullptr when it can be.
static const char* aux_RavoCheck_LinkBlocked(const SRavoCheck* c) {
    if (!c->settingsLoaded) return "not checked: the settings do not load (lines above)";
    if (!c->tlsParsed) return "not checked: no TLS files it could use (line above)";
    return nullptr;
}

// The failed connection in words, with what to do about it.
static std::string aux_RavoCheck_ConnectFault(const char* keyHost, const char* keyPort, const char* keyName) {
    const SNetLayerReport* r = NetLayer_GetConnectReport();
    std::string text = r->szReason[0] != '\0' ? r->szReason : "not connected";
    const uint32_t flags = r->ulVerifyFlags;
    if (r->ucStep == NETLAYER_STEP_TCP)
        text += std::string(": check ") + keyHost + " and " + keyPort + " in CONFIG.INI and the network";
    else if (r->ucStep != NETLAYER_STEP_TLS)
        text += ": see the TLS files line";
    else if ((flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) != 0)
        text += std::string(": an impostor, or a certificate that names the peer otherwise: set ") + keyName +
                " only to a name the bank confirms";
    else if ((flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED) != 0)
        text += ": the peer's certificate is not of the CA in SSLA: an impostor, or SSLA is not the bank's CA";
    else if ((flags & (MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE)) != 0)
        text += ": the peer's certificate is out of its dates on this clock: see the clock line";
    else if (flags != 0)
        text += ": the peer's certificate is not one the terminal takes (see the README, Security)";
    else if (r->iPeerAlert >= 0)
        text += ": the peer refused the terminal's certificate (SSLC): see the TLS files line";
    else
        text += ": the peer accepted the connection but did not finish the handshake";
    return text;
}

void RavoCheck_Host(SRavoCheck* c) {
    char item[48];
    snprintf(item, sizeof(item), "host %s:%u", c->settingsLoaded ? g_Config.szHost : "",
             static_cast<unsigned>(c->settingsLoaded ? g_Config.usSecPort : 0));
    if (const char* blocked = aux_RavoCheck_LinkBlocked(c)) {
        aux_RavoCheck_Line(c, RAVOCHECK_WARN, "host", "%s", blocked);
        return;
    }
    // The echo carries the batch's counters: read as they are, nothing written.
    Batch_LoadReadOnly();
    NetLayer_Init();
    TMMsgBuilder_Init();
    const char* name = g_Config.szHostCertName[0] != '\0' ? g_Config.szHostCertName : g_Config.szHost;
    const uint64_t start = SysClock_MonotonicMs();
    int rc = Kernel_TestConnect();
    const uint64_t elapsedMs = SysClock_MonotonicMs() - start;
    NetLayer_Close();
    if (rc == RES_OK) {
        aux_RavoCheck_Line(c, RAVOCHECK_OK, item, "TCP, %s handshake with a certificate naming %s, echo answered",
                           NetLayer_GetConnectReport()->szProtocol, name);
        return;
    }
    if (rc == RES_HOST_CONNECT) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s; a call answers 1080",
                           aux_RavoCheck_ConnectFault("HOST", "SECPORT", "HOSTCERTNAME").c_str());
        return;
    }
    if (rc == RES_HOST_SEND && elapsedMs >= static_cast<uint64_t>(TRANSMASTER_READ_TIMEOUT_S) * 1000u) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "TCP and %s handshake, but no answer to the echo within %u s: the host, or the network "
                           "to it, is silent; a sale would wait as long and answer 1081",
                           NetLayer_GetConnectReport()->szProtocol, static_cast<unsigned>(TRANSMASTER_READ_TIMEOUT_S));
        return;
    }
    if (rc == RES_HOST_SEND) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "TCP and %s handshake, but the connection ended before the echo's answer (1081)",
                           NetLayer_GetConnectReport()->szProtocol);
        return;
    }
    if (rc == RES_HOST_NO_RRN_AUTH) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "the host's answer to the echo does not read as one (1087)");
        return;
    }
    char desc[TMMSG_RESULT_DESC_SIZE];
    TMMsgBuilder_GetResultCodeDesc(static_cast<uint16_t>(rc), false, desc);
    aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "the host answered the echo with action code %03d (%s)", rc,
                       Resource_GetInformMessage(desc));
}

void RavoCheck_Manager(SRavoCheck* c) {
    char item[48];
    snprintf(item, sizeof(item), "manager %s:%u", c->settingsLoaded ? g_Config.szKwrmHost : "",
             static_cast<unsigned>(c->settingsLoaded ? g_Config.usKwrmPort : 0));
    if (const char* blocked = aux_RavoCheck_LinkBlocked(c)) {
        aux_RavoCheck_Line(c, RAVOCHECK_WARN, "manager", "%s", blocked);
        return;
    }
    NetLayer_Init();
    const char* name = g_Config.szKwrmCertName[0] != '\0' ? g_Config.szKwrmCertName : g_Config.szKwrmHost;
    // The handshake alone: no frame of the protocol is sent, so the manager opens no session.
    int rc = NetLayer_Connect(g_Config.szKwrmHost, g_Config.usKwrmPort, g_Config.szKwrmCertName);
    NetLayer_Close();
    if (rc == RES_OK) {
        aux_RavoCheck_Line(c, RAVOCHECK_OK, item, "TCP, %s handshake with a certificate naming %s (no session opened)",
                           NetLayer_GetConnectReport()->szProtocol, name);
        return;
    }
    aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item, "%s; a management session ends with 1601 before it starts",
                       aux_RavoCheck_ConnectFault("KWRMHOST", "KWRMPORT", "KWRMCERTNAME").c_str());
}

// ---------------------------------------------------------------- clock

void RavoCheck_Clock(SRavoCheck* c) {
    const char* item = "clock";
    const STlsSetReport& r = c->tlsReport;
    const time_t now = SysClock_Now();
    char nowText[32];
    aux_RavoCheck_Utc(now, nowText, sizeof(nowText));
    if (!c->tlsDates) {
        aux_RavoCheck_Line(c, RAVOCHECK_WARN, item, "reads %s UTC; not compared: no certificate dates (TLS files line)",
                           nowText);
        return;
    }
    if (now < r.llCaValidFrom) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "reads %s UTC, before the CA's start (%s UTC): set the clock; every peer is refused "
                           "until then (1080)",
                           nowText, r.szCaValidFrom);
        return;
    }
    if (now < r.llCertValidFrom) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "reads %s UTC, before the start of SSLC (%s UTC): set the clock", nowText,
                           r.szCertValidFrom);
        return;
    }
    if (now > r.llCertValidTo) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, item,
                           "reads %s UTC, after the end of SSLC (%s UTC): set the clock if it is wrong, else the "
                           "certificate has expired",
                           nowText, r.szCertValidTo);
        return;
    }
    aux_RavoCheck_Line(c, RAVOCHECK_OK, item, "reads %s UTC, within the CA's start (%s UTC) and SSLC's end (%s UTC)",
                       nowText, r.szCaValidFrom, r.szCertValidTo);
}

// ---------------------------------------------------------------- the program

int RavoCheck_Run(PFN_RAVOCHECK_LINE line, void* context) {
    SRavoCheck* c = RavoCheck_Begin(line, context);
    // Nothing is touched while a call runs: the pad, the host and even the
    // start-up probes belong to it.
    int lock = Kernel_LockCall();
    if (lock == RES_TERMINAL_BUSY) {
        aux_RavoCheck_Line(c, RAVOCHECK_FAIL, "call lock",
                           "a payment call is running in this directory (DATA/RAVO.LCK is held): nothing was checked; "
                           "run ravo-check again when it has finished");
        RavoCheck_End(c);
        return RAVOCHECK_EXIT_BUSY;
    }
    // Without a usable lock file no call can run either (its lock fails the same way); the
    // directories line says why.
    static void (*const kItems[])(SRavoCheck*) = {
        RavoCheck_Directories, RavoCheck_Settings, RavoCheck_Pad,     RavoCheck_CardRanges,
        RavoCheck_TlsFiles,    RavoCheck_Host,     RavoCheck_Manager, RavoCheck_Clock,
    };
    for (auto checkItem : kItems) checkItem(c);
    const int status = c->failed != 0 ? RAVOCHECK_EXIT_FAILED : RAVOCHECK_EXIT_OK;
    RavoCheck_End(c);
    if (lock == RES_OK) Kernel_UnlockCall();
    return status;
}

// Prints a line as the program shows it: the verdict in a column of its own.
static void aux_RavoCheck_Print(void* context, uint8_t verdict, const char* item, const char* text) {
    (void)context;
    printf("%-4s %s: %s\n", kVerdictWords[verdict > RAVOCHECK_FAIL ? 2 : verdict], item, text);
    fflush(stdout);
}

int RavoCheck_Main(int argc, char** argv) {
    if (argc == 1 && strcmp(argv[0], "--version") == 0) {
        printf("ravo-check %s\n", Version_GetText());
        return RAVOCHECK_EXIT_OK;
    }
    if (argc > 0) {
        const bool help = argc == 1 && strcmp(argv[0], "--help") == 0;
        FILE* to = help ? stdout : stderr;
        if (!help) fprintf(to, "ravo-check: unknown argument %s\n", argv[0]);
        fprintf(to, "Usage: ravo-check [--version]\nRun in the payment directory: checks the directories, the "
                    "settings, the PIN pad, the card ranges, the TLS files, the host, the terminal manager and the "
                    "clock, one line each; exit status 0 when nothing failed, 1 when something did, 3 while a "
                    "payment runs.\n");
        return help ? RAVOCHECK_EXIT_OK : RAVOCHECK_EXIT_USAGE;
    }
    // The day's log is the library's: LOG is made as a call makes it.
    UtilFile_CreateDir("LOG");
    LogString(">>>>>>>>>>>>>>>> RAVO-CHECK STARTED v.%s", Version_GetText());
    int status = RavoCheck_Run(aux_RavoCheck_Print, nullptr);
    LogString("<<<<<<<<<<<<<<<< RAVO-CHECK FINISHED [%d]", status);
    return status;
}

// padfeed/padfeed_run.cpp
#include "padfeed/padfeed_run.h"

#include <cstdarg>
#include <cstdio>
#include <strings.h>

#include "kernel/kernel.h"
#include "pinpad/comport.h"
#include "pinpad/ppcmd.h"
#include "pinpad/ppfile.h"
#include "pinpad/pplayer.h"
#include "support/log.h"
#include "support/param.h"
#include "support/rangefile.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

// One file of the upload set: its name in DATA, its name on the pad, the
// sizes accepted and the check of its content (null: none), which logs its reason.
struct SPadFeedFile {
    const char* szFile;
    const char* szPadName;
    int32_t lMinSize;
    int32_t lMaxSize;
    uint8_t ucOptional;  // skipped without error when absent
    int (*pfnCheck)(const char* path, char* reason, size_t size);
};

static const SPadFeedFile m_Files[] = {
    {"SSLA", "SSLA", 512, 4096, 0, nullptr},
    {"SSLC", "SSLC", 512, 4096, 0, nullptr},
    {"SSLK", "SSLK", 512, 4096, 0, nullptr},
    {"RANGE.CFG", "RANGES", 100, 65000, 0, RangeFile_Check},
    {"EMVCFG", "EMVCFG", 100, 65000, 0, nullptr},
    {"EMVCAPK", "EMVCAPK", 100, 65000, 1, nullptr},
};
static const char m_szDataDir[] = "DATA";

// Logs a line and prints it, followed by a line break.
static void aux_PadFeed_Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void aux_PadFeed_Say(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    LogString("%s", line);
    printf("%s\n", line);
    fflush(stdout);
}

void PadFeed_Usage(const char* reason) {
    printf("PADFEED v. %s\nUsage: PADFEED {[-s] [-r] [-e]}\n-s:\t\tUpload %s, %s, %s from dir '%s'\n"
           "-r:\t\tUpload '%s' from dir '%s'\n-e:\t\tUpload '%s' and '%s' (if exists) from dir '%s'\n",
           PADFEED_VERSION, "SSLA", "SSLC", "SSLK", m_szDataDir, "RANGE.CFG", m_szDataDir, "EMVCFG", "EMVCAPK",
           m_szDataDir);
    fflush(stdout);
    LogString("Improper usage. Returned error: [%s].", reason);
}

int PadFeed_ParseArgs(int argc, char** argv, uint32_t* uploadSet, const char** bad) {
    *bad = nullptr;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcasecmp(arg, "-s") == 0 && (*uploadSet & PADFEED_SSL_ALL) != PADFEED_SSL_ALL) {
            *uploadSet |= PADFEED_SSL_ALL;
            LogString("Switch '-s' recognized, certs & key files have to be uploaded.");
        } else if (strcasecmp(arg, "-r") == 0 && !(*uploadSet & PADFEED_RANGES)) {
            *uploadSet |= PADFEED_RANGES;
            LogString("Switch '-r' recognized, '%s' has to be uploaded.", "RANGE.CFG");
        } else if (strcasecmp(arg, "-e") == 0) {
            // A repeated -e only sets its bits again.
            *uploadSet |= PADFEED_EMVCFG | PADFEED_EMVCAPK;
            LogString("Switch '-e' recognized, '%s' and '%s' has to be uploaded.", "EMVCFG", "EMVCAPK");
        } else {
            *bad = arg;
            return 1;
        }
    }
    return 0;
}

uint32_t PadFeed_Upload(uint32_t uploadSet, uint32_t* skipped) {
    uint32_t errors = 0;
    if (skipped != nullptr) *skipped = 0;
    for (uint32_t bit = 0; bit < sizeof(m_Files) / sizeof(m_Files[0]); ++bit) {
        const uint32_t mask = 1u << bit;
        if (!(uploadSet & mask)) continue;
        const SPadFeedFile& f = m_Files[bit];
        char path[64];
        UtilFile_CreateFilePath(path, m_szDataDir, f.szFile);
        if (f.ucOptional && !UtilFile_IsExists(path)) {
            if (skipped != nullptr) *skipped |= mask;
            continue;
        }

        int32_t length = 0;
        if (UtilFile_GetLength(path, &length) != RES_OK) {
            aux_PadFeed_Say("Failed to open the file (%s).", path);
            errors |= mask;
            continue;
        }
        if (length < f.lMinSize || length > f.lMaxSize) {
            aux_PadFeed_Say("File (%s) is bad because of wrong file size (%ld bytes).", path,
                            static_cast<long>(length));
            errors |= mask;
            continue;
        }
        char reason[RANGES_REASON_SIZE];
        if (f.pfnCheck != nullptr && f.pfnCheck(path, reason, sizeof(reason)) != RES_OK) {
            aux_PadFeed_Say("File (%s) is bad: %s.", path, reason);
            errors |= mask;
            continue;
        }
        int rc = PPLayer_FileWrite(path, f.szPadName, nullptr, 0);
        if (rc != RES_OK) {
            errors |= mask;
            aux_PadFeed_Say("ERROR. Uploading '%s' to PinPad [%ld]", f.szFile, static_cast<long>(rc));
        } else {
            aux_PadFeed_Say("INFO. '%s' (%ld bytes) successfully uploaded.", f.szFile, static_cast<long>(length));
        }
    }
    LogString("INFO. Writing finished. Errors mask: [0x%08lX].", static_cast<unsigned long>(errors));
    return errors;
}

// Loads the configuration, connects the pad and checks its application;
// 0, the configuration error or 5001. *connected is set once the link is up.
static uint32_t aux_PadFeed_Init(uint8_t* connected) {
    int rc = Param_LoadConfig();
    if (rc != RES_OK) {
        printf("\nInvalid config file (%s).", "CONFIG.INI");
        printf("\nThe log (LOG/) names the file, the line and the key at fault.\n");
        fflush(stdout);
        return static_cast<uint32_t>(rc);
    }
    char device[sizeof(g_ComConfig.szComDevice) + 1];
    ComPort_GetDevicePath(device, sizeof(device));
    rc = PPLayer_Connect(static_cast<uint8_t>(g_ComConfig.usComPort));
    if (rc != RES_OK) {
        aux_PadFeed_Say("PinPad connection error: (%lu), COM port used: (%d).", static_cast<unsigned long>(rc),
                        g_ComConfig.usComPort);
        aux_PadFeed_Say("Reason: %s.", PPLayer_GetConnectError());
        return RES_PADFEED_PAD;
    }
    *connected = 1;
    aux_PadFeed_Say("PinPad on %s at %lu bps.", device, static_cast<unsigned long>(g_ComConfig.ulBaudrate));
    char name[DEVINFO_TEXT_SIZE], id[DEVINFO_TEXT_SIZE], text3[DEVINFO_TEXT_SIZE], text4[DEVINFO_TEXT_SIZE];
    uint32_t version = 0;
    uint16_t number = 0;
    rc = DevGetInfo(name, id, text3, &version, text4, &number);
    if (rc != RES_OK) version = 0;
    if (rc != RES_OK || version <= KWPAD_VER_TOO_OLD) {
        aux_PadFeed_Say("Invalid KWPAD version: (0x%08lX), must be (0x%08lX) or higher.",
                        static_cast<unsigned long>(version), static_cast<unsigned long>(KWPAD_VER_AMOUNT_LINE));
        return RES_PADFEED_PAD;
    }
    return RES_OK;
}

uint32_t PadFeed_Run(int argc, char** argv, int* exitStatus) {
    UtilFile_CreateDir("LOG");
    LogString(">>>> PADFEED STARTED v.%s <<<<", PADFEED_VERSION);
    uint32_t result = 0;
    uint32_t uploadSet = 0;
    uint8_t connected = 0;
    const char* bad = nullptr;
    *exitStatus = PADFEED_EXIT_OK;
    if (argc <= 0) {
        PadFeed_Usage("No args!");
        *exitStatus = PADFEED_EXIT_USAGE;
    } else if (PadFeed_ParseArgs(argc, argv, &uploadSet, &bad) != 0) {
        PadFeed_Usage(bad[0] != '\0' ? bad : "No description");
        *exitStatus = PADFEED_EXIT_USAGE;
    } else if (Kernel_LockCall() == RES_TERMINAL_BUSY) {
        // The pad belongs to the running call: a file sent now would land in
        // the middle of its exchange. (A lock file that cannot be used, as
        // without DATA, stops every call too: the run goes on and names its fault.)
        aux_PadFeed_Say("A payment call is running in this directory (DATA/RAVO.LCK is held): the pad was not "
                        "touched. Run PADFEED again when it has finished.");
        result = RES_TERMINAL_BUSY;
        *exitStatus = PADFEED_EXIT_BUSY;
    } else if ((result = aux_PadFeed_Init(&connected)) == RES_OK) {
        printf("Starting...\n");
        fflush(stdout);
        uint32_t skipped = 0;
        uint32_t errors = PadFeed_Upload(uploadSet, &skipped);
        result = errors;
        if (errors != 0) *exitStatus = PADFEED_EXIT_UPLOAD;
        uint32_t kcv = 0;
        KeyCheck(PP_KEY_TK, PP_TK_INDEX, &kcv, 0);
        if (kcv != 0)
            aux_PadFeed_Say("INFO. Transport key is loaded, KCV: (0x%06lX).", static_cast<unsigned long>(kcv));
        else
            aux_PadFeed_Say("WARNING. Transport key is not loaded! Please upload it to PinPad.");
        // The pad picks up new files on restart; a run that loaded nothing
        // (every file failed, or the only one left was an absent EMVCAPK)
        // leaves it be.
        if ((uploadSet & ~errors & ~skipped) != 0) DevRestart();
    } else {
        *exitStatus = result == RES_PADFEED_PAD ? PADFEED_EXIT_PAD : PADFEED_EXIT_CONFIG;
    }
    if (connected) PPLayer_Disconnect();
    Kernel_UnlockCall();
    LogString("<<<< PADFEED FINISHED [%lu] <<<<", static_cast<unsigned long>(result));
    return result;
}

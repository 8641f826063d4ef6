// remote/kwrmmgr.cpp
#include "remote/kwrmmgr.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "host/netlayer.h"
#include "host/tlsset.h"
#include "pinpad/crc.h"
#include "pinpad/emv.h"
#include "pinpad/padprofile.h"
#include "pinpad/ppcmd.h"
#include "pinpad/ppfile.h"
#include "pinpad/pplayer.h"
#include "remote/kwrmcli.h"
#include "remote/kwrmerror.h"
#include "remote/kwrmframe.h"
#include "remote/softsign.h"
#include "remote/softupd.h"
#include "remote/softupd_internal.h"
#include "support/cp1251.h"
#include "support/log.h"
#include "support/param.h"
#include "support/rangefile.h"
#include "support/resource.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"
#include "support/utilmsg.h"
#include "support/proc.h"
#include "support/version.h"

enum : uint32_t {
    KWRM_CLOSE_PAUSE_MS = 3000,  // the result stays on the displays this long
    KWRM_ZIP_WAIT_MS = 60000,    // compressing one day's log
};
enum : int {
    KWRM_SSL_TRIES = 5,          // writes of a TLS file to the pad
    KWRM_APP_TRIES = 5,          // application installs while the pad does not answer
    KWRM_MAX_LOGS = 10,          // logs uploaded per session
    KWRM_LOG_NAME_LENGTH = 12,   // "YYYYMMDD.LOG" and "YYYYMMDD.zip"
    KWRM_LOG_DATE_LENGTH = 8,
    KWRM_LOG_DIR_MAX = 256,
};

enum : int32_t {
    KWRM_CHIP_FILE_MAX = 65000,  // the most the pad takes of a chip file
    KWRM_REASON_SIZE = 256,      // why a download was refused
};

static const char kLogDir[] = "LOG/";
static const char kZipProgram[] = "zip";

// What the TLS client of the session loads from the three files the pad keeps.
static const S_PP_SSL_PARSERS kSslParsers = {NetLayer_ParseCAFile, NetLayer_ParseClientCertFile,
                                             NetLayer_ParseClientKeyFile};

// One TLS file: its pad name, the manager's command and the pad's CRC.
struct SKwrmSslFile {
    const char* name;
    uint8_t command;
    uint32_t SPadProfile::*padCrc;
};
static const SKwrmSslFile kSslFiles[] = {
    {PP_FILE_SSL_CA, KWRM_CMD_SSLA, &SPadProfile::ulSSLACrc},
    {PP_FILE_SSL_CERT, KWRM_CMD_SSLC, &SPadProfile::ulSSLCCrc},
    {PP_FILE_SSL_KEY, KWRM_CMD_SSLK, &SPadProfile::ulSSLKCrc},
};

// The state of one session, from its start to its apply phase: nothing of it
// outlives the session.
struct SKwrmSession {
    uint64_t deadlineMs = 0;                 // the end of the time budget (SysClock_MonotonicMs), 0 none
    uint32_t flags = 0;                      // what arrived and passed its checks (KWRM_FLAG_*)
    uint32_t moved = 0;                      // files put in force from their older name (the flags of their rows)
    uint8_t problem = 0;                     // a step had a problem: no pad restart, no pad application
    int refused = RES_OK;                    // the first download refused by its check (the file in force stays)
    char dateTime[KWRM_DATETIME_SIZE] = "";  // the manager's date and time, as it sent them
    uint32_t libVersion = 0;                 // the library's version the manager announced, 0 none
    SSoftLibPlan lib = {};                   // the checked library download
    char padPath[64] = "";                   // TEMP/<the pad's application file>
};

// The running result of the apply phase.
struct SKwrmApply {
    int last = RES_OK;     // the last code produced
    uint8_t problem = 0;   // the session's problem mark and the apply steps' own
};

static bool aux_KWRM_MGR_BudgetSpent(const SKwrmSession* session) {
    return session->deadlineMs != 0 && SysClock_MonotonicMs() >= session->deadlineMs;
}


static void aux_KWRM_MGR_Path(char* out, size_t size, const char* dir, const char* name) {
    snprintf(out, size, "%s/%s", dir, name);
}

// CRC-32 of a terminal file, 0 when it is absent or unreadable.
static uint32_t aux_KWRM_MGR_FileCrc(const char* path) {
    uint32_t crc = 0;
    if (!UtilFile_IsExists(path) || CRC_GetFileCRC(path, &crc) != RES_OK) return 0;
    return crc;
}

// Moves directory/name into the archive directory/date.zip with zip, run from
// an argument list (no shell sees the names); zip's exit status or -1.
static int aux_KWRM_MGR_ZipLog(const char* archive, const char* member) {
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0) return -1;
    pid_t child = fork();
    if (child < 0) {
        close(pipeFd[0]);
        close(pipeFd[1]);
        return -1;
    }
    if (child == 0) {
        close(pipeFd[0]);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        // The write end stays open in zip (no close-on-exec) so the parent sees it end.
        fcntl(pipeFd[1], F_SETFD, 0);
        // -y: a link that took the member's place since it was looked at is stored as a link, never followed.
        char* const argv[] = {const_cast<char*>(kZipProgram), const_cast<char*>("-mq9y"), const_cast<char*>(archive),
                              const_cast<char*>(member), nullptr};
        execvp(kZipProgram, argv);
        _exit(127);
    }
    close(pipeFd[1]);
    return Proc_WaitChild(child, pipeFd[0], KWRM_ZIP_WAIT_MS);
}

// A log of an earlier day: exactly eight digits and ".LOG" or ".zip".
static bool aux_KWRM_MGR_IsLogName(const char* name, const char* today) {
    if (strlen(name) != KWRM_LOG_NAME_LENGTH) return false;
    for (int i = 0; i < KWRM_LOG_DATE_LENGTH; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    if (atol(name) <= 0) return false;
    if (strncmp(name, today, KWRM_LOG_DATE_LENGTH) == 0) {
        LogStringEx(LOG_DEBUG, "DEBUG. KWRM_MGR_ZipLogFiles. Skipping current log [%s].", name);
        return false;
    }
    return strcmp(name + KWRM_LOG_DATE_LENGTH, ".LOG") == 0 || strcmp(name + KWRM_LOG_DATE_LENGTH, ".zip") == 0;
}

// Only the terminal's own logs leave it: a link (zip would follow it), a
// directory or a file with another name elsewhere is skipped and logged; a
// log is zipped only into an archive that is itself a plain file or absent.
static bool aux_KWRM_MGR_IsPlainLog(const char* directory, const char* name) {
    char path[KWRM_LOG_DIR_MAX + 16];
    snprintf(path, sizeof(path), "%s%s", directory, name);
    bool plain = KWRM_CLI_IsPlainFile(path) != 0;
    if (plain && strcmp(name + KWRM_LOG_DATE_LENGTH, ".LOG") == 0) {
        snprintf(path, sizeof(path), "%s%.*s.zip", directory, KWRM_LOG_DATE_LENGTH, name);
        struct stat st;
        plain = lstat(path, &st) != 0 || KWRM_CLI_IsPlainFile(path) != 0;
    }
    if (!plain) LogString("WARNING. KWRM_MGR_SendLogFiles. Skipping [%s]: not a plain file.", path);
    return plain;
}

static int aux_KWRM_MGR_SendLogFiles(const char* directory) {
    if (directory == nullptr) {
        LogString("ERROR. KWRM_MGR_SendLogFiles. Log dir is NULL");
        return RES_KWRM_NO_FILE;
    }
    if (strlen(directory) > KWRM_LOG_DIR_MAX) {
        LogString("ERROR. KWRM_MGR_SendLogFiles. Dir size too big");
        return RES_KWRM_NO_FILE;
    }
    LogStringEx(LOG_INFO, "INFO. KWRM_MGR_SendLogFiles. Dir: %s", directory);

    struct tm now;
    SysClock_LocalTime(&now);
    char today[32];
    snprintf(today, sizeof(today), "%04d%02d%02d", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);

    char chosen[KWRM_MAX_LOGS][KWRM_LOG_NAME_LENGTH + 1];
    int count = 0;
    struct dirent** list = nullptr;
    int n = scandir(directory, &list, nullptr, alphasort);
    for (int i = n - 1; i >= 0; --i) {
        const char* name = list[i]->d_name;
        if (count < KWRM_MAX_LOGS && aux_KWRM_MGR_IsLogName(name, today) &&
            aux_KWRM_MGR_IsPlainLog(directory, name)) {
            if (strcmp(name + KWRM_LOG_DATE_LENGTH, ".zip") == 0) {
                LogStringEx(LOG_DEBUG, "DEBUG. KWRM_MGR_ZipLogFiles. Zipped log found [%s].", name);
                strcpy(chosen[count], name);
            } else {
                LogStringEx(LOG_DEBUG, "DEBUG. KWRM_MGR_ZipLogFiles. Log found [%s].", name);
                char archive[KWRM_LOG_DIR_MAX + 16], member[KWRM_LOG_DIR_MAX + 16];
                snprintf(archive, sizeof(archive), "%s%.*s.zip", directory, KWRM_LOG_DATE_LENGTH, name);
                snprintf(member, sizeof(member), "%s%s", directory, name);
                int zipped = aux_KWRM_MGR_ZipLog(archive, member);
                LogStringEx(LOG_INFO, "%s. Zipping file [%s] result [%d].", zipped == 0 ? "INFO" : "ERROR", member,
                            zipped);
                if (zipped == 0) snprintf(chosen[count], sizeof(chosen[count]), "%.*s.zip", KWRM_LOG_DATE_LENGTH, name);
                else strcpy(chosen[count], name);
                LogStringEx(LOG_DEBUG, "DEBUG. KWRM_MGR_ZipLogFiles. Using file [%s] to send.", chosen[count]);
            }
            ++count;
        }
        free(list[i]);
    }
    free(list);

    LogStringEx(LOG_INFO, "INFO. KWRM_MGR_SendLogFiles. Count: %u", static_cast<unsigned>(count));
    for (int i = 0; i < count; ++i) {
        char path[KWRM_LOG_DIR_MAX + 16];
        snprintf(path, sizeof(path), "%s%s", directory, chosen[i]);
        LogString("KWRM_MGR_SendLogFiles. Sending: %s", path);
        uint16_t rc = KWRM_CLI_PutLogFileToKwrm(path);
        LogString("KWRM_MGR_SendLogFiles [%u]", rc);
        if (rc == RES_KWRM_UPLOAD_REFUSED) continue;
        if (rc != RES_OK) return RES_KWRM_FILE_SEND;
        if (remove(path) != 0) LogString("ERROR. KWRM_MGR_SendLogFiles. Delete file: %d", errno);
    }
    return RES_OK;
}

// Renames source over target: the target is never missing, old or new.
static int aux_KWRM_MGR_UpdateFile(const char* source, const char* target) {
    if (UtilFile_Rename(source, target) != RES_OK) {
        LogString("ERROR. KWRM_MGR_UpdateFile. Rename (SRC: %s; DEST: %s) [%d]", source, target, errno);
        return RES_KWRM_FILE_IO;
    }
    return RES_OK;
}

// Writes one TLS file to the pad, up to five tries; RES_OK or the last try's code.
static int aux_KWRM_MGR_WriteSSL(const char* path, const char* name, const char* what) {
    int rc = RES_PP_PORT_OPEN;
    for (int attempt = 0; attempt < KWRM_SSL_TRIES && rc != RES_OK; ++attempt) {
        rc = PPLayer_FileWrite(path, name, nullptr, 0);
        LogString("%s. KWRM_MGR. %s %s on PinPad: %d", rc == RES_OK ? "INFO" : "ERROR", what, name, rc);
    }
    return rc;
}

// Installs the TLS files waiting in TEMP as one set: each goes to the pad
// (the master copy), and only once all are there do they replace the
// terminal's copies in DATA. A file the pad refuses five times puts the
// files written before it back on the pad from DATA, so that the pad never
// holds half a set; the new files stay in TEMP and the problem mark is set.
static void aux_KWRM_MGR_UpdateSSLSet(uint8_t* problem) {
    const SKwrmSslFile* written[3];
    int count = 0;
    for (const SKwrmSslFile& file : kSslFiles) {
        char temp[64];
        aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, file.name);
        if (!UtilFile_IsExists(temp)) continue;
        if (aux_KWRM_MGR_WriteSSL(temp, file.name, "Update") != RES_OK) {
            for (int i = 0; i < count; ++i) {
                char data[64];
                aux_KWRM_MGR_Path(data, sizeof(data), "DATA", written[i]->name);
                if (UtilFile_IsExists(data)) aux_KWRM_MGR_WriteSSL(data, written[i]->name, "Restore");
            }
            *problem = 1;
            return;
        }
        written[count++] = &file;
    }
    for (int i = 0; i < count; ++i) {
        char temp[64], data[64];
        aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, written[i]->name);
        aux_KWRM_MGR_Path(data, sizeof(data), "DATA", written[i]->name);
        if (aux_KWRM_MGR_UpdateFile(temp, data) != RES_OK) *problem = 1;
    }
}

// Checks of a downloaded file, each as the library will use the file: RES_OK,
// or a refusal with one sentence in reason.
typedef int (*KwrmFileCheck)(const char* path, char* reason, size_t size);

// A configuration must load as the library loads it, with every mandatory
// key, together with the DEVICE.INI in force; the reader logs the key at fault.
static int aux_KWRM_MGR_CheckConfig(const char* path, char* reason, size_t size) {
    int rc = Param_CheckConfigFile(path);
    if (rc == RES_OK) return RES_OK;
    snprintf(reason, size, "loading it would give %d; the key at fault is named above", rc);
    return RES_KWRM_FILE_REFUSED;
}

static int aux_KWRM_MGR_CheckRanges(const char* path, char* reason, size_t size) {
    return RangeFile_Check(path, reason, size) == RES_OK ? RES_OK : RES_KWRM_FILE_REFUSED;
}

// The chip files are the pad's alone: the terminal can tell only that one is
// there and of a size the pad takes.
static int aux_KWRM_MGR_CheckChipFile(const char* path, char* reason, size_t size) {
    int32_t length = 0;
    if (UtilFile_GetLength(path, &length) != RES_OK) length = -1;
    if (length > 0 && length <= KWRM_CHIP_FILE_MAX) return RES_OK;
    snprintf(reason, size, "%ld bytes, not 1 to %ld", static_cast<long>(length), static_cast<long>(KWRM_CHIP_FILE_MAX));
    return RES_KWRM_FILE_REFUSED;
}

// The first refusal of the session is the one the manager and the cashier see.
static void aux_KWRM_MGR_Refuse(SKwrmSession* session, int code) {
    if (session->refused == RES_OK) session->refused = code;
}

// A download that fails its check is removed from TEMP and the file in force
// stays; the session goes on. true when the download may be applied.
static bool aux_KWRM_MGR_Accept(SKwrmSession* session, const char* path, KwrmFileCheck check) {
    char reason[KWRM_REASON_SIZE] = "";
    int rc = check(path, reason, sizeof(reason));
    if (rc == RES_OK) return true;
    LogString("ERROR. KWRM_MGR. [%s] refused (%s): removed, the file in force stays.", path, reason);
    unlink(path);
    aux_KWRM_MGR_Refuse(session, rc);
    return false;
}

// Writes a card-range table to the pad once it reads as a table; RES_OK,
// RES_NO_RANGES or the transfer's code.
static int aux_KWRM_MGR_RangesToPad(const char* path) {
    int rc = RangeFile_Check(path, nullptr, 0);
    return rc == RES_OK ? PPLayer_FileWrite(path, PP_FILE_RANGES, nullptr, 0) : rc;
}

// The TLS set that would be in force once the files in TEMP are applied (each
// file from TEMP when one waits there, else the terminal's copy in DATA) must
// work as a set, and a new CA file must still verify the manager serving this
// session: a trust anchor that does not would lock the terminal out of its
// bank (a CA that changes comes in SSLA together with the one it replaces).
// Otherwise every TLS file waiting in TEMP is removed.
static void aux_KWRM_MGR_CheckSSLSet(SKwrmSession* session) {
    char paths[3][64];
    bool waiting = false, newCa = false;
    for (int i = 0; i < 3; ++i) {
        aux_KWRM_MGR_Path(paths[i], sizeof(paths[i]), SOFT_TEMP_DIR, kSslFiles[i].name);
        if (UtilFile_IsExists(paths[i])) {
            waiting = true;
            newCa = newCa || kSslFiles[i].command == KWRM_CMD_SSLA;
        } else {
            aux_KWRM_MGR_Path(paths[i], sizeof(paths[i]), "DATA", kSslFiles[i].name);
        }
    }
    if (!waiting) return;
    char reason[TLSSET_REASON_SIZE];
    STlsSetReport report;
    int rc = TlsSet_Check(paths[0], paths[1], paths[2], &report, reason, sizeof(reason));
    if (rc == RES_OK && newCa) {
        const STlsSetFile ca = {paths[0], nullptr, 0};
        rc = TlsSet_CheckPeer(&ca, NetLayer_GetPeerCertificate(), report.ucSha1, reason, sizeof(reason));
    }
    if (rc == RES_OK) {
        LogString("INFO. KWRM_MGR. TLS set [%s, %s, %s] checked.", paths[0], paths[1], paths[2]);
        return;
    }
    LogString("ERROR. KWRM_MGR. TLS set refused: %s. The TLS files in TEMP are removed, the set in force stays.",
              reason);
    for (const SKwrmSslFile& file : kSslFiles) {
        char temp[64];
        aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, file.name);
        unlink(temp);
    }
    session->flags &= ~KWRM_FLAG_SSL;
    aux_KWRM_MGR_Refuse(session, RES_KWRM_FILE_REFUSED);
}

// One request of the session for files, from the request to the apply step:
// a file checked alone, or the TLS set checked as one.
struct SKwrmDownload;
typedef int (*KwrmRequest)(SKwrmSession* session, const SKwrmDownload& row);
typedef void (*KwrmApplyStep)(const SKwrmDownload& row, SKwrmSession* session, SKwrmApply* apply);
struct SKwrmDownload {
    const char* screen;                                                          // the terminal's text meanwhile
    uint16_t (*get)(const char* target, const char* current, uint8_t* updated);  // the client's request
    const char* getName;                                                         // its name in the log
    const char* name;          // TEMP/<name> as it arrives, DATA/<name> in force
    const char* older;         // the same file under an older name in DATA, put in force first; null none
    const char* olderWord;     // the older file in the log ("Renaming <word>")
    KwrmFileCheck check;       // as the library will use the file
    uint32_t flag;             // the session flag of a file that arrived and passed
    const char* applyWord;     // the file in the apply log ("Update <word>")
    KwrmRequest request;       // the request step
    KwrmApplyStep apply;       // the apply step
};

// A file with a check of its own: its older name put in force first when it
// reads right, then the request; what arrives is checked at once.
static int aux_KWRM_MGR_RequestFile(SKwrmSession* session, const SKwrmDownload& row) {
    char temp[64], data[64];
    aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, row.name);
    aux_KWRM_MGR_Path(data, sizeof(data), "DATA", row.name);
    // The file under its older name is put in force as it is, so that the
    // request names what the terminal holds and nothing newer loses nothing;
    // one that does not read right stays where it is.
    if (row.older != nullptr) {
        char older[64];
        aux_KWRM_MGR_Path(older, sizeof(older), "DATA", row.older);
        if (UtilFile_IsExists(older) && row.check(older, nullptr, 0) == RES_OK) {
            const bool moved = aux_KWRM_MGR_UpdateFile(older, data) == RES_OK;
            if (moved) session->moved |= row.flag;
            LogString("INFO. KWRM_MGR. Renaming %s: [%d].", row.olderWord, moved ? 0 : 1);
        }
    }
    uint8_t received = 0;
    int rc = row.get(temp, data, &received);
    LogString("INFO. KWRM_MGR. %s: %u [%u]", row.getName, static_cast<unsigned>(rc), received);
    if (rc != RES_OK) return rc;
    if (received && aux_KWRM_MGR_Accept(session, temp, row.check)) session->flags |= row.flag;
    return RES_OK;
}

// The three TLS files work only as a set: any request failing ends the
// session, and what would be in force after applying is checked as a set.
static int aux_KWRM_MGR_RequestSSLSet(SKwrmSession* session, const SKwrmDownload& row) {
    uint8_t received = 0;
    for (const SKwrmSslFile& file : kSslFiles) {
        char temp[64], data[64];
        aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, file.name);
        aux_KWRM_MGR_Path(data, sizeof(data), "DATA", file.name);
        int rc = KWRM_CLI_GetSSLDataFromKwrm(file.command, temp, data, &received, PadProfile_Get()->*file.padCrc);
        if (rc != RES_OK) {
            for (const SKwrmSslFile& other : kSslFiles) {
                aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, other.name);
                unlink(temp);
            }
            return rc;
        }
    }
    if (received) session->flags |= row.flag;
    aux_KWRM_MGR_CheckSSLSet(session);
    return RES_OK;
}

// Puts a file that arrived and passed in force (its move's code in the log).
static void aux_KWRM_MGR_ApplyFile(const SKwrmDownload& row, SKwrmSession* session, SKwrmApply* apply) {
    if (!(session->flags & row.flag)) return;
    char temp[64], data[64];
    aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, row.name);
    aux_KWRM_MGR_Path(data, sizeof(data), "DATA", row.name);
    apply->last = aux_KWRM_MGR_UpdateFile(temp, data);
    LogString("KWRM_MGR. Update %s: %d", row.applyWord, apply->last);
    if (apply->last != RES_OK) apply->problem = 1;
}

// The card ranges in force go to the pad, also when the table in force came
// from its older name.
static void aux_KWRM_MGR_ApplyRanges(const SKwrmDownload& row, SKwrmSession* session, SKwrmApply* apply) {
    const bool arrived = (session->flags & row.flag) != 0;
    if (!arrived && !(session->moved & row.flag)) return;
    char temp[64], data[64];
    aux_KWRM_MGR_Path(temp, sizeof(temp), SOFT_TEMP_DIR, row.name);
    aux_KWRM_MGR_Path(data, sizeof(data), "DATA", row.name);
    int rc = RES_OK;
    if (arrived) rc = apply->last = aux_KWRM_MGR_UpdateFile(temp, data);
    if (rc == RES_OK) aux_KWRM_MGR_RangesToPad(data);
    LogString("KWRM_MGR. Update %s: %d", row.applyWord, rc);
    if (rc != RES_OK) apply->problem = 1;
}

// The chip configuration replaces the files of the older EMV layout; after it
// (the last chip file put in force) the pad takes the chip files that changed.
static void aux_KWRM_MGR_ApplyChipConfig(const SKwrmDownload& row, SKwrmSession* session, SKwrmApply* apply) {
    if (session->flags & row.flag) {
        for (const char* older : {"DATA/EMVAIDS.CFG", "DATA/EMVCAPK.CFG"})
            if (UtilFile_IsExists(older)) UtilFile_Delete(older);
        aux_KWRM_MGR_ApplyFile(row, session, apply);
    }
    const bool changed = (session->flags & (KWRM_FLAG_EMVCFG | KWRM_FLAG_EMVCAPK)) != 0 ||
                         (session->moved & KWRM_FLAG_EMVCAPK) != 0;
    if (changed && apply->last == RES_OK) {
        apply->last = PPlayer_CheckEMV(nullptr, nullptr);
        LogString("%s KWRM_MGR. CheckEMV: %d", apply->last == RES_OK ? "INFO." : "ERROR.", apply->last);
    }
}

// The TLS set goes to the pad and then into DATA; a new pad application needs it there too.
static void aux_KWRM_MGR_ApplySSLSet(const SKwrmDownload& row, SKwrmSession* session, SKwrmApply* apply) {
    if (session->flags & (row.flag | KWRM_FLAG_PAD_APP)) aux_KWRM_MGR_UpdateSSLSet(&apply->problem);
}

#define KWRM_MGR_GET(function) function, #function
enum EKwrmDownload : uint8_t {
    KWRM_DL_CONFIG, KWRM_DL_RANGES, KWRM_DL_EMVCFG, KWRM_DL_EMVCAPK, KWRM_DL_SSL, KWRM_DL_COUNT
};
// The requests in the order the manager is asked: the screen; the request,
// the file, its older name, the check; the flag, the apply log's word, the
// steps.
static const SKwrmDownload kDownloads[KWRM_DL_COUNT] = {
    {CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС КОНФИГУРАЦИИ"),
     KWRM_MGR_GET(KWRM_CLI_GetConfigFromKwrm), "CONFIG.INI", nullptr, nullptr, aux_KWRM_MGR_CheckConfig,
     KWRM_FLAG_CONFIG, "config", aux_KWRM_MGR_RequestFile, aux_KWRM_MGR_ApplyFile},
    {CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС ТАБЛИЦЫ БИНОВ"),
     KWRM_MGR_GET(KWRM_CLI_GetBinTableFromKwrm), "RANGE.CFG", "Btbl", "Ranges", aux_KWRM_MGR_CheckRanges,
     KWRM_FLAG_RANGES, "ranges", aux_KWRM_MGR_RequestFile, aux_KWRM_MGR_ApplyRanges},
    {CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС ТАБЛИЦЫ EMVCFG"),
     KWRM_MGR_GET(KWRM_CLI_GetEmvCfgFromKwrm), "EMVCFG", nullptr, nullptr, aux_KWRM_MGR_CheckChipFile,
     KWRM_FLAG_EMVCFG, "EMV CFG", aux_KWRM_MGR_RequestFile, aux_KWRM_MGR_ApplyChipConfig},
    {CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС ТАБЛИЦЫ CAPK"),
     KWRM_MGR_GET(KWRM_CLI_GetEmvCapkFromKwrm), "EMVCAPK", "Capk", "Capk", aux_KWRM_MGR_CheckChipFile,
     KWRM_FLAG_EMVCAPK, "EMV CAPK", aux_KWRM_MGR_RequestFile, aux_KWRM_MGR_ApplyFile},
    {CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС СЕРТИФИКАТОВ"),
     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     KWRM_FLAG_SSL, nullptr, aux_KWRM_MGR_RequestSSLSet, aux_KWRM_MGR_ApplySSLSet},
};
#undef KWRM_MGR_GET
// The order they are put in force: the chip keys before the chip configuration.
static const EKwrmDownload kApplyOrder[] = {KWRM_DL_CONFIG, KWRM_DL_RANGES, KWRM_DL_EMVCAPK, KWRM_DL_EMVCFG,
                                            KWRM_DL_SSL};

int KWRM_MGR_Initialize() {
    int rc = Param_LoadConfig();
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_MGR_Initialize. Load config error %d", rc);
        return rc;
    }
    NetLayer_Init();
    rc = PPLayer_Connect(static_cast<uint8_t>(g_ComConfig.usComPort));
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_MGR_Initialize. PPLayer_Connect(%u):[%d]", g_ComConfig.usComPort, rc);
        return RES_KWRM_INIT;
    }
    rc = PPLayer_CheckKWPADVer(nullptr, nullptr);
    if (rc != RES_OK) {
        // The session is what cures an old application or missing remote keys:
        // it goes on whenever the pad told what it is.
        bool curable = (rc == RES_PP_KWPAD_VERSION || rc == RES_REMOTE_KEYS_BAD) && PadProfile_Get()->ulKwpadVer != 0;
        if (!curable) return rc;
        LogString("WARNING. KWRM_MGR_Initialize. PPLayer_CheckKWPADVer [%d]; the session goes on.", rc);
        // What the check stopped before: the model (it names the pad's application file) and the TLS files.
        PPLayer_CompleteCheck();
    }

    NetLayer_InitCredentials();
    for (const SKwrmSslFile& file : kSslFiles) {
        // A pad without the file leaves the terminal's own copy in force.
        uint32_t crc = PadProfile_Get()->*file.padCrc;
        if (crc == 0) {
            char data[64];
            aux_KWRM_MGR_Path(data, sizeof(data), "DATA", file.name);
            crc = aux_KWRM_MGR_FileCrc(data);
        }
        rc = PPlayer_UpdateAndParseSSLFile(file.name, crc, &kSslParsers);
        if (rc != RES_OK) {
            LogString("ERROR. KWRM_MGR_Initialize. %s: %d", file.name, rc);
            return rc;
        }
    }
    PPLayer_ShowMessage(Resource_GetDeviceMessage(CP1251("ПОЖАЛУЙСТА, ЖДИТЕ|ОБНОВЛЕНИЕ ДАННЫХ")), 0);
    LogString("SUCCESS. KWRM_MGR_Initialize");
    return RES_OK;
}

int KWRM_MGR_Connect() {
    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|СОЕДИНЕНИЕ С БАНКОМ"));
    int rc = NetLayer_Connect(g_Config.szKwrmHost, g_Config.usKwrmPort, g_Config.szKwrmCertName);
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_MGR_Connect. NetLayer_Connect: %d", rc);
        return RES_KWRM_CONNECT;
    }
    return RES_OK;
}

void KWRM_MGR_CloseConnect() { NetLayer_Close(); }

void KWRM_MGR_CloseSession(uint16_t code) {
    UtilMsg_Show(Error_GetResultMsgKwrm(code, KWRM_TEXT_TERMINAL));
    if (PadProfile_Get()->ucPinpadConnected) PPLayer_ShowMessage(Error_GetResultMsgKwrm(code, KWRM_TEXT_PINPAD), 0);
    SysClock_SleepMs(KWRM_CLOSE_PAUSE_MS);
    PPLayer_Disconnect();
    UtilMsg_Display("");
    NetLayer_FreeCredentials();
}

// The download state of the pad's application after this session's request
// (the table of the update's states); 0 or 1617.
static int aux_KWRM_MGR_TrackPadApp(uint8_t stored, uint8_t complete, uint8_t started, uint32_t* flags) {
    uint8_t update[SOFT_STATE_SIZE] = {0, 0, 0, 0};
    uint8_t create = 0;
    if (complete) {
        *flags |= KWRM_FLAG_PAD_APP;
        update[SOFT_STATE_APP] = SOFT_APP_COMPLETE;
        create = 1;
    } else if (started) {
        if (stored != SOFT_APP_NONE) return RES_OK;
        update[SOFT_STATE_APP] = SOFT_APP_PARTIAL;
        create = 1;
    } else if (stored == SOFT_APP_COMPLETE) {
        update[SOFT_STATE_APP] = SOFT_APP_CLEANUP;
    } else {
        // A partial download stays for a later session to resume; nothing else is pending.
        return RES_OK;
    }
    return aux_KWRM_MGR_UpdateSoftFlags(update, create);
}

// Steps up to the close frame: reports, downloads and their checks; a
// non-zero code ends the session.
static int aux_KWRM_MGR_Exchange(SKwrmSession* session) {
    uint32_t* flags = &session->flags;
    uint8_t state[SOFT_STATE_SIZE] = {0, 0, 0, 0};
    int rc = aux_KWRM_MGR_UpdateSoftFlags(state, 0);
    LogStringEx(LOG_INFO, "INFO. Reading updates flags from [%s], result [%d].", SOFT_STATE_FILE, rc);

    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|УСТАНОВКА СЕССИИ"));
    rc = KWRM_CLI_OpenSession(g_Config.szTerminalId);
    LogString("KWRM_MGR. KWRM_CLI_OpenSession: %u", static_cast<unsigned>(rc));
    if (rc != RES_OK) return rc;

    rc = KWRM_CLI_GetDateTime(session->dateTime);
    if (rc == RES_OK) {
        LogStringEx(LOG_INFO, "INFO. KWRM_MGR. KWRM_CLI_GetDateTime: [%s].", session->dateTime);
        *flags |= KWRM_FLAG_DATETIME;
    } else {
        LogStringEx(LOG_WARNING, "WARNING. KWRM_MGR. KWRM_CLI_GetDateTime: [%u].", static_cast<unsigned>(rc));
    }

    aux_KWRM_MGR_GetSoftInfo();
    rc = KWRM_CLI_SendSoftInfoEx(&g_SoftConfig);
    LogString("Soft versions sent result code [%d].", rc);

    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС БИБЛИОТЕКИ"));
    uint8_t complete = 0, started = 0;
    rc = KWRM_CLI_GetAppDataFromKwrm(Version_GetNumber(), SOFT_LIB_DOWNLOAD, &complete, &started,
                                     &session->libVersion);
    LogString("%s. KWRM_MGR. KWRM_CLI_GetAppDataFromKwrm [LIB|%s]: %u [UF:%u,UA:%u]", rc == RES_OK ? "INFO" : "ERROR",
              SOFT_LIB_LINK, static_cast<unsigned>(rc), complete, started);
    if (session->libVersion != 0)
        LogStringEx(LOG_INFO, "INFO. KWRM_MGR. KWRM_CLI_GetAppDataFromKwrm. App to be uploaded [VER:%08lX].",
                    static_cast<unsigned long>(session->libVersion));
    if (rc != RES_OK) return rc;
    if (complete) {
        int check = SoftUpd_CheckLibrary(session->libVersion, &session->lib);
        if (check == RES_OK) *flags |= KWRM_FLAG_LIBRARY;
        else aux_KWRM_MGR_Refuse(session, check);
    }

    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС ПРИЛОЖЕНИЯ 3"));
    if (g_SoftConfig.stPadApp.szName[0] != '\0') {
        snprintf(session->padPath, sizeof(session->padPath), "%s/%.*s", SOFT_TEMP_DIR,
                 static_cast<int>(sizeof(g_SoftConfig.stPadApp.szName)), g_SoftConfig.stPadApp.szName);
        complete = started = 0;
        rc = KWRM_CLI_GetAppDataFromKwrm(PadProfile_Get()->ulKwpadVer, session->padPath, &complete, &started);
        LogString("%s. KWRM_MGR. KWRM_CLI_GetAppDataFromKwrm [3|%s]: %u [UF:%u, UA:%u]",
                  rc == RES_OK ? "INFO" : "ERROR", session->padPath, static_cast<unsigned>(rc), complete, started);
        if (rc != RES_OK) return rc;
        if (complete) {
            int check = SoftUpd_CheckPadApp(session->padPath);
            // A refused application counts as nothing received.
            if (check != RES_OK) {
                aux_KWRM_MGR_Refuse(session, check);
                complete = started = 0;
            }
        }
        if (aux_KWRM_MGR_TrackPadApp(state[SOFT_STATE_APP], complete, started, flags) != RES_OK)
            return RES_KWRM_FILE_CREATE;
    }

    for (const SKwrmDownload& row : kDownloads) {
        UtilMsg_Show(row.screen);
        rc = row.request(session, row);
        if (rc != RES_OK) return rc;
    }

    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ЗАПРОС ТРАНСП КЛЮЧА"));
    uint32_t kcv = 0;  // the check keeps it in the pad's profile, as the load does the new key's
    KeyCheck(PP_KEY_TK, PP_TK_INDEX, &kcv, 1);
    uint8_t key[KWRM_TK_SIZE] = {0}, keyLength = 0, update = 0;
    rc = KWRM_CLI_GetTKFromKwrm(kcv, &keyLength, &update, key);
    if (rc != RES_OK) return rc;
    if (update != 0 && keyLength != 0) {
        const bool hadKey = kcv != 0;
        uint32_t newKcv = 0;
        rc = TKLoad(keyLength, key, &newKcv, hadKey ? 1 : 0);
        memset(key, 0, sizeof(key));
        if (rc != RES_OK) return rc;
        if (!hadKey) aux_KWRM_MGR_RangesToPad((*flags & KWRM_FLAG_RANGES) ? "TEMP/RANGE.CFG" : "DATA/RANGE.CFG");
        rc = KWRM_CLI_SendLoadTKInfo(newKcv != 0 ? 0 : 1, newKcv);
        if (rc != RES_OK || newKcv == 0) return RES_KWRM_TK_CHANGE;
        *flags |= KWRM_FLAG_TK;
    }
    memset(key, 0, sizeof(key));

    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ПЕРЕДАЧА ЖУРНАЛОВ"));
    char directory[sizeof(kLogDir)];
    strcpy(directory, kLogDir);
    int upload = aux_KWRM_MGR_SendLogFiles(directory);
    if (upload != RES_OK) session->problem = 1;
    // The manager learns of a refused file from the close frame; a failed
    // upload it has seen itself.
    const int status = session->refused != RES_OK ? session->refused : upload;
    KWRM_CLI_CloseSession(static_cast<uint32_t>(status));
    // Nothing more goes to the manager: the apply phase does not hold the connection.
    KWRM_MGR_CloseConnect();
    return RES_OK;
}

// Puts what arrived and passed its checks in place; the last code produced is
// the session's result, or the first refusal when nothing later failed.
static int aux_KWRM_MGR_Apply(SKwrmSession* session) {
    const uint32_t flags = session->flags;
    SKwrmApply apply;
    apply.problem = session->problem;
    UtilMsg_Show(CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ПРИМЕНЕНИЕ ИЗМЕНЕНИЙ"));
    if ((flags & KWRM_FLAG_DATETIME) && session->dateTime[0] != '\0') {
        int rc = DevSetDateTime(session->dateTime);
        LogStringEx(LOG_INFO, "INFO. KWRM_MGR. KWRM_CLI_OpenSession. DevSetDateTime [%u].", static_cast<unsigned>(rc));
    }
    for (EKwrmDownload i : kApplyOrder) kDownloads[i].apply(kDownloads[i], session, &apply);

    bool padRestarted = false;
    if ((flags & KWRM_FLAG_PAD_APP) && !apply.problem) {
        if (aux_KWRM_MGR_BudgetSpent(session)) {
            // Installing takes minutes: the next session does it (the state stays "complete").
            LogString("WARNING. KWRM_MGR. Session time budget spent: Pinpad software left for the next session.");
        } else {
            int rc = RES_PP_NO_HEADER;
            for (int attempt = 0; attempt < KWRM_APP_TRIES && rc == RES_PP_NO_HEADER; ++attempt) {
                rc = PPLayer_AppUpdate(session->padPath);
                LogString("KWRM_MGR. Update Pinpad software: %d", rc);
            }
            // The pad restarts into its new application by itself.
            PPLayer_ForgetLink();
            padRestarted = true;
            apply.last = rc == RES_OK ? RES_OK : RES_KWRM_UPDATE_PROBLEMS;
        }
    }
    // The library does not touch the pad: it is installed whatever the pad got.
    int lib = (flags & KWRM_FLAG_LIBRARY) ? SoftUpd_ApplyLibrary(&session->lib) : SoftUpd_SyncLink();
    if (apply.last == RES_OK) apply.last = lib;
    if (!padRestarted && !apply.problem && PadProfile_Get()->ucPinpadConnected &&
        (flags & (KWRM_FLAG_SSL | KWRM_FLAG_TK | KWRM_FLAG_EMVCFG | KWRM_FLAG_EMVCAPK))) {
        int rc = DevRestart();  // the link is down afterwards, whatever the result
        LogString("KWRM_MGR. DevRestart: %d", rc);
    }
    if (apply.last == RES_OK) apply.last = session->refused;
    return apply.last;
}

int KWRM_MGR_StartSession(uint64_t deadlineMs) {
    // Without the bank's signing key software is taken as it comes: said once a session.
    if (!SoftUpd_SigningKeyInstalled())
        LogStringEx(LOG_WARNING,
                    "WARNING. KWRM_MGR. No software-signing key [%s]: a library or PIN-pad application is installed "
                    "without a signature check.",
                    SOFTSIGN_KEY_FILE);
    SKwrmSession session;
    session.deadlineMs = deadlineMs;
    int rc = aux_KWRM_MGR_Exchange(&session);
    if (rc != RES_OK) return rc;
    return aux_KWRM_MGR_Apply(&session);
}

void int_RemoteManageSession(uint64_t callStartMs) {
    if (LogString(">>>>>>>>>>>>>>>> KWRM STARTED v.%s", Version_GetText()) != RES_OK) return;
    UtilMsg_Show(CP1251("ПОЖАЛУЙСТА, ПОДОЖДИТЕ|ОБНОВЛЕНИЕ ДАННЫХ"));
    uint64_t deadlineMs = SysClock_MonotonicMs() + KWRM_SESSION_BUDGET_MS;
    if (callStartMs != 0 && callStartMs + KWRM_CALL_BUDGET_MS < deadlineMs) {
        deadlineMs = callStartMs + KWRM_CALL_BUDGET_MS;
    }
    KWRM_CLI_SetDeadline(deadlineMs);

    int rc = KWRM_MGR_Initialize();
    if (rc == RES_OK) rc = KWRM_MGR_Connect();
    if (rc == RES_OK) {
        rc = KWRM_MGR_StartSession(deadlineMs);
        KWRM_MGR_CloseConnect();
    }
    KWRM_MGR_CloseSession(static_cast<uint16_t>(rc));
    KWRM_CLI_SetDeadline(0);
    LogString("<<<<<<<<<<<<<<<< KWRM FINISHED [%d] \n", rc);
    if (rc == RES_OK) {
        int check = CheckSoftUpdate();
        LogStringEx(LOG_DEBUG, "DEBUG. CheckSoftUpdate() returned [%d].", check);
    }
}

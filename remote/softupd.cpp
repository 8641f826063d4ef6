// remote/softupd.cpp
#include "remote/softupd.h"
#include "remote/softupd_internal.h"

#include <dirent.h>
#include <dlfcn.h>
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

#include "pinpad/crc.h"
#include "pinpad/padprofile.h"
#include "pinpad/pplayer.h"
#include "remote/softsign.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/proc.h"
#include "support/utilfile.h"
#include "support/version.h"

SSoftConfig g_SoftConfig;

enum : mode_t { SOFT_LIB_MODE = 0755 };  // never writable by others
enum : int { SOFT_TEST_LOAD_MS = 20000 };  // a library that takes longer to load is refused

static const char kLibPrefix[] = "libRAVOux.so.";
static const char* const kEntryPoints[] = {"PerformCardOperation", "PerformCardOperationCb", "CompleteCardOperation",
                                           "CompleteCardOperationCb"};

static int aux_KWRM_MGR_ReadLink(const char* name, char* target, uint16_t size);

void SoftUpd_LibName(uint32_t version, char* out, size_t size) {
    snprintf(out, size, "%s%u.%u.%u", kLibPrefix, static_cast<unsigned>(version >> 24),
             static_cast<unsigned>((version >> 16) & 0xFF), static_cast<unsigned>((version >> 8) & 0xFF));
}

uint32_t SoftUpd_ParseLibVersion(const char* name) {
    if (name == nullptr || strncmp(name, kLibPrefix, sizeof(kLibPrefix) - 1) != 0) return SOFT_VERSION_UNKNOWN;
    const char* p = name + sizeof(kLibPrefix) - 1;
    uint32_t version = 0;
    for (int part = 0; part < 3; ++part) {
        if (part > 0 && *p++ != '.') return SOFT_VERSION_UNKNOWN;
        unsigned value = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
            value = value * 10u + static_cast<unsigned>(*p - '0');
            if (value > 255) return SOFT_VERSION_UNKNOWN;
        }
        if (digits == 0) return SOFT_VERSION_UNKNOWN;
        version |= value << (24 - 8 * part);
    }
    return *p == '\0' ? version : SOFT_VERSION_UNKNOWN;
}

void aux_KWRM_MGR_GetSoftInfo() {
    char target[SOFT_LINK_BUFFER];
    if (aux_KWRM_MGR_ReadLink(SOFT_LIB_LINK, target, sizeof(target)) != RES_OK) strcpy(target, SOFT_LIB_LINK);
    // The CRC is taken through the link: the file it points at may live anywhere.
    uint32_t crc = 0;
    if (CRC_GetFileCRC(SOFT_LIB_LINK, &crc) != RES_OK) crc = 0;

    // The pad's entry keeps what it held when no name applies (empty in a fresh process).
    SSoftConfig& c = g_SoftConfig;
    char padName[PP_FILE_NAME_SIZE] = {0};
    bool padKnown = PPLayer_GetPPFileName(PadProfile_Get()->szDevName, padName) == RES_OK;
    char keepName[sizeof(c.stPadApp.szName)];
    memcpy(keepName, c.stPadApp.szName, sizeof(keepName));
    uint32_t keepVersion = c.stPadApp.ulVersion;
    memset(&c, 0, sizeof(c));
    snprintf(c.szEdition, sizeof(c.szEdition), "%s", SOFT_EDITION);
    snprintf(c.stOther.szName, sizeof(c.stOther.szName), "%s", "NO_FILE");
    // The report's name field is shorter than a link target may be: cut to fit.
    snprintf(c.stLib.szName, sizeof(c.stLib.szName), "%.*s", static_cast<int>(sizeof(c.stLib.szName) - 1), target);
    c.stLib.ulVersion = Version_GetNumber();
    c.stLib.ulCrc = crc;
    c.stLib2 = c.stLib;
    if (padKnown) {
        snprintf(c.stPadApp.szName, sizeof(c.stPadApp.szName), "%s", padName);
        c.stPadApp.ulVersion = PadProfile_Get()->ulKwpadVer;
    } else {
        memcpy(c.stPadApp.szName, keepName, sizeof(keepName));
        c.stPadApp.ulVersion = keepVersion;
    }
    LogStringEx(LOG_INFO,
                "INFO. Soft versions. Edition : %s; %s : (%08lX, CRC %08lX); %s : (%08lX, CRC %08lX); %s : (%08lX, CRC "
                "%08lX); PPFILENAME [%s] : (%08lX).",
                c.szEdition, c.stOther.szName, static_cast<unsigned long>(c.stOther.ulVersion),
                static_cast<unsigned long>(c.stOther.ulCrc), c.stLib.szName,
                static_cast<unsigned long>(c.stLib.ulVersion), static_cast<unsigned long>(c.stLib.ulCrc),
                c.stLib2.szName, static_cast<unsigned long>(c.stLib2.ulVersion),
                static_cast<unsigned long>(c.stLib2.ulCrc), c.stPadApp.szName,
                static_cast<unsigned long>(c.stPadApp.ulVersion));
}

int aux_KWRM_MGR_UpdateSoftFlags(uint8_t* flags, uint8_t create) {
    uint8_t stored[SOFT_STATE_SIZE] = {0};
    int32_t length = 0;
    bool whole = UtilFile_IsExists(SOFT_STATE_FILE) &&
                 UtilFile_ReadFileToBuf(SOFT_STATE_FILE, stored, &length, 0, SOFT_STATE_SIZE) == RES_OK &&
                 length == SOFT_STATE_SIZE;
    int rc = RES_OK;
    bool write = false;
    if (whole) {
        for (int i = 0; i < SOFT_STATE_SIZE; ++i) {
            if (flags[i] != 0 && flags[i] != stored[i]) write = true;
            if (flags[i] == 0) flags[i] = stored[i];
        }
    } else {
        write = create != 0;
    }
    if (write) rc = UtilFile_ReplaceFile(SOFT_STATE_FILE, flags, SOFT_STATE_SIZE);
    LogStringEx(rc == RES_OK ? LOG_INFO : LOG_ERROR, "%s. KWRM_MGR. UpdateSoftFlags returned [%u], flags state: [%d%d%d%d].",
                rc == RES_OK ? "INFO" : "ERROR", static_cast<unsigned>(rc), flags[0], flags[1], flags[2], flags[3]);
    return rc == RES_OK ? RES_OK : RES_KWRM_FILE_CREATE;
}

// The last path component of the link name's target into target (size bytes,
// cleared first); 0 or 1631 with target "".
static int aux_KWRM_MGR_ReadLink(const char* name, char* target, uint16_t size) {
    memset(target, 0, size);
    char text[SOFT_LINK_BUFFER * 4];
    ssize_t n = readlink(name, text, sizeof(text) - 1);
    int err = n < 0 ? errno : 0;
    int rc = RES_KWRM_LINK_READ;
    if (n > 0 && n < static_cast<ssize_t>(size)) {
        text[n] = '\0';
        char base[MAX_FILE_NAME_LENGTH + 1] = {0};
        if (UtilFile_GetFileNameFromPath(text, base) == RES_OK && base[0] != '\0' && strlen(base) < size) {
            strcpy(target, base);
            rc = RES_OK;
        }
    }
    LogString("%s. KWRM_MGR. aux_KWRM_MGR_ReadLink [%d : %d : %lu] (szRealFileName [%s]).",
              rc == RES_OK ? "INFO" : "ERROR", rc, err, static_cast<unsigned long>(n < 0 ? 0 : n), target);
    return rc;
}

// Copies source (followed when a link) to target whole: written aside, checked
// for its full length, flushed and renamed over target, mode 0755.
// 0, a file-utility code, or 11000 when the copy cannot be created.
static int aux_KWRM_MGR_CopyFile(const char* source, const char* target) {
    int32_t length = 0;
    int rc = UtilFile_GetLength(source, &length);
    if (rc != RES_OK) return rc;
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) return Error_LogDetail(source, "aux_KWRM_MGR_CopyFile", RES_FILE_OPEN);
    struct stat st;
    if (fstat(in, &st) != 0) st.st_uid = static_cast<uid_t>(-1), st.st_gid = static_cast<gid_t>(-1);

    char asideName[SOFT_LINK_BUFFER + 8];
    snprintf(asideName, sizeof(asideName), "%s.tmp", target);
    SUtilFileAside aside;
    if (UtilFile_AsideOpen(&aside, target, asideName, SOFT_LIB_MODE, UTILFILE_ASIDE_EXACT_MODE) != RES_OK) {
        close(in);
        return Error_LogDetail(asideName, "aux_KWRM_MGR_CopyFile", RES_FILE_OPEN);
    }
    // A copy that ends short is refused: the link must never point at part of a library.
    bool ok = UtilFile_AsideCopy(&aside, in, length) == RES_OK;
    if (fchown(aside.iFd, st.st_uid, st.st_gid) != 0) {
        // Another owner needs privileges the terminal may not have; the copy stays the caller's.
    }
    ok = ok && UtilFile_AsideClose(&aside, 1) == RES_OK;
    close(in);
    if (!ok) {
        UtilFile_AsideDrop(&aside);
        return Error_LogDetail(asideName, "aux_KWRM_MGR_CopyFile", RES_FILE_WRITE);
    }
    if (UtilFile_AsideCommit(&aside) != RES_OK) return Error_LogDetail(target, "aux_KWRM_MGR_CopyFile", RES_FILE_WRITE);
    return RES_OK;
}

// How an installed file compares with another one.
enum ESoftSame : uint8_t { SOFT_FILE_ABSENT, SOFT_FILE_SAME, SOFT_FILE_OTHER };

// Whether installed exists and holds the bytes of candidate (length and CRC-32).
static ESoftSame aux_SoftUpd_Compare(const char* candidate, const char* installed) {
    if (access(installed, F_OK) != 0) return SOFT_FILE_ABSENT;
    int32_t a = 0, b = 0;
    uint32_t crcA = 0, crcB = 0;
    bool same = UtilFile_GetLength(candidate, &a) == RES_OK && UtilFile_GetLength(installed, &b) == RES_OK &&
                a == b && CRC_GetFileCRC(candidate, &crcA) == RES_OK && CRC_GetFileCRC(installed, &crcB) == RES_OK &&
                crcA == crcB;
    return same ? SOFT_FILE_SAME : SOFT_FILE_OTHER;
}

int aux_KWRM_MGR_UpdateLibrary(const char* source, const char* target, const char* link, uint8_t rename) {
    // A versioned library is never replaced: the link can always go back to it.
    const ESoftSame existing = aux_SoftUpd_Compare(source, target);
    if (existing == SOFT_FILE_OTHER) {
        LogString("ERROR. KWRM_MGR. aux_KWRM_MGR_UpdateLibrary. [%s] is installed with other content: not replaced "
                  "by [%s].",
                  target, source);
        return RES_KWRM_LIB_CONFLICT;
    }
    int rc = RES_OK;
    if (existing == SOFT_FILE_SAME) {
        LogString("INFO. KWRM_MGR. aux_KWRM_MGR_UpdateLibrary. [%s] is installed already: only the link moves.",
                  target);
        if (rename) unlink(source);
    } else {
        rc = rename ? UtilFile_Rename(source, target) : aux_KWRM_MGR_CopyFile(source, target);
        int err = rc == RES_OK ? 0 : errno;
        LogString("%s. KWRM_MGR. aux_KWRM_MGR_UpdateLibrary. %s (SRC: %s; DEST: %s) [%d : %d]",
                  rc == RES_OK ? "INFO" : "ERROR", rename ? "Rename" : "Copy", source, target, rc, err);
        if (rc != RES_OK) return RES_KWRM_FILE_IO;
    }

    // The new link is made aside and renamed over the old one: there is
    // always a link, to the old library or to the new one.
    const char* slash = strrchr(target, '/');
    const char* bare = slash != nullptr ? slash + 1 : target;
    rc = UtilFile_ReplaceLink(link, bare) == RES_OK ? RES_OK : RES_KWRM_FILE_IO;
    int err = rc == RES_OK ? 0 : errno;
    LogString("%s. KWRM_MGR. aux_KWRM_MGR_UpdateLibrary. Create soft link (Link name: %s; Target: %s) [%d : %d]",
              rc == RES_OK ? "INFO" : "ERROR", link, bare, rc, err);
    return rc;
}

int SoftUpd_TestLoad(const char* path) {
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0) return RES_KWRM_FILE_IO;
    pid_t child = fork();
    if (child < 0) {
        close(pipeFd[0]);
        close(pipeFd[1]);
        return RES_KWRM_FILE_IO;
    }
    if (child == 0) {
        // The child reports by its exit status; the write end closes with it.
        close(pipeFd[0]);
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) _exit(2);
        for (const char* entry : kEntryPoints) {
            dlerror();
            if (dlsym(handle, entry) == nullptr || dlerror() != nullptr) _exit(3);
        }
        _exit(0);
    }
    close(pipeFd[1]);
    const int status = Proc_WaitChild(child, pipeFd[0], SOFT_TEST_LOAD_MS);
    const bool loaded = status == 0;
    LogString("%s. KWRM_MGR. Test load of [%s]: status [%d].", loaded ? "INFO" : "ERROR", path, status);
    return loaded ? RES_OK : RES_KWRM_FILE_IO;
}

int SoftUpd_SigningKeyInstalled() { return access(SOFTSIGN_KEY_FILE, F_OK) == 0 ? 1 : 0; }

// The signature of a download when the signing key is installed; without the
// key every download passes (the session has said so in the log).
static int aux_SoftUpd_CheckSignature(const char* path) {
    if (!SoftUpd_SigningKeyInstalled()) return RES_OK;
    char reason[SOFTSIGN_REASON_SIZE];
    int rc = SoftSign_Verify(path, SOFTSIGN_KEY_FILE, reason, sizeof(reason));
    LogString("%s. KWRM_MGR. Signature of [%s]: %s.", rc == RES_OK ? "INFO" : "ERROR", path,
              rc == RES_OK ? "verified" : reason);
    return rc;
}

int SoftUpd_CheckLibrary(uint32_t version, SSoftLibPlan* plan) {
    const uint32_t running = Version_GetNumber();
    if (version == 0) version = running + SOFT_BUILD_STEP;
    memset(plan, 0, sizeof(*plan));
    plan->ulVersion = version;
    SoftUpd_LibName(version, plan->szName, sizeof(plan->szName));

    int rc = aux_SoftUpd_CheckSignature(SOFT_LIB_DOWNLOAD);
    if (rc == RES_OK && aux_SoftUpd_Compare(SOFT_LIB_DOWNLOAD, SOFT_LIB_LINK) == SOFT_FILE_SAME) {
        LogString("INFO. KWRM_MGR. Library [%s] is the one behind [%s] already: nothing to install.", SOFT_LIB_DOWNLOAD,
                  SOFT_LIB_LINK);
        unlink(SOFT_LIB_DOWNLOAD);
        plan->ucNothing = 1;
        return RES_OK;
    }
    ESoftSame installed = SOFT_FILE_ABSENT;
    if (rc == RES_OK) {
        installed = aux_SoftUpd_Compare(SOFT_LIB_DOWNLOAD, plan->szName);
        if (installed == SOFT_FILE_OTHER) {
            LogString("ERROR. KWRM_MGR. Library [%s] is installed with other content: the download announced as "
                      "[%08lX] is refused.",
                      plan->szName, static_cast<unsigned long>(version));
            rc = RES_KWRM_LIB_CONFLICT;
        }
    }
    // An installed file loaded before; a new one must load before anything points at it.
    if (rc == RES_OK && installed == SOFT_FILE_ABSENT) {
        char path[sizeof(SOFT_LIB_DOWNLOAD) + 2] = "./";
        strcat(path, SOFT_LIB_DOWNLOAD);
        int32_t length = 0;
        bool whole = UtilFile_GetLength(SOFT_LIB_DOWNLOAD, &length) == RES_OK && length > 0;
        if (!whole || chmod(SOFT_LIB_DOWNLOAD, SOFT_LIB_MODE) != 0 || SoftUpd_TestLoad(path) != RES_OK)
            rc = RES_KWRM_FILE_REFUSED;
    }
    if (rc != RES_OK) {
        // A download refused now is of no use to a later session either.
        LogString("ERROR. KWRM_MGR. Library [%s] not installed, removed: %d", SOFT_LIB_DOWNLOAD, rc);
        unlink(SOFT_LIB_DOWNLOAD);
        return rc;
    }
    if (version < running)
        LogStringEx(LOG_WARNING, "WARNING. KWRM_MGR. Library rollback from [%08lX] to [%08lX] (%s).",
                    static_cast<unsigned long>(running), static_cast<unsigned long>(version), plan->szName);
    return RES_OK;
}

int SoftUpd_ApplyLibrary(const SSoftLibPlan* plan) {
    if (plan->ucNothing) return RES_OK;
    LogStringEx(LOG_INFO, "INFO. KWRM_MGR. Installing library [%08lX] as [%s].",
                static_cast<unsigned long>(plan->ulVersion), plan->szName);
    return aux_KWRM_MGR_UpdateLibrary(SOFT_LIB_DOWNLOAD, plan->szName, SOFT_LIB_LINK, 1);
}

int SoftUpd_CheckPadApp(const char* path) {
    int rc = aux_SoftUpd_CheckSignature(path);
    if (rc == RES_OK) {
        rc = SoftSign_Strip(path);
        if (rc != RES_OK) LogString("ERROR. KWRM_MGR. Signature trailer of [%s] not removed: %d", path, rc);
    }
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_MGR. Pinpad software [%s] not installed, removed: %d", path, rc);
        unlink(path);
    }
    return rc;
}

int SoftUpd_SyncLink() {
    const uint32_t running = Version_GetNumber();
    char expected[SOFT_LINK_BUFFER];
    SoftUpd_LibName(running, expected, sizeof(expected));
    char target[SOFT_LINK_BUFFER];
    if (aux_KWRM_MGR_ReadLink(SOFT_LIB_LINK, target, sizeof(target)) != RES_OK) {
        LogString("ERROR. KWRM_MGR. Updating symbolic link. Please rename the Lib and create link named (%s) to Lib "
                  "manually!",
                  SOFT_LIB_LINK);
        return RES_OK;
    }
    if (strcmp(target, expected) == 0) return RES_OK;
    uint32_t linked = SoftUpd_ParseLibVersion(target);
    if (linked >= running) {
        LogStringEx(LOG_WARNING,
                    "WARNING. KWRM_MGR. Possible, the library is not reloaded since updated! Please restart cash "
                    "software!");
        return RES_OK;
    }
    LogStringEx(LOG_INFO, "INFO. KWRM_MGR. Sync symlink [%08lX] to lib [%s] versions.",
                static_cast<unsigned long>(linked), expected);
    // The file behind the link is the library running now: copied through the link.
    return aux_KWRM_MGR_UpdateLibrary(SOFT_LIB_LINK, expected, SOFT_LIB_LINK, 0);
}

static bool aux_SoftUpd_EndsWith(const char* name, const char* tail) {
    size_t n = strlen(name), t = strlen(tail);
    return n >= t && strcmp(name + n - t, tail) == 0;
}

int CheckSoftUpdate() {
    if (!UtilFile_IsExists(SOFT_STATE_FILE)) return RES_OK;
    uint8_t state[SOFT_STATE_SIZE + 1] = {0};
    int32_t length = 0;
    if (UtilFile_ReadFileToBuf(SOFT_STATE_FILE, state, &length, 0, SOFT_STATE_SIZE + 1) != RES_OK ||
        length != SOFT_STATE_SIZE) {
        return RES_KWRM_SOFT_STATE;
    }
    const uint8_t app = state[SOFT_STATE_APP];
    if (state[0] != 0 || state[1] != 0 || state[3] != 0 || app > SOFT_APP_CLEANUP) {
        LogString("ERROR. Bad updates file [%d%d%d%d], ret [%d].", state[0], state[1], state[2], state[3],
                  RES_KWRM_SOFT_STATE);
        return RES_KWRM_SOFT_STATE;
    }
    if (app == SOFT_APP_PARTIAL || app == SOFT_APP_COMPLETE) return RES_OK;
    if (app == SOFT_APP_CLEANUP) {
        DIR* dir = opendir(SOFT_TEMP_DIR);
        if (dir != nullptr) {
            while (struct dirent* e = readdir(dir)) {
                if (!aux_SoftUpd_EndsWith(e->d_name, ".TLV")) continue;
                char path[sizeof(SOFT_TEMP_DIR) + 1 + sizeof(e->d_name)];
                snprintf(path, sizeof(path), "%s/%s", SOFT_TEMP_DIR, e->d_name);
                int r = remove(path);
                LogStringEx(LOG_DEBUG, "DEBUG. CheckSoftUpdate. Removing firmware file (%s) [%d][%d].", path, r,
                            r == 0 ? 0 : errno);
            }
            closedir(dir);
        }
    }
    int r = remove(SOFT_STATE_FILE);
    LogStringEx(LOG_DEBUG, "DEBUG. CheckSoftUpdate. Removing file (%s) [%d][%d].", SOFT_STATE_FILE, r,
                r == 0 ? 0 : errno);
    return RES_OK;
}

// kernel/kernel_driver.cpp
// The operation driver behind the entry points.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "host/hostcodes.h"
#include "host/netlayer.h"
#include "kernel/batch.h"
#include "kernel/error.h"
#include "kernel/kernel.h"
#include "kernel/kernel_call.h"
#include "kernel/reversal.h"
#include "pinpad/emv.h"
#include "pinpad/padprofile.h"
#include "pinpad/ppcmd.h"
#include "pinpad/pplayer.h"
#include "support/param.h"
#include "support/resource.h"
#include "support/cp1251.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"
#include "support/utilmsg.h"
#include "support/version.h"

enum : uint32_t { FAILURE_PAUSE_MS = 3000 };

static SKernelCall m_stCall;

SKernelCall* Kernel_Call() { return &m_stCall; }

void Kernel_ResetCall() {
    const uint64_t startMs = m_stCall.ullStartMs;
    memset(&m_stCall, 0, sizeof(m_stCall));
    m_stCall.ullStartMs = startMs;
}

// The first fault of the start-up checks: logged, and kept in the report in
// the same words.
static void aux_Kernel_StartupFault(SKernelStartup* report, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
static void aux_Kernel_StartupFault(SKernelStartup* report, const char* format, ...) {
    char text[sizeof(report->szReason)];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    LogString("ERROR. int_PerformCardOperation. %s", text);
    snprintf(report->szReason, sizeof(report->szReason), "%s", text);
}

// Writes a one-byte probe file and deletes it again; a failure is logged in
// words with what the directory must allow.
static bool aux_Kernel_ProbeWrite(SKernelStartup* report, const char* path, const char* need) {
    const char* step = "written";
    errno = 0;
    if (UtilFile_WriteBufToFile(path, "X", 1) == RES_OK) {
        step = "deleted";
        errno = 0;
        if (UtilFile_Delete(path) == RES_OK) return true;
    }
    aux_Kernel_StartupFault(report, "%s not %s: %s; %s", path, step, errno != 0 ? strerror(errno) : "unknown reason",
                            need);
    return false;
}

// Free space of the file system that holds path, in whole megabytes; logs the figures.
static int aux_Kernel_CheckDiskSpace(SKernelStartup* report, const char* path) {
    struct statfs fs;
    if (statfs(path, &fs) != 0) {
        aux_Kernel_StartupFault(report, "Free space of [%s] unknown: %s", path, strerror(errno));
        return RES_DISK_SPACE;
    }
    unsigned long long freeBytes = static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_bsize);
    long freeMb = static_cast<long>(freeBytes >> 20);
    report->lFreeMb = freeMb;
    LogString("INFO. Disk space in blocks : [%ld], free blocks: [%ld], block size [%ld], free space in MB [%ld].",
              static_cast<long>(fs.f_blocks), static_cast<long>(fs.f_bavail), static_cast<long>(fs.f_bsize), freeMb);
    if (freeMb > KERNEL_MIN_FREE_MB) return RES_OK;
    aux_Kernel_StartupFault(report,
                            "%ld MB free on the disk of the payment directory; more than %ld MB are needed: free "
                            "some space",
                            freeMb, static_cast<long>(KERNEL_MIN_FREE_MB));
    return RES_DISK_SPACE;
}

// A record file that exists must be readable and writable.
static bool aux_Kernel_AccessOk(SKernelStartup* report, const char* path) {
    if (access(path, F_OK) != 0) return true;
    if (access(path, R_OK | W_OK) == 0) return true;
    aux_Kernel_StartupFault(report, "%s is not readable and writable: %s; give the till's user both", path,
                            strerror(errno));
    return false;
}

static int aux_Kernel_StartupChecks(SKernelStartup* report) {
    static const struct { const char* path; int code; const char* need; } probes[] = {
        {".cache", RES_PROBE_CURDIR, "the payment directory must be writable by the till's user"},
        {"DATA/.cache", RES_PROBE_DATA, "DATA must exist in the payment directory and be writable by the till's user"},
        {"LOG/.cache", RES_PROBE_LOG, "LOG must be writable by the till's user"},
    };
    for (const auto& probe : probes) {
        if (!aux_Kernel_ProbeWrite(report, probe.path, probe.need)) return probe.code;
    }

    // TEMP's probe stays on the disk while the free space is measured.
    static const char kTempNeed[] = "TEMP must be writable by the till's user";
    errno = 0;
    if (UtilFile_WriteBufToFile("TEMP/.cache", "X", 1) != RES_OK) {
        aux_Kernel_StartupFault(report, "TEMP/.cache not written: %s; %s", strerror(errno), kTempNeed);
        return RES_PROBE_TEMP;
    }
    int space = aux_Kernel_CheckDiskSpace(report, "TEMP/.cache");
    errno = 0;
    if (UtilFile_Delete("TEMP/.cache") != RES_OK) {
        aux_Kernel_StartupFault(report, "TEMP/.cache not deleted: %s; %s", strerror(errno), kTempNeed);
        return RES_PROBE_TEMP;
    }
    if (space != RES_OK) return space;

    static const struct { const char* path; int code; } records[] = {
        {"DATA/VERSION", RES_ACCESS_VERSION},
        {"DATA/BATCH.CFG", RES_ACCESS_BATCH},
        {"DATA/TRANS.CFG", RES_ACCESS_TRANS},
    };
    for (const auto& record : records) {
        if (!aux_Kernel_AccessOk(report, record.path)) return record.code;
    }
    return RES_OK;
}

int Kernel_StartupChecks(SKernelStartup* report) {
    SKernelStartup own;
    if (report == nullptr) report = &own;
    memset(report, 0, sizeof(*report));
    report->lFreeMb = -1;
    report->iCode = aux_Kernel_StartupChecks(report);
    return report->iCode;
}

// The result of a settled day close: 0 when the bank agreed the totals,
// otherwise its action code (501 closed with different totals, 502 to 504 not
// closed by the bank), so that neither the cashier nor the application is told
// "approved" for a day the bank did not close as the till did.
static int aux_Kernel_DayCloseVerdict(uint16_t actionCode) {
    return TMMsgBuilder_IsSuccessBatch(actionCode) ? static_cast<int>(RES_OK) : static_cast<int>(actionCode);
}

// Runs the stages of the operation after a successful initialisation; each
// stage runs only while the ones before it returned 0.
static int aux_Kernel_RunStages(S_PAY_ORDER* order, bool* markRemote) {
    switch (order->ucOpType) {
    case OP_DAY_REPORT:
        return RES_OK;
    case OP_TEST_BANK:
        return Kernel_TestConnect();
    case OP_REVERSE_LAST: {
        int rc = Kernel_CheckBatchState(order);
        return rc != RES_OK ? rc : Kernel_ReverseLast(order);
    }
    case OP_CLOSE_DAY: {
        int rc = Kernel_CheckBatchState(order);
        if (rc == RES_OK) rc = Batch_Close(&order->usRespCode);
        // The terminal's batch is closed by any answer of the bank, and the
        // session follows; the answer still carries the bank's verdict.
        if (rc == RES_OK || rc == RES_BATCH_CLOSED) *markRemote = true;
        if (rc == RES_OK) rc = aux_Kernel_DayCloseVerdict(order->usRespCode);
        return rc;
    }
    default:
        break;
    }
    static int (*const kCardStages[])(S_PAY_ORDER*) = {
        Kernel_CheckBatchState, Kernel_ReadCard, Kernel_CheckRange, Kernel_EntryPIN,
        Kernel_ProcessVoidTransaction, Kernel_StartOperation, Kernel_CommitOperation,
    };
    for (auto stage : kCardStages) {
        int rc = stage(order);
        if (rc != RES_OK) return rc;
    }
    int rc = Kernel_HostExchange(order, HostMode::NewRequest);
    if (order->ucOpType == OP_SALE) rc = Kernel_CompleteOperation(rc, order);
    return rc;
}

// The call itself, run under the payment directory's call lock.
static int aux_Kernel_PerformLocked(const char* request, char** response, PFN_SHOW_MESSAGE show,
                                    PFN_REMOTE_SESSION remoteSession, uint64_t callStartMs, int lock) {
    m_stCall.ullStartMs = callStartMs;
    int startup = Kernel_StartupChecks(nullptr);
    // The checks name a missing or unwritable DATA first; a lock file that
    // cannot be used in a sound DATA is a start-up failure of its own.
    if (startup == RES_OK) startup = lock;
    if (startup != RES_OK) {
        LogString("ERROR. int_PerformCardOperation. Start-up check failed: %d", startup);
        return startup;
    }

    UtilMsg_Init(show);
    UtilMsg_Show(CP1251("ПОДОЖДИТЕ, ПОЖАЛУЙСТА"));
    char cwd[1024];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) strcpy(cwd, "?");
    LogString("INFO. Current working dir : [%s].", cwd);

    // An earlier call that wrote its answer but was killed before the till
    // could read it: what that answer approved is reversed, not kept unseen.
    // A cancellation it approved is already counted: a reverse-last tried
    // again answers it once more.
    uint16_t unpublished = 0;
    int approvedCancel = 0;
    if (Kernel_GetUnpublishedResponse(&unpublished, &approvedCancel)) {
        // Until the records say so, the answer stays the only trace of it: with
        // the disk refusing, nothing else is done and the next call tries again.
        int settled = Kernel_ReversalUnpublished(unpublished, approvedCancel);
        if (settled != RES_OK) {
            LogString("ERROR. int_PerformCardOperation. Unpublished answer not settled: %d", settled);
            UtilMsg_Show(Error_GetResultMsg(static_cast<uint16_t>(settled), ERR_FORM_CASHIER));
            return settled;
        }
        Kernel_DiscardUnpublishedResponse();
    }

    S_PAY_ORDER* order = new S_PAY_ORDER();
    bool markRemote = false;
    uint8_t fullReport = 0;

    int result = Kernel_ParseInput(request, order, &fullReport);
    if (result == RES_OK) {
        result = Kernel_Initialize(order);
        // What the terminal manager can cure gets its session: an old pad
        // application, missing or unreadable card ranges, keys, chip files.
        if (result == RES_PP_KWPAD_VERSION || result == RES_PP_NO_TK_RANGES || result == RES_NO_RANGES ||
            result == RES_PP_EMV_CONFIG || result == RES_REMOTE_KEYS_BAD) {
            markRemote = true;
        }
        if (result == RES_OK) result = aux_Kernel_RunStages(order, &markRemote);
    }

    // The reversal files are settled between writing the answer and showing
    // it: killed before it shows, the next call finds the written answer and
    // reverses what it approved; killed after, the operation stands as shown.
    // An operation that cannot be counted is answered as not done.
    int built = Kernel_PrepareResponse(&result, order);
    if (built == RES_OK) {
        Kernel_ReversalSettled(result, order);
        built = Kernel_PublishResponse(response);
    }
    if (built != RES_OK && result == RES_OK) result = built;

    Kernel_CloseSession(result, order);
    delete order;
    LogString("<<<<<<<<<<<<<<<< RAVO FINISHED [%d] \n", result);

    // The session runs after the operation is finished and answered; 1 tells
    // the caller that it ran.
    if (markRemote && remoteSession != nullptr) {
        remoteSession(m_stCall.ullStartMs);
        return 1;
    }
    if (markRemote) LogString("WARNING. int_PerformCardOperation. No remote management session to run");
    return 0;
}

int int_PerformCardOperation(const char* request, char** response, PFN_SHOW_MESSAGE show,
                             PFN_REMOTE_SESSION remoteSession) {
    const uint64_t callStartMs = SysClock_MonotonicMs();
    // Directories made here must outlast a power cut like the files put in them.
    bool made = UtilFile_CreateDir("LOG") == RES_OK;
    made = UtilFile_CreateDir("TEMP") == RES_OK || made;
    if (made) UtilFile_SyncDir("LOG");  // the payment directory, which holds both

    if (LogString(">>>>>>>>>>>>>>>> RAVO STARTED v.%s [UNIX EDITION]", Version_GetText()) != RES_OK) return RES_LOG_WRITE;

    // Held from here to the return, the management session included. A second
    // call is answered at once and writes nothing: RAVORS.XML is the running
    // call's, and a busy answer there would replace (or be replaced by) its answer.
    int lock = Kernel_LockCall();
    if (lock == RES_TERMINAL_BUSY) {
        // The caller's display hears why; the running call's display stays its own.
        if (show != nullptr) {
            char text[256];
            snprintf(text, sizeof(text), "%s",
                     Resource_GetInformMessage(Error_GetResultMsg(RES_TERMINAL_BUSY, ERR_FORM_CASHIER)));
            show(text);
        }
        return RES_TERMINAL_BUSY;
    }
    int rc = aux_Kernel_PerformLocked(request, response, show, remoteSession, callStartMs, lock);
    Kernel_UnlockCall();
    return rc;
}

void Kernel_CloseSession(int result, S_PAY_ORDER* order) {
    if (PadProfile_Get()->ucPinpadConnected) {
        // The order's card entry alone does not tell: a reverse-last copies
        // in the saved operation's, though it read no card.
        if (m_stCall.ucCardRead && order->ucCardEntry == ENTRY_CHIP) {
            uint8_t present = 0;
            SmartPresent(&present);
            if (!m_stCall.ucEMVFinalized) {
                uint16_t status = 0;
                int cancel = EMVCancel(&status);
                LogString("INFO. Kernel_CloseSession. EMVCancel [%lu].", static_cast<unsigned long>(cancel));
            }
            if (present) {
                UtilMsg_Show(CP1251("ПОЖАЛУЙСТА,|ВОЗЬМИТЕ КАРТОЧКУ"));
                PPLayer_ShowMessage(CP1251("ПОЖАЛУЙСТА|ВОЗЬМИТЕ КАРТОЧКУ"), 0);
                long eject = SmartEject(0, g_Config.usClientTimeout);
                LogString("INFO. Kernel_CloseSession. Card Eject [%ld].", eject);
                DisplayClear();
                EMVDestroyContext();
            }
        }
        PPLayer_ShowMessage(Error_GetResultMsg(static_cast<uint16_t>(result), ERR_FORM_PINPAD), 0);
        PPLayer_Disconnect();
    }
    UtilMsg_Show(Error_GetResultMsg(static_cast<uint16_t>(result), ERR_FORM_CASHIER));
    if (result != RES_OK) SysClock_SleepMs(FAILURE_PAUSE_MS);
    NetLayer_FreeCredentials();
    LogString("SUCCESS. Kernel_CloseSession. Memory free");
}

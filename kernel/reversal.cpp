// kernel/reversal.cpp
#include "kernel/reversal.h"

#include <cerrno>
#include <cstring>

#include "kernel/batch.h"
#include "kernel/opstore.h"
#include "support/bigint.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

int Kernel_SetReversal(const S_PAY_ORDER* order) {
    if (order->ucOpType != OP_SALE && order->ucOpType != OP_RETURN) return RES_OK;

    // A file left behind while the flag is clear belongs to a settled
    // operation; were it still there when the flag is set, a crash before the
    // new file is written would have the next call reverse that operation.
    if (!Batch_IsReversal() && UtilFile_IsExists(REVERSAL_FILE)) {
        int rc = UtilFile_Delete(REVERSAL_FILE);
        if (rc != RES_OK) {
            LogString("ERROR. Kernel_SetReversal. Delete stale file: %d", rc);
            return RES_RVS_WRITE;
        }
    }
    // Flag first, file second: the flag without the file is harmless, the
    // file without the flag would never be sent.
    int rc = Batch_SetReversal();
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_SetReversal. Batch_SetReversal: %d", rc);
        return RES_RVS_WRITE;
    }
    // Enciphered card data has no business in the file.
    S_PAY_ORDER copy;
    memcpy(&copy, order, sizeof(copy));
    memset(copy.ucTrack2Enc, 0, sizeof(copy.ucTrack2Enc));
    memset(copy.ucPINBlock, 0, sizeof(copy.ucPINBlock));
    rc = UtilFile_ReplaceFile(REVERSAL_FILE, &copy, sizeof(copy));
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_SetReversal. Write file: %d", rc);
        return RES_RVS_WRITE;
    }
    return RES_OK;
}

int Kernel_RemoveReversal(uint8_t mode) {
    int rc = RES_OK;
    switch (mode) {
    case REV_REMOVE_TYPE_FULL:
        rc = UtilFile_Delete(REVERSAL_LAST_FILE);
        // The file goes before the flag: a crash in between leaves a flag
        // without a file, which passes, never a stale file under the flag.
        rc = UtilFile_Delete(REVERSAL_FILE);
        UtilFile_SyncDir(REVERSAL_FILE);
        Batch_RemoveReversal();
        break;
    case REV_REMOVE_TYPE_LAST:
        rc = UtilFile_Delete(REVERSAL_LAST_FILE);
        UtilFile_SyncDir(REVERSAL_LAST_FILE);
        break;
    case REV_REMOVE_TYPE_REPLACE: {
        // The rename replaces the old copy in one step, so there is never a
        // moment with the old copy gone and the pending reversal not yet moved.
        bool pending = UtilFile_IsExists(REVERSAL_FILE) != 0;
        rc = pending ? UtilFile_Rename(REVERSAL_FILE, REVERSAL_LAST_FILE) : RES_FILE_WRITE;
        if (rc != RES_OK && (!pending || UtilFile_IsExists(REVERSAL_FILE))) {
            LogString("ERROR. Kernel_RemoveReversal[REV_REMOVE_TYPE_REPLACE]. Rename (SRC: %s; DEST: %s) [%d]",
                      REVERSAL_FILE, REVERSAL_LAST_FILE, pending ? errno : ENOENT);
            // No older copy may stay behind to be reversed as the last operation.
            rc = UtilFile_Delete(REVERSAL_LAST_FILE);
            if (pending) rc = UtilFile_Delete(REVERSAL_FILE);
            UtilFile_SyncDir(REVERSAL_FILE);
        } else {
            rc = RES_OK;
        }
        break;
    }
    default:
        break;
    }
    return rc;
}

int Kernel_IsReversalPending() { return Batch_IsReversal() && UtilFile_IsExists(REVERSAL_FILE); }

int Kernel_ReadReversalFile(S_PAY_ORDER* out) {
    memset(out, 0, sizeof(*out));
    int32_t size = 0;
    int rc = UtilFile_GetLength(REVERSAL_FILE, &size);
    int32_t length = 0;
    // Never more than the record: a long file must not run over the buffer.
    if (rc == RES_OK) rc = UtilFile_ReadFileToBuf(REVERSAL_FILE, out, &length, 0, sizeof(*out));
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_CheckBatchState. Read file: %d", rc);
        memset(out, 0, sizeof(*out));
        return RES_RVS_READ;
    }
    if (size != static_cast<int32_t>(sizeof(*out))) {
        LogString("ERROR. Kernel_CheckBatchState. Invalid length [%d:%d]", (int)size, (int)sizeof(*out));
        memset(out, 0, sizeof(*out));
        return RES_RVS_READ;
    }
    return RES_OK;
}

int Kernel_ReadReverseLastFile(S_PAY_ORDER* out) {
    if (!UtilFile_IsExists(REVERSAL_LAST_FILE)) {
        LogString("ERROR. Kernel_ReverseLast. No File: %s [%d]", REVERSAL_LAST_FILE, RES_RVS_NOT_FOUND);
        return RES_RVS_NOT_FOUND;
    }
    memset(out, 0, sizeof(*out));
    int32_t length = 0;
    int rc = UtilFile_ReadFileToBuf(REVERSAL_LAST_FILE, out, &length, 0, sizeof(*out));
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_ReverseLast. Read file [%s]: %d [Len: %ld] [errno: %d]", REVERSAL_LAST_FILE, rc,
                  (long)length, errno);
        return RES_RVS_NOT_FOUND;
    }
    if (length < static_cast<int32_t>(sizeof(*out))) {
        LogString("ERROR. Kernel_ReverseLast. Invalid length [%d:%d]", (int)length, (int)sizeof(*out));
        memset(out, 0, sizeof(*out));
        return RES_RVS_NOT_FOUND;
    }
    return RES_OK;
}

int Kernel_ReadRetriedReverseLast(const S_PAY_ORDER* request, S_PAY_ORDER* out) {
    if (request->ucOpType != OP_REVERSE_LAST || !Kernel_IsReversalPending()) return 0;
    if (Kernel_ReadReversalFile(out) != RES_OK) return 0;
    if (out->ucOpType != OP_SALE && out->ucOpType != OP_RETURN) return 0;
    // An operation whose code the batch has given out was counted: the cashier
    // saw it complete and may cancel it. One that never completed is only
    // reversed, by the batch-state check.
    if (Batch_GetTransactIndex() <= out->usOriginalCode) return 0;
    const SBigInt zero = {};
    return BigInt_ModCmp(&request->stAmount, &zero) == 0 || BigInt_ModCmp(&request->stAmount, &out->stAmount) == 0;
}

// The cancellation last taken from the journal, so that the response does not count it again.
static struct {
    uint8_t ucOpType;
    uint16_t usOriginalCode;
} m_CountedBefore = {0, 0};
// The call before this one approved a cancellation but was killed before the till saw it.
static bool m_bCancelUnanswered = false;

void Kernel_NoteUnansweredCancel() { m_bCancelUnanswered = true; }

int Kernel_ReadCountedReverseLast(const S_PAY_ORDER* request, S_PAY_ORDER* out) {
    if (request->ucOpType != OP_REVERSE_LAST || !m_bCancelUnanswered || Batch_IsReversal()) return 0;
    // The save that counted the cancellation cleared the flag and journalled
    // it last, with the host's answer to it.
    int count = OpStore_GetCount();
    if (count <= 0) return 0;
    memset(out, 0, sizeof(*out));
    OpStore_SetIndex(count - 1);
    if (OpStore_GetCurrent(out) != RES_OK) return 0;
    if (out->ucOpType != OP_REVERSAL && out->ucOpType != OP_REVERSAL_OTHER) return 0;
    const SBigInt zero = {};
    if (BigInt_ModCmp(&request->stAmount, &zero) != 0 && BigInt_ModCmp(&request->stAmount, &out->stAmount) != 0) return 0;
    m_CountedBefore = {out->ucOpType, out->usOriginalCode};
    LogStringEx(LOG_WARNING, "WARNING. Kernel_ReverseLast. Operation %u was reversed by a call that did not answer",
                out->usOriginalCode);
    return 1;
}

int Kernel_TakeCountedBefore(const S_PAY_ORDER* order) {
    if (m_CountedBefore.ucOpType == OP_NONE || m_CountedBefore.ucOpType != order->ucOpType ||
        m_CountedBefore.usOriginalCode != order->usOriginalCode) {
        return 0;
    }
    m_CountedBefore = {OP_NONE, 0};
    return 1;
}

int Kernel_ReopenReversal(uint16_t originalCode) {
    S_PAY_ORDER copy;
    if (originalCode == 0 || !UtilFile_IsExists(REVERSAL_LAST_FILE)) return 0;
    int32_t length = 0;
    if (UtilFile_ReadFileToBuf(REVERSAL_LAST_FILE, &copy, &length, 0, sizeof(copy)) != RES_OK ||
        length != static_cast<int32_t>(sizeof(copy))) {
        return 0;
    }
    if ((copy.ucOpType != OP_SALE && copy.ucOpType != OP_RETURN) || copy.usOriginalCode != originalCode) return 0;
    // Flag first, file second, as when the reversal was first saved; a crash
    // in between leaves the copy and the unpublished answer to do this again.
    if (Batch_SetReversal() != RES_OK || UtilFile_Rename(REVERSAL_LAST_FILE, REVERSAL_FILE) != RES_OK) {
        LogString("ERROR. Kernel_ReopenReversal. Operation %u not set to be reversed", originalCode);
        return 0;
    }
    LogStringEx(LOG_WARNING, "WARNING. Kernel_ReopenReversal. Answer to operation %u never reached the till: it is reversed",
                originalCode);
    return 1;
}

// kernel/reversal.cpp
#include "kernel/reversal_internal.h"

#include <cerrno>
#include <cstring>

#include "kernel/batch.h"
#include "kernel/opstore.h"
#include "support/bigint.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

// ------------------------------------------------------------------ lifecycle
//
// The records' state table knows three states; this table keeps its
// transitions and adds what the kernel has learnt since:
//   clean -> pending      Sending a Purchase.
//   pending -> clean      a settled answer: NotProcessed or Declined of a
//                         Purchase; any answer to the SavedReversal that the
//                         next call's batch-state check (or a refused chip
//                         sale) sends, an approval counting the reversal.
//   pending -> last       completion with a built response: Counted, then
//                         Settled, of a Purchase. The count makes it
//                         PendingCounted in between, so that a call killed
//                         there has the next one count only the cancellation.
//   last -> clean         Starting of anything but a reverse-last; a
//                         reverse-last answered: Sending makes the copy
//                         PendingCounted (as unsettled as a sale on its way),
//                         Counted counts its cancellation together with the
//                         flag's clearing, Settled removes the file.
// Added: a reverse-last declined or not processed puts the copy back
// (PendingCounted -> last); a reverse-last tried after a lost answer sends the
// pending operation itself; an approval the till never saw is reversed after
// all (Unpublished: last -> PendingCounted), and a cancellation it never saw
// is answered again from the journal (Remember, then AnsweredAgain).
// A count the disk refuses leaves the state where it was, the operation
// still pending, so that the next call reverses it (for a cancel request,
// whose operation had no pending reversal, that operation is made pending:
// the cancellation is sent again and counted).
// An event whose subject has no row changes nothing.

namespace {

using E = RvsEvent;
using S = RvsSubject;
using St = RvsState;
using Step = RvsStep;

constexpr RvsTransition kLifecycle[] = {
    // event         subject           from                to                  step
    {E::Starting,     S::ReverseLast,   St::Last,           St::Last,           Step::Keep},
    {E::Starting,     S::Purchase,      St::Last,           St::Clean,          Step::DropCopy},
    {E::Starting,     S::Cancellation,  St::Last,           St::Clean,          Step::DropCopy},
    {E::Starting,     S::Request,       St::Last,           St::Clean,          Step::DropCopy},

    {E::Sending,      S::Purchase,      St::Clean,          St::Pending,        Step::Save},
    {E::Sending,      S::ReverseLast,   St::Last,           St::PendingCounted, Step::SaveDropCopy},
    {E::Sending,      S::ReverseLast,   St::PendingCounted, St::PendingCounted, Step::SaveDropCopy},

    // Whatever was saved stays for the next call to settle.
    {E::Unanswered,   S::Purchase,      St::Pending,        St::Pending,        Step::Keep},
    {E::Unanswered,   S::ReverseLast,   St::PendingCounted, St::PendingCounted, Step::Keep},
    {E::Unanswered,   S::SavedReversal, St::Pending,        St::Pending,        Step::Keep},

    // Refused before the bank saw it: the operation never happened, a
    // reverse-last's operation stands, a reversal is still owed.
    {E::NotProcessed, S::Purchase,      St::Pending,        St::Clean,          Step::RemoveAll},
    {E::NotProcessed, S::Cancellation,  St::Clean,          St::Clean,          Step::RemoveAll},
    {E::NotProcessed, S::Request,       St::Clean,          St::Clean,          Step::RemoveAll},
    {E::NotProcessed, S::ReverseLast,   St::PendingCounted, St::Last,           Step::MakeCopy},
    {E::NotProcessed, S::SavedReversal, St::Pending,        St::Pending,        Step::Keep},

    {E::Declined,     S::Purchase,      St::Pending,        St::Clean,          Step::RemoveAll},
    {E::Declined,     S::Cancellation,  St::Clean,          St::Clean,          Step::RemoveAll},
    {E::Declined,     S::Request,       St::Clean,          St::Clean,          Step::RemoveAll},
    {E::Declined,     S::ReverseLast,   St::PendingCounted, St::Last,           Step::MakeCopy},
    {E::Declined,     S::SavedReversal, St::Pending,        St::Clean,          Step::RemoveAll},

    // An approved operation or reverse-last stays pending until the response
    // counts it: settled earlier, a crash before the count would leave the
    // host and the batch disagreeing.
    {E::Approved,     S::Purchase,      St::Pending,        St::Pending,        Step::Keep},
    {E::Approved,     S::ReverseLast,   St::PendingCounted, St::PendingCounted, Step::Keep},
    {E::Approved,     S::SavedReversal, St::Pending,        St::Clean,          Step::CountRemoveAll},
    {E::Approved,     S::SavedReversal, St::PendingCounted, St::Clean,          Step::CountRemoveAll},

    // The record the chip completion finished replaces the one saved before sending.
    {E::CardRefused,  S::Purchase,      St::Pending,        St::Pending,        Step::Save},

    {E::Counted,      S::Purchase,      St::Pending,        St::PendingCounted, Step::Count},
    {E::Counted,      S::Cancellation,  St::Clean,          St::Clean,          Step::Count},
    {E::Counted,      S::ReverseLast,   St::PendingCounted, St::Clean,          Step::CountCancel},
    {E::Counted,      S::AnsweredAgain, St::Clean,          St::Clean,          Step::Keep},

    {E::Settled,      S::Purchase,      St::PendingCounted, St::Last,           Step::MakeCopy},
    {E::Settled,      S::Cancellation,  St::Clean,          St::Clean,          Step::RemoveAll},
    {E::Settled,      S::Request,       St::Clean,          St::Clean,          Step::RemoveAll},

    {E::Unpublished,  S::Purchase,      St::Last,           St::PendingCounted, Step::Reopen},
    {E::Unpublished,  S::Cancellation,  St::Clean,          St::Clean,          Step::Remember},
};

}  // namespace

// The cancellation last taken from the journal, so that the response does not count it again.
static struct {
    uint8_t ucOpType;
    uint16_t usOriginalCode;
} m_CountedBefore = {0, 0};
// The call before this one approved a cancellation but was killed before the till saw it.
static bool m_bCancelUnanswered = false;

const RvsTransition* Kernel_ReversalTable(size_t* count) {
    *count = sizeof(kLifecycle) / sizeof(kLifecycle[0]);
    return kLifecycle;
}

static bool aux_Kernel_IsPurchaseOrRefund(uint8_t op) { return op == OP_SALE || op == OP_RETURN; }

static bool aux_Kernel_IsCancellation(uint8_t op) { return op == OP_REVERSAL || op == OP_REVERSAL_OTHER; }

// An operation whose code the batch has given out was counted: the cashier
// saw it complete (or a killed call counted it before its copy was made).
static bool aux_Kernel_IsCounted(const S_PAY_ORDER* order) {
    return Batch_GetTransactIndex() > order->usOriginalCode;
}

// A request's amount of 0 stands for the saved operation's.
static bool aux_Kernel_AmountFits(const S_PAY_ORDER* request, const S_PAY_ORDER* saved) {
    const SBigInt zero = {};
    return BigInt_ModCmp(&request->stAmount, &zero) == 0 || BigInt_ModCmp(&request->stAmount, &saved->stAmount) == 0;
}

uint8_t Kernel_CancelOf(uint8_t op) { return op == OP_SALE ? OP_REVERSAL : OP_REVERSAL_OTHER; }

RvsState Kernel_ReversalState() {
    if (Kernel_IsReversalPending()) {
        S_PAY_ORDER pending;
        return Kernel_ReadReversalFile(&pending) == RES_OK && aux_Kernel_IsCounted(&pending) ? RvsState::PendingCounted
                                                                                           : RvsState::Pending;
    }
    return UtilFile_IsExists(REVERSAL_LAST_FILE) ? RvsState::Last : RvsState::Clean;
}

// ---------------------------------------------------------------- file steps

int Kernel_SetReversal(const S_PAY_ORDER* order) {
    if (!aux_Kernel_IsPurchaseOrRefund(order->ucOpType)) return RES_OK;

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
    if (!aux_Kernel_IsPurchaseOrRefund(out->ucOpType)) return 0;
    // One that never completed is only reversed, by the batch-state check.
    if (!aux_Kernel_IsCounted(out)) return 0;
    return aux_Kernel_AmountFits(request, out);
}

// For a ReverseLast request after a call that approved a cancellation unseen:
// 1 when the journal's last entry is that cancellation (counted, the flag
// clear) and the request's amount fits; out then holds it.
static int aux_Kernel_ReadCountedReverseLast(const S_PAY_ORDER* request, S_PAY_ORDER* out) {
    if (request->ucOpType != OP_REVERSE_LAST || !m_bCancelUnanswered || Batch_IsReversal()) return 0;
    // The save that counted the cancellation cleared the flag and journalled
    // it last, with the host's answer to it.
    int count = OpStore_GetCount();
    if (count <= 0) return 0;
    memset(out, 0, sizeof(*out));
    OpStore_SetIndex(count - 1);
    if (OpStore_GetCurrent(out) != RES_OK) return 0;
    if (!aux_Kernel_IsCancellation(out->ucOpType)) return 0;
    if (!aux_Kernel_AmountFits(request, out)) return 0;
    m_CountedBefore = {out->ucOpType, out->usOriginalCode};
    LogStringEx(LOG_WARNING, "WARNING. Kernel_ReverseLast. Operation %u was reversed by a call that did not answer",
                out->usOriginalCode);
    return 1;
}

// 1 (once) when order is the cancellation aux_Kernel_ReadCountedReverseLast found.
static int aux_Kernel_TakeCountedBefore(const S_PAY_ORDER* order) {
    if (m_CountedBefore.ucOpType == OP_NONE || m_CountedBefore.ucOpType != order->ucOpType ||
        m_CountedBefore.usOriginalCode != order->usOriginalCode) {
        return 0;
    }
    m_CountedBefore = {OP_NONE, 0};
    return 1;
}

// 1 when the pending reversal is the operation that the cancellation order cancels.
static bool aux_Kernel_IsPendingOf(const S_PAY_ORDER* order) {
    if (!Kernel_IsReversalPending()) return false;
    S_PAY_ORDER pending;
    if (Kernel_ReadReversalFile(&pending) != RES_OK) return false;
    const uint8_t cancelled = order->ucOpType == OP_REVERSAL ? OP_SALE : OP_RETURN;
    return pending.ucOpType == cancelled && pending.usOriginalCode == order->usOriginalCode;
}

// The copy of the operation with this code becomes the pending reversal
// again; RES_OK (also when there is no such copy), RES_BATCH_WRITE or RES_RVS_WRITE.
static int aux_Kernel_ReopenReversal(uint16_t originalCode) {
    S_PAY_ORDER copy;
    if (originalCode == 0 || !UtilFile_IsExists(REVERSAL_LAST_FILE)) return RES_OK;
    int32_t length = 0;
    if (UtilFile_ReadFileToBuf(REVERSAL_LAST_FILE, &copy, &length, 0, sizeof(copy)) != RES_OK ||
        length != static_cast<int32_t>(sizeof(copy))) {
        return RES_OK;
    }
    if (!aux_Kernel_IsPurchaseOrRefund(copy.ucOpType) || copy.usOriginalCode != originalCode) return RES_OK;
    // Flag first, file second, as when the reversal was first saved; a crash
    // in between leaves the copy and the unpublished answer to do this again.
    int rc = Batch_SetReversal();
    // Renamed but its directory not flushed still makes the file pending now.
    if (rc == RES_OK && UtilFile_Rename(REVERSAL_LAST_FILE, REVERSAL_FILE) != RES_OK &&
        UtilFile_IsExists(REVERSAL_LAST_FILE)) {
        rc = RES_RVS_WRITE;
    }
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_ReopenReversal. Operation %u not set to be reversed: %d", originalCode, rc);
        return rc;
    }
    LogStringEx(LOG_WARNING, "WARNING. Kernel_ReopenReversal. Answer to operation %u never reached the till: it is reversed",
                originalCode);
    return RES_OK;
}

// The batch counts a reversed operation (the order as sent, 1 or 2) and its
// cancellation. A call killed after the operation was counted and perhaps
// journalled, but before its reversal file went away, leaves the operation
// to be reversed by the next call: then only the cancellation is still to be
// counted, and a journalled operation gets its cancel entry, so that the
// totals, the journal and the host agree. The counts and the cleared
// reversal flag go to the disk in one save: a crash before it repeats this
// step harmlessly, a crash after it leaves nothing to repeat. RES_OK, or
// RES_JOURNAL_WRITE or RES_BATCH_WRITE with the reversal still pending.
static int aux_Kernel_CountReversed(const S_PAY_ORDER* order, bool warnCounted) {
    const uint8_t cancelOp = Kernel_CancelOf(order->ucOpType);
    const bool counted = aux_Kernel_IsCounted(order);
    if (counted) {
        bool journalled = false, cancelled = false;
        S_PAY_ORDER entry;
        OpStore_Reset();
        while (OpStore_Next() == 0 && OpStore_GetCurrent(&entry) == RES_OK) {
            if (entry.usOriginalCode != order->usOriginalCode) continue;
            journalled |= entry.ucOpType == order->ucOpType;
            cancelled |= entry.ucOpType == cancelOp;
        }
        // The entry goes first: the batch's flag, cleared with the count,
        // would leave nothing to repeat a lost entry.
        if (journalled && !cancelled) {
            S_PAY_ORDER cancel;
            memcpy(&cancel, order, sizeof(cancel));
            cancel.ucOpType = cancelOp;
            if (OpStore_AddTransaction(&cancel) != RES_OK) return RES_JOURNAL_WRITE;
        }
        if (warnCounted) {
            LogStringEx(LOG_WARNING, "WARNING. Kernel_HostExchange. Reversed operation %u was already counted",
                        order->usOriginalCode);
        }
    }
    return Batch_CountReversed(order->ucOpType, order->stAmount, counted ? 0 : 1);
}

// A completed operation goes into the batch and the journal; RES_OK,
// RES_BATCH_WRITE or RES_JOURNAL_WRITE. Whichever record tells a later call
// that the operation was counted is written first: for a purchase or refund
// the batch (its transaction index), for a cancellation, which leaves the
// index alone, its journal entry. A failure leaves the journal as it was.
static int aux_Kernel_CountOperation(const S_PAY_ORDER* order) {
    if (aux_Kernel_IsCancellation(order->ucOpType)) {
        if (OpStore_AddTransaction(order) != RES_OK) return RES_JOURNAL_WRITE;
        return Batch_IncOperationTotals(order->ucOpType, order->stAmount);
    }
    int rc = Batch_IncOperationTotals(order->ucOpType, order->stAmount);
    if (rc != RES_OK) return rc;
    return OpStore_AddTransaction(order) == RES_OK ? RES_OK : RES_JOURNAL_WRITE;
}

// A cancellation the bank made and the till could not count: the operation
// it cancels becomes the pending reversal, which the next call sends again
// (the bank takes a repeated reversal as done) and counts as cancelled.
static void aux_Kernel_OweCancellation(const S_PAY_ORDER* cancel) {
    S_PAY_ORDER cancelled;
    memcpy(&cancelled, cancel, sizeof(cancelled));
    cancelled.ucOpType = cancel->ucOpType == OP_REVERSAL ? OP_SALE : OP_RETURN;
    if (Kernel_SetReversal(&cancelled) != RES_OK) {
        LogString("ERROR. Kernel_ReversalCount. Operation %u, cancelled at the bank, is not cancelled in the records",
                  cancel->usOriginalCode);
    }
}

static int aux_Kernel_RunStep(RvsStep step, const S_PAY_ORDER* order, uint16_t originalCode) {
    switch (step) {
    case RvsStep::Keep:
        break;
    case RvsStep::Save:
        return Kernel_SetReversal(order);
    case RvsStep::SaveDropCopy: {
        int rc = Kernel_SetReversal(order);
        if (rc != RES_OK) return rc;
        // The copy goes once the pending reversal holds it, so that no later
        // reverse-last sends it again.
        Kernel_RemoveReversal(REV_REMOVE_TYPE_LAST);
        break;
    }
    case RvsStep::DropCopy:
        Kernel_RemoveReversal(REV_REMOVE_TYPE_LAST);
        break;
    case RvsStep::RemoveAll:
        Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL);
        break;
    case RvsStep::MakeCopy:
        Kernel_RemoveReversal(REV_REMOVE_TYPE_REPLACE);
        break;
    case RvsStep::Reopen:
        return aux_Kernel_ReopenReversal(originalCode);
    case RvsStep::Count: {
        int rc = aux_Kernel_CountOperation(order);
        if (rc != RES_OK && aux_Kernel_IsCancellation(order->ucOpType)) aux_Kernel_OweCancellation(order);
        return rc;
    }
    case RvsStep::CountCancel: {
        // Not counted, the reverse-last's operation stays pending, counted:
        // the next call sends its reversal again, or a reverse-last tried
        // again answers as its cancellation.
        S_PAY_ORDER reversed;
        memcpy(&reversed, order, sizeof(reversed));
        reversed.ucOpType = order->ucOpType == OP_REVERSAL ? OP_SALE : OP_RETURN;
        return aux_Kernel_CountReversed(&reversed, false);
    }
    case RvsStep::CountRemoveAll: {
        // Not counted, the reversal stays pending and is sent again.
        int rc = aux_Kernel_CountReversed(order, true);
        if (rc != RES_OK) return rc;
        Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL);
        break;
    }
    case RvsStep::Remember:
        m_bCancelUnanswered = true;
        break;
    }
    return RES_OK;
}

// Runs the step of the event's row; 0, or the failure of a save (the files
// then stay as they were, or as the step's comment says).
static int aux_Kernel_Transition(RvsEvent event, RvsSubject subject, const S_PAY_ORDER* order,
                                 uint16_t originalCode = 0) {
    for (const RvsTransition& t : kLifecycle) {
        if (t.event == event && t.subject == subject) return aux_Kernel_RunStep(t.step, order, originalCode);
    }
    return RES_OK;
}

// ------------------------------------------------------------ named events

// The subject of an operation by its code alone.
static RvsSubject aux_Kernel_SubjectOf(uint8_t op) {
    if (aux_Kernel_IsPurchaseOrRefund(op)) return RvsSubject::Purchase;
    if (aux_Kernel_IsCancellation(op)) return RvsSubject::Cancellation;
    return op == OP_REVERSE_LAST ? RvsSubject::ReverseLast : RvsSubject::Request;
}

// The subject of a request sent to the host in mode.
static RvsSubject aux_Kernel_SentSubject(const S_PAY_ORDER* order, HostMode mode) {
    const uint8_t op = order->ucOpType;
    switch (mode) {
    case HostMode::NewRequest:
        return op == OP_REVERSE_LAST ? RvsSubject::Request : aux_Kernel_SubjectOf(op);
    case HostMode::SavedReversal:
        return RvsSubject::SavedReversal;
    case HostMode::ReverseLast:
        // The files only ever hold purchases and refunds.
        return aux_Kernel_IsPurchaseOrRefund(op) ? RvsSubject::ReverseLast : RvsSubject::Other;
    default:
        return RvsSubject::Other;
    }
}

void Kernel_ReversalStarting(const S_PAY_ORDER* order) {
    // A reverse-last may only directly follow the operation it reverses.
    aux_Kernel_Transition(RvsEvent::Starting, aux_Kernel_SubjectOf(order->ucOpType), order);
}

int Kernel_ReversalSending(const S_PAY_ORDER* order, HostMode mode) {
    return aux_Kernel_Transition(RvsEvent::Sending, aux_Kernel_SentSubject(order, mode), order);
}

int Kernel_ReversalAnswered(const S_PAY_ORDER* order, HostMode mode, HostAnswer answer) {
    RvsEvent event = RvsEvent::Unanswered;
    switch (answer) {
    case HostAnswer::Unanswered: event = RvsEvent::Unanswered; break;
    case HostAnswer::NotProcessed: event = RvsEvent::NotProcessed; break;
    case HostAnswer::Declined: event = RvsEvent::Declined; break;
    case HostAnswer::Approved: event = RvsEvent::Approved; break;
    }
    return aux_Kernel_Transition(event, aux_Kernel_SentSubject(order, mode), order);
}

void Kernel_ReversalCardRefused(const S_PAY_ORDER* order, int finalize) {
    // Without a finished chip record the one saved before sending is reversed.
    aux_Kernel_Transition(RvsEvent::CardRefused, finalize == RES_OK ? RvsSubject::Purchase : RvsSubject::Other, order);
}

int Kernel_ReversalCount(int result, const S_PAY_ORDER* order) {
    if (result != RES_OK) return RES_OK;
    const uint8_t op = order->ucOpType;
    RvsSubject subject = RvsSubject::Other;
    if (aux_Kernel_IsPurchaseOrRefund(op)) {
        subject = RvsSubject::Purchase;
    } else if (aux_Kernel_IsCancellation(op)) {
        // A reverse-last's cancellation: its operation is still the pending
        // reversal, or an earlier call counted it and this one answers it again.
        if (aux_Kernel_TakeCountedBefore(order)) subject = RvsSubject::AnsweredAgain;
        else if (aux_Kernel_IsPendingOf(order)) subject = RvsSubject::ReverseLast;
        else subject = RvsSubject::Cancellation;
    }
    return aux_Kernel_Transition(RvsEvent::Counted, subject, order);
}

void Kernel_ReversalSettled(int result, const S_PAY_ORDER* order) {
    const uint8_t op = order->ucOpType;
    if (result != RES_OK || op == OP_TEST_BANK || op == OP_DAY_REPORT) return;
    aux_Kernel_Transition(RvsEvent::Settled, op == OP_REVERSE_LAST ? RvsSubject::Request : aux_Kernel_SubjectOf(op),
                          order);
}

int Kernel_ReversalUnpublished(uint16_t originalCode, int approvedCancel) {
    const RvsSubject subject = approvedCancel      ? RvsSubject::Cancellation
                               : originalCode != 0 ? RvsSubject::Purchase
                                                   : RvsSubject::Other;
    return aux_Kernel_Transition(RvsEvent::Unpublished, subject, nullptr, originalCode);
}

// ----------------------------------------------------------------- queries

int Kernel_ReadReversalToSend(const S_PAY_ORDER* request, S_PAY_ORDER* out, int* send) {
    *send = 0;
    if (!Kernel_IsReversalPending()) return RES_OK;
    // A reverse-last tried again sends its pending operation itself, and so
    // answers as the cancellation it completes.
    if (Kernel_ReadRetriedReverseLast(request, out)) return RES_OK;
    if (Kernel_ReadReversalFile(out) != RES_OK) return RES_RVS_READ;
    *send = 1;
    return RES_OK;
}

int Kernel_ReadReverseLastTarget(const S_PAY_ORDER* request, S_PAY_ORDER* out, int* answered) {
    // A call killed after the host reversed the operation and the batch
    // counted it, but before it answered: the same answer again, no new reversal.
    *answered = aux_Kernel_ReadCountedReverseLast(request, out);
    if (*answered) return RES_OK;
    // The copy went into the pending reversal when it was sent: a lost answer leaves it there.
    if (Kernel_ReadRetriedReverseLast(request, out)) return RES_OK;
    return Kernel_ReadReverseLastFile(out);
}

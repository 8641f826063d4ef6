// kernel/reversal_internal.h
// The inside of the reversal lifecycle, for its tests: the states, the
// transition table and the file steps the table runs.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/reversal.h"

// States of the two files and the batch's reversal flag.
enum class RvsState : uint8_t {
    Clean,           // no pending reversal (no RVS.SAV, or one under a cleared flag) and no copy
    Pending,         // RVS.SAV under the flag, an operation the batch has not counted
    PendingCounted,  // RVS.SAV under the flag, an operation the batch has counted: a reverse-last
                     // on its way, or an operation counted by a call that was killed before its
                     // copy was made; its reversal counts only the cancellation
    Last,            // RVSLAST.SAV and no pending reversal
};

// What happened (the named operations of reversal.h).
enum class RvsEvent : uint8_t {
    Starting, Sending, Unanswered, NotProcessed, Declined, Approved, CardRefused, Counted, Settled, Unpublished,
};

// What the event is about.
enum class RvsSubject : uint8_t {
    Purchase,       // a purchase or refund: this call's, or the one an unpublished response approved
    Cancellation,   // a cancellation (6, 7): a cancel request, or one not completed by this call's reverse-last
    Request,        // any other operation: a balance, a day close, a report or echo test at its start
    ReverseLast,    // a reverse-last: its request, the copy it sends, the cancellation it completes
    SavedReversal,  // the pending reversal sent again: by the batch-state check, or for a refused chip sale
    AnsweredAgain,  // the cancellation an earlier call counted, answered again from the journal
    Other,          // what the files have nothing to do with (a finished echo test or report, an
                    // advice, a copy that is no purchase or refund): no row, nothing changes
};

// What is done to the files and the batch.
enum class RvsStep : uint8_t {
    Keep,             // nothing
    Save,             // the order becomes the pending reversal (flag first)
    SaveDropCopy,     // Save, then the copy goes
    DropCopy,         // the copy goes
    RemoveAll,        // both files go and the flag is cleared
    MakeCopy,         // the pending reversal becomes the copy
    Reopen,           // the copy of that operation becomes the pending reversal again
    Count,            // the operation goes into the batch and the journal (refused by the disk: it
                      // stays pending; a cancellation makes the operation it cancels pending)
    CountCancel,      // its operation's cancellation is counted, the flag cleared in the same save
                      // (refused: the operation stays pending)
    CountRemoveAll,   // the reversed operation is counted as cancelled, then RemoveAll (refused:
                      // nothing is removed)
    Remember,         // a reverse-last tried again is to be answered from the journal
};

struct RvsTransition {
    RvsEvent event;
    RvsSubject subject;
    RvsState from;
    RvsState to;
    RvsStep step;
};

// The transition table, in the order it is searched; *count gets its length.
const RvsTransition* Kernel_ReversalTable(size_t* count);
// The state the files and the batch are in.
RvsState Kernel_ReversalState();

// ---- file steps ----

// Modes of Kernel_RemoveReversal.
enum : uint8_t {
    REV_REMOVE_TYPE_FULL = 0,     // both files go, the batch's reversal flag is cleared
    REV_REMOVE_TYPE_LAST = 1,     // only the reverse-last copy goes
    REV_REMOVE_TYPE_REPLACE = 2,  // the pending reversal becomes the reverse-last copy
};

// Saves a purchase or refund as the pending reversal (sets the batch's flag
// first); other operations are not saved; 0 or 1043.
int Kernel_SetReversal(const S_PAY_ORDER* order);
// Removes reversal files as mode says; returns the last delete's result (callers ignore it).
int Kernel_RemoveReversal(uint8_t mode);
// 1 when the batch's reversal flag is set and DATA/RVS.SAV exists, else 0.
int Kernel_IsReversalPending();
// Reads the pending reversal, exactly 948 bytes, into out; 0 or 1044.
int Kernel_ReadReversalFile(S_PAY_ORDER* out);
// Reads the first 948 bytes of the reverse-last copy into out (a longer file
// is accepted); 0, or 1046 when it is missing, unreadable or short.
int Kernel_ReadReverseLastFile(S_PAY_ORDER* out);
// For a ReverseLast request: 1 when the pending reversal is an operation the
// batch has counted (a reverse-last that got no answer, or a completed
// operation whose copy was not made) and the request's amount is 0 or its
// amount; the pending record is then in out, and the reverse-last sends it
// again in place of the batch-state check. 0 otherwise.
int Kernel_ReadRetriedReverseLast(const S_PAY_ORDER* request, S_PAY_ORDER* out);

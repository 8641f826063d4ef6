// kernel/reversal.h
// The reversal files: DATA/RVS.SAV, the pending reversal (the last purchase
// or refund sent whose outcome is unsettled), and DATA/RVSLAST.SAV, the
// reverse-last copy of the last completed one. Each holds one whole
// S_PAY_ORDER (948 bytes) and is replaced atomically.
#pragma once
#include <cstdint>

#include "support/payorder.h"

#define REVERSAL_FILE "DATA/RVS.SAV"
#define REVERSAL_LAST_FILE "DATA/RVSLAST.SAV"

// Modes of Kernel_RemoveReversal.
enum : uint8_t {
    REV_REMOVE_TYPE_FULL = 0,     // both files go, the batch's reversal flag is cleared
    REV_REMOVE_TYPE_LAST = 1,     // only the reverse-last copy goes
    REV_REMOVE_TYPE_REPLACE = 2,  // the pending reversal becomes the reverse-last copy
};

// Saves a purchase or refund as the pending reversal (sets the batch's flag
// first); other operations are not saved; RES_OK or RES_RVS_WRITE.
int Kernel_SetReversal(const S_PAY_ORDER* order);
// Removes reversal files as mode says; returns the last delete's result (callers ignore it).
int Kernel_RemoveReversal(uint8_t mode);
// 1 when the batch's reversal flag is set and DATA/RVS.SAV exists, else 0.
int Kernel_IsReversalPending();
// Reads the pending reversal, exactly 948 bytes, into out; RES_OK or RES_RVS_READ.
int Kernel_ReadReversalFile(S_PAY_ORDER* out);
// Reads the first 948 bytes of the reverse-last copy into out (a longer file
// is accepted); RES_OK, or RES_RVS_NOT_FOUND when it is missing, unreadable or short.
int Kernel_ReadReverseLastFile(S_PAY_ORDER* out);
// For a ReverseLast request: 1 when the pending reversal is an operation the
// batch has counted (a reverse-last that got no answer, or a completed
// operation whose copy was not made) and the request's amount is 0 or its
// amount; the pending record is then in out, and the reverse-last sends it
// again in place of the batch-state check. 0 otherwise.
int Kernel_ReadRetriedReverseLast(const S_PAY_ORDER* request, S_PAY_ORDER* out);
// Tells the module that the call before this one approved a cancellation
// that the till never saw (its answer was not published).
void Kernel_NoteUnansweredCancel();
// For a ReverseLast request after such a call: 1 when the journal's last
// entry is that cancellation (counted, the flag clear) and the request's
// amount is 0 or its amount; out then holds it, to be answered again without
// a new reversal.
int Kernel_ReadCountedReverseLast(const S_PAY_ORDER* request, S_PAY_ORDER* out);
// 1 (once) when order is the cancellation Kernel_ReadCountedReverseLast found,
// which the batch and the journal already count.
int Kernel_TakeCountedBefore(const S_PAY_ORDER* order);
// The reverse-last copy of the operation with this code becomes the pending
// reversal again: its approval was never shown to the till, so the next
// exchange with the host reverses it. 1 when it did, 0 when there is no such copy.
int Kernel_ReopenReversal(uint16_t originalCode);

// kernel/batch.h
// The batch: the operations between two day closes. Its 60-byte record is
// kept in memory during a call and saved whole to DATA/BATCH.CFG (atomically)
// after every change; DATA/VERSION holds the format version of that record.
#pragma once
#include <cstdint>

#include "support/bigint.h"

#define BATCH_FILE "DATA/BATCH.CFG"
#define BATCH_VERSION_FILE "DATA/VERSION"

// Format version of the batch record written to DATA/VERSION. It is not the
// library's version: a library installed by the terminal manager in the
// middle of a day must find the open batch, so this changes only with the
// record's layout (a higher number drops an older batch).
enum : uint32_t { BATCH_DATA_VERSION = 0x01030200u };

#pragma pack(push, 1)
struct SBatchInfo {
    uint16_t usTransactIndex;      // code of the next purchase or refund
    uint16_t usRRNIndex;           // counter for local reference numbers, 1..9999
    uint16_t usNumber;             // batch number, 1..999
    char szOpenedDate[7];          // YYMMDD of the opening
    uint8_t ucReversal;            // a pending reversal was written
    uint8_t ucOpened;
    uint8_t ucClosing;             // a day close started and got no settlement answer yet
    uint16_t usSaleCount;          // operation 1
    uint16_t usSaleCancelCount;    // operation 6
    uint16_t usReturnCount;        // operation 2
    uint16_t usReturnCancelCount;  // operation 7
    SBigInt stSaleTotal;
    SBigInt stSaleCancelTotal;
    SBigInt stReturnTotal;
    SBigInt stReturnCancelTotal;
};
#pragma pack(pop)
static_assert(sizeof(SBatchInfo) == 60, "the batch record is 60 bytes on disk");

// Checks the data version (an upgrade deletes the batch file) and loads the batch; RES_OK, or
// RES_BATCH_WRITE when a new data version could not be written (the batch is then not used).
int Batch_Initialize();
// Loads the batch for reading only, for a check that must change nothing: neither the data
// version nor the batch file is written or removed; a batch of another data version, or none,
// reads as zeros (what a call would start from). Always RES_OK.
int Batch_LoadReadOnly();
// Writes the record to DATA/BATCH.CFG; RES_OK or RES_BATCH_WRITE.
int Batch_Save();
// Opens a new batch unless one is open (clears the journal first); RES_OK or RES_BATCH_WRITE.
int Batch_Open();
// Day close with the host's settlement; RES_OK, RES_BATCH_CLOSED or a failure code (built with the host link).
int Batch_Close(uint16_t* respCode);
// The pad operations that the remote key download after a close uses.
const struct SKeyPadOps* Batch_GetKeyPadOps();
// Copies the purchase, purchase-cancel and refund counts and totals out; returns 0.
int Batch_Report(uint16_t* purchases, uint16_t* purchaseCancels, uint16_t* refunds, SBigInt* purchaseTotal,
                 SBigInt* purchaseCancelTotal, SBigInt* refundTotal);
// Copies the whole record out (for the settlement request); returns 0.
int Batch_GetInfo(SBatchInfo* out);
// Counts a completed OP_SALE, OP_RETURN, OP_REVERSAL or OP_REVERSAL_OTHER and saves; others change
// nothing; RES_OK or RES_BATCH_WRITE.
int Batch_IncOperationTotals(uint8_t op, SBigInt amount);
// Counts a reversed purchase or refund (op 1 or 2) in one save: the operation
// itself unless countOperation is 0, its cancellation (6 or 7), and the
// reversal flag cleared, so that a crash never counts the cancellation twice;
// RES_OK or RES_BATCH_WRITE.
int Batch_CountReversed(uint8_t op, SBigInt amount, int countOperation);
// Set or clear the reversal flag and save; RES_OK or RES_BATCH_WRITE.
int Batch_SetReversal();
int Batch_RemoveReversal();
// Day-close steps of the record: set the closing flag, or clear the closing
// and open flags once the settlement was answered; both save; RES_OK or RES_BATCH_WRITE.
int Batch_SetClosing();
int Batch_SetClosed();
// The flags, 1 or 0.
int Batch_IsReversal();
int Batch_IsOpened();
int Batch_IsClosing();
// The counters.
uint16_t Batch_GetNumber();
uint16_t Batch_GetTransactIndex();
uint16_t Batch_GetRRNIndex();
// The opening date YYMMDD (terminated).
const char* Batch_GetOpenedDate();
// Advances the reference index (9999, or anything out of range, is followed by 1) and saves; 0 or 1040.
int Batch_IncRRNIndex();

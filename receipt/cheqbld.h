// receipt/cheqbld.h
// The receipts written into the response: operation, pick-up and day report.
// The receipt layer sits below the records, so the kernel hands in what the
// receipts show of the batch, the card range and the journal.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "support/payorder.h"

struct SCheqContext {
    uint16_t usBatchNo;              // number of the batch
    const char* szBatchOpenedDate;   // YYMMDD the batch was opened
    const char* szPaySysName;        // payment-system name of the card's range, "" when none
    const char* szRespText;          // Windows-1251 text of usRespCode with line feeds (pick-up receipt, day-close verdict)
    const S_PAY_ORDER* pJournal;     // the journal's operations, in journal order
    size_t journalCount;
    const char* szHostDateTime;      // YYMMDDhhmmss of this call's host request (13 bytes); null or "" when none
};

// Writes the operation receipt for the result into stream; RES_OK or RES_RESPONSE_WRITE.
int CheqBld_Operation(S_PAY_ORDER* order, FILE* stream, int result, const SCheqContext* ctx);
// Writes the card pick-up receipt into stream; RES_OK or RES_RESPONSE_WRITE.
int CheqBld_PickUp(S_PAY_ORDER* order, FILE* stream, const SCheqContext* ctx);
// Writes the day report (day close or day report) into stream; RES_OK or RES_RESPONSE_WRITE.
int CheqBld_Report(S_PAY_ORDER* order, FILE* stream, const SCheqContext* ctx);

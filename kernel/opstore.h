// kernel/opstore.h
// The operation journal DATA/TRANS.CFG: one 122-byte entry per purchase,
// refund or cancel completed in the open batch, appended in completion order.
// Card numbers are kept masked. A module cursor walks the entries.
#pragma once
#include <cstdint>

#include "support/bigint.h"
#include "support/payorder.h"

#define OPSTORE_FILE "DATA/TRANS.CFG"

#pragma pack(push, 1)
struct SOpStoreEntry {
    char szPAN[20];         // twelve "X" and the card number's last four characters
    char szSTAN[7];
    char szRRN[13];
    char szAuthCode[7];
    char szDateTime[13];    // YYMMDDhhmmss
    char szCurrency[4];
    uint16_t usOriginalCode;
    uint16_t usRespCode;
    uint8_t ucOpType;       // 1, 2, 6 or 7
    uint8_t ucCardEntry;
    SBigInt stAmount;
    SBigInt stOrigAmount;
    char szAID[17];         // first 16 characters of the order's AID
    char szAppLabel[17];
};
#pragma pack(pop)
static_assert(sizeof(SOpStoreEntry) == 122, "a journal entry is 122 bytes on disk");

enum { OPSTORE_ENTRY_SIZE = 122 };

// Builds an entry from the order and appends it (a torn tail left by an
// interrupted append is cut off first); RES_OK or RES_JOURNAL_WRITE.
int OpStore_AddTransaction(const S_PAY_ORDER* order);
// Deletes the journal; RES_OK when it is gone, RES_JOURNAL_WRITE when it exists and could not be deleted.
int OpStore_Clear();
// Number of whole entries; 0 when the file is missing or unmeasurable.
int OpStore_GetCount();
// Puts the cursor before the first entry (-1).
void OpStore_Reset();
// Moves the cursor to the next entry: 0, or -1 (cursor unchanged) at the end or on an empty journal.
int OpStore_Next();
// Reads the entry under the cursor into the order's journal fields; RES_OK, -1 (before the first) or
// RES_JOURNAL_READ.
int OpStore_GetCurrent(S_PAY_ORDER* order);
// The cursor.
int OpStore_GetIndex();
// Sets the cursor; a negative value sets -1.
void OpStore_SetIndex(int index);
// Walks the whole journal from the start: 1 when an entry has operation op and
// currency's first three characters, else 0 (also on a read failure); the cursor stays where the walk stopped.
int OpStore_IsOperationCurrencyDetect(uint8_t op, const char* currency);

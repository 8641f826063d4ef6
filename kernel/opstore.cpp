// kernel/opstore.cpp
#include "kernel/opstore.h"

#include <cstdio>
#include <cstring>

#include "support/cardno.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "journal integers are stored in host order, little-endian");

static_assert(sizeof(SOpStoreEntry::szPAN) >= CARDNO_MASKED_SIZE, "the entry holds the masked card number whole");

static int m_iCursor = -1;

// Copies the text of a srcSize-byte field (whose last byte is the terminator's
// place, set or not) into a dstSize-byte field, cut to fit, zero-padded.
static void aux_OpStore_CopyText(char* dst, size_t dstSize, const char* src, size_t srcSize) {
    size_t n = strnlen(src, srcSize - 1);
    if (n > dstSize - 1) n = dstSize - 1;
    memcpy(dst, src, n);
    memset(dst + n, 0, dstSize - n);
}

static void aux_OpStore_BuildEntry(const S_PAY_ORDER* order, SOpStoreEntry* entry) {
    memset(entry, 0, sizeof(*entry));
    // Only the last four digits of the card number are ever kept.
    CardNo_Mask(order->szPAN, sizeof(order->szPAN), 'X', entry->szPAN);
    aux_OpStore_CopyText(entry->szSTAN, sizeof(entry->szSTAN), order->szSTAN, sizeof(order->szSTAN));
    aux_OpStore_CopyText(entry->szRRN, sizeof(entry->szRRN), order->szRRN, sizeof(order->szRRN));
    aux_OpStore_CopyText(entry->szAuthCode, sizeof(entry->szAuthCode), order->szAuthCode, sizeof(order->szAuthCode));
    aux_OpStore_CopyText(entry->szDateTime, sizeof(entry->szDateTime), order->szDateTime, sizeof(order->szDateTime));
    aux_OpStore_CopyText(entry->szCurrency, sizeof(entry->szCurrency), order->szCurrency, sizeof(order->szCurrency));
    entry->usOriginalCode = order->usOriginalCode;
    entry->usRespCode = order->usRespCode;
    entry->ucOpType = order->ucOpType;
    entry->ucCardEntry = order->ucCardEntry;
    BigInt_Copy(&entry->stAmount, &order->stAmount);
    BigInt_Copy(&entry->stOrigAmount, &order->stOrigAmount);
    aux_OpStore_CopyText(entry->szAID, sizeof(entry->szAID), order->szAID, sizeof(order->szAID));
    aux_OpStore_CopyText(entry->szAppLabel, sizeof(entry->szAppLabel), order->szAppLabel, sizeof(order->szAppLabel));
}

int OpStore_AddTransaction(const S_PAY_ORDER* order) {
    SOpStoreEntry entry;
    aux_OpStore_BuildEntry(order, &entry);

    // An append cut short by a crash leaves a partial entry at the end; cut
    // it off first, or every later entry would be read misaligned.
    int32_t length = 0;
    if (UtilFile_IsExists(OPSTORE_FILE) && UtilFile_GetLength(OPSTORE_FILE, &length) == RES_OK &&
        length % OPSTORE_ENTRY_SIZE != 0) {
        int32_t whole = length - length % OPSTORE_ENTRY_SIZE;
        LogString("WARNING. OpStore_AddTransaction. Torn entry cut off [%d:%d]", (int)length, (int)whole);
        if (UtilFile_Truncate(OPSTORE_FILE, whole) != RES_OK)
            return Error_LogDetail(OPSTORE_FILE, "OpStore_AddTransaction", RES_JOURNAL_WRITE);
        length = whole;
    }

    if (UtilFile_AppendBufToFile(OPSTORE_FILE, &entry, sizeof(entry)) != RES_OK) {
        // Take back whatever part of the entry got in, so that a reported
        // failure leaves the journal as it was (a journal it began: none).
        int32_t now = 0;
        if (length == 0) UtilFile_Delete(OPSTORE_FILE);
        else if (UtilFile_GetLength(OPSTORE_FILE, &now) == RES_OK && now > length) UtilFile_Truncate(OPSTORE_FILE, length);
        return Error_LogDetail(OPSTORE_FILE, "OpStore_AddTransaction", RES_JOURNAL_WRITE);
    }
    return RES_OK;
}

int OpStore_Clear() {
    // A missing journal is already clear; one that survives the delete is not.
    UtilFile_Delete(OPSTORE_FILE);
    if (UtilFile_IsExists(OPSTORE_FILE)) return Error_LogDetail(OPSTORE_FILE, "OpStore_Clear", RES_JOURNAL_WRITE);
    if (UtilFile_SyncDir(OPSTORE_FILE) != RES_OK) return Error_LogDetail(OPSTORE_FILE, "OpStore_Clear", RES_JOURNAL_WRITE);
    return RES_OK;
}

int OpStore_GetCount() {
    if (!UtilFile_IsExists(OPSTORE_FILE)) return 0;
    int32_t length = 0;
    if (UtilFile_GetLength(OPSTORE_FILE, &length) != RES_OK || length < 0) return 0;
    return length / OPSTORE_ENTRY_SIZE;
}

void OpStore_Reset() { m_iCursor = -1; }

int OpStore_Next() {
    int count = OpStore_GetCount();
    if (count == 0 || m_iCursor >= count - 1) return -1;
    ++m_iCursor;
    return 0;
}

int OpStore_GetCurrent(S_PAY_ORDER* order) {
    if (m_iCursor < 0) return -1;
    FILE* file = fopen(OPSTORE_FILE, "rb");
    if (file == nullptr) return Error_LogDetail(OPSTORE_FILE, "OpStore_GetCurrent", RES_JOURNAL_READ);
    if (fseek(file, static_cast<long>(m_iCursor) * OPSTORE_ENTRY_SIZE, SEEK_SET) != 0) {
        fclose(file);
        return Error_LogDetail(OPSTORE_FILE, "OpStore_GetCurrent->fseek", RES_JOURNAL_READ);
    }
    SOpStoreEntry entry;
    size_t got = fread(&entry, 1, sizeof(entry), file);
    fclose(file);
    // A cursor set past the end (or a torn tail) gives no whole entry.
    if (got != sizeof(entry)) return Error_LogDetail(OPSTORE_FILE, "OpStore_GetCurrent->fread", RES_JOURNAL_READ);

    // The file is not trusted to terminate its texts.
    aux_OpStore_CopyText(order->szPAN, sizeof(order->szPAN), entry.szPAN, sizeof(entry.szPAN));
    aux_OpStore_CopyText(order->szSTAN, sizeof(order->szSTAN), entry.szSTAN, sizeof(entry.szSTAN));
    aux_OpStore_CopyText(order->szRRN, sizeof(order->szRRN), entry.szRRN, sizeof(entry.szRRN));
    aux_OpStore_CopyText(order->szAuthCode, sizeof(order->szAuthCode), entry.szAuthCode, sizeof(entry.szAuthCode));
    aux_OpStore_CopyText(order->szDateTime, sizeof(order->szDateTime), entry.szDateTime, sizeof(entry.szDateTime));
    aux_OpStore_CopyText(order->szCurrency, sizeof(order->szCurrency), entry.szCurrency, sizeof(entry.szCurrency));
    order->usOriginalCode = entry.usOriginalCode;
    order->usRespCode = entry.usRespCode;
    order->ucOpType = entry.ucOpType;
    order->ucCardEntry = entry.ucCardEntry;
    BigInt_Copy(&order->stAmount, &entry.stAmount);
    BigInt_Copy(&order->stOrigAmount, &entry.stOrigAmount);
    aux_OpStore_CopyText(order->szAID, sizeof(order->szAID), entry.szAID, sizeof(entry.szAID));
    aux_OpStore_CopyText(order->szAppLabel, sizeof(order->szAppLabel), entry.szAppLabel, sizeof(entry.szAppLabel));
    return RES_OK;
}

int OpStore_GetIndex() { return m_iCursor; }

void OpStore_SetIndex(int index) { m_iCursor = index < 0 ? -1 : index; }

int OpStore_IsOperationCurrencyDetect(uint8_t op, const char* currency) {
    // A private scratch record: the caller may hold a saved order in the shared buffer.
    S_PAY_ORDER scratch;
    memset(&scratch, 0, sizeof(scratch));
    OpStore_Reset();
    while (OpStore_Next() == 0) {
        if (OpStore_GetCurrent(&scratch) != RES_OK) return 0;
        if (scratch.ucOpType == op && strncmp(scratch.szCurrency, currency, 3) == 0) return 1;
    }
    return 0;
}

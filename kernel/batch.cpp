// kernel/batch.cpp
#include "kernel/batch.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "kernel/opstore.h"
#include "support/log.h"
#include "support/payorder.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "batch integers are stored in host order, little-endian");

static SBatchInfo m_BatchInfo;
static bool m_bLoaded = false;

// Every access works on the record as the disk holds it: a change saved
// before the record was ever loaded would overwrite the batch with zeros.
static void aux_Batch_Load() {
    if (!m_bLoaded) Batch_Initialize();
}

// Saves the record; when the save fails the record goes back to before, so
// that memory never claims what the disk does not hold. A new file that went
// into place although its directory was not flushed goes back too: a failed
// save leaves the batch as it was, in memory and on the disk alike.
static int aux_Batch_Commit(const SBatchInfo* before) {
    int rc = Batch_Save();
    if (rc == RES_OK) return RES_OK;
    SBatchInfo failed = m_BatchInfo;
    memcpy(&m_BatchInfo, before, sizeof(m_BatchInfo));
    SBatchInfo disk;
    int32_t length = 0;
    if (UtilFile_ReadFileToBuf(BATCH_FILE, &disk, &length, 0, sizeof(disk)) == RES_OK &&
        length == static_cast<int32_t>(sizeof(disk)) && memcmp(&disk, &failed, sizeof(disk)) == 0) {
        LogString("WARNING. Batch_Save. Taking back a save not known to be on the disk: %d", Batch_Save());
    }
    return rc;
}

int Batch_Initialize() {
    uint32_t stored = 0;
    int32_t length = sizeof(stored);
    if (!UtilFile_IsExists(BATCH_VERSION_FILE) ||
        UtilFile_ReadFileToBuf(BATCH_VERSION_FILE, &stored, &length, 0, sizeof(stored)) != RES_OK ||
        length != static_cast<int32_t>(sizeof(stored))) {
        stored = 0;
    }

    memset(&m_BatchInfo, 0, sizeof(m_BatchInfo));
    bool upgrade = BATCH_DATA_VERSION > stored;
    // The batch goes before the new version is written: a crash in between
    // repeats the removal instead of keeping a batch of the older library.
    // A directory without a batch (a new installation) has nothing to remove:
    // no alarm of an upgrade then.
    const bool batchExists = access(BATCH_FILE, F_OK) == 0;
    if (upgrade && batchExists) {
        int rc = UtilFile_Delete(BATCH_FILE);
        UtilFile_SyncDir(BATCH_FILE);
        LogStringEx(LOG_INFO, "INFO. Removing BATCH due to upgrade [%d].", rc);
    } else if (upgrade) {
        LogStringEx(LOG_INFO, "INFO. Batch_Initialize. No batch exists yet: the first operation opens one.");
    }
    // Without its version the next call would take the batch for an older
    // library's and delete it: a batch that cannot be marked is not used.
    int rc = RES_OK;
    uint32_t version = BATCH_DATA_VERSION;
    if (stored != version) rc = UtilFile_ReplaceFile(BATCH_VERSION_FILE, &version, sizeof(version));
    if (rc != RES_OK) {
        LogString("ERROR. Batch_Initialize. Write version: %d", rc);
        m_bLoaded = false;
        return RES_BATCH_WRITE;
    }

    if (!upgrade) {
        length = 0;
        // A batch not made yet is not read (its read would log an error); it
        // is reported as the read failure it stands for.
        rc = batchExists ? UtilFile_ReadFileToBuf(BATCH_FILE, &m_BatchInfo, &length, 0, sizeof(m_BatchInfo))
                         : RES_FILE_OPEN;
        if (rc != RES_OK) {
            memset(&m_BatchInfo, 0, sizeof(m_BatchInfo));
            LogStringEx(LOG_WARNING, "WARNING. Batch_Initialize. Read: %d", rc);
            if (!batchExists)
                LogStringEx(LOG_INFO, "INFO. Batch_Initialize. No batch exists yet: the first operation opens one.");
        }
    }
    m_BatchInfo.szOpenedDate[sizeof(m_BatchInfo.szOpenedDate) - 1] = '\0';
    m_bLoaded = true;
    return RES_OK;
}

int Batch_LoadReadOnly() {
    memset(&m_BatchInfo, 0, sizeof(m_BatchInfo));
    uint32_t stored = 0;
    int32_t length = sizeof(stored);
    if (UtilFile_IsExists(BATCH_VERSION_FILE) &&
        UtilFile_ReadFileToBuf(BATCH_VERSION_FILE, &stored, &length, 0, sizeof(stored)) == RES_OK &&
        length == static_cast<int32_t>(sizeof(stored)) && stored == BATCH_DATA_VERSION && access(BATCH_FILE, F_OK) == 0) {
        length = 0;
        if (UtilFile_ReadFileToBuf(BATCH_FILE, &m_BatchInfo, &length, 0, sizeof(m_BatchInfo)) != RES_OK)
            memset(&m_BatchInfo, 0, sizeof(m_BatchInfo));
    }
    m_BatchInfo.szOpenedDate[sizeof(m_BatchInfo.szOpenedDate) - 1] = '\0';
    m_bLoaded = true;
    return RES_OK;
}

int Batch_Save() {
    aux_Batch_Load();
    int rc = UtilFile_ReplaceFile(BATCH_FILE, &m_BatchInfo, sizeof(m_BatchInfo));
    if (rc != RES_OK) {
        LogStringEx(LOG_ERROR, "ERROR. Batch_Save. WriteFile: %d", rc);
        return RES_BATCH_WRITE;
    }
    return RES_OK;
}

int Batch_Open() {
    aux_Batch_Load();
    if (m_BatchInfo.ucOpened != 0) return RES_OK;
    // The new batch must not inherit the old batch's journal.
    int rc = OpStore_Clear();
    if (rc != RES_OK) {
        LogString("ERROR. Batch_Open. OpStore_Clear: %d", rc);
        return RES_BATCH_WRITE;
    }
    SBatchInfo before = m_BatchInfo;
    struct tm now;
    SysClock_LocalTime(&now);
    char date[32];
    snprintf(date, sizeof(date), "%02d%02d%02d", now.tm_year % 100, now.tm_mon + 1, now.tm_mday);
    memcpy(m_BatchInfo.szOpenedDate, date, sizeof(m_BatchInfo.szOpenedDate) - 1);
    m_BatchInfo.szOpenedDate[sizeof(m_BatchInfo.szOpenedDate) - 1] = '\0';
    m_BatchInfo.usNumber = static_cast<uint16_t>(m_BatchInfo.usNumber + 1);
    if (m_BatchInfo.usNumber > 999) m_BatchInfo.usNumber = 1;
    m_BatchInfo.ucOpened = 1;
    m_BatchInfo.usTransactIndex = 1;
    m_BatchInfo.usRRNIndex = 1;
    m_BatchInfo.usSaleCount = m_BatchInfo.usSaleCancelCount = 0;
    m_BatchInfo.usReturnCount = m_BatchInfo.usReturnCancelCount = 0;
    memset(&m_BatchInfo.stSaleTotal, 0, sizeof(SBigInt));
    memset(&m_BatchInfo.stSaleCancelTotal, 0, sizeof(SBigInt));
    memset(&m_BatchInfo.stReturnTotal, 0, sizeof(SBigInt));
    memset(&m_BatchInfo.stReturnCancelTotal, 0, sizeof(SBigInt));
    return aux_Batch_Commit(&before);
}

int Batch_Report(uint16_t* purchases, uint16_t* purchaseCancels, uint16_t* refunds, SBigInt* purchaseTotal,
                 SBigInt* purchaseCancelTotal, SBigInt* refundTotal) {
    aux_Batch_Load();
    *purchases = m_BatchInfo.usSaleCount;
    *purchaseCancels = m_BatchInfo.usSaleCancelCount;
    *refunds = m_BatchInfo.usReturnCount;
    BigInt_Copy(purchaseTotal, &m_BatchInfo.stSaleTotal);
    BigInt_Copy(purchaseCancelTotal, &m_BatchInfo.stSaleCancelTotal);
    BigInt_Copy(refundTotal, &m_BatchInfo.stReturnTotal);
    return RES_OK;
}

int Batch_GetInfo(SBatchInfo* out) {
    aux_Batch_Load();
    memcpy(out, &m_BatchInfo, sizeof(*out));
    return RES_OK;
}

int Batch_IncOperationTotals(uint8_t op, SBigInt amount) {
    aux_Batch_Load();
    SBatchInfo before = m_BatchInfo;
    switch (op) {
    case OP_SALE:
        ++m_BatchInfo.usSaleCount;
        BigInt_Add(&m_BatchInfo.stSaleTotal, &amount);
        ++m_BatchInfo.usTransactIndex;
        break;
    case OP_RETURN:
        ++m_BatchInfo.usReturnCount;
        BigInt_Add(&m_BatchInfo.stReturnTotal, &amount);
        ++m_BatchInfo.usTransactIndex;
        break;
    case OP_REVERSAL:
        ++m_BatchInfo.usSaleCancelCount;
        BigInt_Add(&m_BatchInfo.stSaleCancelTotal, &amount);
        break;
    case OP_REVERSAL_OTHER:
        ++m_BatchInfo.usReturnCancelCount;
        BigInt_Add(&m_BatchInfo.stReturnCancelTotal, &amount);
        break;
    default:
        return RES_OK;
    }
    return aux_Batch_Commit(&before);
}

int Batch_CountReversed(uint8_t op, SBigInt amount, int countOperation) {
    aux_Batch_Load();
    SBatchInfo before = m_BatchInfo;
    if (op == OP_SALE) {
        if (countOperation) {
            ++m_BatchInfo.usSaleCount;
            BigInt_Add(&m_BatchInfo.stSaleTotal, &amount);
            ++m_BatchInfo.usTransactIndex;
        }
        ++m_BatchInfo.usSaleCancelCount;
        BigInt_Add(&m_BatchInfo.stSaleCancelTotal, &amount);
    } else if (op == OP_RETURN) {
        if (countOperation) {
            ++m_BatchInfo.usReturnCount;
            BigInt_Add(&m_BatchInfo.stReturnTotal, &amount);
            ++m_BatchInfo.usTransactIndex;
        }
        ++m_BatchInfo.usReturnCancelCount;
        BigInt_Add(&m_BatchInfo.stReturnCancelTotal, &amount);
    }
    m_BatchInfo.ucReversal = 0;
    return aux_Batch_Commit(&before);
}

// Sets one flag byte of the record and saves it.
static int aux_Batch_SetFlag(uint8_t* flag, uint8_t value) {
    SBatchInfo before = m_BatchInfo;
    *flag = value;
    return aux_Batch_Commit(&before);
}

int Batch_SetReversal() {
    aux_Batch_Load();
    return aux_Batch_SetFlag(&m_BatchInfo.ucReversal, 1);
}

int Batch_RemoveReversal() {
    aux_Batch_Load();
    return aux_Batch_SetFlag(&m_BatchInfo.ucReversal, 0);
}

int Batch_SetClosing() {
    aux_Batch_Load();
    return aux_Batch_SetFlag(&m_BatchInfo.ucClosing, 1);
}

int Batch_SetClosed() {
    aux_Batch_Load();
    SBatchInfo before = m_BatchInfo;
    m_BatchInfo.ucClosing = 0;
    m_BatchInfo.ucOpened = 0;
    return aux_Batch_Commit(&before);
}

int Batch_IsReversal() {
    aux_Batch_Load();
    return m_BatchInfo.ucReversal != 0;
}

int Batch_IsOpened() {
    aux_Batch_Load();
    return m_BatchInfo.ucOpened != 0;
}

int Batch_IsClosing() {
    aux_Batch_Load();
    return m_BatchInfo.ucClosing != 0;
}

uint16_t Batch_GetNumber() {
    aux_Batch_Load();
    return m_BatchInfo.usNumber;
}

uint16_t Batch_GetTransactIndex() {
    aux_Batch_Load();
    return m_BatchInfo.usTransactIndex;
}

uint16_t Batch_GetRRNIndex() {
    aux_Batch_Load();
    return m_BatchInfo.usRRNIndex;
}

const char* Batch_GetOpenedDate() {
    aux_Batch_Load();
    return m_BatchInfo.szOpenedDate;
}

int Batch_IncRRNIndex() {
    aux_Batch_Load();
    SBatchInfo before = m_BatchInfo;
    // The reference number has room for four digits of it.
    m_BatchInfo.usRRNIndex = m_BatchInfo.usRRNIndex >= 9999 ? 1 : static_cast<uint16_t>(m_BatchInfo.usRRNIndex + 1);
    return aux_Batch_Commit(&before);
}

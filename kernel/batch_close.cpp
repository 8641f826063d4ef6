// kernel/batch_close.cpp
// The day close: settlement of the open batch with the host, then the remote
// PIN-key update when the pad asks for new keys. The batch record itself is
// reached only through the public Batch_ functions (its state lives in batch.cpp).
#include <cstring>

#include "host/keyexchange.h"
#include "host/tmmsgbuilder.h"
#include "host/transmaster.h"
#include "kernel/batch.h"
#include "kernel/kernel_call.h"
#include "pinpad/padprofile.h"
#include "pinpad/ppcmd.h"
#include "pinpad/ppfile.h"
#include "pinpad/pplayer.h"
#include "support/cp1251.h"
#include "support/log.h"
#include "support/param.h"
#include "support/payorder.h"
#include "support/result_codes.h"
#include "support/utilmsg.h"

// Answers read for one settlement: hold-ons beyond this leave the batch closing.
enum { BATCH_CLOSE_MAX_ANSWERS = 3 };

static uint8_t* aux_Batch_RecvBuf() { return Kernel_Call()->aucHostAnswer; }

// The pad's update-key flags as it keeps them (bit 0 TMP, bit 1 TPK, bit 2 CFG).
static int aux_Batch_PadKeyFlags() { return static_cast<int>(PadProfile_KeyFlags()); }

// Where each downloaded key goes in the pad: transport key 1 -> master key 2
// (TMK) -> master key 3 (TMP) -> working key 2 (TPK).
static int aux_Batch_LoadPadKey(uint8_t hostKeyType, const uint8_t* key, uint32_t* kcv) {
    switch (hostKeyType) {
    case RTPS_KEY_MTMK:
        return KeyLoad(1, PP_KEY_MK, 2, key, kcv);
    case RTPS_KEY_MTMP:
        return KeyLoad(2, PP_KEY_MK, 3, key, kcv);
    default:
        return KeyLoad(3, PP_KEY_WK, 2, key, kcv);
    }
}

static const SKeyPadOps m_KeyPadOps = {aux_Batch_LoadPadKey, PPLayer_ShowMessage};

const SKeyPadOps* Batch_GetKeyPadOps() { return &m_KeyPadOps; }

static bool aux_Batch_KeysPending() {
    const SPadProfile* pad = PadProfile_Get();
    return pad->ucRemoteKeysSupport != 0 && (pad->ucUpdTMP != 0 || pad->ucUpdTPK != 0);
}

// What the settlement's answer carries.
struct SSettlementAnswer {
    char authCode[7];
    char rrn[13];
    uint16_t* respCode;
};

static int aux_Batch_ParseAnswer(const uint8_t* packet, uint16_t length, void* context) {
    SSettlementAnswer* answer = static_cast<SSettlementAnswer*>(context);
    return TMMsgBuilder_ParseBatchCloseRs(packet, length, answer->authCode, answer->rrn, answer->respCode);
}

// Sends the batch's counts and totals and reads the host's verdict into
// respCode; on an answer the batch is closed. 0 or the failure code, the
// batch then staying closing.
static int aux_Batch_Settle(uint16_t* respCode) {
    // The totals go to the host only once the disk says the batch is closing:
    // otherwise a lost answer would leave operations running on a batch the
    // host may already have settled.
    int rc = Batch_SetClosing();
    if (rc != RES_OK) {
        LogString("ERROR. Batch_Close. SetClosing: %d", rc);
        return rc;
    }
    UtilMsg_Show(CP1251("ПОЖАЛУЙСТА, ПОДОЖДИТЕ|ОБМЕН ДАННЫМИ С БАНКОМ"));
    PPLayer_ShowMessage(CP1251("ПОЖАЛУЙСТА, ЖДИТЕ|ОБМЕН С БАНКОМ"), 0);

    rc = Transmaster_Connect();
    if (rc != RES_OK) {
        LogString("ERROR. Batch_Close. Connect: %d", rc);
        return RES_HOST_CONNECT;
    }
    SBatchInfo info;
    Batch_GetInfo(&info);
    uint16_t length = 0;
    uint8_t* request = TMMsgBuilder_GetBatchCloseRq(
        g_Config.szTerminalId, info.usSaleCount, info.usSaleCancelCount, info.usReturnCount, info.usReturnCancelCount,
        0, 0, &info.stSaleTotal, &info.stSaleCancelTotal, &info.stReturnTotal, &info.stReturnCancelTotal,
        info.szOpenedDate, 0, info.usNumber, info.usRRNIndex, &length);
    rc = Transmaster_SendPacket(request, length);
    if (rc != RES_OK) {
        Transmaster_Disconnect();
        LogString("ERROR. Batch_Close. Send: %d", rc);
        return RES_HOST_SEND;
    }

    SSettlementAnswer answer = {{}, {}, respCode};
    rc = RES_HOST_ONLY_HOLDON;
    int received = Transmaster_ReceiveAnswer(aux_Batch_RecvBuf(), BATCH_CLOSE_MAX_ANSWERS, "Batch_Close",
                                             aux_Batch_ParseAnswer, &answer, &rc);
    if (received != RES_OK) {
        Transmaster_Disconnect();
        LogString("ERROR. Batch_Close. Receive: %d", received);
        return RES_HOST_SEND;
    }
    LogString("%s. Batch_Close. Result: %d", rc == RES_OK ? "SUCCESS" : "ERROR", rc);
    Transmaster_Disconnect();
    if (rc != RES_OK) return rc;

    // The host has settled the batch whatever its verdict on the totals; the
    // counts and totals stay in the record for the report of the close.
    rc = Batch_SetClosed();
    if (rc != RES_OK) {
        // Reporting a close that the disk does not hold would let the next
        // call run on a batch still marked open.
        LogString("ERROR. Batch_Close. SetClosed: %d", rc);
        return rc;
    }
    return RES_OK;
}

// Downloads and loads the keys the pad asks for; the outcome is logged and
// shown on the pad, never returned: the close itself has already happened.
static void aux_Batch_UpdateRemoteKeys() {
    const SPadProfile* pad = PadProfile_Get();
    if (pad->ucKeyCfg == 0 && pad->ucUpdTMP == 0 && pad->ucUpdTPK != 0) {
        LogString("ERROR. Bad Pinpad key config. Skipping working key update before first init.");
        return;
    }
    LogString("Starting remote key update...");
    KeyExchange_SetPad(&m_KeyPadOps);
    uint16_t batchNo = Batch_GetNumber();
    uint16_t rrnIndex = Batch_GetRRNIndex();
    int rc;
    if (pad->ucUpdTMP != 0) {
        rc = KeyExchange(RTPS_KEY_MTMK, aux_Batch_RecvBuf(), batchNo, rrnIndex);
        LogString("%s. Loading transport key (TMK) result [%d], flags [%d].", rc == RES_OK ? "INFO" : "ERROR", rc,
                  aux_Batch_PadKeyFlags());
        if (rc != RES_OK) return;
        rc = KeyExchange(RTPS_KEY_MTMP, aux_Batch_RecvBuf(), batchNo, rrnIndex);
        LogString("%s. Loading master key (TMP) result [%d], flags [%d].", rc == RES_OK ? "INFO" : "ERROR", rc,
                  aux_Batch_PadKeyFlags());
        if (rc != RES_OK) return;
    }
    rc = KeyExchange(RTPS_KEY_MTPK, aux_Batch_RecvBuf(), batchNo, rrnIndex);
    LogString("%s. Loading working key (TPK) result [%d], errflags [%d].", rc == RES_OK ? "INFO" : "ERROR", rc,
              KeyExchange_GetLoadErrFlags());
    if (rc != RES_OK) return;

    // Nothing left to update, the remote configuration in force; the pad's
    // profile keeps what the pad still holds unless it takes them.
    long switched = GetSetUpdateKeyFlags(KEYFLAGS_SET, KEYFLAG_CFG);
    LogString("INFO. Keys successfully loaded. Switching pinpad config [%ld].", switched);
}

int Batch_Close(uint16_t* respCode) {
    bool keysPending = aux_Batch_KeysPending();
    int result = RES_OK;
    if (!Batch_IsOpened()) {
        if (!keysPending) {
            LogString("Batch_Close. Just closed: %d", 0);
            return RES_BATCH_CLOSED;
        }
        LogStringEx(LOG_WARNING, "WARNING. Skipping CLOSED batch to check remote keys.");
        result = RES_BATCH_CLOSED;
    } else {
        int rc = aux_Batch_Settle(respCode);
        if (rc != RES_OK) return rc;
        if (!keysPending) return RES_OK;
    }
    aux_Batch_UpdateRemoteKeys();
    return result;
}

// kernel/kernel_stages.cpp
// The card, PIN and confirmation stages of Sale, Return, Reversal and Balance.
#include <cstring>

#include "kernel/batch.h"
#include "kernel/kernel.h"
#include "kernel/kernel_call.h"
#include "kernel/ranges.h"
#include "kernel/reversal.h"
#include "pinpad/emv.h"
#include "pinpad/padprofile.h"
#include "pinpad/pplayer.h"
#include "support/bigint.h"
#include "support/cardno.h"
#include "support/cp1251.h"
#include "support/currency.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/utilmsg.h"

// Remote keys: the working key REMOTEOPENKEY under master key 3, working-key slot 2.
static const uint8_t REMOTE_MK_INDEX = 3, REMOTE_WK_INDEX = 2;

int Kernel_ReadCard(S_PAY_ORDER* order) {
    order->ucCardEntry = ENTRY_STRIPE;
    Kernel_Call()->ucCardRead = 1;
    uint16_t ranges = Ranges_GetCount();
    if (ranges == 0) {
        LogString("ERROR. Kernel_ReadCard. Ranges_GetCount: 0");
        return RES_NO_RANGES;
    }
    int rc = PPLayer_ReadCard(g_Config.usClientTimeout, order, Kernel_Call()->szHostDateTime);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_ReadCard. PPLayer_ReadCard: %d", rc);
        return rc;
    }
    if (order->usRangeNo == 0 || order->usRangeNo > ranges) {
        LogString("ERROR. Kernel_ReadCard. usRangeNo: %d, Ranges_GetCount: %d", order->usRangeNo, ranges);
        return RES_RANGE_NOT_FOUND;
    }
    LogStringEx(LOG_INFO, "INFO. Kernel_ReadCard. usRangeNo: %d, Ranges_GetCount: %d", order->usRangeNo, ranges);
    Ranges_Reset();
    rc = Ranges_SetRange(order->szPAN, order->usRangeNo);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_ReadCard. Ranges_SetRange: %d", rc);
        return RES_RANGE_NOT_FOUND;
    }
    return RES_OK;
}

int Kernel_CheckRange(S_PAY_ORDER* order) {
    if (order->ucOpType == OP_BALANCE && !Ranges_IsBalanceEnable()) {
        LogString("ERROR. Kernel_CheckRange. Balance denied");
        return RES_RANGE_NO_BALANCE;
    }
    if (order->ucOpType == OP_RETURN && !Ranges_IsReturnEnable()) {
        LogString("ERROR. Kernel_CheckRange. Return denied");
        return RES_RANGE_NO_RETURN;
    }
    return RES_OK;
}

int Kernel_EntryPIN(S_PAY_ORDER* order) {
    if (order->ucCardEntry == ENTRY_CHIP) return RES_OK;
    const bool contactless = order->ucCardEntry == ENTRY_CLESS;
    if (!contactless) {
        order->ucPINType = PIN_NO_ONLINE;
    } else if (order->ucPINType != PIN_ONLINE) {
        return RES_OK;
    }
    const uint8_t op = order->ucOpType;
    if (op == OP_RETURN && !contactless) {
        if (!CardNo_Is9112(order->szPAN)) return RES_OK;
        order->ucPINType = PIN_ONLINE;
    }
    if (op != OP_SALE && op != OP_RETURN && op != OP_BALANCE) return RES_OK;
    if (op == OP_SALE && (order->ucCardEntry == ENTRY_STRIPE || order->ucCardEntry == ENTRY_FALLBACK) &&
        !Ranges_IsPinEnable()) {
        LogString("Kernel_EntryPIN. Ranges allowed debit without PIN");
        return RES_OK;
    }

    UtilMsg_Show(CP1251("ПОЖАЛУЙСТА|ВВЕДИТЕ ПИН-КОД"));
    const bool remote = PadProfile_Get()->ucRemoteKeysSupport && PadProfile_Get()->ucKeyCfg;
    const char* workingKey = remote ? g_ComConfig.szRemoteOpenKey : g_Config.szOpenKey;
    uint8_t mkIdx = remote ? REMOTE_MK_INDEX : g_Config.ucMKIdx;
    uint8_t wkIdx = remote ? REMOTE_WK_INDEX : g_Config.ucMKIdx;
    // The working key is a key under encryption, never the clear PIN; still, only its first characters go to the log.
    LogStringEx(LOG_DEBUG, "DEBUG. Using ucMKIdx[%d], ucWKIdx[%d], cpWK[%.4s...]", mkIdx, wkIdx, workingKey);

    int rc = PPLayer_InputPin(g_Config.usClientTimeout, workingKey, mkIdx, wkIdx, order);
    LogString("Kernel_EntryPIN. PPLayer_InputPin: %d", rc);
    if (rc == RES_OK) order->ucPINType = PIN_ONLINE;
    return rc;
}

int Kernel_StartOperation(S_PAY_ORDER* order) {
    if (order->ucCardEntry != ENTRY_CHIP) return RES_OK;
    if (!Batch_IsOpened()) Batch_Open();
    // A reference number made by the chip step carries the open batch's number and index.
    EMV_SetRRNInputs(Batch_GetNumber(), Batch_GetRRNIndex());
    int rc = EMVTransaction(order, Kernel_Call()->szHostDateTime);
    if (rc != RES_OK) LogString("ERROR. Kernel_StartOperation. EMVTransaction: [%lu]", static_cast<unsigned long>(rc));
    else LogStringEx(LOG_INFO, "INFO. Kernel_StartOperation. EMVTransaction: [%lu]", static_cast<unsigned long>(rc));
    return rc;
}

int Kernel_CommitOperation(S_PAY_ORDER* order) {
    LogStringEx(LOG_DEBUG, "DEBUG. Kernel_CommitOperation. ucOpType: [%d], ucPINType: [%d].", order->ucOpType,
                order->ucPINType);
    const uint8_t op = order->ucOpType;
    const uint8_t pin = order->ucPINType;
    if ((op != OP_SALE && op != OP_RETURN && op != OP_REVERSAL) ||
        pin == PIN_OFFLINE || pin == PIN_OFFLINE_SIGNATURE || pin == PIN_ONLINE) {
        return RES_OK;
    }
    UtilMsg_Show(CP1251("ПОЖАЛУЙСТА|ПОДТВЕРДИТЕ СУММУ"));
    char amount[CURRENCY_DISPLAY_SIZE + 8];
    BigInt_IntToStr(&order->stAmount, amount);
    Currency_FormatAmount(order->szCurrency, amount);
    int rc = PPLayer_ConfirmAmount(g_Config.usClientTimeout, op, amount, order->szCurrency);
    LogString("Kernel_CommitOperation. PPLayer_ConfirmAmount: %d", rc);
    return rc;
}

int Kernel_CompleteOperation(int hostResult, S_PAY_ORDER* order) {
    if (order->ucCardEntry != ENTRY_CHIP) return hostResult;
    int finalize = EMVFinalize(hostResult, order);
    Kernel_Call()->ucEMVFinalized = 1;
    LogString("Kernel_CompleteOperation. HostRes [%d][%.3s], AuthRespCode [%.2s], EMVFinalize[%lu], PPTranStatus [0x%X].",
              hostResult, order->szHostRespCode[0] ? order->szHostRespCode : "000", order->szAuthRespCode,
              static_cast<unsigned long>(finalize), order->ucPPTranStatus);
    if (hostResult == RES_OK && (finalize != RES_OK || order->ucPPTranStatus != 0)) {
        // The host approved what the card refused: the sale is reversed in this very call.
        order->ucPINType = PIN_NONE;
        Kernel_ReversalCardRefused(order, finalize);
        Kernel_HostExchange(order, HostMode::SavedReversal);
    }
    if (hostResult != RES_OK) return hostResult;
    if (finalize != RES_OK) return finalize;
    if (order->ucPPTranStatus != 0) return RES_CARD_REFUSED;
    return RES_OK;
}

int Kernel_ShowBalance(char* amount, const char* currency) {
    UtilMsg_Show(CP1251("КЛИЕНТ ПРОСМАТРИВАЕТ|СУММУ НА СЧЕТЕ"));
    Currency_FormatAmount(currency, amount);
    return PPLayer_ShowBalance(g_Config.usClientTimeout, amount, currency);
}

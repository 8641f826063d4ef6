// kernel/kernel_host.cpp
// Conversations with the acquiring host: the operation's exchange, the
// reversal of a saved operation, the void lookup and the echo test.
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/hostcodes.h"
#include "host/netlayer.h"
#include "host/tmmsgbuilder.h"
#include "host/tmmsgprs.h"
#include "host/transmaster.h"
#include "kernel/batch.h"
#include "kernel/kernel.h"
#include "kernel/kernel_call.h"
#include "kernel/kernel_host_internal.h"
#include "kernel/opstore.h"
#include "kernel/reversal.h"
#include "pinpad/padprofile.h"
#include "pinpad/pplayer.h"
#include "support/bigint.h"
#include "support/cp1251.h"
#include "support/currency.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/utilmsg.h"

enum { BALANCE_BLOCK = 20 };

static char m_szAddAmounts[TMMSG_ADD_AMOUNTS_SIZE];

// Shows a text on the cashier display and on the PIN pad.
static void aux_Kernel_ShowBoth(const char* cashier, const char* pad) {
    UtilMsg_Show(cashier);
    // A check program runs the echo with the pad's link down: nothing to show there.
    if (pad && PadProfile_Get()->ucPinpadConnected) PPLayer_ShowMessage(pad, 0);
}

int Kernel_PickBalance(const char* addAmounts, const char* currency, char* amount, char* shown) {
    size_t len = strnlen(addAmounts, TMMSG_ADD_AMOUNTS_SIZE);
    if (len < BALANCE_BLOCK) {
        LogString("ERROR. Kernel_HostExchange. Balance length too small: %d", static_cast<int>(len));
        return RES_BALANCE_SHORT;
    }
    size_t blocks = len / BALANCE_BLOCK;
    const char* chosen = addAmounts;
    // Blocks name their currency by number or by letters: either form matches.
    char alpha[4] = "";
    char numeric[4] = "";
    snprintf(alpha, sizeof(alpha), "%.3s", currency);
    snprintf(numeric, sizeof(numeric), "%.3s", currency);
    Currency_ConvToAlpha(currency, alpha);
    Currency_ConvToNum(currency, numeric);
    for (size_t i = blocks; i-- > 0;) {
        const char* block = addAmounts + i * BALANCE_BLOCK;
        bool available = strncmp(block + 2, "02", 2) == 0 || strncmp(block + 2, "12", 2) == 0;
        bool ours = strncmp(block + 4, alpha, 3) == 0 || strncmp(block + 4, numeric, 3) == 0;
        if (available && ours) {
            chosen = block;
            break;
        }
    }
    // Block: account type (2), amount type (2), currency (3), sign (1), amount (12).
    std::string digits;
    for (int i = 0; i < 12; ++i) {
        char c = chosen[8 + i];
        if (c >= '0' && c <= '9') digits += c;
    }
    size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    snprintf(amount, KERNEL_BALANCE_AMOUNT_SIZE, "%s%s", chosen[7] == 'D' ? "-" : "", digits.c_str());
    memcpy(shown, chosen + 4, 3);
    shown[3] = '\0';
    return RES_OK;
}

// Picks the balance block for the operation's currency and shows it; 0, 1090 or the display's result.
static int aux_Kernel_ShowHostBalance(S_PAY_ORDER* order) {
    char amount[KERNEL_BALANCE_AMOUNT_SIZE];
    char shown[4];
    int rc = Kernel_PickBalance(m_szAddAmounts, order->szCurrency, amount, shown);
    if (rc != RES_OK) return rc;
    // The display wants letters (the decimals depend on them); an unknown code stays as the host sent it.
    memcpy(order->szCurrency, shown, sizeof(shown));
    Currency_ConvToAlpha(shown, order->szCurrency);
    rc = Kernel_ShowBalance(amount, order->szCurrency);
    if (rc != RES_OK) LogString("ERROR. Kernel_HostExchange. ShowBalance: %d", rc);
    return rc;
}

// The host's front end refused the request before the bank saw it: it has no
// key for the device, did not process the request, or has no link to the bank.
// After a link error nobody can tell.
static bool aux_Kernel_NotProcessed(int result) {
    return result == TMMsgPrs_StatusResult(TMMSG_STATUS_NO_KEY) ||
           result == TMMsgPrs_StatusResult(TMMSG_STATUS_NOT_PROCESSED) ||
           result == TMMsgPrs_StatusResult(TMMSG_STATUS_NO_LINK);
}

// One answer to a transaction request into the order (the context), field 54 into m_szAddAmounts.
static int aux_Kernel_ParseAnswer(const uint8_t* packet, uint16_t length, void* order) {
    memset(m_szAddAmounts, 0, sizeof(m_szAddAmounts));
    return TMMsgBuilder_ParseTransactionRs(packet, length, static_cast<S_PAY_ORDER*>(order), m_szAddAmounts);
}

int Kernel_HostExchange(S_PAY_ORDER* order, HostMode mode) {
    aux_Kernel_ShowBoth(CP1251("ПОДОЖДИТЕ,ПОЖАЛУЙСТА|ВЫПОЛНЯЕТСЯ|ЗАПРОС В БАНК"),
                        CP1251("ПОДОЖДИТЕ,ПОЖАЛУЙСТА|ВЫПОЛНЯЕТСЯ|ЗАПРОС В БАНК"));

    int rc = Transmaster_Connect();
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_HostExchange. Connect: %d", rc);
        return RES_HOST_CONNECT;
    }
    rc = Batch_Open();
    if (rc != RES_OK) {
        Transmaster_Disconnect();
        return rc;
    }

    uint16_t length = 0;
    const SPadProfile* pad = PadProfile_Get();
    const uint8_t padReads =
        static_cast<uint8_t>((pad->ucEMVSupport ? TMMSG_PAD_CHIP : 0) | (pad->ucClessSupport ? TMMSG_PAD_CLESS : 0));
    const uint8_t* request = TMMsgBuilder_GetTransactionRq(order, g_Config.szTerminalId, Batch_GetOpenedDate(),
                                                           Batch_GetNumber(), Batch_GetTransactIndex(),
                                                           Batch_GetRRNIndex(), mode, padReads,
                                                           Kernel_Call()->szHostDateTime, &length);
    // Card secrets leave memory as soon as they are inside the request.
    memset(order->ucTrack2Enc, 0, sizeof(order->ucTrack2Enc));
    memset(order->ucPINBlock, 0, sizeof(order->ucPINBlock));
    if (request == nullptr || length == 0) {
        // Nothing will be sent, so nothing may be left to reverse.
        LogString("ERROR. Kernel_HostExchange. Request not built");
        Transmaster_Disconnect();
        return RES_HOST_SEND;
    }

    // The request's reference number is used up on the disk before it can
    // go: lost, the next request would reach the bank under the same number.
    if (mode == HostMode::NewRequest && Batch_IncRRNIndex() != RES_OK) {
        LogString("ERROR. Kernel_HostExchange. Batch_IncRRNIndex: %d", RES_BATCH_WRITE);
        Transmaster_Disconnect();
        return RES_BATCH_WRITE;
    }
    // What goes out unsettled is saved first, so that a call killed from here
    // on leaves the next call's batch-state check to settle it.
    if (Kernel_ReversalSending(order, mode) != RES_OK) {
        Transmaster_Disconnect();
        return RES_RVS_WRITE;
    }

    rc = Transmaster_SendPacket(request, length);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_HostExchange. Send: %d", rc);
        NetLayer_Close();
        Kernel_ReversalAnswered(order, mode, HostAnswer::Unanswered);
        return RES_HOST_SEND;
    }

    // At least one answer is read even with HOLDONS 0: an unread answer is no result.
    const uint16_t limit = g_Config.usHoldOns > 0 ? g_Config.usHoldOns : 1;
    uint8_t* buffer = Kernel_Call()->aucHostAnswer;
    int result = RES_HOST_ONLY_HOLDON;
    rc = Transmaster_ReceiveAnswer(buffer, limit, "Kernel_HostExchange", aux_Kernel_ParseAnswer, order, &result);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_HostExchange. Receive: %d", rc);
        NetLayer_Close();
        Kernel_ReversalAnswered(order, mode, HostAnswer::Unanswered);
        return RES_HOST_SEND;  // send and receive failures share one code
    }
    LogString("%s. Kernel_HostExchange. Result: %d", result == RES_OK ? "SUCCESS" : "ERROR", result);
    Transmaster_Disconnect();

    if (result != RES_OK) {
        Kernel_ReversalAnswered(order, mode,
                                aux_Kernel_NotProcessed(result) ? HostAnswer::NotProcessed : HostAnswer::Unanswered);
        return result;
    }

    const bool approved = TMMsgBuilder_IsSuccessResult(order->usRespCode);
    if (mode == HostMode::NewRequest) {
        if (!approved) {
            LogString("ERROR. Kernel_HostExchange. Action: %u", order->usRespCode);
            Kernel_ReversalAnswered(order, mode, HostAnswer::Declined);
            return order->usRespCode;
        }
        Kernel_ReversalAnswered(order, mode, HostAnswer::Approved);
        if (order->ucOpType == OP_BALANCE) return aux_Kernel_ShowHostBalance(order);
        return RES_OK;
    }

    LogString("Kernel_HostExchange. Reversal processed: %d", order->usRespCode);
    // The cashier is told of a declined reverse-last; a saved reversal is
    // settled by any answer and lets the new operation go on.
    if (mode == HostMode::ReverseLast && !approved) {
        LogString("ERROR. Kernel_HostExchange. Reverse-last declined: %u", order->usRespCode);
        Kernel_ReversalAnswered(order, mode, HostAnswer::Declined);
        return order->usRespCode;
    }
    // A reversal the records could not count stays pending and stops the new
    // operation, as one that did not get through does.
    rc = Kernel_ReversalAnswered(order, mode, approved ? HostAnswer::Approved : HostAnswer::Declined);
    if (rc != RES_OK) LogString("ERROR. Kernel_HostExchange. Reversal not recorded: %d", rc);
    return rc;
}

// Finds the purchase a cancel refers to; 0, 1503, 1091 or 9999.
static int aux_Kernel_FindVoidTransaction(S_PAY_ORDER* order, S_PAY_ORDER* found) {
    int target = -1;
    OpStore_Reset();
    while (OpStore_Next() == 0) {
        if (OpStore_GetCurrent(found) != RES_OK) break;
        if (found->usOriginalCode == order->usOriginalCode && BigInt_ModCmp(&found->stAmount, &order->stAmount) == 0 &&
            found->ucOpType == OP_SALE) {
            target = OpStore_GetIndex();
            break;
        }
    }
    if (target < 0) {
        LogString("ERROR. aux_Kernel_FindVoidTransaction. Original for reversal not found");
        return RES_VOID_NOT_FOUND;
    }

    size_t panLen = strnlen(order->szPAN, sizeof(order->szPAN));
    if (panLen <= 3 || strncmp(order->szPAN + panLen - 4, found->szPAN + 12, 4) != 0) {
        LogString("ERROR. aux_Kernel_FindVoidTransaction. PAN not the same");
        return RES_VOID_NOT_FOUND;
    }

    while (OpStore_Next() == 0) {
        if (OpStore_GetCurrent(found) != RES_OK) {
            LogString("ERROR. aux_Kernel_FindVoidTransaction. Check rvsl. GetCurrent, idx: %d", OpStore_GetIndex());
            return RES_IO_FAILED;
        }
        if (found->usOriginalCode == order->usOriginalCode && found->ucOpType == OP_REVERSAL) {
            LogStringEx(LOG_WARNING, "WARNING. aux_Kernel_FindVoidTransaction. Transaction reversed");
            return RES_ALREADY_CANCELLED;
        }
    }
    OpStore_SetIndex(target);
    if (OpStore_GetCurrent(found) != RES_OK) return RES_IO_FAILED;
    return RES_OK;
}

int Kernel_ProcessVoidTransaction(S_PAY_ORDER* order) {
    if (order->ucOpType == OP_REVERSAL_OTHER) {
        LogString("ERROR. Kernel_FindVoidTransaction. Credit reversal not supported");
        return RES_REQ_OPERATION;
    }
    if (order->ucOpType != OP_REVERSAL) return RES_OK;

    S_PAY_ORDER* found = &Kernel_Call()->stVoidOriginal;
    memset(found, 0, sizeof(*found));
    int rc = aux_Kernel_FindVoidTransaction(order, found);
    if (rc == RES_OK || rc == RES_ALREADY_CANCELLED) {
        order->usRespCode = found->usRespCode;
        memcpy(order->szSTAN, found->szSTAN, sizeof(order->szSTAN));
        memcpy(order->szRRN, found->szRRN, sizeof(order->szRRN));
        memcpy(order->szAuthCode, found->szAuthCode, sizeof(order->szAuthCode));
        memcpy(order->szDateTime, found->szDateTime, sizeof(order->szDateTime));
        memcpy(order->szCurrency, found->szCurrency, sizeof(order->szCurrency));
        // The cancel goes out in the sale's currency, whatever the request named.
        char numeric[4] = "";
        Currency_ConvToNum(order->szCurrency, numeric);
        order->usCurrencyCode = static_cast<uint16_t>(atoi(numeric));
        order->stOrigAmount = found->stOrigAmount;
        memcpy(order->szAID, found->szAID, sizeof(order->szAID));
        memcpy(order->szAppLabel, found->szAppLabel, sizeof(order->szAppLabel));
    }
    // A sale kept in a currency without an ISO number (written by an older
    // library) cannot be cancelled in "000": the bank would get no currency.
    if (rc == RES_OK && order->usCurrencyCode == 0) {
        LogString("ERROR. Kernel_ProcessVoidTransaction. Currency without a numeric code: [%.3s]", order->szCurrency);
        return RES_CURRENCY_DISABLED;
    }
    return rc;
}

int Kernel_TestConnect() {
    aux_Kernel_ShowBoth(CP1251("ПОЖАЛУЙСТА, ПОДОЖДИТЕ|ОБМЕН ДАННЫМИ|С БАНКОМ"),
                        CP1251("ПОЖАЛУЙСТА, ЖДИТЕ|ОБМЕН ДАННЫМИ|С БАНКОМ"));
    int rc = Transmaster_Connect();
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_TestConnect. Connect: %d", rc);
        return RES_HOST_CONNECT;
    }
    uint16_t length = 0;
    const uint8_t* request = TMMsgBuilder_ParseEchoTestRq(g_Config.szTerminalId, Batch_GetTransactIndex(),
                                                          Batch_GetNumber(), Batch_GetRRNIndex(), &length);
    rc = (request != nullptr && length > 0) ? Transmaster_SendPacket(request, length) : RES_HOST_SEND;
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_TestConnect. SendPacket: %d", rc);
        NetLayer_Close();
        return RES_HOST_SEND;
    }
    uint8_t* buffer = Kernel_Call()->aucHostAnswer;
    uint16_t received = 0;
    rc = Transmaster_Receive(buffer, &received);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_TestConnect. Receive: %d", rc);
        NetLayer_Close();
        return RES_HOST_SEND;
    }
    Transmaster_Disconnect();
    uint16_t action = 0;
    rc = TMMsgBuilder_GetEchoTestResponse(buffer, received, &action);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_TestConnect. Parse: %d", rc);
        return RES_HOST_NO_RRN_AUTH;
    }
    LogString("Kernel_TestConnect. Result: %u", action);
    return (action == 0 || action == 800) ? static_cast<int>(RES_OK) : static_cast<int>(action);
}

// pinpad/cless.cpp
#include "pinpad/cless.h"

#include <cstring>

#include "pinpad/emv.h"
#include "pinpad/ppadproto.h"
#include "pinpad/ppcmd.h"
#include "pinpad/tagtake.h"
#include "pinpad/tlv.h"
#include "support/convert.h"
#include "support/log.h"
#include "support/result_codes.h"

// The last parameter list, sent again with the request for the outcome: the
// card-request commands of the loop have overwritten the request buffer since.
static uint8_t m_ucClessParams[PP_INBUF_SIZE];
static int32_t m_iClessParamsLen = 0;

// Tags that never stay in the EMV data kept for the host (card data taken
// into the order, the pad's private tags, data the host does not want).
static const uint32_t kDroppedTags[] = {
    EMV_TAG_EFFECTIVE, EMV_TAG_TERMINAL_ID, EMV_TAG_TIME, EMV_TAG_APP_CURRENCY, EMV_TAG_FFI,
};
static const uint32_t kDroppedLaterTags[] = {EMV_TAG_AMOUNT_BIN, EMV_TAG_CVM_LIST, EMV_TAG_TSI};

static int aux_Cless_Exchange(uint8_t code, const uint8_t* data, int32_t len) {
    g_iInBufLen = len;
    g_iOutBufLen = 0;
    return PPadProto_Exchange(PPC_CARD, code, len > 0 ? data : nullptr, len, g_ucOutBuf, &g_iOutBufLen, 0, 0, 1,
                              PP_OUTBUF_SIZE);
}

int CardReader_SetClessParam(S_PAY_ORDER* order, char* hostDateTime) {
    TLV_OpenStorage(&g_tlv, 0, PP_INBUF_SIZE, g_ucInBuf);
    int rc = EMV_AddTerminalData(&g_tlv, order, "CardReader_SetClessParam", hostDateTime);
    if (rc != RES_OK) return rc;
    m_iClessParamsLen = static_cast<int32_t>(TLV_GetSize(&g_tlv));
    memcpy(m_ucClessParams, g_ucInBuf, static_cast<size_t>(m_iClessParamsLen));
    rc = aux_Cless_Exchange(PPC_CARD_SETCLESS, g_ucInBuf, m_iClessParamsLen);
    if (rc == RES_OK)
        LogString("INFO. Contactless params have been set successfully.");
    else
        LogString("ERROR. Setting contactless params [%lu].", static_cast<unsigned long>(rc));
    return rc;
}

// Reads the outcome list in reply into order; 0 or the first rule broken.
static int aux_Cless_Parse(S_TLV* r, S_PAY_ORDER* order) {
    uint8_t result[2] = {0xFF, 0xFF};
    bool ok = TagTake_Fixed(r, EMV_TAG_CLESS_RESULT, 2, result) == 0;
    if (!ok || result[0] != 0 || result[1] != 0) {
        LogString("ERROR. CardReader_GetClessResult. Cless result [%02X%02X].", result[0], result[1]);
        return RES_CLESS_RESULT;
    }
    TagTake_Drop(r, EMV_TAG_CLESS_RESULT);

    if (TLV_GetObject(r, EMV_TAG_TRAN_TYPE) != 0) return RES_EMV_TRAN_TYPE;
    uint8_t state = 0;
    if (TagTake_Fixed(r, EMV_TAG_TRAN_STATE, 1, &state, TAGTAKE_DROP) != 0 || state != EMV_STATE_NORMAL)
        return RES_EMV_TRAN_STATE;

    uint8_t cvm = 0xFF;
    TagTake_Fixed(r, EMV_TAG_CVM_INDICATOR, 1, &cvm, TAGTAKE_DROP);
    switch (cvm) {
    case CLESS_CVM_ONLINE_PIN: order->ucPINType = PIN_ONLINE; break;
    case CLESS_CVM_NONE: order->ucPINType = PIN_NOT_REQUIRED; break;
    case CLESS_CVM_SIGNATURE: order->ucPINType = PIN_NO_ONLINE; break;
    default: return RES_EMV_CVM;
    }
    LogStringEx(LOG_DEBUG, "DEBUG. CardReader_GetClessResult. PinType: [%d]", order->ucPINType);

    uint8_t tvr[5], cvmr[3] = {0, 0, 0};
    if (TagTake_Fixed(r, EMV_TAG_TVR, 5, tvr) != 0) return RES_EMV_TVR;
    TagTake_Fixed(r, EMV_TAG_CVM_RESULTS, 3, cvmr);
    LogStringEx(LOG_DEBUG, "DEBUG. TVR: [%02X%02X%02X%02X%02X], CVMR : [%02X%02X%02X].", tvr[0], tvr[1], tvr[2],
                tvr[3], tvr[4], cvmr[0], cvmr[1], cvmr[2]);

    uint8_t mode = 0;
    if (TagTake_Fixed(r, EMV_TAG_CLESS_MODE, 1, &mode, TAGTAKE_DROP) != 0 || mode < CLESS_MODE_MIN ||
        mode > CLESS_MODE_MAX)
        return RES_CLESS_MODE;
    order->ucClessMode = mode;

    if (TagTake_Fixed(r, EMV_TAG_APP_VERSION, 2, order->ucAppVersion) != 0) return RES_EMV_APP_VERSION;
    if (TagTake_Fixed(r, EMV_TAG_CID, 1, &order->ucCID) != 0) return RES_EMV_CID;

    uint8_t exp[9];
    const bool expiry = TagTake_Fixed(r, EMV_TAG_EXPIRY, sizeof(exp), exp, TAGTAKE_DROP) == 0;
    if (expiry) {
        order->ucExpDateLen = exp[0];
        memcpy(order->ucExpDateEnc, exp + 1, sizeof(order->ucExpDateEnc));
    } else if (order->ucOpType != OP_RETURN) {
        return RES_EMV_EXPIRY;
    }

    for (uint32_t tag : kDroppedTags) TagTake_Drop(r, tag);

    memset(order->ucTrack2Enc, 0, sizeof(order->ucTrack2Enc));
    if (TLV_GetObject(r, EMV_TAG_TRACK2) == 0) {
        // Only as much as the order's 41 bytes hold.
        if (TagTake_Enc(r, EMV_TAG_TRACK2, 41, sizeof(order->ucTrack2Enc), &order->ucTrack2Len, order->ucTrack2Enc,
                        TAGTAKE_DROP) != 0)
            return RES_EMV_TRACK2;
    } else {
        order->ucTrack2Len = 0;
        LogStringEx(LOG_WARNING, "WARNING. CardReader_GetClessResult. No Track2 provided.");
    }

    if (TagTake_Enc(r, EMV_TAG_PAN, 24, sizeof(order->ucPANEnc), &order->ucPANLen, order->ucPANEnc, TAGTAKE_DROP) != 0)
        return RES_EMV_PAN;

    for (uint32_t tag : kDroppedLaterTags) TagTake_Drop(r, tag);

    uint8_t seq = 0;
    memset(order->szPANSeqNo, 0, sizeof(order->szPANSeqNo));
    if (TagTake_Fixed(r, EMV_TAG_PAN_SEQ, 1, &seq, TAGTAKE_DROP) == 0)
        Convert_ByteToHex(seq, order->szPANSeqNo);
    else
        LogStringEx(LOG_WARNING, "WARNING. CardReader_GetClessResult. PAN_SN is not present.");

    if (TagTake_Text(r, EMV_TAG_MASKED_PAN, 16, 19, order->szPAN, TAGTAKE_DROP) != 0) return RES_EMV_MASKED_PAN;
    LogStringEx(LOG_DEBUG, "DEBUG. MASKED PAN: [%s], SN [%s].", order->szPAN, order->szPANSeqNo);

    uint8_t valid = 0;
    if (TagTake_Fixed(r, EMV_TAG_VALID_FLAG, 1, &valid, TAGTAKE_DROP) != 0) return RES_EMV_VALID_FLAG;
    order->ucIsValid = valid == 0 ? 1 : 0;
    uint8_t range[2];
    if (TagTake_Fixed(r, EMV_TAG_RANGE_NO, 2, range, TAGTAKE_DROP) != 0) return RES_EMV_RANGE_NO;
    order->usRangeNo = static_cast<uint16_t>(range[0] << 8 | range[1]);

    TagTake_Drop(r, EMV_TAG_CARDHOLDER_NAME);

    // Any length of a name is taken, cut to the order's field.
    const uint8_t label = TAGTAKE_DROP | TAGTAKE_CUT;
    const uint32_t labelMax = sizeof(order->szAppLabel) - 1;
    bool preferred = TagTake_Text(r, EMV_TAG_PREF_NAME, 0, labelMax, order->szAppLabel, label) == 0;
    uint8_t codeTable = 0;
    bool codeTableOne = TagTake_Fixed(r, EMV_TAG_CODE_TABLE, 1, &codeTable, TAGTAKE_DROP) == 0 && codeTable == 1;
    if (preferred && codeTableOne) {
        TagTake_Drop(r, EMV_TAG_APP_LABEL);
    } else if (TagTake_Text(r, EMV_TAG_APP_LABEL, 0, labelMax, order->szAppLabel, label) != 0) {
        LogStringEx(LOG_WARNING, "WARNING. CardReader_GetClessResult. AppPrefName and AppLabel are not present.");
    }

    if (TagTake_Hex(r, EMV_TAG_AID, 5, 16, order->szAID) != 0) return RES_EMV_AID;

    return EMV_StoreICCData(r, order);
}

int CardReader_GetClessResult(S_PAY_ORDER* order) {
    // Only the reply decides: a failed exchange leaves no usable list.
    aux_Cless_Exchange(PPC_CARD_GETCLESS, m_ucClessParams, m_iClessParamsLen);
    S_TLV reply;
    int rc;
    if (g_iOutBufLen <= 0 ||
        TLV_OpenStorage(&reply, static_cast<uint32_t>(g_iOutBufLen), static_cast<uint32_t>(g_iOutBufLen),
                        g_ucOutBuf) != 0) {
        LogString("ERROR. CardReader_GetClessResult. Cless result [%02X%02X].", 0xFF, 0xFF);
        rc = RES_CLESS_RESULT;
    } else {
        rc = aux_Cless_Parse(&reply, order);
    }
    // The reply carried the card's enciphered data; it does not stay in the shared buffer.
    memset(g_ucOutBuf, 0, sizeof(g_ucOutBuf));
    return rc;
}

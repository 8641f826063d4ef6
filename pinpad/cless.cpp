// pinpad/cless.cpp
#include "pinpad/cless.h"

#include <cstring>

#include "pinpad/emv.h"
#include "pinpad/ppadproto.h"
#include "pinpad/ppcmd.h"
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

// Copies the one-byte value of tag and removes every copy of it; 0, or 1 when absent or not one byte.
static int aux_Cless_TakeByte(S_TLV* tlv, uint32_t tag, uint8_t* value) {
    int rc = 1;
    if (TLV_GetObject(tlv, tag) == 0 && TLV_GetObjectTagLength(tlv) == 1) {
        *value = tlv->pucBuffer[TLV_GetObjectTagOffset(tlv)];
        rc = 0;
    }
    EMV_RemoveAll(tlv, tag);
    return rc;
}

// Copies a text value of at most maxLen characters into dest (maxLen + 1 bytes),
// cutting a longer one; removes every copy of tag. true when the tag was there.
static bool aux_Cless_TakeLabel(S_TLV* tlv, uint32_t tag, char* dest, uint32_t maxLen) {
    bool found = TLV_GetObject(tlv, tag) == 0;
    if (found) {
        uint32_t n = TLV_GetObjectTagLength(tlv);
        if (n > maxLen) n = maxLen;
        memset(dest, 0, maxLen + 1);
        memcpy(dest, tlv->pucBuffer + TLV_GetObjectTagOffset(tlv), n);
    }
    EMV_RemoveAll(tlv, tag);
    return found;
}

int CardReader_SetClessParam(S_PAY_ORDER* order) {
    TLV_OpenStorage(&g_tlv, 0, PP_INBUF_SIZE, g_ucInBuf);
    int rc = EMV_AddTerminalData(&g_tlv, order, "CardReader_SetClessParam");
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
    bool ok = TLV_GetObject(r, EMV_TAG_CLESS_RESULT) == 0 && TLV_GetObjectTagLength(r) == 2;
    if (ok) memcpy(result, r->pucBuffer + TLV_GetObjectTagOffset(r), 2);
    if (!ok || result[0] != 0 || result[1] != 0) {
        LogString("ERROR. CardReader_GetClessResult. Cless result [%02X%02X].", result[0], result[1]);
        return RES_CLESS_RESULT;
    }
    EMV_RemoveAll(r, EMV_TAG_CLESS_RESULT);

    if (TLV_GetObject(r, EMV_TAG_TRAN_TYPE) != 0) return RES_EMV_TRAN_TYPE;
    uint8_t state = 0;
    if (aux_Cless_TakeByte(r, EMV_TAG_TRAN_STATE, &state) != 0 || state != EMV_STATE_NORMAL)
        return RES_EMV_TRAN_STATE;

    uint8_t cvm = 0xFF;
    aux_Cless_TakeByte(r, EMV_TAG_CVM_INDICATOR, &cvm);
    switch (cvm) {
    case CLESS_CVM_ONLINE_PIN: order->ucPINType = PIN_ONLINE; break;
    case CLESS_CVM_NONE: order->ucPINType = PIN_NOT_REQUIRED; break;
    case CLESS_CVM_SIGNATURE: order->ucPINType = PIN_NO_ONLINE; break;
    default: return RES_EMV_CVM;
    }
    LogStringEx(LOG_DEBUG, "DEBUG. CardReader_GetClessResult. PinType: [%d]", order->ucPINType);

    uint8_t tvr[5], cvmr[3] = {0, 0, 0};
    if (TLV_GetObject(r, EMV_TAG_TVR) != 0 || TLV_GetObjectTagLength(r) != 5) return RES_EMV_TVR;
    memcpy(tvr, r->pucBuffer + TLV_GetObjectTagOffset(r), 5);
    if (TLV_GetObject(r, EMV_TAG_CVM_RESULTS) == 0 && TLV_GetObjectTagLength(r) == 3)
        memcpy(cvmr, r->pucBuffer + TLV_GetObjectTagOffset(r), 3);
    LogStringEx(LOG_DEBUG, "DEBUG. TVR: [%02X%02X%02X%02X%02X], CVMR : [%02X%02X%02X].", tvr[0], tvr[1], tvr[2],
                tvr[3], tvr[4], cvmr[0], cvmr[1], cvmr[2]);

    uint8_t mode = 0;
    if (aux_Cless_TakeByte(r, EMV_TAG_CLESS_MODE, &mode) != 0 || mode < CLESS_MODE_MIN || mode > CLESS_MODE_MAX)
        return RES_CLESS_MODE;
    order->ucClessMode = mode;

    if (TLV_GetObject(r, EMV_TAG_APP_VERSION) != 0 || TLV_GetObjectTagLength(r) != 2) return RES_EMV_APP_VERSION;
    memcpy(order->ucAppVersion, r->pucBuffer + TLV_GetObjectTagOffset(r), 2);
    if (TLV_GetObject(r, EMV_TAG_CID) != 0 || TLV_GetObjectTagLength(r) != 1) return RES_EMV_CID;
    order->ucCID = r->pucBuffer[TLV_GetObjectTagOffset(r)];

    bool expiry = TLV_GetObject(r, EMV_TAG_EXPIRY) == 0 && TLV_GetObjectTagLength(r) == 9;
    if (expiry) {
        const uint8_t* v = r->pucBuffer + TLV_GetObjectTagOffset(r);
        order->ucExpDateLen = v[0];
        memcpy(order->ucExpDateEnc, v + 1, sizeof(order->ucExpDateEnc));
    }
    EMV_RemoveAll(r, EMV_TAG_EXPIRY);
    if (!expiry && order->ucOpType != OP_RETURN) return RES_EMV_EXPIRY;

    for (uint32_t tag : kDroppedTags) EMV_RemoveAll(r, tag);

    memset(order->ucTrack2Enc, 0, sizeof(order->ucTrack2Enc));
    if (TLV_GetObject(r, EMV_TAG_TRACK2) == 0) {
        // Only as much as the order's 41 bytes hold.
        int bad = EMV_TakeEncValue(r, EMV_TAG_TRACK2, 41, sizeof(order->ucTrack2Enc), &order->ucTrack2Len,
                                   order->ucTrack2Enc);
        EMV_RemoveAll(r, EMV_TAG_TRACK2);
        if (bad) return RES_EMV_TRACK2;
    } else {
        order->ucTrack2Len = 0;
        LogStringEx(LOG_WARNING, "WARNING. CardReader_GetClessResult. No Track2 provided.");
    }

    int badPan = EMV_TakeEncValue(r, EMV_TAG_PAN, 24, sizeof(order->ucPANEnc), &order->ucPANLen, order->ucPANEnc);
    EMV_RemoveAll(r, EMV_TAG_PAN);
    if (badPan) return RES_EMV_PAN;

    for (uint32_t tag : kDroppedLaterTags) EMV_RemoveAll(r, tag);

    uint8_t seq = 0;
    memset(order->szPANSeqNo, 0, sizeof(order->szPANSeqNo));
    if (aux_Cless_TakeByte(r, EMV_TAG_PAN_SEQ, &seq) == 0)
        Convert_ByteToHex(seq, order->szPANSeqNo);
    else
        LogStringEx(LOG_WARNING, "WARNING. CardReader_GetClessResult. PAN_SN is not present.");

    {
        uint32_t n = 0;
        bool found = TLV_GetObject(r, EMV_TAG_MASKED_PAN) == 0;
        if (found) n = TLV_GetObjectTagLength(r);
        bool good = found && n >= 16 && n <= 19;
        if (good) {
            memset(order->szPAN, 0, sizeof(order->szPAN));
            memcpy(order->szPAN, r->pucBuffer + TLV_GetObjectTagOffset(r), n);
        }
        EMV_RemoveAll(r, EMV_TAG_MASKED_PAN);
        if (!good) return RES_EMV_MASKED_PAN;
        LogStringEx(LOG_DEBUG, "DEBUG. MASKED PAN: [%s], SN [%s].", order->szPAN, order->szPANSeqNo);
    }

    uint8_t valid = 0;
    if (aux_Cless_TakeByte(r, EMV_TAG_VALID_FLAG, &valid) != 0) return RES_EMV_VALID_FLAG;
    order->ucIsValid = valid == 0 ? 1 : 0;
    {
        bool good = TLV_GetObject(r, EMV_TAG_RANGE_NO) == 0 && TLV_GetObjectTagLength(r) == 2;
        if (good) {
            const uint8_t* v = r->pucBuffer + TLV_GetObjectTagOffset(r);
            order->usRangeNo = static_cast<uint16_t>(v[0] << 8 | v[1]);
        }
        EMV_RemoveAll(r, EMV_TAG_RANGE_NO);
        if (!good) return RES_EMV_RANGE_NO;
    }

    EMV_RemoveAll(r, EMV_TAG_CARDHOLDER_NAME);

    const uint32_t labelMax = sizeof(order->szAppLabel) - 1;
    bool preferred = aux_Cless_TakeLabel(r, EMV_TAG_PREF_NAME, order->szAppLabel, labelMax);
    uint8_t codeTable = 0;
    bool codeTableOne = aux_Cless_TakeByte(r, EMV_TAG_CODE_TABLE, &codeTable) == 0 && codeTable == 1;
    if (preferred && codeTableOne) {
        EMV_RemoveAll(r, EMV_TAG_APP_LABEL);
    } else if (!aux_Cless_TakeLabel(r, EMV_TAG_APP_LABEL, order->szAppLabel, labelMax)) {
        LogStringEx(LOG_WARNING, "WARNING. CardReader_GetClessResult. AppPrefName and AppLabel are not present.");
    }

    if (TLV_GetObject(r, EMV_TAG_AID) != 0 || TLV_GetObjectTagLength(r) < 5 || TLV_GetObjectTagLength(r) > 16)
        return RES_EMV_AID;
    memset(order->szAID, 0, sizeof(order->szAID));
    Convert_BinToHex(r->pucBuffer + TLV_GetObjectTagOffset(r), order->szAID,
                     static_cast<int>(TLV_GetObjectTagLength(r)));

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

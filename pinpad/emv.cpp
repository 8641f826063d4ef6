// pinpad/emv.cpp
#include "pinpad/emv.h"

#include <cstdio>
#include <cstring>

#include "pinpad/crc.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/ppadproto.h"
#include "pinpad/ppcmd.h"
#include "pinpad/ppfile.h"
#include "pinpad/tagtake.h"
#include "support/bigint.h"
#include "support/convert.h"
#include "support/currency.h"
#include "support/log.h"
#include "support/mpsutils.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

static uint32_t m_ulRRNBatchNo = 0;
static uint16_t m_usRRNIndex = 0;

// The EMV data kept in the order: hexadecimal text of at most this many bytes.
enum : uint32_t { EMV_ICC_DATA_MAX = (sizeof(S_PAY_ORDER::szICCData) - 1) / 2 };

// Writes six digits of text as three BCD bytes.
static void aux_EMV_DigitsToBCD(const char* text, uint8_t* out) {
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>(((text[2 * i] - '0') & 0x0F) << 4 | ((text[2 * i + 1] - '0') & 0x0F));
}

// 9C of an operation code.
static uint8_t aux_EMV_TranType(uint8_t op) {
    switch (op) {
    case OP_RETURN: return 0x22;
    case OP_REVERSAL:
    case OP_REVERSAL_OTHER:
    case OP_REVERSE_LAST: return 0x99;
    case OP_BALANCE: return 0x31;
    default: return 0x00;
    }
}

// The working key as 16 bytes from 32 hexadecimal characters; false for any other text.
static bool aux_EMV_KeyFromHex(const char* hex, uint8_t* key) {
    if (hex == nullptr || strnlen(hex, 33) < 32) return false;
    for (int i = 0; i < 32; ++i) {
        char c = hex[i];
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!ok) return false;
    }
    Convert_HexToBin(hex, key, 16);
    return true;
}

// One class-17 exchange with the request in g_ucInBuf and the reply into g_ucOutBuf.
static int aux_EMV_Exchange(uint8_t code, int32_t len, uint8_t encrypt, int32_t timeoutMs) {
    g_iInBufLen = len;
    g_iOutBufLen = 0;
    return PPadProto_Exchange(PPC_EMV, code, len > 0 ? g_ucInBuf : nullptr, len, g_ucOutBuf, &g_iOutBufLen, encrypt,
                              timeoutMs, 1, PP_OUTBUF_SIZE);
}

// The reply as a searchable list; false when it is empty.
static bool aux_EMV_OpenReply(S_TLV* tlv) {
    if (g_iOutBufLen <= 0) return false;
    uint32_t n = static_cast<uint32_t>(g_iOutBufLen);
    return TLV_OpenStorage(tlv, n, n, g_ucOutBuf) == 0;
}

void EMV_SetRRNInputs(uint32_t batchNo, uint16_t rrnIndex) {
    m_ulRRNBatchNo = batchNo;
    m_usRRNIndex = rrnIndex;
}

int EMV_StoreICCData(const S_TLV* tlv, S_PAY_ORDER* order) {
    uint32_t n = TLV_GetSize(tlv);
    if (n > EMV_ICC_DATA_MAX) {
        LogString("ERROR. EMV data of %lu bytes do not fit the order.", static_cast<unsigned long>(n));
        return RES_EMV_DATA_TOO_LONG;
    }
    memset(order->szICCData, 0, sizeof(order->szICCData));
    Convert_BinToHex(tlv->pucBuffer, order->szICCData, static_cast<int>(n));
    return RES_OK;
}

int EMV_AddTerminalData(S_TLV* tlv, S_PAY_ORDER* order, const char* caller, char* hostDateTime) {
    uint8_t type = aux_EMV_TranType(order->ucOpType);
    if (TLV_AddObject(tlv, EMV_TAG_TRAN_TYPE, 1, &type) != 0) return 1;

    // The pad's amount fields are 32 bits wide; limbs are value / 10^9 and value % 10^9.
    uint64_t amount = static_cast<uint64_t>(order->stAmount.ulHigh) * 1000000000ull + order->stAmount.ulLow;
    if (amount > 0xFFFFFFFFull) return Error_LogDetail("MaxAmountReached", caller, RES_EMV_AMOUNT);
    uint32_t amount32 = static_cast<uint32_t>(amount);
    uint8_t buf[8];
    Convert_NumToBuf(amount32, buf, 4, 0);
    if (TLV_AddObject(tlv, EMV_TAG_AMOUNT_BIN, 4, buf) != 0) return 1;
    uint8_t bcd[6];
    Convert_ULongToBCD(amount32, bcd, 12);
    if (TLV_AddObject(tlv, EMV_TAG_AMOUNT, 6, bcd) != 0) return 1;

    if (order->ucOpType != OP_BALANCE) {
        char amountText[BIGINT_TEXT_SIZE + CURRENCY_DISPLAY_SIZE];
        snprintf(amountText, sizeof(amountText), "%lu", static_cast<unsigned long>(amount32));
        char currency[sizeof(order->szCurrency) + 1] = {0};
        memcpy(currency, order->szCurrency, sizeof(order->szCurrency));
        Currency_FormatAmount(currency, amountText);
        char line[64];
        int n = snprintf(line, sizeof(line), "%s %s", amountText, currency);
        if (n < 0 || n >= static_cast<int>(sizeof(line))) n = static_cast<int>(sizeof(line)) - 1;
        if (TLV_AddObject(tlv, EMV_TAG_AMOUNT_LINE, static_cast<uint32_t>(n) + 1, line) != 0) return 1;
    }

    uint8_t cur[2];
    Convert_ULongToBCD(order->usCurrencyCode, cur, 4);
    if (TLV_AddObject(tlv, EMV_TAG_CURRENCY, 2, cur) != 0) return 1;
    uint8_t exp = 0;
    if (TLV_AddObject(tlv, EMV_TAG_CURRENCY_EXP, 1, &exp) != 0) return 1;

    // The host's request of the call carries the same date and time as the pad's transaction.
    char now[MPSUTILS_DATETIME_SIZE];
    MPSUtils_GetCurrentTime(now);
    if (hostDateTime != nullptr) memcpy(hostDateTime, now, sizeof(now));
    uint8_t date[3], time[3];
    aux_EMV_DigitsToBCD(now, date);
    aux_EMV_DigitsToBCD(now + 6, time);
    if (TLV_AddObject(tlv, EMV_TAG_DATE, 3, date) != 0) return 1;
    if (TLV_AddObject(tlv, EMV_TAG_TIME, 3, time) != 0) return 1;
    return RES_OK;
}

int EMVReadTK(const char* terminalId, S_PAY_ORDER* order) {
    TLV_OpenStorage(&g_tlv, 0, PP_INBUF_SIZE, g_ucInBuf);
    if (terminalId != nullptr) {
        char id[8] = {0};
        memcpy(id, terminalId, strnlen(terminalId, sizeof(id)));
        TLV_AddObject(&g_tlv, EMV_TAG_TERMINAL_ID, sizeof(id), id);
    }
    int rc = aux_EMV_Exchange(PPC_EMV_READTK, static_cast<int32_t>(TLV_GetSize(&g_tlv)), 1,
                              static_cast<int32_t>(g_Config.usClientTimeout) * 1000);
    if (rc != RES_OK) return rc;
    if (!aux_EMV_OpenReply(&g_tlv)) return RES_EMV_EMPTY_REPLY;

    rc = RES_OK;
    if (TagTake_Enc(&g_tlv, EMV_TAG_PAN, 24, sizeof(order->ucPANEnc), &order->ucPANLen, order->ucPANEnc) != 0) {
        rc = RES_EMV_PAN;
        goto done;
    }
    {
        uint8_t seq = 0;
        memset(order->szPANSeqNo, 0, sizeof(order->szPANSeqNo));
        if (TagTake_Fixed(&g_tlv, EMV_TAG_PAN_SEQ, 1, &seq) == 0)
            Convert_ByteToHex(seq, order->szPANSeqNo);
        else
            LogStringEx(LOG_WARNING, "WARNING. EMVReadTK. PAN_SN is not present.");
    }
    if (TagTake_Hex(&g_tlv, EMV_TAG_AID, 5, 16, order->szAID) != 0) {
        rc = RES_EMV_AID;
        goto done;
    }
    {
        uint8_t exp[9];
        if (TagTake_Fixed(&g_tlv, EMV_TAG_EXPIRY, sizeof(exp), exp) == 0) {
            order->ucExpDateLen = exp[0];
            memcpy(order->ucExpDateEnc, exp + 1, sizeof(order->ucExpDateEnc));
        } else if (order->ucOpType != OP_RETURN) {
            rc = RES_EMV_EXPIRY;
            goto done;
        }
    }
    memset(order->ucTrack2Enc, 0, sizeof(order->ucTrack2Enc));
    if (TLV_GetObject(&g_tlv, EMV_TAG_TRACK2) == 0) {
        // Only as much as the order's 41 bytes hold: pad8 of a clear length
        // of 41 would be 48 bytes.
        if (TagTake_Enc(&g_tlv, EMV_TAG_TRACK2, 41, sizeof(order->ucTrack2Enc), &order->ucTrack2Len,
                             order->ucTrack2Enc) != 0) {
            rc = RES_EMV_TRACK2;
            goto done;
        }
    } else {
        order->ucTrack2Len = 0;
        LogStringEx(LOG_WARNING, "WARNING. EMVReadTK. No Track2 provided.");
    }
    {
        uint8_t codeTable = 0;
        char label[sizeof(order->szAppLabel)] = {0};
        bool preferred = TagTake_Fixed(&g_tlv, EMV_TAG_CODE_TABLE, 1, &codeTable) == 0 && codeTable == 1 &&
                         TagTake_Text(&g_tlv, EMV_TAG_PREF_NAME, 1, 16, label) == 0;
        if (!preferred && TagTake_Text(&g_tlv, EMV_TAG_APP_LABEL, 1, 16, label) != 0) {
            rc = RES_EMV_APP_LABEL;
            goto done;
        }
        memcpy(order->szAppLabel, label, sizeof(order->szAppLabel));
    }
    if (TagTake_Text(&g_tlv, EMV_TAG_MASKED_PAN, 16, 19, order->szPAN) != 0) {
        rc = RES_EMV_MASKED_PAN;
        goto done;
    }
    LogStringEx(LOG_DEBUG, "DEBUG. MASKED PAN: [%s], SN [%s].", order->szPAN, order->szPANSeqNo);
    {
        uint8_t valid = 0;
        if (TagTake_Fixed(&g_tlv, EMV_TAG_VALID_FLAG, 1, &valid) != 0) {
            rc = RES_EMV_VALID_FLAG;
            goto done;
        }
        order->ucIsValid = valid == 0 ? 1 : 0;
    }
    {
        uint8_t range[2];
        if (TagTake_Fixed(&g_tlv, EMV_TAG_RANGE_NO, 2, range) != 0) {
            rc = RES_EMV_RANGE_NO;
            goto done;
        }
        order->usRangeNo = static_cast<uint16_t>(range[0] << 8 | range[1]);
    }
done:
    // The reply carried the card's enciphered data; it does not stay in the shared buffer.
    memset(g_ucOutBuf, 0, sizeof(g_ucOutBuf));
    return rc;
}

int EMVTransaction(S_PAY_ORDER* order, char* hostDateTime) {
    bool remote = PadProfile_Get()->ucRemoteKeysSupport && PadProfile_Get()->ucKeyCfg;
    const char* keyHex = remote ? g_ComConfig.szRemoteOpenKey : g_Config.szOpenKey;
    uint8_t mkIndex = remote ? 3 : 1, wkIndex = remote ? 2 : 1;
    uint8_t key[16];
    uint32_t kcv = 0;
    int rc;
    if (!aux_EMV_KeyFromHex(keyHex, key)) {
        LogString("ERROR. EMVTransaction. Working key is not 32 hexadecimal characters.");
        rc = RES_KEY_REFUSED;
    } else {
        rc = KeyLoad(mkIndex, PP_KEY_WK, wkIndex, key, &kcv);
    }
    memset(key, 0, sizeof(key));
    if (rc != RES_OK) return rc;

    TLV_OpenStorage(&g_tlv, 0, PP_INBUF_SIZE, g_ucInBuf);
    rc = EMV_AddTerminalData(&g_tlv, order, "EMVTransaction", hostDateTime);
    if (rc != RES_OK) return rc;
    if (order->szRRN[0] == '\0') MPSUtils_MakeRRN(order->szRRN, m_ulRRNBatchNo, m_usRRNIndex);
    {
        uint8_t seq[2];
        char digits[5] = {0};
        size_t n = strnlen(order->szRRN, sizeof(order->szRRN));
        for (int i = 0; i < 4; ++i) digits[i] = n >= 4 ? order->szRRN[n - 4 + i] : '0';
        seq[0] = static_cast<uint8_t>(((digits[0] - '0') & 0x0F) << 4 | ((digits[1] - '0') & 0x0F));
        seq[1] = static_cast<uint8_t>(((digits[2] - '0') & 0x0F) << 4 | ((digits[3] - '0') & 0x0F));
        TLV_AddObject(&g_tlv, EMV_TAG_SEQ_COUNTER, 2, seq);
    }
    uint8_t remoteFlag = remote ? 1 : 0;
    TLV_AddObject(&g_tlv, EMV_TAG_REMOTE_KEYS, 1, &remoteFlag);

    memset(g_ucOutBuf, 0, sizeof(g_ucOutBuf));
    rc = aux_EMV_Exchange(PPC_EMV_TRANSACTION, static_cast<int32_t>(TLV_GetSize(&g_tlv)), 0,
                          EMV_TRANSACTION_TIMEOUT_MS);
    if (rc != RES_OK) return rc;
    S_TLV reply;
    if (!aux_EMV_OpenReply(&reply)) return RES_EMV_EMPTY_REPLY;

    uint8_t tvr[5], cvmr[3], state = 0;
    uint32_t got = 0;
    if (TLV_GetObject(&reply, EMV_TAG_TRAN_TYPE) != 0) {
        rc = RES_EMV_TRAN_TYPE;
        goto done;
    }
    if (TagTake_Fixed(&reply, EMV_TAG_TRAN_STATE, 1, &state) != 0) {
        rc = RES_EMV_TRAN_STATE;
        goto done;
    }
    if (state != EMV_STATE_NORMAL) LogStringEx(LOG_WARNING, "WARNING. EMVTransaction. Transaction State [%d].", state);
    if (state == EMV_STATE_FAILED) {
        rc = RES_EMV_TRAN_STATE;
        goto done;
    }
    TagTake_Drop(&reply, EMV_TAG_TRAN_STATE);
    if (TagTake_Fixed(&reply, EMV_TAG_TVR, 5, tvr) != 0) {
        rc = RES_EMV_TVR;
        goto done;
    }
    if (TagTake_Fixed(&reply, EMV_TAG_CVM_RESULTS, 3, cvmr) != 0) {
        rc = RES_EMV_CVM_RESULTS;
        goto done;
    }
    LogStringEx(LOG_DEBUG, "DEBUG. TVR: [%02X%02X%02X%02X%02X], CVMR : [%02X%02X%02X].", tvr[0], tvr[1], tvr[2],
                tvr[3], tvr[4], cvmr[0], cvmr[1], cvmr[2]);

    order->ucPINType = EmvGetPinType(cvmr);
    switch (order->ucOpType) {
    case OP_NONE: case OP_SALE: case OP_PARTIAL_REVERSAL: case OP_BALANCE: case OP_SALE_ADVICE:
    case OP_INQUIRY: case OP_PREAUTH: case OP_PREAUTH_RETURN: case OP_COMPLETION: case OP_COMPLETION_RETURN:
        if (EmvVerifyTVR(tvr, cvmr) != RES_OK) {
            rc = RES_EMV_CVM;
            goto done;
        }
        break;
    case OP_RETURN: case OP_PARTIAL_REVERSAL_RETURN: case OP_RETURN_ADVICE:
        if (cvmr[2] != 0 && cvmr[2] != 2) {
            rc = RES_EMV_CVM;
            goto done;
        }
        break;
    default:
        if (order->ucPINType == PIN_CHIP_FAILED) order->ucPINType = PIN_NO_ONLINE;
        break;
    }

    TagTake_Drop(&reply, EMV_TAG_CVM_INDICATOR);
    {
        // A PIN block whose length byte disagrees with its value is no PIN block.
        const uint8_t* v = TagTake_Find(&reply, EMV_TAG_PIN_BLOCK, &got);
        bool pinBlock = v != nullptr && got >= 1 && v[0] == got - 1 && v[0] <= EMV_PIN_BLOCK_MAX;
        if (pinBlock) {
            memset(order->ucPINBlock, 0, sizeof(order->ucPINBlock));
            memcpy(order->ucPINBlock, v + 1, v[0]);
        }
        if (v != nullptr) TagTake_Drop(&reply, EMV_TAG_PIN_BLOCK);
        if (!pinBlock && order->ucPINType == PIN_ONLINE) {
            rc = RES_EMV_CVM;
            goto done;
        }
    }
    if (TagTake_Fixed(&reply, EMV_TAG_DATE, 3, nullptr) != 0) {
        rc = RES_EMV_DATE;
        goto done;
    }
    if (TagTake_Fixed(&reply, EMV_TAG_TIME, 3, nullptr) != 0) {
        rc = RES_EMV_TIME;
        goto done;
    }
    if (TagTake_Fixed(&reply, EMV_TAG_APP_VERSION, 2, order->ucAppVersion) != 0) {
        rc = RES_EMV_APP_VERSION;
        goto done;
    }
    if (TagTake_Fixed(&reply, EMV_TAG_CID, 1, &order->ucCID) != 0) {
        rc = RES_EMV_CID;
        goto done;
    }
    TagTake_Drop(&reply, EMV_TAG_TSI);
    TagTake_Drop(&reply, EMV_TAG_ICC_DYN_NUM);
    TagTake_Drop(&reply, EMV_TAG_CVM_LIST);
    TagTake_Drop(&reply, EMV_TAG_AUC);
    rc = EMV_StoreICCData(&reply, order);
done:
    memset(g_ucOutBuf, 0, sizeof(g_ucOutBuf));
    return rc;
}

int EMVFinalize(int32_t hostResult, S_PAY_ORDER* order) {
    size_t hexLen = strnlen(order->szICCData, sizeof(order->szICCData));
    if (hexLen == 0) return RES_EMV_NO_DATA;
    // Room for the data and for replaced values that come back longer.
    uint8_t data[PP_INBUF_SIZE];
    memset(data, 0, sizeof(data));
    uint32_t dataLen = static_cast<uint32_t>((hexLen + 1) / 2);
    char hex[sizeof(order->szICCData) + 1] = {0};
    memcpy(hex, order->szICCData, hexLen);
    if (hexLen % 2) hex[hexLen] = '0';
    Convert_HexToBin(hex, data, static_cast<int>(dataLen));
    S_TLV store;
    TLV_OpenStorage(&store, dataLen, sizeof(data), data);

    TLV_OpenStorage(&g_tlv, 0, PP_INBUF_SIZE, g_ucInBuf);
    uint8_t arc[2];
    if (TagTake_Fixed(&store, EMV_TAG_AUTH_RESP_CODE, 2, arc) == 0)
        memcpy(order->szAuthRespCode, arc, 2);
    else
        memcpy(order->szAuthRespCode, hostResult == 0 ? "00" : "05", 2);
    TLV_AddObject(&g_tlv, EMV_TAG_AUTH_RESP_CODE, 2, order->szAuthRespCode);
    const uint32_t copied[] = {EMV_TAG_ISSUER_AUTH, EMV_TAG_ISSUER_SCRIPT1, EMV_TAG_ISSUER_SCRIPT2};
    for (uint32_t tag : copied) {
        uint32_t len = 0;
        const uint8_t* v = TagTake_Find(&store, tag, &len);
        if (v != nullptr) TLV_AddObject(&g_tlv, tag, len, v);
    }
    uint8_t outcome = hostResult == 0 ? EMV_HOST_APPROVED
                      : (hostResult == RES_HOST_CONNECT || hostResult == RES_HOST_SEND) ? EMV_HOST_NOT_REACHED
                                                                                        : EMV_HOST_OTHER;
    TLV_AddObject(&g_tlv, EMV_TAG_HOST_OUTCOME, 1, &outcome);
    if (order->ucCID != 0) TLV_AddObject(&g_tlv, EMV_TAG_CID, 1, &order->ucCID);

    int rc = aux_EMV_Exchange(PPC_EMV_FINALIZE, static_cast<int32_t>(TLV_GetSize(&g_tlv)), 1, 0);
    if (rc != RES_OK) return rc;
    S_TLV reply;
    if (!aux_EMV_OpenReply(&reply)) return RES_EMV_EMPTY_REPLY;
    if (TagTake_Fixed(&reply, EMV_TAG_PP_STATUS, 1, &order->ucPPTranStatus) != 0) return RES_EMV_PP_STATUS;

    if (hostResult == 0 && order->ucPPTranStatus != 0) {
        // The card refused what the host approved: the reversal carries the card's own values.
        const struct { uint32_t tag; uint32_t len; } replaced[] = {
            {EMV_TAG_IAD, 0}, {EMV_TAG_TVR, 5}, {EMV_TAG_ATC, 2}};
        for (const auto& r : replaced) {
            uint32_t len = 0;
            const uint8_t* v = TagTake_Find(&reply, r.tag, &len);
            if (v == nullptr || (r.len != 0 && len != r.len)) continue;
            TagTake_Drop(&store, r.tag);
            TLV_AddObject(&store, r.tag, len, v);
        }
        rc = EMV_StoreICCData(&store, order);
    }
    return rc;
}

int EMVCancel(uint16_t* status) {
    int rc = aux_EMV_Exchange(PPC_EMV_CANCEL, 0, 0, 0);
    if (rc != RES_OK) return rc;
    S_TLV reply;
    if (!aux_EMV_OpenReply(&reply)) return RES_EMV_EMPTY_REPLY;
    uint32_t len = 0;
    const uint8_t* v = TagTake_Find(&reply, EMV_TAG_CANCEL, &len);
    if (v == nullptr || len < 1) return RES_EMV_CANCEL_TAG;
    if (status != nullptr) *status = v[0];
    return RES_OK;
}

int EMVRereadCfg(const char* fileName) {
    (void)fileName;
    int rc = aux_EMV_Exchange(PPC_EMV_REREADCFG, 0, 0, 0);
    if (rc != RES_OK) LogString("ERROR. EMVRereadCfg: (%lu).", static_cast<unsigned long>(rc));
    return rc;
}

int EMVDestroyContext() {
    int rc = aux_EMV_Exchange(PPC_EMV_DESTROY, 0, 0, 0);
    if (rc != RES_OK) LogString("ERROR. EMVDestroyContext: (%lu).", static_cast<unsigned long>(rc));
    return rc;
}

int EmvVerifyTVR(const uint8_t* tvr, const uint8_t* cvmr) {
    uint8_t cv = tvr[2];  // cardholder-verification byte
    if (cv & 0x04) return RES_OK;                        // online PIN entered
    uint8_t code = cvmr[0] & 0x1F;
    if (code >= 1 && code <= 5 && (cvmr[2] == 0 || cvmr[2] == 2)) return RES_OK;  // a PIN method not failed
    if (cv & (0x10 | 0x08)) return RES_EMV_CVM;          // PIN required but not entered
    if (cv & 0x80) return RES_EMV_CVM;                   // verification not successful
    return RES_OK;
}

uint8_t EmvGetPinType(const uint8_t* cvmr) {
    uint8_t code = cvmr[0] & 0x1F, result = cvmr[2];
    if ((result & 0x02) && code == 31) return PIN_NOT_REQUIRED;
    if (result != 0 && result != 2) return PIN_CHIP_FAILED;
    switch (code) {
    case 30: return PIN_NO_ONLINE;
    case 2: return PIN_ONLINE;
    case 3:
    case 5: return PIN_OFFLINE_SIGNATURE;
    default: return PIN_OFFLINE;
    }
}

// Keeps the CRC of a file the pad now holds in its profile's field and, when given, in out.
static void aux_EMV_KeepCrc(uint32_t* field, uint32_t* out, uint32_t crc) {
    *field = crc;
    if (out != nullptr) *out = crc;
}

// Transfers DATA/<name> to the pad and has the configuration re-read; 0 or 1311.
static int aux_EMV_SendFile(const char* path, const char* name, uint32_t crc, uint32_t* field, uint32_t* padCrc) {
    if (PPLayer_FileWrite(path, name, nullptr, 0) != RES_OK) return RES_PP_EMV_CONFIG;
    aux_EMV_KeepCrc(field, padCrc, crc);
    EMVRereadCfg(name);
    return RES_OK;
}

int PPlayer_CheckEMV(uint32_t* cfgCrc, uint32_t* capkCrc) {
    SPadProfile* profile = aux_PadProfile_Edit();
    if (!profile->ucEMVSupport) {
        LogString("INFO. EMV support is disabled for I3070.");
        return RES_OK;
    }
    static const char kCapkPath[] = "DATA/EMVCAPK", kNewCapkPath[] = "DATA/Capk", kCfgPath[] = "DATA/EMVCFG";
    if (UtilFile_IsExists(kNewCapkPath)) {
        UtilFile_Delete(kCapkPath);
        int r = UtilFile_Rename(kNewCapkPath, kCapkPath);
        LogString("INFO. PPlayer_CheckEMV. Renaming Capk: [%d].", r);
    }
    uint32_t local = 0, length = 0;
    CRC_GetFileCRC(kCapkPath, &local);
    if (local != 0) {
        uint32_t pad = local;
        int rc = FileCheck("EMVCAPK", &pad, &length, 1);
        if (rc != RES_OK || pad != local) {
            if (aux_EMV_SendFile(kCapkPath, "EMVCAPK", local, &profile->ulCapkCrc, capkCrc) != RES_OK)
                return RES_PP_EMV_CONFIG;
        } else {
            aux_EMV_KeepCrc(&profile->ulCapkCrc, capkCrc, pad);
        }
    }

    local = 0;
    CRC_GetFileCRC(kCfgPath, &local);
    uint32_t pad = local;
    if (FileCheck("EMVCFG", &pad, &length, 1) != RES_OK) pad = 0;
    if (pad != 0 && (local == 0 || local == pad)) {
        aux_EMV_KeepCrc(&profile->ulEMVCfgCrc, cfgCrc, pad);
        return RES_OK;
    }
    if (local == 0) return RES_PP_EMV_CONFIG;
    return aux_EMV_SendFile(kCfgPath, "EMVCFG", local, &profile->ulEMVCfgCrc, cfgCrc);
}

// host/tmmsgbuilder.cpp
#include "host/tmmsgbuilder.h"
#include "host/tmmsgbuilder_internal.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "support/convert.h"
#include "support/log.h"
#include "support/mpsutils.h"
#include "support/param.h"
#include "support/result_codes.h"

static char AmtBuf[64];

enum { TMMSG_MAX_PACKET = 1024 };

static const char kZeroBitmap[] = "0000000000000000";

void TMMsgBuilder_Init() {
    TMMsgPrs_Init();
    TMMsgPrs_InitContainer(&stTMMsg);
}

// ---------------------------------------------------------------- envelopes

void TMMsgBuilder_PrepareSecPacket(STMMsgContainer* msg, const char* terminalId, uint8_t kind,
                                   uint16_t msgLength) {
    if (msg->usLength + TMMSG_ENVELOPE_HEADER >= TMMSG_MAX_LENGTH) {
        LogString("DEBUG. TMMsgBuilder_PrepareSecPacket. Memmove error!");
        return;
    }
    memmove(msg->acMessage + TMMSG_ENVELOPE_HEADER, msg->acMessage, msg->usLength);
    char id[TMMSG_TERMINAL_ID_CHARS] = {0};
    if (terminalId) memcpy(id, terminalId, strnlen(terminalId, TMMSG_TERMINAL_ID_CHARS));
    memcpy(msg->acMessage, id, TMMSG_TERMINAL_ID_CHARS);
    msg->acMessage[8] = (char)kind;
    msg->acMessage[9] = (char)(msgLength >> 8);
    msg->acMessage[10] = (char)(msgLength & 0xFF);
    msg->usLength = (uint16_t)(msg->usLength + TMMSG_ENVELOPE_HEADER);
}

void aux_TMMsgBuilder_AddSecField(STMMsgContainer* msg, uint8_t tag, uint8_t field,
                                  uint16_t length, const uint8_t* datum) {
    const int stored = (tag >= 1 && tag <= 4) ? (length + 7) / 8 * 8 : length;
    if (msg->usLength + 4 + stored > TMMSG_MAX_LENGTH || (stored > 0 && datum == nullptr)) {
        LogString("ERROR. aux_TMMsgBuilder_AddSecField. Element [%u] of %d bytes does not fit",
                  tag, stored);
        return;
    }
    char* out = msg->acMessage + msg->usLength;
    out[0] = (char)tag;
    out[1] = (char)field;
    out[2] = (char)(length >> 8);
    out[3] = (char)(length & 0xFF);
    if (stored > 0) memcpy(out + 4, datum, stored);
    msg->usLength = (uint16_t)(msg->usLength + 4 + stored);
}

int TMMsgBuilder_PrepareRsPacket(STMMsgContainer* msg, uint8_t status) {
    if (status != 0) {
        msg->acMessage[0] = (char)status;
        msg->usLength = 1;
        return RES_OK;
    }
    if (msg->usLength + 1 > TMMSG_MAX_PACKET) return RES_HOST_BAD_LENGTH;
    memmove(msg->acMessage + 1, msg->acMessage, msg->usLength);
    msg->acMessage[0] = 0;
    msg->usLength = (uint16_t)(msg->usLength + 1);
    return RES_OK;
}

// ------------------------------------------------------------------ helpers

static void aux_AddText(uint8_t field, const char* text) {
    TMMsgPrs_AddField(&stTMMsg, field, text, (uint16_t)strlen(text));
}

// Adds a text of a fixed-size record field without reading past the record.
static void aux_AddBounded(uint8_t field, const char* text, size_t size) {
    TMMsgPrs_AddField(&stTMMsg, field, text, (uint16_t)strnlen(text, size));
}

static void aux_AddNumber(uint8_t field, const char* format, unsigned value) {
    char text[16];
    snprintf(text, sizeof(text), format, value);
    aux_AddText(field, text);
}

static uint64_t aux_Magnitude(const SBigInt* value) {
    return (uint64_t)value->ulHigh * 1000000000ULL + value->ulLow;
}

// Writes an amount as width (at most 20) zero-filled digits into a module
// buffer; the text stays valid until the next call of either function.
static const char* aux_GetAmt(const SBigInt* amount, int width) {
    if (width < 1 || width > 20) width = 12;
    snprintf(AmtBuf, sizeof(AmtBuf), "%0*" PRIu64, width, aux_Magnitude(amount));
    return AmtBuf;
}

// The same for a count.
static const char* aux_GetAmtL(int32_t count, int width) {
    if (width < 1 || width > 20) width = 10;
    snprintf(AmtBuf, sizeof(AmtBuf), "%0*" PRId32, width, count);
    return AmtBuf;
}

// The three characters of an action code read as a number character by character.
static uint16_t aux_ActionCode(const char* code) {
    return (uint16_t)((code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0'));
}

// Field 39 of the last parsed message when it has exactly three characters.
static const char* aux_GetActionField() {
    const char* code = nullptr;
    uint16_t length = 0;
    TMMsgPrs_GetField(&stTMMsg, 39, &code, &length);
    return length == 3 ? code : nullptr;
}

// Copies a field of the last parsed message (stTMMsg) and terminates it:
// length 0 copies the whole field, otherwise that many characters (at most
// the field's own). False, destination untouched, when the field is absent.
static bool aux_TMMsgBuilder_RetrieveField(uint16_t field, char* destination, uint16_t length) {
    const char* data = nullptr;
    uint16_t have = 0;
    TMMsgPrs_GetField(&stTMMsg, field, &data, &have);
    if (data == nullptr || destination == nullptr) return false;
    const uint16_t copy = (length == 0 || length > have) ? have : length;
    memcpy(destination, data, copy);
    destination[copy] = '\0';
    return true;
}

// Finishes a built message into the request envelope.
static uint8_t* aux_FinishPacket(const char* terminalId, uint8_t kind, uint16_t msgLength,
                                 uint16_t* outLength) {
    TMMsgBuilder_PrepareSecPacket(&stTMMsg, terminalId, kind, msgLength);
    if (outLength) *outLength = stTMMsg.usLength;
    return reinterpret_cast<uint8_t*>(stTMMsg.acMessage);
}

// ------------------------------------------------------- transaction class

enum : uint16_t {
    TMMSG_FUNC_COMPLETION = 201,          // completion for the amount authorised
    TMMSG_FUNC_COMPLETION_PARTIAL = 202,  // completion for another amount
};

// The message class of an operation's own request (mode 0).
struct OpRow {
    uint8_t op;
    uint16_t mti;
    uint16_t origMti;  // type of the request a reversal refers to (field 56)
    const char* proc;  // processing code (field 3)
    uint16_t func;     // function code (field 24)
    uint16_t reason;   // message reason code (field 25)
};
constexpr OpRow kOps[] = {
    {OP_SALE, TMMSG_FINANCIAL_MTI, TMMSG_FINANCIAL_MTI, "000000", 200, 1508},
    {OP_RETURN, TMMSG_FINANCIAL_MTI, TMMSG_FINANCIAL_MTI, "200000", 200, 1508},
    {OP_PARTIAL_REVERSAL, TMMSG_REVERSAL_MTI, TMMSG_FINANCIAL_MTI, "000000", 401, 4000},
    {OP_PARTIAL_REVERSAL_RETURN, TMMSG_REVERSAL_MTI, TMMSG_FINANCIAL_MTI, "200000", 401, 4000},
    {OP_AUTH_REVERSAL, TMMSG_REVERSAL_MTI, TMMSG_AUTH_MTI, "000000", 400, 4000},
    {OP_REVERSAL, TMMSG_REVERSAL_MTI, TMMSG_FINANCIAL_MTI, "000000", 400, 4000},
    {OP_REVERSAL_OTHER, TMMSG_REVERSAL_MTI, TMMSG_FINANCIAL_MTI, "200000", 400, 4000},
    {OP_BALANCE, TMMSG_AUTH_MTI, TMMSG_AUTH_MTI, "310000", 108, 1508},
    {OP_SALE_ADVICE, TMMSG_ADVICE_MTI, TMMSG_NO_MTI, "000000", 200, 1005},
    {OP_RETURN_ADVICE, TMMSG_ADVICE_MTI, TMMSG_NO_MTI, "200000", 200, 1005},
    {OP_SALE_ADVICE_REVERSAL, TMMSG_REVERSAL_MTI, TMMSG_ADVICE_MTI, "000000", 400, 4000},
    {OP_RETURN_ADVICE_REVERSAL, TMMSG_REVERSAL_MTI, TMMSG_ADVICE_MTI, "200000", 400, 4000},
    {OP_INQUIRY, TMMSG_AUTH_MTI, TMMSG_AUTH_MTI, "000000", 108, 1508},
    {OP_PREAUTH, TMMSG_AUTH_MTI, TMMSG_AUTH_MTI, "000000", 101, 1508},
    {OP_PREAUTH_RETURN, TMMSG_AUTH_MTI, TMMSG_AUTH_MTI, "200000", 101, 1508},
    {OP_COMPLETION, TMMSG_ADVICE_MTI, TMMSG_NO_MTI, "000000", TMMSG_FUNC_COMPLETION, 1508},
    {OP_COMPLETION_RETURN, TMMSG_ADVICE_MTI, TMMSG_NO_MTI, "200000", TMMSG_FUNC_COMPLETION, 1508},
};
constexpr OpRow kUnknownOp = {OP_NONE, TMMSG_NO_MTI, TMMSG_NO_MTI, "990000", 0, 0};

// What the mode changes: type, function code and reason code; 0 keeps the
// operation's own.
struct ModeRow {
    HostMode mode;
    uint16_t mti;
    uint16_t func;
    uint16_t reason;
};
constexpr ModeRow kModes[] = {
    {HostMode::NewRequest, 0, 0, 0},
    {HostMode::Advice, TMMSG_ADVICE_MTI, 0, 0},
    {HostMode::Reversal4020, TMMSG_REVERSAL_MTI, 400, 4020},
    {HostMode::SavedReversal, TMMSG_REVERSAL_MTI, 400, 4021},
    {HostMode::Reversal4007, TMMSG_REVERSAL_MTI, 400, 4007},
    {HostMode::ReverseLast, TMMSG_REVERSAL_MTI, 400, 4021},
};

static const OpRow& aux_OpRow(uint8_t op) {
    for (const OpRow& row : kOps)
        if (row.op == op) return row;
    return kUnknownOp;
}

// An unknown mode sends the operation's own request.
static const ModeRow& aux_ModeRow(HostMode mode) {
    for (const ModeRow& row : kModes)
        if (row.mode == mode) return row;
    return kModes[0];
}

uint16_t aux_TMMsgBuilder_GetMTI(uint8_t opType, HostMode mode) {
    const uint16_t own = aux_OpRow(opType).mti;
    const uint16_t mti = aux_ModeRow(mode).mti;
    // Reversed, an advice stays an advice and an unknown operation has no type.
    if (mti == TMMSG_REVERSAL_MTI && (own == TMMSG_ADVICE_MTI || own == TMMSG_NO_MTI)) return own;
    return mti != 0 ? mti : own;
}

uint16_t aux_TMMsgBuilder_GetOriginalMTI(uint8_t opType) { return aux_OpRow(opType).origMti; }

const char* aux_TMMsgBuilder_GetProcCode(uint8_t opType) { return aux_OpRow(opType).proc; }

uint16_t aux_TMMsgBuilder_GetFunctionCode(const S_PAY_ORDER* order, HostMode mode) {
    const uint16_t func = aux_ModeRow(mode).func;
    if (func != 0) return func;
    const uint16_t own = aux_OpRow(order->ucOpType).func;
    if (own != TMMSG_FUNC_COMPLETION) return own;
    // A completion for another amount than authorised is a partial one.
    const bool differs = BigInt_ModCmp(&order->stAmount, &order->stOrigAmount) != 0 ||
                         (order->stAmount.ucSign == 1) != (order->stOrigAmount.ucSign == 1);
    return differs ? TMMSG_FUNC_COMPLETION_PARTIAL : TMMSG_FUNC_COMPLETION;
}

uint16_t aux_TMMsgBuilder_GetMessageReasonCode(uint8_t opType, HostMode mode) {
    const uint16_t reason = aux_ModeRow(mode).reason;
    return reason != 0 ? reason : aux_OpRow(opType).reason;
}

void aux_TMMsgBuilder_GetPOSDataCode(const S_PAY_ORDER* order, uint8_t padReads, char* out) {
    out[0] = (padReads & TMMSG_PAD_CLESS) ? 'M' : ((padReads & TMMSG_PAD_CHIP) ? '5' : '2');
    memcpy(out + 1, "10101", 5);
    switch (order->ucCardEntry) {
    case ENTRY_STRIPE: out[6] = '9'; break;
    case ENTRY_CHIP: out[6] = '5'; break;
    case ENTRY_CLESS:
        out[6] = (order->ucClessMode == 9 || order->ucClessMode == 11) ? 'A' : 'M';
        break;
    case ENTRY_FALLBACK: out[6] = '8'; break;
    default: out[6] = '1'; break;
    }
    switch (order->ucPINType) {
    case PIN_OFFLINE: case PIN_OFFLINE_SIGNATURE: case PIN_ONLINE: out[7] = '1'; break;
    case PIN_NO_ONLINE: out[7] = '5'; break;
    default: out[7] = '0'; break;
    }
    switch (order->ucPINType) {
    case PIN_NONE: case PIN_NO_ONLINE: out[8] = '4'; break;
    case PIN_ONLINE: out[8] = '3'; break;
    case PIN_OFFLINE: case PIN_OFFLINE_SIGNATURE: out[8] = '1'; break;
    case PIN_CHIP_FAILED: case PIN_NOT_REQUIRED: out[8] = '0'; break;
    default: out[8] = '9'; break;
    }
    memcpy(out + 9, "346", 3);
    out[12] = '\0';
}

// --------------------------------------------------- transaction request

// Appends one ciphered card datum unless the order claims more bytes than its
// field holds (a damaged reversal file must not make us send foreign memory).
static void aux_AddCipherElement(uint8_t tag, uint8_t field, uint16_t length,
                                 const uint8_t* datum, size_t capacity) {
    const size_t stored = (length + 7u) / 8u * 8u;
    if (stored > capacity) {
        LogString("ERROR. TMMsgBuilder_GetTransactionRq. Element [%u] length %u exceeds %u",
                  tag, length, (unsigned)capacity);
        return;
    }
    aux_TMMsgBuilder_AddSecField(&stTMMsg, tag, field, length, datum);
}

uint8_t* TMMsgBuilder_GetTransactionRq(S_PAY_ORDER* order, const char* terminalId,
                                       const char* batchOpenDate, uint16_t batchNo,
                                       uint16_t transIndex, uint16_t rrnIndex, HostMode mode,
                                       uint8_t padReads, char* hostDateTime, uint16_t* outLength) {
    if (outLength) *outLength = 0;
    if (order == nullptr) return nullptr;
    char ownDateTime[MPSUTILS_DATETIME_SIZE] = "";
    if (hostDateTime == nullptr) hostDateTime = ownDateTime;
    const uint8_t op = order->ucOpType;
    const uint16_t mti = aux_TMMsgBuilder_GetMTI(op, mode);
    const bool adviceOrReversal = mti == TMMSG_ADVICE_MTI || mti == TMMSG_REVERSAL_MTI;
    const bool reversal = mti == TMMSG_REVERSAL_MTI;
    const bool chipEntry = order->ucCardEntry == ENTRY_CHIP || order->ucCardEntry == ENTRY_CLESS;

    TMMsgPrs_InitContainer(&stTMMsg);
    TMMsgPrs_SetMTI(&stTMMsg, mti);

    const bool withField95 = adviceOrReversal && order->szField95[0] != '\0';
    if (withField95) aux_AddText(1, kZeroBitmap);

    aux_AddText(3, aux_TMMsgBuilder_GetProcCode(op));
    aux_AddText(4, op == OP_BALANCE ? "000000000000" : aux_GetAmt(&order->stAmount, 12));

    // Field 12 is the time of this message; a saved order (a reversal, a
    // cancel) keeps its own szDateTime, which travels in field 56 instead.
    if (hostDateTime[0] == '\0') MPSUtils_GetCurrentTime(hostDateTime);
    if (order->szDateTime[0] == '\0') {
        memcpy(order->szDateTime, hostDateTime, sizeof(order->szDateTime));
        order->szDateTime[sizeof(order->szDateTime) - 1] = '\0';
    }
    aux_AddBounded(12, hostDateTime, MPSUTILS_DATETIME_SIZE);

    if (adviceOrReversal && order->szField15[0] != '\0')
        aux_AddBounded(15, order->szField15, sizeof(order->szField15));

    char posCode[TMMSG_POS_CODE_SIZE];
    aux_TMMsgBuilder_GetPOSDataCode(order, padReads, posCode);
    aux_AddText(22, posCode);

    if (chipEntry && order->szPANSeqNo[0] != '\0' && !reversal)
        aux_AddBounded(23, order->szPANSeqNo, sizeof(order->szPANSeqNo));

    aux_AddNumber(24, "%03u", aux_TMMsgBuilder_GetFunctionCode(order, mode));
    aux_AddNumber(25, "%04u", aux_TMMsgBuilder_GetMessageReasonCode(op, mode));
    if (batchOpenDate) aux_AddBounded(28, batchOpenDate, 6);
    aux_AddNumber(29, "%03u", batchNo);

    if (reversal) {
        char original[32];
        snprintf(original, sizeof(original), "%s000000000000", aux_GetAmt(&order->stOrigAmount, 12));
        aux_AddText(30, original);
    }

    if (order->szRRN[0] == '\0') MPSUtils_MakeRRN(order->szRRN, batchNo, rrnIndex);
    aux_AddBounded(37, order->szRRN, sizeof(order->szRRN));

    if (order->szAuthCode[0] != '\0') aux_AddBounded(38, order->szAuthCode, sizeof(order->szAuthCode));
    if (mti == TMMSG_ADVICE_MTI) aux_AddText(39, "000");
    if (terminalId) aux_AddBounded(41, terminalId, TMMSG_TERMINAL_ID_CHARS);
    aux_AddNumber(49, "%03u", order->usCurrencyCode);

    if (!reversal && order->ucPINType == PIN_ONLINE) aux_AddText(53, "3938303131303030");

    const bool hasAddAmount = aux_Magnitude(&order->stAddAmount) != 0;
    if ((mti == TMMSG_FINANCIAL_MTI || mti == TMMSG_ADVICE_MTI) && hasAddAmount) {
        char text[32];
        snprintf(text, sizeof(text), "0041%03uD%s", order->usCurrencyCode,
                 aux_GetAmt(&order->stAddAmount, 12));
        aux_AddText(54, text);
    }

    if (chipEntry && order->szICCData[0] != '\0')
        aux_AddBounded(55, order->szICCData, sizeof(order->szICCData));

    if (reversal) {
        char text[48];
        char stan[8] = "000000";
        if (order->szSTAN[0] != '\0') {
            memcpy(stan, order->szSTAN, 6);
            stan[strnlen(order->szSTAN, 6)] = '\0';
        }
        char dateTime[13] = {0};
        memcpy(dateTime, order->szDateTime, 12);
        const size_t acqLen = strnlen(order->szAcquirerId, sizeof(order->szAcquirerId) - 1);
        char acquirer[16] = {0};
        memcpy(acquirer, order->szAcquirerId, acqLen);
        if (acqLen > 0)
            snprintf(text, sizeof(text), "%04u%s%s%02u%s", aux_TMMsgBuilder_GetOriginalMTI(op),
                     stan, dateTime, (unsigned)acqLen, acquirer);
        else
            snprintf(text, sizeof(text), "%04u%s%s00", aux_TMMsgBuilder_GetOriginalMTI(op), stan,
                     dateTime);
        aux_AddText(56, text);
    }

    if (withField95) aux_AddBounded(95, order->szField95, sizeof(order->szField95));

    if (order->usOriginalCode == 0) order->usOriginalCode = transIndex;

    const uint16_t msgLength = stTMMsg.usLength;
    aux_AddCipherElement(1, 2, order->ucPANLen, order->ucPANEnc, sizeof(order->ucPANEnc));
    if (op == OP_RETURN && order->ucExpDateEnc[0] == 0)
        LogStringEx(LOG_WARNING, "WARNING. TMMsgBuilder. ExpDate is absent for CREDIT [%d].", op);
    else
        aux_AddCipherElement(2, 14, 4, order->ucExpDateEnc, sizeof(order->ucExpDateEnc));
    if (!reversal && order->ucTrack2Len != 0)
        aux_AddCipherElement(4, 35, order->ucTrack2Len, order->ucTrack2Enc,
                             sizeof(order->ucTrack2Enc));
    if (!reversal && order->ucPINType == PIN_ONLINE)
        aux_TMMsgBuilder_AddSecField(&stTMMsg, 5, 52, 8, order->ucPINBlock);

    return aux_FinishPacket(terminalId, TMMSG_PACKET_TRANSACTION, msgLength, outLength);
}

// -------------------------------------------------- transaction response

int TMMsgBuilder_ParseTransactionRs(const uint8_t* packet, uint16_t count, S_PAY_ORDER* order,
                                    char* addAmounts) {
    if (order == nullptr) return RES_HOST_NO_OUT_BUFFER;
    const int rc = TMMsgPrs_ParseResponse(&stTMMsg, packet, count);
    if (rc != RES_OK) return rc;
    if (TMMsgPrs_GetMTI(&stTMMsg) == TMMSG_HOLD_ON_MTI) return RES_HOST_ONLY_HOLDON;

    const char* code = aux_GetActionField();
    if (code == nullptr) return RES_HOST_NO_RESPCODE;
    const bool chipEntry = order->ucCardEntry == ENTRY_CHIP || order->ucCardEntry == ENTRY_CLESS;
    const bool numeric = code[1] >= '0' && code[1] <= '9' && code[2] >= '0' && code[2] <= '9';
    if (chipEntry && !numeric) {
        // Chip answers may carry a letter code that the card needs verbatim.
        memcpy(order->szHostRespCode, code, 3);
        order->szHostRespCode[3] = '\0';
        order->usRespCode = code[0] == '0' ? 0 : 100;
    } else {
        order->usRespCode = aux_ActionCode(code);
    }

    char amountText[16];
    if (aux_TMMsgBuilder_RetrieveField(4, amountText, 12)) {
        SBigInt amount;
        BigInt_StrToInt(amountText, &amount);
        if (BigInt_ModCmp(&amount, &order->stAmount) != 0) BigInt_Copy(&order->stAmount, &amount);
    }

    aux_TMMsgBuilder_RetrieveField(11, order->szSTAN, 6);
    aux_TMMsgBuilder_RetrieveField(15, order->szField15, 14);
    aux_TMMsgBuilder_RetrieveField(32, order->szAcquirerId, sizeof(order->szAcquirerId) - 1);
    aux_TMMsgBuilder_RetrieveField(37, order->szRRN, 12);
    aux_TMMsgBuilder_RetrieveField(38, order->szAuthCode, 6);
    if (addAmounts) {
        addAmounts[0] = '\0';
        aux_TMMsgBuilder_RetrieveField(54, addAmounts, TMMSG_ADD_AMOUNTS_SIZE - 1);
    }
    aux_TMMsgBuilder_RetrieveField(55, order->szICCData, sizeof(order->szICCData) - 1);
    aux_TMMsgBuilder_RetrieveField(95, order->szField95, sizeof(order->szField95) - 1);

    if (order->szRRN[0] == '\0' || order->szAuthCode[0] == '\0') return RES_HOST_NO_RRN_AUTH;
    return RES_OK;
}

// ------------------------------------------------------------ reconciliation

uint8_t* TMMsgBuilder_GetBatchCloseRq(const char* terminalId, int32_t salesCount,
                                      int32_t saleCancelsCount, int32_t returnsCount,
                                      int32_t returnCancelsCount, int32_t authCount,
                                      int32_t authReversalsCount, const SBigInt* salesAmount,
                                      const SBigInt* saleCancelsAmount,
                                      const SBigInt* returnsAmount,
                                      const SBigInt* returnCancelsAmount,
                                      const char* batchOpenDate, uint8_t variant,
                                      uint16_t batchNo, uint16_t rrnIndex, uint16_t* outLength) {
    TMMsgPrs_InitContainer(&stTMMsg);
    TMMsgPrs_SetMTI(&stTMMsg, TMMSG_RECONCILIATION_MTI);
    aux_AddText(1, kZeroBitmap);

    char text[MPSUTILS_DATETIME_SIZE];
    MPSUtils_GetCurrentTime(text);
    aux_AddText(12, text);
    aux_AddNumber(24, "%03u", variant == 7 ? 570u : variant == 8 ? 571u : 500u);
    if (batchOpenDate) aux_AddBounded(28, batchOpenDate, 6);
    aux_AddNumber(29, "%03u", batchNo);
    char rrn[MPSUTILS_RRN_SIZE];
    MPSUtils_MakeRRN(rrn, batchNo, rrnIndex);
    aux_AddText(37, rrn);
    if (terminalId) aux_AddBounded(41, terminalId, TMMSG_TERMINAL_ID_CHARS);

    aux_AddText(74, aux_GetAmtL(returnsCount, 10));
    aux_AddText(75, aux_GetAmtL(saleCancelsCount, 10));
    aux_AddText(76, aux_GetAmtL(salesCount, 10));
    aux_AddText(77, aux_GetAmtL(returnCancelsCount, 10));
    aux_AddText(81, aux_GetAmtL(authCount, 10));
    aux_AddText(86, aux_GetAmt(returnsAmount, 16));
    aux_AddText(87, aux_GetAmt(saleCancelsAmount, 16));
    aux_AddText(88, aux_GetAmt(salesAmount, 16));
    aux_AddText(89, aux_GetAmt(returnCancelsAmount, 16));
    aux_AddText(90, aux_GetAmtL(authReversalsCount, 10));

    SBigInt net;
    BigInt_Copy(&net, salesAmount);
    BigInt_Add(&net, returnCancelsAmount);
    BigInt_Sub(&net, returnsAmount);
    BigInt_Sub(&net, saleCancelsAmount);
    const bool negative = net.ucSign == 1 && aux_Magnitude(&net) != 0;
    char field97[24];
    snprintf(field97, sizeof(field97), "%c%s", negative ? 'C' : 'D', aux_GetAmt(&net, 16));
    aux_AddText(97, field97);

    return aux_FinishPacket(terminalId, TMMSG_PACKET_ADMIN, stTMMsg.usLength, outLength);
}

int TMMsgBuilder_ParseBatchCloseRs(const uint8_t* packet, uint16_t count, char* authCode,
                                   char* rrn, uint16_t* actionCode) {
    const int rc = TMMsgPrs_ParseResponse(&stTMMsg, packet, count);
    if (rc != RES_OK) return rc;
    if (TMMsgPrs_GetMTI(&stTMMsg) == TMMSG_HOLD_ON_MTI) return RES_HOST_ONLY_HOLDON;
    const char* code = aux_GetActionField();
    if (code == nullptr) return RES_HOST_NO_RESPCODE;
    if (actionCode) *actionCode = aux_ActionCode(code);
    if (rrn) {
        rrn[0] = '\0';
        aux_TMMsgBuilder_RetrieveField(37, rrn, 12);
    }
    if (authCode) {
        authCode[0] = '\0';
        aux_TMMsgBuilder_RetrieveField(38, authCode, 6);
    }
    return RES_OK;
}

// ------------------------------------------------------------------ echo test

// The head of an echo test or key download: local time, function code and RRN.
static void aux_StartAdminRq(uint16_t mti, unsigned functionCode, uint16_t batchNo, uint16_t rrnIndex) {
    TMMsgPrs_InitContainer(&stTMMsg);
    TMMsgPrs_SetMTI(&stTMMsg, mti);
    char text[MPSUTILS_DATETIME_SIZE];
    MPSUtils_GetCurrentTime(text);
    aux_AddText(12, text);
    aux_AddNumber(24, "%03u", functionCode);
    char rrn[MPSUTILS_RRN_SIZE];
    MPSUtils_MakeRRN(rrn, batchNo, rrnIndex);
    aux_AddText(37, rrn);
}

uint8_t* TMMsgBuilder_ParseEchoTestRq(const char* terminalId, uint16_t transIndex,
                                      uint16_t batchNo, uint16_t rrnIndex, uint16_t* outLength) {
    aux_StartAdminRq(TMMSG_ECHO_MTI, 831, batchNo, rrnIndex);
    if (terminalId) aux_AddBounded(41, terminalId, TMMSG_TERMINAL_ID_CHARS);
    return aux_FinishPacket(terminalId, TMMSG_PACKET_ADMIN, stTMMsg.usLength, outLength);
}

int TMMsgBuilder_GetEchoTestResponse(const uint8_t* packet, uint16_t count, uint16_t* actionCode) {
    const int rc = TMMsgPrs_ParseResponse(&stTMMsg, packet, count);
    if (rc != RES_OK) return rc;
    const char* code = aux_GetActionField();
    if (code == nullptr) return RES_HOST_NO_RRN_AUTH;
    if (actionCode) *actionCode = aux_ActionCode(code);
    return RES_OK;
}

// --------------------------------------------------------------- key download

uint8_t* TMMsgBuilder_GetKeyDownloadRq(uint8_t keyIndexFlag, uint16_t* outLength,
                                       uint8_t keyType, uint16_t batchNo, uint16_t rrnIndex) {
    static const char* const kKeyTexts[] = {"KYTP003TMK", "KYTP003TMP", "KYTP003TPK"};
    if (outLength) *outLength = 0;
    if (keyType > RTPS_KEY_TPK) {
        LogString("ERROR. TMMsgBuilder_GetKeyDownloadRq. Key type [%u] unknown", keyType);
        return nullptr;
    }
    char terminalId[TMMSG_TERMINAL_ID_CHARS + 1] = {0};
    memcpy(terminalId, g_Config.szTerminalId, strnlen(g_Config.szTerminalId, TMMSG_TERMINAL_ID_CHARS));

    aux_StartAdminRq(TMMSG_KEY_DOWNLOAD_MTI, 811, batchNo, rrnIndex);
    aux_AddText(41, terminalId);

    char keyText[32];
    snprintf(keyText, sizeof(keyText), "%sKDTT0014", kKeyTexts[keyType]);
    char field48[40];
    snprintf(field48, sizeof(field48), "01%03u%s", (unsigned)strlen(keyText), keyText);
    aux_AddText(48, field48);
    return aux_FinishPacket(terminalId, TMMSG_PACKET_ADMIN, stTMMsg.usLength, outLength);
}

// Reads width decimal digits; false when any is not a digit.
static bool aux_ReadDigits(const char* text, int width, int* value) {
    int v = 0;
    for (int i = 0; i < width; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

void aux_TMMsgBuilder_ParseKeyData(const char* text, uint16_t length, char* out) {
    if (out == nullptr) return;
    out[0] = '\0';
    if (text == nullptr || length < 3 || length > 500) return;
    int pos = 0;
    while (pos + 7 <= length) {
        int n = 0;
        if (!aux_ReadDigits(text + pos + 4, 3, &n)) return;
        if (pos + 7 + n > length) return;
        if (memcmp(text + pos, "KYVL", 4) == 0) {
            memcpy(out, text + pos + 7, n);
            out[n] = '\0';
            return;
        }
        pos += 7 + n;
    }
}

void aux_TMMsgBuilder_Parse48Field(const char* data, uint16_t length, uint16_t* number,
                                   char* value12, char* keyData) {
    if (number) *number = 0;
    if (value12) value12[0] = '\0';
    if (keyData) keyData[0] = '\0';
    if (data == nullptr || length < 3) return;

    uint8_t presence = 0;
    Convert_HexToByte(data, &presence);
    const int len = length;
    int pos = 2;
    if (presence & 0x80) {
        uint8_t first = 0;
        char nibble[2] = {'0', data[2]};
        Convert_HexToByte(nibble, &first);
        pos = (first & 0x8) ? 34 : 18;
    }
    // Sub-fields announced but cut off are neither read nor skipped.
    auto skipLL = [&]() {
        int n = 0;
        if (len - pos >= 3 && aux_ReadDigits(data + pos, 2, &n)) pos += 2 + n;
    };
    if (presence & 0x40) skipLL();
    if (presence & 0x20) {
        int n = 0;
        if (len - pos >= 14 && aux_ReadDigits(data + pos, 2, &n)) {
            if (n == 12 && value12) {
                memcpy(value12, data + pos + 2, 12);
                value12[12] = '\0';
            }
            pos += 2 + n;
        }
    }
    if (presence & 0x10) skipLL();
    if (presence & 0x08) skipLL();
    if (presence & 0x04) {
        int n = 0;
        if (len - pos >= 4 && aux_ReadDigits(data + pos, 4, &n)) {
            if (number) *number = (uint16_t)n;
            pos += 4;
        }
    }
    if (presence & 0x02) {
        int n = 0;
        if (len - pos >= 4 && aux_ReadDigits(data + pos, 3, &n)) pos += 3 + n;
    }
    if (presence & 0x01) {
        // The three-digit length is taken whole: cut to a byte it would drop
        // every key past the 255th character of the key data.
        int n = 0;
        if (len - pos >= 3 && aux_ReadDigits(data + pos, 3, &n) && pos + 3 + n <= len) {
            aux_TMMsgBuilder_ParseKeyData(data + pos + 3, (uint16_t)n, keyData);
            pos += 3 + n;
        }
    }
    if (pos != len)
        LogStringEx(LOG_DEBUG, "DEBUG. Parse48Field size mismatch. Bitmap [0x%02X], Offset [%d], FieldLen [%d].",
                    presence, pos, len);
}

int TMMsgBuilder_ParseKeyDownloadRs(const uint8_t* packet, uint16_t count, char* keyData,
                                    uint16_t* actionCode, char* authCode, void* unused) {
    if (keyData == nullptr || actionCode == nullptr || authCode == nullptr)
        return RES_HOST_NO_OUT_BUFFER;
    memset(authCode, 0, 7);
    keyData[0] = '\0';

    const int rc = TMMsgPrs_ParseResponse(&stTMMsg, packet, count);
    if (rc != RES_OK) return rc;
    const uint16_t mti = TMMsgPrs_GetMTI(&stTMMsg);
    if (mti == TMMSG_HOLD_ON_MTI) return RES_HOST_ONLY_HOLDON;
    if (mti != TMMSG_KEY_DOWNLOAD_RS_MTI) return RES_HOST_NO_RRN_AUTH;

    const char* code = aux_GetActionField();
    if (code == nullptr) return RES_HOST_KEY_NO_RESPCODE;
    *actionCode = aux_ActionCode(code);

    int result = RES_OK;
    if (*actionCode != TMMSG_ACTION_OK_KEYS) {
        aux_TMMsgBuilder_RetrieveField(38, authCode, 6);
        result = RES_KEY_REFUSED;
    } else {
        const char* field48 = nullptr;
        uint16_t length = 0;
        TMMsgPrs_GetField(&stTMMsg, 48, &field48, &length);
        aux_TMMsgBuilder_Parse48Field(field48, length, nullptr, nullptr, keyData);
        if (keyData[0] == '\0') result = RES_HOST_NO_RRN_AUTH;
    }
    LogStringEx(LOG_INFO, "%s. ParseKeyDownloadRs. ActionCode [%03d], AuthCode [%s].",
                result == RES_OK ? "INFO" : "ERROR", *actionCode, authCode);
    if (result == RES_OK)
        // Key material never reaches the log, only its size.
        LogStringEx(LOG_DEBUG, "DEBUG. ParseKeyDownloadRs. Extra (KYVL) [%u characters].",
                    static_cast<unsigned>(strlen(keyData)));
    return result;
}

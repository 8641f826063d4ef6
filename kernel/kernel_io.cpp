// kernel/kernel_io.cpp
// The request scanner and the response file RAVORS.XML.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/keyexchange.h"
#include "kernel/batch.h"
#include "kernel/error.h"
#include "kernel/kernel.h"
#include "kernel/kernel_call.h"
#include "kernel/opstore.h"
#include "kernel/ranges.h"
#include "kernel/reversal.h"
#include "pinpad/padprofile.h"
#include "receipt/cheqbld.h"
#include "support/bigint.h"
#include "support/cardno.h"
#include "support/currency.h"
#include "support/log.h"
#include "support/mpsutils.h"
#include "support/param.h"
#include "support/resource.h"
#include "support/result_codes.h"
#include "support/utilfile.h"
#include "support/xmlout.h"

static const char* const RESPONSE_FILE = "RAVORS.XML";
// The response is written here and renamed into place whole, so a reader never
// sees half of one, even when the process dies while writing it.
static const char* const RESPONSE_TEMP_FILE = "RAVORS.XML.tmp";
enum { PARAM_MAX = 32, AMOUNT_MAX = 12, SUMMARY_SIZE = 256, RESPONSE_HEAD_MAX = 65536 };
enum : unsigned long { ORIGINAL_CODE_MAX = 65535 };

// The request words, in the order they are compared by their leading characters.
static const struct {
    const char* word;
    uint8_t op;
} kOperations[] = {
    {"Sale", OP_SALE},         {"Reversal", OP_REVERSAL},   {"Return", OP_RETURN},
    {"Balance", OP_BALANCE},   {"CloseDay", OP_CLOSE_DAY},  {"DayReport", OP_DAY_REPORT},
    {"TestBank", OP_TEST_BANK}, {"ReverseLast", OP_REVERSE_LAST},
};

// Copies the value of <tag>...</tag> (1 to 32 characters) into out; 1 when present, else 0.
static int aux_Kernel_GetInputParam(const char* text, const char* tag, char* out) {
    out[0] = '\0';
    char open[PARAM_MAX + 8];
    char close[PARAM_MAX + 8];
    snprintf(open, sizeof(open), "<%s>", tag);
    snprintf(close, sizeof(close), "</%s>", tag);
    const char* start = strstr(text, open);
    if (start == nullptr) return 0;
    start += strlen(open);
    const char* end = strstr(start, close);
    if (end == nullptr) return 0;
    size_t len = static_cast<size_t>(end - start);
    if (len < 1 || len > PARAM_MAX) return 0;
    memcpy(out, start, len);
    out[len] = '\0';
    return 1;
}

// 1 when text is 1 to maxLen decimal digits and nothing else.
static bool aux_Kernel_IsDigits(const char* text, size_t maxLen) {
    size_t len = strlen(text);
    if (len == 0 || len > maxLen) return false;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

static void aux_Append(char* summary, const char* format, const char* value) {
    size_t used = strlen(summary);
    snprintf(summary + used, SUMMARY_SIZE - used, format, value);
}

int Kernel_ParseInput(const char* text, S_PAY_ORDER* order, uint8_t* fullReport) {
    PadProfile_Reset();
    KeyExchange_ResetLoadErrFlags();
    Kernel_ResetCall();
    char value[PARAM_MAX + 1];
    char summary[SUMMARY_SIZE] = "";

    if (aux_Kernel_GetInputParam(text, "Scenary", value)) aux_Append(summary, "Scenary: %.10s, ", value);

    if (!aux_Kernel_GetInputParam(text, "OperationType", value)) {
        LogString("ERROR. Kernel_ParseInput. Operation tag not found");
        return RES_REQ_OPERATION;
    }
    const char* word = nullptr;
    for (const auto& op : kOperations) {
        if (strncmp(value, op.word, strlen(op.word)) == 0) {
            order->ucOpType = op.op;
            word = op.word;
            break;
        }
    }
    if (word == nullptr) {
        LogString("ERROR. Kernel_ParseInput. Unknown operation: %s", value);
        return RES_REQ_OPERATION;
    }
    order->ucPINType = PIN_NONE;
    aux_Append(summary, "Operation: %s", word);

    uint8_t op = order->ucOpType;
    if (op == OP_SALE || op == OP_REVERSAL || op == OP_RETURN || op == OP_REVERSE_LAST) {
        if (!aux_Kernel_GetInputParam(text, "Amount", value)) {
            if (op != OP_REVERSE_LAST) {
                LogString("ERROR. Kernel_ParseInput. Amount tag not found. %s", summary);
                return RES_REQ_AMOUNT;
            }
            strcpy(value, "0");
        }
        // Only a whole number of minor units: a sign or a letter would have
        // the bank and the till count different amounts.
        if (!aux_Kernel_IsDigits(value, AMOUNT_MAX)) {
            LogString("ERROR. Kernel_ParseInput. Invalid Amount tag. %s", summary);
            return RES_REQ_AMOUNT;
        }
        aux_Append(summary, ", Amount: %s", value);
        BigInt_StrToInt(value, &order->stOrigAmount);
        BigInt_Copy(&order->stAmount, &order->stOrigAmount);
        // A reverse-last's 0 stands for the saved amount; a payment of nothing is no payment.
        const SBigInt zero = {};
        if (op != OP_REVERSE_LAST && BigInt_ModCmp(&order->stAmount, &zero) == 0) {
            LogString("ERROR. Kernel_ParseInput. Zero Amount. %s", summary);
            return RES_REQ_AMOUNT;
        }
    }

    if (op == OP_CLOSE_DAY || op == OP_DAY_REPORT) {
        *fullReport = 1;
        if (aux_Kernel_GetInputParam(text, "DetailReport", value) && strncmp(value, "ChequeTotals", 12) == 0) *fullReport = 0;
        aux_Append(summary, ", FullReport: %s", *fullReport ? "On" : "Off");
    }

    if (op == OP_REVERSAL) {
        if (!aux_Kernel_GetInputParam(text, "OriginalCode", value)) {
            LogString("ERROR. Kernel_ParseInput. OriginalCode tag not found. %s", summary);
            return RES_REQ_ORIGINAL_CODE;
        }
        // Codes are 16-bit: a larger number must not wrap onto another operation's code.
        unsigned long code = 0;
        bool valid = aux_Kernel_IsDigits(value, PARAM_MAX);
        for (const char* c = value; valid && *c != '\0' && code <= ORIGINAL_CODE_MAX; ++c) code = code * 10 + (*c - '0');
        if (!valid || code == 0 || code > ORIGINAL_CODE_MAX) {
            LogString("ERROR. Kernel_ParseInput. Invalid OriginalCode tag: %s", value);
            return RES_REQ_ORIGINAL_CODE;
        }
        order->usOriginalCode = static_cast<uint16_t>(code);
        aux_Append(summary, ", OrigCode: %.12s", value);
    }

    if (op == OP_SALE || op == OP_REVERSAL || op == OP_RETURN || op == OP_BALANCE) {
        if (aux_Kernel_GetInputParam(text, "Currency", value)) {
            memcpy(order->szCurrency, value, 3);
            order->szCurrency[3] = '\0';
            aux_Append(summary, ", Currency: %s", order->szCurrency);
            char alpha[4];
            strcpy(alpha, order->szCurrency);
            Currency_ConvToAlpha(order->szCurrency, alpha);
            strcpy(order->szCurrency, alpha);
        }
    }

    LogString("SUCCESS. Kernel_ParseInput. %s", summary);
    return RES_OK;
}

static bool aux_IsOneOf(uint8_t op, std::initializer_list<uint8_t> ops) {
    for (uint8_t o : ops) {
        if (o == op) return true;
    }
    return false;
}

static void aux_AddNumber(const char* name, long value) {
    char text[24];
    snprintf(text, sizeof(text), "%ld", value);
    XMLOut_AddXMLField(name, text);
}

static void aux_AddAmount(const char* name, const SBigInt* amount) {
    char text[32];
    BigInt_IntToStr(amount, text);
    XMLOut_AddXMLField(name, text);
}

static void aux_Kernel_CreateBatchTotals() {
    SBatchInfo batch = {};
    Batch_GetInfo(&batch);
    const uint16_t sales = batch.usSaleCount, reversals = batch.usSaleCancelCount, returns = batch.usReturnCount;
    const SBigInt& saleAmt = batch.stSaleTotal;
    const SBigInt& reversalAmt = batch.stSaleCancelTotal;
    const SBigInt& returnAmt = batch.stReturnTotal;

    // The net and the count the settlement and the report receipt show: a
    // cancelled refund gives its money back to the till.
    SBigInt total;
    BigInt_Copy(&total, &saleAmt);
    BigInt_Add(&total, &batch.stReturnCancelTotal);
    BigInt_Sub(&total, &reversalAmt);
    BigInt_Sub(&total, &returnAmt);

    XMLOut_OpenXMLAggregate("Totals");
    aux_AddAmount("SaleAmt", &saleAmt);
    aux_AddNumber("SaleCount", sales);
    aux_AddAmount("ReversalAmt", &reversalAmt);
    aux_AddNumber("ReversalCount", reversals);
    aux_AddAmount("ReturnAmt", &returnAmt);
    aux_AddNumber("ReturnCount", returns);
    aux_AddAmount("TotalAmt", &total);
    aux_AddNumber("TotalCount", static_cast<long>(sales) + reversals + returns + batch.usReturnCancelCount);
    XMLOut_CloseXMLAggregate("Totals");
}

// Gathers what the receipts show of the batch, the card range and, for a report, the journal.
static SCheqContext aux_Kernel_CheqContext(const S_PAY_ORDER* order, bool withJournal, std::vector<S_PAY_ORDER>* journal) {
    SCheqContext ctx = {};
    ctx.usBatchNo = Batch_GetNumber();
    ctx.szBatchOpenedDate = Batch_GetOpenedDate();
    ctx.szPaySysName = Ranges_GetPaySysName();
    static char respText[128];
    snprintf(respText, sizeof(respText), "%s", Error_GetResultMsg(order->usRespCode, ERR_FORM_CHEQUE));
    ctx.szRespText = respText;
    ctx.szHostDateTime = Kernel_Call()->szHostDateTime;
    if (withJournal) {
        OpStore_Reset();
        while (OpStore_Next() == 0) {
            S_PAY_ORDER record = {};
            if (OpStore_GetCurrent(&record) != RES_OK) break;
            journal->push_back(record);
        }
        ctx.pJournal = journal->data();
        ctx.journalCount = journal->size();
    }
    return ctx;
}

// Reads the finished response file back into a buffer of array new.
static int aux_Kernel_ReadBackResponse(char** response) {
    int32_t length = 0;
    if (UtilFile_GetLength(RESPONSE_FILE, &length) != RES_OK) {
        LogString("RESPONSE. UtilFile_GetLength ERROR %d", errno);
        return -1;
    }
    char* buffer = new char[static_cast<size_t>(length) + 2]();
    int32_t read = length;
    if (UtilFile_ReadFileToBuf(RESPONSE_FILE, buffer, &read, 0, 0) != RES_OK || read != length) {
        LogString("RESPONSE. UtilFile_ReadFileToBuf ERROR");
        delete[] buffer;
        return -1;
    }
    *response = buffer;
    return RES_OK;
}

// A response that could not be written whole leaves none: an older
// RAVORS.XML must not be taken for this call's answer.
static int aux_Kernel_DropResponse() {
    XMLOut_DeInit();
    UtilFile_Delete(RESPONSE_TEMP_FILE);
    UtilFile_Delete(RESPONSE_FILE);
    return RES_RESPONSE_WRITE;
}

// The ResultCode the till reads. A day close on a closed batch, and one the
// bank settled with different totals, leave the day closed: 0, with the text
// of what happened.
static int aux_Kernel_AnswerCode(int result, uint8_t op) {
    if (result == RES_BATCH_CLOSED) return RES_OK;
    if (op == OP_CLOSE_DAY && result == RES_HOST_TOTALS_DIFFER) return RES_OK;
    return result;
}

// Writes the whole answer for result under the temporary name and flushes it.
static int aux_Kernel_WriteResponse(int result, S_PAY_ORDER* order) {
    int rc = XMLOut_Init(RESPONSE_TEMP_FILE);
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_CreateResponse. XMLOut_StartBuild: %d", rc);
        return aux_Kernel_DropResponse();
    }
    const uint16_t code = static_cast<uint16_t>(result);
    const uint8_t op = order->ucOpType;

    XMLOut_OpenXMLAggregate("OperationResultRs");
    aux_AddNumber("ResultCode", aux_Kernel_AnswerCode(result, op));
    XMLOut_AddXMLField("ResultText", Resource_GetInformMessage(Error_GetResultMsg(code, ERR_FORM_RESULT_TEXT)));
    if (g_Config.szTerminalId[0] != '\0') XMLOut_AddXMLField("TerminalId", g_Config.szTerminalId);

    if ((op == OP_CLOSE_DAY || op == OP_DAY_REPORT) && order->szDateTime[0] == '\0') {
        MPSUtils_GetCurrentTime(order->szDateTime);
    }

    if (op == OP_CLOSE_DAY && result == RES_BATCH_CLOSED) {
        XMLOut_AddXMLField("ChequeText", Resource_GetChequeLine(Error_GetResultMsg(code, ERR_FORM_CHEQUE)));
        XMLOut_AddXMLField("ChequeCount", "1");
    }

    const bool pickUp = result >= 200 && result <= 299;
    const bool success = result == RES_OK || result == RES_ALREADY_CANCELLED;
    // A day close the bank answered with another verdict than agreed totals:
    // the batch is closed all the same, and its report shows the verdict.
    const bool dayVerdict = op == OP_CLOSE_DAY && result > RES_OK && result < RES_HOST_ACTION_END;
    if ((success || pickUp || dayVerdict) &&
        aux_IsOneOf(op, {OP_SALE, OP_RETURN, OP_REVERSAL, OP_REVERSAL_OTHER, OP_CLOSE_DAY, OP_DAY_REPORT})) {
        XMLOut_OpenXMLAggregate("ChequeText");
        FILE* stream = XMLOut_GetFileHandle();
        std::vector<S_PAY_ORDER> journal;
        SCheqContext ctx = aux_Kernel_CheqContext(order, op == OP_CLOSE_DAY || op == OP_DAY_REPORT, &journal);
        if (op == OP_CLOSE_DAY || op == OP_DAY_REPORT) rc = CheqBld_Report(order, stream, &ctx);
        else if (pickUp) rc = CheqBld_PickUp(order, stream, &ctx);
        else rc = CheqBld_Operation(order, stream, result, &ctx);
        if (rc != RES_OK) {
            LogString("ERROR. Kernel_CreateResponse. ChequeBuild: %d", rc);
            return aux_Kernel_DropResponse();
        }
        XMLOut_CloseXMLAggregate("ChequeText");
        int copies = 2;
        if (op == OP_CLOSE_DAY || op == OP_DAY_REPORT) {
            const uint8_t count = g_Config.ucReportCount;
            copies = count >= 1 && count <= PARAM_REPORT_COUNT_MAX ? count : 1;
        }
        aux_AddNumber("ChequeCount", copies);
    }

    if (success || dayVerdict) {
        if (op == OP_SALE || op == OP_RETURN) aux_AddNumber("OriginalCode", order->usOriginalCode);
        if (aux_IsOneOf(op, {OP_SALE, OP_RETURN, OP_REVERSAL, OP_REVERSAL_OTHER})) {
            char cardNo[CARDNO_MASKED_SIZE];
            XMLOut_AddXMLField("CardNo", CardNo_Mask(order->szPAN, sizeof(order->szPAN), '*', cardNo));
        }
        if (aux_IsOneOf(op, {OP_SALE, OP_RETURN, OP_REVERSAL, OP_REVERSAL_OTHER, OP_BALANCE, OP_CLOSE_DAY, OP_DAY_REPORT})) {
            const char* t = order->szDateTime;
            char dateTime[24];
            snprintf(dateTime, sizeof(dateTime), "20%.2s-%.2s-%.2sT%.2s:%.2s:%.2s", t, t + 2, t + 4, t + 6, t + 8, t + 10);
            XMLOut_AddXMLField("DateTime", dateTime);
        }
        if (op == OP_CLOSE_DAY || op == OP_DAY_REPORT) aux_Kernel_CreateBatchTotals();
    }

    XMLOut_CloseXMLAggregate("OperationResultRs");
    rc = XMLOut_DeInit();
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_CreateResponse. XMLOut_DeInit: %d", rc);
        return aux_Kernel_DropResponse();
    }
    return RES_OK;
}

int Kernel_PrepareResponse(int* result, S_PAY_ORDER* order) {
    int rc = aux_Kernel_WriteResponse(*result, order);
    if (rc != RES_OK) return rc;
    // The answer, name and all, is on the disk before what it answers is
    // counted: a power cut from here on leaves the next call an answer that
    // was never shown, and that call takes back what it approved.
    if (UtilFile_SyncDir(RESPONSE_TEMP_FILE) != RES_OK) {
        LogString("ERROR. Kernel_CreateResponse. Directory of %s not flushed", RESPONSE_TEMP_FILE);
        return aux_Kernel_DropResponse();
    }
    rc = Kernel_ReversalCount(*result, order);
    if (rc == RES_OK) return RES_OK;
    // An approval that the batch totals and the journal do not hold is not
    // answered as one: the operation is not done, and the reversal still
    // pending takes it back at the bank with the next call.
    LogString("ERROR. Kernel_CreateResponse. Operation %u not recorded: %d", order->usOriginalCode, rc);
    *result = rc;
    return aux_Kernel_WriteResponse(*result, order);
}

int Kernel_PublishResponse(char** response) {
    if (UtilFile_Rename(RESPONSE_TEMP_FILE, RESPONSE_FILE) != RES_OK) {
        const int err = errno;
        // A failed rename keeps the prepared file: the next call then knows
        // that this answer never reached the till.
        if (UtilFile_IsExists(RESPONSE_TEMP_FILE)) {
            LogString("ERROR. Kernel_CreateResponse. Rename to %s: %d", RESPONSE_FILE, err);
            UtilFile_Delete(RESPONSE_FILE);
            return RES_RESPONSE_WRITE;
        }
        // In place but not flushed: the till reads it now, and what it
        // answers stands, as every record file is already on the disk.
        LogString("WARNING. Kernel_CreateResponse. Directory of %s not flushed: %d", RESPONSE_FILE, err);
    }
    return aux_Kernel_ReadBackResponse(response);
}

int Kernel_CreateResponse(int result, S_PAY_ORDER* order, char** response) {
    int rc = Kernel_PrepareResponse(&result, order);
    return rc != RES_OK ? rc : Kernel_PublishResponse(response);
}

int Kernel_GetUnpublishedResponse(uint16_t* originalCode, int* approvedCancel) {
    *originalCode = 0;
    *approvedCancel = 0;
    if (!UtilFile_IsExists(RESPONSE_TEMP_FILE)) return 0;
    // Only the head is needed: the result and the operation's code come before the receipt ends.
    std::vector<char> text(RESPONSE_HEAD_MAX + 1, '\0');
    int32_t length = 0;
    if (UtilFile_ReadFileToBuf(RESPONSE_TEMP_FILE, text.data(), &length, 0, RESPONSE_HEAD_MAX) != RES_OK) return 1;
    text[static_cast<size_t>(length)] = '\0';
    char value[PARAM_MAX + 1];
    if (!aux_Kernel_GetInputParam(text.data(), "ResultCode", value) || strcmp(value, "0") != 0) return 1;
    // A purchase or refund names the code it can be cancelled by; a cancellation shows a card and no code.
    if (aux_Kernel_GetInputParam(text.data(), "OriginalCode", value)) {
        unsigned long code = aux_Kernel_IsDigits(value, 5) ? strtoul(value, nullptr, 10) : 0;
        if (code <= ORIGINAL_CODE_MAX) *originalCode = static_cast<uint16_t>(code);
    } else if (aux_Kernel_GetInputParam(text.data(), "CardNo", value)) {
        *approvedCancel = 1;
    }
    return 1;
}

void Kernel_DiscardUnpublishedResponse() {
    UtilFile_Delete(RESPONSE_TEMP_FILE);
    UtilFile_SyncDir(RESPONSE_TEMP_FILE);
}

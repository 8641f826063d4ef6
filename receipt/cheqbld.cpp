// receipt/cheqbld.cpp
#include "receipt/cheqbld.h"

#include <cstring>
#include <string>

#include "receipt/utilcheq.h"
#include "support/bigint.h"
#include "support/cardno.h"
#include "support/cp1251.h"
#include "support/currency.h"
#include "support/param.h"
#include "support/result_codes.h"

enum { WORDS_SIZE = 234 };

static const char* const kReportCurrencies[4] = {"BYN", "USD", "EUR", "RUB"};

// "DD.MM.20YY" and "hh:mm" of a YYMMDDhhmmss text at the two margins.
static void aux_CheqBld_PrintDateTime(const char* dateTime) {
    char date[16];
    char time[8];
    snprintf(date, sizeof(date), "%.2s.%.2s.20%.2s", dateTime + 4, dateTime + 2, dateTime);
    snprintf(time, sizeof(time), "%.2s:%.2s", dateTime + 6, dateTime + 8);
    UtilCheq_PrintJustify(date, time);
}

// The card number as a receipt shows it; keepPrefix keeps the first four digits of a 9112 card.
static std::string aux_CheqBld_CardNumber(const char* pan, bool keepPrefix) {
    char out[CARDNO_MASKED_SIZE];
    const size_t size = sizeof(S_PAY_ORDER::szPAN);
    return keepPrefix ? CardNo_MaskForReceipt(pan, size, out) : CardNo_Mask(pan, size, 'X', out);
}

// The amount in display form for the currency, without the currency code.
static std::string aux_CheqBld_Amount(const SBigInt* amount, const char* currency) {
    char text[CURRENCY_DISPLAY_SIZE + 8] = "";
    BigInt_IntToStr(amount, text);
    Currency_FormatAmount(currency, text);
    return text;
}

static void aux_CheqBld_PrintHeader(bool withPaySys, const SCheqContext* ctx) {
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, g_Config.szBankLogo, 1);
    const char* paySys = (withPaySys && ctx->szPaySysName && ctx->szPaySysName[0]) ? ctx->szPaySysName : CP1251("МПС");
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, paySys, 0);
    UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, g_Config.szBankTitle);
    char line[64];
    snprintf(line, sizeof(line), CP1251("Терминал: %s"), g_Config.szTerminalId);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, line, 0);
    UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, g_Config.szBankAddress);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, g_Config.szBankPhone, 1);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, g_Config.szDepartTitle, 1);
    snprintf(line, sizeof(line), CP1251("УНП: %s"), g_Config.szBankId);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, line, 0);
}

int CheqBld_Operation(S_PAY_ORDER* order, FILE* stream, int result, const SCheqContext* ctx) {
    if (stream == nullptr) return RES_RESPONSE_WRITE;
    UtilCheq_StartPrinting(stream, g_Config.ucChequeWidth);
    aux_CheqBld_PrintHeader(true, ctx);

    const uint8_t op = order->ucOpType;
    const bool cancel = op == OP_REVERSAL || op == OP_REVERSAL_OTHER;
    char line[128];
    snprintf(line, sizeof(line), CP1251("КАРТ-ЧЕК № %03d/%04d%s"), ctx->usBatchNo, order->usOriginalCode, cancel ? "R" : "");
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, line, 0);

    const char* name = "";
    switch (op) {
    case OP_SALE: name = CP1251("ОПЛАТА"); break;
    case OP_RETURN: name = CP1251("ВОЗВРАТ"); break;
    case OP_REVERSAL: name = CP1251("ОТМЕНА ОПЛАТЫ"); break;
    case OP_REVERSAL_OTHER: name = CP1251("ОТМЕНА ВОЗВРАТА"); break;
    }
    // A cancellation receipt shows when it was cancelled, not when the sale was made.
    if (cancel && ctx->szHostDateTime != nullptr && ctx->szHostDateTime[0] != '\0') {
        memcpy(order->szDateTime, ctx->szHostDateTime, sizeof(order->szDateTime));
        order->szDateTime[sizeof(order->szDateTime) - 1] = '\0';
    }
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, name, 0);
    aux_CheqBld_PrintDateTime(order->szDateTime);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, aux_CheqBld_CardNumber(order->szPAN, true).c_str(), 0);
    if (order->szAID[0] != '\0') UtilCheq_PrintString(CHEQ_ALIGN_LEFT, order->szAID, 0);
    if (order->szAppLabel[0] != '\0') UtilCheq_PrintString(CHEQ_ALIGN_LEFT, order->szAppLabel, 0);

    std::string amount = aux_CheqBld_Amount(&order->stAmount, order->szCurrency) + " " + order->szCurrency;
    UtilCheq_PrintJustify(CP1251("Сумма"), amount.c_str());

    if (order->szHostRespCode[0] != '\0') {
        snprintf(line, sizeof(line), "%.6s %.12s %.3s", order->szAuthCode, order->szRRN, order->szHostRespCode);
    } else {
        snprintf(line, sizeof(line), "%.6s %.12s %03d", order->szAuthCode, order->szRRN, order->usRespCode);
    }
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, line, 0);
    UtilCheq_EmptyString();

    if (result == RES_ALREADY_CANCELLED) {
        UtilCheq_PrintString(CHEQ_ALIGN_CENTER, CP1251("*** ОТМЕНЕНА РАНЕЕ ***"), 0);
        UtilCheq_EmptyString();
    }
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, CP1251("ОДОБРЕНО БАНКОМ"), 0);
    UtilCheq_EmptyString();

    const uint8_t pin = order->ucPINType;
    if (pin == PIN_OFFLINE || pin == PIN_OFFLINE_SIGNATURE || pin == PIN_ONLINE) {
        UtilCheq_PrintLongString(CHEQ_ALIGN_LEFT, CP1251("Операция подтверждена ПИН-кодом"));
    } else {
        UtilCheq_PrintString(CHEQ_ALIGN_LEFT, CP1251("Операция без ПИН-кода"), 0);
        UtilCheq_EmptyString();
    }
    if (pin == PIN_NOT_REQUIRED && (op == OP_SALE || op == OP_RETURN)) {
        UtilCheq_PrintString(CHEQ_ALIGN_LEFT, CP1251("Подпись держателя не требуется"), 0);
        UtilCheq_EmptyString();
    } else if (pin == PIN_CHIP_FAILED) {
        UtilCheq_PrintString(CHEQ_ALIGN_LEFT, CP1251("Проверка операции не выполнена"), 0);
        UtilCheq_EmptyString();
    }
    if (pin == PIN_NONE || pin == PIN_CHIP_FAILED || pin == PIN_OFFLINE_SIGNATURE || pin == PIN_NO_ONLINE) {
        UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, "___________________  ", 0);
        UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, CP1251("(подпись держателя)  "), 0);
    }
    return UtilCheq_EmptyString();
}

int CheqBld_PickUp(S_PAY_ORDER* order, FILE* stream, const SCheqContext* ctx) {
    if (stream == nullptr) return RES_RESPONSE_WRITE;
    UtilCheq_StartPrinting(stream, g_Config.ucChequeWidth);
    aux_CheqBld_PrintHeader(false, ctx);
    UtilCheq_EmptyString();
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, CP1251("ИЗЪЯТЬ КАРТОЧКУ"), 0);
    aux_CheqBld_PrintDateTime(order->szDateTime);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, aux_CheqBld_CardNumber(order->szPAN, true).c_str(), 0);
    UtilCheq_EmptyString();
    char line[64];
    snprintf(line, sizeof(line), "%.6s %.12s %03d", order->szAuthCode, order->szRRN, order->usRespCode);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, line, 0);
    UtilCheq_EmptyString();
    UtilCheq_PrintLongString(CHEQ_ALIGN_CENTER, ctx->szRespText ? ctx->szRespText : "");
    UtilCheq_EmptyString();
    UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, "____________________", 0);
    UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, CP1251("  (подпись кассира)"), 0);
    return UtilCheq_EmptyString();
}

// Each line of a text with line feeds, centred (and wrapped when wider than the receipt).
static void aux_CheqBld_PrintCentredLines(const char* text) {
    const std::string all = text != nullptr ? text : "";
    for (size_t from = 0; from < all.size();) {
        size_t feed = all.find('\n', from);
        if (feed == std::string::npos) feed = all.size();
        if (feed > from) UtilCheq_PrintLongString(CHEQ_ALIGN_CENTER, all.substr(from, feed - from).c_str());
        from = feed + 1;
    }
}

// The bank's verdict on a day close, unless it agreed the totals: different
// totals (501) are flagged, any other verdict (502 to 504: the bank did not
// close the day) is printed in the bank's words.
static void aux_CheqBld_PrintVerdict(const S_PAY_ORDER* order, const SCheqContext* ctx) {
    if (order->ucOpType != OP_CLOSE_DAY || order->usRespCode == RES_HOST_TOTALS_AGREED) return;
    if (order->usRespCode == RES_HOST_TOTALS_DIFFER) {
        UtilCheq_PrintString(CHEQ_ALIGN_CENTER, CP1251("НЕСОВПАДЕНИЕ СУММ !!!"), 0);
    } else {
        aux_CheqBld_PrintCentredLines(ctx->szRespText);
    }
}

// The batch line of a day close: opening date, batch number and the bank's action code.
static void aux_CheqBld_PrintBatchLine(const S_PAY_ORDER* order, const SCheqContext* ctx) {
    char line[64];
    snprintf(line, sizeof(line), "BDD/n %.6s/%03d Ac %03d", ctx->szBatchOpenedDate ? ctx->szBatchOpenedDate : "",
             ctx->usBatchNo, order->usRespCode);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, line, 0);
    UtilCheq_EmptyString();
}

namespace {
struct SSectionTotals {
    int completed = 0;
    int cancelled = 0;
    SBigInt completedAmt = {};
    SBigInt cancelledAmt = {};
};
}  // namespace

static bool aux_CheqBld_HasOperation(const SCheqContext* ctx, uint8_t op, const char* currency) {
    for (size_t i = 0; i < ctx->journalCount; ++i) {
        const S_PAY_ORDER& rec = ctx->pJournal[i];
        if (rec.ucOpType == op && strncmp(rec.szCurrency, currency, 3) == 0) return true;
    }
    return false;
}

static void aux_CheqBld_PrintSection(const S_PAY_ORDER* order, const SCheqContext* ctx, const char* title,
                                     bool sales, int currencyIndex) {
    const char* currency = kReportCurrencies[currencyIndex];
    const uint8_t completeOp = sales ? OP_SALE : OP_RETURN;
    const uint8_t cancelOp = sales ? OP_REVERSAL : OP_REVERSAL_OTHER;
    char line[160];

    aux_CheqBld_PrintHeader(false, ctx);
    UtilCheq_EmptyString();
    snprintf(line, sizeof(line), CP1251("%s № %03d-%s/%s"), title, ctx->usBatchNo, currency,
             sales ? CP1251("ОПЛАТА") : CP1251("ВОЗВРАТ"));
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, line, 0);
    aux_CheqBld_PrintDateTime(order->szDateTime);
    UtilCheq_EmptyString();

    SSectionTotals totals;
    for (size_t i = 0; i < ctx->journalCount; ++i) {
        const S_PAY_ORDER& rec = ctx->pJournal[i];
        if (strncmp(rec.szCurrency, currency, 3) != 0) continue;
        if (rec.ucOpType != completeOp && rec.ucOpType != cancelOp) continue;
        const bool isCancel = rec.ucOpType == cancelOp;
        if (isCancel) {
            ++totals.cancelled;
            BigInt_Add(&totals.cancelledAmt, &rec.stAmount);
        } else {
            ++totals.completed;
            BigInt_Add(&totals.completedAmt, &rec.stAmount);
        }
        if (g_Config.ucSmallReport) continue;
        char left[64];
        char right[64];
        const char* t = rec.szDateTime;
        snprintf(left, sizeof(left), "%04d%s", rec.usOriginalCode, isCancel ? "R" : "");
        snprintf(right, sizeof(right), "%.2s.%.2s.20%.2s %.2s:%.2s", t + 4, t + 2, t, t + 6, t + 8);
        UtilCheq_PrintJustify(left, right);
        std::string amount = aux_CheqBld_Amount(&rec.stAmount, rec.szCurrency) + " " + std::string(rec.szCurrency, strnlen(rec.szCurrency, 3));
        UtilCheq_PrintJustify(aux_CheqBld_CardNumber(rec.szPAN, false).c_str(), amount.c_str());
        snprintf(left, sizeof(left), "%.6s %03d", rec.szAuthCode, rec.usRespCode);
        const char* name = isCancel ? CP1251("ОТМЕНА") : (sales ? CP1251("ОПЛАТА") : CP1251("ВОЗВРАТ"));
        UtilCheq_PrintJustify(left, name);
        UtilCheq_EmptyString();
    }

    if (order->ucOpType == OP_CLOSE_DAY) aux_CheqBld_PrintBatchLine(order, ctx);

    SBigInt net;
    BigInt_Copy(&net, &totals.completedAmt);
    BigInt_Sub(&net, &totals.cancelledAmt);
    const std::string completedText = aux_CheqBld_Amount(&totals.completedAmt, currency);
    const std::string cancelledText = aux_CheqBld_Amount(&totals.cancelledAmt, currency);
    const std::string netText = aux_CheqBld_Amount(&net, currency);

    UtilCheq_PrintJustify(sales ? CP1251("Оплата тов./услуг") : CP1251("Возврат"), currency);
    snprintf(line, sizeof(line), CP1251("Выполнено %2d:"), totals.completed);
    UtilCheq_PrintJustify(line, completedText.c_str());
    snprintf(line, sizeof(line), CP1251("Отменено  %2d:"), totals.cancelled);
    UtilCheq_PrintJustify(line, cancelledText.c_str());
    snprintf(line, sizeof(line), CP1251("Итого     %2d:"), totals.completed + totals.cancelled);
    UtilCheq_PrintJustify(line, netText.c_str());
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, "----------", 0);
    UtilCheq_PrintJustify(sales ? CP1251("Всего оплачено") : CP1251("Всего возвращено"), netText.c_str());
    UtilCheq_EmptyString();
    aux_CheqBld_PrintVerdict(order, ctx);
    UtilCheq_EmptyString();

    std::string plain;
    for (char c : netText) {
        if (c != ' ') plain += c;
    }
    char words[WORDS_SIZE];
    UtilCheq_BigIntToWords(plain.c_str(), words, sizeof(words), currencyIndex);
    UtilCheq_PrintLongString(CHEQ_ALIGN_CENTER, words);
    UtilCheq_PrintLine('_');
    UtilCheq_PrintString(CHEQ_ALIGN_CENTER, CP1251("(сумма прописью)"), 0);
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, CP1251("   М.П."), 0);
    UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, "_____________________", 0);
    UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, CP1251("(подпись кассира)  "), 0);
    UtilCheq_EmptyString();
}

// A report without a section still shows a day close's verdict other than
// agreed totals, with the batch line that names it.
static int aux_CheqBld_PrintLoneVerdict(const S_PAY_ORDER* order, const SCheqContext* ctx, int rc) {
    if (order->ucOpType != OP_CLOSE_DAY || order->usRespCode == RES_HOST_TOTALS_AGREED) return rc;
    aux_CheqBld_PrintBatchLine(order, ctx);
    aux_CheqBld_PrintVerdict(order, ctx);
    return UtilCheq_EmptyString();
}

int CheqBld_Report(S_PAY_ORDER* order, FILE* stream, const SCheqContext* ctx) {
    if (stream == nullptr) return RES_RESPONSE_WRITE;
    UtilCheq_StartPrinting(stream, g_Config.ucChequeWidth);
    const char* title = order->ucOpType == OP_DAY_REPORT ? CP1251("ИТОГИ") : CP1251("ОТЧЕТ");

    if (ctx->journalCount == 0) {
        char line[64];
        aux_CheqBld_PrintHeader(false, ctx);
        UtilCheq_EmptyString();
        snprintf(line, sizeof(line), CP1251("%s № %03d"), title, ctx->usBatchNo);
        UtilCheq_PrintString(CHEQ_ALIGN_CENTER, line, 0);
        aux_CheqBld_PrintDateTime(order->szDateTime);
        UtilCheq_EmptyString();
        UtilCheq_PrintString(CHEQ_ALIGN_LEFT, CP1251("НЕТ ОПЕРАЦИЙ"), 0);
        int rc = UtilCheq_EmptyString();
        return aux_CheqBld_PrintLoneVerdict(order, ctx, rc);
    }

    bool printed = false;
    for (int pass = 0; pass < 2; ++pass) {
        const bool sales = pass == 0;
        for (int currency = 0; currency < 4; ++currency) {
            if (!aux_CheqBld_HasOperation(ctx, sales ? OP_SALE : OP_RETURN, kReportCurrencies[currency])) continue;
            aux_CheqBld_PrintSection(order, ctx, title, sales, currency);
            printed = true;
        }
    }
    return printed ? RES_OK : aux_CheqBld_PrintLoneVerdict(order, ctx, RES_OK);
}

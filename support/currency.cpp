// support/currency.cpp
#include "support/currency.h"

#include <cstring>
#include <strings.h>

struct SCurrencyRow {
    const char* szAlpha;
    const char* szNum;
};

static const SCurrencyRow m_CurrencyTable[] = {
    {"BYR", "974"}, {"BYN", "933"}, {"USD", "840"}, {"EUR", "978"}, {"RUB", "643"},
};

static const SCurrencyRow* aux_Currency_Find(const char* code) {
    if (code == nullptr) return nullptr;
    for (const SCurrencyRow& row : m_CurrencyTable) {
        // Letters in any case name the same currency: "usd" is USD.
        if (strcasecmp(code, row.szAlpha) == 0 || strcmp(code, row.szNum) == 0) return &row;
    }
    return nullptr;
}

// Inserts c before position, moving the rest of the text and its terminator right.
static void aux_Currency_StrInsChar(char* text, char c, int position) {
    size_t length = strlen(text);
    memmove(text + position + 1, text + position, length - position + 1);
    text[position] = c;
}

void Currency_ConvToAlpha(const char* code, char* out) {
    const SCurrencyRow* row = aux_Currency_Find(code);
    if (row != nullptr) memcpy(out, row->szAlpha, 4);
}

void Currency_ConvToNum(const char* code, char* out) {
    const SCurrencyRow* row = aux_Currency_Find(code);
    if (row != nullptr) memcpy(out, row->szNum, 4);
}

void Currency_FormatAmount(const char* currency, char* amount) {
    if (amount == nullptr) return;
    if (strnlen(amount, CURRENCY_AMOUNT_MAX_INPUT + 1) > CURRENCY_AMOUNT_MAX_INPUT) return;
    int decimals = (currency != nullptr && strncmp(currency, "BYR", 3) == 0) ? 0 : 2;

    // The sign stays in front of the digits: padding and grouping work on the
    // digits alone, so "-5" becomes "-0.05" and not "0.-5".
    char* digits = amount[0] == '-' ? amount + 1 : amount;
    while (static_cast<int>(strlen(digits)) < decimals + 1) aux_Currency_StrInsChar(digits, '0', 0);

    int integerLength = static_cast<int>(strlen(digits));
    if (decimals > 0) {
        integerLength -= decimals;
        aux_Currency_StrInsChar(digits, '.', integerLength);
    }
    for (int position = integerLength - 3; position > 0; position -= 3) {
        aux_Currency_StrInsChar(digits, ' ', position);
    }
}

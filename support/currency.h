// support/currency.h
// Currency codes (ISO 4217) and the display form of amounts.
#pragma once

enum {
    // Longest amount text (minor units, optional leading "-") that
    // Currency_FormatAmount rewrites; a longer text is left as it is.
    CURRENCY_AMOUNT_MAX_INPUT = 20,
    // Buffer that holds the display form of any accepted text: the text, the
    // decimal point, one space per three digits and the terminator.
    CURRENCY_DISPLAY_SIZE = 27,
};

// Writes the alphabetic form ("BYN") of an alphabetic (in any case) or numeric
// code into out (4 bytes); leaves out untouched for codes outside the table.
void Currency_ConvToAlpha(const char* code, char* out);
// Writes the numeric form ("933") of an alphabetic (in any case) or numeric
// code into out (4 bytes); leaves out untouched for codes outside the table,
// which the terminal cannot send to the bank.
void Currency_ConvToNum(const char* code, char* out);
// Rewrites a text of minor units in place into its display form for the
// currency: "123456" in USD becomes "1 234.56", "1234567" in BYR "1 234 567",
// "-5" in BYN "-0.05". amount must have room for CURRENCY_DISPLAY_SIZE bytes;
// texts over CURRENCY_AMOUNT_MAX_INPUT characters are left unchanged.
void Currency_FormatAmount(const char* currency, char* amount);

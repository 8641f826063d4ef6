// receipt/utilcheq.h
// The receipt line printer: fixed-width Windows-1251 lines written to the
// receipt stream in UTF-8 as XML character data (the stream is the response
// file's receipt element), alignment, wrapping, and amounts in Russian words.
#pragma once
#include <cstddef>
#include <cstdio>

#include "support/param.h"

enum : unsigned char { CHEQ_ALIGN_LEFT = 1, CHEQ_ALIGN_CENTER = 2, CHEQ_ALIGN_RIGHT = 3 };
// The width's range is CHEQUEWIDTH's, which the configuration loader names in its warnings.
enum { CHEQ_WIDTH_MIN = PARAM_CHEQUE_WIDTH_MIN, CHEQ_WIDTH_MAX = PARAM_CHEQUE_WIDTH_MAX, CHEQ_LONG_TEXT_MAX = 250 };

// Keeps the stream and the width (held within 20..80).
void UtilCheq_StartPrinting(FILE* file, int width);
// Returns the current line width.
int UtilCheq_GetWidth();
// One line aligned in the width; with skipBlank, a blank text writes nothing; RES_OK or RES_RESPONSE_WRITE.
int UtilCheq_PrintString(unsigned char alignment, const char* text, unsigned char skipBlank);
// Two texts at the two margins, or on two lines when they do not fit; RES_OK or RES_RESPONSE_WRITE.
int UtilCheq_PrintJustify(const char* left, const char* right);
// A text wrapped over as many lines as it needs (at most 250 characters); RES_OK or RES_RESPONSE_WRITE.
int UtilCheq_PrintLongString(unsigned char alignment, const char* text);
// An empty line; RES_OK or RES_RESPONSE_WRITE.
int UtilCheq_EmptyString();
// A full line of the character; RES_OK or RES_RESPONSE_WRITE.
int UtilCheq_PrintLine(char character);
// Spells "1234.56" (major units, "." and minor units) in words for the
// currency index (0 BYN, 1 USD, 2 EUR, 3 RUB) into out, cleared over size first.
void UtilCheq_BigIntToWords(const char* amount, char* out, size_t size, int currency);

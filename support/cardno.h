// support/cardno.h
// Card numbers as the terminal shows and keeps them: no more than the last
// four digits, and the rule of the cards whose number starts with 9112.
#pragma once
#include <cstddef>

enum {
    CARDNO_MASK_CHARS = 12,   // characters that stand in front of the last four
    CARDNO_MASKED_SIZE = 17,  // the masked form and its terminator
};

// Writes the masked form of pan (a text of at most panSize bytes): twelve fill
// characters, then its last four characters (all of a shorter number);
// out takes CARDNO_MASKED_SIZE bytes. Returns out.
char* CardNo_Mask(const char* pan, size_t panSize, char fill, char* out);
// The receipt's form: twelve "X" and the last four, except that a 9112 card
// (CardNo_Is9112) keeps its first four digits in front of eight "X". Returns out.
char* CardNo_MaskForReceipt(const char* pan, size_t panSize, char* out);
// 1 when the card number starts with 9112: such a card gives its PIN for a
// refund read from the stripe and shows its first digits on the receipt; else 0.
int CardNo_Is9112(const char* pan);

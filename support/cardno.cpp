// support/cardno.cpp
#include "support/cardno.h"

#include <cstring>

// Digits of a card number that may be shown.
static const size_t CARDNO_SHOWN = 4;

static const char kPrefix9112[] = "9112";

// Fill characters after the first keep characters of pan, then the last four.
static char* aux_CardNo_Mask(const char* pan, size_t panSize, size_t keep, char fill, char* out) {
    size_t len = strnlen(pan, panSize);
    size_t tail = len < CARDNO_SHOWN ? len : CARDNO_SHOWN;
    memcpy(out, pan, keep);
    memset(out + keep, fill, CARDNO_MASK_CHARS - keep);
    memcpy(out + CARDNO_MASK_CHARS, pan + len - tail, tail);
    out[CARDNO_MASK_CHARS + tail] = '\0';
    return out;
}

char* CardNo_Mask(const char* pan, size_t panSize, char fill, char* out) {
    return aux_CardNo_Mask(pan, panSize, 0, fill, out);
}

char* CardNo_MaskForReceipt(const char* pan, size_t panSize, char* out) {
    return aux_CardNo_Mask(pan, panSize, CardNo_Is9112(pan) ? CARDNO_SHOWN : 0, 'X', out);
}

int CardNo_Is9112(const char* pan) { return strncmp(pan, kPrefix9112, strlen(kPrefix9112)) == 0; }

// support/bigint.cpp
#include "support/bigint.h"

#include <cstdio>
#include <cstring>

static const uint32_t kLimbBase = 1000000000u;  // one limb holds 9 decimal digits
static const int kLimbDigits = 9;
static const int kMaxDigits = 18;

static bool aux_BigInt_IsNegative(const SBigInt* value) { return value->ucSign == 1; }

// Reads up to count decimal digits; the caller has already measured the run.
static uint32_t aux_BigInt_ReadDigits(const char* digits, int count) {
    uint32_t number = 0;
    for (int i = 0; i < count; ++i) number = number * 10u + static_cast<uint32_t>(digits[i] - '0');
    return number;
}

// |a| - |b| into a, the caller guarantees |a| >= |b|.
static void aux_BigInt_SubMagnitude(SBigInt* a, const SBigInt* b) {
    if (a->ulLow < b->ulLow) {
        a->ulLow = a->ulLow + kLimbBase - b->ulLow;
        a->ulHigh = a->ulHigh - 1u - b->ulHigh;
    } else {
        a->ulLow -= b->ulLow;
        a->ulHigh -= b->ulHigh;
    }
}

void BigInt_Copy(SBigInt* destination, const SBigInt* source) {
    memmove(destination, source, sizeof(SBigInt));
}

void BigInt_StrToInt(const char* text, SBigInt* out) {
    out->ucSign = 0;
    out->ulHigh = 0;
    out->ulLow = 0;
    if (text == nullptr) return;
    if (*text == '-') {
        out->ucSign = 1;
        ++text;
    }
    // Only the leading run of digits counts, as atol reads it; the scan stops
    // one past the widest amount so that a long text is never walked whole.
    int digits = 0;
    while (digits <= kMaxDigits && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits > kMaxDigits) {
        // Too wide for the type: zero marked negative, which no real amount is.
        out->ucSign = 1;
        return;
    }
    if (digits <= kLimbDigits) {
        out->ulLow = aux_BigInt_ReadDigits(text, digits);
    } else {
        int highDigits = digits - kLimbDigits;
        out->ulHigh = aux_BigInt_ReadDigits(text, highDigits);
        out->ulLow = aux_BigInt_ReadDigits(text + highDigits, kLimbDigits);
    }
}

int BigInt_IntToStr(const SBigInt* value, char* out) {
    char* digits = out;
    if (aux_BigInt_IsNegative(value)) {
        *digits++ = '-';
    }
    int written;
    if (value->ulHigh != 0) {
        written = snprintf(digits, BIGINT_TEXT_SIZE - 1, "%lu%09lu", static_cast<unsigned long>(value->ulHigh),
                           static_cast<unsigned long>(value->ulLow));
    } else {
        written = snprintf(digits, BIGINT_TEXT_SIZE - 1, "%lu", static_cast<unsigned long>(value->ulLow));
    }
    return written;
}

int8_t BigInt_ModCmp(const SBigInt* a, const SBigInt* b) {
    if (a->ulHigh != b->ulHigh) return a->ulHigh > b->ulHigh ? 1 : -1;
    if (a->ulLow != b->ulLow) return a->ulLow > b->ulLow ? 1 : -1;
    return 0;
}

void BigInt_Add(SBigInt* a, const SBigInt* b) {
    SBigInt addend;
    BigInt_Copy(&addend, b);  // b may be a itself
    if (aux_BigInt_IsNegative(a) == aux_BigInt_IsNegative(&addend)) {
        a->ulLow += addend.ulLow;
        while (a->ulLow >= kLimbBase) {
            a->ulLow -= kLimbBase;
            a->ulHigh += 1u;
        }
        a->ulHigh += addend.ulHigh;
        return;
    }
    int8_t cmp = BigInt_ModCmp(a, &addend);
    if (cmp == 0) {
        a->ucSign = 0;
        a->ulHigh = 0;
        a->ulLow = 0;
    } else if (cmp > 0) {
        aux_BigInt_SubMagnitude(a, &addend);
    } else {
        aux_BigInt_SubMagnitude(&addend, a);
        BigInt_Copy(a, &addend);
    }
}

void BigInt_Sub(SBigInt* a, const SBigInt* b) {
    SBigInt negated;
    BigInt_Copy(&negated, b);
    negated.ucSign = negated.ucSign == 1 ? 0 : 1;
    BigInt_Add(a, &negated);
}

// support/bigint.h
// The amount type SBigInt: sign byte and two 32-bit limbs (value / 10^9 and
// value % 10^9), 9 bytes packed; the same layout on disk.
#pragma once
#include <cstdint>

#pragma pack(push, 1)
struct SBigInt {
    uint8_t ucSign;   // 1 negative, anything else positive
    uint32_t ulHigh;  // value / 1 000 000 000
    uint32_t ulLow;   // value % 1 000 000 000
};
#pragma pack(pop)
static_assert(sizeof(SBigInt) == 9, "SBigInt is 9 bytes on disk");

// Copies all 9 bytes of source into destination.
void BigInt_Copy(SBigInt* destination, const SBigInt* source);
// Parses a decimal text (leading "-" negative, then the leading run of digits)
// into out; more than 18 digits give zero with the negative sign. Reads at most
// 20 characters of text, so any terminated text (or null, read as zero) is safe.
void BigInt_StrToInt(const char* text, SBigInt* out);
// Room for the text of any SBigInt: sign, two limbs of up to 10 digits each
// (a damaged record may hold limbs above 999 999 999), terminator.
enum { BIGINT_TEXT_SIZE = 22 };

// Writes the decimal text of value into out (BIGINT_TEXT_SIZE bytes suffice
// for any value, 20 for a normalised one); returns the characters written after the sign.
int BigInt_IntToStr(const SBigInt* value, char* out);
// Compares magnitudes: 0 equal, 1 when a is larger, -1 when b is larger.
int8_t BigInt_ModCmp(const SBigInt* a, const SBigInt* b);
// a becomes a + b.
void BigInt_Add(SBigInt* a, const SBigInt* b);
// a becomes a - b.
void BigInt_Sub(SBigInt* a, const SBigInt* b);

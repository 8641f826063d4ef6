// support/convert.h
// Hexadecimal, binary, packed-number and packed-decimal (BCD) conversions of
// message and chip-card data, and the millisecond tick count. None of them
// reports an error; none writes past the length it is given.
#pragma once
#include <cstdint>

// Reads two hexadecimal characters (either case; any other character reads as 0) into out.
void Convert_HexToByte(const char* hex, uint8_t* out);
// Writes byte as two upper-case hexadecimal characters into out (no terminator).
void Convert_ByteToHex(uint8_t byte, char* out);
// Writes 2 x count hexadecimal characters of bytes into text, no terminator.
void Convert_BinToHex(const void* bytes, char* text, int count);
// Reads 2 x count hexadecimal characters of text into count bytes.
void Convert_HexToBin(const char* text, void* bytes, int count);
// Writes value into length bytes (1..4; other lengths write nothing), most
// significant first when order is 0, least significant first otherwise.
void Convert_NumToBuf(uint32_t value, void* buffer, int length, int order);
// Reads a number of length bytes (1..4) in the given order; other lengths give 0.
uint32_t Convert_BufToNum(const void* buffer, int length, int order);
// Packs the value's decimal digits, right-justified and zero-filled to digits,
// two per byte (high nibble first) into the first digits / 2 bytes; a value
// wider than the count keeps its lowest digits.
void Convert_ULongToBCD(uint32_t value, void* buffer, int digits);
// Writes value as upper-case hexadecimal for radix 16, decimal for any other;
// returns text (11 bytes hold any 32-bit value, 21 any unsigned long).
char* ultoa(unsigned long value, char* text, int radix);
// Milliseconds of the wall clock as a wrapping 32-bit count (seeds the C generator).
uint32_t GetTickCount();

// pinpad/tagtake.h
// Taking values out of a TLV reply of the PIN pad into an order, with the
// length checks the chip and the contactless readers share. A value is read
// from the first object with its tag; with TAGTAKE_DROP every object with
// the tag is removed afterwards, taken or not, so that it does not stay in
// the EMV data kept for the host.
#pragma once
#include <cstdint>

#include "pinpad/tlv.h"

enum : uint8_t {
    TAGTAKE_DROP = 0x01,  // remove every object with the tag afterwards
    TAGTAKE_CUT = 0x02,   // a text longer than maxLen is cut instead of refused
};

// Value of the first object with tag and its length into *len; null when absent.
const uint8_t* TagTake_Find(S_TLV* tlv, uint32_t tag, uint32_t* len);
// Copies the value when it has exactly len bytes (dest null: a check only). 0 or 1.
int TagTake_Fixed(S_TLV* tlv, uint32_t tag, uint32_t len, void* dest, uint8_t flags = 0);
// Copies a value of minLen..maxLen bytes as a text into dest (maxLen + 1
// bytes, cleared first). 0 or 1 (dest untouched).
int TagTake_Text(S_TLV* tlv, uint32_t tag, uint32_t minLen, uint32_t maxLen, char* dest, uint8_t flags = 0);
// Writes a value of minLen..maxLen bytes as hexadecimal text into dest
// (2 * maxLen + 1 bytes, cleared first). 0 or 1 (dest untouched).
int TagTake_Hex(S_TLV* tlv, uint32_t tag, uint32_t minLen, uint32_t maxLen, char* dest, uint8_t flags = 0);
// Reads an enciphered value: its clear length L (1..maxLen) in the first
// byte, then exactly pad8(L) bytes, at most encMax, into enc (encMax bytes,
// cleared first); *len = L. 0 or 1 (outputs untouched).
int TagTake_Enc(S_TLV* tlv, uint32_t tag, uint32_t maxLen, uint32_t encMax, uint8_t* len, uint8_t* enc,
                uint8_t flags = 0);
// Removes every object with tag.
void TagTake_Drop(S_TLV* tlv, uint32_t tag);

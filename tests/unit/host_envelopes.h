// tests/unit/host_envelopes.h
// Answers of the bank's host written out byte by byte from the message format
// (status byte 0, type, bitmaps in hexadecimal, fields in ascending order,
// fixed fields at their full width, LL/LLL prefixes in decimal), each with the
// fields it carries. The terminal's parsers are checked against the bytes
// (test_host_messages) and the host emulator's packer must write the same bytes
// from the fields (test_hostpack), so neither side is checked only against itself.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace envelopes {

struct Literal {
    const char* name;
    uint16_t mti;
    std::vector<std::pair<unsigned, std::string>> fields;  // field 1 (the secondary bitmap) is the packer's
    std::string bytes;                                     // the whole response envelope
};

// "\0" starts each envelope: status 0, a message follows.
inline std::string Ok(const std::string& message) { return std::string(1, '\0') + message; }

// Bits 3 4 | 11 12 | 37 38 39 | 41 | 49.
inline const Literal kApprove = {
    "approve", 1210,
    {{3, "000000"}, {4, "000000001500"}, {11, "000042"}, {12, "250203140509"}, {37, "503414070042"},
     {38, "123456"}, {39, "000"}, {41, "TERM0001"}, {49, "933"}},
    Ok("1210" "303000000E808000" "000000" "000000001500" "000042" "250203140509" "503414070042" "123456"
       "000" "TERM0001" "933")};

// Bits 37 38 39 | 41: a decline with the approval code 000000.
inline const Literal kDecline = {
    "decline", 1210,
    {{37, "503414070042"}, {38, "000000"}, {39, "116"}, {41, "TERM0001"}},
    Ok("1210" "000000000E800000" "503414070042" "000000" "116" "TERM0001")};

// Bits 12 | 37 | 41, no action code.
inline const Literal kHoldOn = {
    "hold-on", 1810,
    {{12, "250203140509"}, {37, "503414070042"}, {41, "TERM0001"}},
    Ok("1810" "0010000008800000" "250203140509" "503414070042" "TERM0001")};

// Bits 3 4 | 37 38 39 | 41 | 49 54; field 54: two balance blocks (account type,
// amount type, currency, sign, 12 digits) behind the prefix 040.
inline const Literal kBalance = {
    "balance with field 54", 1110,
    {{3, "310000"}, {4, "000000000000"}, {37, "503414070042"}, {38, "654321"}, {39, "000"}, {41, "TERM0001"},
     {49, "933"}, {54, "0002933C000000100000" "0001933C000000095000"}},
    Ok("1110" "300000000E808400" "310000" "000000000000" "503414070042" "654321" "000" "TERM0001" "933"
       "040" "0002933C000000100000" "0001933C000000095000")};

// Bits 4 | 37 38 39 | 55; field 55: issuer authentication data and a script, prefix 036.
inline const Literal kChip = {
    "chip answer with field 55", 1210,
    {{4, "000000001500"}, {37, "503414070042"}, {38, "A1B2C3"}, {39, "000"},
     {55, "910A00112233445566778899" "7204860200AB"}},
    Ok("1210" "100000000E000200" "000000001500" "503414070042" "A1B2C3" "000"
       "036" "910A00112233445566778899" "7204860200AB")};

// Bits 1 | 37 38 39, secondary bitmap with bit 95 alone; field 95 behind the prefix 07.
inline const Literal kField95 = {
    "secondary bitmap and field 95", 1210,
    {{37, "503414070042"}, {38, "123456"}, {39, "000"}, {95, "F95DATA"}},
    Ok("1210" "800000000E000000" "0000000200000000" "503414070042" "123456" "000" "07" "F95DATA")};

// Bits 12 | 37 38 39 | 41: the totals agreed.
inline const Literal kSettled = {
    "reconciliation agreed", 1530,
    {{12, "250203140509"}, {37, "503414070042"}, {38, "OK0001"}, {39, "500"}, {41, "TERM0001"}},
    Ok("1530" "001000000E800000" "250203140509" "503414070042" "OK0001" "500" "TERM0001")};

// Bits 12 | 37 39 | 41: the echo test's answer.
inline const Literal kEcho = {
    "echo answer", 1810,
    {{12, "250203140509"}, {37, "503414070042"}, {39, "800"}, {41, "TERM0001"}},
    Ok("1810" "001000000A800000" "250203140509" "503414070042" "800" "TERM0001")};

// Bits 37 38 39 | 41 48; field 48: presence byte 01, key data of 46 characters
// holding one KYVL element, itself a working key element (MTPK, 32 characters).
inline const Literal kKeys = {
    "key download", 1814,
    {{37, "503414070042"}, {38, "123456"}, {39, "800"}, {41, "TERM0001"},
     {48, "01046" "KYVL039" "MTPK032" "0123456789ABCDEFFEDCBA9876543210"}},
    Ok("1814" "000000000E810000" "503414070042" "123456" "800" "TERM0001"
       "051" "01046" "KYVL039" "MTPK032" "0123456789ABCDEFFEDCBA9876543210")};

inline const Literal* const kAll[] = {&kApprove, &kDecline, &kHoldOn, &kBalance, &kChip,
                                      &kField95, &kSettled, &kEcho,   &kKeys};

}  // namespace envelopes

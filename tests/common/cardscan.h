// tests/common/cardscan.h
// Looks for the card data an emulated pad handed out in what the terminal
// keeps on disk: the card number, the track-2 equivalent and the PIN block, in
// clear and in the shapes a leak takes (digits, packed BCD, track 2 with "="
// or "D", the PIN block raw or in hexadecimal). A masked number (first six and
// last four) is no finding.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct SCardData {
    std::string pan;
    std::string track2;             // as the pad encodes it, with "=" between number and expiry
    std::vector<uint8_t> pinBlock;  // as the pad returned it
};

// Reads the file pinpad_emu writes with -d; false when it is missing or incomplete.
bool ReadCardData(const std::string& path, SCardData* out);

// One line per occurrence of any of cards in bytes: "<name> offset <n>: <what>",
// naming the card only masked.
std::vector<std::string> FindCardData(const std::string& name, const std::string& bytes,
                                      const std::vector<SCardData>& cards);

// FindCardData over every file below LOG/, DATA/ and TEMP/ of the payment
// directory and its response files (RAVORS.XML and any RAVORS.XML* beside it);
// names are relative to the directory.
std::vector<std::string> ScanPaymentDir(const std::string& pay, const std::vector<SCardData>& cards);

}  // namespace emu

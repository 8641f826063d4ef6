// support/rangefile.h
// The card-range table's file format (DATA/RANGE.CFG, stored on the PIN pad as
// RANGES) and the one check that a table is whole and readable as the kernel
// and the pad use it. Every place a table is taken in calls it: the kernel's
// start before the table goes to the pad, the management session before a new
// table replaces the old one, PADFEED -r, and the check program.
#pragma once
#include <cstddef>
#include <cstdint>

#define RANGES_FILE "DATA/RANGE.CFG"

#pragma pack(push, 1)
struct SRangeEntry {
    char szPrefix[20];        // digits a card number starts with; "*" or empty matches every card
    char szPaySysName[31];    // printed on receipts
    uint8_t ucPinFlag;        // a magnetic-stripe purchase asks for a PIN
    uint8_t ucChipFlag;       // chip permitted (for the PIN pad)
    uint8_t ucPadData1[4];    // carried for the PIN pad
    uint8_t ucReturnFlag;     // refunds allowed
    uint8_t ucBalanceFlag;    // balance inquiries allowed
    uint8_t ucPadData2[72];   // carried for the PIN pad
};
#pragma pack(pop)
static_assert(sizeof(SRangeEntry) == 131, "a card-range entry is 131 bytes on disk");

enum {
    RANGES_ENTRY_SIZE = 131,
    RANGES_MAX_FILE_SIZE = 65000,  // the most the PIN pad takes
    RANGES_REASON_SIZE = 128,      // room for the reason of a refusal
};

// Checks a table in memory: at least one entry, whole entries only, at most
// RANGES_MAX_FILE_SIZE bytes; in every entry the prefix is "*" or 1 to 19
// digits and the payment-system name 1 to 30 printable bytes (Windows-1251
// letters included), each ended by a zero inside its field. The flags are
// taken as they are (any non-zero byte is set). RES_OK, or RES_NO_RANGES with
// the reason (entry number from 1, field, rule) in reason.
int RangeFile_CheckBuffer(const uint8_t* data, size_t size, char* reason, size_t reasonSize);
// The same for a file; a refusal is logged with the path and the reason.
// reason may be null. RES_OK or RES_NO_RANGES.
int RangeFile_Check(const char* path, char* reason, size_t reasonSize);

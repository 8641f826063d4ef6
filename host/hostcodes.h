// host/hostcodes.h
// Result-code helpers of the host message builder (TMMsgBuilder_): which of
// the host's three-digit action codes count as success, and the Russian text
// of each code (Windows-1251, "|" between display lines).
#pragma once
#include <cstdint>

// Smallest destination that TMMsgBuilder_GetResultCodeDesc may fill: the
// longest text (codes 112 and 127) is 52 bytes, plus the terminator.
enum { TMMSG_RESULT_DESC_SIZE = 53 };

// True for an approved operation: codes 0..99 and 400, 499, 500, 501, 800.
bool TMMsgBuilder_IsSuccessResult(uint16_t code);
// True only when the host agreed the day-close totals (RES_HOST_TOTALS_AGREED).
bool TMMsgBuilder_IsSuccessBatch(uint16_t code);
// Writes the text of an action code into destination (at least
// TMMSG_RESULT_DESC_SIZE bytes) and returns destination; cardCapture selects
// the "ИЗЪЯТЬ КАРТОЧКУ" wording of the 2xx codes. A null destination is left alone.
char* TMMsgBuilder_GetResultCodeDesc(uint16_t code, bool cardCapture, char* destination);

// support/mpsutils.h
// Values of host messages taken from the local clock: the date-time text and
// the retrieval reference number.
#pragma once
#include <cstdint>

enum {
    MPSUTILS_DATETIME_SIZE = 13,  // YYMMDDhhmmss and terminator
    MPSUTILS_RRN_SIZE = 13,       // 12 characters and terminator
};

// Writes the local time as YYMMDDhhmmss, terminated (13 bytes).
void MPSUtils_GetCurrentTime(char* out);
// Writes a 12-character retrieval reference number, terminated (13 bytes):
// last digit of the year, day of the year (3 digits), hour, batch number
// modulo 100 (2 digits), reference index (4 digits), from the local time.
// The batch belongs to the kernel layer, which this module may not call, so
// the kernel passes the open batch's number and Batch_GetRRNIndex(); an index
// outside 0..9999 keeps its lowest four digits.
void MPSUtils_MakeRRN(char* out, uint32_t batchNo, uint16_t rrnIndex);

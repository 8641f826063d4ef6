// kernel/ranges.h
// The card-range table DATA/RANGE.CFG: 131-byte entries telling per range of
// card numbers the payment system's name and what the terminal may do with
// the card. The kernel reads it entry by entry; one entry at a time is current.
#pragma once
#include <cstdint>

// The file, its entry layout and the check of a whole table.
#include "support/rangefile.h"

// Number of entries (file length / 131 as a 16-bit count); 0 when the file is missing or unmeasurable.
uint16_t Ranges_GetCount();
// No entry current.
void Ranges_Reset();
// Makes current the range reported by the PIN pad (rangeNo from 1), unless an
// entry after it matches pan by prefix or is "*"; 0, or -1 when none was accepted.
int Ranges_SetRange(const char* pan, uint16_t rangeNo);
// The current entry's payment-system name; "" when none is current.
const char* Ranges_GetPaySysName();
// The current entry's PIN, refund and balance flags (1 or 0); 0 when none is current.
int Ranges_IsPinEnable();
int Ranges_IsReturnEnable();
int Ranges_IsBalanceEnable();
// Index of the current entry, -1 when none.
int Ranges_GetIndex();

// kernel/kernel_host_internal.h
// The host exchange's reading of field 54 (the balance blocks), for the tests.
#pragma once

enum { KERNEL_BALANCE_AMOUNT_SIZE = 40 };

// Picks the balance block of field 54 (terminated) for currency (letters or
// digits; the last available block of that currency, else the first block):
// amount (KERNEL_BALANCE_AMOUNT_SIZE bytes) gets its signed digits, shown (4 bytes)
// the block's currency code. RES_OK, or RES_BALANCE_SHORT when no whole block is there.
int Kernel_PickBalance(const char* addAmounts, const char* currency, char* amount, char* shown);

// receipt/cheqbld.h
// The receipts written into the response: operation, pick-up and day report.
#pragma once
#include <cstdio>

#include "support/payorder.h"

// Writes the operation receipt for the result into stream; 0 or a result code.
int CheqBld_Operation(S_PAY_ORDER* order, FILE* stream, int result);
// Writes the card pick-up receipt into stream; 0 or a result code.
int CheqBld_PickUp(S_PAY_ORDER* order, FILE* stream);
// Writes the day report of the open batch into stream; 0 or a result code.
int CheqBld_Report(S_PAY_ORDER* order, FILE* stream);

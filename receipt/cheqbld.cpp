// receipt/cheqbld.cpp
// Receipt layouts arrive with the operations release; until then a receipt
// is refused, and the response builder answers 1200 rather than print an
// empty receipt.
#include "receipt/cheqbld.h"

#include "support/result_codes.h"

int CheqBld_Operation(S_PAY_ORDER*, FILE*, int) { return RES_NOT_IMPLEMENTED; }

int CheqBld_PickUp(S_PAY_ORDER*, FILE*) { return RES_NOT_IMPLEMENTED; }

int CheqBld_Report(S_PAY_ORDER*, FILE*) { return RES_NOT_IMPLEMENTED; }

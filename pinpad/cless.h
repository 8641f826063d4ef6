// pinpad/cless.h
// The contactless transaction: the pad's contactless kernel does the whole
// card interaction during the card-read loop; the terminal hands it the
// transaction data before each card request and, when a contactless card
// was presented, takes the outcome and the card data into the order.
#pragma once
#include <cstdint>

#include "support/payorder.h"

// Contactless outcome kinds (9FFF14) accepted into ucClessMode.
enum : uint8_t { CLESS_MODE_MIN = 8, CLESS_MODE_MAX = 11 };
// Cardholder-verification outcome (9FFF08).
enum : uint8_t { CLESS_CVM_NONE = 0x00, CLESS_CVM_ONLINE_PIN = 0x02, CLESS_CVM_SIGNATURE = 0x10 };

// (4,19) Hands the pad the transaction data of order; their date and time (YYMMDDhhmmss,
// MPSUTILS_DATETIME_SIZE bytes) go to hostDateTime unless it is null. The exchange result (0 = set)
// or RES_EMV_AMOUNT.
int CardReader_SetClessParam(S_PAY_ORDER* order, char* hostDateTime = nullptr);
// (4,20) Takes the contactless outcome and card data into order; the EMV data that stay for the host
// go to szICCData. RES_OK, RES_EMV_TRACK2..RES_EMV_CID, RES_EMV_DATA_TOO_LONG, RES_CLESS_RESULT or
// RES_CLESS_MODE.
int CardReader_GetClessResult(S_PAY_ORDER* order);

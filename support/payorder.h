// support/payorder.h
// S_PAY_ORDER, the record of one card operation; byte for byte also the
// content of the reversal files DATA/RVS.SAV and DATA/RVSLAST.SAV.
#pragma once
#include <cstddef>
#include <cstdint>

#include "support/bigint.h"

// Operation codes (ucOpType). Codes 3..5 and 9..17 come from no request: the
// host messages and the chip transaction still know their message classes.
enum : uint8_t {
    OP_NONE = 0,                     // not set
    OP_SALE = 1,
    OP_RETURN = 2,
    OP_PARTIAL_REVERSAL = 3,         // partial reversal of a purchase
    OP_PARTIAL_REVERSAL_RETURN = 4,  // partial reversal of a refund
    OP_AUTH_REVERSAL = 5,            // reversal of an authorisation
    OP_REVERSAL = 6,
    OP_REVERSAL_OTHER = 7,           // after a reverse-last: the cancelled operation was not a purchase
    OP_BALANCE = 8,
    OP_SALE_ADVICE = 9,              // purchase made offline, told afterwards
    OP_RETURN_ADVICE = 10,           // refund made offline, told afterwards
    OP_SALE_ADVICE_REVERSAL = 11,
    OP_RETURN_ADVICE_REVERSAL = 12,
    OP_INQUIRY = 13,                 // authorisation inquiry
    OP_PREAUTH = 14,                 // pre-authorisation of a purchase
    OP_PREAUTH_RETURN = 15,          // pre-authorisation of a refund
    OP_COMPLETION = 16,              // completion of a pre-authorised purchase
    OP_COMPLETION_RETURN = 17,       // completion of a pre-authorised refund
    OP_CLOSE_DAY = 18,
    OP_DAY_REPORT = 19,
    OP_TEST_BANK = 20,
    OP_REVERSE_LAST = 21,
};

// Card entry (ucCardEntry).
enum : uint8_t {
    ENTRY_NONE = 0,
    ENTRY_STRIPE = 1,
    ENTRY_CHIP = 2,
    ENTRY_CLESS = 5,
    ENTRY_FALLBACK = 6,  // stripe of a card that carries a chip
};

// Cardholder verification (ucPINType).
enum : uint8_t {
    PIN_NONE = 0,
    PIN_CHIP_FAILED = 1,
    PIN_NOT_REQUIRED = 2,
    PIN_OFFLINE = 3,
    PIN_OFFLINE_SIGNATURE = 4,
    PIN_NO_ONLINE = 5,
    PIN_ONLINE = 6,
};

#pragma pack(push, 1)
struct S_PAY_ORDER {
    uint8_t ucTrack2Enc[41];   // enciphered track 2; wiped once the host request is built
    char szPAN[20];            // masked card number as the pad gives it
    char szPANSeqNo[4];        // PAN sequence number (5F34)
    char szCurrency[4];        // alphabetic currency
    char szAID[33];            // chip AID as hex
    char szAppLabel[17];       // application label
    uint8_t ucAppVersion[2];   // 9F09
    uint8_t ucPINBlock[17];    // enciphered PIN block; wiped once the host request is built
    char szSTAN[7];
    char szRRN[13];
    char szAuthCode[7];
    char szDateTime[13];       // YYMMDDhhmmss
    char szAcquirerId[12];
    char szField95[100];
    char szField15[62];
    uint16_t usOriginalCode;
    uint16_t usRespCode;
    char szHostRespCode[5];
    uint16_t usCurrencyCode;
    char szICCData[511];
    char szAuthRespCode[2];    // not terminated
    uint8_t ucPPTranStatus;
    uint8_t ucCID;
    uint8_t ucPINType;
    uint8_t ucCardEntry;
    uint8_t ucClessMode;
    uint8_t ucOpType;
    SBigInt stAmount;
    SBigInt stOrigAmount;
    SBigInt stAddAmount;
    uint8_t ucTrack2Len;
    uint8_t ucPANLen;
    uint8_t ucPANEnc[24];
    uint8_t ucExpDateEnc[8];
    uint8_t ucExpDateLen;
    uint8_t ucIsValid;
    uint8_t ucIsChipCard;
    uint16_t usRangeNo;
};
#pragma pack(pop)

static_assert(sizeof(S_PAY_ORDER) == 948, "S_PAY_ORDER is a 948-byte file format");
static_assert(offsetof(S_PAY_ORDER, szPAN) == 41, "layout");
static_assert(offsetof(S_PAY_ORDER, ucPINBlock) == 121, "layout");
static_assert(offsetof(S_PAY_ORDER, usOriginalCode) == 352, "layout");
static_assert(offsetof(S_PAY_ORDER, szICCData) == 363, "layout");
static_assert(offsetof(S_PAY_ORDER, szAuthRespCode) == 874, "layout");
static_assert(offsetof(S_PAY_ORDER, stAmount) == 882, "layout");
static_assert(offsetof(S_PAY_ORDER, ucTrack2Len) == 909, "layout");
static_assert(offsetof(S_PAY_ORDER, ucPANEnc) == 911, "layout");
static_assert(offsetof(S_PAY_ORDER, usRangeNo) == 946, "layout");

// pinpad/emv.h
// The chip transaction that the pad's EMV kernel runs: card read, the
// transaction step up to the host request, completion with the host's
// answer, cancel and clean-up, the terminal's two checks on the card's
// verification results, and the pad's EMV configuration files.
// All data cross the link as BER-TLV lists.
#pragma once
#include <cstdint>

#include "pinpad/tlv.h"
#include "support/payorder.h"

// EMV tags and the pad's private tags.
enum : uint32_t {
    EMV_TAG_AID = 0x4F,
    EMV_TAG_APP_LABEL = 0x50,
    EMV_TAG_TRACK2 = 0x57,
    EMV_TAG_PAN = 0x5A,
    EMV_TAG_ISSUER_SCRIPT1 = 0x71,
    EMV_TAG_ISSUER_SCRIPT2 = 0x72,
    EMV_TAG_AMOUNT_BIN = 0x81,
    EMV_TAG_AUTH_RESP_CODE = 0x8A,
    EMV_TAG_CVM_LIST = 0x8E,
    EMV_TAG_ISSUER_AUTH = 0x91,
    EMV_TAG_TVR = 0x95,
    EMV_TAG_DATE = 0x9A,
    EMV_TAG_TSI = 0x9B,
    EMV_TAG_TRAN_TYPE = 0x9C,
    EMV_TAG_CARDHOLDER_NAME = 0x5F20,
    EMV_TAG_EXPIRY = 0x5F24,
    EMV_TAG_EFFECTIVE = 0x5F25,
    EMV_TAG_CURRENCY = 0x5F2A,
    EMV_TAG_PAN_SEQ = 0x5F34,
    EMV_TAG_CURRENCY_EXP = 0x5F36,
    EMV_TAG_AMOUNT = 0x9F02,
    EMV_TAG_AUC = 0x9F07,
    EMV_TAG_APP_VERSION = 0x9F09,
    EMV_TAG_IAD = 0x9F10,
    EMV_TAG_CODE_TABLE = 0x9F11,
    EMV_TAG_PREF_NAME = 0x9F12,
    EMV_TAG_TERMINAL_ID = 0x9F1C,
    EMV_TAG_TIME = 0x9F21,
    EMV_TAG_CID = 0x9F27,
    EMV_TAG_CVM_RESULTS = 0x9F34,
    EMV_TAG_ATC = 0x9F36,
    EMV_TAG_SEQ_COUNTER = 0x9F41,
    EMV_TAG_APP_CURRENCY = 0x9F42,
    EMV_TAG_ICC_DYN_NUM = 0x9F4C,
    EMV_TAG_FFI = 0x9F6E,
    EMV_TAG_TRAN_STATE = 0x9FFF07,
    EMV_TAG_CVM_INDICATOR = 0x9FFF08,
    EMV_TAG_PIN_BLOCK = 0x9FFF09,
    EMV_TAG_HOST_OUTCOME = 0x9FFF0A,
    EMV_TAG_PP_STATUS = 0x9FFF0B,
    EMV_TAG_RANGE_NO = 0x9FFF0D,
    EMV_TAG_VALID_FLAG = 0x9FFF0E,
    EMV_TAG_MASKED_PAN = 0x9FFF0F,
    EMV_TAG_REMOTE_KEYS = 0x9FFF10,
    EMV_TAG_AMOUNT_LINE = 0x9FFF13,
    EMV_TAG_CLESS_MODE = 0x9FFF14,
    EMV_TAG_CLESS_RESULT = 0x9FFF15,
    EMV_TAG_CANCEL = 0x9FFF7F,
};
// Values of the private tags.
enum : uint8_t {
    EMV_STATE_FAILED = 0,
    EMV_STATE_NORMAL = 2,
    EMV_HOST_APPROVED = 0x00,
    EMV_HOST_NOT_REACHED = 0x0B,
    EMV_HOST_OTHER = 0x0D,
};
enum : uint32_t {
    EMV_PIN_BLOCK_MAX = 16,      // largest PIN block in 9FFF09
    EMV_TRANSACTION_TIMEOUT_MS = 180000,
};

// Reads the chip's application and card data into order; terminalId (8
// characters) may be null. RES_OK, a link error, the pad's status word (RES_EMV_CHIP_RETRY =
// read again) or RES_EMV_EMPTY_REPLY..RES_EMV_RANGE_NO.
int EMVReadTK(const char* terminalId, S_PAY_ORDER* order);
// Runs the transaction up to the host request: terminal data in, the card's
// verification results and EMV data out; the date and time handed to the pad
// (YYMMDDhhmmss, MPSUTILS_DATETIME_SIZE bytes) go to hostDateTime unless it is
// null. RES_OK, the key-load error, a link error, RES_EMV_EMPTY_REPLY,
// RES_EMV_AMOUNT, RES_EMV_TRAN_TYPE..RES_EMV_DATA_TOO_LONG.
int EMVTransaction(S_PAY_ORDER* order, char* hostDateTime = nullptr);
// Completes the transaction with the host's result (0 = approved) and the host's EMV data in
// szICCData. RES_OK, a link error, RES_EMV_EMPTY_REPLY, RES_EMV_PP_STATUS, RES_EMV_NO_DATA or
// RES_EMV_DATA_TOO_LONG.
int EMVFinalize(int32_t hostResult, S_PAY_ORDER* order);
// Cancels the transaction on the pad; status gets the pad's answer. RES_OK, a link error,
// RES_EMV_EMPTY_REPLY or RES_EMV_CANCEL_TAG.
int EMVCancel(uint16_t* status);
// Tells the pad to re-read its EMV configuration; fileName only names it in the log.
int EMVRereadCfg(const char* fileName);
// Releases the pad's transaction context.
int EMVDestroyContext();
// Checks the card's verification results (TVR 5 bytes, CVM results 3 bytes). RES_OK or RES_EMV_CVM.
int EmvVerifyTVR(const uint8_t* tvr, const uint8_t* cvmr);
// PIN type 1..6 (PIN_* of payorder.h) for CVM results of 3 bytes.
uint8_t EmvGetPinType(const uint8_t* cvmr);
// Brings the pad's "EMVCAPK" and "EMVCFG" in step with DATA/; the CRCs now
// on the pad go to the pad's profile and to cfgCrc and capkCrc (either may be
// null). RES_OK or RES_PP_EMV_CONFIG.
int PPlayer_CheckEMV(uint32_t* cfgCrc, uint32_t* capkCrc);

// The inputs of the reference number that the transaction step creates
// when the order has none (the open batch's number and reference index,
// which only the kernel knows). Both start at 0.
void EMV_SetRRNInputs(uint32_t batchNo, uint16_t rrnIndex);

// Helpers shared with the contactless transaction.
// Appends the terminal data of a transaction (9C, 81, 9F02, 9FFF13, 5F2A,
// 5F36, 9A, 9F21) to tlv; caller names the function in the amount log. The
// date and time of 9A and 9F21 (YYMMDDhhmmss) go to hostDateTime
// (MPSUTILS_DATETIME_SIZE bytes) unless it is null.
// RES_OK, RES_EMV_AMOUNT (amount beyond 32 bits) or 1 (no room).
int EMV_AddTerminalData(S_TLV* tlv, S_PAY_ORDER* order, const char* caller, char* hostDateTime);
// Stores the list as hexadecimal text in szICCData. RES_OK or RES_EMV_DATA_TOO_LONG when it does not fit.
int EMV_StoreICCData(const S_TLV* tlv, S_PAY_ORDER* order);

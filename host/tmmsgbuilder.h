// host/tmmsgbuilder.h
// Builders and parsers of the acquiring host's messages: the request envelope
// (terminal header, security elements), card transactions (authorisation,
// financial request, advice, reversal), the reconciliation of a batch, the
// echo test and the key download; for the host emulator also the response
// envelope. Every builder fills the shared container stTMMsg and returns a
// pointer to the packet inside it, valid until the next build or parse.
//
// The batch (open date, number, transaction index, reference index) belongs to
// the kernel, which this layer may not call: the kernel passes those values in.
// rrnIndex is Batch_GetRRNIndex(), used with the batch number to make a
// retrieval reference number (MPSUtils_MakeRRN) when the message needs one.
//
// For the host emulator: TMMsgBuilder_PrepareRsPacket wraps a message built
// in a container into a response envelope (see host/tmmsgprs.h for the rest).
#pragma once
#include <cstdint>

#include "host/tmmsgprs.h"
#include "support/bigint.h"
#include "support/payorder.h"

// What a transaction request is; with the operation code it gives the message
// type, the function code and the reason code. Modes from Reversal4020 on are
// reversals (type 1420, function code 400).
enum class HostMode : uint8_t {
    NewRequest = 0,     // the operation itself
    Advice = 1,         // type 1220
    Reversal4020 = 2,   // a reversal with reason 4020; the kernel sends none
    SavedReversal = 3,  // reason 4021: the saved pending reversal, sent by the next call's batch-state
                        // check, or at once for a chip sale the card refused after approval
    Reversal4007 = 4,   // a reversal with reason 4007; the kernel sends none
    ReverseLast = 5,    // reason 4021: the cashier's reverse-last of the last completed operation
};

// Host key types (RTPS_KEY_TYPE) of the key download.
enum : uint8_t {
    RTPS_KEY_TMK = 0,  // transport master key
    RTPS_KEY_TMP = 1,  // master key
    RTPS_KEY_TPK = 2,  // PIN working key
};

// Message types.
enum : uint16_t {
    TMMSG_NO_MTI = 0,                 // an unknown operation has no message class
    TMMSG_AUTH_MTI = 1100,            // authorisation request
    TMMSG_FINANCIAL_MTI = 1200,       // financial request
    TMMSG_ADVICE_MTI = 1220,          // financial advice
    TMMSG_REVERSAL_MTI = 1420,        // reversal advice
    TMMSG_RECONCILIATION_MTI = 1520,  // batch reconciliation
    TMMSG_ECHO_MTI = 1800,            // echo test
    TMMSG_KEY_DOWNLOAD_MTI = 1804,
    TMMSG_HOLD_ON_MTI = 1810,         // the host asks the terminal to wait for the real answer
    TMMSG_KEY_DOWNLOAD_RS_MTI = 1814,
};

// What the PIN pad of the call reads (padReads of a transaction request); the
// point-of-service data code opens with it.
enum : uint8_t {
    TMMSG_PAD_CHIP = 0x01,   // chip cards
    TMMSG_PAD_CLESS = 0x02,  // contactless cards, in use in this call
};

enum {
    TMMSG_ADD_AMOUNTS_SIZE = 361,    // room for field 54 of a response and its terminator
    TMMSG_KEY_DATA_SIZE = 501,       // room for the key data of a key-download response
    TMMSG_POS_CODE_SIZE = 13,        // point-of-service data code and terminator
    TMMSG_ACTION_OK_KEYS = 800,      // key-download answer that carries keys
};

// Fills the field dictionary and clears stTMMsg; called once by kernel initialisation.
void TMMsgBuilder_Init();

// ---- envelopes ----

// Moves the message 11 bytes on and writes the terminal id (8 characters), the
// packet kind and the message length (high byte first) in front; an envelope
// that would not fit the container is logged and the container left as it was.
void TMMsgBuilder_PrepareSecPacket(STMMsgContainer* msg, const char* terminalId, uint8_t kind,
                                   uint16_t msgLength);
// Turns the container into a response envelope: status 0 puts the status byte
// in front of the message, any other status leaves the status byte alone.
// RES_OK, or RES_HOST_BAD_LENGTH when the envelope would exceed the 1024-byte packet limit
// (container unchanged then).
int TMMsgBuilder_PrepareRsPacket(STMMsgContainer* msg, uint8_t status);

// ---- card transactions ----

// Builds the request for an order: message class from the operation code and
// the mode, card data as security elements; padReads (TMMSG_PAD_*) tells what
// the pad reads. Field 12 is hostDateTime (YYMMDDhhmmss, 13 bytes: the call's
// date and time of its host messages), which gets the present time when empty
// (null: the present time, kept nowhere).
// Fills the order's szDateTime and szRRN when empty and usOriginalCode (from
// transIndex) when 0. Returns the envelope inside stTMMsg and writes its
// length (null and 0 without an order).
uint8_t* TMMsgBuilder_GetTransactionRq(S_PAY_ORDER* order, const char* terminalId,
                                       const char* batchOpenDate, uint16_t batchNo,
                                       uint16_t transIndex, uint16_t rrnIndex, HostMode mode,
                                       uint8_t padReads, char* hostDateTime, uint16_t* outLength);
// Reads a transaction response into the order; addAmounts (null, or at least TMMSG_ADD_AMOUNTS_SIZE
// bytes) receives field 54. RES_OK, RES_HOST_BAD_LENGTH bad length, RES_HOST_STATUS_BASE + status,
// RES_HOST_ONLY_HOLDON hold-on, RES_HOST_NO_RESPCODE no three-character action code,
// RES_HOST_NO_RRN_AUTH no reference number or approval code, RES_HOST_NO_OUT_BUFFER without an order.
// Approval is judged by the caller.
int TMMsgBuilder_ParseTransactionRs(const uint8_t* packet, uint16_t count, S_PAY_ORDER* order,
                                    char* addAmounts);

// ---- reconciliation, echo test, key download ----

// Builds the reconciliation request (type 1520) of a batch's counts and totals;
// variant 7 sends function code 570, 8 sends 571, any other 500.
uint8_t* TMMsgBuilder_GetBatchCloseRq(const char* terminalId, int32_t salesCount,
                                      int32_t saleCancelsCount, int32_t returnsCount,
                                      int32_t returnCancelsCount, int32_t authCount,
                                      int32_t authReversalsCount, const SBigInt* salesAmount,
                                      const SBigInt* saleCancelsAmount,
                                      const SBigInt* returnsAmount,
                                      const SBigInt* returnCancelsAmount,
                                      const char* batchOpenDate, uint8_t variant,
                                      uint16_t batchNo, uint16_t rrnIndex, uint16_t* outLength);
// Reads the reconciliation answer: action code out, authCode (7 bytes) and rrn (13 bytes) from fields
// 38 and 37 when present; any output may be null. RES_OK, RES_HOST_BAD_LENGTH, RES_HOST_STATUS_BASE +
// status, RES_HOST_ONLY_HOLDON hold-on, RES_HOST_NO_RESPCODE no three-character action code.
int TMMsgBuilder_ParseBatchCloseRs(const uint8_t* packet, uint16_t count, char* authCode,
                                   char* rrn, uint16_t* actionCode);
// Builds the echo-test request (type 1800); transIndex is not used.
uint8_t* TMMsgBuilder_ParseEchoTestRq(const char* terminalId, uint16_t transIndex,
                                      uint16_t batchNo, uint16_t rrnIndex, uint16_t* outLength);
// Reads the echo-test answer (any type): RES_OK, RES_HOST_BAD_LENGTH, RES_HOST_STATUS_BASE + status,
// or RES_HOST_NO_RRN_AUTH without a three-character action code.
int TMMsgBuilder_GetEchoTestResponse(const uint8_t* packet, uint16_t count, uint16_t* actionCode);
// Builds the key-download request (type 1804) for key type 0, 1 or 2 with the
// configured terminal id; null and length 0 for any other type. keyIndexFlag is not used.
uint8_t* TMMsgBuilder_GetKeyDownloadRq(uint8_t keyIndexFlag, uint16_t* outLength,
                                       uint8_t keyType, uint16_t batchNo, uint16_t rrnIndex);
// Reads the key-download answer: keyData (TMMSG_KEY_DATA_SIZE bytes) receives the "KYVL" value,
// authCode (7 bytes) the approval code of a refusal. RES_OK, RES_HOST_NO_OUT_BUFFER an output missing,
// RES_HOST_BAD_LENGTH, RES_HOST_STATUS_BASE + status, RES_HOST_ONLY_HOLDON hold-on,
// RES_HOST_NO_RRN_AUTH not a 1814 answer or no key data, RES_HOST_KEY_NO_RESPCODE no three-character
// action code, RES_KEY_REFUSED refused.
int TMMsgBuilder_ParseKeyDownloadRs(const uint8_t* packet, uint16_t count, char* keyData,
                                    uint16_t* actionCode, char* authCode, void* unused);

// host/keyexchange_internal.h
// The key exchange's steps over downloaded key data and its work area, for the tests.
#pragma once
#include <cstdint>

#include "support/payorder.h"

// Finds the element of expectedType (a working key also as "KTPK") in the
// terminated key data and loads it into the pad; a working key is first saved
// as REMOTEOPENKEY of DEVICE.INI. Writes the pad's KCV; a failed load sets its
// KEYX_ERR_* flag (KeyExchange_GetLoadErrFlags). RES_OK, RES_REMOTE_KEYS_BAD,
// RES_KEY_NOT_FOUND or the load's / file write's error.
int aux_SaveKey(const char* keyData, uint8_t expectedType, uint32_t* kcv);

// Reads the element at the start of the terminated text element: *hexLen in is the expected value
// length, out the element's own (except for RES_REMOTE_KEYS_BAD); *type gets the host key type of its
// tag, key the 16 bytes of a supported key. RES_OK, RES_REMOTE_KEYS_BAD (cut short or malformed), or
// RES_KEY_SKIPPED (unsupported tag or length: skip it).
int aux_ParseKey(const char* element, uint16_t* hexLen, uint8_t* type, uint8_t key[16]);

// The download's own work area (a payment order whose chip-data text receives the key data).
const S_PAY_ORDER* aux_KeyExchange_Work();

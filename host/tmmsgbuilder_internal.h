// host/tmmsgbuilder_internal.h
// The message builder's steps that the tests take one by one: security
// elements, the message class of a transaction, the point-of-service data
// code and the readers of a key download's field 48.
#pragma once
#include <cstdint>

#include "host/tmmsgbuilder.h"
#include "host/tmmsgprs.h"
#include "support/payorder.h"

// Appends a security element: tag, field, length (high byte first), then the
// datum (length rounded up to a multiple of 8 for tags 1..4; datum must hold
// the rounded count). An element that would not fit the container is dropped.
void aux_TMMsgBuilder_AddSecField(STMMsgContainer* msg, uint8_t tag, uint8_t field,
                                  uint16_t length, const uint8_t* datum);

// Message class of a transaction (pure functions).
uint16_t aux_TMMsgBuilder_GetMTI(uint8_t opType, HostMode mode);
uint16_t aux_TMMsgBuilder_GetOriginalMTI(uint8_t opType);
// Processing code (field 3): "000000", "200000", "310000", or "990000" for an unknown code.
const char* aux_TMMsgBuilder_GetProcCode(uint8_t opType);
uint16_t aux_TMMsgBuilder_GetFunctionCode(const S_PAY_ORDER* order, HostMode mode);
uint16_t aux_TMMsgBuilder_GetMessageReasonCode(uint8_t opType, HostMode mode);
// Writes the 12-character point-of-service data code (field 22) and a terminator; padReads is a
// TMMSG_PAD_* set.
void aux_TMMsgBuilder_GetPOSDataCode(const S_PAY_ORDER* order, uint8_t padReads, char* out);

// Reads field 48 of a key download: the four-digit number, the 12-character
// value (13 bytes) and the key data's "KYVL" value (TMMSG_KEY_DATA_SIZE
// bytes); any output may be null.
void aux_TMMsgBuilder_Parse48Field(const char* data, uint16_t length, uint16_t* number,
                                   char* value12, char* keyData);
// Finds the "KYVL" element of key data (tag, three-digit length, value) and
// copies its value, terminated; empty when absent or the length is not 3..500.
void aux_TMMsgBuilder_ParseKeyData(const char* text, uint16_t length, char* out);

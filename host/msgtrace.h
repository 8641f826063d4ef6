// host/msgtrace.h
// The debug-level trace of what the terminal exchanges with the acquiring
// host and the terminal manager, for support staff: one log line per host
// message (type and every present field) and one per manager exchange
// (commands, status, lengths, block offset). Card number and track 2 are
// masked, PIN block and expiry hidden, track 1/3, chip data, key and MAC
// fields and the ciphered security elements shown by length only; frame
// contents are never written. Below the debug level every call returns at once.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/tmmsgprs.h"

enum : int32_t { MSGTRACE_NONE = -1 };  // no status byte / no block offset

// Logs a request envelope (header, bitmap message, security elements) as sent.
void MsgTrace_HostRequest(const uint8_t* packet, uint16_t count);
// Logs a response envelope as received: its message, or the refusal status byte.
void MsgTrace_HostResponse(const uint8_t* packet, uint16_t count);
// Writes "<type> F<n>=<value> ..." of a split message, masked, into out
// (size bytes, always terminated; a text that does not fit ends in "..."). Returns out.
char* MsgTrace_FormatMessage(const STMMsgContainer* msg, char* out, size_t size);
// Logs one manager exchange: the request's command and data length, the
// answer's command, status (MSGTRACE_NONE for a data block) and data length,
// and for file blocks the offset of the block in the file (else MSGTRACE_NONE).
void MsgTrace_ManagerExchange(uint8_t command, uint16_t length, uint8_t answerCommand, int32_t status,
                              uint16_t answerLength, int64_t offset);

// emulators/host/hostans.h
// What the emulated host makes of a request and what it answers: the request
// envelope is decoded with the emulator's own packer (hostpack.h), traced with
// card data masked, and answered per scenario action with a response envelope.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "emulators/host/hostscen.h"

// Decodes a request envelope and keeps it as the current request; 0 or the decoder's code
// (RES_HOST_BAD_LENGTH).
int HostAns_Decode(const uint8_t* packet, uint16_t count);
// One trace line for the current request: header, type, every field (card data masked),
// security elements without their data; for a request that did not decode, the code
// and what is wrong.
std::string HostAns_TraceRequest();
// Returns the message type of the current request (0 when it could not be decoded).
uint16_t HostAns_RequestMTI();
// Builds the response envelope (status byte, message) that an action sends once:
// the usual answer, an answer with an action code, one hold-on message, a status byte
// alone, or a raw message. Returns 0, or -1 for actions that carry no envelope.
int HostAns_BuildEnvelope(const SHostAction& action, std::vector<uint8_t>* out);
// A short text of the last built envelope (type and action code) for the trace.
std::string HostAns_DescribeLast();

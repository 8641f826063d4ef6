// emulators/pinpad/pad_emv.h
// The pad's chip and contactless side beyond the plain replies of
// padcommands.cpp: scripted card sequences, stripe track lengths, edits of
// the EMV and contactless reply lists (for TVR/CVM results, the private
// 9FFF tags, final status and malformed data), contactless outcomes in
// sequence, and a pad that listens at one line speed only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "emulators/pinpad/padcommands.h"
#include "emulators/pinpad/padstate.h"

// Takes the scenario keys of this part; true when key is one of them (ok
// tells whether its value was accepted), false for keys it does not know.
bool PadEmv_ParseKey(const std::string& key, const std::string& val, bool* ok);
// Serves (cls, code) when this part scripts it, calling base for the plain
// reply where it only edits it; false leaves the command to base alone.
bool PadEmv_Serve(SPadState* st, uint8_t cls, uint8_t code, const uint8_t* data, size_t len, SPadReply* reply,
                  PadCmdHandler base);
// Bytes that arrived on the master side at the line speed now set; false
// when the pad listens at another speed (the bytes are then answered with
// as many garbled bytes and otherwise lost).
bool PadEmv_LineHeard(SPadState* st, int master, size_t count);

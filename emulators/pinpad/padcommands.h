// emulators/pinpad/padcommands.h
// The pad's side of the device commands, one table row per (class, code).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulators/pinpad/padstate.h"

typedef void (*PadCmdHandler)(SPadState* st, const uint8_t* data, size_t len, SPadReply* reply);

struct SPadCmdEntry {
    uint8_t cls;
    uint8_t code;
    const char* name;
    PadCmdHandler handler;
};

// Status word of a command the pad does not know.
enum : uint16_t { PAD_STATUS_UNKNOWN_COMMAND = 0x0101, PAD_STATUS_CANCELLED = 0x0102, PAD_STATUS_BAD_DATA = 0x0103,
                  PAD_STATUS_CHIP_RETRY = 8554 };

// Runs the handler of (cls, code) on the clear request data; traces the request.
void PadCmd_Dispatch(SPadState* st, uint8_t cls, uint8_t code, const uint8_t* data, size_t len, SPadReply* reply);
// The command table (for the README and for tests of the table itself).
const SPadCmdEntry* PadCmd_Table(size_t* count);
// The card data this pad hands out under the scenario, in clear: the card
// number, the track-2 equivalent and the PIN block as the pad returns it.
void PadCmd_CardData(const SPadScenario& scen, std::string* pan, std::string* track2, std::vector<uint8_t>* pinBlock);

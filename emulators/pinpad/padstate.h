// emulators/pinpad/padstate.h
// The emulated pad: its scenario, session, stores and the trace it writes.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "emulators/pinpad/padscenario.h"

struct SPadReply {
    uint16_t status = 0;
    std::vector<uint8_t> data;
};

struct SPadState {
    SPadScenario scen;
    FILE* trace = nullptr;
    uint8_t sessionKey[16] = {};
    // Card reader.
    bool cardActive = false;
    uint64_t cardStartMs = 0;
    uint32_t emvReads = 0;
    uint64_t firstPresentMs = 0;
    // Keyboard.
    uint8_t kbdMode = 0;
    // Stores.
    std::map<std::string, std::vector<uint8_t>> files;
    std::map<uint16_t, std::vector<uint8_t>> keys;  // (type << 8 | index) -> key or bare KCV
    uint32_t updateFlags = 0;
    std::string writeFile, readFile;  // file of the transfer in progress
    std::vector<uint8_t> appImage;
    uint32_t appLength = 0;
    // Counters for fault placement.
    uint32_t replies = 0;
    std::map<uint16_t, uint32_t> perCommand;
};

// Writes one line to the trace file (flushed at once).
void PadTrace_Line(SPadState* st, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Fills the stores from the scenario.
void PadState_Init(SPadState* st);

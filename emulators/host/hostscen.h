// emulators/host/hostscen.h
// The scenario of the emulated acquiring host: one line per incoming request,
// each a list of answers separated by ";" (grammar in README.md).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum EHostAct : uint8_t {
    HOSTACT_DEFAULT,   // the usual answer for the request's type
    HOSTACT_ANSWER,    // the usual answer with a given action code (approve/decline/pickup)
    HOSTACT_HOLDON,    // usCount hold-on messages (type 1810)
    HOSTACT_STATUS,    // a non-zero status byte alone
    HOSTACT_OVERSIZE,  // a length prefix of 1025 and 1025 bytes
    HOSTACT_STALL,     // the two length bytes of an answer, then silence
    HOSTACT_DROP,      // the connection closed without an answer
    HOSTACT_FRAME,     // a length prefix as given, then the given bytes (may disagree)
    HOSTACT_RAW,       // status 0 and the given text as the message, framed truthfully
    HOSTACT_WAIT,      // a pause of usCount milliseconds before the next answer
    HOSTACT_BYTES,     // the given bytes exactly, with no length prefix of their own
};

struct SHostFieldOverride {
    uint8_t ucField;     // 1..128
    bool bOmit;          // "fN=" with nothing after removes the field
    std::string value;
};

struct SHostAction {
    EHostAct eKind = HOSTACT_DEFAULT;
    std::string actionCode;                    // HOSTACT_ANSWER: three characters
    uint16_t usCount = 1;                      // HOSTACT_HOLDON, HOSTACT_WAIT
    uint8_t ucStatus = 0;                      // HOSTACT_STATUS
    uint16_t usFrameLength = 0;                // HOSTACT_FRAME: the announced length
    std::vector<uint8_t> bytes;                // HOSTACT_FRAME, HOSTACT_RAW, HOSTACT_BYTES
    std::vector<SHostFieldOverride> overrides; // fields set or removed in the answer
};

typedef std::vector<SHostAction> THostLine;

// Reads a scenario file; 0, or -1 with a message in err (file and line) when it is unreadable.
int HostScen_Load(const char* path, std::string* err);
// Parses one scenario line; 0, or -1 with a message in err.
int HostScen_ParseLine(const std::string& line, THostLine* out, std::string* err);
// Returns the answers for the request with 0-based number index: the scenario's line for
// it; past the last line, the last line marked "*"; else a single default answer.
THostLine HostScen_ForRequest(unsigned index);
// Gives a text of one action for the trace.
std::string HostScen_Describe(const SHostAction& action);

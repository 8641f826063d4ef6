// emulators/tmanager/tmscen.h
// The terminal-manager emulator's scenario: what it offers (software versions,
// a transport key, a date and time) and which answers it spoils, by command
// and by the arrival number of that command.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum ETmFault : uint8_t {
    TMF_REPEAT,     // answer 0x31: send it again
    TMF_STATUS,     // answer a status frame 0x40
    TMF_REFUSE,     // answer the command with a non-zero status
    TMF_BADCRC,     // the usual answer with a wrong frame CRC
    TMF_BADLENGTH,  // the usual answer announcing another L
    TMF_DROP,       // close the connection without answering
    TMF_STALL,      // say nothing until the terminal hangs up
    TMF_DELAY,      // wait before answering
    TMF_END,        // 0x30: the end frame now, however much is left
    TMF_WRONGCRC,   // 0x30: an end frame carries a wrong file CRC
    TMF_OTHER,      // the usual answer under another command code
};

struct STmRule {
    ETmFault eKind;
    uint8_t ucCommand;
    unsigned uAt;     // first arrival of the command it applies to (1-based)
    unsigned uTimes;  // consecutive arrivals; 0: every later one
    uint32_t ulValue; // status frame code, refusal status, L, milliseconds or command
};

// How an offered file is served when the emulator signs software (--sign-key).
enum ETmSigning : uint8_t {
    TMS_SIGNED,    // with its signature trailer
    TMS_UNSIGNED,  // as it is in the folder
    TMS_ALTERED,   // signed, then one byte of the file changed
};

struct STmOffer {
    std::string name;   // file of the served folder, e.g. libRAVOux.so or KW3.TLV
    uint32_t ulVersion; // top three bytes major, minor, build
    bool bVersion;      // false: offered without a version
    ETmSigning eSigning = TMS_SIGNED;
};

struct STmScenario {
    std::vector<STmRule> rules;
    std::vector<STmOffer> offers;
    bool bKey = false;
    uint8_t ucKeyFlag = 0;
    uint8_t aucKey[16] = {};
    std::string dateTime;  // empty: the local clock as YYMMDDhhmmss
};

// Reads a scenario file; 0, or -1 with the line and reason in err.
int TmScen_Load(const char* path, std::string* err);
// Parses one scenario text (lines as in a file); 0 or -1 with err.
int TmScen_Parse(const std::string& text, std::string* err);
// The scenario in force (empty until loaded).
const STmScenario& TmScen_Get();
// The rules that apply to arrival n (1-based) of command, in file order.
std::vector<STmRule> TmScen_ForArrival(uint8_t command, unsigned n);

// emulators/pinpad/padscenario.h
// What the emulated pad holds and how it behaves, read from key=value lines.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum EPadFaultKind {
    PADFAULT_SILENCE,     // no reply at all
    PADFAULT_BAD_CRC,     // CRC of the body wrong
    PADFAULT_NO_ETX,      // ETX replaced by another byte
    PADFAULT_WRONG_ECHO,  // command code of the echo changed
    PADFAULT_STATUS,      // status word set to the given value, data still sent
    PADFAULT_TRUNCATE,    // header and only half of the rest sent
    PADFAULT_BAD_STX,     // first byte not STX
    PADFAULT_OVERSIZE,    // reply claiming (and carrying) the given number of data bytes
    PADFAULT_SHORT,       // sound frame whose reply data are cut to the given number of bytes
    PADFAULT_DELAY,       // sound reply held back the given number of ms, the line unread meanwhile
    PADFAULT_HOLD,        // sound reply held back until the terminal sends again (at most the given ms)
};

// Where a fault applies: the Nth reply overall, the replies to one command
// (all, or only its Nth), the key agreement or the link test.
enum EPadFaultWhere { PADWHERE_REPLY, PADWHERE_COMMAND, PADWHERE_KEY, PADWHERE_LINKTEST };

struct SPadFault {
    EPadFaultKind kind;
    uint32_t arg;          // status word or data length
    EPadFaultWhere where;
    uint32_t replyNo;      // PADWHERE_REPLY: 1-based reply number
    uint8_t cmdClass, cmdCode;
    uint32_t cmdNth;       // PADWHERE_COMMAND: 0 = every reply to the command
};

struct SPadKey {
    uint8_t type;
    uint8_t index;
    uint8_t kcv[3];
};

struct SPadFile {
    std::string name;
    std::vector<uint8_t> data;
};

struct SPadScenario {
    std::string card = "none";      // stripe, chip, contactless, cancel, none (held back)
    uint32_t cardDelayMs = 0;       // card shown this long after the card request starts
    std::string cardWhenFile;       // and, when set, only once this file exists
    std::string pin = "entered";    // entered, cancel
    std::string confirm = "yes";    // yes, no, none (no key pressed)
    std::string keyText = "1";      // text returned by a finished keyboard input
    uint32_t removeAfterMs = 0;     // chip card taken out this long after the first presence check
    std::string devName = "Landi E520";
    std::string devId = "E520-0001";
    std::string devText3 = "KWPAD";
    uint32_t appVersion = 0x01020800;
    std::string devText4 = "";
    uint16_t devNumber = 1;
    uint16_t padType = 6;
    std::string serial = "SN00012345";
    std::string pan = "4000001234567899";  // test card number (never traced in clear)
    std::string expiry = "2512";
    uint8_t chipFlag = 0;
    uint8_t valid = 1;
    uint16_t rangeNo = 1;
    uint32_t emvRetries = 0;        // chip reads answered RES_EMV_CHIP_RETRY before one succeeds
    std::string cvm = "1F0002";     // CVM results of the chip transaction
    uint8_t cardDecision = 0;       // 9FFF0B of the completion
    std::string clessResult = "0000";
    uint8_t clessCvm = 0x00;
    uint32_t updateFlags = 0;
    uint16_t blockSize = 800;
    std::string replyCipher = "auto";  // auto (as the request), always, never
    std::vector<SPadKey> keys;
    std::vector<SPadFile> files;
    std::vector<SPadFault> faults;
};

// Reads an even number of hexadecimal digits into bytes; false on anything else.
bool PadScen_ParseHex(const std::string& s, std::vector<uint8_t>* out);
// Reads the scenario file; false with a message in err on a bad line.
bool PadScen_Load(const char* path, SPadScenario* scen, std::string* err);
// Parses one "key=value" line (comments and blank lines are accepted); false on error.
bool PadScen_ParseLine(const std::string& line, SPadScenario* scen, std::string* err);

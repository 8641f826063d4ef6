// emulators/host/hostpack.h
// The emulated host's own reading and writing of the terminal's messages, kept
// apart from the terminal's code so that each side checks the other: the field
// table, the request envelope (terminal id, packet kind, message length, bitmap
// message, security elements) and the response envelope (status byte, message).
//
// A bitmap message is text: the type as four digits, the primary bitmap as 16
// upper-case hexadecimal characters, the secondary bitmap (field 1) when bit 1
// is set, then the fields in ascending order, each fixed (numeric and
// hexadecimal fields zero-filled on the left, text padded with spaces on the
// right) or after a decimal length prefix of two or three digits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum EHostFieldClass : uint8_t {
    HOSTF_BITMAP,   // 16 hexadecimal characters
    HOSTF_NUMERIC,  // decimal digits
    HOSTF_HEX,      // binary written as hexadecimal characters
    HOSTF_TEXT,     // printable characters
};

struct SHostFieldDef {
    EHostFieldClass eClass;
    uint8_t ucPrefix;  // 0 fixed length, else the digits of the length prefix (2 or 3)
    uint16_t usMax;    // a fixed field's length, a prefixed field's longest value
};

// Packet kinds of the request envelope.
enum : uint8_t { HOSTPACK_KIND_ADMIN = 0, HOSTPACK_KIND_CARD = 1 };

enum : size_t {
    HOSTPACK_HEADER = 11,        // terminal id (8), kind, message length (2)
    HOSTPACK_ELEMENT_HEAD = 4,   // tag, field, datum length (2)
};

// One security element behind the request's message; the datum stays unread.
struct SHostSecElement {
    uint8_t ucTag;
    uint8_t ucField;
    uint16_t usLength;  // the length the element announces
    uint16_t usStored;  // the bytes that follow its head
};

struct SHostRequest {
    std::string terminalId;                 // the header's 8 characters
    uint8_t ucKind = 0;
    uint16_t usMsgLength = 0;
    uint16_t usMti = 0;
    std::map<unsigned, std::string> fields; // present fields by number; 1 is the secondary bitmap
    std::vector<SHostSecElement> elements;
};

// The table entry of field 1..128, or nullptr.
const SHostFieldDef* HostPack_Field(unsigned field);
// Whether a value of length characters can be written as field (1 and the
// bitmaps excepted: they are the packer's own).
bool HostPack_Fits(unsigned field, size_t length);

// Reads a request envelope into out; 0, or RES_HOST_BAD_LENGTH with what is
// wrong in why (field numbers and lengths only, never a field's content).
int HostPack_ParseRequest(const uint8_t* packet, size_t count, SHostRequest* out, std::string* why);

// Writes the bitmap message of type mti with the given fields (2..128; a
// value that does not fit its field is left out: scenarios are checked with
// HostPack_Fits when they load).
std::string HostPack_BuildMessage(uint16_t mti, const std::map<unsigned, std::string>& fields);
// The response envelope: status 0 and the message, or a non-zero status alone.
std::vector<uint8_t> HostPack_Response(uint8_t status, const std::string& message);

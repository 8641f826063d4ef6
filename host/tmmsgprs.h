// host/tmmsgprs.h
// The bitmap message container of the acquiring host: the field dictionary,
// the container STMMsgContainer with its one shared instance stTMMsg, adding,
// splitting and checking fields, and reading the two envelopes (the request
// envelope with its security elements, the response envelope with its status
// byte). Messages are text: type, hexadecimal bitmaps, then the fields.
//
// For the host emulator (both directions share this code):
//   receive a request:  TMMsgPrs_Init once, then TMMsgPrs_ParseSecPacket
//                       (terminal id, packet kind, security elements, and the
//                       message split into the container), then
//                       TMMsgPrs_GetMTI / TMMsgPrs_GetField / TMMsgPrs_IsFieldExists.
//   answer it:          TMMsgPrs_InitContainer, TMMsgPrs_SetMTI,
//                       TMMsgPrs_AddField in ascending order, then
//                       TMMsgBuilder_PrepareRsPacket (host/tmmsgbuilder.h);
//                       a refusal is TMMsgBuilder_PrepareRsPacket with a
//                       non-zero status (one byte, no message).
//   the terminal side:  the builders and parsers of host/tmmsgbuilder.h;
//                       TMMsgPrs_ParseResponse splits a response envelope.
#pragma once
#include <cstdint>

#include "support/result_codes.h"

enum : uint16_t {
    TMMSG_MAX_LENGTH = 2048,       // characters of one container
    TMMSG_FIELD_COUNT = 129,       // index 0 primary bitmap, 1..128 the fields
    TMMSG_BITMAP_OFFSET = 4,       // primary bitmap follows the four-digit type
    TMMSG_BITMAP_CHARS = 16,       // 8 bitmap bytes as hexadecimal characters
    TMMSG_HEADER_CHARS = 20,       // type and primary bitmap
    TMMSG_ENVELOPE_HEADER = 11,    // terminal id (8), packet kind, message length (2)
    TMMSG_TERMINAL_ID_CHARS = 8,
};

// Field format codes: low four bits the content class, high bits the length prefix.
enum : uint8_t {
    TMMSG_CLASS_BITMAP = 0x01,
    TMMSG_CLASS_NUMERIC = 0x02,
    TMMSG_CLASS_BINARY = 0x03,     // binary written as hexadecimal characters
    TMMSG_CLASS_ALPHA = 0x04,
    TMMSG_CLASS_MASK = 0x0F,
    TMMSG_PREFIX_L = 0x20,         // one-digit length prefix
    TMMSG_PREFIX_LL = 0x40,        // two digits
    TMMSG_PREFIX_LLL = 0x80,       // three digits
    TMMSG_PREFIX_MASK = 0xE0,
};

// Packet kinds of the request envelope.
enum : uint8_t {
    TMMSG_PACKET_ADMIN = 0,        // settlement, echo test, key download
    TMMSG_PACKET_TRANSACTION = 1,  // card transaction
};

// Status bytes of a response envelope that carries no message: the host's
// front end refused the request (2000 + the status at the terminal).
enum : uint8_t {
    TMMSG_STATUS_NO_KEY = 0x40,         // no key for the device
    TMMSG_STATUS_NOT_PROCESSED = 0x41,  // the request was not processed
    TMMSG_STATUS_NO_LINK = 0x50,        // no connection with the bank
    TMMSG_STATUS_LINK_ERROR = 0xFF,     // link error
};

// The result code of a refusal with that status byte.
constexpr int TMMsgPrs_StatusResult(uint8_t status) { return RES_HOST_STATUS_BASE + status; }

struct STMFieldDescriptor {
    uint8_t ucType;        // format code
    uint16_t usMaxLength;  // exact length of a fixed field, largest of a prefixed one
};

struct STMFieldEntry {
    uint16_t usOffset;     // position of the data in acMessage, after any prefix
    uint16_t usLength;     // length of the data; 0 means absent
};

struct STMMsgContainer {
    uint16_t usLength;                        // characters used so far
    char acMessage[TMMSG_MAX_LENGTH];         // type, bitmap(s), fields; later the envelope
    STMFieldEntry astField[TMMSG_FIELD_COUNT];
};

// The one container of the process; every build and parse overwrites it.
extern STMMsgContainer stTMMsg;

// One security element of a received request envelope; the datum points into
// the packet given to TMMsgPrs_ParseSecPacket.
struct STMSecElement {
    uint8_t ucTag;           // 1..5
    uint8_t ucField;         // the bitmap field it stands in for (2, 14, 35, 52)
    uint16_t usLength;       // announced datum length in bytes
    uint16_t usStored;       // bytes that follow in the packet (rounded to 8 for tags 1..4)
    const uint8_t* pucData;
};

enum { TMMSG_MAX_SEC_ELEMENTS = 8 };

// The header and security elements of a received request envelope.
struct STMSecPacket {
    char szTerminalId[TMMSG_TERMINAL_ID_CHARS + 1];
    uint8_t ucKind;          // TMMSG_PACKET_*
    uint16_t usMsgLength;    // bytes of the bitmap message
    uint8_t ucElementCount;
    STMSecElement astElement[TMMSG_MAX_SEC_ELEMENTS];
};

// Fills the field dictionary and the bit-mask table; idempotent.
void TMMsgPrs_Init();
// Returns the dictionary entry of field 0..128, or null for any other number.
const STMFieldDescriptor* TMMsgPrs_GetDescriptor(uint16_t field);
// Clears the container: zero bytes, a "0..0" primary bitmap, length 20, all fields absent.
void TMMsgPrs_InitContainer(STMMsgContainer* msg);
// Writes the message type as four decimal digits into characters 0..3.
void TMMsgPrs_SetMTI(STMMsgContainer* msg, uint16_t mti);
// Returns characters 0..3 read as four decimal digits (not checked to be digits).
uint16_t TMMsgPrs_GetMTI(const STMMsgContainer* msg);
// Appends a field (1..128) at the end and sets its bit; a field longer than its
// dictionary maximum, or one that would not fit in the container, is dropped
// and the container left unchanged.
void TMMsgPrs_AddField(STMMsgContainer* msg, uint8_t field, const char* data, uint16_t length);
// Points data at a field's characters (not terminated) and writes its length;
// null and 0 when the field is absent or the number is out of range.
void TMMsgPrs_GetField(const STMMsgContainer* msg, uint16_t field, const char** data,
                       uint16_t* length);
// True when field 1..128 is present with a non-zero length.
bool TMMsgPrs_IsFieldExists(const STMMsgContainer* msg, uint8_t field);
// True when every field of a ";"-separated list exists; an empty list or an
// empty number is false, a trailing ";" is allowed.
bool TMMsgPrs_IsFieldsExists(const STMMsgContainer* msg, const char* list);
// Splits a received bitmap message (at most 2048 characters) into the container.
// The split ends, leaving the field and those after it absent, at a length
// prefix that is not all digits, a length above the dictionary maximum, or a
// field reaching past the received characters.
void TMMsgPrs_ParseMessage(STMMsgContainer* msg, const char* data, uint16_t count);
// Checks a response envelope (status byte, then the message) and splits its
// message into the container: RES_OK, RES_HOST_BAD_LENGTH for a count of 0 or above 1024, or
// RES_HOST_STATUS_BASE + status for a refusal by the host's front end (nothing split then).
int TMMsgPrs_ParseResponse(STMMsgContainer* msg, const uint8_t* packet, uint16_t count);
// Reads a request envelope: header and security elements into out, the message
// split into the container; RES_OK, or RES_HOST_BAD_LENGTH when the envelope is shorter than its
// header, its message length reaches past the packet, or a security element is
// cut off (more than TMMSG_MAX_SEC_ELEMENTS elements also give RES_HOST_BAD_LENGTH).
int TMMsgPrs_ParseSecPacket(STMMsgContainer* msg, const uint8_t* packet, uint16_t count,
                            STMSecPacket* out);

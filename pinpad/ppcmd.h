// pinpad/ppcmd.h
// The PIN pad's device commands: each fills g_ucInBuf, runs one exchange of
// the link and reads g_ucOutBuf / g_iOutBufLen; plus the polling loops built
// from them (card request, keyboard input, card removal).
// Results: 0, a link error, the pad's own status word, or the codes below.
#pragma once
#include <cstdint>

#include "support/payorder.h"

// Command classes and codes.
enum : uint8_t {
    PPC_DEV = 1, PPC_DEV_GETINFO = 1, PPC_DEV_SETDATETIME = 8, PPC_DEV_RESTART = 12, PPC_DEV_SETBAUD = 13,
    PPC_DEV_GETTYPE = 14, PPC_DEV_KEYFLAGS = 17, PPC_DEV_GETSN = 18,
    PPC_DISP = 2, PPC_DISP_CLEAR = 1, PPC_DISP_STRINGEX = 5, PPC_DISP_TEXT = 6,
    PPC_KBD = 3, PPC_KBD_INIT = 5, PPC_KBD_CHECK = 6, PPC_KBD_CANCEL = 7,
    PPC_CARD = 4, PPC_CARD_CANCEL = 3, PPC_CARD_INITTK = 17, PPC_CARD_CHECKTK = 18, PPC_CARD_SETCLESS = 19,
    PPC_CARD_GETCLESS = 20,
    PPC_SMART = 5, PPC_SMART_PRESENT = 4,
    PPC_KEY = 6, PPC_KEY_LISTEN = 2, PPC_KEY_TKLOAD = 16, PPC_KEY_TKLOADENC = 17, PPC_KEY_CHECK = 24,
    PPC_KEY_LOAD = 27, PPC_KEY_PINBLOCK = 29,
    PPC_BEEP = 8, PPC_BEEP_NORMAL = 1,
    PPC_APP = 9, PPC_APP_START = 1, PPC_APP_WRITE = 2, PPC_APP_FINISH = 3,
    PPC_EMV = 17, PPC_EMV_TRANSACTION = 2, PPC_EMV_CANCEL = 3, PPC_EMV_FINALIZE = 4, PPC_EMV_READTK = 5,
    PPC_EMV_REREADCFG = 6, PPC_EMV_DESTROY = 8,
    PPC_FILE = 18, PPC_FILE_CHECK = 1, PPC_FILE_START_WRITE = 2, PPC_FILE_WRITE_BLOCK = 3,
    PPC_FILE_START_READ = 5, PPC_FILE_READ_BLOCK = 6,
};

// Card states of CardReaderCheckTK.
enum : uint8_t { CARD_STATE_NONE = 0, CARD_STATE_STRIPE = 1, CARD_STATE_CHIP = 2, CARD_STATE_CANCELLED = 3,
                 CARD_STATE_CLESS = 5 };
// Reader mask bits (the contactless reader is 0x08).
enum : uint8_t { CARD_READER_STRIPE = 0x01, CARD_READER_CHIP = 0x02, CARD_READER_CLESS = 0x08 };
// Keyboard input modes and KbdInputCheck answers.
enum : uint8_t { KBD_MODE_CONFIRM = 6, KBD_MODE_ACK = 7 };
enum : int { KBD_FINISHED = 0, KBD_WAITING = 1, KBD_CANCELLED = 2 };
// Update-key flag modes and bits.
enum : uint8_t { KEYFLAGS_GET = 0x00, KEYFLAGS_SET = 0xDB };
enum : uint32_t { KEYFLAG_TMP = 0x1, KEYFLAG_TPK = 0x2, KEYFLAG_CFG = 0x4 };

enum : uint32_t {
    DEVINFO_TEXT_SIZE = 32,   // room of each device-information text, terminator included
    PP_SERIAL_SIZE = 32,      // room of the serial number, terminator included
    PP_PINBLOCK_MAX = 8,      // largest PIN block accepted
    KBD_TEXT_SIZE = 64,       // default room of keyboard text
    // Pause between two polls of the pad in the card, keyboard and removal
    // loops: the pad is asked ten times a second, which keeps a long wait
    // for the cardholder far below one per cent of a processor.
    PP_POLL_PAUSE_MS = 100,
};

// Stores the port, initialises the link and connects (session key included).
int Connect(uint32_t port);
// Releases the link; always 0.
int Disconnect();
// 1 when the pad answers one of 5 link tests, else 0.
int TestConnect();

// (1,1) Device information; any out pointer may be null; texts are NUL-terminated.
int DevGetInfo(char* devName, char* devId, char* text3, uint32_t* version, char* text4, uint16_t* number);
// (1,8) Sets the pad's date and time from the text as given.
int DevSetDateTime(const char* dateTime);
// (1,12) Restarts the pad; the link is down afterwards whatever the result.
int DevRestart();
// (1,13) Switches the pad's line speed; only 9600, 19200, 57600 and 115200 (else RES_PP_BAUDRATE).
int SetBaudrate(uint32_t baud);
// (1,14) Pad type into type (left unchanged on failure); RES_PP_BAD_REPLY for a reply not of 2 bytes.
int GetPinpadType(uint16_t* type);
// (1,17) Reads (KEYFLAGS_GET) the pad's update-key flags into its profile (pinpad/padprofile.h), or
// writes (KEYFLAGS_SET) flags, a KEYFLAG_* set (not read for KEYFLAGS_GET), the profile following
// only when the pad took them. RES_PP_KEYFLAGS_REPLY for a bad reply.
int GetSetUpdateKeyFlags(uint8_t mode, uint32_t flags);
// (1,18) Serial number into sn (PP_SERIAL_SIZE bytes); RES_PP_BAD_REPLY for a malformed reply.
int GetPinpadSN(char* sn);
// (2,1) Clears the display.
int DisplayClear();
// (2,5) Shows len bytes of text on row.
int DisplayStringEx(uint8_t row, const char* text, uint8_t len);
// (2,6) Shows text; the arguments travel in the order second, first.
int DisplayText(uint8_t first, uint8_t second, const char* text);
// (3,5) Starts keyboard input with eight parameter bytes (mode first).
int KbdInputInit(const uint8_t params[8]);
// (3,6) 0 finished (text copied, NUL-terminated), 1 waiting, 2 cancelled on the pad, or
// RES_PP_BAD_REPLY/link error.
int KbdInputCheck(uint8_t* len, char* text, uint32_t textSize = KBD_TEXT_SIZE);
// (3,7) Cancels keyboard input.
int KbdInputCancel();
// Waits for keyboard input up to timeoutSeconds; RES_OK, 2 (cancelled), RES_PP_NO_INPUT (time-out) or an error.
int KbdInputValue(const uint8_t params[8], uint16_t timeoutSeconds, uint8_t* len, char* text,
                  uint32_t textSize = KBD_TEXT_SIZE);
// (4,3) Cancels the card request.
int CardReaderCancel();
// (4,17) Starts a card request with the reader mask and two parameter bytes.
int CardReaderInitTK(uint8_t mask, uint8_t p1, uint8_t p2);
// (4,18) Card state into state; a read stripe fills the card fields of order.
int CardReaderCheckTK(uint8_t* state, S_PAY_ORDER* order);
// Waits for a card up to timeoutSeconds; the check's result or RES_PP_NO_CARD; the reader is cancelled
// at the end.
int CardRequest(uint8_t mask, uint8_t p1, uint16_t timeoutSeconds, uint8_t p2, uint8_t* state, S_PAY_ORDER* order);
// CardRequest ending by the monotonic time deadlineMs (SysClock_MonotonicMs) instead: RES_PP_NO_CARD
// once it has passed.
int CardRequestUntil(uint8_t mask, uint8_t p1, uint64_t deadlineMs, uint8_t p2, uint8_t* state, S_PAY_ORDER* order);
// (5,4) present = 1 when a chip card is in the reader; RES_PP_BAD_REPLY for an empty reply.
int SmartPresent(uint8_t* present);
// Waits for the chip card to be taken out, beeping while it stays when beep is set; RES_OK,
// RES_PP_NO_CARD or an error.
int SmartEject(uint8_t beep, uint16_t timeoutSeconds);
// (6,29, enciphered) PIN entry; the amount text in g_ucOutBuf, when not empty, travels along.
int PinBlockInitEx(uint8_t keyIndex, uint8_t minLen, uint8_t maxLen, uint16_t timeoutSeconds, const char* pan,
                   uint8_t* pinBlock, uint8_t* pinBlockLen);
// (8,1) Beeps.
int BeepNormal();

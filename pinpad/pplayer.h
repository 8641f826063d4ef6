// pinpad/pplayer.h
// The PIN-pad operations that the kernel calls: connect with line-speed
// auto-switching, the check of the pad's payment application, card reading
// with its chip, stripe and contactless fallbacks, PIN entry, amount
// confirmation, balance and message display, and the pad's screen layout.
// Texts for the pad are Windows-1251 with "|" between display rows.
#pragma once
#include <cstdint>

#include "support/payorder.h"

// Application versions that gate the pad's features.
enum : uint32_t {
    KWPAD_VER_TOO_OLD = 0x010206FF,     // this version and older are refused
    KWPAD_VER_AMOUNT_LINE = 0x01020700, // shows the amount line during PIN entry
    KWPAD_VER_REMOTE_KEYS = 0x010207FF, // above it: remote keys and the serial number
};
enum : uint16_t { PP_TYPE_CLESS = 6 };  // the contactless-capable model
// Screen layout.
enum : uint8_t {
    PP_LINE_WIDTH = 20,
    PP_LINE_WIDTH_CLESS = 26,
    PP_ALIGN_LEFT = 0,
    PP_ALIGN_RIGHT = 1,
    PP_ALIGN_CENTER = 2,
};
// Card reading.
enum : uint8_t {
    PP_CHIP_ATTEMPTS = 3,   // chip reads answered "read again" before the stripe is asked for
    PP_CLESS_ATTEMPTS = 3,  // failed contactless reads before the chip is asked for
    PP_MIN_TRACK2_LEN = 20, // shorter track 2 is a bad swipe
};
enum : uint32_t {
    PP_CHIP_RETRY_PAUSE_MS = 3000,  // pause before the card is asked for again
    PP_READ_ERROR_SHOW_MS = 2000,   // how long the read-error text stays
};
// Room for PPLayer_GetPPFileName's result.
enum : uint32_t { PP_FILE_NAME_SIZE = 16 };

// Connects on port, trying 115200 and 19200 when the configured speed fails;
// a speed that worked after a switch is written to DEVICE.INI unless saveSpeed
// is false (a check that must change nothing). RES_OK or RES_PP_LINK.
int PPLayer_Connect(uint8_t port, bool saveSpeed = true);
// Why the last PPLayer_Connect failed, in one sentence naming the device (not
// opened and the system's reason, or no answer at the speeds tried); "" after
// one that worked.
const char* PPLayer_GetConnectError();
// Releases the link; always 0.
int PPLayer_Disconnect();
// Takes the link as down without a word to the pad (it restarts by itself):
// the next disconnect only closes the port.
void PPLayer_ForgetLink();
// Checks the pad's application (version, TLS files, remote keys) and records
// what the pad told in its profile (pinpad/padprofile.h); version and name
// (32 bytes), each may be null, get the pad's values.
// RES_OK, RES_PP_KWPAD_VERSION or RES_REMOTE_KEYS_BAD.
int PPLayer_CheckKWPADVer(uint32_t* version, char* name);
// After a PPLayer_CheckKWPADVer that stopped early, for a session that goes
// on: asks the pad its model when the profile does not know it, and the CRCs
// of its TLS files when the profile knows none.
void PPLayer_CompleteCheck();
// Reads a card into order (chip, stripe or contactless); the whole read, retries and fallbacks
// included, is over once more than timeout whole seconds have passed. The date and time handed to
// the pad's contactless reader (YYMMDDhhmmss, MPSUTILS_DATETIME_SIZE bytes) go to hostDateTime
// unless it is null. RES_OK or RES_PP_CARD_READ.
int PPLayer_ReadCard(uint16_t timeout, S_PAY_ORDER* order, char* hostDateTime = nullptr);
// Loads the working key (32 hex characters) under master key mkIndex as
// working key wkIndex and takes the PIN block into order. RES_OK, RES_PP_PIN or RES_KEY_REFUSED.
int PPLayer_InputPin(uint16_t timeout, const char* keyHex, uint8_t mkIndex, uint8_t wkIndex, S_PAY_ORDER* order);
// Shows the operation's amount and waits for the cardholder's confirmation. RES_OK or RES_PP_NOT_CONFIRMED.
int PPLayer_ConfirmAmount(uint16_t timeout, uint8_t operation, const char* amount, const char* currency);
// Shows a balance and waits for a key. RES_OK or RES_PP_BALANCE.
int PPLayer_ShowBalance(uint16_t timeout, const char* amount, const char* currency);
// Shows text centred from row 2; with a timeout, beeps and waits for a key. RES_OK or RES_PP_CONNECT.
int PPLayer_ShowMessage(const char* text, uint16_t timeout);
// Name of the pad's configuration file for the model (PP_FILE_NAME_SIZE bytes). 0, or 1 for an unknown model.
int PPLayer_GetPPFileName(const char* devName, char* fileName);
// Characters per display row of the connected model.
uint8_t PPLayer_GetLineWidth();

// kernel/error.h
// The text of any result code, composed for the place it is shown.
#pragma once
#include <cstdint>

// Where a composed text goes; each form sets how display lines are separated.
enum : uint8_t {
    ERR_FORM_PINPAD = 0,       // PIN-pad screen: "|" kept between lines
    ERR_FORM_CASHIER = 1,      // cashier display: "|КОД: [n]" appended to a non-zero code
    ERR_FORM_RESULT_TEXT = 2,  // ResultText of the response: "|" becomes a blank
    ERR_FORM_CHEQUE = 3,       // ChequeText of a closed-batch day close: "|" becomes a line feed
};

// Returns the Windows-1251 text of code in the given form. The text lives in
// one module buffer that the next call overwrites.
const char* Error_GetResultMsg(uint16_t code, uint8_t form);

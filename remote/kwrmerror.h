// remote/kwrmerror.h
// The Russian text that ends a terminal-manager session, for the terminal and
// the PIN pad (also used by the setup tool).
#pragma once
#include <cstdint>

enum : uint8_t { KWRM_TEXT_PINPAD = 0, KWRM_TEXT_TERMINAL = 1 };

// Returns the Windows-1251 text of a session result code ("|" between display
// lines); target does not change it. The text lives in one module buffer that
// the next call overwrites.
const char* Error_GetResultMsgKwrm(uint16_t code, uint8_t target);

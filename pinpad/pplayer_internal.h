// pinpad/pplayer_internal.h
// The PIN-pad layer's display helper, for the tests.
#pragma once
#include <cstdint>

// Shows text row by row from firstRow, one "|"-separated piece per row. RES_OK or the first display error.
int aux_PPLayer_DisplayText(const char* text, uint8_t firstRow, uint8_t alignment);

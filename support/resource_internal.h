// support/resource_internal.h
// The code-page conversions under the display and receipt forms, for the tests.
#pragma once

// Windows-1251 to UTF-8 into the shared buffer; stops when the buffer is full
// or at the first byte that cannot be converted. A null text gives "".
char* aux_Resource_ConvertUtf8(const char* text);
// Up to 1023 bytes between Windows-1251 and code page 866 (direction 0: 1251 to 866,
// any other: 866 to 1251) into the shared buffer.
char* aux_Resource_Convert(const char* text, int direction);

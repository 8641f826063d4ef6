// support/resource.h
// Display and receipt forms of the system's Windows-1251 texts ("|" separates
// display lines). Every conversion overwrites one shared 1024-byte buffer and
// returns a pointer to it: use or copy the result before the next conversion.
#pragma once

enum { RESOURCE_BUF_SIZE = 1024 };
enum { RESOURCE_CP1251_TO_CP866 = 0, RESOURCE_CP866_TO_CP1251 = 1 };

// One UTF-8 line for the cashier: the first 255 bytes of text, each "|" as a blank.
char* Resource_GetInformMessage(const char* text);
// A receipt line in UTF-8.
char* Resource_GetChequeLine(const char* text);
// The text for the PIN pad: text itself, unchanged (further arguments are ignored).
const char* Resource_GetDeviceMessage(const char* text, ...);

// support/utilmsg.h
// Progress texts for the point-of-sale application's display.
#pragma once

// The application's display function; it receives one UTF-8 line.
typedef void (*UtilMsg_ShowFn)(char* text);

// Installs the display function (null removes it).
void UtilMsg_Init(UtilMsg_ShowFn show);
// Hands text (already in UTF-8, see Resource_GetInformMessage) to the display function, if any.
void UtilMsg_Display(const char* text);
// Shows a Windows-1251 display text ("|" between lines) as one UTF-8 line on the display.
void UtilMsg_Show(const char* cp1251Text);
// Kept for callers of the older display interface; has no effect.
void UtilMsg_SetCursorMode(int mode);

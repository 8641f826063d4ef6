// support/vars.h
// g_Vars: the per-call values that the stages and the management session
// share; cleared when a request is parsed, memory only. What the PIN pad told
// of itself is its profile (pinpad/padprofile.h).
#pragma once
#include <cstdint>

struct SVars {
    uint8_t ucEMVFinalized;     // chip transaction finalised
    uint8_t ucCardRead;         // this call asked the pad for a card
    char szHostDateTime[13];    // YYMMDDhhmmss for the host message
    char szKwrmDateTime[16];    // date-time from the terminal manager
    uint8_t ucKeyLoadErrFlags;  // 1 TMK, 2 master key, 4 working key
    uint32_t ulAppDownloadVer;  // application version offered by the terminal manager
    uint64_t ullCallStartMs;    // monotonic time at which the call began (the session's budget counts from it)
};

extern SVars g_Vars;

// Zeroes the whole block.
void Vars_Clear();

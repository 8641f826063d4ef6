// support/vars.h
// g_Vars: what the management session keeps between its steps (the manager's
// date and time, the version of the application it announced); cleared when
// a request is parsed, memory only. What the PIN pad told of itself is its
// profile (pinpad/padprofile.h), the state of the call the kernel's
// (kernel/kernel_call.h).
#pragma once
#include <cstdint>

struct SVars {
    char szKwrmDateTime[16];    // date-time from the terminal manager
    uint32_t ulAppDownloadVer;  // application version offered by the terminal manager
};

extern SVars g_Vars;

// Zeroes the whole block.
void Vars_Clear();

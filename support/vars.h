// support/vars.h
// g_Vars: the per-call values that the PIN-pad checks, the stages and the
// management session share; cleared when a request is parsed, memory only.
#pragma once
#include <cstdint>

struct SVars {
    uint32_t ulKwpadVer;        // KWPAD application version
    char szDevName[32];         // device name reported by the pad
    uint32_t ulTKKcv;           // transport key check value
    uint32_t ulRangesCrc;       // CRC-32 of the pad's card-range table
    uint32_t ulEMVCfgCrc;       // CRC-32 of the pad's EMV configuration
    uint32_t ulCapkCrc;         // CRC-32 of the pad's EMV public keys
    uint8_t ucPinpadConnected;  // 1 while the link is up
    uint32_t ulSSLCCrc;         // pad's CRC-32 of "SSLC"
    uint32_t ulSSLKCrc;         // pad's CRC-32 of "SSLK"
    uint32_t ulSSLACrc;         // pad's CRC-32 of "SSLA"
    uint8_t ucEMVSupport;       // pad reads chip cards
    uint8_t ucChipDisabled;     // three chip retries: stripe asked for instead
    uint8_t ucEMVFinalized;     // chip transaction finalised
    uint8_t ucCardRead;         // this call asked the pad for a card
    char szHostDateTime[13];    // YYMMDDhhmmss for the host message
    char szKwrmDateTime[16];    // date-time from the terminal manager
    uint8_t ucUpdTMP;           // pad still needs a master key
    uint8_t ucUpdTPK;           // pad still needs a working key
    uint8_t ucKeyCfg;           // pad uses the remote key configuration
    uint8_t ucRemoteKeysSupport;
    uint8_t ucKeyLoadErrFlags;  // 1 TMK, 2 master key, 4 working key
    uint32_t ulAppDownloadVer;  // application version offered by the terminal manager
    uint64_t ullCallStartMs;    // monotonic time at which the call began (the session's budget counts from it)
    uint16_t usPinpadType;      // 6 is the contactless-capable model
    uint8_t ucClessSupport;     // contactless reading in use
};

extern SVars g_Vars;

// Zeroes the whole block.
void Vars_Clear();

// pinpad/padprofile.h
// What the PIN pad told of itself in this call: its name, application version
// and model, the cards it reads, its key set-up, the CRCs of the files it
// keeps, its transport key's check value and whether the link is up. Only the
// PIN-pad layer writes it, as the pad answers; the kernel, the management
// session and the tools read it here. It is forgotten when a request is parsed.
#pragma once
#include <cstdint>

struct SPadProfile {
    uint32_t ulKwpadVer;         // KWPAD application version, 0 until the pad told it
    char szDevName[32];          // device name reported by the pad
    uint16_t usPinpadType;       // model; PP_TYPE_CLESS (pinpad/pplayer.h) reads contactless cards
    uint8_t ucEMVSupport;        // the pad reads chip cards
    uint8_t ucClessSupport;      // contactless reading in use (off for the rest of the call once it failed)
    uint8_t ucChipDisabled;      // three chip retries in this call: the stripe is asked for instead
    uint8_t ucRemoteKeysSupport; // the pad's application takes keys from the host
    uint8_t ucUpdTMP;            // the pad still needs a master key
    uint8_t ucUpdTPK;            // the pad still needs a working key
    uint8_t ucKeyCfg;            // the pad uses the remote key configuration
    uint32_t ulRangesCrc;        // CRC-32 of the pad's card-range table
    uint32_t ulEMVCfgCrc;        // CRC-32 of the pad's EMV configuration
    uint32_t ulCapkCrc;          // CRC-32 of the pad's EMV public keys
    uint32_t ulSSLACrc;          // CRC-32 of the pad's "SSLA"
    uint32_t ulSSLCCrc;          // CRC-32 of the pad's "SSLC"
    uint32_t ulSSLKCrc;          // CRC-32 of the pad's "SSLK"
    uint32_t ulTKKcv;            // check value of the transport key, as the pad last reported it
    uint8_t ucPinpadConnected;   // 1 while the link is up
};

// The pad's profile, read only.
const SPadProfile* PadProfile_Get();
// The update-key flags of the profile as KEYFLAG_* bits (pinpad/ppcmd.h).
uint32_t PadProfile_KeyFlags();
// Forgets everything the pad told (a new request begins).
void PadProfile_Reset();

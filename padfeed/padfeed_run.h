// padfeed/padfeed_run.h
// The setup tool's driver: switches, the upload of the chosen files from DATA
// to the PIN pad, the transport-key report and the pad's restart.
#pragma once
#include <cstdint>

#define PADFEED_VERSION "1.6"

// Bits of the upload set and of the errors mask.
enum : uint32_t {
    PADFEED_SSLA = 0x01,
    PADFEED_SSLC = 0x02,
    PADFEED_SSLK = 0x04,
    PADFEED_RANGES = 0x08,
    PADFEED_EMVCFG = 0x10,
    PADFEED_EMVCAPK = 0x20,
    PADFEED_SSL_ALL = PADFEED_SSLA | PADFEED_SSLC | PADFEED_SSLK,
};

// The program's exit status: 0 only when every file asked for was loaded (an
// absent EMVCAPK is no failure).
enum : int {
    PADFEED_EXIT_OK = 0,
    PADFEED_EXIT_USAGE = 1,   // no switch, or an improper one
    PADFEED_EXIT_CONFIG = 2,  // CONFIG.INI or DEVICE.INI not loaded
    PADFEED_EXIT_PAD = 3,     // pad not connected, or its application too old
    PADFEED_EXIT_UPLOAD = 4,  // at least one file not loaded
    PADFEED_EXIT_BUSY = 5,    // a payment call holds the directory: the pad was not touched
};

// Adds the bits of the switches (-s, -r, -e, any case) to *uploadSet; 0, or 1
// with *bad pointing at the first improper argument (a repeated -s or -r too).
int PadFeed_ParseArgs(int argc, char** argv, uint32_t* uploadSet, const char** bad);
// Prints the usage text and logs the reason.
void PadFeed_Usage(const char* reason);
// Uploads the files of uploadSet from DATA in bit order; returns the errors
// mask; *skipped (may be null) gets the bit of an absent optional file.
uint32_t PadFeed_Upload(uint32_t uploadSet, uint32_t* skipped);
// The whole run over the arguments (program name excluded); returns the last
// result (the set-up error or the errors mask) and puts the program's exit
// status (PADFEED_EXIT_...) into *exitStatus.
uint32_t PadFeed_Run(int argc, char** argv, int* exitStatus);

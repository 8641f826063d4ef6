// check/ravocheck.h
// ravo-check: a payment directory checked the way a call would find it, with
// no card and no operation, for the integrator and the field engineer. Each
// item prints one line: "OK", "WARN" or "FAIL", the item and a sentence that
// says what is wrong and what to do. The checks talk to the pad, the host and
// the terminal manager only under the directory's call lock, and change
// nothing in the directory but the day's log (and the call lock's file, which
// every call makes too).
#pragma once
#include <cstddef>
#include <cstdint>

// A line's verdict.
enum ERavoCheckVerdict : uint8_t { RAVOCHECK_OK = 0, RAVOCHECK_WARN = 1, RAVOCHECK_FAIL = 2 };

// The program's exit status.
enum : int {
    RAVOCHECK_EXIT_OK = 0,      // nothing failed (warnings may have been printed)
    RAVOCHECK_EXIT_FAILED = 1,  // at least one item failed
    RAVOCHECK_EXIT_USAGE = 2,   // an argument the program does not know
    RAVOCHECK_EXIT_BUSY = 3,    // a call holds the payment directory: nothing was checked
};

// Days before the end of the terminal's certificate or the CA's within which the check warns.
enum : int { RAVOCHECK_EXPIRY_WARN_DAYS = 30 };

// Receives each line: its verdict, the item ("pad") and the sentence.
typedef void (*PFN_RAVOCHECK_LINE)(void* context, uint8_t verdict, const char* item, const char* text);

struct SRavoCheck;

// A check run in the current directory (the payment directory): its lines go to line; the
// pieces one item leaves for the next (settings loaded, the pad's link, the TLS files) live in
// it. Made by RavoCheck_Begin, ended by RavoCheck_End.
SRavoCheck* RavoCheck_Begin(PFN_RAVOCHECK_LINE line, void* context);
// The items, in the order RavoCheck_Run takes them; each reports its line or lines.
// DATA, LOG and TEMP writable and more than 20 MB free, as a call's start-up checks judge them.
void RavoCheck_Directories(SRavoCheck* check);
// CONFIG.INI and DEVICE.INI through the configuration reader's check: a line per fault
// (errors FAIL, warnings WARN), an OK line per sound file; then the settings are loaded.
void RavoCheck_Settings(SRavoCheck* check);
// The pad: its device, the link test and session key, its name and application, its TLS
// files and transport key. The link stays up for the card ranges and the TLS files.
void RavoCheck_Pad(SRavoCheck* check);
// DATA/RANGE.CFG as the card-range check takes it, and whether the pad holds the same table.
void RavoCheck_CardRanges(SRavoCheck* check);
// The TLS files a call would take (the pad's copies are the master: DATA's copy when it is
// the pad's, else the pad's fetched into memory): they parse, the key is the certificate's,
// the certificate chains to the CA; their dates, and a SHA-1 set. The pad's link ends here.
void RavoCheck_TlsFiles(SRavoCheck* check);
// The acquiring host: TCP, the TLS handshake with the peer's name (HOSTCERTNAME) and the
// echo of the link test (TestBank's own exchange).
void RavoCheck_Host(SRavoCheck* check);
// The terminal manager: TCP and the TLS handshake with its name (KWRMCERTNAME); no frame.
void RavoCheck_Manager(SRavoCheck* check);
// The clock against the certificates: not before the CA's start, not after the end of the
// terminal's certificate.
void RavoCheck_Clock(SRavoCheck* check);
// Frees the run (the key bytes fetched from the pad are wiped), ends the pad's link.
void RavoCheck_End(SRavoCheck* check);

// The whole check under the call lock: RAVOCHECK_EXIT_OK, RAVOCHECK_EXIT_FAILED, or
// RAVOCHECK_EXIT_BUSY (one FAIL line, nothing touched) while a call runs.
int RavoCheck_Run(PFN_RAVOCHECK_LINE line, void* context);
// The program over its arguments (program name excluded): "--version" prints the version,
// "--help" the usage, none runs the check and prints its lines; the exit status.
int RavoCheck_Main(int argc, char** argv);

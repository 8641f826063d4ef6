// remote/kwrmmgr.h
// The management session run after an operation that asked for one: connect
// the PIN pad and the TLS credentials, open a session with the terminal
// manager, report the software, download whatever is newer into TEMP, upload
// the logs of earlier days, close the protocol session, and only then apply
// what arrived (files into DATA, the PIN pad's files, keys and application,
// the library behind its link). Every step shows its text to the cashier.
//
// The session keeps to a time budget (KWRM_SESSION_BUDGET_MS from its start,
// and at most KWRM_CALL_BUDGET_MS from the start of the call)
// under the point-of-sale plug-in's limit for the whole call: past it no new
// exchange with the manager starts, a resumable download stops with its part
// kept, and the session ends before the apply phase, or, when the close frame
// was already sent, applies the files but leaves the PIN pad's application
// for the next session. Every step of the apply phase leaves the old or the
// new file in place, so a session killed anywhere is finished by the next.
#pragma once
#include <cstdint>

// The session's own budget, and the latest end counted from the start of the
// whole call (the plug-in kills the call after 300 s): whichever comes first.
enum : uint32_t { KWRM_SESSION_BUDGET_MS = 200000, KWRM_CALL_BUDGET_MS = 250000 };

// Session flags: what arrived in this session.
enum : uint32_t {
    KWRM_FLAG_CONFIG = 0x002,    // TEMP/CONFIG.INI
    KWRM_FLAG_RANGES = 0x004,    // TEMP/RANGE.CFG
    KWRM_FLAG_EMVCFG = 0x008,    // TEMP/EMVCFG
    KWRM_FLAG_EMVCAPK = 0x010,   // TEMP/EMVCAPK
    KWRM_FLAG_SSL = 0x020,       // one or more TLS files
    KWRM_FLAG_PAD_APP = 0x080,   // the PIN pad's application, whole
    KWRM_FLAG_TK = 0x100,        // a new transport key was loaded into the pad
    KWRM_FLAG_LIBRARY = 0x400,   // TEMP/libRAVOux.so, whole
    KWRM_FLAG_DATETIME = 0x800,  // the manager's date and time
};

// The whole session; everything is shown and logged. callStartMs is the
// monotonic time (SysClock_MonotonicMs) at which the call began, 0 when unknown.
void int_RemoteManageSession(uint64_t callStartMs);

// Configuration, PIN pad and TLS credentials; RES_OK, RES_KWRM_INIT or the failing step's code.
int KWRM_MGR_Initialize();
// TLS connection to KWRMHOST:KWRMPORT; RES_OK or RES_KWRM_CONNECT.
int KWRM_MGR_Connect();
// The protocol session and the apply phase, within the time budget that ends at deadlineMs
// (SysClock_MonotonicMs; 0: none); 0 or the code that ended it.
int KWRM_MGR_StartSession(uint64_t deadlineMs);
// Closes the TLS connection (safe when closed).
void KWRM_MGR_CloseConnect();
// Shows the session's result on the terminal and the pad, waits 3 seconds,
// disconnects the pad and releases the TLS credentials.
void KWRM_MGR_CloseSession(uint16_t code);

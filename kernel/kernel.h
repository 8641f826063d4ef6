// kernel/kernel.h
// The operation kernel: driver, request and response, initialisation,
// session close.
#pragma once
#include <cstdint>

#include "host/tmmsgbuilder.h"
#include "support/payorder.h"

typedef void (*PFN_SHOW_MESSAGE)(char*);
// The remote-management session that the entry points hand to the driver; it
// gets the monotonic time (SysClock_MonotonicMs) at which the call began.
typedef void (*PFN_REMOTE_SESSION)(uint64_t callStartMs);

// Runs one complete card operation and, when its result asks for one, then
// remoteSession; 0, 1 (a management session ran) or a start-up code.
int int_PerformCardOperation(const char* request, char** response, PFN_SHOW_MESSAGE show,
                             PFN_REMOTE_SESSION remoteSession = nullptr);

// The library refuses to work with this many megabytes free or fewer.
enum : long { KERNEL_MIN_FREE_MB = 20 };

// What the start-up checks of a call found.
struct SKernelStartup {
    int iCode;            // RES_OK or the first fault's start-up code (RES_PROBE_*, RES_ACCESS_*, RES_DISK_SPACE)
    long lFreeMb;         // free megabytes of the payment directory's disk, -1 when not measured
    char szReason[320];   // the first fault in words, as logged; "" when none
};
// The checks a call makes before anything else: the payment directory, DATA, LOG and TEMP
// writable (a probe file written and deleted in each; LOG and TEMP must exist), more than
// KERNEL_MIN_FREE_MB free, and the record files readable and writable where they exist.
// Each fault is logged; report (may be null) gets the figures and the first fault.
// RES_OK or the first fault's code.
int Kernel_StartupChecks(SKernelStartup* report);

// Takes the payment directory's call lock (DATA/RAVO.LCK) without waiting:
// RES_OK, RES_TERMINAL_BUSY while another call holds it, or RES_PROBE_DATA when
// the lock file cannot be opened or locked.
int Kernel_LockCall();
// Releases the call lock taken by Kernel_LockCall (nothing when none is held).
void Kernel_UnlockCall();

// Parses the request text into the order; first clears the call's state: the pad's profile, the
// key download's failure flags and the call's own (kernel/kernel_call.h). RES_OK,
// RES_REQ_OPERATION, RES_REQ_AMOUNT or RES_REQ_ORIGINAL_CODE.
int Kernel_ParseInput(const char* text, S_PAY_ORDER* order, uint8_t* fullReport);
// Writes RAVORS.XML (renamed into place whole) and hands back a copy in
// *response (array new); RES_OK, RES_RESPONSE_WRITE (no RAVORS.XML left) or -1.
int Kernel_CreateResponse(int result, S_PAY_ORDER* order, char** response);
// The two halves of Kernel_CreateResponse, for the driver to settle the
// reversal files in between: the whole response is written and flushed under a
// temporary name, its directory flushed, and then its operation counted
// (RES_OK or RES_RESPONSE_WRITE); an operation the batch or the journal does
// not take is answered with that failure instead (*result becomes
// RES_BATCH_WRITE or RES_JOURNAL_WRITE). Then the response is renamed into
// place and read back (RES_OK, RES_RESPONSE_WRITE or -1). The till sees the
// answer only once it is settled.
int Kernel_PrepareResponse(int* result, S_PAY_ORDER* order);
int Kernel_PublishResponse(char** response);
// 1 when a call ended after preparing its response and before publishing it;
// *originalCode then holds the code of the purchase or refund it approved, or
// 0, and *approvedCancel is 1 when it approved a cancellation.
int Kernel_GetUnpublishedResponse(uint16_t* originalCode, int* approvedCancel);
// Removes such an unpublished response.
void Kernel_DiscardUnpublishedResponse();
// Loads configuration, settles the currency, connects and checks the PIN pad; 0 or a result code.
int Kernel_Initialize(S_PAY_ORDER* order);
// Ejects the card, shows the result on the pad and the cashier display, frees the session.
void Kernel_CloseSession(int result, S_PAY_ORDER* order);

// Refuses work on a banned batch and sends a pending reversal first; 0 or a result code.
int Kernel_CheckBatchState(S_PAY_ORDER* order);
// Reverses the operation kept in DATA/RVSLAST.SAV, or the one a reverse-last
// left pending without an answer; 0, the host's decline code or a result code.
int Kernel_ReverseLast(S_PAY_ORDER* order);

// One request and its answers, the request being what mode says.
int Kernel_HostExchange(S_PAY_ORDER* order, HostMode mode);
// For a cancel, copies the purchase's host data into the order; RES_OK, RES_ALREADY_CANCELLED,
// RES_VOID_NOT_FOUND, RES_REQ_OPERATION or RES_IO_FAILED.
int Kernel_ProcessVoidTransaction(S_PAY_ORDER* order);
// Echo test with the host; 0 or a result code.
int Kernel_TestConnect();

// Card, PIN and confirmation stages of Sale, Return, Reversal and Balance.
int Kernel_ReadCard(S_PAY_ORDER* order);
int Kernel_CheckRange(S_PAY_ORDER* order);
int Kernel_EntryPIN(S_PAY_ORDER* order);
int Kernel_StartOperation(S_PAY_ORDER* order);
int Kernel_CommitOperation(S_PAY_ORDER* order);
// Finishes a chip sale with the host's answer; reverses it at once when the card refuses.
int Kernel_CompleteOperation(int hostResult, S_PAY_ORDER* order);
// Shows a balance (minor units text, formatted in place) on the PIN pad; RES_OK or RES_PP_BALANCE.
int Kernel_ShowBalance(char* amount, const char* currency);

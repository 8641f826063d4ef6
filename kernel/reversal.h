// kernel/reversal.h
// The reversal lifecycle. DATA/RVS.SAV, under the batch's reversal flag, is the
// pending reversal: the last purchase or refund sent whose outcome is not
// settled, reversed by the next exchange with the host. DATA/RVSLAST.SAV is
// the reverse-last copy of the last one completed, which the cashier may still
// cancel. Each holds one whole S_PAY_ORDER (948 bytes), replaced atomically.
//
// This module alone decides what becomes of the two files and when a reversed
// operation is counted: the rest of the kernel tells it what happened (an
// operation begins, a request is about to go, the host answered, the response
// counts its operation, the response is settled) and asks it what to send and
// what a reverse-last cancels. The states and their transitions are one table
// in reversal.cpp.
#pragma once
#include <cstdint>

#include "host/tmmsgbuilder.h"
#include "support/payorder.h"

#define REVERSAL_FILE "DATA/RVS.SAV"
#define REVERSAL_LAST_FILE "DATA/RVSLAST.SAV"

// What the host made of a request, as far as the reversal files are concerned.
enum class HostAnswer : uint8_t {
    Unanswered,    // sent, and no answer read: the link or the answer failed, or only hold-ons came
    NotProcessed,  // the host's front end refused it before the bank saw it
    Declined,      // an answer whose action code is no success
    Approved,      // an answer whose action code is a success
};

// ---- what happened ----

// The operation of order begins (its initialisation is done).
void Kernel_ReversalStarting(const S_PAY_ORDER* order);
// A request for order is about to be sent in mode; RES_OK, or RES_RVS_WRITE when what must
// be saved first was not (the request must not go then).
int Kernel_ReversalSending(const S_PAY_ORDER* order, HostMode mode);
// The host answered the request for order sent in mode (or did not); RES_OK, or for an approved
// saved reversal that the batch or the journal did not take RES_BATCH_WRITE or RES_JOURNAL_WRITE
// (it stays pending, to be sent again).
int Kernel_ReversalAnswered(const S_PAY_ORDER* order, HostMode mode, HostAnswer answer);
// The card refused a chip sale that the host approved; finalize is the result
// of the chip completion, which filled the order.
void Kernel_ReversalCardRefused(const S_PAY_ORDER* order, int finalize);
// The response with result counts its operation: a completed purchase, refund
// or cancellation goes into the batch and the journal here; RES_OK, or
// RES_BATCH_WRITE or RES_JOURNAL_WRITE when it could not be counted: the
// operation is then not done, its pending reversal (for a cancellation: a
// reversal of the operation it cancels) left for the next call to send.
int Kernel_ReversalCount(int result, const S_PAY_ORDER* order);
// The response with result is written and counted, not yet published.
void Kernel_ReversalSettled(int result, const S_PAY_ORDER* order);
// At the start of a call: the call before it wrote a response that the till
// never saw, approving the purchase or refund with originalCode (0: none) or,
// when approvedCancel is 1, a cancellation; RES_OK, or RES_BATCH_WRITE or
// RES_RVS_WRITE when the purchase could not be set to be reversed.
int Kernel_ReversalUnpublished(uint16_t originalCode, int approvedCancel);

// ---- what to do ----

// For the batch-state check before request: *send is 1 when out holds the
// pending reversal, to be sent first; RES_OK or RES_RVS_READ (it cannot be read).
int Kernel_ReadReversalToSend(const S_PAY_ORDER* request, S_PAY_ORDER* out, int* send);
// For a reverse-last request: out holds the operation to reverse or, with
// *answered 1, the cancellation that an earlier call made and never answered,
// to be answered again; RES_OK or RES_RVS_NOT_FOUND (nothing to reverse).
int Kernel_ReadReverseLastTarget(const S_PAY_ORDER* request, S_PAY_ORDER* out, int* answered);
// The operation code that cancels op: 6 for a purchase, 7 for anything else.
uint8_t Kernel_CancelOf(uint8_t op);

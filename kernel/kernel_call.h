// kernel/kernel_call.h
// The state of the call in progress, owned by the driver: when the call
// began, what the card stages did, the date and time of its host messages,
// and the work areas of the steps that need one, each step its own. Parsing a
// request clears it; the start time is the driver's, set as the call begins.
#pragma once
#include <cstdint>

#include "host/transmaster.h"
#include "support/mpsutils.h"
#include "support/payorder.h"

struct SKernelCall {
    uint64_t ullStartMs;              // monotonic time at which the call began
    uint8_t ucCardRead;               // the call asked the pad for a card
    uint8_t ucEMVFinalized;           // the chip transaction was finalised
    char szHostDateTime[MPSUTILS_DATETIME_SIZE];  // YYMMDDhhmmss of the call's chip data and host request; "" until made
    S_PAY_ORDER stPendingReversal;    // the batch-state check: the saved operation it reverses first
    S_PAY_ORDER stReverseLastTarget;  // the reverse-last: the operation it reverses
    S_PAY_ORDER stVoidOriginal;       // the void lookup: the purchase a cancel refers to
    uint8_t aucHostAnswer[TRANSMASTER_MAX_PACKET];  // the host's answers (exchange, settlement, echo, key download)
};

// The call in progress.
SKernelCall* Kernel_Call();
// Clears the call's state (a request was parsed), its start time excepted.
void Kernel_ResetCall();

// kernel/kernel_batchstate.cpp
// The batch-state check run before an operation, and the reverse-last.
#include <cstring>

#include "kernel/batch.h"
#include "kernel/kernel.h"
#include "kernel/kernel_call.h"
#include "kernel/reversal.h"
#include "support/bigint.h"
#include "support/log.h"
#include "support/result_codes.h"

int Kernel_CheckBatchState(S_PAY_ORDER* order) {
    const uint8_t op = order->ucOpType;
    if (op != OP_CLOSE_DAY && Batch_IsClosing()) {
        LogString("ERROR. Kernel_CheckBatchState. Batch ban");
        return RES_BATCH_BANNED;
    }
    if ((op == OP_REVERSAL || op == OP_REVERSAL_OTHER || op == OP_REVERSE_LAST) && !Batch_IsOpened()) {
        LogString("ERROR. Kernel_CheckBatchState. Deny reversal on closed batch");
        return RES_VOID_NOT_FOUND;
    }
    S_PAY_ORDER* saved = &Kernel_Call()->stPendingReversal;
    int send = 0;
    if (Kernel_ReadReversalToSend(order, saved, &send) != RES_OK) return RES_RVS_READ;
    if (!send) return RES_OK;
    saved->ucPINType = PIN_NONE;
    // A reversal that did not get through stops the new operation.
    return Kernel_HostExchange(saved, HostMode::SavedReversal);
}

int Kernel_ReverseLast(S_PAY_ORDER* order) {
    S_PAY_ORDER* saved = &Kernel_Call()->stReverseLastTarget;
    int answered = 0;
    if (Kernel_ReadReverseLastTarget(order, saved, &answered) != RES_OK) return RES_RVS_NOT_FOUND;
    if (answered) {
        memcpy(order, saved, sizeof(*order));
        LogString("Kernel_ReverseLast. Result: %d", RES_OK);
        return RES_OK;
    }

    const SBigInt zero = {};
    if (BigInt_ModCmp(&order->stAmount, &zero) == 0) {
        order->stAmount = saved->stAmount;
        order->stOrigAmount = saved->stOrigAmount;
    } else if (BigInt_ModCmp(&order->stAmount, &saved->stAmount) != 0) {
        char requested[32];
        char kept[32];
        BigInt_IntToStr(&order->stAmount, requested);
        BigInt_IntToStr(&saved->stAmount, kept);
        LogString("ERROR. Kernel_ReverseLast. Invalid amount [%s : %s]", requested, kept);
        return RES_RVS_NOT_FOUND;
    }

    saved->ucPINType = PIN_NO_ONLINE;
    int rc = Kernel_HostExchange(saved, HostMode::ReverseLast);
    if (rc == RES_OK) {
        // The response describes, counts and journals the cancellation.
        saved->ucOpType = Kernel_CancelOf(saved->ucOpType);
        memcpy(order, saved, sizeof(*order));
    }
    LogString("Kernel_ReverseLast. Result: %d", rc);
    return rc;
}

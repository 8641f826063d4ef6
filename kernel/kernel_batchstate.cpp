// kernel/kernel_batchstate.cpp
// The batch-state check run before an operation, and the reverse-last.
#include <cerrno>
#include <cstring>

#include "kernel/batch.h"
#include "kernel/kernel.h"
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
    if (Kernel_IsReversalPending()) {
        S_PAY_ORDER* saved = reinterpret_cast<S_PAY_ORDER*>(g_pvSharedBuf);
        // A reverse-last tried again sends its pending operation itself, and
        // so answers as the cancellation it completes.
        if (Kernel_ReadRetriedReverseLast(order, saved)) return RES_OK;
        int rc = Kernel_ReadReversalFile(saved);
        if (rc != RES_OK) return RES_RVS_READ;
        saved->ucPINType = PIN_NONE;
        rc = Kernel_HostExchange(saved, 3);
        if (rc == RES_OK) Kernel_RemoveReversal(REV_REMOVE_TYPE_FULL);
        // A reversal that did not get through stops the new operation.
        return rc;
    }
    return RES_OK;
}

int Kernel_ReverseLast(S_PAY_ORDER* order) {
    S_PAY_ORDER* saved = reinterpret_cast<S_PAY_ORDER*>(g_pvSharedBuf);
    // A call killed after the host reversed the operation and the batch
    // counted it, but before it answered: the same answer again, no new reversal.
    if (Kernel_ReadCountedReverseLast(order, saved)) {
        memcpy(order, saved, sizeof(*order));
        LogString("Kernel_ReverseLast. Result: %d", RES_OK);
        return RES_OK;
    }
    // The copy went into the pending reversal when it was sent: a lost answer leaves it there.
    if (!Kernel_ReadRetriedReverseLast(order, saved) && Kernel_ReadReverseLastFile(saved) != RES_OK) {
        return RES_RVS_NOT_FOUND;
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
    int rc = Kernel_HostExchange(saved, 5);
    if (rc == RES_OK) {
        // The reversal stays pending until the response has counted the
        // cancellation; the driver removes it after that.
        saved->ucOpType = saved->ucOpType == OP_SALE ? OP_REVERSAL : OP_REVERSAL_OTHER;
        memcpy(order, saved, sizeof(*order));
    }
    LogString("Kernel_ReverseLast. Result: %d", rc);
    return rc;
}

int Kernel_CountReverseLast(const S_PAY_ORDER* order) {
    const uint8_t op = order->ucOpType == OP_REVERSAL ? OP_SALE : order->ucOpType == OP_REVERSAL_OTHER ? OP_RETURN : OP_NONE;
    if (op == OP_NONE) return 0;
    if (Kernel_TakeCountedBefore(order)) return 1;
    if (!Kernel_IsReversalPending()) return 0;
    S_PAY_ORDER pending;
    if (Kernel_ReadReversalFile(&pending) != RES_OK) return 0;
    if (pending.ucOpType != op || pending.usOriginalCode != order->usOriginalCode) return 0;
    // Counted with the flag's clearing, the cancellation is counted once
    // whether the call is killed before this (the next call's batch-state
    // check reverses and counts it) or after.
    S_PAY_ORDER reversed;
    memcpy(&reversed, order, sizeof(reversed));
    reversed.ucOpType = op;
    aux_Kernel_CountReversed(&reversed, false);
    return 1;
}

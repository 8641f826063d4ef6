// fuzz/fuzz_pad_emv.cpp
// The pad's chip replies: the card read, the transaction step with its data
// for the host, the completion and the cancel. Each request is answered by the
// next reply record of the input (see fuzz/fake_pad.h).
#include <cstring>

#include "fuzz/fake_pad.h"
#include "fuzz/fuzz_util.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/emv.h"
#include "support/param.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    PadProfile_Reset();
    strcpy(g_Config.szOpenKey, "0123456789ABCDEF0123456789ABCDEF");
    FakePad_Replies(data, size);
    static S_PAY_ORDER order;
    Fuzz_SaleOrder(&order);
    if (EMVReadTK("TERM0001", &order) == 0 && EMVTransaction(&order) == 0) EMVFinalize(0, &order);
    uint16_t status = 0;
    EMVCancel(&status);
    PadProfile_Reset();
    return 0;
}

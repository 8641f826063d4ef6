// fuzz/fuzz_pad_cardread.cpp
// The pad's card-read replies: the reader state with the card's data, then a
// whole card read with its retries and fallbacks. Each request is answered by
// the next reply record of the input (see fuzz/fake_pad.h).
#include <cstring>

#include "fuzz/fake_pad.h"
#include "fuzz/fuzz_util.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/ppcmd.h"
#include "pinpad/pplayer.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    PadProfile_Reset();
    aux_PadProfile_Edit()->ucEMVSupport = static_cast<uint8_t>(size != 0 && (data[0] & 1u));
    FakePad_Replies(data, size);
    static S_PAY_ORDER order;
    memset(&order, 0, sizeof(order));
    order.ucOpType = OP_SALE;
    memcpy(order.szCurrency, "BYN", 4);
    uint8_t state = 0;
    CardReaderCheckTK(&state, &order);
    memset(&order, 0, sizeof(order));
    order.ucOpType = OP_SALE;
    memcpy(order.szCurrency, "BYN", 4);
    PPLayer_ReadCard(5, &order);
    PadProfile_Reset();
    return 0;
}

// fuzz/fuzz_pad_cless.cpp
// The pad's contactless replies: the parameters step and the outcome list read
// into the order. Each request is answered by the next reply record of the
// input (see fuzz/fake_pad.h).
#include <cstring>

#include "fuzz/fake_pad.h"
#include "fuzz/fuzz_util.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/cless.h"
#include "support/payorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    PadProfile_Reset();
    FakePad_Replies(data, size);
    static S_PAY_ORDER order;
    Fuzz_SaleOrder(&order);
    CardReader_SetClessParam(&order);
    CardReader_GetClessResult(&order);
    PadProfile_Reset();
    return 0;
}

// Card numbers as the response, the journal and the receipts show them.
#include <gtest/gtest.h>

#include <cstring>

#include "support/cardno.h"

namespace {

TEST(CardNo, MaskedForms) {
    struct Case { const char* name; const char* pan; size_t size; char fill; bool receipt; const char* shown; };
    // A field of 20 bytes filled to the end, with no terminator.
    static const char kFull[20] = {'4', '0', '0', '0', '0', '0', '1', '2', '3', '4',
                                   '5', '6', '7', '8', '9', '0', '1', '2', '3', '4'};
    const Case cases[] = {
        {"response", "4000001234567899", 20, '*', false, "************7899"},
        {"journal", "4000001234567899", 20, 'X', false, "XXXXXXXXXXXX7899"},
        {"as the pad masks it", "400000******7899", 20, '*', false, "************7899"},
        {"19 digits", "4000001234567890123", 20, 'X', false, "XXXXXXXXXXXX0123"},
        {"short number", "123", 20, 'X', false, "XXXXXXXXXXXX123"},
        {"no number", "", 20, '*', false, "************"},
        {"field without terminator", kFull, sizeof(kFull), 'X', false, "XXXXXXXXXXXX1234"},
        {"receipt", "4000001234567899", 20, 'X', true, "XXXXXXXXXXXX7899"},
        {"receipt of a 9112 card", "9112345678901234", 20, 'X', true, "9112XXXXXXXX1234"},
        {"journal of a 9112 card", "9112345678901234", 20, 'X', false, "XXXXXXXXXXXX1234"},
        {"receipt of a bare 9112", "9112", 20, 'X', true, "9112XXXXXXXX9112"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char out[CARDNO_MASKED_SIZE + 4];
        memset(out, '#', sizeof(out));
        const char* shown = c.receipt ? CardNo_MaskForReceipt(c.pan, c.size, out) : CardNo_Mask(c.pan, c.size, c.fill, out);
        EXPECT_EQ(out, shown);
        EXPECT_STREQ(c.shown, out);
        EXPECT_EQ('#', out[CARDNO_MASKED_SIZE]) << "wrote past the masked form";
    }
}

TEST(CardNo, Prefix9112) {
    struct Case { const char* pan; int is9112; };
    const Case cases[] = {{"9112345678901234", 1}, {"9112", 1}, {"911", 0}, {"49112000", 0}, {"", 0}, {"9113000000000000", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pan);
        EXPECT_EQ(c.is9112, CardNo_Is9112(c.pan));
    }
}

}  // namespace

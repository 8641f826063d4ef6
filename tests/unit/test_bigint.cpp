// Amount arithmetic and text forms of SBigInt.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/bigint.h"

namespace {

SBigInt Make(uint8_t sign, uint32_t high, uint32_t low) {
    SBigInt v;
    v.ucSign = sign;
    v.ulHigh = high;
    v.ulLow = low;
    return v;
}

SBigInt Parse(const char* text) {
    SBigInt v;
    memset(&v, 0xA5, sizeof(v));
    BigInt_StrToInt(text, &v);
    return v;
}

std::string Print(const SBigInt& v) {
    char out[BIGINT_TEXT_SIZE + 8];
    memset(out, '#', sizeof(out));
    BigInt_IntToStr(&v, out);
    EXPECT_EQ('#', out[BIGINT_TEXT_SIZE]) << "wrote past the text size";
    return out;
}

TEST(BigInt, StrToIntSplitsLimbsAndMarksOverflow) {
    const std::string nineteen(19, '1');
    const std::string huge(100000, '9');
    const std::string longTail = "12345" + std::string(5000, 'x');
    struct Case { const char* name; const char* text; uint8_t sign; uint32_t high; uint32_t low; };
    const Case cases[] = {
        {"zero", "0", 0, 0, 0},
        {"small", "5", 0, 0, 5},
        {"negative", "-300", 1, 0, 300},
        {"nine digits", "999999999", 0, 0, 999999999},
        {"ten digits", "1000000000", 0, 1, 0},
        {"thirteen digits", "1234567890123", 0, 1234, 567890123},
        {"eighteen digits", "999999999999999999", 0, 999999999, 999999999},
        {"negative eighteen", "-100000000000000001", 1, 100000000, 1},
        {"leading zeros", "000000000000000042", 0, 0, 42},
        {"nineteen digits overflow", nineteen.c_str(), 1, 0, 0},
        {"very long text overflow", huge.c_str(), 1, 0, 0},
        {"stops at non-digit", "12ab", 0, 0, 12},
        {"split after non-digit stop", "123456789012abc", 0, 123, 456789012},
        {"long non-digit tail", longTail.c_str(), 0, 0, 12345},
        {"empty", "", 0, 0, 0},
        {"minus alone", "-", 1, 0, 0},
        {"letters", "abc", 0, 0, 0},
        {"null", nullptr, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SBigInt v = Parse(c.text);
        uint32_t high = v.ulHigh, low = v.ulLow;  // packed fields, copied before comparing
        EXPECT_EQ(c.sign, v.ucSign);
        EXPECT_EQ(c.high, high);
        EXPECT_EQ(c.low, low);
    }
}

TEST(BigInt, IntToStrFormsAndReturnsDigitCount) {
    struct Case { const char* name; SBigInt value; const char* text; int count; };
    const Case cases[] = {
        {"low only", Make(0, 0, 7), "7", 1},
        {"low zero pads under high", Make(0, 5, 7), "5000000007", 10},
        {"negative", Make(1, 0, 100), "-100", 3},
        {"negative zero", Make(1, 0, 0), "-0", 1},
        {"other sign byte is positive", Make(2, 0, 42), "42", 2},
        {"largest normalised", Make(1, 999999999, 999999999), "-999999999999999999", 18},
        {"damaged limbs stay in bounds", Make(1, 0xFFFFFFFFu, 0xFFFFFFFFu), "-42949672954294967295", 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char out[BIGINT_TEXT_SIZE];
        EXPECT_EQ(c.count, BigInt_IntToStr(&c.value, out));
        EXPECT_STREQ(c.text, Print(c.value).c_str());
    }
}

TEST(BigInt, TextRoundTrip) {
    for (const char* text : {"0", "1234567890123", "-987654321", "100000000000000000", "-999999999999999999"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(text, Print(Parse(text)));
    }
}

TEST(BigInt, ModCmpIgnoresSigns) {
    struct Case { const char* a; const char* b; int8_t expected; };
    const Case cases[] = {
        {"-5", "3", 1},
        {"3", "-5", -1},
        {"-7", "7", 0},
        {"1000000000", "999999999", 1},        // high limb decides first
        {"1000000001", "2000000000", -1},
        {"2000000005", "2000000004", 1},       // then the low limb
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        SBigInt a = Parse(c.a), b = Parse(c.b);
        EXPECT_EQ(c.expected, BigInt_ModCmp(&a, &b));
    }
}

struct ArithCase { const char* a; const char* b; const char* result; uint8_t sign; };

void RunArith(const ArithCase* cases, size_t n, void (*op)(SBigInt*, const SBigInt*), const char* opName) {
    for (size_t i = 0; i < n; ++i) {
        const ArithCase& c = cases[i];
        SCOPED_TRACE(std::string(c.a) + opName + c.b);
        SBigInt a = Parse(c.a), b = Parse(c.b);
        op(&a, &b);
        EXPECT_EQ(c.result, Print(a));
        EXPECT_EQ(c.sign, a.ucSign);
        uint32_t low = a.ulLow;
        EXPECT_LT(low, 1000000000u);
    }
}

TEST(BigInt, AddHandlesSignsCarriesAndBorrows) {
    const ArithCase cases[] = {
        {"200", "-300", "-100", 1},
        {"300", "-300", "0", 0},
        {"-300", "300", "0", 0},
        {"999999999", "1", "1000000000", 0},                   // carry into the high limb
        {"999999999999999998", "1", "999999999999999999", 0},
        {"1999999999", "1999999999", "3999999998", 0},         // carry with both limbs set
        {"-5", "-7", "-12", 1},
        {"1000000005", "-7", "999999998", 0},                  // borrow from the high limb
        {"-7", "1000000005", "999999998", 0},                  // larger b gives b's sign
        {"5", "-2000000000", "-1999999995", 1},
    };
    RunArith(cases, sizeof(cases) / sizeof(cases[0]), BigInt_Add, " + ");
}

TEST(BigInt, SubFlipsSignOfSubtrahend) {
    const ArithCase cases[] = {
        {"100", "300", "-200", 1},
        {"-100", "-100", "0", 0},
        {"0", "5", "-5", 1},
        {"-5", "5", "-10", 1},
        {"1000000000", "1", "999999999", 0},
        {"-1", "-1000000000", "999999999", 0},
    };
    RunArith(cases, sizeof(cases) / sizeof(cases[0]), BigInt_Sub, " - ");

    // Any sign byte other than 1 is positive, and subtracting it gives a negative.
    SBigInt a = Make(0, 0, 10), b = Make(2, 0, 15);
    BigInt_Sub(&a, &b);
    EXPECT_EQ("-5", Print(a));
}

TEST(BigInt, OperandMayAliasResult) {
    SBigInt a = Parse("600000000");
    BigInt_Add(&a, &a);
    EXPECT_EQ("1200000000", Print(a));
    BigInt_Sub(&a, &a);
    EXPECT_EQ("0", Print(a));
    EXPECT_EQ(0, a.ucSign);
}

TEST(BigInt, CopyTakesAllNineBytes) {
    SBigInt src = Make(1, 0x01020304u, 0x05060708u), dst = Make(0, 0, 0);
    BigInt_Copy(&dst, &src);
    EXPECT_EQ(0, memcmp(&src, &dst, sizeof(SBigInt)));
}

}  // namespace

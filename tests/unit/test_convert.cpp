// Buffer conversions, currencies, display form of amounts and the clock-based
// host values (date-time text and retrieval reference number).
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "support/convert.h"
#include "support/currency.h"
#include "support/mpsutils.h"
#include "support/sysclock.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t n) {
    std::string out(2 * n, '?');
    Convert_BinToHex(bytes, &out[0], static_cast<int>(n));
    return out;
}

TEST(Convert, HexToByteReadsBothCasesAndZeroesStrangers) {
    struct Case { const char* hex; uint8_t byte; };
    const Case cases[] = {
        {"00", 0x00}, {"FF", 0xFF}, {"ff", 0xFF}, {"aB", 0xAB}, {"9c", 0x9C},
        {"G1", 0x01}, {"1g", 0x10}, {"  ", 0x00}, {"-5", 0x05},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        uint8_t out = 0x5A;
        Convert_HexToByte(c.hex, &out);
        EXPECT_EQ(c.byte, out);
    }
}

TEST(Convert, BinHexRoundTripWithoutTerminatorOrOverrun) {
    const uint8_t bytes[] = {0x00, 0x01, 0x7F, 0x80, 0xAB, 0xFF};
    char text[16];
    memset(text, '#', sizeof(text));
    Convert_BinToHex(bytes, text, 6);
    EXPECT_EQ("00017F80ABFF", std::string(text, 12));
    EXPECT_EQ('#', text[12]) << "no terminator, nothing past 2 x count";

    uint8_t back[8];
    memset(back, 0xEE, sizeof(back));
    Convert_HexToBin("00017f80abFF", back, 6);
    EXPECT_EQ(0, memcmp(bytes, back, 6));
    EXPECT_EQ(0xEE, back[6]);

    // A count of zero touches nothing.
    Convert_BinToHex(bytes, text, 0);
    Convert_HexToBin("FF", back, 0);
    EXPECT_EQ('0', text[0]);
    EXPECT_EQ(0x00, back[0]);
}

TEST(Convert, NumToBufAndBackInBothOrders) {
    struct Case { uint32_t value; int length; int order; std::vector<uint8_t> bytes; uint32_t readBack; };
    const Case cases[] = {
        {0x01020304u, 4, 0, {0x01, 0x02, 0x03, 0x04}, 0x01020304u},
        {0x01020304u, 4, 1, {0x04, 0x03, 0x02, 0x01}, 0x01020304u},
        {0x01020304u, 2, 0, {0x03, 0x04}, 0x0304u},  // the low bytes of a wider value
        {0x01020304u, 2, 7, {0x04, 0x03}, 0x0304u},  // any non-zero order is little-endian
        {0xABu, 1, 0, {0xAB}, 0xABu},
        {0xFFFFFFFFu, 3, 1, {0xFF, 0xFF, 0xFF}, 0xFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + "/" + std::to_string(c.length) + "/" + std::to_string(c.order));
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof(buf));
        Convert_NumToBuf(c.value, buf, c.length, c.order);
        EXPECT_EQ(Hex(c.bytes.data(), c.bytes.size()), Hex(buf, c.bytes.size()));
        EXPECT_EQ(0xEE, buf[c.length]) << "wrote past length";
        EXPECT_EQ(c.readBack, Convert_BufToNum(buf, c.length, c.order));
    }
}

TEST(Convert, BadLengthsWriteNothingAndReadZero) {
    const uint8_t full[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int length : {-1, 0, 5, 8}) {
        SCOPED_TRACE(length);
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof(buf));
        Convert_NumToBuf(0x01020304u, buf, length, 0);
        EXPECT_EQ(std::string(16, 'E'), Hex(buf, 8));
        EXPECT_EQ(0u, Convert_BufToNum(full, length, 0));
    }
}

TEST(Convert, ULongToBCD) {
    struct Case { const char* name; uint32_t value; int digits; const char* hex; };
    const Case cases[] = {
        {"EMV amount", 1500, 12, "000000001500"},
        {"largest 32-bit amount", 4294967295u, 12, "004294967295"},
        {"currency code", 933, 4, "0933"},
        {"zero", 0, 4, "0000"},
        {"too wide keeps the low digits", 123456, 4, "3456"},
        {"odd count packs count / 2 bytes", 12345, 5, "2345"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[8];
        memset(buf, 0xEE, sizeof(buf));
        Convert_ULongToBCD(c.value, buf, c.digits);
        size_t n = strlen(c.hex) / 2;
        EXPECT_EQ(c.hex, Hex(buf, n));
        EXPECT_EQ(0xEE, buf[n]) << "wrote past digits / 2 bytes";
    }
}

TEST(Convert, Ultoa) {
    struct Case { unsigned long value; int radix; const char* text; };
    const Case cases[] = {
        {0, 10, "0"}, {4294967295ul, 10, "4294967295"}, {255, 16, "FF"},
        {0xDEADBEEFul, 16, "DEADBEEF"}, {255, 8, "255"}, {42, 2, "42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char out[24];
        EXPECT_EQ(out, ultoa(c.value, out, c.radix));
        EXPECT_STREQ(c.text, out);
    }
}

TEST(Convert, TickCountCountsMilliseconds) {
    uint32_t before = GetTickCount();
    struct timespec pause = {0, 60 * 1000000L};
    nanosleep(&pause, nullptr);
    uint32_t elapsed = GetTickCount() - before;  // unsigned difference survives the wrap
    EXPECT_GE(elapsed, 55u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(Currency, ConvertsEitherFormAndLeavesUnknownUntouched) {
    struct Case { const char* code; const char* alpha; const char* num; };
    const Case cases[] = {
        {"933", "BYN", "933"}, {"BYN", "BYN", "933"}, {"974", "BYR", "974"}, {"BYR", "BYR", "974"},
        {"USD", "USD", "840"}, {"978", "EUR", "978"}, {"RUB", "RUB", "643"}, {"643", "RUB", "643"},
        {"GBP", "keep", "keep"}, {"byn", "BYN", "933"}, {"uSd", "USD", "840"}, {"9330", "keep", "keep"},
        {"BYNX", "keep", "keep"}, {"xyz", "keep", "keep"},
        {"93", "keep", "keep"}, {"", "keep", "keep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        char alpha[8] = "keep";
        char num[8] = "keep";
        Currency_ConvToAlpha(c.code, alpha);
        Currency_ConvToNum(c.code, num);
        EXPECT_STREQ(c.alpha, alpha);
        EXPECT_STREQ(c.num, num);
    }
    char out[8] = "keep";
    Currency_ConvToAlpha(nullptr, out);
    EXPECT_STREQ("keep", out);
}

TEST(Currency, FormatAmountDisplayForms) {
    struct Case { const char* currency; const char* amount; const char* display; };
    const Case cases[] = {
        {"BYN", "5", "0.05"},
        {"USD", "123456", "1 234.56"},
        {"BYR", "1234567", "1 234 567"},
        {"EUR", "0", "0.00"},
        {"BYN", "", "0.00"},
        {"BYN", "99", "0.99"},
        {"BYN", "100", "1.00"},
        {"BYN", "99999", "999.99"},
        {"BYN", "100000", "1 000.00"},
        {"RUB", "123456789012", "1 234 567 890.12"},
        {"BYR", "0", "0"},
        {"BYR", "999", "999"},
        {"BYR", "1000", "1 000"},
        {"BYRX", "1000", "1 000"},          // only the first three characters decide
        {"933", "1000", "10.00"},           // the numeric form of BYN has decimals too
        {"BYN", "-5", "-0.05"},             // the sign stays in front of the padding
        {"BYN", "-12345", "-123.45"},       // and is no digit of a group
        {"USD", "-123456", "-1 234.56"},
        {"BYR", "-123456", "-123 456"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.currency) + " " + c.amount);
        char text[CURRENCY_DISPLAY_SIZE];
        strcpy(text, c.amount);
        Currency_FormatAmount(c.currency, text);
        EXPECT_STREQ(c.display, text);
    }
}

TEST(Currency, FormatAmountStaysWithinDocumentedBuffer) {
    struct Case { const char* currency; std::string amount; const char* display; };
    const Case cases[] = {
        {"USD", std::string(20, '9'), "999 999 999 999 999 999.99"},
        {"BYR", std::string(20, '9'), "99 999 999 999 999 999 999"},
        {"USD", "-" + std::string(19, '9'), "-99 999 999 999 999 999.99"},
        {"USD", std::string(21, '9'), nullptr},  // over the limit: unchanged
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.amount);
        char text[CURRENCY_DISPLAY_SIZE + 16];
        memset(text, '#', sizeof(text));
        strcpy(text, c.amount.c_str());
        Currency_FormatAmount(c.currency, text);
        EXPECT_STREQ(c.display ? c.display : c.amount.c_str(), text);
        if (c.display == nullptr) continue;
        for (size_t i = CURRENCY_DISPLAY_SIZE; i < sizeof(text); ++i) {
            EXPECT_EQ('#', text[i]) << "wrote past the display size at " << i;
        }
    }
}

// A fixed local time for the clock seam.
time_t g_FixedNow = 0;
time_t FixedNow() { return g_FixedNow; }

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

class HostValues : public ::testing::Test {
protected:
    void SetUp() override {
        static const SSysClockSeam seam = {FixedNow, nullptr, nullptr};
        SysClock_SetSeam(&seam);
    }
    void TearDown() override { SysClock_SetSeam(nullptr); }
};

TEST_F(HostValues, MakeRRN) {
    struct Case { const char* name; time_t now; uint32_t batch; uint16_t index; const char* rrn; };
    const Case cases[] = {
        {"worked example", LocalTime(2025, 2, 3, 14, 5, 0), 7, 42, "503414070042"},
        {"last day of a leap year", LocalTime(2024, 12, 31, 23, 59, 59), 123, 9999, "436623239999"},
        {"first day, midnight", LocalTime(2030, 1, 1, 0, 0, 0), 100, 1, "000100000001"},
        {"index past four digits keeps its low digits", LocalTime(2025, 2, 3, 9, 0, 0), 4294967295u, 12345,
         "503409952345"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_FixedNow = c.now;
        char out[MPSUTILS_RRN_SIZE + 4];
        memset(out, '#', sizeof(out));
        MPSUtils_MakeRRN(out, c.batch, c.index);
        EXPECT_STREQ(c.rrn, out);
    }
}

TEST_F(HostValues, GetCurrentTime) {
    struct Case { time_t now; const char* text; };
    const Case cases[] = {
        {LocalTime(2025, 2, 3, 14, 5, 9), "250203140509"},
        {LocalTime(2009, 12, 31, 23, 59, 58), "091231235958"},
        {LocalTime(2100, 1, 1, 0, 0, 0), "000101000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        g_FixedNow = c.now;
        char out[MPSUTILS_DATETIME_SIZE + 4];
        memset(out, '#', sizeof(out));
        MPSUtils_GetCurrentTime(out);
        EXPECT_STREQ(c.text, out);
    }
}

}  // namespace

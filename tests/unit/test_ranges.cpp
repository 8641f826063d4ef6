// Card-range table DATA/RANGE.CFG: entry layout, count, the walk from the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include "kernel/ranges.h"
#include "tests/unit/records_test_util.h"

namespace {

// One 131-byte entry built byte by byte: flags at 51 (PIN), 52 (chip), 57 (refund), 58 (balance).
std::string Entry(const char* prefix, const char* name, uint8_t pin, uint8_t ret, uint8_t bal) {
    return Bytes().text(prefix, 20).text(name, 31).u8(pin).u8(1).fill(4, 0xEE).u8(ret).u8(bal).fill(72, 0xEE).s;
}

class RangesTest : public ::testing::Test {
protected:
    RecordsDir dir;
    void SetUp() override { Ranges_Reset(); }
};

TEST_F(RangesTest, CountIsWholeEntries) {
    struct Case { int size; uint16_t count; };
    const Case cases[] = {{-1, 0}, {0, 0}, {130, 0}, {131, 1}, {262, 2}, {400, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        unlink(RANGES_FILE);
        if (c.size >= 0) WriteFile(RANGES_FILE, std::string(c.size, 'x'));
        EXPECT_EQ(c.count, Ranges_GetCount());
    }
}

TEST_F(RangesTest, SetRangeWalksFromTheEnd) {
    struct Case {
        const char* name;
        std::vector<const char*> prefixes;
        const char* pan;
        uint16_t rangeNo;
        int result;
        int index;
    };
    const Case cases[] = {
        {"later star wins over reported", {"4", "5", "*"}, "4111", 1, 0, 2},
        {"reported taken without prefix test", {"4", "5"}, "4111", 2, 0, 1},
        {"later prefix match wins", {"4", "41", "5"}, "4111", 1, 0, 1},
        {"range 0 matches by prefix only", {"4", "5"}, "5500", 0, 0, 1},
        {"nothing matches", {"4", "5"}, "6011", 0, -1, -1},
        {"reported beyond the table", {"4", "5"}, "4111", 5, 0, 0},
        {"reported beyond, nothing matches", {"4", "5"}, "6011", 5, -1, 4},
        {"empty prefix matches every card", {"", "5"}, "6011", 0, 0, 0},
        {"prefix longer than the card", {"41234", "5"}, "412", 0, -1, -1},
        {"star among other text is literal", {"4*", "5"}, "4111", 0, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file;
        for (size_t i = 0; i < c.prefixes.size(); ++i) {
            std::string name = "SYS" + std::to_string(i);
            file += Entry(c.prefixes[i], name.c_str(), 1, 1, 1);
        }
        WriteFile(RANGES_FILE, file);
        Ranges_Reset();
        EXPECT_EQ(c.result, Ranges_SetRange(c.pan, c.rangeNo));
        EXPECT_EQ(c.index, Ranges_GetIndex());
        if (c.result == 0) { EXPECT_EQ("SYS" + std::to_string(c.index), Ranges_GetPaySysName()); }
    }
}

TEST_F(RangesTest, FlagsAndNameComeFromTheCurrentEntry) {
    WriteFile(RANGES_FILE, Entry("4", "VISA", 1, 0, 7) + Entry("5", "MASTERCARD", 0, 3, 0));
    struct Case { const char* pan; uint16_t rangeNo; const char* name; int pin, ret, bal; };
    const Case cases[] = {
        {"4111", 1, "VISA", 1, 0, 1},
        {"5500", 2, "MASTERCARD", 0, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0, Ranges_SetRange(c.pan, c.rangeNo));
        EXPECT_STREQ(c.name, Ranges_GetPaySysName());
        EXPECT_EQ(c.pin, Ranges_IsPinEnable());
        EXPECT_EQ(c.ret, Ranges_IsReturnEnable());
        EXPECT_EQ(c.bal, Ranges_IsBalanceEnable());
    }
    Ranges_Reset();
    EXPECT_STREQ("", Ranges_GetPaySysName());
    EXPECT_EQ(0, Ranges_IsPinEnable() + Ranges_IsReturnEnable() + Ranges_IsBalanceEnable());
}

TEST_F(RangesTest, MissingFileLeavesNothingUsable) {
    EXPECT_EQ(-1, Ranges_SetRange("4111", 1));
    EXPECT_EQ(0, Ranges_GetIndex());  // the reported index stays, with an empty entry
    EXPECT_STREQ("", Ranges_GetPaySysName());
    EXPECT_EQ(0, Ranges_IsPinEnable() + Ranges_IsReturnEnable() + Ranges_IsBalanceEnable());
}

TEST_F(RangesTest, UnterminatedFieldsStayWithinTheirBytes) {
    // A 20-digit prefix without terminator, a 31-character name without terminator.
    std::string prefix = "41111111111111111111";
    std::string name(31, 'N');
    std::string entry = prefix + name + std::string(80, '\0');
    WriteFile(RANGES_FILE, entry);

    EXPECT_EQ(-1, Ranges_SetRange("4111111111111111111", 0));  // one digit short of the prefix
    ASSERT_EQ(0, Ranges_SetRange("411111111111111111112222", 0));
    EXPECT_EQ(std::string(30, 'N'), Ranges_GetPaySysName());
}

}  // namespace

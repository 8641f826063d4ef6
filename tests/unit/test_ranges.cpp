// Card-range table DATA/RANGE.CFG: entry layout, count, the walk from the end,
// and the check a table passes before it is taken anywhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "kernel/ranges.h"
#include "support/log.h"
#include "tests/common/emulators.h"
#include "support/result_codes.h"
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

// Every table is checked as a whole before the pad or the kernel takes it:
// one case per rule, the reason naming the entry and the field.
TEST_F(RangesTest, CheckTakesOnlyWholeReadableTables) {
    const std::string good = Entry("4", "VISA", 1, 1, 1);
    std::string many;
    for (int i = 0; i < RANGES_MAX_FILE_SIZE / RANGES_ENTRY_SIZE; ++i)
        many += Entry(std::to_string(i).c_str(), "N", 0, 0, 0);
    mkdir("LOG", 0777);
    std::string noisy(200, '\0');
    for (size_t i = 0; i < noisy.size(); ++i) noisy[i] = static_cast<char>((i * 167 + 13) & 0xFF);
    struct Case {
        const char* name;
        std::string file;  // "-": no file at all
        int result;
        const char* reason;
    };
    const Case cases[] = {
        {"one entry", good, RES_OK, ""},
        {"catch-all and a 19-digit prefix", Entry("*", "OTHER", 0, 0, 0) + Entry("4123456789012345678", "VISA", 1, 1, 1),
         RES_OK, ""},
        {"a Windows-1251 name", Entry("9112", "\xC1\xC5\xCB\xCA\xC0\xD0\xD2", 1, 1, 1), RES_OK, ""},
        {"any flag byte counts as set", Entry("5", "MC", 0xFF, 7, 2), RES_OK, ""},
        {"as many entries as the pad takes", many, RES_OK, ""},
        {"one entry more than the pad takes", many + good, RES_NO_RANGES, "more than the 65000"},
        {"no file", "-", RES_NO_RANGES, "not opened"},
        {"empty", "", RES_NO_RANGES, "empty"},
        {"short of one entry", good.substr(0, 130), RES_NO_RANGES, "not whole entries"},
        {"an entry and a torn one", good + good.substr(0, 40), RES_NO_RANGES, "not whole entries"},
        {"200 bytes of noise", noisy, RES_NO_RANGES, ""},
        {"zero-filled entry", std::string(RANGES_ENTRY_SIZE, '\0'), RES_NO_RANGES, "entry 1: empty prefix"},
        {"prefix without its zero", Entry("41111111111111111111", "VISA", 1, 1, 1), RES_NO_RANGES,
         "entry 1: prefix not ended"},
        {"prefix with a letter", Entry("4A", "VISA", 1, 1, 1), RES_NO_RANGES, "entry 1: prefix not digits"},
        {"a star after digits", Entry("4*", "VISA", 1, 1, 1), RES_NO_RANGES, "entry 1: prefix not digits"},
        {"empty name", Entry("4", "", 1, 1, 1), RES_NO_RANGES, "entry 1: empty name"},
        {"name without its zero", Entry("4", std::string(31, 'N').c_str(), 1, 1, 1), RES_NO_RANGES,
         "entry 1: name not ended"},
        {"a line break in the name", Entry("4", "VI\nSA", 1, 1, 1), RES_NO_RANGES, "entry 1: control character"},
        {"the second entry is bad", good + Entry("5 ", "MC", 1, 1, 1), RES_NO_RANGES, "entry 2: prefix not digits"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(RANGES_FILE);
        if (c.file != "-") WriteFile(RANGES_FILE, c.file);
        char reason[RANGES_REASON_SIZE] = "unset";
        EXPECT_EQ(c.result, RangeFile_Check(RANGES_FILE, reason, sizeof(reason)));
        if (c.result == RES_OK) {
            EXPECT_STREQ("", reason);
        } else {
            EXPECT_NE(nullptr, strstr(reason, c.reason)) << reason;
            EXPECT_TRUE(emu::Has(emu::ReadLog(), std::string("[" RANGES_FILE "] refused: ") + reason));
        }
    }
}

}  // namespace

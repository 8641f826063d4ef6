// The BER-TLV store that the PIN-pad commands build and read lists with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pinpad/tagtake.h"
#include "pinpad/tlv.h"
#include "support/result_codes.h"
#include "tests/common/tempdir.h"

namespace {

std::vector<uint8_t> Bytes(const S_TLV& t) { return std::vector<uint8_t>(t.pucBuffer, t.pucBuffer + t.ulUsed); }

TEST(Tlv, AddEncodesTagAndLength) {
    struct Case {
        const char* name;
        uint32_t tag;
        uint32_t len;
        std::vector<uint8_t> head;  // expected tag and length bytes
    } cases[] = {
        {"two-byte tag, short length", 0x9F02, 6, {0x9F, 0x02, 0x06}},
        {"one-byte tag, empty value", 0x5A, 0, {0x5A, 0x00}},
        {"length 127 still one byte", 0x57, 127, {0x57, 0x7F}},
        {"length 200", 0x1F60, 200, {0x1F, 0x60, 0x81, 0xC8}},
        {"length 300", 0x1F60, 300, {0x1F, 0x60, 0x82, 0x01, 0x2C}},
        {"three-byte tag", 0x9FFF13, 1, {0x9F, 0xFF, 0x13, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[400];
        std::vector<uint8_t> value(c.len, 0xA5);
        S_TLV t;
        ASSERT_EQ(0, TLV_OpenStorage(&t, 0, sizeof(buf), buf));
        ASSERT_EQ(0, TLV_AddObject(&t, c.tag, c.len, value.data()));
        std::vector<uint8_t> expect = c.head;
        expect.insert(expect.end(), value.begin(), value.end());
        EXPECT_EQ(expect, Bytes(t));
        ASSERT_EQ(0, TLV_GetObject(&t, c.tag));
        EXPECT_EQ(c.len, TLV_GetObjectTagLength(&t));
        EXPECT_EQ(c.head.size(), TLV_GetObjectTagOffset(&t));
    }
}

TEST(Tlv, RefusesWhatDoesNotFitAndBadArguments) {
    uint8_t buf[20];
    memset(buf, 0xEE, sizeof(buf));
    S_TLV t;
    EXPECT_EQ(1, TLV_OpenStorage(&t, 0, 0, buf));
    EXPECT_EQ(1, TLV_OpenStorage(&t, 0, 20, nullptr));
    EXPECT_EQ(1, TLV_OpenStorage(nullptr, 0, 20, buf));
    ASSERT_EQ(0, TLV_OpenStorage(&t, 0, 20, buf));
    const uint8_t v[10] = {};
    ASSERT_EQ(0, TLV_AddObject(&t, 0x9F, 0, nullptr));  // 2 bytes
    ASSERT_EQ(0, TLV_AddObject(&t, 0x50, 6, v));        // 8 bytes: used 10
    EXPECT_EQ(10u, TLV_GetSize(&t));
    // 10 + 3 + 8 > 20: refused, store unchanged.
    EXPECT_EQ(1, TLV_AddObject(&t, 0x51, 3, v));
    EXPECT_EQ(10u, TLV_GetSize(&t));
    EXPECT_EQ(0xEE, buf[10]);
    EXPECT_EQ(0, TLV_AddObject(&t, 0x51, 2, v));
    EXPECT_EQ(1, TLV_AddObject(&t, 0, 1, v));
    EXPECT_EQ(1, TLV_AddObject(nullptr, 0x51, 1, v));
    EXPECT_EQ(0u, TLV_GetSize(nullptr));
    // A huge length must not wrap round the capacity check.
    EXPECT_EQ(1, TLV_AddObject(&t, 0x52, 0xFFFFFFF8u, v));
    S_TLV empty;
    ASSERT_EQ(0, TLV_OpenStorage(&empty, 0, 20, buf));
    EXPECT_EQ(1, TLV_GetObject(&empty, 0x9F));
    EXPECT_EQ(1, TLV_ClearObject(&empty, 0x9F));
}

TEST(Tlv, DuplicateTagsActOnFirstAndRemovalClosesGap) {
    uint8_t buf[64];
    S_TLV t;
    TLV_OpenStorage(&t, 0, sizeof(buf), buf);
    const uint8_t a[2] = {1, 2}, b[3] = {3, 4, 5}, c[1] = {9};
    TLV_AddObject(&t, 0x9F02, 2, a);
    TLV_AddObject(&t, 0x5A, 1, c);
    TLV_AddObject(&t, 0x9F02, 3, b);
    ASSERT_EQ(0, TLV_GetObject(&t, 0x9F02));
    EXPECT_EQ(2u, TLV_GetObjectTagLength(&t));
    ASSERT_EQ(0, TLV_ClearObject(&t, 0x9F02));
    EXPECT_EQ((std::vector<uint8_t>{0x5A, 1, 9, 0x9F, 0x02, 3, 3, 4, 5}), Bytes(t));
    ASSERT_EQ(0, TLV_GetObject(&t, 0x9F02));
    EXPECT_EQ(3u, TLV_GetObjectTagLength(&t));
    EXPECT_EQ(0, memcmp(buf + TLV_GetObjectTagOffset(&t), b, 3));
    EXPECT_EQ(1, TLV_GetObject(&t, 0x9F03));
}

TEST(Tlv, ReadsReceivedListsAndStopsAtDamage) {
    // 9F02 06 ..., 1F55 02 'A' 'B', then a 57 claiming 9 bytes of which 3 exist.
    uint8_t reply[] = {0x9F, 0x02, 0x06, 0, 0, 0, 0, 0x10, 0x00, 0x1F, 0x55, 0x02, 'A', 'B',
                       0x57, 0x09, 1, 2, 3};
    S_TLV t;
    ASSERT_EQ(0, TLV_OpenStorage(&t, sizeof(reply), sizeof(reply), reply));
    ASSERT_EQ(0, TLV_GetObject(&t, 0x1F55));
    EXPECT_EQ(2u, TLV_GetObjectTagLength(&t));
    EXPECT_EQ(12u, TLV_GetObjectTagOffset(&t));
    EXPECT_EQ(1, TLV_GetObject(&t, 0x57));
    EXPECT_EQ(1, TLV_ClearObject(&t, 0x57));
    EXPECT_EQ(sizeof(reply), TLV_GetSize(&t));
    // A long-form length whose bytes run off the end, and a tag cut short.
    uint8_t cut1[] = {0x5A, 0x82, 0x01};
    uint8_t cut2[] = {0x50, 0x01, 'x', 0x9F};
    TLV_OpenStorage(&t, sizeof(cut1), sizeof(cut1), cut1);
    EXPECT_EQ(1, TLV_GetObject(&t, 0x5A));
    TLV_OpenStorage(&t, sizeof(cut2), sizeof(cut2), cut2);
    EXPECT_EQ(0, TLV_GetObject(&t, 0x50));
    EXPECT_EQ(1, TLV_GetObject(&t, 0x9F02));
}

TEST(Tlv, CheckTagData) {
    TempDir dir;
    dir.write("LOG/.keep", "");
    uint8_t buf[64];
    S_TLV t;
    TLV_OpenStorage(&t, 0, sizeof(buf), buf);
    const uint8_t tvr[5] = {1, 2, 3, 4, 5};
    TLV_AddObject(&t, 0x95, 5, tvr);
    TLV_AddObject(&t, 0x9F27, 1, tvr);

    uint8_t out[5] = {};
    EXPECT_EQ(RES_TLV_TAG_MISSING, TLV_CheckTagData(&t, 0x9F34, 3, out, 1));
    EXPECT_EQ(RES_TLV_TAG_LENGTH, TLV_CheckTagData(&t, 0x95, 4, out, 1));
    EXPECT_EQ(0, TLV_GetObject(&t, 0x95));  // a refused check removes nothing
    EXPECT_EQ(RES_OK, TLV_CheckTagData(&t, 0x95, 5, out, 0));
    EXPECT_EQ(0, memcmp(out, tvr, 5));
    EXPECT_EQ(RES_OK, TLV_CheckTagData(&t, 0x95, 0, nullptr, 1));
    EXPECT_EQ(1, TLV_GetObject(&t, 0x95));
    EXPECT_EQ(RES_OK, TLV_CheckTagData(&t, 0x9F27, 1, nullptr, 0));
    EXPECT_EQ(4u, TLV_GetSize(&t));
}

// A text is read from the first copy of its tag; a refused one leaves the
// destination alone; a drop removes every copy, taken or not.
TEST(TagTake, TextLengthRulesAndDrop) {
    const std::string seventeen = "ABCDEFGHIJKLMNOPQ";
    struct Case {
        const char* name;
        std::string first;  // value of the first of two copies of the tag
        uint32_t minLen;
        uint8_t flags;
        int result;
        const char* text;   // the destination afterwards
        bool left;          // the tag is still in the list
    } cases[] = {
        {"within the bounds", "VISA", 1, 0, 0, "VISA", true},
        {"longer refused", seventeen, 1, 0, 1, "old", true},
        {"longer cut", seventeen, 0, TAGTAKE_CUT, 0, "ABCDEFGHIJKLMNOP", true},
        {"shorter refused", "", 1, 0, 1, "old", true},
        {"taken and dropped", "VISA", 1, TAGTAKE_DROP, 0, "VISA", false},
        {"refused and dropped all the same", seventeen, 1, TAGTAKE_DROP, 1, "old", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[96];
        S_TLV t;
        TLV_OpenStorage(&t, 0, sizeof(buf), buf);
        TLV_AddObject(&t, 0x50, static_cast<uint32_t>(c.first.size()), c.first.data());
        TLV_AddObject(&t, 0x50, 6, "SECOND");
        char dest[17];
        memset(dest, 'x', sizeof(dest));
        strcpy(dest, "old");
        EXPECT_EQ(c.result, TagTake_Text(&t, 0x50, c.minLen, 16, dest, c.flags));
        EXPECT_STREQ(c.text, dest);
        if (c.result == 0) {  // the rest of a taken text's field is cleared
            const size_t n = strlen(c.text);
            EXPECT_EQ(std::string(sizeof(dest) - n, '\0'), std::string(dest + n, sizeof(dest) - n));
        }
        EXPECT_EQ(c.left, TLV_GetObject(&t, 0x50) == 0);
    }
}

// An enciphered value: its clear length first, then exactly that length
// rounded up to whole 8-byte blocks, no more than the destination holds.
TEST(TagTake, EncipheredValueForm) {
    struct Case {
        const char* name;
        uint8_t clear;
        uint32_t cipher;  // bytes behind the length byte
        int result;
    } cases[] = {
        {"16 digits in 16 bytes", 16, 16, 0},
        {"37 characters in 40 bytes", 37, 40, 0},
        {"one block too many", 16, 24, 1},
        {"a block short", 17, 16, 1},
        {"clear length 0", 0, 0, 1},
        {"above the clear maximum", 25, 32, 1},
        {"more than the destination", 41, 48, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[96];
        S_TLV t;
        TLV_OpenStorage(&t, 0, sizeof(buf), buf);
        std::vector<uint8_t> value(1 + c.cipher, 0x5C);
        value[0] = c.clear;
        TLV_AddObject(&t, 0x57, static_cast<uint32_t>(value.size()), value.data());
        uint8_t enc[41];
        memset(enc, 0xEE, sizeof(enc));
        uint8_t len = 99;
        const uint32_t maxLen = c.clear == 25 ? 24 : 41;
        EXPECT_EQ(c.result, TagTake_Enc(&t, 0x57, maxLen, sizeof(enc), &len, enc, TAGTAKE_DROP));
        if (c.result == 0) {
            EXPECT_EQ(c.clear, len);
            EXPECT_EQ(std::vector<uint8_t>(c.cipher, 0x5C), std::vector<uint8_t>(enc, enc + c.cipher));
            EXPECT_EQ(std::vector<uint8_t>(sizeof(enc) - c.cipher, 0), std::vector<uint8_t>(enc + c.cipher, enc + sizeof(enc)));
        } else {
            EXPECT_EQ(99, len);
            EXPECT_EQ(0xEE, enc[0]);
        }
        EXPECT_EQ(1, TLV_GetObject(&t, 0x57));
    }
}

}  // namespace

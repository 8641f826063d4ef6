// Bitmap message container: dictionary-driven adding, splitting of received
// messages (also hostile ones), field lists, and the two envelopes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/tmmsgbuilder.h"
#include "host/tmmsgbuilder_internal.h"
#include "host/tmmsgprs.h"
#include "support/result_codes.h"

namespace {

class TMMsgTest : public ::testing::Test {
protected:
    void SetUp() override {
        TMMsgPrs_Init();
        TMMsgPrs_InitContainer(&msg);
    }
    std::string Text() const { return std::string(msg.acMessage, msg.usLength); }
    std::string Field(uint16_t n) const {
        const char* data = nullptr;
        uint16_t length = 0;
        TMMsgPrs_GetField(&msg, n, &data, &length);
        return data ? std::string(data, length) : std::string("<absent>");
    }
    void Add(uint8_t field, const std::string& value) {
        TMMsgPrs_AddField(&msg, field, value.data(), (uint16_t)value.size());
    }
    void Parse(const std::string& text) {
        TMMsgPrs_ParseMessage(&msg, text.data(), (uint16_t)text.size());
    }
    STMMsgContainer msg;
};

TEST_F(TMMsgTest, FreshContainerHoldsTypePlaceholderAndEmptyBitmap) {
    EXPECT_EQ(msg.usLength, 20);
    EXPECT_EQ(Text(), std::string(4, '\0') + "0000000000000000");
    EXPECT_EQ(msg.astField[0].usOffset, 4);
    EXPECT_EQ(msg.astField[0].usLength, 16);
    for (int f = 1; f <= 128; ++f) ASSERT_FALSE(TMMsgPrs_IsFieldExists(&msg, (uint8_t)f)) << f;
    TMMsgPrs_SetMTI(&msg, 800);
    EXPECT_EQ(Text().substr(0, 4), "0800");
    EXPECT_EQ(TMMsgPrs_GetMTI(&msg), 800);
}

TEST_F(TMMsgTest, DictionarySpotChecks) {
    struct Case { uint16_t field; uint8_t type; uint16_t max; };
    const Case cases[] = {
        {0, 0x01, 16},  {1, 0x01, 16},  {2, 0x44, 19},  {7, 0x02, 14},   {11, 0x04, 6},
        {15, 0x02, 14}, {22, 0x04, 12}, {30, 0x02, 24}, {35, 0x44, 37},  {36, 0x84, 104},
        {39, 0x04, 3},  {48, 0x84, 999}, {52, 0x03, 16}, {55, 0x84, 510}, {56, 0x44, 35},
        {64, 0x03, 16}, {65, 0x03, 16}, {95, 0x44, 99}, {96, 0x84, 998}, {97, 0x04, 17},
        {110, 0x44, 84}, {127, 0x84, 999}, {128, 0x03, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        const STMFieldDescriptor* d = TMMsgPrs_GetDescriptor(c.field);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->ucType, c.type);
        EXPECT_EQ(d->usMaxLength, c.max);
    }
    EXPECT_EQ(TMMsgPrs_GetDescriptor(129), nullptr);
}

TEST_F(TMMsgTest, AddFieldFormatsByClass) {
    struct Case { const char* name; uint8_t field; const char* value; const char* written; const char* data; };
    const Case cases[] = {
        {"numeric right-justified", 4, "1500", "000000001500", "000000001500"},
        {"alphanumeric padded with spaces", 41, "T1", "T1      ", "T1      "},
        {"two-digit prefix", 2, "4000001234567899", "164000001234567899", "4000001234567899"},
        {"three-digit prefix", 48, "ABCDEFGHIJKLMNOPQRSTUVWXY", "025ABCDEFGHIJKLMNOPQRSTUVWXY",
         "ABCDEFGHIJKLMNOPQRSTUVWXY"},
        {"binary as hex zero-filled", 52, "ABCD", "000000000000ABCD", "000000000000ABCD"},
        {"exact length", 39, "000", "000", "000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TMMsgPrs_InitContainer(&msg);
        Add(c.field, c.value);
        EXPECT_EQ(Text().substr(20), c.written);
        EXPECT_EQ(Field(c.field), c.data);
        EXPECT_TRUE(TMMsgPrs_IsFieldExists(&msg, c.field));
    }
}

TEST_F(TMMsgTest, BitmapBitsAndSecondaryBitmap) {
    Add(3, "000000");
    Add(4, "1");
    EXPECT_EQ(Text().substr(4, 16), "3000000000000000");
    TMMsgPrs_InitContainer(&msg);
    Add(1, "0000000000000000");
    Add(95, "X");
    EXPECT_EQ(Text().substr(4, 16), "8000000000000000");
    EXPECT_EQ(Text().substr(20, 16), "0000000200000000");
    EXPECT_EQ(Text().substr(36), "01X");
    EXPECT_EQ(Field(95), "X");
}

TEST_F(TMMsgTest, RefusedFieldsLeaveContainerUnchanged) {
    Add(3, "123456");
    Add(4, "1");
    const STMMsgContainer before = msg;
    struct Case { const char* name; uint8_t field; std::string value; };
    const Case cases[] = {
        {"longer than fixed maximum", 12, "1234567890123"},
        {"longer than prefixed maximum", 2, std::string(20, '1')},
        {"field number zero", 0, "1"},
        {"field number above 128", 129, "1"},
        {"above 64 without secondary bitmap", 95, "X"},
        {"not ascending", 3, "654321"},
        {"same field twice", 4, "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Add(c.field, c.value);
        EXPECT_EQ(msg.usLength, before.usLength);
        EXPECT_EQ(0, memcmp(msg.acMessage, before.acMessage, sizeof(msg.acMessage)));
        EXPECT_EQ(0, memcmp(msg.astField, before.astField, sizeof(msg.astField)));
    }
}

TEST_F(TMMsgTest, CapacityCountsPrefixAndPadding) {
    // Fill up to 2040 characters with field 48 (999 + 3 each) and a tail field 2.
    const std::string big(999, 'A');
    Add(48, big);
    Add(60, big);                                    // 20 + 1002 + 1002 = 2024
    EXPECT_EQ(msg.usLength, 2024);
    Add(61, std::string(21, 'B'));                   // 24 more would be 2048: fits exactly
    EXPECT_EQ(msg.usLength, 2048);
    Add(62, "");                                     // even a zero-length field needs its prefix
    EXPECT_EQ(msg.usLength, 2048);
    EXPECT_FALSE(TMMsgPrs_IsFieldExists(&msg, 62));

    TMMsgPrs_InitContainer(&msg);
    Add(48, big);
    Add(60, big);
    Add(61, std::string(17, 'B'));                   // 2044
    Add(63, "");                                     // prefix 000 -> 2047
    EXPECT_EQ(msg.usLength, 2047);
    EXPECT_FALSE(TMMsgPrs_IsFieldExists(&msg, 63));  // zero length reports absent
    Add(64, "1");                                    // fixed 16 written, 1 given: must not fit
    EXPECT_EQ(msg.usLength, 2047);
}

TEST_F(TMMsgTest, ZeroLengthPrefixedFieldSetsBitButIsAbsent) {
    Add(2, "");
    EXPECT_EQ(Text().substr(4, 2), "40");
    EXPECT_EQ(Text().substr(20), "00");
    EXPECT_FALSE(TMMsgPrs_IsFieldExists(&msg, 2));
}

TEST_F(TMMsgTest, FieldListChecks) {
    Add(3, "000000");
    Add(4, "1");
    Add(39, "000");
    struct Case { const char* list; bool expected; };
    const Case cases[] = {
        {"3;4;39", true}, {"3;4;38", false}, {"3;;4", false}, {";3", false},
        {"39;", true},    {"38;", false},    {"", false},     {"0", false},
        {"129", false},   {"39", true},      {"99999999999;3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        EXPECT_EQ(TMMsgPrs_IsFieldsExists(&msg, c.list), c.expected);
    }
    EXPECT_FALSE(TMMsgPrs_IsFieldsExists(&msg, nullptr));
}

TEST_F(TMMsgTest, BuiltMessageSplitsBackToSameFields) {
    STMMsgContainer built;
    memset(&built, 0, sizeof(built));  // the whole buffers are compared below
    TMMsgPrs_InitContainer(&built);
    TMMsgPrs_SetMTI(&built, 1210);
    const std::vector<std::pair<uint8_t, std::string>> fields = {
        {1, "0000000000000000"}, {2, "12345"}, {4, "1500"}, {39, "000"},
        {48, "KEYDATA"}, {55, "9F2608"}, {95, "F95"}, {128, "ABCDEF0123456789"},
    };
    for (const auto& f : fields)
        TMMsgPrs_AddField(&built, f.first, f.second.data(), (uint16_t)f.second.size());
    Parse(std::string(built.acMessage, built.usLength));
    EXPECT_EQ(TMMsgPrs_GetMTI(&msg), 1210);
    EXPECT_EQ(0, memcmp(msg.astField, built.astField, sizeof(msg.astField)));
    EXPECT_EQ(Field(4), "000000001500");
    EXPECT_EQ(Field(48), "KEYDATA");
    EXPECT_EQ(Field(128), "ABCDEF0123456789");

    // Splitting the container's own bytes in place gives the same result.
    TMMsgPrs_ParseMessage(&built, built.acMessage, built.usLength);
    EXPECT_EQ(0, memcmp(msg.astField, built.astField, sizeof(msg.astField)));
    EXPECT_EQ(0, memcmp(msg.acMessage, built.acMessage, sizeof(msg.acMessage)));
}

TEST_F(TMMsgTest, SplitWithoutSecondaryBitmapReadsFieldsUpTo64) {
    // Bits 3 and 39 set, bit 1 clear: characters 20.. are field 3, not a bitmap.
    Parse(std::string("1210") + "2000000002000000" + "123456" + "000");
    EXPECT_EQ(Field(3), "123456");
    EXPECT_EQ(Field(39), "000");
    EXPECT_EQ(Field(1), "<absent>");
}

TEST_F(TMMsgTest, HostileMessagesAreCutNotOverrun) {
    const std::string head = "1210";
    struct Case {
        const char* name;
        std::string text;
        const char* present;  // fields that must be there
        const char* absent;   // fields that must not
    };
    const Case cases[] = {
        {"field 39 cut off", head + "0000000002000000" + "00", "", "39"},
        {"bitmap announces fields that never come", head + "3000000002000000" + "123456",
         "3", "4;39"},
        {"prefix longer than the rest", head + "4000000000000000" + "19" + "1234", "", "2"},
        {"prefix of non-digits", head + "4000000002000000" + "A1" + "123", "", "2;39"},
        {"prefix above the dictionary maximum", head + "4000000000000000" + "20" +
         std::string(20, '1'), "", "2"},
        {"three-digit prefix cut", head + "0000000000010000" + "0", "", "48"},
        {"message shorter than its header", "12", "", "1;2;3"},
        {"secondary bitmap cut", head + "8000000000000000" + "00000002", "", "1;95"},
        {"field 48 of 999 in a short message", head + "0000000000010000" + "999" + "abc", "",
         "48"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parse(c.text);
        if (*c.present) {
            EXPECT_TRUE(TMMsgPrs_IsFieldsExists(&msg, c.present));
        }
        std::string absent = c.absent;
        size_t start = 0;
        while (start < absent.size()) {
            size_t end = absent.find(';', start);
            if (end == std::string::npos) end = absent.size();
            const int f = std::stoi(absent.substr(start, end - start));
            EXPECT_FALSE(TMMsgPrs_IsFieldExists(&msg, (uint8_t)f)) << "field " << f;
            start = end + 1;
        }
        for (int f = 1; f <= 128; ++f) {
            const STMFieldEntry& e = msg.astField[f];
            if (e.usLength) {
                EXPECT_LE(e.usOffset + e.usLength, (int)c.text.size()) << f;
            }
        }
    }
}

TEST_F(TMMsgTest, SplitOfOversizeCountIsBounded) {
    std::vector<char> big(4000, '0');
    memcpy(big.data(), "1210", 4);
    TMMsgPrs_ParseMessage(&msg, big.data(), (uint16_t)big.size());
    EXPECT_EQ(msg.usLength, 2048);
    EXPECT_EQ(TMMsgPrs_GetMTI(&msg), 1210);
}

TEST_F(TMMsgTest, ResponseEnvelope) {
    struct Case { const char* name; std::vector<uint8_t> packet; int result; };
    std::vector<uint8_t> ok = {0};
    const std::string body = std::string("1210") + "0000000002000000" + "000";
    ok.insert(ok.end(), body.begin(), body.end());
    const Case cases[] = {
        {"empty", {}, RES_HOST_BAD_LENGTH},
        {"above 1024", std::vector<uint8_t>(1025, 0), RES_HOST_BAD_LENGTH},
        {"front end refusal 0x41", {0x41}, 2065},
        {"refusal with trailing bytes", {0xFF, '1', '2'}, 2255},
        {"message", ok, RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TMMsgPrs_ParseResponse(&msg, c.packet.data(), (uint16_t)c.packet.size()),
                  c.result);
    }
    EXPECT_EQ(Field(39), "000");
    EXPECT_EQ(TMMsgPrs_ParseResponse(&msg, nullptr, 5), RES_HOST_BAD_LENGTH);
}

TEST_F(TMMsgTest, RequestEnvelopeBytesAndRoundTrip) {
    TMMsgPrs_SetMTI(&msg, 1200);
    Add(3, "000000");
    const uint16_t msgLength = msg.usLength;
    const uint8_t pan[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint8_t pin[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    aux_TMMsgBuilder_AddSecField(&msg, 1, 2, 10, pan);   // 10 bytes: 16 copied
    aux_TMMsgBuilder_AddSecField(&msg, 5, 52, 8, pin);   // tag 5: exactly 8
    TMMsgBuilder_PrepareSecPacket(&msg, "TERM0001", 1, msgLength);

    std::string expected = "TERM0001";
    expected += std::string("\x01\x00\x1A", 3);
    expected += "1200" "2000000000000000" "000000";
    expected += std::string("\x01\x02\x00\x0A", 4) + std::string((const char*)pan, 16);
    expected += std::string("\x05\x34\x00\x08", 4) + std::string((const char*)pin, 8);
    ASSERT_EQ(Text(), expected);

    STMMsgContainer rx;
    STMSecPacket sec;
    ASSERT_EQ(TMMsgPrs_ParseSecPacket(&rx, (const uint8_t*)msg.acMessage, msg.usLength, &sec),
              RES_OK);
    EXPECT_STREQ(sec.szTerminalId, "TERM0001");
    EXPECT_EQ(sec.ucKind, 1);
    EXPECT_EQ(sec.usMsgLength, 26);
    EXPECT_EQ(TMMsgPrs_GetMTI(&rx), 1200);
    ASSERT_EQ(sec.ucElementCount, 2);
    EXPECT_EQ(sec.astElement[0].ucTag, 1);
    EXPECT_EQ(sec.astElement[0].ucField, 2);
    EXPECT_EQ(sec.astElement[0].usLength, 10);
    EXPECT_EQ(sec.astElement[0].usStored, 16);
    EXPECT_EQ(0, memcmp(sec.astElement[0].pucData, pan, 16));
    EXPECT_EQ(sec.astElement[1].usStored, 8);
    EXPECT_EQ(0, memcmp(sec.astElement[1].pucData, pin, 8));
}

TEST_F(TMMsgTest, MalformedRequestEnvelopesAreRefused) {
    const std::string message = std::string("1800") + "0000000000000000";
    auto envelope = [&](uint16_t announced, const std::string& tail) {
        std::string p = "TERM0001";
        p += '\0';
        p += (char)(announced >> 8);
        p += (char)(announced & 0xFF);
        return p + message + tail;
    };
    struct Case { const char* name; std::string packet; int result; };
    const Case cases[] = {
        {"shorter than header", "TERM0001\0", RES_HOST_BAD_LENGTH},
        {"message length past the end", envelope(21, ""), RES_HOST_BAD_LENGTH},
        {"element header cut", envelope(20, std::string("\x01\x02\x00", 3)), RES_HOST_BAD_LENGTH},
        {"element datum cut", envelope(20, std::string("\x01\x02\x00\x09", 4) + "12345678"),
         RES_HOST_BAD_LENGTH},
        {"no elements", envelope(20, ""), RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        STMSecPacket sec;
        EXPECT_EQ(TMMsgPrs_ParseSecPacket(&msg, (const uint8_t*)c.packet.data(),
                                          (uint16_t)c.packet.size(), &sec),
                  c.result);
    }
}

TEST_F(TMMsgTest, OversizeEnvelopeAndElementLeaveContainerAlone) {
    Add(48, std::string(999, 'A'));
    Add(60, std::string(999, 'A'));   // 2024
    Add(61, std::string(17, 'B'));    // 2044
    const STMMsgContainer before = msg;
    TMMsgBuilder_PrepareSecPacket(&msg, "TERM0001", 1, msg.usLength);
    EXPECT_EQ(0, memcmp(&msg, &before, sizeof(msg)));
    const uint8_t datum[8] = {0};
    aux_TMMsgBuilder_AddSecField(&msg, 5, 52, 8, datum);  // 12 bytes do not fit in 4
    EXPECT_EQ(0, memcmp(&msg, &before, sizeof(msg)));
}

TEST_F(TMMsgTest, ResponseEnvelopeForTheEmulator) {
    TMMsgPrs_SetMTI(&msg, 1810);
    ASSERT_EQ(TMMsgBuilder_PrepareRsPacket(&msg, 0), RES_OK);
    ASSERT_EQ(msg.usLength, 21);
    EXPECT_EQ(msg.acMessage[0], 0);
    STMMsgContainer rx;
    EXPECT_EQ(TMMsgPrs_ParseResponse(&rx, (const uint8_t*)msg.acMessage, msg.usLength), RES_OK);
    EXPECT_EQ(TMMsgPrs_GetMTI(&rx), 1810);

    ASSERT_EQ(TMMsgBuilder_PrepareRsPacket(&msg, 0x50), RES_OK);
    EXPECT_EQ(msg.usLength, 1);
    EXPECT_EQ(TMMsgPrs_ParseResponse(&rx, (const uint8_t*)msg.acMessage, msg.usLength), 2080);

    TMMsgPrs_InitContainer(&msg);
    Add(48, std::string(999, 'A'));
    Add(60, std::string(10, 'A'));   // 1035 characters: too long for one packet
    EXPECT_EQ(TMMsgBuilder_PrepareRsPacket(&msg, 0), RES_HOST_BAD_LENGTH);
    EXPECT_EQ(msg.usLength, 1035);
}

}  // namespace

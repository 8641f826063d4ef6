// Display and receipt forms of Windows-1251 texts, code page 866, and the display callback.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/cp1251.h"
#include "support/resource.h"
#include "support/resource_internal.h"
#include "support/utilmsg.h"

namespace {

std::string Repeat(const char* piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

}  // namespace

TEST(ResourceTest, InformMessageIsOneUtf8Line) {
    struct Case {
        const char* name;
        const char* text;
        const char* utf8;
    } cases[] = {
        {"two display lines", CP1251("ПОЖАЛУЙСТА|ВВЕДИТЕ ПИН-КОД"), u8"ПОЖАЛУЙСТА ВВЕДИТЕ ПИН-КОД"},
        {"every separator", CP1251("|А||Б|"), u8" А  Б "},
        {"Ё, ё and №", CP1251("ЁЖ ёж №5"), u8"ЁЖ ёж №5"},
        {"plain ASCII", "ERROR 1020", "ERROR 1020"},
        {"empty", "", ""},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        EXPECT_STREQ(Resource_GetInformMessage(tc.text), tc.utf8);
    }
}

TEST(ResourceTest, InformMessageKeepsTheFirst255Bytes) {
    // 300 Cyrillic letters, with a separator at byte 254 and one after the cut.
    std::string text = Repeat(CP1251("Я"), 300);
    text[254] = '|';
    text[260] = '|';
    std::string expected = Repeat(u8"Я", 254) + " ";
    EXPECT_EQ(std::string(Resource_GetInformMessage(text.c_str())), expected);
}

TEST(ResourceTest, ChequeLineConversion) {
    EXPECT_STREQ(Resource_GetChequeLine(CP1251("ИТОГО: 10.00 BYN|")), u8"ИТОГО: 10.00 BYN|");

    // The output stops at the last whole character that fits in 1023 bytes.
    std::string ascii(1500, 'a');
    EXPECT_EQ(strlen(Resource_GetChequeLine(ascii.c_str())), 1023u);
    std::string cyrillic = Repeat(CP1251("Ж"), 600);
    EXPECT_EQ(std::string(Resource_GetChequeLine(cyrillic.c_str())), Repeat(u8"Ж", 511));
    std::string mixed = "a" + cyrillic;
    EXPECT_EQ(std::string(Resource_GetChequeLine(mixed.c_str())), "a" + Repeat(u8"Ж", 511));

    // 0x98 has no character in Windows-1251: the output ends before it.
    EXPECT_STREQ(aux_Resource_ConvertUtf8("AB\x98" "CD"), "AB");
    EXPECT_STREQ(aux_Resource_ConvertUtf8(nullptr), "");
}

TEST(ResourceTest, ConversionsShareOneBuffer) {
    char* first = Resource_GetChequeLine("first");
    char* second = Resource_GetInformMessage("second|line");
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "second line");
    char* third = aux_Resource_Convert("x", RESOURCE_CP1251_TO_CP866);
    EXPECT_EQ(third, first);
    EXPECT_STREQ(first, "x");
}

TEST(ResourceTest, DeviceMessageIsTheTextItself) {
    const char* text = CP1251("ПОЖАЛУЙСТА, ЖДИТЕ|ОБНОВЛЕНИЕ ДАННЫХ");
    EXPECT_EQ(Resource_GetDeviceMessage(text), text);
    EXPECT_EQ(Resource_GetDeviceMessage(text, 7), text);
}

TEST(ResourceTest, CodePage866ByteRules) {
    struct Case {
        int direction;
        unsigned char in;
        unsigned char out;
    } cases[] = {
        {RESOURCE_CP1251_TO_CP866, 0xA8, 0x85}, {RESOURCE_CP1251_TO_CP866, 0xB8, 0xA5},
        {RESOURCE_CP1251_TO_CP866, 0xB9, 0xFC}, {RESOURCE_CP1251_TO_CP866, 0xC0, 0x80},
        {RESOURCE_CP1251_TO_CP866, 0xEF, 0xAF}, {RESOURCE_CP1251_TO_CP866, 0xF0, 0xE0},
        {RESOURCE_CP1251_TO_CP866, 0xFF, 0xEF}, {RESOURCE_CP1251_TO_CP866, 0x41, 0x41},
        {RESOURCE_CP1251_TO_CP866, 0x80, 0x80}, {RESOURCE_CP1251_TO_CP866, 0xBF, 0xBF},
        {RESOURCE_CP866_TO_CP1251, 0xF0, 0xA8}, {RESOURCE_CP866_TO_CP1251, 0xF1, 0xB8},
        {RESOURCE_CP866_TO_CP1251, 0xFC, 0xB9}, {RESOURCE_CP866_TO_CP1251, 0x80, 0xC0},
        {RESOURCE_CP866_TO_CP1251, 0xAF, 0xEF}, {RESOURCE_CP866_TO_CP1251, 0xE0, 0xF0},
        {RESOURCE_CP866_TO_CP1251, 0xEF, 0xFF}, {RESOURCE_CP866_TO_CP1251, 0xB0, 0xB0},
        {RESOURCE_CP866_TO_CP1251, 0xF2, 0xF2}, {7, 0x80, 0xC0},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(::testing::Message() << "direction " << tc.direction << " byte " << std::hex << int(tc.in));
        char in[2] = {static_cast<char>(tc.in), 0};
        const char* out = aux_Resource_Convert(in, tc.direction);
        EXPECT_EQ(static_cast<unsigned char>(out[0]), tc.out);
        EXPECT_EQ(out[1], '\0');
    }
}

TEST(ResourceTest, CodePage866RoundTripAndLimit) {
    // А-я survive the way there and back; Ё and ё lose the diaeresis.
    std::string alphabet;
    for (int c = 0xC0; c <= 0xFF; ++c) alphabet += static_cast<char>(c);
    std::string dos = aux_Resource_Convert(alphabet.c_str(), RESOURCE_CP1251_TO_CP866);
    EXPECT_EQ(std::string(aux_Resource_Convert(dos.c_str(), RESOURCE_CP866_TO_CP1251)), alphabet);
    dos = aux_Resource_Convert(CP1251("Ёё"), RESOURCE_CP1251_TO_CP866);
    EXPECT_STREQ(aux_Resource_Convert(dos.c_str(), RESOURCE_CP866_TO_CP1251), CP1251("Ее"));

    std::string longText(2000, 'q');
    EXPECT_EQ(strlen(aux_Resource_Convert(longText.c_str(), RESOURCE_CP866_TO_CP1251)), 1023u);
}

namespace {
std::string g_Shown;
int g_ShowCalls = 0;
void Show(char* text) {
    g_Shown = text;
    ++g_ShowCalls;
    text[0] = '#';  // the application may write into what it gets
}
}  // namespace

TEST(UtilMsgTest, DisplayGoesToTheInstalledCallbackOnly) {
    g_ShowCalls = 0;
    UtilMsg_Init(nullptr);
    UtilMsg_Display("nobody listens");
    EXPECT_EQ(g_ShowCalls, 0);

    UtilMsg_Init(Show);
    UtilMsg_SetCursorMode(1);
    char* text = Resource_GetInformMessage(CP1251("ПОДОЖДИТЕ,|ПОЖАЛУЙСТА"));
    UtilMsg_Display(text);
    EXPECT_EQ(g_ShowCalls, 1);
    EXPECT_EQ(g_Shown, u8"ПОДОЖДИТЕ, ПОЖАЛУЙСТА");
    EXPECT_STREQ(text, u8"ПОДОЖДИТЕ, ПОЖАЛУЙСТА");  // the caller's text is not touched
    UtilMsg_Display("ok");  // a constant is safe to hand over
    EXPECT_EQ(g_Shown, "ok");

    UtilMsg_Init(nullptr);
    UtilMsg_Display("removed");
    EXPECT_EQ(g_ShowCalls, 2);
}

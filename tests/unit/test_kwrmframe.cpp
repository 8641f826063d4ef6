// The terminal manager's frame codec, the session's closing texts and the
// software report text: pure functions, checked against fixed bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pinpad/crc.h"
#include "remote/kwrmcli.h"
#include "remote/kwrmerror.h"
#include "remote/kwrmframe.h"
#include "support/cp1251.h"
#include "support/result_codes.h"

namespace {

std::vector<uint8_t> Frame(uint8_t command, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(KWRM_MAX_FRAME);
    out.resize(KwrmFrame_Build(command, data.data(), static_cast<uint16_t>(data.size()), out.data()));
    return out;
}

// The close frame laid out by hand: STX, L = 10, 0x40, status, ETX, CRC over L..ETX.
TEST(KwrmFrame, BuildLaysOutHeaderDataTrailer) {
    std::vector<uint8_t> frame = Frame(KWRM_CMD_STATUS, {0x00, 0x00, 0x06, 0x4A});
    ASSERT_EQ(13u, frame.size());
    const uint8_t head[] = {0x02, 0x00, 0x0A, 0x40, 0x00, 0x00, 0x06, 0x4A, 0x03};
    EXPECT_EQ(0, memcmp(head, frame.data(), sizeof(head)));
    uint32_t crc = CRC_CalcCRC32(frame.data() + 1, 8, 0);
    EXPECT_EQ(crc, KwrmFrame_GetU32(frame.data() + 9));

    std::vector<uint8_t> empty = Frame(KWRM_CMD_NEXT_BLOCK, {});
    ASSERT_EQ(9u, empty.size());
    EXPECT_EQ(0x06, empty[2]);
    EXPECT_EQ(KWRM_ETX, empty[4]);
}

TEST(KwrmFrame, HeaderChecks) {
    struct Case {
        const char* name;
        std::vector<uint8_t> header;
        uint16_t buffer;
        int result;
        uint16_t length;
    };
    const Case cases[] = {
        {"no data", {0x02, 0x00, 0x06, 0x30}, 521, RES_OK, 0},
        {"520 data bytes, the most", {0x02, 0x02, 0x0E, 0x30}, 521, RES_OK, 520},
        {"L 527", {0x02, 0x02, 0x0F, 0x30}, 521, RES_KWRM_LENGTH, 0},
        {"L 5", {0x02, 0x00, 0x05, 0x30}, 521, RES_KWRM_LENGTH, 0},
        {"L 0xFFFF", {0x02, 0xFF, 0xFF, 0x30}, 521, RES_KWRM_LENGTH, 0},
        {"fills a 13-byte buffer", {0x02, 0x00, 0x13, 0x2B}, 13, RES_OK, 13},
        {"one byte over the buffer", {0x02, 0x00, 0x14, 0x2B}, 13, RES_KWRM_LENGTH, 0},
        {"no STX", {0x03, 0x00, 0x06, 0x30}, 521, RES_KWRM_FRAME, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t length = 0xFFFF;
        uint8_t command = 0;
        EXPECT_EQ(c.result, KwrmFrame_CheckHeader(c.header.data(), c.buffer, &length, &command));
        if (c.result == RES_OK) {
            EXPECT_EQ(c.length, length);
            EXPECT_EQ(c.header[3], command);
        }
    }
}

TEST(KwrmFrame, TrailerChecks) {
    const std::vector<uint8_t> data = {'1', '2', '3'};
    const std::vector<uint8_t> good = Frame(KWRM_CMD_DATETIME, data);
    const uint8_t* header = good.data();
    const uint8_t* trailer = good.data() + 7;
    EXPECT_EQ(RES_OK, KwrmFrame_CheckTrailer(header, good.data() + 4, 3, trailer));

    std::vector<uint8_t> noEtx(trailer, trailer + 5);
    noEtx[0] = 0x04;
    EXPECT_EQ(RES_KWRM_FRAME, KwrmFrame_CheckTrailer(header, good.data() + 4, 3, noEtx.data()));

    // A sender that leaves ETX out of its CRC is refused.
    std::vector<uint8_t> withoutEtx(trailer, trailer + 5);
    uint32_t crc = CRC_CalcCRC32(good.data() + 1, 6, 0);
    KwrmFrame_PutU32(withoutEtx.data() + 1, crc);
    EXPECT_EQ(RES_KWRM_CRC, KwrmFrame_CheckTrailer(header, good.data() + 4, 3, withoutEtx.data()));

    std::vector<uint8_t> otherData = {'1', '2', '4'};
    EXPECT_EQ(RES_KWRM_CRC, KwrmFrame_CheckTrailer(header, otherData.data(), 3, trailer));
}

TEST(KwrmText, SessionResultTexts) {
    struct Case {
        uint16_t code;
        const char* text;
    };
    const Case cases[] = {
        {0, CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ВЫПОЛНЕНО УСПЕШНО")},
        {1306, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ВЕРСИИ KWPAD")},
        {1600, CP1251("ОШИБКА ОБНОВЛЕНИЯ|НЕВЕРНЫЕ НАСТРОЙКИ")},
        {1601, CP1251("ОШИБКА ОБНОВЛЕНИЯ|НЕТ СВЯЗИ С СЕРВЕРОМ")},
        {1602, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ОБМЕНА")},
        {1605, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ОБМЕНА")},
        {1606, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ИНИЦИАЛИЗАЦИИ")},
        {1607, CP1251("ОШИБКА ОБНОВЛЕНИЯ|НЕВЕРНЫЙ ID ТЕРМИНАЛА")},
        {1608, CP1251("ОШИБКА ОБНОВЛЕНИЯ|НЕВЕРНАЯ КОМАНДА")},
        {1609, CP1251("ОШИБКА ОБНОВЛЕНИЯ|СЕССИЯ ЗАПРЕЩЕНА")},
        {1610, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ПОСЫЛКИ ФАЙЛА")},
        {1621, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ПОСЫЛКИ ФАЙЛА")},
        {1611, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ПРИЕМА ФАЙЛА")},
        {1620, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ПРИЕМА ФАЙЛА")},
        {1612, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА РАБ. С ФАЙЛОМ")},
        {1614, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА РАБ. С ФАЙЛОМ")},
        {1615, CP1251("ОШИБКА ОБНОВЛЕНИЯ|НЕВЕРНЫЙ СТАТУС")},
        {1616, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА РАБ. С ФАЙЛОМ")},
        {1618, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА РАБ. С ФАЙЛОМ")},
        {1619, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА CRC ФАЙЛА")},
        {1623, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ПОЛУЧ. CRC")},
        {1624, CP1251("ОБНОВЛЕНИЕ ВЫПОЛНЕНО|ВОЗНИКЛИ ПРОБЛЕМЫ")},
        {1625, CP1251("ОШИБКА ОБНОВЛЕНИЯ|В ОБНОВЛЕНИИ ОТКАЗАНО")},
        {1627, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ЗАГРУЗКИ TK")},
        {1628, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА СМЕНЫ TK")},
        {1700, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА СОХР. КОНФИГ.")},
        // this terminal's own codes
        {1622, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ОШИБКА ОБМЕНА")},
        {1626, CP1251("ОШИБКА ОБНОВЛЕНИЯ|МАЛО МЕСТА НА ДИСКЕ")},
        {1633, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ВРЕМЯ СЕССИИ ИСТЕКЛО")},
        {1634, CP1251("ОШИБКА ОБНОВЛЕНИЯ|ФАЙЛ НЕ ПРИНЯТ")},
        {1635, CP1251("ОШИБКА ОБНОВЛЕНИЯ|КОНФЛИКТ ВЕРСИЙ")},
        {1636, CP1251("ОШИБКА ОБНОВЛЕНИЯ|НЕВЕРНАЯ ПОДПИСЬ")},
        // no text of their own
        {1629, CP1251("НЕИЗВЕСТНАЯ ОШИБКА")},
        {1701, CP1251("НЕИЗВЕСТНАЯ ОШИБКА")},
        {1080, CP1251("НЕИЗВЕСТНАЯ ОШИБКА")},
        {65535, CP1251("НЕИЗВЕСТНАЯ ОШИБКА")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(c.text, Error_GetResultMsgKwrm(c.code, KWRM_TEXT_TERMINAL));
        EXPECT_STREQ(c.text, Error_GetResultMsgKwrm(c.code, KWRM_TEXT_PINPAD));
    }
}

TEST(KwrmText, SoftwareReport) {
    SSoftConfig info = {};
    strcpy(info.szEdition, "LINUX");
    strcpy(info.stOther.szName, "NO_FILE");
    strcpy(info.stLib.szName, "libRAVOux.so.1.3.2");
    info.stLib.ulVersion = 0x01030200;
    info.stLib.ulCrc = 0x0A1B2C3D;
    info.stLib2 = info.stLib;
    strcpy(info.stPadApp.szName, "KW3.TLV");
    info.stPadApp.ulVersion = 0x020A0100;
    char text[KWRM_MAX_DATA + 1];
    uint16_t n = KWRM_CLI_BuildSoftInfoText(&info, text, sizeof(text));
    const std::string expected =
        "LINUX|NO_FILE;0;00000000|libRAVOux.so.1.3.2;1.3.2;0A1B2C3D|libRAVOux.so.1.3.2;1.3.2;0A1B2C3D|"
        "KW3.TLV;2.10.1;000000";
    EXPECT_EQ(expected, std::string(text));
    EXPECT_EQ(expected.size(), n);

    // A pad without an application name: the last entry is empty, still closed by ";0;".
    info.stPadApp = {};
    KWRM_CLI_BuildSoftInfoText(&info, text, sizeof(text));
    EXPECT_NE(std::string::npos, std::string(text).find("0A1B2C3D|;0;000000")) << text;
    EXPECT_EQ(';', text[strlen(text) - 7]);

    // Names filling their fields have no terminator; the text stops at the field's end.
    memset(info.stLib.szName, 'L', sizeof(info.stLib.szName));
    memset(info.szEdition, 'E', sizeof(info.szEdition));
    KWRM_CLI_BuildSoftInfoText(&info, text, sizeof(text));
    EXPECT_EQ(0u, std::string(text).find("EEEEEEEE|NO_FILE;0;00000000|" + std::string(24, 'L') + ";1.3.2;")) << text;
}

}  // namespace

// Result-code texts: the host's action codes, the terminal's own codes and
// the four display forms composed from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "host/hostcodes.h"
#include "kernel/error.h"
#include "support/cp1251.h"

namespace {

struct HostTextCase {
    uint16_t code;
    bool capture;
    const char* expected;
};

// Every boundary where the host table's text changes, both 2xx wordings, and the longest texts.
const HostTextCase kHostTexts[] = {
    {0, false, CP1251("ОДОБРЕНО БАНКОМ")},
    {1, false, CP1251("ОДОБРЕНО БАНКОМ|ПРОВЕРЬТЕ ПОДПИСЬ")},
    {2, false, CP1251("ОДОБРЕНО БАНКОМ|НЕ НА ВСЮ СУММУ")},
    {3, false, CP1251("ОДОБРЕНО БАНКОМ|VIP-КЛИЕНТ")},
    {4, false, CP1251("ОДОБРЕНО БАНКОМ|ОБРАТИТЕСЬ В БАНК")},
    {5, false, CP1251("ОДОБРЕНО БАНКОМ")},
    {6, false, CP1251("ОДОБРЕНО БАНКОМ|НЕ НА ВСЮ СУММУ")},
    {7, false, CP1251("ОДОБРЕНО БАНКОМ|ОБРАТИТЕСЬ В БАНК")},
    {8, false, CP1251("ОДОБРЕНО БАНКОМ")},
    {99, true, CP1251("ОДОБРЕНО БАНКОМ")},
    {100, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {101, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИСТЕК СРОК ДЕЙСТВИЯ")},
    {112, true, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|НЕОБХОДИМ ВВОД ПИН-КОДА")},
    {118, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|НЕВЕРНАЯ КАРТОЧКА")},
    {127, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|НЕВЕРНАЯ ДЛИНА ПИН-КОДА")},
    {129, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ФАЛЬШИВАЯ КАРТОЧКА")},
    {130, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {179, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {180, true, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ВЛАДЕЛЬЦЕМ КАРТОЧКИ")},
    {181, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {199, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {200, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {200, true, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИЗЪЯТЬ КАРТОЧКУ")},
    {201, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИСТЕК СРОК ДЕЙСТВИЯ")},
    {201, true, CP1251("ОТКЛОНЕНО|ИЗЪЯТЬ КАРТОЧКУ|ИСТЕК СРОК ДЕЙСТВИЯ")},
    {204, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {204, true, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИЗЪЯТЬ КАРТОЧКУ")},
    {206, true, CP1251("ОТКЛОНЕНО|ИЗЪЯТЬ КАРТОЧКУ|БЛОКИРОВАНО ПО ПИН-КОДУ")},
    {207, true, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИЗЪЯТЬ КАРТОЧКУ")},
    {210, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ФАЛЬШИВАЯ КАРТОЧКА")},
    {211, true, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИЗЪЯТЬ КАРТОЧКУ")},
    {299, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {300, false, CP1251("ОДОБРЕНО БАНКОМ|ФАЙЛ ОБРАБОТАН")},
    {303, true, CP1251("ОДОБРЕНО БАНКОМ|ПОВТОР ДАННЫХ")},
    {309, false, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ ФАЙЛ")},
    {310, false, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ КОД")},
    {399, false, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ КОД")},
    {400, false, CP1251("ОДОБРЕНО БАНКОМ|ОПЕРАЦИЯ ОТМЕНЕНА")},
    {401, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ОТМЕНЕНА")},
    {498, false, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ОТМЕНЕНА")},
    {499, false, CP1251("ОДОБРЕНО БАНКОМ|ОПЕРАЦИЯ БЫЛА|ОТМЕНЕНА РАНЕЕ")},
    {500, false, CP1251("ОДОБРЕНО БАНКОМ|СМЕНА ЗАКРЫТА|СУММЫ СОВПАЛИ")},
    {501, false, CP1251("ОДОБРЕНО БАНКОМ|СМЕНА ЗАКРЫТА|НЕСОВПАДЕНИЕ СУММ")},
    {502, false, CP1251("ОТКЛОНЕНО|СМЕНА НЕ ЗАКРЫТА|НЕТ ИТОГОВЫХ ДАННЫХ")},
    {503, false, CP1251("ОТКЛОНЕНО|СМЕНА НЕ ЗАКРЫТА|ОШИБКА В ИТОГАХ")},
    {504, false, CP1251("ОТКЛОНЕНО|СМЕНА НЕ ЗАКРЫТА|НЕТ ИТОГОВЫХ ДАННЫХ")},
    {505, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {599, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {600, false, CP1251("ОДОБРЕНО БАНКОМ")},
    {603, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|ОПЕРАЦИЯ НЕ НАЙДЕНА")},
    {604, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕВЕРНЫЙ ТЕРМИНАЛ")},
    {605, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {699, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {700, false, CP1251("ОДОБРЕНО БАНКОМ|ИНКАССАЦИЯ ВЫПОЛНЕНА")},
    {701, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {800, false, CP1251("ОДОБРЕНО БАНКОМ")},
    {801, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {899, false, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД")},
    {900, false, CP1251("ОТКЛОНЕНО")},
    {902, false, CP1251("ОТКЛОНЕНО|НЕВЕРНАЯ ТРАНЗАКЦИЯ")},
    {912, false, CP1251("ОТКЛОНЕНО|ЭМИТЕНТ НЕДОСТУПЕН")},
    {918, false, CP1251("ОТКЛОНЕНО|НЕТ КОММ. КЛЮЧЕЙ")},
    {919, false, CP1251("ОТКЛОНЕНО")},
    {923, false, CP1251("В ОБРАБОТКЕ|ПОЖАЛУЙСТА, ЖДИТЕ")},
    {950, false, CP1251("ОТКЛОНЕНО|НАРУШЕНИЕ ДОГОВОРА")},
    {951, false, CP1251("ОТКЛОНЕНО")},
    {999, true, CP1251("ОТКЛОНЕНО")},
    {1000, false, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ КОД")},
    {65535, true, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ КОД")},
};

TEST(HostCodes, TextOfEachActionCode) {
    for (const HostTextCase& c : kHostTexts) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " capture " << c.capture);
        char text[TMMSG_RESULT_DESC_SIZE];
        EXPECT_EQ(TMMsgBuilder_GetResultCodeDesc(c.code, c.capture, text), text);
        EXPECT_STREQ(text, c.expected);
    }
}

// Callers size their buffers by the declared maximum, and only the 2xx codes
// may change with the card-capture wording.
TEST(HostCodes, EveryTextFitsAndOnly2xxDependOnCapture) {
    size_t longest = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        char plain[128], capture[128];
        memset(plain, 'x', sizeof(plain));
        memset(capture, 'x', sizeof(capture));
        TMMsgBuilder_GetResultCodeDesc(static_cast<uint16_t>(code), false, plain);
        TMMsgBuilder_GetResultCodeDesc(static_cast<uint16_t>(code), true, capture);
        longest = std::max({longest, strlen(plain), strlen(capture)});
        if (code < 200 || code > 299) {
            EXPECT_STREQ(plain, capture) << "code " << code;
        }
    }
    EXPECT_EQ(longest + 1, static_cast<size_t>(TMMSG_RESULT_DESC_SIZE));
}

TEST(HostCodes, NullDestinationIsLeftAlone) {
    EXPECT_EQ(TMMsgBuilder_GetResultCodeDesc(112, true, nullptr), nullptr);
}

TEST(HostCodes, SuccessRules) {
    struct {
        uint16_t code;
        bool operation;
        bool batch;
    } const kCases[] = {
        {0, true, false},     {99, true, false},    {100, false, false},  {204, false, false},
        {300, false, false},  {303, false, false},  {399, false, false},  {400, true, false},
        {401, false, false},  {498, false, false},  {499, true, false},   {500, true, true},
        {501, true, false},   {502, false, false},  {600, false, false},  {700, false, false},
        {800, true, false},   {801, false, false},  {923, false, false},  {999, false, false},
        {1000, false, false}, {1503, false, false}, {65535, false, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code);
        EXPECT_EQ(TMMsgBuilder_IsSuccessResult(c.code), c.operation);
        EXPECT_EQ(TMMsgBuilder_IsSuccessBatch(c.code), c.batch);
    }
}

struct MsgCase {
    uint16_t code;
    uint8_t form;
    const char* expected;
};

// Terminal codes at every boundary where the text changes (plain form), then the forms.
const MsgCase kMessages[] = {
    {999, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО")},
    {1000, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ВЫЗОВА")},
    {1005, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ВЫЗОВА")},
    {1006, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ВАЛЮТА ЗАПРЕЩЕНА")},
    {1007, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ВЫЗОВА")},
    {1008, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1019, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1020, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА НАСТРОЕК")},
    {1028, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА НАСТРОЕК")},
    {1029, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ВАЛЮТА ЗАПРЕЩЕНА")},
    {1030, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1039, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1040, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СИСТЕМЫ")},
    {1041, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СИСТЕМЫ")},
    {1042, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1043, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СИСТЕМЫ")},
    {1044, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СИСТЕМЫ")},
    {1045, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {1046, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ НЕ НАЙДЕНА")},
    {1047, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1059, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1060, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СИСТЕМЫ")},
    {1063, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СИСТЕМЫ")},
    {1064, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1071, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1072, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ТЕРМИНАЛ ЗАНЯТ|ДРУГОЙ ОПЕРАЦИЕЙ")},
    {1073, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1079, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1080, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕТ СВЯЗИ С БАНКОМ")},
    {1081, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СВЯЗИ")},
    {1082, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СВЯЗИ")},
    {1083, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ТЕХ.|ОПЕРАЦИИ")},
    {1084, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА|ТЕХН. ОПЕРАЦИИ")},
    {1085, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА|ТЕХН. ОПЕРАЦИИ")},
    {1086, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ОБМЕНА")},
    {1090, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ОБМЕНА")},
    {1091, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОТМЕНЯЕМАЯ ОПЕРАЦИЯ|НЕ НАЙДЕНА")},
    {1092, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СВЯЗИ")},
    {1093, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1099, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1100, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ЗАКРОЙТЕ СМЕНУ")},
    {1101, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|СМЕНА УЖЕ ЗАКРЫТА")},
    {1102, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1199, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1200, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ЧЕКА")},
    {1201, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ЧЕКА")},
    {1202, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ИТОГОВ")},
    {1203, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1299, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1300, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ПИНПАДА")},
    {1301, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО, ОШИБКА|ЧТЕНИЯ КАРТОЧКИ")},
    {1302, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА КЛЮЧА ПИНПАДА")},
    {1303, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ВВОДА ПИН-КОДА")},
    {1304, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕ ПОДТВЕРЖДЕНО")},
    {1305, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО, ОШИБКА|ВЫВОДА БАЛАНСА")},
    {1306, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ВЕРСИИ KWPAD")},
    {1307, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1308, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1309, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕТ ТК ИЛИ ФАЙЛА|ДИАПАЗОНОВ")},
    {1310, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1399, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1400, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО, ОШИБКА|ДИАПАЗОНОВ КАРТ")},
    {1403, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО, ОШИБКА|ДИАПАЗОНОВ КАРТ")},
    {1404, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1499, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1500, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ДИАПАЗОНУ КАРТ")},
    {1502, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ДИАПАЗОНУ КАРТ")},
    {1503, ERR_FORM_PINPAD, CP1251("ОДОБРЕНО|ОТМЕНЕНО РАНЕЕ")},
    {1504, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1814, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1815, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ОТКЛОНЕНА")},
    {1816, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {1817, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА ВВОДА ПИН-КОДА")},
    {1818, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {2063, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {2064, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕТ КЛЮЧА|УСТРОЙСТВА")},
    {2065, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ЗАПРОС НЕ ОБРАБОТАН")},
    {2066, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {2079, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {2080, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕТ СВЯЗИ С БАНКОМ")},
    {2081, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {2254, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {2255, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОШИБКА СВЯЗИ")},
    {2256, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {11000, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},
    {65535, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА")},

    {1101, ERR_FORM_RESULT_TEXT, CP1251("ОТКЛОНЕНО СМЕНА УЖЕ ЗАКРЫТА")},
    {1101, ERR_FORM_CHEQUE, CP1251("ОТКЛОНЕНО\nСМЕНА УЖЕ ЗАКРЫТА")},
    {1301, ERR_FORM_CASHIER, CP1251("ОТКЛОНЕНО, ОШИБКА|ЧТЕНИЯ КАРТОЧКИ|КОД: [1301]")},
    {1083, ERR_FORM_CHEQUE, CP1251("ОТКЛОНЕНО\nОШИБКА ТЕХ.\nОПЕРАЦИИ")},
    {1503, ERR_FORM_RESULT_TEXT, CP1251("ОДОБРЕНО ОТМЕНЕНО РАНЕЕ")},
    {1072, ERR_FORM_CASHIER, CP1251("ОТКЛОНЕНО|ТЕРМИНАЛ ЗАНЯТ|ДРУГОЙ ОПЕРАЦИЕЙ|КОД: [1072]")},
    {502, ERR_FORM_CHEQUE, CP1251("ОТКЛОНЕНО\nСМЕНА НЕ ЗАКРЫТА\nНЕТ ИТОГОВЫХ ДАННЫХ")},
    {1503, ERR_FORM_CASHIER, CP1251("ОДОБРЕНО|ОТМЕНЕНО РАНЕЕ|КОД: [1503]")},
    {65535, ERR_FORM_CASHIER, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНАЯ ОШИБКА|КОД: [65535]")},
    // Host codes: no code after success 0; the capture wording for every form but the PIN pad's.
    {0, ERR_FORM_CASHIER, CP1251("ОДОБРЕНО БАНКОМ")},
    {0, ERR_FORM_RESULT_TEXT, CP1251("ОДОБРЕНО БАНКОМ")},
    {1, ERR_FORM_CASHIER, CP1251("ОДОБРЕНО БАНКОМ|ПРОВЕРЬТЕ ПОДПИСЬ|КОД: [1]")},
    {204, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
    {204, ERR_FORM_CASHIER, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИЗЪЯТЬ КАРТОЧКУ|КОД: [204]")},
    {204, ERR_FORM_RESULT_TEXT, CP1251("ОТКЛОНЕНО ОПЕРАЦИЯ ЗАПРЕЩЕНА ИЗЪЯТЬ КАРТОЧКУ")},
    {201, ERR_FORM_PINPAD, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИСТЕК СРОК ДЕЙСТВИЯ")},
    {201, ERR_FORM_CHEQUE, CP1251("ОТКЛОНЕНО\nИЗЪЯТЬ КАРТОЧКУ\nИСТЕК СРОК ДЕЙСТВИЯ")},
    // The longest composition: 63 bytes, nothing cut.
    {112, ERR_FORM_CASHIER, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|НЕОБХОДИМ ВВОД ПИН-КОДА|КОД: [112]")},
    {923, ERR_FORM_RESULT_TEXT, CP1251("В ОБРАБОТКЕ ПОЖАЛУЙСТА, ЖДИТЕ")},
    {499, ERR_FORM_CHEQUE, CP1251("ОДОБРЕНО БАНКОМ\nОПЕРАЦИЯ БЫЛА\nОТМЕНЕНА РАНЕЕ")},
};

TEST(ResultMsg, TextOfEachCodeAndForm) {
    for (const MsgCase& c : kMessages) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " form " << int(c.form));
        EXPECT_STREQ(Error_GetResultMsg(c.code, c.form), c.expected);
    }
}

// Over every code and form: the text fits the module buffer whole (the
// cashier form still ends with its code), the forms differ only in the
// separators, and only 1503 among the terminal codes is not a refusal.
TEST(ResultMsg, EveryCompositionIsWholeAndConsistent) {
    const std::string refused = CP1251("ОТКЛОНЕНО");
    const std::string codeTag = CP1251("|КОД: [");
    size_t longest = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        SCOPED_TRACE(testing::Message() << "code " << code);
        const uint16_t c = static_cast<uint16_t>(code);
        const std::string cashier = Error_GetResultMsg(c, ERR_FORM_CASHIER);
        const std::string resultText = Error_GetResultMsg(c, ERR_FORM_RESULT_TEXT);
        const std::string cheque = Error_GetResultMsg(c, ERR_FORM_CHEQUE);
        const std::string pinpad = Error_GetResultMsg(c, ERR_FORM_PINPAD);
        longest = std::max(longest, cashier.size());

        std::string base = cashier;
        if (code != 0) {
            const std::string tail = codeTag + std::to_string(code) + "]";
            ASSERT_GE(cashier.size(), tail.size());
            ASSERT_EQ(cashier.substr(cashier.size() - tail.size()), tail);
            base = cashier.substr(0, cashier.size() - tail.size());
        }
        std::string blanks = base, feeds = base;
        for (char& ch : blanks)
            if (ch == '|') ch = ' ';
        for (char& ch : feeds)
            if (ch == '|') ch = '\n';
        ASSERT_EQ(resultText, blanks);
        ASSERT_EQ(cheque, feeds);
        if (code < 200 || code > 299) {
            ASSERT_EQ(pinpad, base);
        }
        if (code >= 1000 && code != 1503) {
            ASSERT_EQ(pinpad.compare(0, refused.size(), refused), 0);
        }
    }
    EXPECT_LE(longest, 63u);
}

}  // namespace

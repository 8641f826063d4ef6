// kernel/error.cpp
// The terminal's own result texts and the composition of every result text
// for the PIN pad, the cashier, the response and the closed-batch receipt.
#include "kernel/error.h"

#include <cstdio>
#include <cstring>

#include "host/hostcodes.h"
#include "host/tmmsgprs.h"
#include "support/cp1251.h"
#include "support/result_codes.h"

namespace {

enum : uint8_t {
    TC_SUFFIX,  // "ОТКЛОНЕНО" followed by the text
    TC_WHOLE,   // the text alone
};

// Refusals by the host's front end.
constexpr uint16_t kNoKey = TMMsgPrs_StatusResult(TMMSG_STATUS_NO_KEY);
constexpr uint16_t kNotProcessed = TMMsgPrs_StatusResult(TMMSG_STATUS_NOT_PROCESSED);
constexpr uint16_t kNoLink = TMMsgPrs_StatusResult(TMMSG_STATUS_NO_LINK);
constexpr uint16_t kLinkError = TMMsgPrs_StatusResult(TMMSG_STATUS_LINK_ERROR);

struct TerminalRange {
    uint16_t from;
    uint16_t to;
    uint8_t kind;
    const char* text;
};

// The longest composed text (host code 112 or 127 on the cashier display)
// is 63 bytes; every write below is bounded all the same.
enum { MSG_BUFFER_SIZE = 64 };

}  // namespace

static char szMsgBuffer[MSG_BUFFER_SIZE];

// Fills szMsgBuffer with the text of a terminal code (1000 and up).
static void aux_Error_TerminalText(uint16_t code) {
    // Only the codes whose text is not the "unknown error" default; ascending.
    static const TerminalRange kTable[] = {
        {1000, 1005, TC_SUFFIX, CP1251("|ОШИБКА ВЫЗОВА")},
        {1006, 1006, TC_SUFFIX, CP1251("|ВАЛЮТА ЗАПРЕЩЕНА")},
        {1007, 1007, TC_SUFFIX, CP1251("|ОШИБКА ВЫЗОВА")},
        {1020, 1028, TC_SUFFIX, CP1251("|ОШИБКА НАСТРОЕК")},
        {1029, 1029, TC_SUFFIX, CP1251("|ВАЛЮТА ЗАПРЕЩЕНА")},
        {1040, 1041, TC_SUFFIX, CP1251("|ОШИБКА СИСТЕМЫ")},
        {1043, 1044, TC_SUFFIX, CP1251("|ОШИБКА СИСТЕМЫ")},
        {1045, 1045, TC_SUFFIX, CP1251("|ОПЕРАЦИЯ ЗАПРЕЩЕНА")},
        {1046, 1046, TC_SUFFIX, CP1251("|ОПЕРАЦИЯ НЕ НАЙДЕНА")},
        {1060, 1063, TC_SUFFIX, CP1251("|ОШИБКА СИСТЕМЫ")},
        // Another call is running in the payment directory: try again when it ends.
        {1072, 1072, TC_SUFFIX, CP1251("|ТЕРМИНАЛ ЗАНЯТ|ДРУГОЙ ОПЕРАЦИЕЙ")},
        {1080, 1080, TC_SUFFIX, CP1251("|НЕТ СВЯЗИ С БАНКОМ")},
        {1081, 1082, TC_SUFFIX, CP1251("|ОШИБКА СВЯЗИ")},
        {1083, 1083, TC_SUFFIX, CP1251("|ОШИБКА ТЕХ.|ОПЕРАЦИИ")},
        {1084, 1085, TC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА|ТЕХН. ОПЕРАЦИИ")},
        {1086, 1090, TC_SUFFIX, CP1251("|ОШИБКА ОБМЕНА")},
        {1091, 1091, TC_WHOLE, CP1251("ОТКЛОНЕНО|ОТМЕНЯЕМАЯ ОПЕРАЦИЯ|НЕ НАЙДЕНА")},
        {1092, 1092, TC_SUFFIX, CP1251("|ОШИБКА СВЯЗИ")},
        {1100, 1100, TC_SUFFIX, CP1251("|ЗАКРОЙТЕ СМЕНУ")},
        {1101, 1101, TC_SUFFIX, CP1251("|СМЕНА УЖЕ ЗАКРЫТА")},
        {1200, 1201, TC_SUFFIX, CP1251("|ОШИБКА ЧЕКА")},
        {1202, 1202, TC_SUFFIX, CP1251("|ОШИБКА ИТОГОВ")},
        {1300, 1300, TC_SUFFIX, CP1251("|ОШИБКА ПИНПАДА")},
        {1301, 1301, TC_SUFFIX, CP1251(", ОШИБКА|ЧТЕНИЯ КАРТОЧКИ")},
        {1302, 1302, TC_SUFFIX, CP1251("|ОШИБКА КЛЮЧА ПИНПАДА")},
        {1303, 1303, TC_SUFFIX, CP1251("|ОШИБКА ВВОДА ПИН-КОДА")},
        {1304, 1304, TC_SUFFIX, CP1251("|НЕ ПОДТВЕРЖДЕНО")},
        {1305, 1305, TC_SUFFIX, CP1251(", ОШИБКА|ВЫВОДА БАЛАНСА")},
        {1306, 1306, TC_SUFFIX, CP1251("|ОШИБКА ВЕРСИИ KWPAD")},
        {1309, 1309, TC_SUFFIX, CP1251("|НЕТ ТК ИЛИ ФАЙЛА|ДИАПАЗОНОВ")},
        {1400, 1403, TC_SUFFIX, CP1251(", ОШИБКА|ДИАПАЗОНОВ КАРТ")},
        {1500, 1502, TC_WHOLE, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ДИАПАЗОНУ КАРТ")},
        // Cancelling what was already cancelled is answered as a success.
        {1503, 1503, TC_WHOLE, CP1251("ОДОБРЕНО|ОТМЕНЕНО РАНЕЕ")},
        {1815, 1815, TC_SUFFIX, CP1251("|ОПЕРАЦИЯ ОТКЛОНЕНА")},
        {1817, 1817, TC_SUFFIX, CP1251("|ОШИБКА ВВОДА ПИН-КОДА")},
        // Refusals by the host's front end: 2000 plus its status byte.
        {kNoKey, kNoKey, TC_SUFFIX, CP1251("|НЕТ КЛЮЧА|УСТРОЙСТВА")},
        {kNotProcessed, kNotProcessed, TC_SUFFIX, CP1251("|ЗАПРОС НЕ ОБРАБОТАН")},
        {kNoLink, kNoLink, TC_SUFFIX, CP1251("|НЕТ СВЯЗИ С БАНКОМ")},
        {kLinkError, kLinkError, TC_SUFFIX, CP1251("|ОШИБКА СВЯЗИ")},
    };

    snprintf(szMsgBuffer, sizeof(szMsgBuffer), "%s", CP1251("ОТКЛОНЕНО"));
    const char* suffix = CP1251("|НЕИЗВЕСТНАЯ ОШИБКА");
    for (const TerminalRange& r : kTable) {
        if (code < r.from || code > r.to) continue;
        if (r.kind == TC_WHOLE) {
            snprintf(szMsgBuffer, sizeof(szMsgBuffer), "%s", r.text);
            return;
        }
        suffix = r.text;
        break;
    }
    size_t len = strlen(szMsgBuffer);
    snprintf(szMsgBuffer + len, sizeof(szMsgBuffer) - len, "%s", suffix);
}

static void aux_Error_ReplaceSeparators(char with) {
    for (char* p = szMsgBuffer; *p; ++p)
        if (*p == '|') *p = with;
}

const char* Error_GetResultMsg(uint16_t code, uint8_t form) {
    if (code < RES_HOST_ACTION_END) {
        // The host table's texts fit this buffer with room for the cashier's code.
        static_assert(int(TMMSG_RESULT_DESC_SIZE) <= int(MSG_BUFFER_SIZE), "host text does not fit the result buffer");
        TMMsgBuilder_GetResultCodeDesc(code, form != ERR_FORM_PINPAD, szMsgBuffer);
    } else {
        aux_Error_TerminalText(code);
    }

    switch (form) {
    case ERR_FORM_CASHIER:
        if (code != RES_OK) {
            size_t len = strlen(szMsgBuffer);
            snprintf(szMsgBuffer + len, sizeof(szMsgBuffer) - len, "%s%u]", CP1251("|КОД: ["),
                     static_cast<unsigned>(code));
        }
        break;
    case ERR_FORM_RESULT_TEXT:
        aux_Error_ReplaceSeparators(' ');
        break;
    case ERR_FORM_CHEQUE:
        aux_Error_ReplaceSeparators('\n');
        break;
    default:
        break;
    }
    return szMsgBuffer;
}

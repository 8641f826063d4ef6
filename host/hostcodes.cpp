// host/hostcodes.cpp
// The host's action codes: success rules and texts. A text is a range's head
// with, for some codes, one appended line, or a whole text of its own.
#include "host/hostcodes.h"

#include <cstring>

#include "support/cp1251.h"
#include "support/result_codes.h"

namespace {

enum : uint8_t { HC_SUFFIX, HC_WHOLE };

struct HostRange {
    uint16_t from;
    uint16_t to;
    const char* head;             // what HC_SUFFIX lines are appended to
    const char* captureHead;      // the head when the card is to be captured (null: same as head)
    const char* fallback;         // text of an unlisted code (null: the head)
    const char* captureFallback;  // the same with the card captured (null: as fallback)
};

struct HostCode {
    uint16_t code;
    uint8_t kind;
    const char* text;
};

}  // namespace

bool TMMsgBuilder_IsSuccessResult(uint16_t code) {
    // 300, 303, 600 and 700 read "approved" but do not approve an operation.
    static const uint16_t kSuccessCodes[] = {400, 499, RES_HOST_TOTALS_AGREED, RES_HOST_TOTALS_DIFFER, 800};
    if (code <= 99) return true;
    for (uint16_t c : kSuccessCodes)
        if (c == code) return true;
    return false;
}

bool TMMsgBuilder_IsSuccessBatch(uint16_t code) { return code == RES_HOST_TOTALS_AGREED; }

char* TMMsgBuilder_GetResultCodeDesc(uint16_t code, bool cardCapture, char* destination) {
    if (destination == nullptr) return destination;

    // Built on first use so that no other module's start-up code can see them half made.
    static const HostRange kRanges[] = {
        {0, 99, CP1251("ОДОБРЕНО БАНКОМ"), nullptr, nullptr, nullptr},
        {100, 199, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА"), nullptr, nullptr, nullptr},
        {200, 299, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА"), CP1251("ОТКЛОНЕНО|ИЗЪЯТЬ КАРТОЧКУ"), nullptr,
         CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ЗАПРЕЩЕНА|ИЗЪЯТЬ КАРТОЧКУ")},
        {300, 399, nullptr, nullptr, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ КОД"), nullptr},
        {400, 499, nullptr, nullptr, CP1251("ОТКЛОНЕНО|ОПЕРАЦИЯ ОТМЕНЕНА"), nullptr},
        {500, 899, nullptr, nullptr, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕИЗВЕСТНЫЙ КОД"), nullptr},
        {900, 999, CP1251("ОТКЛОНЕНО"), nullptr, nullptr, nullptr},
    };
    static const HostCode kCodes[] = {
        {1, HC_SUFFIX, CP1251("|ПРОВЕРЬТЕ ПОДПИСЬ")},
        {2, HC_SUFFIX, CP1251("|НЕ НА ВСЮ СУММУ")},
        {3, HC_SUFFIX, CP1251("|VIP-КЛИЕНТ")},
        {4, HC_SUFFIX, CP1251("|ОБРАТИТЕСЬ В БАНК")},
        {6, HC_SUFFIX, CP1251("|НЕ НА ВСЮ СУММУ")},
        {7, HC_SUFFIX, CP1251("|ОБРАТИТЕСЬ В БАНК")},

        {101, HC_SUFFIX, CP1251("|ИСТЕК СРОК ДЕЙСТВИЯ")},
        {102, HC_SUFFIX, CP1251("|ВЕРОЯТНО ОБМАН")},
        {103, HC_SUFFIX, CP1251("|СВЯЖИТЕСЬ С БАНКОМ")},
        {104, HC_SUFFIX, CP1251("|ПО ДАННОЙ КАРТОЧКЕ")},
        {105, HC_SUFFIX, CP1251("|СВЯЖИТЕСЬ С БАНКОМ")},
        {106, HC_SUFFIX, CP1251("|БЛОКИРОВАНО ПО ПИН-КОДУ")},
        {107, HC_SUFFIX, CP1251("|СВЯЖИТЕСЬ С БАНКОМ")},
        {108, HC_SUFFIX, CP1251("|ЭМИТЕНТОМ")},
        {109, HC_SUFFIX, CP1251("|ОШИБКА НАСТРОЙКИ")},
        {110, HC_SUFFIX, CP1251("|НЕВЕРНАЯ СУММА")},
        {111, HC_SUFFIX, CP1251("|НЕВЕРНАЯ КАРТОЧКА")},
        {112, HC_SUFFIX, CP1251("|НЕОБХОДИМ ВВОД ПИН-КОДА")},
        {113, HC_SUFFIX, CP1251("|НЕДОПУСТИМЫЙ ПЛАТЕЖ")},
        {114, HC_SUFFIX, CP1251("|НЕ НАЙДЕН ТИП СЧЕТА")},
        {115, HC_SUFFIX, CP1251("|НЕ ПОДДЕРЖИВАЕТСЯ")},
        {116, HC_SUFFIX, CP1251("|НЕДОСТАТОЧНО СРЕДСТВ")},
        {117, HC_SUFFIX, CP1251("|НЕВЕРНЫЙ ПИН-КОД")},
        {118, HC_SUFFIX, CP1251("|НЕВЕРНАЯ КАРТОЧКА")},
        {119, HC_SUFFIX, CP1251("|ВЛАДЕЛЬЦУ КАРТОЧКИ")},
        {120, HC_SUFFIX, CP1251("|ТЕРМИНАЛУ")},
        {121, HC_SUFFIX, CP1251("|ИСТЕК ЛИМИТ СУММЫ")},
        {122, HC_SUFFIX, CP1251("|НАРУШЕНИЕ ДОГОВОРА")},
        {123, HC_SUFFIX, CP1251("|ИСТЕК ЛИМИТ СНЯТИЙ")},
        {124, HC_SUFFIX, CP1251("|НАРУШЕНИЕ ДОГОВОРА")},
        {125, HC_SUFFIX, CP1251("|КАРТОЧКА НЕ ЭФФЕКТИВНА")},
        {126, HC_SUFFIX, CP1251("|НЕВЕРНЫЕ КЛЮЧИ")},
        {127, HC_SUFFIX, CP1251("|НЕВЕРНАЯ ДЛИНА ПИН-КОДА")},
        {128, HC_SUFFIX, CP1251("|ОШИБКА ПИН-КОДА")},
        {129, HC_SUFFIX, CP1251("|ФАЛЬШИВАЯ КАРТОЧКА")},
        {180, HC_SUFFIX, CP1251("|ВЛАДЕЛЬЦЕМ КАРТОЧКИ")},

        {201, HC_SUFFIX, CP1251("|ИСТЕК СРОК ДЕЙСТВИЯ")},
        {202, HC_SUFFIX, CP1251("|ВЕРОЯТНО ОБМАН")},
        {203, HC_SUFFIX, CP1251("|СВЯЖИТЕСЬ С БАНКОМ")},
        {205, HC_SUFFIX, CP1251("|СВЯЖИТЕСЬ С БАНКОМ")},
        {206, HC_SUFFIX, CP1251("|БЛОКИРОВАНО ПО ПИН-КОДУ")},
        {208, HC_SUFFIX, CP1251("|КАРТОЧКА УТЕРЯНА")},
        {209, HC_SUFFIX, CP1251("|КАРТОЧКА УКРАДЕНА")},
        {210, HC_SUFFIX, CP1251("|ФАЛЬШИВАЯ КАРТОЧКА")},

        {300, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|ФАЙЛ ОБРАБОТАН")},
        {301, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОБРАБОТКА НЕВОЗМОЖНА")},
        {302, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ДАННЫХ ФАЙЛА")},
        {303, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|ПОВТОР ДАННЫХ")},
        {304, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ПОЛЯ ФАЙЛА")},
        {305, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ДОСТУПА")},
        {306, HC_WHOLE, CP1251("ОТКЛОНЕНО|ФАЙЛ НЕ ОБРАБОТАН")},
        {307, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ФОРМАТА ФАЙЛА")},
        {308, HC_WHOLE, CP1251("ОТКЛОНЕНО|ПОВТОР ДАННЫХ")},
        {309, HC_WHOLE, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ ФАЙЛ")},

        {400, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|ОПЕРАЦИЯ ОТМЕНЕНА")},
        {499, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|ОПЕРАЦИЯ БЫЛА|ОТМЕНЕНА РАНЕЕ")},

        {500, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|СМЕНА ЗАКРЫТА|СУММЫ СОВПАЛИ")},
        {501, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|СМЕНА ЗАКРЫТА|НЕСОВПАДЕНИЕ СУММ")},
        {502, HC_WHOLE, CP1251("ОТКЛОНЕНО|СМЕНА НЕ ЗАКРЫТА|НЕТ ИТОГОВЫХ ДАННЫХ")},
        {503, HC_WHOLE, CP1251("ОТКЛОНЕНО|СМЕНА НЕ ЗАКРЫТА|ОШИБКА В ИТОГАХ")},
        {504, HC_WHOLE, CP1251("ОТКЛОНЕНО|СМЕНА НЕ ЗАКРЫТА|НЕТ ИТОГОВЫХ ДАННЫХ")},

        {600, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ")},
        {601, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|ОПЕРАЦИЯ НЕ НАЙДЕНА")},
        {602, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕВЕРНЫЙ НОМЕР")},
        {603, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|ОПЕРАЦИЯ НЕ НАЙДЕНА")},
        {604, HC_WHOLE, CP1251("ОТКЛОНЕНО|ОШИБКА ОПЕРАЦИИ|НЕВЕРНЫЙ ТЕРМИНАЛ")},
        {700, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ|ИНКАССАЦИЯ ВЫПОЛНЕНА")},
        {800, HC_WHOLE, CP1251("ОДОБРЕНО БАНКОМ")},

        {902, HC_SUFFIX, CP1251("|НЕВЕРНАЯ ТРАНЗАКЦИЯ")},
        {903, HC_SUFFIX, CP1251("|ПОВТОРИТЕ ОПЕРАЦИЮ")},
        {904, HC_SUFFIX, CP1251("|ОШИБКА ФОРМАТА")},
        {907, HC_SUFFIX, CP1251("|ЭМИТЕНТ НЕДОСТУПЕН")},
        {909, HC_SUFFIX, CP1251("|СБОЙ СИСТЕМЫ")},
        {910, HC_SUFFIX, CP1251("|ОТКАЗ ЭМИТЕНТА")},
        {911, HC_SUFFIX, CP1251("|ЭМИТЕНТ НЕДОСТУПЕН")},
        {912, HC_SUFFIX, CP1251("|ЭМИТЕНТ НЕДОСТУПЕН")},
        {913, HC_SUFFIX, CP1251("|ПОВТОРНАЯ ПЕРЕДАЧА")},
        {914, HC_SUFFIX, CP1251("|ОПЕРАЦИЯ НЕ НАЙДЕНА")},
        {916, HC_SUFFIX, CP1251("|НЕВЕРНЫЙ MAC")},
        {917, HC_SUFFIX, CP1251("|ОШИБКА ОБРАБОТКИ MAC")},
        {918, HC_SUFFIX, CP1251("|НЕТ КОММ. КЛЮЧЕЙ")},
        {920, HC_SUFFIX, CP1251("|ПОВТОРИТЕ ОПЕРАЦИЮ")},
        {921, HC_SUFFIX, CP1251("|ОШИБКА ДОСТУПА")},
        {922, HC_SUFFIX, CP1251("|ОШИБКА НОМЕРА")},
        {923, HC_WHOLE, CP1251("В ОБРАБОТКЕ|ПОЖАЛУЙСТА, ЖДИТЕ")},
        {950, HC_SUFFIX, CP1251("|НАРУШЕНИЕ ДОГОВОРА")},
    };

    const HostRange* range = nullptr;
    for (const HostRange& r : kRanges)
        if (code >= r.from && code <= r.to) range = &r;
    if (range == nullptr) {
        // The kernel's own codes never come here; anything else is unknown to the host table.
        strcpy(destination, CP1251("ОТКЛОНЕНО|НЕИЗВЕСТНЫЙ КОД"));
        return destination;
    }

    const char* head = (cardCapture && range->captureHead) ? range->captureHead : range->head;
    for (const HostCode& c : kCodes) {
        if (c.code != code) continue;
        if (c.kind == HC_WHOLE) {
            strcpy(destination, c.text);
        } else {
            strcpy(destination, head);
            strcat(destination, c.text);
        }
        return destination;
    }

    const char* fallback = range->fallback ? range->fallback : head;
    if (cardCapture && range->captureFallback) fallback = range->captureFallback;
    strcpy(destination, fallback);
    return destination;
}

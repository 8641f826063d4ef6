// remote/kwrmerror.cpp
#include "remote/kwrmerror.h"

#include <cstdio>

#include "support/cp1251.h"
#include "support/result_codes.h"

namespace {

struct KwrmText {
    uint16_t from;
    uint16_t to;
    bool whole;        // false: the text follows "ОШИБКА ОБНОВЛЕНИЯ|"
    const char* text;
};

// "ОШИБКА ОБНОВЛЕНИЯ|" and the longest text below fit with room to spare.
enum { KWRM_MSG_BUFFER_SIZE = 64 };

}  // namespace

static char m_szKwrmMsg[KWRM_MSG_BUFFER_SIZE];

const char* Error_GetResultMsgKwrm(uint16_t code, uint8_t target) {
    (void)target;
    static const KwrmText kTable[] = {
        {RES_OK, RES_OK, true, CP1251("ОБНОВЛЕНИЕ ДАННЫХ|ВЫПОЛНЕНО УСПЕШНО")},
        {RES_PP_KWPAD_VERSION, RES_PP_KWPAD_VERSION, false, CP1251("ОШИБКА ВЕРСИИ KWPAD")},
        {RES_KWRM_SETTINGS, RES_KWRM_SETTINGS, false, CP1251("НЕВЕРНЫЕ НАСТРОЙКИ")},
        {RES_KWRM_CONNECT, RES_KWRM_CONNECT, false, CP1251("НЕТ СВЯЗИ С СЕРВЕРОМ")},
        {RES_KWRM_TRANSPORT, RES_KWRM_CRC, false, CP1251("ОШИБКА ОБМЕНА")},
        {RES_KWRM_INIT, RES_KWRM_INIT, false, CP1251("ОШИБКА ИНИЦИАЛИЗАЦИИ")},
        {RES_KWRM_TERMINAL_ID, RES_KWRM_TERMINAL_ID, false, CP1251("НЕВЕРНЫЙ ID ТЕРМИНАЛА")},
        {RES_KWRM_COMMAND, RES_KWRM_COMMAND, false, CP1251("НЕВЕРНАЯ КОМАНДА")},
        {RES_KWRM_SESSION_REFUSED, RES_KWRM_SESSION_REFUSED, false, CP1251("СЕССИЯ ЗАПРЕЩЕНА")},
        {RES_KWRM_FILE_SEND, RES_KWRM_FILE_SEND, false, CP1251("ОШИБКА ПОСЫЛКИ ФАЙЛА")},
        {RES_KWRM_FILE_RECV, RES_KWRM_FILE_RECV, false, CP1251("ОШИБКА ПРИЕМА ФАЙЛА")},
        {RES_KWRM_NO_FILE, RES_KWRM_FILE_IO, false, CP1251("ОШИБКА РАБ. С ФАЙЛОМ")},
        {RES_KWRM_STATUS_FRAME, RES_KWRM_STATUS_FRAME, false, CP1251("НЕВЕРНЫЙ СТАТУС")},
        {RES_KWRM_FILE_OTHER, RES_KWRM_FILE_LENGTH, false, CP1251("ОШИБКА РАБ. С ФАЙЛОМ")},
        {RES_KWRM_FILE_CRC, RES_KWRM_FILE_CRC, false, CP1251("ОШИБКА CRC ФАЙЛА")},
        {RES_KWRM_NOTHING_NEWER, RES_KWRM_NOTHING_NEWER, false, CP1251("ОШИБКА ПРИЕМА ФАЙЛА")},
        {RES_KWRM_UPLOAD_REFUSED, RES_KWRM_UPLOAD_REFUSED, false, CP1251("ОШИБКА ПОСЫЛКИ ФАЙЛА")},
        // A manager that only ever asks for repeats is an exchange that failed.
        {RES_KWRM_REPEATS, RES_KWRM_REPEATS, false, CP1251("ОШИБКА ОБМЕНА")},
        {RES_KWRM_GET_CRC, RES_KWRM_GET_CRC, false, CP1251("ОШИБКА ПОЛУЧ. CRC")},
        {RES_KWRM_UPDATE_PROBLEMS, RES_KWRM_UPDATE_PROBLEMS, true, CP1251("ОБНОВЛЕНИЕ ВЫПОЛНЕНО|ВОЗНИКЛИ ПРОБЛЕМЫ")},
        {RES_KWRM_REFUSED, RES_KWRM_REFUSED, false, CP1251("В ОБНОВЛЕНИИ ОТКАЗАНО")},
        {RES_KWRM_DISK_SPACE, RES_KWRM_DISK_SPACE, false, CP1251("МАЛО МЕСТА НА ДИСКЕ")},
        {RES_KWRM_TK_LOAD, RES_KWRM_TK_LOAD, false, CP1251("ОШИБКА ЗАГРУЗКИ TK")},
        {RES_KWRM_TK_CHANGE, RES_KWRM_TK_CHANGE, false, CP1251("ОШИБКА СМЕНЫ TK")},
        {RES_KWRM_TIME_BUDGET, RES_KWRM_TIME_BUDGET, false, CP1251("ВРЕМЯ СЕССИИ ИСТЕКЛО")},
        {RES_KWRM_FILE_REFUSED, RES_KWRM_FILE_REFUSED, false, CP1251("ФАЙЛ НЕ ПРИНЯТ")},
        {RES_KWRM_LIB_CONFLICT, RES_KWRM_LIB_CONFLICT, false, CP1251("КОНФЛИКТ ВЕРСИЙ")},
        {RES_KWRM_SIGNATURE, RES_KWRM_SIGNATURE, false, CP1251("НЕВЕРНАЯ ПОДПИСЬ")},
        {RES_KWRM_CONFIG_SAVE, RES_KWRM_CONFIG_SAVE, false, CP1251("ОШИБКА СОХР. КОНФИГ.")},
    };
    for (const KwrmText& row : kTable) {
        if (code < row.from || code > row.to) continue;
        if (row.whole) snprintf(m_szKwrmMsg, sizeof(m_szKwrmMsg), "%s", row.text);
        else snprintf(m_szKwrmMsg, sizeof(m_szKwrmMsg), "%s%s", CP1251("ОШИБКА ОБНОВЛЕНИЯ|"), row.text);
        return m_szKwrmMsg;
    }
    snprintf(m_szKwrmMsg, sizeof(m_szKwrmMsg), "%s", CP1251("НЕИЗВЕСТНАЯ ОШИБКА"));
    return m_szKwrmMsg;
}

// support/resource.cpp
#include "support/resource.h"
#include "support/resource_internal.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

#include "support/log.h"

static char aux_g_szCurRes[RESOURCE_BUF_SIZE];

// Longest part of a text shown on the cashier display.
enum { INFORM_MESSAGE_MAX = 255 };

char* aux_Resource_ConvertUtf8(const char* text) {
    memset(aux_g_szCurRes, 0, sizeof(aux_g_szCurRes));
    if (text == nullptr) return aux_g_szCurRes;

    iconv_t cd = iconv_open("utf-8", "cp1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        LogString("ERROR. aux_Resource_ConvertUtf8. iconv_open: %d", errno);
        return aux_g_szCurRes;
    }
    char* in = const_cast<char*>(text);
    size_t inLeft = strlen(text);
    char* out = aux_g_szCurRes;
    size_t outLeft = sizeof(aux_g_szCurRes) - 1;  // room for the terminator
    // iconv writes only whole characters, so a full buffer or a bad byte ends
    // the output cleanly at the last complete character.
    iconv(cd, &in, &inLeft, &out, &outLeft);
    *out = '\0';
    iconv_close(cd);
    return aux_g_szCurRes;
}

char* aux_Resource_Convert(const char* text, int direction) {
    memset(aux_g_szCurRes, 0, sizeof(aux_g_szCurRes));
    if (text == nullptr) return aux_g_szCurRes;
    size_t i = 0;
    for (; i < sizeof(aux_g_szCurRes) - 1 && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (direction == RESOURCE_CP1251_TO_CP866) {
            // Code page 866 has no Ё/ё in the places used here: the diaeresis is dropped.
            if (c == 0xA8) c = 0x85;
            else if (c == 0xB8) c = 0xA5;
            else if (c == 0xB9) c = 0xFC;
            else if (c >= 0xC0 && c <= 0xEF) c = static_cast<unsigned char>(c - 0x40);
            else if (c >= 0xF0) c = static_cast<unsigned char>(c - 0x10);
        } else {
            if (c == 0xF0) c = 0xA8;
            else if (c == 0xF1) c = 0xB8;
            else if (c == 0xFC) c = 0xB9;
            else if (c >= 0x80 && c <= 0xAF) c = static_cast<unsigned char>(c + 0x40);
            else if (c >= 0xE0 && c <= 0xEF) c = static_cast<unsigned char>(c + 0x10);
        }
        aux_g_szCurRes[i] = static_cast<char>(c);
    }
    aux_g_szCurRes[i] = '\0';
    return aux_g_szCurRes;
}

char* Resource_GetInformMessage(const char* text) {
    char line[INFORM_MESSAGE_MAX + 1] = {0};
    if (text != nullptr) strncpy(line, text, INFORM_MESSAGE_MAX);
    for (char* p = line; *p != '\0'; ++p) {
        if (*p == '|') *p = ' ';
    }
    return aux_Resource_ConvertUtf8(line);
}

char* Resource_GetChequeLine(const char* text) { return aux_Resource_ConvertUtf8(text); }

const char* Resource_GetDeviceMessage(const char* text, ...) { return text; }

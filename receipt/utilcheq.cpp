// receipt/utilcheq.cpp
#include "receipt/utilcheq.h"

#include <cstring>
#include <string>

#include "support/cp1251.h"
#include "support/resource.h"
#include "support/result_codes.h"
#include "support/xmlout.h"

static FILE* m_hChequeFile = nullptr;
static unsigned char m_ucCharsPerLine = CHEQ_WIDTH_MIN;

void UtilCheq_StartPrinting(FILE* file, int width) {
    m_hChequeFile = file;
    if (width > CHEQ_WIDTH_MAX) width = CHEQ_WIDTH_MAX;
    if (width < CHEQ_WIDTH_MIN) width = CHEQ_WIDTH_MIN;
    m_ucCharsPerLine = static_cast<unsigned char>(width);
}

int UtilCheq_GetWidth() { return m_ucCharsPerLine; }

static void aux_UtilCheq_Spaces(size_t count) {
    for (size_t i = 0; i < count; ++i) fputc(' ', m_hChequeFile);
}

// Writes the Windows-1251 text converted to UTF-8, without a line end. The
// stream is the response file's receipt element, so the line goes out as XML
// character data: a bank name or a card's label holding "<" or "&" must not
// make an approved payment's response unreadable.
static void aux_UtilCheq_Text(const char* text) { XMLOut_PutText(m_hChequeFile, Resource_GetChequeLine(text)); }

int UtilCheq_PrintString(unsigned char alignment, const char* text, unsigned char skipBlank) {
    if (m_hChequeFile == nullptr) return RES_RESPONSE_WRITE;
    size_t len = strlen(text);
    size_t n = len < m_ucCharsPerLine ? len : m_ucCharsPerLine;
    if (skipBlank == 1 && strspn(text, " ") >= n) return RES_OK;
    size_t padding = 0;
    if (alignment == CHEQ_ALIGN_CENTER) padding = (m_ucCharsPerLine - n) / 2;
    else if (alignment == CHEQ_ALIGN_RIGHT) padding = m_ucCharsPerLine - n;
    aux_UtilCheq_Spaces(padding);
    aux_UtilCheq_Text(text);
    fputc('\n', m_hChequeFile);
    return RES_OK;
}

int UtilCheq_PrintJustify(const char* left, const char* right) {
    if (m_hChequeFile == nullptr) return RES_RESPONSE_WRITE;
    size_t total = strlen(left) + strlen(right);
    if (total + 1 <= m_ucCharsPerLine) {
        aux_UtilCheq_Text(left);
        aux_UtilCheq_Spaces(m_ucCharsPerLine - total);
        aux_UtilCheq_Text(right);
        fputc('\n', m_hChequeFile);
        return RES_OK;
    }
    UtilCheq_PrintString(CHEQ_ALIGN_LEFT, left, 0);
    return UtilCheq_PrintString(CHEQ_ALIGN_RIGHT, right, 0);
}

int UtilCheq_PrintLongString(unsigned char alignment, const char* text) {
    if (m_hChequeFile == nullptr) return RES_RESPONSE_WRITE;
    if (strlen(text) > CHEQ_LONG_TEXT_MAX) return RES_RESPONSE_WRITE;
    std::string rest(text);
    const size_t width = m_ucCharsPerLine;
    if (rest.size() <= width) return UtilCheq_PrintString(alignment, text, 0);
    while (!rest.empty()) {
        if (rest.size() <= width) {
            UtilCheq_PrintString(alignment, rest.c_str(), 0);
            break;
        }
        size_t cut;
        size_t skip = 1;  // the line feed or space at the break is dropped
        size_t feed = rest.find('\n');
        if (feed != std::string::npos) {
            cut = feed;
        } else {
            size_t space = rest.rfind(' ', width);
            if (space != std::string::npos) {
                cut = space;
            } else {
                cut = width;
                skip = 0;
            }
        }
        UtilCheq_PrintString(alignment, rest.substr(0, cut).c_str(), 0);
        rest.erase(0, cut + skip);
    }
    return RES_OK;
}

int UtilCheq_EmptyString() {
    if (m_hChequeFile == nullptr) return RES_RESPONSE_WRITE;
    fputc('\n', m_hChequeFile);
    return RES_OK;
}

int UtilCheq_PrintLine(char character) {
    if (m_hChequeFile == nullptr) return RES_RESPONSE_WRITE;
    std::string line(m_ucCharsPerLine, character);
    aux_UtilCheq_Text(line.c_str());
    fputc('\n', m_hChequeFile);
    return RES_OK;
}

// ---- amount in words ----

namespace {

enum Gender { MASCULINE = 0, FEMININE = 1 };

struct SUnitForms {
    Gender gender;
    const char* forms[3];  // for 1; for 2-4; for 0 and 5-19
};

struct SCurrencyNames {
    SUnitForms major;
    SUnitForms minor;
};

}  // namespace

static const char* const kUnits[2][10] = {
    {"", CP1251("один "), CP1251("два "), CP1251("три "), CP1251("четыре "), CP1251("пять "), CP1251("шесть "),
     CP1251("семь "), CP1251("восемь "), CP1251("девять ")},
    {"", CP1251("одна "), CP1251("две "), CP1251("три "), CP1251("четыре "), CP1251("пять "), CP1251("шесть "),
     CP1251("семь "), CP1251("восемь "), CP1251("девять ")},
};
static const char* const kTeens[10] = {
    CP1251("десять "),      CP1251("одиннадцать "), CP1251("двенадцать "),   CP1251("тринадцать "),
    CP1251("четырнадцать "), CP1251("пятнадцать "),  CP1251("шестнадцать "),  CP1251("семнадцать "),
    CP1251("восемнадцать "), CP1251("девятнадцать ")};
static const char* const kTens[10] = {
    "", CP1251("десять "), CP1251("двадцать "), CP1251("тридцать "), CP1251("сорок "), CP1251("пятьдесят "),
    CP1251("шестьдесят "), CP1251("семьдесят "), CP1251("восемьдесят "), CP1251("девяносто ")};
static const char* const kHundreds[10] = {
    "", CP1251("сто "), CP1251("двести "), CP1251("триста "), CP1251("четыреста "), CP1251("пятьсот "),
    CP1251("шестьсот "), CP1251("семьсот "), CP1251("восемьсот "), CP1251("девятьсот ")};

static const SUnitForms stPower[6] = {
    {MASCULINE, {"", "", ""}},  // group 0 takes the currency unit's forms
    {FEMININE, {CP1251("тысяча "), CP1251("тысячи "), CP1251("тысяч ")}},
    {MASCULINE, {CP1251("миллион "), CP1251("миллиона "), CP1251("миллионов ")}},
    {MASCULINE, {CP1251("миллиард "), CP1251("миллиарда "), CP1251("миллиардов ")}},
    {MASCULINE, {CP1251("триллион "), CP1251("триллиона "), CP1251("триллионов ")}},
    {MASCULINE, {CP1251("квадриллион "), CP1251("квадриллиона "), CP1251("квадриллионов ")}},
};

static const SCurrencyNames g_stCurrencyNames[4] = {
    {{MASCULINE, {CP1251("рубль"), CP1251("рубля"), CP1251("рублей")}},
     {FEMININE, {CP1251("копейка"), CP1251("копейки"), CP1251("копеек")}}},
    {{MASCULINE, {CP1251("доллар"), CP1251("доллара"), CP1251("долларов")}},
     {MASCULINE, {CP1251("цент"), CP1251("цента"), CP1251("центов")}}},
    {{MASCULINE, {CP1251("евро"), CP1251("евро"), CP1251("евро")}},
     {MASCULINE, {CP1251("цент"), CP1251("цента"), CP1251("центов")}}},
    {{MASCULINE, {CP1251("рубль"), CP1251("рубля"), CP1251("рублей")}},
     {FEMININE, {CP1251("копейка"), CP1251("копейки"), CP1251("копеек")}}},
};

enum { WORDS_MAX_DIGITS = 18 };

static int aux_UtilCheq_FormIndex(int v) {
    if (v == 1) return 0;
    if (v >= 2 && v <= 4) return 1;
    return 2;
}

// Spells one pass (major or minor units) of digits with the unit's forms.
static void aux_UtilCheq_SpellPass(std::string digits, const SUnitForms& unit, std::string& out) {
    if (!digits.empty() && digits[0] == '-') digits.erase(0, 1);
    if (digits.find_first_not_of('0') == std::string::npos) {
        out += CP1251("ноль ");
        out += unit.forms[2];
        return;
    }
    if (digits.size() > WORDS_MAX_DIGITS) digits.erase(0, digits.size() - WORDS_MAX_DIGITS);
    size_t groups = (digits.size() + 2) / 3;
    size_t first = digits.size() - (groups - 1) * 3;
    size_t pos = 0;
    for (size_t g = groups; g-- > 0;) {
        size_t len = (g == groups - 1) ? first : 3;
        int v = 0;
        for (size_t i = 0; i < len; ++i) v = v * 10 + (digits[pos + i] - '0');
        pos += len;
        const SUnitForms& forms = g == 0 ? unit : stPower[g];
        if (v == 0) {
            if (g == 0) out += unit.forms[2];
            continue;
        }
        if (v >= 100) {
            out += kHundreds[v / 100];
            v %= 100;
        }
        if (v >= 20) {
            out += kTens[v / 10];
            v %= 10;
        }
        if (v >= 10) out += kTeens[v - 10];
        else if (v >= 1) out += kUnits[forms.gender][v];
        out += forms.forms[aux_UtilCheq_FormIndex(v)];
    }
}

static bool aux_UtilCheq_AllDigits(const std::string& s) {
    size_t start = (!s.empty() && s[0] == '-') ? 1 : 0;
    return s.find_first_not_of("0123456789", start) == std::string::npos;
}

void UtilCheq_BigIntToWords(const char* amount, char* out, size_t size, int currency) {
    if (size == 0) return;
    memset(out, 0, size);
    if (currency < 0 || currency > 3) currency = 0;
    const SCurrencyNames& names = g_stCurrencyNames[currency];
    std::string text(amount);
    size_t dot = text.find('.');
    std::string major = text.substr(0, dot);
    std::string minor = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (!aux_UtilCheq_AllDigits(major) || !aux_UtilCheq_AllDigits(minor)) return;

    std::string words;
    aux_UtilCheq_SpellPass(major, names.major, words);
    if (!minor.empty()) {
        words += ' ';
        aux_UtilCheq_SpellPass(minor, names.minor, words);
    }
    strncpy(out, words.c_str(), size - 1);
}

// support/cp1251.h
// Windows-1251 texts written readably in the source: CP1251("ОТКЛОНЕНО")
// converts the UTF-8 literal at compile time into a NUL-terminated
// Windows-1251 array with static storage. Only ASCII, А-я, Ё, ё and № are
// accepted; any other character stops the build.
#pragma once
#include <cstddef>

namespace cp1251 {

template <size_t N>
struct Text {
    char data[N];
};

// Number of Windows-1251 bytes that a UTF-8 literal of N bytes (with its NUL) makes.
template <size_t N>
constexpr size_t Length(const char (&s)[N]) {
    size_t out = 0;
    for (size_t i = 0; i + 1 < N;) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        i += c < 0x80 ? 1 : (c < 0xE0 ? 2 : 3);
        ++out;
    }
    return out + 1;
}

constexpr char Byte(unsigned cp) {
    if (cp < 0x80) return static_cast<char>(cp);
    if (cp >= 0x410 && cp <= 0x44F) return static_cast<char>(cp - 0x410 + 0xC0);
    if (cp == 0x401) return static_cast<char>(0xA8);
    if (cp == 0x451) return static_cast<char>(0xB8);
    if (cp == 0x2116) return static_cast<char>(0xB9);
    if (cp == 0xAB) return static_cast<char>(0xAB);
    if (cp == 0xBB) return static_cast<char>(0xBB);
    throw "character outside Windows-1251 table";  // only ever evaluated at compile time
}

template <size_t M, size_t N>
constexpr Text<M> Convert(const char (&s)[N]) {
    Text<M> t{};
    size_t o = 0;
    for (size_t i = 0; i + 1 < N;) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        unsigned cp = 0;
        if (c < 0x80) {
            cp = c;
            i += 1;
        } else if (c < 0xE0) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            i += 2;
        } else {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            i += 3;
        }
        t.data[o++] = Byte(cp);
    }
    t.data[o] = '\0';
    return t;
}

}  // namespace cp1251

// A const char* to the Windows-1251 form of a UTF-8 string literal.
#define CP1251(literal)                                                                         \
    ([]() -> const char* {                                                                      \
        static constexpr auto text = ::cp1251::Convert<::cp1251::Length(literal)>(literal);    \
        return text.data;                                                                       \
    }())

// tests/unit/records_test_util.h
// Shared by the record-file tests: a fresh payment directory with DATA/, a
// byte builder for hand-made fixtures, whole-file reads.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "tests/common/tempdir.h"

// A temporary payment directory, entered, with DATA/ made.
struct RecordsDir {
    TempDir dir;
    RecordsDir() { mkdir("DATA", 0777); }
};

// Hand-made file content: little-endian integers, NUL-padded texts, 9-byte amounts.
struct Bytes {
    std::string s;
    Bytes& u8(uint8_t v) { s.push_back(static_cast<char>(v)); return *this; }
    Bytes& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& text(const char* t, size_t width) {
        std::string f(t);
        f.resize(width, '\0');
        s += f;
        return *this;
    }
    Bytes& amount(uint8_t sign, uint32_t high, uint32_t low) { return u8(sign).u32(high).u32(low); }
    Bytes& fill(size_t n, uint8_t v) { s.append(n, static_cast<char>(v)); return *this; }
};

// Whole content of a file relative to the current directory, or nullopt when missing.
inline std::optional<std::string> ReadFile(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

inline void WriteFile(const char* path, const std::string& content) {
    FILE* f = fopen(path, "wb");
    if (f == nullptr) return;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

inline bool Exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// fuzz/fuzz_util.h
// What the fuzz targets share: a private payment directory to work in, a
// clock that never waits, and small readers of the fuzzer's bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct S_PAY_ORDER;

// Makes (once) a payment directory with DATA/, LOG/ and TEMP/ under /dev/shm,
// enters it and installs the still clock and the most detailed log level (the
// log itself is fuzz/null_log.cpp). Removed when the process exits.
void Fuzz_EnterWorkDir();

// Fuzz_EnterWorkDir, and (once) the host message builder's tables.
void Fuzz_EnterHostWorkDir();

// The length a host message of size bytes is handed on with (the parsers take 16 bits).
inline uint16_t Fuzz_MessageLength(size_t size) { return size > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(size); }

// A sale of 10.00 BYN, as the card readers get it before a card is read.
void Fuzz_SaleOrder(S_PAY_ORDER* order);

// Replaces the file (relative to the work directory) with n bytes of data.
void Fuzz_WriteFile(const char* path, const uint8_t* data, size_t n);
// Removes the file if it exists.
void Fuzz_RemoveFile(const char* path);

// Milliseconds of the still clock; a wait moves it on without sleeping.
uint64_t Fuzz_ClockMs();
void Fuzz_ClockAdvance(uint64_t ms);

// Reads the fuzzer's bytes front to back; past the end every read gives zeros.
class FuzzReader {
public:
    FuzzReader(const uint8_t* data, size_t n) : m_data(data), m_left(n) {}
    size_t left() const { return m_left; }
    uint8_t u8() {
        if (m_left == 0) return 0;
        --m_left;
        return *m_data++;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    // Up to n bytes (fewer at the end).
    std::string bytes(size_t n) {
        if (n > m_left) n = m_left;
        std::string s(reinterpret_cast<const char*>(m_data), n);
        m_data += n;
        m_left -= n;
        return s;
    }
    std::string rest() { return bytes(m_left); }

private:
    const uint8_t* m_data;
    size_t m_left;
};

// Frame and file checksums of the PIN-pad subsystem.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pinpad/crc.h"
#include "support/result_codes.h"
#include "tests/common/tempdir.h"

namespace {

const uint8_t* U(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

TEST(Crc, CheckValues) {
    EXPECT_EQ(0xFEE8, CRC_CalcCRC16(U("123456789"), 9, 0));
    EXPECT_EQ(0xCBF43926u, CRC_CalcCRC32(U("123456789"), 9, 0));
    EXPECT_EQ(0, CRC_CalcCRC16(U(""), 0, 0));
    EXPECT_EQ(0u, CRC_CalcCRC32(U(""), 0, 0));
    // Single bytes pin the bit order: CRC-16/UMTS of 0x01 is the polynomial itself.
    const uint8_t one = 0x01;
    EXPECT_EQ(0x8005, CRC_CalcCRC16(&one, 1, 0));
}

TEST(Crc, Crc32ChainsOverPieces) {
    uint32_t first = CRC_CalcCRC32(U("12345"), 5, 0);
    EXPECT_EQ(0xCBF43926u, CRC_CalcCRC32(U("6789"), 4, first));
    // Any split of a longer buffer gives the same CRC as one pass.
    std::string data;
    for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 7));
    uint32_t whole = CRC_CalcCRC32(U(data.data()), 1000, 0);
    for (size_t split : {size_t(1), size_t(31), size_t(500), size_t(999)}) {
        SCOPED_TRACE(split);
        uint32_t c = CRC_CalcCRC32(U(data.data()), static_cast<uint32_t>(split), 0);
        EXPECT_EQ(whole, CRC_CalcCRC32(U(data.data() + split), static_cast<uint32_t>(1000 - split), c));
    }
}

TEST(Crc, FileCrc) {
    TempDir dir;
    dir.write("LOG/.keep", "");
    dir.write("check.txt", "123456789");
    dir.write("empty.bin", "");
    std::string big;
    for (int i = 0; i < 1000; ++i) big.push_back(static_cast<char>(i * 13 + 1));
    dir.write("big.bin", big);

    struct Case {
        const char* path;
        int result;
        uint32_t crc;
    } cases[] = {
        {"check.txt", RES_OK, 0xCBF43926u},
        {"empty.bin", RES_OK, 0},
        {"big.bin", RES_OK, CRC_CalcCRC32(U(big.data()), 1000, 0)},
        {"missing.bin", RES_KWRM_FILE_OPEN, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        uint32_t crc = 0xDEADBEEF;
        EXPECT_EQ(c.result, CRC_GetFileCRC(c.path, &crc));
        EXPECT_EQ(c.crc, crc);
    }
}

}  // namespace

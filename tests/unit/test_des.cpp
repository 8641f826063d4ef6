// Two-key Triple-DES of the PIN-pad link against published known answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <mbedtls/des.h>

#include "pinpad/des.h"

namespace {

std::vector<uint8_t> Hex(const char* hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(static_cast<uint8_t>(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

// Single-DES known answers (FIPS 46 worked example and the NBS/SP 800-17
// variable-plaintext and variable-key tables); with K1 = K2 the two-key EDE
// form must reduce to single DES.
struct DesKat {
    const char* name;
    const char* key;
    const char* plain;
    const char* cipher;
};
const DesKat kKats[] = {
    {"FIPS 46 example", "133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"var text 1", "0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"var text 2", "0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"var text 3", "0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"var key 1", "8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"var key 2", "4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
};

TEST(Des3, EqualHalvesGiveSingleDesKnownAnswers) {
    for (const DesKat& k : kKats) {
        SCOPED_TRACE(k.name);
        std::vector<uint8_t> key = Hex(k.key);
        key.insert(key.end(), key.begin(), key.end());
        std::vector<uint8_t> plain = Hex(k.plain), expect = Hex(k.cipher), out(8);
        Encode_3DES(plain.data(), out.data(), 8, key.data());
        EXPECT_EQ(expect, out);
        std::vector<uint8_t> back(8);
        Decode_3DES(out.data(), back.data(), 8, key.data());
        EXPECT_EQ(plain, back);
    }
}

// With distinct halves the order must be E(K1), D(K2), E(K1): the
// expectation is composed from the (known-answer-checked) single-DES core.
TEST(Des3, DistinctHalvesFollowEncryptDecryptEncrypt) {
    const uint8_t key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                             0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    const uint8_t plain[8] = {'N', 'o', 'w', ' ', 'i', 's', ' ', 't'};
    uint8_t a[8], b[8], c[8];
    mbedtls_des_context k1e, k2d;
    mbedtls_des_init(&k1e);
    mbedtls_des_init(&k2d);
    mbedtls_des_setkey_enc(&k1e, key);
    mbedtls_des_setkey_dec(&k2d, key + 8);
    mbedtls_des_crypt_ecb(&k1e, plain, a);
    mbedtls_des_crypt_ecb(&k2d, a, b);
    mbedtls_des_crypt_ecb(&k1e, b, c);
    mbedtls_des_free(&k1e);
    mbedtls_des_free(&k2d);

    uint8_t out[8];
    Encode_3DES(plain, out, 8, key);
    EXPECT_EQ(0, memcmp(c, out, 8));
    // Swapping the halves must change the result: K1 is the outer key.
    uint8_t swapped[16], out2[8];
    memcpy(swapped, key + 8, 8);
    memcpy(swapped + 8, key, 8);
    Encode_3DES(plain, out2, 8, swapped);
    EXPECT_NE(0, memcmp(out, out2, 8));
}

TEST(Des3, EcbInPlaceRoundTripAndLengthRules) {
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    uint8_t buf[24];
    for (int i = 0; i < 24; ++i) buf[i] = static_cast<uint8_t>(i < 16 ? 0xAA : i);
    uint8_t orig[24];
    memcpy(orig, buf, sizeof(buf));

    Encode_3DES(buf, buf, 24, key);
    // Electronic codebook: equal plaintext blocks give equal ciphertext blocks.
    EXPECT_EQ(0, memcmp(buf, buf + 8, 8));
    EXPECT_NE(0, memcmp(buf, orig, 8));
    Decode_3DES(buf, buf, 24, key);
    EXPECT_EQ(0, memcmp(buf, orig, 24));

    // Length 0 touches nothing; a trailing partial block is left alone.
    uint8_t out[12];
    memset(out, 0x55, sizeof(out));
    Encode_3DES(orig, out, 0, key);
    for (uint8_t v : out) EXPECT_EQ(0x55, v);
    Encode_3DES(orig, out, 12, key);
    for (int i = 8; i < 12; ++i) EXPECT_EQ(0x55, out[i]);
}

}  // namespace

// pinpad/des.cpp
// Built over mbed TLS's DES core, which follows FIPS 46-3 table for table;
// the link only needs the two-key EDE form in ECB.
#include "pinpad/des.h"

#include <cstring>

#include <mbedtls/des.h>

static void aux_Des3_Run(const uint8_t* in, uint8_t* out, uint16_t len, const uint8_t key[DES3_KEY_SIZE],
                         bool encipher) {
    mbedtls_des3_context ctx;
    mbedtls_des3_init(&ctx);
    if (encipher)
        mbedtls_des3_set2key_enc(&ctx, key);
    else
        mbedtls_des3_set2key_dec(&ctx, key);
    for (uint16_t off = 0; off + DES_BLOCK_SIZE <= len; off += DES_BLOCK_SIZE) {
        uint8_t block[DES_BLOCK_SIZE];
        memcpy(block, in + off, DES_BLOCK_SIZE);
        mbedtls_des3_crypt_ecb(&ctx, block, out + off);
    }
    // The context holds the expanded session key.
    mbedtls_des3_free(&ctx);
}

void Encode_3DES(const uint8_t* in, uint8_t* out, uint16_t len, const uint8_t key[DES3_KEY_SIZE]) {
    aux_Des3_Run(in, out, len, key, true);
}

void Decode_3DES(const uint8_t* in, uint8_t* out, uint16_t len, const uint8_t key[DES3_KEY_SIZE]) {
    aux_Des3_Run(in, out, len, key, false);
}

// pinpad/des.h
// Two-key Triple-DES (encrypt-decrypt-encrypt, K1 = key[0..7], K2 = key[8..15])
// in electronic-codebook mode, no padding: the cipher of the PIN-pad link.
#pragma once
#include <cstdint>

enum { DES3_KEY_SIZE = 16, DES_BLOCK_SIZE = 8 };

// out = E(K1, D(K2, E(K1, block))) for every 8-byte block of in; len is a
// multiple of 8 (a trailing partial block is left untouched); in may equal out.
void Encode_3DES(const uint8_t* in, uint8_t* out, uint16_t len, const uint8_t key[DES3_KEY_SIZE]);
// out = D(K1, E(K2, D(K1, block))) for every 8-byte block of in; in may equal out.
void Decode_3DES(const uint8_t* in, uint8_t* out, uint16_t len, const uint8_t key[DES3_KEY_SIZE]);

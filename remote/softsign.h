// remote/softsign.h
// Signed software: the bank's software-signing public key, installed by the
// integrator or the package as SOFTSIGN.PEM in the payment directory (never a
// file the terminal manager can deliver), and the signature trailer a signed
// library or PIN-pad application carries at its end:
//
//   payload | signature (n bytes) | n (4 bytes, big-endian) | "RAVOSIG1"
//
// The signature is the signing key's over the SHA-256 of the payload
// (RSA PKCS#1 v1.5 or ECDSA, as `openssl dgst -sha256 -sign` makes it:
// scripts/sign_software.sh). The dynamic loader ignores bytes after a
// library's last section, so a signed library is installed as it came; a
// PIN-pad application goes to the pad without its trailer.
#pragma once
#include <cstddef>
#include <cstdint>

#define SOFTSIGN_KEY_FILE "SOFTSIGN.PEM"
#define SOFTSIGN_MAGIC "RAVOSIG1"

enum : uint32_t {
    SOFTSIGN_MAGIC_SIZE = 8,
    SOFTSIGN_LENGTH_SIZE = 4,
    SOFTSIGN_MAX_SIGNATURE = 1024,  // an 8192-bit RSA signature
    SOFTSIGN_REASON_SIZE = 160,
};

// Where a file's payload ends: its length without a trailer. RES_OK with
// *signed 1 (a well-formed trailer; payloadLength and the signature's place
// set) or 0 (no trailer: the whole file is payload); RES_KWRM_SIGNATURE for a
// trailer whose length does not fit the file; RES_KWRM_FILE_OPEN when the file is not read.
int SoftSign_Locate(const char* path, uint8_t* isSigned, uint32_t* payloadLength, uint32_t* signatureLength);

// Checks path's signature with the public key in keyPath. RES_OK when it
// verifies; RES_KWRM_SIGNATURE (no or malformed trailer, a signature that
// does not verify, a key that does not parse) with the reason in reason
// (may be null).
int SoftSign_Verify(const char* path, const char* keyPath, char* reason, size_t reasonSize);

// Cuts a well-formed trailer off path (flushed); a file without one is left
// as it is. RES_OK, RES_KWRM_SIGNATURE (malformed trailer) or a file code.
int SoftSign_Strip(const char* path);

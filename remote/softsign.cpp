// remote/softsign.cpp
#include "remote/softsign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/error.h>
#include <mbedtls/md.h>
#include <mbedtls/pk.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/result_codes.h"
#include "support/utilfile.h"

enum : uint32_t { SOFTSIGN_TAIL = SOFTSIGN_LENGTH_SIZE + SOFTSIGN_MAGIC_SIZE };

static bool aux_SoftSign_ReadAt(int fd, off_t at, uint8_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = pread(fd, out + done, n - done, at + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// The trailer of an open file: see SoftSign_Locate.
static int aux_SoftSign_Locate(int fd, uint8_t* isSigned, uint32_t* payloadLength, uint32_t* signatureLength) {
    *isSigned = 0;
    *signatureLength = 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 0 || st.st_size > 0x7FFFFFFF) return RES_KWRM_FILE_OPEN;
    const uint32_t size = static_cast<uint32_t>(st.st_size);
    *payloadLength = size;
    uint8_t tail[SOFTSIGN_TAIL];
    if (size < SOFTSIGN_TAIL) return RES_OK;
    if (!aux_SoftSign_ReadAt(fd, size - SOFTSIGN_TAIL, tail, sizeof(tail))) return RES_KWRM_FILE_OPEN;
    if (memcmp(tail + SOFTSIGN_LENGTH_SIZE, SOFTSIGN_MAGIC, SOFTSIGN_MAGIC_SIZE) != 0) return RES_OK;
    const uint32_t n = static_cast<uint32_t>(tail[0]) << 24 | static_cast<uint32_t>(tail[1]) << 16 |
                       static_cast<uint32_t>(tail[2]) << 8 | tail[3];
    if (n == 0 || n > SOFTSIGN_MAX_SIGNATURE || n > size - SOFTSIGN_TAIL) return RES_KWRM_SIGNATURE;
    *isSigned = 1;
    *signatureLength = n;
    *payloadLength = size - SOFTSIGN_TAIL - n;
    return RES_OK;
}

int SoftSign_Locate(const char* path, uint8_t* isSigned, uint32_t* payloadLength, uint32_t* signatureLength) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *isSigned = 0;
        *payloadLength = *signatureLength = 0;
        return RES_KWRM_FILE_OPEN;
    }
    int rc = aux_SoftSign_Locate(fd, isSigned, payloadLength, signatureLength);
    close(fd);
    return rc;
}

// SHA-256 of the first length bytes of fd.
static bool aux_SoftSign_Hash(int fd, uint32_t length, uint8_t* digest) {
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    bool ok = mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 0) == 0 &&
              mbedtls_md_starts(&md) == 0;
    uint8_t chunk[16384];
    for (uint32_t at = 0; ok && at < length;) {
        size_t n = length - at < sizeof(chunk) ? length - at : sizeof(chunk);
        ok = aux_SoftSign_ReadAt(fd, at, chunk, n) && mbedtls_md_update(&md, chunk, n) == 0;
        at += static_cast<uint32_t>(n);
    }
    ok = ok && mbedtls_md_finish(&md, digest) == 0;
    mbedtls_md_free(&md);
    return ok;
}

int SoftSign_Verify(const char* path, const char* keyPath, char* reason, size_t reasonSize) {
    char own[SOFTSIGN_REASON_SIZE];
    if (reason == nullptr || reasonSize == 0) {
        reason = own;
        reasonSize = sizeof(own);
    }
    reason[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(reason, reasonSize, "not opened [%d]", errno);
        return RES_KWRM_SIGNATURE;
    }
    uint8_t isSigned = 0;
    uint32_t payload = 0, n = 0;
    int rc = aux_SoftSign_Locate(fd, &isSigned, &payload, &n);
    if (rc != RES_OK) snprintf(reason, reasonSize, "signature trailer malformed");
    else if (!isSigned) snprintf(reason, reasonSize, "not signed");

    uint8_t signature[SOFTSIGN_MAX_SIGNATURE];
    uint8_t digest[32];
    const bool read = reason[0] != '\0' ||
                      (aux_SoftSign_ReadAt(fd, payload, signature, n) && aux_SoftSign_Hash(fd, payload, digest));
    if (!read) snprintf(reason, reasonSize, "not read");
    close(fd);

    if (reason[0] == '\0') {
        mbedtls_pk_context key;
        mbedtls_pk_init(&key);
        int err = mbedtls_pk_parse_public_keyfile(&key, keyPath);
        if (err != 0) {
            char words[100];
            mbedtls_strerror(err, words, sizeof(words));
            snprintf(reason, reasonSize, "signing key [%s] does not parse: %s", keyPath, words);
        } else if ((err = mbedtls_pk_verify(&key, MBEDTLS_MD_SHA256, digest, sizeof(digest), signature, n)) != 0) {
            char words[100];
            mbedtls_strerror(err, words, sizeof(words));
            snprintf(reason, reasonSize, "signature does not verify: %s", words);
        }
        mbedtls_pk_free(&key);
    }
    return reason[0] == '\0' ? RES_OK : RES_KWRM_SIGNATURE;
}

int SoftSign_Strip(const char* path) {
    uint8_t isSigned = 0;
    uint32_t payload = 0, n = 0;
    int rc = SoftSign_Locate(path, &isSigned, &payload, &n);
    if (rc != RES_OK || !isSigned) return rc;
    return UtilFile_Truncate(path, static_cast<int32_t>(payload));
}

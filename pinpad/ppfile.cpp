// pinpad/ppfile.cpp
#include "pinpad/ppfile.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include "pinpad/crc.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/ppadproto.h"
#include "pinpad/ppcmd.h"
#include "pinpad/tlv.h"
#include "support/log.h"
#include "support/rangefile.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

// Block indexes travel as two bytes, so a transfer has at most this many blocks.
static const uint32_t PP_FILE_MAX_BLOCKS = 0x10000u;
// Files fetched from the pad are readable by the owner only.
static const mode_t PP_FILE_MODE = 0600;

static const char* const m_szPPKeyNames[] = {"ROOT", "MK", "WK", "MAC", "TK", "GK", "DTDES", "RDTDES"};

// One plain exchange with the request in g_ucInBuf and the reply into g_ucOutBuf.
static int aux_PPFile_Run(uint8_t cls, uint8_t code, int32_t len) {
    g_iInBufLen = len;
    g_iOutBufLen = 0;
    return PPadProto_Exchange(cls, code, len > 0 ? g_ucInBuf : nullptr, len, g_ucOutBuf, &g_iOutBufLen, 0, 0, 1,
                              PP_OUTBUF_SIZE);
}

static void aux_PPFile_PutLE(uint8_t* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

static uint32_t aux_PPFile_GetLE(const uint8_t* in, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[i];
    return v;
}

// The pad knows files by base name; more than 7 characters (or none) cannot be named.
static int aux_PPFile_BaseName(const char* name, char* out) {
    out[0] = '\0';
    if (name == nullptr) return RES_PP_PORT_OPEN;
    const char* slash = strrchr(name, '/');
    const char* base = slash != nullptr ? slash + 1 : name;
    size_t n = strlen(base);
    if (n == 0 || n > PP_FILE_NAME_MAX) return RES_PP_PORT_OPEN;
    memcpy(out, base, n + 1);
    return RES_OK;
}

static void aux_PPFile_OpenRequest() { TLV_OpenStorage(&g_tlv, 0, PP_INBUF_SIZE, g_ucInBuf); }

// Makes the reply searchable; false for an empty reply.
static bool aux_PPFile_OpenReply() {
    if (g_iOutBufLen <= 0) return false;
    return TLV_OpenStorage(&g_tlv, static_cast<uint32_t>(g_iOutBufLen), static_cast<uint32_t>(g_iOutBufLen),
                           g_ucOutBuf) == 0;
}

// A number of the reply; only an object of exactly the number's width counts.
static bool aux_PPFile_ReplyNumber(uint32_t tag, int bytes, uint32_t* value) {
    if (TLV_GetObject(&g_tlv, tag) != 0 || TLV_GetObjectTagLength(&g_tlv) != static_cast<uint32_t>(bytes))
        return false;
    *value = aux_PPFile_GetLE(g_tlv.pucBuffer + TLV_GetObjectTagOffset(&g_tlv), bytes);
    return true;
}

static void aux_PPFile_AddNumber(uint32_t tag, uint32_t value, int bytes) {
    uint8_t le[4];
    aux_PPFile_PutLE(le, value, bytes);
    TLV_AddObject(&g_tlv, tag, static_cast<uint32_t>(bytes), le);
}

// Reads up to count bytes of path from offset (a read-only file will do);
// the count read, or a negative file error code.
static int32_t aux_PPFile_ReadAt(const char* path, int32_t offset, uint8_t* out, uint32_t count) {
    if (path == nullptr || path[0] == '\0') return -Error_LogDetail(path, "aux_PPFile_ReadAt", RES_FILE_EMPTY_PATH);
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return -Error_LogDetail(path, "aux_PPFile_ReadAt", RES_FILE_OPEN);
    if (fseek(f, offset, SEEK_SET) != 0) {
        fclose(f);
        return -Error_LogDetail(path, "aux_PPFile_ReadAt", RES_FILE_SEEK);
    }
    size_t got = fread(out, 1, count, f);
    fclose(f);
    return static_cast<int32_t>(got);
}

const char* GetPPKeyName(uint8_t type) {
    return type < sizeof(m_szPPKeyNames) / sizeof(m_szPPKeyNames[0]) ? m_szPPKeyNames[type] : "Unknown";
}

int FileCheck(const char* name, uint32_t* crc, uint32_t* length, uint8_t quiet) {
    char base[PP_FILE_NAME_MAX + 1];
    uint32_t sentCrc = crc != nullptr ? *crc : 0;
    uint32_t padCrc = 0;
    uint32_t padLen = 0;
    int rc = aux_PPFile_BaseName(name, base);
    if (rc == RES_OK) {
        aux_PPFile_OpenRequest();
        TLV_AddObject(&g_tlv, PP_TAG_FILE_NAME, static_cast<uint32_t>(strlen(base)), base);
        aux_PPFile_AddNumber(PP_TAG_FILE_CRC, sentCrc, 4);
        rc = aux_PPFile_Run(PPC_FILE, PPC_FILE_CHECK, static_cast<int32_t>(TLV_GetSize(&g_tlv)));
        // An empty reply is a file the pad does not have. A reply that names
        // no length or CRC (or one of the wrong width) never echoes the CRC
        // sent, so that a transfer cannot be skipped on the pad's silence.
        if (rc == RES_OK && aux_PPFile_OpenReply()) {
            aux_PPFile_ReplyNumber(PP_TAG_FILE_LENGTH, 4, &padLen);
            aux_PPFile_ReplyNumber(PP_TAG_FILE_CRC, 4, &padCrc);
            if (padLen == 0 || padCrc == 0) rc = 1;
        }
    }
    if (crc != nullptr) *crc = padCrc;
    if (length != nullptr) *length = padLen;
    if (!quiet) {
        if (rc != RES_OK)
            LogStringEx(LOG_WARNING, "WARNING. FileCheck error=(%ld), FileLen=[0x%08lX], FileCRC=[0x%08lX].",
                        static_cast<long>(rc), static_cast<unsigned long>(padLen), static_cast<unsigned long>(padCrc));
        else
            LogString("INFO. FileCheck. File [%s], size [%lu], CRC32 [0x%08lX].", base,
                      static_cast<unsigned long>(padLen), static_cast<unsigned long>(padCrc));
    }
    return rc;
}

int FileStart(const char* name, uint16_t* blockSize, uint8_t direction) {
    char base[PP_FILE_NAME_MAX + 1];
    uint32_t size = 0;
    int rc = aux_PPFile_BaseName(name, base);
    if (rc == RES_OK) {
        aux_PPFile_OpenRequest();
        TLV_AddObject(&g_tlv, PP_TAG_FILE_NAME, static_cast<uint32_t>(strlen(base)), base);
        aux_PPFile_AddNumber(PP_TAG_BLOCK_SIZE, PP_FILE_BLOCK_MAX, 2);
        uint8_t code = direction == PP_FILE_DIR_READ ? PPC_FILE_START_READ : PPC_FILE_START_WRITE;
        rc = aux_PPFile_Run(PPC_FILE, code, static_cast<int32_t>(TLV_GetSize(&g_tlv)));
        if (rc == RES_OK && aux_PPFile_OpenReply() && aux_PPFile_ReplyNumber(PP_TAG_BLOCK_SIZE, 2, &size) &&
            (size < 1 || size > PP_FILE_BLOCK_MAX))
            size = 0;
    }
    if (rc != RES_OK || size == 0) {
        LogString("ERROR. FileStart error: (0x%08lX) [usPPBufSize = (%u), FileName = (%s)].",
                  static_cast<unsigned long>(rc), static_cast<unsigned>(size), name != nullptr ? name : "");
        return rc != RES_OK ? rc : RES_PP_PORT_OPEN;
    }
    if (blockSize != nullptr) *blockSize = static_cast<uint16_t>(size);
    return RES_OK;
}

int FileWriteBlock(const char* path, int32_t* offset, uint16_t count, uint16_t blockIndex, const uint8_t* source) {
    if (count > PP_FILE_BLOCK_MAX) return RES_PP_PORT_OPEN;
    uint8_t block[PP_FILE_BLOCK_MAX];
    const uint8_t* data = source != nullptr ? source + *offset : block;
    if (source == nullptr) {
        int32_t got = aux_PPFile_ReadAt(path, *offset, block, count);
        if (got < 0) return -got;
        if (got != count) {
            // The file shrank since its length and CRC were taken.
            LogString("ERROR. FileWriteBlock. Read [%d] of [%u] bytes at [%ld] from [%s].", got, count,
                      static_cast<long>(*offset), path);
            return RES_PP_PORT_OPEN;
        }
    }
    aux_PPFile_OpenRequest();
    aux_PPFile_AddNumber(PP_TAG_BLOCK_INDEX, blockIndex, 2);
    TLV_AddObject(&g_tlv, PP_TAG_BLOCK_DATA, count, data);
    int rc = aux_PPFile_Run(PPC_FILE, PPC_FILE_WRITE_BLOCK, static_cast<int32_t>(TLV_GetSize(&g_tlv)));
    if (rc == RES_OK) *offset += count;
    return rc;
}

// One block of a read. *received counts the bytes taken so far: into a
// buffer every block but the last must be whole, so that block n lands at
// n * blockSize and nothing lands beyond totalLength.
// Stores a block of a file read from the pad: into the file being written aside, or into an open stream.
static bool aux_PPFile_Store(FILE* file, SUtilFileAside* aside, const uint8_t* data, uint32_t len) {
    if (aside != nullptr) return UtilFile_AsideWrite(aside, data, static_cast<int32_t>(len)) == RES_OK;
    return file != nullptr && fwrite(data, 1, len, file) == len;
}

static int aux_PPFile_ReadBlock(FILE* file, SUtilFileAside* aside, uint32_t totalLength, uint16_t blockIndex,
                                uint32_t* crc, uint16_t blockSize, uint8_t* end, uint8_t* out, uint32_t* received) {
    *end = 0;
    aux_PPFile_OpenRequest();
    aux_PPFile_AddNumber(PP_TAG_BLOCK_INDEX, blockIndex, 2);
    aux_PPFile_AddNumber(PP_TAG_READ_SIZE, blockSize, 2);
    int rc = aux_PPFile_Run(PPC_FILE, PPC_FILE_READ_BLOCK, static_cast<int32_t>(TLV_GetSize(&g_tlv)));
    if (rc != RES_OK) {
        LogStringEx(LOG_DEBUG, "DEBUG. FileReadBlock error [%ld] [usBlockIndex=(%u), usBufMax=(%u)].",
                    static_cast<long>(rc), blockIndex, blockSize);
        return rc;
    }
    if (!aux_PPFile_OpenReply() || TLV_GetObject(&g_tlv, PP_TAG_BLOCK_DATA) != 0) {
        LogString("ERROR. FileReadBlock error : No data.");
        return RES_PP_PORT_OPEN;
    }
    uint32_t len = TLV_GetObjectTagLength(&g_tlv);
    const uint8_t* data = g_tlv.pucBuffer + TLV_GetObjectTagOffset(&g_tlv);
    uint64_t pos = static_cast<uint64_t>(blockIndex) * blockSize;
    if (len > blockSize || (out != nullptr && pos != *received) || uint64_t(*received) + len > totalLength) {
        LogString("ERROR. FileReadBlock error : Block [%u] of [%lu] bytes does not fit the file of [%lu] bytes.",
                  blockIndex, static_cast<unsigned long>(len), static_cast<unsigned long>(totalLength));
        return RES_PP_PORT_OPEN;
    }
    uint8_t endMark = TLV_GetObject(&g_tlv, PP_TAG_END_OF_FILE) == 0 ? 1 : 0;
    *crc = CRC_CalcCRC32(data, len, *crc);
    if (out != nullptr) {
        memcpy(out + pos, data, len);
    } else if (len > 0 && !aux_PPFile_Store(file, aside, data, len)) {
        LogString("ERROR. FileReadBlock error : Cannot write outfile, error = (%d).", errno);
        return RES_PP_PORT_OPEN;
    }
    *received += len;
    if (uint64_t(totalLength) <= static_cast<uint64_t>(blockSize) * (blockIndex + 1u) && !endMark) {
        LogString("ERROR. FileReadBlock error : No end of file.");
        return RES_PP_PORT_OPEN;
    }
    *end = endMark;
    return RES_OK;
}

int FileReadBlock(FILE* file, uint32_t totalLength, uint16_t blockIndex, uint32_t* crc, uint16_t blockSize,
                  uint8_t* end, uint8_t* out) {
    uint32_t received = static_cast<uint32_t>(blockIndex) * blockSize;
    return aux_PPFile_ReadBlock(file, nullptr, totalLength, blockIndex, crc, blockSize, end, out, &received);
}

int PPLayer_FileWrite(const char* path, const char* padName, const uint8_t* buffer, int32_t length) {
    const bool fromBuffer = buffer != nullptr && length != 0;
    const char* name = padName != nullptr ? padName : path;
    uint32_t crc = 0;
    int32_t fileLen = 0;
    int rc;
    if (fromBuffer) {
        if (padName == nullptr || length < 0) {
            LogString("ERROR. PPLayer_FileWrite. No file name for a buffer of [%ld] bytes.", static_cast<long>(length));
            return RES_PP_PORT_OPEN;
        }
        fileLen = length;
        crc = CRC_CalcCRC32(buffer, static_cast<uint32_t>(length), 0);
    } else {
        if ((rc = UtilFile_GetLength(path, &fileLen)) != RES_OK) return rc;
        if ((rc = CRC_GetFileCRC(path, &crc)) != RES_OK) return rc;
    }

    uint32_t padCrc = crc;
    uint32_t padLen = 0;
    if (FileCheck(name, &padCrc, &padLen, 1) == RES_OK && padCrc == crc) return RES_OK;

    uint16_t blockSize = 0;
    if ((rc = FileStart(name, &blockSize, PP_FILE_DIR_WRITE)) != RES_OK) return rc;
    if ((static_cast<uint32_t>(fileLen) + blockSize - 1u) / blockSize > PP_FILE_MAX_BLOCKS) {
        LogString("ERROR. PPLayer_FileWrite. [%ld] bytes do not fit blocks of [%u].", static_cast<long>(fileLen),
                  blockSize);
        return RES_PP_PORT_OPEN;
    }
    int32_t offset = 0;
    for (uint32_t index = 0; offset < fileLen; ++index) {
        int32_t left = fileLen - offset;
        uint16_t count = left < blockSize ? static_cast<uint16_t>(left) : blockSize;
        rc = FileWriteBlock(path, &offset, count, static_cast<uint16_t>(index), fromBuffer ? buffer : nullptr);
        if (rc != RES_OK) {
            LogStringEx(LOG_DEBUG, "DEBUG. FileWriteBlock error (%ld).", static_cast<long>(rc));
            return rc;
        }
    }

    padCrc = crc;
    rc = FileCheck(name, &padCrc, &padLen, 0);
    if (rc == RES_OK && padCrc == crc && padLen == static_cast<uint32_t>(fileLen)) {
        LogString("INFO. File (%s) successfully updated on PinPad.", name);
        return RES_OK;
    }
    LogString("ERROR. PPLayer_FileWrite. File (%s): CRC [0x%08lX], size [%ld] sent, PinPad has [0x%08lX], [%lu].", name,
              static_cast<unsigned long>(crc), static_cast<long>(fileLen), static_cast<unsigned long>(padCrc),
              static_cast<unsigned long>(padLen));
    return RES_KWRM_FILE_CRC;
}

int PPLayer_FileRead(const char* path, const char* padName, uint8_t* buffer, uint32_t* size) {
    const char* name = padName != nullptr ? padName : path;
    uint32_t padCrc = 0;
    uint32_t padLen = 0;
    int rc = FileCheck(name, &padCrc, &padLen, 0);
    if (rc != RES_OK) return rc;
    // The pad has no such file: reading it would produce an empty "copy".
    if (padLen == 0) {
        LogString("ERROR. PPLayer_FileRead. No file (%s) on PinPad.", name);
        return RES_PP_PORT_OPEN;
    }
    if (buffer != nullptr && (size == nullptr || *size < padLen)) {
        LogString("ERROR. PPLayer_FileRead. File (%s) of [%lu] bytes exceeds the buffer of [%lu].", name,
                  static_cast<unsigned long>(padLen), static_cast<unsigned long>(size != nullptr ? *size : 0));
        return RES_PP_REPLY_TOO_LONG;
    }
    if (size != nullptr && *size >= padLen) *size = padLen;

    uint16_t blockSize = 0;
    if ((rc = FileStart(name, &blockSize, PP_FILE_DIR_READ)) != RES_OK) return rc;
    if ((uint64_t(padLen) + blockSize - 1u) / blockSize > PP_FILE_MAX_BLOCKS) {
        LogString("ERROR. PPLayer_FileRead. [%lu] bytes do not fit blocks of [%u].",
                  static_cast<unsigned long>(padLen), blockSize);
        return RES_PP_PORT_OPEN;
    }

    // The file arrives beside its old copy and replaces it only when whole and
    // of the pad's CRC: a broken transfer leaves the old copy as it was.
    SUtilFileAside aside;
    SUtilFileAside* into = nullptr;
    if (buffer == nullptr) {
        // The pad's files include the terminal's private key: owner only, even
        // over a leftover temporary file made wider.
        const std::string temp = path != nullptr ? std::string(path) + ".tmp" : std::string();
        if (path == nullptr ||
            UtilFile_AsideOpen(&aside, path, temp.c_str(), PP_FILE_MODE, UTILFILE_ASIDE_EXACT_MODE) != RES_OK) {
            LogString("ERROR. PPLayer_FileRead from file: %s [%d]", path != nullptr ? path : "", errno);
            return RES_PP_FILE_CREATE;
        }
        into = &aside;
    }

    uint32_t crc = 0;
    uint32_t received = 0;
    uint8_t end = 0;
    for (uint32_t index = 0; !end; ++index) {
        rc = aux_PPFile_ReadBlock(nullptr, into, padLen, static_cast<uint16_t>(index), &crc, blockSize, &end, buffer,
                                  &received);
        if (rc != RES_OK) {
            LogString("ERROR. FileReadBlock. lResult=(%ld).", static_cast<long>(rc));
            break;
        }
    }
    if (into != nullptr && UtilFile_AsideClose(into, 1) != RES_OK && rc == RES_OK) {
        LogString("ERROR. FileReadBlock error : Cannot write outfile, error = (%d).", errno);
        rc = RES_PP_PORT_OPEN;
    }
    if (rc == RES_OK && (crc != padCrc || received != padLen)) {
        LogString("ERROR. PPLayer_FileRead. File (%s): CRC [0x%08lX], size [%lu] read, PinPad has [0x%08lX], [%lu].",
                  name, static_cast<unsigned long>(crc), static_cast<unsigned long>(received),
                  static_cast<unsigned long>(padCrc), static_cast<unsigned long>(padLen));
        rc = RES_KWRM_FILE_CRC;
    }
    if (into != nullptr) {
        if (rc != RES_OK) UtilFile_AsideDrop(into);
        else if (UtilFile_AsideCommit(into) != RES_OK) rc = Error_LogDetail(path, "PPLayer_FileRead", RES_FILE_WRITE);
    }
    return rc;
}

int KeyCheck(uint8_t type, uint8_t index, uint32_t* kcv, uint8_t quiet) {
    g_ucInBuf[0] = type;
    g_ucInBuf[1] = index;
    int rc = aux_PPFile_Run(PPC_KEY, PPC_KEY_CHECK, 2);
    if (rc == RES_OK && g_iOutBufLen == PP_KCV_SIZE) {
        uint32_t v = (uint32_t(g_ucOutBuf[0]) << 16) | (uint32_t(g_ucOutBuf[1]) << 8) | g_ucOutBuf[2];
        if (kcv != nullptr) *kcv = v;
        if (type == PP_KEY_TK && index == PP_TK_INDEX) aux_PadProfile_Edit()->ulTKKcv = v;
        LogStringEx(LOG_DEBUG, "DEBUG. KeyCheck. %s[%d] KCV (0x%06lX).", GetPPKeyName(type), index,
                    static_cast<unsigned long>(v));
        return RES_OK;
    }
    if (kcv != nullptr) *kcv = 0;
    if (type == PP_KEY_TK && index == PP_TK_INDEX) aux_PadProfile_Edit()->ulTKKcv = 0;
    if (!quiet)
        LogString("ERROR. KeyCheck %s[%d] error (%lu), OutLen=(%d).", GetPPKeyName(type), index,
                  static_cast<unsigned long>(rc), g_iOutBufLen);
    return RES_PP_KEY_CHECK;
}

int KeyLoad(uint8_t mkIndex, uint8_t type, uint8_t index, const uint8_t* key, uint32_t* kcv) {
    if (kcv != nullptr) *kcv = 0;
    int rc = RES_KEY_REFUSED;
    if (key != nullptr) {
        g_ucInBuf[0] = mkIndex;
        g_ucInBuf[1] = type;
        g_ucInBuf[2] = index;
        memcpy(g_ucInBuf + 3, key, PP_KEY_SIZE);
        rc = aux_PPFile_Run(PPC_KEY, PPC_KEY_LOAD, 3 + PP_KEY_SIZE);
        // Key material does not outlive the request.
        memset(g_ucInBuf, 0, 3 + PP_KEY_SIZE);
    }
    if (rc == RES_OK && g_iOutBufLen == PP_KCV_SIZE) {
        uint32_t v = (uint32_t(g_ucOutBuf[0]) << 16) | (uint32_t(g_ucOutBuf[1]) << 8) | g_ucOutBuf[2];
        if (kcv != nullptr) *kcv = v;
        LogString("INFO. KeyLoad. %s[%d] (MKIdx %d) loaded. KCV (0x%06lX).", GetPPKeyName(type), index, mkIndex,
                  static_cast<unsigned long>(v));
        return RES_OK;
    }
    LogString("ERROR. KeyLoad %s[%d] (MKIdx %d) error (%lu), OutLen=(%d).", GetPPKeyName(type), index, mkIndex,
              static_cast<unsigned long>(rc), g_iOutBufLen);
    return RES_KEY_REFUSED;
}

int TKLoad(uint8_t length, const uint8_t* key, uint32_t* kcv, uint8_t enciphered) {
    if (kcv != nullptr) *kcv = 0;
    if ((length != 16 && length != 24) || key == nullptr) {
        LogString("ERROR. TKLoad. Bad key length (%u).", length);
        return RES_KWRM_TK_CHANGE;
    }
    g_ucInBuf[0] = length;
    memcpy(g_ucInBuf + 1, key, length);
    int rc = aux_PPFile_Run(PPC_KEY, enciphered ? PPC_KEY_TKLOADENC : PPC_KEY_TKLOAD, 1 + length);
    memset(g_ucInBuf, 0, 1u + length);
    if (rc == RES_OK && g_iOutBufLen == PP_KCV_SIZE) {
        uint32_t v = (uint32_t(g_ucOutBuf[0]) << 16) | (uint32_t(g_ucOutBuf[1]) << 8) | g_ucOutBuf[2];
        if (kcv != nullptr) *kcv = v;
        aux_PadProfile_Edit()->ulTKKcv = v;
        LogString("TKLoad : New TK successfully loaded, KCV [0x%06lX].", static_cast<unsigned long>(v));
        return RES_OK;
    }
    LogString("ERROR. TKLoad error: (0x%08lX) [g_iOutBufLen: (%d)].", static_cast<unsigned long>(rc), g_iOutBufLen);
    return rc != RES_OK ? rc : RES_KWRM_TK_CHANGE;
}

int TKLoadEncrypted(uint8_t length, const uint8_t* key, uint32_t* kcv) { return TKLoad(length, key, kcv, 1); }

int RsaCheckAll() {
    uint32_t length = 0;
    SPadProfile* profile = aux_PadProfile_Edit();
    profile->ulSSLACrc = 0;
    profile->ulSSLCCrc = 0;
    profile->ulSSLKCrc = 0;
    FileCheck(PP_FILE_SSL_CA, &profile->ulSSLACrc, &length, 0);
    FileCheck(PP_FILE_SSL_CERT, &profile->ulSSLCCrc, &length, 0);
    FileCheck(PP_FILE_SSL_KEY, &profile->ulSSLKCrc, &length, 0);
    return profile->ulSSLACrc != 0 && profile->ulSSLCCrc != 0 && profile->ulSSLKCrc != 0 ? 0 : 1;
}

// Parses a TLS file into a throw-away object: the check made when the caller
// hands no holder.
static int aux_PPFile_CheckSSLFile(int which, const char* path) {
    int rc;
    if (which == 2) {
        mbedtls_pk_context key;
        mbedtls_pk_init(&key);
        rc = mbedtls_pk_parse_keyfile(&key, path, "");
        mbedtls_pk_free(&key);
    } else {
        mbedtls_x509_crt chain;
        mbedtls_x509_crt_init(&chain);
        rc = mbedtls_x509_crt_parse_file(&chain, path);
        mbedtls_x509_crt_free(&chain);
    }
    return rc;
}

int PPlayer_UpdateAndParseSSLFile(const char* name, uint32_t expectedCrc, const S_PP_SSL_PARSERS* parsers) {
    static const char* const names[] = {PP_FILE_SSL_CA, PP_FILE_SSL_CERT, PP_FILE_SSL_KEY};
    int which = -1;
    for (int i = 0; i < 3 && name != nullptr; ++i)
        if (strcmp(name, names[i]) == 0) which = i;
    // An unknown name is refused before anything is fetched into DATA.
    if (which < 0) {
        LogString("ERROR. Kernel_Initialize. Unknown TLS file [%s].", name != nullptr ? name : "");
        return RES_TLS_PAD_FILE;
    }
    char path[64];
    UtilFile_CreateFilePath(path, "DATA", name);
    uint32_t localCrc = 0;
    if (UtilFile_IsExists(path)) CRC_GetFileCRC(path, &localCrc);
    // A copy kept from before, readable by others, is narrowed like a fresh
    // one; one that cannot be narrowed is reported, not left to stop payments.
    struct stat st;
    if (stat(path, &st) == 0 && (st.st_mode & 077) != 0 && chmod(path, PP_FILE_MODE) != 0) {
        LogString("ERROR. Kernel_Initialize. chmod [%s]: %d", path, errno);
    }
    if (localCrc == 0 || localCrc != expectedCrc) {
        int rc = PPLayer_FileRead(path, name, nullptr, nullptr);
        if (rc != RES_OK) {
            LogString("ERROR. Kernel_Initialize. Failed read file [%d] from PP [%d].", which, rc);
            return RES_TLS_CERT_FILES;
        }
    }
    LogString("INFO. Kernel_Initialize. Parsing [%s]...", path);
    int (*parse)(const char*) = nullptr;
    if (parsers != nullptr)
        parse = which == 0 ? parsers->pfnParseCA : which == 1 ? parsers->pfnParseClientCert : parsers->pfnParseClientKey;
    int rc = parse != nullptr ? parse(path) : aux_PPFile_CheckSSLFile(which, path);
    if (rc != 0) {
        LogString("ERROR. Kernel_Initialize. Parsing error -0x%x", static_cast<unsigned>(rc < 0 ? -rc : rc));
        return rc;
    }
    return RES_OK;
}

int PPlayer_CheckPA(uint32_t* rangeCrc, uint32_t* tkKcv) {
    static const char kRanges[] = "DATA/RANGE.CFG";
    static const char kWaiting[] = "DATA/Btbl";
    SPadProfile* profile = aux_PadProfile_Edit();
    if (rangeCrc != nullptr) *rangeCrc = 0;
    if (tkKcv != nullptr) *tkKcv = 0;
    profile->ulRangesCrc = 0;
    profile->ulTKKcv = 0;
    // A table delivered as "Btbl" takes the place of the old one (the rename
    // replaces it in one step, so no moment is left without a table); one
    // that does not read as a table stays aside and the old one in force.
    if (UtilFile_IsExists(kWaiting) && RangeFile_Check(kWaiting, nullptr, 0) == RES_OK) {
        int rc = UtilFile_Rename(kWaiting, kRanges);
        LogString("INFO. PPlayer_CheckPA. Renaming Ranges: [%d].", rc);
    }
    uint32_t localCrc = 0;
    int rc = CRC_GetFileCRC(kRanges, &localCrc);
    if (rc != RES_OK || localCrc == 0) {
        LogString("ERROR. PPlayer_CheckPA. No card ranges [%s] [%d].", kRanges, rc);
        return RES_PP_NO_TK_RANGES;
    }
    // A table that does not read as the kernel and the pad use it never reaches the pad.
    if (RangeFile_Check(kRanges, nullptr, 0) != RES_OK) return RES_NO_RANGES;
    uint32_t padCrc = localCrc;
    uint32_t padLen = 0;
    if (FileCheck(PP_FILE_RANGES, &padCrc, &padLen, 0) != RES_OK || padCrc != localCrc) {
        rc = PPLayer_FileWrite(kRanges, PP_FILE_RANGES, nullptr, 0);
        if (rc != RES_OK) {
            LogString("ERROR. PPlayer_CheckPA. Card ranges not written to PinPad [%d].", rc);
            return RES_PP_NO_TK_RANGES;
        }
        padCrc = localCrc;
    }
    if (rangeCrc != nullptr) *rangeCrc = padCrc;
    profile->ulRangesCrc = padCrc;
    uint32_t kcv = 0;  // the check keeps it in the profile
    if (KeyCheck(PP_KEY_TK, PP_TK_INDEX, &kcv, 0) != RES_OK || kcv == 0) {
        LogString("ERROR. PPlayer_CheckPA. No transport key, KCV (0x%06lX).", static_cast<unsigned long>(kcv));
        return RES_PP_NO_TK_RANGES;
    }
    if (tkKcv != nullptr) *tkKcv = kcv;
    return RES_OK;
}

int UpdateAppStart(uint32_t length) {
    aux_PPFile_PutLE(g_ucInBuf, length, 4);
    return aux_PPFile_Run(PPC_APP, PPC_APP_START, 4);
}

int UpdateAppWriteBlock(const char* path, int32_t* offset, uint32_t* crc) {
    int32_t got = aux_PPFile_ReadAt(path, *offset, g_ucInBuf + 2, PP_APP_BLOCK_MAX);
    if (got < 0) return -got;
    if (got == 0) {
        LogString("ERROR. UpdateAppWriteBlock. Nothing to read at [%ld] of [%s].", static_cast<long>(*offset), path);
        return RES_PP_PORT_OPEN;
    }
    aux_PPFile_PutLE(g_ucInBuf, static_cast<uint32_t>(got), 2);
    int rc = aux_PPFile_Run(PPC_APP, PPC_APP_WRITE, 2 + got);
    if (rc == RES_OK) {
        *crc = CRC_CalcCRC32(g_ucInBuf + 2, static_cast<uint32_t>(got), *crc);
        *offset += got;
    }
    return rc;
}

int UpdateAppFinish(uint32_t crc) {
    aux_PPFile_PutLE(g_ucInBuf, crc, 4);
    return aux_PPFile_Run(PPC_APP, PPC_APP_FINISH, 4);
}

int PPLayer_AppUpdate(const char* path) {
    int32_t length = 0;
    int rc = UtilFile_GetLength(path, &length);
    if (rc != RES_OK) return rc;
    if ((rc = UpdateAppStart(static_cast<uint32_t>(length))) != RES_OK) return rc;
    int32_t offset = 0;
    uint32_t crc = 0;
    while (offset < length) {
        rc = UpdateAppWriteBlock(path, &offset, &crc);
        if (rc != RES_OK) {
            LogStringEx(LOG_DEBUG, "DEBUG. UpdateAppWriteBlock error (%ld).", static_cast<long>(rc));
            return rc;
        }
    }
    return UpdateAppFinish(crc);
}

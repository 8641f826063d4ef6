// support/rangefile.cpp
#include "support/rangefile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/log.h"
#include "support/result_codes.h"

static int aux_RangeFile_Refuse(char* reason, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
static int aux_RangeFile_Refuse(char* reason, size_t size, const char* format, ...) {
    if (reason != nullptr && size > 0) {
        va_list args;
        va_start(args, format);
        vsnprintf(reason, size, format, args);
        va_end(args);
    }
    return RES_NO_RANGES;
}

// Length of a zero-ended text inside its field; -1 when the field holds no zero.
static int aux_RangeFile_TextLength(const char* field, size_t width) {
    const void* end = memchr(field, '\0', width);
    return end == nullptr ? -1 : static_cast<int>(static_cast<const char*>(end) - field);
}

int RangeFile_CheckBuffer(const uint8_t* data, size_t size, char* reason, size_t reasonSize) {
    if (reason != nullptr && reasonSize > 0) reason[0] = '\0';
    if (size == 0) return aux_RangeFile_Refuse(reason, reasonSize, "empty");
    if (size > RANGES_MAX_FILE_SIZE)
        return aux_RangeFile_Refuse(reason, reasonSize, "%lu bytes, more than the %d the PIN pad takes",
                                    static_cast<unsigned long>(size), RANGES_MAX_FILE_SIZE);
    if (size % RANGES_ENTRY_SIZE != 0)
        return aux_RangeFile_Refuse(reason, reasonSize, "%lu bytes, not whole entries of %d",
                                    static_cast<unsigned long>(size), RANGES_ENTRY_SIZE);
    const size_t count = size / RANGES_ENTRY_SIZE;
    for (size_t i = 0; i < count; ++i) {
        SRangeEntry e;
        memcpy(&e, data + i * RANGES_ENTRY_SIZE, sizeof(e));
        const unsigned long number = static_cast<unsigned long>(i + 1);
        // An empty prefix would match every card: a zero-filled entry (a torn
        // write) must not pass for a catch-all; "*" says so on purpose.
        const int prefix = aux_RangeFile_TextLength(e.szPrefix, sizeof(e.szPrefix));
        if (prefix < 0) return aux_RangeFile_Refuse(reason, reasonSize, "entry %lu: prefix not ended", number);
        if (prefix == 0) return aux_RangeFile_Refuse(reason, reasonSize, "entry %lu: empty prefix", number);
        if (!(prefix == 1 && e.szPrefix[0] == '*')) {
            for (int k = 0; k < prefix; ++k)
                if (e.szPrefix[k] < '0' || e.szPrefix[k] > '9')
                    return aux_RangeFile_Refuse(reason, reasonSize, "entry %lu: prefix not digits or \"*\"", number);
        }
        const int name = aux_RangeFile_TextLength(e.szPaySysName, sizeof(e.szPaySysName));
        if (name < 0) return aux_RangeFile_Refuse(reason, reasonSize, "entry %lu: name not ended", number);
        if (name == 0) return aux_RangeFile_Refuse(reason, reasonSize, "entry %lu: empty name", number);
        for (int k = 0; k < name; ++k) {
            const unsigned char ch = static_cast<unsigned char>(e.szPaySysName[k]);
            if (ch < 0x20 || ch == 0x7F)
                return aux_RangeFile_Refuse(reason, reasonSize, "entry %lu: control character in the name", number);
        }
    }
    return RES_OK;
}

int RangeFile_Check(const char* path, char* reason, size_t reasonSize) {
    char own[RANGES_REASON_SIZE];
    if (reason == nullptr || reasonSize == 0) {
        reason = own;
        reasonSize = sizeof(own);
    }
    int rc = RES_OK;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        rc = aux_RangeFile_Refuse(reason, reasonSize, "not opened [%d]", errno);
    } else {
        // One byte beyond the limit tells a table that is too long.
        std::vector<uint8_t> data(RANGES_MAX_FILE_SIZE + 1);
        size_t n = fread(data.data(), 1, data.size(), file);
        bool failed = ferror(file) != 0;
        fclose(file);
        rc = failed ? aux_RangeFile_Refuse(reason, reasonSize, "not read")
                    : RangeFile_CheckBuffer(data.data(), n, reason, reasonSize);
    }
    if (rc != RES_OK) LogString("ERROR. RangeFile_Check. Card ranges [%s] refused: %s.", path, reason);
    return rc;
}

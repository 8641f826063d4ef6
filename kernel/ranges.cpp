// kernel/ranges.cpp
#include "kernel/ranges.h"

#include <cstdio>
#include <cstring>

#include "support/result_codes.h"
#include "support/utilfile.h"

static SRangeEntry m_Range;
static int m_iRangeIndex = -1;

uint16_t Ranges_GetCount() {
    if (!UtilFile_IsExists(RANGES_FILE)) return 0;
    int32_t length = 0;
    if (UtilFile_GetLength(RANGES_FILE, &length) != RES_OK || length < 0) return 0;
    return static_cast<uint16_t>(length / RANGES_ENTRY_SIZE);
}

void Ranges_Reset() { m_iRangeIndex = -1; }

int Ranges_GetIndex() { return m_iRangeIndex; }

// True when the entry in m_Range applies to every card or to pan's prefix.
static bool aux_Ranges_Matches(const char* pan) {
    // The prefix never reaches past its own field, terminated or not.
    size_t n = strnlen(m_Range.szPrefix, sizeof(m_Range.szPrefix));
    if (n == 1 && m_Range.szPrefix[0] == '*') return true;
    return strncmp(m_Range.szPrefix, pan, n) == 0;
}

int Ranges_SetRange(const char* pan, uint16_t rangeNo) {
    m_iRangeIndex = static_cast<int>(rangeNo) - 1;
    uint16_t count = Ranges_GetCount();
    memset(&m_Range, 0, sizeof(m_Range));
    if (pan == nullptr) pan = "";

    FILE* file = fopen(RANGES_FILE, "rb");
    if (file == nullptr) return -1;
    // From the end: a later entry that matches the card wins over the
    // reported one; entries before the reported one are never looked at.
    for (int i = static_cast<int>(count) - 1; i >= 0; --i) {
        if (fseek(file, static_cast<long>(i) * RANGES_ENTRY_SIZE, SEEK_SET) != 0 ||
            fread(&m_Range, 1, sizeof(m_Range), file) != sizeof(m_Range)) {
            memset(&m_Range, 0, sizeof(m_Range));
            break;
        }
        m_Range.szPaySysName[sizeof(m_Range.szPaySysName) - 1] = '\0';
        if (i == static_cast<int>(rangeNo) - 1 || aux_Ranges_Matches(pan)) {
            fclose(file);
            m_iRangeIndex = i;
            return 0;
        }
    }
    fclose(file);
    return -1;
}

const char* Ranges_GetPaySysName() { return m_iRangeIndex < 0 ? "" : m_Range.szPaySysName; }

int Ranges_IsPinEnable() { return m_iRangeIndex >= 0 && m_Range.ucPinFlag != 0; }

int Ranges_IsReturnEnable() { return m_iRangeIndex >= 0 && m_Range.ucReturnFlag != 0; }

int Ranges_IsBalanceEnable() { return m_iRangeIndex >= 0 && m_Range.ucBalanceFlag != 0; }

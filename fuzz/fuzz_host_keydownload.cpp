// fuzz/fuzz_host_keydownload.cpp
// The host's key-download answer, then its key data taken apart element by
// element as the key exchange does before loading keys into the pad.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "host/keyexchange_internal.h"
#include "host/tmmsgbuilder.h"
#include "support/result_codes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterHostWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    char keyData[TMMSG_KEY_DATA_SIZE];
    char authCode[7];
    uint16_t actionCode = 0;
    memset(keyData, 0, sizeof(keyData));
    TMMsgBuilder_ParseKeyDownloadRs(data, count, keyData, &actionCode, authCode, nullptr);
    // The elements of the key data, as the exchange walks them.
    const char* at = keyData;
    for (int guard = 0; *at != '\0' && guard < TMMSG_KEY_DATA_SIZE; ++guard) {
        uint16_t hexLen = 32;
        uint8_t type = 0;
        uint8_t key[16];
        int rc = aux_ParseKey(at, &hexLen, &type, key);
        if (rc != 0 && rc != RES_KEY_SKIPPED) break;
        size_t step = 7u + hexLen;  // tag (4), length (3), value
        if (step > strlen(at)) break;
        at += step;
    }
    return 0;
}

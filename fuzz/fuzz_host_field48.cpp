// fuzz/fuzz_host_field48.cpp
// Field 48 of a key-download answer and the key data inside it.
#include "fuzz/fuzz_util.h"
#include "host/tmmsgbuilder.h"
#include "host/tmmsgbuilder_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    uint16_t count = Fuzz_MessageLength(size);
    const char* text = reinterpret_cast<const char*>(data);
    uint16_t number = 0;
    char value12[13];
    char keyData[TMMSG_KEY_DATA_SIZE];
    aux_TMMsgBuilder_Parse48Field(text, count, &number, value12, keyData);
    aux_TMMsgBuilder_ParseKeyData(text, count, keyData);
    return 0;
}

// fuzz/fuzz_updsoft.cpp
// UPDSOFT.BIN, the download state of the pad's application, as start-up checks
// it and as a management session merges new flags into it. The input is the
// session's four flags, then the file.
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "remote/softupd.h"
#include "remote/softupd_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz_EnterWorkDir();
    FuzzReader in(data, size);
    uint8_t flags[SOFT_STATE_SIZE];
    for (uint8_t& f : flags) f = in.u8();
    std::string file = in.rest();
    Fuzz_WriteFile(SOFT_STATE_FILE, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    CheckSoftUpdate();
    Fuzz_WriteFile(SOFT_STATE_FILE, reinterpret_cast<const uint8_t*>(file.data()), file.size());
    aux_KWRM_MGR_UpdateSoftFlags(flags, static_cast<uint8_t>(flags[0] & 1u));
    Fuzz_RemoveFile(SOFT_STATE_FILE);
    return 0;
}

// remote/softupd_internal.h
// The management session's helpers that live with the files they manage:
// for the session (remote/kwrmmgr.cpp) and the tests only.
#pragma once
#include <cstdint>

// Fills g_SoftConfig (edition, the library behind the link with the running
// version and its CRC-32, the PIN pad's application file and version) and logs it.
void aux_KWRM_MGR_GetSoftInfo();
// Merges flags with UPDSOFT.BIN: a non-zero byte of flags replaces the file's,
// a zero byte takes the file's; a missing or short file is written only when
// create is set. flags gets the bytes now in force. RES_OK or RES_KWRM_FILE_CREATE.
int aux_KWRM_MGR_UpdateSoftFlags(uint8_t* flags, uint8_t create);
// Puts source in place as target (rename set: renamed, else copied) and points
// link at target's bare name by renaming a new link over it. An existing
// target is never replaced: with the same bytes it is kept (a renamed source
// dropped) and only the link moves; with other bytes nothing changes.
// RES_OK, RES_KWRM_LIB_CONFLICT or RES_KWRM_FILE_IO.
int aux_KWRM_MGR_UpdateLibrary(const char* source, const char* target, const char* link, uint8_t rename);

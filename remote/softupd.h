// remote/softupd.h
// Software that the terminal manager can replace: the report of what runs,
// the download state of the PIN pad's application (UPDSOFT.BIN), the payment
// library installed under its versioned name behind the link libRAVOux.so,
// and the clean-up after a session. The management session's helpers that
// live with the files they manage are in remote/softupd_internal.h.
//
// A library is switched to only when it is whole, signed when a signing key
// is installed, and loads: the download is checked by size and CRC-32 and
// flushed by the client, its signature verified, a child process loads it and
// finds the four entry points, and only then is it renamed to its versioned
// name and the link replaced in one rename. A versioned file is never
// replaced: a download under an installed version with other bytes is
// refused. The older versioned files stay, so the link can go back (a lower
// version is a rollback, the bank's right); no file is ever removed before
// its replacement is in place.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remote/kwrmcli.h"

#define SOFT_STATE_FILE "UPDSOFT.BIN"
#define SOFT_LIB_LINK "libRAVOux.so"
#define SOFT_LIB_DOWNLOAD "TEMP/libRAVOux.so"
#define SOFT_TEMP_DIR "TEMP"
#define SOFT_EDITION "LINUX"

enum : uint8_t {
    SOFT_STATE_SIZE = 4,    // bytes of UPDSOFT.BIN
    SOFT_STATE_APP = 2,     // the byte of the PIN pad's application
};
// States of the PIN pad's application download.
enum : uint8_t {
    SOFT_APP_NONE = 0,      // nothing pending
    SOFT_APP_PARTIAL = 1,   // started, resumed by later sessions
    SOFT_APP_COMPLETE = 2,  // downloaded whole
    SOFT_APP_CLEANUP = 3,   // nothing newer offered since: TEMP/*.TLV to be removed
};
enum : uint32_t {
    SOFT_VERSION_UNKNOWN = 0xFFFFFFFFu,  // a library name without a readable version
    SOFT_BUILD_STEP = 0x100u,            // one build up in a version number
};
enum : uint16_t { SOFT_LINK_BUFFER = 289 };  // room for the link's target text

// The software report sent by the session.
extern SSoftConfig g_SoftConfig;

// After a successful session: removes TEMP/*.TLV and UPDSOFT.BIN once the
// application state is 3 (the file alone at state 0); RES_OK or RES_KWRM_SOFT_STATE for a bad state file.
int CheckSoftUpdate();

// Version of a library file name "libRAVOux.so.M.m.b" (each part 0..255,
// "1.10.2" included); SOFT_VERSION_UNKNOWN for any other name.
uint32_t SoftUpd_ParseLibVersion(const char* name);
// "libRAVOux.so.M.m.b" of version into out (size bytes).
void SoftUpd_LibName(uint32_t version, char* out, size_t size);
// Loads path in a child process and looks up the four entry points; the
// child's fate cannot touch the caller. RES_OK when all were found, else RES_KWRM_FILE_IO.
int SoftUpd_TestLoad(const char* path);

// A library download that passed its checks, and what installing it takes.
struct SSoftLibPlan {
    uint32_t ulVersion;              // the version it is installed as
    char szName[SOFT_LINK_BUFFER];   // libRAVOux.so.<version>
    uint8_t ucNothing;               // 1: it is the library behind the link already
};
// Checks the complete download TEMP/libRAVOux.so announced as version (0: the
// running version one build up) before anything depends on it, in this order:
// its signature when SOFTSIGN.PEM is installed; that it is not the library
// behind the link already (nothing to do); that an installed file of its
// version holds the same bytes (a versioned file is never replaced); that it
// loads in a child process. A lower version than the running one is a
// rollback, allowed and logged. A refused download is removed. RES_OK with
// plan filled, RES_KWRM_SIGNATURE, RES_KWRM_LIB_CONFLICT or RES_KWRM_FILE_REFUSED.
int SoftUpd_CheckLibrary(uint32_t version, SSoftLibPlan* plan);
// Puts a checked download in place behind the link (see SSoftLibPlan).
// RES_OK, RES_KWRM_LIB_CONFLICT or RES_KWRM_FILE_IO.
int SoftUpd_ApplyLibrary(const SSoftLibPlan* plan);
// Points the link at the running version's file when it points at an older
// version (the running library copied under its own name, unless a file of
// that name holds the same bytes already; one with other bytes is left and
// reported); RES_OK, RES_KWRM_LIB_CONFLICT or RES_KWRM_FILE_IO.
int SoftUpd_SyncLink();
// Checks a complete PIN-pad application download before it may be installed:
// its signature when SOFTSIGN.PEM is installed; a signature trailer is cut
// off in any case (the pad takes the image alone). A refused download is
// removed. RES_OK, RES_KWRM_SIGNATURE or a file code.
int SoftUpd_CheckPadApp(const char* path);
// 1 when the software-signing key is installed (SOFTSIGN.PEM in the payment directory).
int SoftUpd_SigningKeyInstalled();

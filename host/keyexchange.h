// host/keyexchange.h
// Remote PIN-key download: after a day close the batch close asks the host
// for the pad's keys one at a time (transport master key, master key, PIN
// working key), each on a connection of its own, and loads each into the pad.
// Key data arrives as a run of elements: four-character tag, three-digit
// length, that many hexadecimal characters (32 for a supported key).
//
// The batch belongs to the kernel, which this layer may not call: the batch
// close passes the batch number and reference index in (they make the
// request's retrieval reference number).
#pragma once
#include <cstddef>
#include <cstdint>

// Key types of the host's key download.
enum RTPS_KEY_TYPE : uint8_t {
    RTPS_KEY_MTMK = 0,
    RTPS_KEY_MTMP = 1,
    RTPS_KEY_MTPK = 2,
    RTPS_KEY_KTPK = 3,
    RTPS_KEY_UNKNOWN = 4,
};

// The PIN-pad side of a download. This layer does not drive the pad itself:
// the batch close hands these in with KeyExchange_SetPad.
struct SKeyPadOps {
    // Loads the 16 bytes of a key of host type hostKeyType into its pad slot; KCV out; 0 or the load's error.
    int (*pfnLoadKey)(uint8_t hostKeyType, const uint8_t* key, uint32_t* kcv);
    // Shows a text on the pad, waiting up to timeout seconds for a key press (0: no wait).
    int (*pfnShowMessage)(const char* text, uint16_t timeout);
};

enum : uint16_t {
    KEYX_KEY_BYTES = 16,            // bytes of a supported key
    KEYX_KEY_HEX_LEN = 32,          // hexadecimal characters of a supported key
    KEYX_ELEMENT_HEAD = 7,          // tag (4) and length (3) of a key-data element
    KEYX_RESULT_WAIT_S = 30,        // how long the outcome stays on the pad waiting for a key
};

// Name of a host key type ("MTMK", "MTMP", "MTPK", "KTPK" or "Unknown").
const char* GetRTPSKeyName(uint8_t type);
// Host key type named by the first four characters of name; RTPS_KEY_UNKNOWN when none matches.
uint8_t GetRTPSKeyType(const char* name);

// Installs the pad operations the downloads use (null: none, every load fails).
void KeyExchange_SetPad(const SKeyPadOps* pad);

// Failure flags of the loads into the pad, one per key of the chain.
enum : uint8_t { KEYX_ERR_TMK = 1, KEYX_ERR_TMP = 2, KEYX_ERR_TPK = 4 };
// KEYX_ERR_* of the loads that failed since KeyExchange_ResetLoadErrFlags.
uint8_t KeyExchange_GetLoadErrFlags();
// Clears the failure flags (a new request begins).
void KeyExchange_ResetLoadErrFlags();

// One download for host key type 0 (MTMK), 1 (MTMP) or 2 (MTPK); recvBuf holds at least 1024 bytes.
// Shows progress on the till and the outcome on the pad. RES_OK, RES_HOST_CONNECT, RES_HOST_SEND, a
// key-download response code (RES_HOST_ONLY_HOLDON, RES_HOST_BAD_LENGTH, RES_HOST_NO_RRN_AUTH,
// RES_HOST_KEY_NO_RESPCODE, RES_KEY_REFUSED, RES_HOST_STATUS_BASE + status), RES_REMOTE_KEYS_BAD,
// RES_KEY_SKIPPED (type not downloadable), RES_KEY_NOT_FOUND, the pad's load error or the
// settings-file error.
int KeyExchange(uint8_t keyType, uint8_t* recvBuf, uint16_t batchNo, uint16_t rrnIndex);

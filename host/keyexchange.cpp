// host/keyexchange.cpp
#include "host/keyexchange.h"
#include "host/keyexchange_internal.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "host/tmmsgbuilder.h"
#include "host/transmaster.h"
#include "support/convert.h"
#include "support/cp1251.h"
#include "support/log.h"
#include "support/param.h"
#include "support/payorder.h"
#include "support/result_codes.h"
#include "support/utilmsg.h"

static_assert(sizeof(S_PAY_ORDER::szICCData) >= TMMSG_KEY_DATA_SIZE,
              "the chip-data text of the work order receives the key data");

static const char* const m_szRTPSKeyNames[] = {"MTMK", "MTMP", "MTPK", "KTPK"};
static const SKeyPadOps* m_pPad = nullptr;
// A download's work area: the answer's key data, action and approval code, wiped after each download.
static S_PAY_ORDER m_stWork;
// KEYX_ERR_* of the loads that failed since the last reset.
static uint8_t m_ucLoadErrFlags = 0;

const char* GetRTPSKeyName(uint8_t type) {
    return type < sizeof(m_szRTPSKeyNames) / sizeof(m_szRTPSKeyNames[0]) ? m_szRTPSKeyNames[type] : "Unknown";
}

uint8_t GetRTPSKeyType(const char* name) {
    if (name == nullptr) return RTPS_KEY_UNKNOWN;
    for (uint8_t i = 0; i < sizeof(m_szRTPSKeyNames) / sizeof(m_szRTPSKeyNames[0]); ++i)
        if (strncmp(name, m_szRTPSKeyNames[i], 4) == 0) return i;
    return RTPS_KEY_UNKNOWN;
}

void KeyExchange_SetPad(const SKeyPadOps* pad) { m_pPad = pad; }

uint8_t KeyExchange_GetLoadErrFlags() { return m_ucLoadErrFlags; }

void KeyExchange_ResetLoadErrFlags() { m_ucLoadErrFlags = 0; }

const S_PAY_ORDER* aux_KeyExchange_Work() { return &m_stWork; }

static int aux_KeyExchange_PadLoad(uint8_t type, const uint8_t* key, uint32_t* kcv) {
    if (m_pPad == nullptr || m_pPad->pfnLoadKey == nullptr) return RES_KEY_REFUSED;
    return m_pPad->pfnLoadKey(type, key, kcv);
}

static void aux_KeyExchange_PadShow(const char* text, uint16_t timeout) {
    if (m_pPad != nullptr && m_pPad->pfnShowMessage != nullptr) m_pPad->pfnShowMessage(text, timeout);
}

// Reads exactly three decimal digits; -1 when any is not a digit.
static int aux_KeyExchange_ReadLength(const char* text) {
    int value = 0;
    for (int i = 0; i < 3; ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int aux_ParseKey(const char* element, uint16_t* hexLen, uint8_t* type, uint8_t key[16]) {
    size_t remaining = strnlen(element, TMMSG_KEY_DATA_SIZE);
    if (remaining < KEYX_ELEMENT_HEAD + 1u) return RES_REMOTE_KEYS_BAD;
    int n = aux_KeyExchange_ReadLength(element + 4);
    // A length that is not three digits leaves no way to find the next element.
    if (n < 0 || remaining < static_cast<size_t>(n) + KEYX_ELEMENT_HEAD) return RES_REMOTE_KEYS_BAD;

    uint16_t expected = *hexLen;
    *hexLen = static_cast<uint16_t>(n);
    *type = GetRTPSKeyType(element);
    if (*type == RTPS_KEY_UNKNOWN) {
        LogStringEx(LOG_WARNING, "WARNING. Skipping unsupported key type [%c%c%c%c] of Hex size [%d].", element[0],
                    element[1], element[2], element[3], n);
        return RES_KEY_SKIPPED;
    }
    if (n != expected) {
        LogStringEx(LOG_WARNING,
                    "WARNING. Skipping remote key [%c%c%c%c] of unsupported length: Hex size [%d], expected [%d].",
                    element[0], element[1], element[2], element[3], n, expected);
        return RES_KEY_SKIPPED;
    }
    // Non-hexadecimal characters would silently become zero bits of a key.
    const char* hex = element + KEYX_ELEMENT_HEAD;
    for (int i = 0; i < n; ++i) {
        if (!isxdigit(static_cast<unsigned char>(hex[i]))) {
            LogString("ERROR. aux_ParseKey. Key [%c%c%c%c] is not hexadecimal.", element[0], element[1], element[2],
                      element[3]);
            return RES_REMOTE_KEYS_BAD;
        }
    }
    Convert_HexToBin(hex, key, n / 2);
    return RES_OK;
}

// Loads one matching key into its slot of the pad's chain.
static int aux_KeyExchange_Load(uint8_t type, const char* hex, const uint8_t* key, uint32_t* kcv) {
    int rc;
    switch (type) {
    case RTPS_KEY_MTMK:
        rc = aux_KeyExchange_PadLoad(type, key, kcv);
        if (rc != RES_OK) m_ucLoadErrFlags |= KEYX_ERR_TMK;
        return rc;
    case RTPS_KEY_MTMP:
        rc = aux_KeyExchange_PadLoad(type, key, kcv);
        if (rc != RES_OK) m_ucLoadErrFlags |= KEYX_ERR_TMP;
        return rc;
    default: {
        // The pad forgets a working key between operations: every PIN entry
        // loads it again from the settings, so it is kept there first.
        char text[KEYX_KEY_HEX_LEN + 1];
        memcpy(text, hex, KEYX_KEY_HEX_LEN);
        text[KEYX_KEY_HEX_LEN] = '\0';
        rc = Param_WriteConfigParam("DEVICE.INI", "REMOTEOPENKEY", text);
        memset(text, 0, sizeof(text));
        if (rc == RES_OK) rc = aux_KeyExchange_PadLoad(RTPS_KEY_MTPK, key, kcv);
        if (rc != RES_OK) m_ucLoadErrFlags |= KEYX_ERR_TPK;
        LogString("%s. Saving working key [%s] locally [%d].", rc == RES_OK ? "INFO" : "ERROR",
                  GetRTPSKeyName(type), rc);
        return rc;
    }
    }
}

int aux_SaveKey(const char* keyData, uint8_t expectedType, uint32_t* kcv) {
    size_t total = strnlen(keyData, TMMSG_KEY_DATA_SIZE);
    size_t pos = 0;
    uint8_t key[KEYX_KEY_BYTES];
    int rc = RES_KEY_NOT_FOUND;
    while (pos < total) {
        uint16_t n = KEYX_KEY_HEX_LEN;
        uint8_t type = RTPS_KEY_UNKNOWN;
        int parsed = aux_ParseKey(keyData + pos, &n, &type, key);
        if (parsed == RES_REMOTE_KEYS_BAD) {
            LogString("ERROR. aux_SaveKey. Malformed key data at [%u].", static_cast<unsigned>(pos));
            rc = RES_REMOTE_KEYS_BAD;
            break;
        }
        const char* element = keyData + pos;
        pos += KEYX_ELEMENT_HEAD + n;
        if (parsed == RES_KEY_SKIPPED) continue;
        bool match = type == expectedType ||
                     (expectedType == RTPS_KEY_MTPK && (type == RTPS_KEY_MTPK || type == RTPS_KEY_KTPK));
        if (!match) {
            LogStringEx(LOG_WARNING, "WARNING. Ignoring key [%s] due to unexpected type [%s].", GetRTPSKeyName(type),
                        GetRTPSKeyName(expectedType));
            continue;
        }
        rc = aux_KeyExchange_Load(type, element + KEYX_ELEMENT_HEAD, key, kcv);
        memset(key, 0, sizeof(key));
        return rc;
    }
    memset(key, 0, sizeof(key));
    if (rc == RES_KEY_NOT_FOUND)
        LogString("ERROR. aux_SaveKey. Expected key [%s] not found.", GetRTPSKeyName(expectedType));
    return rc;
}

// Formats the outcome of a download (success: key name and KCV; failure: the
// result, stageWord and key name) into msgBuf, shows it on the pad waiting up
// to 30 s for a key, then clears msgBuf.
static void aux_ShowResultMsg(uint8_t keyType, uint32_t kcv, int result, const char* stageWord, char* msgBuf,
                              size_t msgSize) {
    if (result == RES_OK) {
        snprintf(msgBuf, msgSize, CP1251("УДАЛ КЛЮЧ [%s]|УСПЕШНО ОБНОВЛЕН|KCV [0x%06lX]"), GetRTPSKeyName(keyType),
                 static_cast<unsigned long>(kcv));
    } else {
        snprintf(msgBuf, msgSize, CP1251("ОШИБКА [%d]|%s|УДАЛ КЛЮЧА [%s]"), result, stageWord,
                 GetRTPSKeyName(keyType));
    }
    aux_KeyExchange_PadShow(msgBuf, KEYX_RESULT_WAIT_S);
    memset(msgBuf, 0, msgSize);
}

// One answer to the download into the work order (the context): key data, action and approval code.
static int aux_KeyExchange_ParseAnswer(const uint8_t* packet, uint16_t length, void* context) {
    S_PAY_ORDER* work = static_cast<S_PAY_ORDER*>(context);
    return TMMsgBuilder_ParseKeyDownloadRs(packet, length, work->szICCData, &work->usRespCode, work->szAuthCode,
                                           nullptr);
}

// Connects, asks for the key and reads answers while the host asks to hold
// on; the key data lands in the work order's chip-data text.
static int aux_KeyExchange_Download(uint8_t keyType, uint8_t* recvBuf, uint16_t batchNo, uint16_t rrnIndex,
                                    S_PAY_ORDER* work) {
    int rc = Transmaster_Connect();
    if (rc != RES_OK) {
        LogString("ERROR. KeyExchange. Connect: %d", rc);
        return RES_HOST_CONNECT;
    }
    uint16_t length = 0;
    uint8_t* request = TMMsgBuilder_GetKeyDownloadRq(0, &length, keyType, batchNo, rrnIndex);
    rc = request != nullptr ? Transmaster_SendPacket(request, length) : RES_HOST_SEND;
    if (rc != RES_OK) {
        Transmaster_Disconnect();
        LogString("ERROR. KeyExchange. Send: %d", rc);
        return RES_HOST_SEND;
    }
    rc = RES_OK;
    int received =
        Transmaster_ReceiveAnswer(recvBuf, g_Config.usHoldOns, "KeyExchange", aux_KeyExchange_ParseAnswer, work, &rc);
    if (received != RES_OK) {
        Transmaster_Disconnect();
        LogString("ERROR. KeyExchange. Receive: %d", received);
        return RES_HOST_SEND;
    }
    LogString("%s. KeyExchange. Result: %d", rc == RES_OK ? "SUCCESS" : "ERROR", rc);
    Transmaster_Disconnect();
    return rc;
}

int KeyExchange(uint8_t keyType, uint8_t* recvBuf, uint16_t batchNo, uint16_t rrnIndex) {
    if (keyType > RTPS_KEY_MTPK) {
        LogString("ERROR. KeyExchange. Key type [%d] is not downloadable.", keyType);
        return RES_KEY_SKIPPED;
    }
    S_PAY_ORDER* work = &m_stWork;
    memset(work, 0, sizeof(*work));
    UtilMsg_Show(CP1251("ПОЖАЛУЙСТА, ПОДОЖДИТЕ|ОБНОВЛЕНИЕ КЛЮЧЕЙ"));
    aux_KeyExchange_PadShow(CP1251("ПОЖАЛУЙСТА, ЖДИТЕ|ОБНОВЛЕНИЕ КЛЮЧЕЙ"), 0);

    int rc = aux_KeyExchange_Download(keyType, recvBuf, batchNo, rrnIndex, work);
    uint32_t kcv = 0;
    if (rc == RES_OK) {
        rc = aux_SaveKey(work->szICCData, keyType, &kcv);
        aux_ShowResultMsg(keyType, kcv, rc, CP1251("ЗАПИСИ"), work->szICCData, sizeof(work->szICCData));
    } else {
        aux_ShowResultMsg(keyType, kcv, rc, CP1251("ПОЛУЧЕНИЯ"), work->szICCData, sizeof(work->szICCData));
    }
    // The key data must not outlive the download in the work area or the answer buffer.
    memset(work, 0, sizeof(*work));
    memset(recvBuf, 0, TRANSMASTER_MAX_PACKET);
    return rc;
}

// pinpad/ppcmd.cpp
#include "pinpad/ppcmd.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "pinpad/padprofile_internal.h"
#include "pinpad/ppadproto.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/sysclock.h"

// One plain exchange with the request in g_ucInBuf and the reply into g_ucOutBuf.
static int aux_PPCmd_Run(uint8_t cls, uint8_t code, int32_t len, uint8_t encrypt = 0, int32_t timeoutMs = 0) {
    g_iInBufLen = len;
    g_iOutBufLen = 0;
    return PPadProto_Exchange(cls, code, len > 0 ? g_ucInBuf : nullptr, len, g_ucOutBuf, &g_iOutBufLen, encrypt,
                              timeoutMs, 1, PP_OUTBUF_SIZE);
}

static uint32_t aux_PPCmd_Pad8(uint32_t n) { return (n + 7u) / 8u * 8u; }

static uint64_t aux_PPCmd_ElapsedSeconds(uint64_t startMs) { return (SysClock_MonotonicMs() - startMs) / 1000u; }

int Connect(uint32_t port) {
    PPadProto_Init();
    return PPadProto_Connect(port);
}

int Disconnect() {
    PPadProto_Disconnect();
    return RES_OK;
}

int TestConnect() { return PPadProto_TestConnect(5); }

// Reads a length-prefixed text of the device information at *pos.
static int aux_PPCmd_TakeText(uint32_t* pos, char* dest, bool copyOnlyFitting) {
    uint32_t total = static_cast<uint32_t>(g_iOutBufLen);
    if (*pos >= total) return RES_PP_BAD_REPLY;
    uint32_t n = g_ucOutBuf[(*pos)++];
    if (n > total - *pos) return RES_PP_BAD_REPLY;
    if (dest != nullptr) {
        dest[0] = '\0';
        if (n < DEVINFO_TEXT_SIZE) {
            memcpy(dest, g_ucOutBuf + *pos, n);
            dest[n] = '\0';
        } else if (!copyOnlyFitting) {
            return RES_PP_BAD_REPLY;  // a text longer than the caller's room is refused
        }
    }
    *pos += n;
    return RES_OK;
}

int DevGetInfo(char* devName, char* devId, char* text3, uint32_t* version, char* text4, uint16_t* number) {
    int rc = aux_PPCmd_Run(PPC_DEV, PPC_DEV_GETINFO, 0);
    if (rc != RES_OK) return rc;
    uint32_t pos = 0, total = static_cast<uint32_t>(g_iOutBufLen);
    // The device name is handed over only when it is 1..31 characters long.
    if ((rc = aux_PPCmd_TakeText(&pos, devName, true)) != RES_OK) return rc;
    if ((rc = aux_PPCmd_TakeText(&pos, devId, false)) != RES_OK) return rc;
    if ((rc = aux_PPCmd_TakeText(&pos, text3, false)) != RES_OK) return rc;
    if (total - pos < 4) return RES_PP_BAD_REPLY;
    if (version)
        *version = static_cast<uint32_t>(g_ucOutBuf[pos]) | (static_cast<uint32_t>(g_ucOutBuf[pos + 1]) << 8) |
                   (static_cast<uint32_t>(g_ucOutBuf[pos + 2]) << 16) |
                   (static_cast<uint32_t>(g_ucOutBuf[pos + 3]) << 24);
    pos += 4;
    if ((rc = aux_PPCmd_TakeText(&pos, text4, false)) != RES_OK) return rc;
    if (total - pos < 2) return RES_PP_BAD_REPLY;
    if (number) *number = static_cast<uint16_t>(g_ucOutBuf[pos] | (g_ucOutBuf[pos + 1] << 8));
    return RES_OK;
}

int DevSetDateTime(const char* dateTime) {
    size_t n = strlen(dateTime);
    if (n > static_cast<size_t>(PP_INBUF_SIZE)) n = PP_INBUF_SIZE;
    memcpy(g_ucInBuf, dateTime, n);
    return aux_PPCmd_Run(PPC_DEV, PPC_DEV_SETDATETIME, static_cast<int32_t>(n));
}

int DevRestart() {
    int rc = aux_PPCmd_Run(PPC_DEV, PPC_DEV_RESTART, 0);
    if (rc == RES_OK)
        LogString("INFO. Device rebooted.");
    else
        LogString("ERROR. DevRestart error: (0x%08lX).", static_cast<unsigned long>(rc));
    aux_PadProfile_Edit()->ucPinpadConnected = 0;
    return rc;
}

int SetBaudrate(uint32_t baud) {
    if (baud != 9600 && baud != 19200 && baud != 57600 && baud != 115200) {
        LogString("ERROR. SetBaudrate. Unsupported COM baudrate specified [%lu].", static_cast<unsigned long>(baud));
        return RES_PP_BAUDRATE;
    }
    for (int i = 0; i < 4; ++i) g_ucInBuf[i] = static_cast<uint8_t>(baud >> (8 * i));
    int rc = aux_PPCmd_Run(PPC_DEV, PPC_DEV_SETBAUD, 4);
    if (rc != RES_OK) LogString("ERROR. SetBaudrate error: (0x%08lX).", static_cast<unsigned long>(rc));
    return rc;
}

int GetPinpadType(uint16_t* type) {
    int rc = aux_PPCmd_Run(PPC_DEV, PPC_DEV_GETTYPE, 0);
    if (rc == RES_OK && g_iOutBufLen == 2) {
        *type = static_cast<uint16_t>((g_ucOutBuf[0] << 8) | g_ucOutBuf[1]);
        LogStringEx(LOG_DEBUG, "DEBUG. Pinpad Type : [%d].", *type);
        return RES_OK;
    }
    LogString("ERROR. GetPinpadType error: (0x%08lX), g_iOutBufLen: (%d).", static_cast<unsigned long>(rc),
              g_iOutBufLen);
    return rc != RES_OK ? rc : RES_PP_BAD_REPLY;
}

// Writes the update-key flags of a KEYFLAG_* set into the pad's profile.
static void aux_PPCmd_KeepKeyFlags(uint32_t flags) {
    SPadProfile* profile = aux_PadProfile_Edit();
    profile->ucUpdTMP = (flags & KEYFLAG_TMP) ? 1 : 0;
    profile->ucUpdTPK = (flags & KEYFLAG_TPK) ? 1 : 0;
    profile->ucKeyCfg = (flags & KEYFLAG_CFG) ? 1 : 0;
}

int GetSetUpdateKeyFlags(uint8_t mode, uint32_t flags) {
    uint8_t sendMode = mode != 0 ? KEYFLAGS_SET : KEYFLAGS_GET;
    flags = sendMode == KEYFLAGS_SET ? flags & (KEYFLAG_TMP | KEYFLAG_TPK | KEYFLAG_CFG) : 0u;
    g_ucInBuf[0] = sendMode;
    for (int i = 0; i < 4; ++i) g_ucInBuf[1 + i] = static_cast<uint8_t>(flags >> (8 * (3 - i)));
    int rc = aux_PPCmd_Run(PPC_DEV, PPC_DEV_KEYFLAGS, 5);
    if (rc == RES_OK && sendMode == KEYFLAGS_GET) {
        if (g_iOutBufLen != 4) {
            rc = RES_PP_KEYFLAGS_REPLY;
        } else {
            uint32_t got = (static_cast<uint32_t>(g_ucOutBuf[0]) << 24) | (static_cast<uint32_t>(g_ucOutBuf[1]) << 16) |
                           (static_cast<uint32_t>(g_ucOutBuf[2]) << 8) | g_ucOutBuf[3];
            aux_PPCmd_KeepKeyFlags(got);
        }
    } else if (rc == RES_OK) {
        // The profile follows only flags that the pad took.
        aux_PPCmd_KeepKeyFlags(flags);
    }
    // A write logs the flags it asked for, taken or not.
    const uint32_t shown = sendMode == KEYFLAGS_SET ? flags : PadProfile_KeyFlags();
    LogString("%s. GetSetUpdateKeyFlags. Mode[%d], TMP[%d], TPK[%d], CFG[%d], OutLen[%d], Res[%ld].",
              rc == RES_OK ? "INFO" : "ERROR", mode, (shown & KEYFLAG_TMP) ? 1 : 0, (shown & KEYFLAG_TPK) ? 1 : 0,
              (shown & KEYFLAG_CFG) ? 1 : 0, g_iOutBufLen, static_cast<long>(rc));
    return rc;
}

int GetPinpadSN(char* sn) {
    int rc = aux_PPCmd_Run(PPC_DEV, PPC_DEV_GETSN, 0);
    // The stated length must match the reply and fit the caller's room.
    if (rc != RES_OK || g_iOutBufLen < 1 || g_ucOutBuf[0] + 2 != g_iOutBufLen ||
        g_ucOutBuf[0] >= PP_SERIAL_SIZE) {
        LogString("ERROR. GetPinpadSN error: (0x%08lX), g_iOutBufLen: (%d).", static_cast<unsigned long>(rc),
                  g_iOutBufLen);
        return rc != RES_OK ? rc : RES_PP_BAD_REPLY;
    }
    memcpy(sn, g_ucOutBuf + 1, g_ucOutBuf[0]);
    sn[g_ucOutBuf[0]] = '\0';
    LogString("Pinpad SN : [%s], TerminalID : [%s].", sn, g_Config.szTerminalId);
    return RES_OK;
}

int DisplayClear() { return aux_PPCmd_Run(PPC_DISP, PPC_DISP_CLEAR, 0); }

int DisplayStringEx(uint8_t row, const char* text, uint8_t len) {
    g_ucInBuf[0] = row;
    g_ucInBuf[1] = 1;
    g_ucInBuf[2] = 1;
    g_ucInBuf[3] = 0;
    g_ucInBuf[4] = len;
    memcpy(g_ucInBuf + 5, text, len);
    return aux_PPCmd_Run(PPC_DISP, PPC_DISP_STRINGEX, 5 + len);
}

int DisplayText(uint8_t first, uint8_t second, const char* text) {
    size_t n = strlen(text);
    if (n > 255) n = 255;
    g_ucInBuf[0] = second;
    g_ucInBuf[1] = first;
    g_ucInBuf[2] = static_cast<uint8_t>(n);
    memcpy(g_ucInBuf + 3, text, n);
    return aux_PPCmd_Run(PPC_DISP, PPC_DISP_TEXT, static_cast<int32_t>(3 + n));
}

int KbdInputInit(const uint8_t params[8]) {
    memcpy(g_ucInBuf, params, 8);
    return aux_PPCmd_Run(PPC_KBD, PPC_KBD_INIT, 8);
}

int KbdInputCheck(uint8_t* len, char* text, uint32_t textSize) {
    int rc = aux_PPCmd_Run(PPC_KBD, PPC_KBD_CHECK, 0);
    if (rc != RES_OK || g_iOutBufLen < 1) return RES_PP_BAD_REPLY;
    if (g_ucOutBuf[0] == 1) return KBD_WAITING;
    if (g_ucOutBuf[0] != 0) return KBD_CANCELLED;
    if (g_iOutBufLen < 2) return RES_PP_BAD_REPLY;
    uint32_t n = g_ucOutBuf[1];
    if (static_cast<int32_t>(n) > g_iOutBufLen - 2 || n >= textSize) return RES_PP_BAD_REPLY;
    memcpy(text, g_ucOutBuf + 2, n);
    text[n] = '\0';
    *len = static_cast<uint8_t>(n);
    return KBD_FINISHED;
}

int KbdInputCancel() { return aux_PPCmd_Run(PPC_KBD, PPC_KBD_CANCEL, 0); }

int KbdInputValue(const uint8_t params[8], uint16_t timeoutSeconds, uint8_t* len, char* text, uint32_t textSize) {
    uint64_t start = SysClock_MonotonicMs();
    int rc = KbdInputInit(params);
    if (rc != RES_OK) return rc;
    for (;;) {
        if (aux_PPCmd_ElapsedSeconds(start) > timeoutSeconds) {
            KbdInputCancel();
            return RES_PP_NO_INPUT;
        }
        SysClock_SleepMs(PP_POLL_PAUSE_MS);
        rc = KbdInputCheck(len, text, textSize);
        if (rc == KBD_WAITING) continue;
        KbdInputCancel();
        return rc;
    }
}

int CardReaderCancel() { return aux_PPCmd_Run(PPC_CARD, PPC_CARD_CANCEL, 0); }

int CardReaderInitTK(uint8_t mask, uint8_t p1, uint8_t p2) {
    struct tm now;
    SysClock_LocalTime(&now);
    char ym[32];
    snprintf(ym, sizeof(ym), "%02d%02d", now.tm_year % 100, now.tm_mon + 1);
    g_ucInBuf[0] = mask;
    g_ucInBuf[1] = p1;
    g_ucInBuf[2] = p2;
    memcpy(g_ucInBuf + 3, ym, 4);
    int rc = aux_PPCmd_Run(PPC_CARD, PPC_CARD_INITTK, 7);
    if (rc != RES_OK) LogString("ERROR. CardReaderInitTK error=(0x%08lX).", static_cast<unsigned long>(rc));
    return rc;
}

int CardReaderCheckTK(uint8_t* state, S_PAY_ORDER* order) {
    memset(order->ucTrack2Enc, 0, sizeof(order->ucTrack2Enc));
    int rc = aux_PPCmd_Run(PPC_CARD, PPC_CARD_CHECKTK, 0);
    if (rc != RES_OK) return rc;
    if (g_iOutBufLen < 1) return RES_PP_BAD_REPLY;
    *state = g_ucOutBuf[0];
    if (*state != CARD_STATE_STRIPE) return RES_OK;

    const uint8_t* r = g_ucOutBuf;
    uint32_t total = static_cast<uint32_t>(g_iOutBufLen);
    if (total < 4) return RES_PP_BAD_REPLY;
    uint32_t l1 = r[1], l2 = r[2], l3 = r[3];
    uint32_t p1 = aux_PPCmd_Pad8(l1), p2 = aux_PPCmd_Pad8(l2), p3 = aux_PPCmd_Pad8(l3);
    uint32_t panPos = 4 + p1 + p2 + p3;
    if (total < panPos + 1) return RES_PP_BAD_REPLY;
    uint32_t lp = r[panPos];
    // Every field is bounded by the reply itself and by the order's room:
    // the whole layout must be present, track 2 at most 41 bytes, the
    // enciphered PAN at most 24 and the masked PAN at most 19 characters.
    uint32_t need = panPos + 1 + aux_PPCmd_Pad8(lp) + 8 + lp + 4;
    if (total < need || p2 > sizeof(order->ucTrack2Enc) || aux_PPCmd_Pad8(lp) > sizeof(order->ucPANEnc) ||
        lp >= sizeof(order->szPAN))
        return RES_PP_BAD_REPLY;

    order->ucTrack2Len = static_cast<uint8_t>(l2);
    memcpy(order->ucTrack2Enc, r + 4 + p1, p2);
    uint32_t pos = panPos + 1;
    order->ucPANLen = static_cast<uint8_t>(lp);
    memset(order->ucPANEnc, 0, sizeof(order->ucPANEnc));
    memcpy(order->ucPANEnc, r + pos, aux_PPCmd_Pad8(lp));
    pos += aux_PPCmd_Pad8(lp);
    memcpy(order->ucExpDateEnc, r + pos, 8);
    order->ucExpDateLen = 4;
    pos += 8;
    memset(order->szPAN, 0, sizeof(order->szPAN));
    memcpy(order->szPAN, r + pos, lp);
    pos += lp;
    order->ucIsValid = r[pos++];
    if (order->ucIsValid == 0)
        LogStringEx(LOG_WARNING, "WARNING. CardReaderCheckTK: card is expired. ucIsValid=(%d).", order->ucIsValid);
    order->ucIsChipCard = r[pos++];
    order->usRangeNo = static_cast<uint16_t>(r[pos] | (r[pos + 1] << 8));
    // The reply buffer held the enciphered card data; it is not left there.
    memset(g_ucOutBuf, 0, static_cast<size_t>(g_iOutBufLen));
    return RES_OK;
}

int CardRequest(uint8_t mask, uint8_t p1, uint16_t timeoutSeconds, uint8_t p2, uint8_t* state, S_PAY_ORDER* order) {
    // More than timeoutSeconds whole seconds elapsed is the same as (timeoutSeconds + 1) s or more.
    uint64_t deadline = SysClock_MonotonicMs() + (static_cast<uint64_t>(timeoutSeconds) + 1u) * 1000u;
    return CardRequestUntil(mask, p1, deadline, p2, state, order);
}

int CardRequestUntil(uint8_t mask, uint8_t p1, uint64_t deadlineMs, uint8_t p2, uint8_t* state, S_PAY_ORDER* order) {
    int rc = CardReaderInitTK(mask, p1, p2);
    if (rc != RES_OK) return rc;
    SysClock_SleepMs(PP_POLL_PAUSE_MS);
    for (;;) {
        if (SysClock_MonotonicMs() >= deadlineMs) {
            CardReaderCancel();
            return RES_PP_NO_CARD;
        }
        *state = CARD_STATE_NONE;
        rc = CardReaderCheckTK(state, order);
        if (rc != RES_OK || *state != CARD_STATE_NONE) {
            CardReaderCancel();
            return rc;
        }
        SysClock_SleepMs(PP_POLL_PAUSE_MS);
    }
}

int SmartPresent(uint8_t* present) {
    int rc = aux_PPCmd_Run(PPC_SMART, PPC_SMART_PRESENT, 0);
    if (g_iOutBufLen < 1) return RES_PP_BAD_REPLY;
    if (rc != RES_OK) return rc;
    *present = g_ucOutBuf[0] == 1 ? 1 : 0;
    return RES_OK;
}

int SmartEject(uint8_t beep, uint16_t timeoutSeconds) {
    uint64_t start = SysClock_MonotonicMs();
    for (;;) {
        if (aux_PPCmd_ElapsedSeconds(start) > timeoutSeconds) return RES_PP_NO_CARD;
        uint8_t present = 0;
        int rc = SmartPresent(&present);
        if (rc != RES_OK) return rc;
        if (!present) return RES_OK;
        if (beep) BeepNormal();
        SysClock_SleepMs(PP_POLL_PAUSE_MS);
    }
}

int PinBlockInitEx(uint8_t keyIndex, uint8_t minLen, uint8_t maxLen, uint16_t timeoutSeconds, const char* pan,
                   uint8_t* pinBlock, uint8_t* pinBlockLen) {
    size_t panLen = strnlen(pan, 19);
    // The amount line that the pad shows during PIN entry, prepared by the caller.
    size_t amountLen = strnlen(reinterpret_cast<const char*>(g_ucOutBuf), 100);
    uint8_t* p = g_ucInBuf;
    *p++ = keyIndex;
    *p++ = minLen;
    *p++ = maxLen;
    *p++ = static_cast<uint8_t>(timeoutSeconds & 0xFFu);
    *p++ = static_cast<uint8_t>(panLen);
    memcpy(p, pan, panLen);
    p += panLen;
    if (amountLen > 0 && amountLen < 100) {
        memcpy(p, g_ucOutBuf, amountLen);
        p += amountLen;
        *p++ = '\0';
    }
    int32_t len = static_cast<int32_t>(p - g_ucInBuf);
    int rc = aux_PPCmd_Run(PPC_KEY, PPC_KEY_PINBLOCK, len, 1,
                           static_cast<int32_t>(g_ComConfig.usProtoTO) + static_cast<int32_t>(timeoutSeconds) * 1000);
    memset(g_ucInBuf, 0, static_cast<size_t>(len));
    if (rc != RES_OK) return rc;
    int ok = g_iOutBufLen >= 2 && g_ucOutBuf[1] + 2 == g_iOutBufLen && g_ucOutBuf[1] <= PP_PINBLOCK_MAX;
    if (ok) {
        memcpy(pinBlock, g_ucOutBuf + 2, g_ucOutBuf[1]);
        *pinBlockLen = g_ucOutBuf[1];
    }
    // The enciphered PIN block does not stay in the shared reply buffer.
    memset(g_ucOutBuf, 0, static_cast<size_t>(g_iOutBufLen));
    return ok ? RES_OK : RES_PP_BAD_REPLY;
}

int BeepNormal() { return aux_PPCmd_Run(PPC_BEEP, PPC_BEEP_NORMAL, 0); }

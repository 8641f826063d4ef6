// pinpad/pplayer.cpp
#include "pinpad/pplayer.h"
#include "pinpad/pplayer_internal.h"

#include <cstdio>
#include <cstring>

#include "pinpad/cless.h"
#include "pinpad/comport.h"
#include "pinpad/emv.h"
#include "pinpad/padprofile_internal.h"
#include "pinpad/ppadproto.h"
#include "pinpad/ppcmd.h"
#include "pinpad/ppfile.h"
#include "support/bigint.h"
#include "support/convert.h"
#include "support/cp1251.h"
#include "support/currency.h"
#include "support/log.h"
#include "support/param.h"
#include "support/resource.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilmsg.h"

static uint8_t m_ucPerLine = PP_LINE_WIDTH;

enum : uint32_t { BAUD_FAST = 115200, BAUD_SAFE = 19200 };
enum : uint8_t { CARD_REQUEST_P1 = 2, CARD_REQUEST_P2 = 1 };
// Longest "amount currency" line that the confirmation screens show.
enum : size_t { PP_AMOUNT_LINE_MAX = 31, PP_PIN_AMOUNT_LINE_SIZE = 100 };

// Shows a text on the cashier's display and centred from row 2 on the pad.
static void aux_PPLayer_Prompt(const char* text) {
    UtilMsg_Show(text);
    aux_PPLayer_DisplayText(Resource_GetDeviceMessage(text), 2, PP_ALIGN_CENTER);
}

// Keyboard parameters of a confirmation (mode 6) or a message acknowledgement (mode 7).
static void aux_PPLayer_KbdParams(uint8_t mode, uint8_t* params) {
    const uint8_t rest[7] = {1, 1, 1, 1, 0, 0, 0};
    params[0] = mode;
    memcpy(params + 1, rest, sizeof(rest));
}

// Waits for a key in mode within timeout seconds; the keyboard result.
static int aux_PPLayer_WaitKey(uint8_t mode, uint16_t timeout) {
    uint8_t params[8], len = 0;
    char text[KBD_TEXT_SIZE];
    aux_PPLayer_KbdParams(mode, params);
    return KbdInputValue(params, timeout, &len, text, sizeof(text));
}

uint8_t PPLayer_GetLineWidth() { return m_ucPerLine; }

// Why the last connect failed, in one sentence; "" after a connect that worked.
static char m_szConnectError[256];

// Names in the log (and for PPLayer_GetConnectError) why no speed gave a link:
// a device that does not open says so with the system's reason; only a port
// that opened and got no answer at any speed earns the advice to change the
// pad's speed.
static void aux_PPLayer_ExplainConnect(int rc, bool opened, bool answered, const char* speeds) {
    char device[sizeof(g_ComConfig.szComDevice) + 1];
    ComPort_GetDevicePath(device, sizeof(device));
    const char* note = ComPort_GetOpenError();
    if (!opened) {
        snprintf(m_szConnectError, sizeof(m_szConnectError), "device %s not opened: %s", device, note);
        LogString("ERROR. PPLayer_Connect. Device [%s] not opened: %s. Check COMPORT (port N is /dev/ttyS<N-1>) "
                  "and COMDEVICE in DEVICE.INI, and that the till's user may use the device.",
                  device, note);
        return;
    }
    if (!answered) {
        LogString("Switch PinPad manually to supported baudrate from menu and restart RAVO!");
        snprintf(m_szConnectError, sizeof(m_szConnectError), "no answer on %s at %s bps%s%s", device, speeds,
                 note[0] != '\0' ? "; " : "", note);
        LogString("ERROR. PPLayer_Connect. No answer on [%s] at %s bps%s%s: check that the pad is attached to this "
                  "port and powered, then that its speed is one of these.",
                  device, speeds, note[0] != '\0' ? "; " : "", note);
        return;
    }
    snprintf(m_szConnectError, sizeof(m_szConnectError), "the pad on %s answered but the link was not set up [%d]",
             device, rc);
    LogString("ERROR. PPLayer_Connect. The pad on [%s] answered the link test but the session key was not agreed "
              "[%d]: check the pad's payment application.",
              device, rc);
}

const char* PPLayer_GetConnectError() { return m_szConnectError; }

int PPLayer_Connect(uint8_t port, bool saveSpeed) {
    const uint32_t configured = g_ComConfig.ulBaudrate;
    m_szConnectError[0] = '\0';
    int rc = Connect(port);
    if (rc == RES_OK) return RES_OK;
    LogString("ERROR. PPLayer_Connect. Connection error [%ld] using baudrate [%lu].", static_cast<long>(rc),
              static_cast<unsigned long>(configured));
    // Whether the device opened at all, and whether the pad ever echoed the link test.
    bool opened = rc != RES_PP_PORT_OPEN;
    bool answered = opened && rc != RES_PP_NO_LINK;
    char speeds[48];
    snprintf(speeds, sizeof(speeds), "%lu", static_cast<unsigned long>(configured));

    // The pad may have been switched to one of the two speeds that it offers;
    // the configured one is not tried twice.
    const uint32_t fallbacks[] = {BAUD_FAST, BAUD_SAFE};
    bool connected = false;
    for (size_t i = 0; i < 2 && !connected; ++i) {
        g_ComConfig.ulBaudrate = fallbacks[i];
        if (configured == fallbacks[i]) continue;
        rc = Connect(port);
        opened = opened || rc != RES_PP_PORT_OPEN;
        answered = answered || (rc != RES_PP_PORT_OPEN && rc != RES_PP_NO_LINK);
        size_t len = strlen(speeds);
        snprintf(speeds + len, sizeof(speeds) - len, ", %lu", static_cast<unsigned long>(fallbacks[i]));
        if (rc == RES_OK) {
            connected = true;
        } else if (i == 0) {
            LogString("ERROR. PPLayer_Connect. Connection error [%ld] using baudrate [%lu].", static_cast<long>(rc),
                      static_cast<unsigned long>(fallbacks[i]));
        }
    }
    if (!connected) {
        LogString("ERROR. PPLayer_Connect. Connection error [%ld] using baudrate [%lu].", static_cast<long>(rc),
                  static_cast<unsigned long>(BAUD_SAFE));
        aux_PPLayer_ExplainConnect(rc, opened, answered, speeds);
        return RES_PP_LINK;
    }
    char speed[16];
    snprintf(speed, sizeof(speed), "%lu", static_cast<unsigned long>(g_ComConfig.ulBaudrate));
    int written = saveSpeed ? Param_WriteConfigParam("DEVICE.INI", "BAUDRATE", speed) : RES_OK;
    LogStringEx(LOG_WARNING, "WARNING. PPLayer_Connect. Autoswitching to baudrate: [%lu] from [%lu] bps. Res: [%ld].",
                static_cast<unsigned long>(g_ComConfig.ulBaudrate), static_cast<unsigned long>(configured),
                static_cast<long>(written));
    return RES_OK;
}

int PPLayer_Disconnect() {
    Disconnect();
    return RES_OK;
}

void PPLayer_ForgetLink() { aux_PadProfile_Edit()->ucPinpadConnected = 0; }

int PPLayer_CheckKWPADVer(uint32_t* version, char* name) {
    char devName[DEVINFO_TEXT_SIZE] = {0}, devId[DEVINFO_TEXT_SIZE] = {0};
    uint32_t ver = 0;
    int rc = DevGetInfo(devName, devId, nullptr, &ver, nullptr, nullptr);
    if (rc != RES_OK) {
        LogString("ERROR. PPLayer_CheckKWPADVer, DevGetInfo [%ld].", static_cast<long>(rc));
        return RES_PP_KWPAD_VERSION;
    }
    if (version != nullptr) *version = ver;
    if (name != nullptr) memmove(name, devName, sizeof(devName));
    SPadProfile* profile = aux_PadProfile_Edit();
    profile->ulKwpadVer = ver;
    memcpy(profile->szDevName, devName, sizeof(profile->szDevName));
    LogString("INFO. PPLayer_CheckKWPADVer: Res=[%ld], DevName=[%s], DevID=[%s], KWPAD Ver=[0x%08lX]",
              static_cast<long>(rc), devName, devId, static_cast<unsigned long>(ver));
    if (ver <= KWPAD_VER_TOO_OLD) return RES_PP_KWPAD_VERSION;

    GetPinpadType(&profile->usPinpadType);
    if (profile->usPinpadType == PP_TYPE_CLESS) profile->ucClessSupport = 1;
    m_ucPerLine = profile->usPinpadType == PP_TYPE_CLESS ? PP_LINE_WIDTH_CLESS : PP_LINE_WIDTH;

    if (RsaCheckAll() != RES_OK) {
        LogString("ERROR. PPLayer_CheckKWPADVer: No cert or keyfile.");
        return RES_PP_KWPAD_VERSION;
    }
    profile->ucEMVSupport = strstr(devName, "Ingenico") == nullptr ? 1 : 0;
    LogString("INFO. PPLayer_CheckKWPADVer: EMVSupport [%d], ContactlessSupport [%d].", profile->ucEMVSupport,
              profile->ucClessSupport);

    if (ver > KWPAD_VER_REMOTE_KEYS && GetSetUpdateKeyFlags(KEYFLAGS_GET, 0) == RES_OK) {
        if (profile->ucKeyCfg) {
            if (strnlen(g_ComConfig.szRemoteOpenKey, sizeof(g_ComConfig.szRemoteOpenKey)) < 32) {
                LogString("ERROR. There is no or bad remote WK while remote keys should be used.");
                return RES_REMOTE_KEYS_BAD;
            }
            uint32_t kcv2 = 0, kcv3 = 0;
            KeyCheck(PP_KEY_MK, 2, &kcv2, 0);
            KeyCheck(PP_KEY_MK, 3, &kcv3, 0);
            if (kcv2 == 0 || kcv3 == 0) {
                LogString("ERROR. There is no or bad TK and/or MK while remote keys should be used.");
                return RES_REMOTE_KEYS_BAD;
            }
        }
        profile->ucRemoteKeysSupport = 1;
    }
    LogString("INFO. PPLayer_CheckKWPADVer: RemoteKeysSupport [%d], CFG [%d].", profile->ucRemoteKeysSupport,
              profile->ucKeyCfg);
    if (ver > KWPAD_VER_REMOTE_KEYS) {
        char sn[PP_SERIAL_SIZE] = {0};
        GetPinpadSN(sn);
    }
    return RES_OK;
}

void PPLayer_CompleteCheck() {
    SPadProfile* profile = aux_PadProfile_Edit();
    if (profile->usPinpadType == 0) GetPinpadType(&profile->usPinpadType);
    if (profile->ulSSLACrc == 0 && profile->ulSSLCCrc == 0 && profile->ulSSLKCrc == 0) RsaCheckAll();
}

// Shows len bytes of text on row, aligned within the line width; the display result.
static int aux_PPLayer_DisplayString(const char* text, uint32_t len, uint8_t row, uint8_t alignment) {
    char line[PP_LINE_WIDTH_CLESS + 1];
    uint32_t width = m_ucPerLine;
    if (width > PP_LINE_WIDTH_CLESS) width = PP_LINE_WIDTH_CLESS;
    uint32_t pad = 0;
    if (len < width) {
        if (alignment == PP_ALIGN_RIGHT)
            pad = width - len;
        else if (alignment == PP_ALIGN_CENTER)
            pad = (width - len + 1) / 2;
    } else {
        len = width;
    }
    memset(line, ' ', pad);
    memcpy(line + pad, text, len);
    return DisplayStringEx(row, line, static_cast<uint8_t>(pad + len));
}

int aux_PPLayer_DisplayText(const char* text, uint8_t firstRow, uint8_t alignment) {
    if (text == nullptr) return RES_OK;
    uint8_t row = firstRow;
    const char* piece = text;
    for (;;) {
        const char* bar = strchr(piece, '|');
        size_t len = bar ? static_cast<size_t>(bar - piece) : strlen(piece);
        // An empty piece keeps its row as it is.
        if (len > 0) {
            int rc = aux_PPLayer_DisplayString(piece, static_cast<uint32_t>(len), row, alignment);
            if (rc != RES_OK) return rc;
        }
        if (bar == nullptr) return RES_OK;
        piece = bar + 1;
        ++row;
    }
}

// Waits ms, or only what is left until deadlineMs when that is less.
static void aux_PPLayer_PauseBefore(uint32_t ms, uint64_t deadlineMs) {
    uint64_t now = SysClock_MonotonicMs();
    if (now >= deadlineMs) return;
    if (deadlineMs - now < ms) ms = static_cast<uint32_t>(deadlineMs - now);
    SysClock_SleepMs(ms);
}

int PPLayer_ReadCard(uint16_t timeout, S_PAY_ORDER* order, char* hostDateTime) {
    // The whole read, every retry and fallback pass included, gets the time
    // one card request would: a chip card left in the reader after the stripe
    // fallback started would otherwise be asked about for ever.
    const uint64_t deadline = SysClock_MonotonicMs() + (static_cast<uint64_t>(timeout) + 1u) * 1000u;
    SPadProfile* profile = aux_PadProfile_Edit();
    uint8_t stripeOnly = profile->ucEMVSupport ? 0 : 1;
    uint8_t mask = CARD_READER_STRIPE | CARD_READER_CHIP | CARD_READER_CLESS;
    int clessFailures = 0, chipAttempts = 0;
    const char* readError = CP1251("ОШИБКА ЧТЕНИЯ КАРТОЧКИ|ПОПРОБУЙТЕ СНОВА");
    bool read = false, byStripe = false;

    for (;;) {
        if (SysClock_MonotonicMs() >= deadline) {
            LogString("ERROR. PPLayer_ReadCard. No card read within [%u] s.", static_cast<unsigned>(timeout));
            break;
        }
        DisplayClear();
        if (!profile->ucClessSupport) {
            mask &= static_cast<uint8_t>(~CARD_READER_CLESS);
        } else if (CardReader_SetClessParam(order, hostDateTime) != RES_OK) {
            profile->ucClessSupport = 0;
            mask &= static_cast<uint8_t>(~CARD_READER_CLESS);
        }
        const char* prompt;
        if (!order->ucIsChipCard || stripeOnly)
            prompt = stripeOnly ? CP1251("ПОЖАЛУЙСТА,|ПРОВЕДИТЕ КАРТОЧКУ|ПОЛОСОЙ")
                                : CP1251("ПОЖАЛУЙСТА,|ВСТАВЬТЕ КАРТОЧКУ");
        else
            prompt = CP1251("ПОЖАЛУЙСТА,|ВСТАВЬТЕ КАРТОЧКУ|ЧИПОМ");
        aux_PPLayer_Prompt(prompt);
        BeepNormal();

        uint8_t state = CARD_STATE_NONE;
        int rc = CardRequestUntil(mask, CARD_REQUEST_P1, deadline, CARD_REQUEST_P2, &state, order);
        if (rc != RES_OK) {
            LogString("ERROR. PPLayer_ReadCard. CardRequest: [%ld]", static_cast<long>(rc));
            break;
        }

        if (state == CARD_STATE_STRIPE) {
            if (!profile->ucEMVSupport) stripeOnly = 1;
            if (order->ucTrack2Len >= PP_MIN_TRACK2_LEN) {
                if (!order->ucIsChipCard || stripeOnly) {
                    read = byStripe = true;
                    break;
                }
                LogString("PPLayer_ReadCard. Chip is present, re-read card.");
                continue;
            }
            aux_PPLayer_DisplayText(readError, 2, PP_ALIGN_CENTER);
            aux_PPLayer_PauseBefore(PP_READ_ERROR_SHOW_MS, deadline);
            LogString("PPLayer_ReadCard. Bad stripe (len [%d], IsChip [%d]). Re-read", order->ucTrack2Len,
                      order->ucIsChipCard);
            continue;
        }
        if (state == CARD_STATE_CHIP) {
            if (!profile->ucEMVSupport) {
                stripeOnly = 1;
                aux_PPLayer_PauseBefore(PP_CHIP_RETRY_PAUSE_MS, deadline);
                continue;
            }
            // With the stripe fallback active the chip is not read: the
            // cardholder is given time to take the card out and swipe it.
            if (profile->ucChipDisabled) {
                aux_PPLayer_PauseBefore(PP_CHIP_RETRY_PAUSE_MS, deadline);
                continue;
            }
            order->ucCardEntry = ENTRY_CHIP;
            order->ucIsChipCard = 1;
            ++chipAttempts;
            aux_PPLayer_Prompt(CP1251("ПОЖАЛУЙСТА,ПОДОЖДИТЕ|ЧТЕНИЕ КАРТОЧКИ"));
            rc = EMVReadTK(g_Config.szTerminalId, order);
            if (rc == RES_OK || rc == RES_EMV_CHIP_RETRY)
                LogString("INFO. PPLayer_ReadCard. EMVReadTK: [%ld]", static_cast<long>(rc));
            else
                LogString("ERROR. PPLayer_ReadCard. EMVReadTK: [%ld]", static_cast<long>(rc));
            if (rc == RES_OK) {
                read = true;
                break;
            }
            if (rc != RES_EMV_CHIP_RETRY) return RES_PP_CARD_READ;
            if (chipAttempts >= PP_CHIP_ATTEMPTS) {
                stripeOnly = 1;
                profile->ucChipDisabled = 1;
            }
            aux_PPLayer_PauseBefore(PP_CHIP_RETRY_PAUSE_MS, deadline);
            continue;
        }
        if (state == CARD_STATE_CANCELLED) {
            LogString("PPLayer_ReadCard. Cancelled [3].");
            break;
        }
        if (state == CARD_STATE_CLESS) {
            rc = CardReader_GetClessResult(order);
            LogString("%s. PPLayer_ReadCard. Contactless [%lu].", rc == RES_OK ? "INFO" : "ERROR",
                      static_cast<unsigned long>(rc));
            if (rc == RES_OK) {
                order->ucCardEntry = ENTRY_CLESS;
                DisplayClear();
                read = true;
                break;
            }
            if (++clessFailures < PP_CLESS_ATTEMPTS) {
                aux_PPLayer_DisplayText(readError, 2, PP_ALIGN_CENTER);
                aux_PPLayer_PauseBefore(PP_READ_ERROR_SHOW_MS, deadline);
            } else {
                order->ucIsChipCard = 1;
                profile->ucClessSupport = 0;
            }
            continue;
        }
        // A state the reader does not define brings no card data: not a read card.
        LogString("ERROR. PPLayer_ReadCard. Unknown card state [%d].", state);
        break;
    }

    if (read && byStripe) {
        // A stripe read is entry mode 1, even after a chip attempt that asked for a retry;
        // with the stripe fallback active the stripe of a chip card is mode 6.
        order->ucCardEntry = ENTRY_STRIPE;
        if (profile->ucChipDisabled && order->ucIsChipCard) order->ucCardEntry = ENTRY_FALLBACK;
    }
    DisplayClear();
    SysClock_SleepMs(1);
    return read ? RES_OK : RES_PP_CARD_READ;
}

int PPLayer_InputPin(uint16_t timeout, const char* keyHex, uint8_t mkIndex, uint8_t wkIndex, S_PAY_ORDER* order) {
    uint8_t key[16];
    bool keyOk = keyHex != nullptr && strnlen(keyHex, 33) >= 32;
    for (int i = 0; keyOk && i < 32; ++i) {
        char c = keyHex[i];
        keyOk = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    }
    if (!keyOk) {
        LogString("ERROR. PPLayer_InputPin. Working key is not 32 hexadecimal characters.");
        return RES_KEY_REFUSED;
    }
    Convert_HexToBin(keyHex, key, 16);
    uint32_t kcv = 0;
    int rc = KeyLoad(mkIndex, PP_KEY_WK, wkIndex, key, &kcv);
    memset(key, 0, sizeof(key));
    if (rc != RES_OK) return rc;

    BeepNormal();
    memset(g_ucOutBuf, 0, PP_PIN_AMOUNT_LINE_SIZE);
    if (PadProfile_Get()->ulKwpadVer >= KWPAD_VER_AMOUNT_LINE && order->ucOpType != OP_BALANCE) {
        char amount[BIGINT_TEXT_SIZE + CURRENCY_DISPLAY_SIZE] = {0};
        char currency[sizeof(order->szCurrency) + 1] = {0};
        memcpy(currency, order->szCurrency, sizeof(order->szCurrency));
        BigInt_IntToStr(&order->stAmount, amount);
        Currency_FormatAmount(currency, amount);
        snprintf(reinterpret_cast<char*>(g_ucOutBuf), PP_PIN_AMOUNT_LINE_SIZE, "%s %s", currency, amount);
    }
    uint8_t block[PP_PINBLOCK_MAX] = {0}, blockLen = 0;
    rc = PinBlockInitEx(wkIndex, 4, 12, timeout, order->szPAN, block, &blockLen);
    if (rc != RES_OK) {
        LogString("ERROR. PPLayer_InputPin. PinBlockInitEx reason code: [%d]", rc & 0xFF);
        return RES_PP_PIN;
    }
    memset(order->ucPINBlock, 0, sizeof(order->ucPINBlock));
    memcpy(order->ucPINBlock, block, blockLen);
    memset(block, 0, sizeof(block));
    return RES_OK;
}

// Formats "amount currency"; false when it would not fit the confirmation line.
static bool aux_PPLayer_AmountLine(const char* amount, const char* currency, char* line) {
    if (amount == nullptr || currency == nullptr) return false;
    size_t n = strnlen(amount, 64) + strnlen(currency, 64) + 1;
    if (n > PP_AMOUNT_LINE_MAX) return false;
    snprintf(line, PP_AMOUNT_LINE_MAX + 1, "%s %s", amount, currency);
    return true;
}

int PPLayer_ConfirmAmount(uint16_t timeout, uint8_t operation, const char* amount, const char* currency) {
    char line[PP_AMOUNT_LINE_MAX + 1];
    if (!aux_PPLayer_AmountLine(amount, currency, line)) {
        LogString("ERROR. PPLayer_ConfirmAmount. Invalid params [amount:%s;cur:%s]", amount ? amount : "",
                  currency ? currency : "");
        return RES_PP_NOT_CONFIRMED;
    }
    int rc = DisplayClear();
    if (rc != RES_OK) LogString("ERROR. PPLayer_ConfirmAmount. DisplayClear: %ld", static_cast<long>(rc));
    const char* title;
    switch (operation) {
    case OP_SALE: title = CP1251("СУММА"); break;
    case OP_RETURN: title = CP1251("ВОЗВРАТ"); break;
    case OP_REVERSAL: title = CP1251("ОТМЕНА"); break;
    default:
        LogString("ERROR. PPLayer_ConfirmAmount. Unknown operation: %d", operation);
        return RES_PP_NOT_CONFIRMED;
    }
    rc = aux_PPLayer_DisplayText(title, 2, PP_ALIGN_LEFT);
    if (rc == RES_OK) rc = aux_PPLayer_DisplayText(line, 3, PP_ALIGN_RIGHT);
    LogString("INFO. PPLayer_ConfirmAmount. DisplayText: %ld", static_cast<long>(rc));

    rc = aux_PPLayer_WaitKey(KBD_MODE_CONFIRM, timeout);
    DisplayClear();
    if (rc != RES_OK) {
        LogString("ERROR. PPLayer_ConfirmAmount. KbdInputValue: %ld", static_cast<long>(rc));
        return RES_PP_NOT_CONFIRMED;
    }
    return RES_OK;
}

int PPLayer_ShowBalance(uint16_t timeout, const char* amount, const char* currency) {
    char line[PP_AMOUNT_LINE_MAX + 1];
    if (!aux_PPLayer_AmountLine(amount, currency, line)) {
        LogString("ERROR. PPLayer_ShowBalance. Invalid params [amount:%s;cur:%s]", amount ? amount : "",
                  currency ? currency : "");
        return RES_PP_BALANCE;
    }
    DisplayClear();
    int rc = aux_PPLayer_DisplayText(CP1251("СУММА НА СЧЕТЕ"), 2, PP_ALIGN_LEFT);
    if (rc == RES_OK) rc = aux_PPLayer_DisplayText(line, 3, PP_ALIGN_RIGHT);
    if (rc != RES_OK) {
        LogString("ERROR. PPLayer_ShowBalance. DisplayText: %ld", static_cast<long>(rc));
        return RES_PP_BALANCE;
    }
    BeepNormal();
    aux_PPLayer_WaitKey(KBD_MODE_CONFIRM, timeout);
    DisplayClear();
    return RES_OK;
}

int PPLayer_ShowMessage(const char* text, uint16_t timeout) {
    DisplayClear();
    int rc = aux_PPLayer_DisplayText(text, 2, PP_ALIGN_CENTER);
    if (rc != RES_OK) {
        LogString("ERROR. PPLayer_ShowMessage. DisplayText: %ld", static_cast<long>(rc));
        return RES_PP_CONNECT;
    }
    if (timeout != 0) {
        BeepNormal();
        aux_PPLayer_WaitKey(KBD_MODE_ACK, timeout);
    }
    return RES_OK;
}

int PPLayer_GetPPFileName(const char* devName, char* fileName) {
    const char* base = nullptr;
    if (devName == nullptr) devName = "";
    if (strstr(devName, "Sagem") != nullptr)
        base = "SAGEMPPAD";
    else if (strstr(devName, "Ingenico") != nullptr)
        base = "LANDPAY";
    else if (PadProfile_Get()->usPinpadType == PP_TYPE_CLESS)
        base = "E520A9L";
    else if (strstr(devName, "Landi") != nullptr)
        base = "LANDI";
    if (base == nullptr) return 1;
    snprintf(fileName, PP_FILE_NAME_SIZE, "%s.TLV", base);
    return RES_OK;
}

// kernel/kernel_init.cpp
// Kernel initialisation: configuration, the operation's currency, and the
// PIN pad and host link the operation will need.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "host/netlayer.h"
#include "host/tmmsgbuilder.h"
#include "kernel/batch.h"
#include "kernel/kernel.h"
#include "kernel/reversal.h"
#include "pinpad/emv.h"
#include "pinpad/padprofile.h"
#include "pinpad/ppfile.h"
#include "pinpad/pplayer.h"
#include "support/bigint.h"
#include "support/cp1251.h"
#include "support/currency.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/sysclock.h"

// What the TLS client loads from the three files the PIN pad keeps.
static const S_PP_SSL_PARSERS kSslParsers = {NetLayer_ParseCAFile, NetLayer_ParseClientCertFile,
                                             NetLayer_ParseClientKeyFile};

// Divides a non-negative or negative amount by 100, dropping the remainder.
static void aux_Kernel_DivideBy100(SBigInt* amount) {
    uint64_t value = static_cast<uint64_t>(amount->ulHigh) * 1000000000ull + amount->ulLow;
    value /= 100;
    amount->ulHigh = static_cast<uint32_t>(value / 1000000000ull);
    amount->ulLow = static_cast<uint32_t>(value % 1000000000ull);
}

// Capitals of an ASCII text, in place: currency codes are read in any case.
static void aux_Kernel_UpperCase(char* text) {
    for (; *text != '\0'; ++text) *text = static_cast<char>(toupper(static_cast<unsigned char>(*text)));
}

// True for the operations whose currency goes to the bank (field 49) and to the chip.
static bool aux_Kernel_SendsCurrency(uint8_t op) {
    return op == OP_SALE || op == OP_RETURN || op == OP_REVERSAL || op == OP_BALANCE;
}

// Settles szCurrency: defaults, the old rouble's conversion, the enabled list
// and the numeric code the bank gets; 0, 1002 or 1006.
static int aux_Kernel_SettleCurrency(S_PAY_ORDER* order) {
    if (order->szCurrency[0] == '\0' && g_ComConfig.ucForceByr == 1) {
        strcpy(order->szCurrency, "BYR");
        LogStringEx(LOG_WARNING, "WARNING. Kernel_Initialize. Input currency assumed as BYR because of local settings!");
    }
    if (order->szCurrency[0] == '\0' && g_ComConfig.ucForceByn == 1) {
        strcpy(order->szCurrency, "BYN");
        LogStringEx(LOG_WARNING, "WARNING. Kernel_Initialize. Input currency assumed as BYN because of local settings!");
    }

    // The request and both settings may write a code in small letters
    // ("basecurrency=usd"); they are compared, and sent, in capitals.
    aux_Kernel_UpperCase(order->szCurrency);
    aux_Kernel_UpperCase(g_Config.szEnabledCurrency);
    aux_Kernel_UpperCase(g_Config.szBaseCurrency);

    // BYN is always accepted; the list is widened in memory only. A list too
    // full to take "BYN|" still accepts BYN rather than running over its field.
    char* enabled = g_Config.szEnabledCurrency;
    bool bynUnlisted = false;
    if (strstr(enabled, "BYN") == nullptr) {
        if (strlen(enabled) + 4 < sizeof(g_Config.szEnabledCurrency)) strcat(enabled, "BYN|");
        else bynUnlisted = true;
    }

    const uint8_t op = order->ucOpType;
    // The echo test carries no amount and its request no currency: like the
    // reports it takes the base currency rather than failing every time.
    if (op != OP_DAY_REPORT && op != OP_CLOSE_DAY && op != OP_REVERSE_LAST && op != OP_TEST_BANK) {
        if (strcmp(order->szCurrency, "BYR") == 0) {
            strcpy(order->szCurrency, "BYN");
            aux_Kernel_DivideBy100(&order->stAmount);
            aux_Kernel_DivideBy100(&order->stOrigAmount);
            // Less than one new kopeck would go to the bank as a payment of nothing.
            const SBigInt zero = {};
            if ((op == OP_SALE || op == OP_RETURN || op == OP_REVERSAL) && BigInt_ModCmp(&order->stAmount, &zero) == 0) {
                LogString("ERROR. Kernel_Initialize. Amount in BYR below one kopeck of BYN");
                return RES_REQ_AMOUNT;
            }
        } else if (order->szCurrency[0] == '\0') {
            // A payment must name its currency unless the device settings supplied one.
            strcpy(order->szCurrency, "   ");
        }
    }

    if (order->szCurrency[0] == '\0') {
        strcpy(order->szCurrency, g_Config.szBaseCurrency);
    } else {
        bool listed = strstr(enabled, order->szCurrency) != nullptr ||
                      (bynUnlisted && strcmp(order->szCurrency, "BYN") == 0);
        bool base = strncmp(order->szCurrency, g_Config.szBaseCurrency, 3) == 0;
        if (!(listed || base) || strlen(order->szCurrency) < 3) {
            LogString("ERROR. Kernel_Initialize. Currency not enable: [%.3s]", order->szCurrency);
            return RES_CURRENCY_DISABLED;
        }
    }

    // A code without its ISO number would reach the bank as "000", a payment
    // in no currency: it is refused like one not enabled, before the pad is asked.
    char numeric[4] = "";
    Currency_ConvToNum(order->szCurrency, numeric);
    order->usCurrencyCode = static_cast<uint16_t>(atoi(numeric));
    if (order->usCurrencyCode == 0 && aux_Kernel_SendsCurrency(op)) {
        LogString("ERROR. Kernel_Initialize. Currency without a numeric code: [%.3s]", order->szCurrency);
        return RES_CURRENCY_DISABLED;
    }
    return RES_OK;
}

int Kernel_Initialize(S_PAY_ORDER* order) {
    int rc = Param_LoadConfig();
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_Initialize. Load config error %d", rc);
        return rc;
    }

    rc = aux_Kernel_SettleCurrency(order);
    if (rc != RES_OK) return rc;
    char amount[32];
    BigInt_IntToStr(&order->stAmount, amount);
    LogStringEx(LOG_INFO, "INFO. Kernel_Initialize. Currency [%s:%u], amount [%s].", order->szCurrency,
                order->usCurrencyCode, amount);

    NetLayer_Init();
    TMMsgBuilder_Init();
    rc = Batch_Initialize();
    if (rc != RES_OK) return rc;

    rc = PPLayer_Connect(static_cast<uint8_t>(g_ComConfig.usComPort));
    if (rc != RES_OK) {
        LogString("ERROR. Kernel_Initialize. PPLayer_Connect(%u):[%d]", g_ComConfig.usComPort, rc);
        return RES_PP_CONNECT;
    }
    PPLayer_ShowMessage(CP1251("ПОДОЖДИТЕ,ПОЖАЛУЙСТА|ИНИЦИАЛИЗАЦИЯ"), 0);

    // What the pad tells of itself goes to its profile.
    rc = PPLayer_CheckKWPADVer(nullptr, nullptr);
    if (rc != RES_OK) return rc;

    uint32_t kcv = 0;
    rc = PPlayer_CheckPA(nullptr, &kcv);
    if (rc != RES_OK) return rc;
    LogStringEx(LOG_INFO, "TK KCV [0x%06lX].", static_cast<unsigned long>(kcv));

    rc = PPlayer_CheckEMV(nullptr, nullptr);
    if (rc != RES_OK) return rc;

    LogStringEx(LOG_INFO, "INFO. Kernel_Initialize. Load CRT, mem. avail.: %lu", 640000ul);
    NetLayer_InitCredentials();
    const SPadProfile* pad = PadProfile_Get();
    const struct { const char* name; uint32_t crc; } files[] = {
        {"SSLA", pad->ulSSLACrc}, {"SSLC", pad->ulSSLCCrc}, {"SSLK", pad->ulSSLKCrc}};
    for (const auto& file : files) {
        rc = PPlayer_UpdateAndParseSSLFile(file.name, file.crc, &kSslParsers);
        if (rc != RES_OK) {
            LogString("ERROR. Kernel_Initialize. %s: %d", file.name, rc);
            return RES_TLS_PAD_FILE;
        }
    }

    Kernel_ReversalStarting(order);
    EMV_SetRRNInputs(Batch_GetNumber(), Batch_GetRRNIndex());

    LogString("SUCCESS. Kernel_Initialize");
    return RES_OK;
}

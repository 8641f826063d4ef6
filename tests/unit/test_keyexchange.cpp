// Remote key download: reading key-data elements, picking the expected key,
// and whole downloads against the emulated host and PIN pad (what the pad is
// told to load, what it shows, what is kept in DEVICE.INI).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/keyexchange.h"
#include "host/keyexchange_internal.h"
#include "host/transmaster.h"
#include "kernel/batch.h"
#include "pinpad/des.h"
#include "pinpad/ppfile.h"
#include "support/convert.h"
#include "support/cp1251.h"
#include "support/payorder.h"
#include "support/result_codes.h"
#include "tests/unit/host_pad_emu.h"

namespace {

using emu::Has;

const char kKeyHex[] = "0123456789ABCDEFFEDCBA9876543210";  // the host emulator's key

std::unique_ptr<emu::Workspace> g_ws;
// The answer buffer the batch close hands to a download.
uint8_t g_answer[TRANSMASTER_MAX_PACKET];

std::string Three(size_t n) {
    char text[8];
    snprintf(text, sizeof(text), "%03zu", n);
    return text;
}
std::string Element(const std::string& tag, const std::string& value) { return tag + Three(value.size()) + value; }
// Field 48 of a key-download answer carrying keyData as its "KYVL" value.
std::string Field48(const std::string& keyData) {
    std::string kyvl = Element("KYVL", keyData);
    return "01" + Three(kyvl.size()) + kyvl;
}

// The check value the pad reports for a 16-byte key given in hexadecimal.
std::string KcvText(const char* hex) {
    uint8_t key[16];
    Convert_HexToBin(hex, key, 16);
    uint8_t block[8] = {};
    Encode_3DES(block, block, 8, key);
    char text[16];
    snprintf(text, sizeof(text), "KCV [0x%02X%02X%02X]", block[0], block[1], block[2]);
    return text;
}

class KeyExchangeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_ws.reset(new emu::Workspace()); }
    static void TearDownTestSuite() { g_ws.reset(); }
    void SetUp() override {
        emu::ClearLog();
        KeyExchange_ResetLoadErrFlags();
        memset(&g_Config, 0, sizeof(g_Config));
        strcpy(g_Config.szTerminalId, "TERM0001");
        g_Config.usHoldOns = 5;
        g_ws->dir().write("DATA/DEVICE.INI", "COMPORT=1\n");
        KeyExchange_SetPad(Batch_GetKeyPadOps());  // the pad as the batch close drives it
    }
    void RequireEmulators() {
        if (!g_ws->ready()) GTEST_SKIP() << "openssl, host_emu or pinpad_emu missing";
    }
};

// One element of key data: tag, three-digit length, value.
TEST_F(KeyExchangeTest, ParseKeyReadsOneElement) {
    const std::string key32 = kKeyHex;
    struct Case {
        const char* name;
        std::string element;
        int result;
        uint16_t hexLenOut;
        uint8_t type;
        const char* logged;
    };
    const Case cases[] = {
        {"working key", Element("MTPK", key32), 0, 32, RTPS_KEY_MTPK, nullptr},
        {"second working-key tag", Element("KTPK", key32) + "MTMK000", 0, 32, RTPS_KEY_KTPK, nullptr},
        {"transport master key", Element("MTMK", key32), 0, 32, RTPS_KEY_MTMK, nullptr},
        {"lower-case hexadecimal", Element("MTMP", "0123456789abcdeffedcba9876543210"), 0, 32, RTPS_KEY_MTMP, nullptr},
        {"short key is skipped", Element("MTMK", key32.substr(0, 16)), RES_KEY_SKIPPED, 16, RTPS_KEY_MTMK,
         "WARNING. Skipping remote key [MTMK] of unsupported length: Hex size [16], expected [32]."},
        {"unknown tag is skipped", Element("KDTT", "4"), RES_KEY_SKIPPED, 1, RTPS_KEY_UNKNOWN,
         "WARNING. Skipping unsupported key type [KDTT] of Hex size [1]."},
        {"fewer than 8 characters", "MTPK000", RES_REMOTE_KEYS_BAD, 32, RTPS_KEY_UNKNOWN, nullptr},
        {"value cut short", "MTPK032" + key32.substr(0, 31), RES_REMOTE_KEYS_BAD, 32, RTPS_KEY_UNKNOWN, nullptr},
        {"length not digits", "MTPK0x2" + key32, RES_REMOTE_KEYS_BAD, 32, RTPS_KEY_UNKNOWN, nullptr},
        {"key not hexadecimal", Element("MTPK", "G" + key32.substr(1)), RES_REMOTE_KEYS_BAD, 32, RTPS_KEY_MTPK,
         "ERROR. aux_ParseKey. Key [MTPK] is not hexadecimal."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ClearLog();
        uint16_t hexLen = 32;
        uint8_t type = RTPS_KEY_UNKNOWN;
        uint8_t key[16] = {};
        EXPECT_EQ(c.result, aux_ParseKey(c.element.c_str(), &hexLen, &type, key));
        EXPECT_EQ(c.hexLenOut, hexLen);
        if (c.result != RES_REMOTE_KEYS_BAD) {
            EXPECT_EQ(c.type, type);
        }
        if (c.result == 0) {
            uint8_t expected[16];
            Convert_HexToBin(c.element.c_str() + 7, expected, 16);
            EXPECT_EQ(0, memcmp(expected, key, 16));
            EXPECT_EQ(0x01, key[0]);
            EXPECT_EQ(0x10, key[15]);
        }
        if (c.logged) {
            EXPECT_TRUE(Has(emu::ReadLog(), c.logged)) << emu::ReadLog();
        }
    }
}

// Key data without a loadable match never reaches the pad (no pad is connected here:
// a load attempt would end with a link error instead of these codes).
TEST_F(KeyExchangeTest, SaveKeyWithoutMatch) {
    const std::string key32 = kKeyHex;
    struct Case {
        const char* name;
        std::string data;
        uint8_t expected;
        int result;
        const char* logged;
    };
    const Case cases[] = {
        {"empty key data", "", RTPS_KEY_MTMK, RES_KEY_NOT_FOUND, "ERROR. aux_SaveKey. Expected key [MTMK] not found."},
        {"transport key of 16 characters", Element("MTMK", key32.substr(0, 16)), RTPS_KEY_MTMK, RES_KEY_NOT_FOUND,
         "Hex size [16], expected [32]."},
        {"master key where the transport key is expected", Element("MTMP", key32), RTPS_KEY_MTMK, RES_KEY_NOT_FOUND,
         "WARNING. Ignoring key [MTMP] due to unexpected type [MTMK]."},
        {"working key is no master key", Element("KTPK", key32), RTPS_KEY_MTMP, RES_KEY_NOT_FOUND,
         "WARNING. Ignoring key [KTPK] due to unexpected type [MTMP]."},
        {"unknown tags only", Element("KDTT", "4") + Element("ABCD", key32), RTPS_KEY_MTPK, RES_KEY_NOT_FOUND,
         "Skipping unsupported key type [ABCD] of Hex size [32]."},
        {"malformed tail ends the walk", Element("MTMP", key32) + "MTPK03", RTPS_KEY_MTPK, RES_REMOTE_KEYS_BAD,
         "Ignoring key [MTMP]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ClearLog();
        uint32_t kcv = 0xDEAD;
        EXPECT_EQ(c.result, aux_SaveKey(c.data.c_str(), c.expected, &kcv));
        EXPECT_EQ(0, KeyExchange_GetLoadErrFlags());
        EXPECT_TRUE(Has(emu::ReadLog(), c.logged)) << emu::ReadLog();
    }
    EXPECT_EQ("COMPORT=1\n", g_ws->dir().read("DATA/DEVICE.INI")) << "no key written without a match";
}

// Whole downloads that end with the key in the pad.
TEST_F(KeyExchangeTest, DownloadLoadsKeyIntoPad) {
    RequireEmulators();
    const std::string key32 = kKeyHex;
    const std::string other = "00112233445566778899AABBCCDDEEFF";
    struct Case {
        const char* name;
        uint8_t keyType;
        std::string answer;    // host scenario line
        const char* load;      // pad trace of the KeyLoad request
        const char* keyName;   // shown on the pad
        const char* keyHex;    // key the pad received
        const char* savedKey;  // REMOTEOPENKEY afterwards, null when untouched
    };
    const Case cases[] = {
        {"transport master key", RTPS_KEY_MTMK, "default", "KeyLoad mk=1 type=1 index=2", "MTMK", kKeyHex, nullptr},
        {"master key", RTPS_KEY_MTMP, "default", "KeyLoad mk=2 type=1 index=3", "MTMP", kKeyHex, nullptr},
        {"working key", RTPS_KEY_MTPK, "default", "KeyLoad mk=3 type=2 index=2", "MTPK", kKeyHex, kKeyHex},
        {"working key under its second tag, after a hold-on", RTPS_KEY_MTPK,
         "holdon; approve 800 f48=" + Field48(Element("KTPK", other)), "KeyLoad mk=3 type=2 index=2", "MTPK",
         other.c_str(), other.c_str()},
        {"first matching element wins, others skipped", RTPS_KEY_MTMK,
         "approve 800 f48=" + Field48(Element("MTMP", key32) + Element("MTMK", other.substr(0, 16)) +
                                      Element("MTMK", other) + Element("MTMK", key32)),
         "KeyLoad mk=1 type=1 index=2", "MTMK", other.c_str(), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ClearLog();
        g_ws->dir().write("DATA/DEVICE.INI", "COMPORT=1\n");
        emu::HostEmu host(g_ws->dir(), c.answer);
        emu::PadEmu pad(g_ws->dir(), "");
        ASSERT_TRUE(pad.connected());
        memset(g_answer, 0x5A, sizeof(g_answer));

        EXPECT_EQ(0, KeyExchange(c.keyType, g_answer, 7, 12));

        std::string trace = pad.trace();
        EXPECT_EQ(1, emu::Count(trace, "KeyLoad")) << trace;
        EXPECT_TRUE(Has(trace, c.load)) << trace;
        EXPECT_TRUE(Has(trace, CP1251("ОБНОВЛЕНИЕ КЛЮЧЕЙ"))) << trace;
        EXPECT_TRUE(Has(trace, std::string(CP1251("УДАЛ КЛЮЧ [")) + c.keyName + "]")) << trace;
        EXPECT_TRUE(Has(trace, CP1251("УСПЕШНО ОБНОВЛЕН"))) << trace;
        EXPECT_TRUE(Has(trace, KcvText(c.keyHex))) << trace;
        EXPECT_TRUE(Has(trace, "KbdInputInit mode=7")) << "the outcome waits for a key";
        EXPECT_EQ(0, KeyExchange_GetLoadErrFlags());

        std::string hostTrace = host.trace();
        EXPECT_TRUE(Has(hostTrace, "mti=1804")) << hostTrace;
        EXPECT_TRUE(Has(hostTrace, std::string("KYTP003T") + (c.keyType == RTPS_KEY_MTMK ? "MK" : c.keyType == RTPS_KEY_MTMP ? "MP" : "PK")))
            << hostTrace;

        std::string ini = g_ws->dir().read("DATA/DEVICE.INI");
        if (c.savedKey) {
            EXPECT_TRUE(Has(ini, std::string("REMOTEOPENKEY=") + c.savedKey)) << ini;
            EXPECT_TRUE(Has(emu::ReadLog(), "INFO. Saving working key [")) << emu::ReadLog();
        } else {
            EXPECT_FALSE(Has(ini, "REMOTEOPENKEY")) << ini;
        }
        // Neither the key data nor the answer stay behind in the work area or the answer buffer.
        std::string shared(reinterpret_cast<char*>(g_answer), sizeof(g_answer));
        shared.append(reinterpret_cast<const char*>(aux_KeyExchange_Work()), sizeof(S_PAY_ORDER));
        EXPECT_FALSE(Has(shared, c.keyHex));
    }
}

// Downloads that fail: the code, the failure flags and what the pad shows.
TEST_F(KeyExchangeTest, DownloadFailures) {
    RequireEmulators();
    const std::string key32 = kKeyHex;
    const char* fetch = CP1251("ПОЛУЧЕНИЯ");
    const char* store = CP1251("ЗАПИСИ");
    struct Case {
        const char* name;
        uint8_t keyType;
        std::string answer;       // host scenario; empty: nothing listens
        std::string padScenario;
        uint16_t holdOns;
        bool removeIni;
        int result;
        const char* stage;
        uint8_t errFlags;
        int keyLoads;
        const char* logged;
    };
    const Case cases[] = {
        {"host refuses the transport key", RTPS_KEY_MTMK, "decline 055", "", 5, false, RES_KEY_REFUSED, fetch, 0, 0,
         "ERROR. KeyExchange. Result: 1450"},
        {"only hold-ons", RTPS_KEY_MTPK, "holdon 2", "", 2, false, RES_HOST_ONLY_HOLDON, fetch, 0, 0,
         "WARNING. KeyExchange. HoldOn[2]"},
        {"answer lost", RTPS_KEY_MTPK, "drop", "", 5, false, RES_HOST_SEND, fetch, 0, 0,
         "ERROR. KeyExchange. Receive: 1081"},
        {"front end refuses", RTPS_KEY_MTMP, "status 41", "", 5, false, RES_HOST_STATUS_BASE + 0x41, fetch, 0, 0,
         "ERROR. KeyExchange. Result: 2065"},
        {"no key data in the answer", RTPS_KEY_MTPK, "approve 800 f48=", "", 5, false, RES_HOST_NO_RRN_AUTH, fetch, 0,
         0, "ERROR. KeyExchange. Result: 1087"},
        {"no host", RTPS_KEY_MTMK, "", "", 5, false, RES_HOST_CONNECT, fetch, 0, 0,
         "ERROR. KeyExchange. Connect: 1080"},
        {"nothing read when no answers are allowed", RTPS_KEY_MTPK, "default", "", 0, false, RES_KEY_NOT_FOUND, store,
         0, 0, "ERROR. aux_SaveKey. Expected key [MTPK] not found."},
        {"expected key absent", RTPS_KEY_MTMK, "approve 800 f48=" + Field48(Element("MTMK", key32.substr(0, 16))), "",
         5, false, RES_KEY_NOT_FOUND, store, 0, 0, "Hex size [16], expected [32]."},
        {"malformed key data", RTPS_KEY_MTMK, "approve 800 f48=" + Field48("MTMK032ABC"), "", 5, false,
         RES_REMOTE_KEYS_BAD, store, 0, 0, "ERROR. aux_SaveKey. Malformed key data at [0]."},
        {"pad refuses the master key", RTPS_KEY_MTMP, "default", "fault=status:0x0103@cmd:6.27\n", 5, false,
         RES_KEY_REFUSED, store, 2, 1, "ERROR. KeyLoad MK[3] (MKIdx 2)"},
        {"pad refuses the working key", RTPS_KEY_MTPK, "default", "fault=status:0x0103@cmd:6.27\n", 5, false,
         RES_KEY_REFUSED, store, 4, 1, "ERROR. Saving working key [MTPK] locally [1450]."},
        {"working key not kept: not loaded", RTPS_KEY_MTPK, "default", "", 5, true, RES_CFG_FILE, store, 4, 0,
         "ERROR. Saving working key [MTPK] locally [1020]."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ClearLog();
        KeyExchange_ResetLoadErrFlags();
        g_Config.usHoldOns = c.holdOns;
        if (c.removeIni) unlink("DATA/DEVICE.INI");
        else g_ws->dir().write("DATA/DEVICE.INI", "COMPORT=1\n");
        std::unique_ptr<emu::HostEmu> host;
        if (!c.answer.empty()) {
            host.reset(new emu::HostEmu(g_ws->dir(), c.answer));
        } else {
            snprintf(g_Config.szHost, sizeof(g_Config.szHost), "127.0.0.1");
            g_Config.usSecPort = emu::FreePort();
        }
        std::string padTrace;
        {
            emu::PadEmu pad(g_ws->dir(), c.padScenario);
            ASSERT_TRUE(pad.connected());
            EXPECT_EQ(c.result, KeyExchange(c.keyType, g_answer, 1, 1));
            padTrace = pad.trace();
        }
        EXPECT_EQ(c.errFlags, KeyExchange_GetLoadErrFlags());
        EXPECT_EQ(c.keyLoads, emu::Count(padTrace, "KeyLoad")) << padTrace;
        char code[32];
        snprintf(code, sizeof(code), "%s [%d]", CP1251("ОШИБКА"), c.result);
        EXPECT_TRUE(Has(padTrace, code)) << padTrace;
        EXPECT_TRUE(Has(padTrace, c.stage)) << padTrace;
        EXPECT_TRUE(Has(padTrace, std::string(CP1251("УДАЛ КЛЮЧА [")) + GetRTPSKeyName(c.keyType) + "]"))
            << padTrace;
        EXPECT_TRUE(Has(emu::ReadLog(), c.logged)) << emu::ReadLog();
        // The working key is kept before the pad is asked to load it; nothing else is kept.
        bool keptFirst = c.keyType == RTPS_KEY_MTPK && c.keyLoads == 1;
        if (!c.removeIni) {
            EXPECT_EQ(keptFirst, Has(g_ws->dir().read("DATA/DEVICE.INI"), "REMOTEOPENKEY"));
        }
        if (c.holdOns == 0) {
            EXPECT_TRUE(Has(host->trace(), "mti=1804")) << "the request still goes out";
        }
    }
}

// A key type that cannot be downloaded is refused before any connection.
TEST_F(KeyExchangeTest, UndownloadableTypeRefused) {
    snprintf(g_Config.szHost, sizeof(g_Config.szHost), "127.0.0.1");
    g_Config.usSecPort = emu::FreePort();
    EXPECT_EQ(RES_KEY_SKIPPED, KeyExchange(RTPS_KEY_KTPK, g_answer, 1, 1));
    EXPECT_FALSE(Has(emu::ReadLog(), "Connect")) << emu::ReadLog();
}

}  // namespace

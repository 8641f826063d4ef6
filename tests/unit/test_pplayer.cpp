// The PIN-pad layer against the pad emulator over a real pseudo-terminal:
// connect with speed switching, the application check, the card-reading
// fallbacks, PIN entry, confirmation, balance and message screens.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "pinpad/emv.h"
#include "pinpad/pplayer.h"
#include "pinpad/pplayer_internal.h"
#include "support/cp1251.h"
#include "support/result_codes.h"
#include "tests/unit/pad_session_util.h"

using padtest::Count;
using padtest::PadSession;

namespace {

// The pad's TLS files, so that the application check gets past them.
const char* kTlsFiles = "file=SSLA:ca\nfile=SSLC:cert\nfile=SSLK:key\n";

class PPLayerTest : public PadSession {
protected:
    void SetUp() override {
        PadSession::SetUp();
        order = padtest::SaleOrder();
    }
    // Connects and runs the application check, as initialisation does.
    void Checked(const std::string& scenario) {
        StartConnected(scenario + kTlsFiles);
        uint32_t ver = 0;
        char name[32];
        ASSERT_EQ(RES_OK, PPLayer_CheckKWPADVer(&ver, name));
    }
    // Reader masks of the card requests, in order ("0B,03").
    std::string Masks() const {
        std::string t = trace(), out;
        for (size_t p = t.find("CARDINIT mask="); p != std::string::npos; p = t.find("CARDINIT mask=", p + 1))
            out += (out.empty() ? "" : ",") + t.substr(p + 14, 2);
        return out;
    }
    S_PAY_ORDER order;
};

TEST_F(PPLayerTest, ConnectSwitchesSpeedAndRecordsTheOneThatWorked) {
    struct Case {
        const char* name;
        uint32_t configured, pad;
        int result;
        uint32_t speedAfter;
        const char* written;  // BAUDRATE line in DEVICE.INI afterwards
        const char* lastTried;
    };
    const Case cases[] = {
        {"configured speed works", 115200, 115200, RES_OK, 115200, "BAUDRATE=115200", nullptr},
        {"pad at 19200", 115200, 19200, RES_OK, 19200, "BAUDRATE=19200", nullptr},
        {"pad at 115200", 57600, 115200, RES_OK, 115200, "BAUDRATE=115200", nullptr},
        {"pad at 9600: 19200 not tried twice", 19200, 9600, RES_PP_LINK, 19200, "BAUDRATE=115200", "115200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_dir.write("DATA/DEVICE.INI", "COMPORT=1\nBAUDRATE=115200\n");
        Start("baud=" + std::to_string(c.pad) + "\n", c.configured);
        EXPECT_EQ(c.result, PPLayer_Connect(1));
        EXPECT_EQ(c.speedAfter, g_ComConfig.ulBaudrate);
        EXPECT_NE(std::string::npos, m_dir.read("DATA/DEVICE.INI").find(c.written));
        std::string t = trace();
        if (c.result == RES_OK) {
            EXPECT_EQ(1, PadProfile_Get()->ucPinpadConnected);
            if (c.configured != c.pad) {
                char line[128];
                snprintf(line, sizeof(line), "Autoswitching to baudrate: [%u] from [%u] bps. Res: [0].", c.pad,
                         c.configured);
                EXPECT_NE(std::string::npos, log().find(line));
            }
        } else {
            EXPECT_NE(std::string::npos, log().find("Switch PinPad manually to supported baudrate"));
            size_t last = t.rfind("NOISE line=");
            ASSERT_NE(std::string::npos, last);
            EXPECT_EQ(c.lastTried, t.substr(last + 11, 6));
            EXPECT_EQ(0u, Count(t, "NOISE line=9600"));
        }
        PPLayer_Disconnect();
        m_emu.reset();
    }
}

TEST_F(PPLayerTest, ApplicationCheckGatesVersionsFilesAndRemoteKeys) {
    const char* kRemoteKeys = "update_flags=4\nkey=MK:2:A1B2C3\nkey=MK:3:D4E5F6\n";
    struct Case {
        const char* name;
        std::string scenario;
        const char* remoteKey;
        int result;
        uint8_t emv, cless, remote, width;
        bool askedSerial;
    };
    const Case cases[] = {
        {"too old", "app_version=0x010206FF\n", "", RES_PP_KWPAD_VERSION, 0, 0, 0, 20, false},
        {"oldest accepted, contactless model", "app_version=0x01020700\npad_type=6\n", "", RES_OK, 1, 1, 0, 26,
         false},
        {"Ingenico reads no chip", "app_version=0x01020700\npad_type=3\ndev_name=Ingenico i3070\n", "", RES_OK, 0, 0,
         0, 20, false},
        {"remote keys in force and present", std::string("app_version=0x01020800\n") + kRemoteKeys,
         "00112233445566778899AABBCCDDEEFF", RES_OK, 1, 1, 1, 26, true},
        {"remote working key too short", std::string("app_version=0x01020800\n") + kRemoteKeys,
         "00112233445566778899AABBCCDDEEF", RES_REMOTE_KEYS_BAD, 1, 1, 0, 26, false},
        {"master key 3 missing", "app_version=0x01020800\nupdate_flags=4\nkey=MK:2:A1B2C3\n",
         "00112233445566778899AABBCCDDEEFF", RES_REMOTE_KEYS_BAD, 1, 1, 0, 26, false},
        {"remote keys supported, not configured", "app_version=0x01020800\nupdate_flags=0\n", "", RES_OK, 1, 1, 1,
         26, true},
        {"version without remote keys ignores the flags", std::string("app_version=0x010207FF\n") + kRemoteKeys, "",
         RES_OK, 1, 1, 0, 26, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PadProfile_Reset();
        StartConnected(c.scenario + kTlsFiles);
        strcpy(g_ComConfig.szRemoteOpenKey, c.remoteKey);
        uint32_t ver = 0;
        char name[32] = {0};
        EXPECT_EQ(c.result, PPLayer_CheckKWPADVer(&ver, name));
        EXPECT_EQ(c.emv, PadProfile_Get()->ucEMVSupport);
        EXPECT_EQ(c.cless, PadProfile_Get()->ucClessSupport);
        EXPECT_EQ(c.remote, PadProfile_Get()->ucRemoteKeysSupport);
        EXPECT_EQ(ver, PadProfile_Get()->ulKwpadVer);
        if (c.result != RES_PP_KWPAD_VERSION) { EXPECT_EQ(c.width, PPLayer_GetLineWidth()); }
        EXPECT_EQ(c.askedSerial, trace().find("GetPinpadSN") != std::string::npos);
        m_emu.reset();
    }
}

TEST_F(PPLayerTest, ApplicationCheckFailsWithoutTlsFilesOrDeviceInformation) {
    StartConnected("app_version=0x01020800\nfile=SSLA:ca\nfile=SSLC:cert\n");
    uint32_t ver = 0;
    char name[32];
    EXPECT_EQ(RES_PP_KWPAD_VERSION, PPLayer_CheckKWPADVer(&ver, name));
    EXPECT_NE(std::string::npos, log().find("ERROR. PPLayer_CheckKWPADVer: No cert or keyfile."));
    m_emu.reset();
    StartConnected(std::string("fault=status:5@cmd:1.1\n") + kTlsFiles);
    EXPECT_EQ(RES_PP_KWPAD_VERSION, PPLayer_CheckKWPADVer(&ver, name));
    EXPECT_NE(std::string::npos, log().find("ERROR. PPLayer_CheckKWPADVer, DevGetInfo [5]."));
}

TEST_F(PPLayerTest, CardReadingFallsBackBetweenChipStripeAndContactless) {
    struct Case {
        const char* name;
        const char* scenario;
        int result;
        uint8_t entry;
        const char* masks;
        uint8_t chipDisabled, clessAfter;
    };
    const Case cases[] = {
        {"stripe of a card without chip", "cards=stripe\n", RES_OK, ENTRY_STRIPE, "0B", 0, 1},
        {"stripe of a chip card is refused, chip taken", "cards=stripe,chip\nchip_flag=1\n", RES_OK, ENTRY_CHIP,
         "0B,0B", 0, 1},
        {"three chip retries, then the stripe is mode 6", "cards=chip,chip,chip,stripe\nchip_flag=1\nemv_retries=3\n",
         RES_OK, ENTRY_FALLBACK, "0B,0B,0B,0B", 1, 1},
        {"two chip retries, third read works", "cards=chip,chip,chip\nemv_retries=2\n", RES_OK, ENTRY_CHIP,
         "0B,0B,0B", 0, 1},
        {"chip inserted while the stripe is asked for", "cards=chip,chip,chip,chip,stripe\nchip_flag=1\n"
         "emv_retries=3\n", RES_OK, ENTRY_FALLBACK, "0B,0B,0B,0B,0B", 1, 1},
        {"chip read failing otherwise", "cards=chip,stripe\nraw_reply=readtk:\n", RES_PP_CARD_READ, ENTRY_CHIP, "0B",
         0, 1},
        {"track 2 of 19 characters is a bad swipe", "cards=stripe\ntrack2_len=19\n", RES_PP_CARD_READ, ENTRY_NONE,
         "0B,0B", 0, 1},
        {"track 2 of 20 characters is read", "cards=stripe\ntrack2_len=20\n", RES_OK, ENTRY_STRIPE, "0B", 0, 1},
        {"contactless", "cards=contactless\n", RES_OK, ENTRY_CLESS, "0B", 0, 1},
        {"two contactless failures, third read works", "cards=contactless,contactless,contactless\n"
         "cless_results=0001,6A82,0000\n", RES_OK, ENTRY_CLESS, "0B,0B,0B", 0, 1},
        {"three contactless failures, then the chip", "cards=contactless,contactless,contactless,chip\n"
         "cless_results=0001\n", RES_OK, ENTRY_CHIP, "0B,0B,0B,03", 0, 0},
        {"contactless parameters refused", "cards=stripe\ncless_set_status=5\n", RES_OK, ENTRY_STRIPE, "03", 0, 0},
        {"cancelled on the pad", "cards=cancel\n", RES_PP_CARD_READ, ENTRY_NONE, "0B", 0, 1},
        {"no card within the time", "cards=none\n", RES_PP_CARD_READ, ENTRY_NONE, "0B", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PadProfile_Reset();
        SetUp();
        Checked(std::string("pad_type=6\n") + c.scenario);
        // The whole read, the 3-second pauses after chip retries included, has this long.
        EXPECT_EQ(c.result, PPLayer_ReadCard(30, &order));
        EXPECT_EQ(c.entry, order.ucCardEntry);
        EXPECT_EQ(c.masks, Masks());
        EXPECT_EQ(c.chipDisabled, PadProfile_Get()->ucChipDisabled);
        EXPECT_EQ(c.clessAfter, PadProfile_Get()->ucClessSupport);
        m_emu.reset();
    }
}

// A card that the reader reports again and again (a chip card left in after
// the stripe fallback started, a stripe that never reads) ends the read once
// the client's time is over, as silence does; it does not loop until the
// process is killed. The read runs in a child process that an alarm stops.
TEST_F(PPLayerTest, CardReadEndsWithinTheClientTimeout) {
    struct Case {
        const char* name;
        const char* scenario;
        size_t chipReads;  // chip reads before the read gives up
    } cases[] = {
        {"chip card left in after the stripe fallback started", "card=chip\nchip_flag=1\nemv_retries=1000\n", 3},
        {"a stripe that never reads", "card=stripe\ntrack2_len=19\n", 0},
    };
    const uint16_t timeout = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PadProfile_Reset();
        SetUp();
        Checked(std::string("pad_type=6\n") + c.scenario);
        EXPECT_EXIT(
            {
                alarm(60);
                uint64_t start = SysClock_MonotonicMs();
                int rc = PPLayer_ReadCard(timeout, &order);
                uint64_t elapsed = SysClock_MonotonicMs() - start;
                fprintf(stderr, "result %d after %llu ms\n", rc, static_cast<unsigned long long>(elapsed));
                // Like a single card request: over when more than timeout whole seconds have passed.
                bool inTime = elapsed >= (timeout + 1u) * 1000u && elapsed < (timeout + 2u) * 1000u;
                _exit(rc == RES_PP_CARD_READ && inTime ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(c.chipReads, Count(trace(), "EMVREADTK"));
        EXPECT_LT(Count(trace(), "CARDINIT"), 15u) << "the pad is not hammered with card requests";
        EXPECT_NE(std::string::npos, log().find("ERROR. PPLayer_ReadCard. No card read within [20] s."));
        m_emu.reset();
    }
}

TEST_F(PPLayerTest, PromptsFollowTheCardAndThePadModel) {
    // A chip card swiped: the second prompt asks for the chip.
    Checked("pad_type=3\ncards=stripe,chip\nchip_flag=1\n");
    ASSERT_EQ(RES_OK, PPLayer_ReadCard(5, &order));
    std::string t = trace();
    EXPECT_NE(std::string::npos, log().find("PPLayer_ReadCard. Chip is present, re-read card."));
    EXPECT_NE(std::string::npos, t.find(std::string("DISPLAY 3 ") + CP1251("  ВСТАВЬТЕ КАРТОЧКУ")));
    EXPECT_NE(std::string::npos, t.find(std::string("DISPLAY 4 ") + CP1251("        ЧИПОМ")));
    EXPECT_EQ("03,03", Masks()) << "a pad that is not the contactless model never gets the 0x08 bit";
    m_emu.reset();

    // Without chip support the stripe is asked for, and a chip card's stripe is plain mode 1.
    PadProfile_Reset();
    SetUp();
    Checked("pad_type=3\ndev_name=Ingenico i3070\ncards=chip,stripe\nchip_flag=1\n");
    ASSERT_EQ(RES_OK, PPLayer_ReadCard(5, &order));
    EXPECT_EQ(ENTRY_STRIPE, order.ucCardEntry);
    EXPECT_NE(std::string::npos, trace().find(std::string("DISPLAY 4 ") + CP1251("       ПОЛОСОЙ")));
    EXPECT_EQ(0u, Count(trace(), "EMVReadTK"));
}

TEST_F(PPLayerTest, WaitingForTheCardCostsAlmostNoProcessorTime) {
    SysClock_SetSeam(nullptr);
    Checked("pad_type=6\ncards=none\n");
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    uint64_t start = padtest::RealMonotonicMs();
    EXPECT_EQ(RES_PP_CARD_READ, PPLayer_ReadCard(1, &order));
    uint64_t elapsed = padtest::RealMonotonicMs() - start;
    getrusage(RUSAGE_SELF, &after);
    double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                 ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec)) /
                     1e6;
    EXPECT_GE(elapsed, 1900u);
    EXPECT_LT(cpu, 0.05 * static_cast<double>(elapsed) / 1000.0) << "cpu " << cpu << " s over " << elapsed << " ms";
}

TEST_F(PPLayerTest, PinEntryLoadsTheKeyAndCarriesTheAmountLine) {
    struct Case {
        const char* name;
        const char* scenario;
        uint32_t version;
        uint8_t op;
        const char* key;
        int result;
        const char* traced;   // expected in the trace
        const char* absent;   // must not be in the trace
    };
    const Case cases[] = {
        {"sale shows the amount", "", 0x01020700, OP_SALE, "0123456789ABCDEF0123456789ABCDEF", RES_OK,
         "amount=BYN 12.50", nullptr},
        {"balance shows none", "", 0x01020800, OP_BALANCE, "0123456789ABCDEF0123456789ABCDEF", RES_OK,
         "pan=400000******7899", "amount=BYN"},
        {"older application shows none", "", 0x010206FF, OP_SALE, "0123456789abcdef0123456789abcdef", RES_OK,
         "REQ 6,29", "amount=BYN"},
        {"cancelled", "pin=cancel\n", 0x01020800, OP_SALE, "0123456789ABCDEF0123456789ABCDEF", RES_PP_PIN,
         "REQ 6,29", nullptr},
        {"working key refused", "fault=short:1@cmd:6.27\n", 0x01020800, OP_SALE, "0123456789ABCDEF0123456789ABCDEF",
         RES_KEY_REFUSED, "KeyLoad", "REQ 6,29"},
        {"working key not hexadecimal", "", 0x01020800, OP_SALE, "0123456789ABCDEF0123456789ABCDEX",
         RES_KEY_REFUSED, nullptr, "KeyLoad"},
        {"working key too short", "", 0x01020800, OP_SALE, "0123", RES_KEY_REFUSED, nullptr, "KeyLoad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartConnected(c.scenario);
        aux_PadProfile_Edit()->ulKwpadVer = c.version;
        order.ucOpType = c.op;
        strcpy(order.szPAN, "400000******7899");
        memset(order.ucPINBlock, 0, sizeof(order.ucPINBlock));
        EXPECT_EQ(c.result, PPLayer_InputPin(30, c.key, 3, 2, &order));
        std::string t = trace();
        if (c.traced) { EXPECT_NE(std::string::npos, t.find(c.traced)) << t; }
        if (c.absent) { EXPECT_EQ(std::string::npos, t.find(c.absent)) << t; }
        bool block = false;
        for (int i = 0; i < 8; ++i) block = block || order.ucPINBlock[i] != 0;
        EXPECT_EQ(c.result == RES_OK, block);
        if (c.result == RES_OK) { EXPECT_NE(std::string::npos, t.find("KeyLoad mk=3 type=2 index=2")); }
        m_emu.reset();
    }
}

TEST_F(PPLayerTest, AmountConfirmationScreensAndAnswers) {
    struct Case {
        const char* name;
        const char* scenario;
        uint8_t op;
        const char* amount;
        int result;
        const char* title;  // row 2 as shown
    };
    const Case cases[] = {
        {"sale confirmed", "confirm=yes\n", OP_SALE, "12.50", RES_OK, CP1251("СУММА")},
        {"return confirmed", "confirm=yes\n", OP_RETURN, "12.50", RES_OK, CP1251("ВОЗВРАТ")},
        {"reversal confirmed", "confirm=yes\n", OP_REVERSAL, "12.50", RES_OK, CP1251("ОТМЕНА")},
        {"cancel key", "confirm=no\n", OP_SALE, "12.50", RES_PP_NOT_CONFIRMED, CP1251("СУММА")},
        {"no key within the time", "confirm=none\n", OP_SALE, "12.50", RES_PP_NOT_CONFIRMED, CP1251("СУММА")},
        {"unknown operation", "confirm=yes\n", OP_BALANCE, "12.50", RES_PP_NOT_CONFIRMED, nullptr},
        {"15 characters accepted", "confirm=yes\n", OP_SALE, "12345678.90", RES_OK, CP1251("СУММА")},
        {"32 characters refused", "confirm=yes\n", OP_SALE, "1234567890123456789012345678", RES_PP_NOT_CONFIRMED,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Checked(std::string("pad_type=3\n") + c.scenario);
        EXPECT_EQ(c.result, PPLayer_ConfirmAmount(3, c.op, c.amount, "BYN"));
        std::string t = trace();
        if (c.title) {
            std::string row3 = std::string(c.amount) + " BYN";
            row3 = std::string(20 - row3.size(), ' ') + row3;
            EXPECT_NE(std::string::npos, t.find(std::string("DISPLAY 2 ") + c.title + "\n"));
            EXPECT_NE(std::string::npos, t.find("DISPLAY 3 " + row3 + "\n")) << t;
            EXPECT_NE(std::string::npos, t.find("REQ 3,5 KbdInputInit mode=6 params=01010101000000"));
        } else {
            EXPECT_EQ(std::string::npos, t.find("KbdInputInit"));
        }
        m_emu.reset();
    }
}

TEST_F(PPLayerTest, BalanceAndMessageScreens) {
    Checked("pad_type=3\nconfirm=none\n");
    EXPECT_EQ(RES_OK, PPLayer_ShowBalance(1, "100.00", "USD")) << "no key pressed is still shown";
    std::string t = trace();
    EXPECT_NE(std::string::npos, t.find(std::string("DISPLAY 2 ") + CP1251("СУММА НА СЧЕТЕ") + "\n"));
    EXPECT_NE(std::string::npos, t.find("DISPLAY 3 " + std::string(10, ' ') + "100.00 USD\n"));
    EXPECT_NE(std::string::npos, t.find("BEEP"));
    EXPECT_EQ(RES_PP_BALANCE, PPLayer_ShowBalance(1, "1234567890123456789012345678", "USD"));
    m_emu.reset();

    // A centred text by rows; an empty piece leaves its row alone.
    Checked("pad_type=3\nconfirm=none\n");
    EXPECT_EQ(RES_OK, PPLayer_ShowMessage("ONE||SEVEN77", 0));
    t = trace();
    EXPECT_NE(std::string::npos, t.find("DISPLAY 2 " + std::string(9, ' ') + "ONE\n"));
    EXPECT_EQ(std::string::npos, t.find("DISPLAY 3 "));
    EXPECT_NE(std::string::npos, t.find("DISPLAY 4 " + std::string(7, ' ') + "SEVEN77\n"));
    EXPECT_EQ(0u, Count(t, "KbdInputInit")) << "no timeout: no wait for a key";
    EXPECT_EQ(RES_OK, PPLayer_ShowMessage("ACK", 2));
    EXPECT_NE(std::string::npos, trace().find("KbdInputInit mode=7"));
    m_emu.reset();

    StartConnected("fault=status:9@cmd:2.5\n");
    EXPECT_EQ(RES_PP_CONNECT, PPLayer_ShowMessage("X", 0));
    EXPECT_EQ(RES_PP_BALANCE, PPLayer_ShowBalance(1, "1.00", "USD"));
}

TEST_F(PPLayerTest, ScreenLayoutPadsAndCutsToTheModelsWidth) {
    struct Case {
        uint16_t padType;
        const char* text;
        uint8_t align;
        const char* shown;
    };
    const Case cases[] = {
        {3, "SEVEN77", PP_ALIGN_CENTER, "       SEVEN77"},
        {6, "SEVEN77", PP_ALIGN_CENTER, "          SEVEN77"},
        {3, "RIGHT", PP_ALIGN_RIGHT, "               RIGHT"},
        {6, "RIGHT", PP_ALIGN_RIGHT, "                     RIGHT"},
        {3, "LEFT", PP_ALIGN_LEFT, "LEFT"},
        {3, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", PP_ALIGN_CENTER, "ABCDEFGHIJKLMNOPQRST"},
        {6, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", PP_ALIGN_RIGHT, "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Checked("pad_type=" + std::to_string(c.padType) + "\n");
        EXPECT_EQ(RES_OK, aux_PPLayer_DisplayText(c.text, 1, c.align));
        EXPECT_NE(std::string::npos, trace().find(std::string("DISPLAY 1 ") + c.shown + "\n")) << trace();
        m_emu.reset();
    }
}

TEST(PPLayerFileName, ByModel) {
    struct Case {
        const char* dev;
        uint16_t type;
        int result;
        const char* file;
    };
    const Case cases[] = {
        {"Sagem Monetel", 6, 0, "SAGEMPPAD.TLV"}, {"Ingenico i3070", 6, 0, "LANDPAY.TLV"},
        {"Landi E520", 6, 0, "E520A9L.TLV"},      {"Landi P8", 3, 0, "LANDI.TLV"},
        {"Verifone", 3, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dev);
        aux_PadProfile_Edit()->usPinpadType = c.type;
        char file[PP_FILE_NAME_SIZE] = "";
        EXPECT_EQ(c.result, PPLayer_GetPPFileName(c.dev, file));
        EXPECT_STREQ(c.file, file);
    }
}

}  // namespace

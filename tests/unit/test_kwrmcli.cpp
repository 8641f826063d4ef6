// The terminal-manager client against the emulated manager (tmanager_emu as a
// child process) over real TLS on 127.0.0.1, with a PKI made for the run.
#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/netlayer.h"
#include "pinpad/crc.h"
#include "remote/kwrmcli.h"
#include "remote/kwrmframe.h"
#include "support/param.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

using emu::Count;
using emu::Has;
using emu::ReadFile;
using emu::ReadLog;

std::unique_ptr<TempDir> g_work;  // current directory: LOG/, TEMP/, pki/, srv/ (served), up/ (uploads)
bool g_ready = false;

// Time runs fifty times faster than on the wall: the 20-second answer limit is
// 0.4 s, FILELOADTIMEOUT=15 is 0.3 s.
uint64_t FastMonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()) * 50u;
}
// A wait on the socket lasts as long on that clock, not on the wall's.
int FastPollFd(int fd, short events, uint32_t ms) {
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, static_cast<int>((ms + 50u - 1) / 50u));
}
const SSysClockSeam kFastClock = {nullptr, nullptr, FastMonotonicMs, FastPollFd};

struct FastClock {
    FastClock() { SysClock_SetSeam(&kFastClock); }
    ~FastClock() { SysClock_SetSeam(nullptr); }
};

// Bytes that differ from block to block, so that a misplaced block shows.
std::string Content(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

uint32_t Crc(const std::string& s) {
    return CRC_CalcCRC32(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), 0);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// One manager process for one connection, the client connected to it.
class Manager {
public:
    explicit Manager(const std::string& scenario, bool connect = true)
        : m_proc(*g_work, scenario, g_work->file("srv"), g_work->file("up"), 1) {
        if (connect) m_connect = m_proc.port() == 0 ? -1 : NetLayer_Connect("127.0.0.1", m_proc.port(), "");
    }
    ~Manager() { NetLayer_Close(); }
    int connected() const { return m_connect; }
    uint16_t port() const { return m_proc.port(); }
    // Hangs up and returns the whole trace once the manager has seen the end.
    std::string Finish() {
        NetLayer_Close();
        std::string trace;
        for (int i = 0; i < 250; ++i) {
            trace = m_proc.trace();
            if (Has(trace, "END ")) break;
            usleep(20000);
        }
        return trace;
    }

private:
    emu::TManagerEmuProcess m_proc;
    int m_connect = -1;
};

class KwrmClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_work.reset(new TempDir(true));
        for (const char* dir : {"LOG", "DATA", "TEMP", "srv", "up"}) mkdir(dir, 0777);
        g_ready = emu::MakeTestPki(g_work->file("pki")) && access(emu::TManagerEmuPath(), X_OK) == 0;
        NetLayer_Init();
    }
    static void TearDownTestSuite() {
        NetLayer_FreeCredentials();
        g_work.reset();
    }
    void SetUp() override {
        if (!g_ready) GTEST_SKIP() << "openssl or tmanager_emu missing";
        emu::ClearLog();
        system("rm -rf TEMP/* DATA/* srv/* up/*");
        g_Config.ucFileLoadTimeout = 0;
        KWRM_CLI_SetDeadline(0);
        std::string dir = g_work->file("pki/sha256/");
        NetLayer_InitCredentials();
        ASSERT_EQ(0, NetLayer_ParseCAFile((dir + "SSLA").c_str()));
        ASSERT_EQ(0, NetLayer_ParseClientCertFile((dir + "SSLC").c_str()));
        ASSERT_EQ(0, NetLayer_ParseClientKeyFile((dir + "SSLK").c_str()));
    }
    void TearDown() override {
        NetLayer_Close();
        SysClock_SetSeam(nullptr);
        KWRM_CLI_SetDeadline(0);
    }
    static void Serve(const std::string& name, const std::string& content) { g_work->write("srv/" + name, content); }
};

// One exchange and its faults, seen through the open command.
TEST_F(KwrmClientTest, ExchangeRepeatsStatusAndFrameFaults) {
    struct Case {
        const char* name;
        const char* scenario;
        const char* terminalId;
        int result;
        int requests;        // open requests the manager received
        const char* logged;  // null: not checked
    };
    const Case cases[] = {
        {"plain open", "", "TERM0001", RES_OK, 1, "ERROR. KWRM_CLI_ExchangeInitPacket. Result: 0 [0]"},
        {"two repeats, then the answer", "repeat 11 times=2", "TERM0001", RES_OK, 3,
         "WARMING. KWRM_CLI_ExchangePacket. Repeat [1]"},
        {"three repeats are a failure", "repeat 11 times=3", "TERM0001", RES_KWRM_REPEATS, 3,
         "ERROR. KWRM_CLI_ExchangePacket. Repeat limit: [11]"},
        {"refused", "refuse 11 status=05", "TERM0001", RES_KWRM_SESSION_REFUSED, 1,
         "WARNING. KWRM_CLI_ExchangePacket. Refuse: 05"},
        {"status frame", "status 11 code=DEADBEEF", "TERM0001", RES_KWRM_STATUS_FRAME, 1,
         "ERROR. KWRM_CLI_ExchangePacket. CMD_STATUS: 0xDEADBEEF"},
        {"bad frame CRC", "badcrc 11", "TERM0001", RES_KWRM_CRC, 1, nullptr},
        {"L 527", "badlength 11 l=527", "TERM0001", RES_KWRM_LENGTH, 1, nullptr},
        {"L one over the 32-byte buffer", "badlength 11 l=39", "TERM0001", RES_KWRM_LENGTH, 1, nullptr},
        {"answer under another command", "other 11 cmd=12", "TERM0001", RES_KWRM_COMMAND, 1,
         "ERROR. KWRM_CLI_ExchangePacket. Invalid cmd: [11:12]"},
        {"dropped", "drop 11", "TERM0001", RES_KWRM_TRANSPORT, 1, nullptr},
        {"stalled: the 20-second limit", "stall 11", "TERM0001", RES_KWRM_TRANSPORT, 1, nullptr},
        {"7-character id sends nothing", "", "TERM001", RES_KWRM_TERMINAL_ID, 0,
         "ERROR. KWRM_CLI_ExchangeInitPacket. Terminal length: 7"},
        {"9-character id sends nothing", "", "TERM00011", RES_KWRM_TERMINAL_ID, 0,
         "ERROR. KWRM_CLI_ExchangeInitPacket. Terminal length: 9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ClearLog();
        FastClock fast;
        Manager manager(c.scenario);
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(c.result, KWRM_CLI_OpenSession(c.terminalId));
        std::string trace = manager.Finish();
        EXPECT_EQ(static_cast<size_t>(c.requests), Count(trace, "RX 11 ")) << trace;
        if (c.requests > 0) {
            EXPECT_TRUE(Has(trace, "tid=TERM0001")) << trace;
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(Has(ReadLog(), c.logged)) << ReadLog();
        }
    }
}

// The commands that are one request and one answer, as the manager sees them.
TEST_F(KwrmClientTest, SmallCommands) {
    Manager manager("datetime 250131120503\nkey 01 00112233445566778899AABBCCDDEEFF");
    ASSERT_EQ(0, manager.connected());
    ASSERT_EQ(RES_OK, KWRM_CLI_OpenSession("TERM0001"));

    char dateTime[KWRM_DATETIME_SIZE] = "x";
    EXPECT_EQ(RES_OK, KWRM_CLI_GetDateTime(dateTime));
    EXPECT_STREQ("250131120503", dateTime);

    SSoftConfig info = {};
    strcpy(info.szEdition, "LINUX");
    strcpy(info.stOther.szName, "NO_FILE");
    strcpy(info.stLib.szName, "libRAVOux.so.1.3.2");
    info.stLib.ulVersion = 0x01030200;
    info.stLib.ulCrc = 0xCAFE0001;
    info.stLib2 = info.stLib;
    EXPECT_EQ(RES_OK, KWRM_CLI_SendSoftInfoEx(&info));

    uint8_t key[KWRM_TK_SIZE] = {};
    uint8_t keyLength = 0, update = 0;
    EXPECT_EQ(RES_OK, KWRM_CLI_GetTKFromKwrm(0xA1B2C3, &keyLength, &update, key));
    EXPECT_EQ(1, update);
    EXPECT_EQ(16, keyLength);
    const uint8_t expectedKey[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                   0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(0, memcmp(expectedKey, key, sizeof(key)));
    EXPECT_EQ(RES_OK, KWRM_CLI_SendLoadTKInfo(0, 0xABCDEF));
    EXPECT_EQ(RES_OK, KWRM_CLI_CloseSession(0x0000064A));

    std::string trace = manager.Finish();
    EXPECT_TRUE(Has(trace, "RX 2B #1 n=0")) << trace;
    EXPECT_TRUE(Has(trace, "text=LINUX|NO_FILE;0;00000000|libRAVOux.so.1.3.2;1.3.2;CAFE0001|"
                           "libRAVOux.so.1.3.2;1.3.2;CAFE0001|;0;000000\n"))
        << trace;
    EXPECT_TRUE(Has(trace, "RX 23 #1 n=3 kcv=A1B2C3")) << trace;
    EXPECT_TRUE(Has(trace, "RX 24 #1 n=4 result=00 kcv=ABCDEF")) << trace;
    EXPECT_TRUE(Has(trace, "RX 40 #1 n=4 status=0000064A close")) << trace;
    std::string log = ReadLog();
    EXPECT_TRUE(Has(log, "KWRM_CLI_GetTKFromKwrm. Result: (0), CMDRes: (0), Update: (1), TKLen: (16).")) << log;
    EXPECT_TRUE(Has(log, "KWRM_CLI_SendFinPacket. Status: 0000064A")) << log;
    EXPECT_FALSE(Has(log, "00112233")) << "the key must not reach the log";
}

TEST_F(KwrmClientTest, SmallCommandFailures) {
    struct Case {
        const char* name;
        const char* scenario;
        int dateTime;
        int tk;
        int tkReport;
        int softInfo;
    };
    const Case cases[] = {
        {"no key: nothing to load", "", RES_OK, RES_OK, RES_OK, RES_OK},
        {"refusals", "refuse 2B\nrefuse 23\nrefuse 24\nrefuse 34", RES_KWRM_DATETIME, RES_KWRM_TK_LOAD,
         RES_KWRM_TK_CHANGE, RES_KWRM_SOFTINFO},
        {"status frames", "status 2B\nstatus 23\nstatus 24\nstatus 34", RES_KWRM_DATETIME, RES_KWRM_TK_LOAD,
         RES_KWRM_TK_CHANGE, RES_KWRM_SOFTINFO},
        {"date and time one character short", "badlength 2B l=18", RES_KWRM_DATETIME, RES_OK, RES_OK, RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FastClock fast;
        Manager manager(c.scenario);
        ASSERT_EQ(0, manager.connected());
        char dateTime[KWRM_DATETIME_SIZE] = "x";
        EXPECT_EQ(c.dateTime, KWRM_CLI_GetDateTime(dateTime));
        if (c.dateTime != RES_OK) {
            EXPECT_STREQ("", dateTime);
        }
        if (c.dateTime != RES_OK && Has(c.scenario, "badlength")) continue;  // the stream is lost after it
        uint8_t key[KWRM_TK_SIZE] = {}, keyLength = 9, update = 9;
        EXPECT_EQ(c.tk, KWRM_CLI_GetTKFromKwrm(0, &keyLength, &update, key));
        EXPECT_EQ(0, update);
        EXPECT_EQ(0, keyLength);
        EXPECT_EQ(c.tkReport, KWRM_CLI_SendLoadTKInfo(1, 0));
        SSoftConfig info = {};
        EXPECT_EQ(c.softInfo, KWRM_CLI_SendSoftInfoEx(&info));
    }
}

// The plain file commands: newer by CRC, received whole, or nothing.
TEST_F(KwrmClientTest, FileCommandsDownloadWhatIsNewer) {
    typedef uint16_t (*Get)(const char*, const char*, uint8_t*);
    struct Case {
        const char* served;
        Get get;
        const char* command;
    };
    const Case cases[] = {
        {"CONFIG.INI", KWRM_CLI_GetConfigFromKwrm, "12"},
        {"RANGE.CFG", KWRM_CLI_GetBinTableFromKwrm, "13"},
        {"EMVCAPK", KWRM_CLI_GetEmvCapkFromKwrm, "20"},
        {"EMVCFG", KWRM_CLI_GetEmvCfgFromKwrm, "27"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.served);
        const std::string content = Content(1561, c.served[1]);  // three full blocks and one byte
        Serve(c.served, content);
        std::string target = std::string("TEMP/") + c.served, current = std::string("DATA/") + c.served;
        Manager manager("");
        ASSERT_EQ(0, manager.connected());
        uint8_t updated = 9;
        EXPECT_EQ(RES_OK, c.get(target.c_str(), current.c_str(), &updated));
        EXPECT_EQ(1, updated);
        EXPECT_EQ(content, ReadFile(target));

        // The terminal now holds it: nothing newer, and the target is left alone.
        g_work->write(current, content);
        unlink(target.c_str());
        EXPECT_EQ(RES_OK, c.get(target.c_str(), current.c_str(), &updated));
        EXPECT_EQ(0, updated);
        EXPECT_FALSE(Exists(target));

        std::string trace = manager.Finish();
        EXPECT_TRUE(Has(trace, std::string("RX ") + c.command + " #1 n=4 id=00000000")) << trace;
        EXPECT_TRUE(Has(trace, std::string("RX ") + c.command + " #2 n=4 id=" + [&] {
                        char hex[9];
                        snprintf(hex, sizeof(hex), "%08X", Crc(content));
                        return std::string(hex);
                    }())) << trace;
        EXPECT_EQ(5u, Count(trace, "RX 30 ")) << trace;  // four blocks and the end frame
    }
}

// At the debug level each exchange is one log line, a block with its offset
// and never its bytes; at the normal level the download writes no trace at all.
TEST_F(KwrmClientTest, DebugTraceOfADownloadAndAnUpload) {
    std::string content;
    while (content.size() < 1561) content += "KEY=TRACEMARK;";  // three full blocks and one byte
    content.resize(1561);
    Serve("CONFIG.INI", content);
    g_work->write("TEMP/20240104.zip", content);
    for (uint8_t level : {LOG_INFO, LOG_DEBUG}) {
        SCOPED_TRACE(level);
        emu::ClearLog();
        unlink("TEMP/CONFIG.INI");
        SetLogLevel(level);
        Manager manager("");
        ASSERT_EQ(0, manager.connected());
        uint8_t updated = 0;
        EXPECT_EQ(RES_OK, KWRM_CLI_GetConfigFromKwrm("TEMP/CONFIG.INI", "DATA/CONFIG.INI", &updated));
        EXPECT_EQ(RES_OK, KWRM_CLI_PutLogFileToKwrm("TEMP/20240104.zip"));
        manager.Finish();
        SetLogLevel(LOG_INFO);
        const std::string log = ReadLog();
        EXPECT_FALSE(Has(log, "TRACEMARK")) << log;
        if (level == LOG_INFO) {
            EXPECT_FALSE(Has(log, "MsgTrace")) << log;
            continue;
        }
        EXPECT_TRUE(Has(log, "Manager: > 12 len 4 < 12 status 00 len ")) << log;
        const struct { const char* offset; const char* length; } blocks[] = {
            {"0", "520"}, {"520", "520"}, {"1040", "520"}, {"1560", "1"}};
        for (const auto& b : blocks) {
            const std::string in = std::string("Manager: > 30 len 0 < 30 len ") + b.length + " offset " + b.offset + "\n";
            const std::string out =
                std::string("Manager: > 32 len ") + b.length + " < 32 status 00 len 1 offset " + b.offset + "\n";
            EXPECT_TRUE(Has(log, in)) << in << log;
            EXPECT_TRUE(Has(log, out)) << out << log;
        }
        EXPECT_EQ(4u, emu::Count(log, "Manager: > 32 ")) << log;
        EXPECT_EQ(5u, emu::Count(log, "Manager: > 30 ")) << log;  // four blocks and the end frame
    }
}

// TLS files carry the pad's CRC as identifier; updated is set, never cleared.
TEST_F(KwrmClientTest, TlsFilesUseThePadsCrc) {
    const std::string ssla = Content(700, 5);
    Serve("SSLA", ssla);
    Manager manager("");
    ASSERT_EQ(0, manager.connected());
    uint8_t updated = 0;
    EXPECT_EQ(RES_OK, KWRM_CLI_GetSSLDataFromKwrm(KWRM_CMD_SSLA, "TEMP/SSLA", "DATA/SSLA", &updated, Crc(ssla)));
    EXPECT_EQ(0, updated);
    EXPECT_EQ(RES_OK, KWRM_CLI_GetSSLDataFromKwrm(KWRM_CMD_SSLA, "TEMP/SSLA", "DATA/SSLA", &updated, 0x1234));
    EXPECT_EQ(1, updated);
    EXPECT_EQ(ssla, ReadFile("TEMP/SSLA"));
    // Nothing served for SSLC: updated keeps the mark of the earlier file.
    EXPECT_EQ(RES_OK, KWRM_CLI_GetSSLDataFromKwrm(KWRM_CMD_SSLC, "TEMP/SSLC", "DATA/SSLC", &updated, 0x1234));
    EXPECT_EQ(1, updated);
    EXPECT_TRUE(Has(ReadLog(), "GetSSLDataFromKwrm[20]. Result: 0 1")) << ReadLog();
    EXPECT_TRUE(Has(ReadLog(), "GetSSLDataFromKwrm[21]. Result: 0 0")) << ReadLog();
}

// A download that fails is never reported as arrived and leaves no file behind.
TEST_F(KwrmClientTest, FailedDownloadLeavesNothing) {
    struct Case {
        const char* name;
        const char* scenario;
        int result;
        const char* logged;
    };
    const Case cases[] = {
        {"file CRC wrong", "wrongcrc 30 times=*", RES_KWRM_FILE_CRC, "ERROR. KWRM_CLI_ReceiveFile. CRC mismatch"},
        {"ends short", "end 30 at=3", RES_KWRM_FILE_RECV, "ERROR. KWRM_CLI_ReceiveFile. Size mismatch: [1040:3000]"},
        {"dropped after two blocks", "drop 30 at=3", RES_KWRM_FILE_SEND, "ERROR. KWRM_CLI_ReceiveFile. Exchange: 1602"},
        {"block with a bad frame CRC", "badcrc 30 at=2", RES_KWRM_FILE_SEND, "Exchange: 1605"},
        {"block longer than the buffer", "badlength 30 at=2 l=528", RES_KWRM_FILE_SEND, "Exchange: 1604"},
        {"status frame mid-way", "status 30 at=4", RES_KWRM_FILE_SEND, "Exchange: 1615"},
        {"three repeats mid-way", "repeat 30 at=2 times=3", RES_KWRM_FILE_SEND, "Exchange: 1622"},
        {"manager stalls mid-way", "stall 30 at=2", RES_KWRM_FILE_SEND, "Exchange: 1602"},
        {"status frame at the start", "status 12", RES_KWRM_STATUS_FRAME,
         "ERROR. KWRM_CLI_StartReceiveFile. Exchange: 1615"},
    };
    Serve("CONFIG.INI", Content(3000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::ClearLog();
        FastClock fast;
        g_work->write("TEMP/CONFIG.INI", "an older download");
        Manager manager(c.scenario);
        ASSERT_EQ(0, manager.connected());
        uint8_t updated = 9;
        EXPECT_EQ(c.result, KWRM_CLI_GetConfigFromKwrm("TEMP/CONFIG.INI", "DATA/CONFIG.INI", &updated));
        EXPECT_EQ(0, updated);
        // A download that never started leaves the folder as it was.
        if (c.result == RES_KWRM_STATUS_FRAME) {
            EXPECT_EQ("an older download", ReadFile("TEMP/CONFIG.INI"));
        } else {
            EXPECT_FALSE(Exists("TEMP/CONFIG.INI"));
        }
        EXPECT_TRUE(Has(ReadLog(), c.logged)) << ReadLog();
    }
}

// The request names the terminal's version and the CRC of its file of that
// name (0: none); the emulated manager offers on the CRC, on the version only
// when the terminal names no file.
TEST_F(KwrmClientTest, SoftwareDownloadAnnouncesItsVersion) {
    const std::string lib = Content(5000, 7);
    Serve("libRAVOux.so", lib);
    struct Case {
        const char* name;
        const char* scenario;
        uint8_t complete;
        uint32_t announced;
        std::string held = "";  // ./libRAVOux.so, the terminal's file ("": none)
    };
    const Case cases[] = {
        {"newer version", "offer libRAVOux.so 1.3.3", 1, 0x01030300},
        {"no version announced", "offer libRAVOux.so -", 1, 0},
        {"no file, same version: nothing", "offer libRAVOux.so 1.3.2", 0, 0},
        {"nothing offered", "", 0, 0},
        {"the file it holds, whatever version is offered: nothing", "offer libRAVOux.so 1.3.3", 0, 0, lib},
        {"another file under the same version", "offer libRAVOux.so 1.3.2", 1, 0x01030200, "older bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink("TEMP/libRAVOux.so");
        unlink("libRAVOux.so");
        if (!c.held.empty()) g_work->write("libRAVOux.so", c.held);
        uint32_t announced = 0xFFFFFFFF;
        Manager manager(c.scenario);
        ASSERT_EQ(0, manager.connected());
        uint8_t complete = 9, started = 9;
        EXPECT_EQ(RES_OK, KWRM_CLI_GetAppDataFromKwrm(0x01030200, "TEMP/libRAVOux.so", &complete, &started, &announced));
        EXPECT_EQ(c.complete, complete);
        EXPECT_EQ(c.complete, started);
        EXPECT_EQ(c.announced, announced);
        EXPECT_EQ(c.complete ? lib : "", ReadFile("TEMP/libRAVOux.so"));
        std::string trace = manager.Finish();
        char crc[16];
        snprintf(crc, sizeof(crc), "%08X", c.held.empty() ? 0u : Crc(c.held));
        EXPECT_TRUE(Has(trace, std::string("RX 1A #1 n=41 name=libRAVOux.so ver=01030200 crc=") + crc)) << trace;
    }
    unlink("libRAVOux.so");
}

// With FILELOADTIMEOUT the download resumes from what the terminal holds.
TEST_F(KwrmClientTest, ResumedDownloadChecksTheWholeFile) {
    const std::string app = Content(5200, 3);  // ten blocks
    Serve("KW3.TLV", app);
    g_Config.ucFileLoadTimeout = 30;
    uint8_t complete = 9, started = 9;
    {
        Manager manager("offer KW3.TLV 2.1.0\ndrop 30 at=4");
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(RES_KWRM_FILE_SEND, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(0, complete);
        EXPECT_EQ(1, started);
        // The link broke: what arrived stays for the next session.
        EXPECT_EQ(app.substr(0, 1560), ReadFile("TEMP/KW3.TLV"));
    }
    {
        Manager manager("offer KW3.TLV 2.1.0");
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(RES_OK, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(1, complete);
        EXPECT_EQ(app, ReadFile("TEMP/KW3.TLV"));
        char expected[80];
        snprintf(expected, sizeof(expected), "offset=1560 pcrc=%08X", Crc(app.substr(0, 1560)));
        std::string trace = manager.Finish();
        EXPECT_TRUE(Has(trace, std::string("RX 1C #1 n=49 name=KW3.TLV ver=02000000 crc=00000000 ") + expected))
            << trace;
        EXPECT_EQ(8u, Count(trace, "RX 30 ")) << trace;  // seven blocks left and the end frame
    }
    // A partial file that is not a prefix of the offer is thrown away and fetched again.
    g_work->write("TEMP/KW3.TLV", std::string(1040, 'x'));
    {
        Manager manager("offer KW3.TLV 2.1.0");
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(RES_OK, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(1, complete);
        EXPECT_EQ(app, ReadFile("TEMP/KW3.TLV"));
        std::string trace = manager.Finish();
        EXPECT_TRUE(Has(trace, "TX 1C n=1 st=40 partial-crc-mismatch")) << trace;
        EXPECT_TRUE(Has(trace, "RX 1C #2 n=49 name=KW3.TLV ver=02000000 crc=00000000 offset=0 pcrc=00000000"))
            << trace;
        EXPECT_TRUE(Has(ReadLog(), "Downloaded part CRC error, removing file: (TEMP/KW3.TLV)")) << ReadLog();
    }
    // A whole file whose end CRC is wrong is not kept, resumable or not.
    unlink("TEMP/KW3.TLV");
    {
        Manager manager("offer KW3.TLV 2.1.0\nwrongcrc 30 times=*");
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(RES_KWRM_FILE_CRC, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(0, complete);
        EXPECT_FALSE(Exists("TEMP/KW3.TLV"));
    }
}

// Slow blocks: the resumable download stops after FILELOADTIMEOUT seconds with
// what it has; without FILELOADTIMEOUT a broken download keeps nothing.
TEST_F(KwrmClientTest, FileLoadTimeoutStopsAndKeepsThePart) {
    const std::string app = Content(520 * 40, 4);
    Serve("KW3.TLV", app);
    FastClock fast;  // each 100 ms block is 5 s on this clock: 15 s pass after four blocks
    g_Config.ucFileLoadTimeout = 15;
    uint8_t complete = 9, started = 9;
    {
        Manager manager("offer KW3.TLV 2.1.0\ndelay 30 ms=100 times=*");
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(RES_OK, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(0, complete);
        EXPECT_EQ(1, started);
    }
    std::string part = ReadFile("TEMP/KW3.TLV");
    EXPECT_GE(part.size(), 520u * 3);
    EXPECT_LE(part.size(), 520u * 8);
    EXPECT_EQ(app.substr(0, part.size()), part);
    EXPECT_TRUE(Has(ReadLog(), "KWRM_CLI_ReceiveFile. Uploaded part of [TEMP/KW3.TLV] of size [" +
                                   std::to_string(part.size()) + "] out of [20800] bytes."))
        << ReadLog();

    g_Config.ucFileLoadTimeout = 0;
    Manager manager("offer KW3.TLV 2.1.0\ndrop 30 at=3");
    ASSERT_EQ(0, manager.connected());
    EXPECT_EQ(RES_KWRM_FILE_SEND, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
    EXPECT_EQ(1, started);
    EXPECT_EQ(0, complete);
    EXPECT_FALSE(Exists("TEMP/KW3.TLV"));
}

// The session's time budget: nothing starts past it; a download that reaches it stops.
TEST_F(KwrmClientTest, SessionDeadline) {
    const std::string app = Content(520 * 40, 6);
    Serve("KW3.TLV", app);
    Serve("CONFIG.INI", app);
    FastClock fast;
    uint8_t complete = 9, started = 9, updated = 9;
    {
        Manager manager("offer KW3.TLV 2.1.0");
        ASSERT_EQ(0, manager.connected());
        KWRM_CLI_SetDeadline(SysClock_MonotonicMs() - 1);
        char dateTime[KWRM_DATETIME_SIZE];
        uint8_t key[KWRM_TK_SIZE], keyLength = 0, update = 0;
        SSoftConfig info = {};
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_OpenSession("TERM0001"));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_GetDateTime(dateTime));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_SendSoftInfoEx(&info));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_GetConfigFromKwrm("TEMP/CONFIG.INI", "DATA/CONFIG.INI", &updated));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_GetTKFromKwrm(0, &keyLength, &update, key));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_SendLoadTKInfo(0, 1));
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_PutLogFileToKwrm("srv/KW3.TLV"));
        EXPECT_EQ(RES_OK, KWRM_CLI_CloseSession(0));  // the close frame is the safe end
        std::string trace = manager.Finish();
        EXPECT_EQ(1u, Count(trace, "RX ")) << trace;
        EXPECT_TRUE(Has(trace, "RX 40 #1")) << trace;
    }
    // Reached between blocks: a resumable download keeps its part, any other keeps nothing.
    g_Config.ucFileLoadTimeout = 120;
    {
        Manager manager("offer KW3.TLV 2.1.0\ndelay 30 ms=100 times=*");
        ASSERT_EQ(0, manager.connected());
        KWRM_CLI_SetDeadline(SysClock_MonotonicMs() + 12000);
        EXPECT_EQ(RES_OK, KWRM_CLI_GetAppDataFromKwrm(0x02000000, "TEMP/KW3.TLV", &complete, &started));
        EXPECT_EQ(0, complete);
        EXPECT_EQ(1, started);
        std::string part = ReadFile("TEMP/KW3.TLV");
        EXPECT_GT(part.size(), 0u);
        EXPECT_LT(part.size(), app.size());
        EXPECT_EQ(app.substr(0, part.size()), part);
    }
    {
        Manager manager("delay 30 ms=100 times=*");
        ASSERT_EQ(0, manager.connected());
        KWRM_CLI_SetDeadline(SysClock_MonotonicMs() + 12000);
        EXPECT_EQ(RES_KWRM_TIME_BUDGET, KWRM_CLI_GetConfigFromKwrm("TEMP/CONFIG.INI", "DATA/CONFIG.INI", &updated));
        EXPECT_EQ(0, updated);
        EXPECT_FALSE(Exists("TEMP/CONFIG.INI"));
    }
}

TEST_F(KwrmClientTest, LogUploadInBlocks) {
    struct Case {
        const char* name;
        size_t size;
        size_t blocks;
    };
    const Case cases[] = {
        {"empty", 0, 0},
        {"exactly one block", 520, 1},
        {"one byte over", 521, 2},
        {"several", 520 * 3 + 17, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string content = Content(c.size, static_cast<unsigned>(c.size));
        g_work->write("LOG/20240101.zip", content);
        Manager manager("");
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(RES_OK, KWRM_CLI_PutLogFileToKwrm("LOG/20240101.zip"));
        std::string trace = manager.Finish();
        EXPECT_TRUE(Has(trace, "RX 1B #1 n=37 size=" + std::to_string(c.size) + " name=20240101.zip")) << trace;
        EXPECT_EQ(c.blocks, Count(trace, "RX 32 ")) << trace;
        if (c.size == 521) {
            EXPECT_TRUE(Has(trace, "RX 32 #2 n=1\n")) << trace;
        }
        EXPECT_TRUE(Has(trace, "stored=20240101.zip")) << trace;
        EXPECT_EQ(content, ReadFile("up/20240101.zip"));
        unlink("up/20240101.zip");
    }
}

TEST_F(KwrmClientTest, LogUploadFailures) {
    struct Case {
        const char* name;
        const char* scenario;
        const char* path;
        int result;
        size_t requests;  // frames the manager received
    };
    g_work->write("LOG/20240102.LOG", Content(1500));
    g_work->write("foreign.txt", "not the terminal's");
    symlink("../foreign.txt", "LOG/20240104.zip");
    link("foreign.txt", "LOG/20240105.zip");
    const Case cases[] = {
        {"no file", "", "LOG/20240103.LOG", RES_KWRM_NO_FILE, 0},
        {"a link: not followed", "", "LOG/20240104.zip", RES_KWRM_FILE_OPEN, 0},
        {"another name of a file elsewhere", "", "LOG/20240105.zip", RES_KWRM_FILE_OPEN, 0},
        {"start refused", "refuse 1B", "LOG/20240102.LOG", RES_KWRM_UPLOAD_REFUSED, 1},
        {"start answered by a status frame", "status 1B", "LOG/20240102.LOG", RES_KWRM_FILE_SEND, 1},
        {"block refused", "refuse 32 at=2", "LOG/20240102.LOG", RES_KWRM_FILE_SEND, 3},
        {"end refused", "refuse 33", "LOG/20240102.LOG", RES_KWRM_FILE_SEND, 5},
        {"dropped mid-way", "drop 32 at=2", "LOG/20240102.LOG", RES_KWRM_FILE_SEND, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Manager manager(c.scenario);
        ASSERT_EQ(0, manager.connected());
        EXPECT_EQ(c.result, KWRM_CLI_PutLogFileToKwrm(c.path));
        std::string trace = manager.Finish();
        EXPECT_EQ(c.requests, Count(trace, "RX ")) << trace;
        EXPECT_FALSE(Has(trace, "stored=")) << trace;
    }
}

// A scenario the emulator cannot read stops it before it listens.
TEST_F(KwrmClientTest, EmulatorRefusesBadScenarios) {
    const char* const scenarios[] = {
        "repeat 1G", "offer libRAVOux.so 1.3", "key 00 00112233445566778899AABBCCDDEEFF", "key 01 0011",
        "datetime 2501", "status 11 code=12", "drop 30 at=0", "delay 30 ms=x", "hop 11",
        "offer KW3.TLV 2.1.0 twisted",
    };
    for (const char* scenario : scenarios) {
        SCOPED_TRACE(scenario);
        Manager manager(scenario, false);
        EXPECT_EQ(0, manager.port());
    }
    Manager good("offer KW3.TLV 2.1.0 # comment\n\nrepeat 2b times=*\nother 11 cmd=2B\noffer L.TLV - altered", false);
    EXPECT_NE(0, good.port());
}

// A download that would leave 20 MB or less on the target's file system is
// refused before a byte is received. A small file system of our own: a tmpfs
// in a mount namespace of this test process.
TEST_F(KwrmClientTest, DownloadRefusedWhenDiskWouldFallToTheFloor) {
    mkdir("small", 0777);
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", g_work->file("small").c_str(), "tmpfs", 0, "size=24m") != 0)
        GTEST_SKIP() << "no private tmpfs here";
    struct statvfs fs;
    ASSERT_EQ(0, statvfs("small", &fs));
    const uint64_t freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    const uint64_t mb = 1u << 20;
    ASSERT_GT(freeBytes, 22 * mb);
    struct Case {
        const char* name;
        uint64_t leaves;  // bytes free after the download
        int result;
    };
    const Case cases[] = {
        {"leaves 20 MB: refused", 20 * mb + mb / 2, RES_KWRM_DISK_SPACE},
        {"leaves 21 MB: taken", 21 * mb + mb / 2, RES_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string content = Content(static_cast<size_t>(freeBytes - c.leaves), 9);
        Serve("EMVCFG", content);
        Manager manager("");
        ASSERT_EQ(0, manager.connected());
        uint8_t updated = 9;
        EXPECT_EQ(c.result, KWRM_CLI_GetEmvCfgFromKwrm("small/EMVCFG", "DATA/EMVCFG", &updated));
        EXPECT_EQ(c.result == RES_OK ? 1 : 0, updated);
        std::string trace = manager.Finish();
        const size_t blocks = (content.size() + KWRM_MAX_DATA - 1) / KWRM_MAX_DATA;
        EXPECT_EQ(c.result == RES_OK ? blocks + 1 : 0u, Count(trace, "RX 30 ")) << trace;
        EXPECT_EQ(c.result == RES_OK, Exists("small/EMVCFG"));
        unlink("small/EMVCFG");
    }
    umount("small");
}

}  // namespace

// The host transport (packet, TLS and socket layers) against the emulated
// acquiring host, run as a child process with a PKI made for the test run.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host/netlayer.h"
#include "host/tmmsgbuilder.h"
#include "host/tmmsgbuilder_internal.h"
#include "host/tmmsgprs.h"
#include "host/transmaster.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "tests/common/certs.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

using emu::ClearLog;
using emu::FreePort;
using emu::ReadFile;
using emu::ReadLog;

std::unique_ptr<TempDir> g_work;  // current directory of the tests: LOG/, pki/
bool g_pkiReady = false;

// A clock on which time runs a hundred times faster than on the wall, so that
// the 45-second limits pass in well under a second of real waiting.
uint64_t FastMonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()) * 100u;
}
// A wait on the socket lasts as long on that clock, not on the wall's.
int FastPollFd(int fd, short events, uint32_t ms) {
    struct pollfd p = {fd, events, 0};
    return poll(&p, 1, static_cast<int>((ms + 100u - 1) / 100u));
}
const SSysClockSeam kFastClock = {nullptr, nullptr, FastMonotonicMs, FastPollFd};

struct FastClock {
    FastClock() { SysClock_SetSeam(&kFastClock); }
    ~FastClock() { SysClock_SetSeam(nullptr); }
};

// host_emu as a child process for the length of one test case; hostDir holds
// host.crt/host.key ("pki" or "pki/rogue"), the CA is always pki/ca.crt.
class HostEmu : public emu::HostEmuProcess {
public:
    HostEmu(const std::string& scenario, const std::string& hostDir = "pki", unsigned count = 0)
        : emu::HostEmuProcess(*g_work, scenario, g_work->file(hostDir), count) {}
};

// Loads the terminal's TLS files from pki/<set>/ ("sha256" or "sha1").
int LoadTerminal(const std::string& set) {
    NetLayer_InitCredentials();
    std::string dir = g_work->file("pki/" + set + "/");
    int rc = NetLayer_ParseCAFile((dir + "SSLA").c_str());
    if (rc == 0) rc = NetLayer_ParseClientCertFile((dir + "SSLC").c_str());
    if (rc == 0) rc = NetLayer_ParseClientKeyFile((dir + "SSLK").c_str());
    return rc;
}

std::vector<uint8_t> EchoRequest() {
    uint16_t length = 0;
    uint8_t* packet = TMMsgBuilder_ParseEchoTestRq("TERM0001", 1, 1, 1, &length);
    return std::vector<uint8_t>(packet, packet + length);
}

const char* const kTestCAName = "C=BY,O=RAVO Test,CN=RAVO Test CA";

class TransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_work.reset(new TempDir(true));
        mkdir("LOG", 0777);
        mkdir("DATA", 0777);
        g_pkiReady = emu::MakeTestPki(g_work->file("pki")) && access(emu::HostEmuPath(), X_OK) == 0;
        NetLayer_Init();
        TMMsgBuilder_Init();
    }
    static void TearDownTestSuite() {
        NetLayer_FreeCredentials();
        g_work.reset();
    }
    void SetUp() override {
        if (!g_pkiReady) GTEST_SKIP() << "openssl or host_emu missing";
        ClearLog();
        snprintf(g_Config.szHost, sizeof(g_Config.szHost), "127.0.0.1");
        strcpy(g_Config.szTerminalId, "TERM0001");
        g_Config.szHostCertName[0] = '\0';
        ASSERT_EQ(0, LoadTerminal("sha256"));
    }
    void TearDown() override { Transmaster_Disconnect(); }

    // Points the terminal at the emulator, connects and sends an echo request.
    void ConnectAndSendEcho(const HostEmu& emu) {
        ASSERT_NE(0, emu.port());
        g_Config.usSecPort = emu.port();
        ASSERT_EQ(0, Transmaster_Connect());
        std::vector<uint8_t> rq = EchoRequest();
        ASSERT_EQ(0, Transmaster_SendPacket(rq.data(), static_cast<uint16_t>(rq.size())));
    }
    // Connects to the emulator, sends an echo request and reads one packet.
    int EchoExchange(HostEmu& emu, std::vector<uint8_t>* answer) {
        g_Config.usSecPort = emu.port();
        int rc = Transmaster_Connect();
        if (rc != 0) return rc;
        std::vector<uint8_t> rq = EchoRequest();
        rc = Transmaster_SendPacket(rq.data(), static_cast<uint16_t>(rq.size()));
        if (rc != 0) return rc;
        std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET);
        uint16_t length = 0xFFFF;
        rc = Transmaster_Receive(buf.data(), &length);
        if (rc == 0) answer->assign(buf.begin(), buf.begin() + length);
        return rc;
    }
};

// Every host is checked, whatever the terminal's set-up: its chain must verify against
// SSLA and its certificate must name the address dialled (or HOSTCERTNAME). The terminal's
// certificate decides only the protocol and the digests the host's chain may use.
TEST_F(TransportTest, HandshakeFollowsTerminalCertificate) {
    struct Case {
        const char* name;
        const char* terminal;  // pki/<terminal>/SSL[ACK]
        const char* hostDir;   // host certificate
        const char* certName;  // HOSTCERTNAME
        int connect;
        const char* protocol;  // as traced by the host; null when no session
        const char* logged;
        const char* hostSaw;   // in the host's trace of a refused handshake
    };
    const Case cases[] = {
        {"SHA-256 terminal, trusted host", "sha256", "pki", "", 0, "TLSv1.2 ",
         "SSL Hanshake OK. Protocol is [TLSv1.2], Ciphersuite is [TLS-RSA-WITH-3DES-EDE-CBC-SHA]", nullptr},
        {"SHA-1 terminal held to TLS 1.0", "sha1", "pki", "", 0, "TLSv1.0 ", "Protocol is [TLSv1.0]", nullptr},
        {"SHA-1 terminal takes an older host chain (SHA-1, RSA 1024)", "sha1", "pki/sha1", "", 0, "TLSv1.0 ",
         "Protocol is [TLSv1.0]", nullptr},
        {"SHA-256 terminal refuses an older host chain", "sha256", "pki/sha1", "", RES_HOST_CONNECT, nullptr,
         "  ! The certificate is signed with an unacceptable hash", "alert from the client: unsupported_certificate (43)"},
        {"SHA-256 terminal refuses an untrusted host", "sha256", "pki/rogue", "", RES_HOST_CONNECT, nullptr,
         "mbedtls_x509_crt_verify_info:  ! The certificate is not correctly signed by the trusted CA",
         "alert from the client: unknown_ca (48)"},
        {"SHA-1 terminal refuses an untrusted host", "sha1", "pki/rogue", "", RES_HOST_CONNECT, nullptr,
         "The certificate is not correctly signed by the trusted CA", "alert from the client: unknown_ca (48)"},
        {"the bank's CA, another name", "sha256", "pki/elsewhere", "", RES_HOST_CONNECT, nullptr,
         "ERROR. NetLayer_Connect. The peer's certificate names [CN=elsewhere.example, DNS:elsewhere.example]; "
         "expected [127.0.0.1] (the address dialled)",
         "alert from the client: bad_certificate (42)"},
        {"SHA-1 terminal, the bank's CA, another name", "sha1", "pki/elsewhere", "", RES_HOST_CONNECT, nullptr,
         "  ! The certificate Common Name (CN) does not match with the expected CN", "bad_certificate (42)"},
        {"host named by DNS only, no name configured", "sha256", "pki/named", "", RES_HOST_CONNECT, nullptr,
         "names [CN=host.bank.example, DNS:host.bank.example]; expected [127.0.0.1]", "bad_certificate (42)"},
        {"host named by DNS only, HOSTCERTNAME names it", "sha256", "pki/named", "host.bank.example", 0, "TLSv1.2 ",
         "SSL Hanshake OK", nullptr},
        {"HOSTCERTNAME names another host", "sha256", "pki/elsewhere", "host.bank.example", RES_HOST_CONNECT,
         nullptr, "expected [host.bank.example] (the configured certificate name)", "bad_certificate (42)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        ASSERT_EQ(0, LoadTerminal(c.terminal));
        snprintf(g_Config.szHostCertName, sizeof(g_Config.szHostCertName), "%s", c.certName);
        HostEmu emu("default", c.hostDir);
        ASSERT_NE(0, emu.port());
        std::vector<uint8_t> answer;
        EXPECT_EQ(c.connect, EchoExchange(emu, &answer));
        Transmaster_Disconnect();
        g_Config.szHostCertName[0] = '\0';
        std::string log = ReadLog();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        std::string trace = c.protocol != nullptr ? emu.trace() : emu.traceWith(c.hostSaw);
        if (c.protocol != nullptr) {
            ASSERT_GE(answer.size(), 5u);
            EXPECT_EQ(0, answer[0]);
            EXPECT_EQ("1810", std::string(answer.begin() + 1, answer.begin() + 5));
            uint16_t action = 0;
            EXPECT_EQ(0, TMMsgBuilder_GetEchoTestResponse(answer.data(), static_cast<uint16_t>(answer.size()), &action));
            EXPECT_EQ(800, action);
            EXPECT_NE(std::string::npos, trace.find(std::string("CONN 1 ") + c.protocol + "TLS-RSA-WITH-3DES-EDE-CBC-SHA")) << trace;
            EXPECT_NE(std::string::npos, trace.find("tid=TERM0001 kind=0")) << trace;
            EXPECT_NE(std::string::npos, trace.find("mti=1800")) << trace;
        } else {
            EXPECT_NE(std::string::npos, log.find("ERROR. ssl_handshake_client: [-0x2700]")) << log;
            EXPECT_NE(std::string::npos, log.find("ERROR. Transmaster_Connect. Connect: 1080")) << log;
            // The host saw why, and nothing of a request.
            EXPECT_NE(std::string::npos, trace.find(std::string("CONN 1 failed handshake: ")));
            EXPECT_NE(std::string::npos, trace.find(c.hostSaw)) << trace;
            EXPECT_EQ(std::string::npos, trace.find("REQ ")) << trace;
        }
    }
}

// The rule that decides whether a certificate names the peer, on certificates made here.
TEST_F(TransportTest, PeerIdentityRule) {
    struct Case {
        const char* name;
        const char* cn;        // subject's common name
        const char* sans;      // subjectAltNames, "" for none
        const char* address;   // dialled
        const char* certName;  // HOSTCERTNAME / KWRMCERTNAME
        bool named;
    };
    const Case cases[] = {
        {"IP subjectAltName is the address", "bank host", "IP:10.1.2.3", "10.1.2.3", "", true},
        {"IP subjectAltName among others", "x", "DNS:a.example,IP:10.9.9.9,IP6:::1,IP:10.1.2.3", "10.1.2.3", "", true},
        {"IP subjectAltName of another address", "10.1.2.3", "IP:10.1.2.4", "10.1.2.3", "", false},
        {"address only as CN while subjectAltNames exist", "10.1.2.3", "DNS:bank.example", "10.1.2.3", "", false},
        {"address given, only a DNS subjectAltName of its text", "x", "DNS:10.1.2.3", "10.1.2.3", "", false},
        {"IPv6 subjectAltName only", "x", "IP6:::ffff:10.1.2.3", "10.1.2.3", "", false},
        {"no subjectAltName, CN is the address", "10.1.2.3", "", "10.1.2.3", "", true},
        {"no subjectAltName, CN is another address", "10.1.2.30", "", "10.1.2.3", "", false},
        {"no subjectAltName, CN a longer text", "10.1.2.3.evil", "", "10.1.2.3", "", false},
        {"configured name as DNS subjectAltName", "x", "IP:10.1.2.3,DNS:host.bank.example", "10.1.2.3",
         "host.bank.example", true},
        {"configured name in other letters", "x", "DNS:Host.Bank.Example", "10.1.2.3", "HOST.bank.example", true},
        {"configured name, only the address in the certificate", "x", "IP:10.1.2.3", "10.1.2.3",
         "host.bank.example", false},
        {"configured name, CN only while subjectAltNames exist", "host.bank.example", "DNS:other.example",
         "10.1.2.3", "host.bank.example", false},
        {"configured name as CN without subjectAltName", "host.bank.example", "", "10.1.2.3", "host.bank.example",
         true},
        {"configured name is a suffix of the certificate's", "x", "DNS:evilhost.bank.example", "10.1.2.3",
         "host.bank.example", false},
        {"configured name with a trailing part", "x", "DNS:host.bank.example.evil", "10.1.2.3",
         "host.bank.example", false},
        {"wildcard subjectAltName", "x", "DNS:*.bank.example", "10.1.2.3", "host.bank.example", false},
        {"wildcard CN", "*.bank.example", "", "10.1.2.3", "host.bank.example", false},
        {"wildcard configured and in the certificate", "x", "DNS:*.bank.example", "10.1.2.3", "*.bank.example",
         false},
        {"configured address as name", "x", "IP:192.168.7.7", "10.1.2.3", "192.168.7.7", true},
        {"a URI subjectAltName is no DNS name", "x", "URI:host.bank.example", "10.1.2.3", "host.bank.example",
         false},
        {"nothing dialled, nothing configured", "x", "IP:10.1.2.3", "", "", false},
    };
    const std::string key = g_work->file("pki/host.key"), caKey = g_work->file("pki/ca.key");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CertOrder order;
        order.subject = std::string("C=BY,O=RAVO Test,CN=") + c.cn;
        order.sans = c.sans;
        order.keyFile = key;
        order.issuerKeyFile = caKey;
        order.issuerName = kTestCAName;
        std::string pem = MakeCert(order);
        mbedtls_x509_crt crt;
        mbedtls_x509_crt_init(&crt);
        ASSERT_EQ(0, mbedtls_x509_crt_parse(&crt, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1));
        EXPECT_EQ(c.named, NetLayer_CertNamesPeer(&crt, c.address, c.certName));
        mbedtls_x509_crt_free(&crt);
    }
    EXPECT_FALSE(NetLayer_CertNamesPeer(nullptr, "10.1.2.3", ""));
}

// A refused handshake says why on both sides: the terminal's log names the alert the host
// refused it with, the host's trace what was wrong with the terminal's certificate.
TEST_F(TransportTest, RefusedHandshakeSaysWhy) {
    struct Case {
        const char* name;
        const char* issuerDir;  // CA that signs the terminal's certificate
        const char* issuerName;
        const char* notAfter;
        int connect;
        const char* logged;
        const char* hostSaw;
    };
    const Case cases[] = {
        {"a terminal certificate made here and in date", "pki", kTestCAName, "20491231235959", 0, "SSL Hanshake OK",
         "CONN 1 TLSv1.2"},
        {"expired terminal certificate", "pki", kTestCAName, "20210101000000", RES_HOST_CONNECT,
         "alert from the peer: certificate_expired (45)",
         "/ client certificate: The certificate validity has expired"},
        {"terminal certificate of another CA", "pki/rogue", "C=BY,O=Elsewhere,CN=Other CA", "20491231235959",
         RES_HOST_CONNECT, "alert from the peer: unknown_ca (48)",
         "/ client certificate: The certificate is not correctly signed by the trusted CA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        CertOrder order;
        order.subject = "C=BY,O=RAVO Test,CN=TERM0001";
        order.keyFile = g_work->file("pki/sha256/SSLK");
        order.issuerKeyFile = g_work->file(std::string(c.issuerDir) + "/ca.key");
        order.issuerName = c.issuerName;
        order.notAfter = c.notAfter;
        g_work->write("pki/own/SSLC", MakeCert(order));
        ASSERT_EQ(0, system("cp pki/sha256/SSLA pki/sha256/SSLK pki/own/"));
        ASSERT_EQ(0, LoadTerminal("own"));
        HostEmu emu("default");
        ASSERT_NE(0, emu.port());
        std::vector<uint8_t> answer;
        EXPECT_EQ(c.connect, EchoExchange(emu, &answer));
        Transmaster_Disconnect();
        std::string log = ReadLog();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        if (c.connect != 0) {
            EXPECT_NE(std::string::npos, log.find("ERROR. ssl_handshake_client: [-0x")) << log;
            EXPECT_NE(std::string::npos, log.find("ERROR. Transmaster_Connect. Connect: 1080")) << log;
        }
        std::string trace = emu.traceWith(c.hostSaw);
        EXPECT_NE(std::string::npos, trace.find(c.hostSaw)) << trace;
    }
}

// Over TLS 1.0 every packet travels as two records (the first of one byte). Neither a
// host that sends at once nor one that keeps the delay of small writes (Nagle) may make
// the terminal wait for delayed acknowledgements (some 40 ms an exchange).
TEST_F(TransportTest, TlsOneZeroExchangesDoNotWaitForAcknowledgements) {
    const int kExchanges = 50;
    for (bool keepNagle : {false, true}) {
        SCOPED_TRACE(keepNagle ? "host keeps Nagle" : "host sends at once");
        ClearLog();
        ASSERT_EQ(0, LoadTerminal("sha1"));
        emu::HostEmuProcess host(*g_work, "* default", g_work->file("pki"), 0, keepNagle);
        ASSERT_NE(0, host.port());
        g_Config.usSecPort = host.port();
        ASSERT_EQ(0, Transmaster_Connect());
        std::vector<uint8_t> rq = EchoRequest();
        std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kExchanges; ++i) {
            ASSERT_EQ(0, Transmaster_SendPacket(rq.data(), static_cast<uint16_t>(rq.size())));
            uint16_t length = 0;
            ASSERT_EQ(0, Transmaster_Receive(buf.data(), &length));
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Transmaster_Disconnect();
        EXPECT_NE(std::string::npos, ReadLog().find("Protocol is [TLSv1.0]"));
        // Waiting for acknowledgements costs 2 s and more; the exchanges themselves a few ms.
        EXPECT_LT(seconds, 1.0) << kExchanges << " exchanges";
    }
}

time_t g_WallNow = 0;
time_t WallNow() { return g_WallNow; }
const SSysClockSeam kWallClock = {WallNow, nullptr, nullptr};

time_t SecondsOf(const mbedtls_x509_time& t) {
    struct tm utc = {};
    utc.tm_year = t.year - 1900;
    utc.tm_mon = t.mon - 1;
    utc.tm_mday = t.day;
    utc.tm_hour = t.hour;
    utc.tm_min = t.min;
    utc.tm_sec = t.sec;
    return timegm(&utc);
}

// The host's certificate is judged on the module clock, not on the TLS library's
// own (a 32-bit time_t on the till, wrong from 2038 on): a host stays reachable
// past January 2038 and an expired one is refused whatever that clock reads.
TEST_F(TransportTest, CertificateDatesFollowTheModuleClock) {
    // The span in which both the host's certificate and its CA's are valid.
    time_t from = 0, to = 0;
    for (const char* name : {"pki/ca.crt", "pki/host.crt"}) {
        mbedtls_x509_crt crt;
        mbedtls_x509_crt_init(&crt);
        ASSERT_EQ(0, mbedtls_x509_crt_parse_file(&crt, g_work->file(name).c_str())) << name;
        from = std::max(from, SecondsOf(crt.valid_from));
        to = to == 0 ? SecondsOf(crt.valid_to) : std::min(to, SecondsOf(crt.valid_to));
        mbedtls_x509_crt_free(&crt);
    }
    const time_t k2040 = 2208988800;  // 2040-01-01 00:00:00 UTC
    ASSERT_TRUE(from < k2040 && k2040 < to) << "the test PKI must outlive 2040";
    struct Case { const char* name; time_t now; int connect; const char* logged; };
    const Case cases[] = {
        {"a day before the chain is valid", from - 86400, RES_HOST_CONNECT,
         "The certificate validity starts in the future"},
        {"on the first second of the chain", from, 0, "SSL Hanshake OK"},
        {"in 2040", k2040, 0, "SSL Hanshake OK"},
        {"on the last second of the chain", to, 0, "SSL Hanshake OK"},
        {"a second after the chain ends", to + 1, RES_HOST_CONNECT, "The certificate validity has expired"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        g_WallNow = c.now;
        HostEmu emu("default");
        ASSERT_NE(0, emu.port());
        std::vector<uint8_t> answer;
        SysClock_SetSeam(&kWallClock);
        int rc = EchoExchange(emu, &answer);
        SysClock_SetSeam(nullptr);
        EXPECT_EQ(c.connect, rc);
        Transmaster_Disconnect();
        std::string log = ReadLog();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
    }
}

// What the host sends back, frame by frame, and what the packet layer makes of it.
TEST_F(TransportTest, ReceiveFramesAndFaults) {
    const std::string longest(1023, 'A');  // with the status byte: exactly 1024
    struct Case {
        std::string name;
        std::string scenario;
        std::vector<int> results;   // one per Transmaster_Receive
        std::vector<int> lengths;   // of the successful receives
        int firstByte;              // of the last successful packet, -1 to skip
        const char* logged;
    };
    const Case cases[] = {
        {"usual echo answer", "default", {0}, {-1}, 0, nullptr},
        {"status byte alone", "status 41", {0}, {1}, 0x41, nullptr},
        {"empty packet", "frame 0000", {0}, {0}, -1, nullptr},
        {"1024 bytes is the longest packet", "raw " + longest, {0}, {1024}, 0, nullptr},
        {"1025 announced: refused after the two length bytes", "oversize", {RES_HOST_SEND}, {}, -1,
         "ERROR. Transmaster_Receive. Length too big: 1025"},
        {"0xFFFF announced", "frame FFFF 00", {RES_HOST_SEND}, {}, -1, "Length too big: 65535"},
        {"dropped before any byte", "drop", {RES_HOST_SEND}, {}, -1, "ERROR. Transmaster_Receive. Recv: -1"},
        {"one length byte then dropped", "bytes 00; drop", {RES_HOST_SEND}, {}, -1, "Transmaster_Receive. Recv:"},
        {"lying length: 100 announced, 3 sent", "frame 0064 00 31 38; drop", {RES_HOST_SEND}, {}, -1,
         "ERROR. Transmaster_Receive. Recv2: -1. Length: 100"},
        {"hold-ons then the answer", "holdon 2; status 50", {0, 0, 0}, {-1, -1, 1}, 0x50, nullptr},
        {"two frames in one write are read apart", "frame 0001 41 0002 00 31", {0, 0}, {1, 2}, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        HostEmu emu(c.scenario);
        ASSERT_NO_FATAL_FAILURE(ConnectAndSendEcho(emu));
        // Guard bytes behind the 1024-byte buffer catch any write past it.
        std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET + 64, 0xEE);
        uint8_t lastFirst = 0;
        for (size_t i = 0; i < c.results.size(); ++i) {
            uint16_t length = 0xBEEF;
            ASSERT_EQ(c.results[i], Transmaster_Receive(buf.data(), &length)) << "receive " << i;
            if (c.results[i] == 0) {
                if (c.lengths[i] >= 0) {
                    EXPECT_EQ(c.lengths[i], length) << "receive " << i;
                } else {
                    EXPECT_GT(length, 20) << "receive " << i;
                }
                lastFirst = buf[0];
            } else {
                EXPECT_EQ(0xBEEF, length) << "a failed receive leaves the length alone";
            }
        }
        for (size_t i = TRANSMASTER_MAX_PACKET; i < buf.size(); ++i) ASSERT_EQ(0xEE, buf[i]) << "overrun at " << i;
        if (c.firstByte >= 0) {
            EXPECT_EQ(c.firstByte, lastFirst);
        }
        if (c.logged) {
            EXPECT_NE(std::string::npos, ReadLog().find(c.logged)) << ReadLog();
        }
        Transmaster_Disconnect();
    }
}

// Malformed answers that arrive intact: the parsers get the codes, not a crash.
TEST_F(TransportTest, MalformedAnswersGiveCodes) {
    struct Case {
        const char* name;
        const char* scenario;
        int parsed;  // TMMsgBuilder_GetEchoTestResponse
        uint16_t action;
    };
    const Case cases[] = {
        {"usual answer", "default", 0, 800},
        {"front end without bank connection", "status 50", RES_HOST_STATUS_BASE + 0x50, 0},
        {"link error status", "status FF", RES_HOST_STATUS_BASE + 0xFF, 0},
        {"action code removed", "default f39=", RES_HOST_NO_RRN_AUTH, 0},
        {"bit 39 set, message ends at the bitmap", "raw 18100000000002000000", RES_HOST_NO_RRN_AUTH, 0},
        {"non-digit length prefix before field 39", "raw 18104000000002000000XY1234567890800", RES_HOST_NO_RRN_AUTH, 0},
        {"field 2 claims more than was received", "raw 18104000000002000000151238000", RES_HOST_NO_RRN_AUTH, 0},
        {"bitmap of non-hex characters", "raw 1810ZZZZZZZZZZZZZZZZ800", RES_HOST_NO_RRN_AUTH, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostEmu emu(c.scenario);
        ASSERT_NE(0, emu.port());
        std::vector<uint8_t> answer;
        ASSERT_EQ(0, EchoExchange(emu, &answer));
        uint16_t action = 0;
        EXPECT_EQ(c.parsed, TMMsgBuilder_GetEchoTestResponse(answer.data(), static_cast<uint16_t>(answer.size()), &action));
        if (c.parsed == 0) {
            EXPECT_EQ(c.action, action);
        }
        Transmaster_Disconnect();
    }
}

// A host that stops talking: each read of a packet ends after its 45 seconds (on a fast clock).
TEST_F(TransportTest, StalledHostTimesOut) {
    struct Case {
        const char* name;
        const char* scenario;
        const char* logged;
    };
    const Case cases[] = {
        {"stall after the length bytes", "stall", "ERROR. Transmaster_Receive. Recv2: -26624. Length: "},
        {"no answer at all", "wait 20000", "ERROR. Transmaster_Receive. Recv: -26624"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        HostEmu emu(c.scenario);
        ASSERT_NO_FATAL_FAILURE(ConnectAndSendEcho(emu));
        std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET);
        uint16_t length = 0;
        auto start = std::chrono::steady_clock::now();
        {
            FastClock fast;
            EXPECT_EQ(RES_HOST_SEND, Transmaster_Receive(buf.data(), &length));
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << "the wait must follow the clock seam";
        EXPECT_GT(seconds, 0.3) << "45 s on a 100x clock is about 0.45 s";
        std::string log = ReadLog();
        EXPECT_NE(std::string::npos, log.find("ERROR. NetReceiveTimeout. Socket read timeout [45] sec")) << log;
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        Transmaster_Disconnect();
    }
}

// A peer that accepts TCP but never answers the handshake must not hold the till for ever.
TEST_F(TransportTest, SilentPeerFailsHandshake) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(listener, 1));
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &len);
    g_Config.usSecPort = ntohs(addr.sin_port);
    {
        FastClock fast;
        EXPECT_EQ(RES_HOST_CONNECT, Transmaster_Connect());
    }
    EXPECT_NE(std::string::npos, ReadLog().find("ssl_handshake_client: [-0x6800]")) << ReadLog();
    Transmaster_Disconnect();
    close(listener);
}

// Connections that cannot be made, and closing what is not open.
TEST_F(TransportTest, ConnectFailures) {
    struct Case {
        const char* name;
        const char* host;
        uint16_t port;
        const char* logged;
    };
    const emu::ClosedPort refusing;
    const uint16_t closedPort = refusing.port();

    // A listener whose accept queue is full: the kernel drops further
    // connection requests without an answer, as a host behind a dropping
    // firewall does, and a blocking connect would wait out every SYN retry.
    int full = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(full, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(full, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(full, 0));
    socklen_t addrLen = sizeof(addr);
    getsockname(full, reinterpret_cast<struct sockaddr*>(&addr), &addrLen);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
        fillers.push_back(f);
    }
    usleep(100000);  // the first filler is taken into the queue, which is then full

    const Case cases[] = {
        {"host name instead of a dotted address", "localhost", 443, "ERROR. NetConnect: 22"},
        {"empty address", "", 443, "ERROR. NetConnect: 22"},
        {"nothing listening", "127.0.0.1", closedPort, "ERROR. NetConnect: 111"},
        {"connection request dropped", "127.0.0.1", ntohs(addr.sin_port), "ERROR. NetConnect: 110"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        snprintf(g_Config.szHost, sizeof(g_Config.szHost), "%s", c.host);
        g_Config.usSecPort = c.port;
        auto start = std::chrono::steady_clock::now();
        {
            FastClock fast;
            EXPECT_EQ(RES_HOST_CONNECT, Transmaster_Connect());
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << "the connect is bounded like the handshake, on the clock seam";
        std::string log = ReadLog();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        EXPECT_NE(std::string::npos, log.find("ERROR. Transmaster_Connect. Connect: 1080")) << log;
        // Nothing is open: reads, writes and closes fail or do nothing, never crash.
        uint8_t buf[TRANSMASTER_MAX_PACKET];
        uint16_t length = 0;
        EXPECT_EQ(RES_HOST_SEND, Transmaster_Receive(buf, &length));
        EXPECT_EQ(RES_HOST_SEND, Transmaster_SendPacket(buf, 10));
        EXPECT_EQ(0, Transmaster_Disconnect());
        EXPECT_EQ(0, Transmaster_Disconnect());
    }
    for (int f : fillers) close(f);
    close(full);
}

// Requests longer than a packet are refused before anything is written; the longest passes whole.
TEST_F(TransportTest, SendLimitAndSequentialConnections) {
    HostEmu emu("default", "pki", 2);
    ASSERT_NE(0, emu.port());
    g_Config.usSecPort = emu.port();

    ASSERT_EQ(0, Transmaster_Connect());
    std::vector<uint8_t> big(TRANSMASTER_MAX_PACKET + 1, 'Z');
    EXPECT_EQ(RES_HOST_SEND, Transmaster_SendPacket(big.data(), static_cast<uint16_t>(big.size())));
    EXPECT_NE(std::string::npos, ReadLog().find("ERROR. Transmaster_SendPacket. usBufferLen: 1025"));
    // 1024 bytes of an envelope that does not decode: the host says it was not processed.
    EXPECT_EQ(0, Transmaster_SendPacket(big.data(), TRANSMASTER_MAX_PACKET));
    std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET);
    uint16_t length = 0;
    ASSERT_EQ(0, Transmaster_Receive(buf.data(), &length));
    EXPECT_EQ(1, length);
    EXPECT_EQ(0x41, buf[0]);
    Transmaster_Disconnect();

    // The second connection: a card transaction request with card data in the clear in
    // field 2 and in security elements; none of it may reach the host's trace.
    ASSERT_EQ(0, Transmaster_Connect());
    TMMsgPrs_InitContainer(&stTMMsg);
    TMMsgPrs_SetMTI(&stTMMsg, 1200);
    TMMsgPrs_AddField(&stTMMsg, 2, "4111111111111111", 16);
    TMMsgPrs_AddField(&stTMMsg, 3, "000000", 6);
    TMMsgPrs_AddField(&stTMMsg, 4, "1500", 4);
    TMMsgPrs_AddField(&stTMMsg, 41, "TERM0001", 8);
    uint16_t msgLength = stTMMsg.usLength;
    const uint8_t pan[16] = {0x41, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    aux_TMMsgBuilder_AddSecField(&stTMMsg, 1, 2, 16, pan);
    TMMsgBuilder_PrepareSecPacket(&stTMMsg, "TERM0001", TMMSG_PACKET_TRANSACTION, msgLength);
    ASSERT_EQ(0, Transmaster_SendPacket(reinterpret_cast<uint8_t*>(stTMMsg.acMessage), stTMMsg.usLength));
    ASSERT_EQ(0, Transmaster_Receive(buf.data(), &length));
    S_PAY_ORDER order = {};
    order.ucOpType = OP_SALE;
    EXPECT_EQ(0, TMMsgBuilder_ParseTransactionRs(buf.data(), length, &order, nullptr));
    EXPECT_EQ(0, order.usRespCode);
    Transmaster_Disconnect();

    EXPECT_EQ(0, emu.waitExit()) << "the emulator ends after the given count of connections";
    std::string trace = emu.trace();
    EXPECT_NE(std::string::npos, trace.find("CONN 2 ")) << trace;
    EXPECT_NE(std::string::npos, trace.find("REQ 1 conn=1 bad-envelope")) << trace;
    EXPECT_NE(std::string::npos, trace.find("REQ 2 conn=2 tid=TERM0001 kind=1")) << trace;
    EXPECT_NE(std::string::npos, trace.find("f2=[16 masked] f3=000000 f4=000000001500")) << trace;
    EXPECT_NE(std::string::npos, trace.find("sec1=f2/16/16")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("4111111111111111")) << trace;
}

// The emulator's usual answer to a key download carries the key asked for.
TEST_F(TransportTest, KeyDownloadDefaultAnswer) {
    HostEmu emu("holdon; default");
    ASSERT_NE(0, emu.port());
    g_Config.usSecPort = emu.port();
    ASSERT_EQ(0, Transmaster_Connect());
    uint16_t rqLength = 0;
    uint8_t* rq = TMMsgBuilder_GetKeyDownloadRq(0, &rqLength, RTPS_KEY_TPK, 1, 1);
    ASSERT_NE(nullptr, rq);
    ASSERT_EQ(0, Transmaster_SendPacket(rq, rqLength));
    std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET);
    char keyData[TMMSG_KEY_DATA_SIZE] = {};
    char authCode[7] = {};
    uint16_t action = 0;
    uint16_t length = 0;
    ASSERT_EQ(0, Transmaster_Receive(buf.data(), &length));
    EXPECT_EQ(RES_HOST_ONLY_HOLDON, TMMsgBuilder_ParseKeyDownloadRs(buf.data(), length, keyData, &action, authCode, nullptr));
    ASSERT_EQ(0, Transmaster_Receive(buf.data(), &length));
    EXPECT_EQ(0, TMMsgBuilder_ParseKeyDownloadRs(buf.data(), length, keyData, &action, authCode, nullptr));
    EXPECT_EQ(800, action);
    EXPECT_STREQ("MTPK0320123456789ABCDEFFEDCBA9876543210", keyData);
}

// Another TLS implementation as the peer: GnuTLS's echo server offering only
// TLS_RSA_3DES_EDE_CBC_SHA1 and demanding a client certificate.
TEST_F(TransportTest, HandshakeWithGnuTLSServer) {
    const char* const gnutlsServ = "/usr/bin/gnutls-serv";
    if (access(gnutlsServ, X_OK) != 0) GTEST_SKIP() << "gnutls-serv not installed (package gnutls-bin)";
    const char* const priority =
        "NORMAL:-KX-ALL:+RSA:-CIPHER-ALL:+3DES-CBC:-MAC-ALL:+SHA1:+VERS-TLS1.0:+VERS-TLS1.1:"
        "%VERIFY_ALLOW_SIGN_WITH_SHA1";
    struct Case {
        const char* terminal;
        const char* hostDir;  // the server's certificate and key
        const char* protocol;
    };
    const Case cases[] = {
        {"sha256", "pki", "Protocol is [TLSv1.2]"},
        {"sha1", "pki", "Protocol is [TLSv1.0]"},
        {"sha1", "pki/sha1", "Protocol is [TLSv1.0]"},  // the older host chain: SHA-1, RSA 1024
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.terminal) + " terminal, " + c.hostDir + "/host.crt");
        ClearLog();
        ASSERT_EQ(0, LoadTerminal(c.terminal));
        uint16_t port = FreePort();
        std::string portText = std::to_string(port);
        std::string cert = g_work->file(std::string(c.hostDir) + "/host.crt"),
                    key = g_work->file(std::string(c.hostDir) + "/host.key"), ca = g_work->file("pki/ca.crt");
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execl(gnutlsServ, gnutlsServ, "--echo", "-p", portText.c_str(), "--x509certfile", cert.c_str(),
                  "--x509keyfile", key.c_str(), "--x509cafile", ca.c_str(), "--require-client-cert",
                  "--verify-client-cert", "--priority", priority, (char*)nullptr);
            _exit(127);
        }
        // Ready once its port takes a TCP connection (at most 10 s).
        bool listening = false;
        for (int i = 0; i < 500 && !listening; ++i) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in addr = {};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            listening = connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
            close(s);
            if (!listening) usleep(20000);
        }
        ASSERT_TRUE(listening);
        g_Config.usSecPort = port;
        EXPECT_EQ(0, Transmaster_Connect());
        // The echo server answers a whole text line with what it received: a packet of
        // 0x141 bytes (no zero byte in its frame) ending in a line feed comes back as it went.
        std::vector<uint8_t> rq(0x141, 'A');
        rq.back() = '\n';
        EXPECT_EQ(0, Transmaster_SendPacket(rq.data(), static_cast<uint16_t>(rq.size())));
        std::vector<uint8_t> buf(TRANSMASTER_MAX_PACKET);
        uint16_t length = 0;
        EXPECT_EQ(0, Transmaster_Receive(buf.data(), &length));
        EXPECT_EQ(rq, std::vector<uint8_t>(buf.begin(), buf.begin() + length));
        Transmaster_Disconnect();
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::string log = ReadLog();
        EXPECT_NE(std::string::npos, log.find(c.protocol)) << log;
        EXPECT_NE(std::string::npos, log.find("Ciphersuite is [TLS-RSA-WITH-3DES-EDE-CBC-SHA]")) << log;
    }
}

// A scenario the emulator cannot follow stops it before it listens, naming the line.
TEST_F(TransportTest, EmulatorRefusesBadScenario) {
    const char* const lines[] = {
        "pickup 150",       // pick-up codes are 200..299
        "decline",          // no action code
        "approve 1234",     // action codes have three characters
        "status 00",        // a status byte alone is never 0
        "frame 12 00",      // the announced length has four hexadecimal digits
        "holdon x",
        "approve; ; drop",  // an empty answer
        "teleport",
        "approve f12=2502031405091",                    // field 12 holds 12 characters
        "holdon f2=41111111111111111111",               // field 2 at most 19
        "default f1=0000000000000000 f95=X",            // the secondary bitmap is the emulator's
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        std::string scen = g_work->file("bad.scen");
        std::ofstream(scen) << "# comment\napprove\n" << line << "\n";
        std::string cmd = std::string(emu::HostEmuPath()) + " --cert pki/host.crt --key pki/host.key --ca pki/ca.crt" +
                          " --scenario " + scen + " 2>" + g_work->file("bad.err") + " >/dev/null";
        int status = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(2, WEXITSTATUS(status));
        EXPECT_NE(std::string::npos, ReadFile(g_work->file("bad.err")).find("bad.scen:3:"));
    }
}

}  // namespace

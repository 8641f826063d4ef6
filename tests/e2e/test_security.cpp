// Who the till talks to, through the real processes: a sale against host_emu
// and a CloseDay with its management session against tmanager_emu, each peer
// presenting a certificate of the test PKI. Genuine peers serve both terminal
// set-ups (SHA-256, and SHA-1 over TLS 1.0); an impostor, whether its CA is
// unrelated or the bank's own with another name on the certificate, is refused
// before a byte of a request reaches it and changes nothing in the payment
// directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>

#include "kernel/ranges.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"
#include "tests/e2e/terminal.h"

namespace e2e {
namespace {

using emu::ReadFile;

enum class Link { Host, Manager };

struct PeerCase {
    const char* name;
    Link link;
    const char* tlsSet;    // the terminal's TLS files: "sha256" or "sha1"
    const char* peerCert;  // folder of the test PKI with the peer's host.crt/key; "" the genuine one
    const char* certKey;   // CONFIG.INI key naming the peer's certificate, "KEY=value", or ""
    bool served;           // the till talks to this peer
};

const PeerCase kPeerCases[] = {
    {"genuine host, SHA-256 terminal", Link::Host, "sha256", "", "", true},
    {"genuine host, SHA-1 terminal over TLS 1.0", Link::Host, "sha1", "", "", true},
    {"genuine older host chain (SHA-1 signed, RSA 1024), SHA-1 terminal", Link::Host, "sha1", "sha1", "", true},
    {"host named by HOSTCERTNAME", Link::Host, "sha256", "named", "HOSTCERTNAME=host.bank.example", true},
    {"impostor host of the bank's CA with another name, SHA-256 terminal", Link::Host, "sha256", "elsewhere", "",
     false},
    {"impostor host of the bank's CA with another name, SHA-1 terminal", Link::Host, "sha1", "elsewhere", "", false},
    {"impostor host of an unrelated CA, SHA-1 terminal", Link::Host, "sha1", "rogue", "", false},
    {"genuine manager, SHA-256 terminal", Link::Manager, "sha256", "", "", true},
    {"genuine manager, SHA-1 terminal", Link::Manager, "sha1", "", "", true},
    {"manager named by KWRMCERTNAME", Link::Manager, "sha256", "named", "KWRMCERTNAME=host.bank.example", true},
    {"impostor manager of an unrelated CA, SHA-1 terminal", Link::Manager, "sha1", "rogue", "", false},
    {"impostor manager of the bank's CA with another name, SHA-256 terminal", Link::Manager, "sha256", "elsewhere",
     "", false},
    {"impostor manager of the bank's CA with another name, SHA-1 terminal", Link::Manager, "sha1", "elsewhere", "",
     false},
};

// A day long gone whose log a session uploads and removes.
const char* const kOldLog = "LOG/20200101.LOG";

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Ranges(int n) {
    std::string table;
    for (int i = 0; i < n; ++i) {
        SRangeEntry e;
        memset(&e, 0, sizeof(e));
        snprintf(e.szPrefix, sizeof(e.szPrefix), "%d", 4 + i);
        snprintf(e.szPaySysName, sizeof(e.szPaySysName), "SYSTEM%d", i);
        e.ucChipFlag = e.ucReturnFlag = e.ucBalanceFlag = 1;
        table.append(reinterpret_cast<const char*>(&e), sizeof(e));
    }
    return table;
}

// What a CloseDay itself writes, whoever the manager is: the request and the
// answer, the records of the closed day, and today's log.
bool WrittenByTheOperation(const std::string& path) {
    static const char* const kOwn[] = {"RAVORQ.XML", "RAVORS.XML", "DATA/BATCH.CFG", "DATA/TRANS.CFG",
                                       "DATA/VERSION", "DATA/RVS.SAV", "DATA/RVSLAST.SAV"};
    for (const char* own : kOwn)
        if (path == own) return true;
    char today[32];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(today, sizeof(today), "LOG/%Y%m%d.LOG", &local);
    return path == today;
}

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

class PeerIdentity : public ::testing::TestWithParam<PeerCase> {};

TEST_P(PeerIdentity, OnlyTheBanksPeerIsServed) {
    const PeerCase& c = GetParam();
    Terminal t;
    t.tlsSet = c.tlsSet;
    std::string certKey = c.certKey;
    if (!certKey.empty()) t.config[certKey.substr(0, certKey.find('='))] = certKey.substr(certKey.find('=') + 1);
    // The older set-up stays at TLS 1.0, as the peer's trace shows.
    const std::string session = std::string("CONN 1 ") + (c.tlsSet == std::string("sha1") ? "TLSv1.0 " : "TLSv1.2 ");

    if (c.link == Link::Host) {
        t.hostCertDir = c.peerCert;
        RunResult r = t.Run(Request("Sale", 1500), "", "* approve");
        EXPECT_EQ(0, r.exitCode);
        std::vector<std::string> requests = HostRequests(r.host, "");
        if (c.served) {
            EXPECT_EQ(0, r.ResultCode()) << r.response;
            EXPECT_EQ(1u, HostRequests(r.host, "1200").size()) << r.host;
            EXPECT_TRUE(Has(r.host, session)) << r.host;
            EXPECT_EQ(1u, t.Journal().size());
        } else {
            EXPECT_EQ(1080, r.ResultCode()) << r.response;
            EXPECT_TRUE(requests.empty()) << "a request reached the impostor:\n" << r.host;
            EXPECT_TRUE(Has(r.host, "CONN 1 failed handshake: ")) << r.host;
            EXPECT_TRUE(Has(r.log, "ERROR. Transmaster_Connect. Connect: 1080")) << r.log;
            EXPECT_FALSE(t.Exists("DATA/RVS.SAV")) << "nothing was sent, nothing to reverse";
            EXPECT_TRUE(t.Journal().empty());
        }
        return;
    }

    // The manager: a CloseDay at a genuine host, then its session.
    TempDir dir(false);
    ASSERT_EQ(0, symlink(TestPki().c_str(), dir.file("pki").c_str()));
    mkdir(dir.file("srv").c_str(), 0777);
    mkdir(dir.file("up").c_str(), 0777);
    const std::string ranges = Ranges(3);
    WriteFile(dir.file("srv/RANGE.CFG"), ranges);
    WriteFile(dir.file("srv/EMVCFG"), "MANAGERS-EMV-CONFIG");
    const std::string peerDir = *c.peerCert ? TestPki() + "/" + c.peerCert : "";
    emu::TManagerEmuProcess manager(dir, "", dir.file("srv"), dir.file("up"), 0, peerDir);
    ASSERT_NE(0, manager.port()) << "tmanager_emu did not start";
    t.config["KWRMPORT"] = std::to_string(manager.port());

    // A first call puts the terminal's TLS files in DATA; the CloseDay starts from there.
    RunResult first = t.Run(Request("DayReport"), "", "");
    ASSERT_EQ(0, first.ResultCode()) << first.response;
    std::map<std::string, std::string> before;
    t.beforeLaunch = [&before](const std::string& pay) {
        mkdir((pay + "/LOG").c_str(), 0777);
        WriteFile(pay + "/" + kOldLog, "a day long gone\n");
        Snapshot(pay, "", &before);
    };
    RunResult r = t.Run(Request("CloseDay"), "", "approve 500");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(0, r.ResultCode()) << "the operation's answer: " << r.response;
    // An impostor traces its failed handshake after the till has given up.
    std::string trace = c.served ? manager.trace() : manager.traceWith("CONN 1 failed handshake: ");
    if (c.served) {
        EXPECT_TRUE(Has(r.log, "KWRM FINISHED [0]")) << r.log;
        EXPECT_EQ(ranges, ReadFile(t.Path() + "/DATA/RANGE.CFG"));
        EXPECT_EQ("MANAGERS-EMV-CONFIG", ReadFile(t.Path() + "/DATA/EMVCFG"));
        EXPECT_FALSE(t.Exists(kOldLog)) << "uploaded";
        EXPECT_TRUE(Has(trace, "status=00000000 close")) << trace;
        EXPECT_TRUE(Has(trace, session)) << trace;
        return;
    }
    EXPECT_TRUE(Has(r.log, "ERROR. KWRM_MGR_Connect. NetLayer_Connect: 1080")) << r.log;
    EXPECT_TRUE(Has(r.log, "KWRM FINISHED [1601]")) << r.log;
    EXPECT_TRUE(Has(trace, "CONN 1 failed handshake: ")) << trace;
    EXPECT_FALSE(Has(trace, "RX ")) << "a frame reached the impostor:\n" << trace;
    ASSERT_TRUE(before.count("DATA/SSLA") && before.count(kOldLog)) << "no snapshot before the session";
    std::map<std::string, std::string> after;
    Snapshot(t.Path(), "", &after);
    for (const auto& file : before) {
        if (WrittenByTheOperation(file.first)) continue;
        auto now = after.find(file.first);
        EXPECT_TRUE(now != after.end() && now->second == file.second) << file.first << " changed or went";
    }
    for (const auto& file : after) {
        if (WrittenByTheOperation(file.first)) continue;
        EXPECT_TRUE(before.count(file.first)) << file.first << " appeared";
    }
}

INSTANTIATE_TEST_SUITE_P(Security, PeerIdentity, ::testing::ValuesIn(kPeerCases),
                         [](const ::testing::TestParamInfo<PeerCase>& info) { return CaseName(info.param.name); });

}  // namespace
}  // namespace e2e

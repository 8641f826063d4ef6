// The terminal's TLS files checked as one set, on the test PKI: what passes,
// and which check stops each broken set (a file that is not what its name
// says, a key of another certificate, a certificate of another CA, dates
// outside the validity on the module clock).
#include <gtest/gtest.h>

#include <mbedtls/x509.h>
#include <mbedtls/x509_crt.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "host/tlsset.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "tests/common/certs.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

const std::string kPki = RAVO_BUILD_DIR "/test-pki";

time_t g_now = 0;
time_t FixedNow() { return g_now; }

time_t Utc(int year) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mday = 1;
    return timegm(&t);
}

TEST(TlsSet, EachBrokenSetIsStoppedByTheCheckThatFindsIt) {
    TempDir dir;
    const std::string ca = kPki + "/ca.crt", rogueCa = kPki + "/rogue/ca.crt";
    const std::string cert256 = kPki + "/sha256/SSLC", key256 = kPki + "/sha256/SSLK";
    const std::string cert1 = kPki + "/sha1/SSLC", key1 = kPki + "/sha1/SSLK";
    dir.write("garbage", std::string(700, 'g'));
    dir.write("both-cas", emu::ReadFile(rogueCa) + emu::ReadFile(ca));
    const std::string garbage = dir.file("garbage"), bothCas = dir.file("both-cas");
    struct Case {
        const char* name;
        std::string ca, cert, key;
        int year;  // the module clock, 0: now
        uint8_t step;
        uint32_t flag;      // a verification flag the chain must carry
        const char* reason;
        uint8_t sha1;
    };
    const Case cases[] = {
        {"SHA-256 set", ca, cert256, key256, 0, TLSSET_OK, 0, "", 0},
        {"SHA-1 set", ca, cert1, key1, 0, TLSSET_OK, 0, "", 1},
        {"a CA file with the next CA beside this one", bothCas, cert256, key256, 0, TLSSET_OK, 0, "", 0},
        {"CA file of noise", garbage, cert256, key256, 0, TLSSET_CA_PARSE, 0, "SSLA [", 0},
        {"certificate file of noise", ca, garbage, key256, 0, TLSSET_CERT_PARSE, 0, "SSLC [", 0},
        {"a key that is noise", ca, cert256, garbage, 0, TLSSET_KEY_PARSE, 0, "is not a private key", 0},
        {"the certificate in place of the key", ca, cert256, cert256, 0, TLSSET_KEY_PARSE, 0, "is not a private key", 0},
        {"the key of another certificate", ca, cert256, key1, 0, TLSSET_KEY_MATCH, 0, "is not the key of", 0},
        {"a certificate of another CA", ca, kPki + "/rogue/host.crt", kPki + "/rogue/host.key", 0, TLSSET_CHAIN,
         MBEDTLS_X509_BADCERT_NOT_TRUSTED, "does not verify against", 0},
        {"a CA file of another CA", rogueCa, cert256, key256, 0, TLSSET_CHAIN, MBEDTLS_X509_BADCERT_NOT_TRUSTED,
         "does not verify against", 0},
        {"clock past the certificate's end", ca, cert256, key256, 2070, TLSSET_CHAIN, MBEDTLS_X509_BADCERT_EXPIRED,
         "expired", 0},
        {"clock before the certificate's start", ca, cert256, key256, 2001, TLSSET_CHAIN,
         MBEDTLS_X509_BADCERT_FUTURE, "future", 0},
        {"after 2038 within the validity", ca, cert1, key1, 2040, TLSSET_OK, 0, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SSysClockSeam seam = {};
        seam.pfNow = FixedNow;
        g_now = c.year != 0 ? Utc(c.year) : time(nullptr);
        SysClock_SetSeam(&seam);
        STlsSetReport report;
        char reason[TLSSET_REASON_SIZE] = "unset";
        int rc = TlsSet_Check(c.ca.c_str(), c.cert.c_str(), c.key.c_str(), &report, reason, sizeof(reason));
        SysClock_SetSeam(nullptr);
        EXPECT_EQ(c.step == TLSSET_OK ? RES_OK : RES_TLS_CERT_FILES, rc);
        EXPECT_EQ(c.step, report.ucStep) << reason;
        EXPECT_NE(nullptr, strstr(reason, c.reason)) << reason;
        if (c.step == TLSSET_OK) {
            EXPECT_STREQ("", reason);
        }
        if (c.flag != 0) {
            EXPECT_NE(0u, report.ulChainFlags & c.flag) << std::hex << report.ulChainFlags;
        }
        if (c.step > TLSSET_CERT_PARSE || c.step == TLSSET_OK) {
            EXPECT_EQ(c.sha1, report.ucSha1);
            EXPECT_EQ(19u, strlen(report.szCertValidTo)) << report.szCertValidTo;
            EXPECT_EQ(19u, strlen(report.szCaValidTo)) << report.szCaValidTo;
        }
    }
}

// A set held in memory (the pad's copies, as the check program fetches them) is
// judged as the same files on the disk are; the CA whose dates are reported is
// the one that issued the terminal's certificate, wherever it stands in SSLA.
TEST(TlsSet, ASetInMemoryIsJudgedAsOnTheDiskWithItsIssuersDates) {
    TempDir dir;
    const std::string ca = kPki + "/ca.crt";
    CertOrder decoy;
    decoy.subject = decoy.issuerName = "C=BY,O=Elsewhere,CN=Decoy CA";
    decoy.keyFile = decoy.issuerKeyFile = kPki + "/rogue/ca.key";
    decoy.notBefore = "20210101000000";
    decoy.notAfter = "20220101000000";
    dir.write("decoy-first", MakeCert(decoy) + emu::ReadFile(ca));
    dir.write("noise", std::string(700, 'n'));
    struct Case {
        const char* name;
        std::string ca, cert, key;
        uint8_t step;
    };
    const Case cases[] = {
        {"SHA-256 set", ca, kPki + "/sha256/SSLC", kPki + "/sha256/SSLK", TLSSET_OK},
        {"SHA-1 set", ca, kPki + "/sha1/SSLC", kPki + "/sha1/SSLK", TLSSET_OK},
        {"a decoy CA ahead of the issuer", dir.file("decoy-first"), kPki + "/sha256/SSLC", kPki + "/sha256/SSLK",
         TLSSET_OK},
        {"a key that is noise", ca, kPki + "/sha256/SSLC", dir.file("noise"), TLSSET_KEY_PARSE},
        {"the key of another certificate", ca, kPki + "/sha256/SSLC", kPki + "/sha1/SSLK", TLSSET_KEY_MATCH},
        {"a certificate of another CA", ca, kPki + "/rogue/host.crt", kPki + "/rogue/host.key", TLSSET_CHAIN},
    };
    mbedtls_x509_crt issuer;
    mbedtls_x509_crt_init(&issuer);
    ASSERT_EQ(0, mbedtls_x509_crt_parse_file(&issuer, ca.c_str()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes[3] = {emu::ReadFile(c.ca), emu::ReadFile(c.cert), emu::ReadFile(c.key)};
        STlsSetFile inMemory[3], onDisk[3];
        const std::string* paths[3] = {&c.ca, &c.cert, &c.key};
        for (int i = 0; i < 3; ++i) {
            inMemory[i] = {"in memory", reinterpret_cast<const unsigned char*>(bytes[i].data()), bytes[i].size()};
            onDisk[i] = {paths[i]->c_str(), nullptr, 0};
        }
        STlsSetReport memory, disk;
        EXPECT_EQ(TlsSet_CheckFiles(&onDisk[0], &onDisk[1], &onDisk[2], &disk, nullptr, 0),
                  TlsSet_CheckFiles(&inMemory[0], &inMemory[1], &inMemory[2], &memory, nullptr, 0));
        EXPECT_EQ(c.step, memory.ucStep);
        EXPECT_EQ(0, memcmp(&disk, &memory, sizeof(disk))) << "the reports differ";
        if (c.step < TLSSET_KEY_PARSE) continue;
        // The dates are the issuer's, as text and as seconds.
        char from[TLSSET_TIME_SIZE], to[TLSSET_TIME_SIZE];
        snprintf(from, sizeof(from), "%04d-%02d-%02d %02d:%02d:%02d", issuer.valid_from.year, issuer.valid_from.mon,
                 issuer.valid_from.day, issuer.valid_from.hour, issuer.valid_from.min, issuer.valid_from.sec);
        snprintf(to, sizeof(to), "%04d-%02d-%02d %02d:%02d:%02d", issuer.valid_to.year, issuer.valid_to.mon,
                 issuer.valid_to.day, issuer.valid_to.hour, issuer.valid_to.min, issuer.valid_to.sec);
        if (c.step != TLSSET_CHAIN) {
            EXPECT_STREQ(from, memory.szCaValidFrom);
            EXPECT_STREQ(to, memory.szCaValidTo);
        }
        struct tm parsed = {};
        for (const auto& pair : {std::make_pair(memory.szCaValidFrom, memory.llCaValidFrom),
                                 std::make_pair(memory.szCaValidTo, memory.llCaValidTo),
                                 std::make_pair(memory.szCertValidFrom, memory.llCertValidFrom),
                                 std::make_pair(memory.szCertValidTo, memory.llCertValidTo)}) {
            ASSERT_NE(nullptr, strptime(pair.first, "%Y-%m-%d %H:%M:%S", &parsed)) << pair.first;
            EXPECT_EQ(static_cast<int64_t>(timegm(&parsed)), pair.second) << pair.first;
        }
    }
    mbedtls_x509_crt_free(&issuer);
}

// A new CA file must still verify the manager serving the session, on the
// rules of the set it comes with (SHA-1 and 1024-bit RSA only for a SHA-1
// set): one that does not would lock the terminal out of its bank. A rollover
// ships the next CA beside the one in use.
TEST(TlsSet, ANewCaFileMustVerifyTheManagerServingTheSession) {
    TempDir dir;
    const std::string ca = kPki + "/ca.crt", rogueCa = kPki + "/rogue/ca.crt", manager = kPki + "/host.crt";
    dir.write("both-cas", emu::ReadFile(rogueCa) + emu::ReadFile(ca));
    dir.write("noise", std::string(700, 'n'));
    struct Case {
        const char* name;
        std::string ca, peer;  // peer "": no certificate at hand
        uint8_t olderSetUp;
        int rc;
        const char* reason;
    };
    const Case cases[] = {
        {"the CA that issued the manager's certificate", ca, manager, 0, RES_OK, ""},
        {"the next CA beside it", dir.file("both-cas"), manager, 0, RES_OK, ""},
        {"another CA alone", rogueCa, manager, 0, RES_TLS_CERT_FILES,
         "does not verify the manager serving this session [C=BY, O=RAVO Test, CN=127.0.0.1]"},
        {"a SHA-1 manager with a SHA-1 set", ca, kPki + "/sha1/host.crt", 1, RES_OK, ""},
        {"a SHA-1 manager with a SHA-256 set", ca, kPki + "/sha1/host.crt", 0, RES_TLS_CERT_FILES,
         "does not verify the manager serving this session"},
        {"a CA file of noise", dir.file("noise"), manager, 0, RES_TLS_CERT_FILES, "does not parse"},
        {"no certificate of the manager", ca, "", 0, RES_TLS_CERT_FILES, "no certificate of it at hand"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mbedtls_x509_crt peer;
        mbedtls_x509_crt_init(&peer);
        if (!c.peer.empty()) {
            ASSERT_EQ(0, mbedtls_x509_crt_parse_file(&peer, c.peer.c_str()));
        }
        const STlsSetFile file = {c.ca.c_str(), nullptr, 0};
        char reason[TLSSET_REASON_SIZE] = "unset";
        EXPECT_EQ(c.rc, TlsSet_CheckPeer(&file, c.peer.empty() ? nullptr : &peer, c.olderSetUp, reason, sizeof(reason)));
        EXPECT_NE(nullptr, strstr(reason, c.reason)) << reason;
        if (c.rc == RES_OK) {
            EXPECT_STREQ("", reason);
        }
        mbedtls_x509_crt_free(&peer);
    }
}

}  // namespace

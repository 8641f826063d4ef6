// Signed software: files signed by the bank's script (openssl, RSA and EC
// keys) against the library's trailer reader and verifier, and what the
// session's checks make of a signed, unsigned or altered download with and
// without the signing key installed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "remote/softsign.h"
#include "remote/softupd.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

const std::string kScript = RAVO_SOURCE_DIR "/scripts/sign_software.sh";

// Keys made once for the program: openssl as the bank would use it.
class Keys {
public:
    Keys() : m_dir(false) {
        const std::string d = m_dir.path();
        std::string cmd = "cd '" + d +
                          "' && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.pem 2>/dev/null"
                          " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem 2>/dev/null"
                          " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out other.pem 2>/dev/null"
                          " && '" + kScript + "' --public rsa.pem rsa.pub && '" + kScript +
                          "' --public ec.pem ec.pub && '" + kScript + "' --public other.pem other.pub";
        m_made = system(cmd.c_str()) == 0;
    }
    bool made() const { return m_made; }
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    TempDir m_dir;
    bool m_made = false;
};

const Keys& TheKeys() {
    static Keys keys;
    return keys;
}

// Signs in into out with the bank's script; false when the script failed.
bool Sign(const std::string& key, const std::string& in, const std::string& out) {
    return system(("'" + kScript + "' '" + key + "' '" + in + "' '" + out + "'").c_str()) == 0;
}

std::string Payload(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return s;
}

// The trailer a hand-made file ends with: n as 4 bytes big-endian and the magic.
std::string Tail(uint32_t n) {
    std::string t;
    for (int shift = 24; shift >= 0; shift -= 8) t += static_cast<char>((n >> shift) & 0xFF);
    return t + SOFTSIGN_MAGIC;
}

TEST(SoftSign, SignaturesOfTheBanksScriptVerifyAndAnythingElseIsRefused) {
    const Keys& keys = TheKeys();
    ASSERT_TRUE(keys.made()) << "openssl keys not made";
    TempDir dir;
    const std::string payload = Payload(70000);
    dir.write("payload", payload);
    ASSERT_TRUE(Sign(keys.file("rsa.pem"), "payload", "rsa.signed"));
    ASSERT_TRUE(Sign(keys.file("ec.pem"), "payload", "ec.signed"));
    const std::string rsaSigned = dir.read("rsa.signed"), ecSigned = dir.read("ec.signed");
    ASSERT_EQ(payload, rsaSigned.substr(0, payload.size()));
    std::string altered = rsaSigned;
    altered[100] ^= 1;
    std::string badSignature = ecSigned;
    badSignature[payload.size() + 10] ^= 1;

    struct Case {
        const char* name;
        std::string file;
        std::string key;  // public key file
        int result;
        const char* reason;
        uint8_t isSigned;   // what SoftSign_Locate finds
        uint32_t payload;
    };
    const Case cases[] = {
        {"RSA signature", rsaSigned, "rsa.pub", RES_OK, "", 1, 70000},
        {"EC signature", ecSigned, "ec.pub", RES_OK, "", 1, 70000},
        {"not signed", payload, "rsa.pub", RES_KWRM_SIGNATURE, "not signed", 0, 70000},
        {"empty", "", "rsa.pub", RES_KWRM_SIGNATURE, "not signed", 0, 0},
        {"a payload byte changed", altered, "rsa.pub", RES_KWRM_SIGNATURE, "does not verify", 1, 70000},
        {"a signature byte changed", badSignature, "ec.pub", RES_KWRM_SIGNATURE, "does not verify", 1, 70000},
        {"signed with another key", ecSigned, "other.pub", RES_KWRM_SIGNATURE, "does not verify", 1, 70000},
        {"an RSA signature for the EC key", rsaSigned, "ec.pub", RES_KWRM_SIGNATURE, "does not verify", 1, 70000},
        {"a signature length past the file", "abc" + Tail(4), "rsa.pub", RES_KWRM_SIGNATURE, "malformed", 0, 0},
        {"a signature length of 0", payload + Tail(0), "rsa.pub", RES_KWRM_SIGNATURE, "malformed", 0, 0},
        {"a signature length over the limit", payload + Tail(SOFTSIGN_MAX_SIGNATURE + 1), "rsa.pub",
         RES_KWRM_SIGNATURE, "malformed", 0, 0},
        {"a signing key that does not parse", rsaSigned, "-", RES_KWRM_SIGNATURE, "does not parse", 1, 70000},
    };
    dir.write("noise.pub", std::string(300, 'n'));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("file", c.file);
        const std::string key = c.key == "-" ? dir.file("noise.pub") : keys.file(c.key);
        char reason[SOFTSIGN_REASON_SIZE] = "unset";
        EXPECT_EQ(c.result, SoftSign_Verify("file", key.c_str(), reason, sizeof(reason)));
        EXPECT_NE(nullptr, strstr(reason, c.reason)) << reason;
        uint8_t isSigned = 9;
        uint32_t payloadLength = 9, signatureLength = 9;
        int located = SoftSign_Locate("file", &isSigned, &payloadLength, &signatureLength);
        EXPECT_EQ(strstr(c.reason, "malformed") ? RES_KWRM_SIGNATURE : RES_OK, located);
        EXPECT_EQ(c.isSigned, isSigned);
        if (located == RES_OK) {
            EXPECT_EQ(c.payload, payloadLength);
        }
    }
}

// A downloaded pad application with and without the signing key installed:
// verified when the key is there, and without its trailer in any case.
TEST(SoftSign, APadApplicationIsCheckedAndGoesToThePadWithoutItsTrailer) {
    const Keys& keys = TheKeys();
    ASSERT_TRUE(keys.made());
    TempDir dir;
    mkdir("LOG", 0777);
    mkdir("TEMP", 0777);
    const std::string image = Payload(5000);
    dir.write("image", image);
    ASSERT_TRUE(Sign(keys.file("ec.pem"), "image", "signed"));
    std::string altered = dir.read("signed");
    altered[0] ^= 1;
    struct Case {
        const char* name;
        bool keyInstalled;
        std::string download;
        int result;
        std::string after;  // TEMP file afterwards, "-": removed
    };
    const Case cases[] = {
        {"signed, key installed", true, dir.read("signed"), RES_OK, image},
        {"unsigned, key installed", true, image, RES_KWRM_SIGNATURE, "-"},
        {"altered, key installed", true, altered, RES_KWRM_SIGNATURE, "-"},
        {"signed, no key: the trailer still goes", false, dir.read("signed"), RES_OK, image},
        {"unsigned, no key: taken as it is", false, image, RES_OK, image},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(SOFTSIGN_KEY_FILE);
        if (c.keyInstalled) dir.write(SOFTSIGN_KEY_FILE, emu::ReadFile(keys.file("ec.pub")));
        EXPECT_EQ(c.keyInstalled ? 1 : 0, SoftUpd_SigningKeyInstalled());
        dir.write("TEMP/E520A9L.TLV", c.download);
        EXPECT_EQ(c.result, SoftUpd_CheckPadApp("TEMP/E520A9L.TLV"));
        if (c.after == "-") {
            EXPECT_FALSE(dir.exists("TEMP/E520A9L.TLV"));
        } else {
            EXPECT_EQ(c.after, dir.read("TEMP/E520A9L.TLV"));
        }
    }
}

}  // namespace

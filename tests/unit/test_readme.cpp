// The samples of the top-level README work exactly as written: an integrator
// copies them into a payment directory.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "kernel/kernel.h"
#include "support/log.h"
#include "support/param.h"
#include "tests/common/tempdir.h"

namespace {

// The README's fenced blocks of one language, in order.
std::vector<std::string> Blocks(const std::string& language) {
    std::ifstream in(RAVO_SOURCE_DIR "/README.md");
    EXPECT_TRUE(in.good()) << "README.md not found";
    std::vector<std::string> blocks;
    std::string line, block;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!inside && line == "```" + language) {
            inside = true;
            block.clear();
        } else if (inside && line == "```") {
            inside = false;
            blocks.push_back(block);
        } else if (inside) {
            block += line + "\n";
        }
    }
    return blocks;
}

// The loaded value of a key, as text.
std::string Loaded(const std::string& key) {
    const SConfig& c = g_Config;
    const SComConfig& d = g_ComConfig;
    const std::map<std::string, std::string> values = {
        {"TERMINALID", c.szTerminalId},
        {"HOST", c.szHost},
        {"SECPORT", std::to_string(c.usSecPort)},
        {"KWRMHOST", c.szKwrmHost},
        {"KWRMPORT", std::to_string(c.usKwrmPort)},
        {"OPENKEY", c.szOpenKey},
        {"BASECURRENCY", c.szBaseCurrency},
        {"ENABLEDCURRENCY", c.szEnabledCurrency},
        {"CHEQUEWIDTH", std::to_string(c.ucChequeWidth)},
        {"COMPORT", std::to_string(d.usComPort)},
        {"COMDEVICE", d.szComDevice},
        {"BAUDRATE", std::to_string(d.ulBaudrate)},
        {"PROTO_TO", std::to_string(d.usProtoTO)},
        {"LOGLEVEL", std::to_string(GetLogLevel())},
        {"FORCEBYN", std::to_string(d.ucForceByn)},
    };
    auto found = values.find(key);
    if (found == values.end()) {
        ADD_FAILURE() << "the README shows a key this test does not know: " << key;
        return "";
    }
    return found->second;
}

// The ```ini samples: the one with TERMINALID is CONFIG.INI, the other
// DEVICE.INI. Loaded as shown, every key holds the value written after its "=".
TEST(Readme, ConfigurationSamplesLoadAsWritten) {
    const std::vector<std::string> samples = Blocks("ini");
    ASSERT_EQ(2u, samples.size());
    TempDir dir;
    mkdir("DATA", 0777);
    mkdir("LOG", 0777);
    for (const std::string& sample : samples) {
        dir.write(sample.find("TERMINALID=") != std::string::npos ? "DATA/CONFIG.INI" : "DATA/DEVICE.INI", sample);
    }
    ASSERT_EQ(0, Param_LoadConfig()) << samples[0] << samples[1];

    int keys = 0;
    for (const std::string& sample : samples) {
        std::istringstream lines(sample);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || strchr(";#-", line[0]) != nullptr) continue;
            size_t equals = line.find('=');
            ASSERT_NE(std::string::npos, equals) << line;
            SCOPED_TRACE(line);
            EXPECT_EQ(line.substr(equals + 1), Loaded(line.substr(0, equals)));
            ++keys;
        }
    }
    EXPECT_GE(keys, 10);
    SetLogLevel(LOG_INFO);
}

// The ```xml sample is a request the library takes as shown.
TEST(Readme, RequestSampleParsesAsWritten) {
    const std::vector<std::string> samples = Blocks("xml");
    ASSERT_EQ(1u, samples.size());
    TempDir dir;
    mkdir("LOG", 0777);
    S_PAY_ORDER order = {};
    uint8_t full = 0;
    ASSERT_EQ(0, Kernel_ParseInput(samples[0].c_str(), &order, &full)) << samples[0];
    EXPECT_EQ(OP_SALE, order.ucOpType);
    char amount[32];
    BigInt_IntToStr(&order.stAmount, amount);
    EXPECT_STREQ("1500", amount);
    EXPECT_STREQ("BYN", order.szCurrency);
}

}  // namespace

// The samples of the top-level README work exactly as written: an integrator
// copies them into a payment directory.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
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
        {"BANKID", c.szBankId},
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

// Every key the configuration reader knows has its row in the README's
// table of keys, and the table names no key the reader does not know.
TEST(Readme, EveryConfigurationKeyHasItsRow) {
    std::ifstream source(RAVO_SOURCE_DIR "/support/param.cpp");
    std::stringstream text;
    text << source.rdbuf();
    const std::string code = text.str();
    std::set<std::string> known;
    const std::regex keyRow(R"re(\{"([A-Z_]+)", PK_)re");
    for (std::sregex_iterator i(code.begin(), code.end(), keyRow), e; i != e; ++i) known.insert((*i)[1]);
    ASSERT_GT(known.size(), 25u) << "the key tables of support/param.cpp not found";

    std::ifstream in(RAVO_SOURCE_DIR "/README.md");
    std::set<std::string> rows;
    bool inside = false;
    const std::regex row(R"(^\| ([A-Z_]+) \| )");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#", 0) == 0) inside = line == "### Configuration keys";
        if (inside && std::regex_search(line, m, row)) rows.insert(m[1]);
    }
    for (const std::string& key : known) EXPECT_EQ(1u, rows.count(key)) << key << " has no row in the README's keys";
    for (const std::string& key : rows) EXPECT_EQ(1u, known.count(key)) << "the README's keys name " << key;
}

// The ravo package installs the same two samples (DATA/*.INI.sample, the
// settings of a first installation), so the check above holds for them too.
TEST(Readme, PackagedSamplesAreTheReadmeSamples) {
    const std::vector<std::string> samples = Blocks("ini");
    ASSERT_EQ(2u, samples.size());
    for (const char* name : {"CONFIG.INI", "DEVICE.INI"}) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(RAVO_SOURCE_DIR "/cmake/deb/") + name + ".sample");
        ASSERT_TRUE(in.good());
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(samples[strcmp(name, "CONFIG.INI") == 0 ? 0 : 1], text.str());
    }
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

// ---- the map of "Where things are" ----

const char* const kMappedFolders[] = {"support", "kernel", "host",    "receipt", "pinpad",
                                      "remote",  "launcher", "padfeed", "check",   "emulators"};

std::string ReadSource(const std::string& path) {
    std::ifstream in(std::string(RAVO_SOURCE_DIR "/") + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The functions (and function-like macros) a header declares at its left
// margin; definitions, typedefs and members do not count.
std::vector<std::string> Declared(const std::string& header) {
    std::string text = ReadSource(header);
    text = std::regex_replace(text, std::regex(R"(/\*[\s\S]*?\*/)"), "");
    text = std::regex_replace(text, std::regex(R"(//[^\n]*)"), "");
    std::vector<std::string> names;
    const std::regex macro(R"(^#define\s+(\w+)\()");
    const std::regex skipped(R"(^(typedef|enum|struct|class|union|extern|namespace|using|template|static_assert)\b)");
    const std::regex name(R"((\w+)\s*\($)");
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        std::smatch m;
        if (std::regex_search(line, m, macro)) {
            names.push_back(m[1]);
        } else if (!line.empty() && isalpha(static_cast<unsigned char>(line[0])) &&
                   !std::regex_search(line, skipped)) {
            const size_t paren = text.find('(', pos);
            const size_t stop = text.find_first_of(";{", pos);
            if (paren != std::string::npos && paren < stop && text[stop] == ';') {
                const std::string head = text.substr(pos, paren - pos + 1);
                if (std::regex_search(head, m, name)) names.push_back(m[1]);
            }
        }
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return names;
}

struct MapRow {
    std::vector<std::string> tokens;  // "Name", "Prefix_" or "Start*"
    std::string header;
};

std::vector<MapRow> Map() {
    std::ifstream in(RAVO_SOURCE_DIR "/README.md");
    std::vector<MapRow> rows;
    std::string line;
    bool inside = false;
    const std::regex quoted("`([^`]+)`");
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) inside = line == "## Where things are";
        if (!inside || line.rfind("| `", 0) != 0) continue;
        const size_t split = line.rfind(" | `");
        MapRow row;
        const std::string first = line.substr(0, split);
        for (std::sregex_iterator i(first.begin(), first.end(), quoted), e; i != e; ++i) row.tokens.push_back((*i)[1]);
        std::smatch m;
        const std::string second = line.substr(split);
        if (std::regex_search(second, m, quoted)) row.header = m[1];
        rows.push_back(row);
    }
    return rows;
}

// How well token names function: 0 not at all, else the longer the better,
// a whole name above every prefix.
size_t Match(const std::string& token, const std::string& function) {
    const bool prefix = token.back() == '_' || token.back() == '*';
    const std::string stem = token.back() == '*' ? token.substr(0, token.size() - 1) : token;
    if (!prefix) return token == function ? 1000 : 0;
    return function.rfind(stem, 0) == 0 ? stem.size() : 0;
}

// Each row names functions its header declares, and every function declared
// in the module headers is found in the header the map sends a reader to.
TEST(Readme, MapSendsEveryFunctionToItsHeader) {
    const std::vector<MapRow> rows = Map();
    ASSERT_GT(rows.size(), 50u) << "the map of \"Where things are\" not found";
    for (const MapRow& row : rows) {
        SCOPED_TRACE(row.header);
        const std::vector<std::string> declared = Declared(row.header);
        EXPECT_FALSE(declared.empty()) << "no such header, or it declares nothing";
        for (const std::string& token : row.tokens) {
            bool found = false;
            for (const std::string& function : declared) found = found || Match(token, function) > 0;
            EXPECT_TRUE(found) << token << " names nothing in " << row.header;
        }
    }

    size_t functions = 0;
    for (const char* folder : kMappedFolders) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(RAVO_SOURCE_DIR "/") + folder)) {
            if (entry.path().extension() != ".h") continue;
            const std::string header = entry.path().lexically_relative(RAVO_SOURCE_DIR).string();
            for (const std::string& function : Declared(header)) {
                ++functions;
                size_t best = 0;
                std::string where = "nowhere";
                for (const MapRow& row : rows)
                    for (const std::string& token : row.tokens)
                        if (Match(token, function) > best) {
                            best = Match(token, function);
                            where = row.header;
                        }
                EXPECT_EQ(header, where) << function;
            }
        }
    }
    EXPECT_GT(functions, 300u);
}

}  // namespace

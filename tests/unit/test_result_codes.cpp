// The table of result codes keeps its own rules: every value has one name,
// every code sits in the section of the range that holds its value, and the
// codes outside the ranges fall in none of them. The integrators' page of
// codes (docs/result-codes.md) has a row for every one of them, under its
// name, with the text the cashier sees.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/error.h"
#include "remote/kwrmerror.h"
#include "support/resource.h"
#include "support/result_codes.h"

namespace {

struct Code {
    std::string name;
    long value;
    std::string section;
};

struct Section {
    std::string title;
    bool ranged;
    long from, to;
};

// The header's codes in order, each with the section it stands in.
void ReadTable(std::vector<Code>* codes, std::vector<Section>* sections) {
    std::ifstream in(RAVO_SOURCE_DIR "/support/result_codes.h");
    ASSERT_TRUE(in.good()) << "support/result_codes.h not found";
    const std::regex sectionLine(R"(^\s*// ---- (.*)$)");
    const std::regex rangeTitle(R"(^(-?\d+)\.\.(\d+):)");
    const std::regex codeLine(R"(^\s*(RES_\w+)\s*=\s*([^,]+),)");
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, sectionLine)) {
            Section s{m[1], false, 0, 0};
            std::smatch r;
            if (std::regex_search(s.title, r, rangeTitle)) {
                s.ranged = true;
                s.from = std::stol(r[1]);
                s.to = std::stol(r[2]);
            }
            sections->push_back(s);
        } else if (std::regex_search(line, m, codeLine)) {
            const std::string value = m[2];
            // A value written as another name would be a second name for it.
            if (!std::regex_match(value, std::regex(R"(-?\d+)"))) {
                ADD_FAILURE() << m[1] << " = " << value;
                continue;
            }
            codes->push_back({m[1], std::stol(value), sections->empty() ? "" : sections->back().title});
        }
    }
}

TEST(ResultCodes, OneNamePerValueEachInItsRange) {
    std::vector<Code> codes;
    std::vector<Section> sections;
    ReadTable(&codes, &sections);
    ASSERT_GT(codes.size(), 150u);

    std::map<long, std::string> names;
    for (const Code& c : codes) {
        auto seen = names.emplace(c.value, c.name);
        EXPECT_TRUE(seen.second) << c.value << " is both " << seen.first->second << " and " << c.name;
    }

    for (const Code& c : codes) {
        if (c.name == "RES_OK") continue;
        SCOPED_TRACE(c.name);
        const Section* own = nullptr;
        for (const Section& s : sections)
            if (s.title == c.section) own = &s;
        ASSERT_NE(nullptr, own);
        if (own->ranged) {
            EXPECT_TRUE(c.value >= own->from && c.value <= own->to)
                << c.value << " stands under \"" << own->title << "\"";
        } else if (c.value >= 0) {
            for (const Section& s : sections)
                EXPECT_FALSE(s.ranged && c.value >= s.from && c.value <= s.to)
                    << c.value << " lies in \"" << s.title << "\" but stands under \"" << own->title << "\"";
        }
    }

    // Sections follow the order of their ranges and do not overlap.
    long last = 0;
    for (const Section& s : sections) {
        if (!s.ranged) continue;
        EXPECT_LT(last, s.from) << s.title;
        last = s.to;
    }
}

struct Row {
    std::string name;
    std::string text;
};

// The rows of the code page whose first cell is a whole number.
std::map<long, Row> ReadRows() {
    std::ifstream in(RAVO_SOURCE_DIR "/docs/result-codes.md");
    EXPECT_TRUE(in.good()) << "docs/result-codes.md not found";
    const std::regex rowLine(R"(^\| (-?\d+) \| ([^|]+) \| ([^|]+) \|)");
    std::map<long, Row> rows;
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (!std::regex_search(line, m, rowLine)) continue;
        const long code = std::stol(m[1]);
        EXPECT_EQ(0u, rows.count(code)) << "two rows for " << code;
        rows[code] = {m[2], m[3]};
    }
    return rows;
}

std::string ReadSource(const char* path) {
    std::ifstream in(std::string(RAVO_SOURCE_DIR "/") + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What the cashier sees for a code: the plug-in's own text for the
// launcher's statuses (found in its source), the session's text for the
// manager's codes, else the result text of the response.
void ExpectCashierText(long code, const std::string& shown, const std::string& plugin) {
    if (code < 0) {
        EXPECT_NE(std::string::npos, plugin.find('"' + shown + '"'))
            << "the row of " << code << " shows a text the plug-in does not have: " << shown;
        return;
    }
    std::string expected;
    if (code >= RES_KWRM_SETTINGS && code <= RES_PP_BAUDRATE) {
        expected = std::string("session: ") +
                   Resource_GetInformMessage(Error_GetResultMsgKwrm(static_cast<uint16_t>(code), KWRM_TEXT_TERMINAL));
    } else {
        expected = Resource_GetChequeLine(Error_GetResultMsg(static_cast<uint16_t>(code), ERR_FORM_RESULT_TEXT));
    }
    EXPECT_EQ(expected, shown) << "the row of " << code << " does not show the cashier's text";
}

TEST(ResultCodes, EveryCodeHasARowWithTheCashiersText) {
    std::vector<Code> codes;
    std::vector<Section> sections;
    ReadTable(&codes, &sections);
    const std::map<long, Row> rows = ReadRows();
    // Adjacent literals read as the one text they make.
    const std::string plugin =
        std::regex_replace(ReadSource("posplugin/velmontprocessing.cpp"), std::regex("\"\\s*\""), "");
    ASSERT_FALSE(plugin.empty());

    std::map<std::string, long> named;
    for (const Code& c : codes) {
        named[c.name] = c.value;
        auto row = rows.find(c.value);
        if (row == rows.end()) {
            ADD_FAILURE() << c.name << " (" << c.value << ") has no row in docs/result-codes.md";
            continue;
        }
        EXPECT_EQ(c.name, row->second.name) << "the row of " << c.value << " names another code";
        ExpectCashierText(c.value, row->second.text, plugin);
    }
    // The rows beside the header's codes: codes of a range without a name of
    // their own, "(...)", each with its text too.
    for (const auto& row : rows) {
        if (named.count(row.second.name) != 0) continue;
        EXPECT_EQ('(', row.second.name[0]) << "the row of " << row.first << " names " << row.second.name
                                           << ", which support/result_codes.h does not have";
        ExpectCashierText(row.first, row.second.text, plugin);
    }
}

}  // namespace

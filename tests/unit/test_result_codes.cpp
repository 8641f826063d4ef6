// The table of result codes keeps its own rules: every value has one name,
// every code sits in the section of the range that holds its value, and the
// codes outside the ranges fall in none of them.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

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

}  // namespace

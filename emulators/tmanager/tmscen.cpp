// emulators/tmanager/tmscen.cpp
#include "emulators/tmanager/tmscen.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

static STmScenario m_Scenario;

namespace {

struct FaultWord {
    const char* word;
    ETmFault kind;
    uint32_t defaultValue;
};

const FaultWord kFaults[] = {
    {"repeat", TMF_REPEAT, 0},     {"status", TMF_STATUS, 0x000000FF}, {"refuse", TMF_REFUSE, 0x01},
    {"badcrc", TMF_BADCRC, 0},     {"badlength", TMF_BADLENGTH, 527},  {"drop", TMF_DROP, 0},
    {"stall", TMF_STALL, 0},       {"delay", TMF_DELAY, 100},          {"end", TMF_END, 0},
    {"wrongcrc", TMF_WRONGCRC, 0}, {"other", TMF_OTHER, 0x00},
};

bool ParseUnsigned(const std::string& text, int base, uint32_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, base);
    if (*end != '\0' || v > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// "1.3.3" into 0x01030300.
bool ParseVersion(const std::string& text, uint32_t* out) {
    unsigned a = 0, b = 0, c = 0;
    char tail = 0;
    if (sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3 || a > 255 || b > 255 || c > 255) return false;
    *out = a << 24 | b << 16 | c << 8;
    return true;
}

bool ParseHex(const std::string& text, uint8_t* out, size_t n) {
    if (text.size() != n * 2) return false;
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        if (!ParseUnsigned(text.substr(i * 2, 2), 16, &v)) return false;
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

// One fault line: WORD CMD [at=N] [times=N|*] [code=HEX8] [status=HH] [l=N] [ms=N] [cmd=HH].
bool ParseRule(const FaultWord& fault, std::istringstream& words, STmRule* rule, std::string* why) {
    std::string word;
    uint32_t v = 0;
    if (!(words >> word) || !ParseUnsigned(word, 16, &v) || v > 0xFF) return *why = "command (two hex digits)", false;
    *rule = {fault.kind, static_cast<uint8_t>(v), 1, 1, fault.defaultValue};
    while (words >> word) {
        size_t eq = word.find('=');
        std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
        bool ok = false;
        if (key == "at") ok = ParseUnsigned(value, 10, &v) && v > 0, rule->uAt = v;
        else if (key == "times" && value == "*") ok = true, rule->uTimes = 0;
        else if (key == "times") ok = ParseUnsigned(value, 10, &v) && v > 0, rule->uTimes = v;
        else if (key == "code" && fault.kind == TMF_STATUS) ok = value.size() == 8 && ParseUnsigned(value, 16, &rule->ulValue);
        else if (key == "status" && fault.kind == TMF_REFUSE)
            ok = ParseUnsigned(value, 16, &v) && v > 0 && v <= 0xFF, rule->ulValue = v;
        else if (key == "l" && fault.kind == TMF_BADLENGTH) ok = ParseUnsigned(value, 10, &v) && v <= 0xFFFF, rule->ulValue = v;
        else if (key == "cmd" && fault.kind == TMF_OTHER) ok = ParseUnsigned(value, 16, &v) && v <= 0xFF, rule->ulValue = v;
        else if (key == "ms" && fault.kind == TMF_DELAY) ok = ParseUnsigned(value, 10, &v) && v <= 600000, rule->ulValue = v;
        if (!ok) return *why = "bad option " + word, false;
    }
    return true;
}

bool ParseLine(const std::string& line, STmScenario* scen, std::string* why) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) return true;
    if (word == "offer") {
        STmOffer offer;
        std::string version, signing;
        if (!(words >> offer.name >> version)) return *why = "offer NAME VERSION|- [unsigned|altered]", false;
        offer.bVersion = version != "-";
        offer.ulVersion = 0;
        if (offer.bVersion && !ParseVersion(version, &offer.ulVersion)) return *why = "version as 1.3.3", false;
        if (words >> signing) {
            if (signing == "unsigned") offer.eSigning = TMS_UNSIGNED;
            else if (signing == "altered") offer.eSigning = TMS_ALTERED;
            else return *why = "offer NAME VERSION|- [unsigned|altered]", false;
        }
        scen->offers.push_back(offer);
        return true;
    }
    if (word == "key") {
        std::string flag, key;
        uint32_t v = 0;
        if (!(words >> flag >> key) || !ParseUnsigned(flag, 16, &v) || v == 0 || v > 0xFF ||
            !ParseHex(key, scen->aucKey, sizeof(scen->aucKey)))
            return *why = "key FLAG HEX32 (flag non-zero)", false;
        scen->bKey = true;
        scen->ucKeyFlag = static_cast<uint8_t>(v);
        return true;
    }
    if (word == "datetime") {
        if (!(words >> scen->dateTime) || scen->dateTime.size() != 12) return *why = "datetime of 12 characters", false;
        return true;
    }
    for (const FaultWord& fault : kFaults) {
        if (word != fault.word) continue;
        STmRule rule;
        if (!ParseRule(fault, words, &rule, why)) return false;
        scen->rules.push_back(rule);
        return true;
    }
    return *why = "unknown word " + word, false;
}

}  // namespace

int TmScen_Parse(const std::string& text, std::string* err) {
    STmScenario scen;
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::string why;
        if (!ParseLine(line, &scen, &why)) {
            *err = "scenario line " + std::to_string(number) + ": " + why;
            return -1;
        }
    }
    m_Scenario = scen;
    return 0;
}

int TmScen_Load(const char* path, std::string* err) {
    std::ifstream in(path);
    if (!in) {
        *err = std::string("cannot read scenario ") + path;
        return -1;
    }
    std::stringstream text;
    text << in.rdbuf();
    return TmScen_Parse(text.str(), err);
}

const STmScenario& TmScen_Get() { return m_Scenario; }

std::vector<STmRule> TmScen_ForArrival(uint8_t command, unsigned n) {
    std::vector<STmRule> out;
    for (const STmRule& rule : m_Scenario.rules) {
        if (rule.ucCommand != command || n < rule.uAt) continue;
        if (rule.uTimes != 0 && n >= rule.uAt + rule.uTimes) continue;
        out.push_back(rule);
    }
    return out;
}

// emulators/host/hostscen.cpp
#include "emulators/host/hostscen.h"

#include "emulators/host/hostpack.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

struct SHostScenLine {
    THostLine actions;
    bool bSticky;  // "*": also for every later request without a line of its own
};

static std::vector<SHostScenLine> m_Lines;

static std::string aux_HostScen_Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

static bool aux_HostScen_Hex(const std::string& text, std::vector<uint8_t>* out) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(static_cast<uint8_t>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

static bool aux_HostScen_Number(const std::string& text, unsigned long max, unsigned long* out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    *out = strtoul(text.c_str(), nullptr, 10);
    return *out <= max;
}

static bool aux_HostScen_IsActionCode(const std::string& code) {
    return code.size() == 3 && isalnum(static_cast<unsigned char>(code[0])) &&
           isalnum(static_cast<unsigned char>(code[1])) && isalnum(static_cast<unsigned char>(code[2]));
}

// Reads one action ("decline 116 f38=") into out.
static int aux_HostScen_ParseAction(const std::string& text, SHostAction* out, std::string* err) {
    std::istringstream in(text);
    std::string word;
    in >> word;
    std::vector<std::string> args;
    for (std::string a; in >> a;) args.push_back(a);
    // "fN=value" words may follow any answer that carries a message.
    std::vector<std::string> plain;
    for (const std::string& a : args) {
        unsigned long field = 0;
        size_t eq = a.find('=');
        if (a.size() > 1 && a[0] == 'f' && eq != std::string::npos &&
            aux_HostScen_Number(a.substr(1, eq - 1), 128, &field) && field >= 1) {
            SHostFieldOverride ov;
            ov.ucField = static_cast<uint8_t>(field);
            ov.value = a.substr(eq + 1);
            ov.bOmit = ov.value.empty();
            // The bitmaps are the packer's; a value must fit its field's length.
            if (field == 1) return *err = "f1 is the secondary bitmap, which the answer gets when it needs one", -1;
            const SHostFieldDef* def = HostPack_Field(ov.ucField);
            if (!ov.bOmit && !HostPack_Fits(ov.ucField, ov.value.size()))
                return *err = "f" + std::to_string(field) + ": " + std::to_string(ov.value.size()) +
                              " characters, the field holds " + (def->ucPrefix ? "at most " : "") +
                              std::to_string(def->usMax),
                       -1;
            out->overrides.push_back(ov);
        } else {
            plain.push_back(a);
        }
    }
    unsigned long n = 0;
    if (word == "default" || word == "approve") {
        out->eKind = HOSTACT_DEFAULT;
        if (!plain.empty()) {
            if (!aux_HostScen_IsActionCode(plain[0])) return *err = "bad action code: " + plain[0], -1;
            out->eKind = HOSTACT_ANSWER;
            out->actionCode = plain[0];
        }
        return plain.size() <= 1 ? 0 : (*err = "too many words: " + text, -1);
    }
    if (word == "decline" || word == "pickup") {
        if (plain.size() != 1 || !aux_HostScen_IsActionCode(plain[0]))
            return *err = word + " needs one three-character action code", -1;
        if (word == "pickup" && (!aux_HostScen_Number(plain[0], 299, &n) || n < 200))
            return *err = "pick-up codes are 200..299", -1;
        out->eKind = HOSTACT_ANSWER;
        out->actionCode = plain[0];
        return 0;
    }
    if (word == "holdon" || word == "wait") {
        out->eKind = word == "holdon" ? HOSTACT_HOLDON : HOSTACT_WAIT;
        out->usCount = word == "holdon" ? 1 : 0;
        if (plain.size() > 1) return *err = "too many words: " + text, -1;
        if (plain.size() == 1) {
            if (!aux_HostScen_Number(plain[0], 60000, &n)) return *err = "bad count: " + plain[0], -1;
            out->usCount = static_cast<uint16_t>(n);
        }
        return 0;
    }
    if (word == "status") {
        std::vector<uint8_t> b;
        if (plain.size() != 1 || plain[0].size() != 2 || !aux_HostScen_Hex(plain[0], &b) || b[0] == 0)
            return *err = "status needs one non-zero hexadecimal byte", -1;
        out->eKind = HOSTACT_STATUS;
        out->ucStatus = b[0];
        return 0;
    }
    if (word == "oversize" || word == "stall" || word == "drop") {
        if (!plain.empty()) return *err = "too many words: " + text, -1;
        out->eKind = word == "oversize" ? HOSTACT_OVERSIZE : word == "stall" ? HOSTACT_STALL : HOSTACT_DROP;
        return 0;
    }
    if (word == "frame") {
        std::vector<uint8_t> len;
        if (plain.empty() || plain[0].size() != 4 || !aux_HostScen_Hex(plain[0], &len))
            return *err = "frame needs a four-digit hexadecimal length", -1;
        out->eKind = HOSTACT_FRAME;
        out->usFrameLength = static_cast<uint16_t>(len[0] << 8 | len[1]);
        std::string rest;
        for (size_t i = 1; i < plain.size(); ++i) rest += plain[i];
        if (!aux_HostScen_Hex(rest, &out->bytes)) return *err = "frame bytes must be hexadecimal", -1;
        return 0;
    }
    if (word == "bytes") {
        std::string all;
        for (const std::string& a : plain) all += a;
        if (all.empty() || !aux_HostScen_Hex(all, &out->bytes)) return *err = "bytes needs hexadecimal bytes", -1;
        out->eKind = HOSTACT_BYTES;
        return 0;
    }
    if (word == "raw") {
        // The message text is everything after the word, spaces included.
        size_t at = text.find("raw");
        std::string msg = aux_HostScen_Trim(text.substr(at + 3));
        if (msg.empty()) return *err = "raw needs a message text", -1;
        out->eKind = HOSTACT_RAW;
        out->overrides.clear();
        out->bytes.assign(msg.begin(), msg.end());
        return 0;
    }
    return *err = "unknown answer: " + word, -1;
}

int HostScen_ParseLine(const std::string& line, THostLine* out, std::string* err) {
    out->clear();
    std::string rest = line;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t semi = rest.find(';', start);
        std::string part = aux_HostScen_Trim(rest.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (part.empty()) return *err = "empty answer in: " + line, -1;
        SHostAction action;
        if (aux_HostScen_ParseAction(part, &action, err) != 0) return -1;
        out->push_back(action);
        if (semi == std::string::npos) break;
        start = semi + 1;
    }
    return 0;
}

int HostScen_Load(const char* path, std::string* err) {
    m_Lines.clear();
    std::ifstream in(path);
    if (!in) return *err = std::string("cannot read ") + path, -1;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        line = aux_HostScen_Trim(line);
        if (line.empty()) continue;
        SHostScenLine entry;
        entry.bSticky = line[0] == '*';
        if (entry.bSticky) line = aux_HostScen_Trim(line.substr(1));
        std::string why;
        if (HostScen_ParseLine(line, &entry.actions, &why) != 0) {
            *err = std::string(path) + ":" + std::to_string(number) + ": " + why;
            return -1;
        }
        m_Lines.push_back(entry);
    }
    return 0;
}

THostLine HostScen_ForRequest(unsigned index) {
    if (index < m_Lines.size()) return m_Lines[index].actions;
    for (size_t i = m_Lines.size(); i-- > 0;)
        if (m_Lines[i].bSticky) return m_Lines[i].actions;
    return THostLine(1);
}

std::string HostScen_Describe(const SHostAction& a) {
    char buf[64];
    switch (a.eKind) {
        case HOSTACT_DEFAULT: return "default";
        case HOSTACT_ANSWER: return "answer " + a.actionCode;
        case HOSTACT_HOLDON: return "holdon " + std::to_string(a.usCount);
        case HOSTACT_STATUS: snprintf(buf, sizeof(buf), "status %02X", a.ucStatus); return buf;
        case HOSTACT_OVERSIZE: return "oversize";
        case HOSTACT_STALL: return "stall";
        case HOSTACT_DROP: return "drop";
        case HOSTACT_FRAME:
            snprintf(buf, sizeof(buf), "frame %04X +%zu bytes", a.usFrameLength, a.bytes.size());
            return buf;
        case HOSTACT_RAW: return "raw " + std::to_string(a.bytes.size()) + " characters";
        case HOSTACT_WAIT: return "wait " + std::to_string(a.usCount) + " ms";
        case HOSTACT_BYTES: return "bytes " + std::to_string(a.bytes.size());
    }
    return "?";
}

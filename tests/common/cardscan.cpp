// tests/common/cardscan.cpp
#include "tests/common/cardscan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <sstream>

#include "tests/common/emulators.h"

namespace emu {

namespace {

struct Pattern {
    std::string bytes;
    std::string what;
};

std::string Masked(const std::string& pan) {
    if (pan.size() < 10) return std::string(pan.size(), '*');
    return pan.substr(0, 6) + std::string(pan.size() - 10, '*') + pan.substr(pan.size() - 4);
}

std::string Hex(const std::vector<uint8_t>& bytes, bool upper) {
    static const char kUpper[] = "0123456789ABCDEF", kLower[] = "0123456789abcdef";
    const char* digits = upper ? kUpper : kLower;
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

int Nibble(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch == '=' || ch == 'D' || ch == 'd') return 0xD;
    return -1;
}

// Packed two digits a byte, as binary records and chip data keep numbers; an
// odd last digit is left out, so that any filler after it still matches.
std::string Packed(const std::string& digits) {
    std::string out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        int hi = Nibble(digits[i]), lo = Nibble(digits[i + 1]);
        if (hi < 0 || lo < 0) break;
        out += static_cast<char>(hi << 4 | lo);
    }
    return out;
}

std::string Grouped(const std::string& pan) {
    std::string out;
    for (size_t i = 0; i < pan.size(); ++i) out += (i > 0 && i % 4 == 0 ? " " : "") + std::string(1, pan[i]);
    return out;
}

std::string Replaced(std::string text, char from, char to) {
    for (char& ch : text)
        if (ch == from) ch = to;
    return text;
}

// Longer shapes first: a track 2 also holds the card number, and is named as track 2.
std::vector<Pattern> PatternsOf(const SCardData& card) {
    std::vector<Pattern> out;
    const std::string mask = Masked(card.pan);
    if (!card.track2.empty()) {
        for (char sep : {'=', 'D', 'd'}) out.push_back({Replaced(card.track2, '=', sep), std::string("track 2 of ") + mask + " with '" + sep + "'"});
        out.push_back({Packed(card.track2), "track 2 of " + mask + " packed"});
    }
    if (!card.pan.empty()) {
        out.push_back({card.pan, "card number " + mask});
        out.push_back({Grouped(card.pan), "card number " + mask + " in groups"});
        out.push_back({Packed(card.pan), "card number " + mask + " packed"});
    }
    if (!card.pinBlock.empty()) {
        out.push_back({std::string(card.pinBlock.begin(), card.pinBlock.end()), "PIN block of " + mask});
        out.push_back({Hex(card.pinBlock, true), "PIN block of " + mask + " in hexadecimal"});
        out.push_back({Hex(card.pinBlock, false), "PIN block of " + mask + " in hexadecimal"});
    }
    return out;
}

void Walk(const std::string& pay, const std::string& rel, std::vector<std::string>* files) {
    DIR* dir = opendir((pay + "/" + rel).c_str());
    if (dir == nullptr) return;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string child = rel + "/" + name;
        struct stat st;
        if (lstat((pay + "/" + child).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            Walk(pay, child, files);
        else if (S_ISREG(st.st_mode))
            files->push_back(child);
    }
    closedir(dir);
}

}  // namespace

bool ReadCardData(const std::string& path, SCardData* out) {
    std::istringstream in(ReadFile(path));
    *out = SCardData();
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pan") out->pan = value;
        if (key == "track2") out->track2 = value;
        if (key == "pinblock")
            for (size_t i = 0; i + 1 < value.size(); i += 2)
                out->pinBlock.push_back(static_cast<uint8_t>(std::stoul(value.substr(i, 2), nullptr, 16)));
    }
    return !out->pan.empty() && !out->track2.empty() && !out->pinBlock.empty();
}

std::vector<std::string> FindCardData(const std::string& name, const std::string& bytes,
                                      const std::vector<SCardData>& cards) {
    std::vector<std::string> findings;
    std::vector<std::pair<size_t, size_t>> taken;  // [begin, end) already reported
    for (const SCardData& card : cards) {
        for (const Pattern& p : PatternsOf(card)) {
            // Fewer than six bytes (a packed short number) would match by chance.
            if (p.bytes.size() < 6) continue;
            for (size_t at = bytes.find(p.bytes); at != std::string::npos; at = bytes.find(p.bytes, at + 1)) {
                bool inside = false;
                for (const auto& t : taken) inside |= at >= t.first && at < t.second;
                if (inside) continue;
                taken.emplace_back(at, at + p.bytes.size());
                findings.push_back(name + " offset " + std::to_string(at) + ": " + p.what);
            }
        }
    }
    return findings;
}

std::vector<std::string> ScanPaymentDir(const std::string& pay, const std::vector<SCardData>& cards) {
    std::vector<std::string> files;
    for (const char* dir : {"LOG", "DATA", "TEMP"}) Walk(pay, dir, &files);
    if (DIR* top = opendir(pay.c_str())) {
        while (dirent* e = readdir(top)) {
            std::string name = e->d_name;
            if (name.rfind("RAVORS.XML", 0) == 0) files.push_back(name);
        }
        closedir(top);
    }
    std::vector<std::string> findings;
    for (const std::string& file : files) {
        std::vector<std::string> found = FindCardData(file, ReadFile(pay + "/" + file), cards);
        findings.insert(findings.end(), found.begin(), found.end());
    }
    return findings;
}

}  // namespace emu

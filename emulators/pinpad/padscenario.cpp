// emulators/pinpad/padscenario.cpp
#include "emulators/pinpad/padscenario.h"
#include "emulators/pinpad/pad_emv.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "pinpad/ppcmd.h"

static std::string aux_Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

static bool aux_Num(const std::string& s, uint32_t* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 0);
    if (*end != '\0') return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool PadScen_ParseHex(const std::string& s, std::vector<uint8_t>* out) {
    if (s.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        char* end = nullptr;
        std::string byte = s.substr(i, 2);
        unsigned long v = strtoul(byte.c_str(), &end, 16);
        if (*end != '\0') return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

static int aux_KeyType(const std::string& name) {
    static const char* kNames[] = {"ROOT", "MK", "WK", "MAC", "TK", "GK", "DTDES", "RDTDES"};
    for (int i = 0; i < 8; ++i)
        if (name == kNames[i]) return i;
    uint32_t v;
    return aux_Num(name, &v) ? static_cast<int>(v) : -1;
}

// "KIND[:ARG]@WHERE"
static bool aux_Fault(const std::string& v, SPadFault* f) {
    size_t at = v.find('@');
    if (at == std::string::npos) return false;
    std::string kind = v.substr(0, at), where = v.substr(at + 1), arg;
    size_t colon = kind.find(':');
    if (colon != std::string::npos) {
        arg = kind.substr(colon + 1);
        kind = kind.substr(0, colon);
    }
    *f = SPadFault{};
    struct { const char* name; EPadFaultKind kind; } kinds[] = {
        {"silence", PADFAULT_SILENCE}, {"bad_crc", PADFAULT_BAD_CRC}, {"no_etx", PADFAULT_NO_ETX},
        {"wrong_echo", PADFAULT_WRONG_ECHO}, {"status", PADFAULT_STATUS}, {"truncate", PADFAULT_TRUNCATE},
        {"bad_stx", PADFAULT_BAD_STX}, {"oversize", PADFAULT_OVERSIZE}, {"short", PADFAULT_SHORT},
        {"delay", PADFAULT_DELAY}, {"hold", PADFAULT_HOLD},
    };
    bool known = false;
    for (const auto& k : kinds)
        if (kind == k.name) {
            f->kind = k.kind;
            known = true;
        }
    if (!known) return false;
    if ((f->kind == PADFAULT_STATUS || f->kind == PADFAULT_OVERSIZE || f->kind == PADFAULT_SHORT ||
         f->kind == PADFAULT_DELAY || f->kind == PADFAULT_HOLD) &&
        !aux_Num(arg, &f->arg))
        return false;
    if (where == "key") {
        f->where = PADWHERE_KEY;
    } else if (where == "linktest") {
        f->where = PADWHERE_LINKTEST;
    } else if (where.rfind("reply:", 0) == 0) {
        f->where = PADWHERE_REPLY;
        if (!aux_Num(where.substr(6), &f->replyNo)) return false;
    } else if (where.rfind("cmd:", 0) == 0) {
        f->where = PADWHERE_COMMAND;
        std::string c = where.substr(4);
        size_t hash = c.find('#');
        if (hash != std::string::npos) {
            if (!aux_Num(c.substr(hash + 1), &f->cmdNth)) return false;
            c = c.substr(0, hash);
        }
        size_t dot = c.find('.');
        uint32_t cls, code;
        if (dot == std::string::npos || !aux_Num(c.substr(0, dot), &cls) || !aux_Num(c.substr(dot + 1), &code))
            return false;
        f->cmdClass = static_cast<uint8_t>(cls);
        f->cmdCode = static_cast<uint8_t>(code);
    } else {
        return false;
    }
    return true;
}

bool PadScen_ParseLine(const std::string& raw, SPadScenario* s, std::string* err) {
    std::string line = aux_Trim(raw);
    if (line.empty() || line[0] == '#') return true;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
        *err = "no '=' in: " + line;
        return false;
    }
    std::string key = aux_Trim(line.substr(0, eq)), val = aux_Trim(line.substr(eq + 1));
    uint32_t n = 0;
    bool ok = true;
    if (key == "card") {
        ok = val == "stripe" || val == "chip" || val == "contactless" || val == "cancel" || val == "none";
        s->card = val;
    } else if (key == "card_delay_ms") {
        ok = aux_Num(val, &s->cardDelayMs);
    } else if (key == "card_when_file") {
        ok = !val.empty();
        s->cardWhenFile = val;
    } else if (key == "pin") {
        ok = val == "entered" || val == "cancel";
        s->pin = val;
    } else if (key == "confirm") {
        ok = val == "yes" || val == "no" || val == "none";
        s->confirm = val;
    } else if (key == "key_text") {
        s->keyText = val;
    } else if (key == "remove_after_ms") {
        ok = aux_Num(val, &s->removeAfterMs);
    } else if (key == "dev_name") {
        s->devName = val;
    } else if (key == "dev_id") {
        s->devId = val;
    } else if (key == "dev_text3") {
        s->devText3 = val;
    } else if (key == "dev_text4") {
        s->devText4 = val;
    } else if (key == "app_version") {
        ok = aux_Num(val, &s->appVersion);
    } else if (key == "dev_number") {
        ok = aux_Num(val, &n);
        s->devNumber = static_cast<uint16_t>(n);
    } else if (key == "pad_type") {
        ok = aux_Num(val, &n);
        s->padType = static_cast<uint16_t>(n);
    } else if (key == "serial") {
        s->serial = val;
    } else if (key == "pan") {
        ok = val.size() >= 12 && val.size() <= 19 && val.find_first_not_of("0123456789") == std::string::npos;
        s->pan = val;
    } else if (key == "expiry") {
        ok = val.size() == 4;
        s->expiry = val;
    } else if (key == "chip_flag") {
        ok = aux_Num(val, &n);
        s->chipFlag = static_cast<uint8_t>(n);
    } else if (key == "valid") {
        ok = aux_Num(val, &n);
        s->valid = static_cast<uint8_t>(n);
    } else if (key == "range_no") {
        ok = aux_Num(val, &n);
        s->rangeNo = static_cast<uint16_t>(n);
    } else if (key == "emv_retries") {
        ok = aux_Num(val, &s->emvRetries);
    } else if (key == "cvm") {
        std::vector<uint8_t> b;
        ok = PadScen_ParseHex(val, &b) && b.size() == 3;
        s->cvm = val;
    } else if (key == "card_decision") {
        ok = aux_Num(val, &n);
        s->cardDecision = static_cast<uint8_t>(n);
    } else if (key == "cless_result") {
        std::vector<uint8_t> b;
        ok = PadScen_ParseHex(val, &b) && b.size() == 2;
        s->clessResult = val;
    } else if (key == "cless_cvm") {
        ok = aux_Num(val, &n);
        s->clessCvm = static_cast<uint8_t>(n);
    } else if (key == "update_flags") {
        ok = aux_Num(val, &s->updateFlags);
    } else if (key == "block_size") {
        ok = aux_Num(val, &n) && n >= 1 && n <= 800;
        s->blockSize = static_cast<uint16_t>(n);
    } else if (key == "reply_cipher") {
        ok = val == "auto" || val == "always" || val == "never";
        s->replyCipher = val;
    } else if (key == "key") {  // TYPE:INDEX:KCVHEX
        size_t a = val.find(':'), b = val.rfind(':');
        std::vector<uint8_t> kcv;
        uint32_t idx = 0;
        int type = a == std::string::npos ? -1 : aux_KeyType(val.substr(0, a));
        ok = type >= 0 && b != a && aux_Num(val.substr(a + 1, b - a - 1), &idx) && PadScen_ParseHex(val.substr(b + 1), &kcv) &&
             kcv.size() == 3;
        if (ok) s->keys.push_back(SPadKey{static_cast<uint8_t>(type), static_cast<uint8_t>(idx), {kcv[0], kcv[1], kcv[2]}});
    } else if (key == "file" || key == "file_hex" || key == "file_from") {  // NAME:content
        size_t a = val.find(':');
        ok = a != std::string::npos && a > 0 && a <= 7;
        if (ok) {
            SPadFile f;
            f.name = val.substr(0, a);
            std::string content = val.substr(a + 1);
            if (key == "file") {
                f.data.assign(content.begin(), content.end());
            } else if (key == "file_hex") {
                ok = PadScen_ParseHex(content, &f.data);
            } else {
                std::ifstream in(content, std::ios::binary);
                ok = static_cast<bool>(in);
                f.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            s->files.push_back(f);
        }
    } else if (key == "fault") {
        SPadFault f;
        ok = aux_Fault(val, &f);
        if (ok) s->faults.push_back(f);
    } else if (PadEmv_ParseKey(key, val, &ok)) {
    } else {
        *err = "unknown key: " + key;
        return false;
    }
    if (!ok) *err = "bad value for " + key + ": " + val;
    return ok;
}

bool PadScen_Load(const char* path, SPadScenario* scen, std::string* err) {
    std::ifstream in(path);
    if (!in) {
        *err = std::string("cannot open ") + path;
        return false;
    }
    std::string line;
    int no = 0;
    while (std::getline(in, line)) {
        ++no;
        if (!PadScen_ParseLine(line, scen, err)) {
            *err = "line " + std::to_string(no) + ": " + *err;
            return false;
        }
    }
    return true;
}

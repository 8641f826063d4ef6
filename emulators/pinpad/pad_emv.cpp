// emulators/pinpad/pad_emv.cpp
// Scripting of the pad's chip, contactless and card-reader replies. The
// plain replies come from padcommands.cpp; this part edits them as the
// scenario asks and traces what the terminal sent, decoded (amounts, the
// amount line, dates, the host outcome), never card data in clear.
#include "emulators/pinpad/pad_emv.h"
#include "emulators/pinpad/padscenario.h"

#include <cstdlib>
#include <map>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "pinpad/ppcmd.h"
#include "pinpad/tlv.h"

namespace {

struct STlvObj {
    uint32_t tag;
    std::vector<uint8_t> value;
};

struct SEdit {
    std::string cmd;  // readtk, tran, final, cancel, cless
    uint32_t tag;
    bool remove;
    std::vector<uint8_t> value;
};

struct SEmvScript {
    uint32_t baud = 0;  // 0: the pad hears any speed
    bool cardsSet = false;
    std::vector<std::string> cards;
    size_t nextCard = 0;
    int track2Len = -1;
    std::vector<SEdit> edits;
    std::map<std::string, std::vector<uint8_t>> raw;
    std::vector<std::vector<uint8_t>> clessResults;
    size_t nextCless = 0;
    bool clessSetStatusSet = false;
    uint16_t clessSetStatus = 0;
};

SEmvScript g_script;

bool ParseNum(const std::string& s, uint32_t* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    unsigned long v = strtoul(s.c_str(), &end, 0);
    if (*end != '\0') return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        size_t at = s.find(sep, from);
        out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return out;
        from = at + 1;
    }
}

bool KnownCmd(const std::string& c) {
    return c == "readtk" || c == "tran" || c == "final" || c == "cancel" || c == "cless";
}

std::string Hex(const std::vector<uint8_t>& v) {
    std::string s;
    char b[3];
    for (uint8_t x : v) {
        snprintf(b, sizeof(b), "%02X", x);
        s += b;
    }
    return s;
}

std::string TagHex(uint32_t tag) {
    char b[12];
    snprintf(b, sizeof(b), "%X", tag);
    return b;
}

// Walks a BER-TLV list; stops at the first object that does not fit.
std::vector<STlvObj> Walk(const std::vector<uint8_t>& d) {
    std::vector<STlvObj> out;
    size_t pos = 0;
    while (pos < d.size()) {
        // A zero byte is no tag: the padding of an enciphered request.
        if (d[pos] == 0x00) return out;
        uint32_t tag = d[pos++];
        if ((tag & 0x1F) == 0x1F) {
            uint8_t b;
            int count = 1;
            do {
                if (pos >= d.size() || count == 4) return out;
                b = d[pos++];
                tag = tag << 8 | b;
                ++count;
            } while (b & 0x80);
        }
        if (pos >= d.size()) return out;
        uint32_t len = d[pos++];
        if (len & 0x80) {
            uint32_t n = len & 0x0F;
            if (n == 0 || n > 3 || d.size() - pos < n) return out;
            len = 0;
            for (uint32_t i = 0; i < n; ++i) len = len << 8 | d[pos++];
        }
        if (len > d.size() - pos) return out;
        out.push_back({tag, std::vector<uint8_t>(d.begin() + pos, d.begin() + pos + len)});
        pos += len;
    }
    return out;
}

std::vector<uint8_t> Build(const std::vector<STlvObj>& objs) {
    std::vector<uint8_t> buf(4096);
    S_TLV t;
    TLV_OpenStorage(&t, 0, static_cast<uint32_t>(buf.size()), buf.data());
    for (const STlvObj& o : objs) TLV_AddObject(&t, o.tag, static_cast<uint32_t>(o.value.size()), o.value.data());
    buf.resize(TLV_GetSize(&t));
    return buf;
}

const std::vector<uint8_t>* Find(const std::vector<STlvObj>& objs, uint32_t tag) {
    for (const STlvObj& o : objs)
        if (o.tag == tag) return &o.value;
    return nullptr;
}

std::string Val(const std::vector<STlvObj>& objs, uint32_t tag) {
    const std::vector<uint8_t>* v = Find(objs, tag);
    return v ? Hex(*v) : std::string("-");
}

std::string Text(const std::vector<STlvObj>& objs, uint32_t tag) {
    const std::vector<uint8_t>* v = Find(objs, tag);
    if (!v) return "-";
    std::string s(v->begin(), v->end());
    return s.substr(0, s.find('\0'));
}

// The scenario's raw reply and tag edits for cmd applied to the reply data.
void ApplyEdits(const std::string& cmd, SPadReply* r) {
    auto raw = g_script.raw.find(cmd);
    if (raw != g_script.raw.end()) r->data = raw->second;
    bool any = false;
    for (const SEdit& e : g_script.edits) any = any || e.cmd == cmd;
    if (!any) return;
    std::vector<STlvObj> objs = Walk(r->data);
    for (const SEdit& e : g_script.edits) {
        if (e.cmd != cmd) continue;
        std::vector<STlvObj> kept;
        for (STlvObj& o : objs)
            if (o.tag != e.tag) kept.push_back(o);
        if (!e.remove) kept.push_back({e.tag, e.value});
        objs.swap(kept);
    }
    r->data = Build(objs);
}

std::string TagList(const std::vector<STlvObj>& objs) {
    std::string s;
    for (const STlvObj& o : objs) s += (s.empty() ? "" : ",") + TagHex(o.tag);
    return s.empty() ? "-" : s;
}

uint32_t SpeedOf(speed_t s) {
    switch (s) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

uint32_t Pad8(uint32_t n) { return (n + 7u) / 8u * 8u; }

}  // namespace

bool PadEmv_ParseKey(const std::string& key, const std::string& val, bool* ok) {
    uint32_t n = 0;
    if (key == "baud") {
        *ok = ParseNum(val, &g_script.baud);
    } else if (key == "cards") {
        g_script.cardsSet = true;
        g_script.cards = Split(val, ',');
        *ok = true;
        for (const std::string& c : g_script.cards)
            *ok = *ok && (c == "stripe" || c == "chip" || c == "contactless" || c == "cancel" || c == "none");
    } else if (key == "track2_len") {
        *ok = ParseNum(val, &n) && n <= 255;
        g_script.track2Len = static_cast<int>(n);
    } else if (key == "tlv") {  // CMD:TAG:HEX, or CMD:TAG:- to remove the tag
        std::vector<std::string> p = Split(val, ':');
        SEdit e;
        uint32_t tag = 0;
        *ok = p.size() == 3 && KnownCmd(p[0]) && !p[1].empty() && ParseNum("0x" + p[1], &tag) && tag != 0;
        if (*ok) {
            e.cmd = p[0];
            e.tag = tag;
            e.remove = p[2] == "-";
            *ok = e.remove || PadScen_ParseHex(p[2], &e.value);
        }
        if (*ok) g_script.edits.push_back(e);
    } else if (key == "raw_reply") {  // CMD:HEX (empty HEX: an empty reply)
        size_t colon = val.find(':');
        std::vector<uint8_t> data;
        *ok = colon != std::string::npos && KnownCmd(val.substr(0, colon)) && PadScen_ParseHex(val.substr(colon + 1), &data);
        if (*ok) g_script.raw[val.substr(0, colon)] = data;
    } else if (key == "cless_results") {  // 9FFF15 values of successive reads, e.g. 0001,0001,0000
        g_script.clessResults.clear();
        *ok = true;
        for (const std::string& r : Split(val, ',')) {
            std::vector<uint8_t> b;
            *ok = *ok && PadScen_ParseHex(r, &b) && b.size() == 2;
            g_script.clessResults.push_back(b);
        }
    } else if (key == "cless_set_status") {
        *ok = ParseNum(val, &n) && n <= 0xFFFF;
        g_script.clessSetStatusSet = true;
        g_script.clessSetStatus = static_cast<uint16_t>(n);
    } else {
        return false;
    }
    return true;
}

bool PadEmv_Serve(SPadState* st, uint8_t cls, uint8_t code, const uint8_t* data, size_t len, SPadReply* reply,
                  PadCmdHandler base) {
    std::vector<uint8_t> request(data, data + len);
    if (cls == PPC_CARD && code == PPC_CARD_INITTK) {
        base(st, data, len, reply);
        if (g_script.cardsSet)
            st->scen.card = g_script.nextCard < g_script.cards.size() ? g_script.cards[g_script.nextCard++] : "none";
        PadTrace_Line(st, "CARDINIT mask=%02X card=%s", len > 0 ? data[0] : 0, st->scen.card.c_str());
        return true;
    }
    if (cls == PPC_CARD && code == PPC_CARD_CHECKTK) {
        base(st, data, len, reply);
        std::vector<uint8_t>& d = reply->data;
        if (g_script.track2Len >= 0 && reply->status == 0 && d.size() >= 4 && d[0] == CARD_STATE_STRIPE) {
            // Another track-2 length with as many (enciphered-looking) bytes as it takes.
            size_t start = 4 + Pad8(d[1]), oldLen = Pad8(d[2]);
            if (d.size() >= start + oldLen) {
                d.erase(d.begin() + static_cast<long>(start), d.begin() + static_cast<long>(start + oldLen));
                d.insert(d.begin() + static_cast<long>(start), Pad8(static_cast<uint32_t>(g_script.track2Len)), 0xA5);
                d[2] = static_cast<uint8_t>(g_script.track2Len);
            }
        }
        if (!d.empty() && d[0] != CARD_STATE_NONE) PadTrace_Line(st, "CARDSTATE %u", d[0]);
        return true;
    }
    if (cls == PPC_CARD && code == PPC_CARD_SETCLESS) {
        base(st, data, len, reply);
        if (g_script.clessSetStatusSet) reply->status = g_script.clessSetStatus;
        std::vector<STlvObj> in = Walk(request);
        PadTrace_Line(st, "CLESSSET type=%s bin=%s amount=%s line=%s cur=%s exp=%s date=%s time=%s",
                      Val(in, 0x9C).c_str(), Val(in, 0x81).c_str(), Val(in, 0x9F02).c_str(),
                      Text(in, 0x9FFF13).c_str(), Val(in, 0x5F2A).c_str(), Val(in, 0x5F36).c_str(),
                      Val(in, 0x9A).c_str(), Val(in, 0x9F21).c_str());
        return true;
    }
    if (cls == PPC_CARD && code == PPC_CARD_GETCLESS) {
        base(st, data, len, reply);
        if (!g_script.clessResults.empty()) {
            size_t i = g_script.nextCless < g_script.clessResults.size() ? g_script.nextCless
                                                                         : g_script.clessResults.size() - 1;
            ++g_script.nextCless;
            std::vector<STlvObj> objs = Walk(reply->data);
            for (STlvObj& o : objs)
                if (o.tag == 0x9FFF15) o.value = g_script.clessResults[i];
            reply->data = Build(objs);
        }
        ApplyEdits("cless", reply);
        PadTrace_Line(st, "CLESSGET sent=%zu", len);
        return true;
    }
    if (cls == PPC_EMV) {
        const char* cmd = nullptr;
        switch (code) {
        case PPC_EMV_READTK: cmd = "readtk"; break;
        case PPC_EMV_TRANSACTION: cmd = "tran"; break;
        case PPC_EMV_FINALIZE: cmd = "final"; break;
        case PPC_EMV_CANCEL: cmd = "cancel"; break;
        default: return false;
        }
        base(st, data, len, reply);
        if (reply->status == 0) ApplyEdits(cmd, reply);
        std::vector<STlvObj> in = Walk(request);
        if (code == PPC_EMV_TRANSACTION)
            PadTrace_Line(st,
                          "EMVTRAN type=%s bin=%s amount=%s line=%s cur=%s exp=%s date=%s time=%s seq=%s remote=%s",
                          Val(in, 0x9C).c_str(), Val(in, 0x81).c_str(), Val(in, 0x9F02).c_str(),
                          Text(in, 0x9FFF13).c_str(), Val(in, 0x5F2A).c_str(), Val(in, 0x5F36).c_str(),
                          Val(in, 0x9A).c_str(), Val(in, 0x9F21).c_str(), Val(in, 0x9F41).c_str(),
                          Val(in, 0x9FFF10).c_str());
        else if (code == PPC_EMV_FINALIZE)
            PadTrace_Line(st, "EMVFINAL tags=%s arc=%s host=%s cid=%s", TagList(in).c_str(), Text(in, 0x8A).c_str(),
                          Val(in, 0x9FFF0A).c_str(), Val(in, 0x9F27).c_str());
        else if (code == PPC_EMV_READTK)
            PadTrace_Line(st, "EMVREADTK tid=%s status=%u", Text(in, 0x9F1C).c_str(), reply->status);
        return true;
    }
    return false;
}

bool PadEmv_LineHeard(SPadState* st, int master, size_t count) {
    if (g_script.baud == 0) return true;
    struct termios tio;
    if (tcgetattr(master, &tio) != 0) return true;
    uint32_t line = SpeedOf(cfgetospeed(&tio));
    if (line == g_script.baud) return true;
    // A pad at another speed reads framing noise and answers with noise.
    std::vector<uint8_t> noise(count, 0xFF);
    ssize_t ignored = write(master, noise.data(), noise.size());
    (void)ignored;
    PadTrace_Line(st, "NOISE line=%u pad=%u bytes=%zu", line, g_script.baud, count);
    return false;
}

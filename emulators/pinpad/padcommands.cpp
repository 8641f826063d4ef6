// emulators/pinpad/padcommands.cpp
// Replies of the emulated pad. Card data leave the pad enciphered under a key
// of the pad's own; the trace shows card numbers masked and key material hidden.
#include "emulators/pinpad/padcommands.h"
#include "emulators/pinpad/pad_emv.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <unistd.h>

#include "pinpad/crc.h"
#include "pinpad/des.h"
#include "pinpad/ppcmd.h"
#include "pinpad/tlv.h"
#include "support/sysclock.h"

namespace {

// The pad's own card-data key (the terminal never holds it).
const uint8_t kPadDataKey[16] = {0x13, 0x57, 0x9B, 0xDF, 0x02, 0x46, 0x8A, 0xCE,
                                 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

std::string g_detail;  // decoded request text of the command being served

void Detail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Detail(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    g_detail += buf;
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof(b), "%02X", p[i]);
        s += b;
    }
    return s;
}

std::string Masked(const std::string& pan) {
    if (pan.size() < 10) return std::string(pan.size(), '*');
    return pan.substr(0, 6) + std::string(pan.size() - 10, '*') + pan.substr(pan.size() - 4);
}

// Digits of a card number anywhere in traced text are masked the same way.
std::string MaskDigits(const std::string& text) {
    std::string out = text;
    size_t i = 0;
    while (i < out.size()) {
        size_t j = i;
        while (j < out.size() && out[j] >= '0' && out[j] <= '9') ++j;
        if (j - i >= 12) out.replace(i, j - i, Masked(out.substr(i, j - i)));
        i = j + 1;
    }
    return out;
}

uint32_t Pad8(uint32_t n) { return (n + 7u) / 8u * 8u; }

std::vector<uint8_t> Encipher(const std::string& clear) {
    std::vector<uint8_t> v(Pad8(static_cast<uint32_t>(clear.size())), 0);
    memcpy(v.data(), clear.data(), clear.size());
    if (!v.empty()) Encode_3DES(v.data(), v.data(), static_cast<uint16_t>(v.size()), kPadDataKey);
    return v;
}

void Put(std::vector<uint8_t>& v, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    v.insert(v.end(), b, b + n);
}
void PutText(std::vector<uint8_t>& v, const std::string& s) {
    v.push_back(static_cast<uint8_t>(s.size()));
    Put(v, s.data(), s.size());
}

std::vector<uint8_t> FromHex(const std::string& h) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return v;
}

std::vector<uint8_t> PinBlockOf() { return Encipher(std::string("PINBLOCK")); }

std::string Track2(const SPadScenario& s) { return s.pan + "=" + s.expiry.substr(2, 2) + s.expiry.substr(0, 2) + "1011234567890000"; }

// A TLV list built with the project's store.
struct TlvOut {
    uint8_t buf[1200];
    S_TLV t;
    TlvOut() { TLV_OpenStorage(&t, 0, sizeof(buf), buf); }
    void Add(uint32_t tag, const void* v, size_t n) { TLV_AddObject(&t, tag, static_cast<uint32_t>(n), v); }
    void Add(uint32_t tag, const std::vector<uint8_t>& v) { Add(tag, v.data(), v.size()); }
    void Add1(uint32_t tag, uint8_t b) { Add(tag, &b, 1); }
    void LengthPrefixed(uint32_t tag, const std::string& clear) {
        std::vector<uint8_t> v{static_cast<uint8_t>(clear.size())};
        std::vector<uint8_t> enc = Encipher(clear);
        v.insert(v.end(), enc.begin(), enc.end());
        Add(tag, v);
    }
    void To(SPadReply* r) { r->data.assign(buf, buf + TLV_GetSize(&t)); }
};

// A received TLV list, read with the project's store.
struct TlvIn {
    std::vector<uint8_t> copy;
    S_TLV t;
    TlvIn(const uint8_t* d, size_t n) : copy(d, d + n) {
        if (copy.empty()) copy.push_back(0);
        TLV_OpenStorage(&t, static_cast<uint32_t>(n), static_cast<uint32_t>(copy.size()), copy.data());
    }
    bool Get(uint32_t tag, std::vector<uint8_t>* v) {
        if (TLV_GetObject(&t, tag) != 0) return false;
        v->assign(copy.data() + TLV_GetObjectTagOffset(&t), copy.data() + TLV_GetObjectTagOffset(&t) + TLV_GetObjectTagLength(&t));
        return true;
    }
    uint32_t GetLE(uint32_t tag, uint32_t dflt) {
        std::vector<uint8_t> v;
        if (!Get(tag, &v)) return dflt;
        uint32_t x = 0;
        for (size_t i = v.size(); i-- > 0;) x = (x << 8) | v[i];
        return x;
    }
    std::string Text(uint32_t tag) {
        std::vector<uint8_t> v;
        return Get(tag, &v) ? std::string(v.begin(), v.end()) : std::string();
    }
};

uint32_t Le32(uint32_t v, std::vector<uint8_t>& out) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return v;
}

void Kcv(const std::vector<uint8_t>& key, uint8_t out[3]) {
    uint8_t k[16] = {}, z[8] = {};
    memcpy(k, key.data(), key.size() >= 16 ? 16 : key.size());
    Encode_3DES(z, z, 8, k);
    memcpy(out, z, 3);
}

// ---- device (class 1) ----
void DevGetInfo(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    const SPadScenario& s = st->scen;
    PutText(r->data, s.devName);
    PutText(r->data, s.devId);
    PutText(r->data, s.devText3);
    Le32(s.appVersion, r->data);
    PutText(r->data, s.devText4);
    r->data.push_back(static_cast<uint8_t>(s.devNumber));
    r->data.push_back(static_cast<uint8_t>(s.devNumber >> 8));
}
void DevSetDateTime(SPadState*, const uint8_t* d, size_t n, SPadReply*) { Detail("text=%.*s", static_cast<int>(n), d); }
void DevRestart(SPadState* st, const uint8_t*, size_t, SPadReply*) { st->cardActive = false; }
void SetBaud(SPadState*, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 4) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("baud=%u", d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24));
}
void GetType(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    r->data = {static_cast<uint8_t>(st->scen.padType >> 8), static_cast<uint8_t>(st->scen.padType)};
}
void KeyFlags(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 5) { r->status = PAD_STATUS_BAD_DATA; return; }
    uint32_t flags = (static_cast<uint32_t>(d[1]) << 24) | (d[2] << 16) | (d[3] << 8) | d[4];
    Detail("mode=%02X flags=%u", d[0], flags);
    if (d[0] == KEYFLAGS_SET) {
        st->updateFlags = flags;
        return;
    }
    uint32_t f = st->updateFlags;
    r->data = {static_cast<uint8_t>(f >> 24), static_cast<uint8_t>(f >> 16), static_cast<uint8_t>(f >> 8), static_cast<uint8_t>(f)};
}
void GetSN(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    PutText(r->data, st->scen.serial);
    r->data.push_back(0);
}

// ---- display, keyboard, beep (classes 2, 3, 8) ----
void DispClear(SPadState* st, const uint8_t*, size_t, SPadReply*) { PadTrace_Line(st, "CLEAR"); }
void DispStringEx(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 5 || d[4] > n - 5) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("row=%u", d[0]);
    PadTrace_Line(st, "DISPLAY %u %.*s", d[0], d[4], reinterpret_cast<const char*>(d + 5));
}
void DispText(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 3 || d[2] > n - 3) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("a=%u b=%u", d[1], d[0]);
    PadTrace_Line(st, "DISPLAY %u %.*s", d[1], d[2], reinterpret_cast<const char*>(d + 3));
}
void KbdInit(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 8) { r->status = PAD_STATUS_BAD_DATA; return; }
    st->kbdMode = d[0];
    Detail("mode=%u params=%s", d[0], Hex(d + 1, 7).c_str());
}
void KbdCheck(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    const std::string& c = st->scen.confirm;
    if (c == "none") {
        r->data = {1};
    } else if (c == "no") {
        r->data = {2};
    } else {
        r->data = {0};
        PutText(r->data, st->scen.keyText);
    }
}
void Nothing(SPadState*, const uint8_t*, size_t, SPadReply*) {}
void Beep(SPadState* st, const uint8_t*, size_t, SPadReply*) { PadTrace_Line(st, "BEEP"); }

// ---- card reader (classes 4, 5) ----
void CardInit(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 7) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("mask=%02X p1=%u p2=%u ym=%.4s", d[0], d[1], d[2], reinterpret_cast<const char*>(d + 3));
    st->cardActive = true;
    st->cardStartMs = SysClock_MonotonicMs();
}
void CardCancel(SPadState* st, const uint8_t*, size_t, SPadReply*) { st->cardActive = false; }
void CardCheck(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    const SPadScenario& s = st->scen;
    bool shown = st->cardActive && s.card != "none" && SysClock_MonotonicMs() - st->cardStartMs >= s.cardDelayMs &&
                 (s.cardWhenFile.empty() || access(s.cardWhenFile.c_str(), F_OK) == 0);
    if (!shown) { r->data = {CARD_STATE_NONE}; return; }
    if (s.card == "chip") { r->data = {CARD_STATE_CHIP}; return; }
    if (s.card == "contactless") { r->data = {CARD_STATE_CLESS}; return; }
    if (s.card == "cancel") { r->data = {CARD_STATE_CANCELLED}; return; }
    std::string t2 = Track2(s);
    std::vector<uint8_t> enc2 = Encipher(t2), encPan = Encipher(s.pan), encExp = Encipher(s.expiry);
    std::string masked = Masked(s.pan);
    r->data = {CARD_STATE_STRIPE, 0, static_cast<uint8_t>(t2.size()), 0};
    Put(r->data, enc2.data(), enc2.size());
    r->data.push_back(static_cast<uint8_t>(s.pan.size()));
    Put(r->data, encPan.data(), encPan.size());
    Put(r->data, encExp.data(), 8);
    Put(r->data, masked.data(), masked.size());
    r->data.push_back(s.valid);
    r->data.push_back(s.chipFlag);
    r->data.push_back(static_cast<uint8_t>(s.rangeNo));
    r->data.push_back(static_cast<uint8_t>(s.rangeNo >> 8));
}
void ClessSet(SPadState*, const uint8_t* d, size_t n, SPadReply*) {
    TlvIn in(d, n);
    std::vector<uint8_t> amount;
    Detail("amount=%s", in.Get(0x81, &amount) ? Hex(amount.data(), amount.size()).c_str() : "-");
}
void ClessGet(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    const SPadScenario& s = st->scen;
    TlvOut o;
    o.Add(0x9FFF15, FromHex(s.clessResult));
    o.Add1(0x9C, 0x00);
    o.Add1(0x9FFF07, 2);
    o.Add1(0x9FFF08, s.clessCvm);
    o.Add(0x95, std::vector<uint8_t>{0, 0, 0, 0, 0});
    o.Add(0x9F34, FromHex(s.cvm));
    o.Add1(0x9FFF14, 8);
    o.Add(0x9F09, std::vector<uint8_t>{0, 2});
    o.Add1(0x9F27, 0x80);
    std::vector<uint8_t> exp{4};
    std::vector<uint8_t> encExp = Encipher(s.expiry);
    exp.insert(exp.end(), encExp.begin(), encExp.begin() + 8);
    o.Add(0x5F24, exp);
    o.LengthPrefixed(0x57, Track2(s));
    o.LengthPrefixed(0x5A, s.pan);
    o.Add1(0x5F34, 1);
    std::string masked = Masked(s.pan);
    o.Add(0x9FFF0F, masked.data(), masked.size());
    o.Add1(0x9FFF0E, s.valid ? 0 : 1);
    o.Add(0x9FFF0D, std::vector<uint8_t>{static_cast<uint8_t>(s.rangeNo >> 8), static_cast<uint8_t>(s.rangeNo)});
    o.Add(0x50, "VISA", 4);
    o.Add(0x4F, FromHex("A0000000031010"));
    o.To(r);
}
void SmartPresent(SPadState* st, const uint8_t*, size_t, SPadReply* r) {
    uint64_t now = SysClock_MonotonicMs();
    if (st->firstPresentMs == 0) st->firstPresentMs = now;
    bool in = st->scen.card == "chip" && now - st->firstPresentMs < st->scen.removeAfterMs;
    r->data = {static_cast<uint8_t>(in ? 1 : 0)};
}

// ---- keys and PIN (class 6) ----
uint16_t KeyId(uint8_t type, uint8_t index) { return static_cast<uint16_t>((type << 8) | index); }
void ReplyKcv(SPadState* st, uint16_t id, SPadReply* r) {
    auto it = st->keys.find(id);
    uint8_t kcv[3] = {0, 0, 0};
    if (it != st->keys.end()) {
        if (it->second.size() == 3)
            memcpy(kcv, it->second.data(), 3);
        else
            Kcv(it->second, kcv);
    }
    r->data.assign(kcv, kcv + 3);
}
void TKLoad(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 1 || (d[0] != 16 && d[0] != 24) || n < 1u + d[0]) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("len=%u key=<hidden>", d[0]);
    st->keys[KeyId(4, 1)] = std::vector<uint8_t>(d + 1, d + 1 + 16);
    ReplyKcv(st, KeyId(4, 1), r);
}
void KeyCheck(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 2) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("type=%u index=%u", d[0], d[1]);
    ReplyKcv(st, KeyId(d[0], d[1]), r);
}
void KeyLoad(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 19) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("mk=%u type=%u index=%u key=<hidden>", d[0], d[1], d[2]);
    st->keys[KeyId(d[1], d[2])] = std::vector<uint8_t>(d + 3, d + 19);
    ReplyKcv(st, KeyId(d[1], d[2]), r);
}
void PinBlock(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 5 || d[4] > n - 5) { r->status = PAD_STATUS_BAD_DATA; return; }
    std::string pan(reinterpret_cast<const char*>(d + 5), d[4]);
    Detail("key=%u min=%u max=%u timeout=%u pan=%s", d[0], d[1], d[2], d[3], MaskDigits(pan).c_str());
    size_t rest = 5 + d[4];
    if (rest < n) Detail(" amount=%s", std::string(reinterpret_cast<const char*>(d + rest), strnlen(reinterpret_cast<const char*>(d + rest), n - rest)).c_str());
    if (st->scen.pin == "cancel") { r->status = PAD_STATUS_CANCELLED; return; }
    std::vector<uint8_t> block = PinBlockOf();
    r->data = {0, 8};
    Put(r->data, block.data(), 8);
}

// ---- application update (class 9) ----
void AppStart(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 4) { r->status = PAD_STATUS_BAD_DATA; return; }
    st->appLength = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
    st->appImage.clear();
    Detail("length=%u", st->appLength);
}
void AppWrite(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 2 || static_cast<size_t>(d[0] | (d[1] << 8)) > n - 2) { r->status = PAD_STATUS_BAD_DATA; return; }
    size_t count = d[0] | (d[1] << 8);
    Put(st->appImage, d + 2, count);
    Detail("count=%zu", count);
}
void AppFinish(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    if (n < 4) { r->status = PAD_STATUS_BAD_DATA; return; }
    uint32_t crc = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
    uint32_t mine = CRC_CalcCRC32(st->appImage.data(), static_cast<uint32_t>(st->appImage.size()), 0);
    Detail("crc=%08X ok=%d", crc, crc == mine && st->appImage.size() == st->appLength);
    if (crc != mine || st->appImage.size() != st->appLength) r->status = PAD_STATUS_BAD_DATA;
}

// ---- EMV (class 17) ----
void EmvReadTK(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    const SPadScenario& s = st->scen;
    TlvIn in(d, n);
    Detail("tid=%s", in.Text(0x9F1C).c_str());
    if (st->emvReads++ < s.emvRetries) { r->status = PAD_STATUS_CHIP_RETRY; return; }
    TlvOut o;
    o.LengthPrefixed(0x5A, s.pan);
    o.Add1(0x5F34, 1);
    o.Add(0x4F, FromHex("A0000000031010"));
    std::vector<uint8_t> exp{4};
    std::vector<uint8_t> encExp = Encipher(s.expiry);
    exp.insert(exp.end(), encExp.begin(), encExp.begin() + 8);
    o.Add(0x5F24, exp);
    o.LengthPrefixed(0x57, Track2(s));
    o.Add(0x50, "VISA CLASSIC", 12);
    std::string masked = Masked(s.pan);
    o.Add(0x9FFF0F, masked.data(), masked.size());
    o.Add1(0x9FFF0E, s.valid ? 0 : 1);
    o.Add(0x9FFF0D, std::vector<uint8_t>{static_cast<uint8_t>(s.rangeNo >> 8), static_cast<uint8_t>(s.rangeNo)});
    o.To(r);
}
void EmvTransaction(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    TlvIn in(d, n);
    std::vector<uint8_t> amount, type;
    in.Get(0x9F02, &amount);
    in.Get(0x9C, &type);
    Detail("type=%s amount=%s", Hex(type.data(), type.size()).c_str(), Hex(amount.data(), amount.size()).c_str());
    TlvOut o;
    o.Add(0x9C, type.empty() ? std::vector<uint8_t>{0} : type);
    o.Add1(0x9FFF07, 2);
    o.Add(0x95, std::vector<uint8_t>{0, 0, 0, 0, 0});
    std::vector<uint8_t> cvm = FromHex(st->scen.cvm);
    o.Add(0x9F34, cvm);
    if ((cvm[0] & 0x1F) == 2) {
        std::vector<uint8_t> pb{8};
        std::vector<uint8_t> block = PinBlockOf();
        pb.insert(pb.end(), block.begin(), block.end());
        o.Add(0x9FFF09, pb);
    }
    o.Add(0x9A, std::vector<uint8_t>{0x25, 0x01, 0x01});
    o.Add(0x9F21, std::vector<uint8_t>{0x12, 0x00, 0x00});
    o.Add(0x9F09, std::vector<uint8_t>{0, 2});
    o.Add1(0x9F27, 0x80);
    o.Add(0x9F26, std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8});
    o.To(r);
}
void EmvCancel(SPadState*, const uint8_t*, size_t, SPadReply* r) {
    TlvOut o;
    o.Add1(0x9FFF7F, 0);
    o.To(r);
}
void EmvFinalize(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    TlvIn in(d, n);
    std::vector<uint8_t> host, arc;
    in.Get(0x9FFF0A, &host);
    in.Get(0x8A, &arc);
    Detail("host=%s arc=%s", Hex(host.data(), host.size()).c_str(), std::string(arc.begin(), arc.end()).c_str());
    TlvOut o;
    o.Add1(0x9FFF0B, st->scen.cardDecision);
    o.To(r);
}

// ---- files (class 18) ----
std::string FileName(TlvIn& in) { return in.Text(0x1F55); }
void FileCheck(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    TlvIn in(d, n);
    std::string name = FileName(in);
    Detail("name=%s", name.c_str());
    auto it = st->files.find(name);
    if (it == st->files.end()) return;  // no such file: empty reply
    TlvOut o;
    std::vector<uint8_t> len, crc;
    Le32(static_cast<uint32_t>(it->second.size()), len);
    Le32(CRC_CalcCRC32(it->second.data(), static_cast<uint32_t>(it->second.size()), 0), crc);
    o.Add(0x1F56, len);
    o.Add(0x1F57, crc);
    o.To(r);
}
void FileStart(SPadState* st, const uint8_t* d, size_t n, SPadReply* r, bool write) {
    TlvIn in(d, n);
    std::string name = FileName(in);
    uint32_t offered = in.GetLE(0x1F58, 0);
    Detail("name=%s block=%u", name.c_str(), offered);
    if (name.empty() || name.size() > 7) { r->status = PAD_STATUS_BAD_DATA; return; }
    if (write) {
        st->writeFile = name;
        st->files[name].clear();
    } else {
        if (!st->files.count(name)) { r->status = PAD_STATUS_BAD_DATA; return; }
        st->readFile = name;
    }
    uint16_t bs = offered && offered < st->scen.blockSize ? static_cast<uint16_t>(offered) : st->scen.blockSize;
    TlvOut o;
    uint8_t b[2] = {static_cast<uint8_t>(bs), static_cast<uint8_t>(bs >> 8)};
    o.Add(0x1F58, b, 2);
    o.To(r);
}
void FileStartWrite(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) { FileStart(st, d, n, r, true); }
void FileStartRead(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) { FileStart(st, d, n, r, false); }
void FileWriteBlock(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    TlvIn in(d, n);
    std::vector<uint8_t> data;
    uint32_t idx = in.GetLE(0x1F59, 0xFFFF);
    if (st->writeFile.empty() || !in.Get(0x1F60, &data)) { r->status = PAD_STATUS_BAD_DATA; return; }
    Detail("index=%u count=%zu", idx, data.size());
    Put(st->files[st->writeFile], data.data(), data.size());
}
void FileReadBlock(SPadState* st, const uint8_t* d, size_t n, SPadReply* r) {
    TlvIn in(d, n);
    uint32_t idx = in.GetLE(0x1F59, 0), size = in.GetLE(0x1F61, st->scen.blockSize);
    Detail("index=%u size=%u", idx, size);
    auto it = st->files.find(st->readFile);
    if (it == st->files.end() || size == 0) { r->status = PAD_STATUS_BAD_DATA; return; }
    size_t from = static_cast<size_t>(idx) * size, total = it->second.size();
    size_t count = from >= total ? 0 : (total - from < size ? total - from : size);
    TlvOut o;
    o.Add(0x1F60, it->second.data() + (from < total ? from : total), count);
    if (from + count >= total) o.Add(0x1F62, nullptr, 0);
    o.To(r);
}

const SPadCmdEntry kTable[] = {
    {1, 1, "DevGetInfo", DevGetInfo},
    {1, 8, "DevSetDateTime", DevSetDateTime},
    {1, 12, "DevRestart", DevRestart},
    {1, 13, "SetBaudrate", SetBaud},
    {1, 14, "GetPinpadType", GetType},
    {1, 17, "GetSetUpdateKeyFlags", KeyFlags},
    {1, 18, "GetPinpadSN", GetSN},
    {2, 1, "DisplayClear", DispClear},
    {2, 5, "DisplayStringEx", DispStringEx},
    {2, 6, "DisplayText", DispText},
    {3, 5, "KbdInputInit", KbdInit},
    {3, 6, "KbdInputCheck", KbdCheck},
    {3, 7, "KbdInputCancel", Nothing},
    {4, 3, "CardReaderCancel", CardCancel},
    {4, 17, "CardReaderInitTK", CardInit},
    {4, 18, "CardReaderCheckTK", CardCheck},
    {4, 19, "CardReader_SetClessParam", ClessSet},
    {4, 20, "CardReader_GetClessResult", ClessGet},
    {5, 4, "SmartPresent", SmartPresent},
    {6, 16, "TKLoad", TKLoad},
    {6, 17, "TKLoadEncrypted", TKLoad},
    {6, 24, "KeyCheck", KeyCheck},
    {6, 27, "KeyLoad", KeyLoad},
    {6, 29, "PinBlockInitEx", PinBlock},
    {8, 1, "BeepNormal", Beep},
    {9, 1, "UpdateAppStart", AppStart},
    {9, 2, "UpdateAppWriteBlock", AppWrite},
    {9, 3, "UpdateAppFinish", AppFinish},
    {17, 2, "EMVTransaction", EmvTransaction},
    {17, 3, "EMVCancel", EmvCancel},
    {17, 4, "EMVFinalize", EmvFinalize},
    {17, 5, "EMVReadTK", EmvReadTK},
    {17, 6, "EMVRereadCfg", Nothing},
    {17, 8, "EMVDestroyContext", Nothing},
    {18, 1, "FileCheck", FileCheck},
    {18, 2, "FileStartWrite", FileStartWrite},
    {18, 3, "FileWriteBlock", FileWriteBlock},
    {18, 5, "FileStartRead", FileStartRead},
    {18, 6, "FileReadBlock", FileReadBlock},
};

}  // namespace

const SPadCmdEntry* PadCmd_Table(size_t* count) {
    *count = sizeof(kTable) / sizeof(kTable[0]);
    return kTable;
}

void PadCmd_Dispatch(SPadState* st, uint8_t cls, uint8_t code, const uint8_t* data, size_t len, SPadReply* reply) {
    g_detail.clear();
    for (const SPadCmdEntry& e : kTable) {
        if (e.cls == cls && e.code == code) {
            if (!PadEmv_Serve(st, cls, code, data, len, reply, e.handler)) e.handler(st, data, len, reply);
            PadTrace_Line(st, "REQ %u,%u %s%s%s", cls, code, e.name, g_detail.empty() ? "" : " ", g_detail.c_str());
            return;
        }
    }
    PadTrace_Line(st, "REQ %u,%u unknown len=%zu", cls, code, len);
    reply->status = PAD_STATUS_UNKNOWN_COMMAND;
}

void PadCmd_CardData(const SPadScenario& scen, std::string* pan, std::string* track2, std::vector<uint8_t>* pinBlock) {
    *pan = scen.pan;
    *track2 = Track2(scen);
    *pinBlock = PinBlockOf();
}

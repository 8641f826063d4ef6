// emulators/host/hostpack.cpp
#include "emulators/host/hostpack.h"

#include <cstdio>

#include "support/result_codes.h"

namespace {

// The field table, one row per run of fields of the same format.
struct FieldRow {
    uint8_t first, last;
    SHostFieldDef def;
};
constexpr FieldRow kFieldRows[] = {
    {1, 1, {HOSTF_BITMAP, 0, 16}},   {2, 2, {HOSTF_TEXT, 2, 19}},     {3, 3, {HOSTF_NUMERIC, 0, 6}},
    {4, 6, {HOSTF_NUMERIC, 0, 12}},  {7, 7, {HOSTF_NUMERIC, 0, 14}},  {8, 10, {HOSTF_NUMERIC, 0, 8}},
    {11, 11, {HOSTF_TEXT, 0, 6}},    {12, 12, {HOSTF_NUMERIC, 0, 12}}, {13, 14, {HOSTF_NUMERIC, 0, 4}},
    {15, 15, {HOSTF_NUMERIC, 0, 14}}, {16, 18, {HOSTF_NUMERIC, 0, 4}}, {19, 21, {HOSTF_NUMERIC, 0, 3}},
    {22, 22, {HOSTF_TEXT, 0, 12}},   {23, 24, {HOSTF_NUMERIC, 0, 3}}, {25, 26, {HOSTF_NUMERIC, 0, 4}},
    {27, 27, {HOSTF_NUMERIC, 0, 1}}, {28, 28, {HOSTF_NUMERIC, 0, 6}}, {29, 29, {HOSTF_NUMERIC, 0, 3}},
    {30, 30, {HOSTF_NUMERIC, 0, 24}}, {31, 31, {HOSTF_TEXT, 2, 99}},  {32, 33, {HOSTF_TEXT, 2, 11}},
    {34, 34, {HOSTF_TEXT, 2, 28}},   {35, 35, {HOSTF_TEXT, 2, 37}},   {36, 36, {HOSTF_TEXT, 3, 104}},
    {37, 37, {HOSTF_TEXT, 0, 12}},   {38, 38, {HOSTF_TEXT, 0, 6}},    {39, 39, {HOSTF_TEXT, 0, 3}},
    {40, 40, {HOSTF_NUMERIC, 0, 3}}, {41, 41, {HOSTF_TEXT, 0, 8}},    {42, 42, {HOSTF_TEXT, 0, 15}},
    {43, 44, {HOSTF_TEXT, 2, 99}},   {45, 45, {HOSTF_TEXT, 2, 76}},   {46, 46, {HOSTF_TEXT, 3, 204}},
    {47, 48, {HOSTF_TEXT, 3, 999}},  {49, 49, {HOSTF_NUMERIC, 0, 3}}, {50, 51, {HOSTF_TEXT, 0, 3}},
    {52, 52, {HOSTF_HEX, 0, 16}},    {53, 53, {HOSTF_TEXT, 2, 96}},   {54, 54, {HOSTF_TEXT, 3, 360}},
    {55, 55, {HOSTF_TEXT, 3, 510}},  {56, 56, {HOSTF_TEXT, 2, 35}},   {57, 57, {HOSTF_NUMERIC, 0, 3}},
    {58, 58, {HOSTF_TEXT, 2, 11}},   {59, 63, {HOSTF_TEXT, 3, 999}},  {64, 65, {HOSTF_HEX, 0, 16}},
    {66, 66, {HOSTF_TEXT, 3, 204}},  {67, 67, {HOSTF_NUMERIC, 0, 2}}, {68, 70, {HOSTF_NUMERIC, 0, 3}},
    {71, 71, {HOSTF_NUMERIC, 0, 8}}, {72, 72, {HOSTF_TEXT, 3, 999}},  {73, 73, {HOSTF_NUMERIC, 0, 6}},
    {74, 85, {HOSTF_NUMERIC, 0, 10}}, {86, 89, {HOSTF_NUMERIC, 0, 16}}, {90, 90, {HOSTF_NUMERIC, 0, 10}},
    {91, 92, {HOSTF_NUMERIC, 0, 3}}, {93, 94, {HOSTF_TEXT, 2, 11}},   {95, 95, {HOSTF_TEXT, 2, 99}},
    {96, 96, {HOSTF_TEXT, 3, 998}},  {97, 97, {HOSTF_TEXT, 0, 17}},   {98, 98, {HOSTF_TEXT, 0, 25}},
    {99, 100, {HOSTF_TEXT, 2, 11}},  {101, 101, {HOSTF_TEXT, 2, 17}}, {102, 103, {HOSTF_TEXT, 2, 28}},
    {104, 104, {HOSTF_TEXT, 3, 100}}, {105, 106, {HOSTF_NUMERIC, 0, 16}}, {107, 108, {HOSTF_NUMERIC, 0, 10}},
    {109, 110, {HOSTF_TEXT, 2, 84}}, {111, 127, {HOSTF_TEXT, 3, 999}}, {128, 128, {HOSTF_HEX, 0, 16}},
};

// The rows follow one another from field 1 to field 128 without a gap.
constexpr bool aux_HostPack_TableIsWhole() {
    unsigned next = 1;
    for (const FieldRow& row : kFieldRows) {
        if (row.first != next || row.last < row.first) return false;
        next = row.last + 1u;
    }
    return next == 129;
}
static_assert(aux_HostPack_TableIsWhole(), "the field table must cover fields 1 to 128 once each");

// What may stand behind a request's message: the card data the pad enciphered,
// each under its tag, for the field it replaces, in ascending tag order.
struct ElementRow {
    uint8_t tag, field;
    uint16_t length;  // the only length the element may announce; 0: any
    bool blocks;      // the datum is whole 8-byte cipher blocks
};
constexpr ElementRow kElements[] = {
    {1, 2, 0, true},    // card number
    {2, 14, 4, true},   // expiry date
    {4, 35, 0, true},   // track 2
    {5, 52, 8, false},  // PIN block
};

// Message types and the packet kind that must carry them.
struct KindRow {
    uint16_t mti;
    uint8_t kind;
};
constexpr KindRow kKinds[] = {
    {1100, HOSTPACK_KIND_CARD},  {1200, HOSTPACK_KIND_CARD},  {1220, HOSTPACK_KIND_CARD},
    {1420, HOSTPACK_KIND_CARD},  {1520, HOSTPACK_KIND_ADMIN}, {1800, HOSTPACK_KIND_ADMIN},
    {1804, HOSTPACK_KIND_ADMIN},
};

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

const SHostFieldDef* HostPack_Field(unsigned field) {
    for (const FieldRow& row : kFieldRows)
        if (field >= row.first && field <= row.last) return &row.def;
    return nullptr;
}

bool HostPack_Fits(unsigned field, size_t length) {
    const SHostFieldDef* def = HostPack_Field(field);
    return def != nullptr && field != 1 && length <= def->usMax;
}

static bool aux_HostPack_IsDigit(char c) { return c >= '0' && c <= '9'; }

static bool aux_HostPack_IsHex(char c) { return aux_HostPack_IsDigit(c) || (c >= 'A' && c <= 'F'); }

static bool aux_HostPack_CharFits(EHostFieldClass cls, char c) {
    switch (cls) {
        case HOSTF_NUMERIC: return aux_HostPack_IsDigit(c);
        case HOSTF_BITMAP:
        case HOSTF_HEX: return aux_HostPack_IsHex(c);
        case HOSTF_TEXT: return c >= 0x20 && c <= 0x7E;
    }
    return false;
}

static const char* aux_HostPack_ClassName(EHostFieldClass cls) {
    switch (cls) {
        case HOSTF_NUMERIC: return "decimal digits";
        case HOSTF_BITMAP:
        case HOSTF_HEX: return "upper-case hexadecimal characters";
        case HOSTF_TEXT: return "printable characters";
    }
    return "?";
}

static int aux_HostPack_Refuse(std::string* why, const std::string& text) {
    *why = text;
    return RES_HOST_BAD_LENGTH;
}

// Reads a bitmap's 16 characters into 8 bytes; false unless they are upper-case hexadecimal.
static bool aux_HostPack_ReadBitmap(const std::string& text, uint8_t* bits) {
    for (size_t i = 0; i < 8; ++i) {
        const char hi = text[2 * i], lo = text[2 * i + 1];
        if (!aux_HostPack_IsHex(hi) || !aux_HostPack_IsHex(lo)) return false;
        auto nibble = [](char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10); };
        bits[i] = static_cast<uint8_t>(nibble(hi) << 4 | nibble(lo));
    }
    return true;
}

// Bit n (1..64) of a bitmap: the first field is the top bit of the first byte.
static bool aux_HostPack_Bit(const uint8_t* bits, unsigned n) {
    return (bits[(n - 1) / 8] & (0x80u >> ((n - 1) % 8))) != 0;
}

// Splits the bitmap message text into out->fields; 0 or the refusal.
static int aux_HostPack_ParseMessage(const std::string& text, SHostRequest* out, std::string* why) {
    if (text.size() < 20) return aux_HostPack_Refuse(why, "message of " + std::to_string(text.size()) +
                                                              " characters: no room for its type and bitmap");
    unsigned mti = 0;
    for (size_t i = 0; i < 4; ++i) {
        if (!aux_HostPack_IsDigit(text[i])) return aux_HostPack_Refuse(why, "message type not four digits");
        mti = mti * 10 + static_cast<unsigned>(text[i] - '0');
    }
    out->usMti = static_cast<uint16_t>(mti);
    uint8_t bits[16] = {};
    if (!aux_HostPack_ReadBitmap(text.substr(4, 16), bits))
        return aux_HostPack_Refuse(why, "primary bitmap not upper-case hexadecimal");
    size_t pos = 20;
    for (unsigned field = 1; field <= 128; ++field) {
        if (!aux_HostPack_Bit(bits, field)) continue;
        const SHostFieldDef* def = HostPack_Field(field);
        const std::string name = "field " + std::to_string(field);
        size_t length = def->usMax;
        if (def->ucPrefix != 0) {
            if (pos + def->ucPrefix > text.size())
                return aux_HostPack_Refuse(why, name + ": length prefix cut off");
            length = 0;
            for (size_t i = 0; i < def->ucPrefix; ++i) {
                if (!aux_HostPack_IsDigit(text[pos + i]))
                    return aux_HostPack_Refuse(why, name + ": length prefix not digits");
                length = length * 10 + static_cast<size_t>(text[pos + i] - '0');
            }
            pos += def->ucPrefix;
            if (length > def->usMax)
                return aux_HostPack_Refuse(why, name + ": length " + std::to_string(length) + " above its " +
                                                    std::to_string(def->usMax));
        }
        if (pos + length > text.size())
            return aux_HostPack_Refuse(why, name + ": " + std::to_string(length) + " characters, " +
                                                std::to_string(text.size() - pos) + " left in the message");
        const std::string value = text.substr(pos, length);
        for (char c : value)
            if (!aux_HostPack_CharFits(def->eClass, c))
                return aux_HostPack_Refuse(why, name + ": not " + std::string(aux_HostPack_ClassName(def->eClass)));
        if (field == 1) aux_HostPack_ReadBitmap(value, bits + 8);
        out->fields[field] = value;
        pos += length;
    }
    if (pos != text.size())
        return aux_HostPack_Refuse(why, std::to_string(text.size() - pos) + " characters after the last field");
    return 0;
}

// Reads the security elements from packet[pos] to the end into out->elements.
static int aux_HostPack_ParseElements(const uint8_t* packet, size_t count, size_t pos, SHostRequest* out,
                                      std::string* why) {
    unsigned lastTag = 0;
    while (pos < count) {
        const std::string name = "security element " + std::to_string(out->elements.size() + 1);
        if (pos + HOSTPACK_ELEMENT_HEAD > count) return aux_HostPack_Refuse(why, name + ": head cut off");
        SHostSecElement e;
        e.ucTag = packet[pos];
        e.ucField = packet[pos + 1];
        e.usLength = static_cast<uint16_t>(packet[pos + 2] << 8 | packet[pos + 3]);
        const ElementRow* row = nullptr;
        for (const ElementRow& r : kElements)
            if (r.tag == e.ucTag) row = &r;
        if (row == nullptr) return aux_HostPack_Refuse(why, name + ": unknown tag " + std::to_string(e.ucTag));
        if (e.ucTag <= lastTag) return aux_HostPack_Refuse(why, name + ": tags not in ascending order");
        if (e.ucField != row->field)
            return aux_HostPack_Refuse(why, name + ": tag " + std::to_string(e.ucTag) + " stands for field " +
                                                std::to_string(row->field) + ", not " + std::to_string(e.ucField));
        if (row->length != 0 && e.usLength != row->length)
            return aux_HostPack_Refuse(why, name + ": length " + std::to_string(e.usLength) + ", not " +
                                                std::to_string(row->length));
        e.usStored = row->blocks ? static_cast<uint16_t>((e.usLength + 7u) / 8u * 8u) : e.usLength;
        if (pos + HOSTPACK_ELEMENT_HEAD + e.usStored > count)
            return aux_HostPack_Refuse(why, name + ": datum of " + std::to_string(e.usStored) + " bytes cut off");
        out->elements.push_back(e);
        lastTag = e.ucTag;
        pos += HOSTPACK_ELEMENT_HEAD + e.usStored;
    }
    return 0;
}

int HostPack_ParseRequest(const uint8_t* packet, size_t count, SHostRequest* out, std::string* why) {
    *out = SHostRequest();
    why->clear();
    if (count < HOSTPACK_HEADER)
        return aux_HostPack_Refuse(why, std::to_string(count) + " bytes: shorter than the envelope's header");
    out->terminalId.assign(reinterpret_cast<const char*>(packet), 8);
    out->ucKind = packet[8];
    out->usMsgLength = static_cast<uint16_t>(packet[9] << 8 | packet[10]);
    if (out->ucKind != HOSTPACK_KIND_ADMIN && out->ucKind != HOSTPACK_KIND_CARD)
        return aux_HostPack_Refuse(why, "packet kind " + std::to_string(out->ucKind));
    if (HOSTPACK_HEADER + out->usMsgLength > count)
        return aux_HostPack_Refuse(why, "message length " + std::to_string(out->usMsgLength) + " past the end");
    int rc = aux_HostPack_ParseMessage(
        std::string(reinterpret_cast<const char*>(packet) + HOSTPACK_HEADER, out->usMsgLength), out, why);
    if (rc == 0) rc = aux_HostPack_ParseElements(packet, count, HOSTPACK_HEADER + out->usMsgLength, out, why);
    if (rc != 0) return rc;
    for (const KindRow& k : kKinds)
        if (k.mti == out->usMti && k.kind != out->ucKind)
            return aux_HostPack_Refuse(why, "packet kind " + std::to_string(out->ucKind) + " for type " +
                                                std::to_string(out->usMti));
    if (out->ucKind == HOSTPACK_KIND_ADMIN && !out->elements.empty())
        return aux_HostPack_Refuse(why, "security elements behind an administrative request");
    auto f41 = out->fields.find(41);
    if (f41 != out->fields.end() && f41->second != out->terminalId)
        return aux_HostPack_Refuse(why, "field 41 is not the header's terminal id");
    return 0;
}

std::string HostPack_BuildMessage(uint16_t mti, const std::map<unsigned, std::string>& fields) {
    std::map<unsigned, std::string> body;
    for (const auto& kv : fields)
        if (HostPack_Fits(kv.first, kv.second.size())) body.insert(kv);
    const bool secondary = !body.empty() && body.rbegin()->first > 64;
    uint8_t bits[16] = {};
    if (secondary) bits[0] |= 0x80;
    for (const auto& kv : body) bits[(kv.first - 1) / 8] |= static_cast<uint8_t>(0x80u >> ((kv.first - 1) % 8));
    char type[8];
    snprintf(type, sizeof(type), "%04u", mti % 10000u);
    std::string out = type;
    for (size_t i = 0; i < (secondary ? 16u : 8u); ++i) {
        out += kHexDigits[bits[i] >> 4];
        out += kHexDigits[bits[i] & 0x0F];
    }
    for (const auto& kv : body) {
        const SHostFieldDef* def = HostPack_Field(kv.first);
        const std::string& value = kv.second;
        if (def->ucPrefix != 0) {
            char prefix[8];
            snprintf(prefix, sizeof(prefix), "%0*zu", static_cast<int>(def->ucPrefix), value.size());
            out += prefix + value;
        } else if (def->eClass == HOSTF_TEXT) {
            out += value + std::string(def->usMax - value.size(), ' ');
        } else {
            out += std::string(def->usMax - value.size(), '0') + value;
        }
    }
    return out;
}

std::vector<uint8_t> HostPack_Response(uint8_t status, const std::string& message) {
    std::vector<uint8_t> out;
    out.reserve(1 + message.size());
    out.push_back(status);
    if (status == 0)
        for (char c : message) out.push_back(static_cast<uint8_t>(c));
    return out;
}

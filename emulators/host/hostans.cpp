// emulators/host/hostans.cpp
#include "emulators/host/hostans.h"

#include <cstdio>
#include <map>

#include "emulators/host/hostpack.h"

static SHostRequest m_Request;
static int m_iDecodeResult = -1;
static std::string m_DecodeWhy;  // what is wrong with a request that did not decode
static std::string m_LastAnswer;
static unsigned m_uSerial = 0;  // source of trace numbers and approval codes

// Fields that carry card data and never reach the trace in the clear.
static bool aux_HostAns_IsCardField(unsigned field) {
    return field == 2 || field == 14 || field == 35 || field == 36 || field == 45 || field == 52 ||
           field == 55;
}

static std::string aux_HostAns_Printable(const std::string& data) {
    std::string out;
    for (char ch : data) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

static bool aux_HostAns_Has(unsigned field) { return m_Request.fields.count(field) != 0; }

static std::string aux_HostAns_Field(unsigned field) {
    auto it = m_Request.fields.find(field);
    return it != m_Request.fields.end() ? it->second : std::string();
}

int HostAns_Decode(const uint8_t* packet, uint16_t count) {
    m_iDecodeResult = HostPack_ParseRequest(packet, count, &m_Request, &m_DecodeWhy);
    // Nothing of a request that did not decode is echoed.
    if (m_iDecodeResult != 0) m_Request = SHostRequest();
    return m_iDecodeResult;
}

uint16_t HostAns_RequestMTI() { return m_iDecodeResult == 0 ? m_Request.usMti : 0; }

std::string HostAns_TraceRequest() {
    char head[96];
    if (m_iDecodeResult != 0) {
        snprintf(head, sizeof(head), "bad-envelope rc=%d", m_iDecodeResult);
        return std::string(head) + " " + m_DecodeWhy;
    }
    snprintf(head, sizeof(head), "tid=%s kind=%u msglen=%u mti=%04u",
             aux_HostAns_Printable(m_Request.terminalId).c_str(), m_Request.ucKind, m_Request.usMsgLength,
             m_Request.usMti);
    std::string line = head;
    for (const auto& kv : m_Request.fields) {
        line += " f" + std::to_string(kv.first) + "=";
        if (aux_HostAns_IsCardField(kv.first))
            line += "[" + std::to_string(kv.second.size()) + " masked]";
        else
            line += aux_HostAns_Printable(kv.second);
    }
    for (const SHostSecElement& e : m_Request.elements) {
        // The datum is a cipher text of card data: only its shape is traced.
        line += " sec" + std::to_string(e.ucTag) + "=f" + std::to_string(e.ucField) + "/" +
                std::to_string(e.usLength) + "/" + std::to_string(e.usStored);
    }
    return line;
}

// The usual action code for an answer to a request type.
static const char* aux_HostAns_DefaultCode(uint16_t mti) {
    switch (mti) {
        case 1420: return "400";
        case 1520: return "500";
        case 1800:
        case 1804: return "800";
        default: return "000";
    }
}

// Reads the key type asked for in a key-download request ("KYTP003TMK").
static std::string aux_HostAns_KeyTag() {
    std::string f48 = aux_HostAns_Field(48);
    size_t at = f48.find("KYTP003");
    std::string kind = at != std::string::npos && at + 10 <= f48.size() ? f48.substr(at + 7, 3) : "TPK";
    if (kind == "TMK") return "MTMK";
    if (kind == "TMP") return "MTMP";
    return "MTPK";
}

static void aux_HostAns_Echo(std::map<unsigned, std::string>* fields, unsigned field) {
    if (aux_HostAns_Has(field)) (*fields)[field] = aux_HostAns_Field(field);
}

// The fields of the usual answer to the current request with an action code.
static void aux_HostAns_AnswerFields(uint16_t mti, const std::string& code, std::map<unsigned, std::string>* f) {
    char buf[64];
    ++m_uSerial;
    aux_HostAns_Echo(f, 12);
    if (aux_HostAns_Has(37)) {
        aux_HostAns_Echo(f, 37);
    } else {
        snprintf(buf, sizeof(buf), "%012u", 900000000u + m_uSerial);
        (*f)[37] = buf;
    }
    (*f)[39] = code;
    aux_HostAns_Echo(f, 41);
    bool success = code[0] == '0' || code == "400" || code == "500" || code == "800";
    snprintf(buf, sizeof(buf), "%06u", 100000u + m_uSerial % 900000u);
    std::string authCode = success ? buf : "000000";
    if (mti == 1100 || mti == 1200 || mti == 1220 || mti == 1420) {
        aux_HostAns_Echo(f, 3);
        aux_HostAns_Echo(f, 4);
        snprintf(buf, sizeof(buf), "%06u", m_uSerial % 1000000u);
        (*f)[11] = buf;
        (*f)[38] = authCode;
        aux_HostAns_Echo(f, 49);
        std::string proc = aux_HostAns_Field(3);
        if (mti == 1100 && proc.compare(0, 2, "31") == 0 && success) {
            // One balance block: account type, amount type 02, currency, sign, amount.
            std::string currency = aux_HostAns_Field(49);
            if (currency.size() != 3) currency = "933";
            (*f)[54] = "0002" + currency + "C000000100000";
        }
    } else if (mti == 1520) {
        (*f)[38] = authCode;
    } else if (mti == 1804) {
        (*f)[38] = authCode;
        if (code == "800") {
            std::string element = aux_HostAns_KeyTag() + "032" + "0123456789ABCDEFFEDCBA9876543210";
            snprintf(buf, sizeof(buf), "KYVL%03zu", element.size());
            std::string keyData = buf + element;
            snprintf(buf, sizeof(buf), "01%03zu", keyData.size());
            (*f)[48] = buf + keyData;
        }
    }
}

// The response envelope of an answer message of type mti with the given fields.
static void aux_HostAns_Message(uint16_t mti, const std::map<unsigned, std::string>& fields,
                                std::vector<uint8_t>* out) {
    *out = HostPack_Response(0, HostPack_BuildMessage(mti, fields));
}

int HostAns_BuildEnvelope(const SHostAction& action, std::vector<uint8_t>* out) {
    uint16_t mti = HostAns_RequestMTI();
    char desc[48];
    switch (action.eKind) {
        case HOSTACT_STATUS:
            *out = HostPack_Response(action.ucStatus, std::string());
            snprintf(desc, sizeof(desc), "status=%02X", action.ucStatus);
            m_LastAnswer = desc;
            return 0;
        case HOSTACT_RAW:
            *out = HostPack_Response(0, std::string(action.bytes.begin(), action.bytes.end()));
            m_LastAnswer = "raw=" + std::to_string(action.bytes.size());
            return 0;
        case HOSTACT_HOLDON: {
            std::map<unsigned, std::string> fields;
            aux_HostAns_Echo(&fields, 12);
            aux_HostAns_Echo(&fields, 37);
            aux_HostAns_Echo(&fields, 41);
            for (const SHostFieldOverride& ov : action.overrides) {
                if (ov.bOmit) fields.erase(ov.ucField);
                else fields[ov.ucField] = ov.value;
            }
            aux_HostAns_Message(1810, fields, out);
            m_LastAnswer = "mti=1810";
            return 0;
        }
        case HOSTACT_DEFAULT:
        case HOSTACT_ANSWER:
        case HOSTACT_STALL: {
            bool known = mti == 1100 || mti == 1200 || mti == 1220 || mti == 1420 || mti == 1520 ||
                         mti == 1800 || mti == 1804;
            if (!known && action.eKind != HOSTACT_ANSWER && action.overrides.empty()) {
                // A request that could not be read, or of a type no host answers: not processed.
                *out = HostPack_Response(0x41, std::string());
                m_LastAnswer = "status=41";
                return 0;
            }
            std::string code = action.eKind == HOSTACT_ANSWER ? action.actionCode : aux_HostAns_DefaultCode(mti);
            std::map<unsigned, std::string> fields;
            aux_HostAns_AnswerFields(mti, code, &fields);
            for (const SHostFieldOverride& ov : action.overrides) {
                if (ov.bOmit) fields.erase(ov.ucField);
                else fields[ov.ucField] = ov.value;
            }
            uint16_t answerMti = known ? static_cast<uint16_t>(mti + 10) : 1810;
            aux_HostAns_Message(answerMti, fields, out);
            snprintf(desc, sizeof(desc), "mti=%04u f39=%s", answerMti,
                     fields.count(39) ? fields[39].c_str() : "-");
            m_LastAnswer = desc;
            return 0;
        }
        default:
            return -1;
    }
}

std::string HostAns_DescribeLast() { return m_LastAnswer; }

// emulators/tmanager/tmemu.cpp
#include "emulators/tmanager/tmemu.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/pk.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "emulators/common/tlssrv.h"
#include "emulators/tmanager/tmframe.h"
#include "emulators/tmanager/tmscen.h"
#include "pinpad/crc.h"
#include "support/sysclock.h"

namespace {

enum : uint16_t {
    TM_NAME_FIELD = 33,
    TM_APP_REQUEST = 41,
    TM_APP_RESUME_REQUEST = 49,
    TM_UPLOAD_START = 37,
};

// The file being downloaded by the current client.
struct Download {
    bool active = false;
    std::string name;
    std::vector<uint8_t> content;
    uint32_t crc = 0;
    size_t pos = 0;
};

// The log being uploaded by the current client.
struct Upload {
    bool active = false;
    std::string name;
    uint32_t size = 0;
    std::vector<uint8_t> content;
};

struct Answer {
    uint8_t command;
    std::vector<uint8_t> data;
    std::string note;  // what the trace says of it
};

// Per-command file of the served folder.
struct ServedFile {
    uint8_t command;
    const char* name;
};
const ServedFile kServed[] = {
    {TMCMD_CONFIG, "CONFIG.INI"}, {TMCMD_RANGES, "RANGE.CFG"}, {TMCMD_SSLA, "SSLA"},
    {TMCMD_SSLC, "SSLC"},         {TMCMD_SSLK, "SSLK"},        {TMCMD_EMVCAPK, "EMVCAPK"},
    {TMCMD_EMVCFG, "EMVCFG"},
};

}  // namespace

// The signature trailer of signed software, as the bank's signing script writes it:
// signature, its length (4 bytes, big-endian), the magic.
const char kSignMagic[] = "RAVOSIG1";

static FILE* m_pTrace = nullptr;
static mbedtls_pk_context m_SignKey;
static bool m_bSigning = false;
static mbedtls_entropy_context m_SignEntropy;
static mbedtls_ctr_drbg_context m_SignDrbg;
// Signed files by their content's CRC: one file is signed once a run, so
// that its CRC stays the same from session to session.
static std::map<uint32_t, std::vector<uint8_t>> m_Signed;
static const STmEmuConfig* m_pConfig = nullptr;
static Download m_Download;
static Upload m_Upload;
static unsigned m_auArrivals[256];

static void aux_TmEmu_Trace(const std::string& line) {
    if (m_pTrace == nullptr) return;
    fprintf(m_pTrace, "%s\n", line.c_str());
    fflush(m_pTrace);
}

static std::string aux_TmEmu_Hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof(text), "%0*X", digits, value);
    return text;
}

// Printable ASCII as it is, anything else as \xNN.
static std::string aux_TmEmu_Printable(const uint8_t* data, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] >= 0x20 && data[i] < 0x7F && data[i] != '\\') out += static_cast<char>(data[i]);
        else out += "\\x" + aux_TmEmu_Hex(data[i], 2);
    }
    return out;
}

static std::string aux_TmEmu_Name(const uint8_t* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

static bool aux_TmEmu_ReadServed(const std::string& name, std::vector<uint8_t>* out) {
    if (m_pConfig->pszFilesDir == nullptr || name.empty() || name.find('/') != std::string::npos) return false;
    std::string path = std::string(m_pConfig->pszFilesDir) + "/" + name;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out->clear();
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) out->insert(out->end(), chunk, chunk + n);
    fclose(f);
    return true;
}

static Answer aux_TmEmu_Status(uint8_t command, uint8_t status, const std::string& note) {
    return Answer{command, {status}, "st=" + aux_TmEmu_Hex(status, 2) + (note.empty() ? "" : " " + note)};
}

// Starts a download of content; the answer carries status 0 and the size.
static Answer aux_TmEmu_StartDownload(uint8_t command, const std::string& name, std::vector<uint8_t>* content,
                                      size_t from) {
    m_Download.active = true;
    m_Download.name = name;
    m_Download.content.swap(*content);
    m_Download.crc = CRC_CalcCRC32(m_Download.content.data(), static_cast<uint32_t>(m_Download.content.size()), 0);
    m_Download.pos = from;
    Answer a{command, std::vector<uint8_t>(5, 0), ""};
    TmFrame_PutU32(&a.data[1], static_cast<uint32_t>(m_Download.content.size()));
    a.note = "st=00 size=" + std::to_string(m_Download.content.size()) + " file=" + name;
    if (from != 0) a.note += " from=" + std::to_string(from);
    return a;
}

// The served folder's file for a file command, nullptr for any other command.
static const char* aux_TmEmu_ServedName(uint8_t command) {
    for (const ServedFile& f : kServed)
        if (f.command == command) return f.name;
    return nullptr;
}

// A file is newer unless the terminal's identifier is the CRC of the served file.
static Answer aux_TmEmu_FileRequest(uint8_t command, const uint8_t* data, uint16_t n) {
    if (n < 4) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "short-request");
    uint32_t identifier = TmFrame_GetU32(data);
    const char* name = aux_TmEmu_ServedName(command);
    std::vector<uint8_t> content;
    if (name == nullptr || !aux_TmEmu_ReadServed(name, &content))
        return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "none");
    uint32_t crc = CRC_CalcCRC32(content.data(), static_cast<uint32_t>(content.size()), 0);
    if (crc == identifier) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "current");
    return aux_TmEmu_StartDownload(command, name, &content, 0);
}

// Appends a signature trailer to content with the --sign-key key; false when signing failed.
static bool aux_TmEmu_Sign(std::vector<uint8_t>* content) {
    uint32_t crc = CRC_CalcCRC32(content->data(), static_cast<uint32_t>(content->size()), 0);
    auto cached = m_Signed.find(crc);
    if (cached != m_Signed.end()) {
        *content = cached->second;
        return true;
    }
    uint8_t digest[32];
    uint8_t signature[MBEDTLS_PK_SIGNATURE_MAX_SIZE];
    size_t length = 0;
    if (mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), content->data(), content->size(), digest) != 0 ||
        mbedtls_pk_sign(&m_SignKey, MBEDTLS_MD_SHA256, digest, sizeof(digest), signature, &length,
                        mbedtls_ctr_drbg_random, &m_SignDrbg) != 0)
        return false;
    content->insert(content->end(), signature, signature + length);
    for (int shift = 24; shift >= 0; shift -= 8) content->push_back(static_cast<uint8_t>(length >> shift));
    content->insert(content->end(), kSignMagic, kSignMagic + 8);
    m_Signed[crc] = *content;
    return true;
}

// The offered file as served: signed, unsigned or altered after signing.
static bool aux_TmEmu_Prepare(const STmOffer& offer, std::vector<uint8_t>* content) {
    if (!m_bSigning || offer.eSigning == TMS_UNSIGNED) return true;
    if (!aux_TmEmu_Sign(content)) return false;
    if (offer.eSigning == TMS_ALTERED && !content->empty()) (*content)[content->size() / 3] ^= 0x01;
    return true;
}

// Software offers are decided on the CRC the terminal reports for its file:
// the file it holds already is never offered again, whatever version it
// runs. A terminal that names no file (CRC 0: the pad's application lives on
// the pad) is offered the file unless it runs the offered version.
static Answer aux_TmEmu_AppRequest(uint8_t command, const uint8_t* data, uint16_t n) {
    bool resume = command == TMCMD_APP_RESUME;
    if (n != (resume ? TM_APP_RESUME_REQUEST : TM_APP_REQUEST))
        return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "bad-request");
    std::string name = aux_TmEmu_Name(data, TM_NAME_FIELD);
    uint32_t version = TmFrame_GetU32(data + TM_NAME_FIELD);
    uint32_t crc = TmFrame_GetU32(data + TM_NAME_FIELD + 4);
    uint32_t offset = resume ? TmFrame_GetU32(data + TM_APP_REQUEST) : 0;
    uint32_t partialCrc = resume ? TmFrame_GetU32(data + TM_APP_REQUEST + 4) : 0;
    const STmOffer* offer = nullptr;
    for (const STmOffer& o : TmScen_Get().offers)
        if (o.name == name) offer = &o;
    std::vector<uint8_t> content;
    if (offer == nullptr || !aux_TmEmu_ReadServed(name, &content))
        return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "none");
    if (!aux_TmEmu_Prepare(*offer, &content)) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "not-signed");
    uint32_t fileCrc = CRC_CalcCRC32(content.data(), static_cast<uint32_t>(content.size()), 0);
    if (fileCrc == crc || (crc == 0 && offer->bVersion && offer->ulVersion == version))
        return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "current");
    if (resume && (offset > content.size() || CRC_CalcCRC32(content.data(), offset, 0) != partialCrc))
        return aux_TmEmu_Status(command, TMSTATUS_PARTIAL_CRC, "partial-crc-mismatch");
    Answer a = aux_TmEmu_StartDownload(command, name, &content, offset);
    if (m_bSigning) a.note += offer->eSigning == TMS_SIGNED ? " signed" : offer->eSigning == TMS_ALTERED ? " altered" : " unsigned";
    if (offer->bVersion) {
        a.data.push_back(static_cast<uint8_t>(offer->ulVersion >> 24));
        a.data.push_back(static_cast<uint8_t>(offer->ulVersion >> 16));
        a.data.push_back(static_cast<uint8_t>(offer->ulVersion >> 8));
        a.note += " ver=" + aux_TmEmu_Hex(offer->ulVersion, 8);
    }
    return a;
}

static Answer aux_TmEmu_NextBlock(bool endNow, bool wrongCrc) {
    if (!m_Download.active) return Answer{TMCMD_STATUS, {0, 0, 0, 0, 0, 0xFE}, "no-download"};
    size_t left = m_Download.content.size() - m_Download.pos;
    if (left == 0 || endNow) {
        m_Download.active = false;
        uint32_t crc = wrongCrc ? ~m_Download.crc : m_Download.crc;
        Answer a{TMCMD_END, std::vector<uint8_t>(4), "crc=" + aux_TmEmu_Hex(crc, 8)};
        TmFrame_PutU32(a.data.data(), crc);
        if (left != 0) a.note += " early left=" + std::to_string(left);
        return a;
    }
    size_t n = left < TMFRAME_MAX_DATA ? left : static_cast<size_t>(TMFRAME_MAX_DATA);
    Answer a{TMCMD_NEXT_BLOCK, std::vector<uint8_t>(m_Download.content.begin() + m_Download.pos,
                                                  m_Download.content.begin() + m_Download.pos + n),
             "at=" + std::to_string(m_Download.pos)};
    m_Download.pos += n;
    return a;
}

// Stores an upload whole under its own name (written aside, then renamed).
static bool aux_TmEmu_StoreUpload() {
    if (m_pConfig->pszLogsDir == nullptr) return true;
    std::string path = std::string(m_pConfig->pszLogsDir) + "/" + m_Upload.name;
    std::string tmp = path + ".part";
    FILE* f = fopen(tmp.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = m_Upload.content.empty() ||
              fwrite(m_Upload.content.data(), 1, m_Upload.content.size(), f) == m_Upload.content.size();
    if (fclose(f) != 0) ok = false;
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

static Answer aux_TmEmu_Upload(uint8_t command, const uint8_t* data, uint16_t n) {
    if (command == TMCMD_LOG_START) {
        if (n != TM_UPLOAD_START) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "bad-request");
        m_Upload.size = TmFrame_GetU32(data);
        m_Upload.name = aux_TmEmu_Name(data + 4, TM_NAME_FIELD);
        bool nameOk = !m_Upload.name.empty() && m_Upload.name.find('/') == std::string::npos && m_Upload.name[0] != '.';
        if (!nameOk) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "bad-name");
        m_Upload.active = true;
        m_Upload.content.clear();
        return aux_TmEmu_Status(command, TMSTATUS_OK, "");
    }
    if (!m_Upload.active) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "no-upload");
    if (command == TMCMD_UPLOAD_BLOCK) {
        m_Upload.content.insert(m_Upload.content.end(), data, data + n);
        return aux_TmEmu_Status(command, TMSTATUS_OK, "");
    }
    m_Upload.active = false;
    uint32_t crc = n >= 4 ? TmFrame_GetU32(data) : 0;
    uint32_t own = CRC_CalcCRC32(m_Upload.content.data(), static_cast<uint32_t>(m_Upload.content.size()), 0);
    if (n < 4 || crc != own || m_Upload.content.size() != m_Upload.size)
        return aux_TmEmu_Status(command, TMSTATUS_REFUSED,
                                "upload-bad size=" + std::to_string(m_Upload.content.size()) + " crc=" +
                                    aux_TmEmu_Hex(own, 8));
    if (!aux_TmEmu_StoreUpload()) return aux_TmEmu_Status(command, TMSTATUS_REFUSED, "not-stored");
    return aux_TmEmu_Status(command, TMSTATUS_OK,
                            "stored=" + m_Upload.name + " size=" + std::to_string(m_Upload.content.size()));
}

static Answer aux_TmEmu_TransportKey(uint16_t n) {
    if (n != 3) return aux_TmEmu_Status(TMCMD_TK, TMSTATUS_REFUSED, "bad-request");
    const STmScenario& scen = TmScen_Get();
    if (!scen.bKey) return Answer{TMCMD_TK, {TMSTATUS_OK, 0}, "st=00 no-key"};
    Answer a{TMCMD_TK, {TMSTATUS_OK, scen.ucKeyFlag, sizeof(scen.aucKey)}, ""};
    a.data.insert(a.data.end(), scen.aucKey, scen.aucKey + sizeof(scen.aucKey));
    // The key itself stays out of the trace.
    a.note = "st=00 flag=" + aux_TmEmu_Hex(scen.ucKeyFlag, 2) + " key=[16 bytes]";
    return a;
}

static Answer aux_TmEmu_DateTime() {
    std::string text = TmScen_Get().dateTime;
    if (text.empty()) {
        struct tm now;
        SysClock_LocalTime(&now);
        char buf[16];
        strftime(buf, sizeof(buf), "%y%m%d%H%M%S", &now);
        text = buf;
    }
    Answer a{TMCMD_DATETIME, {TMSTATUS_OK}, "st=00 text=" + text};
    a.data.insert(a.data.end(), text.begin(), text.end());
    return a;
}

// What the trace says of a request.
static std::string aux_TmEmu_Describe(uint8_t command, const uint8_t* data, uint16_t n) {
    if (aux_TmEmu_ServedName(command) != nullptr)
        return n == 4 ? " id=" + aux_TmEmu_Hex(TmFrame_GetU32(data), 8) : "";
    switch (command) {
        case TMCMD_OPEN:
            return " tid=" + aux_TmEmu_Printable(data, n);
        case TMCMD_APP:
        case TMCMD_APP_RESUME: {
            if (n < TM_APP_REQUEST) return "";
            std::string name = aux_TmEmu_Name(data, TM_NAME_FIELD);
            std::string out = " name=" + aux_TmEmu_Printable(reinterpret_cast<const uint8_t*>(name.data()), name.size()) +
                              " ver=" + aux_TmEmu_Hex(TmFrame_GetU32(data + TM_NAME_FIELD), 8) +
                              " crc=" + aux_TmEmu_Hex(TmFrame_GetU32(data + TM_NAME_FIELD + 4), 8);
            if (n >= TM_APP_RESUME_REQUEST)
                out += " offset=" + std::to_string(TmFrame_GetU32(data + TM_APP_REQUEST)) +
                       " pcrc=" + aux_TmEmu_Hex(TmFrame_GetU32(data + TM_APP_REQUEST + 4), 8);
            return out;
        }
        case TMCMD_LOG_START: {
            if (n != TM_UPLOAD_START) return "";
            std::string name = aux_TmEmu_Name(data + 4, TM_NAME_FIELD);
            return " size=" + std::to_string(TmFrame_GetU32(data)) +
                   " name=" + aux_TmEmu_Printable(reinterpret_cast<const uint8_t*>(name.data()), name.size());
        }
        case TMCMD_END:
        case TMCMD_STATUS:
            return n == 4 ? std::string(command == TMCMD_END ? " crc=" : " status=") +
                                aux_TmEmu_Hex(TmFrame_GetU32(data), 8)
                          : "";
        case TMCMD_TK:
            return n == 3 ? " kcv=" + aux_TmEmu_Hex(static_cast<uint32_t>(data[0]) << 16 | data[1] << 8 | data[2], 6)
                          : "";
        case TMCMD_TK_REPORT:
            return n == 4 ? " result=" + aux_TmEmu_Hex(data[0], 2) +
                                " kcv=" + aux_TmEmu_Hex(static_cast<uint32_t>(data[1]) << 16 | data[2] << 8 | data[3], 6)
                          : "";
        case TMCMD_SOFTINFO:
            return " text=" + aux_TmEmu_Printable(data, n);
        default:
            return "";
    }
}

// The usual answer to a well-formed request.
static Answer aux_TmEmu_Handle(uint8_t command, const uint8_t* data, uint16_t n, bool endNow, bool wrongCrc) {
    if (aux_TmEmu_ServedName(command) != nullptr) return aux_TmEmu_FileRequest(command, data, n);
    switch (command) {
        case TMCMD_OPEN:
            return aux_TmEmu_Status(command, n == 8 ? TMSTATUS_OK : TMSTATUS_REFUSED, "");
        case TMCMD_APP:
        case TMCMD_APP_RESUME:
            return aux_TmEmu_AppRequest(command, data, n);
        case TMCMD_NEXT_BLOCK:
            return aux_TmEmu_NextBlock(endNow, wrongCrc);
        case TMCMD_LOG_START:
        case TMCMD_UPLOAD_BLOCK:
        case TMCMD_END:
            return aux_TmEmu_Upload(command, data, n);
        case TMCMD_TK:
            return aux_TmEmu_TransportKey(n);
        case TMCMD_TK_REPORT:
            return aux_TmEmu_Status(command, n == 4 ? TMSTATUS_OK : TMSTATUS_REFUSED, "");
        case TMCMD_DATETIME:
            return aux_TmEmu_DateTime();
        case TMCMD_SOFTINFO:
            return aux_TmEmu_Status(command, TMSTATUS_OK, "");
        default:
            return Answer{TMCMD_STATUS, {0, 0, 0, 0, 0, 0xFF}, "unknown-command"};
    }
}

// Sends an answer frame, spoiled as the rules say; false when the client is gone.
static bool aux_TmEmu_Send(const Answer& answer, bool badCrc, const STmRule* badLength) {
    std::vector<uint8_t> frame = TmFrame_Build(answer.command, answer.data.data(), answer.data.size());
    std::string line = "TX " + aux_TmEmu_Hex(answer.command, 2) + " n=" + std::to_string(answer.data.size());
    if (!answer.note.empty()) line += " " + answer.note;
    if (badCrc) {
        frame.back() ^= 0xFF;
        line += " badcrc";
    }
    if (badLength != nullptr) {
        frame[1] = static_cast<uint8_t>(badLength->ulValue >> 8);
        frame[2] = static_cast<uint8_t>(badLength->ulValue);
        line += " l=" + std::to_string(badLength->ulValue);
    }
    aux_TmEmu_Trace(line);
    return TlsSrv_Write(frame.data(), frame.size()) == 0;
}

// Says nothing until the terminal hangs up (or the idle limit ends the wait).
static void aux_TmEmu_Stall() {
    uint8_t sink[64];
    while (TlsSrv_Read(sink, 1) == 0) {
    }
}

// Answers one request; false when the connection is to end.
static bool aux_TmEmu_Answer(uint8_t command, const uint8_t* data, uint16_t n) {
    unsigned arrival = ++m_auArrivals[command];
    std::string rx = "RX " + aux_TmEmu_Hex(command, 2) + " #" + std::to_string(arrival) + " n=" + std::to_string(n) +
                     aux_TmEmu_Describe(command, data, n);
    if (command == TMCMD_STATUS) {
        aux_TmEmu_Trace(rx + " close");
        return true;  // no answer; the terminal hangs up next
    }
    bool endNow = false, wrongCrc = false, badCrc = false;
    int otherCommand = -1;
    const STmRule* badLength = nullptr;
    std::vector<STmRule> rules = TmScen_ForArrival(command, arrival);
    for (const STmRule& rule : rules) {
        switch (rule.eKind) {
            case TMF_DELAY:
                SysClock_SleepMs(rule.ulValue);
                break;
            case TMF_DROP:
                aux_TmEmu_Trace(rx + " drop");
                TlsSrv_CloseClient(false);
                return false;
            case TMF_STALL:
                aux_TmEmu_Trace(rx + " stall");
                aux_TmEmu_Stall();
                TlsSrv_CloseClient(false);
                return false;
            case TMF_REPEAT:
                aux_TmEmu_Trace(rx);
                return aux_TmEmu_Send(Answer{TMCMD_REPEAT, {}, "repeat"}, false, nullptr);
            case TMF_STATUS: {
                aux_TmEmu_Trace(rx);
                Answer a{TMCMD_STATUS, {0, 0, 0, 0, 0, 0}, "status=" + aux_TmEmu_Hex(rule.ulValue, 8)};
                TmFrame_PutU32(&a.data[2], rule.ulValue);
                return aux_TmEmu_Send(a, false, nullptr);
            }
            case TMF_REFUSE:
                aux_TmEmu_Trace(rx);
                return aux_TmEmu_Send(aux_TmEmu_Status(command, static_cast<uint8_t>(rule.ulValue), "refused"), false,
                                      nullptr);
            case TMF_BADCRC:
                badCrc = true;
                break;
            case TMF_BADLENGTH:
                badLength = &rule;
                break;
            case TMF_END:
                endNow = true;
                break;
            case TMF_WRONGCRC:
                wrongCrc = true;
                break;
            case TMF_OTHER:
                otherCommand = static_cast<int>(rule.ulValue);
                break;
        }
    }
    Answer answer = aux_TmEmu_Handle(command, data, n, endNow, wrongCrc);
    if (otherCommand >= 0) {
        answer.command = static_cast<uint8_t>(otherCommand);
        answer.note += " other";
    }
    aux_TmEmu_Trace(rx);
    return aux_TmEmu_Send(answer, badCrc, badLength);
}

// Serves one connected client until it hangs up or a rule ends it.
static void aux_TmEmu_Serve(unsigned conn) {
    m_Download = Download();
    m_Upload = Upload();
    uint8_t head[TMFRAME_HEAD];
    uint8_t data[TMFRAME_MAX_DATA];
    uint8_t tail[TMFRAME_TAIL];
    for (;;) {
        if (TlsSrv_Read(head, sizeof(head)) != 0) {
            aux_TmEmu_Trace("END " + std::to_string(conn));
            TlsSrv_CloseClient(true);
            return;
        }
        uint16_t n = 0;
        uint8_t command = 0;
        // A frame of a bad length cannot be skipped: the stream is lost, the client dropped.
        ETmFrameCheck check = TmFrame_CheckHead(head, &n, &command);
        bool whole = check == TMFRAME_OK && (n == 0 || TlsSrv_Read(data, n) == 0) &&
                     TlsSrv_Read(tail, sizeof(tail)) == 0;
        if (whole) check = TmFrame_CheckTail(head, data, n, tail);
        if (!whole || (check != TMFRAME_OK && check != TMFRAME_BAD_CRC)) {
            aux_TmEmu_Trace("RX bad-frame " + aux_TmEmu_Hex(head[0], 2) + " " + aux_TmEmu_Hex(head[1], 2) +
                            aux_TmEmu_Hex(head[2], 2) + " " + aux_TmEmu_Hex(head[3], 2));
            aux_TmEmu_Trace("END " + std::to_string(conn));
            TlsSrv_CloseClient(false);
            return;
        }
        // A request spoilt on the way is asked for again.
        if (check == TMFRAME_BAD_CRC) {
            aux_TmEmu_Trace("RX " + aux_TmEmu_Hex(command, 2) + " n=" + std::to_string(n) + " bad-crc");
            if (!aux_TmEmu_Send(Answer{TMCMD_REPEAT, {}, "repeat"}, false, nullptr)) return;
            continue;
        }
        if (!aux_TmEmu_Answer(command, data, n)) {
            aux_TmEmu_Trace("END " + std::to_string(conn));
            return;
        }
    }
}

// Loads the --sign-key private key; false with the reason in err.
static bool aux_TmEmu_LoadSignKey(const char* path, std::string* err) {
    mbedtls_pk_init(&m_SignKey);
    mbedtls_entropy_init(&m_SignEntropy);
    mbedtls_ctr_drbg_init(&m_SignDrbg);
    static const unsigned char kPersonal[] = "tmanager_emu signing";
    if (mbedtls_ctr_drbg_seed(&m_SignDrbg, mbedtls_entropy_func, &m_SignEntropy, kPersonal, sizeof(kPersonal) - 1) != 0)
        return *err = "signing: random generator not seeded", false;
    if (mbedtls_pk_parse_keyfile(&m_SignKey, path, nullptr) != 0)
        return *err = std::string("signing key ") + path + " is not a private key", false;
    m_bSigning = true;
    return true;
}

int TmEmu_Run(const STmEmuConfig* config) {
    m_pConfig = config;
    std::string err;
    if (config->pszScenario != nullptr && TmScen_Load(config->pszScenario, &err) != 0) {
        fprintf(stderr, "tmanager_emu: %s\n", err.c_str());
        return 2;
    }
    if (config->pszSignKey != nullptr && !aux_TmEmu_LoadSignKey(config->pszSignKey, &err)) {
        fprintf(stderr, "tmanager_emu: %s\n", err.c_str());
        return 2;
    }
    if (config->pszTrace != nullptr) {
        m_pTrace = fopen(config->pszTrace, "a");
        if (m_pTrace == nullptr) {
            fprintf(stderr, "tmanager_emu: cannot open trace %s\n", config->pszTrace);
            return 2;
        }
    }
    STlsSrvConfig srv = {config->pszCertFile, config->pszKeyFile, config->pszCAFile, config->usPort,
                         config->ulIdleMs, config->bKeepNagle};
    if (TlsSrv_Start(&srv, &err) != 0) {
        fprintf(stderr, "tmanager_emu: %s\n", err.c_str());
        TlsSrv_Stop();
        return 2;
    }
    if (config->pszPortFile != nullptr && TlsSrv_WritePortFile(config->pszPortFile) != 0) {
        fprintf(stderr, "tmanager_emu: cannot write port file %s\n", config->pszPortFile);
        TlsSrv_Stop();
        return 2;
    }
    printf("tmanager_emu listening on 127.0.0.1:%u\n", TlsSrv_Port());
    fflush(stdout);

    for (unsigned conn = 1; config->uConnections == 0 || conn <= config->uConnections; ++conn) {
        int rc = TlsSrv_Accept(&err);
        if (rc != 0) {
            aux_TmEmu_Trace("CONN " + std::to_string(conn) + " failed " + err);
            continue;
        }
        aux_TmEmu_Trace("CONN " + std::to_string(conn) + " " + TlsSrv_SessionInfo());
        // Each session follows the scenario file as it stands now; one that
        // no longer reads leaves the last good one in force.
        if (config->pszScenario != nullptr && TmScen_Load(config->pszScenario, &err) != 0)
            aux_TmEmu_Trace("SCENARIO kept: " + err);
        aux_TmEmu_Serve(conn);
    }
    TlsSrv_Stop();
    if (m_bSigning) {
        mbedtls_pk_free(&m_SignKey);
        mbedtls_ctr_drbg_free(&m_SignDrbg);
        mbedtls_entropy_free(&m_SignEntropy);
    }
    if (m_pTrace) fclose(m_pTrace);
    return 0;
}

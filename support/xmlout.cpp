// support/xmlout.cpp
#include "support/xmlout.h"

#include <cstdint>
#include <cstring>

#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

struct SXMLOut {
    uint8_t ucInitialized;  // 1 while a file is open for writing
    uint8_t ucDepth;        // current nesting level
    FILE* pFile;            // the open output file, or null
};

static SXMLOut stXMLOut = {0, 0, nullptr};
// The file being written: the response, which the caller puts in place once it is whole.
static SUtilFileAside m_Aside;

// Every write of the writer's own goes through here; value selects character data.
static int aux_XMLOut_Write(const char* text, size_t length, bool value) {
    int rc = RES_OK;
    if (stXMLOut.ucInitialized != 1) {
        rc = RES_XML_NOT_INIT;
    } else if (stXMLOut.pFile == nullptr) {
        rc = RES_XML_NO_FILE;
    } else if (value) {
        rc = XMLOut_PutText(stXMLOut.pFile, text);
    } else if (fwrite(text, 1, length, stXMLOut.pFile) != length) {
        rc = RES_XML_SHORT_WRITE;
    }
    if (rc != RES_OK) return Error_LogDetail(nullptr, "XMLOut. WriteToSrc", rc);
    return RES_OK;
}

static int aux_XMLOut_WriteToSrc(const char* text, size_t length) { return aux_XMLOut_Write(text, length, false); }

static int aux_XMLOut_WriteText(const char* text) {
    return aux_XMLOut_WriteToSrc(text ? text : "", text ? strlen(text) : 0);
}

static int aux_XMLOut_WriteIndent(uint8_t depth) {
    for (uint8_t i = 0; i < depth; ++i) {
        int rc = aux_XMLOut_WriteToSrc("  ", 2);
        if (rc != RES_OK) return rc;
    }
    return RES_OK;
}

// One tag: "<" or "</", the name, ">".
static int aux_XMLOut_WriteTag(const char* opening, const char* name) {
    int rc = aux_XMLOut_WriteText(opening);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText(name);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText(">");
    return rc;
}

int XMLOut_Init(const char* path) {
    XMLOut_DeInit();
    stXMLOut = SXMLOut{0, 0, nullptr};
    if (path == nullptr || UtilFile_AsideOpen(&m_Aside, nullptr, path, 0666, 0) != RES_OK)
        return Error_LogDetail(path, "XMLOut. StartBuild", RES_XML_INIT);
    stXMLOut.pFile = m_Aside.pFile;
    stXMLOut.ucInitialized = 1;
    return RES_OK;
}

int XMLOut_IsInitialized() { return stXMLOut.ucInitialized == 1 ? 1 : 0; }

int XMLOut_DeInit() {
    int rc = RES_OK;
    if (stXMLOut.ucInitialized == 1 && stXMLOut.pFile != nullptr) {
        // The response is the operation's only answer to the till: a failed
        // flush, or a write lost earlier (the receipt writes through the handle
        // and does not look), is reported, not taken for a written file.
        if (UtilFile_AsideClose(&m_Aside, 1) != RES_OK) rc = Error_LogDetail(nullptr, "XMLOut. DeInit", RES_XML_SHORT_WRITE);
    }
    stXMLOut = SXMLOut{0, 0, nullptr};
    return rc;
}

FILE* XMLOut_GetFileHandle() { return stXMLOut.pFile; }

int XMLOut_OpenXMLAggregate(const char* name) {
    int rc = aux_XMLOut_WriteIndent(stXMLOut.ucDepth);
    if (rc == RES_OK) rc = aux_XMLOut_WriteTag("<", name);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText("\n");
    if (stXMLOut.ucInitialized == 1 && stXMLOut.ucDepth < UINT8_MAX) ++stXMLOut.ucDepth;
    return rc;
}

int XMLOut_CloseXMLAggregate(const char* name) {
    // A close without its open stays at the margin instead of wrapping the depth.
    if (stXMLOut.ucDepth > 0) --stXMLOut.ucDepth;
    int rc = aux_XMLOut_WriteIndent(stXMLOut.ucDepth);
    if (rc == RES_OK) rc = aux_XMLOut_WriteTag("</", name);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText("\n");
    return rc;
}

// Length of the UTF-8 character at p if it is one XML allows (1 to 4 bytes), else 0.
static size_t aux_XMLOut_CharLength(const unsigned char* p) {
    static const uint32_t kLowest[5] = {0, 0, 0x80, 0x800, 0x10000};
    size_t n = 0;
    uint32_t cp = 0;
    if (p[0] < 0x80) return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2;
        cp = p[0] & 0x1Fu;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3;
        cp = p[0] & 0x0Fu;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4;
        cp = p[0] & 0x07u;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        // The terminating zero is no continuation byte, so a cut character stops here.
        if ((p[i] & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    if (cp < kLowest[n] || cp > 0x10FFFF) return 0;
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
    return n;
}

// What stands for the character at p in character data, or null when it goes
// out as it is; length is set to the character's length in bytes.
static const char* aux_XMLOut_Replacement(const unsigned char* p, size_t* length) {
    *length = 1;
    switch (*p) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\r': return "&#13;";
    case '\t':
    case '\n': return nullptr;
    default: break;
    }
    if (*p < 0x20) return "?";
    size_t n = aux_XMLOut_CharLength(p);
    if (n == 0) return "?";
    *length = n;
    return nullptr;
}

static bool aux_XMLOut_Put(FILE* file, const unsigned char* from, const unsigned char* to) {
    size_t n = static_cast<size_t>(to - from);
    return n == 0 || fwrite(from, 1, n, file) == n;
}

int XMLOut_PutText(FILE* file, const char* text) {
    if (file == nullptr) return RES_XML_NO_FILE;
    if (text == nullptr) return RES_OK;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* run = p;  // start of the bytes that go out unchanged
    while (*p != '\0') {
        size_t length = 0;
        const char* replacement = aux_XMLOut_Replacement(p, &length);
        p += length;
        if (replacement == nullptr) continue;
        if (!aux_XMLOut_Put(file, run, p - length) || fputs(replacement, file) < 0) return RES_XML_SHORT_WRITE;
        run = p;
    }
    return aux_XMLOut_Put(file, run, p) ? RES_OK : RES_XML_SHORT_WRITE;
}

int XMLOut_AddXMLField(const char* name, const char* value) {
    int rc = aux_XMLOut_WriteIndent(stXMLOut.ucDepth);
    if (rc == RES_OK) rc = aux_XMLOut_WriteTag("<", name);
    if (rc == RES_OK) rc = aux_XMLOut_Write(value, 0, true);
    if (rc == RES_OK) rc = aux_XMLOut_WriteTag("</", name);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText("\n");
    return rc;
}

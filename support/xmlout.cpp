// support/xmlout.cpp
#include "support/xmlout.h"

#include <cstring>
#include <unistd.h>

#include "support/log.h"
#include "support/result_codes.h"

struct SXMLOut {
    uint8_t ucInitialized;  // 1 while a file is open for writing
    uint8_t ucDepth;        // current nesting level
    FILE* pFile;            // the open output file, or null
};

static SXMLOut stXMLOut = {0, 0, nullptr};

static int aux_XMLOut_WriteToSrc(const char* text, size_t length) {
    int rc = RES_OK;
    if (stXMLOut.ucInitialized != 1) {
        rc = RES_XML_NOT_INIT;
    } else if (stXMLOut.pFile == nullptr) {
        rc = RES_XML_NO_FILE;
    } else if (fwrite(text, 1, length, stXMLOut.pFile) != length) {
        rc = RES_XML_SHORT_WRITE;
    }
    if (rc != RES_OK) return Error_LogDetail(nullptr, "XMLOut. WriteToSrc", rc);
    return RES_OK;
}

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
    FILE* file = path != nullptr ? fopen(path, "w") : nullptr;
    if (file == nullptr) return Error_LogDetail(path, "XMLOut. StartBuild", RES_XML_INIT);
    stXMLOut.pFile = file;
    stXMLOut.ucInitialized = 1;
    return RES_OK;
}

int XMLOut_IsInitialized() { return stXMLOut.ucInitialized == 1 ? 1 : 0; }

int XMLOut_DeInit() {
    int rc = RES_OK;
    if (stXMLOut.ucInitialized == 1 && stXMLOut.pFile != nullptr) {
        // The response is the operation's only answer to the till: a failed
        // flush is reported, not taken for a written file.
        bool synced = fflush(stXMLOut.pFile) == 0 && fsync(fileno(stXMLOut.pFile)) == 0;
        bool closed = fclose(stXMLOut.pFile) == 0;
        if (!synced || !closed) rc = Error_LogDetail(nullptr, "XMLOut. DeInit", RES_XML_SHORT_WRITE);
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

int XMLOut_AddXMLField(const char* name, const char* value) {
    int rc = aux_XMLOut_WriteIndent(stXMLOut.ucDepth);
    if (rc == RES_OK) rc = aux_XMLOut_WriteTag("<", name);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText(value);
    if (rc == RES_OK) rc = aux_XMLOut_WriteTag("</", name);
    if (rc == RES_OK) rc = aux_XMLOut_WriteText("\n");
    return rc;
}

// host/msgtrace.cpp
#include "host/msgtrace.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/tmmsgbuilder.h"
#include "support/cardno.h"
#include "support/log.h"

enum : uint8_t {
    MSGTRACE_FIELD_PAN = 2,
    MSGTRACE_FIELD_EXPIRY = 14,
    MSGTRACE_FIELD_TRACK2 = 35,
    MSGTRACE_FIELD_TRACK3 = 36,
    MSGTRACE_FIELD_TRACK1 = 45,
    MSGTRACE_FIELD_KEY_DATA = 48,  // carries the keys in the key download
    MSGTRACE_FIELD_PIN_BLOCK = 52,
    MSGTRACE_FIELD_ICC = 55,
    MSGTRACE_FIELD_MAC = 64,
    MSGTRACE_FIELD_KEY_MANAGEMENT = 96,
    MSGTRACE_FIELD_MAC2 = 128,
};

enum { MSGTRACE_LINE_SIZE = 6144 };  // a 2048-character message written in hexadecimal still fits

// The trace splits into its own container: the shared one is what the caller is working on.
static STMMsgContainer m_stTraceMsg;
static char m_szLine[MSGTRACE_LINE_SIZE];

struct STraceOut {
    char* pcText;
    size_t nSize;
    size_t nUsed;
    bool bFull;
};

static void aux_MsgTrace_Append(STraceOut* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

static void aux_MsgTrace_Append(STraceOut* out, const char* format, ...) {
    if (out->bFull) return;
    va_list args;
    va_start(args, format);
    const size_t room = out->nSize - out->nUsed;
    const int n = vsnprintf(out->pcText + out->nUsed, room, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < room - 4) {
        out->nUsed += static_cast<size_t>(n);
        return;
    }
    // Cut at a known place rather than mid-value, and say so.
    out->pcText[out->nUsed] = '\0';
    if (room >= 4) memcpy(out->pcText + out->nUsed, "...", 4);
    out->bFull = true;
}

static bool aux_MsgTrace_IsPrintable(const char* data, uint16_t length) {
    for (uint16_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(data[i]) < 0x20 || static_cast<unsigned char>(data[i]) > 0x7E) return false;
    return true;
}

// The card number in front of a track's separator, masked; nothing after it is shown.
static void aux_MsgTrace_Track2(STraceOut* out, const char* data, uint16_t length) {
    uint16_t panLength = 0;
    while (panLength < length && data[panLength] != '=' && data[panLength] != 'D' && data[panLength] != 'd')
        ++panLength;
    char masked[CARDNO_MASKED_SIZE];
    CardNo_Mask(data, panLength, '*', masked);
    aux_MsgTrace_Append(out, "%s[%u]", masked, static_cast<unsigned>(length));
}

static void aux_MsgTrace_Field(STraceOut* out, uint16_t mti, uint16_t field, const char* data, uint16_t length) {
    const bool keyMessage = mti == TMMSG_KEY_DOWNLOAD_MTI || mti == TMMSG_KEY_DOWNLOAD_RS_MTI;
    aux_MsgTrace_Append(out, " F%u=", static_cast<unsigned>(field));
    char masked[CARDNO_MASKED_SIZE];
    switch (field) {
    case MSGTRACE_FIELD_PAN:
        aux_MsgTrace_Append(out, "%s", CardNo_Mask(data, length, '*', masked));
        return;
    case MSGTRACE_FIELD_TRACK2:
        aux_MsgTrace_Track2(out, data, length);
        return;
    case MSGTRACE_FIELD_EXPIRY:
    case MSGTRACE_FIELD_PIN_BLOCK:
        aux_MsgTrace_Append(out, "****");
        return;
    case MSGTRACE_FIELD_TRACK1:
    case MSGTRACE_FIELD_TRACK3:
    case MSGTRACE_FIELD_ICC:
    case MSGTRACE_FIELD_MAC:
    case MSGTRACE_FIELD_KEY_MANAGEMENT:
    case MSGTRACE_FIELD_MAC2:
        aux_MsgTrace_Append(out, "[%u]", static_cast<unsigned>(length));
        return;
    default:
        break;
    }
    if (field == MSGTRACE_FIELD_KEY_DATA && keyMessage) {
        aux_MsgTrace_Append(out, "[%u]", static_cast<unsigned>(length));
        return;
    }
    if (aux_MsgTrace_IsPrintable(data, length)) {
        aux_MsgTrace_Append(out, "%.*s", static_cast<int>(length), data);
        return;
    }
    aux_MsgTrace_Append(out, "hex:");
    for (uint16_t i = 0; i < length && !out->bFull; ++i)
        aux_MsgTrace_Append(out, "%02X", static_cast<unsigned char>(data[i]));
}

char* MsgTrace_FormatMessage(const STMMsgContainer* msg, char* text, size_t size) {
    if (text == nullptr || size == 0) return text;
    text[0] = '\0';
    if (msg == nullptr || size < 8) return text;
    STraceOut out = {text, size, 0, false};
    const uint16_t mti = TMMsgPrs_GetMTI(msg);
    if (aux_MsgTrace_IsPrintable(msg->acMessage, TMMSG_BITMAP_OFFSET))
        aux_MsgTrace_Append(&out, "%.4s", msg->acMessage);
    else
        aux_MsgTrace_Append(&out, "????");
    for (uint16_t field = 2; field < TMMSG_FIELD_COUNT && !out.bFull; ++field) {
        const char* data = nullptr;
        uint16_t length = 0;
        TMMsgPrs_GetField(msg, field, &data, &length);
        if (data == nullptr || length == 0) continue;
        aux_MsgTrace_Field(&out, mti, field, data, length);
    }
    return text;
}

void MsgTrace_HostRequest(const uint8_t* packet, uint16_t count) {
    if (GetLogLevel() < LOG_DEBUG) return;
    STMSecPacket sec;
    if (TMMsgPrs_ParseSecPacket(&m_stTraceMsg, packet, count, &sec) != RES_OK) {
        LogStringEx(LOG_DEBUG, "DEBUG. MsgTrace. Host request: unreadable envelope of %u bytes",
                    static_cast<unsigned>(count));
        return;
    }
    MsgTrace_FormatMessage(&m_stTraceMsg, m_szLine, sizeof(m_szLine));
    const size_t used = strlen(m_szLine);
    STraceOut out = {m_szLine, sizeof(m_szLine), used, used + 4 >= sizeof(m_szLine)};
    // Security elements are ciphered by the pad (the PIN block under its own key): sizes only.
    for (uint8_t i = 0; i < sec.ucElementCount; ++i) {
        const STMSecElement& element = sec.astElement[i];
        if (element.ucField == MSGTRACE_FIELD_PIN_BLOCK)
            aux_MsgTrace_Append(&out, " S%u/F%u=****", element.ucTag, element.ucField);
        else
            aux_MsgTrace_Append(&out, " S%u/F%u=enc[%u]", element.ucTag, element.ucField,
                                static_cast<unsigned>(element.usLength));
    }
    LogStringEx(LOG_DEBUG, "DEBUG. MsgTrace. Host request (kind %u, %u bytes): %s", sec.ucKind,
                static_cast<unsigned>(count), m_szLine);
}

void MsgTrace_HostResponse(const uint8_t* packet, uint16_t count) {
    if (GetLogLevel() < LOG_DEBUG) return;
    if (packet != nullptr && count > 0 && packet[0] != 0) {
        LogStringEx(LOG_DEBUG, "DEBUG. MsgTrace. Host response (%u bytes): status 0x%02X",
                    static_cast<unsigned>(count), packet[0]);
        return;
    }
    if (TMMsgPrs_ParseResponse(&m_stTraceMsg, packet, count) != RES_OK) {
        LogStringEx(LOG_DEBUG, "DEBUG. MsgTrace. Host response: unreadable envelope of %u bytes",
                    static_cast<unsigned>(count));
        return;
    }
    MsgTrace_FormatMessage(&m_stTraceMsg, m_szLine, sizeof(m_szLine));
    LogStringEx(LOG_DEBUG, "DEBUG. MsgTrace. Host response (%u bytes): %s", static_cast<unsigned>(count), m_szLine);
}

void MsgTrace_ManagerExchange(uint8_t command, uint16_t length, uint8_t answerCommand, int32_t status,
                              uint16_t answerLength, int64_t offset) {
    if (GetLogLevel() < LOG_DEBUG) return;
    char statusText[16] = "";
    if (status != MSGTRACE_NONE) snprintf(statusText, sizeof(statusText), " status %02X", status & 0xFF);
    char offsetText[32] = "";
    if (offset != MSGTRACE_NONE) snprintf(offsetText, sizeof(offsetText), " offset %" PRId64, offset);
    LogStringEx(LOG_DEBUG, "DEBUG. MsgTrace. Manager: > %02X len %u < %02X%s len %u%s", command,
                static_cast<unsigned>(length), answerCommand, statusText, static_cast<unsigned>(answerLength),
                offsetText);
}

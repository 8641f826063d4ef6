// fuzz/null_log.cpp
// The daily log, replaced in every fuzz target (it takes the place of
// support/log.cpp): the shipped log opens, writes and syncs its file on each
// line, which made a target that logs on every input a thousand times slower.
// Each line is still formatted, so that an argument read past its end is caught.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "support/log.h"
#include "support/result_codes.h"

static uint8_t gsLogLevel = LOG_INFO;

static int aux_NullLog_Format(const char* format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof(line), format, args);
    return RES_OK;
}

int LogString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int rc = aux_NullLog_Format(format, args);
    va_end(args);
    return rc;
}

int LogStringEx(uint8_t level, const char* format, ...) {
    if (level > gsLogLevel) return RES_OK;
    va_list args;
    va_start(args, format);
    int rc = aux_NullLog_Format(format, args);
    va_end(args);
    return rc;
}

void SetLogLevel(uint8_t level) { gsLogLevel = level > LOG_DEBUG ? static_cast<uint8_t>(LOG_DEBUG) : level; }

uint8_t GetLogLevel() { return gsLogLevel; }

int Error_LogDetail(const char* object, const char* where, int code) {
    int err = errno;
    LogString("ERROR. %s. Obj: %s. Reason: [%d:%d]", where, object ? object : "(none)", err, code);
    return code;
}

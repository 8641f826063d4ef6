// support/log.cpp
#include "support/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"

static uint8_t gsLogLevel = LOG_INFO;
// The day's file whose name this process has made durable (LOG flushed after a line reached it).
static char m_szDurableName[64] = "";

static int aux_LogWrite(const char* format, va_list args) {
    struct tm now;
    SysClock_LocalTime(&now);
    char path[64];
    snprintf(path, sizeof(path), "%s%s%04d%02d%02d.LOG", "LOG", UtilFile_GetPathDel(),
             now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);

    FILE* file = fopen(path, "a");
    if (file == nullptr) return RES_LOG_WRITE;
    fprintf(file, "%04d-%02d-%02d %02d:%02d:%02d ", now.tm_year + 1900, now.tm_mon + 1,
            now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    if (vfprintf(file, format, args) < 0) {
        fclose(file);
        return RES_LOG_WRITE;
    }
    fputc('\n', file);
    // The line must survive a power cut in the middle of a payment.
    int rc = (fflush(file) == 0 && fsync(fileno(file)) == 0) ? RES_OK : RES_LOG_WRITE;
    if (fclose(file) != 0) rc = RES_LOG_WRITE;
    // A new day's file is lost with a power cut, flushed lines and all, until
    // LOG itself is flushed: once per file and process.
    if (rc == RES_OK && strcmp(m_szDurableName, path) != 0) {
        if (UtilFile_SyncDir(path) != RES_OK) return RES_LOG_WRITE;
        snprintf(m_szDurableName, sizeof(m_szDurableName), "%s", path);
    }
    return rc;
}

int LogString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int rc = aux_LogWrite(format, args);
    va_end(args);
    return rc;
}

int LogStringEx(uint8_t level, const char* format, ...) {
    if (level > gsLogLevel) return RES_OK;
    va_list args;
    va_start(args, format);
    int rc = aux_LogWrite(format, args);
    va_end(args);
    return rc;
}

void SetLogLevel(uint8_t level) { gsLogLevel = level > LOG_DEBUG ? static_cast<uint8_t>(LOG_DEBUG) : level; }

uint8_t GetLogLevel() { return gsLogLevel; }

int Error_LogDetail(const char* object, const char* where, int code) {
    int err = errno;
    LogString("ERROR. %s. Obj: %s. Reason: [%d:%d]", where, object ? object : "(none)", err, code);
    // The caller may still name the system's reason in words.
    errno = err;
    return code;
}

// support/log.h
// The daily log LOG/YYYYMMDD.LOG: one line per call, flushed to the disk.
#pragma once
#include <cstdint>

enum : uint8_t { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

// Appends one time-stamped line; returns RES_OK, or RES_LOG_WRITE when it was not written.
int LogString(const char* format, ...) __attribute__((format(printf, 1, 2)));
// As LogString when level is not above the current level; else returns 0 unwritten.
int LogStringEx(uint8_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Sets the current level (values above 3 become 3).
void SetLogLevel(uint8_t level);
// Returns the current level.
uint8_t GetLogLevel();
// Logs "ERROR. where. Obj: object. Reason: [errno:code]" and returns code, errno left as it was.
int Error_LogDetail(const char* object, const char* where, int code);

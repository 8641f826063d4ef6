// support/mpsutils.cpp
#include "support/mpsutils.h"

#include <cstdio>
#include <ctime>

#include "support/sysclock.h"

// Two decimal digits of a calendar field, whatever the field holds.
static unsigned aux_MPSUtils_TwoDigits(int field) { return static_cast<unsigned>(field) % 100u; }

void MPSUtils_GetCurrentTime(char* out) {
    struct tm now;
    SysClock_LocalTime(&now);
    snprintf(out, MPSUTILS_DATETIME_SIZE, "%02u%02u%02u%02u%02u%02u", aux_MPSUtils_TwoDigits(now.tm_year + 1900),
             aux_MPSUtils_TwoDigits(now.tm_mon + 1), aux_MPSUtils_TwoDigits(now.tm_mday),
             aux_MPSUtils_TwoDigits(now.tm_hour), aux_MPSUtils_TwoDigits(now.tm_min),
             aux_MPSUtils_TwoDigits(now.tm_sec));
}

void MPSUtils_MakeRRN(char* out, uint32_t batchNo, uint16_t rrnIndex) {
    struct tm now;
    SysClock_LocalTime(&now);
    snprintf(out, MPSUTILS_RRN_SIZE, "%01u%03u%02u%02u%04u", static_cast<unsigned>(now.tm_year + 1900) % 10u,
             static_cast<unsigned>(now.tm_yday + 1) % 1000u, aux_MPSUtils_TwoDigits(now.tm_hour),
             static_cast<unsigned>(batchNo % 100u), static_cast<unsigned>(rrnIndex % 10000u));
}

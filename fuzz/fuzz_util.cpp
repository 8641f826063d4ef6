// fuzz/fuzz_util.cpp
#include "fuzz/fuzz_util.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "host/tmmsgbuilder.h"
#include "support/bigint.h"
#include "support/log.h"
#include "support/payorder.h"
#include "support/sysclock.h"

static std::string m_workDir;
static uint64_t m_clockMs = 1000000;

static time_t aux_Fuzz_Now() { return 1767268800 + static_cast<time_t>(m_clockMs / 1000u); }
static void aux_Fuzz_SleepMs(uint32_t ms) { m_clockMs += ms; }
static uint64_t aux_Fuzz_MonotonicMs() { return m_clockMs; }
// Nothing ever becomes ready on a descriptor: the wait only spends clock time.
static int aux_Fuzz_PollFd(int fd, short events, uint32_t ms) {
    m_clockMs += ms;
    return 0;
}
static const SSysClockSeam kStillClock = {aux_Fuzz_Now, aux_Fuzz_SleepMs, aux_Fuzz_MonotonicMs, aux_Fuzz_PollFd};

uint64_t Fuzz_ClockMs() { return m_clockMs; }
void Fuzz_ClockAdvance(uint64_t ms) { m_clockMs += ms; }

static int aux_Fuzz_RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

static void aux_Fuzz_RemoveWorkDir() {
    if (m_workDir.empty()) return;
    if (chdir("/") != 0) return;
    nftw(m_workDir.c_str(), aux_Fuzz_RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void Fuzz_EnterWorkDir() {
    if (!m_workDir.empty()) return;
    char name[] = "/dev/shm/ravo-fuzz-XXXXXX";
    char tmpName[] = "/tmp/ravo-fuzz-XXXXXX";
    const char* dir = mkdtemp(name);
    if (dir == nullptr) dir = mkdtemp(tmpName);
    if (dir == nullptr || chdir(dir) != 0) {
        perror("fuzz work directory");
        abort();
    }
    m_workDir = dir;
    atexit(aux_Fuzz_RemoveWorkDir);
    mkdir("DATA", 0700);
    mkdir("LOG", 0700);
    mkdir("TEMP", 0700);
    SysClock_SetSeam(&kStillClock);
    // Every line is formatted (fuzz/null_log.cpp), none is written.
    SetLogLevel(LOG_DEBUG);
}

void Fuzz_WriteFile(const char* path, const uint8_t* data, size_t n) {
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        perror(path);
        abort();
    }
    if (n != 0 && fwrite(data, 1, n, file) != n) abort();
    fclose(file);
}

void Fuzz_RemoveFile(const char* path) { unlink(path); }

void Fuzz_EnterHostWorkDir() {
    static bool ready = false;
    Fuzz_EnterWorkDir();
    if (!ready) TMMsgBuilder_Init();
    ready = true;
}

void Fuzz_SaleOrder(S_PAY_ORDER* order) {
    memset(order, 0, sizeof(*order));
    order->ucOpType = OP_SALE;
    memcpy(order->szCurrency, "BYN", 4);
    BigInt_StrToInt("1000", &order->stAmount);
}

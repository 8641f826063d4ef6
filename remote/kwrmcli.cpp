// remote/kwrmcli.cpp
#include "remote/kwrmcli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/msgtrace.h"
#include "host/netlayer.h"
#include "pinpad/crc.h"
#include "remote/kwrmframe.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/sysclock.h"
#include "support/utilfile.h"

enum : uint16_t {
    KWRM_RECV_TIMEOUT_S = 20,   // every read of an answer frame
    KWRM_MAX_EXCHANGES = 3,     // one request and at most two repeats
    // answer buffers offered per command
    KWRM_ANSWER_OPEN = 32,
    KWRM_ANSWER_START = 8,
    KWRM_ANSWER_BLOCK = 521,
    KWRM_ANSWER_SHORT = 16,
    KWRM_ANSWER_TK = 32,
    KWRM_ANSWER_SMALL = 4,
    // request layouts
    KWRM_TERMINAL_ID_LENGTH = 8,
    KWRM_NAME_FIELD = 33,
    KWRM_APP_REQUEST = 41,
    KWRM_APP_RESUME_REQUEST = 49,
    KWRM_UPLOAD_START = 37,
    KWRM_START_ANSWER = 5,      // status and size
    KWRM_START_ANSWER_VERSION = 8,
    KWRM_TK_ANSWER_KEY = 3 + KWRM_TK_SIZE,
};

enum : mode_t { KWRM_DOWNLOAD_MODE = 0600 };

// A download must leave more than the library's own start-up floor free.
enum : uint64_t { KWRM_MIN_FREE_MB = 20 };

static uint8_t m_ucTxFrame[KWRM_MAX_FRAME];      // the request being sent (kept for repeats)
static uint8_t m_ucBlock[KWRM_ANSWER_BLOCK];     // download blocks
static uint64_t m_ullDeadlineMs = 0;
static int64_t m_llBlockOffset = MSGTRACE_NONE;  // file offset of the block in flight, for the trace

void KWRM_CLI_SetDeadline(uint64_t monotonicMs) { m_ullDeadlineMs = monotonicMs; }

static bool aux_KWRM_CLI_PastDeadline() {
    return m_ullDeadlineMs != 0 && SysClock_MonotonicMs() >= m_ullDeadlineMs;
}

// A step does not start once the session's time budget is spent.
static int aux_KWRM_CLI_CheckBudget(const char* step) {
    if (!aux_KWRM_CLI_PastDeadline()) return RES_OK;
    LogString("ERROR. %s. Session time budget spent", step);
    return RES_KWRM_TIME_BUDGET;
}

// Receives exactly n bytes within the answer limit; 0 or 1602.
static int aux_KWRM_CLI_Receive(uint8_t* buffer, uint16_t n) {
    int got = NetLayer_Receive(buffer, n, KWRM_RECV_TIMEOUT_S);
    return got == static_cast<int>(n) ? RES_OK : RES_KWRM_TRANSPORT;
}

// One frame out, one frame in. data may already lie in m_ucTxFrame after the header.
// answerLength holds the buffer size on entry and the data length on success.
static int aux_KWRM_CLI_ExchangeData(uint8_t command, const uint8_t* data, uint16_t n, uint8_t* answerCommand,
                                     uint8_t* answer, uint16_t* answerLength) {
    // One write per frame: the manager reads a byte stream, and one TLS record
    // per request keeps the per-block cost of a download down.
    uint16_t frameLength = KwrmFrame_Build(command, data, n, m_ucTxFrame);
    if (NetLayer_Send(m_ucTxFrame, frameLength) != frameLength) return RES_KWRM_TRANSPORT;

    uint8_t header[KWRM_HEADER_SIZE] = {};
    uint8_t trailer[KWRM_TRAILER_SIZE];
    uint16_t length = 0;
    int rc = aux_KWRM_CLI_Receive(header, sizeof(header));
    if (rc == RES_OK) rc = KwrmFrame_CheckHeader(header, *answerLength, &length, answerCommand);
    if (rc == RES_OK && length > 0) rc = aux_KWRM_CLI_Receive(answer, length);
    if (rc == RES_OK) rc = aux_KWRM_CLI_Receive(trailer, sizeof(trailer));
    if (rc == RES_OK) rc = KwrmFrame_CheckTrailer(header, answer, length, trailer);
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_CLI_ExchangeData. Command: [%02X] result: %d header: [%02X %02X %02X %02X]", command, rc,
                  header[0], header[1], header[2], header[3]);
        return rc;
    }
    *answerLength = length;
    // A download block carries file data where other answers carry their status.
    const int32_t status =
        command == KWRM_CMD_NEXT_BLOCK || length == 0 ? static_cast<int32_t>(MSGTRACE_NONE) : answer[0];
    MsgTrace_ManagerExchange(command, n, *answerCommand, status, length, m_llBlockOffset);
    return RES_OK;
}

// One command's answer: the buffer the command offers (the longest answer it
// takes) and what came back in it.
struct SKwrmAnswer {
    uint8_t* pucData;    // the answer's data
    uint16_t usLength;   // the buffer's size on entry, the data's length after an answer
    uint8_t ucCommand;   // the answer's command
    uint8_t ucStatus;    // the answer's first byte (0 for a download block or without an answer)
};

// One request with its repeats.
static int aux_KWRM_CLI_ExchangePacket(uint8_t command, const uint8_t* data, uint16_t n, SKwrmAnswer* answer) {
    const uint16_t size = answer->usLength;
    answer->ucStatus = 0;
    for (int round = 0; round < KWRM_MAX_EXCHANGES; ++round) {
        answer->usLength = size;
        // Transport errors are not repeated: the stream's position is unknown after them.
        int rc = aux_KWRM_CLI_ExchangeData(command, data, n, &answer->ucCommand, answer->pucData, &answer->usLength);
        if (rc != RES_OK) return rc;
        const uint8_t* in = answer->pucData;
        if (answer->ucCommand == KWRM_CMD_REPEAT) {
            LogString("WARMING. KWRM_CLI_ExchangePacket. Repeat [%d]", round);
            continue;
        }
        if (answer->ucCommand == KWRM_CMD_STATUS) {
            uint8_t b[4] = {0, 0, 0, 0};
            for (uint16_t i = 0; i < 4; ++i)
                if (2u + i < answer->usLength) b[i] = in[2 + i];
            LogString("ERROR. KWRM_CLI_ExchangePacket. CMD_STATUS: 0x%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
            return RES_KWRM_STATUS_FRAME;
        }
        if (answer->ucCommand != command && command != KWRM_CMD_NEXT_BLOCK && command != KWRM_CMD_END) {
            LogString("ERROR. KWRM_CLI_ExchangePacket. Invalid cmd: [%02X:%02X]", command, answer->ucCommand);
            return RES_KWRM_COMMAND;
        }
        if (command == KWRM_CMD_NEXT_BLOCK) return RES_OK;
        if (answer->usLength == 0) {
            LogString("ERROR. KWRM_CLI_ExchangePacket. No status: [%02X]", command);
            return RES_KWRM_LENGTH;
        }
        answer->ucStatus = in[0];
        if (command == KWRM_CMD_APP_RESUME && answer->ucStatus == KWRM_STATUS_PARTIAL_CRC) return RES_KWRM_PARTIAL_CRC;
        if (answer->ucStatus == KWRM_STATUS_OK) return RES_OK;
        LogStringEx(LOG_WARNING, "WARNING. KWRM_CLI_ExchangePacket. Refuse: %02X", answer->ucStatus);
        return RES_KWRM_REFUSED;
    }
    // A manager that asks for the request again and again never answered it.
    LogString("ERROR. KWRM_CLI_ExchangePacket. Repeat limit: [%02X]", command);
    return RES_KWRM_REPEATS;
}

// Every command goes through here: the session's time budget first (step
// names the command in the log; null for the parts of a transfer, which stops
// by its own rules), then the request and its answer. RES_KWRM_TIME_BUDGET
// before anything is sent, else the exchange's code.
static int aux_KWRM_CLI_Command(const char* step, uint8_t command, const uint8_t* data, uint16_t n,
                                SKwrmAnswer* answer) {
    answer->ucCommand = 0;
    answer->ucStatus = 0;
    if (step != nullptr) {
        int rc = aux_KWRM_CLI_CheckBudget(step);
        if (rc != RES_OK) return rc;
    }
    return aux_KWRM_CLI_ExchangePacket(command, data, n, answer);
}

// A command whose answer is its status alone (a 16-byte answer taken).
static int aux_KWRM_CLI_CommandShort(uint8_t command, const uint8_t* data, uint16_t n) {
    uint8_t buffer[KWRM_ANSWER_SHORT];
    SKwrmAnswer answer = {buffer, sizeof(buffer), 0, 0};
    return aux_KWRM_CLI_Command(nullptr, command, data, n, &answer);
}

// Refuses a download that would leave the target's file system with the
// library's start-up floor or less, before a byte of it is received.
static int aux_KWRM_CLI_CheckRoom(const char* target, uint32_t needed) {
    char dir[256] = ".";
    const char* slash = strrchr(target, '/');
    if (slash != nullptr && static_cast<size_t>(slash - target) + 2 <= sizeof(dir)) {
        size_t n = static_cast<size_t>(slash - target) + 1;
        memcpy(dir, target, n);
        dir[n] = '\0';
    }
    struct statvfs fs;
    if (statvfs(dir, &fs) != 0) {
        LogString("ERROR. KWRM_CLI_CheckRoom. statvfs: %s [%d]", dir, errno);
        return RES_KWRM_DISK_SPACE;
    }
    uint64_t freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    uint64_t left = freeBytes > needed ? freeBytes - needed : 0;
    if ((left >> 20) > KWRM_MIN_FREE_MB) return RES_OK;
    LogString("ERROR. KWRM_CLI_CheckRoom. Free: [%llu] needed: [%lu] for %s",
              static_cast<unsigned long long>(freeBytes), static_cast<unsigned long>(needed), target);
    return RES_KWRM_DISK_SPACE;
}

// Receives the blocks of the announced file into target from offset (whose bytes
// have the CRC crc). A resumable download keeps its partial file when stopped by
// its time limit or when the link broke; every other failure removes target.
// target is the download's temporary name: the session moves it into place.
static int aux_KWRM_CLI_ReceiveFile(const char* target, uint32_t size, uint32_t offset, uint32_t crc,
                                    bool resumable) {
    if (offset == 0) unlink(target);
    // A download may be a key or settings with a key in them: the owner's alone.
    SUtilFileAside file;
    if (UtilFile_AsideOpen(&file, nullptr, target, KWRM_DOWNLOAD_MODE, UTILFILE_ASIDE_APPEND) != RES_OK) {
        LogString("ERROR. KWRM_CLI_ReceiveFile. Open file: %s [%d]", target, errno);
        return RES_KWRM_FILE_CREATE;
    }
    const uint64_t start = SysClock_MonotonicMs();
    const uint64_t limitS = resumable ? g_Config.ucFileLoadTimeout : 0;
    uint32_t count = offset;
    uint32_t endCrc = 0;
    bool endCrcSeen = false;
    int rc = RES_OK;
    for (;;) {
        SKwrmAnswer block = {m_ucBlock, sizeof(m_ucBlock), 0, 0};
        m_llBlockOffset = count;
        int ex = aux_KWRM_CLI_Command(nullptr, KWRM_CMD_NEXT_BLOCK, nullptr, 0, &block);
        m_llBlockOffset = MSGTRACE_NONE;
        if (ex != RES_OK) {
            LogString("ERROR. KWRM_CLI_ReceiveFile. Exchange: %u", static_cast<unsigned>(ex));
            rc = RES_KWRM_FILE_SEND;
            break;
        }
        const uint16_t length = block.usLength;
        if (block.ucCommand == KWRM_CMD_END) {
            endCrcSeen = length >= 4;
            if (endCrcSeen) endCrc = KwrmFrame_GetU32(m_ucBlock);
            break;
        }
        // An empty block moves nothing forward: a manager sending them would hold the loop for ever.
        if (length == 0) {
            LogString("ERROR. KWRM_CLI_ReceiveFile. Empty block after [%lu] bytes", static_cast<unsigned long>(count));
            rc = RES_KWRM_FILE_RECV;
            break;
        }
        if (UtilFile_AsideWrite(&file, m_ucBlock, length) != RES_OK) {
            LogString("ERROR. KWRM_CLI_ReceiveFile. Write: %u [%d]", static_cast<unsigned>(length), errno);
            rc = RES_KWRM_FILE_RECV;
            break;
        }
        crc = CRC_CalcCRC32(m_ucBlock, length, crc);
        count += length;
        if (count > size) break;
        uint64_t elapsedS = (SysClock_MonotonicMs() - start) / 1000u;
        if (resumable && ((limitS != 0 && elapsedS > limitS) || aux_KWRM_CLI_PastDeadline())) {
            LogString("KWRM_CLI_ReceiveFile. Uploaded part of [%s] of size [%lu] out of [%lu] bytes.", target,
                      static_cast<unsigned long>(count), static_cast<unsigned long>(size));
            rc = RES_KWRM_TIME_LIMIT;
            break;
        }
        if (!resumable && aux_KWRM_CLI_PastDeadline()) {
            LogString("ERROR. KWRM_CLI_ReceiveFile. Session time budget spent: [%s] %lu of %lu bytes", target,
                      static_cast<unsigned long>(count), static_cast<unsigned long>(size));
            rc = RES_KWRM_TIME_BUDGET;
            break;
        }
    }
    if (rc == RES_OK && count != size) {
        LogString("ERROR. KWRM_CLI_ReceiveFile. Size mismatch: [%lu:%lu]", static_cast<unsigned long>(count),
                  static_cast<unsigned long>(size));
        rc = RES_KWRM_FILE_RECV;
    }
    if (rc == RES_OK && (!endCrcSeen || endCrc != crc)) {
        LogString("ERROR. KWRM_CLI_ReceiveFile. CRC mismatch: [%lu:%lu]", static_cast<unsigned long>(endCrc),
                  static_cast<unsigned long>(crc));
        rc = RES_KWRM_FILE_CRC;
    }
    // Flushed to the disk once, whole, so that the session's later rename is durable.
    const bool flushed = UtilFile_AsideClose(&file, rc == RES_OK) == RES_OK;
    if (!flushed && (rc == RES_OK || rc == RES_KWRM_TIME_LIMIT)) {
        LogString("ERROR. KWRM_CLI_ReceiveFile. Write: %s [%d]", target, errno);
        rc = RES_KWRM_FILE_RECV;
    }
    bool keep = rc == RES_OK || (resumable && (rc == RES_KWRM_TIME_LIMIT || rc == RES_KWRM_FILE_SEND));
    if (!keep) UtilFile_AsideDrop(&file);
    return rc;
}

// The start of a download: asks for a file with request; size gets the
// announced size and version (when not null) the version an answer of eight
// bytes announces, 0 for none. RES_OK, RES_KWRM_NOTHING_NEWER when the manager
// refuses (nothing newer), RES_KWRM_PARTIAL_CRC (a resumed request), or a
// failure logged under step.
static int aux_KWRM_CLI_StartDownload(const char* step, uint8_t command, const uint8_t* request, uint16_t n,
                                      uint32_t* size, uint32_t* version) {
    if (version != nullptr) *version = 0;
    uint8_t data[KWRM_ANSWER_START];
    SKwrmAnswer answer = {data, sizeof(data), 0, 0};
    int rc = aux_KWRM_CLI_Command(nullptr, command, request, n, &answer);
    if (rc == RES_KWRM_REFUSED) return RES_KWRM_NOTHING_NEWER;
    if (rc == RES_KWRM_PARTIAL_CRC) return rc;
    if (rc == RES_OK && answer.usLength < KWRM_START_ANSWER) rc = RES_KWRM_LENGTH;
    if (rc != RES_OK) {
        LogString("ERROR. %s. Exchange: %u", step, static_cast<unsigned>(rc));
        return rc;
    }
    *size = KwrmFrame_GetU32(data + 1);
    if (*size >= KWRM_MAX_FILE_SIZE) {
        LogString("ERROR. %s. Too big file size: %ld", step, static_cast<long>(*size));
        return RES_KWRM_FILE_RECV;
    }
    if (version != nullptr && answer.usLength == KWRM_START_ANSWER_VERSION)
        *version = static_cast<uint32_t>(data[5]) << 24 | static_cast<uint32_t>(data[6]) << 16 |
                   static_cast<uint32_t>(data[7]) << 8;
    return RES_OK;
}

// CRC-32 of a file, 0 when it is absent or unreadable (nothing usable held).
static uint32_t aux_KWRM_CLI_FileCrc(const char* path) {
    uint32_t crc = 0;
    if (access(path, F_OK) != 0 || CRC_GetFileCRC(path, &crc) != RES_OK) return 0;
    return crc;
}

static int aux_KWRM_CLI_GetFile(uint8_t command, const char* target, const char* current, uint8_t* updated,
                                uint32_t identifier) {
    *updated = 0;
    int rc = aux_KWRM_CLI_CheckBudget("KWRM_CLI_GetFile");
    if (rc != RES_OK) return rc;
    if (identifier == 0) identifier = aux_KWRM_CLI_FileCrc(current);
    uint8_t request[4];
    KwrmFrame_PutU32(request, identifier);
    uint32_t size = 0;
    rc = aux_KWRM_CLI_StartDownload("KWRM_CLI_StartReceiveFile", command, request, sizeof(request), &size, nullptr);
    if (rc == RES_KWRM_NOTHING_NEWER) return RES_OK;
    if (rc == RES_OK) rc = aux_KWRM_CLI_CheckRoom(target, size);
    if (rc == RES_OK) rc = aux_KWRM_CLI_ReceiveFile(target, size, 0, 0, false);
    if (rc == RES_OK) *updated = 1;
    return rc;
}

uint16_t KWRM_CLI_GetConfigFromKwrm(const char* target, const char* current, uint8_t* updated) {
    return aux_KWRM_CLI_GetFile(KWRM_CMD_CONFIG, target, current, updated, 0);
}

uint16_t KWRM_CLI_GetBinTableFromKwrm(const char* target, const char* current, uint8_t* updated) {
    return aux_KWRM_CLI_GetFile(KWRM_CMD_RANGES, target, current, updated, 0);
}

uint16_t KWRM_CLI_GetEmvCapkFromKwrm(const char* target, const char* current, uint8_t* updated) {
    return aux_KWRM_CLI_GetFile(KWRM_CMD_EMVCAPK, target, current, updated, 0);
}

uint16_t KWRM_CLI_GetEmvCfgFromKwrm(const char* target, const char* current, uint8_t* updated) {
    return aux_KWRM_CLI_GetFile(KWRM_CMD_EMVCFG, target, current, updated, 0);
}

uint16_t KWRM_CLI_GetSSLDataFromKwrm(uint8_t command, const char* target, const char* current, uint8_t* updated,
                                     uint32_t identifier) {
    uint8_t received = 0;
    int rc = aux_KWRM_CLI_GetFile(command, target, current, &received, identifier);
    if (received) *updated = 1;
    LogString("GetSSLDataFromKwrm[%u]. Result: %d %d", command, rc, received);
    return static_cast<uint16_t>(rc);
}

// Asks for the software file named after target; size and the offset's
// agreement come back, the announced version into version.
static int aux_KWRM_CLI_StartReceiveFileApp(uint8_t command, uint32_t version, const char* target, uint32_t offset,
                                            uint32_t partialCrc, uint32_t* size, uint32_t* announced) {
    static const char kStep[] = "KWRM_CLI_StartReceiveFileApp";
    uint8_t request[KWRM_APP_RESUME_REQUEST] = {};
    char name[MAX_FILE_NAME_LENGTH + 1];
    const char* slash = strrchr(target, '/');
    const char* base = slash ? slash + 1 : target;
    if (base[0] == '\0' || strlen(base) > MAX_FILE_NAME_LENGTH) {
        LogString("ERROR. %s. Extract name: %s [%u]", kStep, target, static_cast<unsigned>(RES_KWRM_FILE_RECV));
        return RES_KWRM_FILE_RECV;
    }
    snprintf(name, sizeof(name), "%s", base);
    memcpy(request, name, strlen(name));
    KwrmFrame_PutU32(request + KWRM_NAME_FIELD, version);
    KwrmFrame_PutU32(request + KWRM_NAME_FIELD + 4, aux_KWRM_CLI_FileCrc(name));
    uint16_t n = KWRM_APP_REQUEST;
    if (command == KWRM_CMD_APP_RESUME) {
        KwrmFrame_PutU32(request + KWRM_APP_REQUEST, offset);
        KwrmFrame_PutU32(request + KWRM_APP_REQUEST + 4, partialCrc);
        n = KWRM_APP_RESUME_REQUEST;
    }
    return aux_KWRM_CLI_StartDownload(kStep, command, request, n, size, announced);
}

static int aux_KWRM_CLI_GetFileApp(uint8_t command, uint32_t version, const char* target, uint8_t* complete,
                                   uint8_t* started, uint32_t* announced) {
    *complete = 0;
    *started = 0;
    *announced = 0;
    int rc = aux_KWRM_CLI_CheckBudget("aux_KWRM_CLI_GetFileApp");
    if (rc != RES_OK) return rc;
    const bool resumable = command == KWRM_CMD_APP_RESUME;
    uint32_t offset = 0, partialCrc = 0, size = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        offset = 0;
        partialCrc = 0;
        int32_t held = 0;
        if (resumable && access(target, F_OK) == 0) {
            // A partial file that cannot be measured is fetched again from the start.
            if (UtilFile_GetLength(target, &held) != RES_OK || CRC_GetFileCRC(target, &partialCrc) != RES_OK) {
                unlink(target);
                held = 0;
                partialCrc = 0;
            }
            offset = static_cast<uint32_t>(held);
        }
        rc = aux_KWRM_CLI_StartReceiveFileApp(command, version, target, offset, partialCrc, &size, announced);
        // What the terminal holds is not a prefix of the offered file: start afresh, once.
        if (rc == RES_OK && offset > size) rc = RES_KWRM_PARTIAL_CRC;
        if (rc != RES_KWRM_PARTIAL_CRC || attempt > 0) break;
        LogString("ERROR. aux_KWRM_CLI_GetFileApp. Downloaded part CRC error, removing file: (%s) and loading it "
                  "again.",
                  target);
        unlink(target);
    }
    if (rc == RES_KWRM_NOTHING_NEWER) return RES_OK;
    if (rc == RES_OK) rc = aux_KWRM_CLI_CheckRoom(target, size - offset);
    if (rc != RES_OK) return rc;
    *started = 1;
    rc = aux_KWRM_CLI_ReceiveFile(target, size, offset, partialCrc, resumable);
    if (rc == RES_KWRM_TIME_LIMIT) return RES_OK;
    if (rc == RES_OK) *complete = 1;
    return rc;
}

uint16_t KWRM_CLI_GetAppDataFromKwrm(uint32_t version, const char* target, uint8_t* complete, uint8_t* started,
                                     uint32_t* announced) {
    uint32_t none = 0;
    uint8_t command = g_Config.ucFileLoadTimeout != 0 ? KWRM_CMD_APP_RESUME : KWRM_CMD_APP;
    return static_cast<uint16_t>(aux_KWRM_CLI_GetFileApp(command, version, target, complete, started,
                                                         announced != nullptr ? announced : &none));
}

uint16_t KWRM_CLI_OpenSession(const char* terminalId) {
    LogString("KWRM_CLI_ExchangeInitPacket. [%s]", terminalId);
    size_t length = strlen(terminalId);
    if (length != KWRM_TERMINAL_ID_LENGTH) {
        LogString("ERROR. KWRM_CLI_ExchangeInitPacket. Terminal length: %d", static_cast<int>(length));
        return RES_KWRM_TERMINAL_ID;
    }
    uint8_t data[KWRM_ANSWER_OPEN];
    SKwrmAnswer answer = {data, sizeof(data), 0, 0};
    int rc = aux_KWRM_CLI_Command("KWRM_CLI_ExchangeInitPacket", KWRM_CMD_OPEN,
                                  reinterpret_cast<const uint8_t*>(terminalId), KWRM_TERMINAL_ID_LENGTH, &answer);
    if (rc == RES_KWRM_TIME_BUDGET) return static_cast<uint16_t>(rc);
    LogString("ERROR. KWRM_CLI_ExchangeInitPacket. Result: %u [%u]", static_cast<unsigned>(rc), answer.ucStatus);
    return static_cast<uint16_t>(rc == RES_KWRM_REFUSED ? RES_KWRM_SESSION_REFUSED : rc);
}

uint16_t KWRM_CLI_GetTKFromKwrm(uint32_t kcv, uint8_t* keyLength, uint8_t* update, uint8_t* key) {
    *update = 0;
    *keyLength = 0;
    uint8_t request[3] = {static_cast<uint8_t>(kcv >> 16), static_cast<uint8_t>(kcv >> 8), static_cast<uint8_t>(kcv)};
    uint8_t data[KWRM_ANSWER_TK];
    SKwrmAnswer answer = {data, sizeof(data), 0, 0};
    int rc = aux_KWRM_CLI_Command("KWRM_CLI_GetTKFromKwrm", KWRM_CMD_TK, request, sizeof(request), &answer);
    if (rc == RES_KWRM_TIME_BUDGET) return static_cast<uint16_t>(rc);
    const uint16_t length = answer.usLength;
    if (rc != RES_OK) {
        rc = RES_KWRM_TK_LOAD;
    } else if (length >= 2 && data[1] == 0) {
        // no new key
    } else if (length == KWRM_TK_ANSWER_KEY && data[1] != 0 && data[2] == KWRM_TK_SIZE) {
        memcpy(key, data + 3, KWRM_TK_SIZE);
        *keyLength = KWRM_TK_SIZE;
        *update = data[1];
    } else {
        *keyLength = length >= 3 ? data[2] : 0;
        rc = RES_KWRM_TK_LOAD;
    }
    // The key does not outlive the answer.
    memset(data, 0, sizeof(data));
    LogString("KWRM_CLI_GetTKFromKwrm. Result: (%d), CMDRes: (%d), Update: (%d), TKLen: (%d).", rc, answer.ucStatus,
              *update, *keyLength);
    return static_cast<uint16_t>(rc);
}

uint16_t KWRM_CLI_SendLoadTKInfo(uint8_t loadResult, uint32_t newKcv) {
    uint8_t request[4] = {loadResult, static_cast<uint8_t>(newKcv >> 16), static_cast<uint8_t>(newKcv >> 8),
                          static_cast<uint8_t>(newKcv)};
    uint8_t data[KWRM_ANSWER_SMALL];
    SKwrmAnswer answer = {data, sizeof(data), 0, 0};
    int rc = aux_KWRM_CLI_Command("KWRM_CLI_SendLoadTKInfo", KWRM_CMD_TK_REPORT, request, sizeof(request), &answer);
    if (rc == RES_KWRM_TIME_BUDGET) return static_cast<uint16_t>(rc);
    LogString("KWRM_CLI_SendLoadTKInfo. IN LoadRes: (%d), IN NewTKKCV: (0x%06lX), Result: (%d), CMDRes: (0x%X).",
              loadResult, static_cast<unsigned long>(newKcv), rc, answer.ucStatus);
    return static_cast<uint16_t>(rc == RES_OK ? RES_OK : RES_KWRM_TK_CHANGE);
}

uint16_t KWRM_CLI_GetDateTime(char* text) {
    text[0] = '\0';
    uint8_t data[KWRM_DATETIME_SIZE];
    SKwrmAnswer answer = {data, sizeof(data), 0, 0};
    int rc = aux_KWRM_CLI_Command("KWRM_CLI_GetDateTime", KWRM_CMD_DATETIME, nullptr, 0, &answer);
    if (rc == RES_KWRM_TIME_BUDGET) return static_cast<uint16_t>(rc);
    LogStringEx(LOG_INFO, "INFO. KWRM_CLI_GetDateTime. usResult: (%d), ucCmdOut: (0x%X), CMDRes: (0x%X).", rc,
                answer.ucCommand, answer.ucStatus);
    // Anything but status and exactly 12 characters is not a date and time the pad can take.
    if (rc != RES_OK || answer.usLength != KWRM_DATETIME_SIZE) return RES_KWRM_DATETIME;
    memcpy(text, data + 1, KWRM_DATETIME_SIZE - 1);
    text[KWRM_DATETIME_SIZE - 1] = '\0';
    return RES_OK;
}

uint16_t KWRM_CLI_BuildSoftInfoText(const SSoftConfig* info, char* out, uint16_t size) {
    struct Entry {
        const char* name;
        size_t nameSize;
        uint32_t version;
        const uint32_t* crc;  // null: the entry carries no CRC
    };
    const Entry entries[] = {
        {info->stOther.szName, sizeof(info->stOther.szName), info->stOther.ulVersion, &info->stOther.ulCrc},
        {info->stLib.szName, sizeof(info->stLib.szName), info->stLib.ulVersion, &info->stLib.ulCrc},
        {info->stLib2.szName, sizeof(info->stLib2.szName), info->stLib2.ulVersion, &info->stLib2.ulCrc},
        {info->stPadApp.szName, sizeof(info->stPadApp.szName), info->stPadApp.ulVersion, nullptr},
    };
    size_t used = 0;
    auto put = [&](const char* format, auto... args) {
        if (used >= size) return;
        int n = snprintf(out + used, size - used, format, args...);
        if (n > 0) used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1u;
    };
    put("%.*s|", static_cast<int>(sizeof(info->szEdition)), info->szEdition);
    for (const Entry& e : entries) {
        put("%.*s", static_cast<int>(e.nameSize), e.name);
        if (e.version == 0) put(";0;");
        else put(";%d.%d.%d;", static_cast<int>(e.version >> 24), static_cast<int>((e.version >> 16) & 0xFF),
                 static_cast<int>((e.version >> 8) & 0xFF));
        if (e.crc != nullptr)
            put("%02X%02X%02X%02X|", static_cast<unsigned>(*e.crc >> 24), static_cast<unsigned>((*e.crc >> 16) & 0xFF),
                static_cast<unsigned>((*e.crc >> 8) & 0xFF), static_cast<unsigned>(*e.crc & 0xFF));
    }
    put("00000000");
    // The text goes without its last two characters: it ends with ";000000".
    used = used >= 2 ? used - 2 : 0;
    if (size > 0) out[used < size ? used : size - 1u] = '\0';
    return static_cast<uint16_t>(used);
}

uint16_t KWRM_CLI_SendSoftInfoEx(const SSoftConfig* info) {
    char text[KWRM_MAX_DATA + 1];
    uint16_t n = KWRM_CLI_BuildSoftInfoText(info, text, sizeof(text));
    uint8_t data[KWRM_ANSWER_SMALL];
    SKwrmAnswer answer = {data, sizeof(data), 0, 0};
    int rc = aux_KWRM_CLI_Command("KWRM_CLI_SendSoftInfoEx", KWRM_CMD_SOFTINFO, reinterpret_cast<const uint8_t*>(text),
                                  n, &answer);
    if (rc == RES_KWRM_TIME_BUDGET) return static_cast<uint16_t>(rc);
    LogStringEx(LOG_INFO, "INFO. KWRM_CLI_SendSoftInfoEx. usResult: (%d), ucCmdOut: (0x%X), CMDRes: (0x%X).", rc,
                answer.ucCommand, answer.ucStatus);
    return static_cast<uint16_t>(rc == RES_OK ? RES_OK : RES_KWRM_SOFTINFO);
}

// The upload rule on a file's status: regular, one name.
static bool aux_KWRM_CLI_IsPlain(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

int KWRM_CLI_IsPlainFile(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0 && aux_KWRM_CLI_IsPlain(st) ? 1 : 0;
}

// Uploads path: start with its length and name, blocks of 520 bytes, then the CRC.
static int aux_KWRM_CLI_SendFile(uint8_t command, const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        LogString("ERROR. KWRM_CLI_SendFile. No file: %s", path);
        return RES_KWRM_NO_FILE;
    }
    // The file is checked as opened: a link put in its place meanwhile is not followed.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        LogString("ERROR. KWRM_CLI_SendFile. Open: %s [%d]", path, errno);
        if (fd >= 0) close(fd);
        return RES_KWRM_FILE_OPEN;
    }
    if (fstat(fd, &st) != 0 || !aux_KWRM_CLI_IsPlain(st)) {
        LogString("ERROR. KWRM_CLI_SendFile. Not a plain file: %s", path);
        fclose(file);
        return RES_KWRM_FILE_OPEN;
    }
    int32_t length = 0;
    if (UtilFile_GetLength(file, &length) != RES_OK) {
        LogString("ERROR. KWRM_CLI_SendFile. Get length: %s [%d]", path, errno);
        fclose(file);
        return RES_KWRM_FILE_LENGTH;
    }
    if (length < 0 || static_cast<uint32_t>(length) >= KWRM_MAX_FILE_SIZE) {
        LogString("ERROR. KWRM_CLI_SendFile. Invalid length: %s [%ld]", path, static_cast<long>(length));
        fclose(file);
        return RES_KWRM_FILE_LENGTH;
    }
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (name[0] == '\0' || strlen(name) >= KWRM_NAME_FIELD) {
        fclose(file);
        return RES_KWRM_FILE_SEND;
    }
    uint8_t start[KWRM_UPLOAD_START] = {};
    KwrmFrame_PutU32(start, static_cast<uint32_t>(length));
    memcpy(start + 4, name, strlen(name));
    LogStringEx(LOG_INFO, "INFO. KWRM_CLI_SendFile. Start: %s [%ld]", path, static_cast<long>(length));
    int rc = aux_KWRM_CLI_CommandShort(command, start, sizeof(start));
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_CLI_SendFile. Init exchange: %u", static_cast<unsigned>(rc));
        fclose(file);
        return rc == RES_KWRM_REFUSED ? RES_KWRM_UPLOAD_REFUSED : RES_KWRM_FILE_SEND;
    }
    uint32_t crc = 0;
    int32_t left = length;
    uint8_t* block = m_ucTxFrame + KWRM_HEADER_SIZE;  // read straight into the frame
    while (left > 0) {
        uint16_t n = left < KWRM_MAX_DATA ? static_cast<uint16_t>(left) : static_cast<uint16_t>(KWRM_MAX_DATA);
        if (fread(block, 1, n, file) != n) {
            LogString("ERROR. KWRM_CLI_SendFile. File read: %d", errno);
            fclose(file);
            return RES_KWRM_FILE_IO;
        }
        crc = CRC_CalcCRC32(block, n, crc);
        m_llBlockOffset = length - left;
        rc = aux_KWRM_CLI_CommandShort(KWRM_CMD_UPLOAD_BLOCK, block, n);
        m_llBlockOffset = MSGTRACE_NONE;
        if (rc != RES_OK) {
            LogString("ERROR. KWRM_CLI_SendFile. Send block: %u", static_cast<unsigned>(rc));
            fclose(file);
            return RES_KWRM_FILE_SEND;
        }
        left -= n;
    }
    fclose(file);
    uint8_t end[4];
    KwrmFrame_PutU32(end, crc);
    rc = aux_KWRM_CLI_CommandShort(KWRM_CMD_END, end, sizeof(end));
    if (rc != RES_OK) {
        LogString("ERROR. KWRM_CLI_SendFile. Finish send: %u", static_cast<unsigned>(rc));
        return RES_KWRM_FILE_SEND;
    }
    return RES_OK;
}

uint16_t KWRM_CLI_PutLogFileToKwrm(const char* path) {
    int rc = aux_KWRM_CLI_CheckBudget("KWRM_CLI_PutLogFileToKwrm");
    if (rc != RES_OK) return static_cast<uint16_t>(rc);
    return static_cast<uint16_t>(aux_KWRM_CLI_SendFile(KWRM_CMD_LOG_START, path));
}

uint16_t KWRM_CLI_CloseSession(uint32_t status) {
    LogString("KWRM_CLI_SendFinPacket. Status: %08lX", static_cast<unsigned long>(status));
    uint8_t data[4];
    KwrmFrame_PutU32(data, status);
    uint8_t frame[KWRM_HEADER_SIZE + sizeof(data) + KWRM_TRAILER_SIZE];
    uint16_t n = KwrmFrame_Build(KWRM_CMD_STATUS, data, sizeof(data), frame);
    return NetLayer_Send(frame, n) == n ? RES_OK : RES_KWRM_TRANSPORT;
}

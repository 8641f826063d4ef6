// emulators/pinpad/padlink.cpp
#include "emulators/pinpad/padlink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include "emulators/pinpad/padcommands.h"
#include "emulators/pinpad/pad_emv.h"
#include "pinpad/crc.h"
#include "pinpad/des.h"
#include "pinpad/ppadproto.h"

namespace {

int g_slaveKeeper = -1;  // keeps the slave side open so the master never sees a hang-up
volatile int* g_stopFlag = nullptr;

void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size() && !(g_stopFlag && *g_stopFlag)) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // A terminal that stopped reading gets the rest dropped after a second.
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) return;
        } else {
            return;
        }
    }
}

// A pad busy with its own work (a PIN being typed): nothing is read or
// written for ms, so that whatever the terminal sends meanwhile queues up.
void Busy(uint32_t ms) {
    for (uint32_t left = ms; left > 0 && !(g_stopFlag && *g_stopFlag);) {
        uint32_t slice = left < 50 ? left : 50;
        poll(nullptr, 0, static_cast<int>(slice));
        left -= slice;
    }
}

// A pad busy until the terminal speaks again (a later call testing the
// link), at most ms: what the terminal sends stays queued, to be read after
// the held reply went out.
void HoldUntilHeard(int fd, uint32_t ms) {
    for (uint32_t left = ms; left > 0 && !(g_stopFlag && *g_stopFlag);) {
        uint32_t slice = left < 50 ? left : 50;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(slice)) > 0) return;
        left -= slice;
    }
}

const SPadFault* FindFault(SPadState* st, EPadFaultWhere where, uint8_t cls = 0, uint8_t code = 0, uint32_t nth = 0) {
    for (const SPadFault& f : st->scen.faults) {
        if (f.where != where) continue;
        if (where == PADWHERE_REPLY && f.replyNo != st->replies) continue;
        if (where == PADWHERE_COMMAND && (f.cmdClass != cls || f.cmdCode != code || (f.cmdNth && f.cmdNth != nth)))
            continue;
        return &f;
    }
    return nullptr;
}

void Agree(SPadState* st, int fd, const uint8_t* frame) {
    PadTrace_Line(st, "KEY");
    const SPadFault* f = FindFault(st, PADWHERE_KEY);
    uint8_t half[PP_KEY_HALF_SIZE];
    size_t got = 0;
    while (got < sizeof(half)) {
        ssize_t n = getrandom(half + got, sizeof(half) - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    for (int i = 0; i < PP_KEY_HALF_SIZE; ++i)
        st->sessionKey[i] = static_cast<uint8_t>(frame[2 + i] ^ half[i] ^ PP_SESSION_KEY_MASK);
    std::vector<uint8_t> out{PP_STX, PP_KEY_FRAME};
    out.insert(out.end(), half, half + PP_KEY_HALF_SIZE);
    out.push_back(PP_ETX);
    uint16_t crc = CRC_CalcCRC16(half, PP_KEY_HALF_SIZE, 0);
    out.push_back(static_cast<uint8_t>(crc));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    if (f) {
        switch (f->kind) {
            case PADFAULT_SILENCE: return;
            case PADFAULT_BAD_CRC: out[19] ^= 0xFF; break;
            case PADFAULT_NO_ETX: out[18] = 0; break;
            case PADFAULT_BAD_STX: out[0] = 0x05; break;
            case PADFAULT_TRUNCATE: out.resize(10); break;
            case PADFAULT_DELAY: Busy(f->arg); break;
            default: break;
        }
    }
    WriteAll(fd, out);
}

void Answer(SPadState* st, int fd, uint8_t flag, const uint8_t* body, uint32_t n) {
    std::vector<uint8_t> clear(body, body + n);
    if (flag == PP_FLAG_ENCRYPTED) Decode_3DES(clear.data(), clear.data(), static_cast<uint16_t>(n), st->sessionKey);
    if (n < 2) {
        PadTrace_Line(st, "BADFRAME short body");
        return;
    }
    uint8_t cls = clear[0], code = clear[1];
    // An enciphered request leaves its padding zeros in the data; the pad's
    // commands read only what their own fields state.
    SPadReply reply;
    PadCmd_Dispatch(st, cls, code, clear.data() + 2, n - 2, &reply);
    std::fill(clear.begin(), clear.end(), 0);

    ++st->replies;
    uint32_t nth = ++st->perCommand[static_cast<uint16_t>((cls << 8) | code)];
    const SPadFault* f = FindFault(st, PADWHERE_REPLY);
    if (!f) f = FindFault(st, PADWHERE_COMMAND, cls, code, nth);

    std::vector<uint8_t> data = reply.data;
    uint16_t status = reply.status;
    uint8_t echoCode = code;
    if (f && f->kind == PADFAULT_STATUS) status = static_cast<uint16_t>(f->arg);
    if (f && f->kind == PADFAULT_WRONG_ECHO) echoCode = static_cast<uint8_t>(code + 1);
    if (f && f->kind == PADFAULT_OVERSIZE) data.assign(f->arg, 0x5A);
    if (f && f->kind == PADFAULT_SHORT && data.size() > f->arg) data.resize(f->arg);
    if (f) PadTrace_Line(st, "FAULT reply=%u cmd=%u,%u", st->replies, cls, code);
    if (f && f->kind == PADFAULT_SILENCE) return;

    const std::string& mode = st->scen.replyCipher;
    bool encrypt = mode == "always" || (mode == "auto" && flag == PP_FLAG_ENCRYPTED);
    if (f && f->kind == PADFAULT_OVERSIZE) encrypt = false;
    uint32_t len = static_cast<uint32_t>(data.size()) + 2;
    std::vector<uint8_t> bodyOut{cls, echoCode};
    bodyOut.insert(bodyOut.end(), data.begin(), data.end());
    if (encrypt) {
        bodyOut.resize((len + 7) / 8 * 8, 0);
        Encode_3DES(bodyOut.data(), bodyOut.data(), static_cast<uint16_t>(bodyOut.size()), st->sessionKey);
    }
    uint16_t crc = CRC_CalcCRC16(bodyOut.data(), static_cast<uint32_t>(bodyOut.size()), 0);
    std::vector<uint8_t> out{PP_STX, encrypt ? PP_FLAG_ENCRYPTED : PP_FLAG_PLAIN, static_cast<uint8_t>(len),
                             static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(status),
                             static_cast<uint8_t>(status >> 8)};
    out.insert(out.end(), bodyOut.begin(), bodyOut.end());
    out.push_back(PP_ETX);
    out.push_back(static_cast<uint8_t>(crc));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    if (f) {
        switch (f->kind) {
            case PADFAULT_BAD_CRC: out[out.size() - 2] ^= 0xFF; break;
            case PADFAULT_NO_ETX: out[out.size() - 3] = 0x00; break;
            case PADFAULT_BAD_STX: out[0] = 0x05; break;
            case PADFAULT_TRUNCATE: out.resize(PP_REPLY_HEADER + (out.size() - PP_REPLY_HEADER) / 2); break;
            case PADFAULT_DELAY: Busy(f->arg); break;
            case PADFAULT_HOLD: HoldUntilHeard(fd, f->arg); break;
            default: break;
        }
    }
    WriteAll(fd, out);
}

// Handles what can be taken from the front of rx; false when more bytes are needed.
bool TakeOne(SPadState* st, int fd, std::vector<uint8_t>& rx) {
    if (rx.empty()) return false;
    if (rx[0] != PP_STX) {
        rx.erase(rx.begin());
        return true;
    }
    if (rx.size() < 2) return false;
    uint8_t kind = rx[1];
    if (kind == PP_LINK_TEST) {
        rx.erase(rx.begin(), rx.begin() + 2);
        if (!FindFault(st, PADWHERE_LINKTEST)) WriteAll(fd, {PP_STX, PP_LINK_TEST});
        return true;
    }
    if (kind == PP_LINK_RELEASE) {
        rx.erase(rx.begin(), rx.begin() + 2);
        PadTrace_Line(st, "RELEASE");
        return true;
    }
    if (kind == PP_KEY_FRAME) {
        if (rx.size() < static_cast<size_t>(PP_KEY_FRAME_SIZE)) return false;
        uint16_t crc = static_cast<uint16_t>(rx[19] | (rx[20] << 8));
        if (rx[18] == PP_ETX && CRC_CalcCRC16(rx.data() + 2, PP_KEY_HALF_SIZE, 0) == crc)
            Agree(st, fd, rx.data());
        else
            PadTrace_Line(st, "BADFRAME key");
        rx.erase(rx.begin(), rx.begin() + PP_KEY_FRAME_SIZE);
        return true;
    }
    if (kind == PP_FLAG_PLAIN || kind == PP_FLAG_ENCRYPTED) {
        if (rx.size() < 4) return false;
        uint32_t n = rx[2] | (rx[3] << 8);
        if (rx.size() < n + PP_REQ_OVERHEAD) return false;
        uint16_t crc = static_cast<uint16_t>(rx[5 + n] | (rx[6 + n] << 8));
        if (rx[4 + n] == PP_ETX && CRC_CalcCRC16(rx.data() + 4, n, 0) == crc &&
            (kind == PP_FLAG_PLAIN || n % 8 == 0))
            Answer(st, fd, kind, rx.data() + 4, n);
        else
            PadTrace_Line(st, "BADFRAME request");
        rx.erase(rx.begin(), rx.begin() + n + PP_REQ_OVERHEAD);
        return true;
    }
    rx.erase(rx.begin());
    return true;
}

}  // namespace

int PadLink_OpenPty(std::string* slavePath) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const char* name = ptsname(master);
    if (name == nullptr) return -1;
    *slavePath = name;
    g_slaveKeeper = open(name, O_RDWR | O_NOCTTY);
    if (g_slaveKeeper >= 0) {
        // Raw from the start: the terminal's own settings come later, and
        // until then no echo or line editing may touch the frames.
        struct termios tio;
        if (tcgetattr(g_slaveKeeper, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(g_slaveKeeper, TCSANOW, &tio);
        }
    }
    return master;
}

void PadLink_Serve(SPadState* st, int master, volatile int* stop) {
    g_stopFlag = stop;
    // Non-blocking, so that a terminal that stops reading cannot hold the pad.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::vector<uint8_t> rx;
    uint8_t buf[4096];
    while (!*stop) {
        struct pollfd p = {master, POLLIN, 0};
        int pr = poll(&p, 1, -1);
        if (pr < 0) {
            if (errno == EINTR) continue;
            return;
        }
        ssize_t n = read(master, buf, sizeof(buf));
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return;
        }
        if (!PadEmv_LineHeard(st, master, static_cast<size_t>(n))) continue;
        rx.insert(rx.end(), buf, buf + n);
        while (TakeOne(st, master, rx)) {
        }
    }
}

// emulators/host/hostemu.cpp
#include "emulators/host/hostemu.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "emulators/host/hostans.h"
#include "emulators/host/hostscen.h"
#include "emulators/common/tlssrv.h"
#include "support/sysclock.h"

static FILE* m_pTrace = nullptr;

enum : uint32_t { HOSTEMU_MAX_REQUEST = 4096 };

static void aux_HostEmu_Trace(const std::string& line) {
    if (m_pTrace == nullptr) return;
    fprintf(m_pTrace, "%s\n", line.c_str());
    fflush(m_pTrace);
}

static int aux_HostEmu_SendFramed(const std::vector<uint8_t>& envelope) {
    std::vector<uint8_t> frame;
    frame.push_back(static_cast<uint8_t>(envelope.size() >> 8));
    frame.push_back(static_cast<uint8_t>(envelope.size() & 0xFF));
    frame.insert(frame.end(), envelope.begin(), envelope.end());
    return TlsSrv_Write(frame.data(), frame.size());
}

// Runs one action; returns false when the client is gone or was dropped.
static bool aux_HostEmu_Perform(const SHostAction& action, const std::string& tag) {
    std::vector<uint8_t> envelope;
    switch (action.eKind) {
        case HOSTACT_WAIT:
            aux_HostEmu_Trace(tag + " wait=" + std::to_string(action.usCount));
            SysClock_SleepMs(action.usCount);
            return true;
        case HOSTACT_DROP:
            aux_HostEmu_Trace(tag + " drop");
            TlsSrv_CloseClient(false);
            return false;
        case HOSTACT_OVERSIZE: {
            aux_HostEmu_Trace(tag + " oversize=1025");
            std::vector<uint8_t> frame(2 + 1025, 'X');
            frame[0] = 0x04;
            frame[1] = 0x01;
            return TlsSrv_Write(frame.data(), frame.size()) == 0;
        }
        case HOSTACT_FRAME: {
            char desc[48];
            snprintf(desc, sizeof(desc), " frame=%04X+%zu", action.usFrameLength, action.bytes.size());
            aux_HostEmu_Trace(tag + desc);
            std::vector<uint8_t> frame;
            frame.push_back(static_cast<uint8_t>(action.usFrameLength >> 8));
            frame.push_back(static_cast<uint8_t>(action.usFrameLength & 0xFF));
            frame.insert(frame.end(), action.bytes.begin(), action.bytes.end());
            return TlsSrv_Write(frame.data(), frame.size()) == 0;
        }
        case HOSTACT_BYTES:
            aux_HostEmu_Trace(tag + " bytes=" + std::to_string(action.bytes.size()));
            return TlsSrv_Write(action.bytes.data(), action.bytes.size()) == 0;
        case HOSTACT_STALL: {
            HostAns_BuildEnvelope(action, &envelope);
            aux_HostEmu_Trace(tag + " stall " + HostAns_DescribeLast());
            uint8_t prefix[2] = {static_cast<uint8_t>(envelope.size() >> 8),
                                 static_cast<uint8_t>(envelope.size() & 0xFF)};
            if (TlsSrv_Write(prefix, sizeof(prefix)) != 0) return false;
            // Silence until the terminal gives up and hangs up (or the idle limit ends it).
            uint8_t sink[256];
            while (TlsSrv_Read(sink, 1) == 0) {
            }
            TlsSrv_CloseClient(false);
            return false;
        }
        case HOSTACT_HOLDON:
            for (unsigned i = 0; i < action.usCount; ++i) {
                HostAns_BuildEnvelope(action, &envelope);
                aux_HostEmu_Trace(tag + " holdon " + HostAns_DescribeLast());
                if (aux_HostEmu_SendFramed(envelope) != 0) return false;
            }
            return true;
        default:
            if (HostAns_BuildEnvelope(action, &envelope) != 0) return true;
            aux_HostEmu_Trace(tag + " " + HostAns_DescribeLast());
            return aux_HostEmu_SendFramed(envelope) == 0;
    }
}

// Serves one connected client until it hangs up; requestNo counts requests across clients.
static void aux_HostEmu_Serve(unsigned conn, unsigned* requestNo) {
    std::vector<uint8_t> packet(HOSTEMU_MAX_REQUEST);
    for (;;) {
        uint8_t prefix[2];
        if (TlsSrv_Read(prefix, 2) != 0) {
            aux_HostEmu_Trace("END " + std::to_string(conn));
            TlsSrv_CloseClient(true);
            return;
        }
        uint32_t length = static_cast<uint32_t>(prefix[0]) << 8 | prefix[1];
        unsigned n = ++*requestNo;
        std::string tag = "ANS " + std::to_string(n);
        if (length > HOSTEMU_MAX_REQUEST || length == 0 || TlsSrv_Read(packet.data(), length) != 0) {
            aux_HostEmu_Trace("REQ " + std::to_string(n) + " conn=" + std::to_string(conn) +
                              " bad-frame length=" + std::to_string(length));
            TlsSrv_CloseClient(false);
            return;
        }
        HostAns_Decode(packet.data(), static_cast<uint16_t>(length));
        aux_HostEmu_Trace("REQ " + std::to_string(n) + " conn=" + std::to_string(conn) + " " +
                          HostAns_TraceRequest());
        for (const SHostAction& action : HostScen_ForRequest(n - 1)) {
            if (!aux_HostEmu_Perform(action, tag)) {
                aux_HostEmu_Trace("END " + std::to_string(conn));
                return;
            }
        }
    }
}

int HostEmu_Run(const SHostEmuConfig* config) {
    std::string err;
    if (config->pszScenario != nullptr && HostScen_Load(config->pszScenario, &err) != 0) {
        fprintf(stderr, "host_emu: %s\n", err.c_str());
        return 2;
    }
    if (config->pszTrace != nullptr) {
        m_pTrace = fopen(config->pszTrace, "a");
        if (m_pTrace == nullptr) {
            fprintf(stderr, "host_emu: cannot open trace %s\n", config->pszTrace);
            return 2;
        }
    }
    STlsSrvConfig srv = {config->pszCertFile, config->pszKeyFile, config->pszCAFile, config->usPort,
                          config->ulIdleMs, config->bKeepNagle};
    if (TlsSrv_Start(&srv, &err) != 0) {
        fprintf(stderr, "host_emu: %s\n", err.c_str());
        TlsSrv_Stop();
        return 2;
    }
    if (config->pszPortFile != nullptr && TlsSrv_WritePortFile(config->pszPortFile) != 0) {
        fprintf(stderr, "host_emu: cannot write port file %s\n", config->pszPortFile);
        TlsSrv_Stop();
        return 2;
    }
    printf("host_emu listening on 127.0.0.1:%u\n", TlsSrv_Port());
    fflush(stdout);

    unsigned requestNo = 0;
    for (unsigned conn = 1; config->uConnections == 0 || conn <= config->uConnections; ++conn) {
        int rc = TlsSrv_Accept(&err);
        if (rc != 0) {
            aux_HostEmu_Trace("CONN " + std::to_string(conn) + " failed " + err);
            continue;
        }
        aux_HostEmu_Trace("CONN " + std::to_string(conn) + " " + TlsSrv_SessionInfo());
        aux_HostEmu_Serve(conn, &requestNo);
    }
    TlsSrv_Stop();
    if (m_pTrace) fclose(m_pTrace);
    return 0;
}

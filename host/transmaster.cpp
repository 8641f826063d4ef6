// host/transmaster.cpp
#include "host/transmaster.h"

#include <cstring>

#include "host/msgtrace.h"
#include "host/netlayer.h"
#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"

int Transmaster_Connect() {
    int rc = NetLayer_Connect(g_Config.szHost, g_Config.usSecPort, g_Config.szHostCertName);
    if (rc != 0) {
        LogString("ERROR. Transmaster_Connect. Connect: %d", rc);
        return RES_HOST_CONNECT;
    }
    return 0;
}

int Transmaster_SendPacket(const unsigned char* packet, uint16_t length) {
    if (length > TRANSMASTER_MAX_PACKET || (packet == nullptr && length != 0)) {
        LogString("ERROR. Transmaster_SendPacket. usBufferLen: %d", length);
        return RES_HOST_SEND;
    }
    MsgTrace_HostRequest(packet, length);
    unsigned char frame[TRANSMASTER_MAX_PACKET + 2];
    frame[0] = static_cast<unsigned char>(length >> 8);
    frame[1] = static_cast<unsigned char>(length & 0xFF);
    if (length != 0) memcpy(frame + 2, packet, length);
    int rc = NetLayer_Send(frame, static_cast<uint16_t>(length + 2));
    if (rc < 1) {
        LogString("ERROR. Transmaster_SendPacket. Send: %d", rc);
        return RES_HOST_SEND;
    }
    return 0;
}

int Transmaster_Receive(unsigned char* buffer, uint16_t* length) {
    if (buffer == nullptr || length == nullptr) return RES_HOST_SEND;
    int rc = NetLayer_Receive(buffer, 2, TRANSMASTER_READ_TIMEOUT_S);
    if (rc < 2) {
        LogString("ERROR. Transmaster_Receive. Recv: %d", rc);
        return RES_HOST_SEND;
    }
    uint16_t len = static_cast<uint16_t>(buffer[0] * 256 + buffer[1]);
    // A longer announcement is refused before a byte of it is read: the caller's buffer holds 1024.
    if (len > TRANSMASTER_MAX_PACKET) {
        LogString("ERROR. Transmaster_Receive. Length too big: %d", len);
        return RES_HOST_SEND;
    }
    if (len != 0) {
        rc = NetLayer_Receive(buffer, len, TRANSMASTER_READ_TIMEOUT_S);
        if (rc < len) {
            LogString("ERROR. Transmaster_Receive. Recv2: %d. Length: %d", rc, len);
            return RES_HOST_SEND;
        }
    }
    *length = len;
    MsgTrace_HostResponse(buffer, len);
    return 0;
}

int Transmaster_ReceiveAnswer(unsigned char* buffer, uint16_t limit, const char* who, PFN_TRANSMASTER_PARSE parse,
                              void* context, int* result) {
    for (uint16_t answers = 0; answers < limit; ++answers) {
        uint16_t received = 0;
        int rc = Transmaster_Receive(buffer, &received);
        if (rc != RES_OK) return rc;
        *result = parse(buffer, received, context);
        if (*result != RES_HOST_ONLY_HOLDON) break;
        LogStringEx(LOG_WARNING, "WARNING. %s. HoldOn[%d]", who, answers + 1);
    }
    return RES_OK;
}

int Transmaster_Disconnect() {
    NetLayer_Close();
    return 0;
}

// host/transmaster.h
// Host packets over the secure layer: each packet travels behind a two-byte
// length, most significant byte first, and is at most 1024 bytes long.
#pragma once
#include <cstdint>

enum : uint16_t {
    TRANSMASTER_MAX_PACKET = 1024,     // longest packet either way
    TRANSMASTER_READ_TIMEOUT_S = 45,   // limit of each of the two reads of a packet
};

// Connects to the configured host address and secure port; RES_OK or RES_HOST_CONNECT.
int Transmaster_Connect();
// Sends one packet behind its length; RES_OK, or RES_HOST_SEND (too long or not written).
int Transmaster_SendPacket(const unsigned char* packet, uint16_t length);
// Reads one framed packet into buffer (at least 1024 bytes) and writes its length; RES_OK or RES_HOST_SEND.
int Transmaster_Receive(unsigned char* buffer, uint16_t* length);
// Closes the connection; always 0.
int Transmaster_Disconnect();

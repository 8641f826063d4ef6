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

// Reads one answer of a packet to the host's answer: the packet's length and data, the context the
// caller handed to Transmaster_ReceiveAnswer; the parser's result code.
typedef int (*PFN_TRANSMASTER_PARSE)(const unsigned char* packet, uint16_t length, void* context);
// Reads the host's answers to one request into buffer (at least 1024 bytes), handing each to parse,
// until parse returns anything but RES_HOST_ONLY_HOLDON or limit answers were read; each hold-on is
// logged as "WARNING. <who>. HoldOn[n]". *result gets the last parse's code (it keeps its value when
// limit is 0). RES_OK, or RES_HOST_SEND when an answer could not be read (the connection is left to
// the caller).
int Transmaster_ReceiveAnswer(unsigned char* buffer, uint16_t limit, const char* who, PFN_TRANSMASTER_PARSE parse,
                              void* context, int* result);

// fuzz/fake_net.cpp
#include "fuzz/fake_net.h"

#include <cstring>

#include "fuzz/fuzz_util.h"
#include "host/netlayer.h"

static std::string m_stream;
static size_t m_pos = 0;

void FakeNet_Stream(const std::string& bytes) {
    m_stream = bytes;
    m_pos = 0;
}

void NetLayer_Init() {}
int NetLayer_EnableSSL() { return 0; }
int NetLayer_Connect(const char* address, uint16_t port, const char* certName) { return 0; }
int NetLayer_Send(const unsigned char* data, uint16_t length) { return length; }

int NetLayer_Receive(unsigned char* buffer, uint16_t wanted, uint16_t timeoutSec) {
    size_t have = m_stream.size() - m_pos;
    size_t n = have < wanted ? have : wanted;
    memcpy(buffer, m_stream.data() + m_pos, n);
    m_pos += n;
    if (n < wanted) Fuzz_ClockAdvance(static_cast<uint64_t>(timeoutSec) * 1000u);
    return static_cast<int>(n);
}

void NetLayer_Close() {}
int ravo_random(void* context, unsigned char* output, size_t length) {
    memset(output, 0x42, length);
    return 0;
}
void NetLayer_InitCredentials() {}
int NetLayer_ParseCAFile(const char* path) { return 0; }
int NetLayer_ParseClientCertFile(const char* path) { return 0; }
int NetLayer_ParseClientKeyFile(const char* path) { return 0; }
void NetLayer_FreeCredentials() {}

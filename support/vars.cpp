// support/vars.cpp
#include "support/vars.h"

#include <cstring>

#include "support/payorder.h"

SVars g_Vars;
uint8_t g_pvSharedBuf[SHARED_BUF_SIZE];

void Vars_Clear() { memset(&g_Vars, 0, sizeof(g_Vars)); }

// support/vars.cpp
#include "support/vars.h"

#include <cstring>

SVars g_Vars;

void Vars_Clear() { memset(&g_Vars, 0, sizeof(g_Vars)); }

// support/utilmsg.cpp
#include "support/utilmsg.h"

#include "support/resource.h"

#include <cstdio>

static UtilMsg_ShowFn pfExternShowMessage = nullptr;

void UtilMsg_Init(UtilMsg_ShowFn show) { pfExternShowMessage = show; }

void UtilMsg_Display(const char* text) {
    if (pfExternShowMessage == nullptr || text == nullptr) return;
    // The application gets its own copy: it may write into it, and the
    // caller's text is often the shared conversion buffer or a constant.
    char copy[1024];
    snprintf(copy, sizeof(copy), "%s", text);
    pfExternShowMessage(copy);
}

void UtilMsg_SetCursorMode(int mode) { (void)mode; }

void UtilMsg_Show(const char* cp1251Text) { UtilMsg_Display(Resource_GetInformMessage(cp1251Text)); }

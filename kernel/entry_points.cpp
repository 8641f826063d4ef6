// kernel/entry_points.cpp
// The four exports of libRAVOux.so; everything else in the library is hidden.
// They join the operation kernel and the remote-management session, which
// are peers below them.
#include "kernel/kernel.h"
#include "remote/kwrmmgr.h"

#define RAVO_EXPORT extern "C" __attribute__((visibility("default")))

RAVO_EXPORT int PerformCardOperation(char* request, char** response) {
    *response = nullptr;
    return int_PerformCardOperation(request, response, nullptr, int_RemoteManageSession);
}

RAVO_EXPORT int PerformCardOperationCb(char* request, char** response, void (*show)(char*)) {
    *response = nullptr;
    return int_PerformCardOperation(request, response, show, int_RemoteManageSession);
}

RAVO_EXPORT int CompleteCardOperation() { return 0; }

RAVO_EXPORT int CompleteCardOperationCb() { return 0; }

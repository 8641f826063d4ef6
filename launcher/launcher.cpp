// launcher/launcher.cpp
#include "launcher/launcher.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>

#include "support/result_codes.h"

enum { REQUEST_MAX = 2048 };

typedef int (*PFN_PERFORM)(char*, char**);

int GetLength(const char* path, long* length) {
    if (path == nullptr || path[0] == '\0') return RES_FILE_EMPTY_PATH;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return RES_FILE_OPEN;
    if (fseek(file, 0, SEEK_END) != 0) {
        fclose(file);
        return RES_FILE_SEEK;
    }
    long pos = ftell(file);
    fclose(file);
    if (pos < 0) return RES_FILE_NEG_POS;
    *length = pos;
    return RES_OK;
}

int ReadFileToBuf(const char* path, char* buffer, long* length) {
    if (path == nullptr || path[0] == '\0') return RES_FILE_EMPTY_PATH;
    FILE* file = fopen(path, "r+b");  // the request file must be writable by the launcher
    if (file == nullptr) return RES_FILE_OPEN;
    if (fseek(file, 0, SEEK_END) != 0) {
        fclose(file);
        return RES_FILE_SEEK;
    }
    long size = ftell(file);
    if (*length == 0 || *length > size) *length = size;
    fseek(file, 0, SEEK_SET);
    *length = static_cast<long>(fread(buffer, 1, static_cast<size_t>(*length), file));
    fclose(file);
    return RES_OK;
}

int Launcher_Run() {
    void* library = dlopen("./libRAVOux.so", RTLD_LAZY);
    if (library == nullptr) return RES_LAUNCH_NO_LIBRARY;
    dlerror();
    PFN_PERFORM perform = reinterpret_cast<PFN_PERFORM>(dlsym(library, "PerformCardOperation"));
    if (dlerror() != nullptr) return RES_LAUNCH_NO_ENTRY;

    long length = 0;
    if (GetLength("RAVORQ.XML", &length) != RES_OK || length < 1 || length > REQUEST_MAX) return RES_LAUNCH_REQUEST;
    static char request[REQUEST_MAX + 1];
    memset(request, 0, sizeof(request));
    if (ReadFileToBuf("RAVORQ.XML", request, &length) != RES_OK) return RES_LAUNCH_REQUEST;

    char* response = nullptr;
    const int performed = perform(request, &response);
    dlclose(library);
    // Another call holds the payment directory: RAVORS.XML is that call's
    // answer (or about to be), not this one's, and the exit code says so.
    if (response == nullptr && performed == RES_TERMINAL_BUSY) return RES_LAUNCH_BUSY;
    if (response == nullptr) return RES_LAUNCH_NO_RESPONSE;
    delete[] response;
    return RES_OK;
}

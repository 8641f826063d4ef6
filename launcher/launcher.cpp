// launcher/launcher.cpp
#include "launcher/launcher.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>

// The file utilities' codes, repeated here: the launcher links nothing of the library.
enum { LAUNCHER_FILE_OPEN = 11000, LAUNCHER_FILE_SEEK = 11005, LAUNCHER_FILE_NEG_POS = 11006,
       LAUNCHER_FILE_EMPTY_PATH = 11008 };
enum { REQUEST_MAX = 2048 };

typedef int (*PFN_PERFORM)(char*, char**);

int GetLength(const char* path, long* length) {
    if (path == nullptr || path[0] == '\0') return LAUNCHER_FILE_EMPTY_PATH;
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return LAUNCHER_FILE_OPEN;
    if (fseek(file, 0, SEEK_END) != 0) {
        fclose(file);
        return LAUNCHER_FILE_SEEK;
    }
    long pos = ftell(file);
    fclose(file);
    if (pos < 0) return LAUNCHER_FILE_NEG_POS;
    *length = pos;
    return 0;
}

int ReadFileToBuf(const char* path, char* buffer, long* length) {
    if (path == nullptr || path[0] == '\0') return LAUNCHER_FILE_EMPTY_PATH;
    FILE* file = fopen(path, "r+b");  // the request file must be writable by the launcher
    if (file == nullptr) return LAUNCHER_FILE_OPEN;
    if (fseek(file, 0, SEEK_END) != 0) {
        fclose(file);
        return LAUNCHER_FILE_SEEK;
    }
    long size = ftell(file);
    if (*length == 0 || *length > size) *length = size;
    fseek(file, 0, SEEK_SET);
    *length = static_cast<long>(fread(buffer, 1, static_cast<size_t>(*length), file));
    fclose(file);
    return 0;
}

int Launcher_Run() {
    void* library = dlopen("./libRAVOux.so", RTLD_LAZY);
    if (library == nullptr) return -1;
    dlerror();
    PFN_PERFORM perform = reinterpret_cast<PFN_PERFORM>(dlsym(library, "PerformCardOperation"));
    if (dlerror() != nullptr) return -2;

    long length = 0;
    if (GetLength("RAVORQ.XML", &length) != 0 || length < 1 || length > REQUEST_MAX) return -3;
    static char request[REQUEST_MAX + 1];
    memset(request, 0, sizeof(request));
    if (ReadFileToBuf("RAVORQ.XML", request, &length) != 0) return -3;

    char* response = nullptr;
    perform(request, &response);
    dlclose(library);
    if (response == nullptr) return -4;
    delete[] response;
    return 0;
}

// launcher/launcher.cpp
#include "launcher/launcher.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"

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

// Says why the run ends with status: a line of the daily log, or, when the
// log cannot be written (no LOG, a read-only payment directory, a full disk),
// the same line on standard error, which the point-of-sale plug-in records.
// Returns status.
static int aux_Launcher_Fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
static int aux_Launcher_Fail(int status, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    UtilFile_CreateDir("LOG");
    if (LogString("ERROR. Launcher_Run. %s (exit code %d)", text, status & 0xFF) != RES_OK) {
        fprintf(stderr, "Ravo: %s (exit code %d)\n", text, status & 0xFF);
    }
    return status;
}

// Why the request cannot be handed over, in words; nullptr when it can.
static const char* aux_Launcher_RequestFault(long* length, char* reason, size_t size) {
    errno = 0;
    int rc = GetLength("RAVORQ.XML", length);
    if (rc != RES_OK) {
        snprintf(reason, size, "not read: %s", errno != 0 ? strerror(errno) : "its length is unknown");
        return reason;
    }
    if (*length < 1) return "empty: the point-of-sale plug-in wrote no request";
    if (*length > REQUEST_MAX) {
        snprintf(reason, size, "%ld bytes long, more than the %d a request may have", *length, REQUEST_MAX);
        return reason;
    }
    return nullptr;
}

int Launcher_Run() {
    void* library = dlopen("./libRAVOux.so", RTLD_LAZY);
    if (library == nullptr) {
        const char* why = dlerror();
        return aux_Launcher_Fail(RES_LAUNCH_NO_LIBRARY, "./libRAVOux.so not loaded: %s", why != nullptr ? why : "");
    }
    dlerror();
    PFN_PERFORM perform = reinterpret_cast<PFN_PERFORM>(dlsym(library, "PerformCardOperation"));
    if (const char* why = dlerror()) {
        return aux_Launcher_Fail(RES_LAUNCH_NO_ENTRY, "No PerformCardOperation in ./libRAVOux.so: %s", why);
    }

    long length = 0;
    char reason[160];
    if (const char* fault = aux_Launcher_RequestFault(&length, reason, sizeof(reason))) {
        return aux_Launcher_Fail(RES_LAUNCH_REQUEST, "Request RAVORQ.XML %s", fault);
    }
    static char request[REQUEST_MAX + 1];
    memset(request, 0, sizeof(request));
    errno = 0;
    if (ReadFileToBuf("RAVORQ.XML", request, &length) != RES_OK) {
        return aux_Launcher_Fail(RES_LAUNCH_REQUEST, "Request RAVORQ.XML not opened for reading and writing: %s",
                                 strerror(errno));
    }

    char* response = nullptr;
    const int performed = perform(request, &response);
    dlclose(library);
    // Another call holds the payment directory: RAVORS.XML is that call's
    // answer (or about to be), not this one's, and the exit code says so.
    // The library has logged the refusal; a second line would add nothing.
    if (response == nullptr && performed == RES_TERMINAL_BUSY) return RES_LAUNCH_BUSY;
    if (response == nullptr) {
        return aux_Launcher_Fail(RES_LAUNCH_NO_RESPONSE, "The library gave no response [%d]; the lines before this "
                                 "one (or the result codes of the README) say why", performed);
    }
    delete[] response;
    return RES_OK;
}

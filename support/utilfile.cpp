// support/utilfile.cpp
#include "support/utilfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/log.h"
#include "support/result_codes.h"

static UtilFile_FaultHook m_FaultHook = nullptr;

static bool aux_Fault(const char* step, const char* path) {
    return m_FaultHook != nullptr && m_FaultHook(step, path) != 0;
}

void UtilFile_SetFaultHook(UtilFile_FaultHook hook) { m_FaultHook = hook; }

const char* UtilFile_GetPathDel() { return "/"; }

char* UtilFile_IncPathDel(char* path) {
    size_t len = strlen(path);
    if (len == 0 || path[len - 1] != '/') strcat(path, "/");
    return path;
}

char* UtilFile_CreateFilePath(char* out, const char* dir, const char* name) {
    if (out != dir) strcpy(out, dir);
    UtilFile_IncPathDel(out);
    strcat(out, name);
    return out;
}

int UtilFile_ChangeCurDir(const char* path) {
    char buf[1024];
    snprintf(buf, sizeof(buf), "%s", path);
    size_t len = strlen(buf);
    if (len > 3 && buf[len - 1] == '/') buf[len - 1] = '\0';
    if (chdir(buf) != 0) return Error_LogDetail(path, "UtilFile_ChangeCurDir", RES_FILE_CHDIR);
    return RES_OK;
}

int UtilFile_GetDirFromPath(const char* path, char* out) {
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        out[0] = '\0';
        return Error_LogDetail(path, "UtilFile_GetDirFromPath", RES_FILE_PATH);
    }
    size_t n = static_cast<size_t>(slash - path) + 1;
    memmove(out, path, n);
    out[n] = '\0';
    return RES_OK;
}

int UtilFile_GetFileNameFromPath(const char* path, char* out) {
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (strlen(name) > MAX_FILE_NAME_LENGTH) {
        out[0] = '\0';
        return Error_LogDetail(path, "UtilFile_GetFileNameFromPath. MAX_FILE_NAME_LENGTH", RES_FILE_PATH);
    }
    memmove(out, name, strlen(name) + 1);
    return RES_OK;
}

int UtilFile_IsExists(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return 0;
    fclose(file);
    return 1;
}

static int aux_LengthOfOpen(FILE* file, int32_t* length, const char* object, const char* where) {
    if (fseek(file, 0, SEEK_END) != 0) return Error_LogDetail(object, where, RES_FILE_SEEK);
    long pos = ftell(file);
    if (pos < 0) return Error_LogDetail(object, where, RES_FILE_NEG_POS);
    *length = static_cast<int32_t>(pos);
    return RES_OK;
}

int UtilFile_GetLength(const char* path, int32_t* length) {
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, "UtilFile_GetLength", RES_FILE_EMPTY_PATH);
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return Error_LogDetail(path, "UtilFile_GetLength", RES_FILE_OPEN);
    int rc = aux_LengthOfOpen(file, length, path, "UtilFile_GetLength");
    fclose(file);
    return rc;
}

int UtilFile_GetLength(FILE* file, int32_t* length) {
    if (file == nullptr) return Error_LogDetail("hFile", "UtilFile_GetLength2", RES_FILE_NULL_HANDLE);
    long saved = ftell(file);
    int rc = aux_LengthOfOpen(file, length, "hFile", "UtilFile_GetLength2");
    if (saved >= 0) fseek(file, saved, SEEK_SET);
    return rc;
}

// Writes all of buffer to fd, flushes it to the disk; the fault seam may stop it half-way.
static int aux_WriteAllAndSync(int fd, const void* buffer, int32_t n, const char* path) {
    const char* p = static_cast<const char*>(buffer);
    int32_t left = n;
    int fault = m_FaultHook != nullptr ? m_FaultHook("write", path) : 0;
    // A torn write: the first half reaches the file, then the "crash".
    if (fault == UTILFILE_FAULT_TORN) left = n / 2;
    else if (fault != 0) return RES_FILE_WRITE;
    while (left > 0) {
        ssize_t done = write(fd, p, static_cast<size_t>(left));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return RES_FILE_WRITE;
        p += done;
        left -= static_cast<int32_t>(done);
    }
    if (fault != 0) return RES_FILE_WRITE;
    if (aux_Fault("fsync", path)) return RES_FILE_WRITE;
    if (fsync(fd) != 0) return RES_FILE_WRITE;
    return RES_OK;
}

static int aux_WriteFile(const char* path, const void* buffer, int32_t n, int flags, const char* where) {
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, where, RES_FILE_EMPTY_PATH);
    if (aux_Fault("open", path)) return Error_LogDetail(path, where, RES_FILE_OPEN);
    int fd = open(path, flags, 0666);
    if (fd < 0) return Error_LogDetail(path, where, RES_FILE_OPEN);
    int rc = aux_WriteAllAndSync(fd, buffer, n, path);
    if (close(fd) != 0 && rc == RES_OK) rc = RES_FILE_WRITE;
    if (rc != RES_OK) return Error_LogDetail(path, where, rc);
    return RES_OK;
}

int UtilFile_WriteBufToFile(const char* path, const void* buffer, int32_t n) {
    return aux_WriteFile(path, buffer, n, O_WRONLY | O_CREAT | O_TRUNC, "UtilFile_WriteBufToFile");
}

int UtilFile_AppendBufToFile(const char* path, const void* buffer, int32_t n) {
    const bool existed = path != nullptr && path[0] != '\0' && access(path, F_OK) == 0;
    int rc = aux_WriteFile(path, buffer, n, O_WRONLY | O_CREAT | O_APPEND, "UtilFile_AppendBufToFile");
    if (rc != RES_OK) return rc;
    // A file made here is lost with a power cut until its directory is flushed.
    if (!existed && UtilFile_SyncDir(path) != RES_OK) {
        return Error_LogDetail(path, "UtilFile_AppendBufToFile", RES_FILE_WRITE);
    }
    return RES_OK;
}

int UtilFile_SyncDir(const char* path) {
    char dir[1024];
    // A bare name lives in the current directory (and is no error to log).
    if (strchr(path, '/') == nullptr || strlen(path) >= sizeof(dir) || UtilFile_GetDirFromPath(path, dir) != RES_OK) {
        strcpy(dir, ".");
    }
    if (aux_Fault("dirsync", path)) return RES_FILE_WRITE;
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return RES_FILE_OPEN;
    int rc = fsync(fd) == 0 ? RES_OK : RES_FILE_WRITE;
    close(fd);
    return rc;
}

// A temporary file whose write failed goes, so that none is left behind.
static void aux_DropTemp(const char* tmp) {
    if (!aux_Fault("delete", tmp)) unlink(tmp);
}

int UtilFile_ReplaceFile(const char* path, const void* buffer, int32_t n) {
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, "UtilFile_ReplaceFile", RES_FILE_EMPTY_PATH);
    char tmp[1024];
    snprintf(tmp, sizeof(tmp), "%s.tmp", path);
    int rc = aux_WriteFile(tmp, buffer, n, O_WRONLY | O_CREAT | O_TRUNC, "UtilFile_ReplaceFile");
    if (rc != RES_OK) {
        aux_DropTemp(tmp);
        return rc;
    }
    if (aux_Fault("rename", path) || rename(tmp, path) != 0) {
        aux_DropTemp(tmp);
        return Error_LogDetail(path, "UtilFile_ReplaceFile", RES_FILE_WRITE);
    }
    // Until its directory is flushed the new name may not survive a power cut.
    if (UtilFile_SyncDir(path) != RES_OK) return Error_LogDetail(path, "UtilFile_ReplaceFile", RES_FILE_WRITE);
    return RES_OK;
}

int UtilFile_Rename(const char* from, const char* to) {
    if (aux_Fault("rename", to) || rename(from, to) != 0) return RES_FILE_WRITE;
    return UtilFile_SyncDir(to) == RES_OK ? RES_OK : RES_FILE_WRITE;
}

int UtilFile_Truncate(const char* path, int32_t length) {
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, "UtilFile_Truncate", RES_FILE_EMPTY_PATH);
    if (aux_Fault("truncate", path)) return Error_LogDetail(path, "UtilFile_Truncate", RES_FILE_WRITE);
    int fd = open(path, O_WRONLY);
    if (fd < 0) return Error_LogDetail(path, "UtilFile_Truncate", RES_FILE_OPEN);
    int rc = (ftruncate(fd, length) == 0 && fsync(fd) == 0) ? RES_OK : RES_FILE_WRITE;
    close(fd);
    if (rc != RES_OK) return Error_LogDetail(path, "UtilFile_Truncate", rc);
    return RES_OK;
}

int UtilFile_ReadFileToBuf(const char* path, void* buffer, int32_t* length, int32_t offset, int32_t maximum) {
    if (*length < 0 || *length > 16777215) *length = 0;
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, "UtilFile_ReadFileToBuf", RES_FILE_EMPTY_PATH);
    // Opened for update on purpose: a record file the process may not write is refused here.
    FILE* file = fopen(path, "r+b");
    if (file == nullptr) return Error_LogDetail(path, "UtilFile_ReadFileToBuf", RES_FILE_OPEN);
    if (fseek(file, 0, SEEK_END) != 0) {
        fclose(file);
        return Error_LogDetail(path, "UtilFile_ReadFileToBuf", RES_FILE_SEEK);
    }
    long size = ftell(file);
    if (size < 0) size = 0;
    if (offset < 0) offset = 0;
    int32_t want;
    if (maximum == 0) {
        want = (*length == 0 || *length > size) ? static_cast<int32_t>(size) : *length;
        // Never read past the end from a late offset.
        if (offset > size) want = 0;
        else if (want > size - offset) want = static_cast<int32_t>(size - offset);
    } else {
        long rest = size - offset;
        if (rest < 0) rest = 0;
        want = static_cast<int32_t>(rest < maximum ? rest : maximum);
    }
    size_t got = 0;
    if (want > 0 && fseek(file, offset, SEEK_SET) == 0) got = fread(buffer, 1, static_cast<size_t>(want), file);
    *length = static_cast<int32_t>(got);
    fclose(file);
    return RES_OK;
}

int UtilFile_CreateDir(const char* path) {
    if (mkdir(path, 0777) != 0) return RES_FILE_MKDIR;
    return RES_OK;
}

int UtilFile_Delete(const char* path) {
    if (path == nullptr || path[0] == '\0') return RES_OK;
    if (aux_Fault("delete", path)) return RES_FILE_DELETE;
    if (unlink(path) != 0) return RES_FILE_DELETE;
    return RES_OK;
}

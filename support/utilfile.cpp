// support/utilfile.cpp
#include "support/utilfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/sendfile.h>
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

// Writes all of buffer to fd; the fault seam may stop it half-way.
static int aux_WriteAll(int fd, const void* buffer, int32_t n, const char* path) {
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
    return fault != 0 ? RES_FILE_WRITE : RES_OK;
}

// Flushes fd's data to the disk, through the fault seam.
static int aux_Sync(int fd, const char* path) {
    if (aux_Fault("fsync", path)) return RES_FILE_WRITE;
    return fsync(fd) == 0 ? RES_OK : RES_FILE_WRITE;
}

static int aux_WriteFile(const char* path, const void* buffer, int32_t n, int flags, const char* where) {
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, where, RES_FILE_EMPTY_PATH);
    if (aux_Fault("open", path)) return Error_LogDetail(path, where, RES_FILE_OPEN);
    int fd = open(path, flags, 0666);
    if (fd < 0) return Error_LogDetail(path, where, RES_FILE_OPEN);
    int rc = aux_WriteAll(fd, buffer, n, path);
    if (rc == RES_OK) rc = aux_Sync(fd, path);
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

// A temporary file whose write failed goes, so that none is left behind; errno stays the failure's.
static void aux_DropTemp(const char* tmp) {
    const int err = errno;
    if (!aux_Fault("delete", tmp)) unlink(tmp);
    errno = err;
}

int UtilFile_AsideOpen(SUtilFileAside* aside, const char* path, const char* temp, unsigned mode, int flags) {
    aside->pFile = nullptr;
    aside->iFd = -1;
    aside->szTemp[0] = aside->szPath[0] = '\0';
    aside->ucPlaced = 0;
    if (temp == nullptr || temp[0] == '\0') return RES_FILE_EMPTY_PATH;
    snprintf(aside->szTemp, sizeof(aside->szTemp), "%s", temp);
    if (path != nullptr) snprintf(aside->szPath, sizeof(aside->szPath), "%s", path);
    if (aux_Fault("open", temp)) return RES_FILE_OPEN;
    const bool append = (flags & UTILFILE_ASIDE_APPEND) != 0;
    int fd = open(temp, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), static_cast<mode_t>(mode));
    if (fd < 0) return RES_FILE_OPEN;
    FILE* file = nullptr;
    if ((flags & UTILFILE_ASIDE_EXACT_MODE) == 0 || fchmod(fd, static_cast<mode_t>(mode)) == 0)
        file = fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
        return RES_FILE_OPEN;
    }
    aside->pFile = file;
    aside->iFd = fd;
    return RES_OK;
}

int UtilFile_AsideWrite(SUtilFileAside* aside, const void* buffer, int32_t n) {
    if (aside->pFile == nullptr || n < 0) return RES_FILE_WRITE;
    size_t count = static_cast<size_t>(n);
    int fault = m_FaultHook != nullptr ? m_FaultHook("write", aside->szTemp) : 0;
    if (fault == UTILFILE_FAULT_TORN) count /= 2;
    else if (fault != 0) return RES_FILE_WRITE;
    if (count > 0 && fwrite(buffer, 1, count, aside->pFile) != count) return RES_FILE_WRITE;
    return fault != 0 ? RES_FILE_WRITE : RES_OK;
}

int UtilFile_AsideCopy(SUtilFileAside* aside, int fd, int32_t length) {
    if (aside->pFile == nullptr || length < 0 || fflush(aside->pFile) != 0) return RES_FILE_WRITE;
    off_t want = length;
    int fault = m_FaultHook != nullptr ? m_FaultHook("write", aside->szTemp) : 0;
    if (fault == UTILFILE_FAULT_TORN) want = length / 2;
    else if (fault != 0) return RES_FILE_WRITE;
    // A copy that ends short (the source shrank, the disk filled) is a failure.
    off_t offset = 0;
    while (offset < want) {
        ssize_t n = sendfile(aside->iFd, fd, &offset, static_cast<size_t>(want - offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return RES_FILE_WRITE;
    }
    return fault != 0 ? RES_FILE_WRITE : RES_OK;
}

int UtilFile_AsideClose(SUtilFileAside* aside, int sync) {
    if (aside->pFile == nullptr) return RES_OK;
    // A write lost earlier (through the handle, unlooked at) fails the close too.
    bool ok = fflush(aside->pFile) == 0 && !ferror(aside->pFile);
    if (ok && sync) ok = aux_Sync(aside->iFd, aside->szTemp) == RES_OK;
    const int err = errno;
    if (fclose(aside->pFile) != 0 && ok) ok = false;
    else errno = err;
    aside->pFile = nullptr;
    aside->iFd = -1;
    return ok ? RES_OK : RES_FILE_WRITE;
}

int UtilFile_AsideCommit(SUtilFileAside* aside) {
    if (UtilFile_AsideClose(aside, 1) != RES_OK) {
        aux_DropTemp(aside->szTemp);
        return RES_FILE_WRITE;
    }
    if (aside->szPath[0] == '\0') return RES_OK;
    if (aux_Fault("rename", aside->szPath) || rename(aside->szTemp, aside->szPath) != 0) {
        aux_DropTemp(aside->szTemp);
        return RES_FILE_WRITE;
    }
    aside->ucPlaced = 1;
    // Until its directory is flushed the new name may not survive a power cut.
    return UtilFile_SyncDir(aside->szPath) == RES_OK ? RES_OK : RES_FILE_WRITE;
}

void UtilFile_AsideDrop(SUtilFileAside* aside) {
    if (aside->pFile != nullptr) {
        // The bytes still in the stream's buffer would only be written to be removed.
        __fpurge(aside->pFile);
        fclose(aside->pFile);
        aside->pFile = nullptr;
        aside->iFd = -1;
    }
    if (aside->szTemp[0] != '\0') aux_DropTemp(aside->szTemp);
}

int UtilFile_ReplaceFile(const char* path, const void* buffer, int32_t n) {
    static const char kWhere[] = "UtilFile_ReplaceFile";
    if (path == nullptr || path[0] == '\0') return Error_LogDetail(path, kWhere, RES_FILE_EMPTY_PATH);
    char tmp[UTILFILE_PATH_SIZE];
    snprintf(tmp, sizeof(tmp), "%s.tmp", path);
    SUtilFileAside aside;
    int rc = UtilFile_AsideOpen(&aside, path, tmp, 0666, 0);
    // One buffer goes to the disk in one write, past the stream.
    if (rc == RES_OK) rc = aux_WriteAll(aside.iFd, buffer, n, tmp);
    const int closed = UtilFile_AsideClose(&aside, rc == RES_OK);
    if (rc == RES_OK) rc = closed;
    if (rc != RES_OK) {
        Error_LogDetail(tmp, kWhere, rc);
        aux_DropTemp(tmp);
        return rc;
    }
    if (UtilFile_AsideCommit(&aside) != RES_OK) return Error_LogDetail(path, kWhere, RES_FILE_WRITE);
    return RES_OK;
}

int UtilFile_Rename(const char* from, const char* to) {
    if (aux_Fault("rename", to) || rename(from, to) != 0) return RES_FILE_WRITE;
    return UtilFile_SyncDir(to) == RES_OK ? RES_OK : RES_FILE_WRITE;
}

int UtilFile_ReplaceLink(const char* link, const char* target) {
    char tmp[UTILFILE_PATH_SIZE];
    snprintf(tmp, sizeof(tmp), "%s.tmp", link);
    // A link left aside by an earlier try would stand in the new one's way.
    unlink(tmp);
    bool made = !aux_Fault("symlink", tmp) && symlink(target, tmp) == 0;
    if (made && UtilFile_Rename(tmp, link) == RES_OK) return RES_OK;
    const int err = errno;
    unlink(tmp);
    errno = err;
    return RES_FILE_WRITE;
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

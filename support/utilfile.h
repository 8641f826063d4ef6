// support/utilfile.h
// Whole-file operations of the record modules. Failures are logged through
// Error_LogDetail and returned as codes RES_FILE_OPEN..RES_FILE_DELETE.
#pragma once
#include <cstdint>
#include <cstdio>

enum { MAX_FILE_NAME_LENGTH = 32 };

// Returns the path separator "/".
const char* UtilFile_GetPathDel();
// Appends "/" to path unless it ends with one; returns path.
char* UtilFile_IncPathDel(char* path);
// out = dir, "/" when dir lacks one, name; returns out.
char* UtilFile_CreateFilePath(char* out, const char* dir, const char* name);
// Changes the current directory (a trailing "/" on a path over 3 characters is ignored); RES_OK or
// RES_FILE_CHDIR.
int UtilFile_ChangeCurDir(const char* path);
// out = path up to and including its last "/"; RES_OK or RES_FILE_PATH.
int UtilFile_GetDirFromPath(const char* path, char* out);
// out = the part after the last "/" (at most 32 characters); RES_OK or RES_FILE_PATH.
int UtilFile_GetFileNameFromPath(const char* path, char* out);
// Returns 1 when the file can be opened for reading, else 0.
int UtilFile_IsExists(const char* path);
// Length of a file in bytes; RES_OK, RES_FILE_EMPTY_PATH, RES_FILE_OPEN, RES_FILE_SEEK or RES_FILE_NEG_POS.
int UtilFile_GetLength(const char* path, int32_t* length);
// Length of an open file, position restored; RES_OK, RES_FILE_NULL_HANDLE, RES_FILE_SEEK or RES_FILE_NEG_POS.
int UtilFile_GetLength(FILE* file, int32_t* length);
// Creates or truncates the file, writes n bytes, flushes them to the disk; RES_OK,
// RES_FILE_EMPTY_PATH, RES_FILE_OPEN or RES_FILE_WRITE.
int UtilFile_WriteBufToFile(const char* path, const void* buffer, int32_t n);
// Reads length bytes (or up to maximum when non-zero) from offset; RES_OK, RES_FILE_EMPTY_PATH,
// RES_FILE_OPEN or RES_FILE_SEEK.
int UtilFile_ReadFileToBuf(const char* path, void* buffer, int32_t* length, int32_t offset, int32_t maximum);
// Creates a directory (mode 0777 under the umask); RES_OK or RES_FILE_MKDIR.
int UtilFile_CreateDir(const char* path);
// Removes a file (an empty path does nothing); RES_OK or RES_FILE_DELETE.
int UtilFile_Delete(const char* path);

// Replaces the file whole and atomically: writes "<path>.tmp", flushes it, renames it over path and
// flushes the directory, so that a crash or a power cut leaves either the old or the new content;
// RES_OK, RES_FILE_EMPTY_PATH, RES_FILE_OPEN, RES_FILE_WRITE or RES_FILE_DELETE. A failure before the
// rename leaves the old file and no temporary; one of the directory's flush leaves the new file in
// place, not known to survive a power cut. (The write-aside below, for a file of one buffer.)
int UtilFile_ReplaceFile(const char* path, const void* buffer, int32_t n);
// Appends n bytes at the end of the file (created when missing, its directory then flushed) and
// flushes them to the disk; RES_OK, RES_FILE_EMPTY_PATH, RES_FILE_OPEN or RES_FILE_WRITE.
int UtilFile_AppendBufToFile(const char* path, const void* buffer, int32_t n);
// Renames from over to (replacing it atomically) and flushes the directory; RES_OK or
// RES_FILE_WRITE with errno kept (from still there: not renamed; gone: renamed, the directory not
// flushed); not logged, the caller words the failure.
int UtilFile_Rename(const char* from, const char* to);
// Cuts the file to length bytes and flushes it; RES_OK, RES_FILE_EMPTY_PATH, RES_FILE_OPEN or RES_FILE_WRITE.
int UtilFile_Truncate(const char* path, int32_t length);
// Flushes path's directory (its entries: names made, renamed or removed) to the disk; RES_OK,
// RES_FILE_OPEN or RES_FILE_WRITE.
int UtilFile_SyncDir(const char* path);

// The write-aside: every file the terminal replaces is written under a
// temporary name, flushed to the disk, renamed over the file it replaces and
// its directory flushed, so that a crash or a power cut leaves the old or the
// new file, never a part; on any failure the temporary goes. A file that is
// streamed in parts (a download appended block by block and resumed by a later
// session, an answer the next call may still need) is the temporary itself
// until it is put in place: UtilFile_AsideClose makes it durable where it lies
// and UtilFile_Rename moves it later. These functions do not log; the caller
// words a failure (errno is kept).
enum { UTILFILE_PATH_SIZE = 1024 };
enum {
    UTILFILE_ASIDE_APPEND = 1,      // what the temporary holds stays, and writes go after it (a resumed download)
    UTILFILE_ASIDE_EXACT_MODE = 2,  // the temporary gets mode exactly: no umask; a leftover one made wider is narrowed
};
struct SUtilFileAside {
    FILE* pFile;                        // the temporary, open for writing; null once closed
    int iFd;                            // its descriptor, -1 once closed
    char szTemp[UTILFILE_PATH_SIZE];    // where the bytes are written
    char szPath[UTILFILE_PATH_SIZE];    // the name they take at UtilFile_AsideCommit, "" for none
    uint8_t ucPlaced;                   // 1 once the temporary took that name (its directory maybe not flushed)
};
// Opens temp for writing (created with mode, emptied unless UTILFILE_ASIDE_APPEND) as the coming
// content of path (null: the temporary is the file, see above); RES_OK, RES_FILE_EMPTY_PATH or
// RES_FILE_OPEN (nothing left open).
int UtilFile_AsideOpen(SUtilFileAside* aside, const char* path, const char* temp, unsigned mode, int flags);
// Writes n bytes through the stream's buffer; RES_OK or RES_FILE_WRITE.
int UtilFile_AsideWrite(SUtilFileAside* aside, const void* buffer, int32_t n);
// Writes length bytes of the open file fd, from its start, after what was written; RES_OK or
// RES_FILE_WRITE when fewer reached the temporary.
int UtilFile_AsideCopy(SUtilFileAside* aside, int fd, int32_t length);
// Closes the temporary after writing out the stream, and with sync set flushes it to the disk
// first; RES_OK, or RES_FILE_WRITE when a byte written (through the stream or its handle) or the
// flush failed. The temporary stays; safe when closed.
int UtilFile_AsideClose(SUtilFileAside* aside, int sync);
// Closes and flushes the temporary (when still open), renames it over path and flushes the
// directory; RES_OK or RES_FILE_WRITE. A failure before the rename removes the temporary and
// leaves path as it was; one of the directory's flush leaves the new file in place (ucPlaced),
// not known to survive a power cut. Without a path the temporary is only made durable where it lies.
int UtilFile_AsideCommit(SUtilFileAside* aside);
// Closes the temporary (when still open) without flushing it and removes it.
void UtilFile_AsideDrop(SUtilFileAside* aside);
// Makes link a symbolic link to target in one step: a new link "<link>.tmp" renamed over the old
// one, the directory flushed, so that there is always a link, old or new; RES_OK or RES_FILE_WRITE
// with errno kept (the new link not made, or made and its directory not flushed).
int UtilFile_ReplaceLink(const char* link, const char* target);

// Fault-injection seam for crash tests: when set, the hook is called before
// each durable step ("open", "write", "fsync", "rename", "dirsync",
// "truncate", "delete", "symlink") of the writing functions above; a non-zero
// return makes the step fail as a crash would, leaving the files as they are at
// that point. UTILFILE_FAULT_TORN returned at "write" lets the first half of
// the bytes reach the file before the failure (a torn write).
enum { UTILFILE_FAULT_TORN = 2 };
typedef int (*UtilFile_FaultHook)(const char* step, const char* path);
void UtilFile_SetFaultHook(UtilFile_FaultHook hook);

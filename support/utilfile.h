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
// place, not known to survive a power cut.
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

// Fault-injection seam for crash tests: when set, the hook is called before
// each durable step ("open", "write", "fsync", "rename", "dirsync",
// "truncate", "delete") of the writing functions above; a non-zero return
// makes the step fail as a crash would, leaving the files as they are at that
// point. UTILFILE_FAULT_TORN returned at "write" lets the first half of the
// bytes reach the file before the failure (a torn write).
enum { UTILFILE_FAULT_TORN = 2 };
typedef int (*UtilFile_FaultHook)(const char* step, const char* path);
void UtilFile_SetFaultHook(UtilFile_FaultHook hook);

// launcher/launcher.h
// The launcher Ravo: loads ./libRAVOux.so and hands it RAVORQ.XML.
#pragma once

// Length of a file; RES_OK, RES_FILE_EMPTY_PATH, RES_FILE_OPEN, RES_FILE_SEEK or RES_FILE_NEG_POS.
int GetLength(const char* path, long* length);
// Reads *length bytes (the whole file when 0 or longer) from the start of a
// file the launcher may also write; RES_OK, RES_FILE_EMPTY_PATH, RES_FILE_OPEN or RES_FILE_SEEK.
int ReadFileToBuf(const char* path, char* buffer, long* length);
// Runs one operation in the current directory; RES_OK or a RES_LAUNCH_ status
// (RES_LAUNCH_BUSY when the library refused it because another call was running).
int Launcher_Run();

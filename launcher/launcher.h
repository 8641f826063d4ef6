// launcher/launcher.h
// The launcher Ravo: loads ./libRAVOux.so and hands it RAVORQ.XML.
#pragma once

// Length of a file; 0, 11008, 11000, 11005 or 11006.
int GetLength(const char* path, long* length);
// Reads *length bytes (the whole file when 0 or longer) from the start; 0, 11008, 11000 or 11005.
int ReadFileToBuf(const char* path, char* buffer, long* length);
// Runs one operation in the current directory; returns 0, -1, -2, -3 or -4.
int Launcher_Run();

// support/version.h
// The library's own version, one number for the whole build (the project
// version). It lives in a translation unit of its own, compiled into each
// shared library and program, so that one set of modules can be linked into
// libraries that report different versions.
#pragma once
#include <cstdint>

// The version as major, minor and build in the top three bytes, lowest byte 0 (0x01030200 for 1.3.2).
uint32_t Version_GetNumber();
// The version as text, "1.3.2".
const char* Version_GetText();

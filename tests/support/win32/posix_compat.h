// Included ahead of every source of the Windows test build: the few POSIX
// calls the suites use that mingw-w64's C library spells differently.
#pragma once

#if defined(_WIN32) && defined(__cplusplus)
#include <direct.h>
#include <io.h>
#include <sys/stat.h>

// POSIX mkdir with a mode; Windows has no permission bits to set.
inline int mkdir(const char* path, int /*mode*/) { return ::_mkdir(path); }
#endif

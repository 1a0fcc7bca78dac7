// Included ahead of every source of the Windows test build: the few POSIX
// calls the suites use that mingw-w64's C library spells differently.
#pragma once

#if defined(_WIN32) && defined(__cplusplus)
#include <direct.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>

// POSIX setenv (the value is always set here; tests never ask otherwise).
inline int setenv(const char* name, const char* value, int /*overwrite*/) { return ::_putenv_s(name, value); }
inline int unsetenv(const char* name) { return ::_putenv_s(name, ""); }

// POSIX mkdir with a mode; Windows has no permission bits to set.
inline int mkdir(const char* path, int /*mode*/) { return ::_mkdir(path); }
#endif

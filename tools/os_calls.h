// The few calls of the matwcx command that differ between Windows and the
// rest: loading the plug-in (dlopen/dlsym, or LoadLibrary/GetProcAddress as
// Total Commander does), the program's own path, private temporary folders
// and the descriptor juggling that silences the plug-in's output.
#pragma once

#include <ctime>
#include <string>

namespace matwcx::os {

// The characters that end a variable's name in an entry name: the field
// separator and the path separators of the platform's hosts.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kEntryNameEnd = ".\\/";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kEntryNameEnd = "./";
#endif

// Loads the library now, keeping its symbols to itself; null with *why.
void* OpenLibrary(const std::string& path, std::string* why);
// The export of that name, or null.
void* LibrarySymbol(void* library, const char* name);

// The running program's full path, "" when unknown.
std::string ProgramPath();

// A new, empty folder only this user can use, named after `prefix`, in
// `base`; false when it cannot be made.
bool MakeTempFolder(const std::string& base, const char* prefix, std::string* path);

// Descriptor calls of the C library (file descriptor 1 is stdout).
int OpenNullDevice();   // for writing; -1 on failure
int Duplicate(int fd);
int Redirect(int from, int to);   // dup2
void CloseDescriptor(int fd);
long WriteDescriptor(int fd, const void* data, size_t size);   // bytes written, -1 on failure
inline constexpr int kStdoutDescriptor = 1;

// Windows: stdout and stderr in binary mode, so that the command writes the
// same bytes ("\n" line ends) as elsewhere. Nothing to do elsewhere.
void UseBinaryStandardOutput();

// localtime_r / localtime_s; false when the time has no local date.
bool ToLocalTime(std::time_t seconds, std::tm* out);

}  // namespace matwcx::os

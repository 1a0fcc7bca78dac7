#include "tools/os_calls.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace matwcx::os {

#if defined(_WIN32)

void* OpenLibrary(const std::string& path, std::string* why) {
    // The plug-in's own dependencies are looked up beside it, as the hosts do.
    HMODULE module = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        *why = "Windows error " + std::to_string(::GetLastError());
        return nullptr;
    }
    return reinterpret_cast<void*>(module);
}

void* LibrarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string ProgramPath() {
    char self[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) return "";
    return std::string(self, length);
}

bool MakeTempFolder(const std::string& folder, const char* prefix, std::string* path) {
    const std::filesystem::path base(folder);
    const unsigned process = static_cast<unsigned>(::_getpid());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const unsigned serial = (::GetTickCount() * 2654435761u) ^ (attempt * 40503u);
        char name[64];
        std::snprintf(name, sizeof name, "%s-%u-%08x", prefix, process, serial);
        const std::string candidate = (base / name).string();
        // _mkdir fails on an existing folder: the folder is new and ours.
        if (::_mkdir(candidate.c_str()) == 0) {
            *path = candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

int OpenNullDevice() { return ::_open("NUL", _O_WRONLY | _O_NOINHERIT); }
int Duplicate(int fd) { return ::_dup(fd); }
int Redirect(int from, int to) { return ::_dup2(from, to); }
void CloseDescriptor(int fd) { ::_close(fd); }
long WriteDescriptor(int fd, const void* data, size_t size) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return ::_write(fd, data, chunk);
}

void UseBinaryStandardOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool ToLocalTime(std::time_t seconds, std::tm* out) { return ::localtime_s(out, &seconds) == 0; }

#else

void* OpenLibrary(const std::string& path, std::string* why) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* text = ::dlerror();
        *why = text != nullptr ? text : "unknown error";
    }
    return library;
}

void* LibrarySymbol(void* library, const char* name) { return ::dlsym(library, name); }

std::string ProgramPath() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "";
    return std::string(self, static_cast<size_t>(length));
}

bool MakeTempFolder(const std::string& base, const char* prefix, std::string* path) {
    std::string pattern = (std::filesystem::path(base) / prefix).string() + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    *path = pattern;
    return true;
}

int OpenNullDevice() { return ::open("/dev/null", O_WRONLY | O_CLOEXEC); }
int Duplicate(int fd) { return ::dup(fd); }
int Redirect(int from, int to) { return ::dup2(from, to); }
void CloseDescriptor(int fd) { ::close(fd); }
long WriteDescriptor(int fd, const void* data, size_t size) {
    return static_cast<long>(::write(fd, data, size));
}

void UseBinaryStandardOutput() {}

bool ToLocalTime(std::time_t seconds, std::tm* out) { return ::localtime_r(&seconds, out) != nullptr; }

#endif

}  // namespace matwcx::os

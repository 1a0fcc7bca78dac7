#include "platform/host_rules.h"

#include <direct.h>

#include <cctype>
#include <cstring>

namespace platform {

int32_t HostFileTime(uint32_t dos) { return static_cast<int32_t>(dos); }

int32_t HostFileAttr(int32_t windowsAttributes) { return windowsAttributes; }

int MakeDirectory(const char* path) { return ::_mkdir(path); }

bool IsDeviceName(const char* name) {
    if (name == nullptr) return false;
    char upper[5] = {};
    const size_t length = std::strlen(name);
    if (length < 3 || length > 4) return false;
    for (size_t i = 0; i < length; ++i) upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    if (length == 3) {
        return std::strcmp(upper, "CON") == 0 || std::strcmp(upper, "PRN") == 0 || std::strcmp(upper, "AUX") == 0 ||
               std::strcmp(upper, "NUL") == 0;
    }
    return (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) && upper[3] >= '0' &&
           upper[3] <= '9';
}

void UseSystemFolderNames(char* path) {
    if (path == nullptr) return;
    size_t start = 0;   // where the current component begins
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] != '\\' && path[i] != '/') continue;
        // path[start, i) is a folder component: the file's name never ends in
        // a separator.
        size_t end = i;
        while (end > start && (path[end - 1] == ' ' || path[end - 1] == '.')) --end;
        if (end > start && end < i) {
            std::memmove(path + end, path + i, std::strlen(path + i) + 1);
            i = end;
        }
        start = i + 1;
    }
}

}  // namespace platform

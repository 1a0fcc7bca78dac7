#include "platform/host_rules.h"

#include <direct.h>

#include <cstring>

namespace platform {

int32_t HostFileTime(uint32_t dos) { return static_cast<int32_t>(dos); }

int32_t HostFileAttr(int32_t windowsAttributes) { return windowsAttributes; }

int MakeDirectory(const char* path) { return ::_mkdir(path); }

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

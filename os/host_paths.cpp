// Paths the hosts give meaning to, the same rule on every system: the free
// name of a copy, the viewer folders (only the temporary folder,
// HostTempFolders, and the folder names differ).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/host_rules.h"

namespace platform {

namespace {

#if defined(_WIN32)
constexpr bool kIgnoreCase = true;
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
#else
constexpr bool kIgnoreCase = false;
bool IsSeparator(char c) { return c == '/'; }
#endif

char Folded(char c) { return kIgnoreCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Folded(a[i]) != Folded(b[i])) return false;
    }
    return true;
}

// The components of path after `folder`, when path starts with folder's
// components; false otherwise.
bool ComponentsBelow(const char* path, const std::string& folder, std::vector<std::string>* below) {
    size_t length = folder.size();
    while (length > 0 && IsSeparator(folder[length - 1])) --length;   // "/tmp/" is "/tmp"
    if (length == 0) return false;   // no folder, or the root: never the viewer's
    for (size_t i = 0; i < length; ++i) {
        if (path[i] == '\0') return false;
        if (IsSeparator(folder[i]) ? !IsSeparator(path[i]) : Folded(folder[i]) != Folded(path[i])) return false;
    }
    // The folder ends at a separator of the path: "/tmpx" is not below "/tmp".
    if (!IsSeparator(path[length])) return false;
    below->clear();
    const char* at = path + length;
    while (*at != '\0') {
        while (IsSeparator(*at)) ++at;
        const char* end = at;
        while (*end != '\0' && !IsSeparator(*end)) ++end;
        if (end > at) below->emplace_back(at, static_cast<size_t>(end - at));
        at = end;
    }
    return true;
}

}  // namespace

bool FreeName(const char* path, int n, char* out, size_t size) {
    if (size > kMaxPathLength + 1) size = kMaxPathLength + 1;
    const size_t length = std::strlen(path);
    if (n == 1) {
        if (length >= size) return false;
        std::memcpy(out, path, length + 1);
        return true;
    }
    // The extension is the last component's last "." and what follows.
    const char* name = std::strrchr(path, kPathSeparator);
    name = name != nullptr ? name + 1 : path;
    const char* dot = std::strrchr(name, '.');
    const size_t stem = dot != nullptr && dot != name ? static_cast<size_t>(dot - path) : length;
    const int written = std::snprintf(out, size, "%.*s (%d)%s", static_cast<int>(stem), path, n, path + stem);
    return written > 0 && static_cast<size_t>(written) < size;
}

bool IsViewerPathBelow(const char* path, const std::vector<std::string>& tempFolders) {
    if (path == nullptr) return false;
    std::vector<std::string> below;
    for (const std::string& temp : tempFolders) {
        if (!ComponentsBelow(path, temp, &below)) continue;
        bool leaves = false;   // "." and ".." could lead anywhere
        for (const std::string& part : below) leaves = leaves || part == "." || part == "..";
        if (leaves) continue;
        // "<temp>/_dc~~~/<n>/<entry>"; "<temp>\_tc\<entry>".
        if (below.size() >= 3 && SameName(below[0], "_dc~~~")) return true;
        if (kIgnoreCase && below.size() >= 2 && SameName(below[0], "_tc")) return true;
    }
    return false;
}

bool IsHostViewerPath(const char* path) { return IsViewerPathBelow(path, HostTempFolders()); }

}  // namespace platform

#include "os/host_rules.h"

#include <direct.h>

#include <cctype>
#include <cstring>
#include <string>

#include <windows.h>

#include "os/text_encoding.h"
#include "os/win32/wide_path.h"

namespace platform {

int32_t HostFileTime(uint32_t dos) { return static_cast<int32_t>(dos); }

int32_t HostFileAttr(int32_t windowsAttributes) { return windowsAttributes; }


bool HostAnsiToUtf8(const char* text, std::string* out) {
    out->clear();
    if (text == nullptr) return false;
    if (*text == '\0') return true;
    const int units = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) return false;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide.data(), units) != units) return false;
    return NarrowText(wide.c_str(), out);
}

bool Utf8ToHostAnsi(const char* text, std::string* out) {
    out->clear();
    if (text == nullptr) return false;
    const std::wstring wide = WideText(text);
    if (wide.empty()) return *text == '\0';
    BOOL lossy = FALSE;
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, &lossy);
    if (bytes <= 0 || lossy) return false;
    out->assign(static_cast<size_t>(bytes), '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, out->data(), bytes, nullptr, &lossy) != bytes || lossy) {
        return false;
    }
    out->resize(static_cast<size_t>(bytes) - 1);
    return true;
}

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

std::vector<std::string> HostTempFolders() {
    std::vector<std::string> folders;
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    std::string narrow;
    if (length == 0 || length > MAX_PATH || !NarrowText(temp, &narrow)) return folders;
    folders.push_back(narrow);
    // A host may spell it with the short (8.3) names, or the long ones.
    wchar_t longForm[MAX_PATH + 1];
    const DWORD longLength = ::GetLongPathNameW(temp, longForm, MAX_PATH + 1);
    if (longLength > 0 && longLength <= MAX_PATH && NarrowText(longForm, &narrow) && narrow != folders[0]) {
        folders.push_back(narrow);
    }
    return folders;
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

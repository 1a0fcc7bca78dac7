// On Windows the private-profile functions are the system's own, called in
// their UTF-16 forms: the settings file's path may hold any character.
#include "os/profile.h"

#include <cstring>
#include <string>

#include "os/win32/wide_path.h"

namespace platform {

uint32_t GetPrivateProfileSection(const char* section, char* buffer, uint32_t size, const char* file) {
    if (buffer == nullptr || size < 2) return 0;
    std::wstring wide(size, L'\0');
    const DWORD units = ::GetPrivateProfileSectionW(WideText(section).c_str(), wide.data(), static_cast<DWORD>(size),
                                                    WidePath(file).c_str());
    // The lines one by one in UTF-8, each ended by its NUL, as far as they
    // fit; a cut list ends in two NULs as the system's does.
    uint32_t used = 0;
    for (size_t at = 0; at < units && wide[at] != L'\0';) {
        const std::wstring line(wide.c_str() + at);
        at += line.size() + 1;
        std::string narrow;
        if (!NarrowText(line.c_str(), &narrow)) continue;
        if (used + narrow.size() + 2 > size) {
            std::memcpy(buffer + used, narrow.data(), size - 2 - used);
            buffer[size - 2] = '\0';
            buffer[size - 1] = '\0';
            return size - 2;
        }
        std::memcpy(buffer + used, narrow.c_str(), narrow.size() + 1);
        used += static_cast<uint32_t>(narrow.size() + 1);
    }
    buffer[used] = '\0';
    if (used == 0) buffer[1] = '\0';
    return used;
}

int WritePrivateProfileSection(const char* section, const char* lines, const char* file) {
    if (lines == nullptr) {
        return ::WritePrivateProfileSectionW(WideText(section).c_str(), nullptr, WidePath(file).c_str()) ? 1 : 0;
    }
    std::wstring wide;
    for (const char* line = lines; *line != '\0'; line += std::strlen(line) + 1) {
        wide += WideText(line);
        wide += L'\0';
    }
    wide += L'\0';
    return ::WritePrivateProfileSectionW(WideText(section).c_str(), wide.c_str(), WidePath(file).c_str()) ? 1 : 0;
}

int WritePrivateProfileString(const char* section, const char* key, const char* value, const char* file) {
    const std::wstring wideKey = WideText(key);
    const std::wstring wideValue = WideText(value);
    return ::WritePrivateProfileStringW(WideText(section).c_str(), key != nullptr ? wideKey.c_str() : nullptr,
                                        value != nullptr ? wideValue.c_str() : nullptr, WidePath(file).c_str())
               ? 1
               : 0;
}

unsigned GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* file) {
    return static_cast<unsigned>(
        ::GetPrivateProfileIntW(WideText(section).c_str(), WideText(key).c_str(), defaultValue, WidePath(file).c_str()));
}

int WritePrivateProfileStruct(const char* section, const char* key, const void* data, unsigned size,
                              const char* file) {
    // The system's declaration takes a non-const pointer but only reads it.
    return ::WritePrivateProfileStructW(WideText(section).c_str(), WideText(key).c_str(), const_cast<void*>(data), size,
                                        WidePath(file).c_str())
               ? 1
               : 0;
}

}  // namespace platform

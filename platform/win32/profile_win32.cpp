// On Windows the private-profile functions are the system's own.
#include "platform/profile.h"

namespace platform {

uint32_t GetPrivateProfileSection(const char* section, char* buffer, uint32_t size, const char* file) {
    return static_cast<uint32_t>(::GetPrivateProfileSectionA(section, buffer, static_cast<DWORD>(size), file));
}

int WritePrivateProfileSection(const char* section, const char* lines, const char* file) {
    return ::WritePrivateProfileSectionA(section, lines, file) ? 1 : 0;
}

int WritePrivateProfileString(const char* section, const char* key, const char* value, const char* file) {
    return ::WritePrivateProfileStringA(section, key, value, file) ? 1 : 0;
}

unsigned GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* file) {
    return static_cast<unsigned>(::GetPrivateProfileIntA(section, key, defaultValue, file));
}

int WritePrivateProfileStruct(const char* section, const char* key, const void* data, unsigned size,
                              const char* file) {
    // The system's declaration takes a non-const pointer but only reads it.
    return ::WritePrivateProfileStructA(section, key, const_cast<void*>(data), size, file) ? 1 : 0;
}

}  // namespace platform

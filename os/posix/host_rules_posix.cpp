#include "os/host_rules.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "os/file_io.h"
#include "os/file_time.h"

#include "os/text_encoding.h"

namespace platform {

// Double Commander passes UTF-8 to the 8-bit calls here.
bool HostAnsiToUtf8(const char* text, std::string* out) {
    if (text == nullptr) return false;
    *out = text;
    return true;
}

bool Utf8ToHostAnsi(const char* text, std::string* out) { return HostAnsiToUtf8(text, out); }

int32_t HostFileTime(uint32_t dos) {
    if (dos == 0) return 0;
    // Double Commander shows FileTime as local Unix time: turn the packed
    // local date and time back into the seconds since 1970 it stands for.
    const LocalDateTime local{static_cast<int>((dos >> 25) & 0x7F) + 1980, static_cast<int>((dos >> 21) & 0x0F),
                              static_cast<int>((dos >> 16) & 0x1F),        static_cast<int>((dos >> 11) & 0x1F),
                              static_cast<int>((dos >> 5) & 0x3F),         static_cast<int>(dos & 0x1F) * 2};
    int64_t seconds = 0;
    if (!SecondsOfLocal(local, &seconds) || seconds < 0 || seconds > INT32_MAX) return 0;
    return static_cast<int32_t>(seconds);
}

int32_t HostFileAttr(int32_t windowsAttributes) {
    const bool readOnly = (windowsAttributes & 0x01) != 0;
    return static_cast<int32_t>(S_IFREG | (readOnly ? 0444 : 0644));
}

bool IsDeviceName(const char*) { return false; }

void UseSystemFolderNames(char*) {}

std::vector<std::string> HostTempFolders() {
    const char* variable = std::getenv("TMPDIR");
    std::vector<std::string> folders{variable != nullptr && variable[0] != '\0' ? variable : "/tmp"};
    char resolved[PATH_MAX];
    if (FileSystem().resolve(folders[0].c_str(), resolved, sizeof resolved) == 0 && folders[0] != resolved) folders.emplace_back(resolved);
    return folders;
}

}  // namespace platform

#include "platform/file_time.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "platform/win32/wide_path.h"

namespace platform {

FileTimeResult LocalModificationTime(const char* path, LocalDateTime* out, int* openError) {
    const int fd = ::_wopen(WidePath(path).c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        *openError = errno;
        return FileTimeResult::OpenFailed;
    }
    struct _stat64 status {};
    if (::_fstat64(fd, &status) != 0) {
        ::_close(fd);
        return FileTimeResult::StatusFailed;
    }
    std::tm local{};
    const __time64_t modified = status.st_mtime;
    const bool converted = ::_localtime64_s(&local, &modified) == 0;
    ::_close(fd);
    if (!converted) return FileTimeResult::ConvertFailed;
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
    return FileTimeResult::Ok;
}

bool LocalFromUtc(const LocalDateTime& utc, LocalDateTime* out) {
    std::tm parts{};
    parts.tm_year = utc.year - 1900;
    parts.tm_mon = utc.month - 1;
    parts.tm_mday = utc.day;
    parts.tm_hour = utc.hour;
    parts.tm_min = utc.minute;
    parts.tm_sec = utc.second;
    const __time64_t seconds = ::_mkgmtime64(&parts);
    std::tm local{};
    if (seconds == -1 || ::_localtime64_s(&local, &seconds) != 0) return false;
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    return true;
}

}  // namespace platform

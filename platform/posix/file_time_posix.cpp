#include "platform/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {

FileTimeResult LocalModificationTime(const char* path, LocalDateTime* out, int* openError) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *openError = errno;
        return FileTimeResult::OpenFailed;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        return FileTimeResult::StatusFailed;
    }
    std::tm local{};
    const time_t modified = status.st_mtime;
    bool converted = false;
    {
        const std::lock_guard<std::mutex> guard(TimeZoneLock());
        converted = ::localtime_r(&modified, &local) != nullptr;
    }
    ::close(fd);
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
    std::tm local{};
    {
        const std::lock_guard<std::mutex> guard(TimeZoneLock());
        const time_t seconds = ::timegm(&parts);
        if (seconds == static_cast<time_t>(-1) || ::localtime_r(&seconds, &local) == nullptr) return false;
    }
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    return true;
}

}  // namespace platform

#include "os/file_time.h"

#include <ctime>

#include "os/win32/wide_path.h"

namespace platform {

bool LocalTimeOf(int64_t secondsSince1970, LocalDateTime* out) {
    const __time64_t seconds = secondsSince1970;
    std::tm local{};
    if (::_localtime64_s(&local, &seconds) != 0) return false;
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
    return true;
}

bool SecondsOfLocal(const LocalDateTime& local, int64_t* secondsSince1970) {
    std::tm parts = BrokenDownTime(local);
    const __time64_t seconds = ::_mktime64(&parts);
    if (seconds == -1) return false;
    *secondsSince1970 = seconds;
    return true;
}

bool LocalFromUtc(const LocalDateTime& utc, LocalDateTime* out) {
    std::tm parts = BrokenDownTime(utc);
    const __time64_t seconds = ::_mkgmtime64(&parts);
    std::tm local{};
    if (seconds == -1 || ::_localtime64_s(&local, &seconds) != 0) return false;
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    return true;
}

}  // namespace platform

#include "os/file_time.h"

#include <ctime>

namespace platform {

bool LocalTimeOf(int64_t secondsSince1970, LocalDateTime* out) {
    const time_t seconds = static_cast<time_t>(secondsSince1970);
    std::tm local{};
    bool converted = false;
    {
        const std::lock_guard<std::mutex> guard(TimeZoneLock());
        converted = ::localtime_r(&seconds, &local) != nullptr;
    }
    if (!converted) return false;
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
    return true;
}

bool SecondsOfLocal(const LocalDateTime& local, int64_t* secondsSince1970) {
    std::tm parts = BrokenDownTime(local);
    time_t seconds = 0;
    {
        const std::lock_guard<std::mutex> guard(TimeZoneLock());
        seconds = std::mktime(&parts);
    }
    if (seconds == static_cast<time_t>(-1)) return false;
    *secondsSince1970 = static_cast<int64_t>(seconds);
    return true;
}

bool LocalFromUtc(const LocalDateTime& utc, LocalDateTime* out) {
    std::tm parts = BrokenDownTime(utc);
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

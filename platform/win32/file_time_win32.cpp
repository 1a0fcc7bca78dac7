#include "platform/file_time.h"

#include <ctime>

namespace platform {

bool LocalTimeOf(int64_t secondsSince1970, LocalDateTime* out) {
    const __time64_t seconds = secondsSince1970;
    std::tm local{};
    if (::_localtime64_s(&local, &seconds) != 0) return false;
    *out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
    return true;
}

}  // namespace platform

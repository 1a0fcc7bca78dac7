// Local time (a version 4 MAT-file holds no date of its own, so its entries
// carry its modification time, in local time).
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>

namespace platform {

// The C library keeps one time-zone state for the whole process, which its
// conversions (mktime, localtime_r) load and read: they are made under this
// lock, so that archives opened in two threads never convert at once.
inline std::mutex& TimeZoneLock() {
    static std::mutex lock;
    return lock;
}

struct LocalDateTime {
    int year;     // in full, such as 2005
    int month;    // 1 to 12
    int day;      // 1 to 31
    int hour;
    int minute;
    int second;
};

// The date and time as the C library's broken-down time (tm_isdst -1: the
// library decides whether summer time applies).
inline std::tm BrokenDownTime(const LocalDateTime& t) {
    std::tm parts{};
    parts.tm_year = t.year - 1900;
    parts.tm_mon = t.month - 1;
    parts.tm_mday = t.day;
    parts.tm_hour = t.hour;
    parts.tm_min = t.minute;
    parts.tm_sec = t.second;
    parts.tm_isdst = -1;
    return parts;
}

// A time in seconds since 1970 as a local date and time; false when the C
// library has no local date for it.
bool LocalTimeOf(int64_t secondsSince1970, LocalDateTime* out);

// A local date and time as seconds since 1970; false out of range.
bool SecondsOfLocal(const LocalDateTime& local, int64_t* secondsSince1970);

// A date and time in UTC as local date and time; false out of range.
bool LocalFromUtc(const LocalDateTime& utc, LocalDateTime* out);

}  // namespace platform

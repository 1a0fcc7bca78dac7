// The modification time of a file in local time, through the operating
// system's low-level open and file status calls (a version 4 MAT-file holds no
// date of its own, so its entries carry this one).
#pragma once

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

enum class FileTimeResult {
    Ok,
    OpenFailed,      // *openError holds the error number of the failed open
    StatusFailed,    // the file opened but its status could not be read
    ConvertFailed,   // the time has no local date (out of the C library's range)
};

// The descriptor opened here is closed again on every path.
FileTimeResult LocalModificationTime(const char* path, LocalDateTime* out, int* openError);

// A date and time in UTC as local date and time; false out of range.
bool LocalFromUtc(const LocalDateTime& utc, LocalDateTime* out);

}  // namespace platform

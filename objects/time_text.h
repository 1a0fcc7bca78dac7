// Datetimes and durations as MATLAB shows them, in their own display format.
#pragma once

#include <string>

namespace matlib {

// A datetime's display format when the object stores none (MATLAB's default).
extern const char* const kDefaultDatetimeFormat;
// A duration's display format when the object stores none.
extern const char* const kDefaultDurationFormat;

// The text of a datetime: `ms` milliseconds since 1970-01-01 (its stored
// real part) plus `extraMs` (the imaginary part, which keeps what the double
// cannot), laid out by `format` (MATLAB's letters: dd-MMM-yyyy HH:mm:ss.SSS,
// 'quoted text'; empty: the default). `zone` is the stored time zone: empty
// (unzoned: the clock time as stored), "UTC", an offset "+01:00", or a zone
// name ("Europe/Berlin", from the system's time zone data); a name the system
// does not know (any on Windows) cannot be applied: the UTC time is shown and
// says so. NaT, Inf and -Inf as MATLAB writes them.
std::string DatetimeText(double ms, double extraMs, const std::string& format, const std::string& zone);
// The same, appended to `text` (a table's column of a million dates).
void AppendDatetimeText(double ms, double extraMs, const std::string& format, const std::string& zone, std::string& text);

// The text of a duration of `ms` milliseconds by `format`: "hh:mm:ss",
// "dd:hh:mm:ss", "mm:ss", "hh:mm" (each with ".S" to ".SSSSSSSSS" of
// fractional seconds), or one unit: "s", "m", "h", "d", "y" ("1.5 hr").
std::string DurationText(double ms, const std::string& format);

}  // namespace matlib

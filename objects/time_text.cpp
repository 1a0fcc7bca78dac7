// Datetimes and durations laid out by their display format, as MATLAB's
// command window shows them (English month and day names, its default
// formats). Fractional seconds are cut, never rounded: MATLAB shows
// 16:42:49.634 as 16:42:49, never as the next second.
#include "objects/time_text.h"

#include "objects/time_zone.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace matlib {

const char* const kDefaultDatetimeFormat = "dd-MMM-yyyy HH:mm:ss";
const char* const kDefaultDurationFormat = "hh:mm:ss";

namespace {

constexpr int64_t kMsPerDay = 86400000;
// Beyond about 95 million years either way the date is no date MATLAB
// shows; the count stays well inside 64 bits.
constexpr double kMaxShownMs = 3e18;

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const std::string kUtc = "UTC";
const char* const kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string ShortNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5g", v);
    return text;
}

// A whole number with at least `digits` digits (zeros before it), to `out`
// without a string of its own: a million dates of a table's column each
// have six of them.
void AppendPadded(int64_t value, size_t digits, std::string& out) {
    char text[24];
    char* end = text + sizeof text;
    char* at = end;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) out += '-';
    const size_t written = static_cast<size_t>(end - at);
    if (written < digits) out.append(digits - written, '0');
    out.append(at, written);
}

std::string Padded(int64_t value, size_t digits) {
    std::string text;
    AppendPadded(value, digits, text);
    return text;
}

// The first `count` digits of the nanoseconds within a second.
std::string FractionDigits(int64_t nanos, size_t count) {
    std::string text = Padded(nanos, 9);
    if (count <= 9) return text.substr(0, count);
    return text + std::string(count - 9, '0');
}

struct Civil {
    int64_t year, month, day, dayOfYear, weekday;   // weekday 0: Sunday
    int64_t hour, minute, second, nanos;
};

// Days since 1970-01-01 to the civil date (Howard Hinnant's method).
Civil CivilFrom(int64_t days, int64_t msOfDay, int64_t nanosBelowMs) {
    Civil c{};
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
    const bool leap = (c.year % 4 == 0 && c.year % 100 != 0) || c.year % 400 == 0;
    static const int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    c.dayOfYear = kBefore[c.month - 1] + c.day + (leap && c.month > 2 ? 1 : 0);
    c.weekday = ((days + 4) % 7 + 7) % 7;   // 1970-01-01 was a Thursday
    c.hour = msOfDay / 3600000;
    c.minute = msOfDay / 60000 % 60;
    c.second = msOfDay / 1000 % 60;
    c.nanos = msOfDay % 1000 * 1000000 + nanosBelowMs;
    return c;
}

// "+01:00", "-0530", "UTC": the offset in minutes; false for a zone name.
bool ZoneOffset(const std::string& zone, int64_t& minutes) {
    minutes = 0;
    if (zone.empty() || zone == "UTC" || zone == "Z") return true;
    const bool colon = zone.size() == 6 && zone[3] == ':';
    if ((zone.size() != 5 && !colon) || (zone[0] != '+' && zone[0] != '-')) return false;
    const std::string digits = colon ? zone.substr(1, 2) + zone.substr(4, 2) : zone.substr(1);
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return false;
    }
    const int64_t hours = (digits[0] - '0') * 10 + (digits[1] - '0');
    const int64_t mins = (digits[2] - '0') * 10 + (digits[3] - '0');
    if (hours > 23 || mins > 59) return false;
    minutes = (zone[0] == '-' ? -1 : 1) * (hours * 60 + mins);
    return true;
}

std::string OffsetText(int64_t minutes, bool colon) {
    const int64_t magnitude = minutes < 0 ? -minutes : minutes;
    return std::string(minutes < 0 ? "-" : "+") + Padded(magnitude / 60, 2) + (colon ? ":" : "") + Padded(magnitude % 60, 2);
}

// One run of a pattern letter (`count` times) as its field of the date.
std::string Field(char letter, size_t count, const Civil& c, const std::string& zone, const std::string& abbreviation,
                  int64_t offsetMinutes) {
    const int64_t hour12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
    switch (letter) {
        case 'y':
        case 'u':
            return count == 2 ? Padded((c.year % 100 + 100) % 100, 2) : Padded(c.year, count);
        case 'Q':
            if (count <= 2) return Padded((c.month - 1) / 3 + 1, count);
            return "Q" + std::to_string((c.month - 1) / 3 + 1);
        case 'M':
        case 'L':
            if (count <= 2) return Padded(c.month, count);
            if (count == 3) return std::string(kMonths[c.month - 1]).substr(0, 3);
            if (count == 4) return kMonths[c.month - 1];
            return std::string(kMonths[c.month - 1]).substr(0, 1);
        case 'd': return Padded(c.day, count);
        case 'D': return Padded(c.dayOfYear, count);
        case 'e':
            if (count <= 2) return Padded(c.weekday + 1, count);
            [[fallthrough]];
        case 'E':
        case 'c':
            if (count <= 3) return std::string(kWeekdays[c.weekday]).substr(0, 3);
            if (count == 4) return kWeekdays[c.weekday];
            return std::string(kWeekdays[c.weekday]).substr(0, 1);
        case 'a': return c.hour < 12 ? "AM" : "PM";
        case 'h': return Padded(hour12, count);
        case 'H': return Padded(c.hour, count);
        case 'k': return Padded(c.hour == 0 ? 24 : c.hour, count);
        case 'K': return Padded(c.hour % 12, count);
        case 'm': return Padded(c.minute, count);
        case 's': return Padded(c.second, count);
        case 'S': return FractionDigits(c.nanos, count);
        case 'G': return c.year > 0 ? "AD" : "BC";
        case 'Z':
            if (zone.empty()) return "";
            return count == 5 ? OffsetText(offsetMinutes, true) : OffsetText(offsetMinutes, false);
        case 'x':
        case 'X':
            if (zone.empty()) return "";
            if (letter == 'X' && offsetMinutes == 0) return "Z";
            return OffsetText(offsetMinutes, count >= 3);
        case 'z':
            return abbreviation.empty() ? zone : abbreviation;   // "CET", else the stored name: "UTC", "+01:00"
        case 'v':
        case 'V':
        case 'O':
            return zone;
        default: return std::string(count, letter);
    }
}

}  // namespace

std::string DatetimeText(double ms, double extraMs, const std::string& format, const std::string& zone) {
    std::string text;
    AppendDatetimeText(ms, extraMs, format, zone, text);
    return text;
}

void AppendDatetimeText(double ms, double extraMs, const std::string& format, const std::string& zone, std::string& text) {
    if (std::isnan(ms)) return void(text += "NaT");
    if (std::isinf(ms)) return void(text += ms > 0 ? "Inf" : "-Inf");
    if (std::fabs(ms) > kMaxShownMs) return void(text += ShortNumber(ms));
    if (!std::isfinite(extraMs) || std::fabs(extraMs) > 1e3) extraMs = 0;
    int64_t offsetMinutes = 0;
    std::string abbreviation;
    bool offsetKnown = ZoneOffset(zone, offsetMinutes);
    if (!offsetKnown) {
        // A named zone: its offset at that moment, from the system's data.
        int32_t offsetSeconds = 0;
        offsetKnown = ZoneAt(zone, static_cast<int64_t>(std::floor(ms / 1000)), offsetSeconds, abbreviation);
        offsetMinutes = offsetKnown ? offsetSeconds / 60 : 0;
    }
    // Whole milliseconds and what is below them, in [0, 1).
    const double whole = std::floor(ms);
    double below = (ms - whole) + extraMs;
    int64_t total = static_cast<int64_t>(whole) + offsetMinutes * 60000;
    const double belowFloor = std::floor(below);
    total += static_cast<int64_t>(belowFloor);
    below -= belowFloor;
    int64_t nanosBelowMs = static_cast<int64_t>(below * 1e6);
    if (nanosBelowMs > 999999) nanosBelowMs = 999999;
    const int64_t days = total >= 0 ? total / kMsPerDay : -((-total + kMsPerDay - 1) / kMsPerDay);
    const Civil c = CivilFrom(days, total - days * kMsPerDay, nanosBelowMs);

    static const std::string kDefault = kDefaultDatetimeFormat;
    const std::string& pattern = format.empty() ? kDefault : format;
    const std::string& shownZone = offsetKnown ? zone : kUtc;
    for (size_t i = 0; i < pattern.size();) {
        const char ch = pattern[i];
        if (ch == '\'') {
            // Quoted text; '' is a quote.
            size_t j = i + 1;
            if (j < pattern.size() && pattern[j] == '\'') {
                text += '\'';
                i = j + 1;
                continue;
            }
            for (; j < pattern.size(); ++j) {
                if (pattern[j] != '\'') {
                    text += pattern[j];
                } else if (j + 1 < pattern.size() && pattern[j + 1] == '\'') {
                    text += '\'';
                    ++j;
                } else {
                    break;
                }
            }
            i = j + 1;
            continue;
        }
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')) {
            size_t count = 1;
            while (i + count < pattern.size() && pattern[i + count] == ch) ++count;
            // The numbers of the common formats straight into the text.
            const int64_t number = ch == 'd' ? c.day : ch == 'H' ? c.hour : ch == 'm' ? c.minute : ch == 's' ? c.second
                                 : (ch == 'M' && count <= 2) ? c.month : (ch == 'y' && count != 2) ? c.year : -1;
            if (number >= 0) {
                AppendPadded(number, count, text);
            } else if (ch == 'M' && count == 3) {
                text.append(kMonths[c.month - 1], 3);
            } else {
                text += Field(ch, count, c, shownZone, abbreviation, offsetMinutes);
            }
            i += count;
            continue;
        }
        text += ch;
        ++i;
    }
    if (!offsetKnown) text += " (in UTC: time zone " + zone + " not known here)";
}

std::string DurationText(double ms, const std::string& format) {
    if (std::isnan(ms)) return "NaN";
    if (std::isinf(ms)) return ms > 0 ? "Inf" : "-Inf";
    const std::string pattern = format.empty() ? std::string(kDefaultDurationFormat) : format;
    struct Unit { const char* format; double ms; const char* one; const char* many; };
    static const Unit kUnits[] = {{"s", 1e3, "sec", "sec"},
                                  {"m", 6e4, "min", "min"},
                                  {"h", 3.6e6, "hr", "hr"},
                                  {"d", 8.64e7, "day", "days"},
                                  {"y", 365.2425 * 8.64e7, "yr", "yrs"}};
    for (const Unit& unit : kUnits) {
        if (pattern != unit.format) continue;
        const double value = ms / unit.ms;
        return ShortNumber(value) + " " + (value == 1 ? unit.one : unit.many);
    }
    // Digital: the largest field takes what is above it (hh:mm:ss shows 25:00:00).
    const size_t dot = pattern.find('.');
    const std::string fields = pattern.substr(0, dot);
    const size_t fraction = dot == std::string::npos ? 0 : pattern.size() - dot - 1;
    const bool known = fields == "dd:hh:mm:ss" || fields == "hh:mm:ss" || fields == "mm:ss" || fields == "hh:mm";
    if (!known || fraction > 9 || (dot != std::string::npos && pattern.find_first_not_of('S', dot + 1) != std::string::npos) ||
        std::fabs(ms) >= kMaxShownMs) {
        return DurationText(ms, known || std::fabs(ms) >= kMaxShownMs ? "s" : kDefaultDurationFormat);
    }
    const double magnitude = std::fabs(ms);
    const int64_t wholeMs = static_cast<int64_t>(std::floor(magnitude));
    const int64_t nanos = wholeMs % 1000 * 1000000 + static_cast<int64_t>((magnitude - std::floor(magnitude)) * 1e6);
    const int64_t seconds = wholeMs / 1000;
    std::string text = ms < 0 ? "-" : "";
    if (fields == "dd:hh:mm:ss") {
        text += Padded(seconds / 86400, 2) + ":" + Padded(seconds / 3600 % 24, 2) + ":" + Padded(seconds / 60 % 60, 2) + ":" +
                Padded(seconds % 60, 2);
    } else if (fields == "hh:mm:ss") {
        text += Padded(seconds / 3600, 2) + ":" + Padded(seconds / 60 % 60, 2) + ":" + Padded(seconds % 60, 2);
    } else if (fields == "mm:ss") {
        text += Padded(seconds / 60, 2) + ":" + Padded(seconds % 60, 2);
    } else {
        text += Padded(seconds / 3600, 2) + ":" + Padded(seconds / 60 % 60, 2);
    }
    if (fraction > 0) text += "." + FractionDigits(nanos, fraction);
    return text;
}

}  // namespace matlib

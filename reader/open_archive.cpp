// Opening a MAT-file as an archive: open the file once, index every variable
// (the listing then walks that index), and find the date every entry will
// carry.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "os/diagnostics.h"
#include "os/file_io.h"
#include "os/file_time.h"
#include "os/host_rules.h"
#include "host/message_box.h"
#include "reader/archive.h"

namespace {

int ReadMatFileHeader(Archive* archive);   // 0 when a date was found, -1 when not
uint32_t PackDosDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                         int32_t second);


constexpr unsigned kOpenErrorBoxStyle =
    platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal;

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// ---- the header text ----------------------------------------------------------
// The date stands in MATLAB's descriptive text, "MATLAB 5.0 MAT-file,
// Platform: PCWIN, Created on: Fri Feb 18 10:28:03 2005". It is read as C's
// scanf reads "%*s %f %*s %*s %s %*s %*s %*s %s %d %d%*c%d%*c%d %d": words
// end at white space, numbers skip white space before them, and each "%*c"
// takes exactly one character. The scan works on a terminated copy of the
// 128-byte block and never reads past it.

struct TextScanner {
    const char* at;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void SkipBlanks(TextScanner* s) {
    while (IsBlank(*s->at)) ++s->at;
}

// A word: consumed whole. It is stored only when it fits `capacity` (with its
// terminator); *fits tells whether it did. A null store just skips the word.
bool ScanWord(TextScanner* s, char* store, size_t capacity, bool* fits) {
    SkipBlanks(s);
    if (*s->at == '\0') return false;
    size_t length = 0;
    while (*s->at != '\0' && !IsBlank(*s->at)) {
        if (store != nullptr && length + 1 < capacity) store[length] = *s->at;
        ++length;
        ++s->at;
    }
    if (store != nullptr) {
        *fits = length + 1 <= capacity;
        store[*fits ? length : 0] = '\0';
    }
    return true;
}

bool SkipWord(TextScanner* s) { return ScanWord(s, nullptr, 0, nullptr); }

// A decimal number with optional fraction and exponent, read past (the format
// version is not used). Read without the C library so that the host's locale
// cannot change what counts as the decimal point.
bool SkipDecimalNumber(TextScanner* s) {
    SkipBlanks(s);
    const char* p = s->at;
    if (*p == '+' || *p == '-') ++p;
    bool digits = false;
    while (IsDigit(*p)) { ++p; digits = true; }
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) { ++p; digits = true; }
    }
    if (!digits) return false;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (IsDigit(*q)) {
            while (IsDigit(*q)) ++q;
            p = q;
        }
    }
    s->at = p;
    return true;
}

// A signed decimal integer; one that does not fit 32 bits fails the scan
// (scanf's result would be undefined).
bool ScanInteger(TextScanner* s, int32_t* value) {
    SkipBlanks(s);
    const char* p = s->at;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!IsDigit(*p)) return false;
    int64_t magnitude = 0;
    while (IsDigit(*p)) {
        magnitude = magnitude * 10 + (*p++ - '0');
        if (magnitude > static_cast<int64_t>(INT32_MAX) + 1) return false;
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) return false;
    *value = static_cast<int32_t>(signedValue);
    s->at = p;
    return true;
}

bool SkipOneCharacter(TextScanner* s) {
    if (*s->at == '\0') return false;
    ++s->at;
    return true;
}

struct HeaderDate {
    char month[4];   // three letters and the terminator: a longer word is no month name
    bool monthFits;
    int32_t day, hour, minute, second, year;
};

// False when the scan stops before the last number of the date. Such a
// header is treated as one without a date (time stamp 0): the values it left
// unscanned would otherwise be whatever the variables held.
bool ScanHeaderDate(const char* text, HeaderDate* date) {
    TextScanner s{text};
    return SkipWord(&s) && SkipDecimalNumber(&s) && SkipWord(&s) && SkipWord(&s) &&
           SkipWord(&s) /* the platform name, not used */ && SkipWord(&s) && SkipWord(&s) &&
           SkipWord(&s) && ScanWord(&s, date->month, sizeof date->month, &date->monthFits) &&
           ScanInteger(&s, &date->day) && ScanInteger(&s, &date->hour) && SkipOneCharacter(&s) &&
           ScanInteger(&s, &date->minute) && SkipOneCharacter(&s) &&
           ScanInteger(&s, &date->second) && ScanInteger(&s, &date->year);
}

int MonthNumber(const HeaderDate& date) {
    if (!date.monthFits) return 0;
    for (int i = 0; i < 12; ++i) {
        if (std::strcmp(date.month, kMonthNames[i]) == 0) return i + 1;
    }
    return 0;
}

// ---- the dates other writers put in the header ---------------------------------
// "... CREATED on: Tue Feb 26 11:20:36 GMT 2013" (MATLAB with a zone),
// "... Created by: libmatio v1.5.23 on Mon Dec  7 02:59:30 2026" (matio) and
// "... written by Octave 7.3.0, 2026-12-07 02:59:32 UTC" (Octave): the date is
// found wherever it stands, as a month name, day, time and year, or as
// year-month-day and time. A zone of "UTC" or "GMT" makes it a UTC time.

bool ParseFixedNumber(const std::string& text, size_t at, size_t digits, int* value) {
    if (at + digits > text.size()) return false;
    int number = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (!IsDigit(text[i])) return false;
        number = number * 10 + (text[i] - '0');
    }
    *value = number;
    return true;
}

// "hh:mm:ss".
bool ParseClock(const std::string& word, platform::LocalDateTime* date) {
    return word.size() == 8 && word[2] == ':' && word[5] == ':' && ParseFixedNumber(word, 0, 2, &date->hour) &&
           ParseFixedNumber(word, 3, 2, &date->minute) && ParseFixedNumber(word, 6, 2, &date->second);
}

bool ParseDayOrYear(const std::string& word, size_t minDigits, size_t maxDigits, int* value) {
    return word.size() >= minDigits && word.size() <= maxDigits && ParseFixedNumber(word, 0, word.size(), value);
}

bool IsUtcZone(const std::string& word) { return word == "UTC" || word == "GMT"; }

bool FindDateAnywhere(const char* text, platform::LocalDateTime* date, bool* utc) {
    std::vector<std::string> words;
    for (TextScanner s{text};;) {
        SkipBlanks(&s);
        if (*s.at == '\0') break;
        const char* start = s.at;
        while (*s.at != '\0' && !IsBlank(*s.at)) ++s.at;
        words.emplace_back(start, s.at);
    }
    for (size_t i = 0; i + 2 < words.size(); ++i) {
        platform::LocalDateTime found{};
        size_t next = 0;
        // "Dec 7 02:59:30 [zone] 2026"
        for (int m = 0; m < 12 && next == 0; ++m) {
            if (words[i] != kMonthNames[m] || i + 3 >= words.size()) continue;
            found.month = m + 1;
            if (!ParseDayOrYear(words[i + 1], 1, 2, &found.day) || !ParseClock(words[i + 2], &found)) break;
            size_t yearAt = i + 3;
            *utc = IsUtcZone(words[yearAt]);
            if (!ParseDayOrYear(words[yearAt], 4, 4, &found.year) && yearAt + 1 < words.size() &&
                ParseDayOrYear(words[yearAt + 1], 4, 4, &found.year)) {
                ++yearAt;
            } else if (found.year == 0) {
                break;
            }
            next = yearAt + 1;
        }
        // "2026-12-07 02:59:32 [UTC]"
        const std::string& w = words[i];
        if (next == 0 && w.size() == 10 && w[4] == '-' && w[7] == '-' && ParseFixedNumber(w, 0, 4, &found.year) &&
            ParseFixedNumber(w, 5, 2, &found.month) && ParseFixedNumber(w, 8, 2, &found.day) &&
            ParseClock(words[i + 1], &found)) {
            *utc = i + 2 < words.size() && IsUtcZone(words[i + 2]);
            next = i + 2;
        }
        if (next == 0) continue;
        if (found.month < 1 || found.month > 12 || found.day < 1 || found.day > 31 || found.hour > 23 ||
            found.minute > 59 || found.second > 60) {
            continue;
        }
        *date = found;
        return true;
    }
    return false;
}

// ---- opening --------------------------------------------------------------------

// Whether the file starts as a gzip stream does (GNU Octave's "save -zip"
// wraps a whole MAT-file in one): its failures have reasons of their own.
bool IsGzipFile(const char* path) {
    platform::FileSystemCalls& fs = platform::FileSystem();
    FILE* file = fs.open(path, "rb");
    if (file == nullptr) return false;
    unsigned char magic[2] = {};
    const bool gzip = fs.read(magic, sizeof magic, file) == sizeof magic && magic[0] == 0x1F && magic[1] == 0x8B;
    fs.close(file);
    return gzip;
}

// The host's code for why the engine could not open the file, and what the
// user is told: a file that is no MAT-file (or one of version 7.3) is of an
// unknown format, a damaged one a bad archive, and only a file the system
// cannot open is E_EOPEN.
int OpenFailureCode(int failure, const char* arcName, std::string* reason) {
    switch (failure) {
    case MAT_OPEN_NOT_MAT:
        *reason = std::string(arcName) +
                  (IsGzipFile(arcName) ? " is compressed with gzip, but what it holds is not a MAT-file."
                                       : " is not a MAT-file.");
        return E_UNKNOWN_FORMAT;
    case MAT_OPEN_VERSION_73: {
        // The engine's reason names what is missing: the worker program, or
        // a build without version 7.3.
        const char* why = matLastError();
        *reason = std::string(arcName) + " is a MATLAB version 7.3 MAT-file (HDF5) and cannot be read: " +
                  (why != nullptr && *why != '\0' ? why : "its reader is missing") + ".";
        return E_UNKNOWN_FORMAT;
    }
    case MAT_OPEN_DAMAGED:
        if (IsGzipFile(arcName) && matLastError() != nullptr) {
            *reason = std::string(arcName) + " cannot be read: " + matLastError() + ".";
            return E_BAD_ARCHIVE;
        }
        *reason = std::string(arcName) + " is a damaged MAT-file: its first variable cannot be read.";
        return E_BAD_ARCHIVE;
    default:
        *reason = std::string(arcName) + " cannot be opened" +
                  (IsGzipFile(arcName) && matLastError() != nullptr ? std::string(": ") + matLastError() : "") + ".";
        return E_EOPEN;
    }
}

// The names one a line, written in blocks: a write of its own for each of a
// million names would cost more than the whole listing.
void PrintNames(MATFile* file, int count) {
    constexpr size_t kBlockBytes = 64 * 1024;
    std::string block;
    try {
        for (int i = 0; i < count; ++i) {
            const char* name = matGetVariableName(file, i);
            if (name != nullptr) block += name;
            block += '\n';
            if (block.size() >= kBlockBytes || i + 1 == count) {
                platform::WriteToStandardOutput(block.data(), block.size());
                block.clear();
            }
        }
    } catch (const std::bad_alloc&) {
        // The lines are only a diagnostic: the rest are left out.
    }
}

// The failure exit: close the handle, refuse with the code, and tell the
// user why, once.
int FailOpening(Archive* archive, const char* arcName, MATFile* file, int failure) {
    if (file != nullptr && matClose(file) != 0) platform::PrintLine("Error closing file %s\n", arcName);
    *archive = Archive{};
    std::string reason;
    const int code = OpenFailureCode(failure, arcName, &reason);
    platform::ShowMessageBox(reason.c_str(), "Error Opening MAT-file", kOpenErrorBoxStyle);
    return code;
}

}  // namespace

int OpenMatArchive(Archive* archive, const char* arcName, int openMode, ReaderOptions options) {
    *archive = Archive{};
    platform::PrintLine("Reading file %s...\n\n", arcName);

    // One handle indexes every variable and then serves the listing from
    // that index.
    MATFile* file = matOpen(arcName, "r");
    if (file == nullptr) {
        platform::PrintLine("Error opening file %s\n", arcName);
        return FailOpening(archive, arcName, nullptr, matLastOpenFailure());
    }
    FILE* stream = matGetFp(file);
    if (stream == nullptr) return FailOpening(archive, arcName, file, MAT_OPEN_UNREADABLE);

    // Counted without a copy of every name: a file may hold a million.
    const int count = matGetVariableCount(file);
    if (count < 0) {
        platform::PrintLine("Error reading directory of file %s\n", arcName);
        return FailOpening(archive, arcName, file, MAT_OPEN_DAMAGED);
    }
    // Damage after the last variable listed: the listing ends with a word.
    archive->damagedAfterLast = matCheckIndex(file) != 0;
    platform::PrintLine("Directory of %s:\n", arcName);
    PrintNames(file, count);

    archive->matFile = file;
    archive->stream = stream;
    archive->variableCount = count;
    archive->path = arcName;
    archive->nextVariableIndex = 0;
    ReadMatFileHeader(archive);   // a file without a usable date still opens
    archive->hostFileTime = platform::HostFileTime(archive->archiveTimeStamp);
    archive->openMode = openMode;
    archive->options = options;

    platform::PrintLine("Done\n");
    return 0;
}

void CloseMatArchive(Archive* archive) {
    if (archive->stream != nullptr) matClose(archive->matFile);
    *archive = Archive{};   // frees the current entry's name now, not at the next opening
}

namespace {

// The archive's date in both of the host's forms: packed DOS (FileTime) and,
// to the second, Windows' 100 ns since 1601 in UTC.
void SetArchiveTime(Archive* archive, const platform::LocalDateTime& local) {
    archive->archiveTimeStamp =
        PackDosDateTime(local.year, local.month, local.day, local.hour, local.minute, local.second);
    int64_t seconds = 0;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    if (platform::SecondsOfLocal(local, &seconds) && seconds >= -kSecondsFrom1601To1970) {
        archive->windowsFileTime = static_cast<uint64_t>(seconds + kSecondsFrom1601To1970) * 10000000u;
    }
}

int ReadMatFileHeader(Archive* archive) {
    platform::LocalDateTime written{};
    if (HeaderTextDate(archive->matFile, &written)) {
        SetArchiveTime(archive, written);
        return 0;
    }

    // A version 4 file holds no date, nor does a header without a readable
    // one: such a file carries its own modification time, as the engine found
    // it when it opened the file.
    int64_t modified = 0;
    platform::LocalDateTime local{};
    if (matGetModifiedTime(archive->matFile, &modified) != 0 || !platform::LocalTimeOf(modified, &local)) return -1;
    SetArchiveTime(archive, local);
    return 0;
}

uint32_t PackDosDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                         int32_t second) {
    // Nothing is masked: the year wraps modulo 128 (1979 gives 127) and a part
    // out of its range spills into its neighbours, in unsigned 32-bit
    // arithmetic so that no shift overflows.
    const uint32_t years = static_cast<uint32_t>(year) - 1980u;
    return (years << 25) | (static_cast<uint32_t>(month) << 21) |
           (static_cast<uint32_t>(day) << 16) | (static_cast<uint32_t>(hour) << 11) |
           (static_cast<uint32_t>(minute) << 5) | static_cast<uint32_t>(second / 2);
}

}  // namespace

bool HeaderTextDate(MATFile* file, platform::LocalDateTime* local) {
    char text[128];
    if (matGetHeaderText(file, text, sizeof text) != 0) return false;
    HeaderDate date{};
    if (ScanHeaderDate(text, &date) && MonthNumber(date) != 0) {
        *local = {date.year, MonthNumber(date), date.day, date.hour, date.minute, date.second};
        return true;
    }
    platform::LocalDateTime found{};
    bool utc = false;
    if (FindDateAnywhere(text, &found, &utc) && (!utc || platform::LocalFromUtc(found, &found))) {
        *local = found;
        return true;
    }
    return false;
}

// Opening a MAT-file as an archive: claim a slot, count the variables in a
// first pass, open the file again for the listing, and find the date every
// entry will carry.
#include "reader/open_archive.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/file_io.h"
#include "platform/file_time.h"
#include "platform/host_rules.h"
#include "platform/message_box.h"

namespace {


constexpr size_t kHeaderBlockBytes = 128;

constexpr unsigned kOpenErrorBoxStyle =
    platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal;

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// ---- the first bytes of the file --------------------------------------------

// Reads up to `size` bytes from the start of the stream and puts the stream
// back where it was, so that the engine's reading is not disturbed. Returns
// the number of bytes read.
size_t ReadFileStart(FILE* stream, uint8_t* buffer, size_t size) {
    if (stream == nullptr) return 0;
    platform::FileSystemCalls& fs = platform::FileSystem();
    const int64_t position = fs.tell(stream);
    if (position < 0 || fs.seek(stream, 0, SEEK_SET) != 0) return 0;
    const size_t got = fs.read(buffer, size, stream);
    fs.seek(stream, position, SEEK_SET);
    return got;
}

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

// The host's code for why the engine could not open the file, and what the
// user is told: a file that is no MAT-file (or one of version 7.3) is of an
// unknown format, a damaged one a bad archive, and only a file the system
// cannot open is E_EOPEN.
int OpenFailureCode(int failure, const char* arcName, std::string* reason) {
    switch (failure) {
    case MAT_OPEN_NOT_MAT:
        *reason = std::string(arcName) + " is not a MAT-file.";
        return E_UNKNOWN_FORMAT;
    case MAT_OPEN_VERSION_73:
        *reason = std::string(arcName) +
                  " is a MATLAB version 7.3 MAT-file (HDF5), which this plug-in cannot read.";
        return E_UNKNOWN_FORMAT;
    case MAT_OPEN_DAMAGED:
        *reason = std::string(arcName) + " is a damaged MAT-file: its first variable cannot be read.";
        return E_BAD_ARCHIVE;
    default:
        *reason = std::string(arcName) + " cannot be opened.";
        return E_EOPEN;
    }
}

// The failure exit of the two passes: close the pass's handle, give the
// slot back, refuse with the code, and tell the user why, once.
ArchiveSlot* FailOpening(tOpenArchiveData* archiveData, ArchiveSlot* slot, MATFile* file, int failure) {
    if (file != nullptr && matClose(file) != 0) platform::PrintLine("Error closing file %s\n", archiveData->ArcName);
    ReleaseSlot(slot);
    std::string reason;
    archiveData->OpenResult = OpenFailureCode(failure, archiveData->ArcName, &reason);
    platform::ShowMessageBox(reason.c_str(), "Error Opening MAT-file", kOpenErrorBoxStyle);
    return nullptr;
}

// Opens the file for one pass and keeps its handle and stream in the slot.
// False, with the line printed, when it cannot be opened.
bool OpenPass(ArchiveSlot* slot, const char* arcName) {
    MATFile* file = matOpen(arcName, "r");
    if (file == nullptr) {
        platform::PrintLine("Error opening file %s\n", arcName);
        return false;
    }
    slot->matFile = file;
    slot->stream = matGetFp(file);
    return true;
}

}  // namespace

ArchiveSlot* OpenMatArchive(tOpenArchiveData* archiveData) {
    if (archiveData == nullptr) return nullptr;
    const char* arcName = archiveData->ArcName;
    if (arcName == nullptr) {
        archiveData->OpenResult = E_EOPEN;
        return nullptr;
    }

    // Every slot holding an open archive is not the file's fault: the host
    // hears "not enough memory" (room for open archives), not "cannot open".
    ArchiveSlot* slot = ClaimFreeSlot();
    if (slot == nullptr) {
        std::fprintf(stderr, "matwcx: %d archives are open already; close one to open %s\n", kArchiveSlotCount,
                     arcName);
        archiveData->OpenResult = E_NO_MEMORY;
        return nullptr;
    }
    platform::PrintLine("Reading file %s...\n\n", arcName);

    // First pass: only counts the variables.
    if (!OpenPass(slot, arcName)) return FailOpening(archiveData, slot, nullptr, matLastOpenFailure());
    MATFile* file = slot->matFile;
    if (slot->stream == nullptr) return FailOpening(archiveData, slot, file, MAT_OPEN_UNREADABLE);

    int count = 0;
    char** names = matGetDir(file, &count);
    if (names == nullptr && count != 0) {
        platform::PrintLine("Error reading directory of file %s\n", arcName);
        return FailOpening(archiveData, slot, file, MAT_OPEN_DAMAGED);
    }
    // Damage after the last variable listed: the listing ends with a word.
    slot->damagedAfterLast = matCheckIndex(file) != 0;
    platform::PrintLine("Directory of %s:\n", arcName);
    if (names != nullptr) {
        for (int i = 0; i < count; ++i) platform::PrintLine("%s\n", names[i]);
    }
    mxFree(names);
    slot->variableCount = count;
    if (matClose(file) != 0) platform::PrintLine("Error closing file %s\n", arcName);

    // Second pass: the handle the listing reads from, at the first variable.
    if (!OpenPass(slot, arcName)) return FailOpening(archiveData, slot, nullptr, matLastOpenFailure());
    file = slot->matFile;
    if (slot->stream == nullptr) return FailOpening(archiveData, slot, file, MAT_OPEN_UNREADABLE);

    slot->archivePath = arcName;
    slot->nextVariableIndex = 0;
    ReadMatFileHeader(slot);   // a file without a usable date still opens
    slot->hostFileTime = platform::HostFileTime(slot->archiveTimeStamp);
    slot->openMode = archiveData->OpenMode;
    slot->settings = GetPluginSettings();
    PublishSlot(slot);

    archiveData->OpenResult = 0;
    platform::PrintLine("Done\n");
    return slot;
}

int ReadMatFileHeader(ArchiveSlot* slot) {
    if (slot == nullptr) return -1;
    uint8_t start[kHeaderBlockBytes] = {};
    ReadFileStart(slot->stream, start, sizeof start);

    const bool textHeader = start[0] != 0 && start[1] != 0 && start[2] != 0 && start[3] != 0;
    if (textHeader) {
        char text[kHeaderBlockBytes + 1];
        std::memcpy(text, start, kHeaderBlockBytes);
        text[kHeaderBlockBytes] = '\0';
        HeaderDate date{};
        if (ScanHeaderDate(text, &date) && MonthNumber(date) != 0) {
            slot->archiveTimeStamp =
                PackDosDateTime(date.year, MonthNumber(date), date.day, date.hour, date.minute, date.second);
            return 0;
        }
        platform::LocalDateTime found{};
        bool utc = false;
        if (FindDateAnywhere(text, &found, &utc) && (!utc || platform::LocalFromUtc(found, &found))) {
            slot->archiveTimeStamp =
                PackDosDateTime(found.year, found.month, found.day, found.hour, found.minute, found.second);
            return 0;
        }
    }

    // A version 4 file holds no date, nor does a header without a readable
    // one: such a file carries its own modification time.
    platform::LocalDateTime local{};
    int openError = 0;
    switch (platform::LocalModificationTime(slot->archivePath.c_str(), &local, &openError)) {
    case platform::FileTimeResult::Ok:
        break;
    case platform::FileTimeResult::OpenFailed:
        platform::PrintLine("%d", openError);
        return -1;
    case platform::FileTimeResult::StatusFailed:
    case platform::FileTimeResult::ConvertFailed:
        return -1;
    }
    slot->archiveTimeStamp =
        PackDosDateTime(local.year, local.month, local.day, local.hour, local.minute, local.second);
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

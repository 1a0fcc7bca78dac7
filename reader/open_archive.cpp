// Opening a MAT-file as an archive: claim a slot, open the file once, index
// every variable (the listing then walks that index), and find the date every
// entry will carry.
#include "reader/open_archive.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/diagnostics.h"
#include "platform/file_time.h"
#include "platform/host_rules.h"

namespace {

// The slot's path field holds 259 characters and the terminator.
constexpr size_t kMaxArchivePathLength = sizeof(ArchiveSlot{}.archivePath) - 1;

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// ---- the header text ----------------------------------------------------------
// The date stands in MATLAB's descriptive text, "MATLAB 5.0 MAT-file,
// Platform: PCWIN, Created on: Fri Feb 18 10:28:03 2005". It is read as C's
// scanf reads "%*s %f %*s %*s %s %*s %*s %*s %s %d %d%*c%d%*c%d %d": words
// end at white space, numbers skip white space before them, and each "%*c"
// takes exactly one character. The scan works on the terminated text the
// engine read when it opened the file and never reads past it.

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

// ---- opening --------------------------------------------------------------------

// The names one a line, written in blocks: a write of its own for each of a
// million names would cost more than the whole listing.
void PrintNames(char** names, int count) {
    constexpr size_t kBlockBytes = 64 * 1024;
    std::string block;
    try {
        for (int i = 0; i < count; ++i) {
            block += names[i];
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

// The failure exit: close the handle, give the slot back, refuse.
ArchiveSlot* FailOpening(tOpenArchiveData* archiveData, ArchiveSlot* slot, MATFile* file) {
    if (file != nullptr && matClose(file) != 0) platform::PrintLine("Error closing file %s\n", archiveData->ArcName);
    ReleaseSlot(slot);
    archiveData->OpenResult = E_EOPEN;
    return nullptr;
}

}  // namespace

ArchiveSlot* OpenMatArchive(tOpenArchiveData* archiveData) {
    if (archiveData == nullptr) return nullptr;
    const char* arcName = archiveData->ArcName;
    // A path the slot cannot hold is refused before anything happens: no slot
    // is touched, nothing is printed or opened.
    if (arcName == nullptr || strnlen(arcName, kMaxArchivePathLength + 1) > kMaxArchivePathLength) {
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

    // One handle indexes every variable and then serves the listing from
    // that index.
    MATFile* file = matOpen(arcName, "r");
    if (file == nullptr) {
        platform::PrintLine("Error opening file %s\n", arcName);
        return FailOpening(archiveData, slot, nullptr);
    }
    FILE* stream = matGetFp(file);
    if (stream == nullptr) return FailOpening(archiveData, slot, file);

    int count = 0;
    char** names = matGetDir(file, &count);
    if (names == nullptr && count != 0) {
        platform::PrintLine("Error reading directory of file %s\n", arcName);
        return FailOpening(archiveData, slot, file);
    }
    platform::PrintLine("Directory of %s:\n", arcName);
    PrintNames(names, count);
    mxFree(names);

    slot->matFile = file;
    slot->stream = stream;
    slot->variableCount = count;
    std::memcpy(slot->archivePath, arcName, std::strlen(arcName) + 1);
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
    char text[128];
    if (matGetHeaderText(slot->matFile, text, sizeof text) == 0) {
        HeaderDate date{};
        if (!ScanHeaderDate(text, &date)) return -1;
        const int month = MonthNumber(date);
        if (month == 0) return -1;
        slot->archiveTimeStamp =
            PackDosDateTime(date.year, month, date.day, date.hour, date.minute, date.second);
        return 0;
    }

    // A version 4 file holds no date: it carries the file's own modification
    // time, as the engine found it when it opened the file.
    int64_t modified = 0;
    platform::LocalDateTime local{};
    if (matGetModifiedTime(slot->matFile, &modified) != 0 || !platform::LocalTimeOf(modified, &local)) return -1;
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

// Each field's value, from the file's summary. Texts are cut to the host's
// buffer with "..." (columns are informative); numbers that do not fit are
// refused. A file the engine cannot open is an ft_fileerror for every
// field but Damaged, which is true for a MAT-file whose first variable is
// already damaged.
#include "content/fields.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "content/mat_summary.h"
#include "matlib/mat.h"
#include "os/text_encoding.h"
#include "wcx/content_api.h"

namespace content {
namespace {

// A file read by the worker program: the first call of a file starts it,
// too slow for the host's foreground thread.
bool StartsWorker(const std::string& path) {
    matFormatInfo format{};
    return matPeekFormatInfo(path.c_str(), &format) == 0 && format.startsWorker;
}

const FieldInfo kFields[kFieldCount] = {
    {"MAT version", ft_multiplechoice, "4|5|7|7.3", 0, 1},
    {"Variables", ft_numeric_32, "", 0, -1},
    {"Variable names", ft_string, "", 0, 1},
    {"Classes", ft_string, "", 0, 1},
    {"Largest variable", ft_string, "", 0, 1},
    {"Data bytes", ft_numeric_64, "bytes|KB|MB|GB", 0, -1},
    {"Compressed", ft_boolean, "", 0, 1},
    {"Holds objects", ft_boolean, "", 0, 1},
    {"Damaged", ft_boolean, "", 0, 1},
    {"Written by", ft_string, "", 0, 1},
    {"Created", ft_datetime, "", 0, -1},
    {"Has variable", ft_string, "", contflags_fieldsearch | contflags_searchpageonly, 1},
    {"Variable list", ft_fulltext, "", 0, 1},
};

// ---- writing into the host's buffer ------------------------------------------------

// UTF-8 text in the host's 8-bit form (Windows: its code page).
bool ToAnsi(const std::string& utf8, std::string* out) { return platform::Utf8ToHostAnsi(utf8.c_str(), out); }

// A text cut to fit `capacity` units with its terminator: whole when it
// fits, else as many characters as fit before "..."; false (and an empty
// text) when not even that fits.
bool PutCut8(char* field, size_t capacity, const std::string& text, bool utf8) {
    if (capacity == 0) return false;
    field[0] = '\0';
    if (text.size() < capacity) {
        std::memcpy(field, text.c_str(), text.size() + 1);
        return true;
    }
    if (capacity < 4) return false;
    size_t keep = capacity - 4;
    while (utf8 && keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
    std::memcpy(field, text.data(), keep);
    std::memcpy(field + keep, "...", 4);
    return true;
}

bool PutCut16(WCHAR* field, size_t capacity, const std::u16string& text) {
    if (capacity == 0) return false;
    field[0] = 0;
    size_t keep = text.size();
    const bool whole = keep < capacity;
    if (!whole) {
        if (capacity < 4) return false;
        keep = capacity - 4;
        if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;   // no half pair
    }
    for (size_t i = 0; i < keep; ++i) field[i] = static_cast<WCHAR>(text[i]);
    size_t end = keep;
    if (!whole) {
        for (int i = 0; i < 3; ++i) field[end++] = '.';
    }
    field[end] = 0;
    return true;
}

// A text field's value in the form the host asked for.
int PutText(const std::string& utf8, void* value, int maxlen, TextForm form) {
    if (form == TextForm::Wide) {
        std::u16string wide;
        if (!platform::Utf8ToUtf16(utf8.c_str(), &wide)) return ft_fieldempty;
        return PutCut16(static_cast<WCHAR*>(value), static_cast<size_t>(maxlen) / sizeof(WCHAR), wide) ? ft_stringw
                                                                                                         : ft_fieldempty;
    }
    std::string ansi;
    if (!ToAnsi(utf8, &ansi)) return ft_fieldempty;
#if defined(_WIN32)
    const bool utf8Form = false;
#else
    const bool utf8Form = true;
#endif
    return PutCut8(static_cast<char*>(value), static_cast<size_t>(maxlen), ansi, utf8Form) ? ft_string : ft_fieldempty;
}

template <typename T>
int PutNumber(T number, int type, void* value, int maxlen) {
    if (static_cast<size_t>(maxlen) < sizeof(T)) return ft_fieldempty;
    std::memcpy(value, &number, sizeof(T));
    return type;
}

// One block of the full text from byte `offset`: exactly maxlen-1 bytes
// (fewer only at its end) or, for the W call, maxlen/2-1 units, since Total
// Commander asks for the next block at offset + maxlen - 1.
//
// The host asks block after block of one file's text: the text of the last
// summary asked is kept (per thread) in the form asked, made once for all
// its blocks.
struct FullText {
    std::shared_ptr<const FileSummary> summary;   // held: its address names no other summary
    TextForm form = TextForm::Ansi;
    bool made = false;   // false: the text has no form the host takes
    std::u16string wide;
    std::string ansi;
};
FullText& LastFullText() {
    static thread_local FullText last;
    return last;
}

std::string VariableLines(const FileSummary& s);

int PutFullText(const std::shared_ptr<const FileSummary>& summary, int offset, void* value, int maxlen,
                TextForm form) {
    if (offset < 0) return ft_fieldempty;   // -1: the host is done with the text
    FullText& last = LastFullText();
    if (last.summary != summary || last.form != form) {
        last = FullText{};
        const std::string utf8 = VariableLines(*summary);
        last.made = form == TextForm::Wide ? platform::Utf8ToUtf16(utf8.c_str(), &last.wide) : ToAnsi(utf8, &last.ansi);
        last.summary = summary;
        last.form = form;
    }
    if (!last.made) return ft_fieldempty;
    if (form == TextForm::Wide) {
        const std::u16string& wide = last.wide;
        const size_t at = static_cast<size_t>(offset) / sizeof(WCHAR);
        const size_t room = static_cast<size_t>(maxlen) / sizeof(WCHAR);
        if (at >= wide.size() || room < 2) return ft_fieldempty;
        const size_t n = std::min(room - 1, wide.size() - at);
        WCHAR* out = static_cast<WCHAR*>(value);
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<WCHAR>(wide[at + i]);
        out[n] = 0;
        return ft_fulltextw;
    }
    const std::string& ansi = last.ansi;
    const size_t at = static_cast<size_t>(offset);
    if (at >= ansi.size() || maxlen < 2) return ft_fieldempty;
    const size_t n = std::min(static_cast<size_t>(maxlen) - 1, ansi.size() - at);
    std::memcpy(value, ansi.data() + at, n);
    static_cast<char*>(value)[n] = '\0';
    return ft_fulltext;
}

// ---- the values ------------------------------------------------------------------------

std::string Joined(const FileSummary& s, bool classes) {
    std::string text;
    std::vector<std::string_view> seen;
    for (const VariableSummary& v : s.variables) {
        const std::string_view word = classes ? s.ClassName(v) : s.Name(v);
        bool again = false;
        for (const std::string_view w : seen) again = again || w == word;
        if (classes && again) continue;
        if (classes) seen.push_back(word);
        if (!text.empty()) text += ", ";
        text += word;
    }
    if (!classes && static_cast<size_t>(s.variableCount) > s.variables.size()) text += ", ...";
    return text;
}

std::string VariableLines(const FileSummary& s) {
    std::string text;
    for (const VariableSummary& v : s.variables) {
        text.append(s.Name(v)).append(1, ' ').append(s.ClassName(v)).append(1, ' ').append(s.Dims(v)).append(1, '\n');
    }
    return text;
}

int Value(const FileSummary& s, int field, int unit, void* value, int maxlen, TextForm form) {
    switch (field) {
    case kMatVersion: {
        const char* version = s.compressed ? s.format.compressedVersionName : s.format.versionName;
        // The choices are 8-bit text in both calls.
        return PutCut8(static_cast<char*>(value), static_cast<size_t>(maxlen), version, false) ? ft_multiplechoice
                                                                                                : ft_fieldempty;
    }
    case kVariables: return PutNumber<int32_t>(s.variableCount, ft_numeric_32, value, maxlen);
    case kVariableNames:
    case kHasVariable:
        if (s.variableCount == 0) return ft_fieldempty;
        return PutText(Joined(s, false), value, maxlen, form);
    case kClasses:
        if (s.variableCount == 0) return ft_fieldempty;
        return PutText(Joined(s, true), value, maxlen, form);
    case kLargestVariable: {
        const VariableSummary* largest = nullptr;
        for (const VariableSummary& v : s.variables) {
            if (largest == nullptr || v.bytes > largest->bytes) largest = &v;
        }
        if (largest == nullptr) return ft_fieldempty;
        return PutText(std::string(s.Name(*largest)) + " (" + std::to_string(largest->bytes) + " bytes)", value, maxlen, form);
    }
    case kDataBytes: {
        if (unit < 0 || unit > 3) unit = 0;
        uint64_t bytes = s.dataBytes;
        for (int i = 0; i < unit; ++i) bytes /= 1024;
        if (bytes > static_cast<uint64_t>(INT64_MAX)) bytes = static_cast<uint64_t>(INT64_MAX);
        return PutNumber<int64_t>(static_cast<int64_t>(bytes), ft_numeric_64, value, maxlen);
    }
    case kCompressed:
        // A version 7.3 file's compression is its datasets' own, not told by the headers.
        if (!s.format.compressionListed) return ft_fieldempty;
        return PutNumber<int32_t>(s.compressed ? 1 : 0, ft_boolean, value, maxlen);
    case kHoldsObjects: return PutNumber<int32_t>(s.objects ? 1 : 0, ft_boolean, value, maxlen);
    case kDamaged: return PutNumber<int32_t>(s.damaged ? 1 : 0, ft_boolean, value, maxlen);
    case kWrittenBy: {
        const std::string text = WrittenBy(s.headerText);
        if (text.empty()) return ft_fieldempty;
        return PutText(text, value, maxlen, form);
    }
    case kCreated: {
        uint64_t created = 0;
        if (!CreatedFileTime(s, &created)) return ft_fieldempty;
        if (static_cast<size_t>(maxlen) < sizeof(FILETIME)) return ft_fieldempty;
        FILETIME time{static_cast<DWORD>(created & 0xFFFFFFFFu), static_cast<DWORD>(created >> 32)};
        std::memcpy(value, &time, sizeof time);
        return ft_datetime;
    }
    default: return ft_nosuchfield;
    }
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (part.size() > text.size()) return false;
    for (size_t i = 0; i + part.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < part.size() && lower(text[i + j]) == lower(part[j])) ++j;
        if (j == part.size()) return true;
    }
    return false;
}

// Fields the MAT header alone answers: a column of them reads no variable.
// (The version is not one: version 7 is a level-5 file that compresses.)
bool IsHeaderField(int field) { return field == kWrittenBy || field == kCreated; }

int FailureOf(SummaryResult result) { return result == SummaryResult::Stopped ? ft_fieldempty : ft_fileerror; }

}  // namespace

const char* const kCompareName = "Same variables and values";
const char* const kHasVariableOperators = "= != contains !contains";

const FieldInfo* FieldAt(int index) { return index >= 0 && index < kFieldCount ? &kFields[index] : nullptr; }

int GetFieldValue(const std::string& path, int field, int unit, void* value, int maxlen, int flags, TextForm form) {
    if (field < 0 || field >= kFieldCount) return ft_nosuchfield;
    if (value == nullptr || maxlen <= 0) return ft_fieldempty;
    if (field == kVariableList && unit < 0) {   // the host drops its cached text: so do we
        LastFullText() = FullText{};
        return ft_fieldempty;
    }
    try {
        const bool damaged = field == kDamaged;
        const Depth depth = damaged ? Depth::Checked : IsHeaderField(field) ? Depth::Header : Depth::Variables;
        if ((flags & CONTENT_DELAYIFSLOW) != 0 && !IsCached(path, depth)) {
            // The check reads every variable's data: only when asked for.
            if (damaged) return ft_ondemand;
            if (StartsWorker(path)) return ft_delayed;
        }
        ActiveCall call(path);
        std::shared_ptr<const FileSummary> summary;
        const SummaryResult result = Summarise(path, depth, call.flag(), &summary);
        if (result == SummaryResult::Damaged && damaged) return PutNumber<int32_t>(1, ft_boolean, value, maxlen);
        if (result != SummaryResult::Ok) return FailureOf(result);
        if (field == kVariableList) return PutFullText(summary, unit, value, maxlen, form);
        return Value(*summary, field, unit, value, maxlen, form);
    } catch (const std::bad_alloc&) {
        return ft_fileerror;
    }
}

int FindVariable(const std::string& path, int operation, const std::string& name, int flags) {
    if (operation < 0 || operation >= kHasVariableOperatorCount) return ft_nosuchfield;
    try {
        if ((flags & CONTENT_DELAYIFSLOW) != 0 && !IsCached(path, Depth::Variables) && StartsWorker(path)) {
            return ft_delayed;
        }
        ActiveCall call(path);
        std::shared_ptr<const FileSummary> summary;
        const SummaryResult result = Summarise(path, Depth::Variables, call.flag(), &summary);
        if (result != SummaryResult::Ok) return FailureOf(result);
        bool holds = false;
        for (const VariableSummary& v : summary->variables) {
            const std::string_view held = summary->Name(v);
            holds = holds || (operation < 2 ? held == name : ContainsIgnoringCase(held, name));
        }
        const bool wanted = operation == 0 || operation == 2 ? holds : !holds;
        return wanted ? ft_found : ft_notfound;
    } catch (const std::bad_alloc&) {
        return ft_fileerror;
    }
}

}  // namespace content

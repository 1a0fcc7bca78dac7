#include "entry/entry_name.h"

#include <algorithm>
#include <climits>
#include <new>

#include "os/host_rules.h"

namespace {

// The listed name of the unnamed variable that MATLAB appends to hold
// function workspaces. "%_" is no escape, so no other name encodes to it.
constexpr const char* kUnnamedVariable = "%__function_workspace__";

// Marks the occurrence of a repeated name; "#" is no hex digit, so "%#"
// cannot be mistaken for an escaped byte.
constexpr const char* kOccurrenceMark = "%#";

// Marks a shortened name's position; "~" is no hex digit either.
constexpr const char* kPositionMark = "%~";

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsPlainByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;   // lower-case digits are never written, so never accepted
}

// A count as the listing writes it: digits only, no leading zero, at least
// `least`.
bool ParseCount(const std::string& text, int least, int* count) {
    if (text.empty() || text[0] == '0') return false;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return false;
    }
    if (value < least) return false;
    *count = static_cast<int>(value);
    return true;
}

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

void AppendEscaped(std::string* listed, unsigned char c) {
    *listed += '%';
    *listed += kHexDigits[c >> 4];
    *listed += kHexDigits[c & 0x0F];
}

}  // namespace

std::string EncodeVariableName(const char* rawName, int occurrence) {
    const char* name = rawName != nullptr ? rawName : "";
    std::string listed;
    if (*name == '\0') {
        listed = kUnnamedVariable;
    } else {
        for (const char* p = name; *p != '\0'; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            if (IsPlainByte(c)) {
                listed += static_cast<char>(c);
            } else {
                AppendEscaped(&listed, c);
            }
        }
        // A name the system keeps for a device ("aux" on Windows) would make
        // the extracted file a device: its last character is escaped.
        if (platform::IsDeviceName(listed.c_str())) {
            const auto last = static_cast<unsigned char>(listed.back());
            listed.pop_back();
            AppendEscaped(&listed, last);
        }
    }
    if (occurrence > 1) {
        listed += kOccurrenceMark;
        listed += std::to_string(occurrence);
    }
    return listed;
}

std::string ShortenedName(const std::string& listedName, size_t position) {
    const std::string mark = kPositionMark + std::to_string(position);
    return listedName.substr(0, kShortenedNameLength - mark.size()) + mark;
}

std::string_view ListedNameOf(std::string_view entryName) { return entryName.substr(0, entryName.find('.')); }

bool IsPartEntryName(std::string_view entryName) {
    const size_t separator = entryName.find_last_of("/\\");
    if (separator == std::string_view::npos) return false;
    const std::string_view tail = entryName.substr(separator + 1);
    return !tail.empty() && tail != "*.*" && tail != ListedNameOf(entryName);
}

bool VariableOfEntryName(std::string_view entryName, VariableRef* out) {
    if (out == nullptr) return false;
    try {
        std::string text(ListedNameOf(entryName));
        if (std::any_of(text.begin(), text.end(), IsPathSeparator)) return false;

        // A shortened name: its start shows no more than it shows.
        if (const size_t mark = text.rfind(kPositionMark); mark != std::string::npos) {
            int position = 0;
            if (!ParseCount(text.substr(mark + 2), 1, &position)) return false;
            if (text.size() != kShortenedNameLength) return false;
            text.resize(mark);
            if (text.find(kPositionMark) != std::string::npos) return false;
            *out = VariableRef{};
            out->position = static_cast<size_t>(position);
            out->shownStart = std::move(text);
            return true;
        }

        int occurrence = 1;
        if (const size_t mark = text.find(kOccurrenceMark); mark != std::string::npos) {
            if (!ParseCount(text.substr(mark + 2), 2, &occurrence)) return false;
            text.resize(mark);
        }

        std::string name;
        if (text != kUnnamedVariable) {
            for (size_t i = 0; i < text.size(); ++i) {
                if (text[i] != '%') {
                    name += text[i];
                    continue;
                }
                if (i + 2 >= text.size()) return false;   // "%" needs two hex digits
                const int high = HexValue(text[i + 1]);
                const int low = HexValue(text[i + 2]);
                if (high < 0 || low < 0) return false;
                name += static_cast<char>(high * 16 + low);
                i += 2;
            }
            // Only the one spelling the listing writes leads back: "%41" is
            // not "A", and a name with a NUL byte was never listed.
            if (name.empty() || name.find('\0') != std::string::npos) return false;
            if (EncodeVariableName(name.c_str(), 1) != text) return false;
        }
        *out = VariableRef{};
        out->name = std::move(name);
        out->occurrence = occurrence;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// The class text is shown only and never read back, so a longer class name
// (a crafted opaque class) is cut to this length rather than refused.
constexpr size_t kMaxClassTextLength = 63;

// The dimensions from the last to the first, joined by "x". When that is
// longer than maxLength, the middle sizes give way to "..." ("5x4x...x2"):
// the leading sizes stay as many as fit, the first dimension stays last.
// False when not even "...x<first dimension>" fits.
bool DimensionText(const size_t* dims, size_t count, size_t maxLength, std::string* out) {
    std::string full;
    for (size_t i = count; i-- > 0 && full.size() <= maxLength;) {
        full += std::to_string(dims[i]);
        if (i > 0) full += 'x';
    }
    if (full.size() <= maxLength) {
        *out = std::move(full);
        return true;
    }
    if (count < 2) return false;
    const std::string tail = "...x" + std::to_string(dims[0]);
    if (tail.size() > maxLength) return false;
    std::string head;   // "5x4x": the last dimensions, each with its "x"
    for (size_t i = count - 1; i > 1; --i) {
        std::string next = head + std::to_string(dims[i]) + 'x';
        if (next.size() + tail.size() > maxLength) break;
        head = std::move(next);
    }
    *out = head + tail;
    return true;
}

}  // namespace

// The class name as the entry shows it: case changed (ASCII letters only),
// and every byte that could not stand in a file name on every host (path
// separators, control characters, ':', '*', blanks, non-ASCII...) replaced by
// "_". Letters, digits, "_" and "." (package classes such as containers.Map)
// stay.
std::string EntryClassText(const char* className, bool global) {
    std::string text;
    for (const char* p = className; *p != '\0' && text.size() < kMaxClassTextLength; ++p) {
        char c = *p;
        if (c >= 'a' && c <= 'z' && global) {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z' && !global) {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     c == '_' || c == '.')) {
            c = '_';
        }
        text += c;
    }
    return text;
}

// The entry name, or false when it cannot fit maxLength characters. A struct
// or cell shown as a directory repeats the listed name; when that no longer
// fits, the entry is listed flat instead: it still leads back to the same
// variable.
bool MakeEntryName(const std::string& listedName, const std::string& classText, const size_t* dims,
               size_t dimCount, bool asDirectory, size_t maxLength, std::string* out) {
    const std::string prefix = listedName + "." + classText + " [";
    for (int attempt = asDirectory ? 0 : 1; attempt < 2; ++attempt) {
        std::string suffix = "] ";
        if (attempt == 0) suffix += platform::kPathSeparator + listedName;
        const size_t fixedLength = prefix.size() + suffix.size();
        if (fixedLength > maxLength) continue;
        std::string dimensions;
        if (!DimensionText(dims, dimCount, maxLength - fixedLength, &dimensions)) continue;
        *out = prefix + dimensions + suffix;
        return true;
    }
    return false;
}

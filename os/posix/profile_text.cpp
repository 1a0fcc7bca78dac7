#include "os/posix/profile_text.h"

#include <cstdint>

namespace platform::profile_text {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlankLine(std::string_view line) { return Trim(line).empty(); }

bool IsComment(std::string_view trimmedLine) { return !trimmedLine.empty() && trimmedLine.front() == ';'; }

// A header is "[name]" after leading blanks; the name is what stands between
// "[" and the first "]", trimmed.
bool HeaderName(std::string_view line, std::string_view* name) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() != '[') return false;
    const size_t close = trimmed.find(']');
    if (close == std::string_view::npos) return false;
    *name = Trim(trimmed.substr(1, close - 1));
    return true;
}

bool IsHeader(std::string_view line) {
    std::string_view ignored;
    return HeaderName(line, &ignored);
}

std::string_view KeyOf(std::string_view line) {
    const size_t equals = line.find('=');
    return Trim(equals == std::string_view::npos ? line : line.substr(0, equals));
}

// Replaces bytes [from, to) by insertion. Something added at the very end of
// a file whose last line has no line end first ends that line.
std::string Splice(std::string_view text, size_t from, size_t to, std::string_view insertion,
                   std::string_view lineEnd) {
    std::string result;
    const bool endLastLine = from == text.size() && !text.empty() && text.back() != '\n' && !insertion.empty();
    result.reserve(text.size() + insertion.size() + lineEnd.size());
    result.append(text.substr(0, from));
    if (endLastLine) result.append(lineEnd);
    result.append(insertion);
    result.append(text.substr(to));
    return result;
}

std::string KeyLine(std::string_view key, std::string_view value) {
    std::string line;
    line.reserve(key.size() + 1 + value.size());
    line.append(key).append("=").append(value);
    return line;
}

}  // namespace

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

size_t FirstLineStart(std::string_view text) {
    return text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
}

Line LineAt(std::string_view text, size_t begin) {
    const size_t newline = text.find('\n', begin);
    if (newline == std::string_view::npos) return {begin, text.size(), text.size()};
    const size_t end = (newline > begin && text[newline - 1] == '\r') ? newline - 1 : newline;
    return {begin, end, newline + 1};
}

std::string_view LineEndOf(std::string_view text) {
    const size_t newline = text.find('\n');
    if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r') return "\r\n";
    return "\n";
}

bool FindSection(std::string_view text, std::string_view name, Section* out) {
    const std::string_view wanted = Trim(name);
    for (size_t at = FirstLineStart(text); at < text.size();) {
        const Line header = LineAt(text, at);
        at = header.next;
        std::string_view headerName;
        if (!HeaderName(TextOf(text, header), &headerName) || !EqualNoCase(headerName, wanted)) continue;
        Section section{header.begin, header.next, header.next, text.size()};
        while (at < text.size()) {
            const Line line = LineAt(text, at);
            const std::string_view lineText = TextOf(text, line);
            if (IsHeader(lineText)) {
                section.bodyEnd = line.begin;
                break;
            }
            if (!IsBlankLine(lineText)) section.contentEnd = line.next;
            at = line.next;
        }
        *out = section;
        return true;
    }
    return false;
}

bool FindKey(std::string_view text, const Section& section, std::string_view key, Line* out) {
    const std::string_view wanted = Trim(key);
    for (size_t at = section.bodyBegin; at < section.contentEnd;) {
        const Line line = LineAt(text, at);
        at = line.next;
        const std::string_view trimmed = Trim(TextOf(text, line));
        if (trimmed.empty() || IsComment(trimmed) || !EqualNoCase(KeyOf(trimmed), wanted)) continue;
        *out = line;
        return true;
    }
    return false;
}

std::string_view ValueOf(std::string_view line) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return {};
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

std::string SetKey(std::string_view text, std::string_view section, std::string_view key,
                   std::string_view value) {
    const std::string_view lineEnd = LineEndOf(text);
    Section found{};
    if (!FindSection(text, section, &found)) {
        std::string added;
        added.append("[").append(Trim(section)).append("]").append(lineEnd);
        added.append(KeyLine(Trim(key), value)).append(lineEnd);
        return Splice(text, text.size(), text.size(), added, lineEnd);
    }
    Line keyLine{};
    if (FindKey(text, found, key, &keyLine)) {
        // Replaced in place under the name the file already uses.
        const std::string replacement = KeyLine(KeyOf(TextOf(text, keyLine)), value);
        return Splice(text, keyLine.begin, keyLine.end, replacement, lineEnd);
    }
    std::string added = KeyLine(Trim(key), value);
    added.append(lineEnd);
    return Splice(text, found.contentEnd, found.contentEnd, added, lineEnd);
}

std::string RemoveKey(std::string_view text, std::string_view section, std::string_view key) {
    Section found{};
    Line keyLine{};
    if (!FindSection(text, section, &found) || !FindKey(text, found, key, &keyLine)) return std::string(text);
    return Splice(text, keyLine.begin, keyLine.next, {}, {});
}

std::string RemoveSection(std::string_view text, std::string_view section) {
    Section found{};
    if (!FindSection(text, section, &found)) return std::string(text);
    return Splice(text, found.header, found.bodyEnd, {}, {});
}

std::string ReplaceSection(std::string_view text, std::string_view section,
                           const std::vector<std::string_view>& newLines) {
    const std::string_view lineEnd = LineEndOf(text);
    std::string body;
    for (std::string_view line : newLines) body.append(line).append(lineEnd);
    Section found{};
    if (!FindSection(text, section, &found)) {
        std::string added;
        added.append("[").append(Trim(section)).append("]").append(lineEnd).append(body);
        return Splice(text, text.size(), text.size(), added, lineEnd);
    }
    // The blank lines that part this section from the next one stay.
    return Splice(text, found.bodyBegin, found.contentEnd, body, lineEnd);
}

namespace {

uint32_t UnitAt(std::string_view bytes, size_t at, bool bigEndian) {
    const auto b0 = static_cast<unsigned char>(bytes[at]), b1 = static_cast<unsigned char>(bytes[at + 1]);
    return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
}

void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | cp >> 6));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | cp >> 12));
        out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | cp >> 18));
        out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUnit(uint32_t unit, bool bigEndian, std::string* out) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    out->push_back(bigEndian ? high : low);
    out->push_back(bigEndian ? low : high);
}

// The code point of the UTF-8 sequence at `at` and its length; a byte that
// starts no complete sequence stands for itself (length 1).
uint32_t NextCodePoint(std::string_view text, size_t at, size_t* length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t n = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    *length = 1;
    if (n <= 1 || at + n > text.size()) return lead;
    uint32_t cp = lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(text[at + k]);
        if ((b & 0xC0) != 0x80) return lead;
        cp = cp << 6 | (b & 0x3F);
    }
    // Overlong forms and values beyond Unicode are no sequence we wrote.
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF) return lead;
    *length = n;
    return cp;
}

}  // namespace

bool DecodeFileText(std::string_view bytes, FileEncoding* encoding, std::string* text) {
    const bool little = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
    const bool big = bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF';
    if (!little && !big) {
        *encoding = FileEncoding::kBytes;
        text->assign(bytes);
        return true;
    }
    *encoding = little ? FileEncoding::kUtf16Le : FileEncoding::kUtf16Be;
    if (bytes.size() % 2 != 0) return false;
    text->clear();
    text->reserve(bytes.size());
    for (size_t at = 2; at < bytes.size(); at += 2) {
        uint32_t unit = UnitAt(bytes, at, big);
        if (unit >= 0xD800 && unit <= 0xDBFF && at + 3 < bytes.size()) {
            const uint32_t next = UnitAt(bytes, at + 2, big);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                at += 2;
            }
        }
        AppendUtf8(unit, text);
    }
    return true;
}

std::string EncodeFileText(std::string_view text, FileEncoding encoding) {
    if (encoding == FileEncoding::kBytes) return std::string(text);
    const bool big = encoding == FileEncoding::kUtf16Be;
    std::string bytes;
    bytes.reserve(2 + text.size() * 2);
    AppendUnit(0xFEFF, big, &bytes);
    for (size_t at = 0; at < text.size();) {
        size_t length = 1;
        const uint32_t cp = NextCodePoint(text, at, &length);
        at += length;
        if (cp >= 0x10000) {
            AppendUnit(0xD800 + ((cp - 0x10000) >> 10), big, &bytes);
            AppendUnit(0xDC00 + ((cp - 0x10000) & 0x3FF), big, &bytes);
        } else {
            AppendUnit(cp, big, &bytes);
        }
    }
    return bytes;
}

}  // namespace platform::profile_text

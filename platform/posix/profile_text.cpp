#include "platform/posix/profile_text.h"

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

}  // namespace platform::profile_text

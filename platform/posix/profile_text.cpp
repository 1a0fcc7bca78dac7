#include "platform/posix/profile_text.h"

namespace platform::profile_text {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view LineText(std::string_view text, const Line& line) {
    return text.substr(line.begin, line.end - line.begin);
}

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

size_t LineStart(const std::vector<Line>& lines, size_t index, size_t textSize) {
    return index < lines.size() ? lines[index].begin : textSize;
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

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    // A byte-order mark belongs to no line: it stays in front of the first.
    size_t begin = text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
    while (begin < text.size()) {
        const size_t newline = text.find('\n', begin);
        if (newline == std::string_view::npos) {
            lines.push_back({begin, text.size(), text.size()});
            break;
        }
        const size_t end = (newline > begin && text[newline - 1] == '\r') ? newline - 1 : newline;
        lines.push_back({begin, end, newline + 1});
        begin = newline + 1;
    }
    return lines;
}

std::string_view LineEndOf(std::string_view text, const std::vector<Line>& lines) {
    for (const Line& line : lines) {
        if (line.next > line.end) return text.substr(line.end, line.next - line.end);
    }
    return "\n";
}

bool FindSection(std::string_view text, const std::vector<Line>& lines, std::string_view name, Section* out) {
    const std::string_view wanted = Trim(name);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view header;
        if (!HeaderName(LineText(text, lines[i]), &header) || !EqualNoCase(header, wanted)) continue;
        Section section{i, i + 1, i + 1, lines.size()};
        for (size_t j = i + 1; j < lines.size(); ++j) {
            const std::string_view line = LineText(text, lines[j]);
            std::string_view ignored;
            if (HeaderName(line, &ignored)) {
                section.bodyEnd = j;
                break;
            }
            if (!IsBlankLine(line)) section.contentEnd = j + 1;
        }
        *out = section;
        return true;
    }
    return false;
}

size_t FindKey(std::string_view text, const std::vector<Line>& lines, const Section& section,
               std::string_view key) {
    const std::string_view wanted = Trim(key);
    for (size_t i = section.bodyBegin; i < section.contentEnd; ++i) {
        const std::string_view line = Trim(LineText(text, lines[i]));
        if (line.empty() || IsComment(line)) continue;
        if (EqualNoCase(KeyOf(line), wanted)) return i;
    }
    return std::string_view::npos;
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
    const std::vector<Line> lines = SplitLines(text);
    const std::string_view lineEnd = LineEndOf(text, lines);
    Section found{};
    if (!FindSection(text, lines, section, &found)) {
        std::string added;
        added.append("[").append(Trim(section)).append("]").append(lineEnd);
        added.append(KeyLine(Trim(key), value)).append(lineEnd);
        return Splice(text, text.size(), text.size(), added, lineEnd);
    }
    const size_t keyLine = FindKey(text, lines, found, key);
    if (keyLine != std::string_view::npos) {
        // Replaced in place under the name the file already uses.
        const Line& line = lines[keyLine];
        const std::string replacement = KeyLine(KeyOf(LineText(text, line)), value);
        return Splice(text, line.begin, line.end, replacement, lineEnd);
    }
    std::string added = KeyLine(Trim(key), value);
    added.append(lineEnd);
    const size_t at = LineStart(lines, found.contentEnd, text.size());
    return Splice(text, at, at, added, lineEnd);
}

std::string RemoveKey(std::string_view text, std::string_view section, std::string_view key) {
    const std::vector<Line> lines = SplitLines(text);
    Section found{};
    if (!FindSection(text, lines, section, &found)) return std::string(text);
    const size_t keyLine = FindKey(text, lines, found, key);
    if (keyLine == std::string_view::npos) return std::string(text);
    return Splice(text, lines[keyLine].begin, lines[keyLine].next, {}, {});
}

std::string RemoveSection(std::string_view text, std::string_view section) {
    const std::vector<Line> lines = SplitLines(text);
    Section found{};
    if (!FindSection(text, lines, section, &found)) return std::string(text);
    return Splice(text, lines[found.header].begin, LineStart(lines, found.bodyEnd, text.size()), {}, {});
}

std::string ReplaceSection(std::string_view text, std::string_view section,
                           const std::vector<std::string_view>& newLines) {
    const std::vector<Line> lines = SplitLines(text);
    const std::string_view lineEnd = LineEndOf(text, lines);
    std::string body;
    for (std::string_view line : newLines) body.append(line).append(lineEnd);
    Section found{};
    if (!FindSection(text, lines, section, &found)) {
        std::string added;
        added.append("[").append(Trim(section)).append("]").append(lineEnd).append(body);
        return Splice(text, text.size(), text.size(), added, lineEnd);
    }
    // The blank lines that part this section from the next one stay.
    const size_t from = LineStart(lines, found.bodyBegin, text.size());
    const size_t to = LineStart(lines, found.contentEnd, text.size());
    return Splice(text, from, to, body, lineEnd);
}

}  // namespace platform::profile_text

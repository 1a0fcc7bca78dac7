// The text of an INI file as Windows' private-profile functions see it, and
// the edits they make to it. Pure text: no file access. Every edit touches
// only the lines it must; all other bytes, line ends included, stay as they
// were. The edits allocate and may throw std::bad_alloc; callers catch it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform::profile_text {

// One line: [begin, end) is its text, [end, next) its line end ("", "\n" or "\r\n").
struct Line {
    size_t begin;
    size_t end;
    size_t next;
};

// A section as byte offsets: its header line, the start of the line after
// the header, the end of its last non-blank line with its line end
// (bodyBegin when it has none), and the start of the next section's header
// (or the end of the text).
struct Section {
    size_t header;
    size_t bodyBegin;
    size_t contentEnd;
    size_t bodyEnd;
};

// Where the first line starts: after a UTF-8 byte-order mark, which belongs
// to no line and stays in front of the first.
size_t FirstLineStart(std::string_view text);
// The line that starts at begin (begin < text.size()).
Line LineAt(std::string_view text, size_t begin);
inline std::string_view TextOf(std::string_view text, const Line& line) {
    return text.substr(line.begin, line.end - line.begin);
}

// Blanks as the profile functions trim them.
bool IsBlank(char c);
std::string_view Trim(std::string_view text);
bool EqualNoCase(std::string_view a, std::string_view b);

// The line end new lines use: the file's first one, else "\n".
std::string_view LineEndOf(std::string_view text);

// The first section of that name; false when there is none.
bool FindSection(std::string_view text, std::string_view name, Section* out);

// The first line of the section whose key is that name (text before the first
// "=", trimmed; a line without "=" is a key with an empty value). Comment lines
// are never keys. False when there is none.
bool FindKey(std::string_view text, const Section& section, std::string_view key, Line* out);

// The value of a key's line: the text after the first "=", trimmed, without
// one pair of surrounding quotes ("" or '').
std::string_view ValueOf(std::string_view line);

// The edits. Each returns the whole new text.
std::string SetKey(std::string_view text, std::string_view section, std::string_view key,
                   std::string_view value);
std::string RemoveKey(std::string_view text, std::string_view section, std::string_view key);
std::string RemoveSection(std::string_view text, std::string_view section);
// lines: the new lines of the section, without line ends.
std::string ReplaceSection(std::string_view text, std::string_view section,
                           const std::vector<std::string_view>& lines);

// How the file stores its text. Windows writes a settings file in UTF-16
// when it starts with a byte-order mark (FF FE little-endian, FE FF
// big-endian); every other file is 8-bit text and is edited as it stands.
enum class FileEncoding { kBytes, kUtf16Le, kUtf16Be };

// The text the edits work on: a UTF-16 file (its mark left out) as UTF-8, in
// which a lone surrogate keeps its three-byte form, so that converting back
// gives every unit as it was; any other file as it stands. False for a
// UTF-16 file of an odd byte count.
bool DecodeFileText(std::string_view bytes, FileEncoding* encoding, std::string* text);

// The file's bytes for a text: UTF-16 with its mark again, or the text
// itself. A byte that starts no UTF-8 sequence (an 8-bit value the caller
// wrote) becomes the character of that number.
std::string EncodeFileText(std::string_view text, FileEncoding encoding);

}  // namespace platform::profile_text

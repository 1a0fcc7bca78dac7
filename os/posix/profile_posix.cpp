// The private-profile functions where the system has none: the whole file is
// read (bounded), edited as text and written back atomically. Invariants of a
// write, because the host's other plug-ins keep their sections in this file:
//  1. The file is read completely before anything is written; a file that
//     cannot be read, is not a regular file, is too large or carries no write
//     permission bit is never written.
//  2. The new text is written to a new file in the same folder, flushed to
//     disk, given the old file's permission bits and renamed over the old
//     file; the folder is then flushed so that the rename lasts.
//  3. The old file itself is never written: at any moment the file is the old
//     text or the new one, whole.
//  4. On any failure the new file is removed and the old one stays as it was.
//  5. An edit that changes nothing writes nothing.
#include "os/profile.h"
#include "os/staged_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "os/file_io.h"
#include "os/posix/profile_text.h"

namespace platform {
namespace {

using namespace profile_text;

// A settings file holds a few kilobytes per plug-in. Anything beyond this is
// not a settings file we should hold in memory and rewrite; refusing it keeps
// a hostile or runaway file from costing unbounded memory and time.
constexpr uint64_t kMaxProfileFileBytes = 16u * 1024u * 1024u;

// How many bytes one read call asks for; small, as the host's threads may
// have small stacks.
constexpr size_t kReadChunkBytes = 16 * 1024;

enum class FileState { kRead, kMissing, kUnusable };

struct ProfileFile {
    std::string path;     // the file itself, links resolved
    std::string text;     // as the edits see it (a UTF-16 file as UTF-8)
    FileEncoding encoding = FileEncoding::kBytes;
    bool exists = false;
    unsigned mode = 0;    // permission bits of the existing file
};

// Links followed at most, as the system's own limit on a path.
constexpr int kMaxLinkHops = 40;

// The path that a rename must replace: a settings file that is a symbolic
// link (dotfiles kept elsewhere) keeps its link; the file it names is
// rewritten. A link whose file does not exist yet names where that file is
// made: writing must never turn the link itself into a file.
std::string ResolvedPath(const char* file) {
    char resolved[PATH_MAX];
    if (FileSystem().resolve(file, resolved, sizeof resolved) == 0) return resolved;
    std::string path = file;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
        if (length < 0) return path;   // no link (missing, or a folder on the way is): as it stands
        if (static_cast<size_t>(length) >= sizeof target) return file;
        const std::string_view named(target, static_cast<size_t>(length));
        const size_t slash = path.rfind('/');
        // A relative target counts from the link's own folder.
        path = named.front() == '/' || slash == std::string::npos ? std::string(named)
                                                                   : path.substr(0, slash + 1).append(named);
    }
    return file;   // a loop of links: the write fails on the link as it stands
}

bool ReadAll(FILE* stream, std::string* text) {
    FileSystemCalls& fs = FileSystem();
    char chunk[kReadChunkBytes];
    for (;;) {
        const size_t got = fs.read(chunk, sizeof chunk, stream);
        if (got == 0) return true;
        if (text->size() + got > kMaxProfileFileBytes) return false;   // grew past the bound
        text->append(chunk, got);
    }
}

// Reads the file for reading alone, or (forWriting) also proves that it may be
// written. A missing file reads as empty.
FileState Load(const char* file, bool forWriting, ProfileFile* out) {
    FileSystemCalls& fs = FileSystem();
    out->path = ResolvedPath(file);
    FileStatus status;
    errno = 0;
    if (fs.status(out->path.c_str(), &status) != 0) {
        return errno == ENOENT ? FileState::kMissing : FileState::kUnusable;
    }
    if (!status.isRegularFile || status.size > kMaxProfileFileBytes) return FileState::kUnusable;
    // A file without any write bit is read-only by the user's choice, as the
    // read-only attribute is on Windows, even for a user the system would let write.
    if (forWriting && (status.mode & 0222) == 0) return FileState::kUnusable;
    out->exists = true;
    out->mode = status.mode;
    // Opening for update proves write permission without changing the file.
    FILE* stream = fs.open(out->path.c_str(), forWriting ? "r+b" : "rb");
    if (stream == nullptr) return FileState::kUnusable;
    // A read that fails looks like the end of the file: only a text as long
    // as the file proves that nothing is missing. Taking a cut text for the
    // whole would drop the other plug-ins' sections at the next write.
    std::string bytes;
    const bool complete = ReadAll(stream, &bytes) && bytes.size() >= status.size;
    fs.close(stream);
    if (!complete || !DecodeFileText(bytes, &out->encoding, &out->text)) return FileState::kUnusable;
    return FileState::kRead;
}

// Invariants 2 to 4 above.
bool ReplaceFile(const ProfileFile& file, const std::string& editedText) {
    // A UTF-16 file stays UTF-16; its other sections convert back unit for unit.
    const std::string text = EncodeFileText(editedText, file.encoding);
    if (text.size() > kMaxProfileFileBytes) return false;   // we could not read it back
    // Already resolved (ResolvedPath): the link itself is never replaced.
    StagedFile staged;
    if (!staged.Create(file.path.c_str(), false, file.exists, file.mode)) return false;
    // The new text is in place once Commit answers 0; a failed folder flush
    // there only risks the rename not surviving a power cut, when the old
    // text would come back whole.
    return staged.Write(text.data(), text.size()) && staged.Commit() == 0;
}

enum class Edit { kSetKey, kRemoveKey, kRemoveSection, kReplaceSection };

struct EditRequest {
    Edit kind;
    std::string_view section;
    std::string_view key;
    std::string_view value;
    std::vector<std::string_view> lines;
};

bool ApplyEdit(const char* file, const EditRequest& request) {
    try {
        ProfileFile current;
        if (Load(file, true, &current) == FileState::kUnusable) return false;
        std::string text;
        switch (request.kind) {
            case Edit::kSetKey: text = SetKey(current.text, request.section, request.key, request.value); break;
            case Edit::kRemoveKey: text = RemoveKey(current.text, request.section, request.key); break;
            case Edit::kRemoveSection: text = RemoveSection(current.text, request.section); break;
            case Edit::kReplaceSection: text = ReplaceSection(current.text, request.section, request.lines); break;
        }
        if (current.exists && text == current.text) return true;
        if (text.size() > kMaxProfileFileBytes) return false;   // we could not read it back
        return ReplaceFile(current, text);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Names and values that would change the file's structure are refused rather
// than written: a line break would start a new line (even a new section
// header of another plug-in), "]" would end a section name early and "=" would
// end a key early.
bool SafeSection(std::string_view section) {
    return !Trim(section).empty() && !HasLineBreak(section) && section.find(']') == std::string_view::npos;
}

bool SafeKey(std::string_view key) {
    const std::string_view trimmed = Trim(key);
    return !trimmed.empty() && !HasLineBreak(key) && key.find('=') == std::string_view::npos &&
           trimmed.front() != ';' && trimmed.front() != '[';
}

bool SafeLine(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    return !HasLineBreak(line) && (trimmed.empty() || trimmed.front() != '[');
}

// Windows' whole-number rule (RtlCharToInteger, base 10): blanks and control
// characters skipped, one sign, digits until the first other character;
// arithmetic wraps modulo 2^32.
unsigned ParseWholeNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    }
    return negative ? 0u - value : value;
}

}  // namespace

uint32_t GetPrivateProfileSection(const char* section, char* buffer, uint32_t size, const char* file) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    if (size >= 2) buffer[1] = '\0';
    if (section == nullptr || file == nullptr || size < 2) return 0;
    try {
        ProfileFile current;
        if (Load(file, false, &current) != FileState::kRead) return 0;
        const std::string_view text = current.text;
        Section found{};
        if (!FindSection(text, section, &found)) return 0;
        // The list must end with a NUL after the last line's own NUL.
        const uint32_t room = size - 1;
        uint32_t used = 0;
        for (size_t at = found.bodyBegin; at < found.contentEnd;) {
            const Line entry = LineAt(text, at);
            at = entry.next;
            const std::string_view line = TextOf(text, entry);
            if (Trim(line).empty()) continue;
            if (line.size() + 1 > room - used) {
                // Too small: as much as fits, the last line cut, two NULs.
                if (used < size - 2) std::memcpy(buffer + used, line.data(), size - 2 - used);
                buffer[size - 2] = '\0';
                buffer[size - 1] = '\0';
                return size - 2;
            }
            std::memcpy(buffer + used, line.data(), line.size());
            used += static_cast<uint32_t>(line.size());
            buffer[used++] = '\0';
        }
        buffer[used] = '\0';
        return used;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int WritePrivateProfileSection(const char* section, const char* lines, const char* file) {
    if (section == nullptr || file == nullptr || !SafeSection(section)) return 0;
    EditRequest request{Edit::kRemoveSection, section, {}, {}, {}};
    if (lines != nullptr) {
        request.kind = Edit::kReplaceSection;
        try {
            for (const char* line = lines; *line != '\0'; line += std::strlen(line) + 1) {
                if (!SafeLine(line)) return 0;
                request.lines.push_back(line);
            }
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    return ApplyEdit(file, request) ? 1 : 0;
}

int WritePrivateProfileString(const char* section, const char* key, const char* value, const char* file) {
    // All null asks to flush the cache; there is none, and Windows answers 0.
    if (section == nullptr && key == nullptr && value == nullptr) return 0;
    if (section == nullptr || file == nullptr || !SafeSection(section)) return 0;
    if (key == nullptr) return ApplyEdit(file, {Edit::kRemoveSection, section, {}, {}, {}}) ? 1 : 0;
    if (!SafeKey(key)) return 0;
    if (value == nullptr) return ApplyEdit(file, {Edit::kRemoveKey, section, key, {}, {}}) ? 1 : 0;
    if (HasLineBreak(value)) return 0;
    return ApplyEdit(file, {Edit::kSetKey, section, key, value, {}}) ? 1 : 0;
}

unsigned GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* file) {
    const unsigned fallback = static_cast<unsigned>(defaultValue);
    if (section == nullptr || key == nullptr || file == nullptr) return fallback;
    try {
        ProfileFile current;
        if (Load(file, false, &current) != FileState::kRead) return fallback;
        const std::string_view text = current.text;
        Section found{};
        Line keyLine{};
        if (!FindSection(text, section, &found) || !FindKey(text, found, key, &keyLine)) return fallback;
        const std::string_view value = ValueOf(TextOf(text, keyLine));
        // Windows cannot tell an empty value from a missing key here.
        if (value.empty()) return fallback;
        return ParseWholeNumber(value);
    } catch (const std::bad_alloc&) {
        return fallback;
    }
}

int WritePrivateProfileStruct(const char* section, const char* key, const void* data, unsigned size,
                              const char* file) {
    if (data == nullptr) return WritePrivateProfileString(section, key, nullptr, file);
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    try {
        std::string hex;
        hex.reserve(static_cast<size_t>(size) * 2 + 2);
        const auto* bytes = static_cast<const unsigned char*>(data);
        unsigned checksum = 0;
        for (unsigned i = 0; i < size; ++i) {
            hex.push_back(kHexDigits[bytes[i] >> 4]);
            hex.push_back(kHexDigits[bytes[i] & 0x0F]);
            checksum = (checksum + bytes[i]) & 0xFFu;
        }
        hex.push_back(kHexDigits[checksum >> 4]);
        hex.push_back(kHexDigits[checksum & 0x0F]);
        return WritePrivateProfileString(section, key, hex.c_str(), file);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

}  // namespace platform

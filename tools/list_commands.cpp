// caps, check, dir and list: the commands that only look.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace matwcx {

namespace {

struct CapsFlag {
    int value;
    const char* name;
};

const CapsFlag kCapsFlags[] = {
    {PK_CAPS_NEW, "PK_CAPS_NEW"},           {PK_CAPS_MODIFY, "PK_CAPS_MODIFY"},
    {PK_CAPS_MULTIPLE, "PK_CAPS_MULTIPLE"}, {PK_CAPS_DELETE, "PK_CAPS_DELETE"},
    {PK_CAPS_OPTIONS, "PK_CAPS_OPTIONS"},   {PK_CAPS_MEMPACK, "PK_CAPS_MEMPACK"},
    {PK_CAPS_BY_CONTENT, "PK_CAPS_BY_CONTENT"}, {PK_CAPS_SEARCHTEXT, "PK_CAPS_SEARCHTEXT"},
    {PK_CAPS_HIDE, "PK_CAPS_HIDE"},         {PK_CAPS_ENCRYPT, "PK_CAPS_ENCRYPT"},
};

// ---- JSON --------------------------------------------------------------------

// Length of the valid UTF-8 sequence at text[i], 0 when there is none.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    uint32_t codePoint;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) { length = 2; codePoint = lead & 0x1F; }
    else if (lead >= 0xE0 && lead <= 0xEF) { length = 3; codePoint = lead & 0x0F; }
    else if (lead >= 0xF0 && lead <= 0xF4) { length = 4; codePoint = lead & 0x07; }
    else return 0;
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no valid UTF-8.
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
        return 0;
    }
    return length;
}

bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// A JSON string. Bytes that are no valid UTF-8 become U+FFFD; callers that
// need the exact bytes add them in hex (see ListJson).
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The listing's text, written as it is made: whole blocks of it through
// WriteOwn (the plug-in's own lines are silenced meanwhile), so that a file of
// a million variables is never held in memory.
class ListOutput {
public:
    ~ListOutput() { Flush(); }
    void Add(const std::string& text) {
        block_ += text;
        if (block_.size() >= kBlockBytes) Flush();
    }
    void Flush() {
        WriteOwn(block_);
        block_.clear();
    }

private:
    static constexpr size_t kBlockBytes = 64 * 1024;
    std::string block_;
};

std::string JsonEntry(const Entry& e) {
    const std::string date = FormatFileTime(e.fileTime);
    std::string out = "{\"name\": " + JsonString(e.name) + ", ";
    if (!IsValidUtf8(e.name)) out += "\"nameHex\": \"" + Hex(e.name) + "\", ";
    out += "\"variable\": " + JsonString(VariableOfEntry(e.name)) + ", \"packSize\": " + std::to_string(e.packSize) +
           ", \"unpSize\": " + std::to_string(e.unpSize) + ", \"fileTime\": " + std::to_string(e.fileTime) +
           ", \"date\": " + (date.empty() ? "null" : JsonString(date)) + ", \"fileAttr\": " +
           std::to_string(e.fileAttr) + ", \"mode\": \"" + FormatMode(e.fileAttr) + "\"}";
    return out;
}

// ---- text columns ---------------------------------------------------------------

// The table is written row by row as the entries come: each column is at
// least as wide as it says here (the date and the mode always fit), and a
// wider cell pushes the rest of its row to the right.
constexpr size_t kColumnWidths[] = {24, 10, 12, 19, 0};

std::string TableRow(const std::string (&cells)[5]) {
    std::string line;
    for (size_t c = 0; c < 5; ++c) {
        const bool number = c == 1 || c == 2;
        const std::string pad(cells[c].size() < kColumnWidths[c] ? kColumnWidths[c] - cells[c].size() : 0, ' ');
        if (c > 0) line += "  ";
        line += number ? pad + cells[c] : (c + 1 < 5 ? cells[c] + pad : cells[c]);
    }
    return line + "\n";
}

std::string TableHeader() { return TableRow({"Name", "PackSize", "UnpSize", "Date", "Mode"}); }

std::string TableEntry(const Entry& e) {
    const std::string date = FormatFileTime(e.fileTime);
    return TableRow({Quoted(e.name), std::to_string(e.packSize), std::to_string(e.unpSize), date.empty() ? "-" : date,
                     FormatMode(e.fileAttr)});
}

}  // namespace

void Complain(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "matwcx: %s\n", text.c_str());
}

void ComplainResult(const std::string& file, int code) {
    Complain(file + ": " + ResultMeaning(code) + " (" + ResultName(code) + ")");
}

std::string Quoted(const std::string& name) {
    std::string out = "\"";
    for (unsigned char c : name) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int RunCaps(PluginHost& host, const Args& args) {
    if (!args.empty()) {
        Complain("caps takes no arguments");
        return kExitUsage;
    }
    int caps;
    {
        PluginOutput output(host.verbose);
        caps = host.api().GetPackerCaps();
    }
    std::printf("GetPackerCaps: %d\n", caps);
    for (const CapsFlag& flag : kCapsFlags) {
        if ((caps & flag.value) != 0) std::printf("  %-20s %4d\n", flag.name, flag.value);
    }
    return kExitOk;
}

int RunCheck(PluginHost& host, const Args& args) {
    if (args.empty()) {
        Complain("check needs at least one FILE");
        return kExitUsage;
    }
    int status = kExitOk;
    for (const std::string& file : args) {
        WideString name = Wide(file);
        int accepted;
        {
            PluginOutput output(host.verbose);
            accepted = host.api().CanYouHandleThisFileW(name.data());
        }
        // Double Commander 1.0 reads only the low byte of the answer.
        const bool yes = (accepted & 0xFF) != 0;
        std::printf("%s: %s\n", file.c_str(), yes ? "MAT-file" : "not accepted");
        if (!yes) status = kExitFailed;
    }
    return status;
}

int RunDir(PluginHost& host, const Args& args) {
    if (args.empty()) {
        Complain("dir needs at least one FILE");
        return kExitUsage;
    }
    int status = kExitOk;
    for (const std::string& file : args) {
        // The opening's own report is the point of this command: always shown.
        int result = 0;
        HANDLE handle;
        Entry first;
        int firstResult = E_END_ARCHIVE;
        {
            PluginOutput output(true);
            handle = host.Open(file, PK_OM_LIST, &result);
            if (handle != nullptr) {
                host.SetCallbacks(handle, nullptr);
                firstResult = host.ReadNext(handle, &first);
                host.Close(handle);
            }
        }
        if (handle == nullptr) {
            ComplainResult(file, result);
            status = kExitFailed;
            continue;
        }
        const std::string date = firstResult == 0 ? FormatFileTime(first.fileTime) : "";
        if (!date.empty()) {
            std::printf("Date: %s\n", date.c_str());
        } else {
            std::printf("Date: none%s\n", firstResult == E_END_ARCHIVE ? " (no variables)" : "");
        }
        if (firstResult != 0 && firstResult != E_END_ARCHIVE) {
            ComplainResult(file, firstResult);
            status = kExitFailed;
        }
    }
    return status;
}

int RunList(PluginHost& host, const Args& args) {
    bool json = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (arg == "--json") json = true;
        else files.push_back(arg);
    }
    if (files.empty()) {
        Complain("list needs at least one FILE");
        return kExitUsage;
    }
    int status = kExitOk;
    ListOutput out;
    if (json) out.Add("{\"archives\": [");
    for (size_t i = 0; i < files.size(); ++i) {
        // A file's heading and the table's first line come with its first
        // entry, or after a listing without entries: a file that cannot be
        // opened shows only its complaint.
        bool started = false;
        auto start = [&] {
            if (started) return;
            started = true;
            if (json) {
                out.Add(std::string(i == 0 ? "" : ",") + "\n  {\"file\": " + JsonString(files[i]) + ", \"entries\": [");
                return;
            }
            if (files.size() > 1) out.Add((i == 0 ? "" : "\n") + files[i] + ":\n");
            out.Add(TableHeader());
        };
        size_t listed = 0;
        const int result = host.List(files[i], [&](const Entry& entry) {
            start();
            out.Add(json ? std::string(listed == 0 ? "" : ",") + "\n    " + JsonEntry(entry) : TableEntry(entry));
            ++listed;
        });
        if (result == 0 || json) start();
        if (json) out.Add(std::string(listed == 0 ? "" : "\n  ") + "], \"result\": " + std::to_string(result) + "}");
        out.Flush();
        if (result != 0) {
            ComplainResult(files[i], result);
            status = kExitFailed;
        }
    }
    if (json) out.Add("\n]}\n");
    return status;
}

}  // namespace matwcx

// caps, check, dir and list: the commands that only look.
#include <algorithm>
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

void PrintJsonEntries(const std::vector<Entry>& entries) {
    std::printf("[");
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const std::string date = FormatFileTime(e.fileTime);
        std::printf("%s\n    {\"name\": %s, ", i == 0 ? "" : ",", JsonString(e.name).c_str());
        if (!IsValidUtf8(e.name)) std::printf("\"nameHex\": \"%s\", ", Hex(e.name).c_str());
        std::printf("\"variable\": %s, \"packSize\": %llu, \"unpSize\": %llu, \"fileTime\": %d, "
                    "\"date\": %s, \"fileAttr\": %d, \"mode\": \"%s\"}",
                    JsonString(VariableOfEntry(e.name)).c_str(), static_cast<unsigned long long>(e.packSize),
                    static_cast<unsigned long long>(e.unpSize), e.fileTime,
                    date.empty() ? "null" : JsonString(date).c_str(), e.fileAttr,
                    FormatMode(e.fileAttr).c_str());
    }
    std::printf("%s]", entries.empty() ? "" : "\n  ");
}

// ---- text columns ---------------------------------------------------------------

void PrintEntryTable(const std::vector<Entry>& entries) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"Name", "PackSize", "UnpSize", "Date", "Mode"});
    for (const Entry& e : entries) {
        const std::string date = FormatFileTime(e.fileTime);
        rows.push_back({Quoted(e.name), std::to_string(e.packSize), std::to_string(e.unpSize),
                        date.empty() ? "-" : date, FormatMode(e.fileAttr)});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            const bool number = c == 1 || c == 2;
            const std::string pad(widths[c] - row[c].size(), ' ');
            if (c > 0) line += "  ";
            line += number ? pad + row[c] : (c + 1 < row.size() ? row[c] + pad : row[c]);
        }
        std::printf("%s\n", line.c_str());
    }
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
    if (json) std::printf("{\"archives\": [");
    for (size_t i = 0; i < files.size(); ++i) {
        std::vector<Entry> entries;
        const int result = host.List(files[i], &entries);
        if (result != 0) {
            ComplainResult(files[i], result);
            status = kExitFailed;
        }
        if (json) {
            std::printf("%s\n  {\"file\": %s, \"result\": %d, \"entries\": ", i == 0 ? "" : ",",
                        JsonString(files[i]).c_str(), result);
            PrintJsonEntries(entries);
            std::printf("}");
            continue;
        }
        if (result != 0 && entries.empty()) continue;
        if (files.size() > 1) std::printf("%s%s:\n", i == 0 ? "" : "\n", files[i].c_str());
        PrintEntryTable(entries);
    }
    if (json) std::printf("\n]}\n");
    return status;
}

}  // namespace matwcx

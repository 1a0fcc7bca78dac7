// options: shows and sets the plug-in's two options.
//
// For now it edits the keys of the plug-in's section in the command's own
// settings file directly, after PackSetDefaultParams has prepared the section;
// the plug-in reads them at its next load. Kept on its own so that it can be
// switched to the options dialog's logic without touching the other commands.
#include <stdio.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace matwcx {

namespace {

const char kSection[] = "MATlab";
const char kStructKey[] = "StructCellasDirs";
const char kDeleteKey[] = "DeleteEnabled";

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool SameWord(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool IsSectionLine(const std::string& line) {
    const std::string t = Trimmed(line);
    return !t.empty() && t.front() == '[';
}

// [begin, end) of the section's lines after its header; begin == 0 when the
// section is missing.
void FindSection(const std::vector<std::string>& lines, size_t* begin, size_t* end) {
    *begin = *end = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!SameWord(Trimmed(lines[i]), std::string("[") + kSection + "]")) continue;
        *begin = i + 1;
        *end = *begin;
        while (*end < lines.size() && !IsSectionLine(lines[*end])) ++*end;
        return;
    }
}

// The line of the key inside [begin, end), or end.
size_t FindKey(const std::vector<std::string>& lines, size_t begin, size_t end, const char* key) {
    for (size_t i = begin; i < end; ++i) {
        const size_t equals = lines[i].find('=');
        if (equals != std::string::npos && SameWord(Trimmed(lines[i].substr(0, equals)), key)) return i;
    }
    return end;
}

// The key's value read as the profile functions read a whole number.
int ReadFlag(const std::vector<std::string>& lines, const char* key, int fallback) {
    size_t begin, end;
    FindSection(lines, &begin, &end);
    if (begin == 0) return fallback;
    const size_t at = FindKey(lines, begin, end, key);
    if (at == end) return fallback;
    const std::string value = Trimmed(lines[at].substr(lines[at].find('=') + 1));
    char* stop = nullptr;
    errno = 0;
    const long number = std::strtol(value.c_str(), &stop, 10);
    if (stop == value.c_str() || errno != 0) return 0;
    return static_cast<int>(number);
}

void SetFlag(std::vector<std::string>* lines, const char* key, bool on) {
    const std::string line = std::string(key) + "=" + (on ? "1" : "0");
    size_t begin, end;
    FindSection(*lines, &begin, &end);
    if (begin == 0) {
        lines->push_back(std::string("[") + kSection + "]");
        lines->push_back(line);
        return;
    }
    const size_t at = FindKey(*lines, begin, end, key);
    if (at != end) {
        const bool crlf = !(*lines)[at].empty() && (*lines)[at].back() == '\r';
        (*lines)[at] = crlf ? line + "\r" : line;
        return;
    }
    size_t insert = end;
    while (insert > begin && Trimmed((*lines)[insert - 1]).empty()) --insert;
    lines->insert(lines->begin() + static_cast<long>(insert), line);
}

// The file is shared with other plug-ins: write it whole beside itself, then
// rename over it, so that a failure leaves the old file.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    const std::string temp = path + ".matwcx-new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        for (const std::string& line : lines) out << line << '\n';
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool ParseOnOff(const std::string& word, bool* on) {
    if (word == "on" || word == "1" || word == "yes") *on = true;
    else if (word == "off" || word == "0" || word == "no") *on = false;
    else return false;
    return true;
}

}  // namespace

int RunOptions(PluginHost& host, const std::string& iniPath, const Args& args) {
    int structDirs = -1;   // -1: leave as it is
    int deleteEnabled = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool structFlag = args[i] == "--struct-dirs";
        if (!structFlag && args[i] != "--delete") {
            Complain("options: unknown argument " + args[i]);
            return kExitUsage;
        }
        bool on = false;
        if (i + 1 >= args.size() || !ParseOnOff(args[i + 1], &on)) {
            Complain("options: " + args[i] + " needs on or off");
            return kExitUsage;
        }
        ++i;
        (structFlag ? structDirs : deleteEnabled) = on ? 1 : 0;
    }

    if (structDirs >= 0 || deleteEnabled >= 0) {
        std::vector<std::string> lines = ReadLines(iniPath);
        if (structDirs >= 0) SetFlag(&lines, kStructKey, structDirs == 1);
        if (deleteEnabled >= 0) SetFlag(&lines, kDeleteKey, deleteEnabled == 1);
        if (!WriteLines(iniPath, lines)) {
            Complain("cannot write the settings file " + iniPath);
            return kExitFailed;
        }
        // Let the plug-in read them back, as it will at its next load.
        std::string error;
        host.SetDefaultParams(iniPath, &error);
    }

    const std::vector<std::string> lines = ReadLines(iniPath);
    std::printf("Settings file: %s\n", iniPath.c_str());
    std::printf("StructCellasDirs = %d   (list struct and cell variables as directories)\n",
                ReadFlag(lines, kStructKey, 0) == 1 ? 1 : 0);
    std::printf("DeleteEnabled    = %d   (allow deleting variables)\n",
                ReadFlag(lines, kDeleteKey, 1) == 1 ? 1 : 0);
    return kExitOk;
}

}  // namespace matwcx

// view and extract: the host's walk over an archive opened for extraction,
// ProcessFile(PK_EXTRACT) for the chosen entries and PK_SKIP for the rest.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "os/host_rules.h"
#include "picture/plot.h"
#include "tools/commands.h"
#include "tools/os_calls.h"

namespace matwcx {

namespace {

// Which entries a walk extracts: those the VAR arguments name.
struct ExtractionWalk {
    std::vector<std::string> wanted;   // VAR arguments; empty: every entry
    std::vector<bool> found;           // which of them matched an entry
    bool failed = false;               // a path named no part
};

// Whether a VAR argument asks for this entry: the entry itself (*path
// empty), or a part of its variable by a MATLAB path ("s.a{2}": *path
// ".a{2}"). An entry's whole name holds a "." too, and " [" before its
// dimensions, which no path holds: it is never taken for a path.
bool Wants(const Entry& entry, const std::string& var, std::string* path) {
    path->clear();
    if (EntryMatches(entry, var)) return true;
    if (var.find(" [") != std::string::npos) return false;
    const size_t start = var.find_first_of(".{(");
    if (start == 0 || start == std::string::npos || !EntryMatches(entry, var.substr(0, start))) return false;
    *path = var.substr(start);
    return true;
}

// The paths a walk takes of this entry ("" for the entry itself); none: skipped.
std::vector<std::string> Choose(ExtractionWalk* walk, const Entry& entry) {
    if (walk->wanted.empty()) return {std::string()};
    std::vector<std::string> paths;
    for (size_t i = 0; i < walk->wanted.size(); ++i) {
        std::string path;
        if (Wants(entry, walk->wanted[i], &path)) {
            walk->found[i] = true;
            paths.push_back(path);
        }
    }
    return paths;
}

// Makes the part `path` of the current entry's variable the entry
// ProcessFile takes ("" after another part: the variable again); its name
// as a variable of its own in *name. False when it names nothing, told on stderr.
bool SelectPart(PluginHost& host, HANDLE handle, const std::string& file, const Entry& entry, const std::string& path,
                std::string* name) {
    char partName[4096] = {}, reason[4096] = {};
    const int code = host.api().SelectEntryPart(handle, path.c_str(), partName, sizeof partName, reason, sizeof reason);
    if (code == 0 && partName[0] != '\0') {
        *name = partName;
        return true;
    }
    if (code == 0) {
        Complain(file + ": " + VariableOfEntry(entry.name) + path + ": its name is too long for a file");
        return false;
    }
    Complain(file + ": " + VariableOfEntry(entry.name) + path + ": " + (reason[0] != '\0' ? reason : ResultMeaning(code)));
    return false;
}

// Reports VAR arguments that matched no entry; false when there was one.
bool AllFound(const ExtractionWalk& walk, const std::string& file) {
    bool all = true;
    for (size_t i = 0; i < walk.wanted.size(); ++i) {
        if (!walk.found[i]) {
            Complain(file + ": no variable " + Quoted(walk.wanted[i]));
            all = false;
        }
    }
    return all;
}

// The host's walk in extraction mode: every entry is read; the chosen ones go
// to `extract` (which calls ProcessFile(PK_EXTRACT)), the others are skipped.
template <typename Extract>
int Walk(PluginHost& host, const std::string& file, ExtractionWalk* walk, Extract extract) {
    int result = 0;
    PluginOutput output(host.verbose);
    const HANDLE handle = host.Open(file, PK_OM_EXTRACT, &result);
    if (handle == nullptr) return result;
    host.SetCallbacks(handle, nullptr);
    for (;;) {
        Entry entry;
        result = host.ReadNext(handle, &entry);
        if (result != 0) break;
        const std::vector<std::string> paths = Choose(walk, entry);
        for (size_t i = 0; i < paths.size(); ++i) {
            std::string name = entry.name;
            const bool again = i > 0 && !paths[i - 1].empty();
            if ((!paths[i].empty() || again) && !SelectPart(host, handle, file, entry, paths[i], &name)) {
                walk->failed = true;
                continue;
            }
            extract(handle, entry, paths[i].empty() ? std::string() : name);
        }
        if (paths.empty()) {
            WCHAR empty[1] = {0};
            result = host.api().ProcessFileW(handle, PK_SKIP, nullptr, empty);
            if (result != 0) break;
        }
    }
    host.Close(handle);
    return result == E_END_ARCHIVE ? 0 : result;
}

std::string ReadWholeFile(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    *ok = static_cast<bool>(in);
    return text.str();
}

// The plug-in's section of the settings file `iniPath` with the viewer
// text's bound set, written to `path`: the view hands the plug-in this copy
// and leaves the user's file as it is.
bool WriteBoundSettings(const std::string& iniPath, const std::string& bound, const std::string& path) {
    auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    auto trimmed = [](const std::string& text) {
        const size_t first = text.find_first_not_of(" \t\r");
        const size_t last = text.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    std::ifstream in(iniPath, std::ios::binary);
    std::string section = "[MATlab]\n", line;
    bool inSection = false;
    while (std::getline(in, line)) {
        const std::string word = trimmed(line);
        if (!word.empty() && word[0] == '[') {
            inSection = lower(word) == "[matlab]";
            continue;
        }
        const size_t equals = word.find('=');
        if (inSection && !word.empty() && lower(trimmed(word.substr(0, equals))) != "viewmaxbytes") section += word + "\n";
    }
    std::ofstream out(path, std::ios::binary);
    out << section << "ViewMaxBytes=" << bound << "\n";
    return static_cast<bool>(out.flush());
}

// A bound the plug-in takes: 1 to 2^31 - 1 bytes, in decimal digits.
bool IsBound(const std::string& text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long long value = std::stoull(text);
    return value >= 1 && value <= 2147483647ull;
}

}  // namespace

int RunView(PluginHost& host, const std::string& iniPath, const Args& words) {
    // --max-bytes N, anywhere among the words: the bound of the text shown
    // with ShowContents on.
    Args args;
    std::string bound;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] != "--max-bytes") {
            args.push_back(words[i]);
        } else if (i + 1 < words.size() && IsBound(words[i + 1])) {
            bound = words[++i];
        } else {
            Complain("--max-bytes needs a number of bytes from 1 to 2147483647");
            return kExitUsage;
        }
    }
    if (args.size() < 2) {
        Complain("view needs FILE and at least one VAR");
        return kExitUsage;
    }
    const std::string& file = args[0];
    ExtractionWalk walk{{args.begin() + 1, args.end()}, std::vector<bool>(args.size() - 1, false)};

    // A viewer folder of the hosts' own: the plug-in writes a text instead
    // of a MAT-file into "<temp>/_dc~~~/<n>/".
    std::error_code error;
    const std::vector<std::string> temps = platform::HostTempFolders();
    const std::string viewerRoot = (temps.empty() ? std::string() : temps[0]) + os::kPathSeparator + "_dc~~~";
    std::filesystem::create_directory(viewerRoot, error);
    std::string viewerFolder;
    if (temps.empty() || !os::MakeTempFolder(viewerRoot, "matwcx-view", &viewerFolder)) {
        Complain("cannot create a temporary folder");
        return kExitFailed;
    }
    if (!bound.empty()) {
        // The bound reaches the plug-in as its settings do: a copy of the
        // user's section with ViewMaxBytes set, beside the texts.
        const std::string boundIni = viewerFolder + os::kPathSeparator + "wcx.ini";
        std::string failure;
        if (!WriteBoundSettings(iniPath, bound, boundIni) || !host.SetDefaultParams(boundIni, &failure)) {
            Complain("cannot hand the plug-in the text's bound" + (failure.empty() ? "" : ": " + failure));
            std::filesystem::remove_all(viewerFolder, error);
            return kExitFailed;
        }
    }

    int status = kExitOk;
    std::vector<std::string> texts;
    const int result = Walk(host, file, &walk, [&](HANDLE handle, const Entry& entry, const std::string& part) {
        // A part's text goes under its own name: a part entry's name holds a folder.
        const std::string shown = part.empty() ? entry.name : part;
        WideString destPath = Wide(viewerFolder);
        WideString destName = Wide(shown);
        const int code = host.api().ProcessFileW(handle, PK_EXTRACT, destPath.data(), destName.data());
        if (code != 0) {
            ComplainResult(file + ": " + Quoted(shown), code);
            status = kExitFailed;
            return;
        }
        bool ok = false;
        std::string text = ReadWholeFile(viewerFolder + os::kPathSeparator + shown, &ok);
        if (!ok) {
            Complain(file + ": " + Quoted(shown) + ": the plug-in wrote no text");
            status = kExitFailed;
            return;
        }
#if defined(_WIN32)
        // The plug-in writes the viewer's text with Windows line ends there;
        // the command prints "\n" line ends on every system.
        std::string lines;
        for (size_t i = 0; i < text.size(); ++i) {
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
        }
        text = std::move(lines);
#endif
        texts.push_back(std::move(text));
    });
    std::filesystem::remove_all(viewerFolder, error);   // "_dc~~~" may be the host's

    for (size_t i = 0; i < texts.size(); ++i) {
        std::fwrite(texts[i].data(), 1, texts[i].size(), stdout);
        if (texts[i].empty() || texts[i].back() != '\n') std::printf("\n");
    }
    if (result != 0) {
        ComplainResult(file, result);
        return kExitFailed;
    }
    if (!AllFound(walk, file) || walk.failed) status = kExitFailed;
    return status;
}

// The name of an entry's file in another format: the entry name up to its
// class and size ("A.double [2x2] " -> "A"), as a file manager's "*.csv"
// mask makes it, and the format's extension. A variable's name holds no dot,
// a package class's name may ("obj.pkg.Point [1x1] " -> "obj").
std::string FormatTarget(const std::string& entryName, const std::string& format) {
    const size_t folderEnd = entryName.find_last_of("/\\");
    const size_t start = folderEnd == std::string::npos ? 0 : folderEnd + 1;
    const size_t dot = entryName.find('.', start);
    return (dot == std::string::npos || dot == start ? entryName : entryName.substr(0, dot)) + "." + format;
}

int RunExtract(PluginHost& host, const Args& args) {
    std::string folder = ".";
    std::string format;   // empty: a MAT-file
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--as") {
            static const char* const formats[] = {"csv", "tsv", "npy", "json", "mtx", "txt", "png", "svg", "mat"};
            if (i + 1 >= args.size() || std::find(std::begin(formats), std::end(formats), args[i + 1]) == std::end(formats)) {
                Complain("--as needs one of csv, tsv, npy, json, mtx, txt, png, svg, mat");
                return kExitUsage;
            }
            format = args[++i] == "mat" ? std::string() : args[i];
        } else if (args[i] == "-d") {
            if (i + 1 >= args.size()) {
                Complain("-d needs a folder");
                return kExitUsage;
            }
            folder = args[++i];
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.empty()) {
        Complain("extract needs FILE");
        return kExitUsage;
    }
    const std::string file = words[0];
    ExtractionWalk walk{{words.begin() + 1, words.end()}, std::vector<bool>(words.size() - 1, false)};

    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    if (error) {
        Complain("cannot use the folder " + folder);
        return kExitFailed;
    }
    const std::string target = absolute.lexically_normal().string();
    const std::string prefix =
        target.empty() || target.back() == os::kPathSeparator ? target : target + os::kPathSeparator;

    int status = kExitOk;
    std::vector<std::string> written;
    const int result = Walk(host, file, &walk, [&](HANDLE handle, const Entry& entry, const std::string& part) {
        // A part is named after itself ("testTable.mat", "c_3.csv").
        const std::string named = part.empty() ? entry.name : part;
        // A file already there is kept: the copy takes the first free name
        // ("<entry name> (2).mat", "A (2).csv" ...) and hands the plug-in
        // that exact path; the extension chooses the format. The name is
        // not made here: a file under it before the plug-in's is complete
        // would stay, empty, when the command is killed.
        std::string target;
        char name[platform::kMaxPathLength + 1];
        for (int n = 1; n <= platform::kMaxFreeNames && target.empty(); ++n) {
            const std::string wanted = format.empty() ? named + ".mat" : FormatTarget(named, format);
            if (!platform::FreeName((prefix + wanted).c_str(), n, name, sizeof name)) break;
            const std::filesystem::file_status there = std::filesystem::symlink_status(name, error);
            if (there.type() == std::filesystem::file_type::not_found) target = name;
        }
        if (target.empty()) {
            ComplainResult(file + ": " + Quoted(named), E_ECREATE);
            status = kExitFailed;
            return;
        }
        // Double Commander passes no DestPath and the whole target path as DestName.
        WideString destName = Wide(target);
        const int code = host.api().ProcessFileW(handle, PK_EXTRACT, nullptr, destName.data());
        if (code != 0) {
            ComplainResult(file + ": " + Quoted(named), code);
            status = kExitFailed;
            return;
        }
        written.push_back(target);
    });
    for (const std::string& path : written) std::printf("%s\n", Quoted(path).c_str());
    if (result != 0) {
        ComplainResult(file, result);
        return kExitFailed;
    }
    if (!AllFound(walk, file) || walk.failed) status = kExitFailed;
    return status;
}

}  // namespace matwcx

namespace matwcx {

namespace {

// The dimensions an entry name lists, in MATLAB's order ("A.double [3x2] "
// lists them last first: 2x3); empty when it lists none.
std::vector<uint64_t> EntryDimensions(const std::string& name) {
    const size_t open = name.rfind('['), close = name.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open + 2) return {};
    std::vector<uint64_t> dims;
    const std::string inner = name.substr(open + 1, close - open - 1);
    for (size_t at = 0; at <= inner.size();) {
        const size_t end = std::min(inner.find('x', at), inner.size());
        const std::string digits = inner.substr(at, end - at);
        if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) return {};
        dims.push_back(std::stoull(digits));
        at = end + 1;
    }
    std::reverse(dims.begin(), dims.end());
    return dims;
}

// A picture's side in pixels, as plot takes it.
bool ParseSide(const std::string& text, int* side) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *side = std::stoi(text);
    return *side >= picture::kMinPlotSide && *side <= picture::kMaxPlotSide;
}

}  // namespace

int RunPlot(PluginHost& host, const Args& args) {
    PlotRequest request;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool last = i + 1 >= args.size();
        if (args[i] == "-o" && !last) {
            request.output = args[++i];
        } else if ((args[i] == "--width" || args[i] == "--height") && !last) {
            if (!ParseSide(args[i + 1], args[i] == "--width" ? &request.width : &request.height)) {
                Complain(args[i] + " needs a number of pixels from " + std::to_string(picture::kMinPlotSide) + " to " +
                         std::to_string(picture::kMaxPlotSide));
                return kExitUsage;
            }
            ++i;
        } else {
            words.push_back(args[i]);
        }
    }
    std::string extension = request.output.size() >= 4 ? request.output.substr(request.output.size() - 4) : "";
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (words.size() != 2 || (extension != ".svg" && extension != ".png")) {
        Complain("plot needs FILE VAR -o OUT.svg|OUT.png");
        return kExitUsage;
    }
    request.svg = extension == ".svg";
    std::error_code error;
    const std::string output = std::filesystem::absolute(request.output, error).lexically_normal().string();
    std::string folder;
    if (error || !os::MakeTempFolder(std::filesystem::temp_directory_path(error).string(), "matwcx-plot", &folder)) {
        Complain("cannot create a temporary folder");
        return kExitFailed;
    }
    request.output = output;
    const std::string& file = words[0];
    ExtractionWalk walk{{words[1]}, {false}};
    bool drawn = false;
    int status = kExitOk;
    const int result = Walk(host, file, &walk, [&](HANDLE handle, const Entry& entry, const std::string& part) {
        WideString empty = Wide("");
        if (drawn) {   // a second variable of that name: the first is plotted
            host.api().ProcessFileW(handle, PK_SKIP, nullptr, empty.data());
            return;
        }
        drawn = true;
        const std::string target = FormatTarget(entry.name, "x");
        request.title = part.empty() ? target.substr(0, target.size() - 2) : part;
        // A matrix as PNG is the plug-in's own picture; every line plot is
        // drawn here from the values the plug-in wrote as NPY.
        // A part's dimensions are not in its entry's name: it is drawn as lines.
        const std::vector<uint64_t> dims = EntryDimensions(entry.name);
        const bool line = request.svg || !part.empty() || (dims.size() == 2 && (dims[0] <= 1 || dims[1] <= 1));
        const std::string values = folder + os::kPathSeparator + "values.npy";
        WideString destName = Wide(line ? values : output);
        const int code = host.api().ProcessFileW(handle, PK_EXTRACT, nullptr, destName.data());
        std::string why;
        if (code != 0) {
            ComplainResult(file + ": " + Quoted(entry.name), code);
            status = kExitFailed;
        } else if (line && !DrawLinePlot(values, request, &why)) {
            Complain(file + ": " + Quoted(entry.name) + ": " + why);
            status = kExitFailed;
        }
    });
    std::filesystem::remove_all(folder, error);
    if (result != 0) {
        ComplainResult(file, result);
        return kExitFailed;
    }
    if (!AllFound(walk, file)) status = kExitFailed;
    if (status == kExitOk) std::printf("%s\n", Quoted(output).c_str());
    return status;
}

}  // namespace matwcx

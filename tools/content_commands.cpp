// find and diff: the content plug-in driven as a file manager drives it.
// find reads each MAT-file's "Variable list" full text, as Find Files does
// with a plug-in condition; diff asks the plug-in's compare function, with
// its list of differences.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/commands.h"
#include "tools/content_host.h"
#include "tools/plugin_host.h"

namespace matwcx {
namespace {

// Double Commander's value buffer.
constexpr int kBlockBytes = 2048;
// Room for diff's list of differences.
constexpr int kReportBytes = 1 << 20;
// Threads that search at once: past a few the disk, not the cores, is the bound.
constexpr size_t kMostSearchThreads = 4;

bool IsMatName(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".mat";
}

// "name class dims" lines of the full text.
struct Listed {
    std::string name, className, dims;
};

std::vector<Listed> ParseLines(const std::string& text) {
    std::vector<Listed> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t a = line.find(' ');
        const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b != std::string::npos) out.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
        at = end + 1;
    }
    return out;
}

}  // namespace

int RunFind(ContentHost& host, const Args& args) {
    std::string dir, var, cls;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--var" || args[i] == "--class") && i + 1 < args.size()) {
            std::string& value = args[i] == "--var" ? var : cls;
            value = args[++i];
        } else if (dir.empty() && args[i].rfind("--", 0) != 0) {
            dir = args[i];
        } else {
            Complain("find: unexpected " + args[i]);
            return kExitUsage;
        }
    }
    if (dir.empty() || var.empty()) {
        Complain("find needs DIR and --var NAME");
        return kExitUsage;
    }
    const int field = host.FieldIndex("Variable list");
    if (field < 0) {
        Complain("the content plug-in has no field \"Variable list\"");
        return kExitFailed;
    }
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(dir, std::filesystem::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored) && IsMatName(it->path())) files.push_back(it->path());
    }
    if (error) {
        Complain("find: " + dir + ": " + error.message());
        return kExitFailed;
    }
    std::sort(files.begin(), files.end());
    // The files are read on a thread per core, as a file manager's search
    // asks the plug-in from its own threads; each file's matches are kept
    // and printed in the files' order.
    std::vector<std::string> matches(files.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> outOfMemory{false};
    const auto search = [&]() noexcept {
        try {
            for (size_t k; (k = next.fetch_add(1)) < files.size();) {
                std::string text;
                int result = 0;
                if (!host.FullText(files[k].string(), field, kBlockBytes, &text, &result)) continue;   // no MAT-file
                for (const Listed& v : ParseLines(text)) {
                    if (v.name != var || (!cls.empty() && v.className != cls)) continue;
                    matches[k] += files[k].string() + ": " + v.name + " " + v.className + " " + v.dims + "\n";
                }
            }
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            next = files.size();   // the others stop too; the search is reported failed
        }
    };
    std::vector<std::thread> helpers;
    const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMostSearchThreads);
    helpers.reserve(threads);   // no allocation, and so no throw, once a thread runs
    for (size_t t = 1; t < threads && t < files.size(); ++t) {
        try {
            helpers.emplace_back(search);
        } catch (const std::system_error&) {
            break;   // fewer threads: this one searches all the same
        }
    }
    search();
    for (std::thread& helper : helpers) helper.join();
    if (outOfMemory) {
        Complain("find: out of memory");
        return kExitFailed;
    }
    bool found = false;
    for (const std::string& lines : matches) {
        std::fputs(lines.c_str(), stdout);
        found = found || !lines.empty();
    }
    return found ? kExitOk : kExitFailed;
}

int RunDiff(ContentHost& host, const Args& args) {
    if (args.size() != 2) {
        Complain("diff needs two files");
        return kExitUsage;
    }
    std::vector<char> report(kReportBytes);
    const WideString a = Wide(args[0]), b = Wide(args[1]);
    const int result = host.api().MatwcxDiffFilesW(const_cast<WCHAR*>(a.c_str()), const_cast<WCHAR*>(b.c_str()),
                                                   report.data(), kReportBytes, nullptr);
    std::fputs(report.data(), stdout);
    switch (result) {
    case ft_compare_eq: return kExitOk;
    case ft_compare_not_eq: return kExitFailed;
    case ft_compare_next:
        // With a report, both were read: the variables marked unknown are
        // beyond what a comparison takes in (nesting, the viewer's caps).
        Complain("diff: " + args[0] + " and " + args[1] +
                 (report[0] != '\0' ? ": the variables marked unknown could not be compared in full"
                                     : ": not both MAT-files, or too large to compare in full"));
        return kExitFailed;
    default: Complain("diff: cannot read " + args[0] + " or " + args[1]); return kExitFailed;
    }
}

}  // namespace matwcx

// add: PackFiles as the host calls it (the process-wide callbacks set first),
// with the files named relative to the folder they share. Before a variable
// of the target is replaced, the user is asked (unless --yes).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace matwcx {

namespace {

namespace fs = std::filesystem;

int WCX_CALL IgnoreProgress(char*, int) { return 1; }

// The variables a file (or the MAT-files of a folder) would add, as the
// plug-in lists them. Files the plug-in does not list are left to PackFiles,
// which names them and says why.
void CollectNames(PluginHost& host, const fs::path& path, std::set<std::string>* names) {
    std::vector<fs::path> files;
    std::error_code error;
    if (fs::is_directory(path, error)) {
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
            if (it->is_regular_file(error)) files.push_back(it->path());
        }
    } else {
        files.push_back(path);
    }
    for (const fs::path& file : files) {
        std::vector<Entry> entries;
        if (host.List(file.string(), &entries) != 0) continue;
        for (const Entry& entry : entries) names->insert(VariableOfEntry(entry.name));
    }
}

}  // namespace

int PackFiles(PluginHost& host, const std::string& packed, const std::string& srcPath, WideString addList,
              int flags) {
    int result;
    {
        PluginOutput output(host.verbose);
        host.SetCallbacks(ProcessWideHandle(), IgnoreProgress);
        WideString packedName = Wide(packed);
        WideString source = Wide(srcPath);
        WideString subPath;
        result = host.api().PackFilesW(packedName.data(), subPath.data(), source.data(), addList.data(), flags);
    }
    if (result == 0) return kExitOk;
    ComplainResult(packed, result);
    return kExitFailed;
}

int RunAdd(PluginHost& host, const Args& args) {
    std::vector<std::string> words;
    const bool yes = TakeYes(args, &words);
    if (words.size() < 2) {
        Complain("add needs TARGET and at least one FILE");
        return kExitUsage;
    }
    const std::string target = words[0];
    std::error_code error;
    std::vector<fs::path> sources;
    for (size_t i = 1; i < words.size(); ++i) {
        const fs::path path = fs::absolute(fs::path(words[i]), error).lexically_normal();
        if (error || !fs::exists(path, error)) {
            Complain(words[i] + ": no such file or folder");
            return kExitFailed;
        }
        sources.push_back(path);
    }

    // The variables of the target that the sources would replace.
    if (!yes && fs::exists(fs::path(target), error)) {
        std::vector<Entry> entries;
        const int listed = host.List(target, &entries);
        if (listed != 0) {
            ComplainResult(target, listed);
            return kExitFailed;
        }
        std::set<std::string> added;
        for (const fs::path& source : sources) CollectNames(host, source, &added);
        std::vector<std::string> replaced;
        for (const Entry& entry : entries) {
            const std::string name = VariableOfEntry(entry.name);
            if (added.count(name) != 0) replaced.push_back(name);
        }
        if (!replaced.empty() && !Confirmed("Replace in", "Replace", replaced, target)) {
            std::printf("Nothing added.\n");
            return kExitFailed;
        }
    }

    // The folder all sources are in, and each one's name below it.
    fs::path common = sources[0].parent_path();
    for (const fs::path& source : sources) {
        while (!common.empty() && source.string().rfind((common / "").string(), 0) != 0) {
            const fs::path up = common.parent_path();
            if (up == common) break;
            common = up;
        }
    }
    // Sources on different drives share no folder: each is named whole. (An
    // empty name would end the list there, and the files after it be lost.)
    const bool shared = std::all_of(sources.begin(), sources.end(), [&](const fs::path& source) {
        return !common.empty() && source.string().rfind((common / "").string(), 0) == 0;
    });
    WideString addList;
    for (const fs::path& source : sources) {
        addList += Wide(shared ? source.lexically_relative(common).string() : source.string());
        addList.push_back(0);
    }
    addList.push_back(0);
    // The user was asked above (or said --yes): the plug-in asks no more.
    const std::string srcPath = shared ? (common / "").string() : std::string();
    if (PackFiles(host, target, srcPath, addList, MATWCX_PACK_REPLACE_AGREED) != kExitOk) return kExitFailed;
    std::printf("Added to %s\n", target.c_str());
    return kExitOk;
}

}  // namespace matwcx

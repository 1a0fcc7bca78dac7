// convert: a whole MAT-file as a new file of another version, through
// PackFiles as the host calls it, with the plug-in's own flags that make the
// target new (never replaced, never added to) and of the version asked for.
// All or nothing, as adding is: a variable the new version cannot hold
// (version 7: 2 GB or more) leaves no file behind.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/commands.h"

namespace matwcx {

namespace fs = std::filesystem;

int RunConvert(PluginHost& host, const Args& args) {
    std::string version;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--to" && i + 1 < args.size()) {
            version = args[++i];
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.size() != 2 || (version != "7" && version != "7.3")) {
        Complain("convert needs IN OUT --to 7|7.3");
        return kExitUsage;
    }
    std::error_code error;
    const fs::path in = fs::absolute(fs::path(words[0]), error).lexically_normal();
    if (error || !fs::is_regular_file(in, error)) {
        Complain(words[0] + ": no such file");
        return kExitFailed;
    }
    if (fs::exists(fs::symlink_status(fs::path(words[1]), error))) {
        Complain(words[1] + ": exists already; convert makes a new file and never replaces one");
        return kExitFailed;
    }
    WideString addList = Wide(in.filename().string());
    addList.push_back(0);
    addList.push_back(0);
    const int flags = MATWCX_PACK_NEW_ONLY | (version == "7.3" ? MATWCX_PACK_VERSION_73 : 0);
    if (PackFiles(host, words[1], (in.parent_path() / "").string(), addList, flags) != kExitOk) return kExitFailed;
    std::printf("Converted %s to %s (version %s)\n", words[0].c_str(), words[1].c_str(), version.c_str());
    return kExitOk;
}

}  // namespace matwcx

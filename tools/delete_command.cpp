// delete: DeleteFiles as the host calls it, with the process-wide callbacks
// set first and the progress texts shown as they come.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace matwcx {

namespace {

// The per-name lines; the byte counts of the rewrite are not shown.
int WCX_CALL ShowProgress(char* text, int bytes) {
    if (text != nullptr && bytes == 0) WriteOwn(std::string("  ") + text + "\n");
    return 1;   // never cancel: the plug-in deletes all names or none
}

}  // namespace

bool TakeYes(const Args& args, std::vector<std::string>* words) {
    bool yes = false;
    for (const std::string& arg : args) {
        if (arg == "--yes" || arg == "-y") yes = true;
        else words->push_back(arg);
    }
    return yes;
}

bool Confirmed(const char* heading, const char* verb, const std::vector<std::string>& names, const std::string& file) {
    std::printf("%s %s:\n", heading, file.c_str());
    for (const std::string& name : names) std::printf("  %s\n", Quoted(name).c_str());
    std::printf("%s %zu variable%s? [y/N] ", verb, names.size(), names.size() == 1 ? "" : "s");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

int RunDelete(PluginHost& host, const Args& args) {
    std::vector<std::string> words;
    const bool yes = TakeYes(args, &words);
    if (words.size() < 2) {
        Complain("delete needs FILE and at least one VAR");
        return kExitUsage;
    }
    const std::string file = words[0];

    // The host deletes entries the listing showed: find them first. A name
    // that matches nothing stops the whole command before anything changes.
    std::vector<Entry> entries;
    const int listed = host.List(file, &entries);
    if (listed != 0) {
        ComplainResult(file, listed);
        return kExitFailed;
    }
    std::vector<Entry> chosen;
    bool allFound = true;
    for (size_t i = 1; i < words.size(); ++i) {
        bool found = false;
        for (const Entry& entry : entries) {
            if (!EntryMatches(entry, words[i])) continue;
            found = true;
            bool already = false;
            for (const Entry& c : chosen) already = already || c.name == entry.name;
            if (!already) chosen.push_back(entry);
        }
        if (!found) {
            Complain(file + ": no variable " + Quoted(words[i]));
            allFound = false;
        }
    }
    if (!allFound) return kExitFailed;
    std::vector<std::string> names;
    for (const Entry& entry : chosen) names.push_back(entry.name);
    if (!yes && !Confirmed("Delete from", "Delete", names, file)) {
        std::printf("Nothing deleted.\n");
        return kExitFailed;
    }

    WideString deleteList;
    for (const Entry& entry : chosen) {
        deleteList += Wide(entry.name);
        deleteList.push_back(0);
    }
    deleteList.push_back(0);
    int result;
    {
        PluginOutput output(host.verbose);
        host.SetCallbacks(ProcessWideHandle(), ShowProgress);
        WideString packed = Wide(file);
        result = host.api().DeleteFilesW(packed.data(), deleteList.data());
    }
    if (result != 0) {
        ComplainResult(file, result);
        if (result == E_NOT_SUPPORTED) Complain("deletion is switched off; see: matwcx options --delete on");
        return kExitFailed;
    }
    // The plug-in goes on past a name it cannot delete and still answers 0:
    // look again, so that a script learns what is still there.
    std::vector<Entry> after;
    const int relisted = host.List(file, &after);
    size_t remaining = 0;
    for (const Entry& entry : chosen) {
        for (const Entry& now : after) {
            if (now.name != entry.name) continue;
            Complain(file + ": " + Quoted(entry.name) + " was not deleted");
            ++remaining;
        }
    }
    if (relisted != 0) ComplainResult(file, relisted);
    const size_t deleted = chosen.size() - remaining;
    std::printf("Deleted %zu variable%s from %s\n", deleted, deleted == 1 ? "" : "s", file.c_str());
    return remaining == 0 && relisted == 0 ? kExitOk : kExitFailed;
}

}  // namespace matwcx

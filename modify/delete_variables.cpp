// Deleting variables in place. The host hands over the entry names the
// listing made; each leads back to its variable by the rule of entry_name.h;
// the list is walked as the host gave it and never written to.
// The engine records the deletions and applies them all at once when the
// file is closed, so a failure leaves the file as it was.
#include "modify/delete_variables.h"
#include "modify/rewrite_progress.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "matlib/mat.h"
#include "os/diagnostics.h"
#include "host/message_box.h"
#include "wcx/plugin_api.h"
#include "entry/entry_name.h"

namespace {

// The progress text is only a display text: a longer one is cut to fit.
constexpr size_t kProgressTextSize = 256;

constexpr unsigned kErrorBoxStyle =
    platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal;
static_assert(kErrorBoxStyle == 0x1010);

// Where the name after `name` starts.
const char* NextName(const char* name) { return name + std::strlen(name) + 1; }

size_t CountNames(const char* list) {
    size_t count = 0;
    for (const char* name = list; *name != '\0'; name = NextName(name)) ++count;
    return count;
}

// The file's variables by position, which shortened names refer to: read
// at most once per deletion, when the first shortened name comes.
class Directory {
public:
    Directory() = default;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory() { mxFree(names_); }

    // The listed name of the variable at `position` (1 for the first), its
    // name and occurrence; false when there is none or the file's names
    // cannot be read.
    bool At(MATFile* file, size_t position, std::string* listed, VariableRef* ref) {
        if (!read_) {
            read_ = true;
            names_ = matGetDir(file, &count_);
            if (names_ == nullptr) count_ = 0;
            // Each variable's occurrence of its name, in one pass.
            std::unordered_map<std::string_view, int> seen;
            std::vector<int> occurrences;
            for (int i = 0; i < count_; ++i) occurrences.push_back(++seen[names_[i]]);
            occurrences_ = std::move(occurrences);
        }
        if (position == 0 || position > occurrences_.size()) return false;
        ref->name = names_[position - 1];
        ref->occurrence = occurrences_[position - 1];
        *listed = EncodeVariableName(ref->name.c_str(), ref->occurrence);
        return true;
    }

private:
    bool read_ = false;
    char** names_ = nullptr;
    int count_ = 0;
    std::vector<int> occurrences_;
};

// The variable an entry name leads back to, into *ref: a shortened name's
// from the file, when the variable at its position has a listed name that
// the shortened one really cuts (only what the listing could have shortened).
bool FindVariable(MATFile* file, Directory* directory, const char* entryName, VariableRef* ref) {
    if (!VariableOfEntryName(entryName, ref)) return false;
    if (ref->position == 0) return true;
    std::string listed;
    return directory->At(file, ref->position, &listed, ref) && listed.size() > ref->shownStart.size() &&
           listed.compare(0, ref->shownStart.size(), ref->shownStart) == 0;
}

// False when the user cancels.
bool ReportProgress(const ProgressText& progress, int percent, const char* variableName) {
    if (!progress) return true;
    char text[kProgressTextSize];
    std::snprintf(text, sizeof text, "seeking [%d%%] %s", percent, variableName);
    return progress(text, 0) != 0;
}

// When the engine knows why it refused (the file has hard links, the caller
// may not write it, another deletion or program is changing it), the user
// is told so: nothing was deleted. The code to answer: the host need not say
// it again when the user saw the reason.
int ShowRefusal(const char* packedFile, int code) {
    const char* reason = matLastError();
    if (reason == nullptr) return code;
    const std::string text = std::string("Nothing was deleted from ") + packedFile + ":\n" + reason + ".";
    platform::ShowMessageBox(text.c_str(), "Error Processing Variable", kErrorBoxStyle);
    return platform::RefusalCode(code);
}

// Whether the file reads as a MAT-file but one of its variables does not:
// deletion refuses such a file, since the new file could not keep what
// follows the damage.
bool IsDamaged(const char* path) {
    MATFile* file = matOpen(path, "r");
    if (file == nullptr) return false;
    const bool damaged = matCheckIndex(file) != 0;
    matClose(file);
    return damaged;
}

}  // namespace

int DeleteVariables(const char* packedFile, const char* deleteList, bool deleteEnabled,
                    const ProgressText& progress) {
    if (!deleteEnabled) {
        platform::ShowMessageBox(
            "You have disable variable deletion in the configuration dialog.\n"
            "To enable variable deletion, invoke Packfile>Configure for MAT files.",
            "Error Processing Variable", kErrorBoxStyle);
        return platform::RefusalCode(E_NOT_SUPPORTED);
    }
    if (packedFile == nullptr) return E_EWRITE;
    if (deleteList == nullptr) return E_NO_FILES;

    MATFile* file = matOpen(packedFile, "u");
    if (file == nullptr) {
        // A reason the engine gives comes first: the check for damage opens
        // the file again, which clears it.
        if (matLastError() == nullptr && IsDamaged(packedFile)) {
            platform::PrintLine("File %s is damaged: no variable is deleted from it\n", packedFile);
            return E_BAD_ARCHIVE;
        }
        platform::PrintLine("Error opening file %s\n", packedFile);
        return ShowRefusal(packedFile, E_EWRITE);
    }

    const size_t nameCount = CountNames(deleteList);
    if (nameCount == 0) {
        matClose(file);
        return E_NO_FILES;
    }

    // Percentages count over the whole list: with four names 0, 25, 50, 75.
    // A variable named twice (by two spellings, or the same entry twice) is
    // deleted once.
    size_t index = 0;
    size_t missing = 0;
    Directory directory;
    std::unordered_set<std::string> recorded;   // name, NUL, occurrence
    // A part's entry (a field in a struct's folder) deletes nothing by
    // itself: only with its whole variable, as when its folder is deleted.
    std::vector<std::string> partsOf;
    for (const char* entry = deleteList; *entry != '\0'; entry = NextName(entry), ++index) {
        std::string name;
        VariableRef ref;
        bool found = false;
        try {
            name = ListedNameOf(entry);
            if (IsPartEntryName(entry)) {
                found = FindVariable(file, &directory, entry, &ref);
                if (found) partsOf.push_back(ref.name + '\0' + std::to_string(ref.occurrence));
            } else {
                found = FindVariable(file, &directory, entry, &ref) &&
                        (!recorded.insert(ref.name + '\0' + std::to_string(ref.occurrence)).second ||
                         matDeleteArrayOccurrence(file, ref.name.c_str(), ref.occurrence) == 0);
            }
        } catch (const std::bad_alloc&) {
            found = false;   // counted missing: nothing is deleted
        }
        if (!found) {
            platform::PrintLine("Error deleting variable %s in file %s\n", name.c_str(), packedFile);
            ++missing;
        }
        if (!ReportProgress(progress, static_cast<int>(index * 100 / nameCount), name.c_str())) {
            matAbandon(file);
            platform::PrintLine("Deletion from file %s cancelled: nothing deleted\n", packedFile);
            return E_EABORTED;
        }
    }

    // All or nothing: a name that leads to no variable (the file changed
    // since it was listed, or the name was never listed) deletes nothing,
    // so that the user is never left with only part of what was asked.
    if (missing > 0) {
        matAbandon(file);
        platform::PrintLine("No variable deleted from file %s: %zu of %zu names not found\n", packedFile,
                            missing, nameCount);
        return E_NO_FILES;
    }

    for (const std::string& variable : partsOf) {
        if (recorded.count(variable) != 0) continue;
        matAbandon(file);
        const std::string name = variable.substr(0, variable.find('\0'));
        platform::PrintLine("No variable deleted from file %s: a part of %s named without it\n", packedFile, name.c_str());
        const std::string text = "Nothing was deleted from " + std::string(packedFile) + ":\na part of the variable " +
                                 name + " cannot be deleted alone; delete the whole variable.";
        platform::ShowMessageBox(text.c_str(), "Error Processing Variable", kErrorBoxStyle);
        return platform::RefusalCode(E_NOT_SUPPORTED);
    }

    // The objects of the variables that stay would lose their values.
    if (matKeepNeededSubsystem(file) != 0) {
        platform::PrintLine("Unnamed variable kept in file %s: other variables refer to its subsystem data\n",
                            packedFile);
        platform::ShowMessageBox(
            "The unnamed variable was not deleted: it holds the subsystem data, the values of\n"
            "the objects (string, datetime, table, classdef objects) and function handles\n"
            "that other variables of this file refer to.",
            "Error Processing Variable", kErrorBoxStyle);
    }
    RewriteProgress rewrite{&progress, packedFile};
    if (progress) matSetProgress(file, ReportRewrite, &rewrite);
    if (matClose(file) != 0) {
        // Cancelled while the new file was written: the file is as it was.
        if (matLastWasCancelled() != 0) {
            platform::PrintLine("Deletion from file %s cancelled: nothing deleted\n", packedFile);
            return E_EABORTED;
        }
        platform::PrintLine("Error closing file %s\n", packedFile);
        return ShowRefusal(packedFile, E_EWRITE);
    }
    return 0;
}

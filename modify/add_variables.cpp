// Adding variables: every MAT-file the host names (or finds in a folder it
// names) gives its variables under their own names (an NPY or CSV file of
// numbers gives one, named after the file), as MATLAB's
// save(file, ..., '-append') does: a variable of a name the target holds
// takes that one's place, the others go after the target's variables, and
// the target's other bytes stay as they are. A target that does not exist is
// made as MATLAB's default writes one (version 7, compressed).
//
// All or nothing: every source is read and every variable checked against
// the target before anything is written; any refusal leaves every file as it
// was, and one message names each file and why.
#include "modify/add_variables.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "import/import.h"
#include "matlib/mat.h"
#include "modify/replace_check.h"
#include "modify/rewrite_progress.h"
#include "os/diagnostics.h"
#include "os/file_io.h"
#include "os/host_rules.h"
#include "host/message_box.h"
#include "wcx/plugin_api.h"

namespace {

constexpr unsigned kErrorBoxStyle =
    platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal;

// The message lists at most this many files; the rest are counted.
constexpr size_t kMaxListedProblems = 12;

bool IsSeparator(char c) { return c == '/' || c == platform::kPathSeparator; }

struct ArrayDeleter {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

struct Source {
    std::string path;
    std::vector<ArrayPtr> arrays;   // its named variables, in file order
    bool keptSome = false;          // the user kept the target's variable of one of its names
};

// The refusal answers the code of its first problem: most are things not
// done (E_NOT_SUPPORTED), others name a file that cannot be read or is
// damaged.
struct Problems {
    std::vector<std::string> lines;
    int code = 0;
    void Add(const std::string& file, const std::string& why, int refusal = E_NOT_SUPPORTED) {
        if (lines.empty()) code = refusal;
        lines.push_back(file + ": " + why);
    }
};

// Whether a file inside a folder is taken in: MAT-files, NPY and CSV files.
bool Takes(const std::string& path) { return matIsMatFile(path.c_str()) == 1 || importing::IsImportable(path.c_str()); }

// A variable copied from one MAT-file panel into another: the host extracts
// it under its entry name, to which extraction added ".mat", and then names
// the entry. The named file when it exists, else that file.
std::string ExtractedFile(const std::string& path) {
    platform::FileStatus status;
    if (platform::FileSystem().linkStatus(path.c_str(), &status) == 0) return path;
    const std::string extracted = path + ".mat";
    const bool found = platform::FileSystem().linkStatus(extracted.c_str(), &status) == 0 && status.isRegularFile;
    return found ? extracted : path;
}

bool IsFolder(const std::string& path) {
    platform::FileStatus status;
    return platform::FileSystem().status(path.c_str(), &status) == 0 && status.isFolder;
}

// The files the list names: each named file, and the MAT-files inside each
// named folder (at any depth). A file named twice (by itself and through its
// folder) counts once. Folders are noted for PK_PACK_MOVE_FILES; each named
// file's name as the host gave it goes into *hostNames.
void CollectSources(const std::string& srcPath, const char* addList, std::vector<std::string>* files,
                    std::vector<std::string>* folders, std::map<std::string, std::string>* hostNames,
                    Problems* problems) {
    std::set<std::string> seen;
    auto addFile = [&](const std::string& path) {
        if (seen.insert(path).second) files->push_back(path);
    };
    std::string base = srcPath;
    if (!base.empty() && !IsSeparator(base.back())) base += platform::kPathSeparator;
    std::vector<std::string> paths;
    for (const char* name = addList; *name != '\0'; name += std::strlen(name) + 1) {
        std::string path = base + name;
        while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
        std::string given = name;
        while (!given.empty() && IsSeparator(given.back())) given.pop_back();
        path = ExtractedFile(path);
        hostNames->emplace(path, given);
        if (IsFolder(path)) folders->push_back(path);
        paths.push_back(path);
    }
    // A host that packs a folder may name every file in it as well.
    auto inListedFolder = [&](const std::string& path) {
        for (const std::string& folder : *folders) {
            if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                IsSeparator(path[folder.size()])) {
                return true;
            }
        }
        return false;
    };
    for (const std::string& path : paths) {
        if (IsFolder(path)) {
            std::vector<std::string> found, subfolders, inside;
            if (!platform::ListFolderTree(path, &found, &subfolders)) problems->Add(path, "the folder cannot be read", E_EREAD);
            for (const std::string& file : found) {
                if (Takes(file)) inside.push_back(file);
            }
            std::sort(inside.begin(), inside.end());
            for (const std::string& file : inside) addFile(file);
        } else if (!inListedFolder(path) || Takes(path)) {
            // Of the files inside a folder of the list only those taken in count.
            addFile(path);
        }
    }
}

int OpenFailureCode(int failure) {
    switch (failure) {
        case MAT_OPEN_NOT_MAT: return E_UNKNOWN_FORMAT;
        case MAT_OPEN_VERSION_73: return E_NOT_SUPPORTED;
        case MAT_OPEN_DAMAGED: return E_BAD_DATA;
        default: return E_EOPEN;
    }
}

const char* OpenFailureText(int failure) {
    switch (failure) {
        case MAT_OPEN_NOT_MAT: return "not a MAT-file";
        case MAT_OPEN_VERSION_73: return "a version 7.3 MAT-file, and this build reads none";
        case MAT_OPEN_DAMAGED: return "a damaged MAT-file";
        default: return "cannot be read";
    }
}

// Whether the variable's data is whole, read to its end as the archive test
// reads it (every stream inflated with its checksum, values against
// dimensions, nothing after the end of its element; a version 7.3 dataset
// through its filters): a damaged variable copied in would damage the target.
bool Whole(const mxArray* array, const std::string& path, const std::string& what, Problems* problems) {
    const char* reason = nullptr;
    if (mxCheckArray(array, &reason) == 0) return true;
    // A reader whose worker was lost twice says nothing of the data.
    if (matLastWasReaderStopped() != 0) {
        problems->Add(path, what + " could not be read: " + (reason != nullptr ? reason : matLastError()), E_EREAD);
        return false;
    }
    problems->Add(path, what + " is damaged: " + (reason != nullptr ? reason : "its data cannot be read whole"), E_BAD_DATA);
    return false;
}

// Reads the source's variables (headers, with access to their data); a
// problem when it is no MAT-file, or cannot be read whole.
void ReadSource(Source* source, Problems* problems) {
    if (importing::IsImportable(source->path.c_str()) && matIsMatFile(source->path.c_str()) != 1) {
        std::string why;
        ArrayPtr array(importing::ImportFile(source->path.c_str(), &why));
        if (!array) return problems->Add(source->path, why);
        source->arrays.push_back(std::move(array));
        return;
    }
    MATFile* file = matOpen(source->path.c_str(), "r");
    if (file == nullptr) {
        const int failure = matLastOpenFailure();
        return problems->Add(source->path, OpenFailureText(failure), OpenFailureCode(failure));
    }
    if (matCheckIndex(file) != 0) {
        matClose(file);
        return problems->Add(source->path, "a damaged MAT-file: one of its variables cannot be read", E_BAD_DATA);
    }
    int count = 0;
    char** names = matGetDir(file, &count);
    if (names == nullptr && count != 0) {
        matClose(file);
        return problems->Add(source->path, "its variables cannot be read", E_BAD_DATA);
    }
    std::map<std::string, int> occurrences;
    for (int i = 0; i < count; ++i) {
        const std::string name = names[i];
        const int occurrence = ++occurrences[name];
        if (name.empty()) {
            // The unnamed variable the header points at is the subsystem
            // data (objects' values): it comes with the variables that refer
            // to it, and is checked as they are. Any other has no name MATLAB
            // could load it under: it is refused, never dropped unsaid.
            if (matIsSubsystemData(file, i) == 0) {
                problems->Add(source->path, "its variable number " + std::to_string(i + 1) +
                                                " has no name (MATLAB cannot load a variable without one)");
                continue;
            }
            ArrayPtr subsystem(matGetArrayOccurrence(file, "", occurrence));
            if (!subsystem) problems->Add(source->path, "its subsystem data cannot be read");
            else Whole(subsystem.get(), source->path, "its subsystem data", problems);
            continue;
        }
        if (occurrence == 2) problems->Add(source->path, "it holds two variables named " + name);
        if (occurrence > 1) continue;
        ArrayPtr array(matGetArrayOccurrence(file, name.c_str(), 1));
        if (!array) {
            problems->Add(source->path, "its variable " + name + " cannot be read", E_BAD_DATA);
            continue;
        }
        if (!Whole(array.get(), source->path, "its variable " + name, problems)) continue;
        source->arrays.push_back(std::move(array));
    }
    mxFree(names);
    // The arrays keep their file open; the handle is no longer needed.
    matClose(file);
}

// Objects of a version 7.3 file join other files' objects only as level-5
// files keep them. Such a source is read again through a level-5 copy of
// the variables taken from it, made in the temporary folder and removed
// once its variables are closed (at once where open files can be removed).
struct Level5Copies {
    std::vector<std::string> paths;
    ~Level5Copies() {
        for (const std::string& path : paths) platform::FileSystem().remove(path.c_str());
    }
};

bool HoldsVersion73Objects(const Source& source) {
    matFormatInfo format{};
    if (matPeekFormatInfo(source.path.c_str(), &format) != 0 || format.objectsListed != 0) return false;
    return std::any_of(source.arrays.begin(), source.arrays.end(),
                       [](const ArrayPtr& array) { return mxRefersToObjects(array.get(), nullptr) != 0; });
}

// The source's variables, read from a level-5 copy of them; false with the
// reason in *why (the copy is then gone, and the variables as they were).
bool ReadThroughLevel5Copy(Source* source, Level5Copies* copies, std::string* why) {
    const std::vector<std::string> folders = platform::HostTempFolders();
    if (folders.empty()) return *why = "no temporary folder for a level-5 copy of its objects", false;
    const std::string wanted = folders.front() + platform::kPathSeparator + "matwcx-objects.mat";
    const matWriteOptions options{matExistingKeep, 1, matVersion7, 0};
    MATFile* copy = matOpenForWriting(wanted.c_str(), &options);
    bool written = copy != nullptr;
    for (size_t i = 0; written && i < source->arrays.size(); ++i) written = matPutArray(copy, source->arrays[i].get()) == 0;
    char path[platform::kMaxPathLength + 1] = "";
    if (!written) {
        *why = matLastError() != nullptr ? matLastError() : "its level-5 copy could not be written";
        if (copy != nullptr) matAbandon(copy);
        return false;
    }
    if (matCloseWritten(copy, path, sizeof path) != 0 || path[0] == '\0') {
        return *why = matLastError() != nullptr ? matLastError() : "its level-5 copy could not be written", false;
    }
    copies->paths.push_back(path);
    MATFile* file = matOpen(path, "r");
    std::vector<ArrayPtr> arrays;
    bool whole = file != nullptr;
    for (size_t i = 0; whole && i < source->arrays.size(); ++i) {
        arrays.emplace_back(matGetArray(file, mxGetName(source->arrays[i].get())));
        whole = arrays.back() != nullptr;
    }
    if (file != nullptr) matClose(file);
    if (!whole) return *why = "its level-5 copy could not be read", false;
    source->arrays = std::move(arrays);
    platform::FileSystem().remove(path);   // open files stay readable where they can be removed
    return true;
}

bool AnyDamaged(const std::vector<Source>& sources) {
    for (const Source& source : sources) {
        for (const ArrayPtr& array : source.arrays) {
            if (mxCheckArray(array.get(), nullptr) != 0) return true;
        }
    }
    return false;
}

void ShowProblems(const char* packedFile, const Problems& problems) {
    std::string text = std::string("No variable was added to ") + packedFile + ":";
    for (size_t i = 0; i < problems.lines.size() && i < kMaxListedProblems; ++i) text += "\n" + problems.lines[i];
    if (problems.lines.size() > kMaxListedProblems) {
        text += "\n(and " + std::to_string(problems.lines.size() - kMaxListedProblems) + " more)";
    }
    for (const std::string& line : problems.lines) platform::PrintLine("Not added to %s: %s\n", packedFile, line.c_str());
    platform::ShowMessageBox(text.c_str(), "Error Processing Variable", kErrorBoxStyle);
}

// The sources are gone only once the target holds their variables. The
// files that could not be removed, each with a line.
std::vector<std::string> RemoveSources(const std::vector<Source>& sources, const std::vector<std::string>& folders) {
    std::vector<std::string> kept;
    for (const Source& source : sources) {
        if (source.keptSome) continue;   // a variable of it was not added
        if (platform::FileSystem().remove(source.path.c_str()) != 0) {
            kept.push_back(source.path);
            platform::PrintLine("Could not remove %s after adding its variables\n", source.path.c_str());
        }
    }
    // A folder goes when nothing else is left in it (deepest first).
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        std::vector<std::string> files, inside;
        platform::ListFolderTree(*it, &files, &inside);
        // Listed parents first: removed in reverse, children go before their parents.
        for (auto d = inside.rbegin(); d != inside.rend(); ++d) platform::FileSystem().removeFolder(d->c_str());
        platform::FileSystem().removeFolder(it->c_str());
    }
    return kept;
}

// Opens the target and writes the sources' variables into it: 0 when done,
// E_EABORTED on Cancel (said here), kRefused with the problems noted.
// *objectsApart: a refusal was that objects of a version 7.3 file met
// others, which their level-5 copies can join.
constexpr int kRefused = -1;

int WriteVariables(const char* packedFile, bool targetExists, const std::vector<Source>& sources,
                   const matWriteOptions& options, const ProgressText& progress, Problems* problems, bool* objectsApart) {
    MATFile* target = targetExists ? matOpen(packedFile, "u") : matOpenForWriting(packedFile, &options);
    if (target == nullptr) {
        const char* reason = matLastError();
        problems->Add(packedFile, reason != nullptr ? reason
                                 : targetExists   ? "it cannot be changed (not a MAT-file, damaged, or not writable)"
                                                  : "it cannot be created");
        return kRefused;
    }
    RewriteProgress rewrite{&progress, packedFile};
    // A new file is written as its variables are put (its progress is set
    // first); its total is not known in advance: it counts towards what the sources hold.
    if (!targetExists) {
        uint64_t sourceBytes = 0;
        for (const Source& source : sources) {
            platform::FileStatus status;
            if (platform::FileSystem().status(source.path.c_str(), &status) == 0) sourceBytes += status.size;
        }
        rewrite.total = sourceBytes;
    }
    if (progress) matSetProgress(target, ReportRewrite, &rewrite);
    matFormatInfo targetFormat{};
    const bool takesAdditions = !targetExists || (matGetFormatInfo(target, &targetFormat) == 0 && targetFormat.takesAdditions);
    if (!takesAdditions) {
        problems->Add(packedFile, "a version 4 MAT-file: variables are added to version 6, 7 and 7.3 files only");
    }
    bool writerLost = false;
    for (size_t s = 0; s < sources.size() && takesAdditions && !writerLost; ++s) {
        for (const ArrayPtr& array : sources[s].arrays) {
            if (matPutArray(target, array.get()) == 0) continue;
            // The worker that writes a version 7.3 file ended: the file is
            // lost, and no variable is to blame (nor read again to find one).
            if (matLastWasWriterLost() != 0) {
                problems->Add(packedFile, matLastError(), E_EWRITE);
                writerLost = true;
                break;
            }
            // A new file is written as it goes: Cancel may come here.
            if (matLastWasCancelled() != 0) {
                matAbandon(target);
                platform::PrintLine("Adding to file %s cancelled: nothing added\n", packedFile);
                return E_EABORTED;
            }
            // A reason is a refusal of the variable (a damaged one, or one
            // not done); without one the target's write failed.
            const char* reason = matLastError();
            *objectsApart = *objectsApart || matLastWasObjectsApart() != 0;
            const int refusal = reason == nullptr                           ? E_EWRITE
                                : mxCheckArray(array.get(), nullptr) != 0 ? E_BAD_DATA
                                                                          : E_NOT_SUPPORTED;
            // (The writer of version 7.3 files names the variable itself.)
            const std::string named = std::string("its variable ") + mxGetName(array.get()) + ": ";
            const std::string why = reason != nullptr ? reason : "it cannot be written";
            problems->Add(sources[s].path, why.starts_with(named) ? why : named + why, refusal);
        }
    }
    if (!problems->lines.empty()) {
        matAbandon(target);
        return kRefused;
    }
    if (matClose(target) != 0) {
        if (matLastWasCancelled() != 0) {
            platform::PrintLine("Adding to file %s cancelled: nothing added\n", packedFile);
            return E_EABORTED;
        }
        // Variables of another format are converted as the file is written:
        // a damaged one ends it there.
        const char* reason = matLastError();
        const int code = matLastWasObjectsApart() != 0 || matLastWasRefused() != 0            ? E_NOT_SUPPORTED
                         : reason != nullptr && matLastWasWriterLost() == 0 && AnyDamaged(sources) ? E_BAD_DATA
                                                                                                   : E_EWRITE;
        *objectsApart = matLastWasObjectsApart() != 0;
        problems->Add(packedFile, reason != nullptr ? reason : "the new file could not be written", code);
        return kRefused;
    }
    return 0;
}

}  // namespace

int AddVariables(const char* packedFile, const char* subPath, const char* srcPath, const char* addList, int flags,
                 const ProgressText& progress) {
    if (packedFile == nullptr) return E_ECREATE;
    if (addList == nullptr || addList[0] == '\0') return E_NO_FILES;
    if (subPath != nullptr && subPath[0] != '\0') {
        platform::ShowMessageBox("Variables are added at the top of a MAT-file only, not inside a variable.",
                                 "Error Processing Variable", kErrorBoxStyle);
        return platform::RefusalCode(E_NOT_SUPPORTED);
    }

    Problems problems;
    std::vector<std::string> files, folders;
    std::map<std::string, std::string> hostNames;
    CollectSources(srcPath != nullptr ? srcPath : "", addList, &files, &folders, &hostNames, &problems);
    platform::FileStatus targetStatus;
    const bool targetExists = platform::FileSystem().linkStatus(packedFile, &targetStatus) == 0;
    Level5Copies copies;   // outlives the sources' arrays, which keep the copies open
    std::vector<Source> sources;
    for (const std::string& path : files) {
        if (targetExists && platform::FileSystem().sameFile(path.c_str(), packedFile) == 1) {
            problems.Add(path, "it is the file the variables are added to");
            continue;
        }
        sources.push_back(Source{path, {}});
        ReadSource(&sources.back(), &problems);
    }
    if (sources.empty() && problems.lines.empty()) problems.Add(srcPath != nullptr ? srcPath : "", "no MAT-file to add", E_NO_FILES);

    // A name that two sources give would leave one of them lost.
    std::map<std::string, std::string> from;   // name -> the source that gives it
    for (const Source& source : sources) {
        for (const ArrayPtr& array : source.arrays) {
            const auto [it, added] = from.emplace(mxGetName(array.get()), source.path);
            if (!added) problems.Add(source.path, std::string("its variable ") + it->first + " is also in " + it->second);
        }
    }
    if (!problems.lines.empty()) {
        ShowProblems(packedFile, problems);
        return platform::RefusalCode(problems.code);
    }

    if (targetExists && (flags & MATWCX_PACK_NEW_ONLY) != 0) {
        problems.Add(packedFile, "it exists already: a conversion makes a new file and never replaces one");
        ShowProblems(packedFile, problems);
        return platform::RefusalCode(E_ECREATE);
    }
    // The host asks before it replaces what has the same entry name; a
    // variable of the same name that differs is replaced only when the user
    // says so. No keeps the target's variable, and the source it came in.
    if (targetExists && (flags & MATWCX_PACK_REPLACE_AGREED) == 0) {
        std::vector<IncomingVariable> incoming;
        for (const Source& source : sources) {
            const auto named = hostNames.find(source.path);
            for (const ArrayPtr& array : source.arrays) {
                incoming.push_back({array.get(), named != hostNames.end() ? named->second : std::string()});
            }
        }
        std::set<std::string> kept;
        if (const int refused = ConfirmReplacing(packedFile, incoming, &kept); refused != 0) return refused;
        bool anyLeft = false;
        for (Source& source : sources) {
            const size_t before = source.arrays.size();
            std::erase_if(source.arrays, [&](const ArrayPtr& array) { return kept.count(mxGetName(array.get())) != 0; });
            source.keptSome = source.arrays.size() != before;
            anyLeft = anyLeft || !source.arrays.empty();
        }
        if (!anyLeft) {
            platform::PrintLine("Nothing added to %s: its variables were kept\n", packedFile);
            return 0;
        }
    }
    // A new file is version 7 (MATLAB's default) unless a variable needs
    // 7.3; a conversion writes the version asked for (and refuses what
    // version 7 cannot hold).
    matWriteOptions options{matExistingRefuse, 1, matVersion73WhenNeeded, 0};
    if ((flags & MATWCX_PACK_NEW_ONLY) != 0) options.version = matVersion7;
    if ((flags & MATWCX_PACK_VERSION_73) != 0) options.version = matVersion73;
    for (const Source& source : sources) {
        for (const ArrayPtr& array : source.arrays) matFitWriteOptions(&options, array.get());
    }
    bool objectsApart = false;
    // Objects of a version 7.3 source that meet others are read again
    // through a level-5 copy, and the write is tried once more.
    int written = WriteVariables(packedFile, targetExists, sources, options, progress, &problems, &objectsApart);
    if (written == kRefused && objectsApart) {
        Problems again;
        std::string why;
        bool copied = false;
        for (Source& source : sources) {
            if (!HoldsVersion73Objects(source)) continue;
            if (!ReadThroughLevel5Copy(&source, &copies, &why)) {
                again.Add(source.path, "its objects cannot join the others: " + why);
                break;
            }
            copied = true;
        }
        if (copied && again.lines.empty()) {
            objectsApart = false;
            written = WriteVariables(packedFile, targetExists, sources, options, progress, &again, &objectsApart);
        }
        if (copied || !again.lines.empty()) problems = again;
    }
    if (written == E_EABORTED) return E_EABORTED;
    if (written == kRefused) {
        ShowProblems(packedFile, problems);
        return platform::RefusalCode(problems.code);
    }
    if ((flags & PK_PACK_MOVE_FILES) != 0) {
        for (Source& source : sources) source.arrays.clear();   // their files are closed first
        const std::vector<std::string> kept = RemoveSources(sources, folders);
        // The variables are in: the move is not undone, but it did not
        // finish, and the host (which would count it a success) is told.
        if (!kept.empty()) {
            std::string text = std::string("The variables were added to ") + packedFile +
                               ", but these files could not be removed:";
            for (size_t i = 0; i < kept.size() && i < kMaxListedProblems; ++i) text += "\n" + kept[i];
            if (kept.size() > kMaxListedProblems) {
                text += "\n(and " + std::to_string(kept.size() - kMaxListedProblems) + " more)";
            }
            platform::ShowMessageBox(text.c_str(), "Error Processing Variable", kErrorBoxStyle);
            return platform::RefusalCode(E_EWRITE);
        }
    }
    return 0;
}

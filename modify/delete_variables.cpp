// Deleting variables in place. The host hands over the entry names the
// listing made; each leads back to its variable through the text before its
// first ".". The engine records the deletions and applies them all at once
// when the file is closed, so a failure leaves the file as it was.
#include "modify/delete_variables.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "matlib/mat.h"
#include "platform/diagnostics.h"
#include "platform/message_box.h"
#include "plugin/archive_slots.h"
#include "plugin/plugin_api.h"
#include "reader/entry_name.h"
#include "settings/plugin_settings.h"

namespace {

// The table holds this many names at a time; a longer list is taken in
// chunks of this size, so that no name is dropped or written past the table.
constexpr int kDeleteNameTableSize = 2048;

// The progress text is only a display text: a longer one is cut to fit.
constexpr size_t kProgressTextSize = 256;
// The refusal's text is only a display text too.
constexpr size_t kRefusalTextSize = 1024;

constexpr unsigned kErrorBoxStyle =
    platform::kMessageBoxOk | platform::kMessageBoxIconError | platform::kMessageBoxSystemModal;
static_assert(kErrorBoxStyle == 0x1010);

// Process-wide, rebuilt by every call; the names point into the host's list.
char* DeleteNameTable[kDeleteNameTableSize];
int32_t DeleteNameCount;

// Where the name after `name` starts.
char* NextName(char* name) { return name + std::strlen(name) + 1; }

size_t CountNames(char* list) {
    size_t count = 0;
    for (char* name = list; *name != '\0'; name = NextName(name)) ++count;
    return count;
}

// Fills the table from `from` on, at most kDeleteNameTableSize names; returns
// where the next chunk starts. All of a chunk's names are collected before
// any is cut, since cutting writes NULs into the list.
char* CollectNames(char* from) {
    DeleteNameCount = 0;
    char* name = from;
    while (*name != '\0' && DeleteNameCount < kDeleteNameTableSize) {
        DeleteNameTable[DeleteNameCount++] = name;
        name = NextName(name);
    }
    return name;
}

// Keeps only the text before the first "." of the entry name: the listed
// name. The host's buffer is changed in place, up to the name's own NUL.
void CutAtFirstDot(char* name) {
    char* dot = std::strchr(name, '.');
    if (dot == nullptr) return;
    std::memset(dot, '\0', std::strlen(dot));
}

// 0 when the variable the listed name leads back to was found and recorded
// for deletion.
int DeleteListedVariable(MATFile* file, const char* listedName) {
    // A listed name never holds a path separator; one here would make the
    // decoding look at another component than the one the host named.
    if (std::strpbrk(listedName, "/\\") != nullptr) return 1;
    VariableRef ref;
    try {
        if (!DecodeVariableName(listedName, &ref)) return 1;
    } catch (...) {
        return 1;
    }
    return matDeleteArrayOccurrence(file, ref.name.c_str(), ref.occurrence);
}

void ReportProgress(int percent, const char* variableName) {
    const tProcessDataProc progress = ProcessWideProcessDataProc;
    if (progress == nullptr) return;
    char text[kProgressTextSize];
    std::snprintf(text, sizeof text, "seeking [%d%%] %s", percent, variableName);
    progress(text, 0);   // the answer is not asked: the deletion goes on
}

// When the engine knows why it refused (the file has hard links, the caller
// may not write it, another deletion or program is changing it), the user
// is told so: nothing was deleted.
void ShowRefusal(const char* packedFile) {
    const char* reason = matLastError();
    if (reason == nullptr) return;
    char text[kRefusalTextSize];
    std::snprintf(text, sizeof text, "Nothing was deleted from %s:\n%s.", packedFile, reason);
    platform::ShowMessageBox(text, "Error Processing Variable", kErrorBoxStyle);
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

int DeleteVariables(const char* packedFile, char* deleteList) {
    if (GetPluginSettings().DeleteEnabled == 0) {
        platform::ShowMessageBox(
            "You have disable variable deletion in the configuration dialog.\n"
            "To enable variable deletion, invoke Packfile>Configure for MAT files.",
            "Error Processing Variable", kErrorBoxStyle);
        return E_NOT_SUPPORTED;
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
        ShowRefusal(packedFile);
        return E_EWRITE;
    }

    const size_t nameCount = CountNames(deleteList);
    if (nameCount == 0) {
        DeleteNameCount = 0;
        matClose(file);
        return E_NO_FILES;
    }

    // Percentages count over the whole list: with four names 0, 25, 50, 75.
    size_t index = 0;
    size_t missing = 0;
    char* next = deleteList;
    while (*next != '\0') {
        next = CollectNames(next);
        for (int32_t i = 0; i < DeleteNameCount; ++i, ++index) {
            char* name = DeleteNameTable[i];
            CutAtFirstDot(name);
            if (DeleteListedVariable(file, name) != 0) {
                platform::PrintLine("Error deleting variable %s in file %s\n", name, packedFile);
                ++missing;
            }
            ReportProgress(static_cast<int>(index * 100 / nameCount), name);
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
    if (matClose(file) != 0) {
        platform::PrintLine("Error closing file %s\n", packedFile);
        ShowRefusal(packedFile);
        return E_EWRITE;
    }
    return 0;
}

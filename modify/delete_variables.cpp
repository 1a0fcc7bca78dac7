// Deleting variables in place. The host hands over the entry names the
// listing made; each leads back to its variable through the text before its
// first "."; the list is walked as the host gave it and never written to.
// The engine records the deletions and applies them all at once when the
// file is closed, so a failure leaves the file as it was.
#include "modify/delete_variables.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "matlib/mat.h"
#include "platform/message_box.h"
#include "plugin/plugin_api.h"
#include "reader/entry_name.h"

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

// The listed name: the text of an entry name before its first ".". The
// host's list is only read.
std::string ListedName(const char* entryName) {
    const char* dot = std::strchr(entryName, '.');
    return dot != nullptr ? std::string(entryName, static_cast<size_t>(dot - entryName)) : std::string(entryName);
}

// 0 when the variable the listed name leads back to was found and recorded
// for deletion.
int DeleteListedVariable(MATFile* file, const std::string& listedName) {
    // A listed name never holds a path separator; one here would make the
    // decoding look at another component than the one the host named.
    if (listedName.find_first_of("/\\") != std::string::npos) return 1;
    VariableRef ref;
    try {
        if (!DecodeVariableName(listedName, &ref)) return 1;
    } catch (...) {
        return 1;
    }
    return matDeleteArrayOccurrence(file, ref.name.c_str(), ref.occurrence);
}

void ReportProgress(tProcessDataProc progress, int percent, const char* variableName) {
    if (progress == nullptr) return;
    char text[kProgressTextSize];
    std::snprintf(text, sizeof text, "seeking [%d%%] %s", percent, variableName);
    progress(text, 0);   // the answer is not asked: the deletion goes on
}

}  // namespace

int DeleteVariables(const char* packedFile, const char* deleteList, bool deleteEnabled,
                    tProcessDataProc progress) {
    if (!deleteEnabled) {
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
        std::printf("Error opening file %s\n", packedFile);
        std::fflush(stdout);
        return E_EWRITE;
    }

    const size_t nameCount = CountNames(deleteList);
    if (nameCount == 0) {
        matClose(file);
        return E_NO_FILES;
    }

    // Percentages count over the whole list: with four names 0, 25, 50, 75.
    size_t index = 0;
    for (const char* entry = deleteList; *entry != '\0'; entry = NextName(entry), ++index) {
        const std::string name = ListedName(entry);
        if (DeleteListedVariable(file, name) != 0) {
            std::printf("Error deleting variable %s in file %s\n", name.c_str(), packedFile);
            std::fflush(stdout);
        }
        ReportProgress(progress, static_cast<int>(index * 100 / nameCount), name.c_str());
    }

    if (matClose(file) != 0) {
        std::printf("Error closing file %s\n", packedFile);
        std::fflush(stdout);
        return E_EWRITE;
    }
    return 0;
}

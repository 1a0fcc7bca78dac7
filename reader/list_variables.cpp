// Listing: one entry per variable, in file order. The entry name is the
// listed name (entry_name.h), ".", the class text, " [", the dimensions from
// the last to the first joined by "x", and "] ": "A.double [4x3] " for a
// 3-by-4 double A. The class text is upper case for a global variable and
// lower case otherwise. While StructCellasDirs is on, a struct or cell entry
// goes on with the path separator and the listed name once more, so that the
// host shows it inside a directory of its own. Extraction and deletion find
// the variable again from the text before the first ".".
#include "reader/archive.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "os/diagnostics.h"
#include "os/host_rules.h"
#include "host/message_box.h"
#include "entry/entry_name.h"

namespace {

constexpr int32_t kArchiveBit = 0x20;
constexpr int32_t kSystemBit = 0x04;     // global variable
constexpr int32_t kReadOnlyBit = 0x01;   // complex variable
constexpr int32_t kHiddenBit = 0x02;     // logical variable

uint64_t SaturatedProduct(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return UINT64_MAX;
    return product;
}

void ShowDamagedTail(const char* path, int32_t intact) {
    const std::string text = std::string(path) + " is damaged after its first " + std::to_string(intact) +
                             " variables: those are listed, the rest cannot be read.";
    platform::ShowMessageBox(text.c_str(), "Damaged MAT-file",
                             platform::kMessageBoxOk | platform::kMessageBoxIconWarning | platform::kMessageBoxSystemModal);
}

}  // namespace

int32_t EntryAttributeBits(bool global, bool complex, bool logical) {
    int32_t bits = kArchiveBit;
    if (global) bits |= kSystemBit;
    if (complex) bits |= kReadOnlyBit;
    if (logical) bits |= kHiddenBit;
    return bits;
}

int ListNextVariable(Archive* archive, size_t maxNameLength, ListedEntry* entry) {
    if (archive == nullptr || entry == nullptr) return E_EREAD;
    if (archive->nextVariableIndex >= archive->variableCount) {
        // The intact variables are listed; the user learns that the rest of
        // the file is damaged, once.
        if (archive->damagedAfterLast && archive->nextVariableIndex == archive->variableCount) {
            archive->nextVariableIndex++;
            ShowDamagedTail(archive->path.c_str(), archive->variableCount);
        }
        return E_END_ARCHIVE;
    }
    archive->current = CurrentEntry{};

    mxArray* array = matGetNextArrayHeader(archive->matFile);
    if (array == nullptr) {
        platform::PrintLine("Error reading in file %s\n", archive->path.c_str());
        return E_EREAD;
    }

    const char* className = mxGetClassName(array);
    if (className == nullptr) className = "";
    const bool global = mxIsFromGlobalWS(array);
    const bool asDirectory = (std::strcmp(className, "struct") == 0 ||
                              std::strcmp(className, "cell") == 0) &&
                             archive->options.structCellsAsDirs;
    const mwSize* dims = mxGetDimensions(array);
    const size_t dimCount = dims != nullptr ? mxGetNumberOfDimensions(array) : 0;

    std::string entryName;
    bool fits = false;
    try {
        const std::string listedName =
            EncodeVariableName(mxGetName(array), mxGetNameOccurrence(array));
        const std::string classText = EntryClassText(className, global);
        fits = MakeEntryName(listedName, classText, dims, dimCount, asDirectory, maxNameLength, &entryName);
        // A name too long for the record (scipy writes names of any length)
        // is listed shortened, flat.
        if (!fits) {
            const std::string shortened = ShortenedName(listedName, static_cast<size_t>(archive->nextVariableIndex) + 1);
            fits = MakeEntryName(shortened, classText, dims, dimCount, false, maxNameLength, &entryName);
        }
    } catch (const std::bad_alloc&) {
        mxDestroyArray(array);
        archive->nextVariableIndex++;   // its header has been read: stay in step with the engine
        return E_EREAD;
    }
    if (!fits) {
        platform::PrintLine("Variable name too long to list in file %s\n", archive->path.c_str());
        mxDestroyArray(array);
        archive->nextVariableIndex++;
        return E_EREAD;
    }

    const uint64_t byteCount = SaturatedProduct(mxGetElementSize(array), mxGetNumberOfElements(array));

    try {
        const char* name = mxGetName(array);
        archive->current.name = name != nullptr ? name : "";
    } catch (const std::bad_alloc&) {
        mxDestroyArray(array);
        archive->nextVariableIndex++;
        return E_EREAD;
    }
    archive->current.occurrence = mxGetNameOccurrence(array);
    archive->current.classId = mxGetClassID(array);
    archive->current.global = global;
    archive->current.listedBytes = byteCount;
    archive->current.valid = true;

    entry->fileName = std::move(entryName);
    // Packed: the bytes the variable takes in the file, so that the hosts'
    // compression ratio is true. Where the listing does not tell them
    // (version 7.3), the values' bytes: no ratio rather than a made-up one.
    const uint64_t storedBytes = mxGetStoredBytes(array);
    entry->packSize = storedBytes != 0 ? storedBytes : byteCount;
    entry->unpSize = byteCount;
    entry->fileTime = archive->hostFileTime;
    entry->windowsFileTime = archive->windowsFileTime;
    entry->fileAttr = platform::HostFileAttr(EntryAttributeBits(global, mxIsComplex(array), mxIsLogical(array)));

    mxDestroyArray(array);
    archive->nextVariableIndex++;
    return 0;
}

// Listing: one entry per variable, in file order. The entry name is the
// listed name (entry_name.h), ".", the class text, " [", the dimensions from
// the last to the first joined by "x", and "] ": "A.double [4x3] " for a
// 3-by-4 double A. The class text is upper case for a global variable and
// lower case otherwise. While StructCellasDirs is on, a struct or cell entry
// goes on with the path separator and the listed name once more, so that the
// host shows it inside a directory of its own, and its parts follow in that
// directory, each named as a variable of its own would be: a scalar struct's
// fields ("s.struct [1x1] /a.double [1x3] "), a struct array's elements and
// a cell's elements ("c.cell [1x4] /c_3.char [1x6] "). Extraction finds the
// variable again from the text before the first "."; a part is the current
// entry's, never found from its name.
#include "reader/archive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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

// At most this many parts of one struct or cell are listed.
constexpr size_t kMaxListedParts = 10000;

struct PartListing {
    std::string folder;   // the variable's directory, up to its separator
    size_t maxNameLength = 0;
    std::vector<PartEntry> parts;
};

int ListPart(void* context, const mxPartInfo* part) {
    auto* listing = static_cast<PartListing*>(context);
    PartEntry entry;
    std::string tail;
    const size_t room = listing->maxNameLength - std::min(listing->maxNameLength, listing->folder.size());
    if (!MakeEntryName(EncodeVariableName(part->name, 1), EntryClassText(part->className, false), part->dims,
                       part->dimCount, false, room, &tail)) {
        platform::PrintLine("Part %s too long to list\n", part->step);
        return 1;
    }
    entry.fileName = listing->folder + tail;
    entry.part = part->step;
    entry.bytes = part->valueBytes;
    const bool logical = std::strcmp(part->className, "logical") == 0;
    entry.fileAttr = platform::HostFileAttr(logical ? kArchiveBit | kHiddenBit : kArchiveBit);
    listing->parts.push_back(std::move(entry));
    return 1;
}

// The parts of the current entry's struct or cell, to list after it in its
// directory; a variable whose parts cannot be read lists none (its own entry
// still extracts it whole, and says why).
void QueueParts(Archive* archive, const std::string& entryName, size_t maxNameLength) {
    const size_t separator = entryName.rfind(platform::kPathSeparator);
    if (separator == std::string::npos) return;   // listed flat: its name left no room
    PartListing listing{entryName.substr(0, separator + 1), maxNameLength, {}};
    mxArray* array = matGetArrayOccurrence(archive->matFile, archive->current.name.c_str(), archive->current.occurrence);
    if (array == nullptr) return;
    if (mxListParts(array, kMaxListedParts, ListPart, &listing) != 0) {
        const char* reason = matLastError();
        platform::PrintLine("Parts of %s not listed: %s\n", archive->current.name.c_str(), reason != nullptr ? reason : "");
        listing.parts.clear();
    }
    mxDestroyArray(array);
    std::reverse(listing.parts.begin(), listing.parts.end());
    archive->pendingParts = std::move(listing.parts);
    archive->partsOf.name = archive->current.name;
    archive->partsOf.occurrence = archive->current.occurrence;
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
    if (!archive->pendingParts.empty()) {
        PartEntry& part = archive->pendingParts.back();
        archive->current = CurrentEntry{};
        archive->current.name = archive->partsOf.name;
        archive->current.occurrence = archive->partsOf.occurrence;
        archive->current.part = std::move(part.part);
        archive->current.listedBytes = part.bytes;
        archive->current.valid = true;
        entry->fileName = std::move(part.fileName);
        entry->packSize = part.bytes;
        entry->unpSize = part.bytes;
        entry->fileTime = archive->hostFileTime;
        entry->windowsFileTime = archive->windowsFileTime;
        entry->fileAttr = part.fileAttr;
        archive->pendingParts.pop_back();
        return 0;
    }
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
    if (asDirectory) {
        try {
            QueueParts(archive, entry->fileName, maxNameLength);
        } catch (const std::bad_alloc&) {
            archive->pendingParts.clear();   // the variable's own entry stands
        }
    }
    return 0;
}

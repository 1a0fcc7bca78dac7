// The MAT-file operations of mode "r": open (recognising version 4 and level 5
// by every header field), the directory, the header cursor, and finding
// variables by name through an index that one pass over the file builds.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "codec/gzip_source.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "matlib/mat_internal.h"
#include "os/file_io.h"
#include "v73client/v73_reader.h"

namespace matlib {

namespace {

using namespace format;

HeaderStatus ReadHeaderAt(MATFile* mfp, uint64_t offset, mxArray& array, uint64_t& next) {
    return mfp->source->format->readHeader(mfp->source, offset, array, next);
}

// The header an entry keeps, as a new array without access to its data.
std::unique_ptr<mxArray> HeaderOfEntry(const MATFile* mfp, size_t i) {
    auto array = std::make_unique<mxArray>();
    const VariableEntry& entry = mfp->entries.Entry(i);
    const EntryExtra* extra = mfp->entries.Extra(i);
    array->name = mfp->entries.Name(i);
    array->occurrence = extra != nullptr ? extra->occurrence : 1;
    array->classId = static_cast<mxClassID>(entry.classId);
    array->fileClass = entry.fileClass;
    array->className = extra != nullptr && !extra->className.empty() ? extra->className
                                                                     : OwnClassName(array->classId);
    if (extra != nullptr && !extra->dims.empty()) {
        array->dims = extra->dims;
    } else {
        array->dims.assign(entry.dims, entry.dims + entry.dimCount);
    }
    array->complex = (entry.flags & kEntryComplex) != 0;
    array->global = (entry.flags & kEntryGlobal) != 0;
    array->logical = (entry.flags & kEntryLogical) != 0;
    array->sparse = (entry.flags & kEntrySparse) != 0;
    array->data.compressed = (entry.flags & kEntryCompressed) != 0;
    array->nzmax = static_cast<size_t>(extra != nullptr ? extra->nzmax : 0);
    array->format = mfp->source->format;
    array->elementOffset = entry.offset;
    array->elementSize = mfp->entries.Size(i);
    return array;
}

// Reads the header of the first variable not yet in the index and appends
// it.
HeaderStatus IndexNext(MATFile* mfp) {
    if (mfp->indexed || mfp->indexDamaged) return mfp->indexed ? HeaderStatus::End : HeaderStatus::Damaged;
    mxArray array;
    uint64_t next = 0;
    HeaderStatus status = ReadHeaderAt(mfp, mfp->scanOffset, array, next);
    if (status == HeaderStatus::End) mfp->indexed = true;
    if (status == HeaderStatus::Damaged) mfp->indexDamaged = true;
    if (status != HeaderStatus::Ok) return status;
    if (mfp->entries.size() >= kMaxVariables || array.name.size() > kMaxIndexedNameBytes - mfp->indexedNameBytes) {
        mfp->indexDamaged = true;
        return HeaderStatus::Damaged;
    }
    mfp->entries.Add(array, mfp->scanOffset, next);
    mfp->indexedNameBytes += array.name.size();
    mfp->scanOffset = next;
    return HeaderStatus::Ok;
}

// Index of the occurrence-th variable of that name, scanning further only
// while the index is not complete; entries.size() when there is none.
size_t FindEntry(MATFile* mfp, const std::string& name, int occurrence) {
    for (;;) {
        size_t found = mfp->entries.size();
        mfp->entries.ForEachOfName(name, [&](size_t i) {
            if (mfp->entries.Occurrence(i) == occurrence) found = i;
        });
        if (found < mfp->entries.size()) return found;
        if (IndexNext(mfp) != HeaderStatus::Ok) return mfp->entries.size();
    }
}

}  // namespace

static_assert(kMaxVariables < (size_t{1} << 20), "a name slot holds 1 + an entry's index in 20 bits");

uint32_t VariableIndex::Hash(std::string_view name) {
    uint32_t hash = 2166136261u;   // FNV-1a
    for (char c : name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    return hash;
}

std::string_view VariableIndex::Name(size_t i) const {
    const size_t end = i + 1 < entries_.size() ? entries_[i + 1].nameAt : names_.size();
    return {names_.data() + entries_[i].nameAt, end - entries_[i].nameAt - 1};
}

const EntryExtra* VariableIndex::Extra(size_t i) const {
    if ((entries_[i].flags & kEntryHasExtra) == 0) return nullptr;
    const auto at = std::lower_bound(extras_.begin(), extras_.end(), i,
                                     [](const EntryExtra& extra, size_t entry) { return extra.entry < entry; });
    return at != extras_.end() && at->entry == i ? &*at : nullptr;
}

int VariableIndex::Occurrence(size_t i) const {
    const EntryExtra* extra = Extra(i);
    return extra != nullptr ? extra->occurrence : 1;
}

uint64_t VariableIndex::Nzmax(size_t i) const {
    const EntryExtra* extra = Extra(i);
    return extra != nullptr ? extra->nzmax : 0;
}

size_t VariableIndex::SlotOf(std::string_view name, uint32_t hash) const {
    const size_t mask = slots_.size() - 1;
    const uint32_t tag = hash & ~kEntryMask;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const uint32_t slot = slots_[at];
        if (slot == 0) return at;
        if ((slot & ~kEntryMask) == tag && Name((slot & kEntryMask) - 1) == name) return at;
    }
}

uint32_t VariableIndex::LastOfName(std::string_view name) const {
    if (slots_.empty()) return 0;
    return slots_[SlotOf(name, Hash(name))] & kEntryMask;
}

void VariableIndex::GrowSlots() {
    std::vector<uint32_t> old(slots_.empty() ? 16 : 2 * slots_.size());
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const uint32_t slot : old) {
        if (slot == 0) continue;
        size_t at = Hash(Name((slot & kEntryMask) - 1)) & mask;
        while (slots_[at] != 0) at = (at + 1) & mask;
        slots_[at] = slot;
    }
}

void VariableIndex::Add(const mxArray& array, uint64_t offset, uint64_t next) {
    if (2 * (usedSlots_ + 1) > slots_.size()) GrowSlots();   // a bigger table alone changes nothing
    const uint32_t hash = Hash(array.name);
    const size_t slot = SlotOf(array.name, hash);
    const uint32_t previous = slots_[slot] & kEntryMask;

    VariableEntry entry;
    entry.offset = offset;
    entry.nameAt = static_cast<uint32_t>(names_.size());   // within kMaxIndexedNameBytes + kMaxVariables
    entry.classId = static_cast<uint8_t>(array.classId);
    entry.fileClass = array.fileClass;
    entry.flags = static_cast<uint8_t>((array.complex ? kEntryComplex : 0) | (array.global ? kEntryGlobal : 0) |
                                       (array.logical ? kEntryLogical : 0) | (array.sparse ? kEntrySparse : 0) |
                                       (array.data.compressed ? kEntryCompressed : 0));
    entry.dimCount = static_cast<uint8_t>(array.dims.size());   // at most kMaxDimensions
    bool dimsFit = array.dims.size() <= 2;
    for (size_t i = 0; dimsFit && i < array.dims.size(); ++i) {
        dimsFit = array.dims[i] <= UINT32_MAX;
        if (dimsFit) entry.dims[i] = static_cast<uint32_t>(array.dims[i]);
    }
    const bool ownName = array.className == OwnClassName(array.classId);
    const size_t index = entries_.size();
    const size_t namesBefore = names_.size();
    const size_t extrasBefore = extras_.size();
    try {
        if (!dimsFit || !ownName || array.nzmax != 0 || previous != 0) {
            EntryExtra extra;
            extra.entry = static_cast<uint32_t>(index);
            extra.previousOfName = previous;
            extra.occurrence = previous != 0 ? Occurrence(previous - 1) + 1 : 1;
            extra.nzmax = array.nzmax;
            if (!ownName) extra.className = array.className;
            if (!dimsFit) extra.dims = array.dims;
            extras_.push_back(std::move(extra));
            entry.flags |= kEntryHasExtra;
        }
        names_.append(array.name).push_back('\0');
        entries_.push_back(entry);
    } catch (const std::bad_alloc&) {
        extras_.resize(extrasBefore);
        names_.resize(namesBefore);
        throw;
    }
    if (previous == 0) ++usedSlots_;
    slots_[slot] = (hash & ~kEntryMask) | static_cast<uint32_t>(index + 1);
    end_ = next;
}

namespace {

void ScanToEnd(MATFile* mfp) {
    while (IndexNext(mfp) == HeaderStatus::Ok) {
    }
}

// Recognises the file from its first bytes: level 5 and version 7.3 by the
// version and the endian indicator of their 128-byte header (the text's
// first four bytes are never zero), version 4 by every field of its first
// matrix header. Null for none of them.
const MatFormat* Recognise(SourceFile& file, uint8_t* header) {
    size_t n = file.size < kHeaderSize ? static_cast<size_t>(file.size) : kHeaderSize;
    if (n < kV4HeaderSize || !ReadAt(file, 0, header, n)) return nullptr;
    bool textStart = header[0] != 0 && header[1] != 0 && header[2] != 0 && header[3] != 0;
    if (textStart && n == kHeaderSize) {
        const uint8_t* mark = header + kEndianAt;
        bool little = mark[0] == kEndianLittle[0] && mark[1] == kEndianLittle[1];
        bool big = mark[0] == kEndianBig[0] && mark[1] == kEndianBig[1];
        if (little || big) {
            // This machine is little-endian: an "MI" file is swapped.
            file.bigEndian = big;
            file.swapped = big;
            const uint16_t version = Load16(header + kVersionAt, file.swapped);
            // An HDF5 file behind a MAT header.
            if (version == kVersion73) return &kV73Format;
            if (version != kVersion5) return nullptr;
            // MATLAB writes blanks where a file has no subsystem data, other
            // writers zeros; an offset that points outside the variables is none.
            const uint64_t subsystem = Load64(header + kSubsystemOffsetAt, file.swapped);
            if (subsystem >= kHeaderSize && subsystem < file.size) file.subsystemOffset = subsystem;
            return &kV5Format;
        }
    }
    bool swapped = false;
    if (!textStart && ProbeV4(header, swapped)) {
        file.swapped = swapped;
        // The whole first matrix must fit: its format's open reads its header.
        return &kV4Format;
    }
    return nullptr;
}

thread_local int lastOpenFailure = MAT_OPEN_OK;

// The file the path names, open for reading; null for one the system cannot
// open or that is no regular file. With `unwrap`, a gzip-wrapped file is
// read through its unpacked copy (its failure in *failure).
std::shared_ptr<SourceFile> OpenSource(const char* path, bool unwrap = false, int* failure = nullptr) {
    platform::FileSystemCalls& fs = platform::FileSystem();
    auto source = std::make_shared<SourceFile>();
    source->path = path;
    source->stream = fs.open(path, "rb");
    if (source->stream == nullptr) return nullptr;
    platform::FileStatus status;
    if (fs.fileStatus(source->stream, &status) != 0 || !status.isRegularFile) return nullptr;
    source->size = status.size;
    source->opened = status;
    if (!unwrap || !StartsAsGzip(*source)) return source;
    FILE* unpacked = nullptr;
    *failure = UnwrapGzip(source->stream, path, &unpacked);
    if (unpacked == nullptr) return nullptr;
    fs.close(source->stream);
    source->stream = unpacked;
    source->windowBytes = source->windowFill = 0;   // the window held the wrapper's bytes
    source->gzipWrapped = true;
    source->wrapperModifiedTime = status.modifiedTime;
    *failure = MAT_OPEN_UNREADABLE;
    if (fs.fileStatus(unpacked, &status) != 0) return nullptr;
    source->size = status.size;
    source->opened = status;
    return source;
}

}  // namespace

MATFile* OpenForRead(const char* path) {
    lastOpenFailure = MAT_OPEN_UNREADABLE;
    const std::shared_ptr<SourceFile> source = OpenSource(path, true, &lastOpenFailure);
    if (!source) return nullptr;
    auto mfp = std::make_unique<MATFile>();
    const MatFormat* format = Recognise(*source, mfp->header);
    if (format == nullptr) {
        lastOpenFailure = MAT_OPEN_NOT_MAT;
        return nullptr;
    }
    source->format = format;
    const int opened = format->open(source, mfp->header);
    if (opened != MAT_OPEN_OK) {
        lastOpenFailure = opened;
        return nullptr;
    }
    mfp->mode = OpenMode::Read;
    mfp->source = source;
    mfp->scanOffset = format->variablesStart;
    lastOpenFailure = MAT_OPEN_OK;
    return mfp.release();
}



bool IndexAllVariables(MATFile* mfp) {
    if (mfp == nullptr || mfp->source == nullptr) return false;
    try {
        ScanToEnd(mfp);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return mfp->indexed && !mfp->indexDamaged;
}

}  // namespace matlib

MATFile::~MATFile() = default;

using namespace matlib;

void matAbandon(MATFile* mfp) { delete mfp; }

namespace {

// The format's number as the formats give it (4, 5, 73); 0 for no MAT-file.
int PeekFormatNumber(const char* path) {
    if (path == nullptr) return 0;
    try {
        const std::shared_ptr<SourceFile> source = OpenSource(path);
        if (!source) return 0;
        if (StartsAsGzip(*source)) return PeekGzipFormat(source->stream);
        uint8_t header[kHeaderSize] = {};
        const MatFormat* format = Recognise(*source, header);
        return format != nullptr && (format->plausible == nullptr || format->plausible(*source)) ? format->number : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int FormatInfo(int number, matFormatInfo* info) {
    if (info == nullptr) return 1;
    switch (number) {
    case 4: *info = {"4", "4", 1, 1, 0, 0}; return 0;
    case 5: *info = {"5", "7", 1, 1, 1, 0}; return 0;
    // Version 7.3: the worker reads the variables, and walks them for objects;
    // compression is the datasets' own, which the headers do not tell.
    case 73: *info = {"7.3", "7.3", 0, 0, 1, 1}; return 0;
    default: *info = {"", "", 0, 0, 0, 0}; return 1;
    }
}

}  // namespace

int matIsMatFile(const char* path) { return PeekFormatNumber(path) != 0 ? 1 : 0; }

int matPeekFormatInfo(const char* path, matFormatInfo* info) { return FormatInfo(PeekFormatNumber(path), info); }

int matGetFormatInfo(MATFile* mfp, matFormatInfo* info) {
    const bool readable = mfp != nullptr && mfp->mode != OpenMode::Write && mfp->source && mfp->source->format;
    return FormatInfo(readable ? mfp->source->format->number : 0, info);
}

int matCheckIndex(MATFile* mfp) { return IndexAllVariables(mfp) ? 0 : 1; }

int matGetVariableCount(MATFile* mfp) {
    if (mfp == nullptr || mfp->source == nullptr) return -1;
    try {
        ScanToEnd(mfp);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    // A damaged variable ends the directory: those before it are listed and
    // can be read (a half-copied file still gives up what it holds); the
    // update side refuses such a file (IndexAllVariables). A file whose very
    // first variable is damaged is a failure, not an empty file.
    const size_t count = mfp->entries.size();
    if (count > static_cast<size_t>(INT32_MAX)) return -1;
    if (count == 0 && mfp->indexDamaged) return -1;
    return static_cast<int>(count);
}

int matIsSubsystemData(MATFile* mfp, int index) {
    if (mfp == nullptr || !mfp->source || index < 0 || static_cast<size_t>(index) >= mfp->entries.size()) return 0;
    const uint64_t subsystem = mfp->source->subsystemOffset;
    return subsystem != 0 && mfp->entries.Offset(static_cast<size_t>(index)) == subsystem ? 1 : 0;
}

int mxRefersToObjects(const mxArray* array, uint64_t* elementBytes) {
    if (elementBytes != nullptr) *elementBytes = 0;
    if (array == nullptr || array->format == nullptr || !array->source) return -1;
    if (array->format->element->kind == ElementSource::kConverted) {
        uint64_t bytes = 0;
        bool objects = false;
        if (!array->format->element->plan(*array, false, bytes, objects)) return -1;
        if (elementBytes != nullptr) *elementBytes = bytes;
        return objects ? 1 : 0;
    }
    if (elementBytes != nullptr) *elementBytes = array->data.elementEnd != 0 ? array->data.elementEnd : array->elementSize;
    return matlib::RefersToSubsystem(*array) ? 1 : 0;
}

const char* matGetVariableName(MATFile* mfp, int index) {
    if (mfp == nullptr || index < 0 || static_cast<size_t>(index) >= mfp->entries.size()) return nullptr;
    return mfp->entries.NameText(static_cast<size_t>(index));
}

char** matGetDir(MATFile* mfp, int* num) {
    if (num == nullptr) return nullptr;
    *num = matGetVariableCount(mfp);
    if (*num <= 0) return nullptr;
    const size_t count = static_cast<size_t>(*num);
    // One block: the pointers, then the names with their terminators.
    size_t bytes = count * sizeof(char*);
    for (size_t i = 0; i < count; ++i) bytes += mfp->entries.Name(i).size() + size_t{1};
    char** list = static_cast<char**>(mxCalloc(1, bytes));
    if (list == nullptr) return nullptr;
    char* text = reinterpret_cast<char*>(list + count);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view name = mfp->entries.Name(i);
        list[i] = text;
        std::memcpy(text, name.data(), name.size());
        text[name.size()] = '\0';
        text += name.size() + 1;
    }
    return list;
}

int matGetHeaderText(MATFile* mfp, char* text, size_t size) {
    if (text != nullptr && size > 0) text[0] = '\0';
    if (mfp == nullptr || text == nullptr || !mfp->source || mfp->source->format->layout == FileLayout::kVersion4) return 1;
    if (size <= kHeaderTextSize) return 1;
    std::memcpy(text, mfp->header, kHeaderTextSize);
    text[kHeaderTextSize] = '\0';
    return 0;
}

int matGetModifiedTime(MATFile* mfp, int64_t* secondsSince1970) {
    if (mfp == nullptr || secondsSince1970 == nullptr || !mfp->source) return 1;
    *secondsSince1970 = mfp->source->gzipWrapped ? mfp->source->wrapperModifiedTime : mfp->source->opened.modifiedTime;
    return 0;
}

mxArray* matGetNextArrayHeader(MATFile* mfp) {
    if (mfp == nullptr || mfp->source == nullptr) return nullptr;
    try {
        // The index keeps every header it read: each is read from the file once.
        if (mfp->cursorIndex >= mfp->entries.size() && IndexNext(mfp) != HeaderStatus::Ok) return nullptr;
        std::unique_ptr<mxArray> array = HeaderOfEntry(mfp, mfp->cursorIndex);
        ++mfp->cursorIndex;
        return array.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The header of an indexed variable as a new array (its data read lazily).
static mxArray* ArrayOfEntry(MATFile* mfp, size_t i) {
    auto array = std::make_unique<mxArray>();
    uint64_t next = 0;
    if (ReadHeaderAt(mfp, mfp->entries.Offset(i), *array, next) != HeaderStatus::Ok) return nullptr;
    array->occurrence = mfp->entries.Occurrence(i);
    return array.release();
}

mxArray* matGetArrayOccurrence(MATFile* mfp, const char* name, int occurrence) {
    if (mfp == nullptr || mfp->source == nullptr || name == nullptr || occurrence < 1) return nullptr;
    if (!SourceUnchanged(*mfp->source)) return nullptr;
    try {
        size_t index = FindEntry(mfp, name, occurrence);
        if (index >= mfp->entries.size()) return nullptr;
        return ArrayOfEntry(mfp, index);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

mxArray* matGetArray(MATFile* mfp, const char* name) { return matGetArrayOccurrence(mfp, name, 1); }


int matLastOpenFailure(void) { return lastOpenFailure; }



// The MAT-file operations: open (recognising version 4 and level 5 by every
// header field), close, the directory, the header cursor, and finding
// variables by name through an index that one pass over the file builds.
#include <cerrno>
#include <cstring>
#include <new>

#include "matlib/mat_format.h"
#include "matlib/readers.h"
#include "platform/file_io.h"

namespace matlib {

SourceFile::~SourceFile() {
    if (stream != nullptr) platform::FileSystem().close(stream);
}

namespace {

using namespace format;

HeaderStatus ReadHeaderAt(MATFile* mfp, uint64_t offset, mxArray& array, uint64_t& next) {
    switch (mfp->source->version) {
        case 4: return ReadV4Header(mfp->source, offset, array, next);
        case 73: return ReadV73Header(mfp->source, offset, array, next);
        default: return ReadV5Header(mfp->source, offset, array, next);
    }
}

// Keeps the header the listing shows in the entry; what does not fit its
// fixed fields goes to the file's extras.
void KeepHeader(MATFile* mfp, const mxArray& array, VariableEntry& entry) {
    entry.classId = static_cast<uint8_t>(array.classId);
    entry.fileClass = array.fileClass;
    entry.flags = static_cast<uint8_t>((array.complex ? kEntryComplex : 0) | (array.global ? kEntryGlobal : 0) |
                                       (array.logical ? kEntryLogical : 0) | (array.sparse ? kEntrySparse : 0));
    entry.nzmax = static_cast<uint32_t>(array.nzmax);   // 32 bits in either format
    entry.dimCount = static_cast<uint8_t>(array.dims.size());   // at most kMaxDimensions
    bool dimsFit = array.dims.size() <= 2;
    for (size_t i = 0; dimsFit && i < array.dims.size(); ++i) {
        dimsFit = array.dims[i] <= UINT32_MAX;
        if (dimsFit) entry.dims[i] = static_cast<uint32_t>(array.dims[i]);
    }
    const bool ownName = array.className == OwnClassName(array.classId);
    if (dimsFit && ownName) return;
    EntryExtra extra;
    if (!ownName) extra.className = array.className;
    if (!dimsFit) extra.dims = array.dims;
    mfp->entryExtras.push_back(std::move(extra));
    entry.extra = static_cast<uint32_t>(mfp->entryExtras.size());
}

// The header an entry keeps, as a new array without access to its data.
std::unique_ptr<mxArray> HeaderOfEntry(const MATFile* mfp, const VariableEntry& entry) {
    auto array = std::make_unique<mxArray>();
    const EntryExtra* extra = entry.extra != 0 ? &mfp->entryExtras[entry.extra - 1] : nullptr;
    array->name = EntryName(mfp->entryNames, entry);
    array->occurrence = entry.occurrence;
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
    array->nzmax = entry.nzmax;
    array->version = mfp->source->version;
    array->elementOffset = entry.offset;
    array->elementSize = entry.size;
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
    mfp->indexedNameBytes += array.name.size();
    VariableEntry entry;
    entry.nameAt = static_cast<uint32_t>(mfp->entryNames.size());   // within kMaxIndexedNameBytes
    entry.nameLength = static_cast<uint16_t>(array.name.size());      // within kMaxNameLength
    entry.offset = mfp->scanOffset;
    entry.size = next - mfp->scanOffset;
    KeepHeader(mfp, array, entry);
    mfp->entryNames += array.name;
    try {
        mfp->entries.push_back(entry);
        mfp->entries.back().occurrence = mfp->byName.Add(mfp->entries, mfp->entryNames, mfp->entries.size() - 1);
    } catch (const std::bad_alloc&) {
        // Index, entries and names stay in step.
        if (mfp->entries.size() > mfp->byName.size()) mfp->entries.pop_back();
        mfp->entryNames.resize(entry.nameAt);
        throw;
    }
    mfp->scanOffset = next;
    return HeaderStatus::Ok;
}

// Index of the occurrence-th variable of that name, scanning further only
// while the index is not complete; entries.size() when there is none.
size_t FindEntry(MATFile* mfp, const std::string& name, int occurrence) {
    for (;;) {
        size_t found = mfp->entries.size();
        mfp->byName.ForEachOfName(mfp->entries, mfp->entryNames, name, [&](size_t i) {
            if (mfp->entries[i].occurrence == occurrence) found = i;
        });
        if (found < mfp->entries.size()) return found;
        if (IndexNext(mfp) != HeaderStatus::Ok) return mfp->entries.size();
    }
}

}  // namespace

uint32_t NameIndex::Hash(std::string_view name) {
    uint32_t hash = 2166136261u;   // FNV-1a
    for (char c : name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    return hash;
}

size_t NameIndex::SlotOf(const std::vector<VariableEntry>& entries, const std::string& names, std::string_view name,
                         uint32_t hash) const {
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.lastPlusOne == 0) return at;
        if (slot.hash == hash && EntryName(names, entries[slot.lastPlusOne - 1]) == name) return at;
    }
}

uint32_t NameIndex::LastOfName(const std::vector<VariableEntry>& entries, const std::string& names,
                               std::string_view name) const {
    if (slots_.empty()) return 0;
    return slots_[SlotOf(entries, names, name, Hash(name))].lastPlusOne;
}

int NameIndex::Add(const std::vector<VariableEntry>& entries, const std::string& names, size_t index) {
    if (2 * (used_ + 1) > slots_.size()) {
        std::vector<Slot> old(slots_.empty() ? 16 : 2 * slots_.size());
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.lastPlusOne == 0) continue;
            size_t at = slot.hash & mask;
            while (slots_[at].lastPlusOne != 0) at = (at + 1) & mask;
            slots_[at] = slot;
        }
    }
    previous_.push_back(0);   // the one step that may throw, before anything changes
    const std::string_view name = EntryName(names, entries[index]);
    const uint32_t hash = Hash(name);
    Slot& slot = slots_[SlotOf(entries, names, name, hash)];
    const uint32_t previous = slot.lastPlusOne;
    if (previous == 0) ++used_;
    slot = {static_cast<uint32_t>(index + 1), hash};
    previous_.back() = previous;
    return previous == 0 ? 1 : entries[previous - 1].occurrence + 1;
}

namespace {

void ScanToEnd(MATFile* mfp) {
    while (IndexNext(mfp) == HeaderStatus::Ok) {
    }
}

// Recognises the file from its first bytes: level 5 by the version and the
// endian indicator of its 128-byte header (the text's first four bytes are
// never zero), version 4 by every field of its first matrix header.
bool Recognise(SourceFile& file, uint8_t* header) {
    size_t n = file.size < kHeaderSize ? static_cast<size_t>(file.size) : kHeaderSize;
    if (n < kV4HeaderSize || !ReadAt(file, 0, header, n)) return false;
    bool textStart = header[0] != 0 && header[1] != 0 && header[2] != 0 && header[3] != 0;
    if (textStart && n == kHeaderSize) {
        const uint8_t* mark = header + kEndianAt;
        bool little = mark[0] == kEndianLittle[0] && mark[1] == kEndianLittle[1];
        bool big = mark[0] == kEndianBig[0] && mark[1] == kEndianBig[1];
        if (little || big) {
            // This machine is little-endian: an "MI" file is swapped.
            file.bigEndian = big;
            file.swapped = big;
            if (Load16(header + kVersionAt, file.swapped) != kVersion5) return false;
            file.version = 5;
            // MATLAB writes blanks where a file has no subsystem data, other
            // writers zeros; an offset that points outside the variables is none.
            const uint64_t subsystem = Load64(header + kSubsystemOffsetAt, file.swapped);
            if (subsystem >= kHeaderSize && subsystem < file.size) file.subsystemOffset = subsystem;
            return true;
        }
    }
    bool swapped = false;
    if (!textStart && ProbeV4(header, swapped)) {
        file.version = 4;
        file.swapped = swapped;
        // The whole first matrix must fit: a header read proves it.
        return true;
    }
    return false;
}

thread_local int lastOpenFailure = MAT_OPEN_OK;

// A level-5 header with the version of 7.3: an HDF5 file behind a MAT header.
// Its text starts as a level-5 header's does (never with a zero byte).
bool IsVersion73(const uint8_t* header, size_t n) {
    if (n < kHeaderSize || header[0] == 0 || header[1] == 0 || header[2] == 0 || header[3] == 0) return false;
    const uint8_t* mark = header + kEndianAt;
    const bool little = mark[0] == kEndianLittle[0] && mark[1] == kEndianLittle[1];
    const bool big = mark[0] == kEndianBig[0] && mark[1] == kEndianBig[1];
    return (little || big) && Load16(header + kVersionAt, big) == kVersion73;
}

// Whether the HDF5 signature stands where a version 7.3 file's HDF5 data
// begins (after its user block), as a build that reads such files needs it
// and one that does not can check just the same.
bool HasHdf5Signature(SourceFile& file) {
    uint8_t signature[sizeof kHdf5Signature];
    return Fits(kV73UserBlockSize, sizeof signature, file.size) &&
           ReadAt(file, kV73UserBlockSize, signature, sizeof signature) &&
           std::memcmp(signature, kHdf5Signature, sizeof signature) == 0;
}

// The file the path names, open for reading; null for one the system cannot
// open or that is no regular file.
std::shared_ptr<SourceFile> OpenSource(const char* path) {
    platform::FileSystemCalls& fs = platform::FileSystem();
    auto source = std::make_shared<SourceFile>();
    source->path = path;
    source->stream = fs.open(path, "rb");
    if (source->stream == nullptr) return nullptr;
    platform::FileStatus status;
    if (fs.fileStatus(source->stream, &status) != 0 || !status.isRegularFile) return nullptr;
    source->size = status.size;
    source->opened = status;
    return source;
}

MATFile* OpenForRead(const char* path) {
    lastOpenFailure = MAT_OPEN_UNREADABLE;
    const std::shared_ptr<SourceFile> source = OpenSource(path);
    if (!source) return nullptr;
    auto mfp = std::make_unique<MATFile>();
    if (!Recognise(*source, mfp->header)) {
        const size_t n = source->size < kHeaderSize ? static_cast<size_t>(source->size) : kHeaderSize;
        if (!IsVersion73(mfp->header, n)) {
            lastOpenFailure = MAT_OPEN_NOT_MAT;
            return nullptr;
        }
        const V73Status opened = HasHdf5Signature(*source) ? OpenV73(*source) : V73Status::Damaged;
        if (opened != V73Status::Ok) {
            lastOpenFailure = opened == V73Status::NotReadable ? MAT_OPEN_VERSION_73 : MAT_OPEN_DAMAGED;
            return nullptr;
        }
        // Its variables are counted from 0 (ReadV73Header).
        source->version = 73;
    }
    mfp->mode = OpenMode::Read;
    mfp->source = source;
    mfp->scanOffset = source->version == 5 ? kHeaderSize : 0;
    if (source->version == 4) {
        // Every field of the first matrix, its name and data within the file.
        mxArray first;
        uint64_t next = 0;
        if (ReadV4Header(source, 0, first, next) != HeaderStatus::Ok) {
            lastOpenFailure = MAT_OPEN_DAMAGED;
            return nullptr;
        }
        std::memset(mfp->header, 0, sizeof mfp->header);
        ReadAt(*source, 0, mfp->header, kV4HeaderSize);
    }
    lastOpenFailure = MAT_OPEN_OK;
    return mfp.release();
}

thread_local const char* lastError = nullptr;

// Takes the update lock of the file the path names. The file may have been
// replaced between the open and the lock (by an update that held it): then
// the path is opened again.
constexpr int kLockAttempts = 3;

MATFile* OpenForUpdate(const char* path) {
    platform::FileSystemCalls& fs = platform::FileSystem();
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        std::unique_ptr<MATFile> mfp(OpenForRead(path));
        if (!mfp) return nullptr;
        if (fs.lock(mfp->source->stream) != 0) {
            SetLastError(errno == EWOULDBLOCK ? "another deletion is changing this file right now; try again"
                         : errno == EACCES    ? "another program holds a lock on this file to write it; try again when it is done"
                                              : nullptr);
            return nullptr;
        }
        platform::FileStatus now;
        if (fs.status(path, &now) != 0) return nullptr;
        if (now.device != mfp->source->opened.device || now.inode != mfp->source->opened.inode) continue;
        mfp->mode = OpenMode::Update;
        if (!IndexAllVariables(mfp.get()) || !BeginUpdate(mfp.get())) return nullptr;
        return mfp.release();
    }
    SetLastError("the file keeps being replaced by another program");
    return nullptr;
}

}  // namespace

void SetLastError(const char* reason) { lastError = reason; }

const char* const kCancelledReason = "cancelled";

bool SourceUnchanged(const SourceFile& source) {
    platform::FileStatus now;
    if (source.stream == nullptr || platform::FileSystem().fileStatus(source.stream, &now) != 0) return false;
    if (platform::SameFileUnchanged(now, source.opened)) return true;
    SetLastError("the file was changed by another program since it was opened");
    return false;
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

MATFile* matOpen(const char* path, const char* mode) {
    SetLastError(nullptr);
    if (path == nullptr || mode == nullptr) return nullptr;
    try {
        if (std::strcmp(mode, "w") == 0) return OpenForWrite(path);
        if (std::strcmp(mode, "wz") == 0) return OpenForWrite(path, true);
        if (std::strcmp(mode, "r") == 0) return OpenForRead(path);
        if (std::strcmp(mode, "u") == 0) return OpenForUpdate(path);
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}

int matClose(MATFile* mfp) {
    if (mfp == nullptr) return 1;
    int result = 0;
    if (mfp->mode == OpenMode::Write) result = FinishWrite(mfp);
    if (mfp->mode == OpenMode::Update) result = ApplyDeletions(mfp);
    delete mfp;
    return result;
}

void matAbandon(MATFile* mfp) { delete mfp; }

int matIsMatFile(const char* path) {
    if (path == nullptr) return 0;
    try {
        const std::shared_ptr<SourceFile> source = OpenSource(path);
        if (!source) return 0;
        uint8_t header[kHeaderSize] = {};
        if (Recognise(*source, header)) return 1;
        const size_t n = source->size < kHeaderSize ? static_cast<size_t>(source->size) : kHeaderSize;
        return IsVersion73(header, n) && HasHdf5Signature(*source) ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int matCheckIndex(MATFile* mfp) { return IndexAllVariables(mfp) ? 0 : 1; }

char** matGetDir(MATFile* mfp, int* num) {
    if (num == nullptr) return nullptr;
    *num = -1;
    if (mfp == nullptr || mfp->source == nullptr) return nullptr;
    try {
        ScanToEnd(mfp);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    // A damaged variable ends the directory: those before it are listed and
    // can be read (a half-copied file still gives up what it holds); the
    // update side refuses such a file (IndexAllVariables). A file whose very
    // first variable is damaged is a failure, not an empty file.
    size_t count = mfp->entries.size();
    if (count > static_cast<size_t>(INT32_MAX)) return nullptr;
    if (count == 0 && mfp->indexDamaged) return nullptr;
    if (count == 0) {
        *num = 0;
        return nullptr;
    }
    // One block: the pointers, then the names with their terminators.
    size_t bytes = count * sizeof(char*);
    for (const VariableEntry& e : mfp->entries) bytes += e.nameLength + size_t{1};
    char** list = static_cast<char**>(mxCalloc(1, bytes));
    if (list == nullptr) return nullptr;
    char* text = reinterpret_cast<char*>(list + count);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view name = EntryName(mfp->entryNames, mfp->entries[i]);
        list[i] = text;
        std::memcpy(text, name.data(), name.size());
        text[name.size()] = '\0';
        text += name.size() + 1;
    }
    *num = static_cast<int>(count);
    return list;
}

int matGetHeaderText(MATFile* mfp, char* text, size_t size) {
    if (text != nullptr && size > 0) text[0] = '\0';
    if (mfp == nullptr || text == nullptr || !mfp->source || mfp->source->version == 4) return 1;
    if (size <= kHeaderTextSize) return 1;
    std::memcpy(text, mfp->header, kHeaderTextSize);
    text[kHeaderTextSize] = '\0';
    return 0;
}

int matGetModifiedTime(MATFile* mfp, int64_t* secondsSince1970) {
    if (mfp == nullptr || secondsSince1970 == nullptr || !mfp->source) return 1;
    *secondsSince1970 = mfp->source->opened.modifiedTime;
    return 0;
}

FILE* matGetFp(MATFile* mfp) {
    if (mfp == nullptr) return nullptr;
    if (mfp->mode == OpenMode::Write) return WriteStream(mfp);
    return mfp->source ? mfp->source->stream : nullptr;
}

mxArray* matGetNextArrayHeader(MATFile* mfp) {
    if (mfp == nullptr || mfp->source == nullptr) return nullptr;
    try {
        // The index keeps every header it read: each is read from the file once.
        if (mfp->cursorIndex >= mfp->entries.size() && IndexNext(mfp) != HeaderStatus::Ok) return nullptr;
        std::unique_ptr<mxArray> array = HeaderOfEntry(mfp, mfp->entries[mfp->cursorIndex]);
        ++mfp->cursorIndex;
        return array.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The header of an indexed variable as a new array (its data read lazily).
static mxArray* ArrayOfEntry(MATFile* mfp, const VariableEntry& entry) {
    auto array = std::make_unique<mxArray>();
    uint64_t next = 0;
    if (ReadHeaderAt(mfp, entry.offset, *array, next) != HeaderStatus::Ok) return nullptr;
    array->occurrence = entry.occurrence;
    return array.release();
}

mxArray* matGetArrayOccurrence(MATFile* mfp, const char* name, int occurrence) {
    if (mfp == nullptr || mfp->source == nullptr || name == nullptr || occurrence < 1) return nullptr;
    if (!SourceUnchanged(*mfp->source)) return nullptr;
    try {
        size_t index = FindEntry(mfp, name, occurrence);
        if (index >= mfp->entries.size()) return nullptr;
        return ArrayOfEntry(mfp, mfp->entries[index]);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

mxArray* matGetArray(MATFile* mfp, const char* name) { return matGetArrayOccurrence(mfp, name, 1); }

const char* matLastError(void) { return lastError; }

int matLastOpenFailure(void) { return lastOpenFailure; }

int matGetVersion(MATFile* mfp) { return mfp != nullptr && mfp->source ? mfp->source->version : 0; }

void matSetProgress(MATFile* mfp, matProgressFn progress, void* context) {
    if (mfp == nullptr) return;
    mfp->progress = progress;
    mfp->progressContext = context;
    if (mfp->writer) SetWriteProgress(mfp, progress, context);
}

int matLastWasCancelled(void) { return lastError == kCancelledReason ? 1 : 0; }

int matPutArray(MATFile* mfp, const mxArray* array) {
    if (mfp == nullptr || array == nullptr) return 1;
    if (mfp->mode == OpenMode::Update) {
        try {
            return RecordAddition(mfp, array);
        } catch (const std::bad_alloc&) {
            return 1;
        }
    }
    if (mfp->mode != OpenMode::Write) return 1;
    return PutArray(mfp, array);
}

int matDeleteArrayOccurrence(MATFile* mfp, const char* name, int occurrence) {
    if (mfp == nullptr || name == nullptr || mfp->mode != OpenMode::Update || occurrence < 1) return 1;
    return RecordDeletion(mfp, name, occurrence);
}

int matKeepNeededSubsystem(MATFile* mfp) {
    try {
        return KeepNeededSubsystem(mfp);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// Occurrence 0 asks the update side for the first of that name not yet deleted.
int matDeleteArray(MATFile* mfp, const char* name) {
    if (mfp == nullptr || name == nullptr || mfp->mode != OpenMode::Update) return 1;
    return RecordDeletion(mfp, name, 0);
}

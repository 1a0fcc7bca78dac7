// Mode "u": deleting and adding variables in place. matDeleteArray and
// matPutArray only record which variables go and which come (an added one
// takes the place of the variable of its name, or goes after the others);
// matClose applies all of them in one rewrite.
//
// Invariants of applying the changes (ApplyChanges):
//  1. The old file is only ever read, never written: the new file is written
//     beside it, in the same folder, under a unique temporary name.
//  2. The new file is the old one with the deleted variables' bytes cut out
//     and the added variables' elements put in: the header and every
//     remaining variable stand byte for byte as they stood (a compressed variable stays compressed, a version 4 file stays
//     version 4, the byte order stays). Only the level-5 header's
//     subsystem-data offset changes: it follows the variable it points at
//     when that variable moves, is cleared when it is deleted, and points at
//     the subsystem data that added variables bring. (A
//     version 4 file that loses its last variable becomes the level-5
//     header alone: an empty file would be no MAT-file at all.)
//  3. The new file is checked to have exactly the size it must have, given
//     the old file's owner and group (as far as the caller may), permission
//     bits and extended attributes (access control lists), flushed and
//     synced to disk, and only then renamed over the old one (see
//     CommitStagedFile); the folder is synced after the rename.
//  4. The old file is checked to be the one that was indexed (same file,
//     size and time to the nanosecond) before the copy and again right
//     before the rename: a file changed meanwhile by someone else is not
//     replaced with a copy of its former self. From the open to the rename
//     the update holds the file's lock: two updates never interleave, the
//     second is refused at once.
//  5. Any failure before the rename returns non-zero, removes the temporary
//     file and leaves the old file exactly as it was. A crash at any moment
//     leaves at the path either the whole old file or the whole new one (at
//     worst a stray temporary file beside it).
//  6. A reader that holds the old file open (an archive being listed) keeps
//     reading the old file: the rename gives the path a new file and leaves
//     the open one alone.
//  7. With no deletion or addition recorded, nothing is written at all.
//  8. The new file is readable by its owner alone until it gets the old
//     file's bits: a private file's copy is never open to others.
//  9. Through a symbolic link, the file the link points at is replaced and
//     the link stays. Refused when opened for update: a file without any
//     write permission, a file the caller may not write (the folder's write
//     bit would allow the rename, but the file is not the caller's to
//     change), a file with several names (hard links; the others would keep
//     the old variables).
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/mat_write_file.h"
#include "matlib/mat_internal.h"
#include "update/update.h"
#include "v73client/v73_reader.h"
#include "v73client/v73_writer.h"

namespace matlib {

struct UpdateState {
    std::vector<bool> deleted;   // one per entry of the handle
    size_t deletedCount = 0;
    // Variables added (matPutArray): each either takes the place of the
    // variable of its name (replacedBy: per entry, 1 + the addition's index;
    // 0 for none) or goes after the file's variables, before its subsystem
    // data when that comes last.
    std::vector<mxArray> added;
    std::vector<size_t> replacedBy;
    // Subsystem data that added variables refer to, from their file: copied
    // after the last variable, the header pointing at it.
    std::shared_ptr<SourceFile> carriedSource;
    uint64_t carriedOffset = 0, carriedSize = 0;
    // The subsystem data that added variables converted by their reader
    // (version 7.3) refer to: converted after the last variable, from one of them.
    bool carries73 = false;
    mxArray carried73;
};

static void DestroyUpdateState(UpdateState* state) { delete state; }

namespace {

using namespace format;
using platform::FileSystem;

// Where the first variable may start: after the level-5 header; a version 4
// file is nothing but variables.
uint64_t VariablesStart(const SourceFile& source) { return source.format->variablesStart; }

// The entries must tile the file in order without overlap, or cutting some
// of them out would not give a sound file.
bool EntriesAreSound(const MATFile& mfp) {
    uint64_t end = VariablesStart(*mfp.source);
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        const uint64_t offset = mfp.entries.Offset(i), size = mfp.entries.Size(i);
        if (offset < end || size == 0) return false;
        if (offset > mfp.source->size || size > mfp.source->size - offset) return false;
        end = offset + size;
    }
    return true;
}

uint64_t ReadOffset(const uint8_t* bytes, bool bigEndian) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[bigEndian ? 7 - i : i]) << (8 * i);
    return value;
}

void WriteOffset(uint8_t* bytes, bool bigEndian, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[bigEndian ? 7 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

// Where the header's subsystem-data offset points, and where that byte is
// in the new file. MATLAB writes blanks where a file has no subsystem data
// (other writers write zeros); both mean none, and an offset that points at
// nothing of the file is left as it stood: neither moves.
struct SubsystemMove {
    bool moves = false;
    uint64_t old = 0;
    bool found = false;      // its byte was copied, to `now`
    uint64_t now = 0;
};

SubsystemMove SubsystemOf(const MATFile& mfp, const uint8_t header[kHeaderSize]) {
    const uint8_t* field = header + kSubsystemOffsetAt;
    bool allZero = true;
    bool allBlank = true;
    for (int i = 0; i < 8; ++i) {
        allZero = allZero && field[i] == 0;
        allBlank = allBlank && field[i] == ' ';
    }
    SubsystemMove move;
    if (allZero || allBlank) return move;
    move.old = ReadOffset(field, mfp.source->bigEndian);
    move.moves = move.old >= kHeaderSize && move.old < mfp.source->size;
    return move;
}

// Copies the old file's bytes [from, to), noting where the subsystem data lands.
bool CopyRun(const SourceFile& source, uint64_t from, uint64_t to, SubsystemMove* move, StagedFile* file) {
    if (move->moves && move->old >= from && move->old < to) {
        move->found = true;
        move->now = file->written + (move->old - from);
    }
    return StagedCopy(file, source.stream, from, to - from);
}

// An added variable's element. A level-5 element is copied as it stands
// (an uncompressed one padded to 8 bytes when its file left the padding
// off, so that the element after it stays aligned); a version 4 matrix is
// written as the level-5 element of the same values.
bool WriteAddition(const mxArray& array, bool bigEndian, bool compress, StagedFile* file) {
    if (array.format->writeLevel5 != nullptr) return array.format->writeLevel5(array, false, compress, file);
    if (compress && array.format->writeCompressedElement != nullptr) {
        return array.format->writeCompressedElement(&array, bigEndian, file);
    }
    if (array.format->writeElement != nullptr) return array.format->writeElement(&array, bigEndian, file);
    const SourceFile& source = *array.source;
    if (array.elementSize < kTagSize || array.elementOffset > source.size ||
        array.elementSize > source.size - array.elementOffset) {
        return false;
    }
    if (!StagedCopy(file, source.stream, array.elementOffset, array.elementSize)) return false;
    const size_t pad = array.data.compressed ? 0 : PaddingAfter(array.elementSize);
    // Bytes read from a file that another program rewrote meanwhile are no
    // copy of anything.
    return StagedWrite(file, kZeroPadding, pad) && SourceUnchanged(source);
}

// What an addition is expected to take (a version 4 matrix: about its size).
uint64_t AdditionSize(const mxArray& array) {
    if (!array.format->copiedAsElement) return array.elementSize;
    return array.data.compressed ? array.elementSize : PaddedSize(array.elementSize);
}

// The entry before which the added variables go: the subsystem data when it
// is the last variable (MATLAB's readers expect it there), else none (the end).
size_t InsertionPoint(const MATFile& mfp, const UpdateState& state) {
    const size_t count = mfp.entries.size();
    if (count == 0 || mfp.source->subsystemOffset == 0) return count;
    const size_t last = count - 1;
    return mfp.entries.Offset(last) == mfp.source->subsystemOffset && !state.deleted[last] ? last : count;
}

// Writes the new file's bytes: header, then the old file without the deleted
// variables, each replaced one's new element in its place, the added ones,
// and the subsystem data they carry.
bool WriteRemaining(const MATFile& mfp, const UpdateState& state, StagedFile* file) {
    const SourceFile& source = *mfp.source;
    uint64_t removed = 0;
    uint64_t addedBytes = 0;
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        const bool replaced = !state.replacedBy.empty() && state.replacedBy[i] != 0;
        if (state.deleted[i] || replaced) removed += mfp.entries.Size(i);
    }
    for (const mxArray& array : state.added) addedBytes += AdditionSize(array);
    if (!source.format->mayBeEmpty && state.deletedCount == mfp.entries.size()) {
        // No version 4 file can be empty (an empty file is no MAT-file at
        // all), so a version 4 file without variables becomes the level-5
        // file without variables: a header alone.
        uint8_t header[kHeaderSize];
        BuildHeader5(header, source.bigEndian, std::time(nullptr));
        return StagedWrite(file, header, sizeof header) && file->written == kHeaderSize;
    }
    file->expectedSize = source.size - removed + addedBytes + state.carriedSize;
    uint64_t position = VariablesStart(source);
    SubsystemMove move;
    if (source.format->headerBlock) {
        uint8_t header[kHeaderSize];
        if (FileSystem().seek(source.stream, 0, SEEK_SET) != 0 ||
            FileSystem().read(header, sizeof header, source.stream) != sizeof header) {
            return false;
        }
        move = SubsystemOf(mfp, header);
        if (!StagedWrite(file, header, sizeof header)) return false;
    }
    const size_t insertAt = InsertionPoint(mfp, state);
    // An element that is made here is compressed as the file's first
    // variable is (MATLAB's default, version 7, for a file without any).
    const bool compress = mfp.entries.size() == 0 || IsCompressedElement(source, mfp.entries.Offset(0));
    auto writeAppended = [&] {
        for (size_t k = 0; k < state.added.size(); ++k) {
            const bool inPlace = std::find(state.replacedBy.begin(), state.replacedBy.end(), k + 1) != state.replacedBy.end();
            if (!inPlace && !WriteAddition(state.added[k], source.bigEndian, compress, file)) return false;
        }
        return true;
    };
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        const uint64_t start = mfp.entries.Offset(i);
        const size_t replacement = state.replacedBy.empty() ? 0 : state.replacedBy[i];
        if (i == insertAt) {
            if (!CopyRun(source, position, start, &move, file) || !writeAppended()) return false;
            position = start;
        }
        if (!state.deleted[i] && replacement == 0) continue;
        if (!CopyRun(source, position, start, &move, file)) return false;
        position = start + mfp.entries.Size(i);
        if (replacement != 0 && !WriteAddition(state.added[replacement - 1], source.bigEndian, compress, file)) return false;
    }
    if (!CopyRun(source, position, source.size, &move, file)) return false;
    if (insertAt == mfp.entries.size() && !writeAppended()) return false;

    // The header's offset follows the subsystem data it pointed at, is
    // cleared when that was deleted, or points at the carried one.
    bool patch = move.moves;
    uint8_t field[8];
    if (move.moves && !move.found) std::memset(field, ' ', 8);   // its variable is deleted
    if (move.found) WriteOffset(field, source.bigEndian, move.now);
    if (state.carriedSource) {
        WriteOffset(field, source.bigEndian, file->written);
        patch = true;
        if (!StagedCopy(file, state.carriedSource->stream, state.carriedOffset, state.carriedSize) ||
            !SourceUnchanged(*state.carriedSource)) {
            return false;
        }
    }
    if (state.carries73) {
        WriteOffset(field, source.bigEndian, file->written);
        patch = true;
        if (!state.carried73.format->writeLevel5(state.carried73, true, compress, file)) return false;
    }
    if (patch && source.format->headerBlock) {
        FILE* out = file->stream;
        if (FileSystem().seek(out, static_cast<int64_t>(kSubsystemOffsetAt), SEEK_SET) != 0 ||
            FileSystem().write(field, sizeof field, out) != sizeof field || FileSystem().seek(out, 0, SEEK_END) != 0) {
            file->broken = true;
            return false;
        }
    }
    // A version 4 matrix's element is not known in size until written.
    const bool sizeKnown = std::none_of(state.added.begin(), state.added.end(),
                                        [](const mxArray& array) { return !array.format->copiedAsElement; });
    if (sizeKnown) return file->written == file->expectedSize;
    return StagedComplete(file);
}

// A version 7.3 file: the worker copies the variables that stay (with what
// they refer to, and the subsystem data when they may hold objects) into
// the new file, whose user block is the old one's. What only the deleted
// variables used is not copied: the file shrinks by what they took.
// With no variable left it is an HDF5 file without variables.
//
// With variables added (save -append), a worker of its own writes the new
// file: the variables that stay copied, then each added one converted (level
// 5, version 4) or copied (version 7.3) under its name.
bool WriteWithAdditionsV73(const MATFile& mfp, const UpdateState& state, const uint8_t* userBlock, StagedFile* file) {
    uint64_t expected = mfp.source->size;
    for (const mxArray& array : state.added) expected += array.elementSize;
    file->expectedSize = expected;
    std::vector<uint64_t> kept;
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        const bool replaced = !state.replacedBy.empty() && state.replacedBy[i] != 0;
        if (!state.deleted[i] && !replaced) kept.push_back(mfp.entries.Offset(i));
    }
    // The target's own soft and external links stay, also when none of its
    // variables does.
    V73WriterPtr writer = StartV73Writer(userBlock, file);
    if (!writer || !V73WriterCopy(writer.get(), mfp.source, kept, true)) return false;
    for (const mxArray& array : state.added) {
        const bool put = array.format->variablesByIndex ? V73WriterCopy(writer.get(), array.source, {array.elementOffset})
                                                        : V73WriterAdd(writer.get(), array);
        if (!put) return false;
    }
    return FinishV73Writer(writer.get()) && StagedComplete(file);
}

bool WriteKeptV73(const MATFile& mfp, const UpdateState& state, StagedFile* file) {
    uint8_t userBlock[kV73UserBlockSize];
    if (!ReadAt(*mfp.source, 0, userBlock, sizeof userBlock)) return false;
    if (!state.added.empty()) {
        try {
            return WriteWithAdditionsV73(mfp, state, userBlock, file);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    // The new file is not longer than the old one but for libhdf5's own
    // bookkeeping: the old size is what the progress counts towards.
    file->expectedSize = mfp.source->size;
    try {
        std::vector<uint64_t> kept;
        for (size_t i = 0; i < mfp.entries.size(); ++i) {
            if (!state.deleted[i]) kept.push_back(mfp.entries.Offset(i));   // its index among the variables
        }
        return WriteV73File(mfp.source, kept, userBlock, file, true) && StagedComplete(file);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int Apply(MATFile* mfp, UpdateState* state) {
    const SourceFile& source = *mfp->source;
    // The file indexed is the file copied: unchanged since it was opened.
    if (!SourceUnchanged(source)) return 1;
    const platform::FileStatus opened = source.opened;

    // Temporaries of deletions that died on this machine go first.
    FileSystem().removeStaleTemporaries(source.path.c_str());
    auto file = std::unique_ptr<StagedFile>(new (std::nothrow) StagedFile);
    if (!file || !CreateStagedFile(source.path.c_str(), true, true, opened.mode, file.get())) return 1;
    file->expectedTarget = &opened;
    file->changedReason = state->added.empty()
                              ? "the file was changed by another program during the deletion; nothing was deleted"
                              : "the file was changed by another program while variables were added to it; "
                                "nothing was added";
    file->progress = mfp->progress;
    file->progressContext = mfp->progressContext;
    const bool written = source.format->variablesByIndex ? WriteKeptV73(*mfp, *state, file.get())
                                              : WriteRemaining(*mfp, *state, file.get());
    if (!written ||
        FileSystem().copyAttributes(source.stream, file->stream) != 0) {
        return 1;   // ~StagedFile removes the temporary file
    }
    // Windows cannot rename over a file that is open; let go of ours when
    // nobody else still reads through it. Elsewhere it stays open, and with
    // it the update lock, until the new file is in place.
    if (!platform::kCanReplaceOpenFile && mfp->source.use_count() == 1) mfp->source.reset();
    if (CommitStagedFile(file.get()) != 0) return 1;
    state->deleted.assign(state->deleted.size(), false);
    state->deletedCount = 0;
    state->added.clear();
    state->replacedBy.clear();
    state->carriedSource.reset();
    state->carries73 = false;
    return 0;
}

}  // namespace

bool BeginUpdate(MATFile* mfp) {
    if (mfp == nullptr || !mfp->source || !mfp->indexed || mfp->source->stream == nullptr) return false;
    const MatFormat* format = mfp->source->format;
    if (format == nullptr) return false;
    // A version 7.3 file's entries are the indexes of its variables.
    if (mfp->source->path.empty() || (!format->variablesByIndex && !EntriesAreSound(*mfp))) return false;
    // A file that nobody may write is read-only by its owner's choice (and
    // MATLAB's own matOpen cannot open it for update either): it is not
    // replaced, even where the folder would allow the rename.
    platform::FileStatus status;
    if (FileSystem().fileStatus(mfp->source->stream, &status) != 0 || !status.isRegularFile ||
        (status.mode & 0222) == 0) {
        return false;
    }
    // Renaming over the file needs only the folder's write bit; changing it
    // needs the right to write the file itself.
    if (FileSystem().mayWrite(mfp->source->path.c_str()) != 0) {
        SetLastError("you may not write this file");
        return false;
    }
    // A file of several names (hard links) cannot be replaced under all of
    // them at once: the others would keep the old variables.
    if (status.linkCount > 1) {
        SetLastError("the file has other names (hard links) that would keep the old variables; "
                     "deletion changes only files with one name");
        return false;
    }
    mfp->mode = OpenMode::Update;
    mfp->updater = std::unique_ptr<UpdateState, UpdateStateDeleter>(new (std::nothrow) UpdateState, {DestroyUpdateState});
    if (!mfp->updater) return false;
    try {
        mfp->updater->deleted.assign(mfp->entries.size(), false);
    } catch (const std::bad_alloc&) {
        mfp->updater.reset();
        return false;
    }
    return true;
}

// occurrence 0: the first variable of that name not yet deleted; 1, 2, ...:
// exactly that one of the variables of that name, if not yet deleted.
int RecordDeletion(MATFile* mfp, const char* name, int occurrence) {
    if (mfp == nullptr || name == nullptr || mfp->mode != OpenMode::Update || !mfp->updater) return 1;
    if (occurrence < 0) return 1;
    UpdateState& state = *mfp->updater;
    const size_t none = std::numeric_limits<size_t>::max();
    size_t found = none;
    mfp->entries.ForEachOfName(name, [&](size_t i) {
        const bool match = occurrence == 0 ? !state.deleted[i] : mfp->entries.Occurrence(i) == occurrence;
        if (match && (found == none || i < found)) found = i;
    });
    if (found == std::numeric_limits<size_t>::max() || state.deleted[found]) return 1;
    state.deleted[found] = true;
    ++state.deletedCount;
    return 0;
}

namespace {

// The subsystem data of the array's file when the array refers to it: its
// element's offset and size into *offset, *size; false when it needs none
// (or its file has none that could be carried).
bool NeededSubsystem(const mxArray& array, uint64_t* offset, uint64_t* size) {
    const std::shared_ptr<SourceFile>& source = array.source;
    if (source->subsystemOffset == 0 || IsSubsystemData(array) || !RefersToSubsystem(array)) return false;
    mxArray subsystem;
    uint64_t next = 0;
    // The subsystem data is the unnamed variable the header points at.
    if (ReadV5Header(source, source->subsystemOffset, subsystem, next) != HeaderStatus::Ok ||
        !subsystem.name.empty()) {
        return false;
    }
    *offset = source->subsystemOffset;
    *size = next - source->subsystemOffset;
    return true;
}

// One file holds one subsystem: the values of objects from two files would
// need their ids renumbered into one.
void RefuseSecondSubsystem(bool thisFileHasOne) {
    SetLastError(thisFileHasOne ? "it holds objects (string, table, datetime, classdef objects or function handles), "
                                  "and so does this file: merging their subsystem data is not available yet"
                                : "it holds objects, and so does a variable added from another file: "
                                  "merging their subsystem data is not available yet");
}

// Whether an added variable that its reader converts (version 7.3) can go
// into this file: its element's size (into *bytes) and whether it needs its
// file's subsystem data carried (*carries); false and the reason otherwise.
bool AcceptConverted(MATFile* mfp, const mxArray& array, uint64_t* bytes, bool* carries) {
    UpdateState& state = *mfp->updater;
    const SourceFile& target = *mfp->source;
    if (target.bigEndian) {
        SetLastError("this file is big-endian; a variable converted from version 7.3 is written little-endian");
        return false;
    }
    bool objects = false;
    if (!array.format->planLevel5(array, false, *bytes, objects)) return false;
    if (!objects) return true;
    if (target.subsystemOffset != 0) return RefuseSecondSubsystem(true), false;
    const bool same = state.carries73 && (state.carried73.source == array.source ||
                                          state.carried73.source->path == array.source->path);
    if (state.carriedSource || (state.carries73 && !same)) return RefuseSecondSubsystem(false), false;
    uint64_t subsystemBytes = 0;
    bool ignored = false;
    if (!array.format->planLevel5(array, true, subsystemBytes, ignored)) {
        SetLastError("it holds objects whose values (its file's subsystem data) cannot be converted");
        return false;
    }
    *carries = true;
    return true;
}

}  // namespace

namespace {
int Record(MATFile* mfp, const mxArray* array, uint64_t convertedBytes = 0);
int RecordAdditionV73(MATFile* mfp, const mxArray* array);
}  // namespace

int RecordAddition(MATFile* mfp, const mxArray* array) {
    if (mfp == nullptr || array == nullptr || mfp->mode != OpenMode::Update || !mfp->updater || !mfp->source) return 1;
    UpdateState& state = *mfp->updater;
    const SourceFile& target = *mfp->source;
    const bool converted = array->format != nullptr && array->format->planLevel5 != nullptr;
    if (array->format == nullptr || !array->source || array->name.empty()) return 1;
    for (const mxArray& other : state.added) {
        if (other.name == array->name) {
            SetLastError("a variable of that name is added already");
            return 1;
        }
    }
    if (target.format->variablesByIndex) return RecordAdditionV73(mfp, array);
    if (array->format->variablesByIndex && !converted) {
        SetLastError("conversion between version 7.3 and earlier MAT-files is not available yet");
        return 1;
    }
    if (!target.format->headerBlock) {
        SetLastError("variables are added to level-5 MAT-files (version 6 and 7) only; this one is version 4");
        return 1;
    }
    if ((!array->format->copiedAsElement && array->format->writeElement == nullptr && !converted) || !array->source ||
        array->name.empty()) {
        return 1;
    }
    // Level-5 bytes keep their byte order: they cannot be copied into a file of the other.
    if (array->format->copiedAsElement && array->source->bigEndian != target.bigEndian) {
        SetLastError("its file has the other byte order than this one");
        return 1;
    }
    uint64_t convertedBytes = 0;
    bool carries73 = false;
    if (converted && !AcceptConverted(mfp, *array, &convertedBytes, &carries73)) return 1;
    uint64_t subsystemOffset = 0, subsystemSize = 0;
    if (array->format->subsystemVariable && NeededSubsystem(*array, &subsystemOffset, &subsystemSize)) {
        if (target.subsystemOffset != 0) return RefuseSecondSubsystem(true), 1;
        const bool same = state.carriedSource && (state.carriedSource == array->source ||
                                                  (state.carriedSource->path == array->source->path &&
                                                   state.carriedOffset == subsystemOffset));
        if ((state.carriedSource && !same) || state.carries73) return RefuseSecondSubsystem(false), 1;
    }
    if (!SourceUnchanged(*array->source)) return 1;
    // Accepted: from here on nothing refuses it.
    if (carries73 && !state.carries73) {
        state.carried73 = *array;
        state.carried73.decoded = DecodedData{};
        state.carries73 = true;
    }
    if (subsystemSize != 0) {
        state.carriedSource = array->source;
        state.carriedOffset = subsystemOffset;
        state.carriedSize = subsystemSize;
    }
    return Record(mfp, array, converted ? convertedBytes : 0);
}

namespace {

// Notes the addition (convertedBytes: the element a converted array
// becomes; 0 for one copied as it stands). MATLAB's save -append overwrites
// a variable of that name, and its place is the new one's. More of that
// name (a crafted file) go.
int Record(MATFile* mfp, const mxArray* array, uint64_t convertedBytes) {
    UpdateState& state = *mfp->updater;
    state.added.push_back(*array);
    state.added.back().decoded = DecodedData{};
    // A converted array's element size is what its element will take (uncompressed).
    if (convertedBytes != 0) state.added.back().elementSize = convertedBytes;
    if (state.replacedBy.empty()) state.replacedBy.assign(mfp->entries.size(), 0);
    size_t first = mfp->entries.size();
    mfp->entries.ForEachOfName(array->name, [&](size_t i) {
        if (!state.deleted[i]) first = i;   // visited last first
    });
    mfp->entries.ForEachOfName(array->name, [&](size_t i) {
        if (state.deleted[i]) return;
        if (i == first) {
            state.replacedBy[i] = state.added.size();
        } else {
            state.deleted[i] = true;
            ++state.deletedCount;
        }
    });
    return 0;
}

// Into a version 7.3 file: a level-5 or version 4 array converted, a
// version 7.3 one copied; objects of level-5 files are refused (their
// subsystem data is not converted).
int RecordAdditionV73(MATFile* mfp, const mxArray* array) {
    if (!array->format->variablesByIndex) {
        if (!array->format->copiedAsElement && array->format->writeElement == nullptr) return 1;
        if (const char* refusal = V73AdditionRefusal(*array)) {
            SetLastError(refusal);
            return 1;
        }
    }
    if (!SourceUnchanged(*array->source)) return 1;
    return Record(mfp, array);
}

}  // namespace

int KeepNeededSubsystem(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Update || !mfp->updater || !mfp->source) return 0;
    UpdateState& state = *mfp->updater;
    const uint64_t subsystemOffset = mfp->source->subsystemOffset;
    if (subsystemOffset == 0 || state.deleted.size() != mfp->entries.size()) return 0;
    if (!mfp->source->format->subsystemVariable) return 0;
    size_t subsystem = mfp->entries.size();
    for (size_t i = 0; i < mfp->entries.size(); ++i) {
        if (mfp->entries.Offset(i) == subsystemOffset) subsystem = i;
    }
    if (subsystem == mfp->entries.size()) return 0;
    bool neededByKept = false;
    bool neededByDeleted = false;
    for (size_t i = 0; i < mfp->entries.size() && !neededByKept; ++i) {
        if (i == subsystem) continue;
        mxArray array;
        uint64_t next = 0;
        const bool read = ReadV5Header(mfp->source, mfp->entries.Offset(i), array, next) == HeaderStatus::Ok;
        if (state.deleted[i]) {
            neededByDeleted = neededByDeleted || (read && RefersToSubsystem(array));
        } else {
            // A variable that cannot be read cannot be shown not to need it.
            neededByKept = !read || RefersToSubsystem(array);
        }
    }
    if (state.deleted[subsystem] && neededByKept) {
        state.deleted[subsystem] = false;
        --state.deletedCount;
        return 1;
    }
    // The last variables that needed it go: it goes with them, as MATLAB
    // writes no subsystem data into a file without objects.
    if (!state.deleted[subsystem] && !neededByKept && neededByDeleted) {
        state.deleted[subsystem] = true;
        ++state.deletedCount;
    }
    return 0;
}

int ApplyChanges(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Update || !mfp->updater) return 1;
    UpdateState* state = mfp->updater.get();
    if (state->deletedCount == 0 && state->added.empty()) return 0;
    if (!mfp->source || state->deleted.size() != mfp->entries.size()) return 1;
    if (!state->replacedBy.empty() && state->replacedBy.size() != mfp->entries.size()) return 1;
    return Apply(mfp, state);
}

}  // namespace matlib

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
#include "codec/readers.h"
#include "matlib/mat_internal.h"
#include "update/update.h"
#include "update/write_target.h"

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
    // The subsystem data that added variables refer to: written after the
    // last variable, the header pointing at it.
    CarriedSubsystem carried;
};

static void DestroyUpdateState(UpdateState* state) { delete state; }

namespace {

using namespace format;
using platform::FileSystem;

// The entries must tile the file in order without overlap, or cutting some
// of them out would not give a sound file.
bool EntriesAreSound(const MATFile& mfp) {
    uint64_t end = mfp.source->format->variablesStart;
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        const uint64_t offset = mfp.entries.Offset(i), size = mfp.entries.Size(i);
        if (offset < end || size == 0) return false;
        if (offset > mfp.source->size || size > mfp.source->size - offset) return false;
        end = offset + size;
    }
    return true;
}

// What an addition is expected to take (a version 4 matrix: about its size).
uint64_t AdditionSize(const mxArray& array) {
    if (array.format->element->kind != ElementSource::kCopied) return array.elementSize;
    return array.data.compressed ? array.elementSize : PaddedSize(array.elementSize);
}

// The entry before which the added variables go: the subsystem data when it
// is the last variable (MATLAB's readers expect it there), else none (the end).
size_t InsertionPoint(const MATFile& mfp, const std::vector<bool>& deleted) {
    const size_t count = mfp.entries.size();
    if (count == 0 || mfp.source->subsystemOffset == 0) return count;
    const size_t last = count - 1;
    return mfp.entries.Offset(last) == mfp.source->subsystemOffset && !deleted[last] ? last : count;
}

// The one rewrite, for every target: each variable of the old file kept or
// dropped in order, each replaced one's new variable in its place, the added
// ones at the insertion point, then the subsystem data they carry.
bool Rewrite(const MATFile& mfp, const UpdateState& state, const std::vector<bool>& deleted, WriteTarget& target) {
    const size_t insertAt = InsertionPoint(mfp, deleted);
    auto addAppended = [&] {
        for (size_t k = 0; k < state.added.size(); ++k) {
            const bool inPlace = std::find(state.replacedBy.begin(), state.replacedBy.end(), k + 1) != state.replacedBy.end();
            if (!inPlace && !target.Add(state.added[k], state.carried.RenumberingOf(state.added[k]))) return false;
        }
        return true;
    };
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        if (i == insertAt && !addAppended()) return false;
        const size_t replacement = state.replacedBy.empty() ? 0 : state.replacedBy[i];
        if (!deleted[i] && replacement == 0) {
            if (!target.Keep(i)) return false;
            continue;
        }
        if (!target.Drop(i)) return false;
        const mxArray* added = replacement != 0 ? &state.added[replacement - 1] : nullptr;
        if (added != nullptr && !target.Add(*added, state.carried.RenumberingOf(*added))) return false;
    }
    if (insertAt == mfp.entries.size() && !addAppended()) return false;
    return target.Carry(state.carried) && target.Finish();
}

// Makes the new file's target and writes it. A level-5 file keeps its bytes
// around the changes (an element made here is compressed as the file's first
// variable is: MATLAB's default, version 7, for a file without any). No
// version 4 file can be empty (an empty file is no MAT-file at all), so a
// version 4 file without variables becomes the level-5 file without
// variables: a header alone. A version 7.3 file's user block stays.
bool WriteNewFile(const MATFile& mfp, const UpdateState& state, StagedFile* file) {
    const SourceFile& source = *mfp.source;
    if (source.format->layout == FileLayout::kHdf5) {
        uint8_t userBlock[kV73UserBlockSize];
        if (!ReadAt(*mfp.source, 0, userBlock, sizeof userBlock)) return false;
        // The new file is about the old one's size and what is added, but
        // for libhdf5's own bookkeeping: the progress counts towards it.
        file->expectedSize = source.size;
        for (const mxArray& array : state.added) file->expectedSize += array.elementSize;
        std::unique_ptr<WriteTarget> target = V73Target(file, &mfp, userBlock);
        return target && Rewrite(mfp, state, state.deleted, *target) && StagedComplete(file);
    }
    if (source.format->layout == FileLayout::kVersion4 && state.deletedCount == mfp.entries.size()) {
        Level5Options options;
        options.bigEndian = source.bigEndian;
        std::unique_ptr<WriteTarget> target = Level5Target(file, nullptr, options);
        return target && target->Finish() && file->written == kHeaderSize;
    }
    // Subsystem data merged with the file's own takes the place of its own.
    std::vector<bool> deleted = state.deleted;
    for (size_t i = 0; i < mfp.entries.size() && state.carried.replacesTargetOwn; ++i) {
        if (mfp.entries.Offset(i) == source.subsystemOffset) deleted[i] = true;
    }
    uint64_t removed = 0, addedBytes = 0;
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        const bool replaced = !state.replacedBy.empty() && state.replacedBy[i] != 0;
        if (deleted[i] || replaced) removed += mfp.entries.Size(i);
    }
    for (const mxArray& array : state.added) addedBytes += AdditionSize(array);
    file->expectedSize = source.size - removed + addedBytes + state.carried.size;
    Level5Options options;
    options.compressMade = true;
    if (mfp.entries.size() != 0) {
        // A first variable that cannot be read now cannot be copied either.
        mxArray first;
        uint64_t next = 0;
        if (source.format->readHeader(mfp.source, mfp.entries.Offset(0), first, next) != HeaderStatus::Ok) return false;
        options.compressMade = first.data.compressed;
    }
    options.compressConverted = options.compressMade;
    std::unique_ptr<WriteTarget> target = Level5Target(file, &mfp, options);
    if (!target || !Rewrite(mfp, state, deleted, *target)) return false;
    // A version 4 matrix's element is not known in size until written, nor
    // one whose objects were renumbered, nor merged subsystem data.
    const bool sizeKnown = !state.carried.merged && std::all_of(state.added.begin(), state.added.end(),
                                       [](const mxArray& array) { return array.format->element->kind == ElementSource::kCopied; });
    return sizeKnown ? file->written == file->expectedSize : StagedComplete(file);
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
    bool written = false;
    try {
        written = WriteNewFile(*mfp, *state, file.get());
    } catch (const std::bad_alloc&) {
    }
    if (!written || FileSystem().copyAttributes(source.stream, file->stream) != 0) {
        return 1;   // ~StagedFile removes the temporary file
    }
    // Windows cannot rename over a file that is open; let go of ours when
    // nobody else still reads through it. Elsewhere it stays open, and with
    // it the update lock, until the new file is in place.
    // (A merge's record of the file's own subsystem data lets go of it first.)
    for (CarriedSubsystem::Joined& joined : state->carried.joined) {
        if (joined.source == mfp->source) joined.source.reset();
    }
    if (!platform::kCanReplaceOpenFile && mfp->source.use_count() == 1) mfp->source.reset();
    if (CommitStagedFile(file.get()) != 0) return 1;
    state->deleted.assign(state->deleted.size(), false);
    state->deletedCount = 0;
    state->added.clear();
    state->replacedBy.clear();
    state->carried = CarriedSubsystem{};
    return 0;
}

}  // namespace

bool BeginUpdate(MATFile* mfp) {
    if (mfp == nullptr || !mfp->source || !mfp->indexed || mfp->source->stream == nullptr) return false;
    const MatFormat* format = mfp->source->format;
    if (format == nullptr) return false;
    // A version 7.3 file's entries are the indexes of its variables.
    if (mfp->source->path.empty() || (format->layout != FileLayout::kHdf5 && !EntriesAreSound(*mfp))) return false;
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

}  // namespace

// Into a level-5 file: a level-5 element copied as it stands, a version 4
// matrix or an imported array encoded, a version 7.3 array converted by its
// reader, with the subsystem data it refers to. Into a version 7.3 file: a
// version 7.3 array copied, the others converted, a level-5 array's objects
// with their file's subsystem data.
int RecordAddition(MATFile* mfp, const mxArray* array) {
    if (mfp == nullptr || array == nullptr || mfp->mode != OpenMode::Update || !mfp->updater || !mfp->source) return 1;
    if (array->format == nullptr || !array->source || array->name.empty()) return 1;
    UpdateState& state = *mfp->updater;
    const SourceFile& target = *mfp->source;
    for (const mxArray& other : state.added) {
        if (other.name == array->name) {
            SetLastError("a variable of that name is added already");
            return 1;
        }
    }
    const bool intoV73 = target.format->layout == FileLayout::kHdf5;
    const char* refusal = intoV73                      ? V73Refusal(*array)
                          : target.format->layout != FileLayout::kLevel5 ? "variables are added to level-5 MAT-files (version 6 and 7) "
                                                          "only; this one is version 4"
                                                        : Level5Refusal(*array, target.bigEndian, true);
    if (refusal != nullptr) {
        SetLastError(refusal);
        return 1;
    }
    const bool converted = array->format->element->kind == ElementSource::kConverted;
    uint64_t convertedBytes = 0;
    CarriedSubsystem carried = state.carried;   // taken only when the addition is
    if (!intoV73) {
        bool objects = false;
        if (converted && !array->format->element->plan(*array, false, convertedBytes, objects)) return 1;
        const std::shared_ptr<SourceFile> own = target.subsystemOffset != 0 ? mfp->source : nullptr;
        if (!NoteCarried(carried, *array, objects, own, false)) return 1;
    } else if (!NoteCarriedInto73(carried, *array, mfp->source, false)) {
        return 1;
    }
    if (!SourceUnchanged(*array->source)) return 1;
    // Accepted: from here on nothing refuses it.
    state.carried = std::move(carried);
    return Record(mfp, array, intoV73 ? 0 : convertedBytes);
}

int KeepNeededSubsystem(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Update || !mfp->updater || !mfp->source) return 0;
    UpdateState& state = *mfp->updater;
    const uint64_t subsystemOffset = mfp->source->subsystemOffset;
    if (subsystemOffset == 0 || state.deleted.size() != mfp->entries.size()) return 0;
    if (mfp->source->format->layout != FileLayout::kLevel5) return 0;
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

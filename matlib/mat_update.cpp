// Mode "u": deleting variables in place. matDeleteArray only records which
// variables go; matClose applies all of them in one pass.
//
// Invariants of applying the deletions (ApplyDeletions):
//  1. The old file is only ever read, never written: the new file is written
//     beside it, in the same folder, under a unique temporary name.
//  2. The new file is the old one with the deleted variables' bytes cut out:
//     the header and every remaining variable stand byte for byte as they
//     stood (a compressed variable stays compressed, a version 4 file stays
//     version 4, the byte order stays). Only the level-5 header's
//     subsystem-data offset changes: it follows the variable it points at
//     when that variable moves, and is cleared when it is deleted. (A
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
//  7. With no deletion recorded, nothing is written at all.
//  8. The new file is readable by its owner alone until it gets the old
//     file's bits: a private file's copy is never open to others.
//  9. Through a symbolic link, the file the link points at is replaced and
//     the link stays. Refused when opened for update: a file without any
//     write permission, a file the caller may not write (the folder's write
//     bit would allow the rename, but the file is not the caller's to
//     change), a file with several names (hard links; the others would keep
//     the old variables).
#include <cstring>
#include <limits>
#include <new>

#include "matlib/mat_format.h"
#include "matlib/mat_internal.h"
#include "matlib/mat_write.h"
#include "matlib/mat_write_file.h"
#include "matlib/readers.h"

namespace matlib {

struct UpdateState {
    std::vector<bool> deleted;   // one per entry of the handle
    size_t deletedCount = 0;
};

void UpdateStateDeleter::operator()(UpdateState* state) const { delete state; }

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

// The subsystem-data offset of the new file. MATLAB writes blanks where a
// file has no subsystem data (other writers write zeros); both mean none, and
// a cleared offset is written as MATLAB writes it.
void MoveSubsystemOffset(const MATFile& mfp, const UpdateState& state, uint8_t header[kHeaderSize]) {
    uint8_t* field = header + kSubsystemOffsetAt;
    bool allZero = true;
    bool allBlank = true;
    for (int i = 0; i < 8; ++i) {
        allZero = allZero && field[i] == 0;
        allBlank = allBlank && field[i] == ' ';
    }
    if (allZero || allBlank) return;
    const uint64_t offset = ReadOffset(field, mfp.source->bigEndian);
    // An offset that points at nothing of the file is left as it stood.
    if (offset < kHeaderSize || offset >= mfp.source->size) return;
    uint64_t removedBefore = 0;
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        if (!state.deleted[i]) continue;
        const uint64_t start = mfp.entries.Offset(i), size = mfp.entries.Size(i);
        if (offset >= start + size) {
            removedBefore += size;
        } else if (offset >= start) {
            std::memset(field, ' ', 8);   // its variable is deleted
            return;
        }
    }
    WriteOffset(field, mfp.source->bigEndian, offset - removedBefore);
}

// Writes the new file's bytes: header, then the old file without the deleted
// variables.
bool WriteRemaining(const MATFile& mfp, const UpdateState& state, StagedFile* file) {
    const SourceFile& source = *mfp.source;
    uint64_t removed = 0;
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        if (state.deleted[i]) removed += mfp.entries.Size(i);
    }
    if (!source.format->mayBeEmpty && state.deletedCount == mfp.entries.size()) {
        // No version 4 file can be empty (an empty file is no MAT-file at
        // all), so a version 4 file without variables becomes the level-5
        // file without variables: a header alone.
        uint8_t header[kHeaderSize];
        BuildHeader5(header, source.bigEndian, std::time(nullptr));
        return StagedWrite(file, header, sizeof header) && file->written == kHeaderSize;
    }
    file->expectedSize = source.size - removed;
    uint64_t position = VariablesStart(source);
    if (source.format->headerBlock) {
        uint8_t header[kHeaderSize];
        if (FileSystem().seek(source.stream, 0, SEEK_SET) != 0 ||
            FileSystem().read(header, sizeof header, source.stream) != sizeof header) {
            return false;
        }
        MoveSubsystemOffset(mfp, state, header);
        if (!StagedWrite(file, header, sizeof header)) return false;
    }
    for (size_t i = 0; i < mfp.entries.size(); ++i) {
        if (!state.deleted[i]) continue;
        const uint64_t start = mfp.entries.Offset(i);
        if (!StagedCopy(file, source.stream, position, start - position)) return false;
        position = start + mfp.entries.Size(i);
    }
    if (!StagedCopy(file, source.stream, position, source.size - position)) return false;
    return file->written == source.size - removed;
}

// A version 7.3 file: the worker copies the variables that stay (with what
// they refer to, and the subsystem data when they may hold objects) into
// the new file, whose user block is the old one's. What only the deleted
// variables used is not copied: the file shrinks by what they took.
// With no variable left it is an HDF5 file without variables.
bool WriteKeptV73(const MATFile& mfp, const UpdateState& state, StagedFile* file) {
    uint8_t userBlock[kV73UserBlockSize];
    if (!ReadAt(*mfp.source, 0, userBlock, sizeof userBlock)) return false;
    // The new file is not longer than the old one but for libhdf5's own
    // bookkeeping: the old size is what the progress counts towards.
    file->expectedSize = mfp.source->size;
    try {
        std::vector<uint64_t> kept;
        for (size_t i = 0; i < mfp.entries.size(); ++i) {
            if (!state.deleted[i]) kept.push_back(mfp.entries.Offset(i));   // its index among the variables
        }
        return WriteV73File(mfp.source, kept, userBlock, file) && StagedComplete(file);
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
    mfp->updater.reset(new (std::nothrow) UpdateState);
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

int KeepNeededSubsystem(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Update || !mfp->updater || !mfp->source) return 0;
    UpdateState& state = *mfp->updater;
    const uint64_t subsystemOffset = mfp->source->subsystemOffset;
    if (subsystemOffset == 0 || state.deleted.size() != mfp->entries.size()) return 0;
    size_t subsystem = mfp->entries.size();
    for (size_t i = 0; i < mfp->entries.size(); ++i) {
        if (mfp->entries.Offset(i) == subsystemOffset) subsystem = i;
    }
    if (subsystem == mfp->entries.size() || !state.deleted[subsystem]) return 0;
    for (size_t i = 0; i < mfp->entries.size(); ++i) {
        if (state.deleted[i] || !mfp->source->format->subsystemVariable) continue;
        mxArray array;
        uint64_t next = 0;
        // A variable that cannot be read cannot be shown not to need it.
        const bool needs = ReadV5Header(mfp->source, mfp->entries.Offset(i), array, next) != HeaderStatus::Ok ||
                           RefersToSubsystem(array);
        if (needs) {
            state.deleted[subsystem] = false;
            --state.deletedCount;
            return 1;
        }
    }
    return 0;
}

int ApplyDeletions(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Update || !mfp->updater) return 1;
    UpdateState* state = mfp->updater.get();
    if (state->deletedCount == 0) return 0;
    if (!mfp->source || state->deleted.size() != mfp->entries.size()) return 1;
    return Apply(mfp, state);
}

}  // namespace matlib

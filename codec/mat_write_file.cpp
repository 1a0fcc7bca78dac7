#include "codec/mat_write_file.h"

#include "codec/mat_internal.h"

#include <cstring>
#include <new>

#include "os/host_rules.h"
#include "os/worker_process.h"

namespace matlib {

using platform::FileSystem;

StagedFile::~StagedFile() { DiscardStagedFile(this); }

bool CreateStagedFile(const char* finalPath, bool followLink, bool keepMode, unsigned mode, StagedFile* file) {
    const size_t length = std::strlen(finalPath);
    if (length == 0 || length >= sizeof file->finalPath) return false;
    // Through a symbolic link, the file it points at is the one replaced
    // (renaming over the link would leave that file as it was); a path that
    // does not exist yet is used as it stands.
    if (!followLink || FileSystem().resolve(finalPath, file->finalPath, sizeof file->finalPath) != 0) {
        std::memcpy(file->finalPath, finalPath, length + 1);
    }
    file->keepMode = keepMode;
    file->mode = mode;
    file->tempPath[0] = '\0';
    file->stream = FileSystem().createUnnamedBeside(file->finalPath, keepMode);
    file->unnamed = file->stream != nullptr;
    if (file->unnamed) return true;
    file->stream = keepMode ? FileSystem().createPrivateBeside(file->finalPath, file->tempPath, sizeof file->tempPath)
                            : FileSystem().createBeside(file->finalPath, file->tempPath, sizeof file->tempPath);
    if (file->stream == nullptr) {
        file->tempPath[0] = '\0';
        return false;
    }
    return true;
}

// Tells the progress function of `bytes` more; false when it cancels, and
// the file is then broken: it must never be put in place.
bool Reported(StagedFile* file, uint64_t bytes) {
    if (file->progress == nullptr || bytes == 0 || file->progress(file->progressContext, bytes, file->expectedSize) != 0) return true;
    file->broken = true;
    SetLastError(kCancelledReason);
    return false;
}

bool StagedWrite(StagedFile* file, const void* data, size_t size) {
    if (file->stream == nullptr || file->broken) return false;
    // In bounded pieces: a C runtime may fail a single write of gigabytes.
    const uint8_t* from = static_cast<const uint8_t*>(data);
    for (size_t left = size; left > 0;) {
        const size_t piece = left < kCopyBufferSize ? left : kCopyBufferSize;
        if (FileSystem().write(from, piece, file->stream) != piece) {
            file->broken = true;
            return false;
        }
        file->written += piece;
        from += piece;
        left -= piece;
        if (!Reported(file, piece)) return false;
    }
    return true;
}

bool StagedWrittenTo(StagedFile* file, uint64_t size) {
    if (file->broken) return false;
    if (size <= file->written) return true;
    const uint64_t grown = size - file->written;
    file->written = size;
    return Reported(file, grown);
}

bool RewindStaged(StagedFile* file) {
    if (file->stream == nullptr || file->broken) return false;
    platform::FileSystemCalls& calls = FileSystem();
    if (calls.flush(file->stream) != 0 || !calls.resizeNative(platform::NativeFileOf(file->stream), 0) ||
        calls.seek(file->stream, 0, SEEK_SET) != 0) {
        file->broken = true;
        return false;
    }
    file->written = 0;
    return true;
}

bool StagedComplete(StagedFile* file) {
    if (file->broken) return false;
    file->expectedSize = file->written;
    if (file->progress == nullptr || file->progress(file->progressContext, 0, file->written) != 0) return true;
    file->broken = true;
    SetLastError(kCancelledReason);
    return false;
}

bool StagedCopy(StagedFile* file, FILE* source, uint64_t offset, uint64_t size) {
    if (file->stream == nullptr || file->broken || source == nullptr) return false;
    if (size == 0) return true;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    // A copy that stops after writing anything leaves the file incomplete.
    const uint64_t writtenBefore = file->written;
    auto failed = [&] {
        if (file->written != writtenBefore) file->broken = true;
        return false;
    };
    // The system copies what it can, in steps between progress reports; the
    // rest, and every failure, goes the plain way below.
    while (size > 0) {
        const uint64_t step = file->progress != nullptr && size > kProgressStep ? kProgressStep : size;
        const uint64_t copied = FileSystem().copyRange(source, offset, file->stream, step);
        if (copied > step) {   // more than asked: nothing written can be trusted
            file->broken = true;
            return false;
        }
        file->written += copied;
        offset += copied;
        size -= copied;
        if (!Reported(file, copied)) return false;
        if (copied < step) break;
    }
    if (size == 0) return true;
    if (!file->copyBuffer) {
        file->copyBuffer.reset(new (std::nothrow) uint8_t[kCopyBufferSize]);
        if (!file->copyBuffer) return failed();
    }
    if (FileSystem().seek(source, static_cast<int64_t>(offset), SEEK_SET) != 0) return failed();
    for (uint64_t left = size; left > 0;) {
        const size_t piece = left < kCopyBufferSize ? static_cast<size_t>(left) : kCopyBufferSize;
        // A source that ends early or fails to read leaves the copy incomplete.
        if (FileSystem().read(file->copyBuffer.get(), piece, source) != piece) return failed();
        if (!StagedWrite(file, file->copyBuffer.get(), piece)) return false;
        left -= piece;
    }
    return true;
}

namespace {

// Gives the temporary file the first free name of the final path; each name
// is claimed by a move that fails when the name is taken, so that nothing
// another program made meanwhile is replaced.
bool PlaceUnderFreeName(StagedFile* file) {
    char name[platform::kMaxTempPath];
    for (int n = 1; n <= platform::kMaxFreeNames; ++n) {
        if (!platform::FreeName(file->finalPath, n, name, sizeof name)) break;
        const int placed = FileSystem().placeNew(file->tempPath, name);
        if (placed < 0) return false;
        if (placed == 0) {
            std::memcpy(file->finalPath, name, std::strlen(name) + 1);
            return true;
        }
    }
    SetLastError(kNotNamedReason);
    return false;
}

}  // namespace

// Invariants of putting a new file in place (numbered, relied on by callers):
//  1. The final path is never opened for writing: the new bytes go into a
//     file of its own in the same folder, so that the rename stays within one
//     file system and is atomic.
//  2. The new file is complete and on disk (flush, then sync) before the
//     rename, so that a crash after the rename cannot expose a file whose
//     data never reached the disk.
//  3. The new file gets the old file's permission bits before the rename: a
//     read-only or shared file keeps its bits.
//  4. The rename is the only step that changes what the final path names.
//     Before it, every failure removes the temporary file and the final path
//     is untouched; a reader that holds the old file open keeps the old one.
//  5. An unnamed file gets its name only once it is complete and on disk; a
//     crash before leaves nothing, a crash between the naming and the rename
//     a named temporary that a later deletion removes.
//  6. With expectedTarget, the final path is checked right before the rename
//     to name that file still, unchanged to the nanosecond: what another
//     program wrote meanwhile is never replaced by a copy of the old file.
//  7. With keepExisting, nothing that has the final path is replaced, even
//     when it came meanwhile: the file moves to the first name free at
//     that moment, by a move that fails on a taken name.
//  8. After the rename the folder is synced so that the rename itself
//     survives a crash. Its failure cannot be undone (the new file is in
//     place and whole) and is not reported: file systems that cannot sync a
//     folder say so, and there is nothing the caller could do.
int CommitStagedFile(StagedFile* file) {
    if (file->stream == nullptr || file->broken) {
        DiscardStagedFile(file);
        return 1;
    }
    bool ok = FileSystem().flush(file->stream) == 0;
    ok = ok && FileSystem().sync(file->stream) == 0;
    ok = ok && (!file->unnamed || FileSystem().linkIn(file->stream, file->finalPath, file->tempPath,
                                                      sizeof file->tempPath) == 0);
    // close releases the stream even when it fails.
    const bool closed = FileSystem().close(file->stream) == 0;
    file->stream = nullptr;
    ok = ok && closed;
    ok = ok && (!file->keepMode || FileSystem().setMode(file->tempPath, file->mode) == 0);
    if (ok && file->expectedTarget != nullptr) {
        platform::FileStatus now;
        ok = FileSystem().status(file->finalPath, &now) == 0 && platform::SameFileUnchanged(now, *file->expectedTarget);
        if (!ok) {
            SetLastError(file->changedReason != nullptr
                             ? file->changedReason
                             : "the file was changed by another program during the deletion; nothing was deleted");
        }
    }
    if (ok && file->mustBeNew) {
        const int placed = FileSystem().placeNew(file->tempPath, file->finalPath);
        if (placed > 0) SetLastError("another program made a file of that name meanwhile");
        ok = placed == 0;
    } else {
        ok = ok && (file->keepExisting ? PlaceUnderFreeName(file)
                                       : FileSystem().replace(file->tempPath, file->finalPath) == 0);
    }
    if (!ok) {
        DiscardStagedFile(file);
        return 1;
    }
    file->tempPath[0] = '\0';
    file->committed = true;
    FileSystem().syncDirectoryOf(file->finalPath);
    return 0;
}

void DiscardStagedFile(StagedFile* file) {
    if (file->stream != nullptr) {
        FileSystem().close(file->stream);
        file->stream = nullptr;
    }
    if (file->tempPath[0] != '\0') {
        FileSystem().remove(file->tempPath);
        file->tempPath[0] = '\0';
    }
}

}  // namespace matlib

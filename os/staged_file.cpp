// The one way a new file is put in place (staged_file.h).
#include "os/staged_file.h"

#include <cstring>
#include <new>

#include "os/host_rules.h"
#include "os/worker_process.h"

namespace platform {

const char kStagedCancelled[] = "cancelled";
const char kStagedNotNamed[] = "no free name fits the longest path the system takes";
const char kStagedChanged[] = "the file was changed by another program meanwhile";
const char kStagedNameTaken[] = "another program made a file of that name meanwhile";

StagedFile::~StagedFile() { Discard(); }

bool StagedFile::Create(const char* path, bool followLink, bool keepOldMode, unsigned oldMode) {
    const size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof finalPath) return false;
    // Through a symbolic link, the file it points at is the one replaced
    // (renaming over the link would leave that file as it was); a path that
    // does not exist yet is used as it stands.
    if (!followLink || FileSystem().resolve(path, finalPath, sizeof finalPath) != 0) {
        std::memcpy(finalPath, path, length + 1);
    }
    keepMode = keepOldMode;
    mode = oldMode;
    tempPath[0] = '\0';
    stream = FileSystem().createUnnamedBeside(finalPath, keepMode);
    unnamed = stream != nullptr;
    if (unnamed) return true;
    stream = keepMode ? FileSystem().createPrivateBeside(finalPath, tempPath, sizeof tempPath)
                      : FileSystem().createBeside(finalPath, tempPath, sizeof tempPath);
    if (stream == nullptr) {
        tempPath[0] = '\0';
        return false;
    }
    return true;
}

// Tells the progress function of `bytes` more; false when it cancels, and
// the file is then broken: it must never be put in place.
static bool Reported(StagedFile* file, uint64_t bytes) {
    if (file->progress == nullptr || bytes == 0 || file->progress(file->progressContext, bytes, file->expectedSize) != 0) return true;
    file->broken = true;
    file->failure = kStagedCancelled;
    return false;
}

bool StagedFile::Write(const void* data, size_t size) {
    if (stream == nullptr || broken) return false;
    // In bounded pieces: a C runtime may fail a single write of gigabytes.
    const uint8_t* from = static_cast<const uint8_t*>(data);
    for (size_t left = size; left > 0;) {
        const size_t piece = left < kCopyBufferSize ? left : kCopyBufferSize;
        if (FileSystem().write(from, piece, stream) != piece) {
            broken = true;
            return false;
        }
        written += piece;
        from += piece;
        left -= piece;
        if (!Reported(this, piece)) return false;
    }
    return true;
}

bool StagedFile::WrittenTo(uint64_t size) {
    if (broken) return false;
    if (size <= written) return true;
    const uint64_t grown = size - written;
    written = size;
    return Reported(this, grown);
}

bool StagedFile::Rewind() {
    if (stream == nullptr || broken) return false;
    FileSystemCalls& calls = FileSystem();
    if (calls.flush(stream) != 0 || !calls.resizeNative(NativeFileOf(stream), 0) ||
        calls.seek(stream, 0, SEEK_SET) != 0) {
        broken = true;
        return false;
    }
    written = 0;
    return true;
}

bool StagedFile::Complete() {
    if (broken) return false;
    expectedSize = written;
    if (progress == nullptr || progress(progressContext, 0, written) != 0) return true;
    broken = true;
    failure = kStagedCancelled;
    return false;
}

bool StagedFile::Copy(FILE* source, uint64_t offset, uint64_t size) {
    if (stream == nullptr || broken || source == nullptr) return false;
    if (size == 0) return true;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    // A copy that stops after writing anything leaves the file incomplete.
    const uint64_t writtenBefore = written;
    auto failed = [&] {
        if (written != writtenBefore) broken = true;
        return false;
    };
    // The system copies what it can, in steps between progress reports; the
    // rest, and every failure, goes the plain way below.
    while (size > 0) {
        const uint64_t step = progress != nullptr && size > kProgressStep ? kProgressStep : size;
        const uint64_t copied = FileSystem().copyRange(source, offset, stream, step);
        if (copied > step) {   // more than asked: nothing written can be trusted
            broken = true;
            return false;
        }
        written += copied;
        offset += copied;
        size -= copied;
        if (!Reported(this, copied)) return false;
        if (copied < step) break;
    }
    if (size == 0) return true;
    if (!copyBuffer) {
        copyBuffer.reset(new (std::nothrow) uint8_t[kCopyBufferSize]);
        if (!copyBuffer) return failed();
    }
    if (FileSystem().seek(source, static_cast<int64_t>(offset), SEEK_SET) != 0) return failed();
    for (uint64_t left = size; left > 0;) {
        const size_t piece = left < kCopyBufferSize ? static_cast<size_t>(left) : kCopyBufferSize;
        // A source that ends early or fails to read leaves the copy incomplete.
        if (FileSystem().read(copyBuffer.get(), piece, source) != piece) return failed();
        if (!Write(copyBuffer.get(), piece)) return false;
        left -= piece;
    }
    return true;
}

namespace {

// Gives the temporary file the first free name of the final path; each name
// is claimed by a move that fails when the name is taken, so that nothing
// another program made meanwhile is replaced.
bool PlaceUnderFreeName(StagedFile* file) {
    char name[kMaxTempPath];
    for (int n = 1; n <= kMaxFreeNames; ++n) {
        if (!FreeName(file->finalPath, n, name, sizeof name)) break;
        const int placed = FileSystem().placeNew(file->tempPath, name);
        if (placed < 0) return false;
        if (placed == 0) {
            std::memcpy(file->finalPath, name, std::strlen(name) + 1);
            return true;
        }
    }
    file->failure = kStagedNotNamed;
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
int StagedFile::Commit() {
    if (stream == nullptr || broken) {
        Discard();
        return 1;
    }
    bool ok = FileSystem().flush(stream) == 0;
    ok = ok && FileSystem().sync(stream) == 0;
    ok = ok && (!unnamed || FileSystem().linkIn(stream, finalPath, tempPath,
                                                      sizeof tempPath) == 0);
    // close releases the stream even when it fails.
    const bool closed = FileSystem().close(stream) == 0;
    stream = nullptr;
    ok = ok && closed;
    ok = ok && (!keepMode || FileSystem().setMode(tempPath, mode) == 0);
    if (ok && expectedTarget != nullptr) {
        FileStatus now;
        ok = FileSystem().status(finalPath, &now) == 0 && SameFileUnchanged(now, *expectedTarget);
        if (!ok) {
            failure = changedReason;
        }
    }
    if (ok && mustBeNew) {
        const int placed = FileSystem().placeNew(tempPath, finalPath);
        if (placed > 0) failure = kStagedNameTaken;
        ok = placed == 0;
    } else {
        ok = ok && (keepExisting ? PlaceUnderFreeName(this)
                                       : FileSystem().replace(tempPath, finalPath) == 0);
    }
    if (!ok) {
        Discard();
        return 1;
    }
    tempPath[0] = '\0';
    committed = true;
    FileSystem().syncDirectoryOf(finalPath);
    return 0;
}

void StagedFile::Discard() {
    if (stream != nullptr) {
        FileSystem().close(stream);
        stream = nullptr;
    }
    if (tempPath[0] != '\0') {
        FileSystem().remove(tempPath);
        tempPath[0] = '\0';
    }
}

}  // namespace platform

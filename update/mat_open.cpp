// The MAT-file operations that open, finish and change a file in every mode:
// mode "r" goes to the index (mat_file.cpp), a new file (matOpenForWriting,
// mode "w") to the write side, mode "u" to the update side.
#include <cerrno>
#include <cstring>
#include <new>

#include "matlib/mat_internal.h"
#include "os/file_io.h"
#include "update/update.h"

namespace matlib {
namespace {

// Takes the update lock of the file the path names. The file may have been
// replaced between the open and the lock (by an update that held it): then
// the path is opened again.
constexpr int kLockAttempts = 3;

MATFile* OpenForUpdate(const char* path) {
    platform::FileSystemCalls& fs = platform::FileSystem();
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        std::unique_ptr<MATFile> mfp(OpenForRead(path));
        if (!mfp) return nullptr;
        if (mfp->source->gzipWrapped) {
            SetLastError("it is an Octave gzip-compressed MAT-file: variables cannot be deleted or added; "
                         "save it uncompressed");
            return nullptr;
        }
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
}  // namespace matlib

using namespace matlib;

MATFile* matOpen(const char* path, const char* mode) {
    SetLastError(nullptr);
    if (path == nullptr || mode == nullptr) return nullptr;
    try {
        if (std::strcmp(mode, "w") == 0) return OpenForWrite(path, matWriteOptions{});
        if (std::strcmp(mode, "r") == 0) return OpenForRead(path);
        if (std::strcmp(mode, "u") == 0) return OpenForUpdate(path);
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}
MATFile* matOpenForWriting(const char* path, const matWriteOptions* options) {
    SetLastError(nullptr);
    if (path == nullptr || options == nullptr) return nullptr;
    try {
        return OpenForWrite(path, *options);
    } catch (const std::bad_alloc&) {
    }
    return nullptr;
}
int matClose(MATFile* mfp) { return matCloseWritten(mfp, nullptr, 0); }
int matCloseWritten(MATFile* mfp, char* written, size_t size) {
    if (written != nullptr && size > 0) written[0] = '\0';
    if (mfp == nullptr) return 1;
    int result = 0;
    if (mfp->mode == OpenMode::Write) {
        result = FinishWrite(mfp);
        const char* path = WrittenPath(mfp);
        // Only whole: a cut path would name another file.
        if (result == 0 && written != nullptr && std::strlen(path) < size) std::memcpy(written, path, std::strlen(path) + 1);
    }
    if (mfp->mode == OpenMode::Update) result = ApplyChanges(mfp);
    delete mfp;
    return result;
}
FILE* matGetFp(MATFile* mfp) {
    if (mfp == nullptr) return nullptr;
    if (mfp->mode == OpenMode::Write) return WriteStream(mfp);
    return mfp->source ? mfp->source->stream : nullptr;
}
void matSetProgress(MATFile* mfp, matProgressFn progress, void* context) {
    if (mfp == nullptr) return;
    mfp->progress = progress;
    mfp->progressContext = context;
    if (mfp->writer) SetWriteProgress(mfp, progress, context);
}
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

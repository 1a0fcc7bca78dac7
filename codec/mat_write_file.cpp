#include "codec/mat_write_file.h"

#include "codec/mat_internal.h"

namespace matlib {

namespace {

// The staged file's own reason, when it has one, for matLastError.
bool Told(const StagedFile* file, bool ok) {
    if (!ok && file->failure != nullptr) SetLastError(file->failure);
    return ok;
}

}  // namespace

bool CreateStagedFile(const char* finalPath, bool followLink, bool keepMode, unsigned mode, StagedFile* file) {
    return file->Create(finalPath, followLink, keepMode, mode);
}
bool StagedWrite(StagedFile* file, const void* data, size_t size) {
    return Told(file, file->Write(data, size));
}
bool StagedCopy(StagedFile* file, FILE* source, uint64_t offset, uint64_t size) {
    return Told(file, file->Copy(source, offset, size));
}
bool StagedWrittenTo(StagedFile* file, uint64_t size) { return Told(file, file->WrittenTo(size)); }
bool RewindStaged(StagedFile* file) { return Told(file, file->Rewind()); }
bool StagedComplete(StagedFile* file) { return Told(file, file->Complete()); }
int CommitStagedFile(StagedFile* file) {
    return Told(file, file->Commit() == 0) ? 0 : 1;
}
void DiscardStagedFile(StagedFile* file) { file->Discard(); }

}  // namespace matlib

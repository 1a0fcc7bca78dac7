// A MAT-file written beside its final path and put in place by renaming it
// over that path (os/staged_file.h): writing a new MAT-file, and every
// rewrite of one, go through it. These are the staged file's calls with the
// engine's failure reason: a failure whose cause the staged file knows
// (Cancel, a name taken meanwhile) leaves it for matLastError.
#pragma once

#include "os/staged_file.h"

namespace matlib {

using platform::kCopyBufferSize;
using platform::kProgressStep;
using platform::StagedFile;

bool CreateStagedFile(const char* finalPath, bool followLink, bool keepMode, unsigned mode, StagedFile* file);
bool StagedWrite(StagedFile* file, const void* data, size_t size);
bool StagedCopy(StagedFile* file, FILE* source, uint64_t offset, uint64_t size);
bool StagedWrittenTo(StagedFile* file, uint64_t size);
bool RewindStaged(StagedFile* file);
bool StagedComplete(StagedFile* file);
int CommitStagedFile(StagedFile* file);
void DiscardStagedFile(StagedFile* file);

}  // namespace matlib

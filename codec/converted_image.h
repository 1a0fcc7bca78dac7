// A variable whose format converts it to level 5 (version 7.3: its
// worker's conversion) as the one variable of a scratch level-5 file: the
// level-5 readers (a sparse matrix's streams, the walk to a part) then read
// it where it lies, as any level-5 variable, whatever its size.
#pragma once

#include <memory>

#include "codec/mat_format.h"
#include "codec/mat_internal.h"

namespace matlib {

// The image, read from a scratch file without a name beside the variable's
// file (else in the temporary folder), which it keeps open; with
// withSubsystem the file's subsystem data follows it, as a version 7 file
// keeps it, when the file has some. Null with the reason for matLastError
// (also for a variable whose format converts nothing).
std::unique_ptr<mxArray> ConvertedImage(const mxArray& array, bool withSubsystem);

// A scratch level-5 file whose elements are written: its header put at its
// start, the file flushed, its size and identity taken for the reads that
// follow; false when that fails.
bool PutScratchHeader(SourceFile& scratch, const uint8_t (&header)[format::kHeaderSize]);

}  // namespace matlib

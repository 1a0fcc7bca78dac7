// The write side (a new file: matOpenForWriting, mode "w") and the update
// side (an existing file changed in place: mode "u") as the MAT-file
// operations call them (mat_open.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "codec/mat_format.h"
#include "matlib/mat_internal.h"

namespace matlib {

// A level-5 header as MATLAB writes it: "MATLAB 5.0 MAT-file, Platform: ...,
// Created on: <asctime of `now` in local time, without its line feed>"
// padded with blanks to 116 bytes, no subsystem data (eight zero bytes),
// version 0x0100 and the endian indicator, in the given byte order.
void BuildHeader5(uint8_t header[format::kHeaderSize], bool bigEndian, std::time_t now);

// Write side (mat_write.cpp): matOpenForWriting (mode "w" is its options all
// zero); the options are mat.h's.
MATFile* OpenForWrite(const char* path, const matWriteOptions& options);
int PutArray(MATFile* mfp, const mxArray* array);
int FinishWrite(MATFile* mfp);    // 0 on success
FILE* WriteStream(MATFile* mfp);  // the output file's stream (matGetFp), null when none
const char* WrittenPath(MATFile* mfp);   // where the new file went ("" before it is in place)

// Update side (mat_update.cpp): mode "u", deleting and adding variables.
// matOpen reads the file as for "r" (source, header, IndexAllVariables),
// then hands the handle to BeginUpdate; the changes are recorded, and
// ApplyChanges (matClose) rewrites the file with all of them at once.
bool BeginUpdate(MATFile* mfp);
// Marks a variable for deletion; 0 when found. Occurrence 0 is the first
// variable of that name not yet marked (matDeleteArray); 1, 2, ... exactly that one.
int RecordDeletion(MATFile* mfp, const char* name, int occurrence);
// Records the addition of a variable read from another file (matPutArray in
// mode "u"): it replaces the variable of its name, or goes after the others.
// 0 when it can be added; otherwise non-zero and the reason for matLastError.
int RecordAddition(MATFile* mfp, const mxArray* array);
int ApplyChanges(MATFile* mfp);  // 0 on success; on failure the file is untouched
int KeepNeededSubsystem(MATFile* mfp);   // matKeepNeededSubsystem
void SetWriteProgress(MATFile* mfp, matProgressFn progress, void* context);   // a new file

}  // namespace matlib

// MAT-files wrapped whole in a gzip stream, as GNU Octave's "save -zip"
// writes version 6 and 4 files.
#pragma once

#include <cstdio>

#include "codec/mat_internal.h"

namespace matlib {

// Whether the file starts as a gzip stream (magic 1f 8b, method deflate),
// read through the source's window: a MAT-file's header is read from there
// next, without a read call of its own.
bool StartsAsGzip(SourceFile& source);
// The format of the MAT-file the gzip stream holds, from its first bytes
// alone (inflated in memory): 5 (level 5), 4, or 0 for none.
int PeekGzipFormat(FILE* wrapped);
// Inflates the whole stream into an unnamed temporary file, open for
// reading at *unpacked: MAT_OPEN_OK, or the failure with its reason for
// matLastError (what it holds is no MAT-file, no temporary file can be made,
// the disk would be more than half filled, the stream is damaged).
int UnwrapGzip(FILE* wrapped, const char* path, FILE** unpacked);

}  // namespace matlib

// The plug-in's diagnostic lines ("Error opening file ..."), written to the
// host's standard output. The host owns that stream: it may be a terminal, a
// file, or a pipe whose reader is gone.
#pragma once

#include <cstddef>

// mingw-w64 formats with its own C99 printf (%zu, %lld), which gcc checks as gnu_printf.
#if defined(__MINGW32__)
#define MATWCX_DIAGNOSTIC_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define MATWCX_DIAGNOSTIC_FORMAT __attribute__((format(printf, 1, 2)))
#endif

namespace platform {

// Formats one line, ends it with a line feed when the text has none, and
// writes and flushes it at once. Never raises a signal in the host (see
// WriteToStandardOutput); a failed write is ignored, as the line is only a
// diagnostic.
MATWCX_DIAGNOSTIC_FORMAT void PrintLine(const char* format, ...);

// Writes and flushes the bytes on standard output. POSIX: a reader-less pipe
// would raise SIGPIPE, whose default action ends the host; the signal is
// blocked for the write and one that the write raised is consumed.
void WriteToStandardOutput(const char* text, size_t length);

}  // namespace platform

// What differs between the two kinds of host: Total Commander and Double
// Commander on Windows read the interface as published; Double Commander on
// Linux and macOS reads "/" paths, Unix time in FileTime and a POSIX mode in
// FileAttr. Every such difference is decided here and nowhere else.
#pragma once

#include <cstdint>

namespace platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// FileTime for the host, from the packed DOS date and time the slot keeps.
// Windows: the DOS value itself. Elsewhere: the Unix time of the same local
// date and time (0 stays 0).
int32_t HostFileTime(uint32_t dosDateTime);

// FileAttr for the host, from the Windows attribute bits of the listing
// (0x20 archive, 0x04 system, 0x02 hidden, 0x01 read-only). Windows: the bits
// themselves. Elsewhere: a regular file's POSIX mode, 0644, or 0444 when the
// read-only bit is set.
int32_t HostFileAttr(int32_t windowsAttributes);

// Creates one directory; the result tells whether it now exists as made by
// this call (callers that ignore it may).
int MakeDirectory(const char* path);

}  // namespace platform

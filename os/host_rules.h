// What differs between the two kinds of host: Total Commander and Double
// Commander on Windows read the interface as published; Double Commander on
// Linux and macOS reads "/" paths, Unix time in FileTime and a POSIX mode in
// FileAttr. Every such difference is decided here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The longest path the plug-in takes: PATH_MAX less its terminator here;
// Windows, which reaches long paths through the "\\?\" form of its UTF-16
// calls, takes the same.
inline constexpr size_t kMaxPathLength = 4095;

// FileTime for the host, from the packed DOS date and time the slot keeps.
// Windows: the DOS value itself. Elsewhere: the Unix time of the same local
// date and time (0 stays 0).
int32_t HostFileTime(uint32_t dosDateTime);

// FileAttr for the host, from the Windows attribute bits of the listing
// (0x20 archive, 0x04 system, 0x02 hidden, 0x01 read-only). Windows: the bits
// themselves. Elsewhere: a regular file's POSIX mode, 0644, or 0444 when the
// read-only bit is set.
int32_t HostFileAttr(int32_t windowsAttributes);

// Whether a file name that starts with `name` and a "." names a device rather
// than a file. Windows: CON, PRN, AUX, NUL, COM0-9 and LPT0-9 in any case
// ("aux.double [1x1] .mat" is the device AUX). Elsewhere: never.
bool IsDeviceName(const char* name);

// Makes a destination path name its folders the way the system names them
// when it makes them. Windows drops the trailing blanks and dots of a folder
// name ("st.struct [1x1] " is made as "st.struct [1x1]") but keeps them inside
// a longer path, where "st.struct [1x1] \st.mat" then names a folder that does
// not exist. There every folder component loses its trailing blanks and dots
// ("." and ".." and a component of nothing else stay); the last component,
// the file's own name, is left alone. The path only ever gets shorter.
// Elsewhere folder names are kept as they are and nothing changes.
void UseSystemFolderNames(char* path);

// The n-th name a new file that must not replace `path` tries (n from 1:
// the path itself, then "<stem> (n)<extension>", the extension being the
// last component's last "." on), into out (room for `size` bytes, at most
// the longest path the system takes); false when it does not fit, never cut.
bool FreeName(const char* path, int n, char* out, size_t size);
inline constexpr int kMaxFreeNames = 100;

// The system's temporary folder as the hosts find it, first as they spell
// it, then (when it differs) with its symbolic links resolved, for a host
// that resolved them. POSIX: $TMPDIR when set and not empty, else "/tmp", as
// Double Commander's GetTempDir. Windows: GetTempPath's folder, then its
// long form.
std::vector<std::string> HostTempFolders();

// Whether `path` lies in a folder the hosts unpack into for their viewer:
// Double Commander's "<temp>/_dc~~~/<n>/" and, on Windows, Total Commander's
// "<temp>\_tc", <temp> one of HostTempFolders(); compared by whole
// components (case aside on Windows). A folder of that name elsewhere
// ("~/proj/_tc/", "work/_dc~~~/1/"), "<temp>/_dc~~~evil/", and a path with a
// "." or ".." component after <temp> are not.
bool IsHostViewerPath(const char* path);
// The same against the temporary folders given (the rule above, testable).
bool IsViewerPathBelow(const char* path, const std::vector<std::string>& tempFolders);

}  // namespace platform

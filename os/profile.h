// The private-profile (INI file) functions the settings use, with the
// signatures and behaviour of the Windows functions of the same names.
// Windows: the system's own functions. Elsewhere: our reader and writer,
// which give the same observable file:
//  - section and key names compare case-insensitively (ASCII);
//  - a key written into an existing section is replaced in place as
//    "key=value"; a new key goes after the last non-blank line of its
//    section; a missing section is appended at the end of the file;
//  - comments (';'), blank lines, other sections and the file's line ends
//    (CR LF or LF) are kept byte for byte; new lines use the file's line end
//    (LF for a new file);
//  - every write replaces the file atomically (new file beside it, flushed to
//    disk, renamed over it, permission bits kept), because the host shares the
//    file with all its plug-ins; a file that cannot be read, is read-only, is
//    not a regular file or is larger than a settings file can be is left
//    alone and the write fails.
#pragma once

#include <cstdint>

#if defined(_WIN32)
// The system headers turn these names into their ...A / ...W forms by macro;
// including them here makes every user of this header agree on the names.
#include <windows.h>
#endif

namespace platform {

// Copies the section's lines into buffer, each ended by a NUL, the list ended
// by one more NUL. Blank lines are left out; comment lines and lines without
// "=" come as they stand. Returns the characters copied without the final NUL
// (0 when the section is missing, empty or the file unreadable). A buffer too
// small gets as much as fits, the last line cut, two NULs at its end, and the
// result is size - 2.
uint32_t GetPrivateProfileSection(const char* section, char* buffer, uint32_t size, const char* file);

// Replaces the section's lines with the NUL-separated, double-NUL-ended list
// (the section is appended when missing). A null list removes the section.
// Returns nonzero on success.
int WritePrivateProfileSection(const char* section, const char* lines, const char* file);

// Writes "key=value" into the section. A null value removes the key, a null
// key removes the section. All three null: flush the cache (we keep none);
// returns 0 then, as Windows does. Returns nonzero on success.
int WritePrivateProfileString(const char* section, const char* key, const char* value, const char* file);

// The key's value as a whole number: leading blanks, an optional sign, then
// decimal digits up to the first other character; no digits gives 0. A missing
// key, an empty value or an unreadable file gives defaultValue. Negative
// numbers come back as their unsigned 32-bit form, as on Windows.
unsigned GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* file);

// Writes size bytes as two upper-case hexadecimal digits each, then the
// checksum byte (the sum of the bytes modulo 256) the same way. A null data
// pointer removes the key. Returns nonzero on success.
int WritePrivateProfileStruct(const char* section, const char* key, const void* data, unsigned size,
                              const char* file);

}  // namespace platform

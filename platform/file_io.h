// All file I/O of the engine goes through this one table of calls, so that
// tests can make the N-th call fail (once or for good) and check that nothing
// is lost: a deletion whose write, flush or rename fails must leave the old
// file byte for byte as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

struct FileStatus {
    uint64_t size = 0;
    unsigned mode = 0;          // permission bits (st_mode & 07777)
    bool isRegularFile = false;
    int64_t modifiedTime = 0;   // seconds since 1970
};

// Room for a path made by createBeside, terminator included. Longer paths are
// refused, never cut.
inline constexpr size_t kMaxTempPath = 4096;

struct FileSystemCalls {
    FILE* (*open)(const char* path, const char* mode);
    size_t (*read)(void* buffer, size_t size, FILE* file);          // bytes read
    size_t (*write)(const void* buffer, size_t size, FILE* file);   // bytes written
    int (*seek)(FILE* file, int64_t offset, int whence);            // 0 on success
    int64_t (*tell)(FILE* file);                                    // -1 on failure
    int (*flush)(FILE* file);        // the stream's buffer to the system
    int (*sync)(FILE* file);         // the system's buffers to the disk
    int (*close)(FILE* file);        // the stream is released even when this fails
    int (*status)(const char* path, FileStatus* out);
    int (*fileStatus)(FILE* file, FileStatus* out);
    int (*setMode)(const char* path, unsigned mode);
    int (*replace)(const char* from, const char* to);   // rename over an existing file
    int (*remove)(const char* path);
    int (*syncDirectoryOf)(const char* path);           // make a rename durable
    // Creates a new, empty file with a unique name in the folder of `path`,
    // open for binary writing, never an existing one, with the permissions a
    // new file gets by default; its path goes to tempPath (room for
    // tempPathSize bytes). Null on failure.
    FILE* (*createBeside)(const char* path, char* tempPath, size_t tempPathSize);
    // The path with symbolic links resolved (the file a rename must replace,
    // rather than the link to it), into `resolved` (room for resolvedSize
    // bytes). 0 on success; -1 when the path does not exist or does not fit.
    int (*resolve)(const char* path, char* resolved, size_t resolvedSize);
    // As createBeside, but readable and writable by its owner alone until
    // given other bits: a copy of a private file is never open to others
    // while it is being written.
    FILE* (*createPrivateBeside)(const char* path, char* tempPath, size_t tempPathSize);
    // Appends `size` bytes of `from`, starting at `offset`, to `to` inside the
    // system, without passing them through a buffer of ours; afterwards `from`
    // stands after the bytes copied and `to` at its end. Returns the bytes
    // copied: fewer than `size` when the system offers no such copy between
    // these files (0), the source ends early or a call fails; the caller
    // copies the rest itself, which reports what went wrong.
    uint64_t (*copyRange)(FILE* from, uint64_t offset, FILE* to, uint64_t size);
};

// The calls in force. Tests replace entries and restore them afterwards.
FileSystemCalls& FileSystem();
// The operating system's own calls.
const FileSystemCalls& RealFileSystem();

}  // namespace platform

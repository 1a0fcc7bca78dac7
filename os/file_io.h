// All file I/O of the engine goes through this one table of calls, so that
// tests can make the N-th call fail (once or for good) and check that nothing
// is lost: a deletion whose write, flush or rename fails must leave the old
// file byte for byte as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// An open file as the system names it: a descriptor on POSIX, a HANDLE on
// Windows.
using NativeFile = intptr_t;
inline constexpr NativeFile kNoFile = -1;

struct FileStatus {
    uint64_t size = 0;
    unsigned mode = 0;          // permission bits (st_mode & 07777)
    bool isRegularFile = false;
    bool isLink = false;        // only from linkStatus: the name is a symbolic link
    bool isFolder = false;
    int64_t modifiedTime = 0;   // seconds since 1970
    long modifiedNanoseconds = 0;
    uint64_t device = 0;        // with inode: which file this is (0 where the system has none)
    uint64_t inode = 0;
    uint64_t linkCount = 1;     // names the file has
    int64_t owner = -1;         // user and group ids (-1 where the system has none)
    int64_t group = -1;
};

// Whether two statuses are of one file, unchanged: same file, size and time
// of the last change, to the nanosecond where the system keeps them.
inline bool SameFileUnchanged(const FileStatus& a, const FileStatus& b) {
    return a.isRegularFile == b.isRegularFile && a.size == b.size && a.modifiedTime == b.modifiedTime &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.device == b.device && a.inode == b.inode;
}

// Windows cannot rename over a file that a handle holds open; POSIX systems
// can, and the old file stays readable through the handle.
#if defined(_WIN32)
inline constexpr bool kCanReplaceOpenFile = false;
#else
inline constexpr bool kCanReplaceOpenFile = true;
#endif

// One name in a folder, as listFolder finds it.
struct FolderEntry {
    std::string name;            // without the folder
    bool isFolder = false;       // a folder itself, not a link to one
    bool isRegularFile = false;  // a file, or a link to one
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
    // As status, but a symbolic link is described itself (isLink), not the
    // file it points at.
    int (*linkStatus)(const char* path, FileStatus* out);
    // Takes the exclusive update lock of the open file without waiting; it
    // lasts until the stream is closed. 0 when taken (or when the file
    // system offers no locks); -1 with errno EWOULDBLOCK when another
    // update holds it, EACCES when another program holds a record lock
    // (lockf, fcntl) on it for writing; -1 otherwise on failure.
    int (*lock)(FILE* file);
    // 0 when the caller may write the file itself (its own rights, not the
    // folder's); -1 otherwise.
    int (*mayWrite)(const char* path);
    // Gives `to` the owner and group of `from` (as far as the caller may),
    // its permission bits and its extended attributes (access control lists
    // among them). 0 on success.
    int (*copyAttributes)(FILE* from, FILE* to);
    // A new file without a name in the folder of `path`, open for binary
    // writing (readable by its owner alone with ownerOnly); linkIn gives it
    // one. Null where the file system makes no such files.
    FILE* (*createUnnamedBeside)(const char* path, bool ownerOnly);
    // Links a file made by createUnnamedBeside into the folder of `path`
    // under a new temporary name, written to tempPath. 0 on success.
    int (*linkIn)(FILE* file, const char* path, char* tempPath, size_t tempPathSize);
    // Removes the temporary files beside `path` that processes of this
    // machine left behind when they died (ours only: our name pattern, this
    // machine's name, a process that no longer runs).
    void (*removeStaleTemporaries)(const char* path);
    // Reads up to `size` bytes at `offset` without using or moving the
    // stream's position or buffer (one system call, no seek). Returns the
    // bytes read: fewer at the end of the file or on failure.
    size_t (*readAt)(FILE* file, uint64_t offset, void* buffer, size_t size);
    // Moves `from` to the name `to` only while nothing has that name, in one
    // step (another program cannot slip a file in between and lose it): 0
    // when moved, 1 when the name is taken, -1 on any other failure.
    int (*placeNew)(const char* from, const char* to);
    // Positioned reads and writes on a file open as the system names it (the
    // worker's, which it is sent open): neither uses nor moves a file
    // position. The bytes moved, fewer at the end of the file; -1 on failure.
    int64_t (*readNativeAt)(NativeFile file, uint64_t offset, void* buffer, size_t size);
    int64_t (*writeNativeAt)(NativeFile file, uint64_t offset, const void* buffer, size_t size);
    bool (*resizeNative)(NativeFile file, uint64_t size);
    bool (*sizeOfNative)(NativeFile file, uint64_t& size);
    // Creates one directory: 0 when this call made it (callers that only
    // need it to exist may ignore the result).
    int (*makeDirectory)(const char* path);
    // Starts writing what was written to the file so far to the disk,
    // without waiting: a later sync then waits for less. Nothing where the
    // system offers no such call.
    void (*startWriteback)(FILE* file);
    // The same for a file open as the system names it (the worker's).
    void (*startNativeWriteback)(NativeFile file);
    // The bytes this user may still write in the folder of `path` (quotas
    // and the blocks kept for the administrator left out): 0 on success, -1
    // when the system cannot tell.
    int (*freeSpaceBeside)(const char* path, uint64_t* bytes);
    // The names in a folder (neither "." nor ".."), in no particular order.
    // 0 on success.
    int (*listFolder)(const char* path, std::vector<FolderEntry>* entries);
    // Removes an empty folder. 0 on success.
    int (*removeFolder)(const char* path);
    // Whether two paths name one file (links followed): 1 yes, 0 no, -1
    // when either cannot be looked at.
    int (*sameFile)(const char* a, const char* b);
    // A file for data kept aside while it is used, open for reading and
    // writing, its owner's alone, in the folder of `path`: it has no name,
    // or loses it at once, or (Windows) the system removes it when it is
    // closed; nothing of it outlives the process. Null when none can be made.
    FILE* (*createScratchBeside)(const char* path);

    // The system calls the entries above are made of, each on its own so
    // that a test can fail any one of them.
    // A new file at `path`, never an existing one (errno EEXIST when the name
    // is taken), open for reading and writing; its owner's alone with
    // ownerOnly. Null on failure.
    FILE* (*createNew)(const char* path, bool ownerOnly);
    // Gives an open file an owner and a group (-1 keeps one as it is).
    int (*changeOwner)(FILE* file, int64_t owner, int64_t group);
    int (*changeModeOf)(FILE* file, unsigned mode);   // its permission bits
    // The names of an open file's extended attributes, each ended by '\0';
    // the value of one; setting one. 0 on success.
    int (*listAttributes)(FILE* file, std::string* names);
    int (*getAttribute)(FILE* file, const char* name, std::string* value);
    int (*setAttribute)(FILE* file, const char* name, const std::string& value);
    // A folder opened to be synced (kNoFile on failure), as the system names it.
    NativeFile (*openFolder)(const char* path);
    int (*syncNative)(NativeFile file);    // the system's buffers to the disk
    int (*closeNative)(NativeFile file);   // released even when this fails
    // The two locks lock takes: a shared record lock of the whole file, held
    // until the stream closes (-1 with errno EAGAIN or EACCES when another
    // program holds one for writing), and the exclusive file lock, without
    // waiting (-1 with errno EWOULDBLOCK when another holds it).
    int (*shareRecords)(FILE* file);
    int (*lockWhole)(FILE* file);
    // Gives a file made by createUnnamedBeside the name `path` (errno EEXIST
    // when it is taken). 0 on success.
    int (*nameOpenFile)(FILE* file, const char* path);
    // One copy inside the system of up to `size` bytes of `from` at *offset
    // to the position of `to` (both moved past them): the bytes copied, 0 at
    // the end of `from`, -1 on failure or where the system offers none.
    int64_t (*copyNativeRange)(NativeFile from, int64_t* offset, NativeFile to, size_t size);
    // The first `size` bytes (more than 0) of an open file mapped for
    // reading, its stream flushed first; null on failure. Only for a scratch
    // file of this process: a file that another program shortens while it
    // is mapped would end this process at the next read.
    const uint8_t* (*mapForReading)(FILE* file, uint64_t size);
    void (*unmap)(const uint8_t* view, uint64_t size);
};

// Lets the system take back the pages of a mapped view that were read: they
// are read again from the file when next touched. What a walk over a mapped
// scratch file calls now and then, so that it holds a few megabytes however
// much it has read.
void ReleaseMappedPages(const uint8_t* view, uint64_t size);

// A scratch file (createScratchBeside) in the folder of `near`, else in one
// of the temporary folders (as `<folder>/<leaf>`); with tempFirst the other
// way round. `folderOf` gets a path in the folder it is in, for its free
// space. Null when none can be made.
FILE* CreateScratchNear(const std::string& near, const char* leaf, std::string* folderOf, bool tempFirst = false);

// The files inside a folder at any depth (links to files among them; links
// to folders are not followed, so no loop), and the folders met, each as a
// full path. False when a folder of it cannot be read.
bool ListFolderTree(const std::string& folder, std::vector<std::string>* files, std::vector<std::string>* folders);

// The calls in force. Tests replace entries and restore them afterwards.
FileSystemCalls& FileSystem();
// The operating system's own calls.
const FileSystemCalls& RealFileSystem();

}  // namespace platform

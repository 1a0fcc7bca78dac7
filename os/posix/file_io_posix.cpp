#include "os/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace platform {
namespace {

// Opening for reading never waits: a named pipe with no writer would block
// open(2) until one comes, and with it the host that only asked whether it
// can handle the file. The descriptor is opened without blocking and put back
// into blocking mode before the stream takes it; a regular file is not
// affected, and callers refuse what is not one.
// A file opened for writing is never reached through a symbolic link: a link
// planted at the name would send the bytes to a file elsewhere.
FILE* OpenForWriting(const char* path, const char* mode) {
    const int access = std::strchr(mode, '+') != nullptr ? O_RDWR : O_WRONLY;
    const int how = mode[0] == 'a' ? O_APPEND : O_TRUNC;
    const int fd = ::open(path, access | O_CREAT | how | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) ::close(fd);
    return stream;
}

FILE* Open(const char* path, const char* mode) {
    if (mode[0] != 'r') return OpenForWriting(path, mode);
    const bool update = std::strchr(mode, '+') != nullptr;
    const int fd = ::open(path, (update ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // O_NONBLOCK was the one status flag asked for: 0 clears it.
    if (::fcntl(fd, F_SETFL, 0) == -1) {
        ::close(fd);
        return nullptr;
    }
    FILE* stream = ::fdopen(fd, mode);
    if (stream == nullptr) ::close(fd);
    return stream;
}
size_t Read(void* buffer, size_t size, FILE* file) { return std::fread(buffer, 1, size, file); }
size_t Write(const void* buffer, size_t size, FILE* file) { return std::fwrite(buffer, 1, size, file); }
int Seek(FILE* file, int64_t offset, int whence) { return ::fseeko(file, static_cast<off_t>(offset), whence); }
int64_t ReadNativeAt(NativeFile file, uint64_t offset, void* buffer, size_t size) {
    ssize_t got = 0;
    do {
        got = ::pread(static_cast<int>(file), buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

int64_t WriteNativeAt(NativeFile file, uint64_t offset, const void* buffer, size_t size) {
    ssize_t put = 0;
    do {
        put = ::pwrite(static_cast<int>(file), buffer, size, static_cast<off_t>(offset));
    } while (put < 0 && errno == EINTR);
    return put;
}

size_t ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const int64_t got = ReadNativeAt(::fileno(file), offset + done, static_cast<char*>(buffer) + done, size - done);
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}
int64_t Tell(FILE* file) { return static_cast<int64_t>(::ftello(file)); }
int Flush(FILE* file) { return std::fflush(file); }
int Sync(FILE* file) { return ::fsync(::fileno(file)); }
int Close(FILE* file) { return std::fclose(file); }

void Fill(const struct stat& st, FileStatus* out) {
    out->size = static_cast<uint64_t>(st.st_size);
    out->mode = static_cast<unsigned>(st.st_mode & 07777);
    out->isRegularFile = S_ISREG(st.st_mode);
    out->isLink = S_ISLNK(st.st_mode);
    out->isFolder = S_ISDIR(st.st_mode);
    out->modifiedTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    out->modifiedNanoseconds = static_cast<long>(st.st_mtim.tv_nsec);
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    out->linkCount = static_cast<uint64_t>(st.st_nlink);
    out->owner = static_cast<int64_t>(st.st_uid);
    out->group = static_cast<int64_t>(st.st_gid);
}

int Status(const char* path, FileStatus* out) {
    struct stat st {};
    if (::stat(path, &st) != 0) return -1;
    Fill(st, out);
    return 0;
}

int FileStatusOf(FILE* file, FileStatus* out) {
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0) return -1;
    Fill(st, out);
    return 0;
}

int LinkStatus(const char* path, FileStatus* out) {
    struct stat st {};
    if (::lstat(path, &st) != 0) return -1;
    Fill(st, out);
    return 0;
}

int SetMode(const char* path, unsigned mode) { return ::chmod(path, static_cast<mode_t>(mode)); }
// rename() replaces the name atomically: a reader that holds the old file
// open keeps reading the old inode.
int Replace(const char* from, const char* to) { return std::rename(from, to); }
int Remove(const char* path) { return std::remove(path); }

int PlaceNew(const char* from, const char* to) {
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno == EEXIST) return 1;
    // File systems that cannot rename so take the hard link below.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
#endif
    // A link is only made where no name is; the temporary name then goes.
    if (::link(from, to) != 0) return errno == EEXIST ? 1 : -1;
    FileSystem().remove(from);
    return 0;
}

std::string FolderOf(const char* path) {
    std::string dir(path);
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : dir.substr(0, slash);
}

// A rename is only durable once the directory that holds both names is on disk.
int SyncDirectoryOf(const char* path) {
    FileSystemCalls& calls = FileSystem();
    const NativeFile folder = calls.openFolder(FolderOf(path).c_str());
    if (folder == kNoFile) return -1;
    const int synced = calls.syncNative(folder);
    return calls.closeNative(folder) == 0 ? synced : -1;
}

NativeFile OpenFolder(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? kNoFile : fd;
}
int SyncNative(NativeFile file) { return ::fsync(static_cast<int>(file)); }
int CloseNative(NativeFile file) { return ::close(static_cast<int>(file)); }

// Attempts at a free name before giving up; a clash needs another process
// with the same name pattern, so a handful suffices.
constexpr int kTempNameAttempts = 32;

// Temporary files are named ".matwcx-<machine>-<process id>-<serial>.tmp",
// so that a later deletion can tell which ones were left by a process of
// this machine that died.
constexpr const char* kTempPrefix = ".matwcx-";
constexpr size_t kMaxHostNameLength = 64;

std::string HostName() {
    char name[kMaxHostNameLength + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    // A name that was cut, or one with a "/", cannot be part of a file name.
    if (std::strlen(name) >= kMaxHostNameLength || std::strchr(name, '/') != nullptr) return "localhost";
    return name;
}

int FolderLength(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<int>(slash - path + 1);
}

// A fresh temporary name beside `path` into tempPath; false (ENAMETOOLONG)
// when it does not fit.
bool MakeTemporaryName(const char* path, char* tempPath, size_t tempPathSize) {
    static std::atomic<unsigned> counter{0};
    const unsigned serial = counter.fetch_add(1) * 2654435761u ^ static_cast<unsigned>(std::time(nullptr));
    const int length = std::snprintf(tempPath, tempPathSize, "%.*s%s%s-%ld-%08x.tmp", FolderLength(path), path,
                                     kTempPrefix, HostName().c_str(), static_cast<long>(::getpid()), serial);
    if (length < 0 || static_cast<size_t>(length) >= tempPathSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

FILE* CreateNew(const char* path, bool ownerOnly) {
    // Readable too: libhdf5 reads back what it wrote of a version 7.3 file.
    const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0666);
    if (fd < 0) return nullptr;
    FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        ::close(fd);
        ::unlink(path);
    }
    return file;
}

FILE* CreateTemporaryBeside(const char* path, bool ownerOnly, char* tempPath, size_t tempPathSize) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        if (!MakeTemporaryName(path, tempPath, tempPathSize)) return nullptr;
        FILE* file = FileSystem().createNew(tempPath, ownerOnly);
        if (file != nullptr || errno != EEXIST) return file;
    }
    return nullptr;
}

#if defined(O_TMPFILE)
// A file without a name until it is complete: a process killed while writing
// it leaves nothing behind.
FILE* CreateUnnamedBeside(const char* path, bool ownerOnly) {
    // Linking it in goes through /proc (the way by the descriptor alone needs
    // a privilege most users lack): without /proc, a named file it is.
    if (::access("/proc/self/fd", F_OK) != 0) return nullptr;
    // The name it gets must fit: else it is refused now, not once written.
    char name[kMaxTempPath];
    if (!MakeTemporaryName(path, name, sizeof name)) return nullptr;
    const std::string folder = FolderOf(path);
    // Readable too: libhdf5 reads back what it wrote of a version 7.3 file.
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, ownerOnly ? 0600 : 0666);
    if (fd < 0) return nullptr;
    FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) ::close(fd);
    return file;
}

int NameOpenFile(FILE* file, const char* path) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", ::fileno(file));
    return ::linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
}

int LinkIn(FILE* file, const char* path, char* tempPath, size_t tempPathSize) {
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        if (!MakeTemporaryName(path, tempPath, tempPathSize)) return -1;
        if (FileSystem().nameOpenFile(file, tempPath) == 0) return 0;
        if (errno != EEXIST) break;
    }
    tempPath[0] = '\0';
    return -1;
}
#else
FILE* CreateUnnamedBeside(const char*, bool) { return nullptr; }
int NameOpenFile(FILE*, const char*) {
    errno = ENOTSUP;
    return -1;
}
int LinkIn(FILE*, const char*, char* tempPath, size_t) {
    tempPath[0] = '\0';
    return -1;
}
#endif

// "<host>-<pid>-<8 hex digits>.tmp" after our prefix, with our host: the
// process id, else 0.
long OwnerOfOurTemporary(const char* name, const std::string& host) {
    const size_t prefixLength = std::strlen(kTempPrefix);
    if (std::strncmp(name, kTempPrefix, prefixLength) != 0) return 0;
    name += prefixLength;
    if (std::strncmp(name, host.c_str(), host.size()) != 0 || name[host.size()] != '-') return 0;
    name += host.size() + 1;
    long pid = 0;
    const char* p = name;
    for (; *p >= '0' && *p <= '9' && pid < (1L << 30); ++p) pid = pid * 10 + (*p - '0');
    if (p == name || *p != '-') return 0;
    ++p;
    for (int i = 0; i < 8; ++i, ++p) {
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return 0;
    }
    return std::strcmp(p, ".tmp") == 0 ? pid : 0;
}

void RemoveStaleTemporaries(const char* path) {
    const std::string folder = FolderOf(path);
    std::vector<FolderEntry> entries;
    FileSystem().listFolder(folder.c_str(), &entries);   // what was read, even when reading stopped early
    const std::string host = HostName();
    for (const FolderEntry& entry : entries) {
        const long pid = OwnerOfOurTemporary(entry.name.c_str(), host);
        if (entry.isFolder || pid <= 0 || pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;   // still runs (or not ours to ask)
        FileSystem().remove((folder + "/" + entry.name).c_str());
    }
}

// File systems without locks (some network ones) are updated as before.
bool OffersNoLocks(int error) { return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL; }

// A record lock (lockf, fcntl) that another process holds for writing on the
// whole file or any part of it: 0 when there is none. On Linux a shared
// record lock of the open file itself (an open file description lock) is
// taken and kept until the stream closes, so that such writers also wait
// while the update runs; unlike a classic fcntl lock, it is not dropped when
// the process closes another descriptor of the file (another archive of the
// same file in the host). Elsewhere (macOS) the file is only tested, once.
int ShareRecords(FILE* file) {
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;   // from 0 to the end, however the file grows
#if defined(F_OFD_SETLK)
    return ::fcntl(::fileno(file), F_OFD_SETLK, &lock);
#else
    if (::fcntl(::fileno(file), F_GETLK, &lock) != 0) return -1;
    if (lock.l_type == F_UNLCK) return 0;
    errno = EAGAIN;
    return -1;
#endif
}
int LockWhole(FILE* file) { return ::flock(::fileno(file), LOCK_EX | LOCK_NB); }

// The record lock comes first: where the system makes a flock out of record
// locks (NFS), that flock then stays exclusive.
int Lock(FILE* file) {
    FileSystemCalls& calls = FileSystem();
    if (calls.shareRecords(file) != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            errno = EACCES;
            return -1;
        }
        if (!OffersNoLocks(errno)) return -1;
    }
    if (calls.lockWhole(file) == 0) return 0;
    if (errno == EWOULDBLOCK) return -1;
    return OffersNoLocks(errno) ? 0 : -1;
}

// The caller's effective rights on the file itself: renaming over it needs
// only the folder's write bit, which is not the owner's consent.
int MayWrite(const char* path) { return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS); }

// The size first, then the bytes; 0 on success.
int ListAttributes(FILE* file, std::string* names) {
    const ssize_t size = ::flistxattr(::fileno(file), nullptr, 0);
    if (size < 0) return -1;
    names->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = ::flistxattr(::fileno(file), names->data(), names->size());
    if (got < 0) return -1;
    names->resize(static_cast<size_t>(got));
    return 0;
}

int GetAttribute(FILE* file, const char* name, std::string* value) {
    const ssize_t size = ::fgetxattr(::fileno(file), name, nullptr, 0);
    if (size < 0) return -1;
    value->assign(static_cast<size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(::fileno(file), name, value->data(), value->size());
    if (got < 0) return -1;
    value->resize(static_cast<size_t>(got));
    return 0;
}

int SetAttribute(FILE* file, const char* name, const std::string& value) {
    return ::fsetxattr(::fileno(file), name, value.data(), value.size(), 0);
}

int ChangeOwner(FILE* file, int64_t owner, int64_t group) {
    return ::fchown(::fileno(file), static_cast<uid_t>(owner), static_cast<gid_t>(group));
}
int ChangeModeOf(FILE* file, unsigned mode) { return ::fchmod(::fileno(file), static_cast<mode_t>(mode)); }

// Extended attributes (access control lists are some of them) of `from` on
// `to`. A file system without them has none to copy.
bool CopyExtendedAttributes(FILE* from, FILE* to) {
    FileSystemCalls& calls = FileSystem();
    std::string names, value;
    if (calls.listAttributes(from, &names) != 0) return errno == ENOTSUP;
    for (size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char* name = names.c_str() + at;
        if (name[0] == '\0') continue;
        if (calls.getAttribute(from, name, &value) != 0 || calls.setAttribute(to, name, value) != 0) return false;
    }
    return true;
}

int CopyAttributes(FILE* from, FILE* to) {
    FileSystemCalls& calls = FileSystem();
    FileStatus status;
    if (calls.fileStatus(from, &status) != 0 || !CopyExtendedAttributes(from, to)) return -1;
    // Only root may give a file away; others keep at least the group when
    // they belong to it. Changing the owner clears set-id bits: the mode
    // comes after.
    if (calls.changeOwner(to, status.owner, status.group) != 0) {
        if (errno != EPERM) return -1;
        if (calls.changeOwner(to, -1, status.group) != 0 && errno != EPERM) return -1;
    }
    return calls.changeModeOf(to, status.mode);
}

int Resolve(const char* path, char* resolved, size_t resolvedSize) {
    char* full = ::realpath(path, nullptr);
    if (full == nullptr) return -1;
    const size_t length = std::strlen(full);
    const bool fits = length < resolvedSize;
    if (fits) std::memcpy(resolved, full, length + 1);
    std::free(full);
    return fits ? 0 : -1;
}

FILE* CreateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    return CreateTemporaryBeside(path, false, tempPath, tempPathSize);
}
FILE* CreatePrivateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    return CreateTemporaryBeside(path, true, tempPath, tempPathSize);
}

#if defined(__linux__)
// copy_file_range moves the bytes inside the kernel (or shares the blocks on
// file systems that can): a deletion or extraction of a big file then costs
// about what cp costs, rather than twice through user space.
uint64_t CopyRange(FILE* from, uint64_t offset, FILE* to, uint64_t size) {
    if (std::fflush(to) != 0 || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    int64_t in = static_cast<int64_t>(offset);
    uint64_t copied = 0;
    while (copied < size) {
        const uint64_t left = size - copied;
        // The kernel copies at most about 2 GB per call.
        const size_t piece = left < (1u << 30) ? static_cast<size_t>(left) : (1u << 30);
        const int64_t done = FileSystem().copyNativeRange(::fileno(from), &in, ::fileno(to), piece);
        if (done <= 0) break;   // not offered here (EXDEV, EINVAL ...), the end, or a failure
        copied += static_cast<uint64_t>(done);
    }
    // The streams learn the descriptors' new positions; a failure here shows
    // in the caller's own copy of the rest.
    ::fseeko(to, 0, SEEK_END);
    ::fseeko(from, static_cast<off_t>(offset + copied), SEEK_SET);
    return copied;
}
int64_t CopyNativeRange(NativeFile from, int64_t* offset, NativeFile to, size_t size) {
    loff_t at = *offset;
    const ssize_t done = ::copy_file_range(static_cast<int>(from), &at, static_cast<int>(to), nullptr, size, 0);
    *offset = at;
    return done;
}
#else
uint64_t CopyRange(FILE*, uint64_t, FILE*, uint64_t) { return 0; }
int64_t CopyNativeRange(NativeFile, int64_t*, NativeFile, size_t) {
    errno = ENOTSUP;
    return -1;
}
#endif

bool ResizeNativeFile(NativeFile file, uint64_t size) { return ::ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0; }

bool SizeOfNativeFile(NativeFile file, uint64_t& size) {
    struct stat status {};
    if (fstat(static_cast<int>(file), &status) != 0 || status.st_size < 0) return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

int MakeDirectory(const char* path) { return ::mkdir(path, 0777); }

#if defined(__linux__)
void StartWriteback(FILE* file) {
    if (std::fflush(file) == 0) ::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}
void StartNativeWriteback(NativeFile file) { ::sync_file_range(static_cast<int>(file), 0, 0, SYNC_FILE_RANGE_WRITE); }
#else
// macOS: the sync at the end writes everything.
void StartWriteback(FILE*) {}
void StartNativeWriteback(NativeFile) {}
#endif

int FreeSpaceBeside(const char* path, uint64_t* bytes) {
    struct statvfs space {};
    if (::statvfs(FolderOf(path).c_str(), &space) != 0) return -1;
    *bytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    return 0;
}

int ListFolder(const char* path, std::vector<FolderEntry>* entries) {
    DIR* folder = ::opendir(path);
    if (folder == nullptr) return -1;
    errno = 0;
    for (const dirent* entry = ::readdir(folder); entry != nullptr; entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        FolderEntry found;
        found.name = entry->d_name;
        // The folder's own record says what most names are; the others
        // (links, file systems that do not say) are looked at through the
        // open folder: no path is built again per name.
        struct stat st {};
        if (entry->d_type == DT_DIR || entry->d_type == DT_REG) {
            found.isFolder = entry->d_type == DT_DIR;
            found.isRegularFile = entry->d_type == DT_REG;
        } else if (::fstatat(::dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            found.isFolder = S_ISDIR(st.st_mode);
            found.isRegularFile = S_ISREG(st.st_mode) ||
                                  (S_ISLNK(st.st_mode) && ::fstatat(::dirfd(folder), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode));
        }
        entries->push_back(std::move(found));
        errno = 0;
    }
    const int failed = errno;
    ::closedir(folder);
    return failed == 0 ? 0 : -1;
}

int RemoveFolder(const char* path) { return ::rmdir(path); }

int SameFile(const char* a, const char* b) {
    struct stat first {}, second {};
    if (::stat(a, &first) != 0 || ::stat(b, &second) != 0) return -1;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino ? 1 : 0;
}

FILE* CreateScratchBeside(const char* path) {
    FileSystemCalls& calls = FileSystem();
    FILE* file = calls.createUnnamedBeside(path, true);
    if (file != nullptr) return file;
    // Without such files: a private named one, whose name goes at once.
    char name[kMaxTempPath];
    file = calls.createPrivateBeside(path, name, sizeof name);
    if (file != nullptr && calls.remove(name) != 0) {
        calls.close(file);   // a name that cannot go: no scratch file (stale-temporary removal takes it later)
        return nullptr;
    }
    return file;
}

const uint8_t* MapForReading(FILE* file, uint64_t size) {
    if (size == 0 || static_cast<size_t>(size) != size || std::fflush(file) != 0) return nullptr;
    void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, ::fileno(file), 0);
    return view == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(view);
}

void Unmap(const uint8_t* view, uint64_t size) { ::munmap(const_cast<uint8_t*>(view), static_cast<size_t>(size)); }

const FileSystemCalls kReal = {Open,   Read,         Write,   Seek,   Tell,           Flush,
                               Sync,   Close,        Status,  FileStatusOf, SetMode, Replace,
                               Remove, SyncDirectoryOf, CreateBeside, Resolve, CreatePrivateBeside,
                               CopyRange, LinkStatus, Lock, MayWrite, CopyAttributes,
                               CreateUnnamedBeside, LinkIn, RemoveStaleTemporaries, ReadAt, PlaceNew,
                               ReadNativeAt, WriteNativeAt, ResizeNativeFile, SizeOfNativeFile, MakeDirectory,
                               StartWriteback, StartNativeWriteback, FreeSpaceBeside, ListFolder,
                               RemoveFolder, SameFile, CreateScratchBeside, CreateNew, ChangeOwner,
                               ChangeModeOf, ListAttributes, GetAttribute, SetAttribute, OpenFolder,
                               SyncNative, CloseNative, ShareRecords, LockWhole, NameOpenFile,
                               CopyNativeRange, MapForReading, Unmap};
FileSystemCalls gCalls = kReal;

}  // namespace

FileSystemCalls& FileSystem() { return gCalls; }

// The pages stay in the page cache; only this process's hold on them goes.
void ReleaseMappedPages(const uint8_t* view, uint64_t size) {
    if (view != nullptr) ::madvise(const_cast<uint8_t*>(view), static_cast<size_t>(size), MADV_DONTNEED);
}
const FileSystemCalls& RealFileSystem() { return kReal; }

}  // namespace platform

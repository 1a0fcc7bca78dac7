#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
FILE* Open(const char* path, const char* mode) {
    if (mode[0] != 'r') return std::fopen(path, mode);
    const bool update = std::strchr(mode, '+') != nullptr;
    const int fd = ::open(path, (update ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
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
int64_t Tell(FILE* file) { return static_cast<int64_t>(::ftello(file)); }
int Flush(FILE* file) { return std::fflush(file); }
int Sync(FILE* file) { return ::fsync(::fileno(file)); }
int Close(FILE* file) { return std::fclose(file); }

void Fill(const struct stat& st, FileStatus* out) {
    out->size = static_cast<uint64_t>(st.st_size);
    out->mode = static_cast<unsigned>(st.st_mode & 07777);
    out->isRegularFile = S_ISREG(st.st_mode);
    out->modifiedTime = static_cast<int64_t>(st.st_mtime);
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

int SetMode(const char* path, unsigned mode) { return ::chmod(path, static_cast<mode_t>(mode)); }
// rename() replaces the name atomically: a reader that holds the old file
// open keeps reading the old inode.
int Replace(const char* from, const char* to) { return std::rename(from, to); }
int Remove(const char* path) { return std::remove(path); }

std::string FolderOf(const char* path) {
    std::string dir(path);
    const size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : dir.substr(0, slash);
}

// A rename is only durable once the directory that holds both names is on disk.
int SyncDirectoryOf(const char* path) {
    const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    const int result = ::fsync(fd);
    ::close(fd);
    return result;
}

// Attempts at a free name before giving up; a clash needs another process
// with the same name pattern, so a handful suffices.
constexpr int kTempNameAttempts = 32;

FILE* CreateTemporaryBeside(const char* path, bool ownerOnly, char* tempPath, size_t tempPathSize) {
    static std::atomic<unsigned> counter{0};
    const char* slash = std::strrchr(path, '/');
    const int folderLength = slash == nullptr ? 0 : static_cast<int>(slash - path + 1);
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        const unsigned serial = counter.fetch_add(1) * 2654435761u ^ static_cast<unsigned>(std::time(nullptr));
        const int length = std::snprintf(tempPath, tempPathSize, "%.*s.matwcx-%ld-%08x.tmp", folderLength,
                                         path, static_cast<long>(::getpid()), serial);
        if (length < 0 || static_cast<size_t>(length) >= tempPathSize) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        const int fd = ::open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ownerOnly ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        FILE* file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            ::close(fd);
            ::unlink(tempPath);
        }
        return file;
    }
    return nullptr;
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
    loff_t in = static_cast<loff_t>(offset);
    uint64_t copied = 0;
    while (copied < size) {
        const uint64_t left = size - copied;
        // The kernel copies at most about 2 GB per call.
        const size_t piece = left < (1u << 30) ? static_cast<size_t>(left) : (1u << 30);
        const ssize_t done = ::copy_file_range(::fileno(from), &in, ::fileno(to), nullptr, piece, 0);
        if (done <= 0) break;   // not offered here (EXDEV, EINVAL ...), the end, or a failure
        copied += static_cast<uint64_t>(done);
    }
    // The streams learn the descriptors' new positions; a failure here shows
    // in the caller's own copy of the rest.
    ::fseeko(to, 0, SEEK_END);
    ::fseeko(from, static_cast<off_t>(offset + copied), SEEK_SET);
    return copied;
}
#else
uint64_t CopyRange(FILE*, uint64_t, FILE*, uint64_t) { return 0; }
#endif

const FileSystemCalls kReal = {Open,   Read,         Write,   Seek,   Tell,           Flush,
                               Sync,   Close,        Status,  FileStatusOf, SetMode, Replace,
                               Remove, SyncDirectoryOf, CreateBeside, Resolve, CreatePrivateBeside,
                               CopyRange};
FileSystemCalls gCalls = kReal;

}  // namespace

FileSystemCalls& FileSystem() { return gCalls; }
const FileSystemCalls& RealFileSystem() { return kReal; }

}  // namespace platform

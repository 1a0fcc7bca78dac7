#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace platform {
namespace {

FILE* Open(const char* path, const char* mode) { return std::fopen(path, mode); }
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
int Replace(const char* from, const char* to) { return std::rename(from, to); }
int Remove(const char* path) { return std::remove(path); }

// A rename is only durable once the directory that holds both names is on disk.
int SyncDirectoryOf(const char* path) {
    std::string dir(path);
    const size_t slash = dir.find_last_of('/');
    dir = (slash == std::string::npos) ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    const int result = ::fsync(fd);
    ::close(fd);
    return result;
}

const FileSystemCalls kReal = {Open, Read, Write, Seek, Tell, Flush, Sync, Close, Status,
                               FileStatusOf, SetMode, Replace, Remove, SyncDirectoryOf};
FileSystemCalls gCalls = kReal;

}  // namespace

FileSystemCalls& FileSystem() { return gCalls; }
const FileSystemCalls& RealFileSystem() { return kReal; }

}  // namespace platform

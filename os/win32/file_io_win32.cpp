#include "os/file_io.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <string>
#include <vector>

#include "os/win32/wide_path.h"

namespace platform {
namespace {

FILE* Open(const char* path, const char* mode) { return ::_wfopen(WidePath(path).c_str(), WideText(mode).c_str()); }
size_t Read(void* buffer, size_t size, FILE* file) { return std::fread(buffer, 1, size, file); }
size_t Write(const void* buffer, size_t size, FILE* file) { return std::fwrite(buffer, 1, size, file); }
int Seek(FILE* file, int64_t offset, int whence) { return ::_fseeki64(file, offset, whence); }
// One ReadFile or WriteFile moves at most this much (its count is a DWORD).
constexpr size_t kMaxNativePiece = size_t{1} << 30;

// The offset of a positioned ReadFile or WriteFile: no seek of ours (a
// stream seeks again before its own next read).
OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

DWORD Piece(size_t size) { return static_cast<DWORD>(size < kMaxNativePiece ? size : kMaxNativePiece); }

int64_t ReadNativeAt(NativeFile file, uint64_t offset, void* buffer, size_t size) {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(file), buffer, Piece(size), &got, &at)) {
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return got;
}

int64_t WriteNativeAt(NativeFile file, uint64_t offset, const void* buffer, size_t size) {
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(file), buffer, Piece(size), &put, &at)) return -1;
    return put;
}

size_t ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    const intptr_t handle = ::_get_osfhandle(::_fileno(file));
    if (reinterpret_cast<HANDLE>(handle) == INVALID_HANDLE_VALUE) return 0;
    size_t done = 0;
    while (done < size) {
        const int64_t got = ReadNativeAt(handle, offset + done, static_cast<char*>(buffer) + done, size - done);
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}
int64_t Tell(FILE* file) { return static_cast<int64_t>(::_ftelli64(file)); }
int Flush(FILE* file) { return std::fflush(file); }
int Sync(FILE* file) { return ::_commit(::_fileno(file)); }
int Close(FILE* file) { return std::fclose(file); }

void Fill(const struct _stat64& st, FileStatus* out) {
    out->size = static_cast<uint64_t>(st.st_size);
    out->mode = static_cast<unsigned>(st.st_mode & 0777);
    out->isRegularFile = (st.st_mode & _S_IFMT) == _S_IFREG;
    out->isFolder = (st.st_mode & _S_IFMT) == _S_IFDIR;
    out->modifiedTime = static_cast<int64_t>(st.st_mtime);
    // The C runtime gives a drive number by path but none by handle, and no
    // file number: which file it is stays unknown (0) here.
    out->linkCount = static_cast<uint64_t>(st.st_nlink);
}

int Status(const char* path, FileStatus* out) {
    struct _stat64 st {};
    if (::_wstat64(WidePath(path).c_str(), &st) != 0) return -1;
    Fill(st, out);
    return 0;
}

int FileStatusOf(FILE* file, FileStatus* out) {
    struct _stat64 st {};
    if (::_fstat64(::_fileno(file), &st) != 0) return -1;
    Fill(st, out);
    return 0;
}

// Windows keeps only the read-only bit; the owner's write bit carries it.
int SetMode(const char* path, unsigned mode) {
    return ::_wchmod(WidePath(path).c_str(), (mode & 0200) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD);
}

// Write-through: the rename is on disk when the call returns, so there is no
// directory to sync afterwards. A file that exists is replaced with
// ReplaceFile, which gives the new file the old one's access rules and
// attributes. Where that fails without a backup name the old file may
// already be gone and the new one still under its temporary name: the plain
// move then completes the replacement either way.
int Replace(const char* from, const char* to) {
    const std::wstring wideFrom = WidePath(from);
    const std::wstring wideTo = WidePath(to);
    if (::GetFileAttributesW(wideTo.c_str()) != INVALID_FILE_ATTRIBUTES &&
        ::ReplaceFileW(wideTo.c_str(), wideFrom.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        return 0;
    }
    return ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}
int Remove(const char* path) { return ::_wremove(WidePath(path).c_str()); }
// A move without MOVEFILE_REPLACE_EXISTING fails on a name that is taken.
int PlaceNew(const char* from, const char* to) {
    if (::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_WRITE_THROUGH)) return 0;
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? 1 : -1;
}
int SyncDirectoryOf(const char*) { return 0; }

constexpr int kTempNameAttempts = 32;
// The temporary name is short ("~mw" + 5 hex digits + ".tmp", 12 characters):
// a destination that fits must not fail because its temporary sibling is
// longer than its own name.
constexpr unsigned kTempSerialMask = 0xFFFFFu;

const char* LastSeparator(const char* path) {
    const char* back = std::strrchr(path, '\\');
    const char* forward = std::strrchr(path, '/');
    if (back == nullptr) return forward;
    if (forward == nullptr) return back;
    return back > forward ? back : forward;
}

// A new file at `path`, never an existing one. Readable too: a version 7.3
// worker writes the file through a copy of this handle, and libhdf5 reads
// back what it wrote.
FILE* OpenNew(const char* path, int moreFlags) {
    const int fd = ::_wopen(WidePath(path).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT | moreFlags,
                            _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE* file = ::_fdopen(fd, "w+b");
    if (file == nullptr) {
        ::_close(fd);
        ::_wunlink(WidePath(path).c_str());
    }
    return file;
}
// Windows files inherit their folder's access rules: ownerOnly changes nothing.
FILE* CreateNew(const char* path, bool) { return OpenNew(path, 0); }

FILE* CreateTemporaryBeside(const char* path, bool ownerOnly, char* tempPath, size_t tempPathSize, int moreFlags = 0) {
    static std::atomic<unsigned> counter{0};
    const char* separator = LastSeparator(path);
    const int folderLength = separator == nullptr ? 0 : static_cast<int>(separator - path + 1);
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        const unsigned serial = (counter.fetch_add(1) * 2654435761u ^ static_cast<unsigned>(std::time(nullptr)) ^
                                 static_cast<unsigned>(::_getpid()) * 40503u) &
                                kTempSerialMask;
        const int length =
            std::snprintf(tempPath, tempPathSize, "%.*s~mw%05x.tmp", folderLength, path, serial);
        if (length < 0 || static_cast<size_t>(length) >= tempPathSize) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        FILE* file = moreFlags == 0 ? FileSystem().createNew(tempPath, ownerOnly) : OpenNew(tempPath, moreFlags);
        if (file != nullptr || errno != EEXIST) return file;
    }
    return nullptr;
}

// Windows shortcuts are no links; the full path names the file itself.
int Resolve(const char* path, char* resolved, size_t resolvedSize) {
    const std::wstring wide = WideText(path);
    if (wide.empty() || resolvedSize == 0) return -1;
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return -1;
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return -1;
    full.resize(length);
    std::string narrow;
    if (!NarrowText(full.c_str(), &narrow) || narrow.size() >= resolvedSize) return -1;
    std::memcpy(resolved, narrow.c_str(), narrow.size() + 1);
    return 0;
}

FILE* CreateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    return CreateTemporaryBeside(path, false, tempPath, tempPathSize);
}
FILE* CreatePrivateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    return CreateTemporaryBeside(path, true, tempPath, tempPathSize);
}
// Removed by the system when closed (FILE_FLAG_DELETE_ON_CLOSE), also when
// the process is killed; kept in memory as far as the system can.
FILE* CreateScratchBeside(const char* path) {
    char name[kMaxTempPath];
    return CreateTemporaryBeside(path, true, name, sizeof name, _O_TEMPORARY | _O_SHORT_LIVED);
}

// Windows offers no copy between two open streams; the engine copies
// through its own buffer.
uint64_t CopyRange(FILE*, uint64_t, FILE*, uint64_t) { return 0; }

int LinkStatus(const char* path, FileStatus* out) { return Status(path, out); }

// One byte far beyond any end of file, locked by the update that holds the
// file: two updates exclude each other while readers read on.
int Lock(FILE* file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return 0;
    errno = ::GetLastError() == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : EIO;
    return -1;
}

int MayWrite(const char* path) { return ::_waccess(WidePath(path).c_str(), 2); }

// ReplaceFile (Replace) carries the old file's access rules and attributes:
// nothing calls the owner, mode and attribute entries here.
int CopyAttributes(FILE*, FILE*) { return 0; }
int Unsupported() {
    errno = ENOSYS;
    return -1;
}
int ChangeOwner(FILE*, int64_t, int64_t) { return Unsupported(); }
int ChangeModeOf(FILE*, unsigned) { return Unsupported(); }
int ListAttributes(FILE*, std::string*) { return Unsupported(); }
int GetAttribute(FILE*, const char*, std::string*) { return Unsupported(); }
int SetAttribute(FILE*, const char*, const std::string&) { return Unsupported(); }
// Renames are written through (Replace): no folder is synced.
NativeFile OpenFolder(const char*) { return Unsupported(); }
int SyncNative(NativeFile file) { return ::FlushFileBuffers(reinterpret_cast<HANDLE>(file)) ? 0 : -1; }
int CloseNative(NativeFile file) { return ::CloseHandle(reinterpret_cast<HANDLE>(file)) ? 0 : -1; }
// Lock takes one lock of its own.
int ShareRecords(FILE*) { return Unsupported(); }
int LockWhole(FILE*) { return Unsupported(); }
// Neither unnamed files nor copies inside the system here.
int NameOpenFile(FILE*, const char*) { return Unsupported(); }
int64_t CopyNativeRange(NativeFile, int64_t*, NativeFile, size_t) { return Unsupported(); }

// No unnamed files here: temporaries are named from the start.
FILE* CreateUnnamedBeside(const char*, bool) { return nullptr; }
int LinkIn(FILE*, const char*, char* tempPath, size_t tempPathSize) {
    if (tempPathSize > 0) tempPath[0] = '\0';
    return -1;
}
// The short names carry no process; none is taken for another's.
void RemoveStaleTemporaries(const char*) {}

bool ResizeNativeFile(NativeFile file, uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFileInformationByHandle(reinterpret_cast<HANDLE>(file), FileEndOfFileInfo, &end, sizeof end) != 0;
}

bool SizeOfNativeFile(NativeFile file, uint64_t& size) {
    LARGE_INTEGER length{};
    if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(file), &length) || length.QuadPart < 0) return false;
    size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

int MakeDirectory(const char* path) { return ::_wmkdir(WidePath(path).c_str()); }

// Windows writes a file's pages back on its own; FlushFileBuffers would wait.
void StartWriteback(FILE*) {}
void StartNativeWriteback(NativeFile) {}

int FreeSpaceBeside(const char* path, uint64_t* bytes) {
    const char* separator = LastSeparator(path);
    const std::string folder = separator == nullptr ? std::string(".") : std::string(path, separator + 1);
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(WidePath(folder.c_str()).c_str(), &available, nullptr, nullptr)) return -1;
    *bytes = available.QuadPart;
    return 0;
}

int ListFolder(const char* path, std::vector<FolderEntry>* entries) {
    std::string pattern = path;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(WidePath(pattern.c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : -1;
    bool readable = true;
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
        FolderEntry entry;
        if (!NarrowText(found.cFileName, &entry.name)) {
            readable = false;   // a name that UTF-8 cannot hold: said, not skipped
            continue;
        }
        const bool reparse = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isFolder = folder && !reparse;   // junctions and folder links are not followed
        entry.isRegularFile = !folder;
        entries->push_back(std::move(entry));
    } while (::FindNextFileW(search, &found));
    const bool ended = ::GetLastError() == ERROR_NO_MORE_FILES;
    ::FindClose(search);
    return ended && readable ? 0 : -1;
}

int RemoveFolder(const char* path) { return ::RemoveDirectoryW(WidePath(path).c_str()) ? 0 : -1; }

// Which file a path names: its volume and file index.
bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool got = ::GetFileInformationByHandle(handle, info) != 0;
    ::CloseHandle(handle);
    return got;
}

int SameFile(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    if (!FileIdentity(a, &first) || !FileIdentity(b, &second)) return -1;
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
                   first.nFileIndexLow == second.nFileIndexLow
               ? 1
               : 0;
}

// The mapping object goes at once: the view keeps what it maps.
const uint8_t* MapForReading(FILE* file, uint64_t size) {
    if (size == 0 || static_cast<size_t>(size) != size || std::fflush(file) != 0) return nullptr;
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const HANDLE mapping = ::CreateFileMappingW(handle, nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                                static_cast<DWORD>(size), nullptr);
    if (mapping == nullptr) return nullptr;
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    ::CloseHandle(mapping);
    return static_cast<const uint8_t*>(view);
}

void Unmap(const uint8_t* view, uint64_t) { ::UnmapViewOfFile(view); }

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

// VirtualUnlock of pages that were never locked takes them out of the
// working set (and answers ERROR_NOT_LOCKED): what madvise does on POSIX.
void ReleaseMappedPages(const uint8_t* view, uint64_t size) {
    if (view != nullptr) ::VirtualUnlock(const_cast<uint8_t*>(view), static_cast<SIZE_T>(size));
}
const FileSystemCalls& RealFileSystem() { return kReal; }

}  // namespace platform

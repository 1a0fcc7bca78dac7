// A libhdf5 file driver that reads and writes a file already open, named by
// its number (a descriptor, or a Windows handle, in decimal). The worker is
// sent every file it uses, open: the MAT-file it reads (a file put in its
// place since is never read) and the new file of an extraction or deletion,
// which on Linux has no name until it is complete (O_TMPFILE); libhdf5's own
// drivers can only open files by name. Otherwise it does what
// the sec2 driver does: positioned reads and writes, the end of the
// allocated space kept apart from the end of the file. What it writes starts
// on its way to the disk as the copy goes on: the new file is synced before
// it goes in place, and that sync then has little left to wait for.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "os/worker_process.h"
#include "worker/v73_hdf5.h"

namespace matlib::hdf5 {

namespace {

struct DescriptorFile {
    H5FD_t public_;   // first: libhdf5 sees this part
    platform::NativeFile file = platform::kNoFile;   // the worker's, closed by it
    haddr_t eoa = 0;   // end of the space libhdf5 allocated
    haddr_t eof = 0;   // end of the file as written
    uint64_t notStarted = 0;   // bytes written since the writeback was last started
};

// Read by the worker's heartbeat, on a thread of its own.
std::atomic<uint64_t> bytesMoved{0};

DescriptorFile* Of(H5FD_t* file) { return reinterpret_cast<DescriptorFile*>(file); }
const DescriptorFile* Of(const H5FD_t* file) { return reinterpret_cast<const DescriptorFile*>(file); }

// Larger requests go in pieces: a single call may move less than asked.
constexpr size_t kMaxPiece = size_t{1} << 30;
// The writeback is started after every this many bytes written: often
// enough that the disk works while the copy goes on, seldom enough that the
// calls cost nothing next to the writes.
constexpr uint64_t kWritebackStep = uint64_t{8} << 20;

H5FD_t* Open(const char* name, unsigned flags, hid_t, haddr_t) {
    char* after = nullptr;
    errno = 0;
    const long long number = std::strtoll(name, &after, 10);
    uint64_t size = 0;
    if (errno != 0 || after == name || *after != '\0' || number < 0 ||
        ((flags & H5F_ACC_TRUNC) != 0 && !platform::FileSystem().resizeNative(static_cast<platform::NativeFile>(number), 0)) ||
        !platform::FileSystem().sizeOfNative(static_cast<platform::NativeFile>(number), size)) {
        return nullptr;
    }
    auto* file = new (std::nothrow) DescriptorFile{};
    if (file == nullptr) return nullptr;
    file->file = static_cast<platform::NativeFile>(number);
    file->eof = static_cast<haddr_t>(size);
    return &file->public_;
}

herr_t Close(H5FD_t* file) {
    delete Of(file);
    return 0;
}

int Compare(const H5FD_t* a, const H5FD_t* b) {
    const platform::NativeFile x = Of(a)->file, y = Of(b)->file;
    return x == y ? 0 : x < y ? -1 : 1;
}

herr_t Query(const H5FD_t*, unsigned long* flags) {
    // As sec2, but for the POSIX-compatible handle (which makes libhdf5
    // resolve the name).
    *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
             H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
    return 0;
}

haddr_t GetEoa(const H5FD_t* file, H5FD_mem_t) { return Of(file)->eoa; }

herr_t SetEoa(H5FD_t* file, H5FD_mem_t, haddr_t address) {
    Of(file)->eoa = address;
    return 0;
}

haddr_t GetEof(const H5FD_t* file, H5FD_mem_t) { return Of(file)->eof; }

herr_t GetHandle(H5FD_t* file, hid_t, void** handle) {
    *handle = &Of(file)->file;
    return 0;
}

herr_t Read(H5FD_t* file, H5FD_mem_t, hid_t, haddr_t address, size_t size, void* buffer) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const int64_t got = platform::FileSystem().readNativeAt(Of(file)->file, address, bytes, size < kMaxPiece ? size : kMaxPiece);
        if (got < 0) return -1;
        if (got == 0) {
            std::memset(bytes, 0, size);   // beyond the end of the file: zeros, as sec2 gives
            return 0;
        }
        bytes += got;
        bytesMoved += static_cast<uint64_t>(got);
        address += static_cast<haddr_t>(got);
        size -= static_cast<size_t>(got);
    }
    return 0;
}

herr_t Write(H5FD_t* file, H5FD_mem_t, hid_t, haddr_t address, size_t size, const void* buffer) {
    DescriptorFile* f = Of(file);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        const int64_t put = platform::FileSystem().writeNativeAt(f->file, address, bytes, size < kMaxPiece ? size : kMaxPiece);
        if (put <= 0) return -1;
        bytes += put;
        address += static_cast<haddr_t>(put);
        size -= static_cast<size_t>(put);
        f->notStarted += static_cast<uint64_t>(put);
        bytesMoved += static_cast<uint64_t>(put);
    }
    if (address > f->eof) f->eof = address;
    if (f->notStarted >= kWritebackStep) {
        platform::FileSystem().startNativeWriteback(f->file);
        f->notStarted = 0;
    }
    return 0;
}

herr_t Truncate(H5FD_t* file, hid_t, hbool_t) {
    DescriptorFile* f = Of(file);
    if (f->eoa == f->eof) return 0;
    if (!platform::FileSystem().resizeNative(f->file, f->eoa)) return -1;
    f->eof = f->eoa;
    return 0;
}

H5FD_class_t MakeClass() {
    H5FD_class_t c{};
    c.name = "matwcx-descriptor";
    c.maxaddr = static_cast<haddr_t>(INT64_MAX);
    c.fc_degree = H5F_CLOSE_WEAK;
    c.open = Open;
    c.close = Close;
    c.cmp = Compare;
    c.query = Query;
    c.get_eoa = GetEoa;
    c.set_eoa = SetEoa;
    c.get_eof = GetEof;
    c.get_handle = GetHandle;
    c.read = Read;
    c.write = Write;
    c.truncate = Truncate;
    const H5FD_mem_t map[H5FD_MEM_NTYPES] = H5FD_FLMAP_DICHOTOMY;   // as sec2
    std::memcpy(c.fl_map, map, sizeof map);
    return c;
}

const H5FD_class_t kClass = MakeClass();

}  // namespace

uint64_t BytesMoved() { return bytesMoved.load(); }

uint64_t DescriptorAllocatedEnd(const void* handle) {
    // The handle is the file's member `file` (GetHandle).
    const auto* bytes = static_cast<const unsigned char*>(handle) - offsetof(DescriptorFile, file);
    return reinterpret_cast<const DescriptorFile*>(bytes)->eoa;
}

hid_t DescriptorDriver() {
    static const hid_t driver = H5FDregister(&kClass);
    return driver;
}

}  // namespace matlib::hdf5

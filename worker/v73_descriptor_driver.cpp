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
#include <algorithm>
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

// A file opened only to be read (the MAT-file) is read through a window of
// this many bytes: libhdf5 reads an object's header in small pieces, the
// guard reads the same bytes just before it (v73_hdf5_guard.cpp), and the
// next objects' headers mostly lie close behind; one system call serves
// them all. Larger reads go straight to the file.
constexpr size_t kWindowBytes = size_t{64} << 10;
constexpr size_t kMaxWindowedRead = kWindowBytes / 2;
constexpr uint64_t kWindowAlign = 4096;

struct DescriptorFile {
    H5FD_t public_;   // first: libhdf5 sees this part
    platform::NativeFile file = platform::kNoFile;   // the worker's, closed by it
    haddr_t eoa = 0;   // end of the space libhdf5 allocated
    haddr_t eof = 0;   // end of the file as written
    uint64_t notStarted = 0;   // bytes written since the writeback was last started
    bool windowed = false;     // opened read-only: nothing changes the bytes the window holds
    uint64_t windowAt = 0;     // where the window starts
    size_t windowBytes = 0;    // what it holds (fewer than kWindowBytes: the file ends there)
    bool windowFilled = false;
    uint8_t window[kWindowBytes];
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
    file->windowed = (flags & H5F_ACC_RDWR) == 0;
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

// Reads from the file itself; `got` the bytes it held there (fewer at its end).
bool ReadFile(platform::NativeFile file, uint64_t address, size_t size, uint8_t* out, size_t& got) {
    got = 0;
    while (got < size) {
        const size_t piece = size - got < kMaxPiece ? size - got : kMaxPiece;
        const int64_t read = platform::FileSystem().readNativeAt(file, address + got, out + got, piece);
        if (read < 0) return false;
        if (read == 0) break;
        got += static_cast<size_t>(read);
        bytesMoved += static_cast<uint64_t>(read);
    }
    return true;
}

// Reads [address, address + size), through the window when it may; `got` as ReadFile's.
bool ReadBytes(DescriptorFile& f, uint64_t address, size_t size, uint8_t* out, size_t& got) {
    if (!f.windowed || size > kMaxWindowedRead) return ReadFile(f.file, address, size, out, got);
    const bool inWindow = f.windowFilled && address >= f.windowAt && address - f.windowAt <= kWindowBytes - size;
    if (!inWindow) {
        f.windowFilled = false;
        const uint64_t at = address - address % kWindowAlign;
        if (!ReadFile(f.file, at, kWindowBytes, f.window, f.windowBytes)) return false;
        f.windowAt = at;
        f.windowFilled = true;
    }
    const size_t from = static_cast<size_t>(address - f.windowAt);
    got = f.windowBytes > from ? std::min(size, f.windowBytes - from) : 0;
    std::memcpy(out, f.window + from, got);
    return true;
}

herr_t Read(H5FD_t* file, H5FD_mem_t, hid_t, haddr_t address, size_t size, void* buffer) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    if (!ReadBytes(*Of(file), address, size, bytes, got)) return -1;
    std::memset(bytes + got, 0, size - got);   // beyond the end of the file: zeros, as sec2 gives
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

namespace {
// The file whose member `file` is `handle` (GetHandle).
DescriptorFile& OfHandle(const void* handle) {
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(handle)) - offsetof(DescriptorFile, file);
    return *reinterpret_cast<DescriptorFile*>(bytes);
}
}  // namespace

uint64_t DescriptorAllocatedEnd(const void* handle) { return OfHandle(handle).eoa; }

bool DescriptorRead(const void* handle, uint64_t address, size_t size, uint8_t* out) {
    size_t got = 0;
    return ReadBytes(OfHandle(handle), address, size, out, got) && got == size;
}

hid_t DescriptorDriver() {
    static const hid_t driver = H5FDregister(&kClass);
    return driver;
}

}  // namespace matlib::hdf5

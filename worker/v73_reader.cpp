// Version 7.3 MAT-files: an HDF5 file behind a 512-byte user block whose
// first 128 bytes are a MAT header. Read through libhdf5 (the C library).
//
// Each variable is a top-level dataset or group with the attribute
// MATLAB_class; names beginning with '#' (#refs#, #subsystem#) hold what
// variables refer to and are no variables. HDF5 keeps the dimensions in C
// order, so MATLAB's are the dataset's reversed, and MATLAB's column-major
// element k is the dataset's element k in C order. Complex data is a compound
// of "real" and "imag"; MATLAB_empty = 1 marks a dataset that holds the
// dimensions of an empty array instead of data; a sparse array is a group
// with MATLAB_sparse = its rows and the datasets data, ir and jc.
//
// This runs in the worker process only (v73_hdf5.h), one thread: libhdf5 as
// Debian builds it (serial) is not thread-safe either.
#include <hdf5.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "v73client/v73_protocol.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"
#include "os/worker_process.h"

namespace matlib::hdf5 {

namespace {

using namespace format;

// libhdf5 prints its error stack to stderr by default: inside a file manager
// a failure is our error code, never text on the host's terminal.
void QuietErrors() {
    static bool quiet = false;
    if (!quiet) quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
}

}  // namespace

struct File {
    hid_t file = -1;
    std::vector<std::string> names;   // the variables, in the order of their names
    int64_t referencesChecked = -1;     // what CheckInside found in #refs#, once looked at
    ~File() {
        if (file >= 0) H5Fclose(file);
    }
};

void FileCloser::operator()(File* file) const { delete file; }

// ---- what stays inside the file ------------------------------------------------------

namespace {

// Why the last read was refused; the worker takes it with its answer.
uint32_t refusal = v73::kInside;

herr_t RefuseExternalLink(const char*, const char*, const char*, const char*, unsigned*, hid_t, void*) {
    refusal = v73::kLinkOutside;
    return -1;
}

// An access list of this class that refuses every external link; -1 when
// it cannot be made (and then every open fails).
hid_t MakeInsideList(hid_t listClass) {
    const hid_t list = H5Pcreate(listClass);
    if (list >= 0 && H5Pset_elink_cb(list, RefuseExternalLink, nullptr) < 0) {
        H5Pclose(list);
        return -1;
    }
    return list;
}

// Where a dataset keeps its bytes, from its creation list: kInside when in
// this file.
uint32_t StorageIn(hid_t create) {
    if (create < 0) return v73::kExternalStorage;   // cannot tell: not read
    const H5D_layout_t layout = H5Pget_layout(create);
    if (layout == H5D_VIRTUAL) return v73::kVirtualDataset;
    return layout < 0 || H5Pget_external_count(create) != 0 ? v73::kExternalStorage : v73::kInside;
}

uint32_t StorageOf(hid_t dataset) {
    Id create(H5Dget_create_plist(dataset), H5Pclose);
    return StorageIn(create.get());
}

bool Openable(hid_t loc, const H5O_info_t& object);   // (below)

// The scan of the links under an object, all the way down its hard links:
// each object once (hard links may share one, or lead in a circle), each
// group's links looked up from that group. (H5Lvisit hands each link over
// by its path from the start, and a lookup by that path walks every group
// above it again: a struct nested 1000 deep cost seconds, 3000 deep minutes.)
// It stops at the walks' budget: kMaxNesting groups deep, kMaxWalkedObjects
// objects in all.
struct LinkScan {
    std::set<haddr_t> seen;
    uint64_t objects = 0;
    size_t depth = 0;
    uint32_t found = v73::kInside;

    // The links of `group` and below; false when the scan stops (found says
    // why, or kLinkOutside when libhdf5 failed).
    bool Group(hid_t group) {
        if (++depth > kMaxNesting) return Stop(v73::kTooDeep);
        const bool walked = H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, Link, this) == 0;
        --depth;
        return walked || Stop(v73::kLinkOutside);
    }
    bool Stop(uint32_t why) {
        if (found == v73::kInside) found = why;
        return false;
    }
    static herr_t Link(hid_t group, const char* name, const H5L_info_t* info, void* data) {
        auto* scan = static_cast<LinkScan*>(data);
        // A soft link names a place in this file; it is not followed here, and
        // where it is followed, the access lists refuse to leave the file.
        if (info->type == H5L_TYPE_SOFT) return 0;
        if (info->type != H5L_TYPE_HARD) return scan->Stop(v73::kLinkOutside), 1;
        H5O_info_t object;
        if (H5Oget_info_by_name2(group, name, &object, H5O_INFO_BASIC, InsideLinks()) < 0) return -1;
        if (!scan->seen.insert(object.addr).second) return 0;
        if (++scan->objects > kMaxWalkedObjects) return scan->Stop(v73::kTooMany), 1;
        if (object.type == H5O_TYPE_DATASET) {
            Id dataset(Openable(group, object) ? H5Dopen2(group, name, InsideDatasets()) : -1, H5Dclose);
            if (!dataset.ok()) return -1;
            const uint32_t storage = StorageOf(dataset.get());
            return storage != v73::kInside ? (scan->Stop(storage), 1) : 0;
        }
        if (object.type != H5O_TYPE_GROUP) return 0;
        Id child(OpenLinked(group, name), H5Oclose);
        if (!child.ok()) return -1;
        return scan->Group(child.get()) ? 0 : 1;
    }
};

// Whether the object that `name` links to in `group`, and everything under
// it, keeps its bytes in this file. The link itself must be a hard one.
uint32_t ScanObject(hid_t group, const char* name) {
    H5L_info_t link;
    if (H5Lget_info(group, name, &link, InsideLinks()) < 0) return v73::kLinkOutside;
    if (link.type != H5L_TYPE_HARD) return link.type == H5L_TYPE_SOFT ? v73::kInside : v73::kLinkOutside;
    Id object(OpenLinked(group, name), H5Oclose);
    if (!object.ok()) return v73::kLinkOutside;
    if (H5Iget_type(object.get()) == H5I_DATASET) return StorageOf(object.get());
    LinkScan scan;
    if (H5Iget_type(object.get()) == H5I_GROUP && !scan.Group(object.get())) {
        return scan.found != v73::kInside ? scan.found : v73::kLinkOutside;
    }
    return v73::kInside;
}

// Every link at the top of `group` and below.
uint32_t ScanGroup(hid_t group) {
    LinkScan scan;
    return scan.Group(group) ? v73::kInside : scan.found;
}

}  // namespace

hid_t InsideLinks() {
    static const hid_t list = MakeInsideList(H5P_LINK_ACCESS);
    return list;
}

hid_t InsideDatasets() {
    static const hid_t list = MakeInsideList(H5P_DATASET_ACCESS);
    return list;
}

// The transfer settings of every read. libhdf5 converts elements (a part
// of a complex compound, references) through a buffer of 1 MB by default,
// cleared on every read: most reads here are of a few elements, and a
// smaller buffer only means more rounds for a large one.
hid_t TransferList() {
    constexpr size_t kConversionBytes = 64 * 1024;
    static const hid_t list = [] {
        const hid_t made = H5Pcreate(H5P_DATASET_XFER);
        if (made >= 0 && H5Pset_buffer(made, kConversionBytes, nullptr, nullptr) < 0) {
            H5Pclose(made);
            return hid_t{H5P_DEFAULT};
        }
        return made < 0 ? hid_t{H5P_DEFAULT} : made;
    }();
    return list;
}

namespace {

// Whether each member of a compound (complex data: "real" and "imag") lies
// within it: libhdf5 1.10 converts members by their offsets unchecked.
bool MembersInside(hid_t type) {
    if (H5Tget_class(type) != H5T_COMPOUND) return true;
    const size_t size = H5Tget_size(type);
    const int members = H5Tget_nmembers(type);
    if (size == 0 || members < 0) return false;
    for (int i = 0; i < members; ++i) {
        Id member(H5Tget_member_type(type, static_cast<unsigned>(i)), H5Tclose);
        const size_t offset = H5Tget_member_offset(type, static_cast<unsigned>(i));
        const size_t width = member.ok() ? H5Tget_size(member.get()) : 0;
        if (width == 0 || offset > size || width > size - offset || !MembersInside(member.get())) return false;
    }
    return true;
}

}  // namespace

namespace {

bool StoredDataReadable(hid_t dataset, hid_t create, H5D_layout_t layout, size_t width, hid_t fileSpace);

// What ReadInside checks before it reads the part `fileSpace` selects.
bool PartReadable(hid_t dataset, hid_t fileSpace) {
    // Copied by libhdf5 at each call: asked for once.
    Id create(H5Dget_create_plist(dataset), H5Pclose);
    const uint32_t storage = StorageIn(create.get());
    if (storage != v73::kInside) {
        refusal = storage;
        return false;
    }
    Id stored(H5Dget_type(dataset), H5Tclose);
    if (!HeaderReadable(dataset) || !stored.ok() || !MembersInside(stored.get())) return false;
    const H5D_layout_t layout = H5Pget_layout(create.get());
    return layout >= 0 && StoredDataReadable(dataset, create.get(), layout, H5Tget_size(stored.get()), fileSpace);
}

}  // namespace

herr_t ReadInside(hid_t dataset, hid_t memoryType, hid_t memorySpace, hid_t fileSpace, void* out) {
    if (!PartReadable(dataset, fileSpace)) return -1;
    return H5Dread(dataset, memoryType, memorySpace, fileSpace, TransferList(), out);
}

bool StoredDataSound(hid_t dataset) { return PartReadable(dataset, H5S_ALL); }

void SetRefusal(uint32_t why) { refusal = why; }

uint32_t TakeRefusal() {
    const uint32_t taken = refusal;
    refusal = v73::kInside;
    return taken;
}

namespace {

// ---- attributes ---------------------------------------------------------------

// libhdf5 1.10 decodes an attribute message by the sizes the message gives
// for its name, datatype and dataspace without checking them against the
// message's own size: a damaged size makes it read far past the object
// header it holds (a crash in H5Aexists, H5Aopen and H5Aiterate alike). So
// before libhdf5 looks at an object's attributes, the object header is read
// here from the file and each attribute message must hold what it declares.
// Attributes kept outside the header (dense storage, shared messages) are
// left to libhdf5.

// What an object header may take: more would be no MATLAB object.
constexpr size_t kMaxHeaderChunkBytes = 1 << 20;
constexpr int kMaxHeaderChunks = 64;
constexpr uint16_t kContinuationMessage = 0x10;
constexpr uint16_t kAttributeMessage = 0x0C;
constexpr uint16_t kSymbolTableMessage = 0x11;
constexpr uint16_t kDatatypeMessage = 0x03;
constexpr uint16_t kLayoutMessage = 0x08;

uint64_t LoadLittle(const uint8_t* p, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;) value = value << 8 | p[i];
    return value;
}

// The bytes of the file the object lives in, as its file driver reads them
// (only the worker's own driver: it names the file it holds).
struct RawFile {
    platform::NativeFile native = platform::kNoFile;
    unsigned long fileno = 0;   // libhdf5's number of the open file (new at every open)
    uint64_t base = 0;   // where the HDF5 data starts (after the user block)
    uint64_t end = 0;    // where it ends: the file's size, from the base
    uint64_t allocated = 0;   // the end of the space the file says it uses (its EOA), from the base
    size_t addressBytes = 8, lengthBytes = 8;
    bool sharedTable = false;   // whether the file keeps a table of shared messages
    bool Read(uint64_t address, size_t size, std::vector<uint8_t>& out) const {
        if (size > kMaxHeaderChunkBytes || address > UINT64_MAX - base) return false;
        out.resize(size);
        size_t done = 0;
        while (done < size) {
            const int64_t got = platform::FileSystem().readNativeAt(native, base + address + done, out.data() + done, size - done);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
};

// The file an object lives in: its size always, its bytes only through the
// worker's own driver (raw.native stays kNoFile otherwise). False when
// libhdf5 says neither.
bool RawFileOf(hid_t object, RawFile& raw) {
    Id file(H5Iget_file_id(object), H5Fclose);
    Id access(file.ok() ? H5Fget_access_plist(file.get()) : -1, H5Pclose);
    Id create(file.ok() ? H5Fget_create_plist(file.get()) : -1, H5Pclose);
    hsize_t userBlock = 0, fileBytes = 0;
    if (!access.ok() || !create.ok() || H5Pget_userblock(create.get(), &userBlock) < 0 ||
        H5Fget_filesize(file.get(), &fileBytes) < 0 || fileBytes < userBlock ||
        H5Pget_sizes(create.get(), &raw.addressBytes, &raw.lengthBytes) < 0 || raw.addressBytes > 8 ||
        raw.lengthBytes > 8) {
        return false;
    }
    raw.base = userBlock;
    raw.end = fileBytes - userBlock;
    unsigned sharedIndexes = 0;
    raw.sharedTable = H5Pget_shared_mesg_nindexes(create.get(), &sharedIndexes) >= 0 && sharedIndexes > 0;
    // A file this process writes (a copy being made) is its own: its bytes
    // on disk lag behind what libhdf5 holds of it, and are not checked.
    void* handle = nullptr;
    unsigned intent = 0;
    if (H5Fget_intent(file.get(), &intent) >= 0 && intent == H5F_ACC_RDONLY &&
        H5Pget_driver(access.get()) == DescriptorDriver() && H5Fget_vfd_handle(file.get(), access.get(), &handle) >= 0 &&
        handle != nullptr) {
        raw.native = *static_cast<platform::NativeFile*>(handle);
        const uint64_t allocated = DescriptorAllocatedEnd(handle);
        raw.allocated = allocated > userBlock ? allocated - userBlock : 0;
    }
    return true;
}

// The number of elements a dataspace message of `size` bytes describes, or
// false when its dimensions do not fit in it or overflow.
bool SpacePoints(const uint8_t* space, size_t size, size_t lengthBytes, uint64_t& points) {
    if (size < 4) return false;
    const uint8_t version = space[0], rank = space[1], flags = space[2];
    const size_t dimsAt = version == 1 ? 8 : 4;
    if ((version != 1 && version != 2) || rank > H5S_MAX_RANK) return false;
    const size_t dimsBytes = size_t{rank} * lengthBytes * ((flags & 0x01) != 0 ? 2 : 1);
    if (dimsAt + dimsBytes > size) return false;
    // Version 1 without dimensions is a scalar; version 2 says its kind.
    if (version == 2 && space[3] == 2) return points = 0, true;
    points = 1;
    for (size_t d = 0; d < rank; ++d) {
        if (__builtin_mul_overflow(points, LoadLittle(space + dimsAt + d * lengthBytes, lengthBytes), &points)) {
            return false;
        }
    }
    return true;
}

// libhdf5 copies a global heap object by the size the heap gives it into
// the room the reference's length makes: every object of the collection
// must lie within it, and the one referred to must fill that room exactly.
// A longer one is copied past the room; for a shorter one libhdf5 still
// converts the whole room (its buffers sized by the reference's length:
// gigabytes from a damaged one), most of it never read from the file. The
// last collection found sound is kept (the elements of one attribute share one).
constexpr uint64_t kMaxHeapReferences = 65536;
constexpr uint64_t kMaxCollectionBytes = 1 << 20;

bool HeapObjectSound(const RawFile& raw, uint64_t collection, uint64_t index, uint64_t room) {
    static std::vector<uint8_t> bytes;
    static unsigned long lastFile = 0;
    static uint64_t lastCollection = UINT64_MAX;
    const size_t header = 8 + raw.lengthBytes, objectHeader = 8 + raw.lengthBytes;
    const bool same = lastCollection == collection && lastFile == raw.fileno;
    if (!same) {
        lastCollection = UINT64_MAX;
        if (!raw.Read(collection, header, bytes) || std::memcmp(bytes.data(), "GCOL", 4) != 0 || bytes[4] != 1) {
            return false;
        }
        const uint64_t size = LoadLittle(bytes.data() + 8, raw.lengthBytes);
        if (size < header || size > kMaxCollectionBytes || !raw.Read(collection, static_cast<size_t>(size), bytes)) {
            return false;
        }
        // Objects one after another, walked as libhdf5 walks them: the free
        // space (index 0) counts its own header in its length, and libhdf5
        // 1.10 walks on from it, for ever when that length is 0.
        for (size_t at = header; at + objectHeader <= bytes.size();) {
            const uint64_t id = LoadLittle(bytes.data() + at, 2);
            const uint64_t length = LoadLittle(bytes.data() + at + 8, raw.lengthBytes);
            const uint64_t left = bytes.size() - at;
            if (id != 0 && length > left - objectHeader) return false;
            const uint64_t step = id == 0 ? length : objectHeader + ((length + 7) & ~uint64_t{7});
            if (step == 0 || step > left) return false;
            at += static_cast<size_t>(step);
        }
        lastFile = raw.fileno, lastCollection = collection;
    }
    for (size_t at = header; at + objectHeader <= bytes.size();) {
        const uint64_t id = LoadLittle(bytes.data() + at, 2);
        const uint64_t length = LoadLittle(bytes.data() + at + 8, raw.lengthBytes);
        if (id == 0) break;
        if (id == index) return length == room;
        at += objectHeader + static_cast<size_t>((length + 7) & ~uint64_t{7});
    }
    return false;
}

// Whether an attribute message's name, datatype, dataspace and data fit in
// it, as libhdf5 takes them from it.
bool AttributeMessageSound(const uint8_t* message, size_t size, const RawFile& raw) {
    if (size < 8) return false;
    const uint64_t name = LoadLittle(message + 2, 2), type = LoadLittle(message + 4, 2),
                   space = LoadLittle(message + 6, 2);
    const auto padded = [](uint64_t n) { return (n + 7) & ~uint64_t{7}; };
    uint64_t typeAt = 0, spaceAt = 0, dataAt = 0;
    switch (message[0]) {
        case 1: typeAt = 8 + padded(name), spaceAt = typeAt + padded(type), dataAt = spaceAt + padded(space); break;
        case 2: typeAt = 8 + name, spaceAt = typeAt + type, dataAt = spaceAt + space; break;
        case 3: typeAt = 9 + name, spaceAt = typeAt + type, dataAt = spaceAt + space; break;
        default: return false;
    }
    if (dataAt > size) return false;
    // A shared datatype or dataspace stands elsewhere: left to libhdf5.
    if (message[0] >= 2 && (message[1] & 0x03) != 0) return true;
    if (type < 8) return false;
    // A variable-length type's elements are stored as global heap references.
    const uint8_t typeClass = message[typeAt] & 0x0F;
    const uint64_t width = typeClass == 9 ? 8 + raw.addressBytes : LoadLittle(message + typeAt + 4, 4);
    uint64_t points = 0, data = 0;
    if (!SpacePoints(message + spaceAt, static_cast<size_t>(space), raw.lengthBytes, points) ||
        __builtin_mul_overflow(points, width, &data) || data > size - dataAt) {
        return false;
    }
    if (typeClass != 9) return true;
    // Each variable-length element: its length, then where the global heap
    // keeps its values (a collection and an object's index in it).
    if (type < 16 || points > kMaxHeapReferences) return false;
    const uint64_t baseWidth = LoadLittle(message + typeAt + 12, 4);
    for (uint64_t k = 0; k < points; ++k) {
        const uint8_t* element = message + dataAt + k * width;
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(LoadLittle(element, 4), baseWidth, &bytes) ||
            !HeapObjectSound(raw, LoadLittle(element + 4, raw.addressBytes),
                             LoadLittle(element + 4 + raw.addressBytes, 4), bytes)) {
            return false;
        }
    }
    return true;
}

// Walks the messages of one header chunk: each must fit in it, each
// attribute message must be sound; continuation chunks are collected. A
// group's symbol table must name its B-tree and a sound local heap inside
// the file: libhdf5 1.10 reads a heap at the undefined address from a null
// buffer.
// The element size a chunked layout gives its chunks is kept, as is the
// datatype's: libhdf5 sizes a chunk by the one and copies from it by the other.
struct ElementSizes {
    uint64_t type = 0, chunk = 0;   // 0 while not found
    std::vector<uint8_t> layout;    // the layout message, when there is one
};

uint64_t ChunkElementSize(const uint8_t* layout, size_t size, const RawFile& raw) {
    if (size < 5 || layout[1] != 2) return 0;   // not chunked
    // The last dimension a chunked layout lists is its element size.
    if (layout[0] == 3) {
        const size_t dims = layout[2];
        if (dims == 0) return UINT64_MAX;
        const size_t last = 3 + raw.addressBytes + 4 * (dims - 1);
        return last + 4 <= size ? LoadLittle(layout + last, 4) : UINT64_MAX;
    }
    if (layout[0] == 4) {
        const size_t dims = layout[3], width = layout[4];
        if (dims == 0 || width == 0 || width > 8) return UINT64_MAX;
        const size_t last = 5 + width * (dims - 1);
        return last + width <= size ? LoadLittle(layout + last, width) : UINT64_MAX;
    }
    return 0;
}

// A group's local heap (its link names) must be a heap whose data segment
// lies inside the file: libhdf5 1.10 asks malloc for the segment size the
// heap's header says and copies into the buffer it did not get.
bool LocalHeapSound(const RawFile& raw, uint64_t address) {
    std::vector<uint8_t> heap;
    const size_t segmentAt = 8 + 2 * raw.lengthBytes;
    if (address >= raw.end || !raw.Read(address, segmentAt + raw.addressBytes, heap) ||
        std::memcmp(heap.data(), "HEAP", 4) != 0) {
        return false;
    }
    const uint64_t size = LoadLittle(&heap[8], raw.lengthBytes);
    const uint64_t segment = LoadLittle(&heap[segmentAt], raw.addressBytes);
    return size <= raw.end && segment <= raw.end - size;
}

bool ChunkSound(const RawFile& raw, const std::vector<uint8_t>& chunk, size_t from, size_t to, bool version2,
                bool creationOrder, std::vector<std::pair<uint64_t, uint64_t>>& continuations, ElementSizes& sizes) {
    const size_t prefix = version2 ? 4 + (creationOrder ? 2 : 0) : 8;
    size_t at = from;
    while (at + prefix <= to) {
        const uint16_t type = version2 ? chunk[at] : static_cast<uint16_t>(LoadLittle(&chunk[at], 2));
        const size_t size = static_cast<size_t>(LoadLittle(&chunk[at + (version2 ? 1 : 2)], 2));
        const uint8_t flags = chunk[at + (version2 ? 3 : 4)];
        at += prefix;
        if (size > to - at) return false;
        const bool shared = (flags & 0x02) != 0;
        // A shared message (version 2 on) that says it is kept in the
        // file's table of shared messages, in a file without one: libhdf5
        // 1.10 reads the table from the undefined address.
        if (shared && !raw.sharedTable && size >= 2 && chunk[at] >= 2 && chunk[at + 1] == 1) return false;
        if (type == kAttributeMessage && !shared && !AttributeMessageSound(chunk.data() + at, size, raw)) return false;
        if (type == kSymbolTableMessage && !shared &&
            (size < 2 * raw.addressBytes || LoadLittle(chunk.data() + at, raw.addressBytes) >= raw.end ||
             !LocalHeapSound(raw, LoadLittle(chunk.data() + at + raw.addressBytes, raw.addressBytes)))) {
            return false;
        }
        if (type == kDatatypeMessage && !shared && size >= 8) sizes.type = LoadLittle(chunk.data() + at + 4, 4);
        if (type == kLayoutMessage) {
            sizes.chunk = ChunkElementSize(chunk.data() + at, size, raw);
            sizes.layout.assign(chunk.data() + at, chunk.data() + at + size);
        }
        if (type == kContinuationMessage) {
            if (size < raw.addressBytes + raw.lengthBytes) return false;
            continuations.emplace_back(LoadLittle(chunk.data() + at, raw.addressBytes),
                                       LoadLittle(chunk.data() + at + raw.addressBytes, raw.lengthBytes));
        }
        at += size;
    }
    return true;
}

bool HeaderSound(const RawFile& raw, uint64_t address, std::vector<uint8_t>& layout) {
    std::vector<uint8_t> chunk;
    std::vector<std::pair<uint64_t, uint64_t>> continuations;
    ElementSizes sizes;
    if (!raw.Read(address, 16, chunk)) return false;
    const bool version2 = std::memcmp(chunk.data(), "OHDR", 4) == 0;
    bool creationOrder = false;
    if (version2) {
        const uint8_t flags = chunk[5];
        creationOrder = (flags & 0x04) != 0;
        const size_t sizeAt = 6 + ((flags & 0x20) != 0 ? 16 : 0) + ((flags & 0x10) != 0 ? 4 : 0);
        const size_t sizeBytes = size_t{1} << (flags & 0x03);
        if (!raw.Read(address, sizeAt + sizeBytes, chunk)) return false;
        const uint64_t size = LoadLittle(&chunk[sizeAt], sizeBytes);
        const size_t start = sizeAt + sizeBytes;
        if (size > kMaxHeaderChunkBytes || !raw.Read(address, start + static_cast<size_t>(size), chunk) ||
            !ChunkSound(raw, chunk, start, chunk.size(), true, creationOrder, continuations, sizes)) {
            return false;
        }
    } else {
        if (chunk[0] != 1) return false;
        const uint64_t size = LoadLittle(&chunk[8], 4);
        if (size > kMaxHeaderChunkBytes || !raw.Read(address + 16, static_cast<size_t>(size), chunk) ||
            !ChunkSound(raw, chunk, 0, chunk.size(), false, false, continuations, sizes)) {
            return false;
        }
    }
    for (size_t i = 0; i < continuations.size(); ++i) {
        if (i >= kMaxHeaderChunks) return false;
        const auto [at, size] = continuations[i];
        if (size > kMaxHeaderChunkBytes || !raw.Read(at, static_cast<size_t>(size), chunk)) return false;
        // A version 2 continuation chunk: "OCHK", the messages, a checksum.
        const bool sound = version2 ? chunk.size() >= 8 && std::memcmp(chunk.data(), "OCHK", 4) == 0 &&
                                          ChunkSound(raw, chunk, 4, chunk.size() - 4, true, creationOrder, continuations, sizes)
                                    : ChunkSound(raw, chunk, 0, chunk.size(), false, false, continuations, sizes);
        if (!sound) return false;
    }
    layout = std::move(sizes.layout);
    return sizes.chunk == 0 || sizes.chunk == sizes.type;
}

// What the header check learnt of an object: whether libhdf5 may look at
// its attributes and links, and the size of its file's HDF5 data (sized:
// libhdf5 said it). The last answer is kept: a header's attributes are asked
// for one after another, and a dataset's size is wanted before its data.
struct HeaderCheck {
    bool sound = false;
    bool sized = false;
    uint64_t dataBytes = 0;
    std::vector<uint8_t> layout;   // the dataset's layout message, as stored
    const RawFile* raw = nullptr;  // the file's bytes, when this process can read them
    unsigned long fileno = 0;      // the object: libhdf5's number of its open file, its address
    haddr_t address = HADDR_UNDEF;
};

HeaderCheck& LastCheck() {
    static HeaderCheck last;
    return last;
}

// The check of the header at `address` in the file numbered `fileno`, which
// `inFile` (any object of it) lies in.
const HeaderCheck& CheckAt(hid_t inFile, unsigned long fileno, haddr_t address) {
    HeaderCheck& last = LastCheck();
    if (last.address != HADDR_UNDEF && fileno == last.fileno && address == last.address) return last;
    // What the file says of itself is asked once per open file (its number
    // is new at every open): libhdf5 copies both property lists to say it.
    static RawFile raw;
    static bool rawKnown = false, sized = false;
    if (!rawKnown || raw.fileno != fileno) {
        raw = RawFile{};
        raw.fileno = fileno;
        sized = RawFileOf(inFile, raw);
        rawKnown = true;
    }
    last.sized = sized;
    last.dataBytes = raw.end;
    // Through another driver (a path libhdf5 opens itself: the bench) unchecked.
    last.layout.clear();
    last.sound = !sized || raw.native == platform::kNoFile || HeaderSound(raw, address, last.layout);
    last.raw = sized && raw.native != platform::kNoFile ? &raw : nullptr;
    last.fileno = fileno, last.address = address;
    return last;
}

const HeaderCheck& CheckHeader(hid_t object) {
    H5O_info_t info;
    if (H5Oget_info2(object, &info, H5O_INFO_BASIC) < 0) {
        LastCheck() = HeaderCheck{};
        return LastCheck();
    }
    return CheckAt(object, info.fileno, info.addr);
}

// Whether the object libhdf5 describes in `object`, found from `loc`, may
// be opened: its header is sound.
bool Openable(hid_t loc, const H5O_info_t& object) { return CheckAt(loc, object.fileno, object.addr).sound; }

// Whether the header at `address`, in the file `from` lies in, may be opened.
bool TargetSound(hid_t from, haddr_t address) {
    H5O_info_t info;
    return H5Oget_info2(from, &info, H5O_INFO_BASIC) >= 0 && CheckAt(from, info.fileno, address).sound;
}

// Nodes of one chunk index walked at most: 64 chunks a node, so 2^26 chunks.
constexpr size_t kMaxIndexNodes = size_t{1} << 20;
// Chunks listed through libhdf5 for a layout this code does not walk (each
// listing walks the index from its start).
constexpr hsize_t kMaxListedChunks = 4096;

struct StoredChunk {
    uint64_t address = 0, bytes = 0;   // from the file's base
    uint32_t skipped = 0;              // the filter mask: a bit for each filter not applied
    hsize_t first[H5S_MAX_RANK] = {};  // the chunk's first element
};
using EachChunk = std::function<bool(const StoredChunk&)>;

// Calls `each` for every chunk of a layout message (versions 1 to 3) that
// keeps them in a version 1 B-tree; false when the tree is damaged, true
// for any other layout (`walked` says which).
bool WalkChunkTree(const RawFile& raw, const std::vector<uint8_t>& layout, bool& walked, const EachChunk& each) {
    walked = false;
    if (layout.size() < 3 || layout[0] > 3) return true;
    const bool early = layout[0] < 3;
    if ((early ? layout[2] : layout[1]) != 2) return true;   // not chunked
    walked = true;
    const size_t dimensionality = early ? layout[1] : layout[2], at = early ? 8 : 3;
    const size_t addressBytes = raw.addressBytes;
    if (dimensionality == 0 || at + addressBytes > layout.size()) return false;
    const uint64_t root = LoadLittle(layout.data() + at, addressBytes);
    const uint64_t undefined = addressBytes >= 8 ? UINT64_MAX : (uint64_t{1} << (8 * addressBytes)) - 1;
    if (root == undefined) return true;   // no chunk written yet
    // A node: "TREE", type 1, its level, its entries, two siblings; then a
    // key (size, filter mask, offsets) before each child and one after.
    const size_t keyBytes = 8 + 8 * dimensionality, headerBytes = 8 + 2 * addressBytes;
    std::vector<std::pair<uint64_t, int>> pending{{root, -1}};   // node, the level it must have (-1: any)
    std::vector<uint8_t> node;
    size_t visited = 0;
    while (!pending.empty()) {
        const auto [address, level] = pending.back();
        pending.pop_back();
        if (++visited > kMaxIndexNodes || !raw.Read(address, headerBytes, node) || std::memcmp(node.data(), "TREE", 4) != 0 ||
            node[4] != 1 || (level >= 0 && node[5] != level)) {
            return false;
        }
        const int nodeLevel = node[5];
        const size_t entries = static_cast<size_t>(LoadLittle(&node[6], 2));
        if (!raw.Read(address, headerBytes + entries * (keyBytes + addressBytes) + keyBytes, node)) return false;
        for (size_t i = 0; i < entries; ++i) {
            const uint8_t* key = node.data() + headerBytes + i * (keyBytes + addressBytes);
            const uint64_t child = LoadLittle(key + keyBytes, addressBytes);
            if (nodeLevel > 0) {
                pending.emplace_back(child, nodeLevel - 1);
                continue;
            }
            StoredChunk chunk{child, LoadLittle(key, 4), static_cast<uint32_t>(LoadLittle(key + 4, 4))};
            for (size_t d = 0; d + 1 < dimensionality && d < H5S_MAX_RANK; ++d) chunk.first[d] = LoadLittle(key + 8 + 8 * d, 8);
            if (!each(chunk)) return false;
        }
    }
    return true;
}

// The same through libhdf5, for the later layouts: at most kMaxListedChunks.
// (libhdf5 1.10 gives a chunk's address from the file's base, as the tree does.)
bool ListChunks(hid_t dataset, const EachChunk& each) {
    Id space(H5Dget_space(dataset), H5Sclose);   // (libhdf5 1.10 takes no H5S_ALL here)
    hsize_t count = 0;
    if (!space.ok() || H5Dget_num_chunks(dataset, space.get(), &count) < 0 || count > kMaxListedChunks) return false;
    for (hsize_t i = 0; i < count; ++i) {
        StoredChunk chunk;
        unsigned skipped = 0;
        haddr_t address = HADDR_UNDEF;
        hsize_t bytes = 0;
        if (H5Dget_chunk_info(dataset, space.get(), i, chunk.first, &skipped, &address, &bytes) < 0 || address == HADDR_UNDEF) {
            return false;
        }
        chunk.address = address, chunk.bytes = bytes, chunk.skipped = skipped;
        if (!each(chunk)) return false;
    }
    return true;
}

// The bytes a deflate stream of `bytes` at `address` inflates to, read in
// pieces; false when it is damaged or gives more than `most`.
bool InflatedSize(const RawFile& raw, uint64_t address, uint64_t bytes, uint64_t most, uint64_t& size) {
    constexpr size_t kPiece = 64 * 1024;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    // Kept from chunk to chunk: a chunk is often far smaller than a piece.
    static std::vector<uint8_t> in, out(kPiece);
    uint64_t read = 0;
    size = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.avail_in == 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPiece, bytes - read));
            if (piece == 0 || !raw.Read(address + read, piece, in)) break;
            read += piece;
            stream.next_in = in.data();
            stream.avail_in = static_cast<uInt>(piece);
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        status = inflate(&stream, Z_NO_FLUSH);
        size += out.size() - stream.avail_out;
        if (size > most) break;
        if (status == Z_BUF_ERROR && stream.avail_in == 0) status = Z_OK;   // wants the next piece
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END && size <= most;
}

// Whether one stored chunk decodes to exactly `chunkBytes` through the
// filters (in their order of writing) that its mask does not skip. libhdf5
// (1.10) hands a chunk the buffer its last filter returns, as long as the
// data decoded, and then copies a whole chunk out of it; an unfiltered
// chunk bigger than the chunk cache is read straight from the file through
// a buffer clipped to the file's allocated end.
bool ChunkDecodes(const RawFile& raw, const StoredChunk& chunk, const std::vector<H5Z_filter_t>& filters, uint64_t chunkBytes) {
    // (A chunk that no filter decodes is then as long as a whole chunk.)
    if (chunk.address > raw.allocated || raw.allocated - chunk.address < chunk.bytes) return false;
    uint64_t size = chunk.bytes;
    bool stored = true;   // the data so far: the stored bytes (or the first of them)
    for (size_t i = filters.size(); i-- > 0;) {
        if (i < 32 && (chunk.skipped >> i & 1) != 0) continue;
        if (filters[i] == H5Z_FILTER_FLETCHER32) {   // a checksum after the data
            if (size < 4) return false;
            size -= 4;
        } else if (filters[i] == H5Z_FILTER_DEFLATE) {
            uint64_t inflated = 0;
            if (!stored || !InflatedSize(raw, chunk.address, size, chunkBytes, inflated)) return false;
            size = inflated, stored = false;
        } else {   // shuffle: the same bytes in another order
            stored = false;
        }
    }
    return size == chunkBytes;
}

// Whether libhdf5 can read the part `fileSpace` selects of `dataset`'s
// stored data without leaving its buffers. Only the chunks that part
// touches are decoded, each once per open file (a dataset read whole once
// is not walked again).
bool StoredDataReadable(hid_t dataset, hid_t create, H5D_layout_t layout, size_t width, hid_t fileSpace) {
    const HeaderCheck& header = CheckHeader(dataset);
    Id space(H5Dget_space(dataset), H5Sclose);
    const int rank = space.ok() ? H5Sget_simple_extent_ndims(space.get()) : -1;
    const hssize_t points = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
    uint64_t needed = 0;
    if (rank < 0 || points < 0 || width == 0 || __builtin_mul_overflow(static_cast<uint64_t>(points), width, &needed)) {
        return false;
    }
    // libhdf5 (1.10) copies compact data by the dataspace's size, from its
    // own copy of the object header.
    if (layout == H5D_COMPACT) return H5Dget_storage_size(dataset) >= needed;
    const RawFile* raw = header.raw;
    if (raw == nullptr) return true;   // through another driver (the bench): unchecked
    if (layout == H5D_CONTIGUOUS) {
        // Read through a buffer clipped to the allocated end: the data must
        // lie before it, and be as long as the dataspace says.
        const haddr_t offset = H5Dget_offset(dataset);
        if (offset == HADDR_UNDEF) return true;   // not written yet: fill values
        const uint64_t stored = H5Dget_storage_size(dataset);
        return offset >= raw->base && stored >= needed && offset - raw->base <= raw->allocated &&
               stored <= raw->allocated - (offset - raw->base);
    }
    if (layout != H5D_CHUNKED) return true;
    static unsigned long checkedFile = 0;
    static std::set<haddr_t> wholeDatasets;
    static std::set<uint64_t> chunksDecoded;
    if (checkedFile != header.fileno) wholeDatasets.clear(), chunksDecoded.clear(), checkedFile = header.fileno;
    if (wholeDatasets.count(header.address) != 0) return true;
    hsize_t chunk[H5S_MAX_RANK], start[H5S_MAX_RANK], end[H5S_MAX_RANK];
    if (rank == 0 || rank > H5S_MAX_RANK || H5Pget_chunk(create, rank, chunk) != rank) return false;
    // The box around what is read (the whole for H5S_ALL or a whole selection).
    bool whole = fileSpace == H5S_ALL;
    if (!whole) {
        const hssize_t selected = H5Sget_select_npoints(fileSpace);
        if (selected < 0) return false;
        if (selected == 0) return true;
        if (H5Sget_select_bounds(fileSpace, start, end) < 0) return false;
        whole = selected == points;
    }
    uint64_t chunkBytes = width;
    for (int d = 0; d < rank; ++d) {
        if (chunk[d] == 0 || __builtin_mul_overflow(chunkBytes, chunk[d], &chunkBytes)) return false;
    }
    // The filters whose effect on a chunk's size is known.
    const int count = H5Pget_nfilters(create);
    if (count < 0) return false;
    std::vector<H5Z_filter_t> filters;
    for (int i = 0; i < count; ++i) {
        unsigned flags = 0, config = 0;
        size_t values = 0;
        const H5Z_filter_t id = H5Pget_filter2(create, static_cast<unsigned>(i), &flags, &values, nullptr, 0, nullptr, &config);
        if (id != H5Z_FILTER_DEFLATE && id != H5Z_FILTER_SHUFFLE && id != H5Z_FILTER_FLETCHER32) return false;
        filters.push_back(id);
    }
    const EachChunk each = [&](const StoredChunk& stored) {
        if (!whole) {
            // libhdf5 places a chunk by its first element divided by the
            // chunk's size (so does this); it reads the chunks the box meets.
            for (int d = 0; d < rank; ++d) {
                const hsize_t first = stored.first[d] - stored.first[d] % chunk[d];
                if (first > end[d] || first + chunk[d] <= start[d]) return true;   // not read
            }
            if (chunksDecoded.count(stored.address) != 0) return true;
        }
        if (!ChunkDecodes(*raw, stored, filters, chunkBytes)) return false;
        if (!whole) chunksDecoded.insert(stored.address);
        return true;
    };
    bool walked = false;
    if (!WalkChunkTree(*raw, header.layout, walked, each) || (!walked && !ListChunks(dataset, each))) return false;
    if (whole) wholeDatasets.insert(header.address);
    return true;
}

}  // namespace

bool HeaderReadable(hid_t object) { return CheckHeader(object).sound; }

bool StoredChunkOrigins(hid_t dataset, size_t rank, std::vector<hsize_t>& origins) {
    origins.clear();
    if (rank == 0 || rank > H5S_MAX_RANK) return false;
    const HeaderCheck& header = CheckHeader(dataset);
    if (!header.sound) return false;
    // (The check is this process's last one: what it holds is copied first.)
    const std::vector<uint8_t> layout = header.layout;
    const RawFile* raw = header.raw;
    const EachChunk each = [&](const StoredChunk& chunk) {
        origins.insert(origins.end(), chunk.first, chunk.first + rank);
        return true;
    };
    bool walked = false;
    if (raw != nullptr && !WalkChunkTree(*raw, layout, walked, each)) return false;
    return walked || ListChunks(dataset, each);
}

hid_t OpenLinked(hid_t loc, const char* name) {
    H5O_info_t info;
    const bool openable = H5Oget_info_by_name2(loc, name, &info, H5O_INFO_BASIC, InsideLinks()) >= 0 && Openable(loc, info);
    return openable ? H5Oopen(loc, name, InsideLinks()) : -1;
}

hid_t OpenLinkedDataset(hid_t loc, const char* name) {
    H5O_info_t info;
    const bool openable = H5Oget_info_by_name2(loc, name, &info, H5O_INFO_BASIC, InsideLinks()) >= 0 &&
                          info.type == H5O_TYPE_DATASET && Openable(loc, info);
    return openable ? H5Dopen2(loc, name, InsideDatasets()) : -1;
}

hid_t OpenReferenced(hid_t dataset, const hobj_ref_t& reference) {
    return TargetSound(dataset, reference) ? H5Rdereference2(dataset, H5P_DEFAULT, H5R_OBJECT, &reference) : -1;
}

htri_t AttributeExists(hid_t object, const char* name) {
    return HeaderReadable(object) ? H5Aexists(object, name) : -1;
}

namespace {

// A string attribute (fixed length or variable), or false when absent or no
// short string.
bool StringAttribute(hid_t object, const char* name, std::string& out) {
    if (AttributeExists(object, name) <= 0) return false;
    Id attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    if (!attribute.ok()) return false;
    Id type(H5Aget_type(attribute.get()), H5Tclose);
    Id space(H5Aget_space(attribute.get()), H5Sclose);
    if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_STRING ||
        H5Sget_simple_extent_npoints(space.get()) != 1) {
        return false;
    }
    Id memory(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!memory.ok()) return false;
    if (H5Tis_variable_str(type.get()) > 0) {
        char* text = nullptr;
        if (H5Tset_size(memory.get(), H5T_VARIABLE) < 0 || H5Aread(attribute.get(), memory.get(), &text) < 0 ||
            text == nullptr) {
            return false;
        }
        const size_t length = strnlen(text, kMaxClassNameLength + 1);
        const bool fits = length <= kMaxClassNameLength;
        if (fits) out.assign(text, length);
        H5free_memory(text);
        return fits;
    }
    const size_t size = H5Tget_size(type.get());
    if (size == 0 || size > kMaxClassNameLength) return false;
    std::vector<char> text(size + 1, '\0');
    if (H5Tset_size(memory.get(), size + 1) < 0 || H5Aread(attribute.get(), memory.get(), text.data()) < 0) {
        return false;
    }
    out.assign(text.data(), strnlen(text.data(), size));
    return true;
}

// A one-value integer attribute, or `missing` when absent or of another kind.
uint64_t IntegerAttribute(hid_t object, const char* name, uint64_t missing) {
    if (AttributeExists(object, name) <= 0) return missing;
    Id attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    if (!attribute.ok()) return missing;
    Id type(H5Aget_type(attribute.get()), H5Tclose);
    Id space(H5Aget_space(attribute.get()), H5Sclose);
    uint64_t value = 0;
    if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_INTEGER ||
        H5Sget_simple_extent_npoints(space.get()) != 1 ||
        H5Aread(attribute.get(), H5T_NATIVE_UINT64, &value) < 0) {
        return missing;
    }
    return value;
}

// ---- classes and dimensions -------------------------------------------------------

struct ClassName {
    const char* name;
    mxClassID id;
};
constexpr ClassName kClasses[] = {
    {"double", mxDOUBLE_CLASS}, {"single", mxSINGLE_CLASS}, {"int8", mxINT8_CLASS},
    {"uint8", mxUINT8_CLASS},   {"int16", mxINT16_CLASS},   {"uint16", mxUINT16_CLASS},
    {"int32", mxINT32_CLASS},   {"uint32", mxUINT32_CLASS}, {"int64", mxINT64_CLASS},
    {"uint64", mxUINT64_CLASS}, {"char", mxCHAR_CLASS},     {"logical", mxLOGICAL_CLASS},
    {"cell", mxCELL_CLASS},     {"struct", mxSTRUCT_CLASS}, {"function_handle", mxFUNCTION_CLASS},
    // MATLAB's [] inside a cell or struct: 0x0 double in a level-5 file.
    {"canonical empty", mxDOUBLE_CLASS},
};

mxClassID ClassOfName(const std::string& name) {
    for (const ClassName& c : kClasses) {
        if (name == c.name) return c.id;
    }
    return mxUNKNOWN_CLASS;
}

// The class of a dataset that carries no MATLAB_class (written by a plain
// HDF5 program): its stored numbers.
mxClassID ClassOfType(hid_t type) {
    const size_t size = H5Tget_size(type);
    switch (H5Tget_class(type)) {
        case H5T_FLOAT: return size == 4 ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
        case H5T_INTEGER: {
            const bool isSigned = H5Tget_sign(type) == H5T_SGN_2;
            switch (size) {
                case 1: return isSigned ? mxINT8_CLASS : mxUINT8_CLASS;
                case 2: return isSigned ? mxINT16_CLASS : mxUINT16_CLASS;
                case 4: return isSigned ? mxINT32_CLASS : mxUINT32_CLASS;
                case 8: return isSigned ? mxINT64_CLASS : mxUINT64_CLASS;
                default: return mxUNKNOWN_CLASS;
            }
        }
        case H5T_REFERENCE: return mxCELL_CLASS;
        default: return mxUNKNOWN_CLASS;
    }
}

// The type libhdf5 converts the class's elements into: its own C type.
hid_t MemoryType(mxClassID id) {
    switch (id) {
        case mxDOUBLE_CLASS: return H5T_NATIVE_DOUBLE;
        case mxSINGLE_CLASS: return H5T_NATIVE_FLOAT;
        case mxINT8_CLASS: return H5T_NATIVE_INT8;
        case mxUINT8_CLASS: case mxLOGICAL_CLASS: return H5T_NATIVE_UINT8;
        case mxINT16_CLASS: return H5T_NATIVE_INT16;
        case mxUINT16_CLASS: case mxCHAR_CLASS: return H5T_NATIVE_UINT16;
        case mxINT32_CLASS: return H5T_NATIVE_INT32;
        case mxUINT32_CLASS: return H5T_NATIVE_UINT32;
        case mxINT64_CLASS: return H5T_NATIVE_INT64;
        case mxUINT64_CLASS: return H5T_NATIVE_UINT64;
        default: return -1;
    }
}

bool IsComplexType(hid_t type) {
    return H5Tget_class(type) == H5T_COMPOUND && H5Tget_nmembers(type) == 2 &&
           H5Tget_member_index(type, "real") >= 0 && H5Tget_member_index(type, "imag") >= 0;
}

// The dataspace's dimensions in C order; false for more than MATLAB could
// hold or a null dataspace. A scalar has none.
bool SpaceDims(hid_t space, std::vector<hsize_t>& out) {
    const H5S_class_t kind = H5Sget_simple_extent_type(space);
    out.clear();
    if (kind == H5S_SCALAR) return true;
    if (kind != H5S_SIMPLE) return false;
    const int rank = H5Sget_simple_extent_ndims(space);
    if (rank < 0 || static_cast<size_t>(rank) > kMaxDimensions) return false;
    out.resize(static_cast<size_t>(rank));
    return rank == 0 || H5Sget_simple_extent_dims(space, out.data(), nullptr) == rank;
}

// MATLAB's dimensions: at least two, trailing singletons beyond the second
// dropped, their product within size_t.
bool SetMatlabDims(mxArray& array, std::vector<mwSize> dims) {
    while (dims.size() < 2) dims.push_back(1);
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    size_t product = 1;
    for (mwSize d : dims) {
        if (__builtin_mul_overflow(product, d, &product)) return false;
    }
    array.dims = std::move(dims);
    return true;
}

bool DimsOfSpace(hid_t space, mxArray& array) {
    std::vector<hsize_t> c;
    if (!SpaceDims(space, c)) return false;
    return SetMatlabDims(array, std::vector<mwSize>(c.rbegin(), c.rend()));
}


// Up to `limit` values of a small dataset, converted to uint64.
bool SmallValues(hid_t dataset, hssize_t limit, std::vector<uint64_t>& out) {
    Id space(H5Dget_space(dataset), H5Sclose);
    if (!space.ok()) return false;
    const hssize_t n = H5Sget_simple_extent_npoints(space.get());
    if (n < 0 || n > limit) return false;
    out.resize(static_cast<size_t>(n));
    return n == 0 || ReadInside(dataset, H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, out.data()) >= 0;
}

hssize_t PointsOf(hid_t object, const char* child) {
    if (H5Lexists(object, child, InsideLinks()) <= 0) return -1;
    Id dataset(OpenLinkedDataset(object, child), H5Dclose);
    if (!dataset.ok()) return -1;
    Id space(H5Dget_space(dataset.get()), H5Sclose);
    return space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
}

// A struct array keeps each field as a dataset of references shaped like
// the array (without a class of its own); a 1-by-1 struct keeps the values
// themselves.
bool StructDims(hid_t group, mxArray& array) {
    H5G_info_t info;
    if (!HeaderReadable(group) || H5Gget_info(group, &info) < 0) return false;
    if (info.nlinks > 0) {
        H5O_info_t at;
        const bool openable =
            H5Oget_info_by_idx2(group, ".", H5_INDEX_NAME, H5_ITER_INC, 0, &at, H5O_INFO_BASIC, InsideLinks()) >= 0 &&
            Openable(group, at);
        Id first(openable ? H5Oopen_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, 0, InsideLinks()) : -1, H5Oclose);
        if (first.ok() && H5Iget_type(first.get()) == H5I_DATASET && AttributeExists(first.get(), "MATLAB_class") == 0) {
            Id type(H5Dget_type(first.get()), H5Tclose);
            Id space(H5Dget_space(first.get()), H5Sclose);
            if (type.ok() && space.ok() && H5Tget_class(type.get()) == H5T_REFERENCE) {
                return DimsOfSpace(space.get(), array);
            }
        }
    }
    return SetMatlabDims(array, {1, 1});
}

bool ReadGroupHeader(hid_t group, mxArray& array) {
    const uint64_t rows = IntegerAttribute(group, "MATLAB_sparse", UINT64_MAX);
    if (rows != UINT64_MAX) {
        // Sparse: rows from the attribute, columns from jc (one start per
        // column and the end), nzmax from ir.
        const hssize_t starts = PointsOf(group, "jc");
        const hssize_t stored = PointsOf(group, "ir");
        if (starts < 1 || (array.classId != mxDOUBLE_CLASS && array.classId != mxLOGICAL_CLASS)) return false;
        array.sparse = true;
        array.nzmax = stored > 0 ? static_cast<size_t>(stored) : 0;
        if (H5Lexists(group, "data", InsideLinks()) > 0) {
            Id data(OpenLinkedDataset(group, "data"), H5Dclose);
            Id type(data.ok() ? H5Dget_type(data.get()) : -1, H5Tclose);
            array.complex = type.ok() && IsComplexType(type.get());
        }
        return SetMatlabDims(array, {rows, static_cast<mwSize>(starts - 1)});
    }
    if (array.classId == mxUNKNOWN_CLASS && array.className.empty()) array.classId = mxSTRUCT_CLASS;
    if (array.classId == mxUNKNOWN_CLASS) array.classId = mxOBJECT_CLASS;   // an object with fields
    if (array.classId == mxSTRUCT_CLASS || array.classId == mxOBJECT_CLASS) return StructDims(group, array);
    return SetMatlabDims(array, {1, 1});
}

bool ReadDatasetHeader(hid_t dataset, mxArray& array) {
    Id type(H5Dget_type(dataset), H5Tclose);
    Id space(H5Dget_space(dataset), H5Sclose);
    if (!type.ok() || !space.ok()) return false;
    if (array.className.empty()) array.classId = ClassOfType(type.get());
    if (IntegerAttribute(dataset, "MATLAB_empty", 0) != 0) {
        // The dataset holds the dimensions, in MATLAB's order.
        std::vector<uint64_t> dims;
        if (!SmallValues(dataset, kMaxDimensions, dims)) return false;
        array.nzmax = 0;
        if (IntegerAttribute(dataset, "MATLAB_sparse", UINT64_MAX) != UINT64_MAX) array.sparse = true;
        return SetMatlabDims(array, std::vector<mwSize>(dims.begin(), dims.end()));
    }
    array.complex = IsComplexType(type.get());
    if (array.classId == mxUNKNOWN_CLASS && !array.className.empty()) {
        // An object (string, datetime, table ...): its values are in the
        // subsystem data; the dataset is its metadata, which gives its size.
        array.classId = mxOPAQUE_CLASS;
        std::vector<uint64_t> meta;
        if (SmallValues(dataset, kMaxObjectMetadata, meta) && meta.size() >= 4 && meta[0] == kObjectMarker &&
            meta[1] >= 2 && meta[1] <= kMaxDimensions && meta[1] + 2 <= meta.size()) {
            return SetMatlabDims(array, std::vector<mwSize>(meta.begin() + 2, meta.begin() + 2 + meta[1]));
        }
        return SetMatlabDims(array, {1, 1});
    }
    return DimsOfSpace(space.get(), array);
}

}  // namespace

bool ObjectHeader(hid_t object, mxArray& array) {
    const H5I_type_t kind = H5Iget_type(object);
    array.className.clear();
    if (StringAttribute(object, "MATLAB_class", array.className)) {
        array.classId = ClassOfName(array.className);
    }
    array.logical = array.classId == mxLOGICAL_CLASS;
    array.global = IntegerAttribute(object, "MATLAB_global", 0) != 0;
    bool ok = false;
    if (kind == H5I_GROUP) ok = ReadGroupHeader(object, array);
    if (kind == H5I_DATASET) ok = ReadDatasetHeader(object, array);
    if (!ok) return false;
    // Objects keep the class name the file gives; every other class its own.
    const bool isObject = array.classId == mxOPAQUE_CLASS || array.classId == mxOBJECT_CLASS;
    if (!isObject || array.className.empty()) array.className = OwnClassName(array.classId);
    if (array.className.empty()) array.className = "unknown";   // no MATLAB class, no numbers
    return true;
}

namespace {

HeaderStatus ReadObjectHeader(const File& file, uint64_t index, mxArray& array) {
    const std::string& name = file.names[index];
    Id object(OpenLinked(file.file, name.c_str()), H5Oclose);
    if (!object.ok() || !ObjectHeader(object.get(), array)) return HeaderStatus::Damaged;
    array.name = name;
    return HeaderStatus::Ok;
}

// ---- data ---------------------------------------------------------------------------

}  // namespace

hid_t PartType(mxClassID id, bool complex, int part) {
    const hid_t element = MemoryType(id);
    if (element < 0 || !complex) return part == 0 ? H5Tcopy(element) : -1;
    const hid_t compound = H5Tcreate(H5T_COMPOUND, H5Tget_size(element));
    if (compound < 0) return -1;
    if (H5Tinsert(compound, part == 0 ? "real" : "imag", 0, element) < 0) {
        H5Tclose(compound);
        return -1;
    }
    return compound;
}

namespace {

// A damaged dataspace may claim terabytes of elements, which libhdf5 would
// read (as fill values past what is stored) into memory asked for first.
// The memory is asked for only when the data the file stores could make
// that many: inflated at most as far as deflate goes, plus what a dataset
// without stored data may reasonably hold as its fill value. The stored
// size is the layout message's own for contiguous data, so a damaged one is
// taken no larger than the file's HDF5 data.
constexpr uint64_t kMaxInflation = 1032;
constexpr uint64_t kMaxUnstoredBytes = 64 * 1024 * 1024;

bool StoredDataCouldHold(hid_t dataset, uint64_t count) {
    // (The header check is the dataset's next anyway, before its data is read.)
    const HeaderCheck& header = CheckHeader(dataset);
    if (!header.sized) return false;
    const uint64_t fileBytes = header.dataBytes;
    Id type(H5Dget_type(dataset), H5Tclose);
    const size_t width = type.ok() ? H5Tget_size(type.get()) : 0;
    const uint64_t stored = std::min<uint64_t>(H5Dget_storage_size(dataset), fileBytes);
    uint64_t needed = 0, most = 0;
    if (width == 0 || __builtin_mul_overflow(count, uint64_t{width}, &needed)) return false;
    return __builtin_mul_overflow(stored, kMaxInflation, &most) || __builtin_add_overflow(most, kMaxUnstoredBytes, &most) ||
           needed <= most;
}

// Reads every element of one part of `dataset` as the class's own type.
bool ReadWhole(hid_t dataset, mxClassID id, bool complex, int part, size_t count, std::vector<uint8_t>& out) {
    Id space(H5Dget_space(dataset), H5Sclose);
    if (!space.ok() || H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(count) ||
        !StoredDataCouldHold(dataset, count)) {
        return false;
    }
    Id type(PartType(id, complex, part), H5Tclose);
    if (!type.ok()) return false;
    const size_t width = ClassElementSize(id);
    size_t bytes = 0;
    if (__builtin_mul_overflow(count, width, &bytes)) return false;
    out.resize(bytes);
    return count == 0 || ReadInside(dataset, type.get(), H5S_ALL, H5S_ALL, out.data()) >= 0;
}

bool ReadIndexes(hid_t group, const char* name, size_t count, std::vector<size_t>& out) {
    if (count == 0 && H5Lexists(group, name, InsideLinks()) <= 0) {
        out.clear();
        return true;
    }
    Id dataset(OpenLinkedDataset(group, name), H5Dclose);
    Id space(dataset.ok() ? H5Dget_space(dataset.get()) : -1, H5Sclose);
    if (!space.ok() || H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(count) ||
        !StoredDataCouldHold(dataset.get(), count)) {
        return false;
    }
    std::vector<uint64_t> values(count);
    if (count > 0 && ReadInside(dataset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, values.data()) < 0) {
        return false;
    }
    out.assign(values.begin(), values.end());
    return true;
}

bool DecodeSparse(hid_t group, const mxArray& array, DecodedData& out) {
    const size_t columns = mxGetN(&array);
    if (columns == SIZE_MAX || !ReadIndexes(group, "jc", columns + 1, out.jc) ||
        !ReadIndexes(group, "ir", array.nzmax, out.ir)) {
        return false;
    }
    // (The reader checks that ir and jc are sound.)
    if (array.nzmax == 0) return true;
    Id data(OpenLinkedDataset(group, "data"), H5Dclose);
    if (!data.ok() || !ReadWhole(data.get(), array.classId, array.complex, 0, array.nzmax, out.real)) return false;
    return !array.complex || ReadWhole(data.get(), array.classId, true, 1, array.nzmax, out.imag);
}


struct ListState {
    std::vector<std::string>* names;
    bool tooMany = false;
};

herr_t CollectName(hid_t, const char* name, const H5L_info_t* info, void* data) {
    auto* state = static_cast<ListState*>(data);
    // Only hard links are variables: a soft or external link could lead
    // anywhere, another file included.
    if (name[0] == '#' || info->type != H5L_TYPE_HARD) return 0;
    if (state->names->size() >= kMaxVariables) {
        state->tooMany = true;
        return 1;
    }
    try {
        state->names->emplace_back(name);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

constexpr char kReferencesGroup[] = "#refs#";
constexpr char kSubsystemGroup[] = "#subsystem#";

// Whether a variable of this class may hold objects, whose values live in
// the file's subsystem data.
bool MayHoldObjects(mxClassID id) {
    return id == mxCELL_CLASS || id == mxSTRUCT_CLASS || id == mxOBJECT_CLASS || id == mxOPAQUE_CLASS ||
           id == mxFUNCTION_CLASS;
}

}  // namespace

FilePtr Open(const std::string& name, hid_t driver) {
    QuietErrors();
    // A file names the filters its data went through; none is loaded from
    // outside libhdf5 on a file's word.
    H5PLset_loading_state(0);
    FilePtr file(new File);
    Id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    // Closing the file closes whatever was opened in it. No HDF5 file lock:
    // a file open in the file manager must not keep MATLAB from saving it, nor
    // take the lock that a deletion takes (whether the file changed is
    // checked as for every other file).
    if (!access.ok() || H5Pset_fclose_degree(access.get(), H5F_CLOSE_STRONG) < 0 ||
        H5Pset_file_locking(access.get(), false, true) < 0 ||
        (driver >= 0 && H5Pset_driver(access.get(), driver, nullptr) < 0)) {
        return nullptr;
    }
    file->file = H5Fopen(name.c_str(), H5F_ACC_RDONLY, access.get());
    if (file->file < 0) return nullptr;
    Id root(H5Gopen2(file->file, "/", H5P_DEFAULT), H5Gclose);
    ListState state{&file->names};
    if (!root.ok() || !HeaderReadable(root.get()) ||
        H5Literate(root.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectName, &state) < 0 || state.tooMany) {
        return nullptr;
    }
    return file;
}

const std::vector<std::string>& Names(const File& file) { return file.names; }

HeaderStatus ReadHeader(File& file, uint64_t index, mxArray& array) {
    if (index >= file.names.size()) return HeaderStatus::End;
    const HeaderStatus status = ReadObjectHeader(file, index, array);
    if (status != HeaderStatus::Ok) return status;
    array.elementOffset = index;
    return HeaderStatus::Ok;
}

uint32_t CheckInside(File& file, const mxArray& array) {
    uint32_t found = ScanObject(file.file, array.name.c_str());
    // Cells, structs and objects also hold references, whose targets are in
    // #refs#: that group is checked whole, once.
    if (found == v73::kInside && MayHoldObjects(array.classId)) {
        if (file.referencesChecked < 0) {
            file.referencesChecked = H5Lexists(file.file, kReferencesGroup, InsideLinks()) > 0
                                         ? static_cast<int64_t>(ScanObject(file.file, kReferencesGroup))
                                         : int64_t{v73::kInside};
        }
        found = static_cast<uint32_t>(file.referencesChecked);
    }
    return found;
}

uint32_t Verify(File& file, const mxArray& array) { return VerifyVariable(file.file, array); }

bool Decode(File& file, const mxArray& array, DecodedData& out) {
    Id object(OpenLinked(file.file, array.name.c_str()), H5Oclose);
    if (!object.ok()) return false;
    const size_t count = mxGetNumberOfElements(&array);
    if (array.sparse) {
        if (count == 0 && H5Iget_type(object.get()) == H5I_DATASET) {
            out.jc.assign(mxGetN(&array) + 1, 0);   // an empty sparse array: no columns hold anything
            return true;
        }
        return H5Iget_type(object.get()) == H5I_GROUP && DecodeSparse(object.get(), array, out);
    }
    if (H5Iget_type(object.get()) != H5I_DATASET) return false;
    if (count == 0) return true;   // MATLAB_empty: no data stands in the file
    if (!ReadWhole(object.get(), array.classId, array.complex, 0, count, out.real)) return false;
    return !array.complex || ReadWhole(object.get(), array.classId, true, 1, count, out.imag);
}

namespace {

// Adds elements [from, to) of the dataspace's C order to its selection, within
// the block whose coordinates before dimension d are start[0 .. d): at most
// two runs a dimension deeper and one block of whole rows of dimension d.
bool SelectRun(hid_t space, const std::vector<hsize_t>& dims, size_t d, std::vector<hsize_t>& start, uint64_t from,
               uint64_t to) {
    if (from >= to) return true;
    uint64_t inner = 1;   // elements of one index of dimension d
    for (size_t k = d + 1; k < dims.size(); ++k) inner *= dims[k];
    uint64_t low = from / inner;
    const uint64_t high = to / inner;
    if (low == high || from % inner != 0) {
        start[d] = low;
        const uint64_t end = low == high ? to : (low + 1) * inner;
        if (!SelectRun(space, dims, d + 1, start, from - low * inner, end - low * inner)) return false;
        if (low == high) return true;
        ++low;
    }
    if (low < high) {
        std::vector<hsize_t> blockStart(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(d));
        std::vector<hsize_t> counts(d, 1);
        blockStart.push_back(low);
        counts.push_back(high - low);
        for (size_t k = d + 1; k < dims.size(); ++k) {
            blockStart.push_back(0);
            counts.push_back(dims[k]);
        }
        if (H5Sselect_hyperslab(space, H5S_SELECT_OR, blockStart.data(), nullptr, counts.data(), nullptr) < 0) return false;
    }
    if (to % inner == 0) return true;
    start[d] = high;
    return SelectRun(space, dims, d + 1, start, 0, to - high * inner);
}

// Selects elements [first, first + count) of the dataspace in C order (the
// last dimension fastest): a run is a few blocks, read or written in one
// call that inflates each chunk it crosses once. A list of each element's
// coordinates would cost libhdf5 a node per element (hundreds of MB for a
// run of millions). Returns a memory space of `count` elements to go with
// it (the caller closes it), or -1.
hid_t SelectElements(hid_t space, const std::vector<hsize_t>& dims, uint64_t first, size_t count) {
    if (!dims.empty()) {
        if (H5Sselect_none(space) < 0) return -1;
        std::vector<hsize_t> start(dims.size(), 0);
        if (!SelectRun(space, dims, 0, start, first, first + count)) return -1;
    }
    const hsize_t memoryCount = count;
    return H5Screate_simple(1, &memoryCount, nullptr);
}

}  // namespace

bool ReadPoints(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, void* out) {
    Id space(H5Dget_space(dataset), H5Sclose);
    std::vector<hsize_t> dims;
    const hssize_t total = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
    if (total < 0 || !SpaceDims(space.get(), dims) || first > static_cast<uint64_t>(total) ||
        count > static_cast<uint64_t>(total) - first) {
        return false;
    }
    if (count == 0) return true;
    // All of them: the whole dataspace. A list of every element's
    // coordinates would cost libhdf5 a node per element (millions for a
    // subsystem image of megabytes) to read the same bytes.
    if (first == 0 && count == static_cast<uint64_t>(total)) {
        return ReadInside(dataset, memoryType, H5S_ALL, H5S_ALL, out) >= 0;
    }
    Id memory(SelectElements(space.get(), dims, first, count), H5Sclose);
    return memory.ok() && ReadInside(dataset, memoryType, memory.get(), space.get(), out) >= 0;
}

namespace {

// Writes elements [first, first + count) of a dataset in C order, as
// ReadPoints reads them.
bool WritePoints(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, const void* data) {
    Id space(H5Dget_space(dataset), H5Sclose);
    std::vector<hsize_t> dims;
    if (!space.ok() || !SpaceDims(space.get(), dims)) return false;
    if (count == 0) return true;
    Id memory(SelectElements(space.get(), dims, first, count), H5Sclose);
    return memory.ok() && H5Dwrite(dataset, memoryType, memory.get(), space.get(), H5P_DEFAULT, data) >= 0;
}

// The hard links of a group, by name.
herr_t CollectHardLink(hid_t, const char* name, const H5L_info_t* info, void* data) {
    if (info->type != H5L_TYPE_HARD) return 0;
    try {
        static_cast<std::vector<std::string>*>(data)->emplace_back(name);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

// Copies variables into another file so that every object their references
// reach is copied once, however many variables point at it (MATLAB's
// placeholder for empty elements, #refs#/a, serves them all). libhdf5's own
// expansion (H5O_COPY_EXPAND_REFERENCE_FLAG) copies anew on each call what
// that call reaches, so every kept variable brought its own copy. Here each
// object is copied without expansion (libhdf5 leaves references into
// another file null), and each dataset of references in the copy is then
// written again, pointing at the one copy of each target. Targets go into
// the new file's #refs# under their old names: a deletion leaves the file
// as MATLAB wrote it, less what only the deleted variables reached.
class ReferenceCopier {
public:
    ReferenceCopier(hid_t from, hid_t to) : from_(from), to_(to) {}
    ~ReferenceCopier() {
        if (references_ >= 0) H5Gclose(references_);
    }
    ReferenceCopier(const ReferenceCopier&) = delete;
    ReferenceCopier& operator=(const ReferenceCopier&) = delete;

    // Copies the object linked as `name` at the top of `from` to the same
    // name at the top of `to`, with everything its references reach.
    bool CopyTop(const std::string& name) {
        if (H5Ocopy(from_, name.c_str(), to_, name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) return false;
        pending_.push_back({"/" + name, "/" + name, 1});
        while (!pending_.empty()) {
            const Pending next = std::move(pending_.back());
            pending_.pop_back();
            if (!Mend(next)) return false;
        }
        return true;
    }

private:
    // An object of `from` and its copy, whose references are still to be mended.
    struct Pending {
        std::string source, copy;
        size_t depth;
    };

    bool Stop(uint32_t why) {
        refusal = why;
        return false;
    }

    bool Mend(const Pending& at) {
        if (at.depth > kMaxNesting) return Stop(v73::kTooDeep);
        if (++objects_ > kMaxWalkedObjects) return Stop(v73::kTooMany);
        Id source(OpenLinked(from_, at.source.c_str()), H5Oclose);
        Id copy(H5Oopen(to_, at.copy.c_str(), H5P_DEFAULT), H5Oclose);
        H5O_info_t sourceInfo, copyInfo;
        if (!source.ok() || !copy.ok() || H5Oget_info2(source.get(), &sourceInfo, H5O_INFO_BASIC) < 0 ||
            H5Oget_info2(copy.get(), &copyInfo, H5O_INFO_BASIC) < 0) {
            return false;
        }
        // One object of the copy may have several links (libhdf5 copies a
        // shared object once per call): it is mended once.
        if (!mended_.insert(copyInfo.addr).second) return true;
        copies_.emplace(sourceInfo.addr, at.copy);
        if (sourceInfo.type == H5O_TYPE_GROUP) {
            std::vector<std::string> names;
            if (!HeaderReadable(source.get()) ||
                H5Literate(source.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectHardLink, &names) < 0) {
                return false;
            }
            for (const std::string& name : names) {
                pending_.push_back({at.source + "/" + name, at.copy + "/" + name, at.depth + 1});
            }
            return true;
        }
        if (!IsReferenceDataset(source.get())) return true;
        // In pieces: a cell of millions of elements costs a few hundred KB.
        constexpr uint64_t kPiece = 32768;
        Id space(H5Dget_space(source.get()), H5Sclose);
        const hssize_t total = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        if (total < 0) return false;
        std::vector<hobj_ref_t> references;
        for (uint64_t first = 0; first < static_cast<uint64_t>(total); first += kPiece) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(kPiece, static_cast<uint64_t>(total) - first));
            references.assign(count, 0);
            if (!ReadPoints(source.get(), H5T_STD_REF_OBJ, first, count, references.data())) return false;
            for (hobj_ref_t& reference : references) {
                if (reference != 0 && !Retarget(source.get(), reference)) return false;
            }
            if (!WritePoints(copy.get(), H5T_STD_REF_OBJ, first, count, references.data())) return false;
        }
        return true;
    }

    // Turns a reference of `from` into one to the copy of its target,
    // copying the target on its first use.
    bool Retarget(hid_t dataset, hobj_ref_t& reference) {
        Id target(OpenReferenced(dataset, reference), H5Oclose);
        H5O_info_t info;
        if (!target.ok() || H5Oget_info2(target.get(), &info, H5O_INFO_BASIC) < 0) return false;
        auto known = copies_.find(info.addr);
        if (known == copies_.end()) {
            std::string sourcePath, name;
            if (!SourcePath(target.get(), info.addr, sourcePath) || !References() || !FreeName(info.addr, name) ||
                H5Ocopy(target.get(), ".", references_, name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) {
                return false;
            }
            std::string copyPath = std::string("/") + kReferencesGroup + "/" + name;
            pending_.push_back({sourcePath, copyPath, 1});
            known = copies_.emplace(info.addr, std::move(copyPath)).first;
        }
        return H5Rcreate(&reference, to_, known->second.c_str(), H5R_OBJECT, -1) >= 0;
    }

    // Where a target lies in `from`: its link in #refs#, where MATLAB keeps
    // every target (H5Iget_name of a dereferenced object searches the whole
    // file, once per target: only for a target that is not there).
    bool SourcePath(hid_t target, haddr_t address, std::string& path) {
        if (!namesRead_ && !ReadSourceNames()) return false;
        const auto known = sourceNames_.find(address);
        if (known != sourceNames_.end()) {
            path = std::string("/") + kReferencesGroup + "/" + known->second;
            return true;
        }
        const ssize_t length = H5Iget_name(target, nullptr, 0);
        if (length <= 0) return false;
        path.assign(static_cast<size_t>(length), '\0');
        return H5Iget_name(target, path.data(), path.size() + 1) == length;
    }

    // The new file's #refs#, opened or made on first use.
    bool References() {
        if (references_ >= 0) return true;
        const htri_t exists = H5Lexists(to_, kReferencesGroup, H5P_DEFAULT);
        if (exists < 0) return false;
        // Made without times, so that the same copy made twice is the same bytes.
        Id untimed(H5Pcreate(H5P_GROUP_CREATE), H5Pclose);
        if (!untimed.ok() || H5Pset_obj_track_times(untimed.get(), false) < 0) return false;
        references_ = exists > 0 ? H5Gopen2(to_, kReferencesGroup, H5P_DEFAULT)
                                 : H5Gcreate2(to_, kReferencesGroup, H5P_DEFAULT, untimed.get(), H5P_DEFAULT);
        return references_ >= 0;
    }

    // The target's name in `from`'s #refs#, or a new one where the new
    // file has that name already (variables added to a file of its own).
    bool FreeName(haddr_t address, std::string& name) {
        if (!namesRead_ && !ReadSourceNames()) return false;
        const auto old = sourceNames_.find(address);
        const std::string base = old != sourceNames_.end() ? old->second : "r";
        name = base;
        for (;;) {
            const htri_t taken = H5Lexists(references_, name.c_str(), H5P_DEFAULT);
            if (taken < 0) return false;
            if (taken == 0) return true;
            name = base + "_" + std::to_string(++renamed_);
        }
    }

    bool ReadSourceNames() {
        namesRead_ = true;
        if (H5Lexists(from_, kReferencesGroup, InsideLinks()) <= 0) return true;
        Id group(OpenLinked(from_, kReferencesGroup), H5Oclose);
        std::vector<std::string> names;
        if (!group.ok() || !HeaderReadable(group.get()) ||
            H5Literate(group.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectHardLink, &names) < 0) {
            return false;
        }
        for (const std::string& name : names) {
            H5O_info_t info;
            if (H5Oget_info_by_name2(group.get(), name.c_str(), &info, H5O_INFO_BASIC, InsideLinks()) < 0) return false;
            sourceNames_.emplace(info.addr, name);
        }
        return true;
    }

    hid_t from_, to_;
    hid_t references_ = -1;
    std::vector<Pending> pending_;
    std::map<haddr_t, std::string> copies_;        // objects of `from` and their copies' paths
    std::set<haddr_t> mended_;                     // objects of the copy already mended
    std::map<haddr_t, std::string> sourceNames_;   // `from`'s #refs#, by object
    bool namesRead_ = false;
    uint64_t objects_ = 0;
    uint64_t renamed_ = 0;
};

// Copies the variables at these indexes into `to`, each with what its
// references reach, and the subsystem data when one of them may hold
// objects: nothing of the other variables comes along.
bool CopyVariables(File& file, hid_t to, const std::vector<uint64_t>& indexes) {
    ReferenceCopier copier(file.file, to);
    bool objects = false;
    for (uint64_t index : indexes) {
        mxArray header;
        if (index >= file.names.size() || ReadObjectHeader(file, index, header) != HeaderStatus::Ok) return false;
        // Nothing is copied that points outside the file (what references
        // reach is checked in the new file, WriteFile).
        refusal = ScanObject(file.file, file.names[index].c_str());
        if (refusal != v73::kInside || !copier.CopyTop(file.names[index])) return false;
        objects = objects || MayHoldObjects(header.classId);
    }
    if (!objects || H5Lexists(file.file, kSubsystemGroup, InsideLinks()) <= 0) return true;
    // One file holds one subsystem: objects of two files would need their
    // ids renumbered into one.
    if (H5Lexists(to, kSubsystemGroup, H5P_DEFAULT) != 0) {
        refusal = v73::kSubsystemTwice;
        return false;
    }
    refusal = ScanObject(file.file, kSubsystemGroup);
    return refusal == v73::kInside && copier.CopyTop(kSubsystemGroup);
}

}  // namespace

size_t ReadElements(File& file, const mxArray& array, int part, uint64_t first, size_t count,
                    std::vector<uint8_t>& raw) {
    const size_t total = mxGetNumberOfElements(&array);
    if (first >= total || (part == 1 && !array.complex)) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, total - first));
    Id dataset(OpenLinkedDataset(file.file, array.name.c_str()), H5Dclose);
    Id space(dataset.ok() ? H5Dget_space(dataset.get()) : -1, H5Sclose);
    if (!space.ok() || H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(total)) return 0;
    Id type(PartType(array.classId, array.complex, part), H5Tclose);
    raw.resize(count * ClassElementSize(array.classId));
    return type.ok() && ReadPoints(dataset.get(), type.get(), first, count, raw.data()) ? count : 0;
}

bool ContentsImage(File& file, const mxArray& array, uint64_t nodes, std::vector<uint8_t>& out) {
    Id object(OpenLinked(file.file, array.name.c_str()), H5Oclose);
    return object.ok() && WriteContents(object.get(), array, nodes, out);
}

bool SubsystemImage(File& file, std::vector<uint8_t>& out) { return WriteSubsystem(file.file, out); }

bool Level5Image(File& file, uint64_t index, std::vector<uint64_t>& sizes, Level5Plan& plan, PieceSink sink,
                 void* context) {
    if (index == v73::kLevel5Subsystem) return WriteLevel5(file.file, -1, nullptr, sizes, plan, sink, context);
    mxArray header;
    if (ReadHeader(file, index, header) != HeaderStatus::Ok) return false;
    Id object(OpenLinked(file.file, header.name.c_str()), H5Oclose);
    return object.ok() && WriteLevel5(file.file, object.get(), &header, sizes, plan, sink, context);
}

bool CopyInto(File& file, hid_t to, const std::vector<uint64_t>& indexes) {
    return CopyVariables(file, to, indexes);
}

bool KeepsInside(hid_t to) {
    Id root(H5Gopen2(to, "/", H5P_DEFAULT), H5Gclose);
    refusal = root.ok() ? ScanGroup(root.get()) : v73::kLinkOutside;
    return refusal == v73::kInside;
}

namespace {

// More links than any file keeps beside its variables; a value no path needs.
constexpr size_t kMaxOwnLinks = 65536;
constexpr size_t kMaxLinkValue = 64 * 1024;

// Whether a soft link's path leads into #refs#, whose objects a copy
// renames: the link would name another object, or none.
bool LeadsIntoReferences(const char* path) {
    std::string first;
    for (const char* at = path;; ++at) {
        if (*at == '/' || *at == '\0') {
            if (!first.empty() && first != ".") return first == kReferencesGroup;
            first.clear();
            if (*at == '\0') return false;
        } else {
            first.push_back(*at);
        }
    }
}

herr_t CollectOwnLink(hid_t group, const char* name, const H5L_info_t* info, void* data) {
    auto* links = static_cast<std::vector<OwnLink>*>(data);
    if (info->type == H5L_TYPE_HARD) return 0;
    const size_t size = info->u.val_size;
    if ((info->type != H5L_TYPE_SOFT && info->type != H5L_TYPE_EXTERNAL) || links->size() >= kMaxOwnLinks ||
        size == 0 || size > kMaxLinkValue) {
        refusal = v73::kLinkUnkept;
        return 1;
    }
    OwnLink link;
    link.name = name;
    link.type = info->type;
    link.value.assign(size, '\0');
    if (H5Lget_val(group, name, link.value.data(), size, InsideLinks()) < 0) return -1;
    if (info->type == H5L_TYPE_SOFT) {
        if (link.value.back() != '\0') return -1;
        if (LeadsIntoReferences(link.value.data())) {
            refusal = v73::kLinkUnkept;
            return 1;
        }
    } else {
        unsigned flags = 0;
        const char *target = nullptr, *object = nullptr;
        if (H5Lunpack_elink_val(link.value.data(), size, &flags, &target, &object) < 0) return -1;
    }
    links->push_back(std::move(link));
    return 0;
}

}  // namespace

bool ReadOwnLinks(File& file, std::vector<OwnLink>& links) {
    links.clear();
    refusal = v73::kInside;
    Id root(H5Gopen2(file.file, "/", H5P_DEFAULT), H5Gclose);
    return root.ok() && H5Literate(root.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectOwnLink, &links) == 0;
}

bool MakeOwnLinks(hid_t to, const std::vector<OwnLink>& links) {
    for (const OwnLink& link : links) {
        const htri_t taken = H5Lexists(to, link.name.c_str(), H5P_DEFAULT);
        if (taken < 0) return false;
        if (taken > 0) continue;
        if (link.type == H5L_TYPE_SOFT) {
            if (H5Lcreate_soft(link.value.data(), to, link.name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) return false;
            continue;
        }
        // Packed as libhdf5 keeps it; made again from its parts (never opened).
        std::vector<char> packed = link.value;
        unsigned flags = 0;
        const char *target = nullptr, *object = nullptr;
        if (H5Lunpack_elink_val(packed.data(), packed.size(), &flags, &target, &object) < 0 ||
            H5Lcreate_external(target, object, to, link.name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) {
            return false;
        }
    }
    return true;
}

bool WriteFile(File& file, const std::vector<uint64_t>& indexes, const std::string& path, hid_t driver,
               bool ownLinks) {
    Id create(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
    Id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!create.ok() || !access.ok() || H5Pset_userblock(create.get(), kV73UserBlockSize) < 0 ||
        (driver >= 0 && H5Pset_driver(access.get(), driver, nullptr) < 0) ||
        H5Pset_obj_track_times(create.get(), false) < 0 ||
        H5Pset_fclose_degree(access.get(), H5F_CLOSE_STRONG) < 0 ||
        H5Pset_file_locking(access.get(), false, true) < 0) {
        return false;
    }
    const hid_t out = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, create.get(), access.get());
    if (out < 0) return false;
    bool copied = CopyVariables(file, out, indexes);
    // The copy as a whole, with what its references reached: a file that
    // would send its reader elsewhere is not written.
    if (copied) {
        Id root(H5Gopen2(out, "/", H5P_DEFAULT), H5Gclose);
        refusal = root.ok() ? ScanGroup(root.get()) : v73::kLinkOutside;
        copied = refusal == v73::kInside;
    }
    // The file's own links, after that scan: they are the file's, not
    // anything a copied variable brought.
    std::vector<OwnLink> links;
    copied = copied && (!ownLinks || (ReadOwnLinks(file, links) && MakeOwnLinks(out, links)));
    // Closing writes what libhdf5 still holds: its failure is the copy's.
    return H5Fclose(out) >= 0 && copied;
}

}  // namespace matlib::hdf5

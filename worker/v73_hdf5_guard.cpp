// The guard before libhdf5: what a version 7.3 file may make it do is
// checked here first, from the file's own bytes. libhdf5 1.10 trusts the
// sizes and addresses a file gives (of attribute messages, heaps, chunk
// indexes, stored data) and reads past its buffers on a damaged one, so
// every object is opened, every attribute looked at and every dataset read
// only once its header, heaps and chunks are found sound. Nothing is read
// from another file: external links, external storage and virtual
// datasets are refused (the refusal kept for TakeRefusal).
//
// Worker process only (v73_hdf5.h), one thread.
#include <hdf5.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "v73client/v73_protocol.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"
#include "os/worker_process.h"

namespace matlib::hdf5 {

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

}  // namespace

uint32_t StorageOf(hid_t dataset) {
    Id create(H5Dget_create_plist(dataset), H5Pclose);
    return StorageIn(create.get());
}

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
// (only the worker's own driver, which reads them through the window that
// libhdf5's reads of the same headers then find them in).
struct RawFile {
    const void* handle = nullptr;   // the driver's handle of the file
    unsigned long fileno = 0;   // libhdf5's number of the open file (new at every open)
    uint64_t base = 0;   // where the HDF5 data starts (after the user block)
    uint64_t end = 0;    // where it ends: the file's size, from the base
    uint64_t allocated = 0;   // the end of the space the file says it uses (its EOA), from the base
    size_t addressBytes = 8, lengthBytes = 8;
    bool sharedTable = false;   // whether the file keeps a table of shared messages
    bool Read(uint64_t address, size_t size, std::vector<uint8_t>& out) const {
        if (size > kMaxHeaderChunkBytes || address > UINT64_MAX - base) return false;
        out.resize(size);
        return DescriptorRead(handle, base + address, size, out.data());
    }
};

// The file an object lives in: its size always, its bytes only through the
// worker's own driver (raw.handle stays null otherwise). False when
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
        raw.handle = handle;
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
    // libhdf5 copies the data by the size the datatype declares. A
    // variable-length type's elements are global heap references (a length,
    // a collection's address, an index): its size is theirs, or the
    // elements are read at another stride than the data was copied by.
    const uint8_t typeClass = message[typeAt] & 0x0F;
    const uint64_t width = LoadLittle(message + typeAt + 4, 4);
    if (typeClass == 9 && width != 8 + raw.addressBytes) return false;
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
    last.sound = !sized || raw.handle == nullptr || HeaderSound(raw, address, last.layout);
    last.raw = sized && raw.handle != nullptr ? &raw : nullptr;
    last.fileno = fileno, last.address = address;
    return last;
}

const HeaderCheck& CheckHeader(hid_t object) {
    // The object asked about last is often asked about again (before each
    // of its attributes): libhdf5 never gives out an identifier twice in a
    // process, so the same open identifier is the same object, and its
    // address need not be asked again while its check is the last one.
    static hid_t lastObject = -1;
    static unsigned long lastFileno = 0;
    static haddr_t lastAddress = HADDR_UNDEF;
    const HeaderCheck& last = LastCheck();
    if (object == lastObject && last.address == lastAddress && last.fileno == lastFileno && H5Iis_valid(object) > 0) {
        return last;
    }
    H5O_info_t info;
    if (H5Oget_info2(object, &info, H5O_INFO_BASIC) < 0) {
        lastObject = -1;
        LastCheck() = HeaderCheck{};
        return LastCheck();
    }
    lastObject = object, lastFileno = info.fileno, lastAddress = info.addr;
    return CheckAt(object, info.fileno, info.addr);
}


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

bool Openable(hid_t loc, const H5O_info_t& object) { return CheckAt(loc, object.fileno, object.addr).sound; }

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

hid_t OpenChildDataset(hid_t group, const char* name) {
    return H5Lexists(group, name, InsideLinks()) > 0 ? OpenLinkedDataset(group, name) : -1;
}

hid_t OpenReferenced(hid_t dataset, const hobj_ref_t& reference) {
    return TargetSound(dataset, reference) ? H5Rdereference2(dataset, H5P_DEFAULT, H5R_OBJECT, &reference) : -1;
}

htri_t AttributeExists(hid_t object, const char* name) {
    return HeaderReadable(object) ? H5Aexists(object, name) : -1;
}

// The memory is asked for only when the data the file stores could make
// that many: inflated at most as far as deflate goes, plus what a dataset
// without stored data may reasonably hold as its fill value. The stored
// size is the layout message's own for contiguous data, so a damaged one is
// taken no larger than the file's HDF5 data.
constexpr uint64_t kMaxInflation = 1032;
constexpr uint64_t kMaxUnstoredBytes = 64 * 1024 * 1024;

bool StoredBytesCouldMake(uint64_t stored, uint64_t count, size_t width) {
    uint64_t needed = 0, most = 0;
    if (width == 0 || __builtin_mul_overflow(count, uint64_t{width}, &needed)) return false;
    return __builtin_mul_overflow(stored, kMaxInflation, &most) || __builtin_add_overflow(most, kMaxUnstoredBytes, &most) ||
           needed <= most;
}

bool StoredDataCouldHold(hid_t dataset, uint64_t count) {
    // (The header check is the dataset's next anyway, before its data is read.)
    const HeaderCheck& header = CheckHeader(dataset);
    if (!header.sized) return false;
    Id type(H5Dget_type(dataset), H5Tclose);
    const size_t width = type.ok() ? H5Tget_size(type.get()) : 0;
    return StoredBytesCouldMake(std::min<uint64_t>(H5Dget_storage_size(dataset), header.dataBytes), count, width);
}

}  // namespace matlib::hdf5

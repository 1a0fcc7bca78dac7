// The version 7.3 reading code in this process, without the worker: the
// bytes are the HDF5 data behind a sound 512-byte user block, read through
// the same driver and the same calls the worker makes for a reader (the
// listing, each variable's header, its decoded data and first elements, the
// image of what a struct, cell or object holds, the subsystem data). Each
// image is then described as the viewer's text would be, from a level-5 file
// that holds it. No process per input: tens of times the inputs of
// v73_fuzz, which keeps the worker, its control and its protocol.
//
// A crash here may be libhdf5's own on a hostile file: in the plug-in it
// takes only the worker down. fuzz/README.md says how to tell.
#include <hdf5.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "matlib/mat.h"
#include "codec/mat_format.h"
#include "objects/subsystem.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace {

using namespace matlib;

// Variables read per input: more would only repeat what the first ones reach.
constexpr size_t kMaxReadVariables = 32;
// What the viewer gives the text (the reader asks for as many arrays as it can show).
constexpr size_t kTextRoom = 4096;

std::vector<uint8_t> UserBlock() {
    std::vector<uint8_t> block(format::kV73UserBlockSize, 0);
    const char text[] = "MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Dec  7 08:00:00 2026 HDF5 schema 1.00 .";
    std::memset(block.data(), ' ', 116);
    std::memcpy(block.data(), text, sizeof text - 1);
    block[124] = 0x00, block[125] = 0x02, block[126] = 'I', block[127] = 'M';
    return block;
}

// Writes `bytes` after the `at` bytes that stay from input to input, and
// cuts the file there: its pages are kept, not given back and made anew.
void Rewrite(int fd, size_t at, const uint8_t* bytes, size_t size) {
    const bool written = (size == 0 || pwrite(fd, bytes, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size)) &&
                         ftruncate(fd, static_cast<off_t>(at + size)) == 0;
    fuzzsupport::Require(written, "cannot write the input file");
}

// A file in memory whose first bytes are `head`, written once.
int FileWithHead(const char* name, const std::vector<uint8_t>& head) {
    const int fd = memfd_create(name, 0);
    fuzzsupport::Require(fd >= 0 && pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()),
                         "cannot make a file in memory");
    return fd;
}

// A file without a path that the driver reads by its number, as the worker
// reads the file the reader hands it.
int InputFile(const uint8_t* data, size_t size) {
    static const int fd = FileWithHead("v73_reader_fuzz", UserBlock());
    Rewrite(fd, format::kV73UserBlockSize, data, size);
    return fd;
}

// The viewer's text of a contents image, as mxDescribeValue makes it for a
// level-5 variable: the image becomes the one variable of a level-5 file,
// kept in memory (a file without a path of its own, opened by its name in
// /proc) and rewritten for each image.
std::vector<uint8_t> Level5Header() {
    std::vector<uint8_t> bytes(format::kHeaderSize, ' ');
    const char text[] = "MATLAB 5.0 MAT-file";
    std::memcpy(bytes.data(), text, sizeof text - 1);
    std::memset(bytes.data() + 116, 0, 8);
    bytes[124] = 0x00, bytes[125] = 0x01, bytes[126] = 'I', bytes[127] = 'M';
    return bytes;
}

void Describe(const std::vector<uint8_t>& image) {
    static const int fd = FileWithHead("v73_reader_fuzz-contents", Level5Header());
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Rewrite(fd, format::kHeaderSize, image.data(), image.size());
    MATFile* mat = matOpen(path.c_str(), "r");
    if (mat == nullptr) return;
    if (mxArray* array = matGetNextArrayHeader(mat)) {
        mxDestroyArray(array);
        int count = 0;
        char** names = matGetDir(mat, &count);
        if (count > 0 && names != nullptr && names[0] != nullptr) {
            if (mxArray* read = matGetArray(mat, names[0])) {
                // No terminator but the one the text ends with.
                static std::vector<char> shown(kTextRoom + 1);
                std::fill(shown.begin(), shown.end(), '?');
                mxDescribeValue(read, shown.data(), shown.size());
                fuzzsupport::Require(std::memchr(shown.data(), '\0', shown.size()) != nullptr, "text not terminated");
                mxDestroyArray(read);
            }
        }
        mxFree(names);
    }
    matClose(mat);
}

void ReadVariable(hdf5::File& file, uint64_t index) {
    mxArray header;
    if (hdf5::ReadHeader(file, index, header) != HeaderStatus::Ok) return;
    // A whole decode (numbers, text, logicals): what the data could make,
    // then the element it comes as.
    const bool decodable = header.classId >= mxLOGICAL_CLASS && header.classId <= mxUINT64_CLASS;
    std::vector<uint64_t> sizes;
    hdf5::Level5Plan plan;
    if (decodable && hdf5::StoredCouldMake(file, header) &&
        hdf5::Level5Image(file, index, sizes, plan, nullptr, nullptr)) {
        hdf5::Level5Image(file, index, sizes, plan, [](void*, const uint8_t*, size_t) { return true; }, nullptr);
    }
    for (int part = 0; part < (header.complex ? 2 : 1); ++part) {
        std::vector<uint8_t> raw;
        hdf5::ReadElements(file, header, part, 0, 16, raw);
    }
    std::vector<uint8_t> image;
    if (hdf5::ContentsImage(file, header, kTextRoom / 3 + 2, image)) {
        fuzzsupport::Require(image.size() <= format::kMaxShownElementBytes, "contents image over its bound");
        // The worker's image is an array element the describer must be able to parse.
        ArrayView top;
        fuzzsupport::Require(ParseArrayView(Bytes{image.data(), image.size(), false}, 0, top, true),
                             "contents image is no array element");
        Describe(image);
    }
}

}  // namespace

// libhdf5 asks malloc for whatever size a damaged file's metadata says (its
// cache, H5C_protect): malloc then fails and libhdf5 reports an error, as in
// the worker. The sanitizer would stop at the request instead; our own code
// allocates through new, which it still stops at. Above 1 GB malloc fails
// at once: a block of gigabytes that the allocator hands out, untouched,
// still has its shadow written when it is freed (an eighth of its size:
// half a gigabyte for the 4 GB a damaged object header asks for), and an
// input of such requests took seconds. What this process decodes stays far
// below: the stored bytes inflated at most 1032 times, 64 MB of fill value,
// 64 MB of subsystem data.
// Freed blocks wait in a quarantine of 4 MB, not 256: an input frees about
// 250 KB on average, so a use after free within an input, or a few inputs
// later, is still caught (a block freed before the listing and touched after
// the last variable was), and libhdf5's churn of small blocks no longer
// cycles a quarter of a gigabyte through the allocator and out of the caches:
// on the smoke run's 3,500 inputs, 16 MB took a third less time than 256,
// 4 MB an eighth less than 16 (over 10,000, whose searches part, the same).
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:max_allocation_size_mb=1024:quarantine_size_mb=4";
}
// libhdf5 leaks on some of its error paths (a damaged file in the worker
// costs nothing: the process ends). Our own objects are closed by Id and by
// closing the file with H5F_CLOSE_STRONG. Its allocations are known by its
// shared library's name or, linked from its archive, by its functions'
// prefix (H5FL__malloc, H5MM_malloc).
extern "C" const char* __lsan_default_suppressions() { return "leak:libhdf5\nleak:H5\n"; }

// libhdf5 keeps freed blocks on its own free lists only up to 64 KB a list
// (1 MB in all): a file's metadata cache (over 512 KB) is then given back
// and asked for anew at every open, a fresh mapping under the sanitizer's
// allocator, page-faulted in as libhdf5 clears it: a third of the time.
// Lists without limits keep it, and keep an input's mallocs and frees even
// once libhdf5 holds what it needs, so libFuzzer's leak check (an input run
// again, then the whole heap scanned) runs on few inputs instead of many.
// libhdf5 reads and checks the same; only where its memory comes from changes.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::Require(H5set_free_list_limits(-1, -1, -1, -1, -1, -1) >= 0, "H5set_free_list_limits failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = InputFile(data, size);
    hdf5::FilePtr file = hdf5::Open(std::to_string(fd), hdf5::DescriptorDriver());
    if (!file) return 0;
    const size_t count = hdf5::Names(*file).size();
    fuzzsupport::Require(count <= format::kMaxVariables, "more variables than the listing takes");
    for (size_t i = 0; i < count && i < kMaxReadVariables; ++i) ReadVariable(*file, i);
    // The subsystem data as a conversion walks it: planned, then sent nowhere.
    std::vector<uint64_t> sizes;
    hdf5::Level5Plan plan;
    if (hdf5::Level5Image(*file, v73::kLevel5Subsystem, sizes, plan, nullptr, nullptr)) {
        hdf5::Level5Image(*file, v73::kLevel5Subsystem, sizes, plan, [](void*, const uint8_t*, size_t) { return true; }, nullptr);
    }
    return 0;
}

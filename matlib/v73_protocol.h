// What the reader of a version 7.3 file (v73_worker.cpp) and the worker
// program that reads it with libhdf5 (worker/v73_serve.cpp) say to each
// other. The worker may be of another word size than the plug-in (on Windows
// the 32-bit plug-in starts the 64-bit worker): every field has a fixed width.
//
// The reader first sends a kOpen request with the file itself, open (never
// its path: a file put in its place meanwhile is never read); the worker
// answers with the file's variables' names. Then each request
// gets one answer: an AnswerHead and, when ok, `length` bytes. While the
// worker works on a request it sends a beat (an AnswerHead with ok = kBeat)
// every half second as long as its reads and writes move on: a reader that
// gets neither beat nor answer for a few seconds takes the worker for hung.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace matlib::v73 {

// The worker program, beside the plug-in.
#if defined(_WIN32)
inline constexpr const char* kWorkerProgram = "matwcx_v73.exe";
#else
inline constexpr const char* kWorkerProgram = "matwcx_v73";
#endif

enum Operation : uint32_t {
    kHeader = 1, kDecode = 2, kElements = 3, kContents = 5, kSubsystem = 6, kWrite = 7,
    // Whether a variable can be read from the file alone: its answer is a
    // Refusal (4 bytes), kInside when it can.
    kCheck = 8,
    // The first request, with the file sent open.
    kOpen = 9,
    // A worker that writes a new file: its first request comes with that
    // file open and the user block after it; then variables copied from
    // version 7.3 files (kCopyInto: the file sent open, `count` indexes
    // after the request), level-5 elements written as MATLAB writes them
    // (kAddElement: `first` bytes of name and `count` bytes of the element,
    // its tag included, after the request; `part` kSwapped when its bytes
    // are in the other order), and kFinish, which completes the file.
    kCreate = 10,
    kCopyInto = 11,
    kAddElement = 12,
    kFinish = 13,
};

// kAddElement's `part`: the element's bytes are in the other byte order.
constexpr uint32_t kSwapped = 1;
// An element is sent in pieces of at most this size.
constexpr size_t kElementPiece = size_t{1} << 20;

// Why the worker refuses to read a variable: a MAT-file is read from itself
// only, and HDF5 lets a dataset keep its bytes in other files.
enum Refusal : uint32_t {
    kInside = 0,
    kExternalStorage = 1,   // the dataset's bytes are in other files
    kVirtualDataset = 2,    // a virtual dataset: made of other files' datasets
    kLinkOutside = 3,       // an external link (to another file) or a link of a user-defined kind
    // Why a level-5 element was not written into a version 7.3 file.
    kHoldsObject = 4,       // an object, function handle or opaque value: its subsystem data is not written
    kElementDamaged = 5,    // the element's sizes or types do not hold together
    kNameTaken = 6,         // the file holds a variable (or a struct a field) of that name already
    kBadName = 7,           // a name that HDF5 cannot hold as MATLAB's readers expect ('/', '.', '#...')
    kSubsystemTwice = 8,    // both files hold objects: their subsystem data cannot be merged
};

// An answer's ok: 0 failed, 1 answered, kBeat still working.
constexpr uint32_t kBeat = 2;

struct Request {
    uint32_t operation = 0;
    uint32_t part = 0;
    uint64_t index = 0;
    uint64_t first = 0;
    uint64_t count = 0;
};

struct AnswerHead {
    uint32_t ok = 0;
    uint32_t refusal = kInside;   // with a failure: why the worker would not read
    uint64_t length = 0;
};

// The same bytes from a 32-bit and a 64-bit build: no padding anywhere.
static_assert(sizeof(Request) == 32 && sizeof(AnswerHead) == 16);

// The flags of a header.
constexpr uint32_t kComplex = 1, kGlobal = 2, kLogical = 4, kSparse = 8;

inline void Put(std::vector<uint8_t>& out, const void* p, size_t n) {
    const auto* bytes = static_cast<const uint8_t*>(p);
    out.insert(out.end(), bytes, bytes + n);
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) { Put(out, &v, sizeof v); }
inline void Put64(std::vector<uint8_t>& out, uint64_t v) { Put(out, &v, sizeof v); }

// Reads an answer's fields in order; any read past its end fails, and so
// does every read after it.
class Fields {
public:
    explicit Fields(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Take(void* p, size_t n) {
        if (failed_ || n > bytes_.size() - at_) return failed_ = true, false;
        if (n > 0) std::memcpy(p, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    uint32_t Get32() {
        uint32_t v = 0;
        Take(&v, sizeof v);
        return v;
    }
    uint64_t Get64() {
        uint64_t v = 0;
        Take(&v, sizeof v);
        return v;
    }
    size_t left() const { return bytes_.size() - at_; }
    bool ok() const { return !failed_; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
    bool failed_ = false;
};

}  // namespace matlib::v73

// What the reader of a version 7.3 file (v73_client.cpp) and the worker
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
    kHeader = 1, kElements = 3,
    // The viewer's image: what a variable holds (at most `count` arrays).
    kContents = 5,
    // The first request, with the file sent open.
    kOpen = 9,
    // Whether a variable reads whole: every dataset of it and of all it
    // refers to read through libhdf5's filters. Its answer is a Refusal
    // (kInside when it can be read from the file alone) and a Damage (8
    // bytes). `part` kStorageOnly: only the Refusal is found; the Damage
    // says kWhole.
    kVerify = 10,
    // A whole variable (index; kLevel5Subsystem: the file's subsystem data
    // as its unnamed uint8 variable) as the level-5 array element of a
    // version 7 file, little-endian, uncompressed. part kLevel5Plan: the
    // answer is its size (8 bytes), whether it refers to the subsystem data
    // (4) and a Level5Failure (4). part kLevel5Stream: the answer (8 bytes)
    // is its size, and the element follows in pieces, each an AnswerHead
    // (ok 1, length 1 to kMaxLevel5Piece) and its bytes, beats between
    // them, then an AnswerHead with ok 1 and length 0 once the worker has
    // checked the whole element against its plan; one with ok 0 ends it
    // failed, also after the last byte. part kLevel5Decode: as kLevel5Stream,
    // for a whole decode, refused at once when a dataset of the variable
    // stores too little to make its elements (fill values claimed).
    kLevel5 = 11,
    // A worker that writes a new file: its first request comes with that
    // file open and the user block after it; then variables copied from
    // version 7.3 files (kCopyInto: the file sent open, `count` indexes
    // after the request), level-5 elements written as MATLAB writes them
    // (kAddElement: `first` bytes of name and `count` bytes of the element,
    // its tag included, after the request; `part` kSwapped when its bytes
    // are in the other order), and kFinish, which completes the file.
    // kAddSubsystem: `count` bytes of a level-5 file's subsystem data (its
    // unnamed variable's uint8 data, at most kMaxCarriedSubsystemBytes;
    // `part` kSwapped as for an element) after the request, written as
    // #refs# and #subsystem#, once per file.
    kCreate = 12,
    kCopyInto = 13,
    kAddElement = 14,
    kFinish = 15,
    kAddSubsystem = 16,
};

// What the worker found wrong with a variable it read whole (kVerify).
enum Damage : uint32_t {
    kWhole = 0,
    kDataUnreadable = 1,      // a chunk does not read: cut, a filter fails, a checksum is wrong
    kDimensionsWrong = 2,     // the dimensions disagree with the data
    kDanglingReference = 3,   // a reference leads to no object of the file
    kSparseColumns = 4,       // jc does not rise from 0 to at most the stored values
    kSparseRows = 5,          // an ir lies outside the rows, or a column's are not sorted
    kSparseSizes = 6,         // data, ir and jc disagree in size, or one is missing
    kObjectUnreadable = 7,    // a member (a field, a link) cannot be opened
    kNestedTooDeep = 8,       // nested deeper than the worker walks (no MATLAB array is)
};

constexpr uint32_t kStorageOnly = 1;   // kVerify's `part`

enum Level5Part : uint32_t { kLevel5Plan = 0, kLevel5Stream = 1, kLevel5Decode = 2 };
constexpr uint64_t kLevel5Subsystem = UINT64_MAX;
constexpr uint64_t kMaxLevel5Piece = uint64_t{4} << 20;
// Version 7 holds variables of less than 2 GB (MATLAB's own limit); a
// level-5 element's tag could not say more than 4 GB anyway.
constexpr uint64_t kMaxLevel5Bytes = uint64_t{1} << 31;
enum Level5Failure : uint32_t {
    kLevel5Ok = 0,
    kLevel5NoForm = 1,     // a class with no level-5 form
    kLevel5TooLarge = 2,   // 2 GB or more, or a dimension or count beyond 32 bits
    kLevel5TooDeep = 3,    // nested deeper than any array MATLAB saves (or references in a circle)
    kLevel5TooMany = 4,    // more arrays inside it than the worker notes
    kLevel5Damaged = 5,    // something in it cannot be read
};

// kAddElement's `part`: the element's bytes are in the other byte order;
// kHoldsObjects: it holds objects, and is written as MATLAB writes such.
constexpr uint32_t kSwapped = 1, kHoldsObjects = 4;
// kCopyInto's `part`: the file is the one rewritten, and its own soft and
// external links (links at its top that are no variables) are made again in
// the new file, as links, by kFinish. kCopyInto's kWithoutSubsystem: its
// #subsystem# stays behind (merged subsystem data takes its place).
constexpr uint32_t kOwnLinks = 2, kWithoutSubsystem = 8;
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
    kHoldsObject = 4,       // an object of another class system than MATLAB's own (MCOS), a Java object
    kElementDamaged = 5,    // the element's sizes or types do not hold together
    kNameTaken = 6,         // the file holds a variable (or a struct a field) of that name already
    kBadName = 7,           // a name that HDF5 cannot hold as MATLAB's readers expect ('/', '.', '#...')
    kSubsystemTwice = 8,    // both files hold objects: their subsystem data cannot be merged
    // Beyond what one walk of a variable visits (worker/v73_objects.h).
    kTooDeep = 9,           // groups nested deeper than any MATLAB array
    kTooMany = 10,          // more objects under it than a walk visits
    // A link at the top of a rewritten file that the new file cannot keep as
    // it stands: a soft link into #refs# (whose objects are renamed when
    // copied) or a link of a user-defined kind.
    kLinkUnkept = 11,
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

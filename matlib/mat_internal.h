// What the engine's read side, write side and update side share. Not part of
// the engine's interface (mat.h); only matlib/ and its tests include it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "matlib/mat.h"
#include "os/file_io.h"

namespace matlib {

// An open file that variables were read from. Arrays keep it alive (shared),
// so an array read by matGetArray can still be decoded or copied after the
// MATFile handle that produced it was closed.
struct V73File;   // the HDF5 side of a version 7.3 file (v73_reader.cpp)
struct MatFormat;   // the format's operations (readers.h)

struct SourceFile {
    FILE* stream = nullptr;     // opened through platform::FileSystem()
    std::string path;
    uint64_t size = 0;          // the file's size when it was opened
    const MatFormat* format = nullptr;   // chosen when the file is recognised
    std::shared_ptr<V73File> hdf5;   // version 7.3: the file as libhdf5 has it open
    bool swapped = false;       // level 5: byte order differs from this machine's
    bool bigEndian = false;     // level 5: "MI" file ("IM" is little-endian)
    uint64_t subsystemOffset = 0;   // level 5: where the subsystem data's variable starts; 0: none
    platform::FileStatus opened;   // the file as it was opened: reads check it is still so
    // The read-ahead window (ReadAt): bytes [windowOffset, windowOffset +
    // windowBytes) of the file, allocated on first use. Like the stream, a
    // source is read by one thread at a time.
    std::unique_ptr<uint8_t[]> window;
    uint64_t windowOffset = 0;
    size_t windowBytes = 0;
    ~SourceFile();              // closes the stream
};

// One variable of a file, as the first pass over the file finds it: where it
// stands, and its header as the listing shows it. Kept to 24 bytes: a file may
// hold a million variables. Its size and its name's length follow from the
// next entry (VariableIndex).
struct VariableEntry {
    uint64_t offset = 0;        // where its element (level 5) or matrix header (version 4) starts;
                                // version 7.3: its index among the file's variables
    uint32_t nameAt = 0;        // its name: from this byte of the index's names, ended by a '\0'
    uint32_t dims[2] = {};      // the first two dimensions (the only ones of most arrays)
    uint8_t classId = 0;        // mxClassID
    uint8_t fileClass = 0;
    uint8_t flags = 0;          // kEntryComplex | kEntryGlobal | ... | kEntryHasExtra
    uint8_t dimCount = 0;
};
static_assert(sizeof(VariableEntry) == 24, "an entry costs 24 bytes");
constexpr uint8_t kEntryComplex = 1, kEntryGlobal = 2, kEntryLogical = 4, kEntrySparse = 8, kEntryHasExtra = 16,
                  kEntryCompressed = 32;

// What a few entries hold besides: an object's class name, more than two
// dimensions (or one past 32 bits), a non-zero nzmax, or an earlier variable
// of the same name.
struct EntryExtra {
    uint32_t entry = 0;            // whose: the index of its entry
    uint32_t previousOfName = 0;   // 1 + the entry of the same name before it; 0: none
    int occurrence = 1;            // 1 for the first variable of its name, 2 for the next ...
    uint64_t nzmax = 0;
    std::string className;         // empty: the class id's own name
    std::vector<mwSize> dims;      // all of them, when the entry's two do not say them
};

// Every variable the first pass over a file found, in file order, in little
// memory: 24 bytes an entry, its name (and a terminator) in one block of
// text, and a table by name of one 32-bit slot per distinct name, at most
// half full. Finding the entries of a name costs O(1) (plus one step per
// earlier variable of that name).
class VariableIndex {
public:
    size_t size() const { return entries_.size(); }
    // Appends the variable whose header is `array`, whose bytes run from
    // `offset` up to `next` (where the one after it starts). Throws
    // std::bad_alloc and then leaves the index as it was.
    void Add(const mxArray& array, uint64_t offset, uint64_t next);

    const VariableEntry& Entry(size_t i) const { return entries_[i]; }
    const EntryExtra* Extra(size_t i) const;   // null when it has none
    uint64_t Offset(size_t i) const { return entries_[i].offset; }
    // All of its bytes, up to where the next variable starts.
    uint64_t Size(size_t i) const { return (i + 1 < entries_.size() ? entries_[i + 1].offset : end_) - entries_[i].offset; }
    std::string_view Name(size_t i) const;
    const char* NameText(size_t i) const { return names_.data() + entries_[i].nameAt; }   // terminated
    int Occurrence(size_t i) const;
    uint64_t Nzmax(size_t i) const;

    // Calls visit(i) for each entry of that name, the last one first.
    template <typename Visit>
    void ForEachOfName(std::string_view name, Visit visit) const {
        for (uint32_t i = LastOfName(name); i != 0;) {
            visit(size_t{i - 1});
            const EntryExtra* extra = Extra(i - 1);
            i = extra != nullptr ? extra->previousOfName : 0;
        }
    }

private:
    // A slot holds 1 + the last entry of its name in the low bits and the top
    // bits of the name's hash above them (0: free); the hash bits spare most
    // comparisons of names.
    static constexpr int kEntryBits = 20;
    static constexpr uint32_t kEntryMask = (uint32_t{1} << kEntryBits) - 1;
    static uint32_t Hash(std::string_view name);
    size_t SlotOf(std::string_view name, uint32_t hash) const;
    uint32_t LastOfName(std::string_view name) const;   // 1 + the last entry of that name; 0: none
    void GrowSlots();

    std::vector<VariableEntry> entries_;
    std::string names_;                 // every entry's name and its terminator, in file order
    std::vector<EntryExtra> extras_;    // in the order of their entries
    std::vector<uint32_t> slots_;       // a power of two in size, at most half full
    size_t usedSlots_ = 0;
    uint64_t end_ = 0;                  // where the variable after the last entry starts
};

// struct mxArray (global namespace, below) is defined by the read side. Besides
// its header (name, class id and name, dimensions, complex/global/logical/
// sparse flags, name occurrence) it carries where its bytes stand, which the
// write side copies byte for byte:
//   std::shared_ptr<SourceFile> source;   null for arrays not read from a file
//   uint64_t elementOffset, elementSize;  level 5: the whole element, tag
//                                         included, as it stands in the source
// elementSize runs up to where the next variable starts: for an uncompressed
// element that includes the padding to 8 bytes (as far as the file holds it),
// a compressed element is not padded. Copying [offset, offset + size)
// therefore reproduces the element and keeps the next one aligned.
// A version 4 array is written through its decoded data (mxGetPr ...);
// its elementOffset/elementSize cover its matrix header, name and data.

// Where a variable's data lies, for decoding on demand.
struct DataLocation {
    // Level 5. Positions count within the element's bytes as they are after
    // inflating (for an uncompressed element: from its tag on, as in the file).
    bool compressed = false;
    uint64_t streamOffset = 0;     // file offset of the element (uncompressed) or zlib stream
    uint64_t streamSize = 0;       // bytes of it in the file
    uint64_t elementEnd = 0;       // position where the (inflated) element ends
    uint64_t dataPos = 0;          // position of the first data subelement
    // Version 4.
    uint32_t v4Precision = 0;
    uint32_t v4Type = 0;
    uint32_t v4Rows = 0, v4Cols = 0;
    uint64_t v4DataOffset = 0;     // file offset of the real part
    bool v4Swapped = false;
};

// Data decoded by mxGetPr and its siblings, kept with the array.
struct DecodedData {
    enum State { NotTried, Decoded, Failed } state = NotTried;
    std::vector<uint8_t> real, imag;   // class's own element type, native order
    std::vector<size_t> ir, jc;        // sparse
};

struct WriteState;    // the write side's own state (mode "w")
struct UpdateState;   // the update side's own state (mode "u")
// Defined by the write and update sides, where their states are complete.
struct WriteStateDeleter { void operator()(WriteState* state) const; };
struct UpdateStateDeleter { void operator()(UpdateState* state) const; };

enum class OpenMode { Read, Write, Update };

}  // namespace matlib

struct MATFile {
    matlib::OpenMode mode = matlib::OpenMode::Read;
    std::shared_ptr<matlib::SourceFile> source;   // read and update modes
    uint8_t header[128] = {};                     // level 5: the file's header block
    matlib::VariableIndex entries;                // every variable, file order (see indexed)
    bool indexed = false;                         // entries holds the whole file
    bool indexDamaged = false;                    // the pass met a variable it could not read,
                                                  // or the index bounds: entries holds those before it
    uint64_t indexedNameBytes = 0;                // name bytes in entries (bounded)
    uint64_t scanOffset = 0;                      // where the variable after the last entry starts
    size_t cursorIndex = 0;                       // how many headers matGetNextArrayHeader has delivered
    std::unique_ptr<matlib::WriteState, matlib::WriteStateDeleter> writer;    // mode "w"
    std::unique_ptr<matlib::UpdateState, matlib::UpdateStateDeleter> updater; // mode "u"
    matProgressFn progress = nullptr;             // modes "w" and "u": matSetProgress
    void* progressContext = nullptr;
    ~MATFile();
};

// A variable read from a file (header, and data decoded on demand).
struct mxArray {
    std::string name;
    std::string className;
    mxClassID classId = mxUNKNOWN_CLASS;
    uint8_t fileClass = 0;                   // level 5 class code; 0 for version 4
    std::vector<mwSize> dims;
    bool complex = false, global = false, logical = false, sparse = false;
    int occurrence = 1;
    size_t nzmax = 0;
    const matlib::MatFormat* format = nullptr;   // its file's; null for an array made in memory
    std::shared_ptr<matlib::SourceFile> source;
    uint64_t elementOffset = 0, elementSize = 0;
    matlib::DataLocation data;
    mutable matlib::DecodedData decoded;
};

namespace matlib {

// Read side, used by the update side: scans the whole file once (headers
// only) and fills entries. False on a damaged file.
// Whether the open file is still as it was opened: a file rewritten in place
// meanwhile would give bytes of another file under the offsets of this one.
// False (and the reason for matLastError) when it changed.
bool SourceUnchanged(const SourceFile& source);

// The reason matLastError gives for the last refusal of this thread.
void SetLastError(const char* reason);
// The reason a cancelled write leaves (matLastWasCancelled compares with it).
extern const char* const kCancelledReason;
// The reason when a new file could not be given a name (matLastWasNotNamed).
extern const char* const kNotNamedReason;

bool IndexAllVariables(MATFile* mfp);

// Read side (v5_reader.cpp): whether the array's element refers to the
// subsystem data of its file: an opaque array (class 17) or a function
// handle anywhere inside it, cells and structs included. Walks the element's
// tags forward in fixed buffers; a damaged element answers true, since
// carrying data that nobody uses costs nothing but bytes.
bool RefersToSubsystem(const mxArray& array);
// Whether the array is its file's subsystem data (the unnamed variable the
// header's offset points at).
bool IsSubsystemData(const mxArray& array);

// Write side (mat_write.cpp): modes "w", "wk" (keepExisting) and "wz"
// (compressedNew: level-5 elements are compressed as they are written, and
// the file is made only where none exists); "w7" and "wk7" (convert73) and
// "wz": version 7.3 variables become compressed level-5 elements; "w73"
// (version73): a new version 7.3 file, made only where none exists, as "wz";
// "wr73" and "wk73": version 7.3 files as "w" and "wk" make them.
struct WriteMode {
    bool keepExisting = false;
    bool compressedNew = false;
    bool convert73 = false;
    bool version73 = false;
};
MATFile* OpenForWrite(const char* path, const WriteMode& mode);
int PutArray(MATFile* mfp, const mxArray* array);
int FinishWrite(MATFile* mfp);    // 0 on success
FILE* WriteStream(MATFile* mfp);  // the output file's stream (matGetFp), null when none
const char* WrittenPath(MATFile* mfp);   // where the new file went ("" before it is in place)

// Update side (mat_update.cpp): mode "u". matOpen reads the file as for "r"
// (source, header, IndexAllVariables), then hands the handle to BeginUpdate.
bool BeginUpdate(MATFile* mfp);
// Marks a variable for deletion; 0 when found. Occurrence 0 is the first
// variable of that name not yet marked (matDeleteArray); 1, 2, ... exactly that one.
int RecordDeletion(MATFile* mfp, const char* name, int occurrence);
// Records the addition of a variable read from another file (matPutArray in
// mode "u"): it replaces the variable of its name, or goes after the others.
// 0 when it can be added; otherwise non-zero and the reason for matLastError.
int RecordAddition(MATFile* mfp, const mxArray* array);
int ApplyDeletions(MATFile* mfp);  // 0 on success; on failure the file is untouched
int KeepNeededSubsystem(MATFile* mfp);   // matKeepNeededSubsystem
void SetWriteProgress(MATFile* mfp, matProgressFn progress, void* context);   // mode "w"

}  // namespace matlib

// The index of an open file and the MATFile handle: what the MAT-file
// operations, the write side and the update side share. Not part of the
// engine's interface (mat.h); only the engine and its tests include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/mat_internal.h"
#include "matlib/mat.h"

namespace matlib {

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

struct WriteState;    // the write side's own state (mode "w")
struct UpdateState;   // the update side's own state (mode "u")
// Made and destroyed by the write and update sides, where their states are
// complete: the handle keeps the function that destroys its state, so that
// closing a handle of mode "r" needs neither side.
struct WriteStateDeleter {
    void (*destroy)(WriteState* state) = nullptr;
    void operator()(WriteState* state) const { destroy(state); }
};
struct UpdateStateDeleter {
    void (*destroy)(UpdateState* state) = nullptr;
    void operator()(UpdateState* state) const { destroy(state); }
};

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

namespace matlib {

// Read side, used by the update side: scans the whole file once (headers
// only) and fills entries. False on a damaged file.
bool IndexAllVariables(MATFile* mfp);

// Mode "r" (mat_file.cpp): the file at `path` recognised and opened, its
// variables not yet read; null (and the reason for matLastOpenFailure) when
// it cannot be.
MATFile* OpenForRead(const char* path);

}  // namespace matlib

// What the engine's read side, write side and update side share. Not part of
// the engine's interface (mat.h); only matlib/ and its tests include it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "matlib/mat.h"

namespace matlib {

// An open file that variables were read from. Arrays keep it alive (shared),
// so an array read by matGetArray can still be decoded or copied after the
// MATFile handle that produced it was closed.
struct SourceFile {
    FILE* stream = nullptr;     // opened through platform::FileSystem()
    std::string path;
    uint64_t size = 0;          // the file's size when it was opened
    int version = 0;            // 4 or 5
    bool swapped = false;       // level 5: byte order differs from this machine's
    bool bigEndian = false;     // level 5: "MI" file ("IM" is little-endian)
    ~SourceFile();              // closes the stream
};

// One variable of a file, as the first pass over the file finds it.
struct VariableEntry {
    std::string name;
    int occurrence = 1;         // 1 for the first variable of this name, 2 for the next ...
    uint64_t offset = 0;        // where its element (level 5) or matrix header (version 4) starts
    uint64_t size = 0;          // all of its bytes up to where the next variable starts
};

// struct mxArray (global namespace, below) is defined by the read side. Besides
// its header (name, class id and name, dimensions, complex/global/logical/
// sparse flags, name occurrence) it carries where its bytes stand, which the
// write side copies byte for byte:
//   std::shared_ptr<SourceFile> source;   null for arrays not read from a file
//   uint64_t elementOffset, elementSize;  level 5: the whole element, tag
//                                         included, as it stands in the source
// A version 4 array is written through its decoded data (mxGetPr ...).

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
    std::vector<matlib::VariableEntry> entries;   // every variable, file order (see indexed)
    bool indexed = false;                         // entries holds the whole file
    std::unordered_multimap<std::string, size_t> byName;   // name -> index into entries
    uint64_t cursor = 0;                          // where matGetNextArrayHeader reads next
    size_t cursorIndex = 0;                       // how many headers it has delivered
    std::unique_ptr<matlib::WriteState, matlib::WriteStateDeleter> writer;    // mode "w"
    std::unique_ptr<matlib::UpdateState, matlib::UpdateStateDeleter> updater; // mode "u"
    ~MATFile();
};

namespace matlib {

// Read side, used by the update side: scans the whole file once (headers
// only) and fills entries and byName. False on a damaged file.
bool IndexAllVariables(MATFile* mfp);

// Write side (mat_write.cpp): mode "w".
MATFile* OpenForWrite(const char* path);
int PutArray(MATFile* mfp, const mxArray* array);
int FinishWrite(MATFile* mfp);    // 0 on success

// Update side (mat_update.cpp): mode "u". matOpen reads the file as for "r"
// (source, header, IndexAllVariables), then hands the handle to BeginUpdate.
bool BeginUpdate(MATFile* mfp);
int RecordDeletion(MATFile* mfp, const char* name, int occurrence);  // 0 when found
int ApplyDeletions(MATFile* mfp);  // 0 on success; on failure the file is untouched

}  // namespace matlib

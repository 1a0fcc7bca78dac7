// What the engine's layers share about a file and its arrays: the open source
// file, where an array's data lies, and struct mxArray itself. Not part of the
// engine's interface (codec/array.h, matlib/mat.h); only the engine and its
// tests include it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/array.h"
#include "os/file_io.h"

namespace matlib {

// An open file that variables were read from. Arrays keep it alive (shared),
// so an array read by matGetArray can still be decoded or copied after the
// MATFile handle that produced it was closed.
struct V73File;   // the client of a version 7.3 file's worker (v73client/v73_client.cpp)
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
    // Octave's gzip-wrapped file: `stream` is its unpacked copy (no name of
    // its own), which cannot be updated in place; the time is the file's own.
    bool gzipWrapped = false;
    int64_t wrapperModifiedTime = 0;
    // The read-ahead window (ReadAt): bytes [windowOffset, windowOffset +
    // windowBytes) of the file, allocated on first use. Like the stream, a
    // source is read by one thread at a time.
    std::unique_ptr<uint8_t[]> window;
    uint64_t windowOffset = 0;
    size_t windowBytes = 0;
    size_t windowFill = 0;      // the bytes its last fill asked for
    ~SourceFile();              // closes the stream
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

}  // namespace matlib


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

// Whether the open file is still as it was opened: a file rewritten in place
// meanwhile would give bytes of another file under the offsets of this one.
// False (and the reason for matLastError) when it changed.
bool SourceUnchanged(const SourceFile& source);

// The reason matLastError gives for the last refusal of this thread.
void SetLastError(const char* reason);
// The same for a reason made at run time: kept (copied) until the next one.
void SetLastErrorText(std::string reason);
// Marks the reason just set as a refusal (matLastWasRefused); the next
// reason set clears the mark.
void MarkLastErrorRefusal();
// The reason a cancelled write leaves (matLastWasCancelled compares with it).
extern const char* const kCancelledReason;
// The reason when a new file could not be given a name (matLastWasNotNamed).
extern const char* const kNotNamedReason;
// The reasons when the version 7.3 reader stopped (matLastWasReaderStopped).
extern const char* const kReaderKilledReason;
extern const char* const kReaderSilentReason;
// The reasons when the version 7.3 writer's worker was lost (matLastWasWriterLost).
extern const char* const kWriterKilledReason;
extern const char* const kWriterSilentReason;
extern const char* const kWriterCrashedReason;
// The reasons when objects of a version 7.3 file meet others (matLastWasObjectsApart).
extern const char* const kObjectsApartTargetReason;
extern const char* const kObjectsApartSourceReason;
extern const char* const kObjectsApartCopiedReason;


// Read side (v5_reader.cpp): whether the array's element refers to the
// subsystem data of its file: an opaque array (class 17) or a function
// handle anywhere inside it, cells and structs included. Walks the element's
// tags forward in fixed buffers; a damaged element answers true, since
// carrying data that nobody uses costs nothing but bytes.
bool RefersToSubsystem(const mxArray& array);
// Whether the array is its file's subsystem data (the unnamed variable the
// header's offset points at).
bool IsSubsystemData(const mxArray& array);

}  // namespace matlib

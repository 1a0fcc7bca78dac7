// The format readers of the engine's read side, behind one small interface:
// read the header of the variable at an offset (which also says where the
// next variable starts), and decode an array's data on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codec/held_bytes.h"
#include "codec/mat_internal.h"
#include "codec/source_io.h"

namespace platform {
struct StagedFile;
}

namespace matlib {

using platform::StagedFile;   // os/staged_file.h

enum class HeaderStatus { Ok, End, Damaged };

// What a file of a format is made of: version 4 matrices one after another
// (no header), a level-5 header block and elements, or HDF5 data behind a
// user block (version 7.3, read by the worker). The write side asks this
// to choose its target; nothing above the engine asks it.
enum class FileLayout { kVersion4, kLevel5, kHdf5, kInMemory };

// How an array of a format becomes a variable of another file (the write
// side's view of a read format): its level-5 element's bytes copied as they
// stand; an element written by its reader from what its file holds; or
// converted by its reader (version 7.3: the worker writes the element).
struct ElementSource {
    enum Kind { kCopied, kWritten, kConverted } kind;
    // kWritten: the element in the byte order asked for (swap: other than
    // this machine's), and as one compressed element (null: none, the
    // caller encodes or writes it uncompressed).
    bool (*write)(const mxArray* array, bool bigEndian, StagedFile* file);
    bool (*writeCompressed)(const mxArray* array, bool bigEndian, StagedFile* file);
    // kConverted: what the element of the array (or, with subsystem, of its
    // file's subsystem data) comes to and whether it refers to the
    // subsystem data, false and the reason for matLastError when it cannot
    // be had; and the writing of it, compressed when asked (always
    // little-endian).
    bool (*plan)(const mxArray& array, bool subsystem, uint64_t& bytes, bool& objects);
    bool (*convert)(const mxArray& array, bool subsystem, bool compress, StagedFile* file);
};

// One format's reading operations, chosen once when matOpen recognises the
// file (version 4, level 5, version 7.3) and kept by the file and every
// array read from it: the index, the header cursor, the data, the viewer's
// text and the check call through it, and nothing else asks which format a
// file is. One constant instance per format, in its reader's file.
struct MatFormat {
    const char* name;
    int number;                 // 4, 5 or 73 (matGetFormatInfo tells callers what it means)
    uint64_t variablesStart;    // where the first variable may start (after a header block)
    FileLayout layout;
    // Whether a file recognised by its header holds what the format needs
    // behind it (matIsMatFile); null: the header says enough.
    bool (*plausible)(SourceFile& source);
    // What the recognition could not see yet (the whole first matrix, the
    // HDF5 data): MAT_OPEN_OK, or the reason matOpen gives.
    int (*open)(const std::shared_ptr<SourceFile>& source, uint8_t header[128]);
    HeaderStatus (*readHeader)(const std::shared_ptr<SourceFile>& source, uint64_t offset, mxArray& array,
                               uint64_t& next);
    bool (*decode)(const mxArray& array, DecodedData& out);
    size_t (*readElements)(const mxArray& array, int part, uint64_t first, size_t count, double* asDouble,
                           int64_t* asInt64, uint64_t* asUInt64);
    // Null when the element is whole, else what is wrong; null function:
    // nothing to check beyond the header.
    const char* (*check)(const mxArray& array);
    // Null when the array's data lies inside its own file, else why not
    // (data kept in other files is never read); null function: always inside.
    const char* (*checkStorage)(const mxArray& array);
    // The first units of a text, at most room + 1, without a whole decode;
    // null function: the text is decoded whole.
    bool (*textUnits)(const mxArray& array, size_t room, std::vector<uint8_t>* out);
    // Whether the viewer's text describes the array (structs, cells, objects).
    bool (*describable)(const mxArray& array);
    // The array element that text is made from, and its byte order.
    bool (*shownElement)(const mxArray& array, size_t textRoom, std::vector<uint8_t>& element, bool& swapped);
    // The array's whole element (inflated), when it takes at most `most`
    // bytes; false otherwise or when it cannot be read (why in the held
    // bytes' reason, when the holding failed). Null function: the format has
    // no level-5 element to give (version 4, imported arrays).
    bool (*wholeElement)(const mxArray& array, uint64_t most, HeldBytes& element, bool& swapped);
    // The file's subsystem data in the level-5 form (the unnamed variable's
    // uint8 data), when it takes at most `most` bytes; false and the reason
    // when it cannot be had.
    bool (*subsystemPayload)(const mxArray& array, uint64_t most, HeldBytes& payload, const char*& reason);
    const ElementSource* element;   // how its arrays go into other files
};
extern const MatFormat kV4Format, kV5Format;   // kV73Format: v73client/v73_reader.h
// The operations of a format whose arrays show no contents and whose files
// hold no subsystem data (version 4, imported arrays).
inline bool NeverDescribed(const mxArray&) { return false; }
inline bool NoShownElement(const mxArray&, size_t, std::vector<uint8_t>&, bool&) { return false; }
inline bool NoSubsystemPayload(const mxArray&, uint64_t, HeldBytes&, const char*& reason) {
    reason = "the file holds no subsystem data";
    return false;
}
// Arrays whose values another program's file holds (mxCreateImportedArray):
// written as level-5 elements, never read from a MAT-file.
extern const MatFormat kImportedFormat;

// Level 5 and version 4: the header of the variable whose element or matrix
// starts at `offset` (name, class, dimensions, flags, where its data lies).
// On Ok, `next` is where the next variable starts. Reads a few small pieces,
// whatever the variable's size or nesting.
HeaderStatus ReadV5Header(const std::shared_ptr<SourceFile>& source, uint64_t offset,
                          mxArray& array, uint64_t& next);
HeaderStatus ReadV4Header(const std::shared_ptr<SourceFile>& source, uint64_t offset,
                          mxArray& array, uint64_t& next);


// The class name of an array of this class; empty for objects and opaque
// arrays, whose file names their class.
const char* OwnClassName(mxClassID id);

// Whether these bytes (at least 20) begin a version 4 matrix that we read, and
// in which byte order. Machine codes other than IEEE (VAX, Cray) answer false.
bool ProbeV4(const uint8_t* bytes, bool& swapped);

// One level-5 subelement: its type, byte count, where its data starts and
// where the subelement after it starts.
struct SubElement {
    uint32_t type = 0;
    uint32_t bytes = 0;
    uint64_t dataPos = 0;
    uint64_t next = 0;
    bool small = false;
    uint8_t smallData[4] = {};
};
// Reads the subelement tag at pos; its data must end by `end`.
bool ReadSubElement(ElementInput& stream, uint64_t pos, uint64_t end, bool swapped, SubElement& out);
// Reads the data of a subelement (n bytes from its start) into buffer.
bool ReadSubElementData(ElementInput& stream, const SubElement& sub, void* buffer, size_t n);

// An array element's header, from its array flags to the first subelement
// after its name (and an object's or opaque array's class name): the one
// parse of it for elements in files and in memory. Opaque arrays say 1x1.
struct ArrayHeader {
    uint8_t code = 0;   // the file's class code
    bool complex = false, global = false, logical = false;
    uint32_t nzmax = 0;
    std::vector<uint64_t> dims;
    uint64_t count = 1;   // product of dims
    std::string name;
    std::string className;   // objects and opaque arrays only
    std::string typeSystem;  // opaque arrays only: "MCOS" for MATLAB's own classes
    uint64_t dataPos = 0;    // what follows: field names, children, data, an opaque array's content
};
bool ReadArrayHeader(ElementInput& bytes, bool swapped, uint64_t pos, uint64_t end, ArrayHeader& out);

// Full decodes (mxGetPr and siblings) and partial reads (mxReadElements).
bool DecodeV5(const mxArray& array, DecodedData& out);
// Character data stored as UTF-8 (scipy writes it so) as MATLAB's UTF-16
// code units (a character beyond U+FFFF two; malformed bytes U+FFFD).
void Utf8ToCodeUnits(const uint8_t* bytes, size_t count, std::vector<uint32_t>& units);
// The data subelements of a numeric, char or sparse array element (class
// code fileClass; dimensions and flags those of `array`), from pos on, inside
// end: the one decode of level-5 data, whoever holds the bytes. A sparse
// array's values are one per stored element (jc's last), or with
// valuePerRowIndex one per row index (as a version 7.3 file keeps them).
bool DecodeArrayData(ElementInput& bytes, const mxArray& array, uint8_t fileClass, bool swapped, uint64_t pos,
                     uint64_t end, bool valuePerRowIndex, DecodedData& out);
bool DecodeV4(const mxArray& array, DecodedData& out);
// Null when the element is whole (see mxCheckArray), else what is wrong.
const char* CheckV5Element(const mxArray& array);
size_t ReadV5Elements(const mxArray& array, int part, uint64_t first, size_t count,
                      double* asDouble, int64_t* asInt64, uint64_t* asUInt64);
// Reads one numeric part of a level-5 array forward, batch after batch, with
// one stream kept open: a compressed element inflates once, and no further
// than the elements read. Damage met (a broken stream, a part shorter than
// the array, a wrong checksum once the last part is read to its end) stops
// the reads and is kept.
class V5ElementCursor {
public:
    V5ElementCursor(const mxArray& array, int part);
    size_t Read(size_t count, double* asDouble, int64_t* asInt64, uint64_t* asUInt64);
    // Moves to element `first` without reading what lies between, where the
    // part is stored uncompressed (its values stand at their places in the
    // file); false for a compressed part, which is read forward only.
    bool SeekTo(uint64_t first);
    bool damaged() const { return damaged_ || !opened_; }

private:
    const mxArray& array_;
    ElementStream stream_;
    SubElement sub_;
    size_t width_ = 1;
    uint64_t stored_ = 0;
    uint64_t next_ = 0;
    bool lastPart_ = false;
    bool opened_ = false;
    bool damaged_ = false;
};
// Where one numeric part's values stand in the file exactly as an array of
// the class's own type in this machine's byte order: a level-5 element not
// compressed, one value per element. False otherwise.
bool StoredAsTheyAre(const mxArray& array, int part, uint64_t& fileOffset, uint64_t& bytes);
size_t ReadV4Elements(const mxArray& array, int part, uint64_t first, size_t count,
                      double* asDouble, int64_t* asInt64, uint64_t* asUInt64);
// A version 4 sparse matrix stores its triplets as columns of its rows: 0
// the row indices, 1 the column indices, 2 the real values, 3 the imaginary
// ones (1-based indices; the last row holds the dimensions). Reads values
// [first, first + count) of one of them as doubles.
bool ReadV4SparseColumn(const mxArray& array, uint32_t column, uint64_t first, size_t count, double* out);
// A version 4 text value as the code unit MATLAB loads: 0 to 65535 are
// themselves, anything else is no character (U+FFFD).
inline uint16_t V4CodeUnit(double v) { return v >= 0 && v <= 65535 ? static_cast<uint16_t>(v) : 0xFFFD; }

// A value of a stored numeric type, converted.
double LoadDouble(const uint8_t* p, uint32_t type, bool swapped);
int64_t LoadInt64(const uint8_t* p, uint32_t type, bool swapped);
uint64_t LoadUInt64(const uint8_t* p, uint32_t type, bool swapped);

}  // namespace matlib

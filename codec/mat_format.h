// The constants of the MAT-file formats (version 4 and level 5) in one place:
// type and class codes, offsets, record sizes, and the limits the engine puts
// on what a file may claim.
#pragma once

#include <cstddef>
#include <cstdint>

namespace matlib::format {

// ---- level 5: the 128-byte header ----------------------------------------
constexpr size_t kHeaderSize = 128;
constexpr size_t kHeaderTextSize = 116;          // descriptive text, blank padded
constexpr size_t kSubsystemOffsetAt = 116;       // 8 bytes
constexpr size_t kVersionAt = 124;               // 16-bit version
constexpr size_t kEndianAt = 126;                // "IM" (little-endian) or "MI"
constexpr uint16_t kVersion5 = 0x0100;
constexpr uint16_t kVersion73 = 0x0200;          // an HDF5 file behind the header
constexpr uint64_t kV73UserBlockSize = 512;      // the HDF5 data starts after it
constexpr uint8_t kHdf5Signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
constexpr uint8_t kEndianLittle[2] = {'I', 'M'};
constexpr uint8_t kEndianBig[2] = {'M', 'I'};

// ---- level 5: data elements ----------------------------------------------
constexpr size_t kTagSize = 8;
constexpr size_t kSmallTagSize = 8;              // small element: 4-byte tag + 4 data bytes
constexpr size_t kSmallDataMax = 4;
constexpr uint64_t kAlignment = 8;               // uncompressed elements end on 8-byte bounds
// The zero bytes that follow `bytes` of an uncompressed element's data, and
// its size with them: the one rule of every reader and writer.
constexpr size_t PaddingAfter(uint64_t bytes) { return static_cast<size_t>((kAlignment - bytes % kAlignment) % kAlignment); }
constexpr uint64_t PaddedSize(uint64_t bytes) { return bytes + PaddingAfter(bytes); }
// A subelement of 1 to 4 data bytes is written as MATLAB writes it, in the
// small form (its data in the second half of its 8 bytes; Octave refuses a
// struct whose field-name length comes otherwise): the bytes after its data,
// and its whole size with its tag.
constexpr bool IsSmallData(uint64_t bytes) { return bytes > 0 && bytes <= kSmallDataMax; }
constexpr size_t SubelementPadding(uint64_t bytes) {
    return IsSmallData(bytes) ? static_cast<size_t>(kSmallDataMax - bytes) : PaddingAfter(bytes);
}
constexpr uint64_t SubelementSize(uint64_t bytes) { return IsSmallData(bytes) ? kSmallTagSize : kTagSize + PaddedSize(bytes); }
inline constexpr uint8_t kZeroPadding[kAlignment] = {};

enum DataType : uint32_t {
    miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6,
    miSINGLE = 7, miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14,
    miCOMPRESSED = 15, miUTF8 = 16, miUTF16 = 17, miUTF32 = 18,
};

// Bytes of one value of a numeric data type; 0 for any other code.
constexpr size_t DataTypeSize(uint32_t type) {
    switch (type) {
        case miINT8: case miUINT8: case miUTF8: return 1;
        case miINT16: case miUINT16: case miUTF16: return 2;
        case miINT32: case miUINT32: case miSINGLE: case miUTF32: return 4;
        case miDOUBLE: case miINT64: case miUINT64: return 8;
        default: return 0;
    }
}

// Array classes: the low byte of the first array-flags word.
enum ArrayClass : uint8_t {
    mxCELL = 1, mxSTRUCT = 2, mxOBJECT = 3, mxCHAR = 4, mxSPARSE = 5, mxDOUBLE = 6,
    mxSINGLE = 7, mxINT8 = 8, mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11, mxINT32 = 12,
    mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15, mxFUNCTION = 16, mxOPAQUE = 17,
};

// Bits of the flags byte (second byte of the first array-flags word).
constexpr uint8_t kFlagComplex = 0x08;
constexpr uint8_t kFlagGlobal = 0x04;
constexpr uint8_t kFlagLogical = 0x02;
constexpr size_t kArrayFlagsBytes = 8;           // flags word, nzmax word

// ---- objects and the subsystem data ---------------------------------------
// An object's opaque element (class 17) holds, after its type system ("MCOS")
// and class name, a uint32 array: this marker, the number of dimensions, the
// dimensions, one object id per element, and a class id. Values inside the
// subsystem data refer to objects by the same kind of array.
constexpr uint32_t kObjectMarker = 0xDD000000;
// The subsystem data (the unnamed variable's uint8 bytes) starts with the
// version and endian indicator of a level-5 header, padded to 8 bytes; a
// level-5 stream of elements follows.
constexpr size_t kSubsystemPreamble = 8;

// ---- version 4 ------------------------------------------------------------
constexpr size_t kV4HeaderSize = 20;             // type, mrows, ncols, imagf, namlen
// The type word is M*1000 + O*100 + P*10 + T.
constexpr uint32_t kV4MachineLittle = 0;         // IEEE little-endian
constexpr uint32_t kV4MachineBig = 1;            // IEEE big-endian
constexpr uint32_t kV4MachineMax = 4;            // 2 VAX D, 3 VAX G, 4 Cray: refused
enum V4Precision : uint32_t {
    kV4Double = 0, kV4Single = 1, kV4Int32 = 2, kV4Int16 = 3, kV4UInt16 = 4, kV4UInt8 = 5,
};
enum V4Type : uint32_t { kV4Full = 0, kV4Text = 1, kV4Sparse = 2 };

constexpr size_t V4PrecisionSize(uint32_t precision) {
    switch (precision) {
        case kV4Double: return 8;
        case kV4Single: case kV4Int32: return 4;
        case kV4Int16: case kV4UInt16: return 2;
        case kV4UInt8: return 1;
        default: return 0;
    }
}

// ---- limits on what a file may claim ------------------------------------------
// MATLAB names are at most 63 characters; other writers go further, but a
// name of more than 4095 bytes is no name anybody can use (and would not fit
// a path on any host).
constexpr size_t kMaxNameLength = 4095;
// Class names of objects and opaque arrays: MATLAB qualifies them with
// package names; 4095 is far beyond any real one.
constexpr size_t kMaxClassNameLength = 4095;
// MATLAB arrays have rarely more than a handful of dimensions; 64 is far
// beyond any real array and keeps a header read small.
constexpr size_t kMaxDimensions = 64;
// A sparse array needs one column start per column. A version 4 file gives
// the column count as a number, not as stored data, so beyond this many
// columns (16 MB of column starts) the file must hold at least one byte per
// column for the count to be believed.
constexpr uint64_t kMaxV4SparseColumnsFree = uint64_t{1} << 21;

// Variables indexed in one file. Each costs about 200 bytes of index in the
// host's process whatever its size in the file, and a variable may take as
// little as 37 bytes of it: without a bound a 1 GB file of scalars would take
// gigabytes to list. A million is far beyond any workspace MATLAB saves. A
// file with more lists its first million, as a damaged file lists the
// variables before the damage, and deletion refuses it.
constexpr size_t kMaxVariables = 1000000;
// Bytes of variable names in one file's index: a million names of MATLAB's
// longest (63 characters). Names of thousands of bytes each would otherwise
// reach gigabytes well before the variable bound. Reached, it ends the index
// as kMaxVariables does.
constexpr uint64_t kMaxIndexedNameBytes = 64 * 1024 * 1024;

// The viewer's text of structs, cells and objects is the one reader that
// recurses (values inside values); it goes no deeper than this, which is
// more nesting than any text of a few kilobytes can show.
constexpr size_t kMaxShownNesting = 16;
// The viewer decodes object values from the subsystem data held whole in
// memory; a file whose subsystem data inflates to more than this shows its
// objects by class and size only. 64 MB is the data of tables of hundreds of
// thousands of rows, far beyond what a text of a few kilobytes can show.
constexpr uint64_t kMaxDecodedSubsystemBytes = 64 * 1024 * 1024;
// Subsystem data written into a version 7.3 file as it stands (a level-5
// file's, converted) is held whole as well, in the plug-in and in the
// worker that writes it: a table of millions of rows, far below MATLAB's
// own bound of 2 GB for a level-5 variable. Merging keeps the bound above.
constexpr uint64_t kMaxCarriedSubsystemBytes = 512 * 1024 * 1024;
// A struct or cell variable is shown from its first bytes only: beyond these
// the text has long passed its end.
constexpr uint64_t kMaxShownElementBytes = 1024 * 1024;
// A struct's field names are read whole up to this many bytes (262,144
// names of MATLAB's longest), and its first fields after them; beyond it
// its fields show as not read.
constexpr uint64_t kMaxShownFieldNameBytes = 16 * 1024 * 1024;
// Elements listed for one cell or struct array; the values of a numeric
// array shown inline when it has at most kShortArray elements; the
// characters of a char row shown.
constexpr uint64_t kShownChildren = 20;
constexpr uint64_t kShortArray = 10;
constexpr size_t kShortText = 80;

// Apart from that text, no reader here recurses. Headers are read
// without looking inside cells and structs, and only numeric, char and
// sparse data is ever decoded; everything else is copied as bytes.
// A header read touches only the tag, flags, dimensions, name and class
// names (and an object's metadata array, for its dimensions), each bounded above, so it inflates at most a few kilobytes of a
// compressed element, whatever the element claims.

// zlib's deflate cannot compress better than 1032:1 (RFC 1951 limits); a
// compressed element that claims more inflated bytes than this ratio allows is
// damaged, whatever its stream says.
constexpr uint64_t kMaxDeflateRatio = 1032;
// Chunks in which compressed bytes are read from the file and inflated output
// is skipped: small fixed buffers, whatever the element's size.
constexpr size_t kInflateChunk = 16 * 1024;
// The type system that opaque arrays of MATLAB's own classes name.
constexpr char kTypeSystem[] = "MCOS";
// The read-ahead window of an open file: headers and small elements are
// served from it, so that a pass over many small variables costs one read
// per window rather than a seek and a read per field.
constexpr size_t kReadWindow = 64 * 1024;
// Its first fill, and its fill after a jump: a variable's header and a
// compressed one's first input lie within it. Fills double while reads go on
// past the last one (a walk over small variables, data read forward), so a
// header read in a file of large variables, or the MAT header alone, costs
// a page or so, not the whole window.
constexpr size_t kFirstReadFill = 4 * 1024;

}  // namespace matlib::format

// The level-5 element writers: elements encoded from decoded data,
// compressed elements, elements made of bytes produced in pieces (not part
// of the engine's interface).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "codec/array.h"
#include "codec/mat_format.h"

namespace platform {
struct StagedFile;
}

namespace matlib {

// Level-5 bytes appended to a buffer in the output's byte order (swap: other
// than this machine's): the one writer of tags, padded subelements and
// nested elements whose sizes are filled in once their contents stand.
struct ElementWriter {
    std::vector<uint8_t>* out;
    bool swap;

    void Word(uint32_t value);
    void Bytes(const void* data, size_t n);   // as they are
    void Pad();                               // to 8 bytes
    // `count` values of `size` bytes each, this machine's order in.
    void Values(const void* data, size_t count, size_t size);
    // A subelement: its tag, its values, its padding (the small form for
    // 1 to 4 bytes, as SubelementTag).
    void Element(uint32_t type, const void* data, size_t count, size_t size);
    // A tag whose size End fills in, once what it holds is written.
    size_t Begin(uint32_t type);
    void End(size_t at);
};

// The tag of a subelement or element whose `bytes` of data a streaming
// writer puts out after it, in pieces, then its padding (PaddingAfter): in
// the byte order asked for (swap: other than this machine's).
std::array<uint8_t, format::kTagSize> StreamedTag(uint32_t type, uint32_t bytes, bool swap);
// The tag of a subelement of `bytes` data bytes as MATLAB writes it: the
// small form's 4 bytes (type and size in one word) for 1 to 4 bytes, else
// the 8-byte tag. Its data and SubelementPadding(bytes) follow.
struct SubelementTagBytes {
    std::array<uint8_t, format::kTagSize> bytes;
    size_t size;
};
SubelementTagBytes SubelementTag(uint32_t type, uint32_t bytes, bool swap);

// What stands in an array element between its tag and its data.
struct ArrayHead {
    uint8_t classCode = 0;      // the file's class code (mxDOUBLE, mxSTRUCT, ...)
    uint8_t flagBits = 0;       // kFlagComplex, kFlagGlobal, kFlagLogical
    uint32_t nzmax = 0;         // sparse arrays: the values stored
    const mwSize* dims = nullptr;
    size_t rank = 0;            // none for an opaque array
    std::string_view name;
    std::string_view className; // objects and opaque arrays
};
// The head's bytes: the array flags, the dimensions (not for an opaque
// array), the name, then an object's class name or an opaque array's type
// system ("MCOS") and class name, each a subelement padded to 8 bytes, in
// the byte order asked for (swap: other than this machine's). The one writer
// of it for every element the engine and the worker make. False, with
// nothing appended, when a dimension exceeds the format's 31 bits.
bool AppendArrayHead(const ArrayHead& head, bool swap, std::vector<uint8_t>& out);
// How many bytes AppendArrayHead appends.
uint64_t ArrayHeadBytes(const ArrayHead& head);

// The level-5 miMATRIX element (tag included) that holds `array` through its
// decoded data (mxGetPr, mxGetPi, mxGetIr, mxGetJc), in the given byte order:
// numeric, logical, char and sparse arrays, as a version 4 file yields them.
// False for other classes, data that cannot be decoded, sizes beyond what a
// level-5 element can hold, or no memory.
bool EncodeDecodedArray(const mxArray* array, bool bigEndian, std::vector<uint8_t>* element);

// The subsystem data's own element: the unnamed 1-by-N uint8 variable that
// holds `payload`, as MATLAB writes it, tag included, in the byte order
// asked for (swap: other than this machine's). False when it is too large
// for one element.
bool EncodeSubsystemElement(const std::vector<uint8_t>& payload, bool swap, std::vector<uint8_t>& element);

using platform::StagedFile;   // os/staged_file.h
// Writes the same element for an array read from a version 4 file, its
// values read from that file and converted in pieces: memory stays at a few
// hundred kilobytes whatever the array's size (a sparse array whose triplets
// are out of column order is decoded whole). False for other arrays and when
// anything cannot be read or written.
bool WriteV4Element(const mxArray* array, bool bigEndian, StagedFile* file);

// A miCOMPRESSED element (tag included) that holds `size` bytes: those of
// `source` from `offset` (read in pieces, never whole), or `data`. Its tag
// is written first and its size filled in when the stream is complete. False
// when anything cannot be read or written, or the stream outgrows a tag.
bool WriteCompressedCopy(StagedFile* file, bool bigEndian, FILE* source, uint64_t offset, uint64_t size);
bool WriteCompressedBytes(StagedFile* file, bool bigEndian, const uint8_t* data, size_t size);
// The same for bytes that `next(buffer, n)` delivers, n at a time, in order.
bool WriteCompressedFrom(StagedFile* file, bool bigEndian, uint64_t size, const std::function<bool(uint8_t*, size_t)>& next);

// The `size` bytes that `next` delivers, as they come: written as they
// are, or as one miCOMPRESSED element of them when `compress`.
bool WriteElementFrom(StagedFile* file, bool bigEndian, uint64_t size, bool compress,
                      const std::function<bool(uint8_t*, size_t)>& next);

// Whether the level-5 element at `offset` of the source is a compressed one.
struct SourceFile;
bool IsCompressedElement(const SourceFile& source, uint64_t offset);

}  // namespace matlib

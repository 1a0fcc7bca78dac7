// The write side's pieces that the update side shares (not part of the
// engine's interface).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <vector>

#include "matlib/mat.h"
#include "matlib/mat_format.h"

namespace matlib {

// A level-5 header as MATLAB writes it: "MATLAB 5.0 MAT-file, Platform: ...,
// Created on: <asctime of `now` in local time, without its line feed>"
// padded with blanks to 116 bytes, no subsystem data (eight zero bytes),
// version 0x0100 and the endian indicator, in the given byte order.
void BuildHeader5(uint8_t header[format::kHeaderSize], bool bigEndian, std::time_t now);

// The level-5 miMATRIX element (tag included) that holds `array` through its
// decoded data (mxGetPr, mxGetPi, mxGetIr, mxGetJc), in the given byte order:
// numeric, logical, char and sparse arrays, as a version 4 file yields them.
// False for other classes, data that cannot be decoded, sizes beyond what a
// level-5 element can hold, or no memory.
bool EncodeDecodedArray(const mxArray* array, bool bigEndian, std::vector<uint8_t>* element);

struct StagedFile;
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

// A version 7.3 variable (or, with subsystem, its file's subsystem data as
// the unnamed variable) written as a level-5 element by its file's worker,
// little-endian; compressed as it arrives when `compress`
// (mat_write_converted.cpp). False when anything cannot be read or written;
// the file is then broken.
bool WriteV73Level5(const mxArray& array, bool subsystem, bool compress, StagedFile* file);

// Whether the level-5 element at `offset` of the source is a compressed one.
struct SourceFile;
bool IsCompressedElement(const SourceFile& source, uint64_t offset);

}  // namespace matlib

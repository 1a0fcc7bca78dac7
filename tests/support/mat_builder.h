// Writes MAT-files byte by byte for tests, knowing the format on its own
// (independently of the engine, so that a test catches the engine misreading
// a constant): level-5 files in either byte order, every class, compressed
// elements, version 4 matrices. Everything is a byte vector; the low-level
// pieces (Tag, Element, FlagsElement, ...) build damaged files too.
//
//   WriteFile(dir.file("a.mat"), File5(Order::Little, {
//       NumericVar(Order::Little, "A", mxDOUBLE, {3, 4}, Iota(12)),
//       Compressed(Order::Little, CharVar(Order::Little, "s", "hello"))}));
#pragma once

#include <cstdint>
#include <initializer_list>
#include <filesystem>
#include <string>
#include <vector>

namespace matbuild {

using Bytes = std::vector<uint8_t>;

enum class Order { Little, Big };   // level-5 byte order: "IM" or "MI"

// Level-5 data types.
enum DataType : uint32_t {
    miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6,
    miSINGLE = 7, miDOUBLE = 9, miINT64 = 12, miUINT64 = 13, miMATRIX = 14,
    miCOMPRESSED = 15, miUTF8 = 16, miUTF16 = 17, miUTF32 = 18,
};

// Level-5 array classes (the low byte of the array flags).
enum ClassCode : uint8_t {
    mxCELL = 1, mxSTRUCT = 2, mxOBJECT = 3, mxCHAR = 4, mxSPARSE = 5, mxDOUBLE = 6,
    mxSINGLE = 7, mxINT8 = 8, mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11, mxINT32 = 12,
    mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15, mxFUNCTION = 16, mxOPAQUE = 17,
};

// Bits of the array flags' second byte.
enum FlagBits : uint8_t { kComplex = 0x08, kGlobal = 0x04, kLogical = 0x02 };

// The header text of files built here unless a test gives another.
extern const char* const kHeaderText;   // "MATLAB 5.0 MAT-file, ... Created on: Fri Feb 18 10:28:03 2005"

// ---- raw pieces -----------------------------------------------------------

Bytes Cat(std::initializer_list<Bytes> parts);
void Append(Bytes& to, const Bytes& more);
Bytes U16(Order order, uint16_t value);
Bytes U32(Order order, uint32_t value);
Bytes U64(Order order, uint64_t value);
Bytes Text(const std::string& text);   // the characters, no terminator

// The 128-byte header: the text blank-padded to 116 bytes, the subsystem
// data's offset, version 0x0100, "IM" or "MI".
Bytes Header5(Order order, const std::string& text = kHeaderText, uint64_t subsystemOffset = 0);
// Header5 followed by the elements.
Bytes File5(Order order, std::initializer_list<Bytes> elements, const std::string& text = kHeaderText);
Bytes File5(Order order, const std::vector<Bytes>& elements, const std::string& text = kHeaderText);

// An 8-byte tag: type then byte count.
Bytes Tag(Order order, uint32_t type, uint32_t size);
// A data element padded to 8 bytes; with allowSmall, 1 to 4 bytes of payload
// take the small form (count and type in one word).
Bytes Element(Order order, uint32_t type, const Bytes& payload, bool allowSmall = true);

// Values converted to a numeric data type, in the byte order.
Bytes Values(Order order, uint32_t type, const std::vector<double>& values);
Bytes ValuesI64(Order order, const std::vector<int64_t>& values);
Bytes ValuesU64(Order order, const std::vector<uint64_t>& values);
Bytes ValueElement(Order order, uint32_t type, const std::vector<double>& values);

// 0, 1, 2, ... n-1 as doubles.
std::vector<double> Iota(size_t n, double start = 0);

// The parts of an array element's content.
Bytes FlagsElement(Order order, uint8_t classCode, uint8_t flagBits = 0, uint32_t nzmax = 0);
Bytes DimsElement(Order order, const std::vector<int32_t>& dims);
Bytes NameElement(Order order, const std::string& name);   // miINT8, small when <= 4 bytes

// An miMATRIX element around the given content (flags, dims, name, data...).
Bytes Matrix(Order order, const Bytes& content);

// ---- whole variables (each an miMATRIX element) ------------------------------

// A numeric or logical array. `storeType` is the data type the values are
// written as (0: the class's own type); imag non-empty makes it complex.
Bytes NumericVar(Order order, const std::string& name, uint8_t classCode,
                 const std::vector<int32_t>& dims, const std::vector<double>& real,
                 const std::vector<double>& imag = {}, uint8_t flagBits = 0, uint32_t storeType = 0);
// A char array of UTF-16 code units stored with the given type (miUINT16,
// miUTF16, miUTF8 (then `units` must be ASCII or pre-encoded bytes), miINT8...).
Bytes CharVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
              const std::vector<uint16_t>& units, uint32_t storeType = miUINT16);
// A 1-by-n char array of ASCII text.
Bytes CharVar(Order order, const std::string& name, const std::string& ascii);
// A sparse m-by-n array (double, or logical with kLogical); ir/jc as stored.
Bytes SparseVar(Order order, const std::string& name, int32_t m, int32_t n,
                const std::vector<int32_t>& ir, const std::vector<int32_t>& jc,
                const std::vector<double>& real, const std::vector<double>& imag = {},
                uint8_t flagBits = 0);
// A cell array; each cell is a whole miMATRIX element (use an empty name).
Bytes CellVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
              const std::vector<Bytes>& cells, uint8_t flagBits = 0);
// A struct array; values holds, for each element in storage order, one
// miMATRIX element per field.
Bytes StructVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
                const std::vector<std::string>& fields, const std::vector<Bytes>& values,
                uint8_t flagBits = 0);
// An old-style object: a struct with a class name.
Bytes ObjectVar(Order order, const std::string& name, const std::string& className,
                const std::vector<int32_t>& dims, const std::vector<std::string>& fields,
                const std::vector<Bytes>& values);
// A function handle: 1x1, then one inner miMATRIX element (MATLAB's struct).
Bytes FunctionHandleVar(Order order, const std::string& name, const Bytes& inner);
// An opaque array: no dims; type system, class name, one inner element.
Bytes OpaqueVar(Order order, const std::string& name, const std::string& className,
                const Bytes& inner, const std::string& typeSystem = "MCOS");

// An miCOMPRESSED element holding the zlib stream of `element` (default level).
Bytes Compressed(Order order, const Bytes& element);
// An miCOMPRESSED element around arbitrary stream bytes (for damaged streams).
Bytes CompressedRaw(Order order, const Bytes& stream);
// zlib compress / the raw deflate stream of bytes.
Bytes Zlib(const Bytes& data, int level = 6);

// ---- version 4 ---------------------------------------------------------------

enum class V4Order { Little = 0, Big = 1 };   // machine code M of the type word
enum class V4Precision { Double = 0, Single = 1, Int32 = 2, Int16 = 3, UInt16 = 4, UInt8 = 5 };
enum class V4Type { Full = 0, Text = 1, Sparse = 2 };

// One version 4 matrix: type word M*1000 + P*10 + T, mrows, ncols, imagf,
// the name's length with its NUL, the name, real then imaginary values
// (column-major; a sparse matrix's are its stored triplet columns).
Bytes V4Matrix(V4Order order, V4Precision precision, V4Type type, const std::string& name,
               uint32_t mrows, uint32_t ncols, const std::vector<double>& real,
               const std::vector<double>& imag = {});
// The same with a raw type word and data.
Bytes V4MatrixRaw(V4Order order, uint32_t typeWord, const std::string& name, uint32_t mrows,
                  uint32_t ncols, uint32_t imagf, const Bytes& data);

// ---- files -------------------------------------------------------------------

// Writes the bytes to path; throws std::runtime_error when it cannot.
// A UTF-8 path as the file system takes it (wide, and in the "\\?\" form
// when long, on Windows).
std::filesystem::path FsPath(const std::string& utf8);
void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

}  // namespace matbuild

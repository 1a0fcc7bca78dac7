// Writes MAT-files byte by byte for tests, knowing the format on its own
// (independently of the engine, so that a test catches the engine misreading
// a constant): level-5 files in either byte order, every class, compressed
// elements, version 4 matrices. The low-level pieces build damaged files too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace matbuild {

using Bytes = std::vector<uint8_t>;

enum class Order { Little, Big };   // level-5 byte order: "IM" or "MI"

enum DataType : uint32_t {
    miINT8 = 1, miUINT8 = 2, miINT16 = 3, miUINT16 = 4, miINT32 = 5, miUINT32 = 6, miSINGLE = 7, miDOUBLE = 9,
    miINT64 = 12, miUINT64 = 13, miMATRIX = 14, miCOMPRESSED = 15, miUTF8 = 16, miUTF16 = 17, miUTF32 = 18,
};
enum ClassCode : uint8_t {
    mxCELL = 1, mxSTRUCT = 2, mxOBJECT = 3, mxCHAR = 4, mxSPARSE = 5, mxDOUBLE = 6, mxSINGLE = 7, mxINT8 = 8,
    mxUINT8 = 9, mxINT16 = 10, mxUINT16 = 11, mxINT32 = 12, mxUINT32 = 13, mxINT64 = 14, mxUINT64 = 15,
    mxFUNCTION = 16, mxOPAQUE = 17,
};
enum FlagBits : uint8_t { kComplex = 0x08, kGlobal = 0x04, kLogical = 0x02 };   // the array flags' second byte

// "MATLAB 5.0 MAT-file, ... Created on: Fri Feb 18 10:28:03 2005"
extern const char* const kHeaderText;

// ---- raw pieces -----------------------------------------------------------
Bytes Cat(std::initializer_list<Bytes> parts);
void Append(Bytes& to, const Bytes& more);
Bytes U16(Order order, uint16_t value);
Bytes U32(Order order, uint32_t value);
Bytes U64(Order order, uint64_t value);
Bytes Text(const std::string& text);   // the characters, no terminator

// The 128-byte header: text blank-padded to 116 bytes, subsystem offset, version 0x0100, "IM"/"MI".
Bytes Header5(Order order, const std::string& text = kHeaderText, uint64_t subsystemOffset = 0);
Bytes File5(Order order, std::initializer_list<Bytes> elements, const std::string& text = kHeaderText);
Bytes File5(Order order, const std::vector<Bytes>& elements, const std::string& text = kHeaderText);

Bytes Tag(Order order, uint32_t type, uint32_t size);
// A data element padded to 8 bytes; with allowSmall, 1 to 4 bytes of payload take the small form.
Bytes Element(Order order, uint32_t type, const Bytes& payload, bool allowSmall = true);
Bytes Values(Order order, uint32_t type, const std::vector<double>& values);
Bytes ValuesI64(Order order, const std::vector<int64_t>& values);
Bytes ValuesU64(Order order, const std::vector<uint64_t>& values);
Bytes ValueElement(Order order, uint32_t type, const std::vector<double>& values);
std::vector<double> Iota(size_t n, double start = 0);   // start, start+1, ... (n values)

Bytes FlagsElement(Order order, uint8_t classCode, uint8_t flagBits = 0, uint32_t nzmax = 0);
Bytes DimsElement(Order order, const std::vector<int32_t>& dims);
Bytes NameElement(Order order, const std::string& name);   // small when <= 4 bytes
Bytes Matrix(Order order, const Bytes& content);           // an miMATRIX element around the content

// ---- whole variables (each an miMATRIX element) ------------------------------
// `storeType`: the data type the values are written as (0: the class's own); imag non-empty: complex.
Bytes NumericVar(Order order, const std::string& name, uint8_t classCode, const std::vector<int32_t>& dims,
                 const std::vector<double>& real, const std::vector<double>& imag = {}, uint8_t flagBits = 0,
                 uint32_t storeType = 0);
// UTF-16 code units stored with the given type (miUTF8 and miINT8 take one byte a unit).
Bytes CharVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
              const std::vector<uint16_t>& units, uint32_t storeType = miUINT16);
Bytes CharVar(Order order, const std::string& name, const std::string& ascii);   // 1-by-n
// m-by-n, double or (kLogical) logical; ir and jc as stored.
Bytes SparseVar(Order order, const std::string& name, int32_t m, int32_t n, const std::vector<int32_t>& ir,
                const std::vector<int32_t>& jc, const std::vector<double>& real, const std::vector<double>& imag = {},
                uint8_t flagBits = 0);
// Cells and field values are whole miMATRIX elements with empty names; a struct's values go element by
// element, one per field.
Bytes CellVar(Order order, const std::string& name, const std::vector<int32_t>& dims, const std::vector<Bytes>& cells,
              uint8_t flagBits = 0);
Bytes StructVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
                const std::vector<std::string>& fields, const std::vector<Bytes>& values, uint8_t flagBits = 0);
Bytes ObjectVar(Order order, const std::string& name, const std::string& className, const std::vector<int32_t>& dims,
                const std::vector<std::string>& fields, const std::vector<Bytes>& values);
Bytes FunctionHandleVar(Order order, const std::string& name, const Bytes& inner);   // 1x1 around MATLAB's struct
// No dims; type system, class name, one inner element.
Bytes OpaqueVar(Order order, const std::string& name, const std::string& className, const Bytes& inner,
                const std::string& typeSystem = "MCOS");

Bytes Compressed(Order order, const Bytes& element);    // an miCOMPRESSED element of the element's zlib stream
Bytes CompressedRaw(Order order, const Bytes& stream);  // around any stream bytes (damaged ones)
Bytes Zlib(const Bytes& data, int level = 6);

// ---- version 4: type word M*1000 + P*10 + T, mrows, ncols, imagf, name length, name, real, imaginary
enum class V4Order { Little = 0, Big = 1 };
enum class V4Precision { Double = 0, Single = 1, Int32 = 2, Int16 = 3, UInt16 = 4, UInt8 = 5 };
enum class V4Type { Full = 0, Text = 1, Sparse = 2 };
Bytes V4Matrix(V4Order order, V4Precision precision, V4Type type, const std::string& name, uint32_t mrows,
               uint32_t ncols, const std::vector<double>& real, const std::vector<double>& imag = {});
Bytes V4MatrixRaw(V4Order order, uint32_t typeWord, const std::string& name, uint32_t mrows, uint32_t ncols,
                  uint32_t imagf, const Bytes& data);

// ---- files: a UTF-8 path as the file system takes it (wide and "\\?\" when long on Windows)
std::filesystem::path FsPath(const std::string& utf8);
void WriteFile(const std::string& path, const Bytes& bytes);   // throws when it cannot
Bytes ReadFile(const std::string& path);

}  // namespace matbuild

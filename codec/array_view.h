// Level-5 array elements held in memory, read in place: an array's header
// (class, dimensions, name, fields), its numeric and character data, and an
// object's reference to the subsystem data. Every read is checked against
// the bytes held; nothing here trusts a count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace matlib {

// What a text shows for a NUL character: U+2400, the symbol for null, so
// that the text goes on after it and the character can be seen.
constexpr char32_t kShownNul = 0x2400;

class HeldBytes;

// Bytes held in memory, and their byte order; `held` when they are a
// HeldBytes' (ReleaseRead gives back what a walk over them read).
struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool swapped = false;
    const HeldBytes* held = nullptr;
};

// One level-5 array element held in memory, parsed in place.
struct ArrayView {
    size_t pos = 0;              // where it starts
    size_t next = 0;             // where the element after it starts
    size_t end = 0;              // where its own bytes end
    uint8_t cls = 0;             // the file's class code; 0 for an empty element (a bare tag)
    bool complex = false;
    bool logical = false;
    std::vector<uint64_t> dims;
    uint64_t count = 0;          // product of dims
    std::string name;
    std::string className;       // objects and opaque arrays
    // Numeric and char arrays: their data subelements.
    uint32_t realType = 0, imagType = 0;
    size_t realPos = 0, realBytes = 0, imagPos = 0, imagBytes = 0;
    // Structs and objects: field names. Cells, structs, objects: the first child.
    std::vector<std::string> fields;
    size_t childrenPos = 0;
    size_t contentPos = 0;       // opaque arrays, function handles: their content element
};

// Parses the array element at pos. With cutAllowed an element that runs past
// the bytes held is taken up to their end (a variable read only in part).
bool ParseArrayView(const Bytes& bytes, size_t pos, ArrayView& out, bool cutAllowed = false);
// The field `name` of a struct's first element; false when it has none.
bool ViewField(const Bytes& bytes, const ArrayView& structView, const char* name, ArrayView& out);
// Element k of the real (imag false) or imaginary data, converted to double.
bool ViewNumber(const Bytes& bytes, const ArrayView& view, bool imag, uint64_t k, double& out);
// Element k as an unsigned 64-bit integer (uint64 arrays, exact).
bool ViewUInt64(const Bytes& bytes, const ArrayView& view, uint64_t k, uint64_t& out);
// Character data as UTF-8, at most maxUnits code units.
std::string ViewText(const Bytes& bytes, const ArrayView& view, size_t maxUnits);

// A reference to objects: dimensions, one object id per element, class id.
struct ObjectRef {
    std::vector<uint64_t> dims;
    std::vector<uint32_t> ids;
    uint32_t classId = 0;
};
// The uint32 metadata array of an object; false when the view is none.
bool ParseObjectRef(const Bytes& bytes, const ArrayView& view, ObjectRef& out);

}  // namespace matlib

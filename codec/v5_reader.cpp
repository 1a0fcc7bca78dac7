// Level-5 variable headers: the element's tag, array flags, dimensions and
// name (and an object's or opaque array's class name), read without touching
// the data, and without recursing into cells or structs.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/array_view.h"
#include "codec/mat_format.h"
#include "codec/readers.h"

namespace matlib {
namespace {

using namespace format;

bool IsByteType(uint32_t type) { return type == miINT8 || type == miUINT8 || type == miUTF8; }

// A name-like subelement: bytes up to the first NUL (MATLAB pads with NULs).
bool ReadText(ElementInput& bytes, const SubElement& sub, size_t limit, std::string& out) {
    if (!IsByteType(sub.type) || sub.bytes > limit) return false;
    std::string text(sub.bytes, '\0');
    if (!ReadSubElementData(bytes, sub, text.data(), sub.bytes)) return false;
    text.resize(std::strlen(text.c_str()));
    out = std::move(text);
    return true;
}

bool ReadTextAt(ElementInput& bytes, bool swapped, uint64_t& pos, uint64_t end, size_t limit, std::string& out) {
    SubElement sub;
    if (!ReadSubElement(bytes, pos, end, swapped, sub) || !ReadText(bytes, sub, limit, out)) return false;
    pos = sub.next;
    return true;
}

void SetClass(mxArray& a, uint8_t code, const std::string& storedClassName) {
    a.fileClass = code;
    switch (code) {
        case mxCELL: a.classId = mxCELL_CLASS; break;
        case mxSTRUCT: a.classId = mxSTRUCT_CLASS; break;
        case mxOBJECT: a.classId = mxOBJECT_CLASS; break;
        case mxCHAR: a.classId = mxCHAR_CLASS; break;
        case mxSPARSE:
            a.sparse = true;
            a.classId = a.logical ? mxLOGICAL_CLASS : mxDOUBLE_CLASS;
            break;
        case mxDOUBLE: a.classId = mxDOUBLE_CLASS; break;
        case mxSINGLE: a.classId = mxSINGLE_CLASS; break;
        case mxINT8: a.classId = mxINT8_CLASS; break;
        // MATLAB stores logical arrays as uint8 with the logical flag.
        case mxUINT8: a.classId = a.logical ? mxLOGICAL_CLASS : mxUINT8_CLASS; break;
        case mxINT16: a.classId = mxINT16_CLASS; break;
        case mxUINT16: a.classId = mxUINT16_CLASS; break;
        case mxINT32: a.classId = mxINT32_CLASS; break;
        case mxUINT32: a.classId = mxUINT32_CLASS; break;
        case mxINT64: a.classId = mxINT64_CLASS; break;
        case mxUINT64: a.classId = mxUINT64_CLASS; break;
        case mxFUNCTION: a.classId = mxFUNCTION_CLASS; break;
        case mxOPAQUE: a.classId = mxOPAQUE_CLASS; break;
        default: a.classId = mxUNKNOWN_CLASS; break;
    }
    const bool named = code == mxOBJECT || code == mxOPAQUE;
    a.className = named ? storedClassName : OwnClassName(a.classId);
    if (a.className.empty()) a.className = "unknown";
}

// An object's dimensions from the metadata array that follows its class name
// (the opaque element itself says 1x1 whatever the object array's size).
// False when the bytes there are no object metadata; the caller keeps 1x1.
bool ReadObjectDims(ElementInput& stream, bool swapped, uint64_t pos, uint64_t end, std::vector<mwSize>& dims) {
    SubElement matrix;
    if (!ReadSubElement(stream, pos, end, swapped, matrix) || matrix.small || matrix.type != miMATRIX) return false;
    const uint64_t inner = matrix.dataPos + matrix.bytes;
    SubElement flags, dimsElement, name, data;
    if (!ReadSubElement(stream, matrix.dataPos, inner, swapped, flags) ||
        !ReadSubElement(stream, flags.next, inner, swapped, dimsElement) ||
        !ReadSubElement(stream, dimsElement.next, inner, swapped, name) ||
        !ReadSubElement(stream, name.next, inner, swapped, data)) {
        return false;
    }
    if ((data.type != miUINT32 && data.type != miINT32) || data.small || data.bytes < 8) return false;
    uint8_t words[(2 + kMaxDimensions) * 4];
    if (!stream.Read(data.dataPos, words, 8)) return false;
    const uint32_t count = Load32(words + 4, swapped);
    if (Load32(words, swapped) != kObjectMarker || count < 2 || count > kMaxDimensions) return false;
    if (data.bytes < (2 + static_cast<uint64_t>(count)) * 4) return false;
    if (!stream.Read(data.dataPos + 8, words + 8, count * 4)) return false;
    std::vector<mwSize> found;
    uint64_t product = 1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t d = Load32(words + 8 + 4 * i, swapped);
        if (__builtin_mul_overflow(product, static_cast<uint64_t>(d), &product)) return false;
        found.push_back(d);
    }
    dims = std::move(found);
    return true;
}

// Whether an array of this class needs the subsystem data: opaque arrays
// keep their values there, function handles their workspaces.
bool ClassRefersToSubsystem(uint8_t code) { return code == mxOPAQUE || code == mxFUNCTION; }

}  // namespace

const char* OwnClassName(mxClassID id) {
    switch (id) {
        case mxCELL_CLASS: return "cell";
        case mxSTRUCT_CLASS: return "struct";
        case mxLOGICAL_CLASS: return "logical";
        case mxCHAR_CLASS: return "char";
        case mxDOUBLE_CLASS: return "double";
        case mxSINGLE_CLASS: return "single";
        case mxINT8_CLASS: return "int8";
        case mxUINT8_CLASS: return "uint8";
        case mxINT16_CLASS: return "int16";
        case mxUINT16_CLASS: return "uint16";
        case mxINT32_CLASS: return "int32";
        case mxUINT32_CLASS: return "uint32";
        case mxINT64_CLASS: return "int64";
        case mxUINT64_CLASS: return "uint64";
        case mxFUNCTION_CLASS: return "function_handle";
        case mxUNKNOWN_CLASS: return "unknown";
        default: return "";   // objects and opaque arrays name their class in the file
    }
}

bool ReadArrayHeader(ElementInput& bytes, bool swapped, uint64_t pos, uint64_t end, ArrayHeader& out) {
    out = ArrayHeader{};
    SubElement flags;
    if (!ReadSubElement(bytes, pos, end, swapped, flags)) return false;
    if ((flags.type != miUINT32 && flags.type != miINT32) || flags.bytes < kArrayFlagsBytes) return false;
    uint8_t flagBytes[kArrayFlagsBytes];
    if (!ReadSubElementData(bytes, flags, flagBytes, sizeof flagBytes)) return false;
    const uint32_t word = Load32(flagBytes, swapped);
    const uint8_t bits = static_cast<uint8_t>((word >> 8) & 0xff);
    out.code = static_cast<uint8_t>(word & 0xff);
    out.complex = (bits & kFlagComplex) != 0;
    out.global = (bits & kFlagGlobal) != 0;
    out.logical = (bits & kFlagLogical) != 0;
    out.nzmax = Load32(flagBytes + 4, swapped);
    pos = flags.next;

    if (out.code == mxOPAQUE) {
        out.dims = {1, 1};   // opaque arrays carry no dimensions of their own
    } else {
        SubElement dims;
        if (!ReadSubElement(bytes, pos, end, swapped, dims)) return false;
        if ((dims.type != miINT32 && dims.type != miUINT32) || dims.bytes % 4 != 0) return false;
        const size_t count = dims.bytes / 4;
        if (count == 0 || count > kMaxDimensions) return false;
        uint8_t raw[kMaxDimensions * 4];
        if (!ReadSubElementData(bytes, dims, raw, dims.bytes)) return false;
        out.dims.reserve(count);   // one allocation, not one per dimension pushed
        for (size_t i = 0; i < count; ++i) {
            const int32_t d = static_cast<int32_t>(Load32(raw + 4 * i, swapped));
            if (d < 0 || __builtin_mul_overflow(out.count, static_cast<uint64_t>(d), &out.count)) return false;
            out.dims.push_back(static_cast<uint64_t>(d));
        }
        pos = dims.next;
    }
    if (!ReadTextAt(bytes, swapped, pos, end, kMaxNameLength, out.name)) return false;
    if (out.code == mxOPAQUE) {
        if (!ReadTextAt(bytes, swapped, pos, end, kMaxClassNameLength, out.typeSystem)) return false;
    }
    if ((out.code == mxOBJECT || out.code == mxOPAQUE) &&
        !ReadTextAt(bytes, swapped, pos, end, kMaxClassNameLength, out.className)) {
        return false;
    }
    out.dataPos = pos;
    return true;
}

bool ReadSubElement(ElementInput& stream, uint64_t pos, uint64_t end, bool swapped, SubElement& out) {
    if (!Fits(pos, kTagSize, end)) return false;
    uint8_t tag[kTagSize];
    if (!stream.Read(pos, tag, sizeof tag)) return false;
    uint32_t word = Load32(tag, swapped);
    out = SubElement{};
    if ((word >> 16) != 0) {
        // Small element: byte count in the upper half, data in the next 4 bytes.
        out.small = true;
        out.type = word & 0xffff;
        out.bytes = word >> 16;
        if (out.bytes > kSmallDataMax) return false;
        out.dataPos = pos + 4;
        out.next = pos + kSmallTagSize;
        std::memcpy(out.smallData, tag + 4, 4);
        return true;
    }
    out.type = word;
    out.bytes = Load32(tag + 4, swapped);
    out.dataPos = pos + kTagSize;
    if (!Fits(out.dataPos, out.bytes, end)) return false;
    uint64_t padded = PaddedSize(out.bytes);
    // Padding missing at the very end of the enclosing element is tolerated.
    out.next = Fits(out.dataPos, padded, end) ? out.dataPos + padded : end;
    return true;
}

bool ReadSubElementData(ElementInput& stream, const SubElement& sub, void* buffer, size_t n) {
    if (n > sub.bytes) return false;
    if (sub.small) {
        if (n > sizeof sub.smallData) return false;
        if (n > 0) std::memcpy(buffer, sub.smallData, n);
        return true;
    }
    return stream.Read(sub.dataPos, buffer, n);
}

namespace {

// scipy.io counts a text's characters in its dimensions and stores them as
// UTF-8, so a character beyond U+FFFF (an emoji) is one element there but
// two in MATLAB's char (UTF-16 units: a surrogate pair). Such a row is
// widened to its units, as MATLAB's char holds it. A text of more bytes
// than this is left as it stands (its listing reads no further).
constexpr uint64_t kMaxWidenedTextBytes = 1024 * 1024;

void WidenUtf8Row(ElementInput& stream, bool swapped, uint64_t pos, uint64_t end, std::vector<mwSize>& dims) {
    if (dims.size() != 2 || dims[0] != 1) return;
    SubElement data;
    if (!ReadSubElement(stream, pos, end, swapped, data) || data.type != miUTF8 || data.bytes <= dims[1] ||
        data.bytes > kMaxWidenedTextBytes) {
        return;
    }
    std::vector<uint8_t> bytes(data.bytes);
    if (!ReadSubElementData(stream, data, bytes.data(), bytes.size())) return;
    uint64_t characters = 0, units = 0;
    for (const uint8_t b : bytes) {
        if ((b & 0xC0) != 0x80) ++characters;   // not a continuation byte
        if ((b >> 3) == 30) ++units;            // a 4-byte character's first byte: its second unit
    }
    units += characters;
    if (characters == dims[1] && units > dims[1]) dims[1] = units;
}

}  // namespace

HeaderStatus ReadV5Header(const std::shared_ptr<SourceFile>& source, uint64_t offset,
                          mxArray& array, uint64_t& next) {
    SourceFile& file = *source;
    if (offset >= file.size) return HeaderStatus::End;
    if (file.size - offset < kTagSize) return HeaderStatus::Damaged;
    uint8_t tag[kTagSize];
    if (!ReadAt(file, offset, tag, sizeof tag)) return HeaderStatus::Damaged;
    uint32_t type = Load32(tag, file.swapped);
    uint32_t size = Load32(tag + 4, file.swapped);
    if (type != miMATRIX && type != miCOMPRESSED) return HeaderStatus::Damaged;
    if (!Fits(offset + kTagSize, size, file.size)) return HeaderStatus::Damaged;

    DataLocation& loc = array.data;
    loc = DataLocation{};
    uint64_t elementEnd = offset + kTagSize + size;
    if (type == miMATRIX) {
        loc.compressed = false;
        loc.streamOffset = offset;
        loc.streamSize = kTagSize + static_cast<uint64_t>(size);
        loc.elementEnd = loc.streamSize;
        uint64_t padded = offset + kTagSize + PaddedSize(size);
        next = padded <= file.size ? padded : file.size;
    } else {
        loc.compressed = true;
        loc.streamOffset = offset + kTagSize;
        loc.streamSize = size;
        next = elementEnd;   // compressed elements are not padded
    }

    ElementStream stream(file, loc);
    if (loc.compressed) {
        uint8_t inner[kTagSize];
        stream.SetElementEnd(UINT64_MAX);   // until the inner tag tells
        if (!stream.Read(0, inner, sizeof inner)) return HeaderStatus::Damaged;
        if (Load32(inner, file.swapped) != miMATRIX) return HeaderStatus::Damaged;
        uint64_t innerSize = Load32(inner + 4, file.swapped);
        // More inflated bytes than deflate can make of the stream: damaged.
        if (kTagSize + innerSize > (static_cast<uint64_t>(size) + 1) * kMaxDeflateRatio) {
            return HeaderStatus::Damaged;
        }
        loc.elementEnd = kTagSize + innerSize;
        stream.SetElementEnd(loc.elementEnd);
    }
    uint64_t contentEnd = loc.elementEnd;
    if (contentEnd == kTagSize) return HeaderStatus::Damaged;   // an empty element names no variable
    ArrayHeader header;
    if (!ReadArrayHeader(stream, file.swapped, kTagSize, contentEnd, header)) return HeaderStatus::Damaged;
    array.complex = header.complex;
    array.global = header.global;
    array.logical = header.logical;
    array.nzmax = header.nzmax;
    array.dims.assign(header.dims.begin(), header.dims.end());
    array.name = std::move(header.name);
    if (header.code == mxOPAQUE) ReadObjectDims(stream, file.swapped, header.dataPos, contentEnd, array.dims);
    if (header.code == mxCHAR) WidenUtf8Row(stream, file.swapped, header.dataPos, contentEnd, array.dims);
    SetClass(array, header.code, header.className);
    array.data.dataPos = header.dataPos;

    array.format = &kV5Format;
    array.source = source;
    array.elementOffset = offset;
    array.elementSize = next - offset;
    return HeaderStatus::Ok;
}

// The arrays inside a cell or struct stand one after another and fill their
// container exactly, so a walk that steps into every container (past its
// header subelements) and over every other array visits them all in order
// without a stack: no recursion and no memory that grows with nesting.
bool RefersToSubsystem(const mxArray& array) {
    if (array.format != &kV5Format || !array.source) return false;
    if (ClassRefersToSubsystem(array.fileClass)) return true;
    if (array.fileClass != mxCELL && array.fileClass != mxSTRUCT && array.fileClass != mxOBJECT) return false;
    try {
        SourceFile& file = *array.source;
        const bool swapped = file.swapped;
        ElementStream stream(file, array.data);
        const uint64_t end = array.data.elementEnd;
        // The top array's header was read; its children start at dataPos,
        // after a struct's field names.
        uint64_t pos = array.data.dataPos;
        auto skipFieldNames = [&](uint64_t at, uint64_t limit, uint64_t& after) {
            SubElement length, names;
            if (!ReadSubElement(stream, at, limit, swapped, length) ||
                !ReadSubElement(stream, length.next, limit, swapped, names)) {
                return false;
            }
            after = names.next;
            return true;
        };
        if (array.fileClass != mxCELL && !skipFieldNames(pos, end, pos)) return true;
        while (pos < end) {
            SubElement child;
            if (!ReadSubElement(stream, pos, end, swapped, child) || child.small || child.type != miMATRIX) return true;
            const uint64_t childEnd = child.dataPos + child.bytes;
            if (child.bytes == 0) {   // an empty array, written as a bare tag
                pos = child.next;
                continue;
            }
            SubElement flags;
            uint8_t flagBytes[4];
            if (!ReadSubElement(stream, child.dataPos, childEnd, swapped, flags) ||
                !ReadSubElementData(stream, flags, flagBytes, sizeof flagBytes)) {
                return true;
            }
            const uint8_t code = static_cast<uint8_t>(Load32(flagBytes, swapped) & 0xff);
            if (ClassRefersToSubsystem(code)) return true;
            if (code != mxCELL && code != mxSTRUCT && code != mxOBJECT) {
                pos = child.next;
                continue;
            }
            // Into the container: past dimensions, name (and class name), field names.
            SubElement dims, name;
            if (!ReadSubElement(stream, flags.next, childEnd, swapped, dims) ||
                !ReadSubElement(stream, dims.next, childEnd, swapped, name)) {
                return true;
            }
            uint64_t inner = name.next;
            if (code == mxOBJECT) {
                SubElement cls;
                if (!ReadSubElement(stream, inner, childEnd, swapped, cls)) return true;
                inner = cls.next;
            }
            if (code != mxCELL && !skipFieldNames(inner, childEnd, inner)) return true;
            // Padding after the last child of a container is covered by its
            // parent's next position; step to the first child.
            pos = inner;
        }
        return false;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

bool IsSubsystemData(const mxArray& array) {
    return array.format == &kV5Format && array.source && array.source->subsystemOffset != 0 &&
           array.elementOffset == array.source->subsystemOffset;
}

namespace {

int OpenV5(const std::shared_ptr<SourceFile>&, uint8_t[format::kHeaderSize]) { return MAT_OPEN_OK; }

bool DescribableV5(const mxArray& a) {
    switch (a.fileClass) {
        case mxCELL: case mxSTRUCT: case mxOBJECT: case mxOPAQUE: case mxFUNCTION: return true;
        default: return false;
    }
}

// Where a struct's or object's field names end (0 when it has none, or
// they cannot be found): its first fields follow them.
uint64_t FieldNamesEnd(const mxArray& array) {
    if (array.fileClass != mxSTRUCT && array.fileClass != mxOBJECT) return 0;
    ElementStream stream(*array.source, array.data);
    const bool swapped = array.source->swapped;
    const uint64_t end = array.data.elementEnd;
    uint64_t pos = array.data.dataPos;
    SubElement length, names;
    if (!ReadSubElement(stream, pos, end, swapped, length) || !ReadSubElement(stream, length.next, end, swapped, names)) {
        return 0;
    }
    return names.next;
}

// The first bytes of the variable's element, as far as the text can use
// them: a struct's field names whole (MATLAB's 32 bytes a name pass 1 MB at
// 32,767 fields) and the first values after them.
bool ShownElementV5(const mxArray& array, size_t, std::vector<uint8_t>& element, bool& swapped) {
    swapped = array.source->swapped;
    uint64_t shown = format::kMaxShownElementBytes;
    const uint64_t namesEnd = FieldNamesEnd(array);   // (a stream of its own: a compressed one reads forward only)
    if (namesEnd <= format::kMaxShownFieldNameBytes) shown += namesEnd;
    element.resize(static_cast<size_t>(std::min(array.data.elementEnd, shown)));
    ElementStream stream(*array.source, array.data);
    return stream.Read(0, element.data(), element.size());
}

bool WholeElementV5(const mxArray& array, uint64_t most, HeldBytes& element, bool& swapped) {
    swapped = array.source->swapped;
    if (array.data.elementEnd > most) return false;
    ElementStream stream(*array.source, array.data);
    return element.Take(array.data.elementEnd, array.source->path,
                        [&](uint64_t at, uint8_t* into, size_t n) { return stream.Read(at, into, n); }) &&
           stream.CheckEnd(array.data.elementEnd);
}

// The uint8 data of the unnamed variable the header's offset points at.
bool SubsystemPayloadV5(const mxArray& array, uint64_t most, HeldBytes& payload, const char*& reason) {
    SourceFile& source = *array.source;
    if (source.subsystemOffset == 0) {
        reason = "the file holds no subsystem data";
        return false;
    }
    mxArray holder;
    uint64_t next = 0;
    if (ReadV5Header(array.source, source.subsystemOffset, holder, next) != HeaderStatus::Ok ||
        holder.fileClass != mxUINT8) {
        reason = "the subsystem data is damaged";
        return false;
    }
    // Kept for the calling thread until its next failure, as other reasons are.
    thread_local std::string failure;
    if (holder.data.elementEnd > most) {
        failure = "the subsystem data is more than " + std::to_string(most >> 20) + " MB, too large to read whole";
        reason = failure.c_str();
        return false;
    }
    ElementStream stream(source, holder.data);
    ArrayView view;
    if (!payload.Take(holder.data.elementEnd, source.path,
                      [&](uint64_t at, uint8_t* into, size_t n) { return stream.Read(at, into, n); })) {
        failure = payload.reason().empty() ? "the subsystem data is damaged" : "the subsystem data: " + payload.reason();
        reason = failure.c_str();
        return false;
    }
    if (!stream.CheckEnd(holder.data.elementEnd) || !ParseArrayView(payload.View(source.swapped), 0, view) ||
        view.realType != miUINT8) {
        reason = "the subsystem data is damaged";
        return false;
    }
    payload.Narrow(view.realPos, view.realBytes);   // the uint8 data alone
    return true;
}

}  // namespace

const ElementSource kV5Element = {
    .kind = ElementSource::kCopied,
    .write = nullptr,
    .writeCompressed = nullptr,
    .plan = nullptr,
    .convert = nullptr,
};

// A 128-byte header, then one element per variable; the subsystem data is
// an unnamed variable of its own.
const MatFormat kV5Format = {
    .name = "level 5",
    .number = 5,
    .variablesStart = format::kHeaderSize,
    .layout = FileLayout::kLevel5,
    .plausible = nullptr,
    .open = OpenV5,
    .readHeader = ReadV5Header,
    .decode = DecodeV5,
    .readElements = ReadV5Elements,
    .check = CheckV5Element,
    .checkStorage = nullptr,
    .textUnits = nullptr,
    .describable = DescribableV5,
    .shownElement = ShownElementV5,
    .wholeElement = WholeElementV5,
    .subsystemPayload = SubsystemPayloadV5,
    .element = &kV5Element,
};

}  // namespace matlib

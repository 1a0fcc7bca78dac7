// Arrays whose values another program's file holds (NumPy's .npy, a CSV of
// numbers): the reader of that file produces the values in MATLAB's order,
// and this side makes the level-5 element around them, as a sequence of
// bytes produced in pieces: written as it comes, or through deflate. Memory
// stays at a few pieces whatever the array's size.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/mat_internal.h"
#include "codec/mat_write_file.h"
#include "codec/readers.h"

namespace matlib {

namespace {

using namespace format;

// MATLAB's namelengthmax: a longer name is no variable MATLAB can load.
constexpr size_t kMaxMatlabName = 63;
// The largest byte count a level-5 tag can state, leaving room for padding.
constexpr uint64_t kMaxElementBytes = std::numeric_limits<uint32_t>::max() - kAlignment;
// Values produced per read of the other program's file.
constexpr size_t kPieceBytes = 1024 * 1024;

struct ImportedSource : SourceFile {
    mxImportedValues values{};
    ~ImportedSource() {
        if (values.release != nullptr) values.release(values.context);
    }
};

const ImportedSource& SourceOf(const mxArray& array) { return static_cast<const ImportedSource&>(*array.source); }

size_t ValueSize(const mxArray& array) { return array.classId == mxLOGICAL_CLASS ? 1 : ClassElementSize(array.classId); }

// The head of the element after its tag: flags, dimensions, name.
ArrayHead HeadOf(mxClassID classId, bool complex, const mwSize* dims, size_t ndim, std::string_view name) {
    const uint8_t flags = (complex ? kFlagComplex : 0) | (classId == mxLOGICAL_CLASS ? kFlagLogical : 0);
    const uint8_t cls = classId == mxLOGICAL_CLASS ? uint8_t{mxUINT8} : static_cast<uint8_t>(classId);
    return {cls, flags, 0, dims, ndim, name, {}};
}
ArrayHead HeadOf(const mxArray& array) {
    return HeadOf(array.classId, array.complex, array.dims.data(), array.dims.size(), array.name);
}

// The bytes of the element after its tag: its head, each part's tag and
// padded values. `count` is below 2^32, so nothing overflows.
uint64_t ContentBytes(const ArrayHead& head, uint64_t count, size_t valueSize) {
    const uint64_t partBytes = SubelementSize(count * valueSize);
    return ArrayHeadBytes(head) + partBytes * ((head.flagBits & kFlagComplex) != 0 ? 2 : 1);
}

uint64_t Count(const mxArray& array) {
    uint64_t count = 1;
    for (mwSize d : array.dims) count *= d;
    return count;
}

// The element's bytes in order: the head (tag, flags, dimensions, name),
// then each part's tag, values and padding.
class ElementBytes {
public:
    ElementBytes(const mxArray& array, bool bigEndian)
        : array_(array), swap_(bigEndian != (std::endian::native == std::endian::big)),
          valueSize_(ValueSize(array)), count_(Count(array)) {}

    // The whole element, tag included; false when it cannot be held.
    bool Plan(uint64_t* size) {
        const uint64_t content = ContentBytes(HeadOf(array_), count_, valueSize_);
        if (content > kMaxElementBytes) return false;
        try {
            head_.clear();
            ElementWriter w{&head_, swap_};
            w.Word(miMATRIX);
            w.Word(static_cast<uint32_t>(content));
            if (!AppendArrayHead(HeadOf(array_), swap_, head_)) return false;
            PartTag(head_);
            buffer_.reset(new uint8_t[kPieceBytes]);
        } catch (const std::bad_alloc&) {
            return false;
        }
        *size = kTagSize + content;
        return true;
    }

    // The next n bytes of the element.
    bool Next(uint8_t* out, size_t n) {
        while (n > 0) {
            if (at_ == filled_ && !Refill()) return false;
            const size_t take = std::min(n, filled_ - at_);
            std::memcpy(out, pending_ + at_, take);
            at_ += take;
            out += take;
            n -= take;
        }
        return true;
    }

private:
    void PartTag(std::vector<uint8_t>& to) const {
        const uint32_t type = array_.classId == mxLOGICAL_CLASS ? miUINT8 : StoreType(array_.classId);
        const auto tag = SubelementTag(type, static_cast<uint32_t>(count_ * valueSize_), swap_);
        to.insert(to.end(), tag.bytes.begin(), tag.bytes.begin() + tag.size);
    }

    // Makes the next bytes pending: the head, a piece of values, the padding
    // after a part (and the next part's tag).
    bool Refill() {
        at_ = filled_ = 0;
        if (stage_ == 0) {
            stage_ = 1;
            pending_ = head_.data();
            filled_ = head_.size();
            return true;
        }
        if (stage_ == 1 || stage_ == 3) {
            const int part = stage_ == 1 ? 0 : 1;
            if (done_ < count_) {
                const size_t count = static_cast<size_t>(std::min<uint64_t>(kPieceBytes / valueSize_, count_ - done_));
                const ImportedSource& source = SourceOf(array_);
                if (source.values.read(source.values.context, source.stream, part, done_, count, buffer_.get()) == 0) {
                    return false;
                }
                if (swap_ && valueSize_ > 1) {
                    for (uint8_t* v = buffer_.get(); v < buffer_.get() + count * valueSize_; v += valueSize_) {
                        std::reverse(v, v + valueSize_);
                    }
                }
                done_ += count;
                pending_ = buffer_.get();
                filled_ = count * valueSize_;
                return true;
            }
            // The part is done: its padding, then the next part's tag.
            tail_.assign(SubelementPadding(count_ * valueSize_), 0);
            done_ = 0;
            stage_ = array_.complex && stage_ == 1 ? 3 : 4;
            if (stage_ == 3) PartTag(tail_);
            pending_ = tail_.data();
            filled_ = tail_.size();
            return true;
        }
        return false;   // past the end
    }

    const mxArray& array_;
    bool swap_;
    size_t valueSize_;
    uint64_t count_;
    std::vector<uint8_t> head_, tail_;
    std::unique_ptr<uint8_t[]> buffer_;
    int stage_ = 0;   // 0 head, 1 real part, 3 imaginary part, 4 end
    uint64_t done_ = 0;
    const uint8_t* pending_ = nullptr;
    size_t at_ = 0, filled_ = 0;
};

bool WriteImportedElement(const mxArray* array, bool bigEndian, bool compress, StagedFile* file) {
    ElementBytes element(*array, bigEndian);
    uint64_t size = 0;
    if (!element.Plan(&size)) return false;
    return WriteElementFrom(file, bigEndian, size, compress,
                            [&](uint8_t* buffer, size_t n) { return element.Next(buffer, n); });
}

bool WriteImported(const mxArray* array, bool bigEndian, StagedFile* file) {
    return WriteImportedElement(array, bigEndian, false, file);
}

bool WriteImportedCompressed(const mxArray* array, bool bigEndian, StagedFile* file) {
    return WriteImportedElement(array, bigEndian, true, file);
}

bool DecodeImported(const mxArray& array, DecodedData& out) {
    const ImportedSource& source = SourceOf(array);
    const uint64_t bytes = Count(array) * ValueSize(array);
    if (bytes > std::numeric_limits<size_t>::max()) return false;
    out.real.resize(static_cast<size_t>(bytes));
    if (array.complex) out.imag.resize(static_cast<size_t>(bytes));
    for (int part = 0; part < (array.complex ? 2 : 1); ++part) {
        std::vector<uint8_t>& to = part == 0 ? out.real : out.imag;
        if (!to.empty() && source.values.read(source.values.context, source.stream, part, 0,
                                              static_cast<size_t>(Count(array)), to.data()) == 0) {
            return false;
        }
    }
    return true;
}

size_t ReadImportedElements(const mxArray& array, int part, uint64_t first, size_t count, double* asDouble,
                            int64_t* asInt64, uint64_t* asUInt64) {
    const uint64_t total = Count(array);
    if (part < 0 || part > (array.complex ? 1 : 0) || first >= total) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, total - first));
    const size_t valueSize = ValueSize(array);
    const ImportedSource& source = SourceOf(array);
    std::vector<uint8_t> piece;
    size_t done = 0;
    while (done < count) {
        const size_t n = std::min(count - done, kPieceBytes / valueSize);
        piece.resize(n * valueSize);
        if (source.values.read(source.values.context, source.stream, part, first + done, n, piece.data()) == 0) break;
        for (size_t k = 0; k < n; ++k, ++done) {
            ReadClassValue(piece.data() + k * valueSize, array.classId == mxLOGICAL_CLASS ? mxUINT8_CLASS : array.classId,
                           asDouble ? asDouble + done : nullptr, asInt64 ? asInt64 + done : nullptr,
                           asUInt64 ? asUInt64 + done : nullptr);
        }
    }
    return done;
}

bool Importable(mxClassID id) { return id == mxLOGICAL_CLASS || (id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS); }

}  // namespace

const ElementSource kImportedElement = {
    .kind = ElementSource::kWritten,
    .write = WriteImported,
    .writeCompressed = WriteImportedCompressed,
    .plan = nullptr,
    .convert = nullptr,
};

const MatFormat kImportedFormat = {
    .name = "imported",
    .number = 0,
    .variablesStart = 0,
    .layout = FileLayout::kInMemory,
    .plausible = nullptr,
    .open = nullptr,
    .readHeader = nullptr,
    .decode = DecodeImported,
    .readElements = ReadImportedElements,
    .check = nullptr,
    .checkStorage = nullptr,
    .textUnits = nullptr,
    .describable = NeverDescribed,
    .shownElement = NoShownElement,
    .wholeElement = nullptr,
    .subsystemPayload = NoSubsystemPayload,
    .element = &kImportedElement,
};

}  // namespace matlib

using namespace matlib;

mxArray* mxCreateImportedArray(const char* name, mxClassID classId, bool complex, mwSize ndim, const mwSize* dims,
                               FILE* stream, const char* path, const mxImportedValues* values) {
    std::shared_ptr<ImportedSource> source(new (std::nothrow) ImportedSource);
    if (!source) {
        if (stream != nullptr) platform::FileSystem().close(stream);
        if (values != nullptr && values->release != nullptr) values->release(values->context);
        return nullptr;
    }
    // From here the source owns both.
    source->stream = stream;
    if (values != nullptr) source->values = *values;
    if (stream == nullptr || values == nullptr || values->read == nullptr || name == nullptr || name[0] == '\0' ||
        std::strlen(name) > kMaxMatlabName || !Importable(classId) || ndim < 2 || ndim > kMaxDimensions ||
        dims == nullptr || (complex && classId == mxLOGICAL_CLASS)) {
        return nullptr;
    }
    const size_t valueSize = classId == mxLOGICAL_CLASS ? 1 : ClassElementSize(classId);
    bool empty = false, tooBig = false;
    uint64_t count = 1;
    for (mwSize d = 0; d < ndim; ++d) {
        if (dims[d] > static_cast<mwSize>(std::numeric_limits<int32_t>::max())) return nullptr;
        empty = empty || dims[d] == 0;
        // Each part's bytes must fit one tag: the product is checked as it grows.
        if (dims[d] != 0 && count > kMaxElementBytes / valueSize / dims[d]) tooBig = true;
        if (!tooBig) count *= dims[d];
    }
    if (empty) count = 0;
    // The whole element must fit its tag, as it is written.
    if ((tooBig && !empty) || ContentBytes(HeadOf(classId, complex, dims, ndim, name), count, valueSize) > kMaxElementBytes) {
        return nullptr;
    }
    if (platform::FileSystem().fileStatus(stream, &source->opened) != 0) return nullptr;
    try {
        source->path = path != nullptr ? path : "";
        source->format = &kImportedFormat;
        std::unique_ptr<mxArray> array(new mxArray);
        array->name = name;
        array->classId = classId;
        array->className = OwnClassName(classId);
        array->fileClass = classId == mxLOGICAL_CLASS ? uint8_t{mxUINT8} : static_cast<uint8_t>(classId);
        array->dims.assign(dims, dims + ndim);
        array->complex = complex;
        array->logical = classId == mxLOGICAL_CLASS;
        array->format = &kImportedFormat;
        array->source = source;
        // What the element takes uncompressed (the update's progress counts towards it).
        array->elementSize = count * valueSize * (complex ? 2 : 1) + 256;
        return array.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

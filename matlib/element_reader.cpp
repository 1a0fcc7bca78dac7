// Readers that walk one part of an array's elements in bounded memory: a
// compressed level-5 element keeps one inflating stream open, so a pass over
// the whole array inflates it once instead of once per batch (what
// mxReadElements, which starts afresh at each call, would cost).
#include <algorithm>
#include <memory>
#include <new>

#include "matlib/mat_format.h"
#include "matlib/readers.h"
#include "matlib/source_io.h"

struct mxElementReader {
    const mxArray* array = nullptr;
    int part = 0;
    // Compressed level-5 data only; every other array is read through
    // mxReadElements, whose reads cost the same wherever they start.
    std::unique_ptr<matlib::ElementStream> stream;
    matlib::SubElement sub;
    uint64_t stored = 0;    // elements the subelement holds
    uint64_t next = 0;      // the first element the stream can still give
};

namespace {

using namespace matlib;
using namespace matlib::format;

uint64_t ElementCount(const mxArray& a) {
    uint64_t n = 1;
    for (mwSize d : a.dims) n *= d;
    return n;
}

bool IsNumericType(uint32_t type) {
    switch (type) {
        case miINT8: case miUINT8: case miINT16: case miUINT16: case miINT32: case miUINT32:
        case miSINGLE: case miDOUBLE: case miINT64: case miUINT64: return true;
        default: return false;
    }
}

// Opens the stream at the start of the part's data; false when the element
// cannot be read that far (damage shows as a short read later).
bool OpenStream(mxElementReader& reader) {
    const mxArray& a = *reader.array;
    reader.stream = std::make_unique<ElementStream>(*a.source, a.data);
    reader.next = 0;
    reader.stored = 0;
    const bool swapped = a.source->swapped;
    if (!ReadSubElement(*reader.stream, a.data.dataPos, a.data.elementEnd, swapped, reader.sub)) return false;
    if (reader.part == 1 && !ReadSubElement(*reader.stream, reader.sub.next, a.data.elementEnd, swapped, reader.sub)) {
        return false;
    }
    if (!IsNumericType(reader.sub.type)) return false;
    reader.stored = std::min<uint64_t>(reader.sub.bytes / DataTypeSize(reader.sub.type), ElementCount(a));
    return true;
}

}  // namespace

mxElementReader* mxOpenElementReader(const mxArray* array, int part) {
    if (array == nullptr || (part != 0 && part != 1)) return nullptr;
    try {
        auto reader = std::make_unique<mxElementReader>();
        reader->array = array;
        reader->part = part;
        const bool numeric = array->fileClass >= mxDOUBLE && array->fileClass <= mxUINT64;
        const bool streamed = array->version == 5 && array->source != nullptr && array->data.compressed && numeric &&
                              !array->sparse && array->decoded.state != DecodedData::Decoded &&
                              (part == 0 || array->complex);
        if (streamed) OpenStream(*reader);   // a failure shows as reads of nothing
        return reader.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

size_t mxReadElementsFrom(mxElementReader* reader, size_t first, size_t count, double* asDouble, int64_t* asInt64,
                          uint64_t* asUInt64) {
    if (reader == nullptr || count == 0) return 0;
    if (reader->stream == nullptr) {
        return mxReadElements(reader->array, reader->part, first, count, asDouble, asInt64, asUInt64);
    }
    try {
        // A stream only goes forward: an earlier element starts it again.
        if (first < reader->next && !OpenStream(*reader)) return 0;
        if (first >= reader->stored) return 0;
        const SubElement& sub = reader->sub;
        const size_t width = DataTypeSize(sub.type);
        const bool swapped = reader->array->source->swapped;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(count, reader->stored - first));
        uint8_t buffer[kInflateChunk];
        size_t done = 0;
        while (done < take) {
            const size_t n = std::min(take - done, sizeof buffer / width);
            const uint64_t at = first + done;
            if (sub.small) {
                std::copy_n(sub.smallData + at * width, n * width, buffer);
            } else if (!reader->stream->Read(sub.dataPos + at * width, buffer, n * width)) {
                reader->next = UINT64_MAX;   // broken: the next read starts again
                break;
            }
            for (size_t i = 0; i < n; ++i) {
                const uint8_t* p = buffer + i * width;
                if (asDouble) asDouble[done + i] = LoadDouble(p, sub.type, swapped);
                if (asInt64) asInt64[done + i] = LoadInt64(p, sub.type, swapped);
                if (asUInt64) asUInt64[done + i] = LoadUInt64(p, sub.type, swapped);
            }
            done += n;
            reader->next = first + done;
        }
        return done;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

void mxCloseElementReader(mxElementReader* reader) { delete reader; }

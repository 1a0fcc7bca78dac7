// A sparse matrix's stored values with their places, read forward in
// batches. A level-5 element is read where it lies: its row indexes, column
// starts and value parts each through a stream of its own (a compressed
// element inflates once per part), checked as they come, so that the
// matrix costs fixed buffers whatever its size. A version 7.3 one is read
// so from its level-5 image (ConvertedImage) in a scratch file; a version 4
// one from its decoded parts.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "codec/array.h"
#include "codec/converted_image.h"
#include "codec/mat_format.h"
#include "codec/readers.h"

using namespace matlib;
using namespace matlib::format;

namespace {

// One subelement read forward in chunks: values of its type one by one.
class PartStream {
public:
    PartStream(const mxArray& a, const SubElement& sub) : PartStream(a, sub, std::make_unique<ElementStream>(*a.source, a.data)) {}
    // Goes on with a stream that has already passed over what lies before
    // the part: a compressed element is not inflated from its start again.
    PartStream(const mxArray& a, const SubElement& sub, std::unique_ptr<ElementStream> stream)
        : stream_(std::move(stream)), sub_(sub), swapped_(a.source->swapped) {}

    // The next value as a double (indexes: as stored, at most 2^32 - 1);
    // false past the subelement's end or on damage.
    bool Next(double& value) {
        const size_t width = DataTypeSize(sub_.type);
        if (at_ == held_ && !Fill(width)) return false;
        value = LoadDouble(buffer_ + at_, sub_.type, swapped_);
        at_ += width;
        return true;
    }
    // Whether the element's stream ends whole here (a compressed one's
    // checksum), once the last part was read to its end.
    bool EndsWhole(uint64_t end) { return stream_->Read(end, nullptr, 0) && stream_->CheckEnd(end); }

private:
    bool Fill(size_t width) {
        const uint64_t left = sub_.bytes - read_;
        if (left < width) return false;
        held_ = static_cast<size_t>(std::min<uint64_t>(sizeof buffer_ / width * width, left / width * width));
        at_ = 0;
        if (sub_.small) {
            std::copy(sub_.smallData + read_, sub_.smallData + read_ + held_, buffer_);
        } else if (!stream_->Read(sub_.dataPos + read_, buffer_, held_)) {
            held_ = 0;
            return false;
        }
        read_ += held_;
        return true;
    }

    std::unique_ptr<ElementStream> stream_;
    SubElement sub_;
    bool swapped_;
    uint8_t buffer_[kInflateChunk];
    size_t held_ = 0, at_ = 0;
    uint64_t read_ = 0;
};

// Column starts kept in memory rather than read through a stream of their
// own: 10^6 columns at most (8 MB as doubles).
constexpr uint64_t kHeldColumnStartBytes = uint64_t{4} << 20;

bool IsIndexType(const SubElement& sub) { return (sub.type == miINT32 || sub.type == miUINT32) && sub.bytes % 4 == 0; }

bool IsValueType(const SubElement& sub, uint64_t stored) {
    const size_t width = DataTypeSize(sub.type);
    return width != 0 && sub.type != miMATRIX && sub.type != miCOMPRESSED && sub.type != miUTF8 &&
           sub.type != miUTF16 && sub.type != miUTF32 && sub.bytes == stored * width;
}

}  // namespace

struct mxSparseReader {
    const mxArray* array = nullptr;
    std::unique_ptr<mxArray> image;   // a converted one's level-5 image, read in its place
    uint64_t rows = 0, columns = 0, stored = 0;
    uint64_t next = 0, column = 0, columnEnd = 0;   // the next value's column and where that column ends
    bool damaged = false, started = false, finished = false;
    // Level 5, read where it lies.
    std::unique_ptr<PartStream> ir, jc, real, imag;
    std::vector<double> heldJc;   // the column starts, when kept whole
    uint64_t elementEnd = 0;
    bool checkEnd = false;
    // Other formats: the decoded parts.
    const mwIndex* decodedIr = nullptr;
    const mwIndex* decodedJc = nullptr;
    const void* decodedReal = nullptr;
    const void* decodedImag = nullptr;

    bool OpenLevel5();
    bool OpenDecoded();
    bool Start();
    bool NextColumnEnd();
};

// The subelements' tags are read by a stream that passes over the element
// once, as far as its last part's tag, and the count of stored values,
// jc's last; that stream then goes on as the last part's, the others get
// streams of their own. Column starts of a few MB are kept as the stream
// passes them (a compressed element then inflates twice, not three times).
bool mxSparseReader::OpenLevel5() {
    const mxArray& a = *array;
    const bool swapped = a.source->swapped;
    const uint64_t end = a.data.elementEnd;
    auto probe = std::make_unique<ElementStream>(*a.source, a.data);
    SubElement irSub, jcSub, realSub, imagSub;
    if (!ReadSubElement(*probe, a.data.dataPos, end, swapped, irSub) || !IsIndexType(irSub) ||
        !ReadSubElement(*probe, irSub.next, end, swapped, jcSub) || !IsIndexType(jcSub) ||
        jcSub.bytes / 4 != columns + 1) {
        return false;
    }
    uint8_t last[4];
    if (!jcSub.small && jcSub.bytes <= kHeldColumnStartBytes) {
        std::vector<uint8_t> bytes(static_cast<size_t>(jcSub.bytes));
        if (!probe->Read(jcSub.dataPos, bytes.data(), bytes.size())) return false;
        for (size_t k = 0; k < bytes.size(); k += 4) heldJc.push_back(LoadDouble(bytes.data() + k, jcSub.type, swapped));
        std::copy(bytes.end() - 4, bytes.end(), last);
    } else if (jcSub.small) {
        std::copy(jcSub.smallData + jcSub.bytes - 4, jcSub.smallData + jcSub.bytes, last);
    } else if (!probe->Read(jcSub.dataPos + jcSub.bytes - 4, last, 4)) {
        return false;
    }
    stored = Load32(last, swapped);
    if (stored > irSub.bytes / 4 || !ReadSubElement(*probe, jcSub.next, end, swapped, realSub)) return false;
    // MATLAB tags a sparse logical array's values miDOUBLE but stores one
    // byte per value (scipy's logical_sparse.mat).
    if (a.logical && realSub.type == miDOUBLE && realSub.bytes == stored) realSub.type = miUINT8;
    if (!IsValueType(realSub, stored)) return false;
    if (a.complex && (!ReadSubElement(*probe, realSub.next, end, swapped, imagSub) || !IsValueType(imagSub, stored))) {
        return false;
    }
    ir = std::make_unique<PartStream>(a, irSub);
    if (heldJc.empty()) jc = std::make_unique<PartStream>(a, jcSub);
    if (a.complex) {
        real = std::make_unique<PartStream>(a, realSub);
        imag = std::make_unique<PartStream>(a, imagSub, std::move(probe));
    } else {
        real = std::make_unique<PartStream>(a, realSub, std::move(probe));
    }
    elementEnd = end;
    checkEnd = a.data.compressed;
    return true;
}

// The first column's start and end, read with the first values: a reader
// asked only for the count of stored values inflates no further than jc.
bool mxSparseReader::Start() {
    started = true;
    double first = 0;
    if (!heldJc.empty()) return heldJc[0] == 0;
    return jc == nullptr || (jc->Next(first) && first == 0);
}

bool mxSparseReader::OpenDecoded() {
    decodedJc = mxGetJc(array);
    if (decodedJc == nullptr) return false;
    stored = decodedJc[columns];
    decodedIr = mxGetIr(array);
    decodedReal = mxGetPr(array);
    decodedImag = mxGetPi(array);
    return stored == 0 || (decodedIr != nullptr && decodedReal != nullptr && (!mxIsComplex(array) || decodedImag != nullptr));
}

// Moves columnEnd to where the next column with values ends (column then
// counts the columns passed); false when column starts fall or pass the
// stored values.
bool mxSparseReader::NextColumnEnd() {
    if (column >= columns) return true;
    double end = 0;
    if (!heldJc.empty()) {
        end = heldJc[column + 1];
    } else if (jc != nullptr) {
        if (!jc->Next(end)) return false;
    } else {
        end = static_cast<double>(decodedJc[column + 1]);
    }
    if (end < static_cast<double>(columnEnd) || end > static_cast<double>(stored)) return false;
    columnEnd = static_cast<uint64_t>(end);
    return true;
}

bool mxSparseReadInPlace(const mxArray* a) {
    return a != nullptr && mxIsSparse(a) && a->source != nullptr && a->format != nullptr &&
           a->format->layout == FileLayout::kLevel5 && a->decoded.state != DecodedData::Decoded && a->fileClass == mxSPARSE;
}

mxSparseReader* mxOpenSparseReader(const mxArray* a) {
    if (a == nullptr || !mxIsSparse(a) || a->dims.size() != 2 || a->source == nullptr) return nullptr;
    try {
        auto reader = std::make_unique<mxSparseReader>();
        reader->array = a;
        reader->rows = a->dims[0];
        reader->columns = a->dims[1];
        if (a->format != nullptr && a->format->element->kind == ElementSource::kConverted &&
            a->decoded.state != DecodedData::Decoded) {
            reader->image = ConvertedImage(*a, false);
            reader->damaged = reader->image == nullptr || !mxSparseReadInPlace(reader->image.get()) ||
                              reader->image->dims != a->dims;
            if (!reader->damaged) {
                reader->array = reader->image.get();
                reader->damaged = !reader->OpenLevel5();
            }
            return reader.release();
        }
        reader->damaged = !(mxSparseReadInPlace(a) ? reader->OpenLevel5() : reader->OpenDecoded());
        return reader.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

uint64_t mxSparseStored(const mxSparseReader* reader) { return reader != nullptr && !reader->damaged ? reader->stored : 0; }

size_t mxReadSparse(mxSparseReader* reader, size_t count, uint64_t* rows, uint64_t* columns, double* real, double* imag) {
    if (reader == nullptr || reader->damaged) return 0;
    mxSparseReader& r = *reader;
    if (!r.started && (!r.Start() || !r.NextColumnEnd())) {
        r.damaged = true;
        return 0;
    }
    const mxClassID id = mxGetClassID(r.array);
    size_t done = 0;
    for (; done < count && r.next < r.stored; ++done, ++r.next) {
        while (r.columnEnd <= r.next) {
            ++r.column;
            if (r.column >= r.columns || !r.NextColumnEnd()) {
                r.damaged = true;
                return done;
            }
        }
        double row = 0, re = 0, im = 0;
        if (r.ir != nullptr) {
            if (!r.ir->Next(row) || !r.real->Next(re) || (r.imag != nullptr && !r.imag->Next(im))) {
                r.damaged = true;
                return done;
            }
        } else {
            row = static_cast<double>(r.decodedIr[r.next]);
            re = id == mxLOGICAL_CLASS ? static_cast<const uint8_t*>(r.decodedReal)[r.next]
                                       : static_cast<const double*>(r.decodedReal)[r.next];
            if (r.decodedImag != nullptr) im = static_cast<const double*>(r.decodedImag)[r.next];
        }
        if (row < 0 || row >= static_cast<double>(r.rows)) {
            r.damaged = true;
            return done;
        }
        rows[done] = static_cast<uint64_t>(row);
        columns[done] = r.column;
        real[done] = id == mxLOGICAL_CLASS ? (re != 0 ? 1.0 : 0.0) : re;
        if (imag != nullptr) imag[done] = im;
    }
    if (r.next < r.stored || r.finished) return done;
    // Every value read: the columns after the last one's must start there
    // too, and the element's stream must end whole after its last part.
    r.finished = true;
    while (!r.damaged && r.column + 1 < r.columns) {
        ++r.column;
        if (!r.NextColumnEnd()) r.damaged = true;
    }
    PartStream* last = r.imag != nullptr ? r.imag.get() : r.real.get();
    if (r.checkEnd && !last->EndsWhole(r.elementEnd)) r.damaged = true;
    return done;
}

bool mxSparseDamaged(const mxSparseReader* reader) { return reader == nullptr || reader->damaged; }

void mxCloseSparseReader(mxSparseReader* reader) { delete reader; }

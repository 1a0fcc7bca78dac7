// NumPy's .npy files (format 1.0, 2.0 and 3.0): the magic, the version, the
// header's length, a Python dict literal {'descr': ..., 'fortran_order': ...,
// 'shape': ...} and the data. Every numeric dtype of either byte order is
// taken (float16 as single, bool as logical, complex64/128 as complex
// single/double); a 1-D array is a row, as scipy's savemat makes it.
//
// MATLAB keeps arrays column-major. Data in fortran_order is that already
// and is read straight through. C-order data is given out in MATLAB's order
// from a band held at once (at most kBandBytes): the first dimensions whole
// (the page), a range of the next one, and one place of the dimensions
// after it (the tail, which C order keeps closest together). Memory is
// bounded by the band whatever the file's size; each value is read once
// when there is no tail, and with its tail's neighbours otherwise.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "import/import.h"
#include "os/file_io.h"

namespace importing {

namespace {

// numpy itself refuses headers beyond 10,000 bytes unless told otherwise;
// a megabyte is far beyond any shape a real file writes.
constexpr uint32_t kMaxHeaderLength = 1024 * 1024;
// The band of a C-order array held at once.
constexpr uint64_t kBandBytes = 16 * 1024 * 1024;
// Bytes read from the file per call when values are converted on the way,
// or short rows of a C-order array are read together.
constexpr size_t kStagingBytes = 256 * 1024;
// A row of a C-order array (the values of the last dimension for one place
// of the others) this short costs less to read whole than one read call.
constexpr uint64_t kShortRowBytes = 4096;
// The dimensions a MATLAB array may have.
constexpr size_t kMaxDimensions = 64;

constexpr bool kNativeBig = std::endian::native == std::endian::big;

struct Dtype {
    char kind = 0;          // 'f' float, 'i' signed, 'u' unsigned, 'b' bool, 'c' complex
    size_t size = 0;        // bytes of one item in the file
    bool swap = false;      // the file's byte order differs from this machine's
    mxClassID classId = mxUNKNOWN_CLASS;
};

// The dtype text ('<f8', '>i4', '|b1', '<c16', '?'), or why it is not taken.
bool ParseDtype(const std::string& text, Dtype* out, std::string* why) {
    size_t at = 0;
    char order = '|';
    if (!text.empty() && std::strchr("<>|=", text[0]) != nullptr) order = text[at++];
    if (at >= text.size()) return *why = "its header names no dtype", false;
    const char kind = text[at++];
    size_t size = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && size < 1000; ++at) size = size * 10 + (text[at] - '0');
    const bool rest = at < text.size();
    if (kind == 'O') return *why = "an array of Python objects (dtype object): only numbers and logicals are taken", false;
    if (kind == 'V') return *why = "an array of records (a structured dtype): only numbers and logicals are taken", false;
    if (kind == '?' && size == 0) size = 1;
    const bool sizes[] = {
        (kind == 'b' || kind == '?') && size == 1,
        kind == 'f' && (size == 2 || size == 4 || size == 8),
        (kind == 'i' || kind == 'u') && (size == 1 || size == 2 || size == 4 || size == 8),
        kind == 'c' && (size == 8 || size == 16),
    };
    if (rest || std::none_of(std::begin(sizes), std::end(sizes), [](bool b) { return b; })) {
        return *why = "its dtype '" + text + "' is no number or logical that a MAT-file holds", false;
    }
    out->kind = kind == '?' ? 'b' : kind;
    out->size = size;
    out->swap = (order == '<' && kNativeBig) || (order == '>' && !kNativeBig);
    switch (out->kind) {
        case 'b': out->classId = mxLOGICAL_CLASS; break;
        case 'f': out->classId = size == 8 ? mxDOUBLE_CLASS : mxSINGLE_CLASS; break;
        case 'c': out->classId = size == 16 ? mxDOUBLE_CLASS : mxSINGLE_CLASS; break;
        case 'i': out->classId = size == 1 ? mxINT8_CLASS : size == 2 ? mxINT16_CLASS : size == 4 ? mxINT32_CLASS : mxINT64_CLASS; break;
        default: out->classId = size == 1 ? mxUINT8_CLASS : size == 2 ? mxUINT16_CLASS : size == 4 ? mxUINT32_CLASS : mxUINT64_CLASS; break;
    }
    return true;
}

// The header's dict literal, as numpy writes it (and any order of its keys).
class HeaderParser {
public:
    explicit HeaderParser(const std::string& text) : text_(text) {}
    bool Parse(std::string* descr, bool* fortran, std::vector<uint64_t>* shape, bool* structured) {
        bool haveDescr = false, haveOrder = false, haveShape = false;
        if (!Skip('{')) return false;
        while (true) {
            Space();
            if (Skip('}')) break;
            std::string key;
            if (!String(&key) || !Skip(':')) return false;
            Space();
            if (key == "descr") {
                if (Peek() == '[') {
                    *structured = true;
                    return false;
                }
                if (!String(descr)) return false;
                haveDescr = true;
            } else if (key == "fortran_order") {
                if (Word("True")) {
                    *fortran = true;
                } else if (Word("False")) {
                    *fortran = false;
                } else {
                    return false;
                }
                haveOrder = true;
            } else if (key == "shape") {
                if (!Tuple(shape)) return false;
                haveShape = true;
            } else {
                return false;
            }
            Space();
            if (Skip('}')) break;
            if (!Skip(',')) return false;
        }
        return haveDescr && haveOrder && haveShape;
    }

private:
    char Peek() {
        Space();
        return at_ < text_.size() ? text_[at_] : '\0';
    }
    void Space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n')) ++at_;
    }
    bool Skip(char c) {
        if (Peek() != c) return false;
        ++at_;
        return true;
    }
    bool Word(const char* word) {
        Space();
        const size_t n = std::strlen(word);
        if (text_.compare(at_, n, word) != 0) return false;
        at_ += n;
        return true;
    }
    bool String(std::string* out) {
        const char quote = Peek();
        if (quote != '\'' && quote != '"') return false;
        const size_t end = text_.find(quote, at_ + 1);
        if (end == std::string::npos) return false;
        out->assign(text_, at_ + 1, end - at_ - 1);
        at_ = end + 1;
        return true;
    }
    bool Tuple(std::vector<uint64_t>* out) {
        if (!Skip('(')) return false;
        while (!Skip(')')) {
            Space();
            uint64_t value = 0;
            size_t digits = 0;
            for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_, ++digits) {
                if (value > (std::numeric_limits<uint64_t>::max() - 9) / 10) return false;
                value = value * 10 + static_cast<uint64_t>(text_[at_] - '0');
            }
            if (digits == 0 || out->size() >= kMaxDimensions) return false;
            if (at_ < text_.size() && text_[at_] == 'L') ++at_;   // Python 2's long
            out->push_back(value);
            if (!Skip(',') && Peek() != ')') return false;
        }
        return true;
    }
    const std::string& text_;
    size_t at_ = 0;
};

uint16_t HalfBits(const uint8_t* p, bool swap) {
    uint16_t bits;
    std::memcpy(&bits, p, 2);
    return swap ? static_cast<uint16_t>(bits << 8 | bits >> 8) : bits;
}

float HalfToFloat(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
    uint32_t exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF, bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7F800000 | mantissa << 13;
    } else if (exponent != 0) {
        bits = sign | (exponent + 112) << 23 | mantissa << 13;
    } else if (mantissa == 0) {
        bits = sign;
    } else {
        // Subnormal: normalise it.
        exponent = 113;
        while ((mantissa & 0x400) == 0) {
            mantissa <<= 1;
            --exponent;
        }
        bits = sign | exponent << 23 | (mantissa & 0x3FF) << 13;
    }
    return std::bit_cast<float>(bits);
}

// The values of one open file, for the engine's reads.
struct NpyValues {
    Dtype dtype;
    uint64_t dataStart = 0;
    uint64_t count = 0;              // values of one part
    size_t outSize = 0;              // bytes of one value of the class
    // C-order data (two or more dimensions above 1): one dimension is
    // banded (`last`), those before it (page) are whole, those after it
    // (tail) are at one place in a band.
    bool cOrder = false;
    std::vector<uint64_t> page;      // the dimensions before the banded one, MATLAB order
    std::vector<uint64_t> cStride;   // their strides among the page's values in the file
    std::vector<uint64_t> tail;      // the dimensions after it, MATLAB order
    std::vector<uint64_t> tailStride;   // their strides among the tail's values in the file
    uint64_t pageCount = 0, last = 0, tailCount = 1;
    uint64_t bandWidth = 0;          // values of the banded dimension in a band
    uint64_t bandFirst = 0, bandHeld = 0, bandTail = 0;   // bandTail: the tail's place (MATLAB order)
    std::vector<uint8_t> band;       // [page value in file order][band position] items
    std::vector<uint8_t> staging;

    bool ReadAt(FILE* stream, uint64_t offset, uint8_t* to, uint64_t size) {
        while (size > 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, 64 * 1024 * 1024));
            if (platform::FileSystem().readAt(stream, offset, to, piece) != piece) return false;
            offset += piece;
            to += piece;
            size -= piece;
        }
        return true;
    }

    // One item's value of `part` in the class's type, this machine's order.
    void Convert(const uint8_t* item, int part, uint8_t* out) const {
        switch (dtype.kind) {
            case 'b': *out = item[0] != 0 ? 1 : 0; return;
            case 'f':
                if (dtype.size == 2) {
                    const float value = HalfToFloat(HalfBits(item, dtype.swap));
                    std::memcpy(out, &value, 4);
                    return;
                }
                break;
            case 'c': item += part * outSize; break;
            default: break;
        }
        if (dtype.swap) {
            for (size_t i = 0; i < outSize; ++i) out[i] = item[outSize - 1 - i];
            return;
        }
        switch (outSize) {   // a copy of known size is a move, not a call
            case 8: std::memcpy(out, item, 8); return;
            case 4: std::memcpy(out, item, 4); return;
            case 2: std::memcpy(out, item, 2); return;
            case 1: *out = *item; return;
            default: std::memcpy(out, item, outSize); return;
        }
    }

    // Whether an item is a value of its class but for its byte order (not
    // a bool, a complex pair or a half).
    bool ClassValued() const {
        return dtype.kind != 'b' && dtype.kind != 'c' && !(dtype.kind == 'f' && dtype.size == 2);
    }

    // Columns [column, column + columns) of a band of a matrix, rows
    // [row, row + rows) of each, into `out` one column after another. Eight
    // columns at a time: each row's eight items share a cache line of the
    // band, and the eight columns written are eight streams.
    template <typename Item>
    void GatherColumns(uint64_t column, uint64_t columns, uint64_t row, uint64_t rows, uint8_t* out) const {
        const Item* from = reinterpret_cast<const Item*>(band.data());
        Item* to = reinterpret_cast<Item*>(out);
        for (uint64_t j = 0; j < columns; j += 8) {
            const uint64_t width = std::min<uint64_t>(8, columns - j);
            const Item* base = from + column + j;
            for (uint64_t r = row; r < row + rows; ++r) {
                const Item* line = base + r * bandHeld;
                for (uint64_t k = 0; k < width; ++k) to[(j + k) * rows + (r - row)] = line[k];
            }
        }
    }

    bool Gather(uint64_t column, uint64_t columns, uint64_t row, uint64_t rows, uint8_t* out) const {
        switch (dtype.size) {
            case 8: GatherColumns<uint64_t>(column, columns, row, rows, out); return true;
            case 4: GatherColumns<uint32_t>(column, columns, row, rows, out); return true;
            case 2: GatherColumns<uint16_t>(column, columns, row, rows, out); return true;
            case 1: GatherColumns<uint8_t>(column, columns, row, rows, out); return true;
            default: return false;
        }
    }

    // A matrix stored as it goes out: whole columns of a band at a time.
    bool TransposedMatrix(FILE* stream, uint64_t first, size_t n, uint8_t* out) {
        const uint64_t rows = pageCount;
        for (size_t done = 0; done < n;) {
            const uint64_t e = first + done, at = e / rows, row = e % rows;
            if (!LoadBand(stream, at, 0)) return false;
            const uint64_t column = at - bandFirst;
            uint64_t columns = 1, take = std::min<uint64_t>(n - done, rows - row);
            if (row == 0 && take == rows) {   // whole columns: as many as the band and the request hold
                columns = std::min<uint64_t>((n - done) / rows, bandHeld - column);
                take = columns * rows;
            }
            const uint64_t height = columns == 1 ? take : rows;
            if (!Gather(column, columns, row, height, out + done * outSize)) return false;
            done += take;
        }
        return true;
    }

    bool Straight(FILE* stream, int part, uint64_t first, size_t n, uint8_t* out) {
        if (ClassValued()) {
            if (!ReadAt(stream, dataStart + first * dtype.size, out, uint64_t{n} * dtype.size)) return false;
            if (dtype.swap) {
                for (uint8_t* v = out; v < out + n * outSize; v += outSize) std::reverse(v, v + outSize);
            }
            return true;
        }
        staging.resize(kStagingBytes);
        const size_t perRead = kStagingBytes / dtype.size;
        for (size_t done = 0; done < n;) {
            const size_t take = std::min(perRead, n - done);
            if (!ReadAt(stream, dataStart + (first + done) * dtype.size, staging.data(), uint64_t{take} * dtype.size)) {
                return false;
            }
            for (size_t k = 0; k < take; ++k, ++done) Convert(staging.data() + k * dtype.size, part, out + done * outSize);
        }
        return true;
    }

    // The band that holds index `at` of the banded dimension at place
    // `tailAt` of the tail.
    bool LoadBand(FILE* stream, uint64_t at, uint64_t tailAt) {
        if (bandHeld != 0 && tailAt == bandTail && at >= bandFirst && at < bandFirst + bandHeld) return true;
        bandFirst = at - at % bandWidth;
        const uint64_t held = std::min(bandWidth, last - bandFirst);
        bandHeld = 0;   // until the band is read whole
        const uint64_t run = held * dtype.size, rowBytes = last * tailCount * dtype.size;
        band.resize(static_cast<size_t>(pageCount * run));
        if (tailCount > 1) return LoadTailBand(stream, held, tailAt);
        if (held == last) {
            if (!ReadAt(stream, dataStart, band.data(), band.size())) return false;
        } else if (rowBytes <= kShortRowBytes) {
            // Short rows are read whole, many at a time, and the band's part
            // of each kept: a read of its own for each would cost more.
            staging.resize(kStagingBytes);
            const uint64_t perRead = kStagingBytes / rowBytes;
            for (uint64_t c = 0; c < pageCount; c += perRead) {
                const uint64_t rows = std::min(perRead, pageCount - c);
                if (!ReadAt(stream, dataStart + c * rowBytes, staging.data(), rows * rowBytes)) return false;
                for (uint64_t k = 0; k < rows; ++k) {
                    std::memcpy(band.data() + (c + k) * run, staging.data() + k * rowBytes + bandFirst * dtype.size, run);
                }
            }
        } else {
            for (uint64_t c = 0; c < pageCount; ++c) {
                if (!ReadAt(stream, dataStart + (c * last + bandFirst) * dtype.size, band.data() + c * run, run)) {
                    return false;
                }
            }
        }
        bandHeld = held;
        bandTail = 0;
        return true;
    }

    // The same with a tail: for each place of the page, the band's values
    // lie one in every tailCount; they are read with their neighbours, as
    // many as the staging holds at once.
    bool LoadTailBand(FILE* stream, uint64_t held, uint64_t tailAt) {
        uint64_t tailFile = 0, rest = tailAt;
        for (size_t d = 0; d < tail.size(); ++d) {
            tailFile += rest % tail[d] * tailStride[d];
            rest /= tail[d];
        }
        const uint64_t group = tailCount * dtype.size;   // the bytes of one index of the banded dimension
        const uint64_t perRead = std::max<uint64_t>(1, kStagingBytes / group);
        staging.resize(static_cast<size_t>((std::min(perRead, held) - 1) * group + dtype.size));
        for (uint64_t c = 0; c < pageCount; ++c) {
            for (uint64_t b = 0; b < held; b += perRead) {
                const uint64_t take = std::min(perRead, held - b);
                const uint64_t from = ((c * last + bandFirst + b) * tailCount + tailFile) * dtype.size;
                // From this value to the last one wanted: (take - 1) groups and one value.
                if (!ReadAt(stream, dataStart + from, staging.data(), (take - 1) * group + dtype.size)) return false;
                for (uint64_t k = 0; k < take; ++k) {
                    std::memcpy(band.data() + (c * held + b + k) * dtype.size, staging.data() + k * group, dtype.size);
                }
            }
        }
        bandHeld = held;
        bandTail = tailAt;
        return true;
    }

    bool Transposed(FILE* stream, int part, uint64_t first, size_t n, uint8_t* out) {
        // (A class-valued item goes out in its own size, 1, 2, 4 or 8 bytes.)
        if (page.size() == 1 && tailCount == 1 && ClassValued() && !dtype.swap) {
            return TransposedMatrix(stream, first, n, out);
        }
        std::vector<uint64_t> subs(page.size());
        for (size_t done = 0; done < n;) {
            const uint64_t e = first + done;
            const uint64_t at = e / pageCount % last, tailAt = e / pageCount / last;
            uint64_t f = e % pageCount;
            if (!LoadBand(stream, at, tailAt)) return false;
            // The page position's subscripts and its place in the file's order.
            uint64_t c = 0;
            for (size_t d = 0; d < page.size(); ++d) {
                subs[d] = f % page[d];
                f /= page[d];
                c += subs[d] * cStride[d];
            }
            const uint64_t column = at - bandFirst;
            const uint64_t inPage = std::min<uint64_t>(n - done, pageCount - e % pageCount);
            for (uint64_t k = 0; k < inPage; ++k, ++done) {
                Convert(band.data() + (c * bandHeld + column) * dtype.size, part, out + done * outSize);
                // The next position in MATLAB's order: the first subscript fastest.
                for (size_t d = 0; d < page.size(); ++d) {
                    c += cStride[d];
                    if (++subs[d] < page[d]) break;
                    c -= subs[d] * cStride[d];
                    subs[d] = 0;
                }
            }
        }
        return true;
    }
};

int ReadNpy(void* context, FILE* stream, int part, uint64_t first, size_t count, void* out) {
    NpyValues& values = *static_cast<NpyValues*>(context);
    if (first > values.count || count > values.count - first) return 0;
    try {
        uint8_t* to = static_cast<uint8_t*>(out);
        return (values.cOrder ? values.Transposed(stream, part, first, count, to)
                              : values.Straight(stream, part, first, count, to))
                   ? 1
                   : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

void ReleaseNpy(void* context) { delete static_cast<NpyValues*>(context); }

// The header, or why the file is none numpy can read.
bool ReadHeader(FILE* stream, uint64_t fileSize, std::string* dict, uint64_t* dataStart, std::string* why) {
    uint8_t lead[12];
    const size_t got = platform::FileSystem().readAt(stream, 0, lead, sizeof lead);
    if (got < 10 || std::memcmp(lead, "\x93NUMPY", 6) != 0) return *why = "not an NPY file (no NumPy magic)", false;
    const int major = lead[6];
    if (major < 1 || major > 3) return *why = "an NPY file of format " + std::to_string(major) + ".x, which is not read", false;
    uint32_t length = lead[8] | static_cast<uint32_t>(lead[9]) << 8;
    size_t prefix = 10;
    if (major >= 2) {
        if (got < 12) return *why = "a cut NPY file", false;
        length |= static_cast<uint32_t>(lead[10]) << 16 | static_cast<uint32_t>(lead[11]) << 24;
        prefix = 12;
    }
    if (length > kMaxHeaderLength || prefix + length > fileSize) return *why = "a damaged NPY file (its header)", false;
    dict->resize(length);
    if (platform::FileSystem().readAt(stream, prefix, dict->data(), length) != length) return *why = "cannot be read", false;
    *dataStart = prefix + length;
    return true;
}

}  // namespace

namespace {

// The array of `shape` (numpy's order) whose values of `dtype` start at
// `dataStart` in the open file (owned from now on).
mxArray* ImportShaped(FILE* stream, const char* path, const std::string& name, const Dtype& dtype, uint64_t dataStart,
                      uint64_t fileSize, bool fortran, std::vector<uint64_t> shape, std::string* why) {
    std::unique_ptr<NpyValues> values;
    std::vector<mwSize> dims;
    bool complex = false;
    try {
        // MATLAB's dimensions: a scalar is 1x1, a vector a row.
        if (shape.empty()) shape = {1, 1};
        if (shape.size() == 1) shape.insert(shape.begin(), 1);
        uint64_t count = 1;
        bool empty = false;
        for (uint64_t d : shape) {
            empty = empty || d == 0;
            if (d > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
                *why = "a dimension of " + std::to_string(d) + " is more than a MAT-file holds";
                platform::FileSystem().close(stream);
                return nullptr;
            }
            if (d != 0 && count <= std::numeric_limits<uint64_t>::max() / dtype.size / d) count *= d;
            else if (d != 0) count = std::numeric_limits<uint64_t>::max() / dtype.size;
        }
        if (empty) count = 0;
        if (dataStart > fileSize || count > (fileSize - dataStart) / dtype.size) {
            *why = "a cut NPY file: its data is shorter than its shape says";
            platform::FileSystem().close(stream);
            return nullptr;
        }
        values.reset(new NpyValues);
        values->dtype = dtype;
        values->dataStart = dataStart;
        values->count = count;
        complex = dtype.kind == 'c';
        values->outSize = dtype.kind == 'b' ? 1 : dtype.kind == 'c' ? dtype.size / 2 : dtype.kind == 'f' && dtype.size == 2 ? 4 : dtype.size;
        std::vector<uint64_t> reduced;
        for (uint64_t d : shape) {
            if (d != 1) reduced.push_back(d);
        }
        values->cOrder = !fortran && !empty && reduced.size() >= 2;
        if (values->cOrder) {
            // The banded dimension: the last whose page fits in a band (the
            // first, with no page, when even it alone does not).
            size_t banded = reduced.size() - 1;
            uint64_t pageBytes = dtype.size;
            for (size_t d = 0; d < reduced.size() - 1; ++d) pageBytes *= reduced[d];
            while (banded > 0 && pageBytes > kBandBytes) pageBytes /= reduced[--banded];
            values->last = reduced[banded];
            values->page.assign(reduced.begin(), reduced.begin() + static_cast<std::ptrdiff_t>(banded));
            values->tail.assign(reduced.begin() + static_cast<std::ptrdiff_t>(banded) + 1, reduced.end());
            values->cStride.assign(values->page.size(), 1);
            for (size_t d = values->page.size(); d > 1; --d) values->cStride[d - 2] = values->cStride[d - 1] * values->page[d - 1];
            values->tailStride.assign(values->tail.size(), 1);
            for (size_t d = values->tail.size(); d > 1; --d) values->tailStride[d - 2] = values->tailStride[d - 1] * values->tail[d - 1];
            values->pageCount = 1;
            for (uint64_t d : values->page) values->pageCount *= d;
            for (uint64_t d : values->tail) values->tailCount *= d;
            values->bandWidth = std::min(values->last, kBandBytes / pageBytes);
        }
        dims.assign(shape.begin(), shape.end());
    } catch (const std::bad_alloc&) {
        *why = "not enough memory";
        platform::FileSystem().close(stream);
        return nullptr;
    }
    const mxClassID classId = values->dtype.classId;
    const mxImportedValues read{ReadNpy, ReleaseNpy, values.release()};
    mxArray* array = mxCreateImportedArray(name.c_str(), classId, complex, dims.size(), dims.data(), stream, path, &read);
    if (array == nullptr) *why = "more data than a MAT-file variable holds (or no memory)";
    return array;
}

}  // namespace

mxArray* ImportNpy(FILE* stream, const char* path, const std::string& name, std::string* why) {
    platform::FileStatus status;
    std::string dict, descr;
    uint64_t dataStart = 0;
    bool fortran = false, structured = false;
    std::vector<uint64_t> shape;
    Dtype dtype;
    try {
        const bool ok = platform::FileSystem().fileStatus(stream, &status) == 0 &&
                        ReadHeader(stream, status.size, &dict, &dataStart, why);
        if (!ok || !HeaderParser(dict).Parse(&descr, &fortran, &shape, &structured)) {
            if (ok) {
                *why = structured ? "an array of records (a structured dtype): only numbers and logicals are taken"
                                  : "a damaged NPY file (its header cannot be read)";
            }
            platform::FileSystem().close(stream);
            return nullptr;
        }
        if (!ParseDtype(descr, &dtype, why)) {
            platform::FileSystem().close(stream);
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        *why = "not enough memory";
        platform::FileSystem().close(stream);
        return nullptr;
    }
    return ImportShaped(stream, path, name, dtype, dataStart, status.size, fortran, std::move(shape), why);
}

mxArray* ImportRowMajorDoubles(FILE* stream, const char* path, const std::string& name, uint64_t rows, uint64_t columns,
                               std::string* why) {
    platform::FileStatus status;
    if (platform::FileSystem().fileStatus(stream, &status) != 0) {
        *why = "cannot be read";
        platform::FileSystem().close(stream);
        return nullptr;
    }
    const Dtype dtype{'f', 8, false, mxDOUBLE_CLASS};
    return ImportShaped(stream, path, name, dtype, 0, status.size, false, {rows, columns}, why);
}

}  // namespace importing

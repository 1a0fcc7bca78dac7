// The variable as MATLAB's command window shows it (format short g, an
// 80-character line), written in pieces and decoded as it is written.
//
// A block of columns is one run of the array's storage (the first subscript
// changes fastest), so each block is read forward, once: a compressed
// variable inflates no further than the last block shown.
#include "reader/variable_display.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "objects/value_text.h"

namespace {

constexpr size_t kLineWidth = 80;
// The elements of one block held at a time (its doubles, and for the 64-bit
// integer classes their exact values too): about 1.5 MB at most. A taller
// block is shown a column at a time, in runs of this many rows.
constexpr size_t kBlockElements = 32 * 1024;
// The elements read at a time, whatever the blocks of the text (a row of
// int8 has blocks of a dozen): a read of the version 7.3 worker costs a
// round trip, so reads are as few as this allows.
constexpr size_t kRunElements = kBlockElements;
// The text goes out in pieces of about this size.
constexpr size_t kPieceSize = 64 * 1024;
// Structs, cells and objects: the text the engine makes of them, at most this much.
constexpr size_t kMaxContentsText = 1024 * 1024;

std::atomic<uint64_t> g_readersStarted{0};

class Output {
public:
    Output(DisplayWriter write, void* context, uint64_t maxBytes) : write_(write), context_(context), max_(maxBytes) {
        buffer_.reserve(kPieceSize + 1024);
    }
    // Whether `length` more bytes keep the text within its bound.
    bool Fits(size_t length) const { return written_ + length <= max_; }
    void Put(const char* text, size_t length) {
        buffer_.append(text, length);
        written_ += length;
        if (buffer_.size() >= kPieceSize) Flush();
    }
    void Put(const std::string& text) { Put(text.data(), text.size()); }
    void Put(const char* text) { Put(text, std::strlen(text)); }
    bool Flush() {
        if (!failed_ && !buffer_.empty() && !write_(context_, buffer_.data(), buffer_.size())) failed_ = true;
        buffer_.clear();
        return !failed_;
    }
    bool failed() const { return failed_; }

private:
    DisplayWriter write_;
    void* context_;
    uint64_t max_;
    uint64_t written_ = 0;
    std::string buffer_;
    bool failed_ = false;
};

// mingw-w64 formats with its own C99 printf (%zu, %llu), which gcc checks as gnu_printf.
#if defined(__MINGW32__)
#define MATWCX_DISPLAY_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define MATWCX_DISPLAY_FORMAT __attribute__((format(printf, 1, 2)))
#endif

std::string Format(const char* format, ...) MATWCX_DISPLAY_FORMAT;
std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text, std::min<size_t>(static_cast<size_t>(n), sizeof text - 1));
}

std::string DimsText(const mxArray* array) {
    const mwSize count = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    std::string text;
    for (mwSize k = 0; k < count; ++k) text += (k ? "x" : "") + std::to_string(dims[k]);
    return text.empty() ? "0x0" : text;
}

// `whos`: one heading line and the variable's line, under it a blank line.
void PutWhos(Output& out, const mxArray* array, const DisplayFacts& facts) {
    // The listing counts one part of a complex array; whos counts both.
    uint64_t byteCount = facts.bytes;
    if (mxIsComplex(array) && !mxIsSparse(array) && __builtin_mul_overflow(byteCount, 2, &byteCount)) byteCount = UINT64_MAX;
    const std::string size = DimsText(array), bytes = std::to_string(byteCount);
    const char* className = mxGetClassName(array);
    std::string attributes;
    // (Not "global": a version 7.3 file's variables do not tell it, and a
    // variable shows the same text in both.)
    const std::pair<bool, const char*> flags[] = {{mxIsSparse(array), "sparse"}, {mxIsComplex(array), "complex"}};
    for (const auto& [on, word] : flags) {
        if (on) attributes += (attributes.empty() ? "" : ", ") + std::string(word);
    }
    const int nameWidth = static_cast<int>(std::max<size_t>(facts.name.size(), 4));
    const int sizeWidth = static_cast<int>(std::max<size_t>(size.size(), 4));
    const int bytesWidth = static_cast<int>(std::max<size_t>(bytes.size(), 5));
    const int classWidth = static_cast<int>(std::max<size_t>(std::strlen(className), 8));
    out.Put(Format("  %-*s  %-*s  %*s  %-*s  Attributes\n\n", nameWidth, "Name", sizeWidth, "Size", bytesWidth, "Bytes",
                   classWidth, "Class"));
    std::string line = "  " + facts.name + std::string(static_cast<size_t>(nameWidth) - facts.name.size() + 2, ' ') +
                       size + std::string(static_cast<size_t>(sizeWidth) - size.size() + 2, ' ') +
                       std::string(static_cast<size_t>(bytesWidth) - bytes.size(), ' ') + bytes + "  " + className;
    if (!attributes.empty()) line += std::string(static_cast<size_t>(classWidth) - std::strlen(className) + 2, ' ') + attributes;
    out.Put(line + "\n\n");
}

// ---- numbers ---------------------------------------------------------------

// Doubles of a block are shown whole when every finite one is a whole number
// below 1e10 (as MATLAB shows integer-valued matrices), otherwise with five
// significant digits (format short g).
enum class Style { Whole, ShortG };

Style ChooseStyle(const double* values, size_t count, Style style) {
    for (size_t i = 0; i < count && style == Style::Whole; ++i) {
        const double v = values[i];
        if (std::isfinite(v) && (std::fabs(v) >= 1e10 || v != std::floor(v))) style = Style::ShortG;
    }
    return style;
}

// A number goes straight to its place in the line: its length is known
// before its characters are written (the viewer writes millions).
constexpr size_t kMaxNumberText = 32;   // at most "-9223372036854775808" or "-1.2346e+308"

// Writes `text` right-aligned in `width` columns (all of it when longer);
// returns where the cell ends.
char* PutText(char* at, const char* text, size_t length, size_t width) {
    const size_t pad = length < width ? width - length : 0;
    std::memset(at, ' ', pad);
    std::memcpy(at + pad, text, length);
    return at + pad + length;
}

// A whole number's digits, written from the last.
char* PutMagnitude(char* at, uint64_t v, bool negative, size_t width) {
    size_t digits = 1;
    for (uint64_t rest = v / 10; rest != 0; rest /= 10) ++digits;
    const size_t length = digits + (negative ? 1 : 0);
    const size_t pad = length < width ? width - length : 0;
    std::memset(at, ' ', pad);
    char* end = at + pad + length;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative) *--p = '-';
    return end;
}

char* PutInteger(char* at, int64_t v, size_t width) {
    return PutMagnitude(at, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0, width);
}

// Five significant digits of a value as "%.5g" shows them: the digits with
// trailing zeros dropped (kept of them), and the decimal exponent.
struct ShortG {
    char digits[5] = {};
    int kept = 0;
    int exponent = 0;
    bool negative = false;
    size_t Length() const {
        const size_t sign = negative ? 1 : 0, fraction = kept > 1 ? static_cast<size_t>(kept) : 0;
        if (exponent < -4 || exponent >= 5) return sign + (kept > 1 ? 1 + fraction : 1) + 4;   // d.dddde+XX
        if (exponent >= 0) {
            const int whole = exponent + 1;
            return sign + static_cast<size_t>(whole) + (kept > whole ? 1 + static_cast<size_t>(kept - whole) : 0);
        }
        return sign + 2 + static_cast<size_t>(-exponent - 1) + static_cast<size_t>(kept);   // 0.000ddddd
    }
    void Write(char* out) const {
        size_t n = 0;
        if (negative) out[n++] = '-';
        if (exponent < -4 || exponent >= 5) {
            out[n++] = digits[0];
            if (kept > 1) {
                out[n++] = '.';
                for (int k = 1; k < kept; ++k) out[n++] = digits[k];
            }
            out[n++] = 'e';
            out[n++] = exponent < 0 ? '-' : '+';
            const int e = exponent < 0 ? -exponent : exponent;
            out[n++] = static_cast<char>('0' + e / 10);
            out[n++] = static_cast<char>('0' + e % 10);
        } else if (exponent >= 0) {
            const size_t whole = static_cast<size_t>(exponent) + 1, all = static_cast<size_t>(kept);
            std::memcpy(out + n, digits, whole);
            n += whole;
            if (all > whole) {
                out[n++] = '.';
                std::memcpy(out + n, digits + whole, all - whole);
            }
        } else {
            out[n++] = '0';
            out[n++] = '.';
            for (int k = -1; k > exponent; --k) out[n++] = '0';
            for (int k = 0; k < kept; ++k) out[n++] = digits[k];
        }
    }
};

// The digits for 1e-15 <= |v| < 1e15; false elsewhere and where the value
// lies too near a rounding tie to decide without exact arithmetic (the
// caller then uses std::to_chars).
bool ShortGFast(double v, ShortG& g) {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double magnitude = std::fabs(v);
    if (!(magnitude >= 1e-15 && magnitude < 1e15)) return false;
    // The decimal exponent: from the binary one (read from the bits of
    // this normal number; magnitude in [2^low, 2^(low + 1))) the one of
    // 2^low, plus one where the magnitude reaches the next power of ten.
    // Without a branch: which way it goes depends on each value.
    static constexpr double kNextPower[] = {1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9, 1e-8, 1e-7, 1e-6, 1e-5,
                                            1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,  1e3,  1e4,  1e5,  1e6,
                                            1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13, 1e14, 1e15, 1e16};
    uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const int low = static_cast<int>((bits >> 52) & 0x7FF) - 1023;   // -50 .. 49 here
    int exponent = (low * 1233) >> 12;   // low * log10(2), rounded down
    exponent += magnitude >= kNextPower[exponent + 16] ? 1 : 0;   // (the checks below catch the rest)

    uint32_t digits = 0;
    for (int attempt = 0; attempt < 3 && digits == 0; ++attempt) {
        const int shift = 4 - exponent;   // scaled into [10000, 100000)
        if (shift < -22 || shift > 22) return false;
        const double scaled = shift >= 0 ? magnitude * kPowers[shift] : magnitude / kPowers[-shift];
        if (scaled < 10000) {
            --exponent;
        } else if (scaled >= 100000) {
            ++exponent;
        } else {
            const double below = static_cast<double>(static_cast<uint32_t>(scaled));   // floor: scaled is positive
            if (std::fabs(scaled - below - 0.5) < 1e-6) return false;   // near a tie
            digits = static_cast<uint32_t>(below) + (scaled - below > 0.5 ? 1 : 0);
        }
    }
    if (digits == 100000) digits = 10000, ++exponent;   // 99999.5 and above round up
    if (digits < 10000 || digits >= 100000) return false;
    // Two digits at a time from a table: the division loop was a tenth of the viewer's time.
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    const uint32_t high = digits / 10000, rest = digits % 10000;
    g.digits[0] = static_cast<char>('0' + high);
    std::memcpy(g.digits + 1, kPairs + 2 * (rest / 100), 2);
    std::memcpy(g.digits + 3, kPairs + 2 * (rest % 100), 2);
    g.kept = 5;
    while (g.kept > 1 && g.digits[g.kept - 1] == '0') --g.kept;
    g.exponent = exponent;
    g.negative = v < 0;
    return true;
}

// The text of printf's "%.5g" (exponents too: "1e+10") in `width` columns:
// ShortGFast, else std::to_chars, which gives the same digits; printf's
// speed would bound the viewer's.
char* PutReal(char* at, double v, Style style, size_t width) {
    if (std::isnan(v)) return PutText(at, "NaN", 3, width);
    if (std::isinf(v)) return v > 0 ? PutText(at, "Inf", 3, width) : PutText(at, "-Inf", 4, width);
    if (v == 0) return PutText(at, "0", 1, width);   // -0 too, as MATLAB shows it
    // Whole style: every value of the block is a whole number below 1e10.
    if (style == Style::Whole) return PutInteger(at, static_cast<int64_t>(v), width);
    ShortG g;
    if (ShortGFast(v, g)) {
        const size_t length = g.Length(), pad = length < width ? width - length : 0;
        std::memset(at, ' ', pad);
        g.Write(at + pad);
        return at + pad + length;
    }
    char text[kMaxNumberText];
    const size_t length = static_cast<size_t>(
        std::to_chars(text, text + sizeof text, v, std::chars_format::general, 5).ptr - text);
    return PutText(at, text, length, width);
}

struct CellShape {
    size_t realWidth = 13;   // right-aligned real part, with the blanks before it
    size_t imagWidth = 0;    // right-aligned magnitude of the imaginary part; 0: real
    size_t width() const { return imagWidth == 0 ? realWidth : realWidth + 3 + imagWidth + 1; }
};

// The digits (and sign) of the widest value of an integer class.
size_t IntegerDigits(mxClassID id) {
    switch (id) {
        case mxINT8_CLASS: return 4;
        case mxUINT8_CLASS: return 3;
        case mxINT16_CLASS: return 6;
        case mxUINT16_CLASS: return 5;
        case mxINT32_CLASS: return 11;
        case mxUINT32_CLASS: return 10;
        case mxINT64_CLASS:
        case mxUINT64_CLASS: return 20;
        default: return 0;
    }
}

CellShape ShapeOf(mxClassID id, bool complex) {
    CellShape shape;
    if (id == mxLOGICAL_CLASS) {
        shape.realWidth = 3;
    } else if (const size_t digits = IntegerDigits(id); digits > 0) {
        shape.realWidth = digits + 2;
        if (complex) shape.imagWidth = digits;
    } else if (complex) {
        shape.imagWidth = 11;   // "1.2346e+308"
    }
    return shape;
}

struct ReaderCloser {
    void operator()(mxElementReader* reader) const { mxCloseElementReader(reader); }
};
using ReaderHolder = std::unique_ptr<mxElementReader, ReaderCloser>;

// The length of a whole number's text, its sign included ("NaN", "-Inf" too).
size_t WholeLength(double v) {
    if (std::isnan(v) || v == 0) return v == 0 ? 1 : 3;
    if (std::isinf(v)) return v > 0 ? 3 : 4;
    size_t length = v < 0 ? 2 : 1;
    for (double rest = std::fabs(v); rest >= 10; rest = std::floor(rest / 10)) ++length;
    return length;
}
size_t WholeLength(uint64_t v, bool negative) {
    size_t length = negative ? 2 : 1;
    for (; v >= 10; v /= 10) ++length;
    return length;
}

// Integers and logicals, and complex matrices of whole numbers, are laid out
// as MATLAB lays them out: each column three blanks and then as wide as the
// widest value of the matrix (of each part), not of its class. The widths
// come from the values the text can show (`limit` of them), read before it
// is written; the read stops early once a part is as wide as its class
// allows or, of doubles, at the first value that is not whole (short g's
// fixed columns then stay). Data that breaks off gives the widths of what
// was read: the text stops there anyway.
CellShape MatrixShape(const mxArray* array, uint64_t limit) {
    const mxClassID id = mxGetClassID(array);
    const bool complex = mxIsComplex(array);
    const size_t digits = IntegerDigits(id);
    const bool doubles = digits == 0 && id != mxLOGICAL_CLASS;
    CellShape shape = ShapeOf(id, complex);
    if (doubles && !complex) return shape;
    limit = std::min<uint64_t>(limit, mxGetNumberOfElements(array));
    const bool signedClass = id == mxINT8_CLASS || id == mxINT16_CLASS || id == mxINT32_CLASS || id == mxINT64_CLASS;
    // The widest text each part of the class can have; doubles are read on,
    // every value checked to be whole.
    const size_t widest[2] = {doubles ? SIZE_MAX : std::max<size_t>(digits, 1),
                              doubles ? SIZE_MAX : digits - (signedClass ? 1 : 0)};
    size_t width[2] = {1, 1};
    std::vector<double> values(static_cast<size_t>(std::min<uint64_t>(limit, kRunElements)));
    std::vector<int64_t> int64s(id == mxINT64_CLASS ? values.size() : 0);
    std::vector<uint64_t> uint64s(id == mxUINT64_CLASS ? values.size() : 0);
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        ReaderHolder reader(mxOpenElementReader(array, part));
        if (!reader) throw std::bad_alloc();
        for (uint64_t left = limit; left > 0 && width[part] < widest[part];) {
            const size_t wanted = static_cast<size_t>(std::min<uint64_t>(left, values.size()));
            const size_t got = mxReadNextElements(reader.get(), wanted, values.data(), int64s.empty() ? nullptr : int64s.data(),
                                                  uint64s.empty() ? nullptr : uint64s.data());
            for (size_t k = 0; k < got; ++k) {
                const double v = values[k];
                if (doubles && std::isfinite(v) && (std::fabs(v) >= 1e10 || v != std::floor(v))) return shape;
                size_t length = 0;
                if (!int64s.empty()) {
                    const int64_t i = int64s[k];
                    length = WholeLength(i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i), i < 0 && part == 0);
                } else if (!uint64s.empty()) {
                    length = WholeLength(uint64s[k], false);
                } else {
                    length = WholeLength(part == 0 ? v : std::fabs(v));
                }
                width[part] = std::max(width[part], length);
            }
            if (got < wanted) break;
            left -= got;
        }
    }
    shape.realWidth = 3 + width[0];
    shape.imagWidth = complex ? width[1] : 0;
    return shape;
}

// One block's elements as read: doubles, and the exact values of the 64-bit classes.
struct Values {
    std::vector<double> real, imag;
    std::vector<int64_t> realInt64, imagInt64;
    std::vector<uint64_t> realUInt64, imagUInt64;
};

// The most one cell takes: both parts at their longest.
size_t MaxCellText(const CellShape& shape) { return shape.width() + 2 * kMaxNumberText + 4; }

// Element i of a block as its cell of the line, written at `at`; where it ends.
char* PutCell(char* at, mxClassID id, const CellShape& shape, Style style, const Values& v, size_t i) {
    bool negative = false;
    if (id == mxINT64_CLASS) {
        at = PutInteger(at, v.realInt64[i], shape.realWidth);
        if (shape.imagWidth == 0) return at;
        negative = v.imagInt64[i] < 0;
    } else if (id == mxUINT64_CLASS) {
        at = PutMagnitude(at, v.realUInt64[i], false, shape.realWidth);
        if (shape.imagWidth == 0) return at;
    } else {
        at = PutReal(at, v.real[i], style, shape.realWidth);
        if (shape.imagWidth == 0) return at;
        negative = !std::isnan(v.imag[i]) && std::signbit(v.imag[i]);
    }
    std::memcpy(at, negative ? " - " : " + ", 3);
    at += 3;
    if (id == mxINT64_CLASS) {
        const int64_t im = v.imagInt64[i];
        at = PutMagnitude(at, im < 0 ? 0 - static_cast<uint64_t>(im) : static_cast<uint64_t>(im), false, shape.imagWidth);
    } else if (id == mxUINT64_CLASS) {
        at = PutMagnitude(at, v.imagUInt64[i], false, shape.imagWidth);
    } else {
        at = PutReal(at, std::fabs(v.imag[i]), style, shape.imagWidth);
    }
    *at++ = 'i';
    return at;
}

// Reads the array's elements forward, both parts, in runs of kRunElements,
// on one thread that lives as long as the text: while the text of one run
// is made, the next is read (a compressed variable's text then costs about
// what its inflating or its text alone costs, whichever is more, not both).
// Blocks take their elements from the runs, whatever their size, so a
// row's narrow blocks cost no read, and no thread, each.
class ElementSource {
public:
    explicit ElementSource(const mxArray* array)
        : id_(mxGetClassID(array)), complex_(mxIsComplex(array)), left_(mxGetNumberOfElements(array)) {
        real_.reset(mxOpenElementReader(array, 0));
        if (complex_) imag_.reset(mxOpenElementReader(array, 1));
        if (!real_ || (complex_ && !imag_)) throw std::bad_alloc();
        try {
            reader_ = std::thread([this] { ReadRuns(); });
            g_readersStarted.fetch_add(1, std::memory_order_relaxed);
        } catch (const std::system_error&) {
            // No thread to be had: each run is read when it is needed.
        }
        Request();
    }
    ~ElementSource() {
        if (!reader_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        reader_.join();
    }
    ElementSource(const ElementSource&) = delete;
    ElementSource& operator=(const ElementSource&) = delete;

    // The next `count` elements into v; false when the data ended or broke before them.
    bool Next(size_t count, Values& v) {
        Resize(v, count);
        for (size_t filled = 0; filled < count;) {
            if (used_ == current_.size) {
                if (!current_.sound || !TakeRun()) return false;
                continue;
            }
            const size_t take = std::min(count - filled, current_.size - used_);
            CopyPart(current_.values.real, v.real, filled, take);
            if (complex_) CopyPart(current_.values.imag, v.imag, filled, take);
            if (id_ == mxINT64_CLASS) {
                CopyPart(current_.values.realInt64, v.realInt64, filled, take);
                CopyPart(current_.values.imagInt64, v.imagInt64, filled, take);
            }
            if (id_ == mxUINT64_CLASS) {
                CopyPart(current_.values.realUInt64, v.realUInt64, filled, take);
                CopyPart(current_.values.imagUInt64, v.imagUInt64, filled, take);
            }
            used_ += take;
            filled += take;
        }
        return true;
    }

private:
    // A run read: its elements, or none when the data ended or broke in it.
    struct Run {
        Values values;
        size_t size = 0;
        bool sound = true;
    };

    template <typename T>
    void CopyPart(const std::vector<T>& from, std::vector<T>& to, size_t at, size_t take) {
        std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(used_), take, to.begin() + static_cast<std::ptrdiff_t>(at));
    }
    void Resize(Values& v, size_t count) const {
        v.real.resize(count);
        if (complex_) v.imag.resize(count);
        if (id_ == mxINT64_CLASS) v.realInt64.resize(count), v.imagInt64.resize(count);
        if (id_ == mxUINT64_CLASS) v.realUInt64.resize(count), v.imagUInt64.resize(count);
    }

    // Asks for the next run: of the reading thread, or (without one) reads it now.
    void Request() {
        if (left_ == 0) return;
        const size_t count = static_cast<size_t>(std::min<uint64_t>(left_, kRunElements));
        left_ -= count;
        requested_ = true;
        if (!reader_.joinable()) {
            Read(count, ahead_);
            ready_ = true;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wanted_ = count;
        }
        wake_.notify_all();
    }
    // Makes the run asked for the current one and asks for the next; false when none was asked.
    bool TakeRun() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!requested_) return false;   // past the data's end: the plan asked for more than there is
        requested_ = false;
        done_.wait(lock, [this] { return ready_; });
        ready_ = false;
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
        std::swap(current_, ahead_);
        used_ = 0;
        lock.unlock();
        Request();
        return true;
    }
    // The reading thread: one run per request, until the text is done.
    void ReadRuns() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || wanted_ != 0; });
            if (stop_) return;
            const size_t count = std::exchange(wanted_, 0);
            lock.unlock();
            std::exception_ptr failure;
            try {
                Read(count, ahead_);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            failure_ = failure;
            ready_ = true;
            done_.notify_all();
        }
    }
    void Read(size_t count, Run& run) {
        const bool int64 = id_ == mxINT64_CLASS, uint64 = id_ == mxUINT64_CLASS;
        Values& v = run.values;
        Resize(v, count);
        run.sound = mxReadNextElements(real_.get(), count, v.real.data(), int64 ? v.realInt64.data() : nullptr,
                                       uint64 ? v.realUInt64.data() : nullptr) == count &&
                    (!complex_ || mxReadNextElements(imag_.get(), count, v.imag.data(), int64 ? v.imagInt64.data() : nullptr,
                                                     uint64 ? v.imagUInt64.data() : nullptr) == count) &&
                    !mxElementsDamaged(real_.get()) && (!complex_ || !mxElementsDamaged(imag_.get()));
        run.size = run.sound ? count : 0;
    }

    struct Closer {
        void operator()(mxElementReader* reader) const { mxCloseElementReader(reader); }
    };
    mxClassID id_;
    bool complex_;
    uint64_t left_;   // elements not asked for yet
    std::unique_ptr<mxElementReader, Closer> real_, imag_;
    Run current_;
    size_t used_ = 0;   // of the current run
    bool requested_ = false;   // a run was asked for and not taken yet
    // Shared with the reading thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    size_t wanted_ = 0;
    bool ready_ = false, stop_ = false;
    Run ahead_;
    std::exception_ptr failure_;
    std::thread reader_;
};

// Where the values stopped: how many of them the text shows.
struct Progress {
    uint64_t total = 0;
    uint64_t shown = 0;
    bool full = false;      // the bound was reached
    bool damaged = false;   // the data broke
};

// "x(:,:,2,3)": the page's subscripts after the first two.
std::string PageName(const std::string& name, const mxArray* array, uint64_t page) {
    const mwSize count = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    std::string text = name + "(:,:";
    for (mwSize k = 2; k < count; ++k) {
        const uint64_t d = dims[k] == 0 ? 1 : dims[k];
        text += "," + std::to_string(page % d + 1);
        page /= d;
    }
    return text + ")";
}

// Puts the line when it fits the bound; otherwise marks the text full.
bool PutLine(Output& out, Progress& progress, const char* line, size_t length) {
    if (!out.Fits(length)) {
        progress.full = true;
        return false;
    }
    out.Put(line, length);
    return true;
}
bool PutLine(Output& out, Progress& progress, const std::string& line) {
    return PutLine(out, progress, line.data(), line.size());
}

// One block of a numeric array's text: `count` columns from `first` of a
// page, rows `top` to `top + height`; the array's storage holds it as one run.
struct Block {
    uint64_t page = 0, first = 0, count = 0, top = 0, height = 0;
    size_t Elements() const { return static_cast<size_t>(height * count); }
};

// The blocks in the order the text shows them (the order of the storage):
// pages, blocks of `perBlock` columns, and runs of rows where a block of one
// column is taller than the buffer.
struct BlockPlan {
    uint64_t rows, columns, pages, perBlock;
    bool started = false;
    // The block after `block` (the first one on the first call); false after the last.
    bool Next(Block& block) {
        if (!started) {
            started = true;
            block = Block{};
            return rows > 0 && columns > 0 && pages > 0 && Fill(block);
        }
        if (block.top + block.height < rows) {
            block.top += block.height;
        } else if (block.first + block.count < columns) {
            block.top = 0;
            block.first += block.count;
        } else if (block.page + 1 < pages) {
            block = Block{block.page + 1};
        } else {
            return false;
        }
        return Fill(block);
    }

private:
    bool Fill(Block& block) const {
        block.count = std::min(perBlock, columns - block.first);
        const uint64_t run = block.count == 1 ? std::min<uint64_t>(rows, kBlockElements) : rows;
        block.height = std::min(run, rows - block.top);
        return true;
    }
};

void PutNumericPages(Output& out, const mxArray* array, const std::string& name, Progress& progress, uint64_t maxBytes) {
    const mxClassID id = mxGetClassID(array);
    const bool complex = mxIsComplex(array);
    const uint64_t rows = mxGetM(array);
    const mwSize* dims = mxGetDimensions(array);
    const uint64_t columns = mxGetNumberOfDimensions(array) >= 2 ? dims[1] : 1;
    const uint64_t pages = progress.total / (rows * columns);
    const bool paged = mxGetNumberOfDimensions(array) > 2;
    // No cell is shorter than 3 characters: the text shows at most a third as many values as its bytes.
    const CellShape shape = MatrixShape(array, maxBytes / 3 + 1);
    const bool doubles = IntegerDigits(id) == 0 && id != mxLOGICAL_CLASS;
    uint64_t perBlock = std::max<uint64_t>(1, kLineWidth / shape.width());
    perBlock = std::min<uint64_t>(perBlock, std::max<uint64_t>(1, kBlockElements / rows));
    ElementSource source(array);
    Values values;
    std::vector<char> line;
    if (!paged && !PutLine(out, progress, name + " =\n\n")) return;
    BlockPlan plan{rows, columns, pages, perBlock};
    Block block;
    bool more = plan.Next(block);
    while (more) {
        Block following = block;
        const bool after = plan.Next(following);
        if (paged && block.first == 0 && block.top == 0 &&
            !PutLine(out, progress, (block.page > 0 ? "\n" : "") + PageName(name, array, block.page) + " =\n\n")) {
            return;
        }
        if (block.top == 0 && block.count < columns) {
            const std::string heading =
                block.count == 1 ? Format("  Column %llu\n\n", static_cast<unsigned long long>(block.first + 1))
                                 : Format("  Columns %llu through %llu\n\n", static_cast<unsigned long long>(block.first + 1),
                                          static_cast<unsigned long long>(block.first + block.count));
            if (!PutLine(out, progress, (block.first > 0 ? "\n" : "") + heading)) return;
        }
        if (!source.Next(block.Elements(), values)) {
            progress.damaged = true;
            return;
        }
        Style style = Style::Whole;
        if (doubles) {
            style = ChooseStyle(values.real.data(), block.Elements(), style);
            if (complex) style = ChooseStyle(values.imag.data(), block.Elements(), style);
        }
        line.resize(static_cast<size_t>(block.count) * MaxCellText(shape) + 1);
        for (uint64_t r = 0; r < block.height; ++r) {
            char* end = line.data();
            for (uint64_t c = 0; c < block.count; ++c) {
                end = PutCell(end, id, shape, style, values, static_cast<size_t>(c * block.height + r));
            }
            *end++ = '\n';
            if (!PutLine(out, progress, line.data(), static_cast<size_t>(end - line.data()))) return;
            progress.shown += block.count;
        }
        block = following;
        more = after;
    }
}

double SparseValue(const void* data, mxClassID id, size_t k) {
    if (id == mxLOGICAL_CLASS) return static_cast<const uint8_t*>(data)[k] != 0 ? 1.0 : 0.0;
    if (id == mxSINGLE_CLASS) return static_cast<const float*>(data)[k];
    return static_cast<const double*>(data)[k];
}

size_t DigitsOf(uint64_t n) { return std::to_string(n).size(); }

// The stored values, column by column, as "(row,col)  value".
void PutSparse(Output& out, const mxArray* array, const std::string& name, Progress& progress) {
    const mxClassID id = mxGetClassID(array);
    const bool complex = mxIsComplex(array);
    const size_t columns = mxGetN(array);
    const mwIndex* jc = mxGetJc(array);
    const mwIndex* ir = mxGetIr(array);
    const void* real = mxGetPr(array);
    const void* imag = complex ? mxGetPi(array) : nullptr;
    if (!PutLine(out, progress, name + " =\n\n")) return;
    if (jc == nullptr || (jc[columns] > 0 && (ir == nullptr || real == nullptr || (complex && imag == nullptr)))) {
        progress.damaged = true;
        return;
    }
    const size_t stored = std::min<size_t>(jc[columns], mxGetNzmax(array));
    progress.total = stored;
    if (stored == 0) {
        PutLine(out, progress, "   All zero sparse: " + DimsText(array) + "\n");
        return;
    }
    // One style for all the stored values, which are decoded already.
    Values v;
    v.real.resize(stored);
    if (complex) v.imag.resize(stored);
    for (size_t k = 0; k < stored; ++k) {
        v.real[k] = SparseValue(real, id, k);
        if (complex) v.imag[k] = SparseValue(imag, id, k);
    }
    Style style = ChooseStyle(v.real.data(), stored, Style::Whole);
    if (complex) style = ChooseStyle(v.imag.data(), stored, style);
    const CellShape shape = ShapeOf(id == mxLOGICAL_CLASS ? mxLOGICAL_CLASS : mxDOUBLE_CLASS, complex);
    const int rowWidth = static_cast<int>(DigitsOf(mxGetM(array))), columnWidth = static_cast<int>(DigitsOf(columns));
    size_t column = 0;
    std::string line;
    for (size_t k = 0; k < stored; ++k) {
        while (column < columns && jc[column + 1] <= k) ++column;
        if (column >= columns) break;
        line = Format("   (%*zu,%*zu)", rowWidth, static_cast<size_t>(ir[k]) + 1, columnWidth, column + 1);
        const size_t head = line.size();
        line.resize(head + MaxCellText(shape) + 1);
        char* end = PutCell(line.data() + head, id, shape, style, v, k);
        *end++ = '\n';
        if (!PutLine(out, progress, line.data(), static_cast<size_t>(end - line.data()))) return;
        ++progress.shown;
    }
}

void PutChars(Output& out, const mxArray* array, const std::string& name, Progress& progress) {
    const auto* units = static_cast<const uint8_t*>(mxGetPr(array));
    if (!PutLine(out, progress, name + " =\n\n")) return;
    if (units == nullptr) {
        progress.damaged = true;
        return;
    }
    const size_t rows = mxGetM(array), columns = mxGetNumberOfDimensions(array) >= 2 ? mxGetDimensions(array)[1] : 1;
    const size_t pages = static_cast<size_t>(progress.total / (rows * columns));
    const bool paged = mxGetNumberOfDimensions(array) > 2;
    for (size_t page = 0; page < pages; ++page) {
        if (paged && !PutLine(out, progress, (page > 0 ? "\n" : "") + PageName(name, array, page) + " =\n\n")) return;
        for (size_t r = 0; r < rows; ++r) {
            if (!out.Fits(columns + 7)) {   // a row takes at least a byte a character
                progress.full = true;
                return;
            }
            if (!PutLine(out, progress, "    '" + CharRowText(units, rows, columns, page * rows * columns, r) + "'\n")) return;
            progress.shown += columns;
        }
    }
}

std::string EmptyText(const mxArray* array) {
    const mxClassID id = mxGetClassID(array);
    if (id == mxDOUBLE_CLASS && !mxIsSparse(array) && DimsText(array) == "0x0") return "     []\n";
    return "  " + DimsText(array) + " empty " + (mxIsSparse(array) ? "sparse " : "") + mxGetClassName(array) + " array\n";
}

bool IsNumeric(mxClassID id) { return id == mxLOGICAL_CLASS || (id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS); }

}  // namespace

uint64_t DisplayReadersStarted() { return g_readersStarted.load(std::memory_order_relaxed); }

DisplayResult WriteVariableDisplay(const mxArray* array, const DisplayFacts& facts, uint64_t maxBytes,
                                   DisplayWriter write, void* context) {
    Output out(write, context, maxBytes);
    if (array == nullptr) {
        out.Put(UnknownClassText);
        return out.Flush() ? DisplayResult::Shown : DisplayResult::WriteFailed;
    }
    PutWhos(out, array, facts);
    const mxClassID id = mxGetClassID(array);
    Progress progress;
    progress.total = mxGetNumberOfElements(array);
    if ((IsNumeric(id) || id == mxCHAR_CLASS) && progress.total == 0) {
        out.Put(facts.name + " =\n\n" + EmptyText(array));
    } else if (IsNumeric(id) && mxIsSparse(array)) {
        PutSparse(out, array, facts.name, progress);
    } else if (IsNumeric(id)) {
        PutNumericPages(out, array, facts.name, progress, maxBytes);
    } else if (id == mxCHAR_CLASS) {
        PutChars(out, array, facts.name, progress);
    } else {
        // Structs, cells and objects: what the engine makes of them.
        std::string text(static_cast<size_t>(std::min<uint64_t>(maxBytes, kMaxContentsText)) + 1, '\0');
        const bool described = mxDescribeValue(array, text.data(), text.size()) == 0;
        out.Put(described ? text.c_str() : id == mxFUNCTION_CLASS ? FunctionHandleText : UnsupportedClassText);
        out.Put("\n");
    }
    if (progress.damaged) {
        out.Put(Format("\n  The data is damaged: %llu of %llu elements not shown.\n",
                       static_cast<unsigned long long>(progress.total - progress.shown),
                       static_cast<unsigned long long>(progress.total)));
    } else if (progress.full) {
        out.Put(Format("\n  ... %llu of %llu elements not shown (the text's bound of %llu bytes).\n",
                       static_cast<unsigned long long>(progress.total - progress.shown),
                       static_cast<unsigned long long>(progress.total), static_cast<unsigned long long>(maxBytes)));
    }
    if (!out.Flush()) return DisplayResult::WriteFailed;
    return progress.damaged ? DisplayResult::Damaged : DisplayResult::Shown;
}

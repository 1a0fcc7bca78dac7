// The text the host's viewer shows for a variable: numeric arrays element by
// element with their subscripts, character arrays as their characters, every
// other class as a short message.
//
// Each text is built in buffers of the call's own and returned as a value,
// so that archives viewed from several threads never share one. The numeric text stops once it passes 992 characters, so only the
// first elements of a large array are read: through mxReadElements, which
// decodes (for a compressed variable: inflates) no further than the elements
// shown.
#include "objects/value_text.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/array_view.h"
#include "codec/mat_format.h"
#include "os/text_encoding.h"

const char* const UnknownClassText = "Unknown Class";
const char* const UnsupportedClassText = "Class NOT Supported";
const char* const FunctionHandleText =
    "Sorry Mathworks does not support 'function_handle' extraction.\n"
    "And any way, why would you like to load at invalid handle to memory?";

namespace {

// The numeric text stops after the element line that takes it past this length.
constexpr size_t kStopLength = 992;

// A subscript is at most a 64-bit count: 20 digits, and a comma or a
// parenthesis beside it. The engine refuses arrays of more dimensions than
// kMaxDimensions; a subscript text for more is cut (ElementSubscriptText).
constexpr size_t kMaxNumberDigits = 20;
constexpr size_t kSubscriptTextRoom = matlib::format::kMaxDimensions * (kMaxNumberDigits + 1) + 2;

// The longest element line: subscripts, " = ", a value, " + ", a value, "i\n".
// A value is at most 20 characters: "%lld" of INT64_MIN, or "%g" of a double
// ("-1.79769e+308").
constexpr size_t kMaxElementLine = kSubscriptTextRoom + 3 + kMaxNumberDigits + 3 + kMaxNumberDigits + 2;

// The numeric text reaches at most kStopLength characters before its last
// element line, then takes that line, a tab, "..." and the terminator.
constexpr size_t kValueTextRoom = kStopLength + kMaxElementLine + 1 + 3 + 1;

// Character arrays show at most 1023 bytes of text and the terminator; a
// longer text is cut at a character boundary.
constexpr size_t kCharTextRoom = 1024;
static_assert(kCharTextRoom <= kValueTextRoom);

// Elements are read in small batches: a text never shows more than about a
// hundred of them.
constexpr size_t kBatch = 64;

// The text of a struct, cell or object (with ShowContents on): a few
// screens of nested lines.
constexpr size_t kContentsTextRoom = 8192;

}  // namespace

std::string CharRowText(const uint8_t* units, size_t rows, size_t columns, size_t pageStart, size_t row) {
    auto unit = [&](size_t c) {
        uint16_t u;
        std::memcpy(&u, units + 2 * (pageStart + c * rows + row), 2);
        return u;
    };
    std::string text;
    for (size_t c = 0; c < columns; ++c) {
        const uint16_t u = unit(c);
        const uint16_t next = c + 1 < columns ? unit(c + 1) : 0;
        uint32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (next - 0xDC00u);
            ++c;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            cp = 0xFFFD;   // a lone surrogate
        } else if (u == 0) {
            cp = matlib::kShownNul;
        }
        platform::AppendUtf8(cp, &text);
    }
    return text;
}

namespace {

// With ShowContents on, what a struct, cell or object holds; otherwise (or
// when the engine has nothing to say) the written message.
std::string RenderContentsText(const mxArray* array, bool showContents) {
    if (!showContents) return UnsupportedClassText;
    std::string text(kContentsTextRoom, '\0');
    if (mxDescribeValue(array, text.data(), text.size()) != 0) return UnsupportedClassText;
    text.resize(std::strlen(text.c_str()));
    return text;
}

}  // namespace

// mingw-w64 formats with its own C99 printf (%zu, %lld), which gcc checks as gnu_printf.
#if defined(__MINGW32__)
#define MATWCX_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define MATWCX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace {

// Appends formatted text to a fixed buffer. The buffers are sized so that
// every text the stop rule allows fits; should one not, it is cut, never run
// past the end.
class TextBuilder {
public:
    TextBuilder(char* buffer, size_t room) : buffer_(buffer), room_(room) { buffer_[0] = '\0'; }

    MATWCX_PRINTF_FORMAT(2, 3) void Append(const char* format, ...) {
        if (length_ + 1 >= room_) return;
        va_list args;
        va_start(args, format);
        const int written = std::vsnprintf(buffer_ + length_, room_ - length_, format, args);
        va_end(args);
        if (written < 0) {
            buffer_[length_] = '\0';
            return;
        }
        const size_t wanted = length_ + static_cast<size_t>(written);
        length_ = wanted < room_ ? wanted : room_ - 1;
    }

    size_t length() const { return length_; }

private:
    char* buffer_;
    size_t room_;
    size_t length_ = 0;
};

// One batch of elements, as the class gives them exactly: doubles for every
// class but the 64-bit integers.
struct ElementBatch {
    size_t first = 0;
    size_t count = 0;
    double real[kBatch];
    double imag[kBatch];
    int64_t realInt64[kBatch];
    int64_t imagInt64[kBatch];
    uint64_t realUInt64[kBatch];
    uint64_t imagUInt64[kBatch];
};

// Reads the batch that starts at `first`; false when nothing could be read
// (damaged data).
bool ReadBatch(const mxArray* array, bool complex, size_t first, size_t total, ElementBatch* batch) {
    const size_t wanted = (total - first < kBatch) ? total - first : kBatch;
    size_t got = mxReadElements(array, 0, first, wanted, batch->real, batch->realInt64, batch->realUInt64);
    if (complex) {
        const size_t gotImag =
            mxReadElements(array, 1, first, wanted, batch->imag, batch->imagInt64, batch->imagUInt64);
        if (gotImag < got) got = gotImag;
    }
    batch->first = first;
    batch->count = got;
    return got > 0;
}

// The sign written between a complex value's parts: "3 - 4i", not "3 + -4i".
char SignOf(double imag) { return !std::isnan(imag) && std::signbit(imag) ? '-' : '+'; }

void AppendElementLine(TextBuilder& text, mxClassID classId, bool complex, const char* subscripts,
                       const ElementBatch& batch, size_t at) {
    switch (classId) {
        case mxINT64_CLASS:
            if (complex) {
                const int64_t im = batch.imagInt64[at];
                const uint64_t magnitude = im < 0 ? 0 - static_cast<uint64_t>(im) : static_cast<uint64_t>(im);
                text.Append("%s = %lld %c %llui\n", subscripts, static_cast<long long>(batch.realInt64[at]),
                            im < 0 ? '-' : '+', static_cast<unsigned long long>(magnitude));
            } else {
                text.Append("%s = %lld\n", subscripts, static_cast<long long>(batch.realInt64[at]));
            }
            return;
        case mxUINT64_CLASS:
            if (complex) {
                text.Append("%s = %llu + %llui\n", subscripts,
                            static_cast<unsigned long long>(batch.realUInt64[at]),
                            static_cast<unsigned long long>(batch.imagUInt64[at]));
            } else {
                text.Append("%s = %llu\n", subscripts, static_cast<unsigned long long>(batch.realUInt64[at]));
            }
            return;
        default:
            if (complex) {
                text.Append("%s = %g %c %gi\n", subscripts, batch.real[at], SignOf(batch.imag[at]),
                            std::fabs(batch.imag[at]));
            } else {
                text.Append("%s = %g\n", subscripts, batch.real[at]);
            }
            return;
    }
}

// A stored value of a sparse array's decoded data, as a double.
double SparseValue(const void* data, mxClassID classId, size_t k) {
    switch (classId) {
        case mxDOUBLE_CLASS: return static_cast<const double*>(data)[k];
        case mxSINGLE_CLASS: return static_cast<const float*>(data)[k];
        case mxLOGICAL_CLASS: return static_cast<const uint8_t*>(data)[k] != 0 ? 1.0 : 0.0;
        default: return 0.0;
    }
}

// Sparse arrays show their stored values, column by column, as "(row,col)".
std::string RenderSparseText(const mxArray* array) {
    const mxClassID classId = mxGetClassID(array);
    if (classId != mxDOUBLE_CLASS && classId != mxLOGICAL_CLASS && classId != mxSINGLE_CLASS) {
        return UnsupportedClassText;
    }
    char buffer[kValueTextRoom];
    TextBuilder text(buffer, sizeof buffer);
    text.Append("\t");
    const size_t columns = mxGetN(array);
    const mwIndex* jc = mxGetJc(array);
    const mwIndex* ir = mxGetIr(array);
    const void* real = mxGetPr(array);
    const bool complex = mxIsComplex(array);
    const void* imag = complex ? mxGetPi(array) : nullptr;
    if (jc == nullptr || (jc[columns] > 0 && (ir == nullptr || real == nullptr || (complex && imag == nullptr)))) {
        text.Append("...");   // damaged: nothing more can be shown
        return buffer;
    }
    // The engine checks the column starts; stay inside the stored values anyway.
    size_t stored = jc[columns];
    const size_t nzmax = mxGetNzmax(array);
    if (stored > nzmax) stored = nzmax;
    size_t column = 0;
    for (size_t k = 0; k < stored; ++k) {
        while (column < columns && jc[column + 1] <= k) ++column;
        if (column >= columns) break;
        const double re = SparseValue(real, classId, k);
        if (complex) {
            const double im = SparseValue(imag, classId, k);
            text.Append("(%zu,%zu) = %g %c %gi\n", ir[k] + 1, column + 1, re, SignOf(im), std::fabs(im));
        } else {
            text.Append("(%zu,%zu) = %g\n", ir[k] + 1, column + 1, re);
        }
        text.Append("\t");
        if (text.length() > kStopLength) {
            text.Append("...");
            break;
        }
    }
    return buffer;
}

// A char matrix of several rows shows them one under the other (its
// storage holds them interleaved, column by column).
std::string RenderCharRows(const mxArray* array) {
    const auto* units = static_cast<const uint8_t*>(mxGetPr(array));
    if (units == nullptr) return std::string();
    const size_t rows = mxGetM(array), columns = mxGetDimensions(array)[1];
    const size_t pages = mxGetNumberOfElements(array) / (rows * columns);
    std::string text;
    for (size_t page = 0; page < pages; ++page) {
        for (size_t r = 0; r < rows; ++r) {
            const std::string row = CharRowText(units, rows, columns, page * rows * columns, r);
            const std::string line = (text.empty() ? "" : "\n") + row;
            if (text.size() + line.size() < kCharTextRoom) {
                text += line;
                continue;
            }
            // The line that passes the room is cut at a character's boundary.
            size_t keep = kCharTextRoom - 1 - text.size();
            while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) --keep;
            return text + line.substr(0, keep);
        }
    }
    return text;
}

std::string RenderCharText(const mxArray* array) {
    if (mxGetM(array) > 1 && mxGetNumberOfElements(array) > 0) return RenderCharRows(array);
    char buffer[kCharTextRoom] = {};
    // A UTF-16 code unit becomes at most 3 bytes of UTF-8 (a pair of
    // surrogates 4 bytes for 2 units), so 3 per unit always has room. A text
    // that does not fit is cut by mxGetShownString at a character boundary.
    const size_t units = mxGetNumberOfElements(array);
    size_t room = kCharTextRoom;
    if (units < (kCharTextRoom - 1) / 3) room = 3 * units + 1;
    if (mxGetShownString(array, buffer, room) != 0) {
        buffer[kCharTextRoom - 1] = '\0';   // whatever came back, it ends inside the room
    }
    return buffer;
}

// The subscripts of element `index`, "(2,3)", in a buffer of
// kSubscriptTextRoom + 1 bytes.
const char* ElementSubscriptText(const mxArray* array, size_t index, char* buffer) {
    constexpr size_t kRoom = kSubscriptTextRoom + 1;
    TextBuilder text(buffer, kRoom);
    const size_t count = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    if (count == 0 || dims == nullptr) {
        text.Append("(%zu)", index + 1);
        return buffer;
    }
    // Storage order: the first subscript changes fastest. Each subscript but
    // the last is the remainder by its dimension; the last takes what is left.
    text.Append("(");
    size_t rest = index;
    for (size_t k = 0; k < count; ++k) {
        size_t subscript = rest;
        if (k + 1 < count && dims[k] != 0) {
            subscript = rest % dims[k];
            rest /= dims[k];
        } else if (k + 1 < count) {
            subscript = 0;   // a zero dimension: no element has this index
        }
        // Beyond the engine's dimension bound the text cannot fit: cut it
        // while "...)" still fits behind it.
        const size_t needed = kMaxNumberDigits + 1 + (k + 1 < count ? 5 : 1);
        if (text.length() + needed > kRoom) {
            text.Append("...)");
            return buffer;
        }
        text.Append(k + 1 < count ? "%zu," : "%zu)", subscript + 1);
    }
    return buffer;
}

std::string RenderNumericText(const mxArray* array) {
    const mxClassID classId = mxGetClassID(array);
    if (mxIsSparse(array)) return RenderSparseText(array);
    const bool numeric = classId == mxLOGICAL_CLASS || (classId >= mxDOUBLE_CLASS && classId <= mxUINT64_CLASS);
    if (!numeric) return UnsupportedClassText;

    char buffer[kValueTextRoom];
    char subscriptBuffer[kSubscriptTextRoom + 1];
    TextBuilder text(buffer, sizeof buffer);
    text.Append("\t");
    const size_t total = mxGetNumberOfElements(array);
    const bool complex = mxIsComplex(array);
    ElementBatch batch;
    for (size_t i = 0; i < total; ++i) {
        if (i == 0 || i >= batch.first + batch.count) {
            if (!ReadBatch(array, complex, i, total, &batch)) {
                text.Append("...");   // damaged data: the rest cannot be shown
                break;
            }
        }
        const char* subscripts = ElementSubscriptText(array, i, subscriptBuffer);
        AppendElementLine(text, classId, complex, subscripts, batch, i - batch.first);
        text.Append("\t");
        if (text.length() > kStopLength) {
            text.Append("...");
            break;
        }
    }
    return buffer;
}

}  // namespace

std::string RenderVariableText(const mxArray* array, bool showContents) {
    if (array == nullptr) return UnknownClassText;
    switch (mxGetClassID(array)) {
        case mxUNKNOWN_CLASS: return UnknownClassText;
        case mxCELL_CLASS:
        case mxSTRUCT_CLASS:
        case mxOBJECT_CLASS:
        case mxOPAQUE_CLASS: return RenderContentsText(array, showContents);
        case mxVOID_CLASS: return UnsupportedClassText;
        case mxCHAR_CLASS: return RenderCharText(array);
        case mxFUNCTION_CLASS: return FunctionHandleText;
        case mxLOGICAL_CLASS:
        case mxDOUBLE_CLASS:
        case mxSINGLE_CLASS:
        case mxINT8_CLASS:
        case mxUINT8_CLASS:
        case mxINT16_CLASS:
        case mxUINT16_CLASS:
        case mxINT32_CLASS:
        case mxUINT32_CLASS:
        case mxINT64_CLASS:
        case mxUINT64_CLASS: return RenderNumericText(array);
        default: return UnsupportedClassText;   // objects, opaque classes, anything newer
    }
}


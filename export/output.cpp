// The temporary file of an export, the element reads behind it and the
// number texts every text format shares.
#include "export/output.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "os/file_io.h"

#if defined(MATWCX_HAVE_DRAGONBOX)
#include <fmt/format.h>
#endif

namespace exporting {

Output::Output(ProgressFn progress, void* context, uint64_t totalElements)
    : progress_(progress), context_(context), total_(totalElements) {
    buffer_.reserve(kBufferSize);
}


Result Output::Create(const char* destination) {
    destination_ = destination;
    // What killed exports (and deletions) of this machine left here goes.
    platform::FileSystem().removeStaleTemporaries(destination);
    // A file it replaces keeps its permission bits, as a MAT-file does (a
    // link is replaced by a file of the usual bits, not followed).
    platform::FileStatus existing;
    const bool keepMode = platform::FileSystem().linkStatus(destination, &existing) == 0 && existing.isRegularFile;
    if (!staged_.Create(destination, false, keepMode, existing.mode)) return result_ = Result::CreateFailed;
    return Result::Ok;
}

void Output::Drain() {
    Write(buffer_);
    buffer_.clear();
}

void Output::Write(std::string_view bytes) {
    if (result_ != Result::Ok || bytes.empty()) return;
    if (platform::FileSystem().write(bytes.data(), bytes.size(), staged_.stream) != bytes.size()) {
        result_ = Result::WriteFailed;
        return;
    }
    // The disk writes while the rest is made: the sync at the end then
    // waits for the last few MB, not for the whole file.
    unsynced_ += bytes.size();
    if (unsynced_ >= kWritebackStep) {
        platform::FileSystem().startWriteback(staged_.stream);
        unsynced_ = 0;
    }
}

void Output::Advance(uint64_t elements) {
    done_ += elements;
    // Told about once per 1/64 of the whole and at least every 1M elements:
    // often enough for a bar, rarely enough to cost nothing.
    const uint64_t step = std::max<uint64_t>(1, std::min<uint64_t>(total_ / 64, 1 << 20));
    if (result_ != Result::Ok || progress_ == nullptr || done_ - told_ < step || done_ >= total_) return;
    told_ = done_;
    if (progress_(context_, done_, total_) == 0) result_ = Result::Cancelled;
}

uint64_t Output::CopyStored(const mxArray* array, uint64_t count, size_t width) {
    Drain();
    const int64_t start = result_ == Result::Ok && platform::FileSystem().flush(staged_.stream) == 0
                              ? platform::FileSystem().tell(staged_.stream) : -1;
    if (start < 0 || width == 0 || count > UINT64_MAX / width) return 0;
    constexpr uint64_t kStep = 64 << 20;   // bytes between progress reports
    const uint64_t bytes = count * width;
    uint64_t copied = 0;
    while (copied < bytes && result_ == Result::Ok) {
        const uint64_t step = std::min(kStep, bytes - copied);
        const uint64_t done = mxCopyStoredElements(array, 0, copied, step, staged_.stream);
        copied += done;
        Advance((copied / width) - (copied - done) / width);
        if (done < step) break;
    }
    // What came short (not offered, a failure, a source changed meanwhile)
    // is written the plain way from the last whole element on, over whatever
    // the system copied after it.
    const uint64_t whole = copied / width;
    if (copied < bytes &&
        platform::FileSystem().seek(staged_.stream, start + static_cast<int64_t>(whole * width), SEEK_SET) != 0) {
        result_ = Result::WriteFailed;
    }
    return whole;
}

Result Output::Place() {
    Drain();
    if (result_ != Result::Ok) return result_;
    if (platform::FileSystem().flush(staged_.stream) != 0 || platform::FileSystem().sync(staged_.stream) != 0) {
        return result_ = Result::WriteFailed;
    }
    // The last report comes before the file gets a name: a Cancel there
    // leaves the destination as it was, and nothing beside it.
    if (progress_ != nullptr && progress_(context_, total_, total_) == 0) return result_ = Result::Cancelled;
    if (staged_.Commit() != 0) return result_ = Result::CreateFailed;
    return Result::Ok;
}

Values::Values(const mxArray* source, const std::string& besidePath)
    : array(source), classId(mxGetClassID(source)), complex(mxIsComplex(source)), beside(besidePath) {
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        readers[part] = mxOpenElementReader(array, part);
        if (readers[part] == nullptr) throw std::bad_alloc();
    }
    if (classId == mxINT64_CLASS) {
        real64.resize(kBatch);
        if (complex) imag64.resize(kBatch);
    } else if (classId == mxUINT64_CLASS) {
        realU64.resize(kBatch);
        if (complex) imagU64.resize(kBatch);
    } else {
        real.resize(kBatch);
        if (complex) imag.resize(kBatch);
    }
}

Values::~Values() {
    for (mxElementReader* reader : readers) mxCloseElementReader(reader);
    for (FILE* file : unpacked) {
        if (file != nullptr) platform::FileSystem().close(file);
    }
}

bool Values::Unpack(Output& out) {
    const uint64_t total = mxGetNumberOfElements(array);
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        if (unpacked[part] != nullptr || !mxElementsBestReadInOrder(readers[part]) || beside.empty()) continue;
        FILE* file = platform::FileSystem().createUnnamedBeside(beside.c_str(), true);
        if (file == nullptr) continue;
        out.AddWork(total);
        bool written = true;
        for (uint64_t first = 0; first < total && written; first += kBatch) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(kBatch, total - first));
            // The whole part read in order meets any damage of it, its checksum too.
            if (!ReadPart(part, first, count, 0)) {
                platform::FileSystem().close(file);
                return false;
            }
            out.Advance(count);
            if (out.Failed()) {
                platform::FileSystem().close(file);
                return false;
            }
            const size_t bytes = count * kSlotBytes;
            written = platform::FileSystem().write(Slots(part), bytes, file) == bytes;
        }
        if (!written || platform::FileSystem().flush(file) != 0) {
            platform::FileSystem().close(file);
            continue;
        }
        unpacked[part] = file;
    }
    return true;
}

void* Values::Slots(int part) {
    if (classId == mxINT64_CLASS) return (part == 0 ? real64 : imag64).data();
    if (classId == mxUINT64_CLASS) return (part == 0 ? realU64 : imagU64).data();
    return (part == 0 ? real : imag).data();
}

bool Values::Read(uint64_t first, size_t count, size_t at) {
    if (count == 0) return true;
    if (at > kBatch || count > kBatch - at) return false;
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        if (!ReadPart(part, first, count, at)) return false;
    }
    return true;
}

bool Values::ReadPart(int part, uint64_t first, size_t count, size_t at) {
    void* into = static_cast<uint8_t*>(Slots(part)) + at * kSlotBytes;
    if (unpacked[part] != nullptr) {
        const size_t bytes = count * kSlotBytes;
        return platform::FileSystem().readAt(unpacked[part], first * kSlotBytes, into, bytes) == bytes;
    }
    double* d = classId == mxINT64_CLASS || classId == mxUINT64_CLASS ? nullptr : static_cast<double*>(into);
    int64_t* i = classId == mxINT64_CLASS ? static_cast<int64_t*>(into) : nullptr;
    uint64_t* u = classId == mxUINT64_CLASS ? static_cast<uint64_t*>(into) : nullptr;
    // Damage met on the way (the stream's checksum at its end, a part
    // longer or shorter than the array) fails the read that met it.
    return mxReadElementsFrom(readers[part], first, count, d, i, u) == count && !mxElementsDamaged(readers[part]);
}

namespace {

#if defined(MATWCX_HAVE_DRAGONBOX)
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// How many decimal digits v has (1 for 0).
int DigitCount(uint64_t v) {
    static constexpr uint64_t kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
                                           1000000000, 10000000000, 100000000000, 1000000000000,
                                           10000000000000, 100000000000000, 1000000000000000,
                                           10000000000000000, 100000000000000000, 1000000000000000000,
                                           10000000000000000000u};
    const int bits = 64 - std::countl_zero(v | 1);
    const int below = (bits * 1233) >> 12;   // the digits of 2^(bits - 1), less one: bits * log10(2), rounded down
    return below + (v >= kPowers[below] ? 1 : 0);
}

// The n decimal digits of v (v < 10^n) at [at, at + n): eight at a time, and
// two at a time from a table (digit by digit this took twice Dragonbox's
// own time).
void PutDigits(char* at, uint64_t v, int n) {
    const auto pair = [](char* to, uint32_t w) { std::memcpy(to, kDigitPairs + 2 * w, 2); };
    char* end = at + n;
    for (; n >= 8; n -= 8, end -= 8) {
        const uint64_t high = v / 100000000;
        const uint32_t low = static_cast<uint32_t>(v - high * 100000000), left = low / 10000, right = low % 10000;
        pair(end - 8, left / 100);
        pair(end - 6, left % 100);
        pair(end - 4, right / 100);
        pair(end - 2, right % 100);
        v = high;
    }
    uint32_t w = static_cast<uint32_t>(v);
    for (; n >= 2; n -= 2, end -= 2, w /= 100) pair(end - 2, w % 100);
    if (n == 1) end[-1] = static_cast<char>('0' + w);
}

// A finite double's shortest digits (Dragonbox's, the ones std::to_chars
// finds) laid out as std::to_chars lays them out: fixed or scientific,
// whichever is shorter, fixed on a tie; a fixed whole number that needs
// zeros after its digits shows the double's exact digits there, as printf's
// "%.0f" would, which only std::to_chars makes here (values of 2^53 and up).
// Doubles from here on are whole numbers at least 2 apart.
constexpr double kTwoTo53 = 9007199254740992.0;

char* PutShortest(double value, char* at) {
    const double magnitude = std::fabs(value);
    if (std::signbit(value)) *at++ = '-';
    if (magnitude == 0) {
        *at++ = '0';
        return at;
    }
    // A whole number below 2^53 that does not end in 0 is its own shortest
    // digits (doubles there are at most 1 apart), in fixed form: indices,
    // counts and pixels need no Dragonbox.
    if (magnitude < kTwoTo53) {
        const uint64_t whole = static_cast<uint64_t>(magnitude);
        if (static_cast<double>(whole) == magnitude && whole % 10 != 0) {
            const int n = DigitCount(whole);
            PutDigits(at, whole, n);
            return at + n;
        }
    }
    const auto decimal = fmt::detail::dragonbox::to_decimal(magnitude);   // significand x 10^exponent
    const uint64_t significand = decimal.significand;
    const int n = DigitCount(significand);
    const int e = decimal.exponent, point = n + e, x = point - 1, ax = x < 0 ? -x : x;
    const int scientificLength = n + (n > 1 ? 1 : 0) + 2 + (ax >= 100 ? 3 : 2);
    const int fixedLength = e >= 0 ? n + e : point > 0 ? n + 1 : 2 - e;
    // The digits go straight to their places (the room holds every form);
    // where a point comes between them, the ones before it move up by one.
    if (fixedLength <= scientificLength) {
        if (e > 0 && magnitude >= kTwoTo53) return std::to_chars(at, at + kDoubleTextRoom - 1, magnitude).ptr;
        if (e >= 0) {
            PutDigits(at, significand, n);
            for (int k = 0; k < e; ++k) at[n + k] = '0';
            return at + n + e;
        }
        if (point > 0) {
            PutDigits(at + 1, significand, n);
            for (int k = 0; k < point; ++k) at[k] = at[k + 1];
            at[point] = '.';
            return at + n + 1;
        }
        at[0] = '0';
        at[1] = '.';
        for (int k = 0; k < -point; ++k) at[2 + k] = '0';
        at += 2 - point;
        PutDigits(at, significand, n);
        return at + n;
    }
    PutDigits(at + 1, significand, n);
    at[0] = at[1];
    if (n > 1) at[1] = '.';
    at += n > 1 ? n + 1 : 1;
    *at++ = 'e';
    *at++ = x < 0 ? '-' : '+';
    if (ax >= 100) *at++ = static_cast<char>('0' + ax / 100);
    *at++ = static_cast<char>('0' + ax / 10 % 10);
    *at++ = static_cast<char>('0' + ax % 10);
    return at;
}
#endif

}  // namespace

char* PutDouble(double value, bool single, char* at) {
    std::string_view word;
    if (std::isnan(value)) word = "NaN";
    if (std::isinf(value)) word = value < 0 ? "-Inf" : "Inf";
    if (!word.empty()) return std::copy(word.begin(), word.end(), at);
#if defined(MATWCX_HAVE_DRAGONBOX)
    if (!single) return PutShortest(value, at);
#endif
    // The shortest form of a float or double is at most 24 bytes: the room
    // always holds it.
    const std::to_chars_result r = single ? std::to_chars(at, at + kDoubleTextRoom, static_cast<float>(value))
                                          : std::to_chars(at, at + kDoubleTextRoom, value);
    return r.ec == std::errc() ? r.ptr : at;
}

void AppendDouble(double value, bool single, std::string& out) {
    char text[kDoubleTextRoom];
    out.append(text, PutDouble(value, single, text));
}

namespace {

template <typename Integer>
void AppendInteger(Integer value, std::string& out) {
    char text[24];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    out.append(text, r.ptr);
}

}  // namespace

void Values::Text(size_t k, std::string& out, bool complexForm) const {
    const bool single = classId == mxSINGLE_CLASS;
    const bool floating = classId == mxDOUBLE_CLASS || single;
    auto part = [&](int which) {
        if (classId == mxINT64_CLASS) {
            AppendInteger((which == 0 ? real64 : imag64)[k], out);
        } else if (classId == mxUINT64_CLASS) {
            AppendInteger((which == 0 ? realU64 : imagU64)[k], out);
        } else if (floating) {
            AppendDouble((which == 0 ? real : imag)[k], single, out);
        } else {
            AppendInteger(static_cast<int64_t>((which == 0 ? real : imag)[k]), out);
        }
    };
    part(0);
    if (!complexForm || !complex) return;
    // writematrix's "a+bi": the sign of the imaginary part, or "+".
    const bool negative = classId == mxINT64_CLASS ? imag64[k] < 0
                          : classId == mxUINT64_CLASS ? false
                                                      : std::signbit(imag[k]) && !std::isnan(imag[k]);
    if (!negative) out += '+';
    part(1);
    out += 'i';
}

bool Values::IsNaNOrInf(size_t k) const {
    if (classId != mxDOUBLE_CLASS && classId != mxSINGLE_CLASS) return false;
    return !std::isfinite(real[k]);
}

void AppendUtf16(const uint16_t* units, size_t count, std::string& out) {
    for (uint32_t c : CodePoints(units, count)) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

std::vector<uint32_t> CodePoints(const uint16_t* units, size_t count) {
    std::vector<uint32_t> points;
    points.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            points.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            points.push_back(0xFFFD);
        } else {
            points.push_back(u);
        }
    }
    return points;
}

bool CharRows(const mxArray* array, std::vector<std::u16string>* rows) {
    const size_t m = mxGetM(array), n = mxGetN(array), total = mxGetNumberOfElements(array);
    rows->assign(m, std::u16string(n, u'\0'));
    std::vector<double> units(std::min<size_t>(total, Values::kBatch));
    for (size_t first = 0; first < total; first += units.size()) {
        const size_t count = std::min(units.size(), total - first);
        if (mxReadElements(array, 0, first, count, units.data(), nullptr, nullptr) != count) return false;
        for (size_t k = 0; k < count; ++k) {
            (*rows)[(first + k) % m][(first + k) / m] = static_cast<char16_t>(units[k]);
        }
    }
    return true;
}

}  // namespace exporting

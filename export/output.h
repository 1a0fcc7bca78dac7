// The file an export writes: a file beside the destination, without a name
// where the system makes such files (else a named temporary), written
// through a buffer of fixed size, named and put in place only by Place().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "export/export.h"
#include "os/staged_file.h"

namespace exporting {

class Output {
public:
    Output(ProgressFn progress, void* context, uint64_t totalElements);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    Result Create(const char* destination);
    void Put(std::string_view bytes) {
        if (buffer_.size() + bytes.size() > kBufferSize) {
            Drain();
            // A piece as large as the buffer goes out as it is, not copied first.
            if (bytes.size() >= kBufferSize) return Write(bytes);
        }
        buffer_.append(bytes);
    }
    void Put(char c) {
        if (buffer_.size() + 1 > kBufferSize) Drain();
        buffer_.push_back(c);
    }
    // `elements` more elements are written: reports progress now and then.
    void Advance(uint64_t elements);
    // Copies the values of part 0 as they stand in the source file, where
    // they do (an uncompressed level-5 element of the class's own type), in
    // steps between progress reports; returns how many of the `count`
    // elements of `width` bytes went out: the rest is the caller's to write.
    uint64_t CopyStored(const mxArray* array, uint64_t count, size_t width);
    // `elements` more to pass over before the end (a pass that reads the
    // values before they are written): progress counts them too.
    void AddWork(uint64_t elements) { total_ += elements; }
    // A read came short: the variable is damaged (unless the export had
    // already ended otherwise, a Cancel among them).
    void FailRead() {
        if (result_ == Result::Ok) result_ = Result::BadData;
    }
    // The user cancelled (asked outside the progress reports).
    void Cancel() {
        if (result_ == Result::Ok) result_ = Result::Cancelled;
    }
    bool Failed() const { return result_ != Result::Ok; }
    // Flushes, syncs, reports the whole and renames over the destination.
    Result Place();
    const std::string& Destination() const { return destination_; }

private:
    static constexpr size_t kBufferSize = 1 << 20;
    static constexpr size_t kWritebackStep = 8 << 20;
    void Drain();
    void Write(std::string_view bytes);

    ProgressFn progress_;
    void* context_;
    uint64_t total_, done_ = 0, told_ = 0;
    std::string buffer_;
    size_t unsynced_ = 0;   // bytes written since writeback was last started
    platform::StagedFile staged_;   // the new file, beside the destination until Place()
    std::string destination_;
    Result result_ = Result::Ok;
};

// Reads runs of an array's elements (both parts of a complex one) in the
// types that keep them exact, in batches of at most kBatch.
struct Values {
    // 16 MB of doubles: a row-major pass over a compressed matrix that
    // cannot be unpacked inflates it once per block of rows, so blocks are large.
    static constexpr size_t kBatch = size_t{1} << 21;
    // `beside`: where a part may be unpacked (the export's destination).
    explicit Values(const mxArray* array, const std::string& beside = std::string());
    ~Values();
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;

    // Reads `count` (at most kBatch - at) elements from `first` into slots
    // [at, at + count); false when fewer came (damage).
    bool Read(uint64_t first, size_t count, size_t at);
    // A pass in blocks of rows asks for each block's pieces from every
    // column: a compressed part would be inflated once per block, a part
    // read through the version 7.3 worker once per block and column. Such a
    // part is read once in order instead, into a file without a name beside
    // the destination, and read there; that pass reports its progress to
    // `out` and stops at a Cancel. Where that file cannot be written (a full
    // disk), each block reads it again. False when the part is damaged or
    // the export was cancelled.
    bool Unpack(Output& out);
    void* Slots(int part);   // the buffer of a part's values
    static constexpr size_t kSlotBytes = 8;   // a slot's value: double, int64 or uint64
    static_assert(sizeof(double) == kSlotBytes && sizeof(int64_t) == kSlotBytes);
    bool ReadPart(int part, uint64_t first, size_t count, size_t at);   // Read's, of one part
    // The number text of slot k, the shortest that reads back to the same
    // value: real part, or with `complexForm` "a+bi".
    void Text(size_t k, std::string& out, bool complexForm) const;
    bool IsNaNOrInf(size_t k) const;
    bool IsTrue(size_t k) const { return real[k] != 0; }

    const mxArray* array;
    mxClassID classId;
    bool complex;
    mxElementReader* readers[2] = {nullptr, nullptr};
    std::string beside;
    FILE* unpacked[2] = {nullptr, nullptr};   // a part's slot values, once Unpack() wrote them
    std::vector<double> real, imag;
    std::vector<int64_t> real64, imag64;     // int64 class
    std::vector<uint64_t> realU64, imagU64;  // uint64 class
};

// The number text of a double, MATLAB's way for NaN and infinities: at
// `at`, which has room for kDoubleTextRoom bytes; returns the end.
constexpr size_t kDoubleTextRoom = 32;
char* PutDouble(double value, bool single, char* at);
void AppendDouble(double value, bool single, std::string& out);

// UTF-8 of UTF-16 code units (a lone surrogate becomes U+FFFD).
void AppendUtf16(const uint16_t* units, size_t count, std::string& out);
// Unicode code points of UTF-16 code units, pairs joined.
std::vector<uint32_t> CodePoints(const uint16_t* units, size_t count);

// A character array's rows as UTF-16 (row r: elements r, r + M, ...).
bool CharRows(const mxArray* array, std::vector<std::u16string>* rows);

}  // namespace exporting

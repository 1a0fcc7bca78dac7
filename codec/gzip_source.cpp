// GNU Octave's "save -zip" of a version 6 or 4 file wraps the whole MAT-file
// in one gzip stream. The engine reads files by offset, so such a file is
// inflated once, at opening, into an unnamed temporary file (bounded by the
// disk, not by memory) that the engine then reads as the MAT-file.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "codec/gzip_source.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "codec/source_io.h"
#include "os/file_io.h"

namespace matlib {
namespace {

constexpr size_t kChunk = 64 * 1024;

const char* const kNoTemporaryReason =
    "it is compressed with gzip, and no temporary file could be made to unpack it into";
const char* const kTooLargeReason =
    "it is compressed with gzip, and unpacked it would take more than half the free disk space";
const char* const kDamagedReason = "it is compressed with gzip, and its gzip stream is damaged or cut short";
const char* const kUnwrittenReason = "it is compressed with gzip, and writing it unpacked failed";

enum class Inflated { Whole, Stopped, Damaged };

// Inflates the gzip stream at the start of `wrapped`, handing each piece to
// `sink` until it returns false. Whole only when the stream ended as its
// trailer (length and CRC) says.
template <class Sink>
Inflated InflateGzip(FILE* wrapped, Sink&& sink) {
    std::unique_ptr<uint8_t[]> in(new (std::nothrow) uint8_t[kChunk]);
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[kChunk]);
    z_stream z{};
    if (!in || !out || inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return Inflated::Stopped;
    platform::FileSystemCalls& fs = platform::FileSystem();
    uint64_t readOffset = 0;
    Inflated result = Inflated::Damaged;
    for (;;) {
        if (z.avail_in == 0) {
            const size_t got = fs.readAt(wrapped, readOffset, in.get(), kChunk);
            if (got == 0) break;   // the file ends (or fails) before the stream does
            readOffset += got;
            z.next_in = in.get();
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = out.get();
        z.avail_out = kChunk;
        const int status = inflate(&z, Z_NO_FLUSH);
        const size_t produced = kChunk - z.avail_out;
        if (produced > 0 && !sink(out.get(), produced)) {
            result = Inflated::Stopped;
            break;
        }
        if (status == Z_STREAM_END) {
            result = Inflated::Whole;
            break;
        }
        if (status != Z_OK && status != Z_BUF_ERROR) break;
    }
    inflateEnd(&z);
    return result;
}

// The format a wrapped file's first bytes give: 5 for a level-5 header, 4 for
// a version 4 matrix header, 0 otherwise (a version 7.3 file is never wrapped).
int HeaderFormat(const uint8_t* bytes, size_t n) {
    using namespace format;
    const bool textStart = n >= 4 && bytes[0] != 0 && bytes[1] != 0 && bytes[2] != 0 && bytes[3] != 0;
    if (textStart) {
        if (n < kHeaderSize) return 0;
        const uint8_t* mark = bytes + kEndianAt;
        const bool little = mark[0] == kEndianLittle[0] && mark[1] == kEndianLittle[1];
        const bool big = mark[0] == kEndianBig[0] && mark[1] == kEndianBig[1];
        return (little || big) && Load16(bytes + kVersionAt, big) == kVersion5 ? 5 : 0;
    }
    bool swapped = false;
    return n >= kV4HeaderSize && ProbeV4(bytes, swapped) ? 4 : 0;
}

// The first bytes of what the stream holds, as many as the header takes.
struct HeaderBytes {
    uint8_t bytes[format::kHeaderSize] = {};
    size_t fill = 0;
    void Take(const uint8_t* data, size_t n) {
        const size_t take = std::min(n, sizeof bytes - fill);
        std::memcpy(bytes + fill, data, take);
        fill += take;
    }
    bool Full() const { return fill == sizeof bytes; }
};

}  // namespace

bool StartsAsGzip(SourceFile& source) {
    uint8_t magic[3] = {};
    return ReadAt(source, 0, magic, sizeof magic) && magic[0] == 0x1F && magic[1] == 0x8B && magic[2] == 8;
}

int PeekGzipFormat(FILE* wrapped) {
    HeaderBytes header;
    const Inflated end = InflateGzip(wrapped, [&](const uint8_t* data, size_t n) {
        header.Take(data, n);
        return !header.Full();
    });
    return end == Inflated::Damaged ? 0 : HeaderFormat(header.bytes, header.fill);
}

int UnwrapGzip(FILE* wrapped, const char* path, FILE** unpacked) {
    *unpacked = nullptr;
    platform::FileSystemCalls& fs = platform::FileSystem();
    // What it holds must start as a MAT-file before anything is written.
    if (PeekGzipFormat(wrapped) == 0) return MAT_OPEN_NOT_MAT;
    std::string folderOf;
    FILE* file = platform::CreateScratchNear(path, "unpack", &folderOf);
    if (file == nullptr) {
        SetLastError(kNoTemporaryReason);
        return MAT_OPEN_UNREADABLE;
    }
    // A few kilobytes can inflate to gigabytes: half the free space is left
    // to everyone else.
    uint64_t limit = UINT64_MAX;
    uint64_t freeBytes = 0;
    if (fs.freeSpaceBeside(folderOf.c_str(), &freeBytes) == 0) limit = freeBytes / 2;
    uint64_t written = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    const Inflated end = InflateGzip(wrapped, [&](const uint8_t* data, size_t n) {
        tooLarge = n > limit - written;
        if (tooLarge) return false;
        writeFailed = fs.write(data, n, file) != n;
        written += n;
        return !writeFailed;
    });
    const char* reason = tooLarge                   ? kTooLargeReason
                         : writeFailed              ? kUnwrittenReason
                         : end != Inflated::Whole   ? kDamagedReason
                         : fs.flush(file) != 0      ? kUnwrittenReason
                                                    : nullptr;
    if (reason != nullptr) {
        fs.close(file);
        SetLastError(reason);
        return reason == kDamagedReason ? MAT_OPEN_DAMAGED : MAT_OPEN_UNREADABLE;
    }
    *unpacked = file;
    return MAT_OPEN_OK;
}

}  // namespace matlib

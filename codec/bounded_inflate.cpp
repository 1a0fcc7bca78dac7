// Reading an element's bytes: straight from the file, or through zlib into
// caller-owned buffers of bounded size.
#include <zlib.h>

#include <cstring>
#include <new>

#include "codec/mat_format.h"
#include "codec/source_io.h"
#include "os/file_io.h"

namespace matlib {

bool ReadAt(SourceFile& source, uint64_t offset, void* buffer, size_t n) {
    if (source.stream == nullptr || !Fits(offset, n, source.size)) return false;
    if (n == 0) return true;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    platform::FileSystemCalls& fs = platform::FileSystem();
    if (offset >= source.windowOffset && offset - source.windowOffset <= source.windowBytes &&
        n <= source.windowBytes - (offset - source.windowOffset)) {
        std::memcpy(buffer, source.window.get() + (offset - source.windowOffset), n);
        return true;
    }
    // Large reads go straight to the caller's buffer; so does every read
    // when the window cannot be had.
    const bool large = n >= format::kReadWindow / 2;
    if (!large && !source.window) source.window.reset(new (std::nothrow) uint8_t[format::kReadWindow]);
    if (large || !source.window) return fs.readAt(source.stream, offset, buffer, n) == n;
    const uint64_t left = source.size - offset;
    const size_t want = left < format::kReadWindow ? static_cast<size_t>(left) : format::kReadWindow;
    source.windowBytes = 0;   // nothing valid while it refills
    source.windowOffset = offset;
    const size_t got = fs.readAt(source.stream, offset, source.window.get(), want);
    // A file that ends before its recorded size (cut since it was opened)
    // keeps only what it gave.
    source.windowBytes = got;
    if (got < n) return false;
    std::memcpy(buffer, source.window.get(), n);
    return true;
}

struct ElementStream::Inflater {
    z_stream zs{};
    bool ready = false;        // inflateInit succeeded
    bool ended = false;        // Z_STREAM_END seen (checksum verified by zlib)
    uint64_t consumed = 0;     // compressed bytes read from the file
    uint8_t input[format::kInflateChunk];
    uint8_t scratch[format::kInflateChunk];   // output that is skipped
    ~Inflater() {
        if (ready) inflateEnd(&zs);
    }
};

ElementStream::ElementStream(SourceFile& source, const DataLocation& location)
    : source_(source), location_(location) {
    if (!location_.compressed) return;
    inflater_.reset(new (std::nothrow) Inflater);
    if (!inflater_ || inflateInit(&inflater_->zs) != Z_OK) {
        failed_ = true;
        return;
    }
    inflater_->ready = true;
}

ElementStream::~ElementStream() = default;

bool ElementStream::FillInput() {
    Inflater& z = *inflater_;
    uint64_t left = location_.streamSize - z.consumed;
    if (left == 0) return false;
    // A header read needs only the first few hundred bytes of output; a
    // smaller first read keeps listing cheap for large elements.
    size_t chunk = z.consumed == 0 ? 2048 : sizeof z.input;
    size_t n = left < chunk ? static_cast<size_t>(left) : chunk;
    if (!ReadAt(source_, location_.streamOffset + z.consumed, z.input, n)) return false;
    z.consumed += n;
    z.zs.next_in = z.input;
    z.zs.avail_in = static_cast<uInt>(n);
    return true;
}

bool ElementStream::Produce(uint8_t* out, size_t n) {
    Inflater& z = *inflater_;
    while (n > 0) {
        if (z.ended) return false;   // the stream ended before the declared bytes
        if (z.zs.avail_in == 0 && !FillInput()) return false;   // bytes missing
        size_t ask = n < (1u << 30) ? n : (1u << 30);
        z.zs.next_out = out;
        z.zs.avail_out = static_cast<uInt>(ask);
        int rc = inflate(&z.zs, Z_NO_FLUSH);
        size_t got = ask - z.zs.avail_out;
        if (rc == Z_STREAM_END) {
            z.ended = true;
        } else if (rc == Z_BUF_ERROR) {
            if (got == 0) return false;   // no progress possible
        } else if (rc != Z_OK) {
            return false;                 // broken stream, wrong checksum, no memory
        }
        out += got;
        n -= got;
        produced_ += got;
    }
    return true;
}

bool ElementStream::Read(uint64_t pos, void* buffer, size_t n) {
    if (failed_) return false;
    if (!location_.compressed) {
        if (!Fits(pos, n, location_.streamSize)) return false;
        return ReadAt(source_, location_.streamOffset + pos, buffer, n);
    }
    if (pos < produced_ || !Fits(pos, n, location_.elementEnd)) {
        failed_ = true;
        return false;
    }
    while (produced_ < pos) {
        uint64_t skip = pos - produced_;
        size_t step = skip < sizeof inflater_->scratch ? static_cast<size_t>(skip) : sizeof inflater_->scratch;
        if (!Produce(inflater_->scratch, step)) {
            failed_ = true;
            return false;
        }
    }
    if (!Produce(static_cast<uint8_t*>(buffer), n)) {
        failed_ = true;
        return false;
    }
    return true;
}

bool ElementStream::CheckEnd(uint64_t end) {
    if (failed_) return false;
    if (!location_.compressed) return true;
    if (produced_ != end) return false;
    Inflater& z = *inflater_;
    while (!z.ended) {
        if (z.zs.avail_in == 0 && !FillInput()) {
            // Every declared byte came and the element's bytes are used up
            // without an end marker: the MATLAB quirk, accepted.
            return z.consumed == location_.streamSize;
        }
        uint8_t extra;
        z.zs.next_out = &extra;
        z.zs.avail_out = 1;
        int rc = inflate(&z.zs, Z_NO_FLUSH);
        if (z.zs.avail_out == 0) return false;   // more data than the element declared
        if (rc == Z_STREAM_END) {
            z.ended = true;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return false;                        // broken stream or wrong checksum
        }
    }
    return true;
}

}  // namespace matlib

// Reading an element's bytes: straight from the file, or through zlib into
// caller-owned buffers of bounded size.
#include <zlib.h>

#include <algorithm>
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
    const uint64_t windowEnd = source.windowOffset + source.windowBytes;
    const bool onward = source.windowBytes > 0 && offset >= windowEnd && offset - windowEnd < source.windowFill;
    size_t fill = onward ? std::min(2 * source.windowFill, format::kReadWindow) : format::kFirstReadFill;
    fill = std::max(fill, n);
    source.windowFill = fill;
    const uint64_t left = source.size - offset;
    const size_t want = left < fill ? static_cast<size_t>(left) : fill;
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
    // Small reads (a header's tags, flags, dimensions and name, a few bytes
    // each) are served from bytes inflated ahead in one call: zlib's cost
    // per call is more than those bytes' own.
    static constexpr size_t kAhead = 64;
    uint8_t ahead[kAhead];
    uint64_t aheadAt = 0;      // the stream position of ahead[0]; aheadAt + aheadLen == produced_
    size_t aheadLen = 0;
    uint64_t delivered = 0;    // where the reader stands: reads go forward from here
    bool broken = false;       // the stream failed right after ahead's last byte
    uint8_t input[format::kInflateChunk];
    uint8_t scratch[format::kInflateChunk];   // output that is skipped
    ~Inflater() {
        if (ready) inflateEnd(&zs);
    }
    // One inflater kept per thread between streams: a listing inflates the
    // first bytes of every compressed variable, and a fresh one would cost
    // its buffers, zlib's state and zlib's 32 KB window each time.
    static std::unique_ptr<Inflater>& Spare() {
        static thread_local std::unique_ptr<Inflater> spare;
        return spare;
    }
};

ElementStream::ElementStream(SourceFile& source, const DataLocation& location)
    : source_(source), location_(location) {
    if (!location_.compressed) return;
    inflater_ = std::move(Inflater::Spare());
    if (inflater_) {
        // inflateReset keeps zlib's window; a failed reset is a fresh start.
        inflater_->ended = false;
        inflater_->consumed = 0;
        inflater_->aheadAt = 0;
        inflater_->aheadLen = 0;
        inflater_->delivered = 0;
        inflater_->broken = false;
        inflater_->zs.next_in = nullptr;
        inflater_->zs.avail_in = 0;
        if (inflateReset(&inflater_->zs) == Z_OK) return;
        inflater_.reset();
    }
    inflater_.reset(new (std::nothrow) Inflater);
    if (!inflater_ || inflateInit(&inflater_->zs) != Z_OK) {
        failed_ = true;
        return;
    }
    inflater_->ready = true;
}

ElementStream::~ElementStream() {
    if (inflater_ && inflater_->ready && !Inflater::Spare()) Inflater::Spare() = std::move(inflater_);
}

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
            zlibReason_ = z.zs.msg;       // broken stream, wrong checksum, no memory
            return false;
        }
        out += got;
        n -= got;
        produced_ += got;
    }
    return true;
}

bool ElementStream::ProduceAhead(size_t least) {
    Inflater& z = *inflater_;
    const uint64_t left = location_.elementEnd - produced_;
    const size_t most = left < Inflater::kAhead ? static_cast<size_t>(left) : Inflater::kAhead;
    z.aheadAt = produced_;
    z.aheadLen = 0;
    while (z.aheadLen < least) {
        if (z.ended) return false;   // the stream ended before the declared bytes
        if (z.zs.avail_in == 0 && !FillInput()) return false;   // bytes missing
        z.zs.next_out = z.ahead + z.aheadLen;
        z.zs.avail_out = static_cast<uInt>(most - z.aheadLen);
        const int rc = inflate(&z.zs, Z_NO_FLUSH);
        const size_t got = most - z.aheadLen - z.zs.avail_out;
        z.aheadLen += got;
        produced_ += got;
        if (rc == Z_STREAM_END) {
            z.ended = true;
        } else if (rc == Z_BUF_ERROR) {
            if (got == 0) return false;   // no progress possible
        } else if (rc != Z_OK) {
            // Broken, wrong checksum, no memory: what came before it stays
            // readable, but not the read that reaches the failure.
            z.broken = true;
            zlibReason_ = z.zs.msg;
            return false;
        }
    }
    return true;
}

bool ElementStream::Read(uint64_t pos, void* buffer, size_t n) {
    if (failed_) return false;
    if (!location_.compressed) {
        if (!Fits(pos, n, location_.streamSize)) return false;
        return ReadAt(source_, location_.streamOffset + pos, buffer, n);
    }
    Inflater& z = *inflater_;
    if (pos < z.delivered || !Fits(pos, n, location_.elementEnd)) {
        failed_ = true;
        return false;
    }
    // What lies in the bytes inflated ahead.
    const uint64_t aheadEnd = z.aheadAt + z.aheadLen;
    if (pos < aheadEnd) {
        const size_t from = static_cast<size_t>(pos - z.aheadAt);
        const size_t k = n < z.aheadLen - from ? n : z.aheadLen - from;
        if (z.broken && pos + k == aheadEnd) {
            failed_ = true;
            return false;
        }
        if (k > 0) std::memcpy(buffer, z.ahead + from, k);
        buffer = static_cast<uint8_t*>(buffer) + k;
        pos += k;
        n -= k;
        z.delivered = pos;
        if (n == 0) return true;
    }
    if (z.broken) {
        failed_ = true;
        return false;
    }
    z.aheadLen = 0;
    while (produced_ < pos) {
        uint64_t skip = pos - produced_;
        size_t step = skip < sizeof inflater_->scratch ? static_cast<size_t>(skip) : sizeof inflater_->scratch;
        if (!Produce(inflater_->scratch, step)) {
            failed_ = true;
            return false;
        }
    }
    if (n > 0 && n < Inflater::kAhead) {
        if (!ProduceAhead(n)) {
            // Bytes before a failure still come as they came before.
            if (z.broken && z.aheadLen > n) {
                std::memcpy(buffer, z.ahead, n);
                z.delivered = pos + n;
                return true;
            }
            failed_ = true;
            return false;
        }
        std::memcpy(buffer, z.ahead, n);
    } else if (!Produce(static_cast<uint8_t*>(buffer), n)) {
        failed_ = true;
        return false;
    }
    z.delivered = pos + n;
    return true;
}

bool ElementStream::CheckEnd(uint64_t end) {
    if (failed_) return false;
    if (!location_.compressed) return true;
    Inflater& z = *inflater_;
    // Bytes inflated ahead past `end` are bytes the element has beyond it.
    if (z.delivered != end || produced_ != end || z.broken) return false;
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
            zlibReason_ = z.zs.msg;              // broken stream or wrong checksum
            return false;
        }
    }
    return true;
}

}  // namespace matlib

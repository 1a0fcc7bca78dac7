#include "picture/png.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <zlib.h>

namespace picture {

namespace {

constexpr size_t kChunkBytes = 64 << 10;   // deflated bytes per IDAT chunk

void PutBigEndian(uint32_t value, uint8_t* at) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

}  // namespace

struct PngWriter::Stream {
    z_stream z{};
    bool open = false;
    std::vector<uint8_t> out = std::vector<uint8_t>(kChunkBytes);
    std::vector<uint8_t> row;
};

PngWriter::PngWriter(uint32_t width, uint32_t height, ByteSink sink)
    : stream_(std::make_unique<Stream>()), width_(width), height_(height), sink_(std::move(sink)) {
    if (width == 0 || height == 0 || width > kMaxWidth || height > kMaxSide) {
        failed_ = true;
        return;
    }
    if (deflateInit(&stream_->z, Z_DEFAULT_COMPRESSION) != Z_OK) {
        failed_ = true;
        return;
    }
    stream_->open = true;
    stream_->z.next_out = stream_->out.data();
    stream_->z.avail_out = static_cast<uInt>(stream_->out.size());
    stream_->row.resize(1 + size_t{width} * 3);
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    uint8_t header[13];
    PutBigEndian(width, header);
    PutBigEndian(height, header + 4);
    header[8] = 8;    // bits per component
    header[9] = 2;    // RGB
    header[10] = 0;   // deflate
    header[11] = 0;   // the adaptive filters (each row: none)
    header[12] = 0;   // no interlace
    failed_ = !sink_(kSignature, sizeof kSignature) || !Chunk("IHDR", header, sizeof header);
}

PngWriter::~PngWriter() {
    if (stream_->open) deflateEnd(&stream_->z);
}

bool PngWriter::Chunk(const char type[4], const uint8_t* data, size_t count) {
    uint8_t head[8];
    PutBigEndian(static_cast<uint32_t>(count), head);
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    if (count > 0) crc = crc32(crc, data, static_cast<uInt>(count));
    uint8_t tail[4];
    PutBigEndian(static_cast<uint32_t>(crc), tail);
    return sink_(head, sizeof head) && (count == 0 || sink_(data, count)) && sink_(tail, sizeof tail);
}

bool PngWriter::Deflate(const uint8_t* data, size_t count, bool last) {
    z_stream& z = stream_->z;
    for (;;) {
        // A row may be longer than zlib's uInt: it goes in pieces.
        const size_t piece = std::min<size_t>(count, size_t{1} << 30);
        z.next_in = const_cast<Bytef*>(data);
        z.avail_in = static_cast<uInt>(piece);
        data += piece;
        count -= piece;
        const int flush = last && count == 0 ? Z_FINISH : Z_NO_FLUSH;
        for (;;) {
            const int status = deflate(&z, flush);
            if (status == Z_STREAM_ERROR) return false;
            if (z.avail_out == 0) {
                // A full chunk goes out; the rest waits for more rows.
                if (!Chunk("IDAT", stream_->out.data(), stream_->out.size())) return false;
                z.next_out = stream_->out.data();
                z.avail_out = static_cast<uInt>(stream_->out.size());
                continue;
            }
            if (flush == Z_FINISH ? status == Z_STREAM_END : z.avail_in == 0) break;
        }
        if (count == 0) return true;
    }
}

bool PngWriter::Row(const Rgb* pixels) {
    if (failed_ || rowsDone_ >= height_) return !(failed_ = true);
    uint8_t* at = stream_->row.data();
    *at++ = 0;   // filter: none
    for (uint32_t x = 0; x < width_; ++x) {
        *at++ = pixels[x].r;
        *at++ = pixels[x].g;
        *at++ = pixels[x].b;
    }
    ++rowsDone_;
    if (!Deflate(stream_->row.data(), stream_->row.size(), false)) failed_ = true;
    return !failed_;
}

bool PngWriter::Finish() {
    if (failed_ || rowsDone_ != height_) return false;
    if (!Deflate(nullptr, 0, true)) return !(failed_ = true);
    const size_t pending = stream_->out.size() - stream_->z.avail_out;
    failed_ = (pending > 0 && !Chunk("IDAT", stream_->out.data(), pending)) || !Chunk("IEND", nullptr, 0);
    return !failed_;
}

}  // namespace picture

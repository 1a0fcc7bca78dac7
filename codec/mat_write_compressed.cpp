// Compressed level-5 elements as MATLAB 7 writes them: a miCOMPRESSED tag,
// then one zlib stream that inflates to the whole element, tag included. The
// stream is made in pieces, so that an element of any size costs a few
// hundred kilobytes; the tag's size is filled in once the stream is done.
#include <zlib.h>

#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>

#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/mat_internal.h"
#include "codec/mat_write_file.h"

namespace matlib {

namespace {

using namespace format;

constexpr size_t kPieceSize = 256 * 1024;

void PutWord(uint8_t* bytes, bool bigEndian, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[bigEndian ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool WriteCompressedFrom(StagedFile* file, bool bigEndian, uint64_t size,
                     const std::function<bool(uint8_t*, size_t)>& next) {
    if (file->stream == nullptr || file->broken) return false;
    const uint64_t tagAt = file->written;
    uint8_t tag[kTagSize] = {};
    if (!StagedWrite(file, tag, sizeof tag)) return false;
    std::unique_ptr<uint8_t[]> in(new (std::nothrow) uint8_t[kPieceSize]);
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[kPieceSize]);
    z_stream stream{};
    if (!in || !out || deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
        file->broken = true;
        return false;
    }
    bool ok = true;
    uint64_t left = size;
    int status = Z_OK;
    do {
        if (stream.avail_in == 0 && left > 0) {
            const size_t piece = left < kPieceSize ? static_cast<size_t>(left) : kPieceSize;
            ok = next(in.get(), piece);
            stream.next_in = in.get();
            stream.avail_in = static_cast<uInt>(piece);
            left -= piece;
        }
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        // Until deflate has room to spare: it has taken all it was given.
        do {
            stream.next_out = out.get();
            stream.avail_out = static_cast<uInt>(kPieceSize);
            status = deflate(&stream, flush);
            ok = ok && status != Z_STREAM_ERROR && StagedWrite(file, out.get(), kPieceSize - stream.avail_out);
        } while (ok && stream.avail_out == 0);
    } while (ok && status != Z_STREAM_END);
    deflateEnd(&stream);
    const uint64_t compressed = file->written - tagAt - kTagSize;
    ok = ok && compressed <= std::numeric_limits<uint32_t>::max();
    if (ok) {
        PutWord(tag, bigEndian, miCOMPRESSED);
        PutWord(tag + 4, bigEndian, static_cast<uint32_t>(compressed));
        platform::FileSystemCalls& fs = platform::FileSystem();
        ok = fs.seek(file->stream, static_cast<int64_t>(tagAt), SEEK_SET) == 0 &&
             fs.write(tag, sizeof tag, file->stream) == sizeof tag && fs.seek(file->stream, 0, SEEK_END) == 0;
    }
    if (!ok) file->broken = true;
    return ok;
}


bool WriteElementFrom(StagedFile* file, bool bigEndian, uint64_t size, bool compress,
                      const std::function<bool(uint8_t*, size_t)>& next) {
    if (compress) return WriteCompressedFrom(file, bigEndian, size, next);
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPieceSize]);
    if (piece == nullptr) return false;
    for (uint64_t left = size; left > 0;) {
        const size_t n = left < kPieceSize ? static_cast<size_t>(left) : kPieceSize;
        if (!next(piece.get(), n) || !StagedWrite(file, piece.get(), n)) return false;
        left -= n;
    }
    return true;
}

bool WriteCompressedCopy(StagedFile* file, bool bigEndian, FILE* source, uint64_t offset, uint64_t size) {
    if (source == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    platform::FileSystemCalls& fs = platform::FileSystem();
    uint64_t at = offset;
    return WriteCompressedFrom(file, bigEndian, size, [&](uint8_t* buffer, size_t n) {
        // Each piece from its own offset: the source's position is nobody's.
        const bool read = fs.readAt(source, at, buffer, n) == n;
        at += n;
        return read;
    });
}

bool WriteCompressedBytes(StagedFile* file, bool bigEndian, const uint8_t* data, size_t size) {
    size_t at = 0;
    return WriteCompressedFrom(file, bigEndian, size, [&](uint8_t* buffer, size_t n) {
        std::memcpy(buffer, data + at, n);
        at += n;
        return true;
    });
}

bool IsCompressedElement(const SourceFile& source, uint64_t offset) {
    uint8_t tag[4];
    if (source.stream == nullptr || offset > static_cast<uint64_t>(INT64_MAX) ||
        platform::FileSystem().readAt(source.stream, offset, tag, sizeof tag) != sizeof tag) {
        return false;
    }
    uint32_t type = 0;
    for (int i = 0; i < 4; ++i) type |= static_cast<uint32_t>(tag[source.bigEndian ? 3 - i : i]) << (8 * i);
    return type == miCOMPRESSED;
}

}  // namespace matlib

// A PNG file made row by row: 8-bit RGB, no interlace, each row deflated
// (zlib) as it comes, so a picture of any height takes the memory of a row
// and of the deflate stream. The bytes go to a sink; nothing here writes a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "picture/colour.h"

namespace picture {

// Takes the next bytes of the file; false stops the writer (it then fails).
using ByteSink = std::function<bool(const uint8_t* bytes, size_t count)>;

class PngWriter {
public:
    // PNG's own bound on a side; a row (3 bytes a pixel) of at most 768 MB,
    // which a 32-bit process can still hold.
    static constexpr uint32_t kMaxSide = 0x7FFFFFFF;
    static constexpr uint32_t kMaxWidth = uint32_t{1} << 28;
    PngWriter(uint32_t width, uint32_t height, ByteSink sink);
    ~PngWriter();
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // The next row, top to bottom: `width` pixels. False once anything failed.
    bool Row(const Rgb* pixels);
    // After the last row: the rest of the stream and the end chunk. False
    // when a row is missing or anything failed.
    bool Finish();

private:
    bool Chunk(const char type[4], const uint8_t* data, size_t count);
    bool Deflate(const uint8_t* data, size_t count, bool last);

    struct Stream;
    std::unique_ptr<Stream> stream_;
    uint32_t width_, height_, rowsDone_ = 0;
    ByteSink sink_;
    bool failed_ = false;
};

}  // namespace picture

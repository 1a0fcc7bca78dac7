// Read primitives of the engine's read side: bounded reads of a source file
// and the loads that settle byte order. Nothing above these swaps bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "codec/mat_internal.h"

namespace matlib {

// Reads exactly n bytes at offset; false when they do not all lie within the
// file or the read fails.
bool ReadAt(SourceFile& source, uint64_t offset, void* buffer, size_t n);

inline uint16_t Load16(const uint8_t* p, bool swapped) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return swapped ? __builtin_bswap16(v) : v;
}
inline uint32_t Load32(const uint8_t* p, bool swapped) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return swapped ? __builtin_bswap32(v) : v;
}
inline uint64_t Load64(const uint8_t* p, bool swapped) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return swapped ? __builtin_bswap64(v) : v;
}

// True when offset + size does not overflow and lies within limit.
inline bool Fits(uint64_t offset, uint64_t size, uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

// The bytes of level-5 elements, however they are held: in a file, inflated
// from it, or in memory (the subsystem data, an element the worker sent). The
// element parser reads through this alone, so one parser serves them all.
class ElementInput {
public:
    // n bytes at position pos into buffer; false on damage or past the bytes.
    virtual bool Read(uint64_t pos, void* buffer, size_t n) = 0;

protected:
    ~ElementInput() = default;
};

// The bytes of one level-5 element, counted from its tag (position 0) as they
// stand after inflating; for an uncompressed element, as they stand in the
// file. Reads of a compressed element go forward only: a read before the
// current position fails. Inflating works in fixed buffers of the stream, so
// a reader costs the same memory whatever the element claims.
class ElementStream final : public ElementInput {
public:
    ElementStream(SourceFile& source, const DataLocation& location);
    ~ElementStream();
    ElementStream(const ElementStream&) = delete;
    ElementStream& operator=(const ElementStream&) = delete;

    // n bytes at position pos into buffer; false on damage or past the data.
    bool Read(uint64_t pos, void* buffer, size_t n) override;
    // Compressed: after the element's `end` bytes were all read, the stream
    // must end there with a correct Adler-32. MATLAB (some versions) ends a
    // stream without its end marker: a stream that has delivered every
    // declared byte and simply stops where its element ends is accepted.
    // Extra inflated bytes, a wrong checksum or a broken stream are damage.
    bool CheckEnd(uint64_t end);
    // Where the element ends, once its inner tag has told.
    void SetElementEnd(uint64_t end) { location_.elementEnd = end; }
    // What zlib said when it refused the stream (its own static text), or null.
    const char* ZlibReason() const { return zlibReason_; }

private:
    bool Produce(uint8_t* out, size_t n);   // inflate exactly n bytes
    bool ProduceAhead(size_t least);        // inflate at least `least` bytes ahead, at most the element's rest
    bool FillInput();

    SourceFile& source_;
    DataLocation location_;
    struct Inflater;
    std::unique_ptr<Inflater> inflater_;    // compressed elements only
    uint64_t produced_ = 0;                 // bytes inflated so far (some perhaps ahead of the reader)
    bool failed_ = false;
    const char* zlibReason_ = nullptr;
};

}  // namespace matlib

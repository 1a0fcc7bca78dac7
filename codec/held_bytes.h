// Bytes read whole to be walked where they stand (a variable's element, the
// subsystem data of a file): held in memory up to kHeldInMemory bytes, beyond
// that written to a scratch file and mapped for reading. A table or a struct
// array of any size then costs the process a few megabytes, and the system's
// page cache the rest, which it takes back as it needs (Release).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "codec/array_view.h"

namespace matlib {

inline constexpr uint64_t kHeldInMemory = 8 * 1024 * 1024;

// Asked between the pieces of a scratch copy: false cancels it (the user
// pressed Cancel), and the holding fails with kHoldCancelled as its reason.
using KeepGoing = std::function<bool()>;
inline constexpr char kHoldCancelled[] = "cancelled";

class HeldBytes {
public:
    // Reads `at` bytes into `into`, `n` of them, from offset `at` on, in order.
    using ReadFn = std::function<bool(uint64_t at, uint8_t* into, size_t n)>;

    HeldBytes() = default;
    ~HeldBytes();
    HeldBytes(HeldBytes&& other) noexcept;
    HeldBytes& operator=(HeldBytes&& other) noexcept;
    HeldBytes(const HeldBytes&) = delete;
    HeldBytes& operator=(const HeldBytes&) = delete;

    // Holds `size` bytes that `read` gives, piece by piece; a scratch file goes
    // in the temporary folder (else beside `near`). False when `read` fails
    // (reason() empty) or no scratch file can be made, written or mapped.
    bool Take(uint64_t size, const std::string& near, const ReadFn& read);
    // What Take asks between the pieces of a scratch copy.
    void PollWith(KeepGoing keepGoing) { keepGoing_ = std::move(keepGoing); }
    // Keeps only `size` bytes from `offset` on in view (a uint8 element's data).
    void Narrow(size_t offset, size_t size);
    Bytes View(bool swapped) const { return Bytes{data_, size_, swapped, this}; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // Lets the system take back the pages read so far (mapped bytes only);
    // they are read again from the scratch file when next touched.
    void Release() const;
    const std::string& reason() const { return reason_; }

private:
    void Clear();

    std::vector<uint8_t> memory_;
    FILE* scratch_ = nullptr;
    const uint8_t* mapped_ = nullptr;
    uint64_t mappedSize_ = 0;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    std::string reason_;
    KeepGoing keepGoing_;
};

// What a long walk over bytes calls now and then: the pages of a scratch
// copy it read go back to the system.
inline void ReleaseRead(const Bytes& bytes) {
    if (bytes.held != nullptr) bytes.held->Release();
}

}  // namespace matlib

#include "codec/held_bytes.h"

#include <algorithm>
#include <new>
#include <utility>

#include "os/file_io.h"

namespace matlib {

namespace {
constexpr size_t kPiece = 1024 * 1024;   // read and written at a time into a scratch file
}

HeldBytes::~HeldBytes() { Clear(); }

HeldBytes::HeldBytes(HeldBytes&& other) noexcept { *this = std::move(other); }

HeldBytes& HeldBytes::operator=(HeldBytes&& other) noexcept {
    if (this == &other) return *this;
    Clear();
    memory_ = std::move(other.memory_);
    scratch_ = std::exchange(other.scratch_, nullptr);
    mapped_ = std::exchange(other.mapped_, nullptr);
    mappedSize_ = std::exchange(other.mappedSize_, 0);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    reason_ = std::move(other.reason_);
    keepGoing_ = std::move(other.keepGoing_);
    return *this;
}

void HeldBytes::Clear() {
    platform::FileSystemCalls& fs = platform::FileSystem();
    if (mapped_ != nullptr) fs.unmap(mapped_, mappedSize_);
    if (scratch_ != nullptr) fs.close(scratch_);
    mapped_ = nullptr;
    scratch_ = nullptr;
    mappedSize_ = 0;
    memory_.clear();
    data_ = nullptr;
    size_ = 0;
}

bool HeldBytes::Take(uint64_t size, const std::string& near, const ReadFn& read) {
    Clear();
    reason_.clear();
    if (static_cast<size_t>(size) != size) return reason_ = "it is too large for this process to read whole", false;
    if (size <= kHeldInMemory) {
        try {
            memory_.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            return reason_ = "not enough memory", false;
        }
        if (size > 0 && !read(0, memory_.data(), memory_.size())) return false;
        data_ = memory_.data();
        size_ = memory_.size();
        return true;
    }
    platform::FileSystemCalls& fs = platform::FileSystem();
    std::string folderOf;
    scratch_ = platform::CreateScratchNear(near, "held", &folderOf, true);   // mapped: a local disk first
    if (scratch_ == nullptr) return reason_ = "no scratch file can be made beside it or in the temporary folder", false;
    uint64_t room = 0;
    if (fs.freeSpaceBeside(folderOf.c_str(), &room) == 0 && room < size) {
        Clear();
        return reason_ = "its scratch copy needs " + std::to_string((size >> 20) + 1) + " MB of free disk space", false;
    }
    std::vector<uint8_t> piece(kPiece);
    for (uint64_t at = 0; at < size; at += kPiece) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size - at));
        if (keepGoing_ && !keepGoing_()) {
            Clear();
            return reason_ = kHoldCancelled, false;
        }
        if (!read(at, piece.data(), n)) return Clear(), false;
        if (fs.write(piece.data(), n, scratch_) != n) {
            Clear();
            return reason_ = "its scratch copy could not be written (is the disk full?)", false;
        }
    }
    mapped_ = fs.mapForReading(scratch_, size);
    if (mapped_ == nullptr) {
        Clear();
        return reason_ = "its scratch copy could not be mapped into memory", false;
    }
    mappedSize_ = size;
    data_ = mapped_;
    size_ = static_cast<size_t>(size);
    return true;
}

void HeldBytes::Narrow(size_t offset, size_t size) {
    offset = std::min(offset, size_);
    data_ += offset;
    size_ = std::min(size, size_ - offset);
}

void HeldBytes::Release() const { platform::ReleaseMappedPages(mapped_, mappedSize_); }

}  // namespace matlib

// Version 7.3 variables written into level-5 files: the worker that reads
// their file makes the element (worker/v73_to_level5.cpp) and sends it in
// pieces; here each piece is written as it comes, or deflated as it comes
// into a miCOMPRESSED element. Nothing holds more than a piece or two of a
// variable, whatever its size.
#include <memory>
#include <new>
#include <string>

#include "codec/element_writer.h"
#include "codec/mat_write_file.h"
#include "v73client/v73_reader.h"

namespace matlib {

namespace {

// The reason names the variable: an update finds it out only as it writes
// the new file, long after the variable was named to it.
void SetUnreadable(const mxArray& array, bool subsystem) {
    static thread_local std::string reason;
    reason = subsystem ? std::string("the subsystem data (objects' values) of ") + array.source->path
                       : "the variable " + array.name;
    reason += ": its data cannot be read whole from its version 7.3 file (damaged?)";
    SetLastError(reason.c_str());
}

}  // namespace

bool WriteV73Level5(const mxArray& array, bool subsystem, bool compress, StagedFile* file) {
    if (file == nullptr || file->stream == nullptr || file->broken) return false;
    V73Level5Reader reader;
    if (!reader.Start(array, subsystem)) {
        SetUnreadable(array, subsystem);
        file->broken = true;
        return false;
    }
    const uint64_t total = reader.total();
    bool written = false, readFailed = false;
    if (compress) {
        written = WriteCompressedFrom(file, false, total, [&](uint8_t* buffer, size_t n) {
            readFailed = readFailed || !reader.Read(buffer, n);
            return !readFailed;
        });
    } else {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyBufferSize]);
        written = buffer != nullptr;
        for (uint64_t left = total; written && left > 0;) {
            const size_t piece = left < kCopyBufferSize ? static_cast<size_t>(left) : kCopyBufferSize;
            readFailed = !reader.Read(buffer.get(), piece);
            written = !readFailed && StagedWrite(file, buffer.get(), piece);
            left -= piece;
        }
    }
    if (!written) {
        if (matLastWasCancelled() != 0) {
            reader.Cancelled();
        } else if (readFailed) {
            SetUnreadable(array, subsystem);
        }
        file->broken = true;
        return false;
    }
    // Bytes of a file that another program rewrote meanwhile are no copy of anything.
    return SourceUnchanged(*array.source) || (file->broken = true, false);
}

}  // namespace matlib

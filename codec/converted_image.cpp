#include "codec/converted_image.h"

#include <cstring>
#include <string>

#include "codec/mat_format.h"
#include "codec/readers.h"
#include "codec/mat_write_file.h"
#include "os/file_io.h"

namespace matlib {

using namespace format;

bool PutScratchHeader(SourceFile& scratch, const uint8_t (&header)[kHeaderSize]) {
    platform::FileStatus status;
    platform::FileSystemCalls& fs = platform::FileSystem();
    if (fs.seek(scratch.stream, 0, SEEK_SET) != 0 || fs.write(header, sizeof header, scratch.stream) != sizeof header ||
        fs.flush(scratch.stream) != 0 || fs.fileStatus(scratch.stream, &status) != 0) {
        return false;
    }
    scratch.size = status.size;
    scratch.opened = status;
    return true;
}

std::unique_ptr<mxArray> ConvertedImage(const mxArray& array, bool withSubsystem) {
    const ElementSource* from = array.format != nullptr ? array.format->element : nullptr;
    if (from == nullptr || from->kind != ElementSource::kConverted || from->convert == nullptr || !array.source) {
        SetLastErrorText(array.name + " has no level-5 form to be converted to");
        return nullptr;
    }
    std::string folderOf;
    auto image = std::make_shared<SourceFile>();
    image->stream = platform::CreateScratchNear(array.source->path, "image", &folderOf);   // closed with the image's source
    image->path = array.source->path;
    image->format = &kV5Format;
    if (image->stream == nullptr) {
        SetLastError("no scratch file can be made beside it or in the temporary folder");
        return nullptr;
    }
    uint8_t header[kHeaderSize];
    std::memset(header, ' ', sizeof header);
    const char kText[] = "MATLAB 5.0 MAT-file, a level-5 image of a converted variable";
    std::memcpy(header, kText, sizeof kText - 1);
    const uint8_t version[4] = {0x00, 0x01, 'I', 'M'};   // little-endian level 5, as conversions write
    std::memcpy(header + kVersionAt, version, sizeof version);
    // The conversion writes through a staged file that is never put in place.
    platform::StagedFile staged;
    staged.stream = image->stream;
    bool written = StagedWrite(&staged, header, sizeof header) && from->convert(array, false, false, &staged);
    uint64_t bytes = 0;
    bool objects = false;
    if (written && withSubsystem && from->plan(array, true, bytes, objects)) {
        image->subsystemOffset = staged.written;
        written = from->convert(array, true, false, &staged);
    }
    staged.stream = nullptr;
    if (!written) return nullptr;   // the conversion said why
    for (size_t i = 0; i < 8; ++i) header[kSubsystemOffsetAt + i] = static_cast<uint8_t>(image->subsystemOffset >> (8 * i));
    if (!PutScratchHeader(*image, header)) {
        SetLastError("its level-5 image could not be written to a scratch file");
        return nullptr;
    }
    auto out = std::make_unique<mxArray>();
    uint64_t next = 0;
    if (ReadV5Header(image, kHeaderSize, *out, next) != HeaderStatus::Ok) {
        SetLastErrorText(array.name + ": its level-5 image is damaged");
        return nullptr;
    }
    return out;
}

}  // namespace matlib

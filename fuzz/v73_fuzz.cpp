// The engine on version 7.3 files: the bytes are the HDF5 data, behind a
// user block that begins with a sound MAT header, so that every input goes
// to libhdf5 (in its worker process) rather than being refused for its
// header. libhdf5 may crash or hang on them: that must come back as a
// failed read, never as a crash of this process or an input slower than the
// fuzzer's time limit.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "v73client/v73_reader.h"

namespace {

std::vector<uint8_t> UserBlock() {
    std::vector<uint8_t> block(512, 0);
    const char text[] = "MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Dec  7 08:00:00 2026 HDF5 schema 1.00 .";
    std::memset(block.data(), ' ', 116);
    std::memcpy(block.data(), text, sizeof text - 1);
    block[124] = 0x00, block[125] = 0x02, block[126] = 'I', block[127] = 'M';
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> block = UserBlock();
    fuzzsupport::BoundWorkerWaits();
    std::vector<uint8_t> file(block);
    file.insert(file.end(), data, data + size);
    const std::string path = fuzzsupport::PathIn("input.mat");
    fuzzsupport::WriteBytes(path, file.data(), file.size());
    fuzzsupport::DriveEngine(path, file.size());
    return 0;
}

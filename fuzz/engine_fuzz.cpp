// The engine on arbitrary bytes taken as a MAT-file (engine_drive.cpp).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::BoundWorkerWaits();
    const std::string path = fuzzsupport::PathIn("input.mat");
    fuzzsupport::WriteBytes(path, data, size);
    fuzzsupport::DriveEngine(path, size);
    return 0;
}

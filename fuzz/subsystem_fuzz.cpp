// The subsystem decoder on arbitrary bytes taken as subsystem data (the
// unnamed variable's uint8 data): load, then every object's class name and
// properties, and every property value parsed. The engine target reaches the
// decoder only through whole files, whose compressed subsystem data a
// mutation rarely leaves inflatable; here every byte is the decoder's.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "objects/subsystem.h"

using namespace fuzzsupport;

namespace {

// Object ids asked: far more than a small input can hold, so that ids past
// the end are asked too.
constexpr uint32_t kMaxObjectId = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    matlib::Subsystem subsystem;
    std::string error;
    matlib::HeldBytes payload;
    payload.Take(size, "", [&](uint64_t at, uint8_t* into, size_t n) { return std::memcpy(into, data + at, n), true; });
    if (!subsystem.Load(std::move(payload), error)) {
        Require(!error.empty(), "a failed load without its error text");
        return 0;
    }
    for (uint32_t id = 0; id <= kMaxObjectId; ++id) {
        std::string name;
        std::vector<matlib::Subsystem::Property> properties;
        subsystem.ClassName(id, name, error);
        if (!subsystem.Properties(id, properties, error)) continue;
        for (const matlib::Subsystem::Property& p : properties) {
            matlib::ArrayView view;
            if (!p.hasValue || !matlib::ParseArrayView(subsystem.bytes(), p.valuePos, view)) continue;
            Require(view.end <= subsystem.bytes().size, "a value past the subsystem data");
            matlib::ObjectRef ref;
            matlib::ParseObjectRef(subsystem.bytes(), view, ref);
            double number = 0;
            matlib::ViewNumber(subsystem.bytes(), view, false, 0, number);
            matlib::ViewText(subsystem.bytes(), view, 64);
        }
    }
    return 0;
}

// Version 7.3 (HDF5) files in a build without libhdf5: recognised, never
// read (matOpen answers MAT_OPEN_VERSION_73).
#include "matlib/readers.h"

namespace matlib {

V73Status OpenV73(SourceFile&) { return V73Status::NotReadable; }

HeaderStatus ReadV73Header(const std::shared_ptr<SourceFile>&, uint64_t, mxArray&, uint64_t&) {
    return HeaderStatus::Damaged;
}

bool DecodeV73(const mxArray&, DecodedData&) { return false; }

size_t ReadV73Elements(const mxArray&, int, uint64_t, size_t, double*, int64_t*, uint64_t*) { return 0; }


bool WriteV73File(const std::shared_ptr<SourceFile>&, const std::vector<uint64_t>&, const uint8_t[512], StagedFile*) {
    return false;
}

const char* CheckV73(const mxArray&) { return nullptr; }
const char* VerifyV73(const mxArray&) { return nullptr; }
bool ReadV73Contents(const mxArray&, size_t, std::vector<uint8_t>&) { return false; }

bool ReadV73Subsystem(const mxArray&, std::vector<uint8_t>&) { return false; }

void SetV73AnswerTimeout(int) {}

bool PlanV73Level5(const mxArray&, bool, uint64_t&, bool&) { return false; }
V73Level5Reader::~V73Level5Reader() = default;
bool V73Level5Reader::Start(const mxArray&, bool) { return false; }
bool V73Level5Reader::Read(uint8_t*, size_t) { return false; }

}  // namespace matlib

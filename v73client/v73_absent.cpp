// Version 7.3 (HDF5) files in a build without libhdf5: recognised, never
// read (matOpen answers MAT_OPEN_VERSION_73).
#include "v73client/v73_reader.h"
#include "v73client/v73_writer.h"

namespace matlib {

V73Status OpenV73(SourceFile&) {
    SetLastError("this build has no version 7.3 reader (it was made without libhdf5)");
    return V73Status::NotReadable;
}

HeaderStatus ReadV73Header(const std::shared_ptr<SourceFile>&, uint64_t, mxArray&, uint64_t&) {
    return HeaderStatus::Damaged;
}

bool DecodeV73(const mxArray&, DecodedData&) { return false; }

size_t ReadV73Elements(const mxArray&, int, uint64_t, size_t, double*, int64_t*, uint64_t*) { return 0; }

const char* CheckV73(const mxArray&) { return nullptr; }
const char* VerifyV73(const mxArray&) { return nullptr; }
bool ReadV73Contents(const mxArray&, size_t, std::vector<uint8_t>&) { return false; }

void SetV73AnswerTimeout(int) {}

bool PlanV73Level5(const mxArray&, bool, uint64_t&, bool&) { return false; }
V73Level5Reader::~V73Level5Reader() = default;
bool V73Level5Reader::Start(const mxArray&, bool, bool) { return false; }
bool V73Level5Reader::Read(uint8_t*, size_t) { return false; }
struct V73Writer {};
void V73WriterDeleter::operator()(V73Writer* writer) const { delete writer; }
V73WriterPtr StartV73Writer(const uint8_t[format::kV73UserBlockSize], StagedFile*) {
    SetLastError("this build writes no version 7.3 files");
    return nullptr;
}
bool V73WriterCopy(V73Writer*, const std::shared_ptr<SourceFile>&, const std::vector<uint64_t>&, bool, bool) {
    return false;
}
bool V73WriterAdd(V73Writer*, const mxArray&) { return false; }
bool V73WriterAddElement(V73Writer*, const std::string&, std::vector<uint8_t>, bool) { return false; }
bool V73WriterSubsystem(V73Writer*, std::vector<uint8_t>, bool) { return false; }
bool FinishV73Writer(V73Writer*) { return false; }
const char* V73AdditionRefusal(const mxArray&) { return "this build writes no version 7.3 files"; }

}  // namespace matlib

// Version 7.3 files as the engine's format table sees them: the header of
// a level-5 file with the version 0x0200, the HDF5 data behind its 512-byte
// user block, read by the worker (v73_client.cpp, or v73_absent.cpp in a
// build without libhdf5). Arrays are named by their index among the file's
// variables; the worker hands structs, cells and objects over as level-5
// array elements in this machine's byte order.
#include <cstring>

#include "codec/array_view.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "v73client/v73_reader.h"

namespace matlib {

namespace {

using namespace format;

// Whether the HDF5 signature stands where the HDF5 data begins (after the
// user block), as a build that reads such files needs it and one that does
// not can check just the same.
bool HasHdf5Signature(SourceFile& file) {
    uint8_t signature[sizeof kHdf5Signature];
    return Fits(kV73UserBlockSize, sizeof signature, file.size) &&
           ReadAt(file, kV73UserBlockSize, signature, sizeof signature) &&
           std::memcmp(signature, kHdf5Signature, sizeof signature) == 0;
}

int OpenV73File(const std::shared_ptr<SourceFile>& source, uint8_t[kHeaderSize]) {
    const V73Status opened = HasHdf5Signature(*source) ? OpenV73(*source) : V73Status::Damaged;
    if (opened == V73Status::NotReadable) return MAT_OPEN_VERSION_73;
    return opened == V73Status::Ok ? MAT_OPEN_OK : MAT_OPEN_DAMAGED;
}

bool DescribableV73(const mxArray& a) {
    switch (a.classId) {
        case mxCELL_CLASS: case mxSTRUCT_CLASS: case mxOBJECT_CLASS: case mxOPAQUE_CLASS: case mxFUNCTION_CLASS:
            return !a.sparse;
        default: return false;
    }
}

bool ShownElementV73(const mxArray& array, size_t textRoom, std::vector<uint8_t>& element, bool& swapped) {
    swapped = false;
    return ReadV73Contents(array, textRoom, element);
}

// The variable's level-5 element as a conversion to version 7 writes it
// (its object references numbered as in SubsystemPayloadV73's data), when
// it takes at most `most` bytes: its size comes first, before any of it.
bool WholeElementV73(const mxArray& array, uint64_t most, HeldBytes& element, bool& swapped) {
    swapped = false;
    V73Level5Reader reader;
    return reader.Start(array, false) && reader.total() <= most &&
           element.Take(reader.total(), array.source->path,
                        [&](uint64_t, uint8_t* into, size_t n) { return reader.Read(into, n); });
}

// The subsystem data as a conversion writes it (the unnamed uint8
// variable), its uint8 data alone.
bool SubsystemPayloadV73(const mxArray& array, uint64_t most, HeldBytes& payload, const char*& reason) {
    thread_local std::string failure;   // kept for the calling thread until its next failure
    V73Level5Reader reader;
    ArrayView view;
    reason = "the subsystem data cannot be read (damaged, or the file holds none)";
    if (!reader.Start(array, true)) return false;
    if (reader.total() > most) {
        failure = "the subsystem data is more than " + std::to_string(most >> 20) + " MB, too large to read whole";
        reason = failure.c_str();
        return false;
    }
    if (!payload.Take(reader.total(), array.source->path,
                      [&](uint64_t, uint8_t* into, size_t n) { return reader.Read(into, n); })) {
        if (!payload.reason().empty()) reason = (failure = "the subsystem data: " + payload.reason()).c_str();
        return false;
    }
    if (!ParseArrayView(payload.View(false), 0, view) || view.cls != mxUINT8 || view.realType != miUINT8) return false;
    payload.Narrow(view.realPos, view.realBytes);
    return true;
}

}  // namespace

const ElementSource kV73Element = {
    .kind = ElementSource::kConverted,
    .write = nullptr,
    .writeCompressed = nullptr,
    .plan = PlanV73Level5,
    .convert = WriteV73Level5,
};

const MatFormat kV73Format = {
    .name = "version 7.3",
    .number = 73,
    .variablesStart = 0,
    .layout = FileLayout::kHdf5,
    .plausible = HasHdf5Signature,
    .open = OpenV73File,
    .readHeader = ReadV73Header,
    .decode = DecodeV73,
    .readElements = ReadV73Elements,
    .check = VerifyV73,
    .checkStorage = CheckV73,
    .textUnits = nullptr,
    .describable = DescribableV73,
    .shownElement = ShownElementV73,
    .wholeElement = WholeElementV73,
    .subsystemPayload = SubsystemPayloadV73,
    .element = &kV73Element,
};

}  // namespace matlib

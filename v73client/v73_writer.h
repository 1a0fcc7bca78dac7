// A new version 7.3 file, written by a worker program of its own (the only
// code that links libhdf5) into a staged file: variables copied from other
// version 7.3 files, and level-5 and version 4 arrays converted to MATLAB's
// version 7.3 layout. The plug-in sends the worker each array's element in
// pieces, read forward once, so that a few megabytes are in flight whatever
// the variable's size. Every failure leaves the reason for matLastError and
// the staged file unfit to be put in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/mat_format.h"
#include "codec/mat_internal.h"

namespace platform {
struct StagedFile;
}

namespace matlib {

using platform::StagedFile;   // os/staged_file.h
struct V73Writer;
struct V73WriterDeleter {
    void operator()(V73Writer* writer) const;
};
using V73WriterPtr = std::unique_ptr<V73Writer, V73WriterDeleter>;

// Starts the worker on `out` (a staged file still empty), `userBlock`
// before the HDF5 data. Null when no worker could start.
V73WriterPtr StartV73Writer(const uint8_t userBlock[format::kV73UserBlockSize], StagedFile* out);
// Copies the variables of a version 7.3 file at these indexes (with what
// they refer to). With ownLinks (the file being rewritten, its variables
// that stay) the file's own soft and external links are kept as links:
// made again when the file is completed, unless a variable added took the
// name; a link the new file cannot keep refuses the writing. With
// withoutSubsystem the file's #subsystem# is not copied (merged subsystem
// data, the file's own first, takes its place).
bool V73WriterCopy(V73Writer* writer, const std::shared_ptr<SourceFile>& source, const std::vector<uint64_t>& indexes,
                   bool ownLinks = false, bool withoutSubsystem = false);
// Why a rewritten version 7.3 file cannot keep one of its own links.
extern const char* const kUnkeptLinkReason;
// Why the worker would not read, copy or write a variable (a Refusal of
// v73_protocol.h); copied: said of a variable a copy would have taken along.
const char* V73RefusalText(uint32_t refusal, bool copied = false);
// How far a worker has written the staged file (0 when its size cannot be had).
uint64_t StagedSizeNow(const StagedFile& out);
// Writes an array read from a level-5 or version 4 file under its name (an
// object as the words that name it in the subsystem data, which comes by
// V73WriterSubsystem).
bool V73WriterAdd(V73Writer* writer, const mxArray& array);
// The same for a level-5 element held in memory (tag included; its objects
// renumbered to join other files' subsystem data).
bool V73WriterAddElement(V73Writer* writer, const std::string& name, std::vector<uint8_t> element, bool swapped);
// Writes a level-5 file's subsystem data (its unnamed variable's uint8 data,
// `swapped`: in the other byte order) as #refs# and #subsystem#, once.
bool V73WriterSubsystem(V73Writer* writer, std::vector<uint8_t> payload, bool swapped);
// Completes the file (its user block written).
bool FinishV73Writer(V73Writer* writer);
// Why an array cannot go into a version 7.3 file by V73WriterAdd, or null
// when it can (asked before anything is written).
const char* V73AdditionRefusal(const mxArray& array);

}  // namespace matlib

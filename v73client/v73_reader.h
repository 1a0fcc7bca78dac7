// The version 7.3 client: the plug-in's side of the worker program that reads
// and writes version 7.3 (HDF5) files, as the format table (kV73Format) and
// the write and update sides call it. No libhdf5 here: the worker has it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "codec/readers.h"

namespace platform {
class Worker;
}

namespace matlib {

extern const MatFormat kV73Format;

// Version 7.3 (HDF5) files: v73_reader.cpp, or v73_absent.cpp in a build
// without libhdf5. A variable is a top-level object of the HDF5 file; an
// array's elementOffset is its position among them, and the header read at
// `index` gives index + 1 as where the next one starts.
enum class V73Status { Ok, NotReadable, Damaged };
// Opens the HDF5 file behind the MAT header of `source` and finds its
// variables (source.hdf5). NotReadable: this build reads no such file.
V73Status OpenV73(SourceFile& source);
HeaderStatus ReadV73Header(const std::shared_ptr<SourceFile>& source, uint64_t index, mxArray& array,
                           uint64_t& next);
bool DecodeV73(const mxArray& array, DecodedData& out);
size_t ReadV73Elements(const mxArray& array, int part, uint64_t first, size_t count,
                       double* asDouble, int64_t* asInt64, uint64_t* asUInt64);
// What a version 7.3 struct, cell or object holds, as one level-5 array
// element in this machine's byte order (for mxDescribeValue): what a text of
// `textRoom` bytes can show, at most kMaxShownElementBytes. False when it
// cannot be had.
// Why the variable cannot be read from its file alone (its data or a link
// of it leads to other files), or null when it can.
const char* CheckV73(const mxArray& array);
// Why the variable does not read whole (every dataset of it and of all it
// refers to read through libhdf5's filters; its references, dimensions and
// sparse indexes checked), or null when it does.
const char* VerifyV73(const mxArray& array);
bool ReadV73Contents(const mxArray& array, size_t textRoom, std::vector<uint8_t>& element);
// A version 7.3 variable (or, with subsystem, its file's subsystem data as
// the unnamed uint8 variable) as the level-5 element of a version 7 file,
// made by the worker: what it comes to, and whether it refers to the
// subsystem data. False (and the reason for matLastError) when it cannot be
// had, is 2 GB or more, or has no level-5 form.
bool PlanV73Level5(const mxArray& array, bool subsystem, uint64_t& bytes, bool& objects);
// The element's bytes as the worker sends them, read in order. The file's
// worker serves nothing else until the reader is gone; a reader gone
// before its last byte ends the worker (the next request starts another).
class V73Level5Reader {
public:
    V73Level5Reader() = default;
    ~V73Level5Reader();
    V73Level5Reader(const V73Level5Reader&) = delete;
    V73Level5Reader& operator=(const V73Level5Reader&) = delete;
    // Asks for the element; its size then in total(). For a whole decode
    // (wholeDecode) the worker first checks that the variable's datasets
    // store enough to make its elements.
    bool Start(const mxArray& array, bool subsystem, bool wholeDecode = false);
    uint64_t total() const { return total_; }
    // Exactly n more bytes; false on any failure, and from then on.
    bool Read(uint8_t* out, size_t n);
    // The writing was cancelled: the worker ended for it counts as no failure.
    void Cancelled() { cancelled_ = true; }
    // A read failed because the worker ended (killed, crashed) or stalled.
    bool lost() const { return lost_; }

private:
    std::shared_ptr<SourceFile> source_;
    std::unique_lock<std::mutex> lock_;
    uint64_t total_ = 0, left_ = 0, pieceLeft_ = 0;
    bool failed_ = false, cancelled_ = false;
    // The worker ended the element failed (damage met while reading it): it
    // is in step, ready for the next request, and stays.
    bool endedByWorker_ = false;
    bool lost_ = false;
};
// How long a version 7.3 read may go without an answer before it fails
// (the fuzz target keeps it below its own time limit for one input).
void SetV73AnswerTimeout(int milliseconds);
// For tests: MATWCX_TEST_WORKER_SIGNAL="SIGNAL FIRST COUNT" signals the
// worker right after this process's requests FIRST to FIRST + COUNT - 1,
// the reader's and the writer's counted alike; with " answered" after, once
// the reader's answers are in (v73_client.cpp).
void SignalWorkerForTest(platform::Worker& worker, bool answered = false);

// A version 7.3 variable (or, with subsystem, its file's subsystem data as
// the unnamed variable) written as a level-5 element by its file's worker,
// little-endian; compressed as it arrives when `compress`
// (mat_write_converted.cpp). False when anything cannot be read or written;
// the file is then broken.
bool WriteV73Level5(const mxArray& array, bool subsystem, bool compress, StagedFile* file);

}  // namespace matlib

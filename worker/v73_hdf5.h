// The libhdf5 side of version 7.3 files (worker/). It runs only in the
// worker program (matwcx_v73), which the engine's reader asks
// (v73client/v73_client.cpp): libhdf5 may crash on a damaged file, and nothing
// of it may take the process that reads the archive down with it. Arrays are
// named by their index among the file's variables.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/mat_internal.h"
#include "codec/readers.h"

#include "v73client/v73_protocol.h"
#include "os/worker_process.h"

namespace matlib::v73 {
// The worker: answers the reader's requests on `end` until it closes it (v73_serve.cpp).
void Serve(platform::WorkerEnd& end);

// How the writer answers (v73_serve.cpp's heartbeat): work starts, and an
// answer without payload goes out (a failure with the refusal TakeRefusal gives).
struct WriterAnswers {
    void* context = nullptr;
    void (*startWork)(void* context) = nullptr;
    bool (*send)(void* context, bool ok) = nullptr;
};
// The worker that writes a new version 7.3 file (v73_from_level5.cpp): its
// first request `create` (kCreate) came with the new file `file`; it
// answers that and every later request until the channel closes.
void ServeWriter(platform::WorkerEnd& end, const Request& create, platform::NativeFile file,
                 const WriterAnswers& answers);
}  // namespace matlib::v73

namespace matlib::hdf5 {

struct File;
struct FileCloser {
    void operator()(File* file) const;
};
using FilePtr = std::unique_ptr<File, FileCloser>;

// Opens the HDF5 data of a file through the file driver `driver` (the name
// is what the driver takes; a path for libhdf5's default, when negative) and
// finds its variables (the top-level objects whose names do not begin with
// '#'), in name order. Null when libhdf5 cannot open it or it holds more
// than kMaxVariables.
FilePtr Open(const std::string& name, hid_t driver);
const std::vector<std::string>& Names(const File& file);

// The header of variable `index`: its class, dimensions and flags.
HeaderStatus ReadHeader(File& file, uint64_t index, mxArray& array);
// Whether the data a numeric, char or sparse variable stores could make
// all of its elements: a damaged dataspace may claim gigabytes of fill
// values, which a whole decode would be sent and hold in memory.
bool StoredCouldMake(File& file, const mxArray& array);
// Elements [first, first + count) of one part (0 real, 1 imaginary) as the
// class's own type, count of them at most; the number read.
size_t ReadElements(File& file, const mxArray& array, int part, uint64_t first, size_t count,
                    std::vector<uint8_t>& raw);
// Why the last refused read was refused (a Refusal of v73_protocol.h), and
// kInside again from then on.
uint32_t TakeRefusal();
void SetRefusal(uint32_t why);
// Whether the variable and all it holds can be read from this file alone:
// kInside, or why not. Nothing outside the file is opened to find out.
uint32_t CheckInside(File& file, const mxArray& array);
// What is wrong with the variable, every dataset of it and of all it
// refers to read whole: kWhole, or a Damage of v73_protocol.h. CheckInside
// and Verify are the two parts of one check (v73_verify.cpp).
uint32_t Verify(File& file, const mxArray& array);
// Bytes read and written through DescriptorDriver so far: the worker's
// sign that its work moves on.
uint64_t BytesMoved();
// Copies the variables at these indexes into the open file `to`, with what
// they refer to (once), and the subsystem data when they may hold objects
// unless not withSubsystem (refused, kSubsystemTwice, when `to` holds one
// already). False when any of it cannot be copied (TakeRefusal says why).
bool CopyInto(File& file, hid_t to, const std::vector<uint64_t>& indexes, bool withSubsystem = true);
// Whether `to`, as far as it is written, keeps everything inside it.
bool KeepsInside(hid_t to);
// A link at the top of a file that is no variable: a soft link (its value
// the path it names) or an external link (its packed file and path).
struct OwnLink {
    std::string name;
    H5L_type_t type = H5L_TYPE_ERROR;
    std::vector<char> value;
};
// The file's own links, read as links (never followed). False when one
// cannot be kept (TakeRefusal: kLinkUnkept) or read.
bool ReadOwnLinks(File& file, std::vector<OwnLink>& links);
// Makes the links again at the top of `to`; a name that `to` holds already
// (a variable added under it) stays that variable's.
bool MakeOwnLinks(hid_t to, const std::vector<OwnLink>& links);
// A file driver for a file the worker holds open: the name given to
// H5Fopen or H5Fcreate is its number (platform::NativeFile, in decimal). It
// works where libhdf5's own drivers cannot: on a file that has no name yet,
// and on Windows on a path that is not in the system's code page. -1 when
// it cannot be registered. (v73_descriptor_driver.cpp)
hid_t DescriptorDriver();
// The end of the space libhdf5 takes the file to use (its EOA, from the file's
// start), given the handle that H5Fget_vfd_handle returns for it.
uint64_t DescriptorAllocatedEnd(const void* handle);
// Reads [address, address + size) of that file (from its start) as libhdf5
// reads it, through the same window; false when it fails or the file ends before.
bool DescriptorRead(const void* handle, uint64_t address, size_t size, uint8_t* out);
// What a struct, cell or object variable holds, as one level-5 array element
// in this machine's byte order for the viewer's text (mxDescribeValue): at
// most `nodes` arrays and kMaxShownElementBytes bytes (v73_to_level5.cpp).
bool ContentsImage(File& file, const mxArray& array, uint64_t nodes, std::vector<uint8_t>& out);
// Variable `index` (or, for v73::kLevel5Subsystem, the subsystem data of
// the file as its unnamed uint8 variable) as one level-5 array element
// (v73_to_level5.cpp). With sink null: the first walk, which notes the
// sizes and fills plan; with a sink: the bytes, through it, piece by piece,
// of the element the first walk noted (false from the sink stops the
// writing). False when it cannot be written (plan.failure says why).
struct Level5Plan {
    uint64_t bytes = 0;      // the element's, tag included
    bool objects = false;    // it refers to the subsystem data
    uint32_t failure = 0;    // v73::Level5Failure
};
using PieceSink = bool (*)(void* context, const uint8_t* data, size_t size);
bool Level5Image(File& file, uint64_t index, std::vector<uint64_t>& sizes, Level5Plan& plan, PieceSink sink,
                 void* context);

}  // namespace matlib::hdf5

// What the libhdf5 side of version 7.3 files shares between its files: the
// guard before libhdf5 (v73_hdf5_guard.cpp), MATLAB's layout
// (v73_layout.cpp), the walk to level 5 (v73_to_level5.cpp) and the copier.
// Worker process only, like v73_hdf5.h.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/mat_internal.h"

namespace matlib::hdf5 {

// An open version 7.3 file and its variables.
struct File {
    hid_t file = -1;
    std::vector<std::string> names;   // the variables, in the order of their names
    std::vector<haddr_t> addresses;   // where each one's link led as the file was opened
    unsigned long fileno = 0;         // libhdf5's number of the open file
    int64_t referencesChecked = -1;   // what CheckInside found in #refs#, once looked at
    ~File() {
        if (file >= 0) H5Fclose(file);
    }
};

// Beside the variables: the objects their references lead to, and the
// values of the objects they hold.
constexpr char kReferencesGroup[] = "#refs#";
constexpr char kSubsystemGroup[] = "#subsystem#";

// Whether a variable of this class may hold objects, whose values live in
// the file's subsystem data.
inline bool MayHoldObjects(mxClassID id) {
    return id == mxCELL_CLASS || id == mxSTRUCT_CLASS || id == mxOBJECT_CLASS || id == mxOPAQUE_CLASS ||
           id == mxFUNCTION_CLASS;
}

// An object's metadata (0xDD000000, rank, dims, object ids, class id) is a
// short uint32 column; anything longer is not read for its dimensions.
constexpr hssize_t kMaxObjectMetadata = 1024;

// The budget of every walk of a variable (the scan for links and storage
// outside the file, the check, the viewer's image, the level-5 element):
// MATLAB saves nothing nested deeper than kMaxNesting arrays, and a walk
// stops after kMaxWalkedObjects objects, so that a crafted file costs each
// request a bounded walk.
constexpr size_t kMaxNesting = 256;
constexpr uint64_t kMaxWalkedObjects = uint64_t{16} << 20;

// The access list every file is opened or made with: closing the file
// closes whatever was opened in it; no HDF5 file lock (a file open in the
// file manager must not keep MATLAB from saving it); through the file
// driver `driver` (libhdf5's default when negative). Negative when it
// cannot be made; the caller closes it.
hid_t FileAccessList(hid_t driver);
// A new version 7.3 file `name` through `driver` (replacing what is there),
// behind a user block of kV73UserBlockSize bytes; negative when it cannot
// be made. Its objects, like every group made here, keep no times, so that
// the same file written twice is the same bytes.
hid_t CreateV73File(const std::string& name, hid_t driver);
hid_t CreateUntimedGroup(hid_t parent, const char* name);
// The #refs# of a file being written, opened, or made when it has none.
hid_t OpenOrMakeReferences(hid_t file);

// Closes an HDF5 identifier when it goes out of scope.
class Id {
public:
    Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~Id() {
        if (id_ >= 0) close_(id_);
    }
    Id(const Id&) = delete;
    Id& operator=(const Id&) = delete;
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// A MAT-file is read from itself only. Every name is opened through these
// access lists, which refuse to follow an external link (another file),
// and every dataset is read through ReadInside, which refuses one whose
// bytes are kept in other files (external storage, a virtual dataset).
// A refusal is kept for TakeRefusal (v73_hdf5.h).
hid_t InsideLinks();      // a link access list, for H5Oopen, H5Lexists ...
hid_t InsideDatasets();   // a dataset access list, for H5Dopen2
herr_t ReadInside(hid_t dataset, hid_t memoryType, hid_t memorySpace, hid_t fileSpace, void* out);
// Whether all of `dataset`'s data can be read as ReadInside reads it; once
// true, a read of any part of it checks nothing more. For a dataset read in
// parts: else each part's read looks up the chunks it touches.
bool StoredDataSound(hid_t dataset);
// The first element of each chunk of a chunked dataset that was written
// (`rank` coordinates each, one chunk after another); the others hold the
// fill value. False when its chunk index cannot be read.
bool StoredChunkOrigins(hid_t dataset, size_t rank, std::vector<hsize_t>& origins);
// Whether the data `dataset` stores could make `count` of its elements: a
// damaged dataspace may claim terabytes, which libhdf5 would read (as fill
// values past what is stored) into memory asked for first.
bool StoredDataCouldHold(hid_t dataset, uint64_t count);
// Whether `stored` bytes could make `count` elements of `width` bytes.
bool StoredBytesCouldMake(uint64_t stored, uint64_t count, size_t width);
// Where a dataset keeps its bytes: kInside when in this file.
uint32_t StorageOf(hid_t dataset);
// Whether the object that `name` links to in `group`, and everything under
// it, keeps its bytes in this file (kInside, or why not); ScanGroup: every
// link at the top of `group` and below. The storage part of the check
// (v73_verify.cpp).
uint32_t ScanObject(hid_t group, const char* name);
uint32_t ScanGroup(hid_t group);
// A link of a group: its name and kind.
struct Link {
    std::string name;
    H5L_type_t type = H5L_TYPE_ERROR;
};
// The links of `group` in the order of their names; false when libhdf5
// fails or there are more than `most`.
bool ListLinks(hid_t group, size_t most, std::vector<Link>& out);

// Whether libhdf5 may look at the object's attributes and links: its header
// holds sound attribute messages, and a group's symbol table (B-tree and
// heap) lies inside the file. Every H5Literate over a group from the file
// starts here.
bool HeaderReadable(hid_t object);
// Whether the object libhdf5 describes in `object`, found from `loc`, may
// be opened: its header is sound.
bool Openable(hid_t loc, const H5O_info_t& object);
// libhdf5 decodes an object's messages as it opens it: what a link or an
// object reference leads to is opened only once its header is found sound
// (as HeaderReadable finds it); negative otherwise, or when it is no
// dataset for OpenLinkedDataset. Every object of the file is opened
// through these, by the access lists above.
hid_t OpenLinked(hid_t loc, const char* name);          // H5Oopen
hid_t OpenLinkedDataset(hid_t loc, const char* name);   // H5Dopen2
hid_t OpenReferenced(hid_t dataset, const hobj_ref_t& reference);   // H5Rdereference2
// The dataset `name` of `group`; negative when there is no such link, or
// it cannot be opened.
hid_t OpenChildDataset(hid_t group, const char* name);
// H5Aexists, once the object's header holds sound attribute messages
// (libhdf5 would read past a damaged one); negative when it does not. Every
// look at an object's attributes starts here.
htri_t AttributeExists(hid_t object, const char* name);
// A one-value integer attribute, or `missing` when absent or of another kind.
uint64_t IntegerAttribute(hid_t object, const char* name, uint64_t missing);
// MATLAB's dimensions of a dataspace (the dataset's reversed, at least
// two, trailing singletons beyond the second dropped) into array.dims;
// false when it has none MATLAB could hold.
bool MatlabDims(hid_t space, mxArray& array);
// The class, dimensions and flags of a dataset or group as MATLAB has it
// (its name is left as it is); false when it is no array this reader knows.
bool ObjectHeader(hid_t object, mxArray& array);
// The memory type one part (0 real, 1 imaginary) of a class's elements is
// read in; the caller closes it. Negative for classes without numbers.
hid_t PartType(mxClassID id, bool complex, int part);
// Elements [first, first + count) of a dataset in MATLAB's order, as
// memoryType, into out; false when the dataset holds fewer.
bool ReadPoints(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, void* out);
// Writes them, as ReadPoints reads them.
bool WritePoints(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, const void* data);
// Selects the regular block of `space` at `start` of `counts` (one each a
// dimension; none for a scalar: all of it) and returns a memory space of the
// block's own shape, which the caller closes, or -1. libhdf5 maps a block
// onto its chunks a chunk at a time when its memory has the block's shape,
// and an element at a time when not.
hid_t SelectBlock(hid_t space, const std::vector<hsize_t>& start, const std::vector<hsize_t>& counts);
// The dataspace's dimensions in C order; false for more than MATLAB could
// hold or a null dataspace. A scalar has none.
bool SpaceDims(hid_t space, std::vector<hsize_t>& out);
// The level-5 class code of an array; 0 when it has none.
uint8_t ClassCode(const mxArray& a);
// A struct's (or object's) field names in their order; false when they cannot be read.
bool FieldNames(hid_t object, std::vector<std::string>& out);
// Whether the object is a dataset of object references (a cell's elements,
// a struct array's values of one field).
bool IsReferenceDataset(hid_t object);
// The object that element k of a dataset of references points at; the
// caller closes it. Negative when there is none.
hid_t Referenced(hid_t dataset, uint64_t k);
// Whether the object is #refs#' canonical empty element: MATLAB's empty
// element, which a level-5 file writes as a bare tag.
bool IsCanonicalEmpty(hid_t object);
// The subelements, after their tags, of the two elements around the
// subsystem data's cell: its 1x1 struct (flags, dimensions, name, the one
// field name MCOS) and that field's opaque FileWrapper__ (flags, name, type
// system, class). The same in every file.
struct SubsystemHeads {
    std::vector<uint8_t> top, wrapper;
};
const SubsystemHeads& SubsystemHeadBytes();

}  // namespace matlib::hdf5

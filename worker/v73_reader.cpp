// Version 7.3 MAT-files: an HDF5 file behind a 512-byte user block whose
// first 128 bytes are a MAT header, read through libhdf5 (the C library).
// Here: opening one, its variables and their headers, the scan for what
// leads outside it, and the entry points of v73_hdf5.h that read; the
// guard before libhdf5 is v73_hdf5_guard.cpp, MATLAB's layout
// v73_layout.cpp, copying into another file v73_copy.cpp.
//
// This runs in the worker process only (v73_hdf5.h), one thread: libhdf5 as
// Debian builds it (serial) is not thread-safe either.
#include <hdf5.h>

#include <new>
#include <set>
#include <string>
#include <vector>

#include "codec/mat_format.h"
#include "v73client/v73_protocol.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

namespace {

using namespace format;

// libhdf5 prints its error stack to stderr by default: inside a file manager
// a failure is our error code, never text on the host's terminal.
void QuietErrors() {
    static bool quiet = false;
    if (!quiet) quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
}

}  // namespace

void FileCloser::operator()(File* file) const { delete file; }

namespace {

// The scan of the links under an object, all the way down its hard links:
// each object once (hard links may share one, or lead in a circle), each
// group's links looked up from that group. (H5Lvisit hands each link over
// by its path from the start, and a lookup by that path walks every group
// above it again: a struct nested 1000 deep cost seconds, 3000 deep minutes.)
// It stops at the walks' budget: kMaxNesting groups deep, kMaxWalkedObjects
// objects in all.
struct LinkScan {
    std::set<haddr_t> seen;
    uint64_t objects = 0;
    size_t depth = 0;
    uint32_t found = v73::kInside;

    // The links of `group` and below; false when the scan stops (found says
    // why, or kLinkOutside when libhdf5 failed).
    bool Group(hid_t group) {
        if (++depth > kMaxNesting) return Stop(v73::kTooDeep);
        const bool walked = H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, Link, this) == 0;
        --depth;
        return walked || Stop(v73::kLinkOutside);
    }
    bool Stop(uint32_t why) {
        if (found == v73::kInside) found = why;
        return false;
    }
    static herr_t Link(hid_t group, const char* name, const H5L_info_t* info, void* data) {
        auto* scan = static_cast<LinkScan*>(data);
        // A soft link names a place in this file; it is not followed here, and
        // where it is followed, the access lists refuse to leave the file.
        if (info->type == H5L_TYPE_SOFT) return 0;
        if (info->type != H5L_TYPE_HARD) return scan->Stop(v73::kLinkOutside), 1;
        H5O_info_t object;
        if (H5Oget_info_by_name2(group, name, &object, H5O_INFO_BASIC, InsideLinks()) < 0) return -1;
        if (!scan->seen.insert(object.addr).second) return 0;
        if (++scan->objects > kMaxWalkedObjects) return scan->Stop(v73::kTooMany), 1;
        if (object.type == H5O_TYPE_DATASET) {
            Id dataset(Openable(group, object) ? H5Dopen2(group, name, InsideDatasets()) : -1, H5Dclose);
            if (!dataset.ok()) return -1;
            const uint32_t storage = StorageOf(dataset.get());
            return storage != v73::kInside ? (scan->Stop(storage), 1) : 0;
        }
        if (object.type != H5O_TYPE_GROUP) return 0;
        Id child(OpenLinked(group, name), H5Oclose);
        if (!child.ok()) return -1;
        return scan->Group(child.get()) ? 0 : 1;
    }
};

}  // namespace

// Whether the object that `name` links to in `group`, and everything under
// it, keeps its bytes in this file. The link itself must be a hard one.
uint32_t ScanObject(hid_t group, const char* name) {
    H5L_info_t link;
    if (H5Lget_info(group, name, &link, InsideLinks()) < 0) return v73::kLinkOutside;
    if (link.type != H5L_TYPE_HARD) return link.type == H5L_TYPE_SOFT ? v73::kInside : v73::kLinkOutside;
    Id object(OpenLinked(group, name), H5Oclose);
    if (!object.ok()) return v73::kLinkOutside;
    if (H5Iget_type(object.get()) == H5I_DATASET) return StorageOf(object.get());
    LinkScan scan;
    if (H5Iget_type(object.get()) == H5I_GROUP && !scan.Group(object.get())) {
        return scan.found != v73::kInside ? scan.found : v73::kLinkOutside;
    }
    return v73::kInside;
}

// Every link at the top of `group` and below.
uint32_t ScanGroup(hid_t group) {
    LinkScan scan;
    return scan.Group(group) ? v73::kInside : scan.found;
}

namespace {

struct ListState {
    File* file;
    bool tooMany = false;
};

herr_t CollectName(hid_t, const char* name, const H5L_info_t* info, void* data) {
    auto* state = static_cast<ListState*>(data);
    // Only hard links are variables: a soft or external link could lead
    // anywhere, another file included.
    if (name[0] == '#' || info->type != H5L_TYPE_HARD) return 0;
    if (state->file->names.size() >= kMaxVariables) {
        state->tooMany = true;
        return 1;
    }
    try {
        state->file->addresses.push_back(info->u.address);
        state->file->names.emplace_back(name);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

}  // namespace

FilePtr Open(const std::string& name, hid_t driver) {
    QuietErrors();
    // A file names the filters its data went through; none is loaded from
    // outside libhdf5 on a file's word.
    H5PLset_loading_state(0);
    FilePtr file(new File);
    Id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    // Closing the file closes whatever was opened in it. No HDF5 file lock:
    // a file open in the file manager must not keep MATLAB from saving it, nor
    // take the lock that a deletion takes (whether the file changed is
    // checked as for every other file).
    if (!access.ok() || H5Pset_fclose_degree(access.get(), H5F_CLOSE_STRONG) < 0 ||
        H5Pset_file_locking(access.get(), false, true) < 0 ||
        (driver >= 0 && H5Pset_driver(access.get(), driver, nullptr) < 0)) {
        return nullptr;
    }
    file->file = H5Fopen(name.c_str(), H5F_ACC_RDONLY, access.get());
    if (file->file < 0) return nullptr;
    Id root(H5Gopen2(file->file, "/", H5P_DEFAULT), H5Gclose);
    ListState state{file.get()};
    H5O_info_t rootInfo;
    if (!root.ok() || !HeaderReadable(root.get()) || H5Oget_info2(root.get(), &rootInfo, H5O_INFO_BASIC) < 0 ||
        H5Literate(root.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectName, &state) < 0 || state.tooMany) {
        return nullptr;
    }
    file->fileno = rootInfo.fileno;
    return file;
}

const std::vector<std::string>& Names(const File& file) { return file.names; }

HeaderStatus ReadHeader(File& file, uint64_t index, mxArray& array) {
    if (index >= file.names.size()) return HeaderStatus::End;
    const std::string& name = file.names[index];
    // Opened where its link led as the file was opened (the check first):
    // looking its name up again among 10^5 costs a listing more than the
    // header's own reading.
    H5O_info_t at{};
    at.fileno = file.fileno;
    at.addr = file.addresses[index];
    Id object(Openable(file.file, at) ? H5Oopen_by_addr(file.file, at.addr) : -1, H5Oclose);
    if (!object.ok() || !ObjectHeader(object.get(), array)) return HeaderStatus::Damaged;
    array.name = name;
    array.elementOffset = index;
    return HeaderStatus::Ok;
}

uint32_t CheckInside(File& file, const mxArray& array) {
    uint32_t found = ScanObject(file.file, array.name.c_str());
    // Cells, structs and objects also hold references, whose targets are in
    // #refs#: that group is checked whole, once.
    if (found == v73::kInside && MayHoldObjects(array.classId)) {
        if (file.referencesChecked < 0) {
            file.referencesChecked = H5Lexists(file.file, kReferencesGroup, InsideLinks()) > 0
                                         ? static_cast<int64_t>(ScanObject(file.file, kReferencesGroup))
                                         : int64_t{v73::kInside};
        }
        found = static_cast<uint32_t>(file.referencesChecked);
    }
    return found;
}

uint32_t Verify(File& file, const mxArray& array) { return VerifyVariable(file.file, array); }

bool ContentsImage(File& file, const mxArray& array, uint64_t nodes, std::vector<uint8_t>& out) {
    Id object(OpenLinked(file.file, array.name.c_str()), H5Oclose);
    return object.ok() && WriteContents(object.get(), array, nodes, out);
}

bool SubsystemImage(File& file, std::vector<uint8_t>& out) { return WriteSubsystem(file.file, out); }

bool Level5Image(File& file, uint64_t index, std::vector<uint64_t>& sizes, Level5Plan& plan, PieceSink sink,
                 void* context) {
    if (index == v73::kLevel5Subsystem) return WriteLevel5(file.file, -1, nullptr, sizes, plan, sink, context);
    mxArray header;
    if (ReadHeader(file, index, header) != HeaderStatus::Ok) return false;
    Id object(OpenLinked(file.file, header.name.c_str()), H5Oclose);
    return object.ok() && WriteLevel5(file.file, object.get(), &header, sizes, plan, sink, context);
}

}  // namespace matlib::hdf5

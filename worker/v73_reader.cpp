// Version 7.3 MAT-files: an HDF5 file behind a 512-byte user block whose
// first 128 bytes are a MAT header, read through libhdf5 (the C library).
// Here: opening one, its variables and their headers, and the entry points
// of v73_hdf5.h that read; the guard before libhdf5 is v73_hdf5_guard.cpp,
// MATLAB's layout v73_layout.cpp, the check (what leads outside the file,
// what does not read whole) v73_verify.cpp, copying into another file
// v73_copy.cpp.
//
// This runs in the worker process only (v73_hdf5.h), one thread: libhdf5 as
// Debian builds it (serial) is not thread-safe either.
#include <hdf5.h>

#include <new>
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
    // (Nor may it take the lock that a deletion takes: whether the file
    // changed is checked as for every other file.)
    Id access(FileAccessList(driver), H5Pclose);
    if (!access.ok()) return nullptr;
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

hid_t FileAccessList(hid_t driver) {
    const hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    if (access >= 0 && (H5Pset_fclose_degree(access, H5F_CLOSE_STRONG) < 0 || H5Pset_file_locking(access, false, true) < 0 ||
                        (driver >= 0 && H5Pset_driver(access, driver, nullptr) < 0))) {
        H5Pclose(access);
        return -1;
    }
    return access;
}

hid_t CreateV73File(const std::string& name, hid_t driver) {
    Id create(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
    Id access(FileAccessList(driver), H5Pclose);
    if (!create.ok() || !access.ok() || H5Pset_userblock(create.get(), kV73UserBlockSize) < 0 ||
        H5Pset_obj_track_times(create.get(), false) < 0) {
        return -1;
    }
    return H5Fcreate(name.c_str(), H5F_ACC_TRUNC, create.get(), access.get());
}

hid_t CreateUntimedGroup(hid_t parent, const char* name) {
    Id create(H5Pcreate(H5P_GROUP_CREATE), H5Pclose);
    if (!create.ok() || H5Pset_obj_track_times(create.get(), false) < 0) return -1;
    return H5Gcreate2(parent, name, H5P_DEFAULT, create.get(), H5P_DEFAULT);
}

hid_t OpenOrMakeReferences(hid_t file) {
    const htri_t exists = H5Lexists(file, kReferencesGroup, H5P_DEFAULT);
    if (exists < 0) return -1;
    return exists > 0 ? H5Gopen2(file, kReferencesGroup, H5P_DEFAULT) : CreateUntimedGroup(file, kReferencesGroup);
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

}  // namespace matlib::hdf5

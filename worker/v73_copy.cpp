// Copying variables from a version 7.3 file into another (CopyInto): the
// variables that stay in a rewritten file, or that a new file takes whole.
// Each comes with what its references reach, once, and nothing that would
// send the new file's reader elsewhere.
//
// Worker process only (v73_hdf5.h), one thread.
#include <hdf5.h>

#include <algorithm>
#include <map>
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

// Keeps `found` as the refusal; whether it is kInside.
bool Inside(uint32_t found) {
    SetRefusal(found);
    return found == v73::kInside;
}

// The hard links of a group, by name.
bool HardLinks(hid_t group, std::vector<std::string>& names) {
    std::vector<Link> links;
    if (!HeaderReadable(group) || !ListLinks(group, SIZE_MAX, links)) return false;
    names.clear();
    for (Link& link : links) {
        if (link.type == H5L_TYPE_HARD) names.push_back(std::move(link.name));
    }
    return true;
}

// Copies variables into another file so that every object their references
// reach is copied once, however many variables point at it (MATLAB's
// placeholder for empty elements, #refs#/a, serves them all). libhdf5's own
// expansion (H5O_COPY_EXPAND_REFERENCE_FLAG) copies anew on each call what
// that call reaches, so every kept variable brought its own copy. Here each
// object is copied without expansion (libhdf5 leaves references into
// another file null), and each dataset of references in the copy is then
// written again, pointing at the one copy of each target. Targets go into
// the new file's #refs# under their old names: a deletion leaves the file
// as MATLAB wrote it, less what only the deleted variables reached.
class ReferenceCopier {
public:
    ReferenceCopier(hid_t from, hid_t to) : from_(from), to_(to) {}
    ~ReferenceCopier() {
        if (references_ >= 0) H5Gclose(references_);
    }
    ReferenceCopier(const ReferenceCopier&) = delete;
    ReferenceCopier& operator=(const ReferenceCopier&) = delete;

    // Copies the object linked as `name` at the top of `from` to the same
    // name at the top of `to`, with everything its references reach.
    bool CopyTop(const std::string& name) {
        if (H5Ocopy(from_, name.c_str(), to_, name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) return false;
        pending_.push_back({"/" + name, "/" + name, 1});
        while (!pending_.empty()) {
            const Pending next = std::move(pending_.back());
            pending_.pop_back();
            if (!Mend(next)) return false;
        }
        return true;
    }

private:
    // An object of `from` and its copy, whose references are still to be mended.
    struct Pending {
        std::string source, copy;
        size_t depth;
    };

    bool Stop(uint32_t why) {
        SetRefusal(why);
        return false;
    }

    bool Mend(const Pending& at) {
        if (at.depth > kMaxNesting) return Stop(v73::kTooDeep);
        if (++objects_ > kMaxWalkedObjects) return Stop(v73::kTooMany);
        Id source(OpenLinked(from_, at.source.c_str()), H5Oclose);
        Id copy(H5Oopen(to_, at.copy.c_str(), H5P_DEFAULT), H5Oclose);
        H5O_info_t sourceInfo, copyInfo;
        if (!source.ok() || !copy.ok() || H5Oget_info2(source.get(), &sourceInfo, H5O_INFO_BASIC) < 0 ||
            H5Oget_info2(copy.get(), &copyInfo, H5O_INFO_BASIC) < 0) {
            return false;
        }
        // One object of the copy may have several links (libhdf5 copies a
        // shared object once per call): it is mended once.
        if (!mended_.insert(copyInfo.addr).second) return true;
        copies_.emplace(sourceInfo.addr, at.copy);
        if (sourceInfo.type == H5O_TYPE_GROUP) {
            std::vector<std::string> names;
            if (!HardLinks(source.get(), names)) return false;
            for (const std::string& name : names) {
                pending_.push_back({at.source + "/" + name, at.copy + "/" + name, at.depth + 1});
            }
            return true;
        }
        if (!IsReferenceDataset(source.get())) return true;
        // In pieces: a cell of millions of elements costs a few hundred KB.
        constexpr uint64_t kPiece = 32768;
        Id space(H5Dget_space(source.get()), H5Sclose);
        const hssize_t total = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        if (total < 0) return false;
        std::vector<hobj_ref_t> references;
        for (uint64_t first = 0; first < static_cast<uint64_t>(total); first += kPiece) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(kPiece, static_cast<uint64_t>(total) - first));
            references.assign(count, 0);
            if (!ReadPoints(source.get(), H5T_STD_REF_OBJ, first, count, references.data())) return false;
            for (hobj_ref_t& reference : references) {
                if (reference != 0 && !Retarget(source.get(), reference)) return false;
            }
            if (!WritePoints(copy.get(), H5T_STD_REF_OBJ, first, count, references.data())) return false;
        }
        return true;
    }

    // Turns a reference of `from` into one to the copy of its target,
    // copying the target on its first use.
    bool Retarget(hid_t dataset, hobj_ref_t& reference) {
        Id target(OpenReferenced(dataset, reference), H5Oclose);
        H5O_info_t info;
        if (!target.ok() || H5Oget_info2(target.get(), &info, H5O_INFO_BASIC) < 0) return false;
        auto known = copies_.find(info.addr);
        if (known == copies_.end()) {
            std::string sourcePath, name;
            if (!SourcePath(target.get(), info.addr, sourcePath) || !References() || !FreeName(info.addr, name) ||
                H5Ocopy(target.get(), ".", references_, name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) {
                return false;
            }
            std::string copyPath = std::string("/") + kReferencesGroup + "/" + name;
            pending_.push_back({sourcePath, copyPath, 1});
            known = copies_.emplace(info.addr, std::move(copyPath)).first;
        }
        return H5Rcreate(&reference, to_, known->second.c_str(), H5R_OBJECT, -1) >= 0;
    }

    // Where a target lies in `from`: its link in #refs#, where MATLAB keeps
    // every target (H5Iget_name of a dereferenced object searches the whole
    // file, once per target: only for a target that is not there).
    bool SourcePath(hid_t target, haddr_t address, std::string& path) {
        if (!namesRead_ && !ReadSourceNames()) return false;
        const auto known = sourceNames_.find(address);
        if (known != sourceNames_.end()) {
            path = std::string("/") + kReferencesGroup + "/" + known->second;
            return true;
        }
        const ssize_t length = H5Iget_name(target, nullptr, 0);
        if (length <= 0) return false;
        path.assign(static_cast<size_t>(length), '\0');
        return H5Iget_name(target, path.data(), path.size() + 1) == length;
    }

    // The new file's #refs#, opened or made on first use.
    bool References() {
        if (references_ < 0) references_ = OpenOrMakeReferences(to_);
        return references_ >= 0;
    }

    // The target's name in `from`'s #refs#, or a new one where the new
    // file has that name already (variables added to a file of its own).
    bool FreeName(haddr_t address, std::string& name) {
        if (!namesRead_ && !ReadSourceNames()) return false;
        const auto old = sourceNames_.find(address);
        const std::string base = old != sourceNames_.end() ? old->second : "r";
        name = base;
        for (;;) {
            const htri_t taken = H5Lexists(references_, name.c_str(), H5P_DEFAULT);
            if (taken < 0) return false;
            if (taken == 0) return true;
            name = base + "_" + std::to_string(++renamed_);
        }
    }

    bool ReadSourceNames() {
        namesRead_ = true;
        if (H5Lexists(from_, kReferencesGroup, InsideLinks()) <= 0) return true;
        Id group(OpenLinked(from_, kReferencesGroup), H5Oclose);
        std::vector<std::string> names;
        if (!group.ok() || !HardLinks(group.get(), names)) return false;
        for (const std::string& name : names) {
            H5O_info_t info;
            if (H5Oget_info_by_name2(group.get(), name.c_str(), &info, H5O_INFO_BASIC, InsideLinks()) < 0) return false;
            sourceNames_.emplace(info.addr, name);
        }
        return true;
    }

    hid_t from_, to_;
    hid_t references_ = -1;
    std::vector<Pending> pending_;
    std::map<haddr_t, std::string> copies_;        // objects of `from` and their copies' paths
    std::set<haddr_t> mended_;                     // objects of the copy already mended
    std::map<haddr_t, std::string> sourceNames_;   // `from`'s #refs#, by object
    bool namesRead_ = false;
    uint64_t objects_ = 0;
    uint64_t renamed_ = 0;
};

}  // namespace

// Each variable with what its references reach, and the subsystem data when
// one of them may hold objects: nothing of the other variables comes along.
bool CopyInto(File& file, hid_t to, const std::vector<uint64_t>& indexes, bool withSubsystem) {
    ReferenceCopier copier(file.file, to);
    bool objects = false;
    for (uint64_t index : indexes) {
        mxArray header;
        if (ReadHeader(file, index, header) != HeaderStatus::Ok) return false;
        // Nothing is copied that points outside the file (what references
        // reach is checked in the new file, KeepsInside).
        if (!Inside(ScanObject(file.file, header.name.c_str())) || !copier.CopyTop(header.name)) return false;
        objects = objects || MayHoldObjects(header.classId);
    }
    if (!withSubsystem || !objects || H5Lexists(file.file, kSubsystemGroup, InsideLinks()) <= 0) return true;
    // One file holds one subsystem: objects of two files would need their
    // ids renumbered into one.
    if (H5Lexists(to, kSubsystemGroup, H5P_DEFAULT) != 0) {
        SetRefusal(v73::kSubsystemTwice);
        return false;
    }
    return Inside(ScanObject(file.file, kSubsystemGroup)) && copier.CopyTop(kSubsystemGroup);
}

bool KeepsInside(hid_t to) {
    Id root(H5Gopen2(to, "/", H5P_DEFAULT), H5Gclose);
    return Inside(root.ok() ? ScanGroup(root.get()) : v73::kLinkOutside);
}

namespace {

// More links than any file keeps beside its variables; a value no path needs.
constexpr size_t kMaxOwnLinks = 65536;
constexpr size_t kMaxLinkValue = 64 * 1024;

// Whether a soft link's path leads into #refs#, whose objects a copy
// renames: the link would name another object, or none.
bool LeadsIntoReferences(const char* path) {
    std::string first;
    for (const char* at = path;; ++at) {
        if (*at == '/' || *at == '\0') {
            if (!first.empty() && first != ".") return first == kReferencesGroup;
            first.clear();
            if (*at == '\0') return false;
        } else {
            first.push_back(*at);
        }
    }
}

herr_t CollectOwnLink(hid_t group, const char* name, const H5L_info_t* info, void* data) {
    auto* links = static_cast<std::vector<OwnLink>*>(data);
    if (info->type == H5L_TYPE_HARD) return 0;
    const size_t size = info->u.val_size;
    if ((info->type != H5L_TYPE_SOFT && info->type != H5L_TYPE_EXTERNAL) || links->size() >= kMaxOwnLinks ||
        size == 0 || size > kMaxLinkValue) {
        SetRefusal(v73::kLinkUnkept);
        return 1;
    }
    OwnLink link;
    link.name = name;
    link.type = info->type;
    link.value.assign(size, '\0');
    if (H5Lget_val(group, name, link.value.data(), size, InsideLinks()) < 0) return -1;
    if (info->type == H5L_TYPE_SOFT) {
        if (link.value.back() != '\0') return -1;
        if (LeadsIntoReferences(link.value.data())) {
            SetRefusal(v73::kLinkUnkept);
            return 1;
        }
    } else {
        unsigned flags = 0;
        const char *target = nullptr, *object = nullptr;
        if (H5Lunpack_elink_val(link.value.data(), size, &flags, &target, &object) < 0) return -1;
    }
    links->push_back(std::move(link));
    return 0;
}

}  // namespace

bool ReadOwnLinks(File& file, std::vector<OwnLink>& links) {
    links.clear();
    SetRefusal(v73::kInside);
    Id root(H5Gopen2(file.file, "/", H5P_DEFAULT), H5Gclose);
    return root.ok() && H5Literate(root.get(), H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectOwnLink, &links) == 0;
}

bool MakeOwnLinks(hid_t to, const std::vector<OwnLink>& links) {
    for (const OwnLink& link : links) {
        const htri_t taken = H5Lexists(to, link.name.c_str(), H5P_DEFAULT);
        if (taken < 0) return false;
        if (taken > 0) continue;
        if (link.type == H5L_TYPE_SOFT) {
            if (H5Lcreate_soft(link.value.data(), to, link.name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) return false;
            continue;
        }
        // Packed as libhdf5 keeps it; made again from its parts (never opened).
        std::vector<char> packed = link.value;
        unsigned flags = 0;
        const char *target = nullptr, *object = nullptr;
        if (H5Lunpack_elink_val(packed.data(), packed.size(), &flags, &target, &object) < 0 ||
            H5Lcreate_external(target, object, to, link.name.c_str(), H5P_DEFAULT, H5P_DEFAULT) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace matlib::hdf5

// Scratch files: data kept aside while it is used, gone with the process.
#include <string>
#include <vector>

#include "os/file_io.h"
#include "os/host_rules.h"

namespace platform {

// Beside what it is made from first (the same disk, usually room), then in
// the temporary folders (a folder of the source that cannot be written).
// A file to be mapped goes to the temporary folder first: a mapped file on a
// network share that drops away would end the process at its next read.
FILE* CreateScratchNear(const std::string& near, const char* leaf, std::string* folderOf, bool tempFirst) {
    FileSystemCalls& fs = FileSystem();
    std::vector<std::string> places;
    if (!tempFirst) places.push_back(near);
    for (const std::string& folder : HostTempFolders()) places.push_back(folder + "/" + leaf);
    if (tempFirst) places.push_back(near);
    for (const std::string& place : places) {
        FILE* file = fs.createScratchBeside(place.c_str());
        *folderOf = place;
        if (file != nullptr) return file;
    }
    return nullptr;
}

}  // namespace platform

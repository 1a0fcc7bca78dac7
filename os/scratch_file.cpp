// Scratch files: data kept aside while it is used, gone with the process.
#include <string>

#include "os/file_io.h"
#include "os/host_rules.h"

namespace platform {

// Beside what it is made from first (the same disk, usually room), then in
// the temporary folders (a folder of the source that cannot be written).
FILE* CreateScratchNear(const std::string& near, const char* leaf, std::string* folderOf) {
    FileSystemCalls& fs = FileSystem();
    FILE* file = fs.createScratchBeside(near.c_str());
    *folderOf = near;
    for (const std::string& folder : HostTempFolders()) {
        if (file != nullptr) break;
        *folderOf = folder + "/" + leaf;
        file = fs.createScratchBeside(folderOf->c_str());
    }
    return file;
}

}  // namespace platform

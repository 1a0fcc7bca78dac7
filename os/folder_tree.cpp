// A folder's files at any depth, through the file-call table (so that the
// fault injector reaches every listing).
#include <string>
#include <vector>

#include "os/file_io.h"
#include "os/host_rules.h"

namespace platform {

bool ListFolderTree(const std::string& folder, std::vector<std::string>* files, std::vector<std::string>* folders) {
    bool readable = true;
    std::vector<std::string> waiting{folder};
    while (!waiting.empty()) {
        const std::string path = waiting.back();
        waiting.pop_back();
        std::vector<FolderEntry> entries;
        if (FileSystem().listFolder(path.c_str(), &entries) != 0) readable = false;
        std::string base = path;
        if (!base.empty() && base.back() != kPathSeparator && base.back() != '/') base += kPathSeparator;
        for (const FolderEntry& entry : entries) {
            if (entry.isFolder) {
                folders->push_back(base + entry.name);
                waiting.push_back(base + entry.name);
            } else if (entry.isRegularFile) {
                files->push_back(base + entry.name);
            }
        }
    }
    return readable;
}

}  // namespace platform

#include "support/plugin_loader.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "support/support.h"
#include "tools/os_calls.h"

namespace testhost {

namespace {

// Loading and resolving go through the matwcx command's host calls
// (LoadLibrary and GetProcAddress on Windows, dlopen and dlsym elsewhere).
Plugin LoadPlugin() {
    Plugin plugin;
    const std::string path = testenv::Get("MATWCX_PLUGIN");
    std::string why = "MATWCX_PLUGIN is not set", missing;
    void* library = path.empty() ? nullptr : matwcx::os::OpenLibrary(path, &why);
    if (library == nullptr) {
        ADD_FAILURE() << "cannot load " << path << ": " << why;
    } else if (!matwcx::ResolveExports(library, &plugin, &missing)) {
        ADD_FAILURE() << "the plug-in does not export " << missing;
    } else {
        plugin.library = library;
    }
    return plugin;
}

}  // namespace

const Plugin& LoadedPlugin() {
    static const Plugin plugin = LoadPlugin();
    if (plugin.library == nullptr) ADD_FAILURE() << "the plug-in is not loaded";
    return plugin;
}

bool Plugin::SetDefaultParams(const std::string& iniPath) const {
    PackDefaultParamStruct dps = support::HostParams(2, 22, iniPath);
    if (iniPath.size() >= sizeof dps.DefaultIniName) return false;
    CaptureStdout([&] { PackSetDefaultParams(&dps); });
    return true;
}

bool Plugin::CanHandle(const std::string& path) const {
    std::string copy = path;
    return CanYouHandleThisFile(copy.data()) != 0;
}

int Plugin::Delete(const std::string& packedFile, const std::vector<std::string>& entryNames) const {
    std::vector<char> list;
    for (const std::string& name : entryNames) list.insert(list.end(), name.c_str(), name.c_str() + name.size() + 1);
    list.resize(list.size() + (entryNames.empty() ? 2 : 1), '\0');
    std::string path = packedFile;
    return DeleteFiles(path.data(), list.data());
}

int ReadOneHeader(const Plugin& plugin, HANDLE handle, Entry* entry) {
    // The pattern shows whether anything was written past FileAttr, where
    // the hosts' layouts differ.
    tHeaderData header;
    std::memset(&header, 0xA5, sizeof header);
    std::memset(&header, 0, kHeaderDataWrittenEnd);
    const int result = plugin.ReadHeader(handle, &header);
    if (result != 0) return result;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    *entry = {std::string(header.ArcName, strnlen(header.ArcName, sizeof header.ArcName)),
              std::string(header.FileName, strnlen(header.FileName, sizeof header.FileName)),
              header.Flags, header.PackSize, header.UnpSize, header.FileCRC, header.FileTime, header.FileAttr,
              std::all_of(bytes + kHeaderDataWrittenEnd, bytes + sizeof header, [](unsigned char b) { return b == 0xA5; })};
    return 0;
}

Archive::Archive(const Plugin& plugin, const std::string& path, int openMode) : plugin_(plugin), path_(path) {
    tOpenArchiveData data{};
    data.ArcName = path_.data();
    data.OpenMode = openMode;
    data.OpenResult = -1;
    openOutput_ = CaptureStdout([&] { handle_ = plugin_.OpenArchive(&data); });
    openResult_ = data.OpenResult;
}

int Archive::Close() {
    if (handle_ == nullptr) return 0;
    const int result = plugin_.CloseArchive(handle_);
    handle_ = nullptr;
    return result;
}

std::vector<Entry> Archive::ReadAll(int* lastResult) {
    std::vector<Entry> entries;
    int result = E_END_ARCHIVE;
    Entry entry;
    while (handle_ != nullptr && (result = ReadOneHeader(plugin_, handle_, &entry)) == 0) {
        entries.push_back(entry);
        char empty[1] = {0};
        const int skip = plugin_.ProcessFile(handle_, PK_SKIP, nullptr, empty);
        if (skip != 0) {
            ADD_FAILURE() << "ProcessFile(PK_SKIP) answered " << skip;
            break;
        }
    }
    if (lastResult != nullptr) *lastResult = result;
    return entries;
}

std::unique_ptr<Archive> OpenAt(const Plugin& plugin, const std::string& path, const std::string& variable,
                                std::string* fileName, int mode) {
    auto archive = std::make_unique<Archive>(plugin, path, mode);
    Entry entry;
    while (archive->ok() && ReadOneHeader(plugin, archive->handle(), &entry) == 0) {
        if (entry.fileName.rfind(variable + ".", 0) == 0) {
            *fileName = entry.fileName;
            return archive;
        }
    }
    ADD_FAILURE() << "no entry for " << variable;
    return archive;
}

std::string CaptureStdout(const std::function<void()>& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace testhost

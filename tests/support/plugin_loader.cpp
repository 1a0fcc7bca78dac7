#include "support/plugin_loader.h"

#if defined(_WIN32)
#include <windows.h>

#include <io.h>
#endif

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "support/test_env.h"
#include "tools/os_calls.h"

namespace testhost {

namespace {

// Loading and resolving go through the matwcx command's host calls
// (LoadLibrary and GetProcAddress on Windows, as Total Commander loads the
// plug-in; dlopen and dlsym elsewhere); only the capture file is the tests' own.
#if defined(_WIN32)
int DescriptorOf(FILE* file) { return ::_fileno(file); }
// msvcrt's tmpfile() creates its file in the root of the drive, which a
// user may not write to: a file in the user's temporary folder instead,
// removed when closed ("D").
FILE* CaptureFile() {
    static unsigned serial = 0;
    char folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) return nullptr;
    char path[MAX_PATH + 64];
    std::snprintf(path, sizeof path, "%smatwcx-stdout-%lu-%u.tmp", folder, ::GetCurrentProcessId(), serial++);
    return std::fopen(path, "w+bD");
}
#else
int DescriptorOf(FILE* file) { return ::fileno(file); }
FILE* CaptureFile() { return std::tmpfile(); }
#endif

Plugin LoadPlugin() {
    Plugin plugin;
    const std::string path = testenv::PluginPath();
    if (path.empty()) {
        ADD_FAILURE() << "MATWCX_PLUGIN is not set";
        return plugin;
    }
    std::string why;
    void* library = matwcx::os::OpenLibrary(path, &why);
    if (library == nullptr) {
        ADD_FAILURE() << "cannot load " << path << ": " << why;
        return plugin;
    }
    std::string missing;
    const bool all = matwcx::ResolveExports(library, &plugin, &missing);
    if (!all) ADD_FAILURE() << "the plug-in does not export " << missing;
    // Kept loaded even when an export is missing: the host would refuse the
    // plug-in, but the tests of the other exports can still run.
    plugin.library = all ? library : nullptr;
    return plugin;
}

}  // namespace

const Plugin& LoadedPlugin() {
    static const Plugin plugin = LoadPlugin();
    if (plugin.library == nullptr) ADD_FAILURE() << "the plug-in is not loaded";
    return plugin;
}

bool Plugin::SetDefaultParams(const std::string& iniPath) const {
    PackDefaultParamStruct dps{};
    if (iniPath.size() >= sizeof dps.DefaultIniName) return false;
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    std::memcpy(dps.DefaultIniName, iniPath.c_str(), iniPath.size() + 1);
    CaptureStdout([&] { PackSetDefaultParams(&dps); });
    return true;
}

bool Plugin::CanHandle(const std::string& path) const {
    std::string copy = path;
    return CanYouHandleThisFile(copy.data()) != 0;
}

int Plugin::Delete(const std::string& packedFile, const std::vector<std::string>& entryNames) const {
    std::vector<char> list;
    for (const std::string& name : entryNames) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back('\0');
    }
    list.push_back('\0');
    if (entryNames.empty()) list.push_back('\0');
    std::string path = packedFile;
    return DeleteFiles(path.data(), list.data());
}

int ReadOneHeader(const Plugin& plugin, HANDLE handle, Entry* entry) {
    // A pattern shows whether the plug-in wrote anything past FileAttr, where
    // the hosts' layouts differ.
    tHeaderData header;
    std::memset(&header, 0xA5, sizeof header);
    std::memset(&header, 0, kHeaderDataWrittenEnd);
    const int result = plugin.ReadHeader(handle, &header);
    if (result != 0) return result;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    entry->tailUntouched = true;
    for (size_t i = kHeaderDataWrittenEnd; i < sizeof header; ++i) {
        if (bytes[i] != 0xA5) entry->tailUntouched = false;
    }
    entry->arcName.assign(header.ArcName, strnlen(header.ArcName, sizeof header.ArcName));
    entry->fileName.assign(header.FileName, strnlen(header.FileName, sizeof header.FileName));
    entry->flags = header.Flags;
    entry->packSize = header.PackSize;
    entry->unpSize = header.UnpSize;
    entry->fileCRC = header.FileCRC;
    entry->fileTime = header.FileTime;
    entry->fileAttr = header.FileAttr;
    return 0;
}

Archive::Archive(const Plugin& plugin, const std::string& path, int openMode)
    : plugin_(plugin), path_(path) {
    tOpenArchiveData data{};
    data.ArcName = path_.data();
    data.OpenMode = openMode;
    data.OpenResult = -1;
    openOutput_ = CaptureStdout([&] { handle_ = plugin_.OpenArchive(&data); });
    openResult_ = data.OpenResult;
}

Archive::~Archive() { Close(); }

int Archive::Close() {
    if (handle_ == nullptr) return 0;
    const int result = plugin_.CloseArchive(handle_);
    handle_ = nullptr;
    return result;
}

std::vector<Entry> Archive::ReadAll(int* lastResult) {
    std::vector<Entry> entries;
    int result = E_END_ARCHIVE;
    if (handle_ != nullptr) {
        for (;;) {
            Entry entry;
            result = ReadOneHeader(plugin_, handle_, &entry);
            if (result != 0) break;
            entries.push_back(entry);
            char empty[1] = {0};
            const int skip = plugin_.ProcessFile(handle_, PK_SKIP, nullptr, empty);
            if (skip != 0) {
                ADD_FAILURE() << "ProcessFile(PK_SKIP) answered " << skip;
                break;
            }
        }
    }
    if (lastResult != nullptr) *lastResult = result;
    return entries;
}

std::string CaptureStdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    FILE* capture = CaptureFile();
    const int saved = matwcx::os::Duplicate(matwcx::os::kStdoutDescriptor);
    if (capture == nullptr || saved < 0) {
        ADD_FAILURE() << "cannot redirect stdout";
        if (capture != nullptr) std::fclose(capture);
        if (saved >= 0) matwcx::os::CloseDescriptor(saved);
        fn();
        return {};
    }
    matwcx::os::Redirect(DescriptorOf(capture), matwcx::os::kStdoutDescriptor);
    fn();
    std::fflush(stdout);
    matwcx::os::Redirect(saved, matwcx::os::kStdoutDescriptor);
    matwcx::os::CloseDescriptor(saved);

    std::string text;
    std::rewind(capture);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, capture)) > 0) text.append(buffer, got);
    std::fclose(capture);
    return text;
}

}  // namespace testhost

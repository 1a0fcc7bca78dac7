// A test host: loads the built plug-in ($MATWCX_PLUGIN) once per test
// program, as the hosts do, and never unloads it: its process-wide state (the
// two archive slots, the settings record, the callbacks) lives as long as the
// program, so a test closes what it opens (Archive does) and hands the
// plug-in a settings file of its own before relying on the options.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "wcx/plugin_api.h"
#include "tools/plugin_host.h"

namespace testhost {

// Every export (as the matwcx command resolves them).
struct Plugin : matwcx::PluginExports {
    void* library = nullptr;   // the dlopen handle

    // Calls PackSetDefaultParams as Double Commander does (size 272, interface
    // version 2.22) with the given settings file. Its diagnostic line is
    // swallowed. False when the path does not fit DefaultIniName.
    bool SetDefaultParams(const std::string& iniPath) const;

    // CanYouHandleThisFile on a path (the export takes char*).
    bool CanHandle(const std::string& path) const;

    // DeleteFiles with the names joined into the host's NUL-separated list.
    int Delete(const std::string& packedFile, const std::vector<std::string>& entryNames) const;
};

// The plug-in of $MATWCX_PLUGIN, loaded on first use with
// dlopen(RTLD_NOW | RTLD_LOCAL) and kept for the whole test program. A load
// failure or a missing export fails the calling test (gtest ADD_FAILURE) and
// returns a Plugin whose library is null; check loaded().
const Plugin& LoadedPlugin();
inline bool loaded(const Plugin& plugin) { return plugin.library != nullptr; }

// The handle the host passes to the callback setters before DeleteFiles.
inline HANDLE ProcessWideHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// One entry as ReadHeader reported it.
struct Entry {
    std::string arcName;
    std::string fileName;
    int flags = 0;
    int packSize = 0, unpSize = 0, fileCRC = 0, fileTime = 0, fileAttr = 0;
    bool tailUntouched = true;   // nothing written past FileAttr (Double Commander's record is shorter)
};

// Runs ReadHeader once on a record filled with a pattern. Returns its result;
// on 0, *entry holds the fields.
int ReadOneHeader(const Plugin& plugin, HANDLE handle, Entry* entry);

// An archive opened with OpenArchive, closed with CloseArchive when it goes.
class Archive {
public:
    Archive(const Plugin& plugin, const std::string& path, int openMode);
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    bool ok() const { return handle_ != nullptr; }
    HANDLE handle() const { return handle_; }
    int openResult() const { return openResult_; }
    // What OpenArchive wrote to stdout.
    const std::string& openOutput() const { return openOutput_; }

    // The host's walk: ReadHeader until it answers non-zero, with
    // ProcessFile(PK_SKIP, null, "") after each entry, as Double Commander
    // lists. *lastResult receives the ReadHeader result that ended the walk
    // (E_END_ARCHIVE normally).
    std::vector<Entry> ReadAll(int* lastResult = nullptr);

    // CloseArchive now (the destructor then does nothing). Returns its result.
    int Close();

private:
    const Plugin& plugin_;
    HANDLE handle_ = nullptr;
    int openResult_ = -1;
    std::string path_;
    std::string openOutput_;
};

// Everything fn writes to file descriptor 1 (stdio flushed before and after).
std::string CaptureStdout(const std::function<void()>& fn);

}  // namespace testhost

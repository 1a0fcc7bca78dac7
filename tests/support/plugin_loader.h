// A test host: loads the built plug-in ($MATWCX_PLUGIN) once per test
// program, as the hosts do, and never unloads it: its process-wide state (the
// archive slots, the settings record, the callbacks) lives as long as the
// program, so a test closes what it opens and hands the plug-in a settings
// file of its own before relying on the options.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wcx/plugin_api.h"
#include "tools/plugin_host.h"

namespace testhost {

// Every export (as the matwcx command resolves them).
struct Plugin : matwcx::PluginExports {
    void* library = nullptr;

    // PackSetDefaultParams as Double Commander calls it (size 272, interface
    // 2.22), its line swallowed. False when the path does not fit the record.
    bool SetDefaultParams(const std::string& iniPath) const;
    bool CanHandle(const std::string& path) const;
    // DeleteFiles with the names joined into the host's NUL-separated list.
    int Delete(const std::string& packedFile, const std::vector<std::string>& entryNames) const;
};

// Loaded on first use; a load failure or a missing export fails the calling
// test and leaves library null (check loaded()).
const Plugin& LoadedPlugin();
inline bool loaded(const Plugin& plugin) { return plugin.library != nullptr; }

// The handle the host passes to the callback setters before DeleteFiles.
inline HANDLE ProcessWideHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// One entry as ReadHeader reported it.
struct Entry {
    std::string arcName, fileName;
    int flags = 0, packSize = 0, unpSize = 0, fileCRC = 0, fileTime = 0, fileAttr = 0;
    bool tailUntouched = true;   // nothing written past FileAttr (Double Commander's record is shorter)
};

// ReadHeader once on a record filled with a pattern; on 0, *entry holds the fields.
int ReadOneHeader(const Plugin& plugin, HANDLE handle, Entry* entry);

// An archive opened with OpenArchive, closed with CloseArchive when it goes.
class Archive {
public:
    Archive(const Plugin& plugin, const std::string& path, int openMode);
    ~Archive() { Close(); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    bool ok() const { return handle_ != nullptr; }
    HANDLE handle() const { return handle_; }
    int openResult() const { return openResult_; }
    const std::string& openOutput() const { return openOutput_; }   // what OpenArchive printed

    // The host's walk: ReadHeader until non-zero (into *lastResult), with
    // ProcessFile(PK_SKIP) after each entry.
    std::vector<Entry> ReadAll(int* lastResult = nullptr);
    int Close();   // CloseArchive now; its result

private:
    const Plugin& plugin_;
    HANDLE handle_ = nullptr;
    int openResult_ = -1;
    std::string path_, openOutput_;
};

// An archive of `path` opened in `mode`, read up to the entry of `variable`
// (its name in *fileName); a test failure when there is none.
std::unique_ptr<Archive> OpenAt(const Plugin& plugin, const std::string& path, const std::string& variable,
                                std::string* fileName, int mode = PK_OM_EXTRACT);

// Everything fn writes to standard output.
std::string CaptureStdout(const std::function<void()>& fn);

}  // namespace testhost

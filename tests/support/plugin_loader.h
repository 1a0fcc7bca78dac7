// A test host: loads the built plug-in ($MATWCX_PLUGIN) with dlopen, exactly
// as Double Commander does, and offers what a test needs to drive it.
//
//   const testhost::Plugin& plugin = testhost::LoadedPlugin();
//   testhost::Archive archive(plugin, path, PK_OM_LIST);   // OpenArchive
//   ASSERT_TRUE(archive.ok()) << archive.openResult();
//   std::vector<testhost::Entry> entries = archive.ReadAll();   // ReadHeader + ProcessFile(PK_SKIP)
//   // the destructor calls CloseArchive
//
//   std::string out = testhost::CaptureStdout([&] { plugin.CanYouHandleThisFile(name); });
//
// Rules a test must keep:
// - The plug-in is loaded once per test program and never unloaded: its
//   process-wide state (the two archive slots, the settings record, the
//   process-wide callbacks) lives as long as the test program. A test that
//   opens an archive must close it (Archive does so when it goes), or every
//   later test finds one slot fewer.
// - The plug-in keeps the settings it was last given: call
//   plugin.SetDefaultParams(ini) with a settings file of the test's own before
//   relying on StructCellasDirs or DeleteEnabled.
// - CaptureStdout redirects file descriptor 1 to a temporary file around the
//   call, flushing stdio before and after; the plug-in and the test share the
//   C library's stdout, so the plug-in's printf lines are caught exactly.
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

// The process-wide handle value that the host passes to SetChangeVolProc and
// SetProcessDataProc before DeleteFiles and PackFiles.
inline HANDLE ProcessWideHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// One entry as ReadHeader reported it.
struct Entry {
    std::string arcName;
    std::string fileName;
    int flags = 0;
    int packSize = 0;
    int unpSize = 0;
    int hostOS = 0;
    int fileCRC = 0;
    int fileTime = 0;
    int unpVer = 0;
    int method = 0;
    int fileAttr = 0;
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

// Runs fn with file descriptor 1 redirected to a temporary file and returns
// everything written to it.
std::string CaptureStdout(const std::function<void()>& fn);

}  // namespace testhost

// The matwcx command's host side: loads the plug-in as a file manager does
// (dlopen, then every export by name) and calls it in Double Commander's
// order. The plug-in's diagnostic lines go to stdout; the command shows them
// only when asked to and otherwise sends them to /dev/null while the plug-in
// runs, keeping stdout for its own output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "matwcx_exports.h"
#include "wcx/plugin_api.h"

namespace matwcx {

// Every export, as wcx/exports.def names them.
struct PluginExports {
#define MATWCX_EXPORT_MEMBER(name) decltype(&::name) name = nullptr;
    MATWCX_EXPORTS(MATWCX_EXPORT_MEMBER)
#undef MATWCX_EXPORT_MEMBER
};

// Every export from a loaded library, by name. The names of
// those missing go to *missing, joined by ", " ("" when all are there).
bool ResolveExports(void* library, PluginExports* exports, std::string* missing);

// The hosts' UTF-16 strings, and the command's UTF-8 ones.
using WideString = std::basic_string<WCHAR>;
WideString Wide(const std::string& text);
std::string Narrow(const WCHAR* text);

// One entry as ReadHeaderExW reported it.
struct Entry {
    std::string name;
    uint64_t packSize = 0;
    uint64_t unpSize = 0;
    int fileTime = 0;
    int fileAttr = 0;
};

// While one of these lives, fd 1 goes to /dev/null (unless `show`); stdio is
// flushed on both edges so that no line lands on the wrong side.
class PluginOutput {
public:
    explicit PluginOutput(bool show);
    ~PluginOutput();
    PluginOutput(const PluginOutput&) = delete;
    PluginOutput& operator=(const PluginOutput&) = delete;

private:
    int savedFd_ = -1;
};

// Writes the command's own text to the real stdout, also from inside a
// plug-in call (a progress callback) while fd 1 is silenced.
void WriteOwn(const std::string& text);

class PluginHost {
public:
    ~PluginHost();

    // dlopen(RTLD_NOW | RTLD_LOCAL) and every export; false with *error.
    bool Load(const std::string& path, std::string* error);
    // PackSetDefaultParams as Double Commander calls it: size 272, version 2.22.
    bool SetDefaultParams(const std::string& iniPath, std::string* error);

    const PluginExports& api() const { return api_; }
    // The loaded library, for the exports only some hosts call (null before Load).
    void* library() const { return library_; }
    bool verbose = false;   // show the plug-in's diagnostic lines

    // OpenArchiveW, as Double Commander prefers; the handle or null,
    // *openResult the OpenResult.
    HANDLE Open(const std::string& path, int openMode, int* openResult);
    // SetChangeVolProc and SetProcessDataProc, as the host does after opening
    // and (with the process-wide handle) before DeleteFiles.
    void SetCallbacks(HANDLE handle, tProcessDataProc progress);
    // ReadHeaderExW once; 0 with *entry filled, or the plug-in's code.
    int ReadNext(HANDLE handle, Entry* entry);
    void Close(HANDLE handle);

    // The whole listing (open for listing, ReadHeader with ProcessFile(PK_SKIP)
    // after each entry, close): 0, or the code that stopped it. `visit` sees
    // each entry as it is read, while the plug-in's own lines are silenced
    // (it writes through WriteOwn).
    int List(const std::string& path, const std::function<void(const Entry&)>& visit);
    int List(const std::string& path, std::vector<Entry>* entries);

private:
    void* library_ = nullptr;
    PluginExports api_;
};

// The handle value of the callbacks that belong to no archive.
inline HANDLE ProcessWideHandle() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

// What a result code means, for messages ("cannot open archive").
const char* ResultMeaning(int code);
// "E_EOPEN" and so on; "code N" for others.
std::string ResultName(int code);

// The variable an entry name stands for: its first level up to the first ".".
std::string VariableOfEntry(const std::string& entryName);
// True for the entry of a part of a variable, listed in its struct's or
// cell's folder ("s.struct [1x1] /a.double [1x1] "), not the variable itself.
bool IsPartEntry(const std::string& entryName);
// True when VAR names this entry (its variable, or the whole entry name; a
// part's entry only by its whole name).
bool EntryMatches(const Entry& entry, const std::string& var);

// FileTime as local date and time ("2005-02-18 10:28:02"); "" for 0.
std::string FormatFileTime(int fileTime);
// FileAttr as ls shows a mode ("-rw-r--r--").
std::string FormatMode(int fileAttr);

}  // namespace matwcx

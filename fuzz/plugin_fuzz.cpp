// The plug-in, in-process, through its exports as a host calls them, on
// arbitrary bytes taken as a MAT-file: CanYouHandleThisFile, OpenArchive for
// listing and for extraction, every ReadHeader followed by ProcessFile
// (PK_EXTRACT) into a viewer folder and into an ordinary one, and DeleteFiles
// on a copy with deletion enabled. Besides the sanitizers' faults, the checks
// below catch an entry name that could make the host write outside its
// folder, extraction output in the wrong place, and a failed deletion that
// changed the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "matlib/mat.h"
#include "wcx/plugin_api.h"
#include "settings/plugin_settings.h"

using namespace fuzzsupport;

namespace {

// Entries extracted and deleted one by one per input: enough to reach every
// path, few enough that a file of thousands of tiny variables stays fast.
constexpr size_t kMaxEntriesPerInput = 32;
// ReadHeader calls per archive: one per variable, and the listing stops at
// the count matGetDir gave; the bound catches a listing that never ends.
constexpr size_t kMaxReadHeaderCalls = 1u << 20;

void Setup() {
    static const bool done = [] {
        PackDefaultParamStruct params{};
        params.size = sizeof params;
        params.PluginInterfaceVersionHi = 2;
        params.PluginInterfaceVersionLow = 21;
        const std::string ini = PathIn("wincmd.ini");
        std::snprintf(params.DefaultIniName, sizeof params.DefaultIniName, "%s", ini.c_str());
        PackSetDefaultParams(&params);
        PluginSettings settings = GetPluginSettings();
        settings.DeleteEnabled = 1;
        settings.StructCellasDirs = 0;
        SavePluginSettings(settings);
        return true;
    }();
    (void)done;
}

void SetStructCellasDirs(bool on) {
    PluginSettings settings = GetPluginSettings();
    settings.StructCellasDirs = on ? 1 : 0;
    SavePluginSettings(settings);
}

// Every component of an entry name must be a plain file name: not empty, not
// "." or "..", no control character. (The separator itself appears only for
// structs and cells listed as directories.)
void CheckEntryName(const char* name) {
    Require(std::memchr(name, '\0', sizeof tHeaderData::FileName) != nullptr, "FileName unterminated");
    const std::string text = name;
    Require(!text.empty(), "an empty entry name");
    size_t start = 0;
    while (true) {
        const size_t slash = text.find_first_of("/\\", start);
        const std::string part = text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        Require(!part.empty() && part != "." && part != "..", "an entry name with an unsafe component", text);
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    for (unsigned char c : text) Require(c >= 0x20 && c != 0x7F, "a control character in an entry name", text);
}

HANDLE Open(const std::string& path, int mode) {
    std::vector<char> arcName(path.begin(), path.end());
    arcName.push_back('\0');
    tOpenArchiveData data{};
    data.ArcName = arcName.data();
    data.OpenMode = mode;
    HANDLE h = OpenArchive(&data);
    Require((h == nullptr) == (data.OpenResult != E_SUCCESS), "OpenArchive: handle and OpenResult disagree");
    return h;
}

// The listing alone, with PK_SKIP after each entry.
void ListOnly(const std::string& path) {
    HANDLE h = Open(path, PK_OM_LIST);
    if (h == nullptr) return;
    tHeaderData header{};
    for (size_t calls = 0; ReadHeader(h, &header) == 0; ++calls) {
        Require(calls < kMaxReadHeaderCalls, "ReadHeader never ends");
        CheckEntryName(header.FileName);
        ProcessFile(h, PK_SKIP, nullptr, nullptr);
    }
    CloseArchive(h);
}

// The hosts' viewer folder, the only one that gets the text:
// "<temp>/_dc~~~/<n>/", <temp> as the plug-in sees it (TMPDIR, else /tmp).
std::string ViewerFolder() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string& work = WorkDir();
    return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/_dc~~~/" + work.substr(work.rfind('/') + 1);
}

// Every entry extracted twice: into the viewer's folder and into an ordinary
// one. Returns the entry names.
std::vector<std::string> ListAndExtract(const std::string& path) {
    std::vector<std::string> entries;
    HANDLE h = Open(path, PK_OM_EXTRACT);
    if (h == nullptr) return entries;
    const std::string viewer = ViewerFolder();
    const std::string ordinary = PathIn("out");
    tHeaderData header{};
    for (size_t calls = 0; ReadHeader(h, &header) == 0; ++calls) {
        Require(calls < kMaxReadHeaderCalls, "ReadHeader never ends");
        CheckEntryName(header.FileName);
        if (entries.size() >= kMaxEntriesPerInput) {
            ProcessFile(h, PK_SKIP, nullptr, nullptr);
            continue;
        }
        entries.push_back(header.FileName);

        FreshFolder(viewer);
        std::string destination = viewer + "/" + header.FileName;
        std::vector<char> destName(destination.begin(), destination.end());
        destName.push_back('\0');
        if (ProcessFile(h, PK_EXTRACT, nullptr, destName.data()) == 0) {
            Require(!ReadBytes(destination).empty(), "viewer extraction succeeded without its text file", destination);
        }

        FreshFolder(ordinary);
        std::vector<char> destPath(ordinary.begin(), ordinary.end());
        destPath.push_back('\0');
        std::vector<char> fileName(header.FileName, header.FileName + std::strlen(header.FileName) + 1);
        if (ProcessFile(h, PK_EXTRACT, destPath.data(), fileName.data()) == 0) {
            const std::string output = ordinary + "/" + header.FileName + ".mat";
            MATFile* m = matOpen(output.c_str(), "r");
            Require(m != nullptr, "an extracted variable's file does not open", output);
            matClose(m);
        }
    }
    CloseArchive(h);
    RemoveAll(viewer);
    RemoveAll(ordinary);
    return entries;
}

// DeleteFiles on a fresh copy with the given entries; a failure must leave
// the copy as it was, and nothing else may stay in its folder.
void DeleteOnCopy(const std::string& path, const std::vector<std::string>& names) {
    const std::string folder = PathIn("delete");
    const std::string copy = folder + "/copy.mat";
    FreshFolder(folder);
    CopyFile(path, copy);
    const std::string original = ReadBytes(copy);
    std::vector<char> list;
    for (const std::string& name : names) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back('\0');
    }
    list.push_back('\0');
    list.push_back('\0');
    std::vector<char> packedFile(copy.begin(), copy.end());
    packedFile.push_back('\0');
    const int result = DeleteFiles(packedFile.data(), list.data());
    Require(ListFolder(folder) == "copy.mat ", "DeleteFiles left other files behind", ListFolder(folder));
    if (result != 0) Require(ReadBytes(copy) == original, "a failed DeleteFiles changed the file");
    RemoveAll(folder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::BoundWorkerWaits();
    Setup();
    const std::string path = PathIn("input.mat");
    WriteBytes(path, data, size);
    std::vector<char> fileName(path.begin(), path.end());
    fileName.push_back('\0');
    const bool handled = CanYouHandleThisFile(fileName.data()) != 0;

    SetStructCellasDirs(true);
    ListOnly(path);
    SetStructCellasDirs(false);
    const std::vector<std::string> entries = ListAndExtract(path);
    Require(handled || entries.empty(), "entries listed from a file CanYouHandleThisFile refused");

    for (const std::string& entry : entries) DeleteOnCopy(path, {entry});
    if (entries.size() > 1) DeleteOnCopy(path, entries);
    return 0;
}

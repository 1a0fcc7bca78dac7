#include "tools/plugin_host.h"

#include "os/text_encoding.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <ctime>

#include "tools/os_calls.h"

namespace matwcx {

namespace {

// Where the command's own text goes while the plug-in's output is silenced.
int ownOutputFd = os::kStdoutDescriptor;

// The plug-in knows no multi-volume archives; a request for the next volume
// is answered "none" (0: the user aborted).
int WCX_CALL NoNextVolume(char*, int) { return 0; }
int WCX_CALL IgnoreProgress(char*, int) { return 1; }

template <typename Fn>
bool Resolve(void* library, const char* name, Fn* out, std::string* missing) {
    *out = reinterpret_cast<Fn>(os::LibrarySymbol(library, name));
    if (*out != nullptr) return true;
    if (!missing->empty()) *missing += ", ";
    *missing += name;
    return false;
}

}  // namespace

bool ResolveExports(void* library, PluginExports* exports, std::string* missing) {
    missing->clear();
#define MATWCX_RESOLVE(name) Resolve(library, #name, &exports->name, missing);
    MATWCX_EXPORTS(MATWCX_RESOLVE)
#undef MATWCX_RESOLVE
    return missing->empty();
}

PluginOutput::PluginOutput(bool show) {
    if (show) return;
    std::fflush(stdout);
    const int devNull = os::OpenNullDevice();
    savedFd_ = os::Duplicate(os::kStdoutDescriptor);
    if (devNull < 0 || savedFd_ < 0) {
        if (devNull >= 0) os::CloseDescriptor(devNull);
        if (savedFd_ >= 0) os::CloseDescriptor(savedFd_);
        savedFd_ = -1;
        return;
    }
    os::Redirect(devNull, os::kStdoutDescriptor);
    os::CloseDescriptor(devNull);
    ownOutputFd = savedFd_;
}

PluginOutput::~PluginOutput() {
    if (savedFd_ < 0) return;
    std::fflush(stdout);
    os::Redirect(savedFd_, os::kStdoutDescriptor);
    os::CloseDescriptor(savedFd_);
    ownOutputFd = os::kStdoutDescriptor;
}

void WriteOwn(const std::string& text) {
    std::fflush(stdout);
    size_t done = 0;
    while (done < text.size()) {
        const long written = os::WriteDescriptor(ownOutputFd, text.data() + done, text.size() - done);
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

PluginHost::~PluginHost() {
    // Kept loaded until the process ends, as a file manager does; unloading
    // here would only race the C library's exit handlers.
}

bool PluginHost::Load(const std::string& path, std::string* error) {
    std::string why;
    library_ = os::OpenLibrary(path, &why);
    if (library_ == nullptr) {
        *error = "cannot load the plug-in " + path + ": " + why;
        return false;
    }
    std::string missing;
    ResolveExports(library_, &api_, &missing);
    if (!missing.empty()) {
        *error = "the plug-in " + path + " does not export " + missing;
        return false;
    }
    return true;
}

bool PluginHost::SetDefaultParams(const std::string& iniPath, std::string* error) {
    PackDefaultParamStruct dps{};
    if (iniPath.size() >= sizeof dps.DefaultIniName) {
        *error = "the settings file's path is too long for the plug-in: " + iniPath;
        return false;
    }
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;   // 2.22, as Double Commander reports
    dps.PluginInterfaceVersionHi = 2;
    std::memcpy(dps.DefaultIniName, iniPath.c_str(), iniPath.size() + 1);
    PluginOutput output(verbose);
    api_.PackSetDefaultParams(&dps);
    // Its diagnostic text ends without a line feed.
    if (verbose) std::printf("\n");
    return true;
}

WideString Wide(const std::string& text) {
    std::u16string units;
    platform::Utf8ToUtf16(text.c_str(), &units);
    return WideString(units.begin(), units.end());
}

std::string Narrow(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    std::u16string units(length, u'\0');
    for (size_t i = 0; i < length; ++i) units[i] = static_cast<char16_t>(text[i]);
    std::string narrow;
    platform::Utf16ToUtf8(units.c_str(), &narrow);
    return narrow;
}

HANDLE PluginHost::Open(const std::string& path, int openMode, int* openResult) {
    WideString arcName = Wide(path);
    tOpenArchiveDataW data{};
    data.ArcName = arcName.data();
    data.OpenMode = openMode;
    data.OpenResult = E_EOPEN;
    const HANDLE handle = api_.OpenArchiveW(&data);
    *openResult = handle != nullptr ? 0 : (data.OpenResult != 0 ? data.OpenResult : E_EOPEN);
    return handle;
}

void PluginHost::SetCallbacks(HANDLE handle, tProcessDataProc progress) {
    api_.SetChangeVolProc(handle, NoNextVolume);
    api_.SetProcessDataProc(handle, progress != nullptr ? progress : IgnoreProgress);
}

int PluginHost::ReadNext(HANDLE handle, Entry* entry) {
    // Double Commander clears the record before each call.
    auto header = std::make_unique<tHeaderDataExW>();
    std::memset(header.get(), 0, sizeof *header);
    const int result = api_.ReadHeaderExW(handle, header.get());
    if (result != 0) return result;
    header->FileName[1023] = 0;
    entry->name = Narrow(header->FileName);
    entry->packSize = (uint64_t{header->PackSizeHigh} << 32) | header->PackSize;
    entry->unpSize = (uint64_t{header->UnpSizeHigh} << 32) | header->UnpSize;
    entry->fileTime = header->FileTime;
    entry->fileAttr = header->FileAttr;
    return 0;
}

void PluginHost::Close(HANDLE handle) { api_.CloseArchive(handle); }

int PluginHost::List(const std::string& path, std::vector<Entry>* entries) {
    return List(path, [entries](const Entry& entry) { entries->push_back(entry); });
}

int PluginHost::List(const std::string& path, const std::function<void(const Entry&)>& visit) {
    PluginOutput output(verbose);
    int result = 0;
    const HANDLE handle = Open(path, PK_OM_LIST, &result);
    if (handle == nullptr) return result;
    SetCallbacks(handle, nullptr);
    for (;;) {
        Entry entry;
        result = ReadNext(handle, &entry);
        if (result != 0) break;
        visit(entry);
        WCHAR empty[1] = {0};
        result = api_.ProcessFileW(handle, PK_SKIP, nullptr, empty);
        if (result != 0) break;
    }
    Close(handle);
    return result == E_END_ARCHIVE ? 0 : result;
}

const char* ResultMeaning(int code) {
    switch (code) {
    case E_SUCCESS: return "success";
    case E_END_ARCHIVE: return "no more entries";
    case E_NO_MEMORY: return "not enough memory";
    case E_BAD_DATA: return "bad data";
    case E_BAD_ARCHIVE: return "damaged archive";
    case E_UNKNOWN_FORMAT: return "unknown archive format";
    case E_EOPEN: return "cannot open archive";
    case E_ECREATE: return "cannot create file";
    case E_ECLOSE: return "error closing file";
    case E_EREAD: return "error reading file";
    case E_EWRITE: return "error writing file";
    case E_SMALL_BUF: return "buffer too small";
    case E_EABORTED: return "aborted";
    case E_NO_FILES: return "no files found";
    case E_TOO_MANY_FILES: return "too many files";
    case E_NOT_SUPPORTED: return "not supported";
    default: return "unknown error";
    }
}

std::string ResultName(int code) {
    switch (code) {
    case E_SUCCESS: return "E_SUCCESS";
    case E_END_ARCHIVE: return "E_END_ARCHIVE";
    case E_NO_MEMORY: return "E_NO_MEMORY";
    case E_BAD_DATA: return "E_BAD_DATA";
    case E_BAD_ARCHIVE: return "E_BAD_ARCHIVE";
    case E_UNKNOWN_FORMAT: return "E_UNKNOWN_FORMAT";
    case E_EOPEN: return "E_EOPEN";
    case E_ECREATE: return "E_ECREATE";
    case E_ECLOSE: return "E_ECLOSE";
    case E_EREAD: return "E_EREAD";
    case E_EWRITE: return "E_EWRITE";
    case E_SMALL_BUF: return "E_SMALL_BUF";
    case E_EABORTED: return "E_EABORTED";
    case E_NO_FILES: return "E_NO_FILES";
    case E_TOO_MANY_FILES: return "E_TOO_MANY_FILES";
    case E_NOT_SUPPORTED: return "E_NOT_SUPPORTED";
    default: return "code " + std::to_string(code);
    }
}

std::string VariableOfEntry(const std::string& entryName) {
    const size_t end = entryName.find_first_of(os::kEntryNameEnd);
    return entryName.substr(0, end);
}

bool IsPartEntry(const std::string& entryName) {
    const size_t separator = entryName.rfind(os::kPathSeparator);
    return separator != std::string::npos && entryName.compare(separator + 1, std::string::npos, VariableOfEntry(entryName)) != 0;
}

bool EntryMatches(const Entry& entry, const std::string& var) {
    return entry.name == var || (!IsPartEntry(entry.name) && VariableOfEntry(entry.name) == var);
}

std::string FormatFileTime(int fileTime) {
    if (fileTime == 0) return "";
#if defined(_WIN32)
    // Windows hosts read FileTime as the packed DOS date and time (local):
    // years since 1980 in bits 25-31, then month, day, hours, minutes and
    // seconds / 2.
    const uint32_t dos = static_cast<uint32_t>(fileTime);
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (dos >> 25), (dos >> 21) & 15u,
                  (dos >> 16) & 31u, (dos >> 11) & 31u, (dos >> 5) & 63u, (dos & 31u) * 2);
    return text;
#else
    // Double Commander on Linux reads FileTime as Unix time shown in local time.
    const time_t seconds = static_cast<time_t>(fileTime);
    std::tm local{};
    if (!os::ToLocalTime(seconds, &local)) return "";
    char text[32];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) return "";
    return text;
#endif
}

std::string FormatMode(int fileAttr) {
#if defined(_WIN32)
    // Windows hosts read FileAttr as attribute bits; shown as the mode the
    // Linux build reports for the same entry (0x10 directory, 0x01 read-only).
    const unsigned attributes = static_cast<unsigned>(fileAttr);
    const unsigned mode = ((attributes & 0x10u) != 0 ? 0040755u : 0100644u) & ~((attributes & 0x01u) != 0 ? 0222u : 0u);
#else
    const unsigned mode = static_cast<unsigned>(fileAttr);
#endif
    std::string text;
    switch (mode & 0170000u) {
    case 0040000u: text = "d"; break;
    case 0120000u: text = "l"; break;
    case 0100000u: text = "-"; break;
    default: text = "?"; break;
    }
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400u >> bit)) != 0 ? letters[bit] : '-';
    }
    return text;
}

}  // namespace matwcx

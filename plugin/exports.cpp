// The exports, and Double Commander's two extension entry points. Each
// passes its arguments to one working operation and returns that operation's
// result unchanged; paths and names go down in UTF-8, whether the host passed
// them in its 8-bit form or in UTF-16 (the "W" calls). No exception may reach
// the host: the working operations do not throw, and any that escapes from
// the standard library (out of memory) is turned into the operation's failure
// result here.
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "about/about_dialog.h"
#include "modify/add_variables.h"
#include "modify/delete_variables.h"
#include "host/host_extension.h"
#include "os/text_encoding.h"
#include "plugin/archive_slots.h"
#include "reader/archive.h"
#include "settings/plugin_settings.h"
#include "wcx/plugin_api.h"

namespace {
// PK_CAPS_NEW | MODIFY | MULTIPLE | DELETE | OPTIONS | BY_CONTENT | HIDE
constexpr int kPackerCaps = PK_CAPS_NEW | PK_CAPS_MODIFY | PK_CAPS_MULTIPLE | PK_CAPS_DELETE |
                            PK_CAPS_OPTIONS | PK_CAPS_BY_CONTENT | PK_CAPS_HIDE;
static_assert(kPackerCaps == 351);

// Opening, listing, extracting and closing keep all their state in the
// archive's slot, so the host may run them in threads of their own. Packing
// and deletion stay in the host's own thread: both may show a message box
// through the host.
constexpr int kBackgroundUnpack = 1;


// The longest names the records hold.
constexpr size_t kShortNameLength = sizeof(tHeaderData::FileName) - 1;
constexpr size_t kLongNameLength = sizeof(tHeaderDataEx::FileName) - 1;

// A host's UTF-16 string in UTF-8; false when it is ill-formed (a lone
// surrogate can name no file).
bool FromWide(const WCHAR* text, std::string* out) {
    if (text == nullptr) return false;
    std::u16string units;
    for (const WCHAR* p = text; *p != 0; ++p) units += static_cast<char16_t>(*p);
    return platform::Utf16ToUtf8(units.c_str(), out);
}

// A host's 8-bit string in UTF-8 (Windows: from the ANSI code page).
bool FromAnsi(const char* text, std::string* out) { return text != nullptr && platform::HostAnsiToUtf8(text, out); }

// The host's list of NUL-ended names, ended by one more NUL, in UTF-8.
template <typename Char, typename Convert>
bool ListFrom(const Char* list, Convert convert, std::string* out) {
    if (list == nullptr) return false;
    for (const Char* name = list; *name != 0;) {
        std::basic_string<Char> one(name);
        std::string converted;
        if (!convert(one.c_str(), &converted)) return false;
        *out += converted;
        *out += '\0';
        name += one.size() + 1;
    }
    *out += '\0';
    return true;
}

// Copies text with its terminator when it fits `size` units; otherwise
// leaves an empty text (the field is informative only, never cut).
template <typename Char>
void PutText(Char* field, size_t size, const std::u16string& text) {
    field[0] = 0;
    if (text.size() >= size) return;
    for (size_t i = 0; i < text.size(); ++i) field[i] = static_cast<Char>(text[i]);
    field[text.size()] = 0;
}
void PutText(char* field, size_t size, const std::string& text) {
    field[0] = '\0';
    if (text.size() >= size) return;
    std::memcpy(field, text.c_str(), text.size() + 1);
}

// The size fields of ReadHeader are signed 32-bit and hosts read them
// signed: a size that does not fit is shown as the largest one that does.
int ClampedSize(uint64_t size) { return size > INT32_MAX ? INT32_MAX : static_cast<int>(size); }

// Only FileName .. FileAttr (and ArcName, at offset 0 everywhere) are
// written: the rest of each record lies at offsets that differ between hosts.
template <typename Record>
void PutCommonFields(const ListedEntry& entry, Record* header) {
    header->Flags = 0;
    header->FileCRC = 0;
    header->FileTime = entry.fileTime;
    header->UnpVer = 0;
    header->Method = 0;
    header->FileAttr = entry.fileAttr;
}

template <typename Record>
void PutLongSizes(const ListedEntry& entry, Record* header) {
    header->PackSize = static_cast<unsigned>(entry.packSize & 0xFFFFFFFFu);
    header->PackSizeHigh = static_cast<unsigned>(entry.packSize >> 32);
    header->UnpSize = static_cast<unsigned>(entry.unpSize & 0xFFFFFFFFu);
    header->UnpSizeHigh = static_cast<unsigned>(entry.unpSize >> 32);
}

// The archive's name for the 8-bit records, in the host's 8-bit form.
std::string AnsiArchiveName(const Archive& archive) {
    std::string name;
    return platform::Utf8ToHostAnsi(archive.path.c_str(), &name) ? name : std::string();
}

std::u16string Wide(const std::string& text) {
    std::u16string wide;
    return platform::Utf8ToUtf16(text.c_str(), &wide) ? wide : std::u16string();
}

// The walk behind the three header records, which differ in the width of
// their texts and in their size fields (`putSizes`). ArcName is set also when
// the listing stops at a damaged variable, so that the host can name the file.
template <typename Record, typename PutSizes>
int ReadNext(HANDLE hArcData, Record* HeaderData, size_t nameLength, PutSizes putSizes) {
    try {
        Archive* archive = OpenSlotArchive(hArcData);
        if (archive == nullptr) return E_BAD_ARCHIVE;
        if (HeaderData == nullptr) return E_EREAD;
        ListedEntry entry;
        const int result = ListNextVariable(archive, nameLength, &entry);
        constexpr bool kWide = sizeof HeaderData->FileName[0] != 1;
        if (result != E_END_ARCHIVE) {
            if constexpr (kWide) {
                PutText(HeaderData->ArcName, std::size(HeaderData->ArcName), Wide(archive->path));
            } else {
                PutText(HeaderData->ArcName, sizeof HeaderData->ArcName, AnsiArchiveName(*archive));
            }
        }
        if (result != 0) return result;
        // Entry names are ASCII: one unit per character in either width.
        if constexpr (kWide) {
            PutText(HeaderData->FileName, std::size(HeaderData->FileName), Wide(entry.fileName));
        } else {
            PutText(HeaderData->FileName, sizeof HeaderData->FileName, entry.fileName);
        }
        PutCommonFields(entry, HeaderData);
        putSizes(entry, HeaderData);
        return 0;
    } catch (...) {
        return E_EREAD;
    }
}

int OpenResultOf(tOpenArchiveData* data) { return data->OpenResult; }

// ProcessFile with the destination in UTF-8; an ill-formed one names no file.
int Process(HANDLE hArcData, int Operation, const std::string* destPath, const std::string* destName) {
    Archive* archive = OpenSlotArchive(hArcData);
    if (archive == nullptr) return E_BAD_ARCHIVE;
    return ExtractVariable(archive, Operation, destPath != nullptr ? destPath->c_str() : nullptr,
                           destName != nullptr ? destName->c_str() : nullptr);
}

// The record keeps the host's pointers: the working operation sees the
// path in UTF-8 and answers in OpenResult.
template <typename Record, typename Convert>
HANDLE Open(Record* ArchiveData, Convert convert) {
    if (ArchiveData == nullptr) return nullptr;
    try {
        std::string path;
        if (!convert(ArchiveData->ArcName, &path)) {
            ArchiveData->OpenResult = E_EOPEN;
            return nullptr;
        }
        tOpenArchiveData data{};
        data.ArcName = path.data();
        data.OpenMode = ArchiveData->OpenMode;
        HANDLE handle = OpenArchiveSlot(&data);
        ArchiveData->OpenResult = OpenResultOf(&data);
        return handle;
    } catch (...) {
        ArchiveData->OpenResult = E_EOPEN;
        return nullptr;
    }
}

// Progress goes through the callback the host set for the form it calls;
// a host that set only the other form gets it there.
ProgressText HostProgress(bool wide) {
    const tProcessDataProc narrow = ProcessWideDataProc();
    const tProcessDataProcW utf16 = ProcessWideDataProcW();
    if (utf16 != nullptr && (wide || narrow == nullptr)) {
        return [utf16](const char* text, int bytes) {
            std::u16string units = Wide(text);
            std::basic_string<WCHAR> host(units.begin(), units.end());
            return utf16(host.data(), bytes);
        };
    }
    if (narrow != nullptr) {
        return [narrow](const char* text, int bytes) {
            std::string host;
            if (!platform::Utf8ToHostAnsi(text, &host)) host = text;
            return narrow(host.data(), bytes);
        };
    }
    return ProgressText();
}

template <typename Char, typename Convert>
int Delete(const Char* PackedFile, const Char* DeleteList, Convert convert, bool wide) {
    try {
        std::string path, list;
        if (PackedFile == nullptr) return E_EWRITE;
        if (!convert(PackedFile, &path)) return E_EOPEN;
        if (DeleteList == nullptr || !ListFrom(DeleteList, convert, &list)) return E_NO_FILES;
        return DeleteVariables(path.c_str(), list.c_str(), GetPluginSettings().DeleteEnabled != 0, HostProgress(wide));
    } catch (...) {
        return E_EWRITE;
    }
}

// Switched off, packing is refused before any argument is looked at.
template <typename Char, typename Convert>
int Pack(const Char* PackedFile, const Char* SubPath, const Char* SrcPath, const Char* AddList, int Flags,
         Convert convert, bool wide) {
    try {
        const PluginSettings settings = GetPluginSettings();
        if (settings.PackEnabled == 0) return RefusePacking(settings.DeleteEnabled != 0);
        std::string path, subPath, srcPath, list;
        if (PackedFile == nullptr || !convert(PackedFile, &path)) return E_ECREATE;
        if (SubPath != nullptr && !convert(SubPath, &subPath)) return E_ECREATE;
        if (SrcPath != nullptr && !convert(SrcPath, &srcPath)) return E_EOPEN;
        if (AddList == nullptr || !ListFrom(AddList, convert, &list)) return E_NO_FILES;
        return AddVariables(path.c_str(), subPath.c_str(), srcPath.c_str(), list.c_str(), Flags, HostProgress(wide));
    } catch (...) {
        return E_EWRITE;
    }
}

}  // namespace

extern "C" {

WCX_EXPORT HANDLE WCX_CALL OpenArchive(tOpenArchiveData* ArchiveData) { return Open(ArchiveData, FromAnsi); }

WCX_EXPORT HANDLE WCX_CALL OpenArchiveW(tOpenArchiveDataW* ArchiveData) { return Open(ArchiveData, FromWide); }

WCX_EXPORT int WCX_CALL ReadHeader(HANDLE hArcData, tHeaderData* HeaderData) {
    return ReadNext(hArcData, HeaderData, kShortNameLength, [](const ListedEntry& entry, tHeaderData* header) {
        header->PackSize = ClampedSize(entry.packSize);
        header->UnpSize = ClampedSize(entry.unpSize);
    });
}

WCX_EXPORT int WCX_CALL ReadHeaderEx(HANDLE hArcData, tHeaderDataEx* HeaderData) {
    return ReadNext(hArcData, HeaderData, kLongNameLength, PutLongSizes<tHeaderDataEx>);
}

WCX_EXPORT int WCX_CALL ReadHeaderExW(HANDLE hArcData, tHeaderDataExW* HeaderData) {
    return ReadNext(hArcData, HeaderData, kLongNameLength, [](const ListedEntry& entry, tHeaderDataExW* header) {
        PutLongSizes(entry, header);
        // Only a host that said it reads MfileTime has room for it.
        if (platform::GetHostExtension().VersionAPI >= kMfileTimeVersionApi) {
            std::memcpy(reinterpret_cast<unsigned char*>(header) + kMfileTimeOffset, &entry.windowsFileTime,
                        sizeof entry.windowsFileTime);
        }
    });
}

WCX_EXPORT int WCX_CALL ProcessFile(HANDLE hArcData, int Operation, char* DestPath, char* DestName) {
    try {
        std::string path, name;
        if (DestPath != nullptr && !FromAnsi(DestPath, &path)) return E_ECREATE;
        if (DestName != nullptr && !FromAnsi(DestName, &name)) return E_ECREATE;
        return Process(hArcData, Operation, DestPath != nullptr ? &path : nullptr, DestName != nullptr ? &name : nullptr);
    } catch (...) {
        return E_EWRITE;
    }
}

WCX_EXPORT int WCX_CALL ProcessFileW(HANDLE hArcData, int Operation, WCHAR* DestPath, WCHAR* DestName) {
    try {
        std::string path, name;
        if (DestPath != nullptr && !FromWide(DestPath, &path)) return E_ECREATE;
        if (DestName != nullptr && !FromWide(DestName, &name)) return E_ECREATE;
        return Process(hArcData, Operation, DestPath != nullptr ? &path : nullptr, DestName != nullptr ? &name : nullptr);
    } catch (...) {
        return E_EWRITE;
    }
}

WCX_EXPORT int WCX_CALL CloseArchive(HANDLE hArcData) {
    try {
        return CloseArchiveSlot(hArcData);
    } catch (...) {
        return 0;
    }
}

// MAT-files come in one volume: the callback would never be called.
WCX_EXPORT void WCX_CALL SetChangeVolProc(HANDLE, tChangeVolProc) {}

WCX_EXPORT void WCX_CALL SetProcessDataProc(HANDLE hArcData, tProcessDataProc pProcessDataProc) {
    SetSlotProcessDataProc(hArcData, pProcessDataProc);
}

WCX_EXPORT void WCX_CALL SetChangeVolProcW(HANDLE, tChangeVolProcW) {}

WCX_EXPORT void WCX_CALL SetProcessDataProcW(HANDLE hArcData, tProcessDataProcW pProcessDataProc) {
    SetSlotProcessDataProcW(hArcData, pProcessDataProc);
}

WCX_EXPORT int WCX_CALL GetPackerCaps() { return kPackerCaps; }

WCX_EXPORT int WCX_CALL PackFiles(char* PackedFile, char* SubPath, char* SrcPath, char* AddList, int Flags) {
    return Pack(PackedFile, SubPath, SrcPath, AddList, Flags, FromAnsi, false);
}

WCX_EXPORT int WCX_CALL PackFilesW(WCHAR* PackedFile, WCHAR* SubPath, WCHAR* SrcPath, WCHAR* AddList, int Flags) {
    return Pack(PackedFile, SubPath, SrcPath, AddList, Flags, FromWide, true);
}

WCX_EXPORT int WCX_CALL DeleteFiles(char* PackedFile, char* DeleteList) {
    return Delete(PackedFile, DeleteList, FromAnsi, false);
}

WCX_EXPORT int WCX_CALL DeleteFilesW(WCHAR* PackedFile, WCHAR* DeleteList) {
    return Delete(PackedFile, DeleteList, FromWide, true);
}

WCX_EXPORT void WCX_CALL ConfigurePacker(HWND Parent, HINSTANCE DllInstance) {
    try {
        ShowAboutDialog(Parent, DllInstance);
    } catch (...) {
    }
}

WCX_EXPORT int WCX_CALL CanYouHandleThisFile(char* FileName) {
    try {
        std::string path;
        return FromAnsi(FileName, &path) ? CanHandleFile(path.c_str()) : 0;
    } catch (...) {
        return 0;
    }
}

WCX_EXPORT int WCX_CALL CanYouHandleThisFileW(WCHAR* FileName) {
    try {
        std::string path;
        return FromWide(FileName, &path) ? CanHandleFile(path.c_str()) : 0;
    } catch (...) {
        return 0;
    }
}

WCX_EXPORT void WCX_CALL PackSetDefaultParams(PackDefaultParamStruct* dps) {
    try {
        if (dps == nullptr) return LoadPluginSettings(dps);
        // The settings file's name in UTF-8; one that does not fit the record
        // then is no name (the settings stay at their defaults, unsaved).
        PackDefaultParamStruct params = *dps;
        std::string name;
        const bool terminated = std::memchr(dps->DefaultIniName, '\0', sizeof dps->DefaultIniName) != nullptr;
        if (terminated && FromAnsi(dps->DefaultIniName, &name) && name.size() < sizeof params.DefaultIniName) {
            std::memcpy(params.DefaultIniName, name.c_str(), name.size() + 1);
        } else if (terminated) {
            params.DefaultIniName[0] = '\0';
        }
        LoadPluginSettings(&params);
    } catch (...) {
    }
}

WCX_EXPORT int WCX_CALL GetBackgroundFlags() { return kBackgroundUnpack; }

// The record is the caller's local: only copies of its function pointers are kept.
WCX_EXPORT void WCX_CALL ExtensionInitialize(tExtensionStartupInfo* StartupInfo) {
    try {
        platform::AdoptHostExtension(StartupInfo);
    } catch (...) {
    }
}

WCX_EXPORT void WCX_CALL ExtensionFinalize(void*) {
    try {
        platform::ForgetHostExtension();
    } catch (...) {
    }
}

// Not a WCX call: matwcx's own, which the `matwcx` command calls between
// ReadHeader and ProcessFile to take a part of the entry's variable by its
// MATLAB path. Both texts are UTF-8, cut nowhere: a text longer than its
// room is not given (the call still answers).
WCX_EXPORT int WCX_CALL SelectEntryPart(HANDLE hArcData, const char* Path, char* Name, int NameSize, char* Reason,
                                        int ReasonSize) {
    try {
        Archive* archive = OpenSlotArchive(hArcData);
        if (archive == nullptr) return E_BAD_ARCHIVE;
        if (Path == nullptr) return E_BAD_DATA;
        std::string name, reason;
        const int result = ChoosePart(archive, Path, &name, &reason);
        const auto give = [](const std::string& text, char* to, int size) {
            if (to == nullptr || size <= 0) return;
            to[0] = '\0';
            if (text.size() < static_cast<size_t>(size)) std::memcpy(to, text.c_str(), text.size() + 1);
        };
        give(name, Name, NameSize);
        give(reason, Reason, ReasonSize);
        return result;
    } catch (...) {
        return E_NO_MEMORY;
    }
}

}  // extern "C"

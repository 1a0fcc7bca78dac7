// The thirteen exports, and Double Commander's two extension entry points. Each passes its arguments unchanged to one working
// operation and returns that operation's result unchanged. No exception may
// reach the host: the working operations do not throw, and any that escapes
// from the standard library (out of memory) is turned into the operation's
// failure result here.
#include <new>

#include "about/about_dialog.h"
#include "modify/delete_variables.h"
#include "platform/host_extension.h"
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
// and deletion stay in the host's own thread: deletion may show a message
// box through the host.
constexpr int kBackgroundUnpack = 1;
}  // namespace

extern "C" {

WCX_EXPORT HANDLE WCX_CALL OpenArchive(tOpenArchiveData* ArchiveData) {
    try {
        return OpenArchiveSlot(ArchiveData);
    } catch (...) {
        if (ArchiveData != nullptr) ArchiveData->OpenResult = E_EOPEN;
        return nullptr;
    }
}

WCX_EXPORT int WCX_CALL ReadHeader(HANDLE hArcData, tHeaderData* HeaderData) {
    try {
        Archive* archive = OpenSlotArchive(hArcData);
        if (archive == nullptr) return E_BAD_ARCHIVE;
        return ListNextVariable(archive, HeaderData);
    } catch (...) {
        return E_EREAD;
    }
}

WCX_EXPORT int WCX_CALL ProcessFile(HANDLE hArcData, int Operation, char* DestPath, char* DestName) {
    try {
        Archive* archive = OpenSlotArchive(hArcData);
        if (archive == nullptr) return E_BAD_ARCHIVE;
        return ExtractVariable(archive, Operation, DestPath, DestName);
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

WCX_EXPORT int WCX_CALL GetPackerCaps() { return kPackerCaps; }

WCX_EXPORT int WCX_CALL PackFiles(char*, char*, char*, char*, int) {
    try {
        return RefusePacking();
    } catch (...) {
        return E_NOT_SUPPORTED;
    }
}

WCX_EXPORT int WCX_CALL DeleteFiles(char* PackedFile, char* DeleteList) {
    try {
        return DeleteVariables(PackedFile, DeleteList, GetPluginSettings().DeleteEnabled != 0,
                               ProcessWideDataProc());
    } catch (...) {
        return E_EWRITE;
    }
}

WCX_EXPORT void WCX_CALL ConfigurePacker(HWND Parent, HINSTANCE DllInstance) {
    try {
        ShowAboutDialog(Parent, DllInstance);
    } catch (...) {
    }
}

WCX_EXPORT int WCX_CALL CanYouHandleThisFile(char* FileName) {
    try {
        return CanHandleFile(FileName);
    } catch (...) {
        return 0;
    }
}

WCX_EXPORT void WCX_CALL PackSetDefaultParams(PackDefaultParamStruct* dps) {
    try {
        LoadPluginSettings(dps);
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

}  // extern "C"

// Double Commander's extension interface: the record that the host hands to
// ExtensionInitialize, the dialog and message-box functions in it and their
// message numbers. The record is the caller's local variable, so the plug-in
// keeps copies of the function pointers it uses, never the record's address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wcx/plugin_api.h"   // WCX_CALL

namespace wcx {

// Dialog procedure of a form: pDlg is the host's form, itemName the control
// (the form's own name for DN_INITDIALOG). The host ignores the result.
using HostDlgProc = intptr_t(WCX_CALL*)(uintptr_t pDlg, char* itemName, intptr_t msg, intptr_t wParam,
                                                intptr_t lParam);
// Shows the Lazarus form text (dataSize bytes) modally; non-zero (-1) when it
// closed with the modal result OK.
using HostDialogBoxLfmFn = int(WCX_CALL*)(intptr_t lfmData, unsigned long dataSize, HostDlgProc proc);
using HostSendDlgMsgFn = intptr_t(WCX_CALL*)(uintptr_t pDlg, char* itemName, intptr_t msg, intptr_t wParam,
                                                     intptr_t lParam);
// Double Commander's MessageBox: MB_* style flags as on Windows; returns the
// button pressed (ID_OK = 1 ...).
using HostMessageBoxFn = int(WCX_CALL*)(char* text, char* caption, long flags);
// Members the plug-in never calls, typed only for the layout.
using HostFunction = void*;

// Messages to the form (SendDlgMsg) and events from it (the procedure).
constexpr intptr_t DM_CLOSE = 1;     // wParam: the modal result to set
constexpr intptr_t DM_ENABLE = 2;    // wParam 0/1 sets, -1 asks
constexpr intptr_t DM_SETTEXT = 12;   // wParam: the text (char*)
constexpr intptr_t DM_GETCHECK = 16; // 0 clear, 1 checked, 2 grayed
constexpr intptr_t DM_SETCHECK = 17;
constexpr intptr_t DM_LISTGETITEMINDEX = 19;   // a list's chosen item, -1 none
constexpr intptr_t DM_LISTSETITEMINDEX = 20;   // wParam: the item to choose
constexpr intptr_t DN_CLICK = 0x1001;
constexpr intptr_t DN_DBLCLICK = 0x1002;
constexpr intptr_t DN_CHANGE = 0x1003;   // check box: wParam = checked; list: the chosen item
constexpr intptr_t DN_GOTFOCUS = 0x1004;
constexpr intptr_t DN_INITDIALOG = 0x1005;
constexpr intptr_t DN_KILLFOCUS = 0x1006;
constexpr intptr_t kModalResultOk = 1;       // mrOK
constexpr intptr_t kModalResultCancel = 2;   // mrCancel

constexpr size_t kHostPathSize = 16384;

}  // namespace wcx

// The host's record, packed as its Pascal declaration. Fields after
// SendDlgMsg exist from version 1.1 (Translation, TranslateString) and 1.2
// (VersionAPI and on); in 1.0 their place is zero-filled reserve. Two members
// carry a suffix because windows.h defines their names as macros.
#pragma pack(push, 1)
struct tExtensionStartupInfo {
    uint32_t StructSize;
    char PluginDir[wcx::kHostPathSize];       // UTF-8, with a trailing separator
    char PluginConfDir[wcx::kHostPathSize];
    wcx::HostFunction InputBox;
    wcx::HostMessageBoxFn MessageBoxFunc;
    wcx::HostDialogBoxLfmFn DialogBoxLFM;
    wcx::HostFunction DialogBoxLRS;
    wcx::HostFunction DialogBoxLFMFile;
    wcx::HostSendDlgMsgFn SendDlgMsg;
    void* Translation;
    wcx::HostFunction TranslateString;
    uintptr_t VersionAPI;                // 0 before 1.2
    wcx::HostFunction MsgChoiceBox;
    wcx::HostFunction DialogBoxParamFunc;
    wcx::HostFunction SetProperty;
    wcx::HostFunction GetProperty;
    wcx::HostFunction CreateComponent;
    char LanguageID[16];
    uint8_t Reserved[4086 * sizeof(void*)];
};
#pragma pack(pop)

#if UINTPTR_MAX == UINT64_MAX
static_assert(offsetof(tExtensionStartupInfo, PluginConfDir) == 16388);
static_assert(offsetof(tExtensionStartupInfo, InputBox) == 32772);
static_assert(offsetof(tExtensionStartupInfo, MessageBoxFunc) == 32780);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxLFM) == 32788);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxLRS) == 32796);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxLFMFile) == 32804);
static_assert(offsetof(tExtensionStartupInfo, SendDlgMsg) == 32812);
static_assert(offsetof(tExtensionStartupInfo, Translation) == 32820);
static_assert(offsetof(tExtensionStartupInfo, VersionAPI) == 32836);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxParamFunc) == 32852);
static_assert(offsetof(tExtensionStartupInfo, CreateComponent) == 32876);
static_assert(offsetof(tExtensionStartupInfo, LanguageID) == 32884);
static_assert(offsetof(tExtensionStartupInfo, Reserved) == 32900);
static_assert(sizeof(tExtensionStartupInfo) == 65588);
#else
static_assert(offsetof(tExtensionStartupInfo, PluginConfDir) == 16388);
static_assert(offsetof(tExtensionStartupInfo, InputBox) == 32772);
static_assert(offsetof(tExtensionStartupInfo, MessageBoxFunc) == 32776);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxLFM) == 32780);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxLRS) == 32784);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxLFMFile) == 32788);
static_assert(offsetof(tExtensionStartupInfo, SendDlgMsg) == 32792);
static_assert(offsetof(tExtensionStartupInfo, Translation) == 32796);
static_assert(offsetof(tExtensionStartupInfo, VersionAPI) == 32804);
static_assert(offsetof(tExtensionStartupInfo, DialogBoxParamFunc) == 32812);
static_assert(offsetof(tExtensionStartupInfo, CreateComponent) == 32824);
static_assert(offsetof(tExtensionStartupInfo, LanguageID) == 32828);
static_assert(offsetof(tExtensionStartupInfo, Reserved) == 32844);
static_assert(sizeof(tExtensionStartupInfo) == 49188);
#endif


#include "host/replace_question.h"

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "host/message_box.h"
#include "os/win32/wide_path.h"

namespace platform {

namespace {

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// Without an owner window the dialog could open behind the file manager:
// it stays on top, as the message box it replaces does (MB_SYSTEMMODAL).
HRESULT CALLBACK KeepOnTop(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR) {
    if (notification == TDN_CREATED) ::SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    return S_OK;
}

}  // namespace

// Total Commander hands no dialog over: Windows' task dialog, from comctl32
// version 6. A host without the manifest that asks for that version gets
// version 5, which has none; the message box asks then.
bool ShowSystemReplaceDialog(const char* text, int* button) {
    HMODULE comctl = ::LoadLibraryW(L"comctl32.dll");
    if (comctl == nullptr) return false;
    const auto show =
        reinterpret_cast<TaskDialogIndirectFn>(reinterpret_cast<void*>(::GetProcAddress(comctl, "TaskDialogIndirect")));
    bool shown = false;
    if (show != nullptr) {
        const std::wstring content = WideText(text);
        const TASKDIALOG_BUTTON buttons[] = {{kMessageBoxIdYes, L"&Yes"},
                                             {kMessageBoxIdNo, L"&No"},
                                             {kButtonYesToAll, L"Yes to &All"},
                                             {kMessageBoxIdCancel, L"Cancel"}};
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;   // Esc and the close box answer Cancel
        config.pszWindowTitle = L"Replace variable?";
        config.pszMainIcon = TD_WARNING_ICON;
        config.pszContent = content.c_str();
        config.cButtons = sizeof buttons / sizeof buttons[0];
        config.pButtons = buttons;
        config.nDefaultButton = kMessageBoxIdNo;
        config.pfCallback = KeepOnTop;
        int pressed = kMessageBoxIdCancel;
        shown = SUCCEEDED(show(&config, &pressed, nullptr, nullptr));
        if (shown) *button = pressed;
    }
    ::FreeLibrary(comctl);
    return shown;
}

}  // namespace platform

// The About and Options dialog on Windows: template 101 of the plug-in's own
// resources, its messages forwarded to the dialog's logic through a surface
// of real window calls.
#if defined(_WIN32)

#include <windows.h>

#include "os/open_link.h"
#include "about/about_dialog.h"
#include "about/about_dialog_logic.h"

namespace {

using namespace about_dialog;

// The module the host passed to ConfigurePacker: the hand cursor's resource.
HINSTANCE PluginInstance = nullptr;

class Win32Surface : public DialogSurface {
public:
    Win32Surface(HWND dialog, HDC colourDc) : dialog_(dialog), colourDc_(colourDc) {}

    bool IsChecked(int id) override { return ::IsDlgButtonChecked(dialog_, id) == BST_CHECKED; }
    void SetChecked(int id, bool checked) override {
        ::CheckDlgButton(dialog_, id, checked ? BST_CHECKED : BST_UNCHECKED);
    }
    void EnableControl(int id, bool enabled) override { ::EnableWindow(::GetDlgItem(dialog_, id), enabled); }
    bool GetRect(Window window, WindowRect* out) override {
        const HWND handle = window == Window::kDialog ? dialog_ : ::GetParent(dialog_);
        RECT rect;
        if (handle == nullptr || !::GetWindowRect(handle, &rect)) return false;
        *out = {rect.left, rect.top, rect.right, rect.bottom};
        return true;
    }
    int MoveWindowTo(Window, int32_t x, int32_t y) override {
        return ::SetWindowPos(dialog_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    CursorHandle LoadSystemHandCursor() override { return ::LoadCursor(nullptr, IDC_HAND); }
    CursorHandle LoadCursorResource(int id) override {
        return ::LoadCursor(PluginInstance, MAKEINTRESOURCE(id));
    }
    bool SetClassCursor(int id, CursorHandle cursor, CursorHandle* previous) override {
        const HWND control = ::GetDlgItem(dialog_, id);
        if (control == nullptr) return false;
        ::SetLastError(0);
        const ULONG_PTR old = ::SetClassLongPtr(control, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(cursor));
        if (old == 0 && ::GetLastError() != 0) return false;
        *previous = reinterpret_cast<CursorHandle>(old);
        return true;
    }
    void DestroyCursor(CursorHandle cursor) override { ::DestroyCursor(static_cast<HCURSOR>(cursor)); }
    void OpenWithShell(const char* target) override { platform::OpenLink(target, ::GetParent(dialog_)); }
    intptr_t ColourStaticText(TextColour colour) override {
        ::SetBkMode(colourDc_, TRANSPARENT);
        ::SetTextColor(colourDc_, RGB(colour.red, colour.green, colour.blue));
        return reinterpret_cast<intptr_t>(::GetStockObject(NULL_BRUSH));
    }
    void EndDialog() override { ::EndDialog(dialog_, 0); }

private:
    HWND dialog_;
    HDC colourDc_;   // the device context of WM_CTLCOLORSTATIC, else null
};

}  // namespace

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        DialogMessage forwarded{MessageKind::kOther, 0, 0};
        HDC colourDc = nullptr;
        switch (message) {
            case WM_INITDIALOG:
                forwarded.kind = MessageKind::kInitDialog;
                break;
            case WM_COMMAND:
                forwarded = {MessageKind::kCommand, LOWORD(wParam), HIWORD(wParam)};
                break;
            case WM_CLOSE:
                forwarded.kind = MessageKind::kClose;
                break;
            case WM_CTLCOLORSTATIC:
                colourDc = reinterpret_cast<HDC>(wParam);
                forwarded = {MessageKind::kControlColour, ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam)), 0};
                break;
            default:
                return FALSE;
        }
        Win32Surface surface(dialog, colourDc);
        return static_cast<INT_PTR>(HandleAboutDialogMessage(surface, forwarded));
    } catch (...) {
        return FALSE;
    }
}

void ShowAboutDialogWin32(HWND parent, HINSTANCE dllInstance) {
    PluginInstance = dllInstance;
    ::DialogBoxParamA(dllInstance, MAKEINTRESOURCEA(kDialogTemplateId), parent, AboutDialogProc, 0);
}

#endif  // _WIN32

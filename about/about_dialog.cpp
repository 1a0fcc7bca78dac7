#include "about/about_dialog.h"

#include "about/about_dialog_lfm.h"

void ShowAboutDialog(HWND parent, HINSTANCE dllInstance) {
    if (about_dialog::ShowAboutForm()) return;
#if defined(_WIN32)
    ShowAboutDialogWin32(parent, dllInstance);
#else
    (void)parent;
    (void)dllInstance;
#endif
}

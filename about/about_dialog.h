// The combined About and Options dialog behind ConfigurePacker.
#pragma once

#include "wcx/plugin_api.h"

// Double Commander's form when the host handed its dialog functions over
// (ExtensionInitialize), otherwise the Windows dialog. Elsewhere, without the
// host's functions, there is nothing to show it with and nothing happens: the
// Parent that Double Commander passes on Linux is no window to draw on.
void ShowAboutDialog(HWND parent, HINSTANCE dllInstance);

#if defined(_WIN32)
// Dialog template 101 of dllInstance, run modally over parent.
void ShowAboutDialogWin32(HWND parent, HINSTANCE dllInstance);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
#endif

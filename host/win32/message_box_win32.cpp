#include "host/message_box.h"

#include <windows.h>

#include "os/win32/wide_path.h"

namespace platform {

bool SystemShowsMessageBoxes() { return true; }

// Total Commander hands no box over: the system's, without an owner window.
int ShowSystemMessageBox(const char* text, const char* caption, unsigned style) {
    return ::MessageBoxW(nullptr, WideText(text).c_str(), WideText(caption).c_str(), static_cast<UINT>(style));
}

}  // namespace platform

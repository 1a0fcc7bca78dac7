#include "platform/message_box.h"

#include <windows.h>

namespace platform {

namespace {
HostMessageBoxFn gHostMessageBox = nullptr;
}  // namespace

// Kept for Double Commander on Windows, which hands its function over too; the
// system's own box is what both hosts show there.
void SetHostMessageBox(HostMessageBoxFn function) { gHostMessageBox = function; }

HostMessageBoxFn GetHostMessageBox() { return gHostMessageBox; }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    return ::MessageBoxA(nullptr, text != nullptr ? text : "", caption != nullptr ? caption : "",
                         static_cast<UINT>(style));
}

}  // namespace platform

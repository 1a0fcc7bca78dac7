#include "platform/message_box.h"

#include <windows.h>

namespace platform {

// Total Commander hands no box over: the system's, without an owner window.
int ShowSystemMessageBox(const char* text, const char* caption, unsigned style) {
    return ::MessageBoxA(nullptr, text, caption, static_cast<UINT>(style));
}

}  // namespace platform

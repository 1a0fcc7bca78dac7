#include "os/open_link.h"

#include <windows.h>
#include <shellapi.h>

namespace platform {

bool OpenLink(const char* target, void* owner) {
    if (target == nullptr || target[0] == '\0') return false;
    const HINSTANCE result =
        ::ShellExecuteA(static_cast<HWND>(owner), "open", target, nullptr, nullptr, SW_SHOW);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace platform

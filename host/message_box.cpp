#include "host/message_box.h"

#include <cstdio>
#include <string>

#include "wcx/plugin_api.h"

namespace platform {

namespace {
wcx::HostMessageBoxFn gHostMessageBox = nullptr;

}  // namespace

int RefusalCode(int code) {
    return gHostMessageBox != nullptr || SystemShowsMessageBoxes() ? E_EABORTED : code;
}

void SetHostMessageBox(wcx::HostMessageBoxFn function) { gHostMessageBox = function; }

// Double Commander hands its own box over (on every system); it is shown in
// the host's style and owned by its window. Otherwise the system's box.
int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (text == nullptr) text = "";
    if (caption == nullptr) caption = "";
    if (const wcx::HostMessageBoxFn show = gHostMessageBox; show != nullptr) {
        // The host's function takes writable texts; ours are constants.
        std::string textCopy = text, captionCopy = caption;
        return show(textCopy.data(), captionCopy.data(), static_cast<long>(style));
    }
    return ShowSystemMessageBox(text, caption, style);
}

}  // namespace platform

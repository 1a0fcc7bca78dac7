#include "platform/message_box.h"

#include <cstdio>

namespace platform {

namespace {
wcx::HostMessageBoxFn gHostMessageBox = nullptr;

// The host's function takes writable texts; ours are constants, so they are
// copied first. The box texts are short, so the buffer never cuts them.
constexpr size_t kBoxTextSize = 1024;
}  // namespace

void SetHostMessageBox(wcx::HostMessageBoxFn function) { gHostMessageBox = function; }

// Double Commander hands its own box over (on every system); it is shown in
// the host's style and owned by its window. Otherwise the system's box.
int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (text == nullptr) text = "";
    if (caption == nullptr) caption = "";
    if (const wcx::HostMessageBoxFn show = gHostMessageBox; show != nullptr) {
        char textCopy[kBoxTextSize];
        char captionCopy[kBoxTextSize];
        std::snprintf(textCopy, sizeof textCopy, "%s", text);
        std::snprintf(captionCopy, sizeof captionCopy, "%s", caption);
        return show(textCopy, captionCopy, static_cast<long>(style));
    }
    return ShowSystemMessageBox(text, caption, style);
}

}  // namespace platform

#include "platform/message_box.h"

#include <cstdio>

namespace platform {

namespace {
HostMessageBoxFn gHostMessageBox = nullptr;

// The host's function takes writable texts; ours are constants, so they are
// copied first. The box texts are short, so the buffer never cuts them.
constexpr size_t kBoxTextSize = 1024;
}  // namespace

void SetHostMessageBox(HostMessageBoxFn function) { gHostMessageBox = function; }

HostMessageBoxFn GetHostMessageBox() { return gHostMessageBox; }

int ShowMessageBox(const char* text, const char* caption, unsigned style) {
    if (text == nullptr) text = "";
    if (caption == nullptr) caption = "";
    if (const HostMessageBoxFn show = gHostMessageBox; show != nullptr) {
        char textCopy[kBoxTextSize];
        char captionCopy[kBoxTextSize];
        std::snprintf(textCopy, sizeof textCopy, "%s", text);
        std::snprintf(captionCopy, sizeof captionCopy, "%s", caption);
        return show(textCopy, captionCopy, static_cast<long>(style));
    }
    // No host box (Total Commander does not exist here, and a host other than
    // Double Commander hands none over): the user can still read it on stderr.
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    return kMessageBoxIdOk;
}

}  // namespace platform

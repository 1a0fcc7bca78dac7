#include "host/message_box.h"

#include <cstdio>

namespace platform {

// No system box here (a host other than Double Commander hands none over):
// the user can still read it on standard error.
bool SystemShowsMessageBoxes() { return false; }

int ShowSystemMessageBox(const char* text, const char* caption, unsigned) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    return kMessageBoxIdOk;
}

}  // namespace platform

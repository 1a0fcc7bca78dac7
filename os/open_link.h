// Opens a link (a web address or a mailto: target) with the desktop's handler,
// as the shell's "open" verb does on Windows. The call does not wait for the
// handler; failures are not reported beyond the result.
#pragma once

namespace platform {

// owner: the window that owns any window the shell shows (Windows only; may
// be null). False when no handler could be started.
bool OpenLink(const char* target, void* owner);

}  // namespace platform

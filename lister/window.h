// The lister's window on one platform (Qt on Linux, Win32 on Windows): what
// the exports ask of it. Each function is called on the host's GUI thread.
#pragma once

#include <memory>
#include <string>

#include "lister/document.h"

namespace lister {

// The window showing `document`, made a child of the host's `parent`; null
// when this process has no toolkit the window can live in (the host then
// shows the file itself).
void* CreateListerWindow(void* parent, std::unique_ptr<Document> document, int showFlags);
// Shows another file in the same window.
void ShowInWindow(void* window, std::unique_ptr<Document> document, int showFlags);
void DestroyListerWindow(void* window);
// Finds `text` in the text view from the selection on (or from the start
// with lcs_findfirst) and selects it: false when it is not found.
bool FindInWindow(void* window, const std::string& text, int searchFlags);
// lc_copy, lc_selectall, lc_newparams: false for what the window does not do.
bool CommandWindow(void* window, int command, int parameter);

}  // namespace lister

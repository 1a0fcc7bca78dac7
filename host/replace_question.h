// The question before a variable of the target is replaced by one of
// another file: in Double Commander's own dialog (Yes, No, Yes to All,
// Cancel) from 1.2 on, else in a Yes / No / Cancel message box (Windows' or
// the host's), else nobody can be asked.
#pragma once

namespace platform {

enum class ReplaceAnswer { Yes, No, All, Cancel, NobodyToAsk };

// No is the default button; closing the dialog is Cancel.
ReplaceAnswer AskToReplace(const char* text);

}  // namespace platform

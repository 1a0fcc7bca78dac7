// The question before a variable of the target is replaced by one of
// another file: in Double Commander's own dialog (Yes, No, Yes to All,
// Cancel) from 1.2 on; else, where the host hands over no message box
// (Total Commander), in Windows' task dialog with the same four buttons;
// else in a Yes / No / Cancel message box (the host's, or Windows' without
// the task dialog); else nobody can be asked.
#pragma once

namespace platform {

enum class ReplaceAnswer { Yes, No, All, Cancel, NobodyToAsk };

// No is the default button; closing the dialog is Cancel.
ReplaceAnswer AskToReplace(const char* text);

// The answer a button of the system's question stands for: Windows' IDYES
// and IDNO (kMessageBoxIdYes, kMessageBoxIdNo), the task dialog's own Yes to
// All; any other id (IDCANCEL, the box closed) is Cancel.
constexpr int kButtonYesToAll = 101;
ReplaceAnswer AnswerOfButton(int button);

// The question in the system's own dialog with Yes, No, Yes to All and
// Cancel (Windows' task dialog); false when there is none, and nothing was
// shown (elsewhere; a Windows without comctl32 version 6). Each system's own
// (host/posix, host/win32).
bool ShowSystemReplaceDialog(const char* text, int* button);

}  // namespace platform

#include "host/replace_question.h"

#include <string>

#include "host/host_extension.h"
#include "host/message_box.h"

namespace platform {

namespace {

// Controls of Double Commander 1.0's dialog interface only; the buttons sit
// below the text however many lines it takes.
constexpr char kForm[] = R"(object DialogBox: TDialogBox
  Left = 300
  Top = 200
  AutoSize = True
  BorderStyle = bsDialog
  Caption = 'Replace variable?'
  ChildSizing.LeftRightSpacing = 12
  ChildSizing.TopBottomSpacing = 12
  OnShow = DialogBoxShow
  Position = poScreenCenter
  object lblQuestion: TLabel
    Left = 12
    Top = 12
    Width = 420
    AutoSize = True
    Caption = ' '
    WordWrap = True
  end
  object btnYes: TButton
    AnchorSideTop.Control = lblQuestion
    AnchorSideTop.Side = asrBottom
    Left = 12
    Width = 96
    BorderSpacing.Top = 16
    Caption = '&Yes'
    OnClick = ButtonClick
  end
  object btnNo: TButton
    AnchorSideTop.Control = btnYes
    Left = 120
    Width = 96
    Caption = '&No'
    Default = True
    OnClick = ButtonClick
  end
  object btnAll: TButton
    AnchorSideTop.Control = btnYes
    Left = 228
    Width = 96
    Caption = 'Yes to &All'
    OnClick = ButtonClick
  end
  object btnCancel: TButton
    AnchorSideTop.Control = btnYes
    Left = 336
    Width = 96
    Cancel = True
    Caption = 'Cancel'
    OnClick = ButtonClick
  end
end
)";

// The dialog's state while it is shown (packing runs in one thread at a time).
thread_local const char* tQuestion = nullptr;
thread_local ReplaceAnswer tAnswer = ReplaceAnswer::Cancel;
thread_local wcx::HostSendDlgMsgFn tSend = nullptr;

intptr_t WCX_CALL QuestionProc(uintptr_t dialog, char* item, intptr_t message, intptr_t, intptr_t) {
    const std::string name = item != nullptr ? item : "";
    if (message == wcx::DN_INITDIALOG) {
        std::string label = "lblQuestion", text = tQuestion;
        tSend(dialog, label.data(), wcx::DM_SETTEXT, reinterpret_cast<intptr_t>(text.data()), 0);
        return 0;
    }
    if (message != wcx::DN_CLICK) return 0;
    if (name == "btnYes") tAnswer = ReplaceAnswer::Yes;
    else if (name == "btnNo") tAnswer = ReplaceAnswer::No;
    else if (name == "btnAll") tAnswer = ReplaceAnswer::All;
    else if (name == "btnCancel") tAnswer = ReplaceAnswer::Cancel;
    else return 0;
    std::string button = name;
    tSend(dialog, button.data(), wcx::DM_CLOSE, wcx::kModalResultCancel, 0);
    return 0;
}

}  // namespace

ReplaceAnswer AskToReplace(const char* text) {
    const HostExtension host = GetHostExtension();
    if (host.DialogBoxLFM != nullptr && host.SendDlgMsg != nullptr) {
        tQuestion = text;
        tAnswer = ReplaceAnswer::Cancel;   // closed without a button
        tSend = host.SendDlgMsg;
        host.DialogBoxLFM(reinterpret_cast<intptr_t>(kForm), sizeof kForm - 1, QuestionProc);
        tQuestion = nullptr;
        return tAnswer;
    }
    if (host.MessageBoxFunc == nullptr && !SystemShowsMessageBoxes()) return ReplaceAnswer::NobodyToAsk;
    const std::string boxText = std::string(text) + "\n\nYes replaces it, No keeps it, Cancel adds nothing.";
    switch (ShowMessageBox(boxText.c_str(), "Replace variable?",
                           kMessageBoxYesNoCancel | kMessageBoxIconWarning | kMessageBoxDefaultSecond |
                               kMessageBoxSystemModal)) {
        case kMessageBoxIdYes: return ReplaceAnswer::Yes;
        case kMessageBoxIdNo: return ReplaceAnswer::No;
        default: return ReplaceAnswer::Cancel;
    }
}

}  // namespace platform

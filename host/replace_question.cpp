#include "host/replace_question.h"

#include <atomic>
#include <mutex>
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

// The question being shown. Double Commander runs the dialog, and so calls
// QuestionProc, on its GUI thread while the packing thread waits in
// DialogBoxLFM: the state is shared between threads, never thread-local, and
// one question is shown at a time (two background copies may ask at once).
std::mutex gAsking;
std::atomic<const char*> gQuestion{nullptr};
std::atomic<ReplaceAnswer> gAnswer{ReplaceAnswer::Cancel};
std::atomic<wcx::HostSendDlgMsgFn> gSend{nullptr};

intptr_t WCX_CALL QuestionProc(uintptr_t dialog, char* item, intptr_t message, intptr_t, intptr_t) {
    const std::string name = item != nullptr ? item : "";
    const wcx::HostSendDlgMsgFn send = gSend.load();
    const char* question = gQuestion.load();
    if (send == nullptr || question == nullptr) return 0;   // no question of ours is open
    if (message == wcx::DN_INITDIALOG) {
        std::string label = "lblQuestion", text = question;
        send(dialog, label.data(), wcx::DM_SETTEXT, reinterpret_cast<intptr_t>(text.data()), 0);
        return 0;
    }
    if (message != wcx::DN_CLICK) return 0;
    if (name == "btnYes") gAnswer = ReplaceAnswer::Yes;
    else if (name == "btnNo") gAnswer = ReplaceAnswer::No;
    else if (name == "btnAll") gAnswer = ReplaceAnswer::All;
    else if (name == "btnCancel") gAnswer = ReplaceAnswer::Cancel;
    else return 0;
    std::string button = name;
    send(dialog, button.data(), wcx::DM_CLOSE, wcx::kModalResultCancel, 0);
    return 0;
}

}  // namespace

ReplaceAnswer AskToReplace(const char* text) {
    const HostExtension host = GetHostExtension();
    // Double Commander 1.0 and 1.1 build a plug-in's form on the calling
    // thread and only show it on the GUI thread: from a copy's background
    // thread that freezes or crashes the file manager (1.0.10 under Xvfb).
    // From 1.2 on (VersionAPI set) the form is built on the GUI thread too.
    // Their message box is safe from any thread.
    if (host.DialogBoxLFM != nullptr && host.SendDlgMsg != nullptr && host.VersionAPI != 0) {
        const std::lock_guard<std::mutex> oneAtATime(gAsking);
        gQuestion = text;
        gAnswer = ReplaceAnswer::Cancel;   // closed without a button
        gSend = host.SendDlgMsg;
        host.DialogBoxLFM(reinterpret_cast<intptr_t>(kForm), sizeof kForm - 1, QuestionProc);
        gQuestion = nullptr;
        gSend = nullptr;
        return gAnswer.load();
    }
    if (host.MessageBoxFunc == nullptr && !SystemShowsMessageBoxes()) return ReplaceAnswer::NobodyToAsk;
    int button = kMessageBoxIdCancel;
    if (host.MessageBoxFunc == nullptr) {
        const std::string dialogText = std::string(text) +
                                       "\n\nYes replaces it, No keeps it, Yes to All replaces it and every other one "
                                       "of this copy, Cancel adds nothing.";
        if (ShowSystemReplaceDialog(dialogText.c_str(), &button)) return AnswerOfButton(button);
    }
    const std::string boxText = std::string(text) + "\n\nYes replaces it, No keeps it, Cancel adds nothing.";
    button = ShowMessageBox(boxText.c_str(), "Replace variable?",
                            kMessageBoxYesNoCancel | kMessageBoxIconWarning | kMessageBoxDefaultSecond |
                                kMessageBoxSystemModal);
    return AnswerOfButton(button);
}

ReplaceAnswer AnswerOfButton(int button) {
    switch (button) {
        case kMessageBoxIdYes: return ReplaceAnswer::Yes;
        case kMessageBoxIdNo: return ReplaceAnswer::No;
        case kButtonYesToAll: return ReplaceAnswer::All;
        default: return ReplaceAnswer::Cancel;
    }
}

}  // namespace platform

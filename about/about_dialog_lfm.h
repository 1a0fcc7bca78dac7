// The About and Options dialog as Double Commander shows it: a Lazarus form
// text handed to the host's DialogBoxLFM, whose events come back to a dialog
// procedure that forwards them to the same logic as the Windows dialog.
#pragma once

#include <string>

namespace about_dialog {

// The form's and the controls' names; the procedure knows the controls by them.
constexpr char kFormName[] = "DialogBox";
constexpr char kOkName[] = "btnOK";
constexpr char kCancelName[] = "btnCancel";
constexpr char kApplyName[] = "btnApply";
constexpr char kStructCellasDirsName[] = "chkStructCellasDirs";
constexpr char kDeleteEnabledName[] = "chkDeleteEnabled";
constexpr char kPackEnabledName[] = "chkPackEnabled";
constexpr char kShowContentsName[] = "chkShowContents";
constexpr char kExtractOwnName[] = "radExtractOwn";
constexpr char kExtract7Name[] = "radExtract7";
constexpr char kExtract73Name[] = "radExtract73";
constexpr char kEmailLinkName[] = "lblEmail";
constexpr char kWebLinkName[] = "lblWeb";
constexpr char kAuthorLineName[] = "lblAuthor";

// The form text (Lazarus LFM). Only controls and event handlers that Double
// Commander 1.0 knows are used, so that 1.0 through 1.2 load it.
std::string AboutFormText();

// Shows the form through the host's functions and returns when it has closed.
// False, without showing anything, when the host handed no form functions over.
bool ShowAboutForm();

}  // namespace about_dialog

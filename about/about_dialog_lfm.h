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
// "Extract as": a drop-down list of the file's own version, version 7 and
// version 7.3, in that order (items 0, 1, 2).
constexpr char kExtractAsName[] = "cmbExtractAs";
constexpr char kEmailLinkName[] = "lblEmail";
constexpr char kWebLinkName[] = "lblWeb";
constexpr char kAuthorLineName[] = "lblAuthor";

// The form text (Lazarus LFM). Only controls and event handlers that Double
// Commander 1.0 knows are used, so that 1.0 through 1.2 load it: the classes
// its dialog functions can create are few (no TRadioButton: "Class not
// found"), and a choice of one among several is a drop-down list.
std::string AboutFormText();

// Shows the form through the host's functions and returns when it has closed.
// False, without showing anything, when the host handed no form functions over.
bool ShowAboutForm();

}  // namespace about_dialog

// What the combined About and Options dialog does, apart from drawing it:
// which box is checked, when Apply is enabled, what is saved, where the dialog
// goes, which links open and how the link cursor lives. Each platform draws
// the dialog and forwards its messages here through a DialogSurface; the
// tests drive it with a surface of their own, without a screen.
#pragma once

#include <cstdint>

#include "about/about_texts.h"
#include "settings/plugin_settings.h"

namespace about_dialog {

// Resource and control ids of the dialog template.
constexpr int kDialogTemplateId = 101;
constexpr int kAboutBitmapId = 104;
constexpr int kHandCursorId = 105;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdEmailLink = 1000;
constexpr int kIdWebLink = 1001;
constexpr int kIdAuthorLine = 1002;
constexpr int kIdStructCellasDirs = 1003;
constexpr int kIdDeleteEnabled = 1004;
constexpr int kIdApply = 1005;
constexpr int kIdShowContents = 1006;
constexpr int kIdPackEnabled = 1007;
// "Extract as": the file's own version, version 7, version 7.3 (radio buttons).
constexpr int kIdExtractOwn = 1008;
constexpr int kIdExtract7 = 1009;
constexpr int kIdExtract73 = 1010;

// The notification code of a click (BN_CLICKED, STN_CLICKED).
constexpr int kClicked = 0;

// The About area's texts (about_texts.h, shared with the resource scripts).
constexpr char kPluginName[] = MATWCX_NAME;
constexpr char kTitle[] = MATWCX_TITLE;   // two lines: the plug-in, then its hosts
constexpr char kAuthorLine[] = MATWCX_AUTHOR_LINE;
constexpr char kEmailAddress[] = MATWCX_EMAIL;
constexpr char kEmailTarget[] = MATWCX_EMAIL_TARGET;
constexpr char kWebAddress[] = MATWCX_WEB;

struct WindowRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

enum class Window { kDialog, kOwner };

struct TextColour {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};

using CursorHandle = void*;

// The platform's side of one open dialog.
class DialogSurface {
public:
    virtual ~DialogSurface() = default;
    virtual bool IsChecked(int controlId) = 0;                      // exactly checked
    virtual void SetChecked(int controlId, bool checked) = 0;
    virtual void EnableControl(int controlId, bool enabled) = 0;
    virtual bool GetRect(Window window, WindowRect* out) = 0;       // screen coordinates
    virtual int MoveWindowTo(Window window, int32_t x, int32_t y) = 0;   // size and Z order kept
    virtual CursorHandle LoadSystemHandCursor() = 0;                // null when the system has none
    virtual CursorHandle LoadCursorResource(int resourceId) = 0;
    // Sets the cursor of the control's window class; previous receives the one it replaces.
    virtual bool SetClassCursor(int controlId, CursorHandle cursor, CursorHandle* previous) = 0;
    virtual void DestroyCursor(CursorHandle cursor) = 0;
    virtual void OpenWithShell(const char* target) = 0;             // verb "open", shown, owned by the dialog's parent
    // Paints the static control of the current colour message transparent
    // with this text colour; returns the hollow brush for the platform.
    virtual intptr_t ColourStaticText(TextColour colour) = 0;
    virtual void EndDialog() = 0;
};

enum class MessageKind { kInitDialog, kCommand, kClose, kControlColour, kOther };

struct DialogMessage {
    MessageKind kind;
    int controlId;      // kCommand: low word of wParam; kControlColour: the control's id
    int notification;   // kCommand: high word of wParam
};

// Handles one message; the result is the dialog procedure's: 1 (handled),
// 0 (not handled), or for kControlColour the brush from ColourStaticText.
intptr_t HandleAboutDialogMessage(DialogSurface& surface, const DialogMessage& message);

// Puts the check boxes' states into the copy, saves it and disables Apply.
void ApplyOptions(DialogSurface& surface, PluginSettings settings);

// Where window goes to stand centred over reference; false when the result
// does not fit 32-bit coordinates.
bool CenteredPosition(const WindowRect& window, const WindowRect& reference, int32_t* x, int32_t* y);

// Moves window centred over reference; the platform's result of the move, or
// 0 when either rectangle cannot be had and nothing was moved.
int CenterWindow(DialogSurface& surface, Window window, Window reference);

}  // namespace about_dialog

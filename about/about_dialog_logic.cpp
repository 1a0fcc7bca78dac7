#include "about/about_dialog_logic.h"

#include <cstdio>
#include <string_view>

#include "host/message_box.h"

namespace about_dialog {
namespace {

// The resource script cannot join literals, so it has the title whole; and the
// mailto target spells the address out again. Both must agree.
static_assert(std::string_view(MATWCX_TITLE) == MATWCX_TITLE_RC);
static_assert(std::string_view(kEmailTarget).starts_with(std::string_view("mailto:" MATWCX_EMAIL "?subject=")));

constexpr unsigned kSaveFailedBoxStyle = platform::kMessageBoxOk | platform::kMessageBoxIconError;

constexpr intptr_t kHandled = 1;
constexpr intptr_t kNotHandled = 0;

// LinkCursor and what it replaced: the cursor shown over the two links,
// loaded when the dialog opens and destroyed when it closes. Setting it is a
// setting of the controls' window class, which every static control of the
// host's process shares; the class gets its own cursor back at closing, so
// that the host's texts do not keep a hand cursor (or a destroyed one).
struct LinkCursorState {
    CursorHandle cursor;
    bool classCursorSet[2];
    CursorHandle previousClassCursor[2];
};
LinkCursorState LinkCursor;

constexpr int kLinkIds[2] = {kIdEmailLink, kIdWebLink};

void LoadLinkCursor(DialogSurface& surface) {
    LinkCursor.cursor = surface.LoadSystemHandCursor();
    if (LinkCursor.cursor == nullptr) LinkCursor.cursor = surface.LoadCursorResource(kHandCursorId);
    if (LinkCursor.cursor == nullptr) return;
    for (int i = 0; i < 2; ++i) {
        LinkCursor.classCursorSet[i] =
            surface.SetClassCursor(kLinkIds[i], LinkCursor.cursor, &LinkCursor.previousClassCursor[i]);
    }
}

// Undone in reverse order: when both links share one class, the second set
// replaced the link cursor itself and the first holds the class's own.
void ReleaseLinkCursor(DialogSurface& surface) {
    for (int i = 1; i >= 0; --i) {
        if (!LinkCursor.classCursorSet[i]) continue;
        CursorHandle ignored = nullptr;
        surface.SetClassCursor(kLinkIds[i], LinkCursor.previousClassCursor[i], &ignored);
    }
    if (LinkCursor.cursor != nullptr) surface.DestroyCursor(LinkCursor.cursor);
    LinkCursor = LinkCursorState{};
}

void CloseDialog(DialogSurface& surface) {
    ReleaseLinkCursor(surface);
    surface.EndDialog();
}

void InitDialog(DialogSurface& surface, const PluginSettings& settings) {
    CenterWindow(surface, Window::kDialog, Window::kOwner);
    ReleaseLinkCursor(surface);   // nothing, unless an earlier dialog never closed
    LoadLinkCursor(surface);
    surface.SetChecked(kIdStructCellasDirs, settings.StructCellasDirs != 0);
    surface.SetChecked(kIdDeleteEnabled, settings.DeleteEnabled != 0);
    surface.SetChecked(kIdPackEnabled, settings.PackEnabled != 0);
    surface.SetChecked(kIdShowContents, settings.ShowContents != 0);
    surface.SetChecked(kIdExtractOwn, settings.ExtractVersion != 7 && settings.ExtractVersion != 73);
    surface.SetChecked(kIdExtract7, settings.ExtractVersion == 7);
    surface.SetChecked(kIdExtract73, settings.ExtractVersion == 73);
    surface.EnableControl(kIdApply, false);
}

intptr_t Command(DialogSurface& surface, const PluginSettings& settings, int controlId, int notification) {
    switch (controlId) {
        case kIdOk:
            ApplyOptions(surface, settings);
            CloseDialog(surface);
            return kHandled;
        case kIdCancel:
            CloseDialog(surface);
            return kHandled;
        default:
            break;
    }
    // The other controls act on a click only. Their other notifications (a
    // double click on a link, focus changes) leave the dialog as it is: a
    // quick second click on a link must not close the dialog.
    if (notification != kClicked) return kNotHandled;
    switch (controlId) {
        case kIdApply:
            ApplyOptions(surface, settings);
            return kHandled;
        case kIdStructCellasDirs:
        case kIdDeleteEnabled:
        case kIdPackEnabled:
        case kIdShowContents:
        case kIdExtractOwn:
        case kIdExtract7:
        case kIdExtract73:
            surface.EnableControl(kIdApply, true);
            return kHandled;
        case kIdEmailLink:
            surface.OpenWithShell(kEmailTarget);
            return kHandled;
        case kIdWebLink:
            surface.OpenWithShell(kWebAddress);
            return kHandled;
        default:
            return kNotHandled;
    }
}

intptr_t ControlColour(DialogSurface& surface, int controlId) {
    switch (controlId) {
        case kIdEmailLink:
        case kIdWebLink:
            return surface.ColourStaticText({0, 0, 255});
        case kIdAuthorLine:
            return surface.ColourStaticText({255, 0, 0});
        default:
            return kNotHandled;
    }
}

}  // namespace

intptr_t HandleAboutDialogMessage(DialogSurface& surface, const DialogMessage& message) {
    const PluginSettings settings = GetPluginSettings();
    switch (message.kind) {
        case MessageKind::kInitDialog:
            InitDialog(surface, settings);
            return kHandled;   // the platform focuses the first control
        case MessageKind::kCommand:
            return Command(surface, settings, message.controlId, message.notification);
        case MessageKind::kClose:
            CloseDialog(surface);
            return kNotHandled;
        case MessageKind::kControlColour:
            return ControlColour(surface, message.controlId);
        case MessageKind::kOther:
            break;
    }
    return kNotHandled;
}

void ApplyOptions(DialogSurface& surface, PluginSettings settings) {
    settings.StructCellasDirs = surface.IsChecked(kIdStructCellasDirs) ? 1 : 0;
    settings.DeleteEnabled = surface.IsChecked(kIdDeleteEnabled) ? 1 : 0;
    settings.PackEnabled = surface.IsChecked(kIdPackEnabled) ? 1 : 0;
    settings.ShowContents = surface.IsChecked(kIdShowContents) ? 1 : 0;
    settings.ExtractVersion = surface.IsChecked(kIdExtract73) ? 73 : surface.IsChecked(kIdExtract7) ? 7 : 0;
    if (!SavePluginSettings(settings)) {
        // Apply stays on: what the boxes show has not been saved.
        char text[sizeof(PackDefaultParamStruct{}.DefaultIniName) + 128];
        std::snprintf(text, sizeof text,
                      "The options could not be saved in the settings file\n%s\n"
                      "They hold until the file manager closes.",
                      GetPluginSettings().HostParams.DefaultIniName);
        platform::ShowMessageBox(text, "matwcx options", kSaveFailedBoxStyle);
        return;
    }
    surface.EnableControl(kIdApply, false);
}

bool CenteredPosition(const WindowRect& window, const WindowRect& reference, int32_t* x, int32_t* y) {
    // In 64 bits, so that no rectangle can overflow; division truncates toward zero.
    const int64_t left = int64_t{reference.left} +
                         ((int64_t{reference.right} - reference.left) - (int64_t{window.right} - window.left)) / 2;
    const int64_t top = int64_t{reference.top} +
                        ((int64_t{reference.bottom} - reference.top) - (int64_t{window.bottom} - window.top)) / 2;
    if (left < INT32_MIN || left > INT32_MAX || top < INT32_MIN || top > INT32_MAX) return false;
    *x = static_cast<int32_t>(left);
    *y = static_cast<int32_t>(top);
    return true;
}

int CenterWindow(DialogSurface& surface, Window window, Window reference) {
    WindowRect windowRect{};
    WindowRect referenceRect{};
    if (!surface.GetRect(window, &windowRect) || !surface.GetRect(reference, &referenceRect)) return 0;
    int32_t x = 0;
    int32_t y = 0;
    if (!CenteredPosition(windowRect, referenceRect, &x, &y)) return 0;
    return surface.MoveWindowTo(window, x, y);
}

}  // namespace about_dialog

#include "about/about_dialog_lfm.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "host/host_extension.h"
#include "os/open_link.h"
#include "about/about_dialog_logic.h"
#include "about/about_picture.h"

namespace about_dialog {

namespace {

struct NamedControl {
    const char* name;
    int id;
};

constexpr NamedControl kControls[] = {
    {kOkName, kIdOk},
    {kCancelName, kIdCancel},
    {kApplyName, kIdApply},
    {kStructCellasDirsName, kIdStructCellasDirs},
    {kDeleteEnabledName, kIdDeleteEnabled},
    {kPackEnabledName, kIdPackEnabled},
    {kShowContentsName, kIdShowContents},
    {kExtractAsName, kIdExtractOwn},   // a change of the list, as a click on an option
    {kEmailLinkName, kIdEmailLink},
    {kWebLinkName, kIdWebLink},
    {kAuthorLineName, kIdAuthorLine},
};

int IdOfName(const char* name) {
    if (name == nullptr) return 0;
    for (const NamedControl& control : kControls) {
        if (std::strcmp(control.name, name) == 0) return control.id;
    }
    return 0;
}

const char* NameOfId(int id) {
    for (const NamedControl& control : kControls) {
        if (control.id == id) return control.name;
    }
    return nullptr;
}

// The "Extract as" list's item for each of the dialog's version ids; -1 for
// the other controls. The Windows dialog has a radio button for each.
int ExtractItemOf(int id) {
    return id == kIdExtractOwn ? 0 : id == kIdExtract7 ? 1 : id == kIdExtract73 ? 2 : -1;
}

// The dialog's surface on the host's form. Where the window goes is the
// form's own affair (it opens centred on the host's main window): the Parent
// that Double Commander passes on Linux is no window handle. The link cursor
// and colours are properties of the form text, so those calls do nothing.
class FormSurface : public DialogSurface {
public:
    FormSurface(wcx::HostSendDlgMsgFn send, uintptr_t form, intptr_t closeResult)
        : send_(send), form_(form), closeResult_(closeResult) {}

    bool IsChecked(int id) override {
        const int item = ExtractItemOf(id);
        if (item >= 0) return Send(kExtractAsName, wcx::DM_LISTGETITEMINDEX, 0) == item;
        return Send(NameOfId(id), wcx::DM_GETCHECK, 0) == 1;
    }
    void SetChecked(int id, bool checked) override {
        const int item = ExtractItemOf(id);
        if (item < 0) {
            Send(NameOfId(id), wcx::DM_SETCHECK, checked ? 1 : 0);
        } else if (checked) {   // choosing one item leaves the others unchosen
            Send(kExtractAsName, wcx::DM_LISTSETITEMINDEX, item);
        }
    }
    void EnableControl(int id, bool enabled) override { Send(NameOfId(id), wcx::DM_ENABLE, enabled ? 1 : 0); }
    bool GetRect(Window, WindowRect*) override { return false; }
    int MoveWindowTo(Window, int32_t, int32_t) override { return 0; }
    CursorHandle LoadSystemHandCursor() override { return nullptr; }
    CursorHandle LoadCursorResource(int) override { return nullptr; }
    bool SetClassCursor(int, CursorHandle, CursorHandle*) override { return false; }
    void DestroyCursor(CursorHandle) override {}
    void OpenWithShell(const char* target) override { platform::OpenLink(target, nullptr); }
    intptr_t ColourStaticText(TextColour) override { return 0; }
    // Named after an existing control, the button that closes, so that no
    // version of the host can miss the item.
    void EndDialog() override {
        Send(closeResult_ == wcx::kModalResultOk ? kOkName : kCancelName, wcx::DM_CLOSE, closeResult_);
    }

private:
    intptr_t Send(const char* name, intptr_t message, intptr_t wParam) {
        if (name == nullptr) return 0;
        // The host takes writable names; the copy also bounds them.
        char item[64];
        std::snprintf(item, sizeof item, "%s", name);
        return send_(form_, item, message, wParam, 0);
    }

    wcx::HostSendDlgMsgFn send_;
    uintptr_t form_;
    intptr_t closeResult_;   // the modal result that ending the dialog sets
};

// The check boxes and the list: the host changes them itself and tells of it
// as a change.
bool IsOption(int id) {
    return id == kIdStructCellasDirs || id == kIdDeleteEnabled || id == kIdPackEnabled || id == kIdShowContents ||
           id == kIdExtractOwn || id == kIdExtract7 || id == kIdExtract73;
}

intptr_t WCX_CALL AboutFormProc(uintptr_t form, char* itemName, intptr_t message, intptr_t, intptr_t) {
    try {
        const wcx::HostSendDlgMsgFn send = platform::GetHostExtension().SendDlgMsg;
        if (send == nullptr) return 0;
        const int id = IdOfName(itemName);
        DialogMessage forwarded{MessageKind::kOther, 0, 0};
        switch (message) {
            case wcx::DN_INITDIALOG:
                forwarded.kind = MessageKind::kInitDialog;
                break;
            case wcx::DN_CLICK:   // buttons and links
                if (IsOption(id)) return 0;
                forwarded = {MessageKind::kCommand, id, kClicked};
                break;
            case wcx::DN_CHANGE:   // check boxes and the list; the host has changed them already
                if (!IsOption(id)) return 0;
                forwarded = {MessageKind::kCommand, id, kClicked};
                break;
            default:
                break;
        }
        if (forwarded.kind == MessageKind::kCommand && id == 0) return 0;   // not one of ours
        const intptr_t closeResult = id == kIdOk ? wcx::kModalResultOk : wcx::kModalResultCancel;
        FormSurface surface(send, form, closeResult);
        return HandleAboutDialogMessage(surface, forwarded);
    } catch (...) {
        return 0;
    }
}

// The template's dialog units in pixels: wide enough for the larger fonts
// of Linux desktops, where the Windows template's 8-point font is not at hand
// (the hosts' line "for Total Commander and Double Commander" needs about 330
// pixels in Double Commander's default font).
int PixelsX(int units) { return units * 2; }
int PixelsY(int units) { return units * 2; }

// A Pascal string literal: quotes doubled, control and non-ASCII bytes as #n.
std::string Quoted(const char* text) {
    std::string out;
    bool open = false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const bool plain = *p >= 0x20 && *p < 0x7F;
        if (plain != open) {
            out += '\'';
            open = plain;
        }
        if (!plain) {
            out += '#' + std::to_string(*p);
        } else {
            out += static_cast<char>(*p);
            if (*p == '\'') out += '\'';
        }
    }
    if (open) out += '\'';
    return out.empty() ? "''" : out;
}

class FormWriter {
public:
    void Open(const char* name, const char* type) {
        Line(std::string("object ") + name + ": " + type);
        ++depth_;
    }
    void Close() {
        --depth_;
        Line("end");
    }
    void Property(const char* name, const std::string& value) { Line(std::string(name) + " = " + value); }
    void Property(const char* name, int value) { Property(name, std::to_string(value)); }
    // A list of texts, as a TStrings property: one quoted text a line.
    void Strings(const char* name, std::initializer_list<const char*> items) {
        Line(std::string(name) + " = (");
        for (const char* item : items) Line("  " + Quoted(item));
        Line(")");
    }
    // Place in dialog units, relative to the parent's client area origin at (originX, originY).
    void Place(int x, int y, int width, int height, int originX = 0, int originY = 0) {
        Property("Left", PixelsX(x - originX));
        Property("Top", PixelsY(y - originY));
        Property("Width", PixelsX(width));
        Property("Height", PixelsY(height));
    }
    // A binary property as Lazarus writes it: hex digits within braces.
    void Binary(const char* name, const std::string& bytes) {
        constexpr size_t kBytesPerLine = 32;
        Line(std::string(name) + " = {");
        static const char kHex[] = "0123456789ABCDEF";
        for (size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
            std::string hex;
            for (size_t i = at; i < bytes.size() && i < at + kBytesPerLine; ++i) {
                const auto byte = static_cast<unsigned char>(bytes[i]);
                hex += kHex[byte >> 4];
                hex += kHex[byte & 0x0F];
            }
            if (at + kBytesPerLine >= bytes.size()) hex += '}';
            Line("  " + hex);
        }
    }
    const std::string& text() const { return text_; }

private:
    void Line(const std::string& line) {
        text_.append(static_cast<size_t>(depth_) * 2, ' ');
        text_ += line;
        text_ += '\n';
    }
    std::string text_;
    int depth_ = 0;
};

void CenteredLabel(FormWriter& form, const char* name, const char* caption, int x, int y, int width, int height,
                   int originX, int originY) {
    form.Open(name, "TLabel");
    form.Place(x, y, width, height, originX, originY);
    form.Property("Alignment", "taCenter");
    form.Property("AutoSize", "False");
    form.Property("Caption", Quoted(caption));
    form.Property("ParentColor", "False");
}

void Link(FormWriter& form, const char* name, const char* caption, int x, int y, int width, int height,
          int originX, int originY) {
    CenteredLabel(form, name, caption, x, y, width, height, originX, originY);
    form.Property("Cursor", "crHandPoint");
    form.Property("Font.Color", "clBlue");
    form.Property("ParentFont", "False");
    form.Property("OnClick", "ButtonClick");
    form.Close();
}

void Button(FormWriter& form, const char* name, const char* caption, int x, int y, int tabOrder, int originX,
            int originY) {
    form.Open(name, "TButton");
    form.Place(x, y, 46, 15, originX, originY);
    form.Property("Caption", Quoted(caption));
    form.Property("TabOrder", tabOrder);
    form.Property("OnClick", "ButtonClick");
}

// A check box; the host tells of each toggle.
void CheckBox(FormWriter& form, const char* name, const char* caption, int x, int y, int width, int tabOrder,
              int originX, int originY) {
    form.Open(name, "TCheckBox");
    form.Place(x, y, width, 8, originX, originY);
    form.Property("Caption", Quoted(caption));
    form.Property("TabOrder", tabOrder);
    form.Property("OnChange", "CheckBoxChange");
    form.Close();
}

// A TPicture's stored data: the graphic's class name as a short string, then
// what a TBitmap stores: its size (32 bits, little-endian) and the bitmap file.
std::string BitmapPictureData(const unsigned char* bitmap, size_t size) {
    std::string data = "\x07TBitmap";
    for (int shift = 0; shift < 32; shift += 8) data += static_cast<char>((size >> shift) & 0xFF);
    data.append(reinterpret_cast<const char*>(bitmap), size);
    return data;
}

}  // namespace

std::string AboutFormText() {
    // The Windows template's layout, in dialog units. Controls sit inside their
    // group box (a group box would hide the labels drawn on the form beneath
    // it); their places are taken relative to the box's client area, which
    // starts about 2 units in and, below a caption, 8 units down.
    constexpr int kAboutX = 6, kAboutY = 7, kOptionsX = 6, kOptionsY = 100;
    constexpr int kAboutOriginX = kAboutX + 1, kAboutOriginY = kAboutY + 3;
    constexpr int kOptionsOriginX = kOptionsX + 1, kOptionsOriginY = kOptionsY + 8;

    FormWriter form;
    form.Open(kFormName, "TDialogBox");
    form.Property("Left", 0);
    form.Property("Top", 0);
    form.Property("ClientWidth", PixelsX(255));
    form.Property("ClientHeight", PixelsY(217));
    form.Property("BorderIcons", "[]");
    form.Property("BorderStyle", "bsDialog");
    form.Property("Caption", Quoted(MATWCX_ABOUT_CAPTION));
    form.Property("Position", "poMainFormCenter");
    form.Property("OnShow", "DialogBoxShow");

    form.Open("grpAbout", "TGroupBox");
    form.Place(kAboutX, kAboutY, 242, 88);
    form.Property("Caption", "''");
    form.Open("imgPicture", "TImage");
    form.Place(12, 14, 55, 75, kAboutOriginX, kAboutOriginY);
    form.Property("Center", "True");
    form.Property("Proportional", "True");
    form.Property("Stretch", "True");
    form.Binary("Picture.Data", BitmapPictureData(kAboutPicture, kAboutPictureSize));
    form.Close();
    CenteredLabel(form, "lblTitle", kTitle, 70, 27, 172, 17, kAboutOriginX, kAboutOriginY);
    form.Property("WordWrap", "True");
    form.Close();
    CenteredLabel(form, kAuthorLineName, kAuthorLine, 70, 48, 170, 9, kAboutOriginX, kAboutOriginY);
    form.Property("Font.Color", "clRed");
    form.Property("ParentFont", "False");
    form.Close();
    Link(form, kEmailLinkName, kEmailAddress, 70, 58, 172, 8, kAboutOriginX, kAboutOriginY);
    Link(form, kWebLinkName, kWebAddress, 69, 69, 173, 10, kAboutOriginX, kAboutOriginY);
    form.Close();

    form.Open("grpOptions", "TGroupBox");
    form.Place(kOptionsX, kOptionsY, 242, 110);
    form.Property("Caption", "'Options'");
    form.Property("TabOrder", 0);
    // Tab order as in the Windows template: the buttons, then the boxes.
    Button(form, kOkName, "&OK", 95, 187, 0, kOptionsOriginX, kOptionsOriginY);
    form.Property("Default", "True");   // Enter, as IDOK on Windows
    form.Close();
    Button(form, kCancelName, "&Cancel", 144, 187, 1, kOptionsOriginX, kOptionsOriginY);
    form.Property("Cancel", "True");    // Esc, as IDCANCEL on Windows
    form.Close();
    Button(form, kApplyName, "&Apply", 193, 187, 2, kOptionsOriginX, kOptionsOriginY);
    form.Close();
    CheckBox(form, kStructCellasDirsName, "Show &Structs and Cells as Dirs", 13, 113, 168, 3, kOptionsOriginX,
             kOptionsOriginY);
    CheckBox(form, kDeleteEnabledName, "Enable Variable &Deletion", 13, 127, 156, 4, kOptionsOriginX,
             kOptionsOriginY);
    CheckBox(form, kPackEnabledName, "Enable Adding &Variables", 13, 141, 156, 5, kOptionsOriginX,
             kOptionsOriginY);
    CheckBox(form, kShowContentsName, "Show Co&ntents of Structs, Cells and Objects", 13, 155, 200, 6,
             kOptionsOriginX, kOptionsOriginY);
    form.Open("lblExtractAs", "TLabel");
    form.Place(13, 169, 40, 8, kOptionsOriginX, kOptionsOriginY);
    form.Property("Caption", Quoted("E&xtract as:"));
    form.Property("FocusControl", kExtractAsName);
    form.Close();
    // Items in the order of ExtractItemOf; a drop-down list, never typed into.
    form.Open(kExtractAsName, "TComboBox");
    form.Place(55, 167, 110, 12, kOptionsOriginX, kOptionsOriginY);
    form.Property("Style", "csDropDownList");
    form.Strings("Items.Strings", {"the file's own version", "version 7", "version 7.3"});
    form.Property("TabOrder", 7);
    form.Property("OnChange", "ComboBoxChange");
    form.Close();
    form.Close();

    form.Close();
    return form.text();
}

bool ShowAboutForm() {
    const platform::HostExtension host = platform::GetHostExtension();
    if (host.DialogBoxLFM == nullptr || host.SendDlgMsg == nullptr) return false;
    const std::string text = AboutFormText();
    host.DialogBoxLFM(reinterpret_cast<intptr_t>(text.data()), static_cast<unsigned long>(text.size()),
                      AboutFormProc);
    return true;
}

}  // namespace about_dialog

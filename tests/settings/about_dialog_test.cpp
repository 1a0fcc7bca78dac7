// The About and Options dialog's behaviour that is the platform's own,
// driven without a screen: where it opens, the link cursor, the links.
// (Its options and what it saves: through the plug-in, tests/plugin.)
#include "about/about_dialog_logic.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

namespace {

using namespace about_dialog;

// A dialog as the platform would show it. Both links share one window
// class, as static controls do on Windows.
struct FakeSurface : DialogSurface {
    std::map<int, bool> checked;
    std::map<int, bool> enabled;
    std::optional<WindowRect> dialogRect = WindowRect{0, 0, 100, 60};
    std::optional<WindowRect> ownerRect = WindowRect{200, 100, 601, 401};
    std::vector<std::pair<int32_t, int32_t>> moves;
    CursorHandle systemHand = reinterpret_cast<CursorHandle>(0x32649);
    CursorHandle staticClassCursor = reinterpret_cast<CursorHandle>(0xA770);   // the class's own arrow
    std::vector<CursorHandle> destroyed;
    std::vector<std::string> opened;
    int ended = 0;

    bool IsChecked(int id) override { return checked[id]; }
    void SetChecked(int id, bool value) override { checked[id] = value; }
    void EnableControl(int id, bool value) override { enabled[id] = value; }
    bool GetRect(Window window, WindowRect* out) override {
        const auto& rect = window == Window::kDialog ? dialogRect : ownerRect;
        if (rect) *out = *rect;
        return rect.has_value();
    }
    int MoveWindowTo(Window window, int32_t x, int32_t y) override {
        EXPECT_EQ(window, Window::kDialog);
        moves.emplace_back(x, y);
        return 1;
    }
    CursorHandle LoadSystemHandCursor() override { return systemHand; }
    CursorHandle LoadCursorResource(int id) override {
        EXPECT_EQ(id, kHandCursorId);
        return reinterpret_cast<CursorHandle>(0x105);
    }
    bool SetClassCursor(int id, CursorHandle cursor, CursorHandle* previous) override {
        EXPECT_TRUE(id == kIdEmailLink || id == kIdWebLink);
        *previous = staticClassCursor;
        staticClassCursor = cursor;
        return true;
    }
    void DestroyCursor(CursorHandle cursor) override { destroyed.push_back(cursor); }
    void OpenWithShell(const char* target) override { opened.emplace_back(target); }
    intptr_t ColourStaticText(TextColour) override { return 0x4B; }
    void EndDialog() override { ++ended; }

    intptr_t Send(MessageKind kind, int id = 0, int notification = kClicked) {
        return HandleAboutDialogMessage(*this, {kind, id, notification});
    }
};

class AboutDialog : public ::testing::Test {
protected:
    void SetUp() override {
        PluginSettings settings{};   // no file named: the record only
        settings.StructCellasDirs = 1;
        SavePluginSettings(settings);
    }
    FakeSurface dialog;
};

TEST_F(AboutDialog, OpensCentredWithTheOptionsLinksOpenAndEveryCloseGivesTheCursorBack) {
    EXPECT_EQ(dialog.Send(MessageKind::kInitDialog), 1);
    EXPECT_TRUE(dialog.checked[kIdStructCellasDirs]);
    EXPECT_FALSE(dialog.checked[kIdDeleteEnabled]);
    EXPECT_FALSE(dialog.enabled.at(kIdApply));
    // Centred over the owner (200..601 by 100..401), halves truncated.
    EXPECT_EQ(dialog.moves, (std::vector<std::pair<int32_t, int32_t>>{{350, 220}}));
    EXPECT_EQ(dialog.staticClassCursor, dialog.systemHand);
    // Links open with the shell; other notifications leave the dialog open.
    EXPECT_EQ(dialog.Send(MessageKind::kCommand, kIdEmailLink), 1);
    EXPECT_EQ(dialog.Send(MessageKind::kCommand, kIdWebLink), 1);
    EXPECT_EQ(dialog.Send(MessageKind::kCommand, kIdWebLink, 1), 0);   // double click
    EXPECT_EQ(dialog.Send(MessageKind::kCommand, kIdApply, 6), 0);     // focus
    EXPECT_EQ(dialog.opened, (std::vector<std::string>{kEmailTarget, kWebAddress}));
    EXPECT_EQ(dialog.ended, 0);
    dialog.Send(MessageKind::kClose);

    for (MessageKind close : {MessageKind::kCommand, MessageKind::kClose}) {
        FakeSurface d;
        CursorHandle arrow = d.staticClassCursor;
        d.systemHand = nullptr;   // no system hand: our own resource
        d.Send(MessageKind::kInitDialog);
        EXPECT_EQ(d.staticClassCursor, reinterpret_cast<CursorHandle>(0x105));
        EXPECT_EQ(d.Send(close, kIdCancel), close == MessageKind::kClose ? 0 : 1);
        EXPECT_EQ(d.ended, 1);
        EXPECT_EQ(d.staticClassCursor, arrow) << "the host's static controls keep their cursor";
        EXPECT_EQ(d.destroyed, std::vector<CursorHandle>{reinterpret_cast<CursorHandle>(0x105)});
    }
    // No owner to centre over, or a centre beyond 32 bits: the dialog stays where it is.
    int32_t x = 0, y = 0;
    EXPECT_FALSE(CenteredPosition({INT32_MAX, 0, INT32_MIN, 0}, {INT32_MAX, 0, INT32_MAX, 0}, &x, &y));
    FakeSurface noOwner;
    noOwner.ownerRect.reset();
    noOwner.Send(MessageKind::kInitDialog);
    EXPECT_TRUE(noOwner.moves.empty());
    noOwner.Send(MessageKind::kClose);
}

}  // namespace

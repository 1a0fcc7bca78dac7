// Double Commander's extension interface, driven through the built plug-in:
// the record handed to ExtensionInitialize, the options dialog as a form text
// worked through the host's functions, and the host's message box.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "about/about_texts.h"
#include "dc_test_host.h"
#include "support/support.h"

namespace {

using support::ReadText;
using support::WriteText;

class Extension : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_NE(plugin.ExtensionInitialize, nullptr);
        ASSERT_NE(plugin.ExtensionFinalize, nullptr);
        dchost::Host::Current() = &host;
        Initialize(65588);
    }
    void TearDown() override {
        if (plugin.ExtensionFinalize != nullptr) plugin.ExtensionFinalize(nullptr);
        dchost::Host::Current() = nullptr;
    }

    // As the host: a record of its own on the stack of the call, gone after it.
    void Initialize(uint32_t structSize) {
        auto info = host.Record(dir.path(), dir.path());
        info->StructSize = structSize;
        plugin.ExtensionInitialize(info.get());
        std::memset(info.get(), 0xA5, sizeof *info);   // the plug-in must have kept copies
    }

    // The settings file with the two options, loaded as at the host's start.
    void Options(int structDirs, int deleteEnabled) {
        WriteText(ini, "[MATlab]\nStructCellasDirs=" + std::to_string(structDirs) +
                          "\nDeleteEnabled=" + std::to_string(deleteEnabled) + "\n");
        ASSERT_TRUE(plugin.SetDefaultParams(ini));
    }

    void Configure(std::vector<std::string> clicks) {
        host.script = std::move(clicks);
        plugin.ConfigurePacker(reinterpret_cast<HWND>(0x153019b8), plugin.library);   // Parent: no window
    }

    dchost::Host host;
    std::string ini = dir.file("wcx.ini");
};

TEST_F(Extension, TheFormLoadsInDoubleCommander10AndOpensWithTheSavedOptions) {
    Options(1, 0);
    const std::string before = ReadText(ini);
    Configure({"btnCancel"});
    ASSERT_EQ(host.shown, 1);
    ASSERT_FALSE(host.form.empty());   // ParseForm checked classes and handlers
    EXPECT_TRUE(host.afterInit.at("chkStructCellasDirs"));
    EXPECT_FALSE(host.afterInit.at("chkDeleteEnabled"));
    EXPECT_FALSE(host.applyEnabledAfterInit) << "Apply starts disabled even though setting the boxes fired OnChange";
    EXPECT_TRUE(host.closed);
    EXPECT_EQ(host.modalResult, wcx::kModalResultCancel);
    EXPECT_EQ(ReadText(ini), before) << "Cancel saves nothing";

    // The texts the user reads.
    std::string caption;
    ASSERT_TRUE(dchost::DecodeString(host.Find("DialogBox")->properties.at("Caption"), &caption));
    EXPECT_EQ(caption, MATWCX_ABOUT_CAPTION);
    ASSERT_TRUE(dchost::DecodeString(host.Find("lblTitle")->properties.at("Caption"), &caption));
    EXPECT_EQ(caption, MATWCX_TITLE_LINE1 "\n" MATWCX_TITLE_LINE2);
    ASSERT_TRUE(dchost::DecodeString(host.Find("chkStructCellasDirs")->properties.at("Caption"), &caption));
    EXPECT_EQ(caption, "Show &Structs and Cells as Dirs");
    for (const char* name : {"btnOK", "btnCancel", "btnApply", "lblEmail", "lblWeb"}) {
        ASSERT_NE(host.Find(name), nullptr) << name;
        EXPECT_EQ(host.Find(name)->properties.count("OnClick"), 1u) << name;
    }

    // The picture, stored as Lazarus stores a bitmap: its class name, its
    // size, the bitmap file (as Double Commander 1.0.10 shows it).
    const char* source = std::getenv("MATWCX_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string bitmap = ReadText(std::string(source) + "/about/about.bmp");
    ASSERT_GT(bitmap.size(), 1000u);
    std::string expected = "\x07TBitmap";
    for (int shift = 0; shift < 32; shift += 8) expected += static_cast<char>((bitmap.size() >> shift) & 0xFF);
    expected += bitmap;
    ASSERT_NE(host.Find("imgPicture"), nullptr);
    EXPECT_TRUE(host.Find("imgPicture")->properties.at("Picture.Data") == expected);
}

TEST_F(Extension, AChangeEnablesApplyAndOkSavesIt) {
    Options(0, 1);
    Configure({"chkStructCellasDirs", "btnOK"});
    EXPECT_EQ(host.applyEnabledAfterClick, (std::vector<bool>{true, false}));
    EXPECT_EQ(host.modalResult, wcx::kModalResultOk);
    const std::string file = ReadText(ini);
    EXPECT_NE(file.find("StructCellasDirs=1\n"), std::string::npos) << file;
    EXPECT_NE(file.find("DeleteEnabled=1\n"), std::string::npos) << file;

    // And the plug-in's record took it: the next dialog opens with it.
    dchost::Host again;
    dchost::Host::Current() = &again;
    again.script = {"btnCancel"};
    plugin.ConfigurePacker(nullptr, plugin.library);
    dchost::Host::Current() = &host;
    EXPECT_TRUE(again.afterInit.at("chkStructCellasDirs"));
}

TEST_F(Extension, ApplyThenCancelKeepsWhatApplySaved) {
    Options(0, 1);
    host.lclChangeOnSet = false;   // a host whose boxes stay quiet when set
    Configure({"chkDeleteEnabled", "btnApply", "chkStructCellasDirs", "btnCancel"});
    EXPECT_EQ(host.applyEnabledAfterClick, (std::vector<bool>{true, false, true, true}));
    EXPECT_FALSE(host.applyEnabledAfterInit);
    const std::string file = ReadText(ini);
    EXPECT_NE(file.find("StructCellasDirs=0\n"), std::string::npos) << file;
    EXPECT_NE(file.find("DeleteEnabled=0\n"), std::string::npos) << file;
    EXPECT_EQ(host.modalResult, wcx::kModalResultCancel);
}

TEST_F(Extension, TheHostsMessageBoxShowsTheRefusals) {
    Options(0, 0);
    EXPECT_EQ(plugin.Delete(dir.file("x.mat"), {"A.double [1x1] "}), E_NOT_SUPPORTED);
    char empty[1] = {0};
    EXPECT_EQ(plugin.PackFiles(empty, empty, empty, empty, 0), E_NOT_SUPPORTED);
    ASSERT_EQ(host.boxes.size(), 2u);
    EXPECT_NE(host.boxes[0].text.find("disable variable deletion"), std::string::npos) << host.boxes[0].text;
    EXPECT_NE(host.boxes[1].text.find("packing function is not supported"), std::string::npos);
    for (const auto& box : host.boxes) {
        EXPECT_EQ(box.caption, "Error Processing Variable");
        EXPECT_EQ(box.flags, 0x1010);
    }

    // After ExtensionFinalize the host's functions are not called any more.
    plugin.ExtensionFinalize(nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(plugin.Delete(dir.file("x.mat"), {"A.double [1x1] "}), E_NOT_SUPPORTED);
    plugin.ConfigurePacker(nullptr, plugin.library);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Error Processing Variable"), std::string::npos);
    EXPECT_EQ(host.boxes.size(), 2u);
    EXPECT_EQ(host.shown, 0);
}

TEST_F(Extension, ARecordTooShortForTheFormFunctionsShowsNoForm) {
    // 1.0's record ends its functions with SendDlgMsg; one that stops before
    // it must not be read past its end.
    Initialize(static_cast<uint32_t>(offsetof(tExtensionStartupInfo, SendDlgMsg)));
    Options(0, 1);
    Configure({"btnOK"});
    EXPECT_EQ(host.shown, 0);
    EXPECT_EQ(plugin.PackFiles(nullptr, nullptr, nullptr, nullptr, 0), E_NOT_SUPPORTED);
    EXPECT_EQ(host.boxes.size(), 1u) << "the message box lies within the record";
}

TEST_F(Extension, LinksOpenWithTheDesktopsHandlerAndTheDialogStaysOpen) {
    // A stand-in xdg-open that writes down its argument.
    const std::string bin = dir.file("bin");
    ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
    const std::string log = dir.file("opened.txt");
    WriteText(bin + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + log + "'\n");
    ASSERT_EQ(::chmod((bin + "/xdg-open").c_str(), 0700), 0);
    const char* oldPath = std::getenv("PATH");
    const std::string savedPath = oldPath != nullptr ? oldPath : "";
    ::setenv("PATH", (bin + ":" + savedPath).c_str(), 1);

    Options(0, 1);
    Configure({"lblWeb", "lblEmail"});
    ::setenv("PATH", savedPath.c_str(), 1);
    EXPECT_FALSE(host.closed);

    const std::string expected = std::string(MATWCX_WEB) + "\n" + MATWCX_EMAIL_TARGET + "\n";
    std::string opened;
    for (int i = 0; i < 100 && opened.size() < expected.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        opened = ReadText(log);
    }
    // The handler runs detached; the two may finish in either order.
    EXPECT_TRUE(opened == expected ||
                opened == std::string(MATWCX_EMAIL_TARGET) + "\n" + MATWCX_WEB + "\n")
        << opened;
}

}  // namespace

// Settings and message boxes of the Windows build. The settings file there is
// written by the system's private-profile functions; it must come out as the
// Linux build's own writer (platform/posix/profile_text, linked in here as
// the reference) makes it. The message boxes are caught through the
// platform's message-box seam (the host function it prefers to the system's).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "modify/delete_variables.h"
#include "platform/message_box.h"
#include "platform/posix/profile_text.h"
#include "support/support.h"

namespace {

namespace pt = platform::profile_text;

// "\n" as "\r\n"; "\r\n" stays.
std::string WithCrLf(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

// Wine's profile functions, unlike Windows', keep only "key=value" lines of a
// section written whole, with the blanks around "=" removed. Under Wine both
// texts are compared in that form; on Windows byte for byte.
bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string WineForm(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 2;
        const size_t equals = line.find('=');
        if (line.empty() || (line[0] == ';' && equals == std::string::npos)) continue;
        if (equals != std::string::npos) {
            line = std::string(pt::Trim(line.substr(0, equals))) + "=" + std::string(pt::Trim(line.substr(equals + 1)));
        }
        out += line + "\r\n";
    }
    return out;
}

PackDefaultParamStruct HostParams(const std::string& ini) { return support::HostParams(2, 22, ini); }

// WritePrivateProfileStruct's text: two upper-case hex digits per byte, then
// the checksum byte (the sum modulo 256).
std::string StructText(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string text;
    unsigned sum = 0;
    char digits[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
        sum += bytes[i];
    }
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFFu);
    return text + digits;
}

// The Linux writer's result for the calls PackSetDefaultParams makes.
std::string LinuxSideLoad(std::string text, const PackDefaultParamStruct& params, bool sectionEmpty,
                          const char* structCellasDirs, const char* deleteEnabled) {
    if (sectionEmpty) {
        text = pt::ReplaceSection(text, "MATlab",
                                  {"; Matlab MAT files format packer",
                                   "; Supported Matlab Extensions: MAT, RPT, QRY, FIG, SID",
                                   "; (and any other Matlab MAT file version 4 or 5 compatible)",
                                   "Author = Quellmark", "Year   = 2003-2005"});
        text = pt::SetKey(text, "MATlab", "PackDefaultParamStructSize", "272");
        text = pt::SetKey(text, "MATlab", "DefaultIniName", params.DefaultIniName);
        text = pt::SetKey(text, "MATlab", "PluginInterfaceVersion", "2.2");
        text = pt::SetKey(text, "MATlab", "PackDefaultParamStruct", StructText(&params, sizeof params));
    }
    text = pt::SetKey(text, "MATlab", "StructCellasDirs", structCellasDirs);
    return pt::SetKey(text, "MATlab", "DeleteEnabled", deleteEnabled);
}

class WindowsSettings : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testhost::loaded(plugin_)); }

    // PackSetDefaultParams of the DLL, which writes with the system's functions.
    void Load(const PackDefaultParamStruct& params) {
        PackDefaultParamStruct copy = params;
        testhost::CaptureStdout([&] { plugin_.PackSetDefaultParams(&copy); });
    }

    const testhost::Plugin& plugin_ = testhost::LoadedPlugin();
    testenv::TempDir dir_;
};

// A later load rewrites the two options in place (odd values normalised),
// a first load fills the section, a new file gets "\r\n" (the Linux writer
// starts one with "\n").
TEST_F(WindowsSettings, LoadsWriteTheFileAsTheLinuxWriterDoes) {
    const struct {
        const char* file;
        std::string start;
        bool sectionEmpty;
        const char* deleteEnabled;
    } cases[] = {
        {"later.ini", "[Other]\r\nq=1\r\n; a comment\r\n[MATlab]\r\nPackDefaultParamStructSize=272\r\nStructCellasDirs=5\r\n"
                      "DeleteEnabled=0\r\n[Last]\r\nz=9\r\n", false, "0"},
        {"first.ini", "[Other]\r\nq=1\r\n", true, "1"},
        {"new.ini", "", true, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string ini = dir_.path() + "\\" + c.file;
        if (!c.start.empty()) support::WriteText(ini, c.start);
        const PackDefaultParamStruct params = HostParams(ini);
        Load(params);
        const std::string expected = WithCrLf(LinuxSideLoad(c.start, params, c.sectionEmpty, "0", c.deleteEnabled));
        const std::string written = support::ReadText(ini);
        if (UnderWine() && c.sectionEmpty) {
            EXPECT_EQ(WineForm(written), WineForm(expected)) << written;
        } else {
            EXPECT_EQ(written, expected);
        }
        EXPECT_EQ(::GetPrivateProfileIntA("MATlab", "DeleteEnabled", 7, ini.c_str()), static_cast<UINT>(c.deleteEnabled[0] - '0'));
        EXPECT_EQ(::GetPrivateProfileIntA("MATlab", "StructCellasDirs", 7, ini.c_str()), 0u);
    }
}

// The boxes' texts and style, caught through the host-function seam.
struct CaughtBox {
    std::string text;
    std::string caption;
    long style = -1;
    int calls = 0;
};
CaughtBox gCaught;

int __stdcall CatchBox(char* text, char* caption, long style) {
    gCaught.text = text;
    gCaught.caption = caption;
    gCaught.style = style;
    ++gCaught.calls;
    return platform::kMessageBoxIdOk;
}

class WindowsMessageBox : public ::testing::Test {
protected:
    void SetUp() override {
        gCaught = {};
        platform::SetHostMessageBox(CatchBox);
    }
    void TearDown() override { platform::SetHostMessageBox(nullptr); }
    testenv::TempDir dir_;
};

// One system message box: the text, the plug-in's caption and its error style.
void ExpectOneErrorBox(const std::string& text) {
    EXPECT_EQ(gCaught.calls, 1);
    EXPECT_EQ(gCaught.text, text);
    EXPECT_EQ(gCaught.caption, "Error Processing Variable");
    EXPECT_EQ(gCaught.style, static_cast<long>(MB_OK | MB_ICONERROR | MB_SYSTEMMODAL));
}

TEST_F(WindowsMessageBox, PackingIsRefusedWithAnErrorBox) {
    EXPECT_EQ(RefusePacking(), E_EABORTED);
    ExpectOneErrorBox("Sorry, packing function is not supported at this time.\n"
                      "However individual variables can be deleted and/or moved.");
}

TEST_F(WindowsMessageBox, DeletionSwitchedOffSaysHowToSwitchItOn) {
    const std::string mat = dir_.path() + "\\f.mat";
    using namespace matbuild;
    WriteFile(mat, File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {1, 1}, {1})}));
    const std::string before = support::ReadText(mat);
    char list[] = "A.double [1x1] \0";
    EXPECT_EQ(DeleteVariables(mat.c_str(), list, false, nullptr), E_EABORTED);
    EXPECT_EQ(support::ReadText(mat), before);
    ExpectOneErrorBox("You have disable variable deletion in the configuration dialog.\n"
                      "To enable variable deletion, invoke Packfile>Configure for MAT files.");
}

}  // namespace

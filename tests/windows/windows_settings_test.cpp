// Settings and message boxes of the Windows build. The settings file there is
// written by the system's private-profile functions; the message boxes are
// caught through the platform's seam (the host function it prefers to the
// system's).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "modify/delete_variables.h"
#include "host/message_box.h"
#include "support/support.h"

namespace {

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t");
    return begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

// The section's key lines as the system reads them back, blanks around "="
// removed (Wine's functions, unlike Windows', keep only such lines of a
// section written whole, in that form); the record's hex line left out.
std::vector<std::string> KeyLines(const std::string& ini) {
    char buffer[4096];
    const DWORD size = ::GetPrivateProfileSectionA("MATlab", buffer, sizeof buffer, ini.c_str());
    std::vector<std::string> lines;
    for (const char* line = buffer; line < buffer + size && *line != '\0'; line += std::strlen(line) + 1) {
        const std::string text = line;
        const size_t equals = text.find('=');
        if (equals != std::string::npos && text.rfind("PackDefaultParamStruct=", 0) != 0) {
            lines.push_back(Trim(text.substr(0, equals)) + "=" + Trim(text.substr(equals + 1)));
        }
    }
    return lines;
}

// PackSetDefaultParams of the DLL fills an empty section once (a new file
// with "\r\n" line ends) and later rewrites only the two options, in place.
TEST(WindowsSettings, LoadsFillAnEmptySectionOnceThenRewriteOnlyTheOptions) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    testenv::TempDir dir;
    const auto load = [&](const std::string& ini) {
        PackDefaultParamStruct params = support::HostParams(2, 22, ini);
        testhost::CaptureStdout([&] { plugin.PackSetDefaultParams(&params); });
        return params;
    };
    const std::string later = dir.path() + "\\later.ini";
    const std::string laterText = "[Other]\r\nq=1\r\n; a comment\r\n[MATlab]\r\nPackDefaultParamStructSize=272\r\n"
                                  "StructCellasDirs=%\r\nDeleteEnabled=0\r\n[Last]\r\nz=9\r\n";
    std::string before = laterText, after = laterText;
    support::WriteText(later, before.replace(before.find('%'), 1, "5"));
    load(later);
    after.replace(after.find('%'), 1, "0");
    EXPECT_EQ(support::ReadText(later), after.insert(after.find("[Last]"), "PackEnabled=1\r\n"));

    for (const std::string start : {"[Other]\r\nq=1\r\n", ""}) {
        const std::string ini = dir.path() + (start.empty() ? "\\new.ini" : "\\first.ini");
        if (!start.empty()) support::WriteText(ini, start);
        const PackDefaultParamStruct params = load(ini);
        const std::string text = support::ReadText(ini);
        EXPECT_EQ(text.substr(0, start.size()), start);
        for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
            ASSERT_TRUE(at > 0 && text[at - 1] == '\r') << text;
        }
        EXPECT_EQ(KeyLines(ini), (std::vector<std::string>{"Author=Quellmark", "Year=2003-2005", "PackDefaultParamStructSize=272",
                                                           "DefaultIniName=" + ini, "PluginInterfaceVersion=2.2",
                                                           "StructCellasDirs=0", "DeleteEnabled=1", "PackEnabled=1"}));
        PackDefaultParamStruct stored{};
        EXPECT_TRUE(::GetPrivateProfileStructA("MATlab", "PackDefaultParamStruct", &stored, sizeof stored, ini.c_str()));
        EXPECT_EQ(std::memcmp(&stored, &params, sizeof params), 0);
    }
}

// The boxes' texts and style, caught through the host-function seam.
std::vector<std::string> caught;
int __stdcall CatchBox(char* text, char* caption, long style) {
    caught.push_back(std::string(caption) + "|" + std::to_string(style) + "|" + text);
    return platform::kMessageBoxIdOk;
}

TEST(WindowsMessageBox, PackingAndDeletionSwitchedOffAreRefusedWithAnErrorBox) {
    caught.clear();
    platform::SetHostMessageBox(CatchBox);
    testenv::TempDir dir;
    const std::string mat = dir.path() + "\\f.mat";
    using namespace matbuild;
    WriteFile(mat, File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {1, 1}, {1})}));
    const std::string before = support::ReadText(mat);
    char list[] = "A.double [1x1] \0";
    EXPECT_EQ(RefusePacking(false), E_EABORTED);
    EXPECT_EQ(DeleteVariables(mat.c_str(), list, false, nullptr), E_EABORTED);
    platform::SetHostMessageBox(nullptr);
    EXPECT_EQ(support::ReadText(mat), before);
    const std::string style = "Error Processing Variable|" + std::to_string(MB_OK | MB_ICONERROR | MB_SYSTEMMODAL) + "|";
    EXPECT_EQ(caught, (std::vector<std::string>{
                          style + "Variables are not added: the option \"Enable Adding Variables\" is off.\n"
                                  "To add variables, switch it on in the plug-in's options (Configure for MAT files).\n"
                                  "Deleting variables is switched off too.",
                          style + "You have disable variable deletion in the configuration dialog.\n"
                                  "To enable variable deletion, invoke Packfile>Configure for MAT files."}));
}

}  // namespace

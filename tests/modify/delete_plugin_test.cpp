// Deletion and packing through the built plug-in's exports, as a host calls
// them: the process-wide progress callback set with the handle -1, the switch
// read from the settings file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;

std::vector<std::string>& PluginReports() {
    static std::vector<std::string> reports;
    return reports;
}
int WCX_CALL RecordPluginProgress(char* text, int) {
    PluginReports().push_back(text != nullptr ? text : "<null>");
    return 1;
}

void UseSettings(const testhost::Plugin& plugin, const testenv::TempDir& dir, bool deleteEnabled) {
    WriteFile(dir.file("wcx.ini"), Text(std::string("[MATlab]\nStructCellasDirs=0\nDeleteEnabled=") +
                                        (deleteEnabled ? "1" : "0") + "\n"));
    ASSERT_TRUE(plugin.SetDefaultParams(dir.file("wcx.ini")));
}

std::string TwoVariables(const testenv::TempDir& dir) {
    const Order o = Order::Little;
    const std::string path = dir.file("two.mat");
    WriteFile(path, File5(o, {NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)),
                              NumericVar(o, "B", mxDOUBLE, {1, 1}, {2})}));
    return path;
}

TEST(DeletePlugin, DeletesWithProgressWhileEnabled) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    if (!testhost::loaded(plugin)) return;
    testenv::TempDir dir;
    UseSettings(plugin, dir, true);
    const std::string path = TwoVariables(dir);
    PluginReports().clear();
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), &RecordPluginProgress);
    EXPECT_EQ(plugin.Delete(path, {"A.double [4x3] "}), 0);
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), nullptr);
    EXPECT_EQ(PluginReports(), (std::vector<std::string>{"seeking [0%] A"}));

    testhost::Archive archive(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    const std::vector<testhost::Entry> entries = archive.ReadAll();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fileName, "B.double [1x1] ");
}

TEST(DeletePlugin, SwitchedOffAndPackingTouchNothing) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    if (!testhost::loaded(plugin)) return;
    testenv::TempDir dir;
    UseSettings(plugin, dir, false);
    const std::string path = TwoVariables(dir);
    const Bytes before = ReadFile(path);

    EXPECT_EQ(plugin.Delete(path, {"A.double [4x3] "}), E_NOT_SUPPORTED);

    // Without Double Commander's box the text goes to stderr.
    std::string newFile = dir.file("new.mat"), existing = path;
    char subPath[] = "", srcPath[] = "/tmp/", addList[] = "x.mat\0";
    testing::internal::CaptureStderr();
    EXPECT_EQ(plugin.PackFiles(newFile.data(), subPath, srcPath, addList, 0), E_NOT_SUPPORTED);
    EXPECT_EQ(plugin.PackFiles(existing.data(), subPath, srcPath, addList, 0), E_NOT_SUPPORTED);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Sorry, packing function is not supported"), std::string::npos) << shown;
    EXPECT_FALSE(std::filesystem::exists(newFile));
    EXPECT_EQ(ReadFile(path), before);
    UseSettings(plugin, dir, true);
}

// A file with a second name is refused as a whole, and the user is told why
// (without Double Commander's box, on stderr).
TEST(DeletePlugin, HardLinkedFileIsRefusedWithTheReason) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    if (!testhost::loaded(plugin)) return;
    testenv::TempDir dir;
    UseSettings(plugin, dir, true);
    const std::string path = TwoVariables(dir);
    const Bytes before = ReadFile(path);
    std::filesystem::create_hard_link(path, dir.file("other.mat"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(plugin.Delete(path, {"A.double [4x3] "}), E_EWRITE);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("hard links"), std::string::npos) << shown;
    EXPECT_EQ(ReadFile(path), before);
}

}  // namespace

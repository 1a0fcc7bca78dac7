// The Windows build as only Windows hosts see it, driven through the built
// DLL (scripts/check_windows_binaries.sh checks its export table): the
// folders Windows makes of names with trailing blanks, device names, the
// viewer's "\r\n" text. (Separators, DOS dates, attribute bits and the
// header record's guard bytes: the plugin suite, which runs here too.)
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "os/host_rules.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using support::Path;
namespace fs = std::filesystem;

const Order o = Order::Little;
const Bytes kStruct = StructVar(o, "st", {1, 1}, {"a"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {7})});

class WindowsPlugin : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_EQ(dir.path().find('/'), std::string::npos) << "a Windows temporary folder: " << dir.path();
        source = Write("source.mat", File5(o, {NumericVar(o, "A", mxDOUBLE, {2, 2}, {1, 3, 2, 4}), kStruct,
                                               CellVar(o, "c", {1, 2}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1}), CharVar(o, "", "hi")})}));
    }
    std::string source;
};

TEST_F(WindowsPlugin, StructShownAsDirectoryExtractsIntoTheFolderWindowsMakes) {
    // The folder part of the entry name, "st.struct [1x1] ", ends in a blank
    // that Windows drops when it makes the folder; the output goes into the
    // folder as made, "st.struct [1x1]", as do the host's own folders.
    UseSettings(true, true);
    std::string fileName;
    auto archive = testhost::OpenAt(plugin, source, "st", &fileName);
    ASSERT_EQ(fileName, "st.struct [1x1] \\st");
    ASSERT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(dir.path(), fileName)), 0);
    const std::string written = support::ReadText(Path(dir.path(), "st.struct [1x1]\\st.mat"));
    ASSERT_GE(written.size(), 128u + kStruct.size());
    EXPECT_EQ(written.substr(128, kStruct.size()), std::string(kStruct.begin(), kStruct.end()));

    // DestPath and DestName, into a folder the host has made already; the
    // trailing dots of a folder go the same way.
    const std::string out = Path(dir.path(), "out");
    ASSERT_TRUE(fs::create_directories(Path(out, "c.cell [2x1]")));
    auto cells = testhost::OpenAt(plugin, source, "c", &fileName);
    ASSERT_EQ(fileName, "c.cell [2x1] \\c");
    ASSERT_EQ(Process(*cells, PK_EXTRACT, (out + "..").c_str(), fileName), 0);
    EXPECT_TRUE(fs::exists(Path(out, "c.cell [2x1]\\c.mat")));

    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.back() != ' ' && name.back() != '.') << name;
    }
}

// Windows gives the names CON, PRN, AUX, NUL, COM1-9 and LPT1-9 to devices,
// whatever follows their first dot; a variable so named is listed with its
// last character escaped, so that its file is a file. The viewer's text
// has Windows line ends.
TEST_F(WindowsPlugin, VariablesNamedLikeDevicesExtractAsFilesAndTheViewerGetsCrLf) {
    // The short text (contents are shown by default).
    support::WriteText(dir.file("wcx.ini"), "[MATlab]\nShowContents=0\n");
    ASSERT_TRUE(plugin.SetDefaultParams(dir.file("wcx.ini")));
    source = Write("devices.mat", File5(o, {NumericVar(o, "aux", mxDOUBLE, {1, 1}, {1}), NumericVar(o, "Con", mxDOUBLE, {1, 1}, {2}),
                                            NumericVar(o, "com1", mxDOUBLE, {1, 1}, {3}), NumericVar(o, "auxiliary", mxDOUBLE, {1, 1}, {4})}));
    // Total Commander's viewer folder, "%TEMP%\_tc\", the only one that gets the text.
    const std::string viewer = Path(Path(platform::HostTempFolders().at(0), "_tc"), fs::path(dir.path()).filename().string());
    ASSERT_TRUE(fs::create_directories(viewer));
    struct RemovedAtEnd {
        std::string path;
        ~RemovedAtEnd() { std::error_code ignored; fs::remove_all(path, ignored); }
    } removeViewer{viewer};
    for (const std::string expected : {"au%78.double [1x1] ", "Co%6E.double [1x1] ", "com%31.double [1x1] ", "auxiliary.double [1x1] "}) {
        std::string fileName;
        auto archive = testhost::OpenAt(plugin, source, expected.substr(0, expected.find('.')), &fileName);
        ASSERT_EQ(fileName, expected);
        ASSERT_EQ(Process(*archive, PK_EXTRACT, dir.path().c_str(), fileName), 0);
        EXPECT_TRUE(fs::is_regular_file(Path(dir.path(), fileName + ".mat"))) << fileName;
        ASSERT_EQ(Process(*archive, PK_EXTRACT, viewer.c_str(), fileName), 0);
        const std::string head = fileName + " =\r\n\t(1,1) = ";
        EXPECT_EQ(support::ReadText(Path(viewer, fileName)).substr(0, head.size()), head);
    }
}

// Version 7.3 files are read by matwcx_v73.exe, which the plug-in (or the
// engine in any program) starts from its own folder: listed, extracted and
// deleted through it (the file it reads and the new file go to it as copies
// of their handles), also in a folder whose name is not in the system's code
// page. (The plug-in alone declines them: the plugin suite.)
TEST_F(WindowsPlugin, Version73FilesGoThroughTheWorkerBesideThePlugin) {
    const std::string hdf5storage = testenv::TestDataDir() + "/hdf5storage/v73.mat";
    const std::string folder = Path(dir.path(), "\xce\xa9 \xe6\x95\xb0");   // "Ω 数"
    ASSERT_TRUE(fs::create_directory(fs::u8path(folder)));
    fs::copy_file(fs::u8path(hdf5storage), fs::u8path(Path(folder, "v73.mat")));
    const std::vector<std::string> names = support::VariableNames(hdf5storage);
    EXPECT_EQ(support::VariableNames(Path(folder, "v73.mat")), names);
    ASSERT_GT(names.size(), 2u);

    const std::string v73 = Path(dir.path(), "v73.mat");
    fs::copy_file(hdf5storage, v73);
    const std::vector<std::string> entries = List(v73);
    ASSERT_EQ(entries.size(), names.size());
    std::string fileName;
    auto archive = testhost::OpenAt(plugin, v73, "h_double", &fileName);
    ASSERT_EQ(fileName, "h_double.double [4x3] ");
    ASSERT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(dir.path(), "one.mat")), 0);
    archive.reset();
    EXPECT_EQ(support::VariableNames(Path(dir.path(), "one.mat")), std::vector<std::string>{"h_double"});
    ASSERT_EQ(plugin.Delete(v73, {entries[0]}), 0);
    EXPECT_EQ(support::VariableNames(v73), std::vector<std::string>(names.begin() + 1, names.end()));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

}  // namespace

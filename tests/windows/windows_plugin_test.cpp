// The Windows build as only Windows hosts see it, driven through the built
// DLL (LoadLibrary; scripts/check_windows_binaries.sh checks its export
// table at every build): the packed header record, the folders
// Windows makes of names with trailing blanks, device names, the viewer's
// "\r\n" text. (Separators, DOS dates and attribute bits: the plugin suite,
// which runs here too.)
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "support/support.h"

namespace {

using namespace matbuild;
using support::Path;
namespace fs = std::filesystem;

const Bytes kA = NumericVar(Order::Little, "A", mxDOUBLE, {2, 2}, {1, 3, 2, 4});
const Bytes kStruct = StructVar(Order::Little, "st", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {7})});
const Bytes kHandle = FunctionHandleVar(
    Order::Little, "f", StructVar(Order::Little, "", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1})}));
const Bytes kCells = CellVar(Order::Little, "c", {1, 2},
                             {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1}), CharVar(Order::Little, "", "hi")});

class WindowsPlugin : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        folder_ = dir.path();
        ASSERT_EQ(folder_.find('/'), std::string::npos) << "a Windows temporary folder: " << folder_;
        archive_ = Write("source.mat", File5(Order::Little, {kA, kStruct, kCells, kHandle}));
    }

    // Opens for extraction and reads up to the entry of `var`.
    std::unique_ptr<testhost::Archive> OpenAt(const std::string& var, std::string* fileName) {
        auto archive = std::make_unique<testhost::Archive>(plugin, archive_, PK_OM_EXTRACT);
        testhost::Entry entry;
        while (archive->ok() && testhost::ReadOneHeader(plugin, archive->handle(), &entry) == 0) {
            if (entry.fileName.compare(0, var.size() + 1, var + ".") == 0) {
                *fileName = entry.fileName;
                return archive;
            }
        }
        ADD_FAILURE() << "no entry for " << var;
        return archive;
    }

    std::string folder_;
    std::string archive_;
};

// Double Commander's packed 64-bit record is 576 bytes, the natural one 584:
// whichever the host passes, nothing past FileAttr may change. Guard bytes
// follow a record of the packed size.
TEST_F(WindowsPlugin, ReadHeaderWritesNothingPastFileAttrInEitherLayout) {
    constexpr size_t kPackedSize = sizeof(void*) == 8 ? 576 : 572;
    constexpr size_t kGuard = 64;
    static_assert(kHeaderDataWrittenEnd == 556);
    for (const size_t recordSize : {kPackedSize, sizeof(tHeaderData)}) {
        SCOPED_TRACE(recordSize);
        testhost::Archive archive(plugin, archive_, PK_OM_LIST);
        ASSERT_TRUE(archive.ok());
        int entries = 0;
        for (;;) {
            std::vector<unsigned char> buffer(recordSize + kGuard, 0xA5);
            std::memset(buffer.data(), 0, kHeaderDataWrittenEnd);
            const int result = plugin.ReadHeader(archive.handle(), reinterpret_cast<tHeaderData*>(buffer.data()));
            if (result != 0) {
                EXPECT_EQ(result, E_END_ARCHIVE);
                break;
            }
            ++entries;
            for (size_t i = kHeaderDataWrittenEnd; i < buffer.size(); ++i) {
                ASSERT_EQ(buffer[i], 0xA5) << "byte " << i << " written";
            }
            char empty[1] = {0};
            ASSERT_EQ(plugin.ProcessFile(archive.handle(), PK_SKIP, nullptr, empty), 0);
        }
        EXPECT_EQ(entries, 4);
    }
}

TEST_F(WindowsPlugin, StructShownAsDirectoryExtractsIntoTheFolderWindowsMakes) {
    // The folder part of the entry name, "st.struct [1x1] ", ends in a blank
    // that Windows drops when it makes the folder; the output goes into the
    // folder as made, "st.struct [1x1]", as do the host's own folders.
    UseSettings(true, true);
    std::string fileName;
    auto archive = OpenAt("st", &fileName);
    ASSERT_EQ(fileName, "st.struct [1x1] \\st");
    ASSERT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(folder_, fileName)), 0);
    const std::string written = support::ReadText(Path(folder_, "st.struct [1x1]\\st.mat"));
    ASSERT_GE(written.size(), 128u + kStruct.size());
    EXPECT_EQ(written.substr(128, kStruct.size()), std::string(kStruct.begin(), kStruct.end()));

    // DestPath and DestName, into a folder the host has made already; the
    // trailing dots of a folder go the same way.
    const std::string out = Path(folder_, "out");
    ASSERT_TRUE(fs::create_directories(Path(out, "c.cell [2x1]")));
    auto cells = OpenAt("c", &fileName);
    ASSERT_EQ(fileName, "c.cell [2x1] \\c");
    ASSERT_EQ(Process(*cells, PK_EXTRACT, (out + "..").c_str(), fileName), 0);
    EXPECT_TRUE(fs::exists(Path(out, "c.cell [2x1]\\c.mat")));

    std::vector<std::string> made;
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && (name.back() == ' ' || name.back() == '.')) made.push_back(name);
    }
    EXPECT_TRUE(made.empty()) << made.front();
}

// The lister's folder "\_tc\" gets the value's text (a function handle's
// reason), with Windows line ends.
TEST_F(WindowsPlugin, ViewerFolderGetsTheText) {
    const std::string viewer = Path(folder_, "_tc");
    ASSERT_TRUE(fs::create_directory(viewer));
    const std::pair<const char*, std::string> cases[] = {
        {"A", "A.double [2x2]  =\r\n\t(1,1) = 1\r\n\t(2,1) = 3\r\n\t(1,2) = 2\r\n\t(2,2) = 4\r\n\t"},
        {"f", "f.function_handle [1x1]  =\r\nSorry Mathworks does not support 'function_handle' extraction.\r\n"
              "And any way, why would you like to load at invalid handle to memory?"}};
    for (const auto& [var, text] : cases) {
        std::string fileName;
        auto archive = OpenAt(var, &fileName);
        ASSERT_EQ(Process(*archive, PK_EXTRACT, viewer.c_str(), fileName), 0);
        EXPECT_EQ(support::ReadText(Path(viewer, fileName)), text);
        EXPECT_FALSE(fs::exists(Path(viewer, fileName + ".mat")));
    }
}

// Windows gives the names CON, PRN, AUX, NUL, COM1-9 and LPT1-9 to devices,
// whatever follows their first dot; a variable so named is listed with its
// last character escaped, so that its file is a file.
TEST_F(WindowsPlugin, VariablesNamedLikeDevicesExtractAsFiles) {
    const std::string source = Path(folder_, "devices.mat");
    const Order o = Order::Little;
    WriteFile(source, File5(o, {NumericVar(o, "aux", mxDOUBLE, {1, 1}, {1}), NumericVar(o, "Con", mxDOUBLE, {1, 1}, {2}),
                                NumericVar(o, "com1", mxDOUBLE, {1, 1}, {3}), NumericVar(o, "auxiliary", mxDOUBLE, {1, 1}, {4})}));
    archive_ = source;
    const std::string viewer = Path(folder_, "_tc");
    ASSERT_TRUE(fs::create_directory(viewer));
    const std::vector<std::pair<std::string, std::string>> listed = {
        {"aux", "au%78.double [1x1] "}, {"Con", "Co%6E.double [1x1] "}, {"com1", "com%31.double [1x1] "},
        {"auxiliary", "auxiliary.double [1x1] "}};
    for (const auto& [var, expected] : listed) {
        std::string fileName;
        auto archive = OpenAt(expected.substr(0, expected.find('.')), &fileName);
        ASSERT_EQ(fileName, expected) << var;
        ASSERT_EQ(Process(*archive, PK_EXTRACT, folder_.c_str(), fileName), 0) << var;
        EXPECT_TRUE(fs::is_regular_file(Path(folder_, fileName + ".mat"))) << var;
        ASSERT_EQ(Process(*archive, PK_EXTRACT, viewer.c_str(), fileName), 0) << var;
        EXPECT_EQ(support::ReadText(Path(viewer, fileName)).rfind(fileName + " =\r\n", 0), 0u) << var;
    }
}

}  // namespace

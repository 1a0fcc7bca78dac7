// The Windows build as Windows hosts see it, driven through the built DLL
// (LoadLibrary): its export table, the header record's tail, DOS dates and
// attribute bits, "\" paths in entry names and destinations, the "\_tc\"
// viewer folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "reader/value_text.h"
#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;
namespace fs = std::filesystem;

const Bytes kA = NumericVar(Order::Little, "A", mxDOUBLE, {2, 2}, {1, 3, 2, 4});
const Bytes kStruct =
    StructVar(Order::Little, "st", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {7})});
const Bytes kHandle = FunctionHandleVar(
    Order::Little, "f", StructVar(Order::Little, "", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1})}));
const Bytes kCells = CellVar(Order::Little, "c", {1, 2},
                             {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1}), CharVar(Order::Little, "", "hi")});

// kHeaderText's date, Fri Feb 18 10:28:03 2005, as a packed DOS date and
// time: years since 1980, month, day | hours, minutes, seconds / 2.
constexpr uint32_t kHeaderDos = (25u << 25) | (2u << 21) | (18u << 16) | (10u << 11) | (28u << 5) | (3u / 2);

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Win(const std::string& folder, const std::string& name) { return folder + "\\" + name; }

class WindowsPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testhost::loaded(plugin_));
        folder_ = dir_.path();
        ASSERT_EQ(folder_.find('/'), std::string::npos) << "a Windows temporary folder: " << folder_;
        archive_ = Win(folder_, "source.mat");
        WriteFile(archive_, File5(Order::Little, {kA, kStruct, kCells, kHandle}));
        UseStructCellasDirs(false);
    }
    void TearDown() override { UseStructCellasDirs(false); }

    void UseStructCellasDirs(bool on) {
        const std::string ini = Win(folder_, "wcx.ini");
        std::ofstream(ini, std::ios::binary) << "[MATlab]\r\nStructCellasDirs=" << (on ? 1 : 0)
                                             << "\r\nDeleteEnabled=1\r\n";
        ASSERT_TRUE(plugin_.SetDefaultParams(ini));
    }

    // Opens for extraction and reads up to the entry of `var`.
    std::unique_ptr<testhost::Archive> OpenAt(const std::string& var, std::string* fileName) {
        auto archive = std::make_unique<testhost::Archive>(plugin_, archive_, PK_OM_EXTRACT);
        EXPECT_TRUE(archive->ok()) << archive->openResult();
        for (;;) {
            testhost::Entry entry;
            if (testhost::ReadOneHeader(plugin_, archive->handle(), &entry) != 0) break;
            if (entry.fileName.compare(0, var.size() + 1, var + ".") == 0) {
                *fileName = entry.fileName;
                return archive;
            }
            char empty[1] = {0};
            plugin_.ProcessFile(archive->handle(), PK_SKIP, nullptr, empty);
        }
        ADD_FAILURE() << "no entry for " << var;
        return archive;
    }

    int Process(testhost::Archive& archive, const char* destPath, const std::string& destName) {
        std::string name = destName;
        std::string path = destPath != nullptr ? destPath : "";
        int result = -1;
        printed_ = testhost::CaptureStdout([&] {
            result = plugin_.ProcessFile(archive.handle(), PK_EXTRACT, destPath != nullptr ? path.data() : nullptr,
                                         name.data());
        });
        return result;
    }

    const testhost::Plugin& plugin_ = testhost::LoadedPlugin();
    testenv::TempDir dir_;
    std::string folder_;
    std::string archive_;
    std::string printed_;   // what the last ProcessFile printed
};

// The DLL's export directory, read from the loaded image: what GetProcAddress
// of a host sees, names undecorated: the thirteen functions and Double
// Commander's extension pair.
TEST_F(WindowsPlugin, ExportsExactlyTheHostsFunctionsUndecorated) {
    const auto* base = static_cast<const unsigned char*>(plugin_.library);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(entry.VirtualAddress, 0u);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) found.insert(reinterpret_cast<const char*>(base + names[i]));
    const std::set<std::string> expected = {"OpenArchive",     "ReadHeader",         "ProcessFile",
                                            "CloseArchive",    "SetChangeVolProc",   "SetProcessDataProc",
                                            "GetPackerCaps",   "PackFiles",          "DeleteFiles",
                                            "ConfigurePacker", "CanYouHandleThisFile", "PackSetDefaultParams",
                                            "GetBackgroundFlags", "ExtensionInitialize", "ExtensionFinalize"};
    EXPECT_EQ(found, expected);
    EXPECT_EQ(exports->NumberOfFunctions, expected.size());
}

// Double Commander's packed 64-bit record is 576 bytes, the natural one 584:
// whichever the host passes, nothing past FileAttr may change. Guard bytes
// follow a record of the packed size.
TEST_F(WindowsPlugin, ReadHeaderWritesNothingPastFileAttrInEitherLayout) {
    constexpr size_t kPackedSize = sizeof(void*) == 8 ? 576 : 572;
    constexpr size_t kGuard = 64;
    static_assert(kHeaderDataWrittenEnd == 556);
    for (const size_t recordSize : {kPackedSize, sizeof(tHeaderData)}) {
        SCOPED_TRACE(recordSize);
        testhost::Archive archive(plugin_, archive_, PK_OM_LIST);
        ASSERT_TRUE(archive.ok());
        int entries = 0;
        for (;;) {
            std::vector<unsigned char> buffer(recordSize + kGuard, 0xA5);
            std::memset(buffer.data(), 0, kHeaderDataWrittenEnd);
            const int result = plugin_.ReadHeader(archive.handle(), reinterpret_cast<tHeaderData*>(buffer.data()));
            if (result != 0) {
                EXPECT_EQ(result, E_END_ARCHIVE);
                break;
            }
            ++entries;
            for (size_t i = kHeaderDataWrittenEnd; i < buffer.size(); ++i) {
                ASSERT_EQ(buffer[i], 0xA5) << "byte " << i << " written";
            }
            char empty[1] = {0};
            ASSERT_EQ(plugin_.ProcessFile(archive.handle(), PK_SKIP, nullptr, empty), 0);
        }
        EXPECT_EQ(entries, 4);
    }
}

// Windows hosts read FileTime as the packed DOS date and time and FileAttr
// as attribute bits (0x20 archive).
TEST_F(WindowsPlugin, ListingGivesDosDatesAndWindowsAttributes) {
    testhost::Archive archive(plugin_, archive_, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    const std::vector<testhost::Entry> entries = archive.ReadAll();
    ASSERT_EQ(entries.size(), 4u);
    for (const testhost::Entry& entry : entries) {
        SCOPED_TRACE(entry.fileName);
        EXPECT_EQ(static_cast<uint32_t>(entry.fileTime), kHeaderDos);
        EXPECT_EQ(entry.fileAttr, 0x20);
        EXPECT_TRUE(entry.tailUntouched);
    }

    // The read-only bit marks a complex variable.
    const std::string complexFile = Win(folder_, "complex.mat");
    WriteFile(complexFile, File5(Order::Little, {NumericVar(Order::Little, "z", mxDOUBLE, {1, 1}, {1}, {2})}));
    testhost::Archive complex(plugin_, complexFile, PK_OM_LIST);
    ASSERT_TRUE(complex.ok());
    const std::vector<testhost::Entry> complexEntries = complex.ReadAll();
    ASSERT_EQ(complexEntries.size(), 1u);
    EXPECT_EQ(complexEntries[0].fileAttr, 0x21);
}

TEST_F(WindowsPlugin, StructsAndCellsShownAsDirectoriesUseBackslashes) {
    UseStructCellasDirs(true);
    testhost::Archive archive(plugin_, archive_, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    std::vector<std::string> names;
    for (const testhost::Entry& entry : archive.ReadAll()) names.push_back(entry.fileName);
    EXPECT_EQ(names, (std::vector<std::string>{"A.double [2x2] ", "st.struct [1x1] \\st", "c.cell [2x1] \\c",
                                                 "f.function_handle [1x1] "}));
    for (const std::string& name : names) EXPECT_EQ(name.find('/'), std::string::npos) << name;
}

TEST_F(WindowsPlugin, ExtractionMakesTheFoldersOfABackslashDestination) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    ASSERT_EQ(fileName, "A.double [2x2] ");
    // Total Commander passes the whole destination in DestName.
    const std::string deep = Win(Win(Win(folder_, "x"), "y"), fileName);
    ASSERT_EQ(Process(*archive, nullptr, deep), 0);
    const std::string written = ReadBytes(deep + ".mat");
    ASSERT_GE(written.size(), 128u + kA.size());
    EXPECT_EQ(written.substr(128, kA.size()), std::string(kA.begin(), kA.end()));

    // DestPath and DestName joined with "\".
    ASSERT_EQ(Process(*archive, folder_.c_str(), fileName), 0);
    EXPECT_TRUE(fs::exists(Win(folder_, fileName + ".mat")));
}

TEST_F(WindowsPlugin, StructShownAsDirectoryExtractsIntoTheFolderWindowsMakes) {
    // The folder part of the entry name, "st.struct [1x1] ", ends in a blank
    // that Windows drops when it makes the folder; the output goes into the
    // folder as made, "st.struct [1x1]", as do the host's own folders.
    UseStructCellasDirs(true);
    std::string fileName;
    auto archive = OpenAt("st", &fileName);
    ASSERT_EQ(fileName, "st.struct [1x1] \\st");
    ASSERT_EQ(Process(*archive, nullptr, Win(folder_, fileName)), 0);
    const std::string written = ReadBytes(Win(folder_, "st.struct [1x1]\\st.mat"));
    ASSERT_GE(written.size(), 128u + kStruct.size());
    EXPECT_EQ(written.substr(128, kStruct.size()), std::string(kStruct.begin(), kStruct.end()));

    // DestPath and DestName, into a folder the host has made already; the
    // trailing dots of a folder go the same way.
    const std::string out = Win(folder_, "out");
    ASSERT_TRUE(fs::create_directories(Win(out, "c.cell [2x1]")));
    auto cells = OpenAt("c", &fileName);
    ASSERT_EQ(fileName, "c.cell [2x1] \\c");
    ASSERT_EQ(Process(*cells, (out + "..").c_str(), fileName), 0);
    EXPECT_TRUE(fs::exists(Win(out, "c.cell [2x1]\\c.mat")));

    std::vector<std::string> made;
    for (const auto& entry : fs::recursive_directory_iterator(folder_)) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && (name.back() == ' ' || name.back() == '.')) made.push_back(name);
    }
    EXPECT_TRUE(made.empty()) << made.front();
}

TEST_F(WindowsPlugin, StructShownAsDirectoryViewsAsText) {
    UseStructCellasDirs(true);
    const std::string viewer = Win(folder_, "_tc");
    ASSERT_TRUE(fs::create_directory(viewer));
    std::string fileName;
    auto archive = OpenAt("st", &fileName);
    ASSERT_EQ(Process(*archive, viewer.c_str(), fileName), 0);
    const std::string text = ReadBytes(Win(viewer, "st.struct [1x1]\\st"));
    EXPECT_EQ(text.rfind("st =\r\n", 0), 0u) << text;
    EXPECT_FALSE(fs::exists(Win(viewer, "st.struct [1x1]\\st.mat")));
}

// The lister's folder "\_tc\" gets the value's text, with Windows line ends.
TEST_F(WindowsPlugin, ViewerFolderGetsTheText) {
    const std::string viewer = Win(folder_, "_tc");
    ASSERT_TRUE(fs::create_directory(viewer));
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    ASSERT_EQ(Process(*archive, viewer.c_str(), fileName), 0);
    EXPECT_EQ(ReadBytes(Win(viewer, fileName)),
              "A.double [2x2]  =\r\n\t(1,1) = 1\r\n\t(2,1) = 3\r\n\t(1,2) = 2\r\n\t(2,2) = 4\r\n\t");
    EXPECT_FALSE(fs::exists(Win(viewer, fileName + ".mat")));

    // A folder merely ending in "_tc" is no viewer folder.
    const std::string mine = Win(folder_, "my_tc");
    auto again = OpenAt("A", &fileName);
    ASSERT_EQ(Process(*again, nullptr, Win(mine, fileName)), 0);
    EXPECT_TRUE(fs::exists(Win(mine, fileName + ".mat")));
}

TEST_F(WindowsPlugin, ViewerFolderGetsTheReasonForAFunctionHandle) {
    const std::string viewer = Win(folder_, "_tc");
    ASSERT_TRUE(fs::create_directory(viewer));
    std::string fileName;
    auto archive = OpenAt("f", &fileName);
    ASSERT_EQ(fileName, "f.function_handle [1x1] ");
    ASSERT_EQ(Process(*archive, viewer.c_str(), fileName), 0);
    std::string expected = "f.function_handle [1x1]  =\r\n";
    for (const char* c = FunctionHandleText; *c != '\0'; ++c) expected += *c == '\n' ? std::string("\r\n") : std::string(1, *c);
    EXPECT_EQ(ReadBytes(Win(viewer, fileName)), expected);
    EXPECT_FALSE(fs::exists(Win(viewer, fileName + ".mat")));
}

// Windows gives the names CON, PRN, AUX, NUL, COM1-9 and LPT1-9 to devices,
// whatever follows their first dot; a variable so named is listed with its
// last character escaped, so that its file is a file.
TEST_F(WindowsPlugin, VariablesNamedLikeDevicesExtractAsFiles) {
    const std::string source = Win(folder_, "devices.mat");
    const Order o = Order::Little;
    WriteFile(source, File5(o, {NumericVar(o, "aux", mxDOUBLE, {1, 1}, {1}), NumericVar(o, "Con", mxDOUBLE, {1, 1}, {2}),
                                NumericVar(o, "com1", mxDOUBLE, {1, 1}, {3}), NumericVar(o, "auxiliary", mxDOUBLE, {1, 1}, {4})}));
    archive_ = source;
    const std::string viewer = Win(folder_, "_tc");
    ASSERT_TRUE(fs::create_directory(viewer));
    const std::vector<std::pair<std::string, std::string>> listed = {
        {"aux", "au%78.double [1x1] "}, {"Con", "Co%6E.double [1x1] "}, {"com1", "com%31.double [1x1] "},
        {"auxiliary", "auxiliary.double [1x1] "}};
    for (const auto& [var, expected] : listed) {
        std::string fileName;
        auto archive = OpenAt(expected.substr(0, expected.find('.')), &fileName);
        ASSERT_EQ(fileName, expected) << var;
        ASSERT_EQ(Process(*archive, folder_.c_str(), fileName), 0) << var;
        EXPECT_TRUE(fs::is_regular_file(Win(folder_, fileName + ".mat"))) << var;
        ASSERT_EQ(Process(*archive, viewer.c_str(), fileName), 0) << var;
        EXPECT_EQ(ReadBytes(Win(viewer, fileName)).rfind(fileName + " =\r\n", 0), 0u) << var;
    }
}

// 255 characters in all fit (a ".mat" still to come within MAX_PATH), one more
// is refused before anything is created.
TEST_F(WindowsPlugin, DestinationsLongerThan255CharactersAreRefused) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    const std::string out = Win(folder_, "out");
    const size_t fixed = out.size() + 2 + fileName.size();
    ASSERT_LT(fixed + 1, 255u);
    const std::string fits = Win(out, std::string(255 - fixed, 'd'));
    EXPECT_EQ(Process(*archive, fits.c_str(), fileName), 0) << printed_ << " " << fits.size();
    EXPECT_TRUE(fs::exists(Win(fits, fileName + ".mat")));
    fs::remove_all(out);

    const std::string tooLong = Win(out, std::string(256 - fixed, 'd'));
    EXPECT_EQ(Process(*archive, tooLong.c_str(), fileName), E_EWRITE);
    EXPECT_EQ(Process(*archive, nullptr, Win(tooLong, fileName)), E_EWRITE);
    EXPECT_FALSE(fs::exists(out));
}

// The command as Windows users run it: same output bytes as elsewhere.
TEST_F(WindowsPlugin, CommandListsWithDosDates) {
    const std::string tool = testenv::ToolPath();
    ASSERT_FALSE(tool.empty());
    const std::string out = Win(folder_, "out.txt");
    const std::string command = "\"\"" + tool + "\" --plugin \"" + testenv::PluginPath() + "\" --ini \"" +
                                Win(folder_, "wcx.ini") + "\" list \"" + archive_ + "\" >\"" + out + "\"\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string listing = ReadBytes(out);
    EXPECT_NE(listing.find("2005-02-18 10:28:02"), std::string::npos) << listing;
    EXPECT_NE(listing.find("-rw-r--r--"), std::string::npos) << listing;
    EXPECT_EQ(listing.find('\r'), std::string::npos) << listing;
}

}  // namespace

// Each open archive keeps its own state behind its handle: handles the
// plug-in never gave out or already closed are refused, a full slot table is
// told apart from an unreadable file, and extraction writes the entry
// ReadHeader reported into the name the host chose, reading it before
// anything is created.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;
namespace fs = std::filesystem;

class ArchiveState : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testhost::loaded(plugin)); }

    // A (3-by-4) and B (1-by-2), both double.
    std::string WriteAB(const std::string& name = "ab.mat") {
        const Order o = Order::Little;
        const std::string path = dir.file(name);
        WriteFile(path, File5(o, {NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)),
                                  NumericVar(o, "B", mxDOUBLE, {1, 2}, Iota(2))}));
        return path;
    }

    // ProcessFile(PK_EXTRACT) with DestPath null and a full DestName.
    int Extract(HANDLE handle, const std::string& destination) {
        std::string name = destination;
        return plugin.ProcessFile(handle, PK_EXTRACT, nullptr, name.data());
    }

    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    testenv::TempDir dir;
};

// The names of the variables in a MAT-file, read with the engine.
std::vector<std::string> VariableNames(const std::string& path) {
    MATFile* file = matOpen(path.c_str(), "r");
    if (file == nullptr) return {"<unreadable>"};
    std::vector<std::string> names;
    while (mxArray* array = matGetNextArrayHeader(file)) {
        names.push_back(mxGetName(array));
        mxDestroyArray(array);
    }
    matClose(file);
    return names;
}

TEST_F(ArchiveState, ClosedAndForeignHandlesAreRefused) {
    const std::string path = WriteAB();
    HANDLE closed = nullptr;
    {
        testhost::Archive archive(plugin, path, PK_OM_EXTRACT);
        ASSERT_TRUE(archive.ok());
        closed = archive.handle();
    }
    int foreign = 0;
    char name[] = "x";
    for (HANDLE handle : {closed, static_cast<HANDLE>(&foreign), static_cast<HANDLE>(nullptr)}) {
        tHeaderData header{};
        EXPECT_EQ(plugin.ReadHeader(handle, &header), E_BAD_ARCHIVE);
        EXPECT_EQ(plugin.ProcessFile(handle, PK_EXTRACT, nullptr, name), E_BAD_ARCHIVE);
        EXPECT_EQ(plugin.CloseArchive(handle), E_BAD_ARCHIVE);
    }
    EXPECT_EQ(foreign, 0);
}

TEST_F(ArchiveState, AFullSlotTableIsNotAnUnreadableFile) {
    const std::string path = WriteAB();
    testhost::Archive first(plugin, path, PK_OM_LIST);
    testhost::Archive second(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(first.ok() && second.ok());
    testhost::Archive third(plugin, path, PK_OM_LIST);
    EXPECT_FALSE(third.ok());
    EXPECT_EQ(third.openResult(), E_NO_MEMORY);
    EXPECT_EQ(second.Close(), 0);
    testhost::Archive missing(plugin, dir.file("missing.mat"), PK_OM_LIST);
    EXPECT_EQ(missing.openResult(), E_EOPEN);
}

// The host may let the user type any name: the variable is the current
// entry; ".mat" is added only to a name that does not end in it.
TEST_F(ArchiveState, ExtractsTheCurrentEntryIntoTheHostsName) {
    const std::string path = WriteAB();
    struct Case {
        const char* destName;
        const char* fileMade;
    } cases[] = {{"B.double [1x2] ", "B.double [1x2] .mat"},   // another entry's name: still A
                 {"myrow.mat", "myrow.mat"},
                 {"MyRow.MAT", "MyRow.MAT"},
                 {"plain", "plain.mat"}};
    for (const Case& c : cases) {
        testhost::Archive archive(plugin, path, PK_OM_EXTRACT);
        ASSERT_TRUE(archive.ok());
        testhost::Entry entry;
        ASSERT_EQ(testhost::ReadOneHeader(plugin, archive.handle(), &entry), 0);
        ASSERT_EQ(entry.fileName, "A.double [4x3] ");
        fs::create_directories(dir.file("x"));
        const std::string destination = dir.file(std::string("x/") + c.destName);
        EXPECT_EQ(Extract(archive.handle(), destination), 0) << c.destName;
        EXPECT_EQ(VariableNames(dir.file(std::string("x/") + c.fileMade)), std::vector<std::string>{"A"})
            << c.destName;
        fs::remove_all(dir.file("x"));
    }
}

// The viewer gets its text straight from the engine: no MAT-file is made on
// the way (here one could not be: a folder holds its name).
TEST_F(ArchiveState, TheViewerTextNeedsNoMatFile) {
    const std::string path = WriteAB();
    const std::string viewer = dir.file("_tc");
    fs::create_directories(viewer + "/A.double [4x3] .mat");
    testhost::Archive archive(plugin, path, PK_OM_EXTRACT);
    ASSERT_TRUE(archive.ok());
    testhost::Entry entry;
    ASSERT_EQ(testhost::ReadOneHeader(plugin, archive.handle(), &entry), 0);
    EXPECT_EQ(Extract(archive.handle(), viewer + "/A.double [4x3] "), 0);
    const Bytes text = ReadFile(viewer + "/A.double [4x3] ");
    EXPECT_EQ(std::string(text.begin(), text.begin() + 19), "A.double [4x3]  =\n\t");
}

}  // namespace

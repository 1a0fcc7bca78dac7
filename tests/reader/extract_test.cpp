// Extraction through the built plug-in, as a host drives it: OpenArchive in
// extract mode, ReadHeader up to the entry, ProcessFile.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "reader/value_text.h"
#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;
namespace fs = std::filesystem;

const Bytes kA = NumericVar(Order::Little, "A", mxDOUBLE, {2, 2}, {1, 3, 2, 4});
const Bytes kEmpty = NumericVar(Order::Little, "E", mxDOUBLE, {0, 0}, {});
const Bytes kStruct = StructVar(Order::Little, "st", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {7})});
const Bytes kHandle =
    FunctionHandleVar(Order::Little, "f", StructVar(Order::Little, "", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1})}));
const Bytes kGlobalHandle = Matrix(
    Order::Little, Cat({FlagsElement(Order::Little, mxFUNCTION, kGlobal), DimsElement(Order::Little, {1, 1}),
                        NameElement(Order::Little, "g"),
                        StructVar(Order::Little, "", {1, 1}, {"a"}, {NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1})})}));
const Bytes kCompressedB = Compressed(Order::Little, NumericVar(Order::Little, "B", mxINT32, {1, 3}, {5, 6, 7}));

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The settings file of these tests: StructCellasDirs as given.
void UseStructCellasDirs(const testhost::Plugin& plugin, const testenv::TempDir& dir, bool on) {
    const std::string ini = dir.file("wcx.ini");
    std::ofstream(ini) << "[MATlab]\nStructCellasDirs=" << (on ? 1 : 0) << "\nDeleteEnabled=1\n";
    ASSERT_TRUE(plugin.SetDefaultParams(ini));
}

// One MAT-file of the variables above, opened as the host opens it for
// extraction, and a folder to extract into.
class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testhost::loaded(plugin_));
        UseStructCellasDirs(plugin_, dir_, false);
        archivePath_ = dir_.file("source.mat");
        WriteFile(archivePath_, File5(Order::Little, {kA, kEmpty, kStruct, kHandle, kGlobalHandle, kCompressedB}));
        fs::create_directory(out_);
    }

    // Opens the archive and reads headers until the named entry is current;
    // the entry's file name comes back in *fileName.
    std::unique_ptr<testhost::Archive> OpenAt(const std::string& variable, std::string* fileName,
                                              int mode = PK_OM_EXTRACT) {
        auto archive = std::make_unique<testhost::Archive>(plugin_, archivePath_, mode);
        EXPECT_TRUE(archive->ok());
        if (!archive->ok()) return archive;
        testhost::Entry entry;
        while (testhost::ReadOneHeader(plugin_, archive->handle(), &entry) == 0) {
            if (entry.fileName.rfind(variable + ".", 0) == 0) {
                *fileName = entry.fileName;
                return archive;
            }
        }
        ADD_FAILURE() << "no entry for " << variable;
        return archive;
    }

    int Process(const testhost::Archive& archive, int operation, const char* destPath, const std::string& destName,
                std::string* output = nullptr) {
        int result = -1;
        std::string name = destName;
        const std::string printed = testhost::CaptureStdout(
            [&] { result = plugin_.ProcessFile(archive.handle(), operation, const_cast<char*>(destPath), name.data()); });
        if (output != nullptr) *output = printed;
        return result;
    }

    // Extracts the variable's entry to out_/<entry file name>.
    int ExtractTo(const std::string& variable, const std::string& folder, std::string* output = nullptr) {
        std::string fileName;
        auto archive = OpenAt(variable, &fileName);
        fs::create_directories(folder);
        return Process(*archive, PK_EXTRACT, nullptr, folder + "/" + fileName, output);
    }

    // The variables of a MAT-file, by the engine.
    std::vector<std::string> VariablesOf(const std::string& path) {
        std::vector<std::string> names;
        MATFile* file = matOpen(path.c_str(), "r");
        if (file == nullptr) return {"<not a MAT-file>"};
        int count = 0;
        char** list = matGetDir(file, &count);
        for (int i = 0; i < count; ++i) names.push_back(list[i]);
        mxFree(list);
        matClose(file);
        return names;
    }

    // The one element after the header, as it stands in the file.
    static Bytes FirstElement(const std::string& path, size_t size) {
        const Bytes file = ReadFile(path);
        if (file.size() < 128 + size) return {};
        return Bytes(file.begin() + 128, file.begin() + 128 + static_cast<long>(size));
    }

    std::vector<std::string> Listing(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& item : fs::recursive_directory_iterator(folder)) {
            names.push_back(fs::relative(item.path(), folder).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    const testhost::Plugin& plugin_ = testhost::LoadedPlugin();
    testenv::TempDir dir_;
    std::string archivePath_;
    std::string out_ = dir_.file("out");
};

TEST_F(Extraction, NothingToDoGivesSuccessAndCreatesNothing) {
    // Before the first ReadHeader there is no current entry.
    {
        testhost::Archive archive(plugin_, archivePath_, PK_OM_EXTRACT);
        ASSERT_TRUE(archive.ok());
        EXPECT_EQ(Process(archive, PK_EXTRACT, nullptr, out_ + "/A.double [2x2] "), E_BAD_DATA);
        EXPECT_EQ(Process(archive, PK_SKIP, nullptr, ""), 0);
    }
    std::string fileName;
    {
        auto archive = OpenAt("A", &fileName);
        EXPECT_EQ(Process(*archive, PK_TEST, nullptr, out_ + "/" + fileName), 0);
        EXPECT_EQ(Process(*archive, PK_SKIP, nullptr, out_ + "/" + fileName), 0);
        EXPECT_EQ(plugin_.ProcessFile(archive->handle(), PK_EXTRACT, nullptr, nullptr), E_EWRITE);
        EXPECT_EQ(Process(*archive, PK_EXTRACT, out_.c_str(), ""), E_EWRITE);
        EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, ""), E_EWRITE);
    }
    {
        auto archive = OpenAt("A", &fileName, PK_OM_LIST);
        EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/" + fileName), 0);
    }
    EXPECT_TRUE(Listing(out_).empty());
}

TEST_F(Extraction, WritesTheVariableByteForByteIntoAMatFileOfItsOwn) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    ASSERT_EQ(fileName, "A.double [2x2] ");

    // The whole destination in DestName; directories made on the way.
    const std::string deep = out_ + "/x/y/" + fileName;
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, deep), 0);
    EXPECT_EQ(VariablesOf(deep + ".mat"), std::vector<std::string>{"A"});
    EXPECT_EQ(FirstElement(deep + ".mat", kA.size()), kA);
    EXPECT_FALSE(fs::exists(deep));

    // DestPath and DestName joined.
    EXPECT_EQ(Process(*archive, PK_EXTRACT, out_.c_str(), fileName), 0);
    EXPECT_EQ(FirstElement(out_ + "/" + fileName + ".mat", kA.size()), kA);

    // Any variable the destination names, whichever entry is current; a
    // compressed one stays compressed. Several dots: the name ends at the first.
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/B.int32.copy [3x1] "), 0);
    EXPECT_EQ(FirstElement(out_ + "/B.int32.copy [3x1] .mat", kCompressedB.size()), kCompressedB);
}

TEST_F(Extraction, StructShownAsDirectoryExtractsWhole) {
    UseStructCellasDirs(plugin_, dir_, true);
    std::string fileName;
    auto archive = OpenAt("st", &fileName);
    ASSERT_EQ(fileName, "st.struct [1x1] /st");
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/" + fileName), 0);
    EXPECT_TRUE(fs::is_directory(out_ + "/st.struct [1x1] "));
    EXPECT_EQ(FirstElement(out_ + "/st.struct [1x1] /st.mat", kStruct.size()), kStruct);
    UseStructCellasDirs(plugin_, dir_, false);
}

TEST_F(Extraction, ViewerFoldersGetTheTextInstead) {
    // Double Commander views from "<temp>/_dc~~~/<number>/".
    for (const char* viewer : {"/_tc", "/_dc~~~/1577053888", "/_dc"}) {
        SCOPED_TRACE(viewer);
        const std::string folder = out_ + viewer;
        std::string printed;
        ASSERT_EQ(ExtractTo("A", folder, &printed), 0);
        EXPECT_EQ(printed, "The file 'data2' was opened\n");
        EXPECT_EQ(ReadText(folder + "/A.double [2x2] "),
                  "A.double [2x2]  =\n\t(1,1) = 1\n\t(2,1) = 3\n\t(1,2) = 2\n\t(2,2) = 4\n\t");
        EXPECT_FALSE(fs::exists(folder + "/A.double [2x2] .mat"));

        ASSERT_EQ(ExtractTo("E", folder), 0);
        EXPECT_EQ(ReadText(folder + "/E.double [0x0] "), "E.double [0x0]  =\n\t");
        ASSERT_EQ(ExtractTo("st", folder), 0);
        EXPECT_EQ(ReadText(folder + "/st.struct [1x1] "), "st.struct [1x1]  =\nClass NOT Supported");
    }
    // A folder merely ending in "_tc" or starting with "_dc" is no viewer folder.
    for (const char* mine : {"/my_tc", "/_dc~"}) {
        ASSERT_EQ(ExtractTo("A", out_ + mine), 0);
        EXPECT_TRUE(fs::exists(out_ + mine + "/A.double [2x2] .mat"));
        EXPECT_FALSE(fs::exists(out_ + mine + "/A.double [2x2] "));
    }
}

TEST_F(Extraction, ViewerTextFileThatCannotBeWrittenIsAFailure) {
    // The destination is taken by a folder: the text file cannot be opened.
    const std::string folder = out_ + "/_tc";
    fs::create_directories(folder + "/A.double [2x2] ");
    std::string printed;
    EXPECT_EQ(ExtractTo("A", folder, &printed), E_EWRITE);
    EXPECT_EQ(printed, "The file 'data2' was not opened\n");
}

TEST_F(Extraction, FunctionHandles) {
    // Refused: an empty MAT-file, or in the viewer the reason why.
    std::string fileName;
    ASSERT_EQ(ExtractTo("f", out_), 0);
    EXPECT_TRUE(VariablesOf(out_ + "/f.function_handle [1x1] .mat").empty());
    ASSERT_EQ(ExtractTo("f", out_ + "/_tc"), 0);
    EXPECT_EQ(ReadText(out_ + "/_tc/f.function_handle [1x1] "),
              std::string("f.function_handle [1x1]  =\n") + FunctionHandleText);
    EXPECT_FALSE(fs::exists(out_ + "/_tc/f.function_handle [1x1] .mat"));

    // A global one lists in upper case and is looked up like any variable.
    auto archive = OpenAt("g", &fileName);
    ASSERT_EQ(fileName, "g.FUNCTION_HANDLE [1x1] ");
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/" + fileName), 0);
    EXPECT_EQ(FirstElement(out_ + "/" + fileName + ".mat", kGlobalHandle.size()), kGlobalHandle);
}

TEST_F(Extraction, DestinationNamingNoVariable) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    std::string printed;
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/Z.double [2x2] ", &printed), E_EREAD);
    EXPECT_EQ(printed, "");
    // The output, without a variable, stays.
    EXPECT_TRUE(VariablesOf(out_ + "/Z.double [2x2] .mat").empty());
    // Text that no listing makes ("%41" is not "A").
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/%41.double [2x2] "), E_EREAD);
}

TEST_F(Extraction, DestinationsLongerThan255CharactersAreRefused) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    // out_ + "/" + folder + "/" + fileName: exactly 255 characters fits.
    const size_t fixed = out_.size() + 2 + fileName.size();
    ASSERT_LT(fixed + 1, 255u);
    const std::string fits = out_ + "/" + std::string(255 - fixed, 'd');
    EXPECT_EQ(Process(*archive, PK_EXTRACT, fits.c_str(), fileName), 0);
    EXPECT_TRUE(fs::exists(fits + "/" + fileName + ".mat"));
    fs::remove_all(fits);

    const std::string tooLong = out_ + "/" + std::string(256 - fixed, 'd');
    EXPECT_EQ(Process(*archive, PK_EXTRACT, tooLong.c_str(), fileName), E_EWRITE);
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, tooLong + "/" + fileName), E_EWRITE);
    EXPECT_TRUE(Listing(out_).empty());
}

// The archive's file rewritten in place with the same size while it is open:
// neither extraction nor the viewer copies bytes of the new file under the
// old one's offsets; both fail with a read error and say why.
TEST_F(Extraction, FileRewrittenWhileOpenIsAReadError) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    Bytes rewritten = ReadFile(archivePath_);
    rewritten[rewritten.size() - 1] ^= 0xFF;
    {
        std::fstream in(archivePath_, std::ios::in | std::ios::out | std::ios::binary);
        in.write(reinterpret_cast<const char*>(rewritten.data()), static_cast<std::streamsize>(rewritten.size()));
    }
    // A rewrite a clock tick later than the open; same second, new nanoseconds.
    const auto time = fs::last_write_time(archivePath_);
    fs::last_write_time(archivePath_, time + std::chrono::nanoseconds(1));
    std::string output;
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/" + fileName, &output), E_EREAD);
    EXPECT_NE(output.find("changed by another program"), std::string::npos) << output;
    fs::create_directories(out_ + "/_tc");
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, out_ + "/_tc/" + fileName), E_EREAD);
    EXPECT_FALSE(fs::exists(out_ + "/_tc/" + fileName));
}

// A symbolic link planted in the viewer folder under the text file's name is
// replaced by the text file; the file it pointed at stays as it was.
TEST_F(Extraction, ViewerReplacesALinkAtTheTextFilesName) {
    std::string fileName;
    auto archive = OpenAt("A", &fileName);
    const std::string victim = dir_.file("victim");
    WriteFile(victim, Bytes(16, 'v'));
    const std::string viewer = out_ + "/_tc";
    fs::create_directories(viewer);
    fs::create_symlink(victim, viewer + "/" + fileName);
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, viewer + "/" + fileName), 0);
    EXPECT_EQ(ReadFile(victim), Bytes(16, 'v'));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(viewer + "/" + fileName)));
    EXPECT_EQ(ReadText(viewer + "/" + fileName).rfind(fileName + " =\n", 0), 0u);
}

}  // namespace

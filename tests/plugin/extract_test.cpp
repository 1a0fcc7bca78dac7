// Extraction through the built plug-in, as a host drives it: OpenArchive in
// extract mode, ReadHeader up to the entry, ProcessFile; and the text the
// viewer gets instead in the hosts' viewer folders.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "export/output.h"
#include "reader/variable_display.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using support::Path;
namespace fs = std::filesystem;

// A number in CSV and JSON is the shortest text that reads back to the same
// double, laid out as std::to_chars lays it out (fixed or scientific,
// whichever is shorter; a whole number's exact digits), however it is made:
// edges of the layouts, every power of ten, and doubles of random bits.
TEST(NumberText, IsTheTextStdToCharsMakes) {
    std::vector<double> values = {0.0, 1, 0.1, 2.0 / 3, 1e5, 123456, 1e15, 1e16, 1e21, 1e22, 1e23, 1e-4, 1e-5,
                                  1.5e-5, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
                                  9007199254740992.0, 9007199254740994.0, 1.2345678901234567e19};
    for (int p = -325; p <= 307; ++p) values.push_back(7 * std::pow(10.0, p));
    std::mt19937_64 random(1);
    for (int k = 0; k < 100000; ++k) values.push_back(static_cast<double>(random() >> (11 + k % 53)));   // whole numbers
    for (double w : {9007199254740991.0, 4503599627370497.0, 123456789.0, 120.0}) values.push_back(w);
    while (values.size() < 1000000) {
        const uint64_t bits = random();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (std::isfinite(v)) values.push_back(v);
    }
    size_t differ = 0;
    for (double value : values) {
        for (const double v : {value, -value}) {
            char ours[exporting::kDoubleTextRoom], theirs[64];
            const std::string made(ours, exporting::PutDouble(v, false, ours));
            const std::string expected(theirs, std::to_chars(theirs, theirs + sizeof theirs, v).ptr);
            if (made != expected && differ++ < 10) ADD_FAILURE() << made << " where std::to_chars makes " << expected;
        }
    }
    EXPECT_EQ(differ, 0u);
}

const Order o = Order::Little;
const Bytes kA = NumericVar(o, "A", mxDOUBLE, {2, 2}, {1, 3, 2, 4});
const Bytes kStruct = StructVar(o, "st", {1, 1}, {"a"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {7})});
const Bytes kInner = StructVar(o, "", {1, 1}, {"a"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})});
const Bytes kGlobalHandle = Matrix(o, Cat({FlagsElement(o, mxFUNCTION, kGlobal), DimsElement(o, {1, 1}), NameElement(o, "g"), kInner}));

class Extraction : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        source = Write("source.mat", File5(o, {kA, NumericVar(o, "E", mxDOUBLE, {0, 0}, {}), kStruct,
                                               FunctionHandleVar(o, "f", kInner), kGlobalHandle}));
        fs::create_directory(out);
        // A viewer folder of the hosts': "<temp>/_dc~~~/<n>/", n of this test.
        viewer = Path(Path(platform::HostTempFolders().at(0), "_dc~~~"), fs::path(dir.path()).filename().string());
        fs::create_directories(viewer);
    }
    void TearDown() override { fs::remove_all(viewer); }

    std::unique_ptr<testhost::Archive> OpenAt(const std::string& path, const std::string& variable, std::string* fileName,
                                              int mode = PK_OM_EXTRACT) {
        return testhost::OpenAt(plugin, path, variable, fileName, mode);
    }
    // Extracts the variable's entry of the source into the folder.
    int ExtractTo(const std::string& variable, const std::string& folder, std::string* output = nullptr) {
        std::string fileName;
        auto archive = OpenAt(source, variable, &fileName);
        fs::create_directories(folder);
        return Process(*archive, PK_EXTRACT, nullptr, Path(folder, fileName), output);
    }
    // The one element after the header of the MAT-file `path`.
    static Bytes FirstElement(const std::string& path, size_t size) {
        const Bytes file = ReadFile(path);
        return file.size() < 128 + size ? Bytes() : Bytes(file.begin() + 128, file.begin() + 128 + static_cast<long>(size));
    }
    // A variable's real values, by the engine; none when it does not read.
    static std::vector<double> Values(const std::string& path, const char* variable) {
        support::FilePtr file(matOpen(path.c_str(), "r"));
        support::ArrayPtr array(file ? matGetArray(file.get(), variable) : nullptr);
        return array ? support::ReadReal(array.get(), mxGetNumberOfElements(array.get())) : std::vector<double>();
    }
    std::string Viewed(const std::string& folder, const std::string& fileName) {
        return support::Unix(support::ReadText(Path(folder, fileName)));
    }

    // These options' lines in the settings file, the others at their defaults (SetUp sets them again).
    void UseOptions(const std::string& lines) {
        support::WriteText(dir.file("wcx.ini"), "[MATlab]\n" + lines);
        ASSERT_TRUE(plugin.SetDefaultParams(dir.file("wcx.ini")));
    }

    std::string source;
    std::string out = Path(dir.path(), "out");
    std::string viewer;
};

// Where the current entry goes, by the host's DestPath and DestName: the
// whole destination in DestName (folders made on the way), or both joined;
// whatever name the host gives, the variable is the current entry (".mat"
// added unless it ends so). Destinations as long as the system takes them
// (folders of 200 characters; no single name may pass 255); a path that
// does not fit (with ".mat", with the temporary beside it) and a destination
// whose folder is a file are E_ECREATE, not a failed read; testing, skipping
// and a listing-only archive make nothing.
TEST_F(Extraction, TheCurrentEntryGoesWhereTheHostSaysAndNowhereElse) {
    {
        // Before the first ReadHeader there is no current entry.
        testhost::Archive archive(plugin, source, PK_OM_EXTRACT);
        EXPECT_EQ(Process(archive, PK_EXTRACT, nullptr, Path(out, "A.double [2x2] ")), E_BAD_DATA);
        EXPECT_EQ(Process(archive, PK_SKIP, nullptr, ""), 0);
    }
    std::string fileName;
    EXPECT_EQ(Process(*OpenAt(source, "A", &fileName, PK_OM_LIST), PK_EXTRACT, nullptr, Path(out, fileName)), 0);
    auto archive = OpenAt(source, "A", &fileName);
    ASSERT_EQ(fileName, "A.double [2x2] ");
    EXPECT_EQ(plugin.ProcessFile(archive->handle(), PK_EXTRACT, nullptr, nullptr), E_EWRITE);
    const std::string plain = Write(Path("out", "plain"), Bytes{'x'}), folder(200, 'd'), typed = Path(out, "typed");
    const std::string deep = Path(Path(Path(dir.path(), "deep"), folder), folder);   // over 400 characters, beside out
    std::string tooLong = out;
    while (tooLong.size() + 1 + fileName.size() + 4 <= platform::kMaxPathLength) tooLong = Path(tooLong, folder);
    // A folder of 4,070 bytes: the MAT-file's name fits, its temporary beside it does not.
    std::string nearLimit = out;
    while (nearLimit.size() + 1 + folder.size() <= 4070) nearLimit = Path(nearLimit, folder);
    nearLimit = Path(nearLimit, std::string(4070 - nearLimit.size() - 1, 'e'));
    const struct { int operation; std::string destPath, destName; int result; std::string made; } cases[] = {
        {PK_TEST, "", Path(out, fileName), 0, ""},
        {PK_SKIP, "", Path(out, fileName), 0, ""},
        {PK_EXTRACT, out, "", E_EWRITE, ""},
        {PK_EXTRACT, "", "", E_EWRITE, ""},
        {PK_EXTRACT, "", Path(plain, fileName), E_ECREATE, ""},
        {PK_EXTRACT, "", Path(tooLong, fileName), E_ECREATE, ""},
        {PK_EXTRACT, tooLong, fileName, E_ECREATE, ""},
        {PK_EXTRACT, "", Path(nearLimit, fileName), E_ECREATE, ""},
        {PK_EXTRACT, "", Path(Path(out, "x"), fileName), 0, Path(Path(out, "x"), fileName) + ".mat"},
        {PK_EXTRACT, out, fileName, 0, Path(out, fileName) + ".mat"},
        {PK_EXTRACT, deep, fileName, 0, Path(deep, fileName) + ".mat"},
        {PK_EXTRACT, "", Path(typed, "B.int32 [3x1] "), 0, Path(typed, "B.int32 [3x1] .mat")},
        {PK_EXTRACT, "", Path(typed, "myrow.mat"), 0, Path(typed, "myrow.mat")},
        {PK_EXTRACT, "", Path(typed, "Other.MAT"), 0, Path(typed, "Other.MAT")},
        {PK_EXTRACT, "", Path(typed, "plain"), 0, Path(typed, "plain.mat")},
    };
    size_t made = 1;   // "plain"
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destPath + " | " + c.destName);
        EXPECT_EQ(Process(*archive, c.operation, c.destPath.empty() ? nullptr : c.destPath.c_str(), c.destName), c.result);
        if (c.made.empty()) continue;
        made += c.made.rfind(out, 0) == 0;
        EXPECT_EQ(FirstElement(c.made, kA.size()), kA);
    }
    EXPECT_FALSE(fs::exists(Path(out, fileName)));
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out)) files += entry.is_regular_file();
    EXPECT_EQ(files, made);

    // A global function handle lists in upper case and is copied like any
    // variable (compressed ones stay compressed: the engine's tests, interop).
    archive = OpenAt(source, "g", &fileName);
    EXPECT_EQ(fileName, "g.FUNCTION_HANDLE [1x1] ");
    EXPECT_EQ(Process(*archive, PK_EXTRACT, out.c_str(), fileName), 0);
    EXPECT_EQ(FirstElement(Path(out, fileName) + ".mat", kGlobalHandle.size()), kGlobalHandle);

    // An archive changed since it was listed fails the read, and what stood
    // at the destination stays.
    const std::string existing = Write(Path("out", "A.double [2x2] .mat"), Bytes{'o', 'l', 'd'});
    archive = OpenAt(source, "A", &fileName);
    const Bytes whole = ReadFile(source);
    Write("source.mat", Bytes(whole.begin(), whole.begin() + 140));
    EXPECT_EQ(Process(*archive, PK_EXTRACT, out.c_str(), fileName), E_EREAD);
    EXPECT_EQ(support::ReadText(existing), "old");

    // A struct shown as a directory extracts whole into it.
    UseSettings(true, true);
    archive = OpenAt(Write("st.mat", File5(o, {kStruct})), "st", &fileName);
    ASSERT_EQ(fileName, Path("st.struct [1x1] ", "st"));
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, fileName)), 0);
    EXPECT_EQ(FirstElement(Path(out, fileName) + ".mat", kStruct.size()), kStruct);
}

// The text goes only into the hosts' own viewer folders, below the system's
// temporary folder: "<temp>/_dc~~~/<n>/" (and "<temp>\_tc\" on Windows). A
// folder of such a name anywhere else is the user's and gets the MAT-file.
TEST_F(Extraction, ViewerFoldersGetTheTextInstead) {
    UseOptions("ShowContents=0\n");   // the short text
    const std::string temp = platform::HostTempFolders().at(0), name = fs::path(dir.path()).filename().string();
    const std::string lookalike = Path(temp, "_dc~~~" + name);   // "<temp>/_dc~~~evil/1/"
    const std::string up = Path(Path(temp, "_dc~~~"), "up" + name);
    const struct { std::string folder; bool text; } cases[] = {
        {viewer, true},
        {Path(viewer, "st.struct [1x1] "), true},
        {Path(out, "_tc"), false},
        {Path(out, "_dc"), false},
        {Path(Path(out, "_dc~~~"), "1577053888"), false},
        {Path(Path(Path(out, "proj"), "_dc~~~"), "1"), false},
        {Path(lookalike, "1"), false},
        {Path(Path(viewer, ".."), "up" + name), false},   // leaves the folder of its own by ".."
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        std::string printed;
        ASSERT_EQ(ExtractTo("A", c.folder, &printed), 0);
        EXPECT_EQ(printed, c.text ? "The file 'data2' was opened\n" : "");
        EXPECT_EQ(fs::exists(Path(c.folder, "A.double [2x2] .mat")), !c.text);
        EXPECT_EQ(fs::exists(Path(c.folder, "A.double [2x2] ")), c.text);
        if (c.text) {
            EXPECT_EQ(Viewed(c.folder, "A.double [2x2] "), "A.double [2x2]  =\n\t(1,1) = 1\n\t(2,1) = 3\n\t(1,2) = 2\n\t(2,2) = 4\n\t");
        }
    }
    fs::remove_all(lookalike);
    fs::remove_all(up);
    // A function handle is copied like any variable.
    ASSERT_EQ(ExtractTo("f", out), 0);
    EXPECT_EQ(support::VariableNames(Path(out, "f.function_handle [1x1] .mat")), std::vector<std::string>{"f"});
    ASSERT_EQ(ExtractTo("f", viewer), 0);
    EXPECT_EQ(Viewed(viewer, "f.function_handle [1x1] "),
              "f.function_handle [1x1]  =\nSorry Mathworks does not support 'function_handle' extraction.\n"
              "And any way, why would you like to load at invalid handle to memory?");
    // The text comes straight from the engine: no MAT-file is made on the
    // way (here none could be: a folder holds its name).
    fs::remove(Path(viewer, "A.double [2x2] "));
    fs::create_directories(Path(viewer, "A.double [2x2] .mat"));
    ASSERT_EQ(ExtractTo("A", viewer), 0);
    EXPECT_TRUE(fs::is_regular_file(Path(viewer, "A.double [2x2] ")));
    // The text file cannot be written (a folder stands there): a failure.
    fs::create_directories(Path(viewer, "st.struct [1x1] "));
    std::string printed;
    EXPECT_EQ(ExtractTo("st", viewer, &printed), E_EWRITE);
    EXPECT_EQ(printed, "The file 'data2' was not opened\n");
}

// The progress callback of either form: counts its calls and the bytes
// told; Cancel at call cancelAt, or at the last one (the one that completes
// the listed size) when there are fewer (a version 7.3 file's calls follow
// its worker's pace).
int calls = 0, cancelAt = 0;
uint64_t told = 0, listed = 0;
int WCX_CALL Progress(char*, int size) {
    ++calls;
    told += static_cast<uint64_t>(size);
    return cancelAt > 0 && (calls == cancelAt || told >= listed) ? 0 : 1;
}
int WCX_CALL ProgressW(WCHAR*, int size) { return Progress(nullptr, size); }

// Cancel at each progress call in turn, over a new and an existing
// destination, leaves what was there (or nothing), no temporary, and answers
// E_EABORTED: a version 4 variable encoded anew, level-5 ones copied (plain,
// compressed, a scalar), a version 7.3 one (compressed: its file is far
// smaller than its values) written by the worker; and each as CSV, NPY and
// PNG (a sparse matrix, all of its values stored, as CSV and Matrix Market).
// Done, the reports add up to the listed size exactly. Every other source
// reports through the UTF-16 callback.
TEST_F(Extraction, CancelAtAnyProgressCallLeavesTheDestinationAsItWas) {
    const std::vector<double> values(400000, 1.5);
    std::vector<std::pair<std::string, uint64_t>> sources = {
        {Write("v4.mat", V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "P", 400000, 1, values)), 400000},
        {Write("plain.mat", File5(o, {NumericVar(o, "P", mxDOUBLE, {400000, 1}, values)})), 400000},
        {Write("z.mat", File5(o, {Compressed(o, NumericVar(o, "P", mxDOUBLE, {400000, 1}, values))})), 400000},
        {Write("scalar.mat", File5(o, {NumericVar(o, "P", mxDOUBLE, {1, 1}, {2})})), 1}};
    std::vector<int32_t> rows(400000);
    for (size_t k = 0; k < rows.size(); ++k) rows[k] = static_cast<int32_t>(k);
    const std::string sparse = Write("sparse.mat", File5(o, {SparseVar(o, "P", 400000, 1, rows, {0, 400000}, values)}));
    sources.emplace_back(sparse, 400000);
    const std::string v73 = Path(dir.path(), "v73.mat");
    const std::string make = support::Python() + " -c 'import sys, numpy, hdf5storage\n"
                             "hdf5storage.savemat(sys.argv[1], {\"P\": numpy.zeros((400000, 1))}, format=\"7.3\")' '" + v73 + "'";
    const bool made = std::system(make.c_str()) == 0 && matIsMatFile(v73.c_str()) != 0;
#if !defined(_WIN32)   // the Windows shell starts no Python
    ASSERT_TRUE(made) << make;
#endif
    if (made) sources.emplace_back(v73, 400000);
    const std::string old = "old bytes";
    for (size_t i = 0; i < sources.size(); ++i) for (const char* name : {"P.mat", "P.CSV", "P.npy", "P.PNG"}) {
        const std::string& path = sources[i].first;
        if (path == sparse && std::strcmp(name, "P.npy") == 0) name = "P.mtx";
        if (path == sparse && std::strcmp(name, "P.PNG") == 0) continue;   // no picture of a sparse matrix
        const std::string destination = Path(out, name);
        listed = sources[i].second * 8;
        int count = 0;
        for (int at = 0; at <= count; ++at) {
            for (const bool existing : {false, true}) {
                if (at == 0 && existing) continue;
                SCOPED_TRACE(path + " to " + name + " at " + std::to_string(at) + (existing ? " over a file" : ""));
                fs::remove(destination);
                if (existing) support::WriteText(destination, old);
                std::string fileName;
                auto archive = OpenAt(path, "P", &fileName);
                i % 2 == 0 ? plugin.SetProcessDataProc(archive->handle(), Progress)
                           : plugin.SetProcessDataProcW(archive->handle(), ProgressW);
                calls = 0, told = 0, cancelAt = at;
                const int result = Process(*archive, PK_EXTRACT, nullptr, destination);
                EXPECT_TRUE(support::StrayTemporaries(out).empty());
                if (at == 0) {   // the first run counts the calls
                    ASSERT_EQ(result, 0);
                    EXPECT_EQ(told, listed);
                    count = calls;
                    continue;
                }
                EXPECT_EQ(result, E_EABORTED);
                EXPECT_EQ(fs::exists(destination), existing);
                if (existing) {
                    EXPECT_EQ(support::ReadText(destination), old);
                }
            }
        }
        EXPECT_GT(count, 0);
    }
}

// A version 7.3 matrix of more rows than one block holds goes to CSV after
// one pass that reads it in order (each of its chunks inflated once, not
// once per block and column): that pass reports too, the first report
// within its first half, and a Cancel at any of its reports (or the first
// after it) ends the export with nothing made.
std::vector<uint64_t> toldAt;   // what was told by each call, in turn
int WCX_CALL Noting(char*, int size) {
    toldAt.push_back(told += static_cast<uint64_t>(size));
    return 1;
}

TEST_F(Extraction, AVersion73MatrixReportsAndCancelsWhileItIsRead) {
    const std::string v73 = Path(dir.path(), "rows.mat");
    const std::string make = support::Python() + " -c 'import sys, numpy, hdf5storage\n"
                             "hdf5storage.savemat(sys.argv[1], {\"P\": numpy.zeros((1100, 2000))}, format=\"7.3\")' '" + v73 + "'";
    if (std::system(make.c_str()) != 0 || matIsMatFile(v73.c_str()) == 0) GTEST_SKIP() << "no hdf5storage";
    const std::string destination = Path(out, "P.csv");
    listed = uint64_t{1100} * 2000 * 8;
    toldAt.clear();
    for (size_t at = 0; at == 0 || (at <= toldAt.size() && (at == 1 || toldAt[at - 2] <= listed / 2)); ++at) {
        SCOPED_TRACE("cancel at " + std::to_string(at));
        fs::remove(destination);
        std::string fileName;
        auto archive = OpenAt(v73, "P", &fileName);
        plugin.SetProcessDataProc(archive->handle(), at == 0 ? Noting : Progress);
        calls = 0, told = 0, cancelAt = static_cast<int>(at);
        const int result = Process(*archive, PK_EXTRACT, nullptr, destination);
        EXPECT_TRUE(support::StrayTemporaries(out).empty());
        if (at == 0) {
            ASSERT_EQ(result, 0);
            ASSERT_GT(toldAt.size(), 2u);
            EXPECT_LT(toldAt[0], listed / 2);
            continue;
        }
        EXPECT_EQ(result, E_EABORTED);
        EXPECT_FALSE(fs::exists(destination));
    }
}

// The bytes told in steps (the polls while a variable is copied aside, of
// the current file's 0 %, left out).
int WCX_CALL Steps(char*, int size) {
    if (size > 0) toldAt.push_back(told += static_cast<uint64_t>(size));
    return 1;
}

// A cell of texts more than is held in memory goes out from a scratch copy,
// made before the first byte of its CSV: the host is asked between its
// pieces, and a Cancel there ends the export with nothing written. Its JSON
// reports as it is written, not only at its end.
TEST_F(Extraction, ACancelWhileALargeVariableIsCopiedAsideEndsTheExport) {
    std::vector<Bytes> cells;
    for (int i = 0; i < 30000; ++i) cells.push_back(CharVar(Order::Little, "", std::string(300, 'a' + i % 26)));
    const std::string big = Write("big.mat", File5(Order::Little, {Compressed(Order::Little, CellVar(Order::Little, "c", {30000, 1}, cells))}));
    const std::string destination = Path(out, "c.csv");
    std::string fileName;
    auto archive = OpenAt(big, "c", &fileName);
    plugin.SetProcessDataProc(archive->handle(), Progress);
    calls = 0, told = 0, cancelAt = 1;
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, destination), E_EABORTED);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fs::exists(destination));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    archive = OpenAt(big, "c", &fileName);
    plugin.SetProcessDataProc(archive->handle(), Steps);
    told = 0, toldAt.clear();
    ASSERT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, "c.json")), 0);
    EXPECT_GT(toldAt.size(), 8u);
    // A table whose subsystem data (11 MB) is copied aside: the same.
    const std::string source = testenv::Get("MATWCX_SOURCE_DIR"), table = Path(dir.path(), "table.mat");
    const std::string make = support::Python() + " '" + source + "/bench/make_table.py' '" + source +
                             "/tests/objects/matlab/struct_table_datetime.mat' 200000 '" + table + "'";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "no numpy or pandas";
    archive = OpenAt(table, "testTable", &fileName);
    plugin.SetProcessDataProc(archive->handle(), Progress);
    calls = 0, told = 0, cancelAt = 1;
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, "t.csv")), E_EABORTED);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(fs::exists(Path(out, "t.csv")));
}

// The option "Extract as": version 7.3 makes HDF5 of a level-5 variable
// (and copies a version 7.3 one as it stands) and version 7 a compressed
// level-5 file of a version 7.3 one, each with the source's values, over a
// file the host names and beside one it did not.
TEST_F(Extraction, ExtractAsTheOtherVersionKeepsTheValues) {
    const std::string v73 = dir.file("h.mat");
    ASSERT_TRUE(support::CopyTestData("hdf5storage/v73.mat", v73)) << "no test data hdf5storage";
    const struct { std::string from; const char* variable; int version; const char* header; } cases[] = {
        {v73, "h_double", 7, "MATLAB 5.0 MAT-file"}, {source, "A", 73, "MATLAB 7.3 MAT-file"},
        {v73, "h_cube", 73, "MATLAB 7.3 MAT-file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        UseOptions("ExtractVersion=" + std::to_string(c.version) + "\n");
        const std::vector<double> want = Values(c.from, c.variable);
        ASSERT_FALSE(want.empty());
        for (const bool asked : {true, false}) {
            std::string fileName;
            auto archive = OpenAt(c.from, c.variable, &fileName);
            const std::string destination = Path(out, std::string(c.variable) + (asked ? ".mat" : ""));
            support::WriteText(destination + (asked ? "" : ".mat"), "old bytes");
            ASSERT_EQ(Process(*archive, PK_EXTRACT, nullptr, destination), 0);
            const std::string written = asked ? destination : destination + " (2).mat";
            EXPECT_EQ(support::ReadText(written).substr(0, 19), c.header);
            if (c.version == 7) { EXPECT_EQ(support::ElementTypes(ReadFile(written)), std::vector<uint32_t>{15}); }
            EXPECT_EQ(Values(written, c.variable), want);
        }
    }
}

// A compressed matrix of more elements than one block goes out row by row
// whole, both parts of a complex one, where each block reads a piece of
// every column (from the part inflated once aside, or inflated again).
TEST_F(Extraction, ACompressedMatrixOfManyBlocksGoesOutWhole) {
    const int32_t m = 1500, n = 1400;   // 2,100,000 elements: two blocks of rows
    const std::vector<double> re = Iota(static_cast<size_t>(m) * n), im = Iota(static_cast<size_t>(m) * n, -1e7);
    source = Write("blocks.mat", File5(o, {CompressedRaw(o, Zlib(NumericVar(o, "packed", mxDOUBLE, {m, n}, re, im), 1))}));
    std::string fileName;
    auto archive = OpenAt(source, "packed", &fileName);
    ASSERT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, "packed.csv")), 0);
    std::istringstream text(support::ReadText(Path(out, "packed.csv")));
    std::string line;
    int32_t r = 0;
    for (; std::getline(text, line); ++r) {
        if (r % 499 != 0 && r != m - 1) continue;   // rows of both blocks and across their seam
        const auto element = [&](int32_t j) {   // "a-bi", as std::to_chars writes each
            char a[32], b[32];
            const size_t k = static_cast<size_t>(j) * m + static_cast<size_t>(r);
            return std::string(a, std::to_chars(a, a + 32, re[k]).ptr) + std::string(b, std::to_chars(b, b + 32, im[k]).ptr) + "i";
        };
        EXPECT_EQ(line.rfind(element(0) + ",", 0), 0u) << r << ": " << line.substr(0, 40);
        EXPECT_EQ(line.substr(line.size() - element(n - 1).size() - 1), "," + element(n - 1)) << r;
    }
    EXPECT_EQ(r, m);
}

// A MAT-file name the host did not ask about (".mat" added) never replaces
// a file: two extractions of one name into a folder leave both copies, the
// second under the first free name, said in the log line; a destination
// ending in ".mat" is the host's to replace. No free name that fits: E_ECREATE.
TEST_F(Extraction, ACopyNeverReplacesAFileTheHostDidNotAskAbout) {
    const std::string first = Path(out, "A.double [2x2] .mat"), second = Path(out, "A.double [2x2]  (2).mat");
    std::string printed;
    ASSERT_EQ(ExtractTo("A", out), 0);
    support::WriteText(first, "first");
    ASSERT_EQ(ExtractTo("A", out, &printed), 0);
    EXPECT_EQ(support::ReadText(first), "first");
    EXPECT_EQ(FirstElement(second, kA.size()), kA);
    EXPECT_NE(printed.find("extracted as " + second), std::string::npos) << printed;
    ASSERT_EQ(ExtractTo("A", out), 0);
    EXPECT_EQ(FirstElement(Path(out, "A.double [2x2]  (3).mat"), kA.size()), kA);
    std::string fileName;
    auto archive = OpenAt(source, "A", &fileName);
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, first), 0);
    EXPECT_EQ(FirstElement(first, kA.size()), kA);
    EXPECT_TRUE(support::StrayTemporaries(out).empty());
    // One name out of a version 7.3 file, then out of a level-5 file: the
    // second copy (written by the other writer) still takes a free name.
    const std::string simple = testenv::TestDataDir() + "/matlab73-simple/";
    for (const char* file : {"v73.mat", "v5.mat"}) {
        std::string entry;
        auto from = OpenAt(simple + file, "double", &entry);
        ASSERT_EQ(Process(*from, PK_EXTRACT, nullptr, Path(out, entry)), 0) << file;
    }
    EXPECT_EQ(matIsMatFile(Path(out, "double.double [1x1] .mat").c_str()), 1);
    EXPECT_EQ(matIsMatFile(Path(out, "double.double [1x1]  (2).mat").c_str()), 1);
    EXPECT_NE(ReadFile(Path(out, "double.double [1x1] .mat")), ReadFile(Path(out, "double.double [1x1]  (2).mat")));
    // A name whose " (2)" would not fit the longest path.
    std::string deep = out;
    while (deep.size() + 201 + 20 <= platform::kMaxPathLength - 60) deep = Path(deep, std::string(200, 'd'));
    deep = Path(deep, std::string(platform::kMaxPathLength - deep.size() - 1 - fileName.size() - 4 - 2, 'e'));
    // Too long for the temporary name beside it already (POSIX) or for " (2)".
    fs::create_directories(deep);
    support::WriteText(Path(deep, fileName) + ".mat", "kept");
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(deep, fileName)), E_ECREATE);
    EXPECT_EQ(support::ReadText(Path(deep, fileName) + ".mat"), "kept");
}

// Damaged data is neither copied nor passed by the test operation: each
// answers E_BAD_DATA and says why; no MAT-file is written. The test
// operation reads a version 7.3 variable whole, with all it refers to: each
// way of damage (made in the file's bytes after h5py wrote it) has its reason. The viewer reads
// only what it shows: with ShowContents on, damage it meets (here the short
// data, and a checksum that all of the text reaches) ends its text with a
// line that says so and answers E_BAD_DATA.
TEST_F(Extraction, DamagedDataIsRefusedWithTheReason) {
    Bytes wrongSum = Compressed(o, NumericVar(o, "sum", mxDOUBLE, {60, 60}, Iota(3600)));
    wrongSum.back() ^= 0x01;   // the stream's Adler-32
    Bytes emptySum = Compressed(o, NumericVar(o, "empty", mxDOUBLE, {0, 0}, {}));
    emptySum.back() ^= 0x01;
    const Bytes shortData = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {2, 2}), NameElement(o, "short"),
                                           ValueElement(o, miDOUBLE, {1, 2, 3})}));
    const Bytes longData = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {2, 2}), NameElement(o, "long"),
                                          ValueElement(o, miDOUBLE, {1, 2, 3, 4, 5})}));
    // A struct's field whose data claims more bytes than its array holds.
    const Bytes badField = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {1, 1}), NameElement(o, ""), Tag(o, miDOUBLE, 64), U64(o, 0)}));
    source = Write("damaged5.mat", File5(o, {Compressed(o, NumericVar(o, "good", mxDOUBLE, {60, 60}, Iota(3600))), wrongSum,
                                            shortData, longData, StructVar(o, "nest", {1, 1}, {"a"}, {badField}), kStruct, emptySum}));
    UseOptions("ShowContents=0\n");
    struct Case { std::string path, name; const char* reason; };   // null: sound
    std::vector<Case> cases = {{source, "good", nullptr}, {source, "st", nullptr}, {source, "sum", "(zlib: incorrect data check)"}, {source, "short", ""},
                               {source, "long", ""}, {source, "nest", ""}, {source, "empty", ""}};
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/plugin/damaged73_writer.py";
    const bool made = std::system((support::Python() + " '" + writer + "' '" + dir.path() + "'").c_str()) == 0;
#if !defined(_WIN32)   // the Windows shell starts no Python
    ASSERT_TRUE(made) << writer;
#endif
    if (made) {
        for (const auto& [name, reason] : std::vector<std::pair<std::string, const char*>>{
                 {"good", nullptr}, {"goodCell", nullptr}, {"goodSparse", nullptr}, {"goodStruct", nullptr},
                 {"cut", "does not read whole"}, {"sum", "does not read whole"}, {"irRange", "(ir)"}, {"irOrder", "(ir)"},
                 {"jcFall", "(jc)"}, {"irShort", "sizes"}, {"dangling", "leads to no object"}, {"emptyDims", "dimensions"},
                 {"fieldShape", "dimensions"}, {"goodFill", nullptr}, {"sumFill", "does not read whole"}}) {
            cases.push_back({dir.file("damaged.mat"), name, reason});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + c.name);
        const std::string& name = c.name;
        std::string fileName, printed;
        auto archive = OpenAt(c.path, name, &fileName);
        ASSERT_FALSE(fileName.empty());
        EXPECT_EQ(Process(*archive, PK_TEST, nullptr, "", &printed), c.reason ? E_BAD_DATA : 0);
        if (c.reason == nullptr) continue;
        EXPECT_EQ(printed.rfind("Damaged variable " + name + ": ", 0), 0u) << printed;
        EXPECT_NE(printed.find(c.reason), std::string::npos) << printed;
        if (c.path != source) {
            // A damaged sparse matrix is checked whole before its export, which then writes nothing.
            if (name.rfind("ir", 0) == 0 || name == "jcFall") {
                EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, name + ".mtx")), E_BAD_DATA);
            }
            continue;
        }
        // (An export to CSV, PNG or SVG reads a numeric array once: it meets the damage itself.)
        EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, fileName)), E_BAD_DATA);
        EXPECT_EQ(fs::exists(Path(out, fileName + ".mat")), false);
        EXPECT_EQ(ExtractTo(name, viewer), 0);   // the plain text shows "..." where data breaks off
        for (const char* extension : {".csv", ".png", ".svg"}) {
            EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, name + extension)), E_BAD_DATA) << extension;
        }
    }
    // A level-5 sparse matrix's lines are read once, by the export, which
    // meets a wrong checksum or falling column starts itself: nothing written.
    Bytes sparseSum = Compressed(o, SparseVar(o, "sparseSum", 3, 3, {0, 1, 2}, {0, 1, 2, 3}, {1, 2, 3}));
    sparseSum.back() ^= 0x01;
    const std::string sparseFile = Write("damaged_sparse.mat", File5(o, {sparseSum, SparseVar(o, "sparseFall", 3, 3, {0, 1, 2}, {0, 2, 1, 3}, {1, 2, 3})}));
    for (const std::string name : {"sparseSum", "sparseFall"}) {
        std::string fileName;
        auto archive = OpenAt(sparseFile, name, &fileName);
        for (const char* extension : {".mtx", ".csv"}) {
            EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, Path(out, name + extension)), E_BAD_DATA) << name << extension;
        }
    }
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(out), {}), 0);
    UseOptions("ShowContents=1\n");
    for (const std::string name : {"good", "sum", "short"}) {
        std::string fileName;
        OpenAt(source, name, &fileName);
        EXPECT_EQ(ExtractTo(name, viewer), name == "good" ? 0 : E_BAD_DATA) << name;
        const std::string text = Viewed(viewer, fileName);
        EXPECT_EQ(text.find("The data is damaged") != std::string::npos, name != "good") << text;
    }
}

// The test operation passes every variable of MATLAB's own files but those
// whose object data MATLAB's test files damaged on purpose: those fail, named.
TEST_F(Extraction, TestPassesMatlabsFilesButDamagedObjectData) {
    size_t sound = 0, damaged = 0;
    const fs::path matlabFiles = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files";
    for (const auto& file : fs::recursive_directory_iterator(matlabFiles)) {
        if (file.path().extension() != ".mat") continue;
        const bool broken = file.path().filename().string().rfind("corrupted_", 0) == 0;
        testhost::Archive archive(plugin, file.path().string(), PK_OM_EXTRACT);
        for (testhost::Entry entry; testhost::ReadOneHeader(plugin, archive.handle(), &entry) == 0;) {
            std::string printed;
            const int result = Process(archive, PK_TEST, nullptr, "", &printed);
            if (broken && result == E_BAD_DATA && printed.rfind("Damaged variable ", 0) == 0) ++damaged;
            if (!broken) {
                EXPECT_EQ(result, 0) << file.path() << " " << printed;
            }
            sound += result == 0 && !broken;
        }
    }
    EXPECT_GT(sound, 60u);
    EXPECT_EQ(damaged, 2u);
}

// The viewer's text of one variable "x": what follows the entry's name line
// (with ShowContents on, all of it). The option is off unless a test sets it.
class ViewerText : public Extraction {
protected:
    void SetUp() override {
        Extraction::SetUp();
        UseOptions("ShowContents=0\n");
    }
    std::string Of(const Bytes& element) {
        std::string fileName;
        auto archive = OpenAt(Write("x.mat", File5(o, {element})), "x", &fileName);
        if (Process(*archive, PK_EXTRACT, nullptr, Path(viewer, fileName)) != 0) return "<failed>";
        const std::string text = Viewed(viewer, fileName), head = fileName + " =\n";
        return text.rfind(head, 0) == 0 ? text.substr(head.size()) : text;   // with ShowContents: no such line
    }
};

Bytes Int64s(uint8_t flags, const std::vector<int32_t>& dims, const std::vector<int64_t>& real, bool complex = false) {
    Bytes content = Cat({FlagsElement(o, mxINT64, flags), DimsElement(o, dims), NameElement(o, "x"), Element(o, miINT64, ValuesI64(o, real))});
    if (complex) Append(content, Element(o, miINT64, ValuesI64(o, real)));
    return Matrix(o, content);
}

const Bytes kEmoji = Matrix(o, Cat({FlagsElement(o, mxCHAR), DimsElement(o, {1, 3}), NameElement(o, "x"),
                                    Element(o, miUTF8, Text("a\xF0\x9F\x98\x80" "b"))}));

TEST_F(ViewerText, EveryKindOfValue) {
    const Bytes scalar = NumericVar(o, "", mxDOUBLE, {1, 1}, {1});
    const std::vector<std::pair<Bytes, std::string>> cases = {
        // Storage order: the first subscript changes fastest.
        {NumericVar(o, "x", mxDOUBLE, {2, 3}, {1, 4, 2, 5, 3, 6}),
         "\t(1,1) = 1\n\t(2,1) = 4\n\t(1,2) = 2\n\t(2,2) = 5\n\t(1,3) = 3\n\t(2,3) = 6\n\t"},
        {NumericVar(o, "x", mxINT8, {1, 1, 2}, {7, 8}), "\t(1,1,1) = 7\n\t(1,1,2) = 8\n\t"},
        {NumericVar(o, "x", mxDOUBLE, {1, 1}, {1.5}, {2}), "\t(1,1) = 1.5 + 2i\n\t"},
        {NumericVar(o, "x", mxSINGLE, {1, 2}, {1.5, -0.25}), "\t(1,1) = 1.5\n\t(1,2) = -0.25\n\t"},
        // "%g" keeps six significant digits.
        {NumericVar(o, "x", mxDOUBLE, {1, 2}, {1e-10, 1234567}), "\t(1,1) = 1e-10\n\t(1,2) = 1.23457e+06\n\t"},
        {NumericVar(o, "x", mxUINT8, {1, 3}, {1, 0, 1}, {}, kLogical), "\t(1,1) = 1\n\t(1,2) = 0\n\t(1,3) = 1\n\t"},
        // Stored in a smaller type than its class, as MATLAB compresses.
        {NumericVar(o, "x", mxDOUBLE, {1, 2}, {7, 300}, {}, 0, miUINT16), "\t(1,1) = 7\n\t(1,2) = 300\n\t"},
        // 64-bit integers are not rounded through double.
        {Int64s(0, {1, 3}, {INT64_MIN, 9007199254740993LL, -1}),
         "\t(1,1) = -9223372036854775808\n\t(1,2) = 9007199254740993\n\t(1,3) = -1\n\t"},
        {Matrix(o, Cat({FlagsElement(o, mxUINT64), DimsElement(o, {1, 2}), NameElement(o, "x"),
                        Element(o, miUINT64, ValuesU64(o, {UINT64_MAX, 18014398509481985ULL}))})),
         "\t(1,1) = 18446744073709551615\n\t(1,2) = 18014398509481985\n\t"},
        // Sparse arrays show their stored elements.
        {SparseVar(o, "x", 3, 3, {0, 2, 1}, {0, 1, 2, 3}, {1, 2, 3}), "\t(1,1) = 1\n\t(3,2) = 2\n\t(2,3) = 3\n\t"},
        {SparseVar(o, "x", 2, 3, {1, 0}, {0, 1, 1, 2}, {1, 2}, {-1, 0.5}), "\t(2,1) = 1 - 1i\n\t(1,3) = 2 + 0.5i\n\t"},
        {SparseVar(o, "x", 2, 2, {1}, {0, 0, 1}, {1}, {}, kLogical), "\t(2,2) = 1\n\t"},
        // Characters: UTF-16 units as UTF-8, a 2-by-2 array row by row.
        {CharVar(o, "x", "hello"), "hello"},
        {CharVar(o, "x", {1, 3}, {0x65E5, 0x672C, 0x8A9E}), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {CharVar(o, "x", {2, 2}, {'a', 'b', 'c', 'd'}), "ac\nbd"},
        // A NUL character as U+2400, the symbol for null: the text goes on after it.
        {CharVar(o, "x", {1, 3}, {'a', 0, 'b'}), "a\xE2\x90\x80" "b"},
        // scipy's UTF-8 text of 3 characters: an emoji is a surrogate pair, two of MATLAB's chars.
        {kEmoji, "a\xF0\x9F\x98\x80" "b"},
        {CellVar(o, "x", {1, 1}, {scalar}), "Class NOT Supported"},
        {OpaqueVar(o, "x", "string", scalar), "Class NOT Supported"},
    };
    for (const auto& [element, text] : cases) EXPECT_EQ(Of(element), text);
}

// With ShowContents on, the value as MATLAB's command window shows it (format
// short g, an 80-character line) after what `whos` says of it.
// A function handle as MATLAB writes one: its text in the struct it holds.
Bytes Handle(const std::string& function, const std::string& type) {
    const Bytes inner = StructVar(o, "", {1, 1}, {"function", "type", "file"},
                                  {CharVar(o, "", function), CharVar(o, "", type), CharVar(o, "", "")});
    return FunctionHandleVar(o, "x", StructVar(o, "", {1, 1}, {"matlabroot", "separator", "sentinel", "function_handle"},
                                               {CharVar(o, "", "/opt/matlab"), CharVar(o, "", "/"), CharVar(o, "", "@"), inner}));
}

TEST_F(ViewerText, ShowsTheValueAsMatlabLaysItOut) {
    UseOptions("ShowContents=1\n");
    EXPECT_EQ(Of(NumericVar(o, "x", mxDOUBLE, {2, 3}, {1, 4, 2, 5, 3, 6}, {1, 1, 1, 1, 1, 1})).rfind(
                  "  Name  Size  Bytes  Class     Attributes\n\n  x     2x3      96  double    complex\n\nx =\n\n", 0),
              0u);
    const std::string w = "            ";   // 12 blanks: a double's column is 13 characters wide
    const std::vector<std::pair<Bytes, std::string>> cases = {
        // Rows across, one format for the block: whole numbers whole, others with 5 significant digits.
        {NumericVar(o, "x", mxDOUBLE, {2, 2}, {1, 100000, -3, 4}), w + "1           -3\n       100000" + w + "4\n"},
        {NumericVar(o, "x", mxDOUBLE, {1, 3}, {1.0 / 3, 123456.7, -0.0}), "      0.33333   1.2346e+05" + w + "0\n"},
        {NumericVar(o, "x", mxDOUBLE, {1, 3}, {NAN, INFINITY, -INFINITY}), "          NaN          Inf         -Inf\n"},
        // printf's "%.5g" digits: exponents of two digits, a tie to even, a carry into the next decade.
        {NumericVar(o, "x", mxDOUBLE, {1, 5}, {1e-5, 0.00012346, 12344.5, -99999.7, 1e15}),
         "        1e-05   0.00012346        12344       -1e+05        1e+15\n"},
        // Blocks of the columns that fit 80 characters.
        {NumericVar(o, "x", mxDOUBLE, {1, 7}, Iota(7, 1)),
         "  Columns 1 through 6\n\n" + w + "1" + w + "2" + w + "3" + w + "4" + w + "5" + w + "6\n\n  Column 7\n\n" + w + "7\n"},
        // Complex values: the sign between the parts; short g's columns, or
        // whole numbers as wide as the matrix's widest of each part.
        {NumericVar(o, "x", mxDOUBLE, {1, 2}, {3, 1.5}, {-4, 0.25}),
         w + "3 -           4i          1.5 +        0.25i\n"},
        {NumericVar(o, "x", mxDOUBLE, {1, 2}, {1, 3}, {2, -4}), "   1 + 2i   3 - 4i\n"},
        {NumericVar(o, "x", mxDOUBLE, {2, 1}, {-1, 10}, {100, -3}), "   -1 + 100i\n   10 -   3i\n"},
        {Int64s(kComplex, {1, 2}, {INT64_MIN, 5}, true),
         "  Column 1\n\n   -9223372036854775808 - 9223372036854775808i\n\n  Column 2\n\n                      5 +                   5i\n"},
        // Integers and logicals: three blanks, then as wide as the matrix's widest value.
        {NumericVar(o, "x", mxINT8, {2, 2}, {1, -128, 3, 127}), "      1      3\n   -128    127\n"},
        {NumericVar(o, "x", mxUINT32, {1, 3}, {7, 10, 0}), "    7   10    0\n"},
        {NumericVar(o, "x", mxUINT8, {1, 3}, {1, 0, 1}, {}, kLogical), "   1   0   1\n"},
        // Sparse: the stored values as "(row,col)  value".
        {SparseVar(o, "x", 10, 3, {0, 9, 1}, {0, 2, 2, 3}, {1, 2, 0.5}),
         "   ( 1,1)" + w + "1\n   (10,1)" + w + "2\n   ( 2,3)          0.5\n"},
        {SparseVar(o, "x", 2, 2, {}, {0, 0, 0}, {}), "   All zero sparse: 2x2\n"},
        // Char arrays row by row; empty arrays as MATLAB writes them.
        {CharVar(o, "x", {2, 3}, {'a', 'd', 'b', 'e', 'c', 'f'}), "    'abc'\n    'def'\n"},
        {CharVar(o, "x", {1, 3}, {'a', 0, 'b'}), "    'a\xE2\x90\x80" "b'\n"},
        {kEmoji, "    'a\xF0\x9F\x98\x80" "b'\n"},
        {NumericVar(o, "x", mxDOUBLE, {0, 0}, {}), "     []\n"},
        {NumericVar(o, "x", mxDOUBLE, {0, 3}, {}), "  0x3 empty double array\n"},
        // Function handles: their text, an anonymous one's without its scope.
        {Handle("sin", "simple"), "\tfunction_handle with value:\n\t  @sin\n\n"},
        {Handle("sf%0@(x)x.^2+a", "anonymous"), "\tfunction_handle with value:\n\t  @(x)x.^2+a\n\n"},
        // A matrix inside a struct in MATLAB's syntax, row by row; one of more dimensions by its class and size.
        {StructVar(o, "x", {1, 1}, {"m", "c", "p"},
                   {NumericVar(o, "", mxDOUBLE, {2, 2}, {1, 3, 2, 4}), NumericVar(o, "", mxINT8, {2, 1}, {1, -2}),
                    NumericVar(o, "", mxDOUBLE, {1, 2, 2}, {1, 2, 3, 4})}),
         "\tstruct [1x1]\n\t  m = double [2x2] = [1 2;3 4]\n\t  c = int8 [2x1] = [1;-2]\n\t  p = double [1x2x2]\n\n"},
        // An empty struct: its field names.
        {StructVar(o, "x", {0, 0}, {"a", "bc"}, {}), "\t0x0 empty struct array with fields:\n\t  a\n\t  bc\n\n"},
        {StructVar(o, "x", {1, 0}, {}, {}), "\t1x0 empty struct array with no fields.\n\n"},
    };
    for (const auto& [element, text] : cases) {
        const std::string shown = Of(element);
        // After the whos lines, and the name where numbers follow it.
        const size_t whos = shown.find("\n\n", shown.find("\n\n") + 2);
        const std::string values = whos == std::string::npos ? shown : shown.substr(whos + 2);
        EXPECT_EQ(values.rfind("x =\n\n", 0) == 0 ? values.substr(5) : values, text);
    }
    EXPECT_NE(Of(kEmoji).find("\n  x     1x4  "), std::string::npos);   // two units for the emoji
    EXPECT_NE(Of(StructVar(o, "x", {1, 1}, {"t", "u"}, {CharVar(o, "", {1, 3}, {'a', 0, 'b'}), NumericVar(o, "", mxDOUBLE, {1, 1}, {7})}))
                  .find("\t  t = char [1x3] = 'a\xE2\x90\x80" "b'\n\t  u = double [1x1] = 7\n"),
              std::string::npos);
    // N-d arrays page by page, under the variable's name and subscripts.
    EXPECT_NE(Of(NumericVar(o, "x", mxINT8, {1, 2, 2, 2}, {1, 2, 3, 4, 5, 6, 7, 8}))
                  .find("\n\nx(:,:,1,1) =\n\n   1   2\n\nx(:,:,2,1) =\n\n   3   4\n\nx(:,:,1,2) =\n\n"),
              std::string::npos);
    // The bound: whole lines up to it, then how many elements are not shown.
    UseOptions("ShowContents=1\nViewMaxBytes=300\n");
    const std::string bounded = Of(NumericVar(o, "x", mxDOUBLE, {100, 1}, Iota(100, 1)));
    const size_t end = bounded.find("           15\n\n  ... 85 of 100 elements not shown (the text's bound of 300 bytes).\n");
    EXPECT_NE(end, std::string::npos) << bounded;
    EXPECT_TRUE(end + 14 <= 300 && end + 28 > 300) << end;   // line 15 ends within 300 bytes, line 16 would not
}

// A struct's field names are read whole, however many (MATLAB gives each
// 32 bytes or more: 40,000 of them pass the first megabyte read).
TEST_F(ViewerText, ShowsAStructOfManyFields) {
    UseOptions("ShowContents=1\n");
    std::vector<std::string> fields;
    std::vector<Bytes> values;
    for (int k = 0; k < 40000; ++k) {
        fields.push_back("a_field_name_of_thirty_one_chars" + std::to_string(k));
        values.push_back(NumericVar(o, "", mxDOUBLE, {1, 1}, {double(k)}));
    }
    const std::string text = Of(StructVar(o, "x", {1, 1}, fields, values));
    EXPECT_NE(text.find("\t  a_field_name_of_thirty_one_chars999 = double [1x1] = 999\n"), std::string::npos);
    EXPECT_EQ(text.find("data is damaged"), std::string::npos);
}

// A row of int8 shows 13 values a block: its text reads ahead on one thread
// (not one a block), and the blocks that straddle two reads show their
// values in order, plain or compressed, real or complex.
TEST_F(ViewerText, ReadsAheadOnOneThreadAndKeepsTheOrder) {
    const int32_t n = 100003;
    std::vector<double> values(n);
    for (int32_t i = 0; i < n; ++i) values[static_cast<size_t>(i)] = i % 101 - 50;
    const Bytes row = NumericVar(o, "r", mxINT8, {1, n}, values), complex = NumericVar(o, "r", mxINT8, {1, n}, values, values);
    for (const Bytes& element : {row, Compressed(o, row), Compressed(o, complex)}) {
        support::FilePtr file(matOpen(Write("r.mat", File5(o, {element})).c_str(), "r"));
        support::ArrayPtr array(file ? matGetArray(file.get(), "r") : nullptr);
        ASSERT_TRUE(array);
        std::string text;
        const uint64_t before = DisplayReadersStarted();
        const auto append = [](void* to, const char* data, size_t length) {
            static_cast<std::string*>(to)->append(data, length);
            return true;
        };
        EXPECT_EQ(WriteVariableDisplay(array.get(), {"r", uint64_t{n}}, kDefaultViewMaxBytes, append, &text), DisplayResult::Shown);
        EXPECT_EQ(DisplayReadersStarted() - before, 1u);
        // The real parts in the text's order: every value, each in its place.
        std::istringstream lines(text.substr(text.find("r =\n")));
        size_t shown = 0, wrong = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.find("Column") != std::string::npos || line.find('=') != std::string::npos) continue;
            std::istringstream cells(line);
            for (std::string cell; cells >> cell;) {
                if (cell == "+" || cell == "-" || cell.back() == 'i') continue;
                if (std::stod(cell) != values[shown++ % values.size()]) ++wrong;
            }
        }
        EXPECT_EQ(shown, values.size());
        EXPECT_EQ(wrong, 0u);
    }
}

// The text stops right after the element line that takes it past 992
// characters ("\t..." follows), never past its buffer; a longer text is cut
// to 1023 bytes at a character's boundary.
TEST_F(ViewerText, StopsRightAfterTheLinePassing992CharactersAndCutsLongText) {
    auto zeros = [](int32_t n) { return NumericVar(o, "x", mxDOUBLE, {1, n}, std::vector<double>(n, 0.0)); };
    // "\t" and the lines "(1,k) = 0\n\t" of 10 + digits of k characters: k = 84 passes 992.
    const std::string whole = Of(zeros(83)), last = Of(zeros(84));
    EXPECT_EQ(whole.size(), 988u);
    EXPECT_EQ(whole.substr(whole.size() - 12), "(1,83) = 0\n\t");
    EXPECT_EQ(last, whole + "(1,84) = 0\n\t...");
    EXPECT_EQ(Of(zeros(5000)), last);

    // 64 dimensions and the widest values: every line whole.
    std::vector<int32_t> dims(64, 1);
    dims[63] = 40;
    const std::string text = Of(NumericVar(o, "x", mxDOUBLE, dims, std::vector<double>(40, -1.23456789e-300),
                                           std::vector<double>(40, -1.7976931348623157e308)));
    EXPECT_EQ(text.substr(text.size() - 4), "\t...");
    std::string second = "(";
    for (int k = 0; k < 63; ++k) second += "1,";
    EXPECT_EQ(text.find(second + "2) = -1.23457e-300 - 1.79769e+308i\n\t"), text.find('\n') + 2);
    const std::string wide = Of(Int64s(kComplex, dims, std::vector<int64_t>(40, INT64_MIN), true));
    EXPECT_NE(wide.find(") = -9223372036854775808 - 9223372036854775808i\n\t..."), std::string::npos);

    std::string ascii(1500, 'a');
    for (size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(Of(CharVar(o, "x", ascii)), ascii.substr(0, 1023));
    std::string twoByte;
    for (int i = 0; i < 511; ++i) twoByte += "\xC3\xA9";
    EXPECT_EQ(Of(CharVar(o, "x", {1, 1500}, std::vector<uint16_t>(1500, 0x00E9))), twoByte);
}

}  // namespace

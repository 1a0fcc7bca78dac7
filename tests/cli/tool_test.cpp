// The matwcx command end to end: it loads the built plug-in and drives it as
// a file manager does; here what the command itself prints and answers.
#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "support/support.h"

namespace {

using namespace matbuild;
using support::ToolRun;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class MatwcxCommand : public ::testing::Test {
protected:
    // The viewer's short text, which these tests read (contents are on by default).
    void SetUp() override { support::WriteText(ini(), "[MATlab]\nShowContents=0\n"); }
    // matwcx --ini <own file> ARGS..., with `input` on its stdin.
    ToolRun Run(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--ini", ini()});
        return support::RunTool(io, args, input);
    }
    std::string ini() const { return io.file("wcx.ini"); }
    // A (3-by-4 double) and B (1-by-2 double), created Fri Feb 18 10:28:03 2005.
    std::string WriteAB() {
        WriteFile(dir.file("ab.mat"), File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {3, 4}, Iota(12)),
                                                            NumericVar(Order::Little, "B", mxDOUBLE, {1, 2}, Iota(2))}));
        return dir.file("ab.mat");
    }

    testenv::TempDir dir;   // the test's MAT-files
    testenv::TempDir io;    // the command's settings file and captured output
};

// Each command's exit status (2: a usage error) and what it prints on its
// standard output (whole, or a part) and on its standard error (a part);
// what extraction and deletion leave.
TEST_F(MatwcxCommand, AnswersTextsAndFiles) {
    const std::string path = WriteAB(), v4 = dir.file("v4.mat"), text = dir.file("notes.txt"), out = dir.file("out");
    WriteFile(v4, V4Matrix(V4Order::Big, V4Precision::Int16, V4Type::Full, "x", 2, 3, Iota(6)));
    WriteFile(text, Text("not a MAT-file\n"));
    const Bytes before = ReadFile(path);
    // Damaged sources: refused by add and convert, no file made (the cases of damage: tests/plugin).
    Bytes badSum = Zlib(NumericVar(Order::Little, "v", mxDOUBLE, {1, 8}, Iota(8)));
    badSum.back() ^= 1;
    const std::string damaged = dir.file("damaged.mat"), damaged73 = testenv::TestDataDir() + "/damaged73/sparse.mat";
    WriteFile(damaged, File5(Order::Little, {CompressedRaw(Order::Little, badSum)}));
    const std::vector<std::string> notMade = {dir.file("t.mat"), dir.file("c7.mat"), dir.file("c73.mat")};
    const std::string logical = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/v7/logical.mat";
    // What the command prints of a refusal: on Windows the reason is in the
    // system's message box, and the host hears that one was shown.
    const auto refused = [](const std::string& reason) {
#if defined(_WIN32)
        return reason.empty() ? reason : std::string("(E_EABORTED)");
#else
        return reason;
#endif
    };
    const struct { std::vector<std::string> args; int status; bool whole; std::string out, err, input = ""; } cases[] = {
        {{"add", "--yes", notMade[0], damaged}, 1, false, "", refused("damaged.mat: its variable v is damaged")},
        {{"convert", damaged, notMade[1], "--to", "7"}, 1, false, "", refused("damaged.mat: its variable v is damaged")},
        {{"convert", damaged73, notMade[2], "--to", "7.3"}, 1, false, "", refused("sparse.mat: its variable bad is damaged")},
        {{"frobnicate"}, 2, false, "", ""},
        {{"view", path}, 2, false, "", ""},
        {{"options", "--delete", "maybe"}, 2, false, "", ""},
        {{"--plugin", dir.file("none.wcx64"), "caps"}, 1, false, "", "cannot load the plug-in"},
        {{"check", path, v4, text}, 1, true, path + ": MAT-file\n" + v4 + ": MAT-file\n" + text + ": not accepted\n", ""},
        {{"check", path, v4}, 0, false, "", ""},
        // The date line after the plug-in's opening report (seconds halved).
        {{"dir", path}, 0, false, "Done\nDate: 2005-02-18 10:28:02\n", ""},
        {{"dir", dir.file("missing.mat")}, 1, false, "", "cannot open archive (E_EOPEN)"},
        {{"list", path}, 0, false, "\"A.double [4x3] \"  ", ""},
        {{"list", path}, 0, false, "2005-02-18 10:28:02", ""},
        {{"list", "--json", path}, 0, false, R"({"name": "A.double [4x3] ", "variable": "A", "packSize": 152, "unpSize": 96, )", ""},
        {{"list", "--json", path}, 0, false, R"({"name": "B.double [2x1] ", "variable": "B", "packSize": 72, "unpSize": 16, )", ""},
        {{"list", "--json", path}, 0, false, R"("date": "2005-02-18 10:28:02")", ""},
        {{"view", path, "B"}, 0, true, "B.double [2x1]  =\n\t(1,1) = 0\n\t(1,2) = 1\n\t\n", ""},
        {{"view", path, "C"}, 1, false, "", "no variable \"C\""},
        {{"delete", path, "A"}, 1, false, "Delete 1 variable? [y/N]", "", "n\n"},
        {{"delete", "--yes", path, "A", "Z"}, 1, false, "", "no variable \"Z\""},
        {{"extract", path, "-d", out}, 0, false, "", ""},
        {{"extract", path, "B", "-d", dir.file("only")}, 0, false, "", ""},
        // A full logical matrix is refused by Matrix Market as any full array is
        // (on Windows the reason is in the message box; the command hears the code).
        {{"extract", logical, "logical_mat", "--as", "mtx", "-d", dir.file("lg")}, 1, false, "",
#if defined(_WIN32)
         "not supported (E_NOT_SUPPORTED)"},
#else
         "a full (not sparse) array cannot be written as Matrix Market"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        const ToolRun run = Run(c.args, c.input);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.whole) {
            EXPECT_EQ(support::Unix(run.out), c.out);
        } else {
            EXPECT_TRUE(Contains(run.out, c.out)) << run.out;
        }
        EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
    }
    for (const std::string& file : notMade) EXPECT_FALSE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(support::RunTool(io, {}).status, 2);
    EXPECT_FALSE(Contains(Run({"list", path}).out, "Reading file"));   // the plug-in's lines are silenced
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(support::VariableNames(support::Path(out, "A.double [4x3] .mat")), std::vector<std::string>{"A"});
    EXPECT_EQ(support::VariableNames(support::Path(out, "B.double [2x1] .mat")), std::vector<std::string>{"B"});
    EXPECT_EQ(support::Entries(dir.file("only")), std::vector<std::string>{"B.double [2x1] .mat"});
    EXPECT_EQ(Run({"delete", "--yes", path, "A.double [4x3] "}).status, 0);
    EXPECT_EQ(support::VariableNames(path), std::vector<std::string>{"B"});
}

// The options the next run's plug-in reads; options that cannot be saved
// are no success: the command says so and fails.
TEST_F(MatwcxCommand, OptionsRoundTripThroughTheSettingsFile) {
    EXPECT_TRUE(Contains(Run({"options"}).out, "StructCellasDirs = 0 "));
    ToolRun set = Run({"options", "--struct-dirs", "on", "--delete", "off"});
    EXPECT_EQ(set.status, 0);
    EXPECT_TRUE(Contains(set.out, "StructCellasDirs = 1 ") && Contains(set.out, "DeleteEnabled    = 0 ")) << set.out;
    const std::string path = WriteAB();
    ToolRun refused = Run({"delete", "--yes", path, "A"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "not supported (E_NOT_SUPPORTED)"));
    EXPECT_EQ(Run({"options", "--struct-dirs", "off", "--delete", "on"}).status, 0);
    EXPECT_EQ(Run({"delete", "--yes", path, "A"}).status, 0);

    std::filesystem::permissions(ini(), std::filesystem::perms::owner_read);
    const std::string before = support::ReadText(ini());
    ToolRun unsaved = Run({"options", "--delete", "off"});
    EXPECT_NE(unsaved.status, 0);
    EXPECT_TRUE(Contains(unsaved.err, "could not be saved")) << unsaved.err;
    std::filesystem::permissions(ini(), std::filesystem::perms::owner_all);
    EXPECT_EQ(support::ReadText(ini()), before);
}

}  // namespace

// A version 7.3 file is read from itself only, and only as far as its
// stored data is sound: a variable whose data or link leads to another file
// lists, is refused with its reason (nothing of the other file is shown, a
// FIFO does not block), and is never copied; a chunk that decodes to less or
// more than a chunk is damaged, and its variable shows no value and is not
// extracted (libhdf5 would copy a whole chunk out of a shorter buffer). The
// files' other variables read as ever.
TEST_F(MatwcxCommand, Version73DataOutsideItsFileOrDamagedIsNeverRead) {
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/cli/hostile73_writer.py";
    if (std::system((support::Python() + " '" + writer + "' '" + dir.path() + "'").c_str()) != 0) {
        GTEST_SKIP() << "no h5py";
    }
    for (const char* file : {"damaged.mat", "damaged_latest.mat"}) {
        const std::string path = dir.file(file);
        if (!Contains(Run({"list", path}).out, "good.double")) GTEST_SKIP() << "this build reads no version 7.3 file";
        for (const char* name : {"short", "long", "raw"}) {
            if (name == std::string("raw") && file != std::string("damaged.mat")) continue;
            const ToolRun view = Run({"view", path, name});
            EXPECT_TRUE(Contains(view.out, name + std::string(".uint64 [4x2]  =\n\t...")) && !Contains(view.out, "(1,1)"))
                << file << name << view.out;
            const ToolRun extract = Run({"extract", path, name, "-d", dir.file("out")});
            EXPECT_EQ(extract.status, 1) << file << name;
            EXPECT_TRUE(Contains(extract.err, "E_BAD_DATA")) << file << name << extract.err;
        }
        EXPECT_TRUE(Contains(Run({"view", path, "good"}).out, "(1,3) = 2")) << file;
        EXPECT_TRUE(Contains(Run({"view", path, "sound"}).out, "(2,4) = 8")) << file;
    }
    const std::string path = dir.file("hostile.mat");
    const ToolRun list = Run({"list", path});
    struct Case {
        const char* name;
        const char* reason;
    };
    const Case cases[] = {{"P", "HDF5 external storage"}, {"F", "HDF5 external storage"},
                          {"V", "virtual dataset"}, {"S", "HDF5 external link"}};
    for (const Case& c : cases) {
        EXPECT_TRUE(Contains(list.out, "\"" + std::string(c.name) + ".")) << c.name;
        // Refused before a byte outside is read: the FIFO behind F would
        // block a read forever, so this view's completion is the bound.
        const ToolRun view = Run({"--verbose", "view", path, c.name});
        EXPECT_EQ(view.status, 1) << c.name;
        EXPECT_TRUE(Contains(view.out + view.err, c.reason)) << c.name << view.out;
        EXPECT_TRUE(Contains(view.err, "E_BAD_DATA")) << c.name << view.err;
        EXPECT_FALSE(Contains(view.out + view.err, "PASSWORD")) << c.name;
        EXPECT_EQ(Run({"extract", path, c.name, "-d", dir.file("out")}).status, 1) << c.name;
    }
    // Nothing was written that points outside, and a deletion that would
    // have to copy such a variable is refused with its reason, the file left
    // as it was; deleting all of them leaves a file of what was inside.
    EXPECT_TRUE(!std::filesystem::exists(dir.file("out")) || support::Entries(dir.file("out")).empty());
    const Bytes before = ReadFile(path);
    for (const char* deleted : {"good", "P"}) {
        const ToolRun refused = Run({"delete", "--yes", path, deleted});
        EXPECT_NE(refused.status, 0) << deleted;
        EXPECT_TRUE(Contains(refused.err, "a variable that would be copied keeps its data in other files (HDF5 external storage)"))
            << refused.err;
        EXPECT_EQ(ReadFile(path), before) << deleted;
    }
    EXPECT_TRUE(Contains(Run({"view", path, "good"}).out, "(1,3) = 2"));
    EXPECT_EQ(Run({"extract", path, "good", "-d", dir.file("good")}).status, 0);
    EXPECT_EQ(support::Entries(dir.file("good")), std::vector<std::string>{"good.double [3x1] .mat"});
    EXPECT_EQ(Run({"delete", "--yes", path, "P", "F", "V", "S"}).status, 0);
    EXPECT_EQ(support::VariableNames(path), std::vector<std::string>{"good"});
    EXPECT_TRUE(Contains(Run({"view", path, "good"}).out, "(1,3) = 2"));
}

#if !defined(_WIN32)
// The command killed (SIGKILL) in the middle of an export to CSV leaves
// nothing in the destination folder: no file under the final name, no
// temporary. The kill comes once the command holds a file without a name
// open in that folder, the export's (64 MB of uint8 zeros: 128 MB of text).
TEST_F(MatwcxCommand, AKilledExportLeavesNothingBehind) {
    const std::string path = dir.file("zeros.mat"), out = dir.file("out");
    const Bytes zeros = Matrix(Order::Little, Cat({FlagsElement(Order::Little, mxUINT8), DimsElement(Order::Little, {8192, 8192}),
                                                   NameElement(Order::Little, "Z"), Element(Order::Little, miUINT8, Bytes(1 << 26, 0))}));
    WriteFile(path, File5(Order::Little, {Compressed(Order::Little, zeros)}));
    std::filesystem::create_directory(out);
    const std::vector<std::string> words = {testenv::Get("MATWCX_TOOL"), "--ini", ini(), "extract", path, "--as", "csv", "-d", out};
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // Its descriptors, until one is a file of `out` without a name ("out/#123 (deleted)").
    const std::string fds = "/proc/" + std::to_string(child) + "/fd", unnamed = out + "/#";
    bool seen = false;
    while (!seen && ::waitpid(child, nullptr, WNOHANG) == 0) {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
            seen = seen || std::filesystem::read_symlink(fd.path(), error).string().rfind(unnamed, 0) == 0;
        }
    }
    ASSERT_TRUE(seen) << "the export ended before it was seen";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(std::filesystem::is_empty(out));
}
#endif

// An export whose output would be absurd is refused before it writes: 2^40
// values never written (a file of a few KB) are more than a text format is
// written with (not supported: it goes to .npy or .mat), and their 8 TB as
// NPY more than the disk has free (a write error, as a full disk gives).
TEST_F(MatwcxCommand, AnExportTooLargeForItsFormatOrTheDiskIsRefusedBeforeItWrites) {
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/cli/hostile73_writer.py";
    if (std::system((support::Python() + " '" + writer + "' '" + dir.path() + "'").c_str()) != 0) GTEST_SKIP() << "no h5py";
    const std::string path = dir.file("fill.mat"), out = dir.file("out");
    if (!Contains(Run({"list", path}).out, "[1099511627776x1]")) GTEST_SKIP() << "this build reads no version 7.3 file";
    for (const char* format : {"csv", "tsv", "json", "npy", "png", "svg"}) {
        const ToolRun run = Run({"extract", path, "F", "--as", format, "-d", out});
        EXPECT_EQ(run.status, 1) << format;
        EXPECT_TRUE(Contains(run.err, format == std::string("npy") ? "E_EWRITE" : "E_NOT_SUPPORTED")) << format << run.err;
        EXPECT_TRUE(std::filesystem::is_empty(out)) << format;
    }
}

// A part of a variable by its MATLAB path, in a compressed big-endian file
// and in MATLAB's own (version 7 and 7.3): fields, cell braces (linear and per dimension),
// struct array parens, nesting, an empty field, a table's variable. It views
// and extracts as a variable named after it, its objects' values kept; a
// path that names nothing fails as a missing variable does, saying why.
TEST_F(MatwcxCommand, TakesAPartOfAVariableByItsPath) {
    support::WriteText(ini(), "[MATlab]\nShowContents=1\n");
    constexpr Order o = Order::Big;
    const auto number = [](double v) { return NumericVar(o, "", mxDOUBLE, {1, 1}, {v}); };
    const Bytes r = StructVar(o, "", {1, 3}, {"x"}, {number(5), number(6), number(7)});
    const Bytes a = StructVar(o, "", {1, 1}, {"b"}, {CellVar(o, "", {2, 1}, {CharVar(o, "", "hi"), r})});
    const std::string nested = dir.file("nested.mat"), out = dir.file("out");
    WriteFile(nested, File5(o, {Compressed(o, StructVar(o, "s", {1, 1}, {"a", "e"}, {a, Tag(o, miMATRIX, 0)})),
                                CellVar(o, "../up", {1, 1}, {number(1)})}));
    const std::string matlab = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/";
    const std::string table = matlab + "v7/struct_table_datetime.mat", table73 = matlab + "v7.3/struct_table_datetime.mat";
    const struct { std::string file, path; int status; std::string text; } cases[] = {
        {nested, "s.a.b{2,1}(3).x", 0, "s.a.b{2,1}(3).x =\n\n            7\n"},
        {nested, "s.a.b{2}(2)", 0, "struct [1x1]\n\t  x = double [1x1] = 6\n"},
        {nested, "s.a.b{1}", 0, "'hi'"},
        {nested, "s.e", 0, "s.e   0x0"},
        {nested, "s(1).a.b{1,1}", 0, "'hi'"},
        {nested, "s.a.b{3}", 1, "index exceeds the dimensions of s.a.b (2x1) at s.a.b{3}"},
        {nested, "s.a.b{1,2}", 1, "index exceeds"},
        {nested, "s.a.c", 1, "no field 'c' in s.a"},
        {nested, "s.e.c", 1, "no field 'c' in s.e: it is empty"},
        {nested, "s.a{1}", 1, "braces index cells"},
        {nested, "s.a.b{2}.x", 1, "s.a.b{2} is a 1x3 struct array"},
        {nested, "s.a.b{2}(3)(1)", 1, "only elements of struct and cell arrays"},
        {nested, "s.a.b{0}", 1, "subscripts are whole numbers from 1"},
        {table, "s.testDatetime", 0, "datetime [1x1] = 02-Dec-2019 16:42:49"},
        {table, "s.testTable.Customer", 0, "string [3x1] = \"Jones\", \"Brown\", \"Smith\""},
        {table, "s.testTable.FlightNum", 0, "1261"},
        {table, "s.testTable.Nope", 1, "no variable 'Nope' in the table s.testTable"},
        {table73, "s.testDatetime", 0, "datetime [1x1] = 02-Dec-2019 16:42:49"},   // through its level-5 image
        {table73, "s.testTable.Customer", 0, "string [3x1] = \"Jones\", \"Brown\", \"Smith\""},
        {table73, "s.testTable.Nope", 1, "no variable 'Nope' in the table s.testTable"},
        {matlab + "v7/corrupted_subsystem.mat", "var.x", 1, "object metadata of unknown version 5: damaged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.file == table73 && Run({"list", table73}).status != 0) continue;   // a build that reads no version 7.3
        const ToolRun run = Run({"view", c.file, c.path});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(Contains(c.status == 0 ? run.out : run.err, c.text)) << run.out << run.err;
    }
    ASSERT_EQ(Run({"extract", nested, "s.a.b{2,1}", "s.a.b{2}(3).x", "-d", out}).status, 0);
    EXPECT_EQ(support::VariableNames(out + "/b_2_1.mat"), std::vector<std::string>{"b_2_1"});
    EXPECT_EQ(support::VariableNames(out + "/x.mat"), std::vector<std::string>{"x"});
    // A crafted variable name names no file outside the folder.
    ASSERT_EQ(Run({"extract", nested, "%2E%2E%2Fup{1}", "-d", out}).status, 0);
    EXPECT_EQ(support::VariableNames(out + "/%2E%2E%2Fup_1.mat"), std::vector<std::string>{"../up_1"});
    ASSERT_EQ(Run({"extract", nested, "s.a.b{2}(3).x", "--as", "json", "-d", out}).status, 0);
    EXPECT_EQ(support::ReadText(out + "/x.json"), "7");
    ASSERT_EQ(Run({"extract", table, "s.testTable", "--as", "json", "-d", out}).status, 0);
    EXPECT_TRUE(Contains(support::ReadText(out + "/testTable.json"), R"([{"FlightNum":1261,"Customer":"Jones",)"));
    // The datetime's value is in the subsystem data, which goes along.
    ASSERT_EQ(Run({"extract", table, "s.testDatetime", "-d", out}).status, 0);
    EXPECT_TRUE(Contains(Run({"view", out + "/testDatetime.mat", "testDatetime"}).out, "02-Dec-2019 16:42:49"));
}

// plot: a vector as a line plot (SVG with its title; PNG of the size asked
// for), a matrix as PNG as its image (4 wide, 3 high); a wrong name, side
// or variable writes nothing.
TEST_F(MatwcxCommand, PlotDrawsAVariableAsAsked) {
    const std::string ab = WriteAB(), out = dir.file("plots");
    std::filesystem::create_directory(out);
    const auto side = [](const std::string& png, int at) {
        return png.size() < 24 ? -1 : (static_cast<uint8_t>(png[at + 2]) << 8) | static_cast<uint8_t>(png[at + 3]);
    };
    struct Case {
        std::vector<std::string> args;
        int status, width, height;   // the PNG's, or 0 for an SVG
    };
    const Case cases[] = {
        {{"B", "-o", out + "/b.svg"}, 0, 0, 0},
        {{"B", "-o", out + "/b.png", "--width", "100", "--height", "80"}, 0, 100, 80},
        {{"A", "-o", out + "/a.PNG"}, 0, 4, 3},
        {{"A", "-o", out + "/a.jpg"}, 2, 0, 0},
        {{"B", "-o", out + "/c.svg", "--width", "10"}, 2, 0, 0},
        {{"C", "-o", out + "/c.svg"}, 1, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"plot", ab};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = Run(args);
        EXPECT_EQ(run.status, c.status) << c.args[2] << run.err;
        const std::string written = support::ReadText(c.args[2]);
        if (c.status != 0) {
            EXPECT_FALSE(std::filesystem::exists(c.args[2])) << c.args[2];
        } else if (c.width == 0) {
            EXPECT_NE(written.find("<title>B</title>"), std::string::npos) << written.substr(0, 300);
        } else {
            EXPECT_EQ(written.substr(1, 3), "PNG");
            EXPECT_EQ(side(written, 16), c.width) << c.args[2];
            EXPECT_EQ(side(written, 20), c.height) << c.args[2];
        }
    }
    std::vector<std::string> left = support::Entries(out);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a.PNG", "b.png", "b.svg"}));
}

// An object of a package class: its file is named after the variable, not
// cut at the last dot of the class name.
TEST_F(MatwcxCommand, AnExportIsNamedAfterTheVariable) {
    const std::string path = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/v7/dynamicprops.mat";
    const std::string out = dir.file("out");
    const ToolRun run = Run({"extract", path, "obj", "--as", "txt", "-d", out});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(support::Entries(out), std::vector<std::string>{"obj.txt"});
}

// With contents on, `--as txt` writes the viewer's text byte for byte, for
// every kind of variable (numbers, complex, N-d, chars, structs, cells,
// sparse, function handles, objects; version 7 and 7.3).
TEST_F(MatwcxCommand, ATextExportIsTheViewersText) {
    support::WriteText(ini(), "[MATlab]\nShowContents=1\n");
    const std::string data = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/";
    const std::pair<const char*, const char*> variables[] = {
        {"v7/array.mat", "a2x2x2"}, {"v7/string.mat", "concatenated_strings"}, {"v7/cell.mat", "cell"},
        {"v7/sparse.mat", "sparse_complex"}, {"v7/function_handles.mat", "anonymous"},
        {"v7/struct_table_datetime.mat", "s"}, {"v7.3/complex.mat", "imaginary"}, {"v7.3/struct.mat", "s2"},
    };
    for (const auto& [file, name] : variables) {
        const std::string out = dir.file(name);
        const ToolRun view = Run({"view", data + file, name});
        const ToolRun run = Run({"extract", data + file, name, "--as", "txt", "-d", out});
        ASSERT_EQ(run.status, 0) << file << run.err;
        EXPECT_NE(view.out.find("Attributes"), std::string::npos) << file;   // the text with contents
        EXPECT_EQ(support::ReadText(out + "/" + name + ".txt"), view.out) << file << " " << name;
    }
}

// Two MAT-files whose variable is nested beyond what a comparison takes in
// are not called "not MAT-files": the variable is marked unknown, and the
// command says so.
TEST_F(MatwcxCommand, ADiffThatCannotTellSaysWhichVariable) {
    const std::string path = testenv::Get("MATWCX_TESTDATA") + "/hdf5storage/v73.mat";
    if (!Contains(Run({"list", path}).out, "h_mixed")) GTEST_SKIP() << "this build reads no version 7.3 file";
    const ToolRun run = Run({"diff", path, path});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.out, "unknown  h_mixed")) << run.out;
    EXPECT_TRUE(Contains(run.err, "the variables marked unknown could not be compared in full")) << run.err;
}

// A version 7.3 struct nested 3000 deep, far deeper than any MATLAB array,
// is refused with its reason by every verb (each walk of it stops at the
// walks' budget instead of running for minutes); a deletion that would copy
// it leaves the file as it was, and its sibling reads as ever.
TEST_F(MatwcxCommand, Version73NestedBeyondTheWalksIsRefusedByEveryVerb) {
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/cli/hostile73_writer.py";
    if (std::system((support::Python() + " '" + writer + "' '" + dir.path() + "'").c_str()) != 0) {
        GTEST_SKIP() << "no h5py";
    }
    const std::string path = dir.file("deep.mat"), out = dir.file("out");
    if (!Contains(Run({"list", path}).out, "x.double")) GTEST_SKIP() << "this build reads no version 7.3 file";
    const Bytes before = ReadFile(path);
    const std::string deep = "nested more than 256 levels deep";
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{"view", path, "s"}, deep},
        {{"extract", path, "s", "-d", out}, deep},
        {{"extract", path, "s", "-d", out, "--as", "csv"}, deep},
        {{"extract", path, "s", "-d", out, "--as", "tsv"}, deep},
        {{"extract", path, "s", "-d", out, "--as", "npy"}, deep},
        {{"extract", path, "s", "-d", out, "--as", "json"}, deep},
        {{"extract", path, "s", "-d", out, "--as", "txt"}, deep},
        {{"convert", path, dir.file("c73.mat"), "--to", "7.3"}, deep},
        {{"convert", path, dir.file("c7.mat"), "--to", "7"}, deep},
        {{"delete", "--yes", path, "x"}, deep},
        {{"diff", path, path}, "damaged  s"},   // the content plug-in's check
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--verbose"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = Run(args);
        EXPECT_NE(run.status, 0) << c.args[0] << " " << c.args.back();
        EXPECT_TRUE(Contains(run.out + run.err, c.reason)) << c.args[0] << " " << c.args.back() << run.out << run.err;
    }
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_FALSE(std::filesystem::exists(dir.file("c73.mat")) || std::filesystem::exists(dir.file("c7.mat")));
    EXPECT_TRUE(!std::filesystem::exists(out) || support::Entries(out).empty());
    EXPECT_TRUE(Contains(Run({"view", path, "x"}).out, "(1,3) = 2"));
}

// A version 7.3 file's own soft and external links (beside its variables,
// no variables themselves) stay links to the same places when variables are
// added to it or deleted from it, never followed (other.h5 holds no
// variable); a soft link into #refs#, whose objects a rewrite renames,
// refuses the rewrite with its reason and leaves the file as it was.
TEST_F(MatwcxCommand, Version73OwnLinksAreKeptByAddingAndDeletion) {
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/cli/hostile73_writer.py";
    if (std::system((support::Python() + " '" + writer + "' '" + dir.path() + "'").c_str()) != 0) GTEST_SKIP() << "no h5py";
    const std::string path = dir.file("links.mat"), refs = dir.file("refslink.mat"), z = dir.file("z.mat");
    if (!Contains(Run({"list", path}).out, "a.double")) GTEST_SKIP() << "this build reads no version 7.3 file";
    WriteFile(z, File5(Order::Little, {NumericVar(Order::Little, "z", mxDOUBLE, {1, 3}, Iota(3))}));
    // Each link at the top as h5py sees it: name, kind, file, path.
    const auto links = [&](const std::string& file) {
        const std::string listed = io.file("links.txt");
        const std::string dump = support::Python() + " -c 'import sys, h5py\n"
                                 "for k, l in ((k, h5py.File(sys.argv[1], \"r\").get(k, getlink=True)) "
                                 "for k in h5py.File(sys.argv[1], \"r\")):\n"
                                 "    print(k, type(l).__name__, getattr(l, \"filename\", \"\"), getattr(l, \"path\", \"\"))' '" +
                                 file + "' > '" + listed + "'";
        return std::system(dump.c_str()) == 0 ? support::ReadText(listed) : std::string("(h5py failed)");
    };
    EXPECT_EQ(Run({"add", "--yes", path, z}).status, 0);
    EXPECT_EQ(links(path), "a HardLink  \nb HardLink  \ne ExternalLink other.h5 /x\ns SoftLink  /a\nz HardLink  \n");
    EXPECT_EQ(Run({"delete", "--yes", path, "b", "z"}).status, 0);
    EXPECT_EQ(links(path), "a HardLink  \ne ExternalLink other.h5 /x\ns SoftLink  /a\n");
    const Bytes before = ReadFile(refs);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"add", "--yes", refs, z}, {"delete", "--yes", refs, "b"}}) {
        const ToolRun refused = Run(args);
        EXPECT_NE(refused.status, 0) << args[0];
        EXPECT_TRUE(Contains(refused.err, "a soft link into #refs#")) << refused.err;
        EXPECT_EQ(ReadFile(refs), before) << args[0];
    }
}

#if !defined(_WIN32)   // signals and setenv: POSIX
// A version 7.3 worker killed from outside (SIGKILL) or stopped (SIGSTOP)
// in the middle of a request costs that request once: a fresh worker is
// asked again, and the command succeeds. Killed on the fresh worker too, the
// read fails as a read that stopped (E_EREAD, with the reason), never as
// damage to the data; the writer's worker (adding into a version 7.3 file,
// converting to one) writes the file again on a fresh worker, and lost twice
// the command says that the worker ended, the target stays as it was, the
// source stays and no temporary is left.
TEST_F(MatwcxCommand, Version73WorkerKilledOrStoppedIsNoDamage) {
    const std::string data = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/v7.3/";
    const std::string path = data + "array.mat", complex73 = data + "complex.mat";
    if (!Contains(Run({"list", path}).out, "a2x2.double")) GTEST_SKIP() << "this build reads no version 7.3 file";
    // Adding z into a copy of array.mat: requests 1 the target's headers,
    // then the writer's 2 create, 3 copy of the kept variables, 4 z, 5 finish.
    const std::string target = dir.file("target.mat"), z = dir.file("z.mat"), c73 = dir.file("c73.mat");
    const Bytes pristine = ReadFile(path);
    WriteFile(z, File5(Order::Little, {NumericVar(Order::Little, "z", mxDOUBLE, {1, 3}, Iota(3))}));
    const Bytes zBytes = ReadFile(z);
    struct Case {
        const char* signal;   // MATWCX_TEST_WORKER_SIGNAL: signal, first request, requests
        std::vector<std::string> args;
        int status;
        const char* said;
    };
    const std::string out = dir.file("out");
    const std::vector<std::string> add = {"add", "--yes", target, z};
    // Converting complex.mat: 1 its headers, 2 the check of its variable, 3 create, 4 copy, 5 finish.
    const std::vector<std::string> convert73 = {"convert", complex73, c73, "--to", "7.3"};
    const Case cases[] = {
        {"9 2 1", {"extract", path, "a2x2", "-d", out}, 0, "a2x2.double [2x2] .mat"},
        {"9 2 1", {"extract", path, "a2x2", "-d", out, "--as", "csv"}, 0, "a2x2.csv"},
        {"9 2 1", {"convert", path, dir.file("c7.mat"), "--to", "7"}, 0, "Converted"},
        {"19 2 1", {"extract", path, "a2x2", "-d", out}, 0, "a2x2.double [2x2] .mat"},
        // Killed while it sends a sparse array's element (3: after the listing and the check): read again.
        {"9 3 1 answered", {"view", data + "sparse.mat", "sparse_eye"}, 0, "(20,20)"},
        // Its reader's worker, or (when that one answered before it died) its writer's.
        {"9 2 9", {"extract", path, "a2x2", "-d", out}, 1, "worker program was killed"},
        // Each worker killed once it has answered: more deaths than restarts.
        {"9 2 9 answered", {"convert", path, dir.file("c7k.mat"), "--to", "7"}, 1, "worker program was killed"},
        {"9 3 1", add, 0, "Added to"},
        {"19 4 1", add, 0, "Added to"},
        {"9 2 9", add, 1, "worker program was killed"},
        {"19 4 9", add, 1, "worker program stopped answering"},   // the addition answered or not, finish is not
        {"9 4 1", convert73, 0, "Converted"},
        {"9 3 9", convert73, 1, "worker program was killed"},
        {"9 2 9", convert73, 1, "worker program was killed"},   // the check of the source, or the writer after it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.signal) + " " + c.args[0]);
        std::filesystem::remove_all(out);
        std::filesystem::remove(c73);
        WriteFile(target, pristine);
        setenv("MATWCX_TEST_WORKER_SIGNAL", c.signal, 1);
        std::vector<std::string> args{"--verbose"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = Run(args);
        unsetenv("MATWCX_TEST_WORKER_SIGNAL");
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out + run.err, c.said)) << run.out << run.err;
        EXPECT_FALSE(Contains(run.out + run.err, "E_BAD_DATA") || Contains(run.out + run.err, "damaged")) << run.err;
        EXPECT_EQ(support::StrayTemporaries(dir.path()), std::vector<std::string>{});
        EXPECT_EQ(ReadFile(z), zBytes);
        if (c.args[0] == "add") {
            const std::vector<std::string> names = support::VariableNames(target);
            EXPECT_EQ(std::count(names.begin(), names.end(), "z"), c.status == 0 ? 1 : 0);
            if (c.status != 0) {
                EXPECT_EQ(ReadFile(target), pristine);
            }
        }
        if (c.args == convert73) {
            EXPECT_EQ(std::filesystem::exists(c73) ? support::VariableNames(c73) : std::vector<std::string>{},
                      c.status == 0 ? support::VariableNames(complex73) : std::vector<std::string>{});
        }
    }
    EXPECT_EQ(support::VariableNames(dir.file("c7.mat")), support::VariableNames(path));
}
#endif

// Objects of two files go together: their subsystem data merged, the added
// objects renumbered. Whatever the target (a file with objects of its own,
// one without, a new file), each variable of the result shows what it showed
// in its own file, and the target's own variables keep their bytes.
TEST_F(MatwcxCommand, ObjectsOfTwoFilesMergeAndReadAsInTheirFiles) {
    support::WriteText(ini(), "[MATlab]\nShowContents=1\n");
    const std::vector<std::string> kinds = {"struct_table_datetime", "user_defined_classdefs", "dynamicprops", "function_handles"};
    std::map<std::string, std::string> shown;   // "file|variable" -> the viewer's text in its own file
    auto textsOf = [&](const std::string& path, const std::string& key) {
        for (const std::string& name : support::VariableNames(path)) {
            if (!name.empty()) shown[key + "|" + name] = Run({"view", path, name}).out;
        }
    };
    for (const std::string& kind : kinds) {
        ASSERT_TRUE(support::CopyTestData("objects/" + kind + ".mat", dir.file(kind + ".mat"))) << "no test data objects";
        textsOf(dir.file(kind + ".mat"), kind);
    }
    WriteFile(dir.file("plain.mat"), File5(Order::Little, {NumericVar(Order::Little, "p", mxDOUBLE, {1, 2}, Iota(2))}));
    textsOf(dir.file("plain.mat"), "plain");
    std::vector<std::string> targets = kinds;
    targets.insert(targets.end(), {"plain", "new"});
    for (const std::string& target : targets) {
        for (const std::string& source : kinds) {
            if (source == target) continue;
            SCOPED_TRACE(source + " into " + target);
            const std::string path = dir.file("t.mat");
            std::filesystem::remove(path);
            if (target != "new") std::filesystem::copy_file(dir.file(target + ".mat"), path);
            const Bytes before = target == "new" ? Bytes() : ReadFile(path);
            ASSERT_EQ(Run({"add", "--yes", path, dir.file(source + ".mat")}).status, 0);
            std::set<std::string> seen;
            for (const std::string& name : support::VariableNames(path)) {
                if (name.empty()) continue;
                const std::string from = shown.count(source + "|" + name) != 0 ? source : target;
                EXPECT_EQ(Run({"view", path, name}).out, shown[from + "|" + name]) << name;
                seen.insert(from + "|" + name);
            }
            for (const auto& [key, text] : shown) {
                const std::string file = key.substr(0, key.find('|'));
                if (file == source || file == target) { EXPECT_EQ(seen.count(key), 1u) << key << " missing"; }
            }
            // The target's variables stand as they stood, up to its own subsystem data.
            uint64_t own = before.size();
            if (before.size() > 124) std::memcpy(&own, &before[116], 8);
            if (own == 0 || own > before.size()) own = before.size();
            const Bytes after = ReadFile(path);
            ASSERT_GE(after.size(), own);
            EXPECT_TRUE(std::equal(before.begin() + std::min<uint64_t>(128, own), before.begin() + static_cast<long>(own),
                                   after.begin() + std::min<uint64_t>(128, own)));
        }
    }
    // Damaged subsystem data joins nothing: refused, the target as it was.
    for (const char* damaged : {"corrupted_mcos_object_metadata", "corrupted_subsystem"}) {
        SCOPED_TRACE(damaged);
        ASSERT_TRUE(support::CopyTestData(std::string("objects/") + damaged + ".mat", dir.file("damaged.mat")));
        std::filesystem::remove(dir.file("t.mat"));
        std::filesystem::copy_file(dir.file("user_defined_classdefs.mat"), dir.file("t.mat"));
        const Bytes before = ReadFile(dir.file("t.mat"));
        const ToolRun refused = Run({"add", "--yes", dir.file("t.mat"), dir.file("damaged.mat")});
        EXPECT_NE(refused.status, 0);
#if !defined(_WIN32)   // on Windows the reason is in the system's message box
        EXPECT_TRUE(Contains(refused.out + refused.err, "cannot join")) << refused.out << refused.err;
#endif
        EXPECT_EQ(ReadFile(dir.file("t.mat")), before);
    }
    // All four into a new file at once: three merges in one write.
    std::vector<std::string> all = {"add", "--yes", dir.file("all.mat")};
    for (const std::string& kind : kinds) all.push_back(dir.file(kind + ".mat"));
    ASSERT_EQ(Run(all).status, 0);
    size_t checked = 0;
    for (const auto& [key, text] : shown) {
        const std::string file = key.substr(0, key.find('|')), name = key.substr(key.find('|') + 1);
        if (file == "plain") continue;
        EXPECT_EQ(Run({"view", dir.file("all.mat"), name}).out, text) << key;
        ++checked;
    }
    EXPECT_GT(checked, 10u);
}

// Structs, cells and objects as JSON by jsonencode's rules; what jsonencode
// refuses is refused, naming the part (nothing is written).
TEST_F(MatwcxCommand, StructsCellsAndObjectsGoOutAsJson) {
    const Order le = Order::Little;
    const Bytes matrix = NumericVar(le, "", mxDOUBLE, {2, 3}, {1, 4, 2, 5, 3, std::nan("")});
    const Bytes flags = NumericVar(le, "", mxUINT8, {1, 2}, {1, 0}, {}, kLogical);
    const Bytes names = CharVar(le, "", {2, 3}, {'a', 'd', 'b', 'e', 'c', 'f'});
    const Bytes big = NumericVar(le, "", mxINT64, {1, 1}, {0}, {}, 0);
    // A text longer than the pieces it is handed on in (64 KB).
    const Bytes long_ = NumericVar(le, "long", mxDOUBLE, {1, 30000}, Iota(30000, 1));
    std::string longJson = "[";
    for (int k = 1; k <= 30000; ++k) longJson += (k > 1 ? "," : "") + std::to_string(k);
    WriteFile(dir.file("long.mat"), File5(le, {CellVar(le, "long", {1, 1}, {long_})}));
    WriteFile(dir.file("built.mat"),
              File5(le, {StructVar(le, "s", {1, 1}, {"m", "l", "t", "e", "c", "u"},
                                   {matrix, flags, names, NumericVar(le, "", mxDOUBLE, {0, 0}, {}),
                                    CellVar(le, "", {1, 2}, {CharVar(le, "", "x\"y"), StructVar(le, "", {0, 0}, {"a"}, {})}),
                                    // A lone low surrogate after a letter: no pair, U+FFFD.
                                    CharVar(le, "", {1, 3}, {'a', 0xDC00, 'b'})}),
                         StructVar(le, "z", {1, 1}, {"ok", "bad"}, {big, NumericVar(le, "", mxDOUBLE, {1, 1}, {1}, {2})})}));
    for (const char* kind : {"struct", "cell", "struct_table_datetime", "user_defined_classdefs", "function_handles"}) {
        ASSERT_TRUE(support::CopyTestData(std::string("objects/") + kind + ".mat", dir.file(std::string(kind) + ".mat")) ||
                    support::CopyTestData(std::string("matlab73-") + kind + "/v5.mat", dir.file(std::string(kind) + ".mat")))
            << "no test data " << kind;
        // MATLAB's version 7.3 twins, read through their worker
        support::CopyTestData(std::string("matlab73-") + kind + "/v73.mat", dir.file(std::string(kind) + ".v73.mat"));
    }
    const std::string table = R"({"testDatetime":"02-Dec-2019 16:42:49","testTable":[{"FlightNum":1261,"Customer":"Jones","Date":"20-Dec-2016 00:00:00",)"
        R"("Rating":"Good","Comment":"Flight left on time, not crowded"},{"FlightNum":547,"Customer":"Brown","Date":"21-Dec-2016 00:00:00",)"
        R"("Rating":"Poor","Comment":"Late departure, ran out of dinner options"},{"FlightNum":3489,"Customer":"Smith",)"
        R"("Date":"22-Dec-2016 00:00:00","Rating":"Fair","Comment":"Late, but only by half an hour. Otherwise fine."}],)"
        R"("testDatetimeComplex":"06-Dec-2025 20:28:39"})";
    const struct { const char* file; const char* variable; std::string json; } cases[] = {
        {"built.mat", "s", R"({"m":[[1,2,3],[4,5,null]],"l":[true,false],"t":["abc","def"],"e":[],"c":["x\"y",[]],"u":"a)" "\xEF\xBF\xBD" R"(b"})"},
        {"struct.mat", "s2", R"([{"a":1},{"a":2}])"},
        {"cell.mat", "cell", R"([1,2.01,"string",["string1","string2"]])"},
        {"user_defined_classdefs.mat", "obj_with_default_val", R"({"a":"Default String","b":10})"},
        {"user_defined_classdefs.mat", "obj_array", R"([[{"a":1,"b":[],"c":[]},{"a":2,"b":[],"c":[]}],[{"a":3,"b":[],"c":[]},{"a":4,"b":[],"c":[]}]])"},
        {"struct_table_datetime.mat", "s", table},
        {"struct_table_datetime.v73.mat", "s", table},
        {"cell.v73.mat", "cell", R"([1,2.01,"string",["string1","string2"]])"},
        {"long.mat", "long", "[" + longJson + "]]"},
        {"built.mat", "z", "z.bad: complex numbers"},
        {"function_handles.mat", "anonymous", "anonymous: a function handle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.variable);
        const std::string out = dir.file(std::string("out-") + c.variable);
        std::filesystem::remove_all(out);
        const ToolRun run = Run({"extract", dir.file(c.file), c.variable, "--as", "json", "-d", out});
        if (c.json[0] != '{' && c.json[0] != '[') {
            EXPECT_NE(run.status, 0);
#if !defined(_WIN32)   // on Windows the reason is in the system's message box
            EXPECT_TRUE(Contains(run.out + run.err, c.json)) << run.out << run.err;
#endif
            EXPECT_FALSE(std::filesystem::exists(out + "/" + c.variable + ".json"));
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(support::ReadText(out + "/" + c.variable + ".json"), c.json);
    }
}

// A sparse matrix as its stored values, whatever byte order or compression
// holds it: exactly the lines of Matrix Market and CSV, column after column;
// a logical one as a pattern without its stored false. Damage met while
// the parts are read (a row past the rows, column starts that fall, a part
// shorter than the stored values, a wrong checksum) writes nothing.
TEST_F(MatwcxCommand, SparseMatricesGoOutAsTheirStoredValues) {
    // [0 2.5; -1 0; 0 NaN] in a 3x2 matrix, complex: 1i, 0, -2i.
    const auto real = [](Order o) { return SparseVar(o, "s", 3, 2, {1, 0, 2}, {0, 1, 3}, {-1, 2.5, std::nan("")}); };
    const Bytes complex = SparseVar(Order::Little, "s", 3, 2, {1, 0, 2}, {0, 1, 3}, {-1, 2.5, 4}, {1, 0, -2});
    const Bytes logical = SparseVar(Order::Little, "s", 3, 2, {1, 0, 2}, {0, 1, 3}, {1, 0, 1}, {}, kLogical);
    Bytes badSum = Zlib(real(Order::Little));
    badSum.back() ^= 1;
    const std::string mtxReal = "%%MatrixMarket matrix coordinate real general\n%\n3 2 3\n2 1 -1\n1 2 2.5\n3 2 NaN\n";
    const std::string csvReal = "row,col,value\n2,1,-1\n1,2,2.5\n3,2,NaN\n";
    const struct { const char* what; Bytes file; const char* format; std::string text; } cases[] = {
        {"little-endian", File5(Order::Little, {real(Order::Little)}), "mtx", mtxReal},
        {"big-endian", File5(Order::Big, {real(Order::Big)}), "csv", csvReal},
        {"compressed", File5(Order::Little, {Compressed(Order::Little, real(Order::Little))}), "mtx", mtxReal},
        {"complex", File5(Order::Little, {complex}), "mtx",
         "%%MatrixMarket matrix coordinate complex general\n%\n3 2 3\n2 1 -1 1\n1 2 2.5 0\n3 2 4 -2\n"},
        {"complex", File5(Order::Little, {complex}), "csv", "row,col,value\n2,1,-1+1i\n1,2,2.5+0i\n3,2,4-2i\n"},
        {"logical", File5(Order::Little, {logical}), "mtx", "%%MatrixMarket matrix coordinate pattern general\n%\n3 2 2\n2 1\n3 2\n"},
        {"logical", File5(Order::Little, {logical}), "tsv", "row\tcol\tvalue\n2\t1\t1\n1\t2\t0\n3\t2\t1\n"},
        {"none stored", File5(Order::Little, {SparseVar(Order::Little, "s", 3, 2, {}, {0, 0, 0}, {})}), "mtx",
         "%%MatrixMarket matrix coordinate real general\n%\n3 2 0\n"},
        {"row past the rows", File5(Order::Little, {SparseVar(Order::Little, "s", 3, 2, {1, 3, 2}, {0, 1, 3}, {1, 2, 3})}), "mtx", ""},
        {"falling column starts", File5(Order::Little, {SparseVar(Order::Little, "s", 3, 2, {1, 0, 2}, {0, 3, 2}, {1, 2})}), "csv", ""},
        {"short values", File5(Order::Little, {SparseVar(Order::Little, "s", 3, 2, {1, 0, 2}, {0, 1, 3}, {1, 2})}), "mtx", ""},
        {"wrong checksum", File5(Order::Little, {CompressedRaw(Order::Little, badSum)}), "csv", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " as " + c.format);
        const std::string out = dir.file("out");
        std::filesystem::remove_all(out);
        WriteFile(dir.file("sparse.mat"), c.file);
        const ToolRun run = Run({"--verbose", "extract", dir.file("sparse.mat"), "s", "--as", c.format, "-d", out});
        const std::string written = out + "/s." + c.format;
        if (c.text.empty()) {
            EXPECT_NE(run.status, 0);
            EXPECT_TRUE(Contains(run.out + run.err, "Damaged variable s")) << run.out << run.err;
            EXPECT_FALSE(std::filesystem::exists(written));
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_EQ(support::ReadText(written), c.text);
    }
}

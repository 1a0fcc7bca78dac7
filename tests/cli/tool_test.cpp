// The matwcx command end to end: it loads the built plug-in and drives it as
// a file manager does.
#include <filesystem>

#include "matwcx_version.h"
#include "support/mat_builder.h"
#include "support/support.h"

namespace {

using namespace matbuild;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

using support::ReadText;
using support::ToolRun;

class MatwcxCommand : public ::testing::Test {
protected:
    // matwcx --ini <own file> ARGS..., with `input` on its stdin.
    ToolRun Run(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> all = {"--ini", ini()};
        all.insert(all.end(), args.begin(), args.end());
        return support::RunTool(io, all, input);
    }
    ToolRun RunRaw(const std::vector<std::string>& args) { return support::RunTool(io, args); }
    std::string ini() const { return io.file("wcx.ini"); }

    testenv::TempDir dir;   // the test's MAT-files
    testenv::TempDir io;    // the command's settings file and captured output

    // A (3-by-4 double) and B (1-by-2 double), created Fri Feb 18 10:28:03 2005.
    std::string WriteAB(const std::string& name = "ab.mat") {
        const std::string path = dir.file(name);
        WriteFile(path, File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {3, 4}, Iota(12)),
                                              NumericVar(Order::Little, "B", mxDOUBLE, {1, 2}, Iota(2))}));
        return path;
    }
};

TEST_F(MatwcxCommand, CommandLineErrorsCheckAndDate) {
    EXPECT_TRUE(Contains(Run({"caps"}).out, "GetPackerCaps: 351\n"));
    EXPECT_TRUE(Contains(RunRaw({"--help"}).out, "usage: matwcx"));
    for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
             {}, {"--ini", ini(), "frobnicate"}, {"--ini", ini(), "view", WriteAB()}, {"--ini", ini(), "options", "--delete", "maybe"}}) {
        EXPECT_EQ(RunRaw(wrong).status, 2) << (wrong.empty() ? "" : wrong.back());
    }
    EXPECT_EQ(RunRaw({"--version"}).out, "matwcx " MATWCX_VERSION_TEXT "\n");
    ToolRun noPlugin = Run({"--plugin", dir.file("none.wcx64"), "caps"});
    EXPECT_EQ(noPlugin.status, 1);
    EXPECT_TRUE(Contains(noPlugin.err, "cannot load the plug-in"));

    const std::string v5 = WriteAB(), v4 = dir.file("v4.mat"), text = dir.file("notes.txt");
    WriteFile(v4, V4Matrix(V4Order::Big, V4Precision::Int16, V4Type::Full, "x", 2, 3, Iota(6)));
    WriteFile(text, Text("not a MAT-file\n"));
    ToolRun mixed = Run({"check", v5, v4, text});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.out, v5 + ": MAT-file\n" + v4 + ": MAT-file\n" + text + ": not accepted\n");
    EXPECT_EQ(Run({"check", v5, v4}).status, 0);

    // The date line after the plug-in's opening report (seconds halved).
    EXPECT_TRUE(Contains(Run({"dir", v5}).out, "Done\nDate: 2005-02-18 10:28:02\n"));
    const std::string noDate = dir.file("matio.mat");
    WriteFile(noDate, File5(Order::Big, {NumericVar(Order::Big, "x", mxDOUBLE, {1, 1}, {1})},
                            "MATLAB 5.0 MAT-file, Platform: x86_64, Created by: libmatio v1.5.23"));
    // No date in the header: the file's own time, never none.
    const std::string fileDate = Run({"dir", noDate}).out;
    EXPECT_TRUE(Contains(fileDate, "Date: 20") && !Contains(fileDate, "Date: none")) << fileDate;
    ToolRun refused = Run({"dir", dir.file("missing.mat")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "cannot open archive (E_EOPEN)")) << refused.err;
}

TEST_F(MatwcxCommand, ListAsTextAndAsJson) {
    const std::string path = WriteAB();
    ToolRun text = Run({"list", path});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_FALSE(Contains(text.out, "Reading file"));   // the plug-in's lines are silenced
    EXPECT_TRUE(Contains(text.out, "\"A.double [4x3] \"  "));
    EXPECT_TRUE(Contains(text.out, "2005-02-18 10:28:02"));
    EXPECT_TRUE(Contains(Run({"--verbose", "list", path}).out, "Reading file " + path));

    ToolRun json = Run({"list", "--json", path});
    EXPECT_EQ(json.status, 0) << json.err;
    const std::string jsonFile = io.file("list.json");
    support::WriteText(jsonFile, json.out);
    const std::string script =
        "import json,sys\n"
        "d = json.load(open(sys.argv[1]))\n"
        "for e in d['archives'][0]['entries']:\n"
        "    print(repr(e['name']), e['variable'], e['packSize'], e['unpSize'], e['date'])\n";
    const std::string scriptFile = io.file("read.py");
    support::WriteText(scriptFile, script);
    const std::string decoded = io.file("decoded.txt");
    const std::string command = support::Python() + " '" + scriptFile + "' '" + jsonFile + "' >'" + decoded + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << json.out;
    EXPECT_EQ(ReadText(decoded),
              "'A.double [4x3] ' A 12 96 2005-02-18 10:28:02\n'B.double [2x1] ' B 2 16 2005-02-18 10:28:02\n");

    ToolRun missing = Run({"list", dir.file("missing.mat")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.err, "cannot open archive (E_EOPEN)"));
}

TEST_F(MatwcxCommand, ViewPrintsWhatTheViewerWouldShow) {
    const std::string path = dir.file("v.mat");
    WriteFile(path, File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {2, 2}, {1, 3, 2, 4}),
                                          NumericVar(Order::Little, "B", mxDOUBLE, {1, 1}, {5})}));
    ToolRun run = Run({"view", path, "A"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("A.double [2x2]  =\n\t(1,1) = 1\n\t(2,1) = 3\n", 0), 0u) << run.out;
    EXPECT_FALSE(Contains(run.out, "B.double"));

    ToolRun unknown = Run({"view", path, "C"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.err, "no variable \"C\""));
}

TEST_F(MatwcxCommand, ExtractWritesOneMatFilePerVariable) {
    const std::string path = WriteAB();
    const std::string out = dir.file("out");
    ToolRun run = Run({"extract", path, "-d", out});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(support::VariableNames(support::Path(out, "A.double [4x3] .mat")), std::vector<std::string>{"A"});
    EXPECT_EQ(support::VariableNames(support::Path(out, "B.double [2x1] .mat")), std::vector<std::string>{"B"});

    const std::string only = dir.file("only");
    EXPECT_EQ(Run({"extract", path, "B", "-d", only}).status, 0);
    EXPECT_EQ(support::Entries(only), std::vector<std::string>{"B.double [2x1] .mat"});
    EXPECT_EQ(Run({"extract", path, "Z", "-d", only}).status, 1);
}

TEST_F(MatwcxCommand, DeleteAsksThenDeletesInPlace) {
    const std::string path = WriteAB();
    const Bytes before = ReadFile(path);

    ToolRun declined = Run({"delete", path, "A"}, "n\n");
    EXPECT_EQ(declined.status, 1);
    EXPECT_TRUE(Contains(declined.out, "Delete 1 variable? [y/N]"));
    EXPECT_EQ(ReadFile(path), before);

    ToolRun unknown = Run({"delete", "--yes", path, "A", "Z"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.err, "no variable \"Z\""));
    EXPECT_EQ(ReadFile(path), before);

    EXPECT_EQ(Run({"delete", "--yes", path, "A.double [4x3] "}).status, 0);
    EXPECT_EQ(support::VariableNames(path), std::vector<std::string>{"B"});
}

TEST_F(MatwcxCommand, OptionsRoundTripThroughTheSettingsFile) {
    EXPECT_TRUE(Contains(Run({"options"}).out, "StructCellasDirs = 0 "));
    ToolRun set = Run({"options", "--struct-dirs", "on", "--delete", "off"});
    EXPECT_EQ(set.status, 0);
    EXPECT_TRUE(Contains(set.out, "StructCellasDirs = 1 ") && Contains(set.out, "DeleteEnabled    = 0 ")) << set.out;
    // The next run's plug-in reads them: deletion is refused.
    const std::string path = WriteAB();
    ToolRun refused = Run({"delete", "--yes", path, "A"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "not supported (E_NOT_SUPPORTED)"));
    EXPECT_EQ(Run({"options", "--struct-dirs", "off", "--delete", "on"}).status, 0);
    EXPECT_EQ(Run({"delete", "--yes", path, "A"}).status, 0);
}

// Options that cannot be saved are no success: the command says so and fails.
TEST_F(MatwcxCommand, OptionsThatCannotBeSavedFail) {
    ASSERT_EQ(Run({"options"}).status, 0);
    std::filesystem::permissions(ini(), std::filesystem::perms::owner_read);
    const std::string before = ReadText(ini());
    ToolRun set = Run({"options", "--delete", "off"});
    EXPECT_NE(set.status, 0);
    EXPECT_TRUE(Contains(set.err, "could not be saved")) << set.err;
    std::filesystem::permissions(ini(), std::filesystem::perms::owner_all);
    EXPECT_EQ(ReadText(ini()), before);
}

}  // namespace

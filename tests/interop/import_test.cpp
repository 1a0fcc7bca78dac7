// NPY and CSV files packed as variables: numpy-written files of every dtype,
// both byte orders, both orders of the data and the three format versions,
// and CSVs (header, empty cells, CRLF, quotes), packed into a new file and
// into an existing uncompressed one; scipy's loadmat must give numpy's
// values (import_files.py), and each refused file must be named.
#include <gtest/gtest.h>

#include <filesystem>

#include "import/import.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

TEST(Import, NamesAreMatlabsMakeValidName) {
    const struct { const char* file; const char* name; } cases[] = {
        {"2021 run-1", "x2021Run_1"}, {"Item_#", "Item__"}, {"Price/Unit", "Price_Unit"}, {"1st order", "x1stOrder"},
        {"Contact", "Contact"}, {"for", "xFor"}, {"format", "format"}, {"", "x"}, {"_a", "x_a"},
        {" lead  trail ", "leadTrail"}, {"caf\xC3\xA9 \xE2\x82\xAC", "caf__"}, {"a.b", "a_b"},
        {"A23456789012345678901234567890123456789012345678901234567890123456789", "A23456789012345678901234567890123456789012345678901234567890123"},
    };
    for (const auto& c : cases) EXPECT_EQ(importing::ValidName(c.file), c.name) << c.file;
}

TEST(Import, PackedNpyAndCsvFilesHoldNumpysValues) {
    testenv::TempDir dir;
    const std::string script = "'" + testenv::Get("MATWCX_SOURCE_DIR") + "/tests/interop/import_files.py'";
    const std::string report = dir.file("report.txt");
    // Runs import_files.py with the arguments: its report.
    const auto judge = [&](const std::string& args) {
        EXPECT_EQ(std::system((support::Python() + " " + script + " " + args + " > '" + report + "' 2>&1").c_str()), 0);
        return support::ReadText(report);
    };
    const std::string made = judge("make '" + dir.file("in") + "'");
    ASSERT_FALSE(::testing::Test::HasFailure()) << made;
    const std::string ini = dir.file("wcx.ini");
    ASSERT_EQ(support::RunTool(dir, {"--ini", ini, "options", "--add", "on"}).status, 0);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.file("in/ok"))) files += entry.is_regular_file();

    // A new file (every element compressed) and an existing uncompressed one
    // (the added elements stay uncompressed, after its own).
    const size_t before = support::CopyTestData("scipy/v5.mat", dir.file("old.mat")) ? support::ElementTypes(matbuild::ReadFile(dir.file("old.mat"))).size() : 0;
    for (const std::string target : {"new.mat", "old.mat"}) {
        SCOPED_TRACE(target);
        if (target == "old.mat" && before == 0) continue;
        const support::ToolRun run = support::RunTool(dir, {"--ini", ini, "add", "--yes", dir.file(target), dir.file("in/ok")});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<uint32_t> types = support::ElementTypes(matbuild::ReadFile(dir.file(target)));
        const std::string text = judge("check '" + dir.file(target) + "' '" + dir.file("in") + "'");
        EXPECT_EQ(text.find("FAIL"), std::string::npos) << text;
        EXPECT_NE(text.find("checked " + std::to_string(files) + " variables"), std::string::npos) << text;
        if (target == "new.mat") {
            EXPECT_EQ(types, std::vector<uint32_t>(files, 15));
        } else {
            ASSERT_EQ(types.size(), before + files);
            EXPECT_EQ(std::vector<uint32_t>(types.begin() + static_cast<long>(before), types.end()),
                      std::vector<uint32_t>(files, 14));
        }
    }

    // Refused files: one message names each and why; nothing is made.
    const support::ToolRun run = support::RunTool(dir, {"--ini", ini, "add", "--yes", dir.file("none.mat"), dir.file("in/ok"),
                                                        dir.file("in/refused")});
    EXPECT_NE(run.status, 0);
    const std::string said = run.out + run.err;
    for (const char* line : {"cut.npy: a cut NPY file", "objects.npy: an array of Python objects (dtype object)",
                             "records.npy: an array of records (a structured dtype)", "texts.npy: its dtype '<U2'",
                             "ragged.csv: line 2 has 2 values, the lines before it 3", "text.csv: line 3: 'x' is not a number"}) {
        EXPECT_NE(said.find(line), std::string::npos) << line << "\n" << said;
    }
    EXPECT_FALSE(fs::exists(dir.file("none.mat")));
}

}  // namespace

// NPY and CSV files packed as variables: numpy-written files of every dtype,
// both byte orders, both orders of the data and the three format versions,
// and CSVs (header, empty cells, CRLF, quotes), packed into a new file and
// into an existing uncompressed one; scipy's loadmat must give numpy's
// values (import_files.py), and each refused file must be named.
#include <gtest/gtest.h>

#include <cstring>
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

// The miMATRIX (14) / miCOMPRESSED (15) types of a little-endian level-5 file's elements.
std::vector<uint32_t> ElementTypes(const std::string& path) {
    const std::string file = support::ReadText(path);
    std::vector<uint32_t> types;
    for (size_t at = 128; at + 8 <= file.size();) {
        uint32_t type = 0, size = 0;
        std::memcpy(&type, &file[at], 4);
        std::memcpy(&size, &file[at + 4], 4);
        types.push_back(type);
        at += 8 + (type == 15 ? size : (size + 7) / 8 * 8);
    }
    return types;
}

TEST(Import, PackedNpyAndCsvFilesHoldNumpysValues) {
    testenv::TempDir dir;
    const std::string script = "'" + testenv::Get("MATWCX_SOURCE_DIR") + "/tests/interop/import_files.py'";
    const std::string report = dir.file("report.txt");
    ASSERT_EQ(std::system((support::Python() + " " + script + " make '" + dir.file("in") + "' > '" + report + "' 2>&1").c_str()), 0)
        << support::ReadText(report);
    const std::string ini = dir.file("wcx.ini");
    ASSERT_EQ(support::RunTool(dir, {"--ini", ini, "options", "--add", "on"}).status, 0);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.file("in/ok"))) files += entry.is_regular_file();

    // A new file (every element compressed) and an existing uncompressed one
    // (the added elements stay uncompressed, after its own).
    support::WriteText(dir.file("old.mat"), support::ReadText(testenv::TestDataDir() + "/scipy/v5.mat"));
    const size_t before = fs::exists(dir.file("old.mat")) ? ElementTypes(dir.file("old.mat")).size() : 0;
    for (const char* target : {"new.mat", "old.mat"}) {
        SCOPED_TRACE(target);
        if (std::string(target) == "old.mat" && before == 0) continue;
        const support::ToolRun run = support::RunTool(dir, {"--ini", ini, "add", "--yes", dir.file(target), dir.file("in/ok")});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<uint32_t> types = ElementTypes(dir.file(target));
        const std::string check = support::Python() + " " + script + " check '" + dir.file(target) + "' '" + dir.file("in") + "'";
        ASSERT_EQ(std::system((check + " > '" + report + "' 2>&1").c_str()), 0) << support::ReadText(report);
        const std::string text = support::ReadText(report);
        EXPECT_EQ(text.find("FAIL"), std::string::npos) << text;
        EXPECT_NE(text.find("checked " + std::to_string(files) + " variables"), std::string::npos) << text;
        if (std::string(target) == "new.mat") {
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

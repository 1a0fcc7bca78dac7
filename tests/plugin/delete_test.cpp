// Deletion and packing through the built plug-in, as a host calls them: the
// process-wide progress callback (set with the handle -1), the switch read
// from the settings file, the host's NUL-separated list, the diagnostics.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/support.h"

namespace {

using namespace matbuild;
using support::VariableNames;

struct Report {
    std::string text;
    int size;
};
std::vector<Report> reports;
int cancelAt = 0;   // the report with a size answered with Cancel (0: none)
int WCX_CALL RecordProgress(char* text, int size) {
    reports.push_back({text != nullptr ? text : "<null>", size});
    const auto sized = std::count_if(reports.begin(), reports.end(), [](const Report& r) { return r.size != 0; });
    return size != 0 && sized == cancelAt ? 0 : 1;
}
int WCX_CALL RecordProgressW(WCHAR*, int size) { return RecordProgress(nullptr, size); }
int WCX_CALL RecordSlotProgress(char*, int) {
    ADD_FAILURE() << "deletion reported through an archive's own callback";
    return 1;
}

Bytes Scalar(Order o, const std::string& name, double value) { return NumericVar(o, name, mxDOUBLE, {1, 1}, {value}); }

// The texts of the reports without a byte count, one per name.
std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const Report& r : reports) {
        if (r.size == 0) texts.push_back(r.text);
    }
    return texts;
}

class Deletion : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        reports.clear();
        cancelAt = 0;
        plugin.SetProcessDataProc(testhost::ProcessWideHandle(), &RecordProgress);
    }
    void TearDown() override {
        plugin.SetProcessDataProc(testhost::ProcessWideHandle(), nullptr);
        plugin.SetProcessDataProcW(testhost::ProcessWideHandle(), nullptr);
    }

    // A (3-by-4), then the scalars B, C (compressed), D, E.
    std::string Five() {
        const Order o = Order::Little;
        return Write("five.mat", File5(o, {NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)), Scalar(o, "B", 2),
                                           Compressed(o, Scalar(o, "C", 3)), Scalar(o, "D", 4), Scalar(o, "E", 5)}));
    }
    // DeleteFiles with its stdout.
    int Delete(const std::string& path, const std::vector<std::string>& names, std::string* printed = nullptr) {
        int result = -1;
        const std::string text = testhost::CaptureStdout([&] { result = plugin.Delete(path, names); });
        if (printed != nullptr) *printed = support::Unix(text);
        return result;
    }
};

// Percentages of the whole through the process-wide callback; Cancel leaves the file as it was and no temporary behind.
TEST_F(Deletion, ProgressGoesThroughTheProcessWideCallbackAndCancelChangesNothing) {
    const std::string path = Five();
    const Bytes before = ReadFile(path);
    // Another file: Windows does not replace a file that a handle holds open.
    testhost::Archive archive(plugin, Write("other.mat", before), PK_OM_LIST);
    plugin.SetProcessDataProc(archive.handle(), &RecordSlotProgress);
    plugin.SetChangeVolProc(testhost::ProcessWideHandle(), nullptr);
    plugin.SetProcessDataProc(nullptr, &RecordSlotProgress);   // ignored
    // A host that set only the UTF-16 callback gets the reports there.
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), nullptr);
    plugin.SetProcessDataProcW(testhost::ProcessWideHandle(), &RecordProgressW);
    cancelAt = 1;
    EXPECT_EQ(Delete(path, {"B.double [1x1] "}), E_EABORTED);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    EXPECT_FALSE(reports.empty());
    // So for a version 7.3 file, whose new file a worker process writes;
    // done, it reports the whole.
    const std::string v73 = dir.file("v73.mat");
    ASSERT_TRUE(support::CopyTestData("hdf5storage/v73.mat", v73)) << "no test data hdf5storage";
    const Bytes hdf5 = ReadFile(v73);
    if (MATFile* readable = matOpen(v73.c_str(), "r")) {
        matClose(readable);
        reports.clear();
        EXPECT_EQ(Delete(v73, {"h_cell.cell [2x1] "}), E_EABORTED);
        EXPECT_EQ(ReadFile(v73), hdf5);
        cancelAt = 0;
        EXPECT_EQ(Delete(v73, {"h_cell.cell [2x1] "}), 0);
        EXPECT_EQ(reports.back().size, -100);
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
        cancelAt = 1;
    }

    plugin.SetProcessDataProcW(testhost::ProcessWideHandle(), nullptr);
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), &RecordProgress);
    reports.clear();
    cancelAt = 0;
    char list[] = "A.double [4x3] \0";   // the host's buffer is only read
    std::string file = path;
    EXPECT_EQ(plugin.DeleteFiles(file.data(), list), 0);
    EXPECT_EQ(std::string(list, sizeof list), std::string("A.double [4x3] \0", sizeof list));
    EXPECT_EQ(Texts(), std::vector<std::string>{"seeking [0%] A"});
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"B", "C", "D", "E"}));
    std::vector<int> sizes;
    for (const Report& r : reports) {
        if (r.size != 0) sizes.push_back(r.size);
    }
    EXPECT_TRUE(std::all_of(sizes.begin(), sizes.end(), [](int s) { return s <= -1 && s >= -100; }));
    EXPECT_TRUE(std::is_sorted(sizes.rbegin(), sizes.rend()));
    // The new file written, under the file's name: the whole done.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().text, path);
    EXPECT_EQ(reports.back().size, -100);
}

// All or nothing: an empty or missing list, a file that cannot be opened or
// whose variables cannot all be read, a name that leads to no variable (the
// others are kept too): each fails, saying why, and changes nothing; only
// the names that were looked for are reported. A name given twice is no
// missing one.
TEST_F(Deletion, RefusalsSayWhyAndDeleteNothing) {
    const std::string path = Five(), missing = support::Path(dir.path(), "missing.mat");
    const Bytes before = ReadFile(path), cut(before.begin(), before.end() - 4);   // the last variable cut short
    const std::string damaged = Write("cut.mat", cut);
    std::string file = path;
    char list[] = "A.double [4x3] \0";
    EXPECT_EQ(plugin.DeleteFiles(file.data(), nullptr), E_NO_FILES);
    EXPECT_EQ(plugin.DeleteFiles(nullptr, list), E_EWRITE);
    const struct { std::string file; std::vector<std::string> names; int result; std::string printed; } cases[] = {
        {path, {}, E_NO_FILES, ""},
        {missing, {"A.double [4x3] "}, E_EWRITE, "Error opening file " + missing + "\n"},
        {damaged, {"A.double [4x3] "}, E_BAD_ARCHIVE, "File " + damaged + " is damaged: no variable is deleted from it\n"},
        {path, {"E.double [1x1] ", "nope.double [1x1] ", "%2E%2E.double [1x1] ", "C", "A.double [4x3] "}, E_NO_FILES,
         "Error deleting variable nope in file " + path + "\nError deleting variable %2E%2E in file " + path +
             "\nNo variable deleted from file " + path + ": 2 of 5 names not found\n"},
    };
    for (const auto& c : cases) {
        std::string printed;
        EXPECT_EQ(Delete(c.file, c.names, &printed), c.result) << c.file;
        EXPECT_EQ(printed, c.printed);
    }
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(ReadFile(damaged), cut);
    EXPECT_EQ(reports.size(), 5u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"seeking [0%] E", "seeking [20%] nope", "seeking [40%] %2E%2E",
                                                 "seeking [60%] C", "seeking [80%] A"}));
    // A variable named twice, by its entry and its bare name or by one entry twice, goes once.
    EXPECT_EQ(Delete(path, {"E.double [1x1] ", "C", "A.double [4x3] ", "E", "C.double [1x1] ", "A.double [4x3] "}), 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"B", "D"}));
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), nullptr);   // no callback at all
    EXPECT_EQ(Delete(path, {"B.double [1x1] "}), 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"D"}));
}

TEST_F(Deletion, MoreNamesThanTheTableHoldsAndLongProgressTexts) {
    const Order o = Order::Big;
    std::vector<Bytes> vars;
    std::vector<std::string> names;
    for (int i = 0; i < 2100; ++i) {
        vars.push_back(Scalar(o, "v" + std::to_string(i), i));
        if (i != 7 && i != 2090) names.push_back("v" + std::to_string(i) + ".double [1x1] ");
    }
    const std::string path = Write("many.mat", File5(o, vars));
    EXPECT_EQ(Delete(path, names), 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"v7", "v2090"}));
    ASSERT_EQ(Texts().size(), names.size());
    EXPECT_EQ(Texts().back(), "seeking [99%] v2099");
    reports.clear();
    const std::string name(250, 'q');
    const std::string longPath = Write("long.mat", File5(o, {Scalar(o, name, 1), Scalar(o, "keep", 2)}));
    EXPECT_EQ(Delete(longPath, {name + ".double [1x1] "}), 0);
    EXPECT_EQ(Texts(), std::vector<std::string>{("seeking [0%] " + name).substr(0, 255)});
    EXPECT_EQ(VariableNames(longPath), (std::vector<std::string>{"keep"}));
}

}  // namespace

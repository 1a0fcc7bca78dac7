// DeleteVariables and RefusePacking in-process: results, message boxes,
// progress texts and diagnostics, and which variables are gone afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "delete_helpers.h"
#include "reader/list_helpers.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;
using deletetest::Boxes;
using deletetest::Delete;
using deletetest::DeleteTest;
using deletetest::Reports;
using deletetest::VariableNames;

Bytes Scalar(Order o, const std::string& name, double value) {
    return NumericVar(o, name, mxDOUBLE, {1, 1}, {value});
}

// A, B, C, D, E: scalars 1..5, in a little-endian file.
std::string FiveVariables(const testenv::TempDir& dir) {
    const Order o = Order::Little;
    const std::string path = dir.file("five.mat");
    WriteFile(path, File5(o, {NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)), Scalar(o, "B", 2),
                              Compressed(o, Scalar(o, "C", 3)), Scalar(o, "D", 4), Scalar(o, "E", 5)}));
    return path;
}

TEST_F(DeleteTest, SwitchedOffShowsTheBoxAndTouchesNothing) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    const Bytes before = ReadFile(path);
    deletetest::SetDeleteEnabled(false);
    EXPECT_EQ(Delete(path, {"A.double [4x3] "}), E_NOT_SUPPORTED);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text,
              "You have disable variable deletion in the configuration dialog.\n"
              "To enable variable deletion, invoke Packfile>Configure for MAT files.");
    EXPECT_EQ(Boxes()[0].caption, "Error Processing Variable");
    EXPECT_EQ(Boxes()[0].style, 0x1010);
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(ReadFile(path), before);
}

TEST_F(DeleteTest, EmptyOrMissingListsAndUnopenableFiles) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    const Bytes before = ReadFile(path);
    EXPECT_EQ(Delete(path, {}), E_NO_FILES);
    EXPECT_EQ(deletetest::DeleteNow(path.c_str(), nullptr), E_NO_FILES);
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"A", "B", "C", "D", "E"}));

    char list[] = "A.double [4x3] \0";
    EXPECT_EQ(deletetest::DeleteNow(nullptr, list), E_EWRITE);
    const std::string missing = dir.file("missing.mat");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Delete(missing, {"A.double [4x3] "}), E_EWRITE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening file " + missing + "\n");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(Reports().empty());
}

TEST_F(DeleteTest, OneNameReportsZeroPercent) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    std::vector<char> list = deletetest::DeleteList({"A.double [4x3] "});
    EXPECT_EQ(deletetest::DeleteNow(path.c_str(), list.data()), 0);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Reports()[0].text, "seeking [0%] A");
    EXPECT_EQ(Reports()[0].size, 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"B", "C", "D", "E"}));
    // The host's list is only read.
    EXPECT_EQ(std::string(list.data(), 15), "A.double [4x3] ");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(DeleteTest, FourNamesReportQuarters) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    EXPECT_EQ(Delete(path, {"E.double [1x1] ", "B.double [1x1] ", "C", "A.double [4x3] "}), 0);
    std::vector<std::string> texts;
    for (const auto& report : Reports()) texts.push_back(report.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"seeking [0%] E", "seeking [25%] B", "seeking [50%] C",
                                               "seeking [75%] A"}));
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"D"}));
}

TEST_F(DeleteTest, MissingNameThenExistingOne) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    testing::internal::CaptureStdout();
    const int result = Delete(path, {"nope.double [1x1] ", "%2E%2E.double [1x1] ", "D.double [1x1] "});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error deleting variable nope in file " + path + "\n" +
                  "Error deleting variable %2E%2E in file " + path + "\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Reports().size(), 3u);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"A", "B", "C", "E"}));
}

TEST_F(DeleteTest, NoProgressCallback) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    deletetest::HostProgress() = nullptr;
    EXPECT_EQ(Delete(path, {"B.double [1x1] ", "C.double [1x1] "}), 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"A", "D", "E"}));
}

TEST_F(DeleteTest, MoreNamesThanTheTableHolds) {
    const Order o = Order::Big;
    constexpr int kCount = 2100;
    std::vector<Bytes> vars;
    std::vector<std::string> names;
    for (int i = 0; i < kCount; ++i) {
        const std::string name = "v" + std::to_string(i);
        vars.push_back(Scalar(o, name, i));
        if (i != 7 && i != 2090) names.push_back(name + ".double [1x1] ");
    }
    testenv::TempDir dir;
    const std::string path = dir.file("many.mat");
    WriteFile(path, File5(o, vars));
    EXPECT_EQ(Delete(path, names), 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"v7", "v2090"}));
    ASSERT_EQ(Reports().size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string expected = "seeking [" + std::to_string(i * 100 / names.size()) + "%] " +
                                     names[i].substr(0, names[i].find('.'));
        ASSERT_EQ(Reports()[i].text, expected);
    }
}

TEST_F(DeleteTest, LongProgressTextIsCut) {
    const Order o = Order::Little;
    const std::string name(250, 'q');
    testenv::TempDir dir;
    const std::string path = dir.file("long.mat");
    WriteFile(path, File5(o, {Scalar(o, name, 1), Scalar(o, "keep", 2)}));
    EXPECT_EQ(Delete(path, {name + ".double [1x1] "}), 0);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Reports()[0].text, ("seeking [0%] " + name).substr(0, 255));
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"keep"}));
}

// Names only a crafted file holds are deleted through the names the listing
// gave them, and only the variable each one names goes.
TEST_F(DeleteTest, HostileNamesThroughTheirListedNames) {
    const Order o = Order::Little;
    testenv::TempDir dir;
    const std::string path = dir.file("hostile.mat");
    WriteFile(path, File5(o, {Scalar(o, "../up", 1), Scalar(o, "A", 2), Scalar(o, "a.b", 3),
                              Scalar(o, "A", 4), Scalar(o, "", 5),
                              StructVar(o, "st", {1, 1}, {}, {}), CellVar(o, "c", {1, 1}, {Scalar(o, "", 6)})}));
    listtest::SetStructCellAsDirs(true);
    std::vector<std::string> listed;
    {
        listtest::ListedFile file(path);
        ASSERT_TRUE(file.ok());
        listed = file.Names();
    }
    listtest::SetStructCellAsDirs(false);
    ASSERT_EQ(listed.size(), 7u);
    // "../up", the second "A", the unnamed one; the struct by its entry inside
    // the directory, the cell by the directory itself.
    const std::string cellDirectory = listed[6].substr(0, listed[6].find(']') + 3);   // "c.cell [1x1] /"
    EXPECT_EQ(Delete(path, {listed[0], listed[3], listed[4], listed[5], cellDirectory}), 0);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"A", "a.b"}));

    MATFile* file = matOpen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    mxArray* a = matGetArray(file, "A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(*static_cast<const double*>(mxGetPr(a)), 2);   // the first A stayed
    mxDestroyArray(a);
    matClose(file);
}

TEST_F(DeleteTest, NamesThatLeadNowhereDeleteNothing) {
    testenv::TempDir dir;
    const std::string path = FiveVariables(dir);
    const Bytes before = ReadFile(path);
    testing::internal::CaptureStdout();
    // "%41" is not how "A" is listed; a separator before the first "." is no
    // listed name; an empty variable name before the dot neither.
    EXPECT_EQ(Delete(path, {"%41.double [4x3] ", "x/A.double [4x3] ", ".double [1x1] ", "B%#2"}), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Error deleting variable %41 in file"), std::string::npos);
    EXPECT_NE(printed.find("Error deleting variable x/A in file"), std::string::npos);
    EXPECT_NE(printed.find("Error deleting variable B%#2 in file"), std::string::npos);
    EXPECT_EQ(VariableNames(path), (std::vector<std::string>{"A", "B", "C", "D", "E"}));
    EXPECT_EQ(ReadFile(path), before);
}

TEST_F(DeleteTest, PackingIsRefusedWithItsBox) {
    EXPECT_EQ(RefusePacking(), E_NOT_SUPPORTED);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text,
              "Sorry, packing function is not supported at this time.\n"
              "However individual variables can be deleted and/or moved.");
    EXPECT_EQ(Boxes()[0].caption, "Error Processing Variable");
    EXPECT_EQ(Boxes()[0].style, 0x1010);
}

TEST(MessageBox, WithoutTheHostsFunctionTheTextGoesToStderr) {
    platform::SetHostMessageBox(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(platform::ShowMessageBox("text\nline two", "Caption", 0x1010), platform::kMessageBoxIdOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caption: text\nline two\n");
}

}  // namespace

// Entry names from crafted files: hostile and repeated variable names, names
// and dimension lists too long for FileName, sizes beyond 32 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "list_helpers.h"
#include "platform/host_rules.h"
#include "reader/entry_name.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;
using listtest::ListedFile;

// A variable whose header has any name bytes (NumericVar writes names as given).
Bytes Scalar(Order o, const std::string& name, double value) {
    return NumericVar(o, name, mxDOUBLE, {1, 1}, {value});
}

// A struct without fields holds no data whatever its dimensions.
Bytes FieldlessStruct(Order o, const std::string& name, const std::vector<int32_t>& dims) {
    return StructVar(o, name, dims, {}, {});
}

double ValueOf(mxArray* array) {
    if (array == nullptr) return -1;
    const void* data = mxGetPr(array);
    const double value = data != nullptr ? *static_cast<const double*>(data) : -2;
    mxDestroyArray(array);
    return value;
}

TEST(ListNames, HostileNamesListSafelyAndLeadBack) {
    const Order o = Order::Little;
    const std::vector<std::string> names = {"../up", "a/b", "a\\b", "\x01" "ctl", "a.b", "..",
                                            "C:", "", "A", "A", "%41", "ok_1"};
    std::vector<Bytes> vars;
    for (size_t i = 0; i < names.size(); ++i) vars.push_back(Scalar(o, names[i], double(i)));
    testenv::TempDir dir;
    const std::string path = dir.file("hostile.mat");
    WriteFile(path, File5(o, vars));

    listtest::SetStructCellAsDirs(false);
    ListedFile file(path);
    ASSERT_TRUE(file.ok());
    int last = 0;
    const std::vector<std::string> listed = file.Names(&last);
    EXPECT_EQ(last, E_END_ARCHIVE);
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "%2E%2E%2Fup.double [1x1] ", "a%2Fb.double [1x1] ", "a%5Cb.double [1x1] ",
                          "%01ctl.double [1x1] ", "a%2Eb.double [1x1] ", "%2E%2E.double [1x1] ",
                          "C%3A.double [1x1] ", "%__function_workspace__.double [1x1] ",
                          "A.double [1x1] ", "A%#2.double [1x1] ", "%2541.double [1x1] ",
                          "ok_1.double [1x1] "}));

    // Each listed name finds its own variable again.
    MATFile* again = matOpen(path.c_str(), "r");
    ASSERT_NE(again, nullptr);
    for (size_t i = 0; i < listed.size(); ++i) {
        for (char c : listed[i]) ASSERT_FALSE(c == '/' || c == '\\' || c < 0x20) << listed[i];
        EXPECT_EQ(ValueOf(GetListedArray(again, listed[i])), double(i)) << listed[i];
    }
    EXPECT_EQ(GetListedArray(again, "A%#3.double [1x1] "), nullptr);
    matClose(again);
}

TEST(ListNames, ClassTextNeverCarriesUnsafeBytes) {
    const Order o = Order::Little;
    const std::string hostileClass = "../x/y\\z:\x01" "a b." + std::string(80, 'Q');
    testenv::TempDir dir;
    WriteFile(dir.file("class.mat"),
              File5(o, {ObjectVar(o, "obj", hostileClass, {1, 1}, {"f"}, {Scalar(o, "", 1)})}));
    ListedFile file(dir.file("class.mat"));
    ASSERT_TRUE(file.ok());
    tHeaderData header;
    ASSERT_EQ(file.Next(&header), 0);
    // Cut to 63 characters, unsafe bytes replaced, letters lower case.
    EXPECT_EQ(std::string(header.FileName),
              "obj." + (".._x_y_z__a_b." + std::string(49, 'q')) + " [1x1] ");
}

TEST(ListNames, LongNamesFitOrAreRefused) {
    const Order o = Order::Little;
    const std::string sep(1, platform::kPathSeparator);
    const std::string n122(122, 'n'), n123(123, 'm'), n245(245, 'k'), n300(300, 'p');
    testenv::TempDir dir;
    const std::string path = dir.file("long.mat");
    WriteFile(path, File5(o, {FieldlessStruct(o, n122, {1, 1}), FieldlessStruct(o, n123, {1, 1}),
                              Scalar(o, n245, 1), Scalar(o, n300, 2), Scalar(o, "after", 3)}));
    listtest::SetStructCellAsDirs(true);
    ListedFile file(path);
    ASSERT_TRUE(file.ok());
    tHeaderData header;
    // 259 characters exactly: the directory form still fits.
    ASSERT_EQ(file.Next(&header), 0);
    EXPECT_EQ(std::string(header.FileName), n122 + ".struct [1x1] " + sep + n122);
    EXPECT_EQ(std::strlen(header.FileName), 259u);
    // One more and the struct is listed flat: it still leads back.
    ASSERT_EQ(file.Next(&header), 0);
    EXPECT_EQ(std::string(header.FileName), n123 + ".struct [1x1] ");
    ASSERT_EQ(file.Next(&header), 0);
    EXPECT_EQ(std::string(header.FileName), n245 + ".double [1x1] ");   // 259 characters
    // The name alone cannot fit: refused, and the listing can go on after it.
    std::memset(&header, 0x5A, sizeof header);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ListNextVariable(file.slot(), &header), E_EREAD);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Variable name too long to list in file " + path + "\n");
    EXPECT_EQ(static_cast<unsigned char>(header.FileName[0]), 0x5A);
    ASSERT_EQ(file.Next(&header), 0);
    EXPECT_STREQ(header.FileName, "after.double [1x1] ");
    EXPECT_EQ(file.Next(&header), E_END_ARCHIVE);
    listtest::SetStructCellAsDirs(false);
}

TEST(ListNames, ManyDimensionsAreShortenedKeepingBothEnds) {
    const Order o = Order::Big;
    std::vector<int32_t> dims(64, 1000000);   // the most dimensions a file may have
    dims.front() = 0;   // empty, so that the element count stays within 64 bits
    dims.back() = 7;
    std::vector<int32_t> fit(60, 3);   // "3x3x...x0": 119 characters, fits whole
    fit.front() = 0;
    testenv::TempDir dir;
    WriteFile(dir.file("dims.mat"),
              File5(o, {FieldlessStruct(o, "v", dims), FieldlessStruct(o, "w", fit)}));
    ListedFile file(dir.file("dims.mat"));
    ASSERT_TRUE(file.ok());
    tHeaderData header;
    ASSERT_EQ(file.Next(&header), 0);
    const std::string name = header.FileName;
    EXPECT_LE(name.size(), 259u);
    EXPECT_GE(name.size(), 240u);   // as much as fits is kept
    EXPECT_EQ(name.rfind("v.struct [7x1000000x1000000x", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 8), "x...x0] ") << name;
    EXPECT_EQ(header.PackSize, 0);
    ASSERT_EQ(file.Next(&header), 0);
    std::string full;
    for (size_t i = 1; i < fit.size(); ++i) full += "3x";
    full += "0";
    EXPECT_EQ(std::string(header.FileName), "w.struct [" + full + "] ");
}

TEST(ListNames, SizesBeyond32BitsSaturateInsteadOfWrapping) {
    const Order o = Order::Little;
    struct Case {
        std::vector<int32_t> dims;
        int packSize;
    };
    const std::vector<Case> cases = {
        {{46341, 46340}, 2147441940},                       // fits
        {{1, INT32_MAX}, INT32_MAX},                        // exactly the largest
        {{65536, 32768}, INT32_MAX},                        // 2^31
        {{65536, 65537}, INT32_MAX},                        // wraps to 65536 in 32 bits
        {{INT32_MAX, INT32_MAX, 4}, INT32_MAX},             // bytes beyond 64 bits
        {{0, INT32_MAX, INT32_MAX, INT32_MAX}, 0},          // empty after all
    };
    std::vector<Bytes> vars;
    for (size_t i = 0; i < cases.size(); ++i) {
        vars.push_back(FieldlessStruct(o, "s" + std::to_string(i), cases[i].dims));
    }
    vars.push_back(NumericVar(o, "big", mxDOUBLE, {1, 300000000}, {}));   // header only
    testenv::TempDir dir;
    WriteFile(dir.file("sizes.mat"), File5(o, vars));
    ListedFile file(dir.file("sizes.mat"));
    ASSERT_TRUE(file.ok());
    tHeaderData header;
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(file.Next(&header), 0) << i;
        EXPECT_EQ(header.PackSize, cases[i].packSize) << header.FileName;
        EXPECT_GE(header.UnpSize, 0) << header.FileName;
        if (cases[i].packSize == 0) {
            EXPECT_EQ(header.UnpSize, 0);
        }
        if (cases[i].packSize == INT32_MAX) {
            EXPECT_EQ(header.UnpSize, INT32_MAX);
        }
    }
    // 300 million doubles: 2.4 GB, more than a signed 32-bit size.
    ASSERT_EQ(file.Next(&header), 0);
    EXPECT_STREQ(header.FileName, "big.double [300000000x1] ");
    EXPECT_EQ(header.PackSize, 300000000);
    EXPECT_EQ(header.UnpSize, INT32_MAX);
}

}  // namespace

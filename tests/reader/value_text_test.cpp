// The viewer's text of a variable, for arrays read through the engine from
// files the byte builder writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "reader/value_text.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;

// Writes the variable "x" into a level-5 file, reads it back through the
// engine and renders it. "<no array>" when the engine gives none.
std::string Render(const Bytes& element) {
    testenv::TempDir dir;
    WriteFile(dir.file("v.mat"), File5(Order::Little, {element}));
    MATFile* file = matOpen(dir.file("v.mat").c_str(), "r");
    if (file == nullptr) return "<no file>";
    mxArray* array = matGetArray(file, "x");
    std::string text = array != nullptr ? RenderVariableText(array) : "<no array>";
    if (array != nullptr) mxDestroyArray(array);
    matClose(file);
    return text;
}

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += (c == '\n');
    return lines;
}

TEST(ValueText, ExamplesOfTheViewer) {
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, 1}, {5})), "\t(1,1) = 5\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxUINT8, {1, 3}, {1, 2, 200})),
              "\t(1,1) = 1\n\t(1,2) = 2\n\t(1,3) = 200\n\t");
    // Storage order: the first subscript changes fastest.
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {2, 3}, {1, 4, 2, 5, 3, 6})),
              "\t(1,1) = 1\n\t(2,1) = 4\n\t(1,2) = 2\n\t(2,2) = 5\n\t(1,3) = 3\n\t(2,3) = 6\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxINT8, {1, 1, 2}, {7, 8})), "\t(1,1,1) = 7\n\t(1,1,2) = 8\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, 1}, {1.5}, {2})), "\t(1,1) = 1.5 + 2i\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, 1}, {1}, {-2})), "\t(1,1) = 1 + -2i\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {0, 0}, {})), "\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxINT16, {3, 0}, {})), "\t");
    EXPECT_EQ(Render(CharVar(Order::Little, "x", "hello")), "hello");
    EXPECT_EQ(Render(CharVar(Order::Little, "x", {0, 0}, {})), "");
}

TEST(ValueText, ClassesWithAMessage) {
    const Bytes scalar = NumericVar(Order::Little, "", mxDOUBLE, {1, 1}, {1});
    EXPECT_EQ(Render(CellVar(Order::Little, "x", {1, 1}, {scalar})), "Class NOT Supported");
    EXPECT_EQ(Render(StructVar(Order::Little, "x", {1, 1}, {"a"}, {scalar})), "Class NOT Supported");
    EXPECT_EQ(Render(ObjectVar(Order::Little, "x", "myclass", {1, 1}, {"a"}, {scalar})), "Class NOT Supported");
    EXPECT_EQ(Render(OpaqueVar(Order::Little, "x", "string", scalar)), "Class NOT Supported");

    const std::string handle = Render(FunctionHandleVar(Order::Little, "x", StructVar(Order::Little, "", {1, 1}, {"a"}, {scalar})));
    EXPECT_EQ(handle, FunctionHandleText);
    EXPECT_EQ(std::strlen(FunctionHandleText), 131u);
    EXPECT_EQ(std::string(UnknownClassText), "Unknown Class");
    EXPECT_EQ(std::string(RenderVariableText(nullptr)), "Unknown Class");
}

TEST(ValueText, EveryNumericClassShowsItsExactValue) {
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxSINGLE, {1, 2}, {1.5, -0.25})),
              "\t(1,1) = 1.5\n\t(1,2) = -0.25\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxINT8, {1, 2}, {-128, 127})),
              "\t(1,1) = -128\n\t(1,2) = 127\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxINT16, {1, 1}, {-32768})), "\t(1,1) = -32768\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxUINT16, {1, 1}, {65535})), "\t(1,1) = 65535\n\t");
    // "%g" keeps six significant digits.
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxINT32, {1, 1}, {-2147483648.0})), "\t(1,1) = -2.14748e+09\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxUINT32, {1, 1}, {123456})), "\t(1,1) = 123456\n\t");
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, 2}, {1e-10, 1234567})),
              "\t(1,1) = 1e-10\n\t(1,2) = 1.23457e+06\n\t");
    // Logical arrays show 0 and 1.
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxUINT8, {1, 3}, {1, 0, 1}, {}, kLogical)),
              "\t(1,1) = 1\n\t(1,2) = 0\n\t(1,3) = 1\n\t");
    // Complex integers.
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxINT8, {1, 1}, {-3}, {4})), "\t(1,1) = -3 + 4i\n\t");
    // A value stored in a smaller type than its class (as MATLAB compresses).
    EXPECT_EQ(Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, 2}, {7, 300}, {}, 0, miUINT16)),
              "\t(1,1) = 7\n\t(1,2) = 300\n\t");
}

TEST(ValueText, SixtyFourBitIntegersAreNotRoundedThroughDouble) {
    Bytes int64Var = Matrix(Order::Little, Cat({FlagsElement(Order::Little, mxINT64), DimsElement(Order::Little, {1, 3}),
                                                NameElement(Order::Little, "x"),
                                                Element(Order::Little, miINT64,
                                                        ValuesI64(Order::Little, {INT64_MIN, 9007199254740993LL, -1}))}));
    EXPECT_EQ(Render(int64Var),
              "\t(1,1) = -9223372036854775808\n\t(1,2) = 9007199254740993\n\t(1,3) = -1\n\t");
    Bytes uint64Var = Matrix(Order::Little, Cat({FlagsElement(Order::Little, mxUINT64), DimsElement(Order::Little, {1, 2}),
                                                 NameElement(Order::Little, "x"),
                                                 Element(Order::Little, miUINT64,
                                                         ValuesU64(Order::Little, {UINT64_MAX, 18014398509481985ULL}))}));
    EXPECT_EQ(Render(uint64Var), "\t(1,1) = 18446744073709551615\n\t(1,2) = 18014398509481985\n\t");
}

TEST(ValueText, SparseArraysShowTheirStoredElements) {
    // 3-by-3 with (1,1) = 1, (3,2) = 2, (2,3) = 3.
    EXPECT_EQ(Render(SparseVar(Order::Little, "x", 3, 3, {0, 2, 1}, {0, 1, 2, 3}, {1, 2, 3})),
              "\t(1,1) = 1\n\t(3,2) = 2\n\t(2,3) = 3\n\t");
    // An empty column in between, complex values.
    EXPECT_EQ(Render(SparseVar(Order::Little, "x", 2, 3, {1, 0}, {0, 1, 1, 2}, {1, 2}, {-1, 0.5})),
              "\t(2,1) = 1 + -1i\n\t(1,3) = 2 + 0.5i\n\t");
    EXPECT_EQ(Render(SparseVar(Order::Little, "x", 2, 2, {1}, {0, 0, 1}, {1}, {}, kLogical)), "\t(2,2) = 1\n\t");
    EXPECT_EQ(Render(SparseVar(Order::Little, "x", 4, 4, {}, {0, 0, 0, 0, 0}, {})), "\t");
}

// The length of "\t" and the element lines "(1,k) = 0\n\t" for k = 1..n.
size_t RowOfZerosLength(size_t n) {
    size_t length = 1;
    for (size_t k = 1; k <= n; ++k) length += 10 + std::to_string(k).size();
    return length;
}

TEST(ValueText, StopsRightAfterTheLinePassing992Characters) {
    size_t passing = 1;   // the element whose line takes the text past 992
    while (RowOfZerosLength(passing) <= 992) ++passing;

    // One element fewer: every element shows and no "..." follows.
    std::string whole = Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, static_cast<int32_t>(passing - 1)},
                                          std::vector<double>(passing - 1, 0.0)));
    EXPECT_EQ(whole.size(), RowOfZerosLength(passing - 1));
    EXPECT_EQ(whole.substr(whole.size() - 2), "\n\t");

    // The last element passes the limit: "..." all the same.
    std::string last = Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, static_cast<int32_t>(passing)},
                                         std::vector<double>(passing, 0.0)));
    EXPECT_EQ(last.size(), RowOfZerosLength(passing) + 3);
    EXPECT_EQ(last.substr(last.size() - 4), "\t...");
    EXPECT_EQ(CountLines(last), passing);

    // A larger array stops at the same place.
    std::string larger = Render(NumericVar(Order::Little, "x", mxDOUBLE, {1, 5000}, std::vector<double>(5000, 0.0)));
    EXPECT_EQ(larger, last);
}

TEST(ValueText, LongLinesNeverRunPastTheBuffer) {
    // 64 dimensions (the engine's bound): every subscript text has 64 numbers.
    std::vector<int32_t> dims(64, 1);
    dims[63] = 40;
    const Bytes complexDouble = NumericVar(Order::Little, "x", mxDOUBLE, dims, std::vector<double>(40, -1.23456789e-300),
                                           std::vector<double>(40, -1.7976931348623157e308));
    const std::string text = Render(complexDouble);
    ASSERT_GT(text.size(), 992u);
    EXPECT_EQ(text.substr(text.size() - 4), "\t...");
    // Every line is whole: subscripts, both parts, the line feed.
    EXPECT_GE(CountLines(text), 6u);
    std::string second = "(";
    for (int k = 0; k < 63; ++k) second += "1,";
    second += "2) = -1.23457e-300 + -1.79769e+308i\n\t";
    EXPECT_EQ(text.find(second), text.find('\n') + 2);

    // The widest values there are: 64-bit integers, complex.
    Bytes int64Var = Matrix(Order::Little,
                            Cat({FlagsElement(Order::Little, mxINT64, kComplex), DimsElement(Order::Little, dims),
                                 NameElement(Order::Little, "x"),
                                 Element(Order::Little, miINT64, ValuesI64(Order::Little, std::vector<int64_t>(40, INT64_MIN))),
                                 Element(Order::Little, miINT64, ValuesI64(Order::Little, std::vector<int64_t>(40, INT64_MIN)))}));
    const std::string wide = Render(int64Var);
    EXPECT_EQ(wide.substr(wide.size() - 4), "\t...");
    EXPECT_NE(wide.find(") = -9223372036854775808 + -9223372036854775808i\n\t..."), std::string::npos);
}

TEST(ValueText, CharacterArrays) {
    // Longer than 1023 characters: cut to 1023 bytes, nothing past them.
    std::string ascii(1500, 'a');
    for (size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(Render(CharVar(Order::Little, "x", ascii)), ascii.substr(0, 1023));
    EXPECT_EQ(Render(CharVar(Order::Little, "x", ascii.substr(0, 1023))), ascii.substr(0, 1023));

    // UTF-16 units come out as UTF-8, cut at a character boundary.
    const std::vector<uint16_t> eAcute(1500, 0x00E9);
    std::string twoByte;
    for (int i = 0; i < 511; ++i) twoByte += "\xC3\xA9";
    EXPECT_EQ(Render(CharVar(Order::Little, "x", {1, 1500}, eAcute)), twoByte);

    // Three bytes of UTF-8 per unit fit whole (twice the units would not).
    EXPECT_EQ(Render(CharVar(Order::Little, "x", {1, 3}, {0x65E5, 0x672C, 0x8A9E})), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
    // A 2-by-2 array in storage order, as the library gives it.
    EXPECT_EQ(Render(CharVar(Order::Little, "x", {2, 2}, {'a', 'b', 'c', 'd'})), "abcd");
}

}  // namespace

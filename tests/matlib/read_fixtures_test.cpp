// The engine's read side on files built byte by byte: every class in both
// byte orders, version 4 of each precision, names, the cursor and the index.
#include <gtest/gtest.h>

#include <cstring>

#include "support/support.h"

using namespace matbuild;
using namespace support;

namespace {

const std::vector<std::string> kAllClassesListing = {
    "A.double [3 4]", "z.single [1 2] c", "i8.int8 [1 3]", "u16.uint16 [1 1]", "lg.logical [1 2] l",
    "g.double [1 1] g", "small.double [1 3]", "s.char [1 5]", "sp.double [3 2] s", "sl.logical [2 2] l s",
    "c.cell [1 2]", "st.struct [1 1] g", "ob.myclass [1 1]", "fh.function_handle [1 1]",
    "str.string [1 1]", "big.int64 [50 40]", ".uint8 [1 4]",
};

class ByteOrder : public ::testing::TestWithParam<Order> {};

TEST_P(ByteOrder, ListsEveryClassAndDecodesOnDemand) {
    testenv::TempDir dir;
    FilePtr m = OpenBytes(dir, "all.mat", File5(GetParam(), AllClasses(GetParam())));
    ASSERT_TRUE(m);
    int n = 0;
    char** names = matGetDir(m.get(), &n);
    ASSERT_EQ(n, 17);
    EXPECT_TRUE(std::string(names[0]) == "A" && std::string(names[16]).empty());
    mxFree(names);
    EXPECT_EQ(ListHeaders(m.get()), kAllClassesListing);

    // Class and element size; containers are only ever copied, never decoded.
    const struct { const char* name; mxClassID id; size_t elementSize; bool decoded; } kinds[] = {
        {"A", mxDOUBLE_CLASS, 8, true},     {"s", mxCHAR_CLASS, 2, true},           {"sl", mxLOGICAL_CLASS, 1, true},
        {"c", mxCELL_CLASS, sizeof(void*), false}, {"st", mxSTRUCT_CLASS, sizeof(void*), false},
        {"ob", mxOBJECT_CLASS, sizeof(void*), false}, {"fh", mxFUNCTION_CLASS, 0, false}, {"str", mxOPAQUE_CLASS, 0, false},
    };
    for (const auto& k : kinds) {
        ArrayPtr x(matGetArray(m.get(), k.name));
        ASSERT_TRUE(x) << k.name;
        EXPECT_EQ(mxGetClassID(x.get()), k.id) << k.name;
        EXPECT_EQ(mxGetElementSize(x.get()), k.elementSize) << k.name;
        EXPECT_EQ(mxGetPr(x.get()) != nullptr, k.decoded) << k.name;
        EXPECT_EQ(mxCheckArray(x.get(), nullptr), 0) << k.name;
    }
    // Values: column-major, complex, narrow storage, text (cut and said so), sparse, 64-bit exact.
    auto get = [&](const char* name) { return ArrayPtr(matGetArray(m.get(), name)); };
    ArrayPtr a = get("A"), z = get("z"), s = get("s"), sp = get("sp"), big = get("big"), unnamed = get("");
    ASSERT_TRUE(a && z && s && sp && big && unnamed);
    EXPECT_TRUE(mxGetM(a.get()) == 3 && mxGetN(a.get()) == 4);
    EXPECT_EQ(ReadReal(a.get(), 12), Iota(12));
    EXPECT_EQ(static_cast<const double*>(mxGetPr(a.get()))[11], 11);
    const float* zr = static_cast<const float*>(mxGetPr(z.get()));
    const float* zi = static_cast<const float*>(mxGetPi(z.get()));
    ASSERT_TRUE(zr && zi);
    EXPECT_TRUE(zr[0] == 1.5f && zi[1] == -4.0f);
    EXPECT_EQ(ReadReal(z.get(), 2, 1), (std::vector<double>{3, -4}));
    EXPECT_EQ(ReadReal(get("small").get(), 5), (std::vector<double>{1, 2, 250}));
    char text[16];
    EXPECT_EQ(mxGetString(s.get(), text, sizeof text), 0);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(mxGetString(s.get(), text, 3), 1);
    EXPECT_STREQ(text, "he");
    ASSERT_TRUE(mxGetIr(sp.get()) && mxGetJc(sp.get()) && mxGetPr(sp.get()));
    EXPECT_EQ(mxGetIr(sp.get())[1], 2u);
    EXPECT_EQ(mxGetJc(sp.get())[2], 2u);
    EXPECT_EQ(static_cast<double*>(mxGetPr(sp.get()))[1], 6);
    int64_t exact[3];
    EXPECT_EQ(mxReadElements(big.get(), 0, 1997, 10, nullptr, exact, nullptr), 3u);
    EXPECT_EQ(exact[2], 999);
    ASSERT_NE(mxGetPr(big.get()), nullptr);
    EXPECT_EQ(static_cast<int64_t*>(mxGetPr(big.get()))[0], -1000);
    EXPECT_EQ(mxGetNumberOfElements(unnamed.get()), 4u);
}

// Element readers take pieces in any order, as a row-major pass over a
// matrix asks for them: an uncompressed part read where asked, a compressed
// one forward and started again for a piece before the last. A part shorter
// than its array is damage, however it is reached.
TEST_P(ByteOrder, ElementReadersTakePiecesInAnyOrder) {
    const Order o = GetParam();
    const std::vector<double> re = Iota(12, 1), im = Iota(12, -20);
    // z and zc whole, s and sc with 10 of their 12 real values.
    const auto var = [&](const char* name, bool whole) {
        return NumericVar(o, name, mxDOUBLE, {3, 4}, whole ? re : Iota(10, 1), whole ? im : std::vector<double>{});
    };
    testenv::TempDir dir;
    FilePtr m = OpenBytes(dir, "pieces.mat",
                          File5(o, {var("z", true), Compressed(o, var("zc", true)), var("s", false), Compressed(o, var("sc", false))}));
    ASSERT_TRUE(m);
    const std::pair<size_t, size_t> pieces[] = {{6, 3}, {0, 2}, {9, 3}, {3, 3}, {3, 1}, {11, 1}};
    for (const char* name : {"z", "zc", "s", "sc"}) {
        ArrayPtr a(matGetArray(m.get(), name));
        ASSERT_TRUE(a) << name;
        const bool isShort = name[0] == 's';
        for (int part = 0; part < (isShort ? 1 : 2); ++part) {
            mxElementReader* reader = mxOpenElementReader(a.get(), part);
            ASSERT_NE(reader, nullptr);
            for (const auto& [first, count] : pieces) {
                std::vector<double> got(count);
                got.resize(mxReadElementsFrom(reader, first, count, got.data(), nullptr, nullptr));
                const std::vector<double>& all = part == 0 ? re : im;
                const size_t held = isShort ? std::min<size_t>(count, first < 10 ? 10 - first : 0) : count;
                EXPECT_EQ(got, std::vector<double>(all.begin() + first, all.begin() + first + held)) << name << part << first;
            }
            EXPECT_EQ(mxElementsDamaged(reader), isShort) << name << part;
            mxCloseElementReader(reader);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Read, ByteOrder, ::testing::Values(Order::Little, Order::Big));

TEST(ReadV4, EveryPrecisionTextAndSparseInBothOrders) {
    testenv::TempDir dir;
    for (V4Order o : {V4Order::Little, V4Order::Big}) {
        Bytes file;
        for (V4Precision p : {V4Precision::Double, V4Precision::Single, V4Precision::Int32, V4Precision::Int16,
                              V4Precision::UInt16, V4Precision::UInt8}) {
            Append(file, V4Matrix(o, p, V4Type::Full, "m" + std::to_string(static_cast<int>(p)), 2, 3,
                                  {1, 2, 3, 4, 5, 200}));
        }
        Append(file, V4Matrix(o, V4Precision::Double, V4Type::Full, "cx", 1, 2, {1, 2}, {-3, 4}));
        Append(file, V4Matrix(o, V4Precision::UInt8, V4Type::Text, "t", 1, 2, {'o', 'k'}));
        // Code units as MATLAB loads them: 65535 is one, what lies beyond is none.
        Append(file, V4Matrix(o, V4Precision::Double, V4Type::Text, "u", 1, 4, {'o', 65535, 65536, -1}));
        Append(file, V4Matrix(o, V4Precision::Double, V4Type::Sparse, "sp", 3, 3, {3, 1, 4, 2, 1, 5, 8, 7, 0}));
        FilePtr m = OpenBytes(dir, "v4.mat", file);
        ASSERT_TRUE(m);
        EXPECT_EQ(ListHeaders(m.get()),
                  (std::vector<std::string>{"m0.double [2 3]", "m1.double [2 3]", "m2.double [2 3]",
                                            "m3.double [2 3]", "m4.double [2 3]", "m5.double [2 3]",
                                            "cx.double [1 2] c", "t.char [1 2]", "u.char [1 4]", "sp.double [4 5] s"}));
        for (int p = 0; p < 6; ++p) {
            ArrayPtr a(matGetArray(m.get(), ("m" + std::to_string(p)).c_str()));
            ASSERT_TRUE(a && mxGetPr(a.get()));
            EXPECT_EQ(static_cast<const double*>(mxGetPr(a.get()))[5], 200);
            EXPECT_EQ(ReadReal(a.get(), 6)[0], 1);
        }
        ArrayPtr cx(matGetArray(m.get(), "cx")), t(matGetArray(m.get(), "t")), sp(matGetArray(m.get(), "sp"));
        EXPECT_EQ(ReadReal(cx.get(), 2, 1), (std::vector<double>{-3, 4}));
        char text[8];
        EXPECT_EQ(mxGetString(t.get(), text, sizeof text), 0);
        EXPECT_STREQ(text, "ok");
        // The same units read, and written into a level-5 file.
        const std::string copy = dir.file("u5.mat");
        {
            ArrayPtr u(matGetArray(m.get(), "u"));
            ASSERT_TRUE(u && mxGetPr(u.get()));
            EXPECT_EQ(std::vector<uint16_t>(static_cast<uint16_t*>(mxGetPr(u.get())), static_cast<uint16_t*>(mxGetPr(u.get())) + 4),
                      (std::vector<uint16_t>{'o', 0xFFFF, 0xFFFD, 0xFFFD}));
            MATFile* out = matOpen(copy.c_str(), "w");
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(matPutArray(out, u.get()), 0);
            ASSERT_EQ(matClose(out), 0);
        }
        FilePtr level5(matOpen(copy.c_str(), "r"));
        ArrayPtr u5(level5 ? matGetArray(level5.get(), "u") : nullptr);
        ASSERT_TRUE(u5 && mxGetPr(u5.get()));
        EXPECT_EQ(std::vector<uint16_t>(static_cast<uint16_t*>(mxGetPr(u5.get())), static_cast<uint16_t*>(mxGetPr(u5.get())) + 4),
                  (std::vector<uint16_t>{'o', 0xFFFF, 0xFFFD, 0xFFFD}));
        // Triplets (3,2)=8 and (1,1)=7, stored out of order.
        ASSERT_TRUE(mxGetJc(sp.get()));
        EXPECT_TRUE(mxGetIr(sp.get())[0] == 0 && mxGetIr(sp.get())[1] == 2);
        EXPECT_EQ(static_cast<double*>(mxGetPr(sp.get()))[0], 7);
        EXPECT_EQ(mxGetJc(sp.get())[2], 2u);
    }
}

TEST(ReadV4, RefusesOtherMachinesAndImpossibleFields) {
    testenv::TempDir dir;
    Bytes data = Values(Order::Little, miDOUBLE, {1});
    // VAX D, VAX G, Cray; then an O digit, a P digit past uint8, a T digit past sparse.
    for (uint32_t type : {2000u, 3000u, 4000u, 100u, 60u, 3u}) {
        EXPECT_FALSE(OpenBytes(dir, "x.mat", V4MatrixRaw(V4Order::Little, type, "x", 1, 1, 0, data))) << type;
    }
    EXPECT_FALSE(OpenBytes(dir, "x.mat", V4MatrixRaw(V4Order::Little, 0, "x", 1, 1, 2, data)));   // imagf 2
    EXPECT_TRUE(OpenBytes(dir, "x.mat", V4MatrixRaw(V4Order::Little, 0, "x", 1, 1, 0, data)));
}

TEST(ReadNames, DuplicatesCountInFileOrderAndTheCursorStays) {
    Order o = Order::Little;
    testenv::TempDir dir;
    FilePtr m = OpenBytes(dir, "d.mat", File5(o, {
        NumericVar(o, "x", mxDOUBLE, {1, 1}, {1}), NumericVar(o, "y", mxDOUBLE, {1, 1}, {2}),
        Compressed(o, NumericVar(o, "x", mxDOUBLE, {1, 1}, {3})),
        NumericVar(o, "name\0padding", mxDOUBLE, {1, 1}, {4}),
    }));
    ASSERT_TRUE(m);
    ArrayPtr first(matGetNextArrayHeader(m.get()));
    EXPECT_EQ(mxGetNameOccurrence(first.get()), 1);
    // Finding by name (which indexes the rest of the file) leaves the cursor.
    ArrayPtr x2(matGetArrayOccurrence(m.get(), "x", 2));
    ASSERT_TRUE(x2);
    EXPECT_EQ(mxGetNameOccurrence(x2.get()), 2);
    EXPECT_EQ(ReadReal(x2.get(), 1), std::vector<double>{3});
    EXPECT_FALSE(matGetArrayOccurrence(m.get(), "x", 3));
    EXPECT_FALSE(matGetArray(m.get(), "nothing"));
    ArrayPtr x1(matGetArray(m.get(), "x"));
    EXPECT_EQ(ReadReal(x1.get(), 1), std::vector<double>{1});
    EXPECT_EQ(ListHeaders(m.get()), (std::vector<std::string>{"y.double [1 1]", "x.double [1 1]", "name.double [1 1]"}));
    EXPECT_FALSE(matGetNextArrayHeader(m.get()));
    // The names one at a time, as matGetDir has them.
    EXPECT_EQ(matGetVariableCount(m.get()), 4);
    EXPECT_STREQ(matGetVariableName(m.get(), 2), "x");
    EXPECT_STREQ(matGetVariableName(m.get(), 3), "name");
    EXPECT_FALSE(matGetVariableName(m.get(), 4));
}

TEST(ReadClasses, AClassCodeWeDoNotKnowStillListsAndCopies) {
    testenv::TempDir dir;
    Order o = Order::Big;
    Bytes odd = Matrix(o, Cat({FlagsElement(o, 99), DimsElement(o, {2, 5}), NameElement(o, "odd"), ValueElement(o, miDOUBLE, Iota(10))}));
    FilePtr m = OpenBytes(dir, "odd.mat", File5(o, {odd, NumericVar(o, "next", mxDOUBLE, {1, 1}, {1})}));
    ASSERT_TRUE(m);
    EXPECT_EQ(ListHeaders(m.get()), (std::vector<std::string>{"odd.unknown [2 5]", "next.double [1 1]"}));
    ArrayPtr a(matGetArray(m.get(), "odd"));
    ASSERT_TRUE(a);
    EXPECT_EQ(mxGetClassID(a.get()), mxUNKNOWN_CLASS);
    EXPECT_EQ(mxGetElementSize(a.get()), 0u);
    EXPECT_EQ(mxGetPr(a.get()), nullptr);
    ASSERT_EQ(Extract(dir.file("odd.mat"), "odd", dir.file("copy.mat")), 0);   // still copied byte for byte
    EXPECT_EQ(ReadFile(dir.file("copy.mat")), File5(o, {odd}, ReadText(dir.file("copy.mat")).substr(0, 116)));
}

// The header's text as read at opening, whatever the stream did since; a
// version 4 file has none, and too little room is refused, never cut.
TEST(ReadArrays, TheHeaderTextIsKeptAndNeverCut) {
    testenv::TempDir dir;
    matbuild::WriteFile(dir.file("a.mat"), File5(Order::Little, {NumericVar(Order::Little, "v", mxDOUBLE, {1, 1}, {7})}));
    matbuild::WriteFile(dir.file("4.mat"), V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "x", 1, 1, {1}));
    FilePtr m(matOpen(dir.file("a.mat").c_str(), "r"));
    FilePtr v4(matOpen(dir.file("4.mat").c_str(), "r"));
    ASSERT_TRUE(m && v4);
    std::fseek(matGetFp(m.get()), 0, SEEK_END);
    struct { MATFile* file; size_t room; int result; std::string text; } cases[] = {
        {m.get(), 117, 0, (kHeaderText + std::string(116, ' ')).substr(0, 116)}, {m.get(), 116, 1, ""},
        {v4.get(), 200, 1, ""}};
    for (const auto& c : cases) {
        char text[200] = "x";
        EXPECT_EQ(matGetHeaderText(c.file, text, c.room), c.result) << c.room;
        EXPECT_EQ(std::string(text), c.text) << c.room;
    }
}

}  // namespace

// Damaged and hostile files: every one gives null or a failure, fast, without
// crashing, recursing or allocating beyond a small multiple of its size.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include <zlib.h>

#include "matlib/mat_internal.h"
#include "read_helpers.h"

using namespace matbuild;
using namespace readtest;

namespace {

Bytes SmallFile(Order o) {
    return File5(o, {
        NumericVar(o, "a", mxDOUBLE, {2, 2}, {1, 2, 3, 4}, {5, 6, 7, 8}),
        Compressed(o, CharVar(o, "s", "text")),
        SparseVar(o, "sp", 3, 2, {0, 2}, {0, 1, 2}, {5, 6}),
        Compressed(o, CellVar(o, "c", {1, 1}, {NumericVar(o, "", mxINT16, {1, 2}, {1, 2})})),
    });
}

// Touches everything a reader may touch; the sanitizers watch.
size_t ReadEverything(MATFile* m) {
    int n = 0;
    mxFree(matGetDir(m, &n));
    size_t headers = 0;
    while (mxArray* h = matGetNextArrayHeader(m)) {
        ++headers;
        ArrayPtr a(matGetArray(m, mxGetName(h)));
        if (a) {
            mxGetPr(a.get());
            mxGetPi(a.get());
            mxGetIr(a.get());
            char text[32];
            mxGetString(a.get(), text, sizeof text);
            double v[8];
            mxReadElements(a.get(), 1, 0, 8, v, nullptr, nullptr);
            matlib::VerifyElement(a.get());
        }
        mxDestroyArray(h);
    }
    // A failed directory (count -1) promises nothing.
    EXPECT_GE(headers, static_cast<size_t>(n < 0 ? 0 : n));
    return headers;
}

TEST(ReadDamage, TruncatedAtEveryOffsetFailsCleanlyOrListsWhatIsWhole) {
    testenv::TempDir dir;
    for (Order o : {Order::Little, Order::Big}) {
        Bytes full = SmallFile(o);
        Bytes v4 = Cat({V4Matrix(V4Order::Big, V4Precision::Int16, V4Type::Full, "x", 2, 2, {1, 2, 3, 4}),
                        V4Matrix(V4Order::Big, V4Precision::Double, V4Type::Sparse, "s", 2, 3, {1, 2, 1, 2, 5, 0})});
        for (const Bytes* file : {&full, &v4}) {
            for (size_t cut = 0; cut < file->size(); ++cut) {
                Bytes part(file->begin(), file->begin() + cut);
                FilePtr m = OpenBytes(dir, "t.mat", part);
                if (!m) continue;
                size_t listed = ReadEverything(m.get());
                EXPECT_LT(listed, file == &full ? 4u : 2u) << cut;
            }
        }
    }
}

TEST(ReadDamage, FlippedBytesNeverCrash) {
    testenv::TempDir dir;
    Bytes full = SmallFile(Order::Little);
    uint32_t seed = 12345;
    for (int round = 0; round < 300; ++round) {
        Bytes bad = full;
        for (int k = 0; k < 3; ++k) {
            seed = seed * 1103515245 + 12345;
            size_t at = 128 + (seed >> 8) % (bad.size() - 128);
            bad[at] ^= static_cast<uint8_t>(seed >> 3 | 1);
        }
        FilePtr m = OpenBytes(dir, "f.mat", bad);
        if (m) ReadEverything(m.get());
    }
}

TEST(ReadDamage, SizesPastTheEndAndAbsurdDimensions) {
    testenv::TempDir dir;
    Order o = Order::Little;
    Bytes good = NumericVar(o, "a", mxDOUBLE, {1, 1}, {1});
    Bytes pastEnd = good;
    pastEnd[4] = 0xF0;   // element size far past the file
    FilePtr m = OpenBytes(dir, "p.mat", File5(o, {good, pastEnd}));
    ASSERT_TRUE(m);
    int n = -1;
    mxFree(matGetDir(m.get(), &n));
    EXPECT_EQ(n, 1);
    EXPECT_FALSE(matlib::IndexAllVariables(m.get()));   // damage: the update side refuses the file

    // 2^31-1 in each of four dimensions: the product overflows 64 bits.
    Bytes absurd = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}),
                                  NameElement(o, "x"), ValueElement(o, miDOUBLE, {1})}));
    m = OpenBytes(dir, "d.mat", File5(o, {absurd}));
    ASSERT_TRUE(m);
    EXPECT_FALSE(matGetNextArrayHeader(m.get()));
    // A product that fits but promises far more data than the element holds.
    Bytes lying = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {100000, 100000}), NameElement(o, "y"),
                                 ValueElement(o, miDOUBLE, {1})}));
    m = OpenBytes(dir, "l.mat", File5(o, {lying}));
    ASSERT_TRUE(m);
    ArrayPtr y(matGetArray(m.get(), "y"));
    ASSERT_TRUE(y);
    EXPECT_EQ(mxGetPr(y.get()), nullptr);
    EXPECT_EQ(ReadReal(y.get(), 4).size(), 1u);
    // 0 by huge: an empty array that lists; the other sizes' product saturates.
    m = OpenBytes(dir, "z.mat", File5(o, {Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {0, INT32_MAX, INT32_MAX, INT32_MAX}),
                                                          NameElement(o, "z"), ValueElement(o, miDOUBLE, {})}))}));
    ArrayPtr empty(matGetNextArrayHeader(m.get()));
    ASSERT_TRUE(empty);
    EXPECT_EQ(mxGetNumberOfElements(empty.get()), 0u);
    EXPECT_EQ(mxGetN(empty.get()), SIZE_MAX);
    ArrayPtr z(matGetArray(m.get(), "z"));
    ASSERT_TRUE(z);
    EXPECT_NE(mxGetPr(z.get()), nullptr);   // no elements, decoded all the same
    // A version 4 sparse matrix claiming two billion columns in a tiny file.
    m = OpenBytes(dir, "v4s.mat", V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Sparse, "s", 2, 3,
                                           {1, 1, 1, 2e9, 5, 0}));
    EXPECT_FALSE(m);
    // Too many dimensions, a negative one.
    std::vector<int32_t> many(65, 1);
    m = OpenBytes(dir, "m.mat", File5(o, {Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, many), NameElement(o, "z")}))}));
    EXPECT_FALSE(matGetNextArrayHeader(m.get()));
    m = OpenBytes(dir, "n.mat", File5(o, {Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {-1, 1}), NameElement(o, "z")}))}));
    EXPECT_FALSE(matGetNextArrayHeader(m.get()));
    // A file whose first variable is damaged is a failed directory, never an
    // empty file: the user must not be told the file holds nothing.
    m = OpenBytes(dir, "n.mat", File5(o, {Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {-1, 1}), NameElement(o, "z")}))}));
    n = 0;
    EXPECT_EQ(matGetDir(m.get(), &n), nullptr);
    EXPECT_NE(n, 0);
}

TEST(ReadDamage, NamesLongerThanTheLimitAreRefused) {
    testenv::TempDir dir;
    Order o = Order::Big;
    FilePtr m = OpenBytes(dir, "n.mat", File5(o, {NumericVar(o, std::string(100000, 'n'), mxDOUBLE, {1, 1}, {1})}));
    ASSERT_TRUE(m);
    EXPECT_FALSE(matGetNextArrayHeader(m.get()));
    m = OpenBytes(dir, "ok.mat", File5(o, {NumericVar(o, std::string(4095, 'n'), mxDOUBLE, {1, 1}, {1})}));
    ArrayPtr a(matGetNextArrayHeader(m.get()));
    ASSERT_TRUE(a);
    EXPECT_EQ(std::strlen(mxGetName(a.get())), 4095u);
}

// A cell nested `depth` deep around a double, built flat (no recursion).
Bytes DeepCell(Order o, size_t depth) {
    Bytes inner = NumericVar(o, "", mxDOUBLE, {1, 1}, {1});
    Bytes head = Cat({FlagsElement(o, mxCELL), DimsElement(o, {1, 1})});
    std::vector<uint32_t> sizes(depth);
    uint64_t size = inner.size();
    for (size_t k = depth; k-- > 0;) {
        Bytes name = NameElement(o, k == 0 ? "deep" : "");
        size += 8 + head.size() + name.size();
        sizes[k] = static_cast<uint32_t>(size - 8);
    }
    Bytes out;
    out.reserve(size);
    for (size_t k = 0; k < depth; ++k) {
        Append(out, Tag(o, miMATRIX, sizes[k]));
        Append(out, head);
        Append(out, NameElement(o, k == 0 ? "deep" : ""));
    }
    Append(out, inner);
    return out;
}

TEST(ReadDamage, DeepNestingListsWithoutRecursing) {
    testenv::TempDir dir;
    Order o = Order::Little;
    Bytes deep = DeepCell(o, 100000);
    for (const Bytes& element : {deep, Compressed(o, deep)}) {
        FilePtr m = OpenBytes(dir, "deep.mat", File5(o, {element, NumericVar(o, "after", mxDOUBLE, {1, 1}, {2})}));
        ASSERT_TRUE(m);
        EXPECT_EQ(ListHeaders(m.get()), (std::vector<std::string>{"deep.cell [1 1]", "after.double [1 1]"}));
        ArrayPtr a(matGetArray(m.get(), "deep"));
        ASSERT_TRUE(a);
        EXPECT_TRUE(matlib::VerifyElement(a.get()));
    }
}

TEST(ReadDamage, BadStreamsFailTheWholeReadNeverGiveWrongValues) {
    testenv::TempDir dir;
    Order o = Order::Little;
    Bytes element = NumericVar(o, "v", mxDOUBLE, {1, 64}, Iota(64));
    Bytes stream = Zlib(element);
    Bytes badSum = stream;
    badSum.back() ^= 1;                                  // Adler-32 wrong
    Bytes noEnd(stream.begin(), stream.end() - 4);       // stops without its checksum: accepted
    Bytes garbage = stream;
    garbage[stream.size() / 2] ^= 0x55;
    Bytes missing(stream.begin(), stream.begin() + stream.size() / 2);
    struct Case { const char* what; Bytes stream; bool whole; };
    for (const Case& c : {Case{"checksum", badSum, false}, Case{"no end", noEnd, true},
                          Case{"garbage", garbage, false}, Case{"missing", missing, false}}) {
        FilePtr m = OpenBytes(dir, "z.mat", File5(o, {CompressedRaw(o, c.stream)}));
        ASSERT_TRUE(m) << c.what;
        ArrayPtr v(matGetArray(m.get(), "v"));
        if (!v) continue;   // damage already in the header
        EXPECT_EQ(mxGetPr(v.get()) != nullptr, c.whole) << c.what;
        EXPECT_EQ(matlib::VerifyElement(v.get()), c.whole) << c.what;
        std::vector<double> got = ReadReal(v.get(), 64);
        for (size_t i = 0; i < got.size() && c.whole; ++i) EXPECT_EQ(got[i], static_cast<double>(i));
    }
    // Extra inflated bytes beyond what the element declares are damage.
    Bytes longer = element;
    Append(longer, Bytes(64, 0));
    FilePtr m = OpenBytes(dir, "x.mat", File5(o, {CompressedRaw(o, Zlib(longer))}));
    ArrayPtr v(matGetArray(m.get(), "v"));
    ASSERT_TRUE(v);
    EXPECT_EQ(mxGetPr(v.get()), nullptr);
}

// The zlib stream of `head` followed by `zeros` zero bytes, deflated in
// pieces so that the test never holds the inflated bytes.
Bytes ZeroBomb(const Bytes& head, uint64_t zeros) {
    z_stream zs{};
    deflateInit(&zs, 9);
    Bytes out, chunk(1 << 20, 0), buffer(1 << 16);
    auto pump = [&](const Bytes& in, size_t n, int flush) {
        zs.next_in = const_cast<uint8_t*>(in.data());
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = buffer.data();
            zs.avail_out = static_cast<uInt>(buffer.size());
            deflate(&zs, flush);
            out.insert(out.end(), buffer.begin(), buffer.end() - zs.avail_out);
        } while (zs.avail_out == 0);
    };
    pump(head, head.size(), Z_NO_FLUSH);
    for (uint64_t left = zeros; left > 0;) {
        size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
        left -= n;
        pump(chunk, n, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    }
    deflateEnd(&zs);
    return out;
}

TEST(ReadDamage, ZlibBombListsFastAndBounded) {
    testenv::TempDir dir;
    Order o = Order::Little;
    // A small compressed element that inflates to 128 MB of zeros.
    const uint32_t kBytes = 128u << 20;
    Bytes head = Cat({FlagsElement(o, mxUINT8), DimsElement(o, {1 << 26, 2}), NameElement(o, "bomb"),
                      Tag(o, miUINT8, kBytes)});
    Bytes element = Cat({Tag(o, miMATRIX, static_cast<uint32_t>(head.size() + kBytes)), head});
    Bytes stream = ZeroBomb(element, kBytes);
    ASSERT_LT(stream.size(), 1u << 20);
    FilePtr m = OpenBytes(dir, "bomb.mat", File5(o, {CompressedRaw(o, stream), NumericVar(o, "x", mxDOUBLE, {1, 1}, {1})}));
    ASSERT_TRUE(m);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ListHeaders(m.get()), (std::vector<std::string>{"bomb.uint8 [67108864 2]", "x.double [1 1]"}));
    ArrayPtr b(matGetArray(m.get(), "bomb"));
    ASSERT_TRUE(b);
    double v[4];
    EXPECT_EQ(mxReadElements(b.get(), 0, 1000, 4, v, nullptr, nullptr), 4u);   // inflates only this far
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 200);
    // A claim beyond what deflate can compress to is damage, refused at once.
    FilePtr m2 = OpenBytes(dir, "liar.mat", File5(o, {CompressedRaw(o, Bytes(stream.begin(), stream.begin() + 64))}));
    ASSERT_TRUE(m2);
    EXPECT_FALSE(matGetNextArrayHeader(m2.get()));
}

TEST(ReadDamage, ScipyCorruptedStreamsFailTheirFullRead) {
    std::string data = "/usr/lib/python3/dist-packages/scipy/io/matlab/tests/data/";
    {
        FilePtr m(matOpen((data + "corrupted_zlib_checksum.mat").c_str(), "r"));
        if (!m) GTEST_SKIP() << "scipy's test data is not installed";
        ArrayPtr dates(matGetArray(m.get(), "dates"));   // its stream's checksum is wrong
        ASSERT_TRUE(dates);
        EXPECT_FALSE(matlib::VerifyElement(dates.get()));
    }
    FilePtr m(matOpen((data + "corrupted_zlib_data.mat").c_str(), "r"));
    ASSERT_TRUE(m);
    ArrayPtr grid(matGetArray(m.get(), "datagrid"));
    ASSERT_TRUE(grid);
    EXPECT_EQ(mxGetPr(grid.get()), nullptr);
    EXPECT_FALSE(matlib::VerifyElement(grid.get()));
}

}  // namespace

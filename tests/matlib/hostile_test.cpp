// Damaged and hostile files: every one gives null or a failure, never a crash
// or a wrong value; a cut file lists a prefix of the whole. What a file claims
// costs neither time nor memory: on POSIX each hostile file is also opened and
// listed in a forked child under a CPU limit, an alarm and a memory bound.
// Past fuzz findings are replayed by scripts/fuzz_smoke.sh, not here.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <linux/landlock.h>
#include <sys/syscall.h>
#endif

#include <zlib.h>

#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "codec/mat_format.h"
#include "codec/mat_write_file.h"
#include "v73client/v73_reader.h"
#include "os/worker_process.h"
#include "objects/value_text.h"
#include "support/support.h"

using namespace matbuild;
using namespace support;

namespace {

// Touches everything a reader and a writer may touch; the sanitizers watch.
// The directory's count (-1 when it failed).
int ReadEverything(const testenv::TempDir& dir, MATFile* m) {
    int n = 0;
    mxFree(matGetDir(m, &n));
    int headers = 0;
    while (mxArray* h = matGetNextArrayHeader(m)) {
        ++headers;
        if (ArrayPtr a{matGetArray(m, mxGetName(h))}) {
            mxGetPr(a.get());
            mxGetPi(a.get());
            mxGetIr(a.get());
            mxGetJc(a.get());
            char text[32];
            mxGetString(a.get(), text, sizeof text);
            ReadReal(a.get(), 8, 0);
            ReadReal(a.get(), 8, 1);
            mxCheckArray(a.get(), nullptr);
            char contents[512];
            mxDescribeValue(a.get(), contents, sizeof contents);
            // A copy that fails leaves an earlier file of that name as it was.
            const std::string written = dir.file("written.mat");
            WriteFile(written, Bytes{'o', 'l', 'd'});
            if (MATFile* w = matOpen(written.c_str(), "w")) {
                const bool put = matPutArray(w, a.get()) == 0;
                if (matClose(w) != 0 || !put) {
                    EXPECT_EQ(ReadFile(written), (Bytes{'o', 'l', 'd'})) << mxGetName(h);
                }
            }
        }
        mxDestroyArray(h);
    }
    EXPECT_GE(headers, n);   // a failed directory (-1) promises nothing
    return n;
}

Bytes WithDims(Order o, const char* name, const std::vector<int32_t>& dims, const Bytes& data = {}) {
    return Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, dims), NameElement(o, name), data}));
}

// A cell nested `depth` deep around a double, built flat.
Bytes DeepCell(Order o, size_t depth) {
    const Bytes inner = NumericVar(o, "", mxDOUBLE, {1, 1}, {1});
    const Bytes head = Cat({FlagsElement(o, mxCELL), DimsElement(o, {1, 1})});
    std::vector<uint32_t> sizes(depth);
    uint64_t size = inner.size();
    for (size_t k = depth; k-- > 0;) {
        size += 8 + head.size() + NameElement(o, k == 0 ? "deep" : "").size();
        sizes[k] = static_cast<uint32_t>(size - 8);
    }
    Bytes out;
    for (size_t k = 0; k < depth; ++k) {
        Append(out, Tag(o, miMATRIX, sizes[k]));
        Append(out, head);
        Append(out, NameElement(o, k == 0 ? "deep" : ""));
    }
    Append(out, inner);
    return out;
}

// One builder per hostile shape; what the engine lists of each (after the
// damage nothing), and whether the update side must refuse the file.
struct Shape {
    const char* what;
    Bytes file;
    std::vector<std::string> listed;
    bool damaged;
};

std::vector<Shape> Shapes() {
    const Order o = Order::Little;
    const Bytes after = NumericVar(o, "after", mxDOUBLE, {1, 1}, {2});
    const Bytes deep = DeepCell(o, 100000);
    const std::vector<std::string> both = {"deep.cell [1 1]", "after.double [1 1]"}, first = {"after.double [1 1]"};
    const Bytes one = ValueElement(o, miDOUBLE, {1});
    return {
        {"cell nested 100,000 deep", File5(o, {deep, after}), both, false},
        {"compressed cell nested 100,000 deep", File5(o, {Compressed(o, deep), after}), both, false},
        {"matrix tag past the end", File5(o, {after, Tag(o, miMATRIX, 0xFFFFFFF0u), FlagsElement(o, mxDOUBLE)}), first, true},
        {"compressed tag past the end",
         File5(o, {after, Tag(o, miCOMPRESSED, 0x7FFFFFF0u), Zlib(NumericVar(o, "z", mxDOUBLE, {1, 1}, {1}))}), first, true},
        {"name tag past the end",
         File5(o, {after, Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {1, 1}), Tag(o, miINT8, 0xFFFFFFF0u)}))}),
         first, true},
        {"4 dimensions of 2^31-1 (the product overflows)", File5(o, {WithDims(o, "x", {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, one)}), {}, true},
        {"65 dimensions", File5(o, {WithDims(o, "x", std::vector<int32_t>(65, 1))}), {}, true},
        {"a negative dimension", File5(o, {WithDims(o, "x", {-1, 1})}), {}, true},
        {"a name of 100,000 bytes", File5(o, {NumericVar(o, std::string(100000, 'n'), mxDOUBLE, {1, 1}, {1})}), {}, true},
        {"the longest name a variable may have", File5(o, {NumericVar(o, std::string(4095, 'n'), mxDOUBLE, {1, 1}, {1})}),
         {std::string(4095, 'n') + ".double [1 1]"}, false},
        {"header only", Header5(o), {}, false},
        {"version 4 size overflowing", V4MatrixRaw(V4Order::Little, 0, "x", 0xFFFFFFFFu, 0xFFFFFFFFu, 0, Bytes(8, 0)), {}, true},
        {"version 4 sparse of two billion columns",
         V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Sparse, "s", 2, 3, {1, 1, 1, 2e9, 5, 0}), {}, true},
        {"empty file", Bytes(), {}, true},
        // Two fuzz findings: a complex version 4 matrix without elements, a char array flagged complex.
        {"version 4 without elements", V4MatrixRaw(V4Order::Big, 1000, "e", 257, 0, 1, {}), {"e.double [257 0] c"}, false},
        {"complex char array", File5(o, {Matrix(o, Cat({FlagsElement(o, mxCHAR, kComplex), DimsElement(o, {1, 4}), NameElement(o, "s"),
                                                       Element(o, miUINT16, Cat({U16(o, 't'), U16(o, 'e'), U16(o, 'x'), U16(o, 't')}))}))}),
         {"s.char [1 4] c"}, false},
    };
}

#if !defined(_WIN32)
// Everything a file manager does to show the file: the engine's directory
// and header walk, then the plug-in's check, open and listing.
bool OpenAndList(const std::string& path) {
    if (MATFile* m = matOpen(path.c_str(), "r")) {
        int n = 0;
        mxFree(matGetDir(m, &n));
        while (mxArray* a = matGetNextArrayHeader(m)) mxDestroyArray(a);
        matClose(m);
    }
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    plugin.CanHandle(path);
    testhost::Archive(plugin, path, PK_OM_LIST).ReadAll();
    return true;
}

// Opening and listing must not grow with what a file claims (up to 4 GB
// here): each listing grows the process by about 1 MB (bounded buffers); the
// rest is headroom for the sanitizers' bookkeeping. Time is bounded in CPU
// seconds, which a busy machine does not inflate; the alarm only ends a
// child that waits forever (on a pipe).
constexpr long kPeakMemoryBoundKb = 64 * 1024;
constexpr double kListingCpuSecondsBound = 5.0;

// Runs work in a forked child under a CPU limit and an alarm: 0 when it
// returned true within the bounds on peak memory growth and CPU time; 1 when
// it failed, 2 over the memory bound, 3 over the time bound, 128 + a signal.
int Bounded(const std::function<bool()>& work, long boundKb = kPeakMemoryBoundKb, double cpuSecondsBound = kListingCpuSecondsBound) {
    testhost::LoadedPlugin();   // loaded before the fork: not part of the measurement
    std::fflush(nullptr);
    return InChild([&] {
        const rlimit cpu{60, 60};
        setrlimit(RLIMIT_CPU, &cpu);
        alarm(600);
        long pages = 0, resident = 0;
        FILE* f = std::fopen("/proc/self/statm", "r");
        if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) return 4;
        std::fclose(f);
        const std::clock_t start = std::clock();
        if (!work()) return 1;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const long growthKb = usage.ru_maxrss - resident * (sysconf(_SC_PAGESIZE) / 1024);
        const double cpuSeconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        const int verdict = growthKb < 0 || growthKb >= boundKb ? 2 : cpuSeconds >= cpuSecondsBound ? 3 : 0;
        if (verdict != 0) std::fprintf(stderr, "peak memory grew by %ld KB, %.2f s of CPU time\n", growthKb, cpuSeconds);
        return verdict;
    });
}
#endif

TEST(Hostile, EachShapeListsWhatComesBeforeItsDamageWithinBounds) {
    testenv::TempDir dir(testenv::TempDir::Where::Memory);
    for (const Shape& s : Shapes()) {
        SCOPED_TRACE(s.what);
        FilePtr m = OpenBytes(dir, "h.mat", s.file);
        if (!m) {
            EXPECT_TRUE(s.damaged && s.listed.empty());
        } else {
            EXPECT_EQ(ListHeaders(m.get()), s.listed);
            EXPECT_EQ(matCheckIndex(m.get()) != 0, s.damaged);   // the update side refuses a damaged file
            m = FilePtr(matOpen(dir.file("h.mat").c_str(), "r"));
            // A damaged first variable is a failed directory, never an empty file.
            EXPECT_EQ(ReadEverything(dir, m.get()), s.damaged && s.listed.empty() ? -1 : static_cast<int>(s.listed.size()));
            if (!s.damaged && !s.listed.empty()) {   // whole; the deep cells copy without recursing
                ASSERT_EQ(Extract(dir.file("h.mat"), s.listed[0].substr(0, s.listed[0].find('.')).c_str(), dir.file("x.mat")), 0);
                EXPECT_EQ(VariableNames(dir.file("x.mat")).size(), 1u);
            }
        }
#if !defined(_WIN32)
        const std::string path = dir.file("h.mat");
        EXPECT_EQ(Bounded([&] { return OpenAndList(path); }), 0);
#endif
    }
}

Bytes Whole(Order o) {
    return File5(o, {
        NumericVar(o, "a", mxDOUBLE, {2, 2}, {1, 2, 3, 4}, {5, 6, 7, 8}),
        Compressed(o, CharVar(o, "s", "text")),
        SparseVar(o, "sp", 3, 2, {0, 2}, {0, 1, 2}, {5, 6}),
        StructVar(o, "st", {1, 1}, {"f"}, {NumericVar(o, "", mxINT8, {1, 3}, {1, 2, 3})}),
        Compressed(o, CellVar(o, "c", {1, 2}, {CharVar(o, "", "x"), NumericVar(o, "", mxUINT16, {1, 1}, {9})})),
    });
}

// The engine's listing of a file cut at any byte is the whole file's up to
// some variable, and the plug-in lists no more than that.
TEST(Hostile, TruncatedAtEveryOffsetListsAPrefixOfTheWhole) {
    testenv::TempDir dir(testenv::TempDir::Where::Memory);
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    const Bytes v4 = Cat({V4Matrix(V4Order::Big, V4Precision::Int16, V4Type::Full, "x", 2, 2, {1, 2, 3, 4}),
                          V4Matrix(V4Order::Big, V4Precision::Double, V4Type::Sparse, "s", 2, 3, {1, 2, 1, 2, 5, 0})});
    for (const Bytes& full : {Whole(Order::Little), Whole(Order::Big), v4}) {
        FilePtr whole = OpenBytes(dir, "whole.mat", full);
        ASSERT_TRUE(whole);
        const std::vector<std::string> all = ListHeaders(whole.get());
        ASSERT_EQ(all.size(), full == v4 ? 2u : 5u);
        for (size_t cut = 0; cut < full.size(); ++cut) {
            FilePtr m = OpenBytes(dir, "cut.mat", Bytes(full.begin(), full.begin() + cut));
            if (!m) continue;
            const std::vector<std::string> listed = ListHeaders(m.get());
            ASSERT_LT(listed.size(), all.size()) << cut;
            EXPECT_EQ(listed, std::vector<std::string>(all.begin(), all.begin() + listed.size())) << cut;
            m = FilePtr(matOpen(dir.file("cut.mat").c_str(), "r"));
            ReadEverything(dir, m.get());
            EXPECT_LE(testhost::Archive(plugin, dir.file("cut.mat"), PK_OM_LIST).ReadAll().size(), listed.size()) << cut;
        }
    }
}

// Flips `flips` bytes behind the first `kept` (the header) in each of
// `rounds` copies of the file, seeded, and reads what opens.
void ReadFlipped(const Bytes& full, size_t kept, int flips, int rounds, uint32_t seed) {
    testenv::TempDir dir(testenv::TempDir::Where::Memory);
    for (int round = 0; round < rounds; ++round) {
        Bytes bad = full;
        for (int k = 0; k < flips; ++k) {
            seed = seed * 1103515245 + 12345;
            bad[kept + (seed >> 8) % (bad.size() - kept)] ^= static_cast<uint8_t>(seed >> 3 | 1);
        }
        if (FilePtr m = OpenBytes(dir, "f.mat", bad)) ReadEverything(dir, m.get());
    }
}

TEST(Hostile, SeededFlippedBytesNeverCrash) { ReadFlipped(Whole(Order::Little), 128, 3, 300, 12345); }

// A version 7.3 file cut short or with bytes flipped behind its header
// (its HDF5 data): libhdf5 refuses it, reads it or crashes (in H5Ocopy, seed
// 777 here: rounds 7 and 25 among others), the engine fails cleanly.
TEST(Hostile, DamagedVersion73FilesFailCleanly) {
    // matio's file where matio wrote one (not for the Windows build).
    std::string path = testenv::TestDataDir() + "/matio/v73.mat";
    if (!std::filesystem::exists(path)) path = testenv::TestDataDir() + "/hdf5storage/v73.mat";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no test data (run through ctest)";
    testenv::TempDir dir(testenv::TempDir::Where::Memory);
    const Bytes full = ReadFile(path);
    FilePtr whole = OpenBytes(dir, "whole.mat", full);
    if (!whole && matLastOpenFailure() == MAT_OPEN_VERSION_73) GTEST_SKIP() << "this build reads no version 7.3 file";
    ASSERT_GT(ListHeaders(whole.get()).size(), 8u);
    // Sparse column starts that fall back: the data is refused, never shown.
    FilePtr sparse = OpenBytes(dir, "sparse.mat", ReadFile(testenv::TestDataDir() + "/damaged73/sparse.mat"));
    ASSERT_TRUE(sparse);
    for (const char* name : {"good", "bad"}) {
        ArrayPtr a(matGetArray(sparse.get(), name));
        EXPECT_EQ(a && mxGetPr(a.get()) != nullptr, name[0] == 'g') << name;
    }
    for (size_t cut : {size_t{520}, size_t{1024}, full.size() / 2, full.size() - 1}) {
        EXPECT_FALSE(OpenBytes(dir, "cut.mat", Bytes(full.begin(), full.begin() + cut))) << cut;
    }
    // Round 25 sends libhdf5 into a long search: a worker that does not
    // answer is given up after 3 s here, 5 s in the product.
    matlib::SetV73AnswerTimeout(3000);
    ReadFlipped(full, 512, 4, 30, 777);
    // Objects, whose text decodes the file's subsystem data.
    const std::string objects = testenv::TestDataDir() + "/objects73-tables/v73.mat";
    ASSERT_TRUE(std::filesystem::exists(objects)) << "no test data " << objects;
    ReadFlipped(ReadFile(objects), 512, 4, 15, 778);
    matlib::SetV73AnswerTimeout(5 * 1000);
}

// Data shorter than the dimensions say, and damaged zlib streams: the read
// fails whole (no data, the check says so), never gives wrong values.
TEST(Hostile, ShortDataAndBadStreamsFailTheWholeRead) {
    testenv::TempDir dir;
    const Order o = Order::Little;
    FilePtr m = OpenBytes(dir, "l.mat", File5(o, {WithDims(o, "y", {100000, 100000}, ValueElement(o, miDOUBLE, {1}))}));
    ArrayPtr y(matGetArray(m.get(), "y"));
    ASSERT_TRUE(y);
    EXPECT_EQ(mxGetPr(y.get()), nullptr);
    EXPECT_EQ(ReadReal(y.get(), 4).size(), 1u);
    // 0 by huge: an empty array that lists; the other sizes' product saturates.
    m = OpenBytes(dir, "z.mat", File5(o, {WithDims(o, "z", {0, INT32_MAX, INT32_MAX, INT32_MAX}, ValueElement(o, miDOUBLE, {}))}));
    ArrayPtr empty(matGetNextArrayHeader(m.get()));
    ASSERT_TRUE(empty);
    EXPECT_EQ(mxGetNumberOfElements(empty.get()), 0u);
    EXPECT_EQ(mxGetN(empty.get()), SIZE_MAX);
    ArrayPtr z(matGetArray(m.get(), "z"));
    ASSERT_TRUE(z);
    EXPECT_NE(mxGetPr(z.get()), nullptr);   // no elements, decoded all the same
    EXPECT_EQ(mxGetIr(z.get()), nullptr);   // not sparse

    // Data that contradicts its own array, and damaged zlib streams: nothing
    // decoded, never made-up values (a damaged stream fails the check too); a
    // stream without its checksum is whole.
    const Bytes element = NumericVar(o, "v", mxDOUBLE, {1, 64}, Iota(64));
    const Bytes stream = Zlib(element);
    Bytes badSum = stream, garbage = stream, longer = element;
    badSum.back() ^= 1;                           // Adler-32 wrong
    garbage[stream.size() / 2] ^= 0x55;
    Append(longer, Bytes(64, 0));                 // inflates past what the element declares
    const auto compressed = [&](const Bytes& bytes) { return File5(o, {CompressedRaw(o, bytes)}); };
    // Row indices stored as singles: four bytes each, as indices are, but
    // of no index type.
    const Bytes singleRows = Matrix(o, Cat({FlagsElement(o, mxSPARSE, 0, 2), DimsElement(o, {3, 2}), NameElement(o, "v"),
                                           Element(o, miSINGLE, Values(o, miSINGLE, {0, 1}), false),
                                           Element(o, miINT32, Cat({U32(o, 0), U32(o, 1), U32(o, 2)}), false),
                                           ValueElement(o, miDOUBLE, {1, 2})}));
    struct Case { const char* what; Bytes file; bool stream, whole; };
    for (const Case& c : {Case{"sparse columns counting more values than rows stored",
                               File5(o, {SparseVar(o, "v", 3, 2, {0}, {0, 1, 5}, {1})}), false, false},
                          Case{"sparse row indices of a type no index has", File5(o, {singleRows}), false, false},
                          Case{"version 4 sparse row past the rows",
                               V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Sparse, "v", 2, 3, {5, 2, 1, 2, 7, 0}), false, false},
                          Case{"characters stored as doubles", File5(o, {CharVar(o, "v", {1, 2}, {'a', 'b'}, miDOUBLE)}), false, false},
                          Case{"checksum", compressed(badSum), true, false},
                          Case{"no checksum", compressed(Bytes(stream.begin(), stream.end() - 4)), true, true},
                          Case{"garbage", compressed(garbage), true, false},
                          Case{"half", compressed(Bytes(stream.begin(), stream.begin() + stream.size() / 2)), true, false},
                          Case{"longer", compressed(Zlib(longer)), true, false}}) {
        m = OpenBytes(dir, "b.mat", c.file);
        ArrayPtr v(m ? matGetArray(m.get(), "v") : nullptr);
        ASSERT_TRUE(v) << c.what;
        char text[8];
        EXPECT_EQ(mxGetPr(v.get()) != nullptr, c.whole) << c.what;
        EXPECT_EQ(mxCheckArray(v.get(), nullptr) == 0, c.whole || !c.stream) << c.what;
        EXPECT_NE(mxGetString(v.get(), text, sizeof text), 0) << c.what;
        const std::vector<double> got = ReadReal(v.get(), 64);
        for (size_t i = 0; i < got.size() && c.whole; ++i) EXPECT_EQ(got[i], static_cast<double>(i));
        if (mxIsSparse(v.get())) {   // the exports' reader meets the same damage
            mxSparseReader* reader = mxOpenSparseReader(v.get());
            uint64_t rows[8], columns[8];
            double values[8];
            const uint64_t stored = reader != nullptr ? mxSparseStored(reader) : 0;
            const bool read = stored != 0 && mxReadSparse(reader, 8, rows, columns, values, nullptr) == stored &&
                              !mxSparseDamaged(reader);
            if (reader != nullptr) mxCloseSparseReader(reader);
            EXPECT_EQ(read, c.whole) << c.what;
        }
    }
}

#if !defined(_WIN32)
// A zlib stream of `head` followed by `zeros` zero bytes (a multiple of the
// piece size), built without ever deflating gigabytes: a piece of zeros
// deflated after a full flush refers to nothing before it, so its
// compressed bytes can be repeated; the checksum of zeros is computed.
Bytes ZerosStream(const Bytes& head, uint64_t zeros) {
    constexpr size_t kPiece = 1 << 20;
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);   // raw deflate: the zlib frame is ours
    Bytes buffer(2 * kPiece);
    auto pump = [&](const uint8_t* in, size_t n, int flush) {
        zs.next_in = const_cast<uint8_t*>(in);
        zs.avail_in = static_cast<uInt>(n);
        zs.next_out = buffer.data();
        zs.avail_out = static_cast<uInt>(buffer.size());
        deflate(&zs, flush);
        return Bytes(buffer.begin(), buffer.end() - zs.avail_out);
    };
    const Bytes zeroPiece(kPiece, 0);
    Bytes out = Cat({{0x78, 0xDA}, pump(head.data(), head.size(), Z_FULL_FLUSH)});   // deflate, 32 KB window
    const Bytes piece = pump(zeroPiece.data(), kPiece, Z_FULL_FLUSH);
    for (uint64_t k = 0; k < zeros / kPiece; ++k) Append(out, piece);
    Append(out, pump(nullptr, 0, Z_FINISH));
    deflateEnd(&zs);
    const uLong sum = adler32(adler32(0L, Z_NULL, 0), head.data(), static_cast<uInt>(head.size()));
    // Adler-32 of zeros: the first sum stays, the second grows by it each byte.
    const uint64_t kBase = 65521, a = sum & 0xFFFF, b = ((sum >> 16 & 0xFFFF) + (zeros % kBase) * a) % kBase;
    Append(out, U32(Order::Big, static_cast<uint32_t>(b << 16 | a)));
    return out;
}

TEST(Bounds, GigabyteZlibBombListsFastWithinTheMemoryBound) {
    testenv::TempDir dir;
    const Order o = Order::Little;
    // 4 GB less a little (an element's size is a 32-bit count) of uint8 zeros.
    const uint32_t kBytes = 65536u * 65535u;
    const Bytes head = Cat({FlagsElement(o, mxUINT8), DimsElement(o, {65536, 65535}), NameElement(o, "bomb"), Tag(o, miUINT8, kBytes)});
    const Bytes stream = ZerosStream(Cat({Tag(o, miMATRIX, static_cast<uint32_t>(head.size() + kBytes)), head}), kBytes);
    ASSERT_LT(stream.size(), 8u << 20);
    const std::string path = dir.file("bomb.mat");
    WriteFile(path, File5(o, {CompressedRaw(o, stream), NumericVar(o, "after", mxDOUBLE, {1, 1}, {7})}));
    EXPECT_EQ(Bounded([&] {
        FilePtr m(matOpen(path.c_str(), "r"));
        if (!m || ListHeaders(m.get()) != std::vector<std::string>{"bomb.uint8 [65536 65535]", "after.double [1 1]"}) return false;
        ArrayPtr b(matGetArray(m.get(), "bomb"));
        double v[4] = {1, 1, 1, 1};
        // Only as far as these elements is inflated.
        return b && mxReadElements(b.get(), 0, 1000, 4, v, nullptr, nullptr) == 4 && v[3] == 0 && OpenAndList(path);
    }), 0);
    // A claim beyond what deflate can compress to is damage, refused at once.
    FilePtr liar = OpenBytes(dir, "liar.mat", File5(o, {CompressedRaw(o, Bytes(stream.begin(), stream.begin() + 64))}));
    ASSERT_TRUE(liar);
    EXPECT_FALSE(ArrayPtr(matGetNextArrayHeader(liar.get())));
}

// Scalars of a few dozen bytes each cost the index far more memory than the
// file's size, so the index stops at its bounds (a million variables; 64 MB
// of names), listing those before, as for a damaged file, and deletion
// refuses the file; a file at the bound is whole.
TEST(Bounds, IndexStopsAtItsBoundsOnVariablesAndNameBytes) {
    testenv::TempDir dir;
    using matlib::format::kMaxIndexedNameBytes;
    using matlib::format::kMaxVariables;
    auto nameOf = [](size_t i, size_t length) {   // "v", zeros, the number: `length` characters
        const std::string number = std::to_string(i);
        return "v" + std::string(length - 1 - number.size(), '0') + number;
    };
    const struct { size_t variables, nameLength, listed; } cases[] = {
        {17000, 4000, kMaxIndexedNameBytes / 4000}, {kMaxVariables + 1, 8, kMaxVariables}, {kMaxVariables, 8, kMaxVariables}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variables);
#if defined(__SANITIZE_ADDRESS__)
        // The count's bound is the same code at every count; a million
        // variables take AddressSanitizer 40 s each (6 s without): the
        // plain run checks it.
        if (c.variables >= kMaxVariables) continue;
#endif
        {
            // One variable's bytes repeated, each with its own name after the 20-byte header.
            const Bytes one = V4MatrixRaw(V4Order::Little, 0, nameOf(0, c.nameLength), 1, 1, 0, Bytes(8, 0));
            Bytes file(c.variables * one.size());
            for (size_t i = 0; i < c.variables; ++i) {
                const std::string name = nameOf(i, c.nameLength);
                std::copy(name.begin(), name.end(), std::copy(one.begin(), one.begin() + 20, file.begin() + i * one.size()));
                std::copy(one.begin() + 20 + name.size(), one.end(), file.begin() + (i * one.size() + 20 + name.size()));
            }
            WriteFile(dir.file("many.mat"), file);
        }
        const std::string path = dir.file("many.mat");
        // The index at its bounds, with the sanitizers' bookkeeping on top.
        EXPECT_EQ(Bounded([&] {
            FilePtr m(matOpen(path.c_str(), "r"));
            int count = 0;
            char** names = m ? matGetDir(m.get(), &count) : nullptr;
            const bool listed = names != nullptr && count == static_cast<int>(c.listed) && names[count - 1] == nameOf(c.listed - 1, c.nameLength);
            mxFree(names);
            ArrayPtr beyond(matGetArray(m.get(), nameOf(c.listed, c.nameLength).c_str()));
            MATFile* update = matOpen(path.c_str(), "u");
            const bool refused = update == nullptr;
            if (update != nullptr) matClose(update);
            // Deletion needs the whole file indexed: refused exactly when the bound cut the index.
            return listed && beyond == nullptr && refused == (c.listed < c.variables);
        }, 1024 * 1024, 60), 0);
    }
}

// What can stand where a MAT-file is expected: a directory, devices that
// never end or are always empty, a named pipe without a writer (opening it
// for reading must not wait for one). None is a MAT-file; none may hang.
TEST(Bounds, DevicesDirectoriesAndPipesAreRefusedAtOnce) {
    testenv::TempDir dir;
    const std::string fifo = dir.file("pipe.mat");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), std::string("/dev/zero"), std::string("/dev/null"), std::string("/dev/urandom"), fifo}) {
        EXPECT_EQ(Bounded([&] {
            for (const char* mode : {"r", "u"}) {
                if (MATFile* m = matOpen(path.c_str(), mode)) {
                    matClose(m);
                    return false;
                }
            }
            const testhost::Plugin& plugin = testhost::LoadedPlugin();
            testhost::Archive archive(plugin, path, PK_OM_LIST);
            return !plugin.CanHandle(path) && !archive.ok() && archive.openResult() != 0;
        }), 0) << path;
    }
}

// A host whose standard output is a pipe without a reader, keeping SIGPIPE's
// default action (which ends the process): the plug-in's diagnostic lines
// must not end the host.
TEST(HostileFiles, ReaderlessStandardOutputDoesNotEndTheHost) {
    std::fflush(nullptr);
    EXPECT_EQ(InChild([] {
                  int fds[2];
                  if (pipe(fds) != 0 || dup2(fds[1], STDOUT_FILENO) < 0) return 2;
                  close(fds[0]);
                  signal(SIGPIPE, SIG_DFL);
                  OpenAndList("/nonexistent/missing.mat");   // "Error opening file ..."
                  std::fflush(stdout);   // as the host's own output would: nothing of ours may be left to write
                  sigset_t pending;
                  sigpending(&pending);
                  return sigismember(&pending, SIGPIPE) == 1 ? 3 : 0;
              }),
              0);   // 128 + 13: ended by SIGPIPE
}

// A version 4 matrix has no level-5 bytes to copy: extracting it converts its
// values. Extraction and the viewer's text stay within the memory bound
// however large the matrix (48 MB of doubles here), and no single write is
// handed more than a bounded piece (a C runtime may fail a write of gigabytes).
TEST(HostileFiles, LargeVersion4MatricesExtractInBoundedMemoryAndPieces) {
    constexpr uint32_t kRows = 2048, kCols = 3072;
    testenv::TempDir dir;
    const std::string path = dir.file("big4.mat"), out = dir.file("big.mat");
    {
        std::vector<double> values(size_t{kRows} * kCols);
        for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i);
        Bytes data(values.size() * sizeof(double));   // the machine's own doubles: little-endian IEEE
        std::memcpy(data.data(), values.data(), data.size());
        WriteFile(path, V4MatrixRaw(V4Order::Little, 0, "big", kRows, kCols, 0, data));
    }
    EXPECT_EQ(Bounded([&] {
        static const platform::FileSystemCalls real = platform::RealFileSystem();
        platform::FileSystem().write = [](const void* data, size_t size, FILE* file) -> size_t {
            return size > matlib::kCopyBufferSize ? 0 : real.write(data, size, file);
        };
        FilePtr m(matOpen(path.c_str(), "r"));
        ArrayPtr a(m ? matGetArray(m.get(), "big") : nullptr);
        if (!a || RenderVariableText(a.get(), false).rfind("\t(1,1) = 0\n\t(2,1) = 1\n", 0) != 0) return false;
        MATFile* w = matOpen(out.c_str(), "w");
        return w != nullptr && matPutArray(w, a.get()) == 0 && matClose(w) == 0;
    }, kPeakMemoryBoundKb, 60), 0);
    // The copy holds the values where they were.
    FilePtr copy(matOpen(out.c_str(), "r"));
    ASSERT_TRUE(copy);
    EXPECT_EQ(ListHeaders(copy.get()), std::vector<std::string>{"big.double [2048 3072]"});
    ArrayPtr b(matGetArray(copy.get(), "big"));
    const size_t last = static_cast<size_t>(kRows) * kCols - 2;
    double v[2] = {};
    ASSERT_EQ(mxReadElements(b.get(), 0, last, 2, v, nullptr, nullptr), 2u);
    EXPECT_TRUE(v[0] == static_cast<double>(last) && v[1] == static_cast<double>(last + 1));
}

// The worker reads an object's header once for the guard and libhdf5
// together, and the headers that follow with it: listing matio's 22
// variables takes fewer than two of its file calls a variable (three reads
// a variable took over 80). Every call from the 44th on would fail.
TEST(HostileFiles, Version73ListingReadsEachHeaderOnce) {
    testenv::TempDir dir;
    const std::string path = testenv::TestDataDir() + "/matio/v73.mat", report = dir.file("faults");
    if (!FilePtr(matOpen(path.c_str(), "r"))) GTEST_SKIP() << "no version 7.3 file to read";
    setenv(platform::kWorkerFaultsVariable, ("44 1 " + report).c_str(), 1);
    FilePtr m(matOpen(path.c_str(), "r"));
    unsetenv(platform::kWorkerFaultsVariable);
    ASSERT_TRUE(m);
    EXPECT_EQ(ListHeaders(m.get()).size(), 22u);
    m.reset();
    EXPECT_EQ(std::filesystem::file_size(report), 0u) << "a worker's file call #44 was reached";
}

// A whole decode reads the worker's level-5 element through the codec. Damage
// the worker meets while it sends (a cut chunk, a wrong checksum, sparse
// indexes that do not hold) or finds before (fill values that the dataset
// does not store, 128 MB of them) fails that decode alone: the worker ends
// the element in step and serves the reads after it, more of them than a
// file's restarts would allow.
TEST(HostileFiles, Version73DamageFailsOneDecodeAndKeepsTheWorker) {
    testenv::TempDir dir;
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/plugin/damaged73_writer.py";
    ASSERT_EQ(std::system((Python() + " '" + writer + "' '" + dir.path() + "'").c_str()), 0);
    FilePtr m(matOpen(dir.file("damaged.mat").c_str(), "r"));
    if (!m && matLastOpenFailure() == MAT_OPEN_VERSION_73) GTEST_SKIP() << "this build reads no version 7.3 file";
    ASSERT_TRUE(m);
    for (const auto& [name, decodes] : std::vector<std::pair<const char*, bool>>{
             {"good", true}, {"goodSparse", true}, {"cut", false}, {"sum", false}, {"irRange", false},
             {"jcFall", false}, {"irShort", false}, {"emptyDims", false}, {"sumFill", false}, {"goodFill", false},
             {"good", true}}) {
        ArrayPtr a(matGetArray(m.get(), name));
        ASSERT_TRUE(a) << name;
        EXPECT_EQ(mxGetPr(a.get()) != nullptr, decodes) << name;
    }
}

// A version 7.3 file is read by a worker process. One killed meanwhile is
// reaped at the next read, which starts another (no SIGPIPE, which would end
// this process); one stopped by a signal is given up and the
// read that waited for it asked again of another; closing the file ends the last. Each worker reads the file
// that was opened, also when another has been put in its place. A worker
// ends with the process that started it, also when stopped.
TEST(HostileFiles, Version73WorkersThatDieOrStopCostAtMostOneRead) {
    testenv::TempDir dir;
    const std::string path = dir.file("v73.mat");
    std::error_code copied;
    std::filesystem::copy_file(testenv::TestDataDir() + "/matio/v73.mat", path, copied);
    const auto children = [] {
        std::vector<pid_t> pids;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream list(task.path() / "children");
            for (pid_t pid; list >> pid;) pids.push_back(pid);
        }
        return pids;
    };
    FilePtr m(matOpen(path.c_str(), "r"));
    if (!m) GTEST_SKIP() << "no version 7.3 file to read";
    ASSERT_EQ(ListHeaders(m.get()).size(), 22u);
    const std::vector<pid_t> first = children();
    ASSERT_EQ(first.size(), 1u);
    kill(first[0], SIGKILL);
    siginfo_t ended;
    waitid(P_PID, static_cast<id_t>(first[0]), &ended, WEXITED | WNOWAIT);
    std::filesystem::copy_file(testenv::TestDataDir() + "/hdf5storage/v73.mat", dir.file("new.mat"));
    std::filesystem::rename(dir.file("new.mat"), path);
    ArrayPtr array(matGetArray(m.get(), "m_double"));   // its header came with the listing
    ASSERT_TRUE(array);
    EXPECT_EQ(ReadReal(array.get(), 12), Iota(12, 1));
    EXPECT_EQ(waitpid(first[0], nullptr, WNOHANG), -1);   // reaped
    const std::vector<pid_t> second = children();
    ASSERT_EQ(second.size(), 1u);
    kill(second[0], SIGSTOP);
    // The watch gives up a worker that sends no beat; the read that waited
    // for it is asked again of a fresh worker.
    ArrayPtr other(matGetArray(m.get(), "m_double"));
    ASSERT_TRUE(other);
    EXPECT_EQ(ReadReal(other.get(), 12), Iota(12, 1));
    other.reset();
    array.reset();
    m.reset();
    EXPECT_TRUE(children().empty());

    // The parent: opens the file, says its worker's number, and ends.
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t parent = fork();
    if (parent == 0) {
        FilePtr held(matOpen(path.c_str(), "r"));
        const std::vector<pid_t> worker = children();
        const pid_t pid = worker.size() == 1 ? worker[0] : 0;
        if (write(report[1], &pid, sizeof pid) != sizeof pid) _exit(1);
        pause();
        _exit(0);
    }
    close(report[1]);
    pid_t worker = 0;
    ASSERT_EQ(read(report[0], &worker, sizeof worker), static_cast<ssize_t>(sizeof worker));
    close(report[0]);
    ASSERT_GT(worker, 0);
    kill(worker, SIGSTOP);   // not even the end of its channel would end it now
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    // Gone, or a zombie until the system's reaper takes it.
    const auto running = [worker] {
        std::ifstream stat("/proc/" + std::to_string(worker) + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) return false;
        return line.substr(line.rfind(')') + 2, 1) != "Z";
    };
    for (int wait = 0; wait < 100 && running(); ++wait) usleep(100 * 1000);
    EXPECT_FALSE(running());
}

#if defined(__linux__)
// A worker that gave up opening files (it does so before it reads a byte of
// its file) can open none, nor make one, while the file it holds open stays
// readable.
TEST(HostileFiles, AWorkerThatGaveUpOpeningFilesCanOpenNone) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) <= 0) {
        GTEST_SKIP() << "this kernel offers no Landlock";
    }
    testenv::TempDir dir;
    const std::string held = dir.file("held"), other = dir.file("other");
    std::ofstream(held) << "held";
    std::ofstream(other) << "other";
    const int kept = open(held.c_str(), O_RDONLY);
    ASSERT_GE(kept, 0);
    const pid_t child = fork();
    if (child == 0) {
        platform::GiveUpOpeningFiles();
        char byte = 0;
        const bool keptReadable = pread(kept, &byte, 1, 0) == 1 && byte == 'h';
        const bool openRefused = open(other.c_str(), O_RDONLY) < 0 && errno == EACCES;
        const bool makeRefused = open(dir.file("new").c_str(), O_WRONLY | O_CREAT, 0600) < 0 && errno == EACCES;
        _exit((keptReadable ? 0 : 1) | (openRefused ? 0 : 2) | (makeRefused ? 0 : 4));
    }
    close(kept);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: held file unreadable, 2: another opened, 4: one made";
}
#endif

#endif

}  // namespace

// Hostile files whose cost must stay bounded: opening and listing each one,
// through the engine and through the built plug-in, ends cleanly, soon and
// within a fixed amount of memory. Each case runs in a forked child, so that
// a hang is caught by an alarm and the child's peak memory is its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include <zlib.h>

#include "matlib/mat_format.h"
#include "matlib/mat_internal.h"
#include "support/support.h"
#include "matlib/mat_write_file.h"
#include "reader/value_text.h"

using namespace matbuild;
using namespace support;

namespace {

// Opening and listing must not grow with what a file claims: the largest
// hostile file here claims 4 GB. Each listing grows the process by about
// 1 MB (the engine's bounded buffers); the rest is headroom for the
// sanitizers' bookkeeping, far below anything proportional to a claim.
constexpr long kPeakMemoryBoundKb = 64 * 1024;
// Time is bounded in CPU seconds, which a busy machine does not inflate: a
// listing is a few small reads per variable, inflating gigabytes is not.
// The wall-clock alarm only ends a child that waits forever (on a pipe).
constexpr rlim_t kChildCpuSeconds = 60;
constexpr double kListingCpuSecondsBound = 5.0;
constexpr unsigned kChildHangSeconds = 600;

struct ChildResult {
    bool exitedCleanly = false;   // exit status 0: no crash, no limit hit
    long peakGrowthKb = -1;       // peak resident size minus that at the start
    double cpuSeconds = 0;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs work in a forked child under a CPU limit; the child reports its peak
// memory growth and CPU time through a pipe and exits 0 when work returned true.
ChildResult RunInChild(const std::function<bool()>& work) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit cpuLimit{kChildCpuSeconds, kChildCpuSeconds};
        setrlimit(RLIMIT_CPU, &cpuLimit);
        alarm(kChildHangSeconds);
        long pages = 0, resident = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
            std::fclose(f);
        }
        const double cpuBefore = CpuSeconds();
        const bool ok = work();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const ChildResult measured{ok, usage.ru_maxrss - resident * (sysconf(_SC_PAGESIZE) / 1024), CpuSeconds() - cpuBefore};
        (void)!write(fds[1], &measured, sizeof measured);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    ChildResult result;
    int status = -1;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && read(fds[0], &result, sizeof result) != sizeof result) result = {};
    result.exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    close(fds[0]);
    return result;
}

// Everything a file manager does to show the file: the engine's directory
// and header walk, then the plug-in's check, open and listing. True when all
// of it ended without fault (a refused file is a clean end too).
bool OpenAndList(const std::string& path) {
    if (MATFile* m = matOpen(path.c_str(), "r")) {
        int n = 0;
        mxFree(matGetDir(m, &n));
        while (mxArray* a = matGetNextArrayHeader(m)) mxDestroyArray(a);
        matClose(m);
    }
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    plugin.CanHandle(path);
    testhost::Archive archive(plugin, path, PK_OM_LIST);
    archive.ReadAll();
    return true;
}

void ExpectBounded(const std::string& what, const std::function<bool()>& work) {
    testhost::LoadedPlugin();   // loaded before the fork: not part of the measurement
    ChildResult r = RunInChild(work);
    EXPECT_TRUE(r.exitedCleanly) << what << ": crashed, failed or ran out of CPU time";
    EXPECT_GE(r.peakGrowthKb, 0) << what;
    EXPECT_LT(r.peakGrowthKb, kPeakMemoryBoundKb) << what << ": peak memory grew by " << r.peakGrowthKb << " KB";
    EXPECT_LT(r.cpuSeconds, kListingCpuSecondsBound) << what;
}

// ---- hostile files ----------------------------------------------------------

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
    Bytes zeroPiece(kPiece, 0);
    Bytes out = {0x78, 0xDA};   // zlib header: deflate, 32 KB window, best compression
    Append(out, pump(head.data(), head.size(), Z_FULL_FLUSH));
    const Bytes piece = pump(zeroPiece.data(), kPiece, Z_FULL_FLUSH);
    for (uint64_t k = 0; k < zeros / kPiece; ++k) Append(out, piece);
    Append(out, pump(nullptr, 0, Z_FINISH));
    deflateEnd(&zs);
    uLong sum = adler32(0L, Z_NULL, 0);
    sum = adler32(sum, head.data(), static_cast<uInt>(head.size()));
    // Adler-32 of zeros: the first sum stays, the second grows by it each byte.
    const uint64_t kBase = 65521;
    uint64_t a = sum & 0xFFFF, b = (sum >> 16) & 0xFFFF;
    b = (b + (zeros % kBase) * a) % kBase;
    Append(out, U32(Order::Big, static_cast<uint32_t>(b << 16 | a)));
    return out;
}

// A cell nested `depth` deep around a double, built flat.
Bytes DeepCell(Order o, size_t depth) {
    Bytes inner = NumericVar(o, "", mxDOUBLE, {1, 1}, {1});
    Bytes head = Cat({FlagsElement(o, mxCELL), DimsElement(o, {1, 1})});
    Bytes noName = NameElement(o, "");
    std::vector<uint32_t> sizes(depth);
    uint64_t size = inner.size();
    for (size_t k = depth; k-- > 0;) {
        size += 8 + head.size() + (k == 0 ? NameElement(o, "deep").size() : noName.size());
        sizes[k] = static_cast<uint32_t>(size - 8);
    }
    Bytes out;
    for (size_t k = 0; k < depth; ++k) {
        Append(out, Tag(o, miMATRIX, sizes[k]));
        Append(out, head);
        Append(out, k == 0 ? NameElement(o, "deep") : noName);
    }
    Append(out, inner);
    return out;
}

TEST(Bounds, GigabyteZlibBombListsFastWithinTheMemoryBound) {
    testenv::TempDir dir;
    Order o = Order::Little;
    // 4 GB less a little (an element's size is a 32-bit count) of uint8 zeros.
    const uint32_t kBytes = 65536u * 65535u;
    Bytes head = Cat({FlagsElement(o, mxUINT8), DimsElement(o, {65536, 65535}), NameElement(o, "bomb"),
                      Tag(o, miUINT8, kBytes)});
    Bytes element = Cat({Tag(o, miMATRIX, static_cast<uint32_t>(head.size() + kBytes)), head});
    Bytes stream = ZerosStream(element, kBytes);
    ASSERT_LT(stream.size(), 8u << 20);
    const std::string path = dir.file("bomb.mat");
    WriteFile(path, File5(o, {CompressedRaw(o, stream), NumericVar(o, "after", mxDOUBLE, {1, 1}, {7})}));

    ExpectBounded("zlib bomb", [&] {
        FilePtr m(matOpen(path.c_str(), "r"));
        if (!m) return false;
        if (ListHeaders(m.get()) != std::vector<std::string>{"bomb.uint8 [65536 65535]", "after.double [1 1]"}) {
            return false;
        }
        ArrayPtr b(matGetArray(m.get(), "bomb"));
        double v[4] = {1, 1, 1, 1};
        // Only as far as these elements is inflated.
        return b && mxReadElements(b.get(), 0, 1000, 4, v, nullptr, nullptr) == 4 && v[3] == 0 && OpenAndList(path);
    });
    // A claim beyond what deflate can compress to is damage, refused at once.
    FilePtr liar = OpenBytes(dir, "liar.mat", File5(o, {CompressedRaw(o, Bytes(stream.begin(), stream.begin() + 64))}));
    ASSERT_TRUE(liar);
    EXPECT_FALSE(ArrayPtr(matGetNextArrayHeader(liar.get())));
}

TEST(Bounds, EachListsWithinTheMemoryBound) {
    testenv::TempDir dir;
    Order o = Order::Little;
    Bytes after = NumericVar(o, "after", mxDOUBLE, {1, 1}, {2});
    Bytes deep = DeepCell(o, 100000);
    // A version 4 matrix of 2^32-1 by 2^32-1 doubles: its size overflows too.
    Bytes v4Overflow = V4MatrixRaw(V4Order::Little, 0, "x", 0xFFFFFFFFu, 0xFFFFFFFFu, 0, Bytes(8, 0));
    // Tags whose size runs past the end of the file: a matrix, a compressed
    // element, a name inside a matrix.
    Bytes longMatrix = Cat({Tag(o, miMATRIX, 0xFFFFFFF0u), FlagsElement(o, mxDOUBLE)});
    Bytes longCompressed = Cat({Tag(o, miCOMPRESSED, 0x7FFFFFF0u), Zlib(NumericVar(o, "z", mxDOUBLE, {1, 1}, {1}))});
    Bytes longName = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {1, 1}), Tag(o, miINT8, 0xFFFFFFF0u)}));
    struct Case {
        const char* what;
        Bytes file;
    };
    const std::vector<Case> cases = {
        {"cell nested 100,000 deep", File5(o, {deep, after})},
        {"compressed cell nested 100,000 deep", File5(o, {Compressed(o, deep), after})},
        {"version 4 size overflowing", v4Overflow},
        {"matrix tag past the end", File5(o, {after, longMatrix})},
        {"compressed tag past the end", File5(o, {after, longCompressed})},
        {"name tag past the end", File5(o, {after, longName})},
        {"header only", Header5(o)},
        {"empty file", Bytes()},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("hostile.mat");
        WriteFile(path, c.file);
        ExpectBounded(c.what, [&] { return OpenAndList(path); });
    }
    // The deep cells list, and copy whole, without recursing.
    for (size_t k = 0; k < 2; ++k) {
        FilePtr m = OpenBytes(dir, "deep.mat", cases[k].file);
        ASSERT_TRUE(m);
        EXPECT_EQ(ListHeaders(m.get()), (std::vector<std::string>{"deep.cell [1 1]", "after.double [1 1]"}));
        ArrayPtr a(matGetArray(m.get(), "deep"));
        ASSERT_TRUE(a);
        EXPECT_EQ(mxCheckArray(a.get(), nullptr), 0);
    }
}

// Scalars of at most a few dozen bytes each: a file of them costs the index
// far more memory than the file's size, so the index stops at its bounds
// (a million variables; 64 MB of names), listing those before, as for a
// damaged file, and deletion refuses the file.
TEST(Bounds, IndexStopsAtItsBoundsOnVariablesAndNameBytes) {
    testenv::TempDir dir;
    struct Case {
        const char* what;
        size_t variables;
        size_t nameLength;
        size_t expectListed;
    };
    const size_t kLongName = 4000;
    using matlib::format::kMaxIndexedNameBytes;
    using matlib::format::kMaxVariables;
    // "v", zeros, the number: `length` characters.
    auto nameOf = [](size_t i, size_t length) {
        const std::string number = std::to_string(i);
        return "v" + std::string(length - 1 - number.size(), '0') + number;
    };
    const std::vector<Case> cases = {
        {"a million and one scalars", kMaxVariables + 1, 8, kMaxVariables},
        {"17,000 names of 4,000 bytes", 17000, kLongName, kMaxIndexedNameBytes / kLongName},
        {"a million scalars", kMaxVariables, 8, kMaxVariables},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file;
        const Bytes value(8, 0);
        for (size_t i = 0; i < c.variables; ++i) {
            Append(file, V4MatrixRaw(V4Order::Little, 0, nameOf(i, c.nameLength), 1, 1, 0, value));
        }
        const std::string path = dir.file("many.mat");
        WriteFile(path, file);
        file = Bytes();
        const ChildResult r = RunInChild([&] {
            FilePtr m(matOpen(path.c_str(), "r"));
            int count = 0;
            char** names = m ? matGetDir(m.get(), &count) : nullptr;
            const bool listed = names != nullptr && count == static_cast<int>(c.expectListed) &&
                                names[count - 1] == nameOf(c.expectListed - 1, c.nameLength);
            mxFree(names);
            ArrayPtr beyond(matGetArray(m.get(), nameOf(c.expectListed, c.nameLength).c_str()));
            MATFile* update = matOpen(path.c_str(), "u");
            const bool refused = update == nullptr;
            if (update != nullptr) matClose(update);
            // Deletion needs the whole file indexed: refused exactly when the bound cut the index.
            const bool cut = c.expectListed < c.variables;
            return listed && beyond == nullptr && refused == cut;
        });
        EXPECT_TRUE(r.exitedCleanly);
        // The index at its bounds, with the sanitizers' bookkeeping on top.
        EXPECT_LT(r.peakGrowthKb, 1024 * 1024);
    }
}

// What can stand where a MAT-file is expected: a directory, devices that
// never end or are always empty, a named pipe without a writer (opening it
// for reading must not wait for one). None is a MAT-file; none may hang.
TEST(Bounds, DevicesDirectoriesAndPipesAreRefusedAtOnce) {
    testenv::TempDir dir;
    const std::string fifo = dir.file("pipe.mat");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.path(), std::string("/dev/zero"), std::string("/dev/null"),
                                    std::string("/dev/urandom"), fifo}) {
        ExpectBounded(path, [&] {
            for (const char* mode : {"r", "u"}) {
                if (MATFile* m = matOpen(path.c_str(), mode)) {
                    matClose(m);
                    return false;
                }
            }
            const testhost::Plugin& plugin = testhost::LoadedPlugin();
            testhost::Archive archive(plugin, path, PK_OM_LIST);
            return !plugin.CanHandle(path) && !archive.ok() && archive.openResult() != 0;
        });
    }
}

}  // namespace

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
                  return sigismember(&pending, SIGPIPE) == 1 ? 3 : 0;   // nothing left to hit the host later
              }),
              0);   // 128 + 13: ended by SIGPIPE
}

// A version 4 matrix has no level-5 bytes to copy: extracting it converts
// its values. Extraction and the viewer's text must stay within the memory
// bound however large the matrix is (here 48 MB of doubles, which a whole
// decode would hold at least twice), and no single write may be handed more
// than a bounded piece (a C runtime may fail a write of gigabytes).
TEST(HostileFiles, LargeVersion4MatricesExtractInBoundedMemoryAndPieces) {
    constexpr uint32_t kRows = 2048, kCols = 3072;
    struct Case { int32_t typeWord; const char* shownFirst; };   // little-endian IEEE doubles: 0 full, 1 text
    for (const Case& c : {Case{0, "\t(1,1) = 0\n\t(2,1) = 1\n"}, Case{1, "abcdefghijklmnopqrstuvwxyzabc"}}) {
        SCOPED_TRACE(c.typeWord);
        const bool text = c.typeWord == 1;
        testenv::TempDir dir;
        const std::string path = dir.file("big4.mat");
        {
            FILE* f = std::fopen(path.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            const int32_t head[5] = {c.typeWord, kRows, kCols, 0, 4};
            std::fwrite(head, sizeof head, 1, f);
            std::fwrite("big", 4, 1, f);
            std::vector<double> column(kRows);
            for (uint32_t col = 0; col < kCols; ++col) {
                for (uint32_t r = 0; r < kRows; ++r) {
                    const double index = static_cast<double>(col) * kRows + r;
                    column[r] = text ? 'a' + std::fmod(index, 26.0) : index;
                }
                std::fwrite(column.data(), sizeof(double), kRows, f);
            }
            ASSERT_EQ(std::fclose(f), 0);
        }
        const std::string out = dir.file("big.mat");
        ChildResult r = RunInChild([&] {
            static const platform::FileSystemCalls real = platform::RealFileSystem();
            platform::FileSystem().write = [](const void* data, size_t size, FILE* file) -> size_t {
                return size > matlib::kCopyBufferSize ? 0 : real.write(data, size, file);
            };
            FilePtr m(matOpen(path.c_str(), "r"));
            ArrayPtr a(m ? matGetArray(m.get(), "big") : nullptr);
            if (!a || RenderVariableText(a.get(), false).rfind(c.shownFirst, 0) != 0) return false;
            MATFile* w = matOpen(out.c_str(), "w");
            return w != nullptr && matPutArray(w, a.get()) == 0 && matClose(w) == 0;
        });
        EXPECT_TRUE(r.exitedCleanly);
        EXPECT_LT(r.peakGrowthKb, kPeakMemoryBoundKb) << "peak memory grew by " << r.peakGrowthKb << " KB";
        // The copy holds the values where they were.
        FilePtr copy(matOpen(out.c_str(), "r"));
        ArrayPtr b(copy ? matGetArray(copy.get(), "big") : nullptr);
        ASSERT_TRUE(b);
        EXPECT_EQ(mxGetClassID(b.get()), text ? mxCHAR_CLASS : mxDOUBLE_CLASS);
        EXPECT_EQ(mxGetM(b.get()), kRows);
        EXPECT_EQ(mxGetN(b.get()), kCols);
        if (!text) {
            double v[2] = {};
            const size_t last = static_cast<size_t>(kRows) * kCols - 2;
            ASSERT_EQ(mxReadElements(b.get(), 0, last, 2, v, nullptr, nullptr), 2u);
            EXPECT_EQ(v[0], static_cast<double>(last));
            EXPECT_EQ(v[1], static_cast<double>(last + 1));
        } else {
            // The last unit, straight from the copy's bytes (UTF-16, no padding).
            const Bytes bytes = ReadFile(out);
            EXPECT_EQ(Bytes(bytes.end() - 2, bytes.end()), (Bytes{static_cast<uint8_t>('a' + (kRows * kCols - 1) % 26), 0}));
        }
    }
}

// A version 7.3 file is read by a worker process. One killed meanwhile costs
// the read that finds it gone (no SIGPIPE, which would end this process), is
// reaped, and the next read starts another; closing the file ends the last.
TEST(HostileFiles, AKilledVersion73WorkerCostsOneRead) {
    const std::string path = testenv::TestDataDir() + "/matio/v73.mat";
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
    ArrayPtr array(matGetArray(m.get(), "m_double"));   // its header came with the listing
    ASSERT_TRUE(array);
    EXPECT_TRUE(ReadReal(array.get(), 12).empty());
    EXPECT_EQ(waitpid(first[0], nullptr, WNOHANG), -1);   // reaped
    EXPECT_EQ(ReadReal(array.get(), 12), Iota(12, 1));
    EXPECT_EQ(children().size(), 1u);
    array.reset();
    m.reset();
    EXPECT_TRUE(children().empty());
}

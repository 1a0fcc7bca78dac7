// Writing MAT-files: a new file (mode "w") holds byte-faithful copies of
// level-5 variables and re-encoded version 4 ones; deleting in place (mode
// "u") cuts the deleted variables out, byte for byte. Either way the new
// file goes in place whole or not at all.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "os/file_io.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using support::ArrayPtr;
using support::FilePtr;
using testenv::TempDir;

std::vector<Bytes> Without(const std::vector<Bytes>& all, std::initializer_list<size_t> gone) {
    std::vector<Bytes> kept;
    for (size_t i = 0; i < all.size(); ++i) {
        if (std::find(gone.begin(), gone.end(), i) == gone.end()) kept.push_back(all[i]);
    }
    return kept;
}

class BothOrders : public ::testing::TestWithParam<Order> {};

TEST_P(BothOrders, Level5VariablesAreCopiedByteForByte) {
    const Order order = GetParam();
    TempDir dir;
    const std::vector<Bytes> elements = support::AllClasses(order);
    const std::string source = dir.file("source.mat");
    WriteFile(source, File5(order, elements));
    const Bytes header = Header5(order), mark(header.end() - 4, header.end());   // version and byte order
    for (size_t i = 0; i < elements.size(); ++i) {
        const std::string& name = support::kAllClassesNames[i];
        const std::string out = dir.file("copy" + name + ".mat");
        ASSERT_EQ(support::Extract(source, name.c_str(), out), 0) << name;
        const Bytes written = ReadFile(out);
        ASSERT_EQ(written.size(), 128 + elements[i].size()) << name;
        EXPECT_EQ(Bytes(written.begin() + 124, written.end()), Cat({mark, elements[i]})) << name;
    }
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

// Each deletion cuts out exactly its variables and keeps every other byte.
// By name the first of that name not yet deleted goes; names are
// case-sensitive; an unknown name is refused while the others still go. The
// unnamed variable at the header's subsystem-data offset (MATLAB's function
// workspace): the offset follows it, or is cleared with it.
TEST_P(BothOrders, DeletionsCutOutTheirVariablesAndKeepEveryOtherByte) {
    const Order o = GetParam();
    const std::vector<Bytes> all = support::AllClasses(o);
    const Bytes a = NumericVar(o, "a", mxDOUBLE, {1, 3}, {1, 2, 3}), b = Compressed(o, CharVar(o, "b", "bee")),
                a2 = NumericVar(o, "a", mxDOUBLE, {1, 1}, {3}), ws = NumericVar(o, "", mxUINT8, {1, 16}, Iota(16));
    // The variables, the header pointing at ws if there (cleared: blanks, as MATLAB writes "none").
    auto file = [&](const std::vector<Bytes>& vars, bool cleared = false) {
        Bytes bytes = Header5(o);
        uint64_t offset = 0;
        for (const Bytes& v : vars) {
            if (v == ws) offset = bytes.size();
            Append(bytes, v);
        }
        const Bytes header = Header5(o, kHeaderText, offset);
        std::copy(header.begin(), header.end(), bytes.begin());
        if (cleared) std::memset(bytes.data() + 116, ' ', 8);
        return bytes;
    };
    const struct { Bytes before; std::vector<std::string> names; int notFound; Bytes after; } cases[] = {
        {file(all), {"A"}, 0, file(Without(all, {0}))},
        {file(all), {"sp"}, 0, file(Without(all, {8}))},
        {file(all), {"str"}, 0, file(Without(all, {14}))},
        {file(all), {"s", "st"}, 0, file(Without(all, {7, 11}))},
        {file(all), {"big", "A", "sp"}, 0, file(Without(all, {0, 8, 15}))},
        {file(all), support::kAllClassesNames, 0, Header5(o)},
        {file({a, b, a2}), {"a", "a", "a", "B"}, 2, file({b})},
        {file({a, b, a2}), {"nope", "b"}, 1, file({a, a2})},
        {file({a, b, ws}), {"a"}, 0, file({b, ws})},
        {file({b, ws}), {""}, 0, file({b}, true)},
        {file({a, ws, b}), {"b"}, 0, file({a, ws})},
    };
    TempDir dir;
    const std::string path = dir.file("f.mat");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names[0]);
        WriteFile(path, c.before);
        int notFound = -1;
        ASSERT_EQ(support::Delete(path, c.names, &notFound), 0);
        EXPECT_EQ(notFound, c.notFound);
        EXPECT_EQ(ReadFile(path), c.after);
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Write, BothOrders, ::testing::Values(Order::Little, Order::Big));

// "MATLAB 5.0 MAT-file, Platform: <NAME>, Created on: <asctime>",
// blank-padded, no subsystem data, version 1 little-endian.
TEST(WriteHeader, HasMatlabFormCreatedNowAndLoadsEmpty) {
    TempDir dir;
    const std::string path = dir.file("empty.mat");
    MATFile* mfp = matOpen(path.c_str(), "w");
    ASSERT_NE(mfp, nullptr);
    ASSERT_EQ(matClose(mfp), 0);
    const Bytes file = ReadFile(path);
    ASSERT_EQ(file.size(), 128u);
    const std::string text(file.begin(), file.begin() + 116), lead = "MATLAB 5.0 MAT-file, Platform: ", created = ", Created on: ";
    const size_t at = text.find(created);
    ASSERT_TRUE(text.rfind(lead, 0) == 0 && at != std::string::npos && at > lead.size()) << text;
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", lead.size()), at) << text;
    EXPECT_EQ(text.find_first_not_of(' ', at + created.size() + 24), std::string::npos) << text;   // asctime's 24 characters
    EXPECT_EQ(Bytes(file.begin() + 116, file.end()), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 'I', 'M'}));
}

TEST(WriteTarget, FolderMissingFolderOrReadOnlyFileIsRefusedWithoutLeftovers) {
    TempDir dir;
    const std::string readOnly = dir.file("ro.mat");
    WriteFile(readOnly, Bytes(10, 'r'));
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    EXPECT_EQ(matOpen(readOnly.c_str(), "w"), nullptr);
    EXPECT_EQ(ReadFile(readOnly), Bytes(10, 'r'));
    EXPECT_EQ(matOpen(dir.path().c_str(), "w"), nullptr);
    EXPECT_EQ(matOpen(dir.file("no/such/folder.mat").c_str(), "w"), nullptr);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());

    // A handle given up leaves neither the file nor its named temporary (as
    // where the file system makes no unnamed files), nor the deletions it recorded.
    platform::FileSystemCalls& calls = platform::FileSystem();
    const platform::FileSystemCalls saved = calls;
    calls.createUnnamedBeside = [](const char*, bool) -> FILE* { return nullptr; };
    MATFile* mfp = matOpen(dir.file("x.mat").c_str(), "w");
    calls = saved;
    ASSERT_NE(mfp, nullptr);
    EXPECT_EQ(support::StrayTemporaries(dir.path()).size(), 1u);
    matAbandon(mfp);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.mat")));
}

// Version 7.3 is chosen only for a variable version 7 cannot hold (2 GB or
// more of data), and only when the caller left it to the engine; a file
// that must be new refuses a path that is taken, leaving what is there.
TEST(WriteOptions, VersionWhenNeededAndNewFilesOnly) {
    TempDir dir;
    WriteFile(dir.file("small.mat"), File5(Order::Little, {NumericVar(Order::Little, "s", mxDOUBLE, {1, 1}, {1})}));
    ASSERT_TRUE(support::CopyTestData("damaged73/huge.mat", dir.file("huge.mat")));
    for (const char* name : {"small.mat", "huge.mat"}) {
        MATFile* mfp = matOpen(dir.file(name).c_str(), "r");
        ASSERT_NE(mfp, nullptr) << name;
        const ArrayPtr array(matGetNextArrayHeader(mfp));
        ASSERT_NE(array.get(), nullptr) << name;
        const bool huge = std::strcmp(name, "huge.mat") == 0;
        for (const matWriteVersion asked : {matVersionSame, matVersion7, matVersion73, matVersion73WhenNeeded}) {
            matWriteOptions options{matExistingReplace, 0, asked, 0};
            matFitWriteOptions(&options, array.get());
            EXPECT_EQ(options.version, huge && asked == matVersion73WhenNeeded ? matVersion73 : asked) << name << asked;
        }
        matClose(mfp);
    }
    const matWriteOptions newOnly{matExistingRefuse, 1, matVersion7, 0};
    EXPECT_EQ(matOpenForWriting(dir.file("small.mat").c_str(), &newOnly), nullptr);
    EXPECT_EQ(ReadFile(dir.file("small.mat")), File5(Order::Little, {NumericVar(Order::Little, "s", mxDOUBLE, {1, 1}, {1})}));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

// By occurrence: exactly that one, once. With nothing to delete the file is
// not even rewritten.
TEST(Update, OccurrencesAndNothingToDelete) {
    TempDir dir;
    const std::string path = dir.file("dup.mat");
    const Order o = Order::Little;
    const Bytes a1 = NumericVar(o, "a", mxDOUBLE, {1, 1}, {1}), b = NumericVar(o, "b", mxDOUBLE, {1, 1}, {2}),
                a2 = NumericVar(o, "a", mxDOUBLE, {1, 1}, {3});
    WriteFile(path, File5(o, {a1, b, a2}));
    MATFile* mfp = matOpen(path.c_str(), "u");
    ASSERT_NE(mfp, nullptr);
    EXPECT_EQ(matDeleteArrayOccurrence(mfp, "a", 2), 0);
    EXPECT_NE(matDeleteArrayOccurrence(mfp, "a", 2), 0);   // already deleted
    EXPECT_NE(matDeleteArrayOccurrence(mfp, "a", 3), 0);
    EXPECT_EQ(matClose(mfp), 0);
    EXPECT_EQ(ReadFile(path), File5(o, {a1, b}));
    struct stat before {}, after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    int notFound = 0;
    EXPECT_EQ(support::Delete(path, {"zzz"}, &notFound), 0);
    EXPECT_EQ(notFound, 1);
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
#if defined(_WIN32)
    EXPECT_EQ(before.st_mtime, after.st_mtime);   // the C library keeps whole seconds only
#else
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
#endif
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

// A version 4 file stays one; no version 4 file is empty: without
// variables it becomes the level-5 file without variables.
TEST(Update, Version4FilesStayVersion4UntilEmpty) {
    TempDir dir;
    const std::string v4 = dir.file("v4.mat");
    const Bytes x = V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "x", 2, 2, {1, 2, 3, 4});
    const Bytes s = V4Matrix(V4Order::Little, V4Precision::Int16, V4Type::Full, "s", 1, 3, {1, -2, 3});
    WriteFile(v4, Cat({x, V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Text, "t", 1, 2, {'h', 'i'}), s}));
    ASSERT_EQ(support::Delete(v4, {"t"}), 0);
    EXPECT_EQ(ReadFile(v4), Cat({x, s}));
    EXPECT_EQ(support::Delete(v4, {"x", "s"}), 0);
    const Bytes empty = ReadFile(v4);
    ASSERT_EQ(empty.size(), 128u);
    EXPECT_EQ(std::string(empty.begin(), empty.begin() + 19), "MATLAB 5.0 MAT-file");
    EXPECT_TRUE(support::VariableNames(v4).empty());
}

unsigned gModeWhileWriting = 0;

// A deletion keeps the permission bits, and its copy of a private file is
// never readable by others, not even while it is written; a replaced
// extraction target keeps its bits; a read-only file is refused.
TEST(Update, PermissionBitsAreKeptAndReadOnlyFilesRefused) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    WriteFile(path, File5(Order::Little, support::AllClasses(Order::Little)));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    platform::FileSystemCalls& calls = platform::FileSystem();
    const platform::FileSystemCalls saved = calls;
    gModeWhileWriting = 07777;
    calls.write = [](const void* buffer, size_t size, FILE* file) {
        struct stat st {};
        if (::fstat(::fileno(file), &st) == 0) gModeWhileWriting = st.st_mode & 07777;
        return platform::RealFileSystem().write(buffer, size, file);
    };
    const int result = support::Delete(path, {"A"});
    calls = saved;
    ASSERT_EQ(result, 0);
    EXPECT_EQ(gModeWhileWriting, 0600u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const std::string target = dir.file("t.mat");
    WriteFile(target, Bytes(1000, 'x'));
    ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
    ASSERT_EQ(support::Extract(path, "z", target), 0);
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    const Bytes before = ReadFile(path);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(support::Delete(path, {"z"}), -1);
    EXPECT_EQ(ReadFile(path), before);
}

}  // namespace

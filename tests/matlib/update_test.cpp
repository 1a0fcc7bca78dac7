// Deleting variables in place (mode "u"): the new file is the old one with
// the deleted variables cut out, byte for byte, whatever their kind.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "platform/file_io.h"
#include "matlib/mat_internal.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using testenv::TempDir;

std::vector<Bytes> Variables(Order o) {
    return {
        NumericVar(o, "a", mxDOUBLE, {3, 4}, Iota(12)),
        Compressed(o, CharVar(o, "b", "compressed stays compressed")),
        SparseVar(o, "c", 4, 3, {0, 3, 1}, {0, 1, 2, 3}, {1.5, 2.5, 3.5}),
        Compressed(o, StructVar(o, "d", {1, 1}, {"f"}, {NumericVar(o, "", mxINT32, {1, 2}, {4, 5})})),
        CellVar(o, "e", {1, 1}, {CharVar(o, "", "cell")}, kGlobal),
    };
}

std::vector<Bytes> Without(const std::vector<Bytes>& all, std::initializer_list<size_t> gone) {
    std::vector<Bytes> kept;
    for (size_t i = 0; i < all.size(); ++i) {
        if (std::find(gone.begin(), gone.end(), i) == gone.end()) kept.push_back(all[i]);
    }
    return kept;
}

class UpdateOrder : public ::testing::TestWithParam<Order> {};

TEST_P(UpdateOrder, DeletedVariablesAreCutOutAndTheRestKeptByteForByte) {
    const Order o = GetParam();
    const std::vector<Bytes> all = Variables(o);
    struct Case { std::vector<std::string> names; std::initializer_list<size_t> gone; };
    const Case cases[] = {
        {{"a"}, {0}}, {{"c"}, {2}}, {{"e"}, {4}}, {{"b", "d"}, {1, 3}}, {{"e", "a", "c"}, {0, 2, 4}},
    };
    TempDir dir;
    const std::string path = dir.file("f.mat");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names[0]);
        WriteFile(path, File5(o, all));
        ASSERT_EQ(support::Delete(path, c.names), 0);
        EXPECT_EQ(ReadFile(path), File5(o, Without(all, c.gone)));
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, UpdateOrder, ::testing::Values(Order::Little, Order::Big));

TEST(Update, RepeatedNamesAreDeletedOneOccurrenceAfterAnother) {
    TempDir dir;
    const std::string path = dir.file("dup.mat");
    const Bytes a1 = NumericVar(Order::Little, "a", mxDOUBLE, {1, 1}, {1});
    const Bytes b = NumericVar(Order::Little, "b", mxDOUBLE, {1, 1}, {2});
    const Bytes a2 = NumericVar(Order::Little, "a", mxDOUBLE, {1, 1}, {3});
    WriteFile(path, File5(Order::Little, {a1, b, a2}));

    MATFile* mfp = matOpen(path.c_str(), "u");
    ASSERT_NE(mfp, nullptr);
    // Occurrence 0: the first of that name not yet deleted.
    EXPECT_EQ(matlib::RecordDeletion(mfp, "a", 0), 0);
    EXPECT_EQ(matlib::RecordDeletion(mfp, "a", 0), 0);
    EXPECT_NE(matlib::RecordDeletion(mfp, "a", 0), 0);   // none left
    EXPECT_NE(matDeleteArray(mfp, "A"), 0);              // names are case-sensitive
    EXPECT_EQ(matClose(mfp), 0);
    EXPECT_EQ(ReadFile(path), File5(Order::Little, {b}));

    WriteFile(path, File5(Order::Little, {a1, b, a2}));
    mfp = matOpen(path.c_str(), "u");
    ASSERT_NE(mfp, nullptr);
    EXPECT_EQ(matDeleteArrayOccurrence(mfp, "a", 2), 0);
    EXPECT_NE(matDeleteArrayOccurrence(mfp, "a", 2), 0);   // already deleted
    EXPECT_NE(matDeleteArrayOccurrence(mfp, "a", 3), 0);
    EXPECT_EQ(matClose(mfp), 0);
    EXPECT_EQ(ReadFile(path), File5(Order::Little, {a1, b}));
}

// An unknown name is refused and the others still go; with nothing to
// delete the file is not even rewritten.
TEST(Update, UnknownNamesAreRefused) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> all = Variables(Order::Little);
    WriteFile(path, File5(Order::Little, all));
    int notFound = 0;
    EXPECT_EQ(support::Delete(path, {"nope", "b"}, &notFound), 0);
    EXPECT_EQ(notFound, 1);
    EXPECT_EQ(ReadFile(path), File5(Order::Little, Without(all, {1})));
    struct stat before {}, after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
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

TEST(Update, DeletingEveryVariableLeavesAMatFileWithoutVariables) {
    TempDir dir;
    const std::string v5 = dir.file("v5.mat");
    const Bytes file5 = File5(Order::Big, Variables(Order::Big));
    WriteFile(v5, file5);
    EXPECT_EQ(support::Delete(v5, {"a", "b", "c", "d", "e"}), 0);
    EXPECT_EQ(ReadFile(v5), Bytes(file5.begin(), file5.begin() + 128));   // the header alone

    // A version 4 file stays one; no version 4 file is empty: without
    // variables it becomes the level-5 file without variables.
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

// The unnamed variable at the header's subsystem-data offset (MATLAB's
// function workspace): the offset follows it, or is cleared with it.
class SubsystemOffset : public ::testing::TestWithParam<Order> {};

TEST_P(SubsystemOffset, FollowsItsVariableOrIsClearedWithIt) {
    const Order o = GetParam();
    const Bytes a = NumericVar(o, "a", mxDOUBLE, {1, 3}, {1, 2, 3});
    const Bytes b = Compressed(o, CharVar(o, "b", "bee"));
    const Bytes ws = NumericVar(o, "", mxUINT8, {1, 16}, Iota(16));
    const uint64_t wsOffset = 128 + a.size() + b.size();
    auto file = [&](const std::vector<Bytes>& vars, uint64_t offset) {
        Bytes bytes = Header5(o, kHeaderText, offset);
        for (const Bytes& v : vars) Append(bytes, v);
        return bytes;
    };
    TempDir dir;
    const std::string path = dir.file("ws.mat");
    WriteFile(path, file({a, b, ws}, wsOffset));
    ASSERT_EQ(support::Delete(path, {"a"}), 0);
    EXPECT_EQ(ReadFile(path), file({b, ws}, wsOffset - a.size()));

    ASSERT_EQ(support::Delete(path, {""}), 0);
    Bytes cleared = file({b}, 0);
    std::memset(cleared.data() + 116, ' ', 8);   // as MATLAB writes "no subsystem data"
    EXPECT_EQ(ReadFile(path), cleared);

    // A variable after the workspace does not move it.
    WriteFile(path, file({a, ws, b}, 128 + a.size()));
    ASSERT_EQ(support::Delete(path, {"b"}), 0);
    EXPECT_EQ(ReadFile(path), file({a, ws}, 128 + a.size()));
}

INSTANTIATE_TEST_SUITE_P(BothOrders, SubsystemOffset, ::testing::Values(Order::Little, Order::Big));

TEST(Update, PermissionBitsAreKeptAndReadOnlyFilesRefused) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> all = Variables(Order::Little);
    WriteFile(path, File5(Order::Little, all));
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    ASSERT_EQ(support::Delete(path, {"a"}), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    const Bytes before = ReadFile(path);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(support::Delete(path, {"b"}), -1);
    EXPECT_EQ(ReadFile(path), before);
}

// An archive being listed holds the file open while a deletion replaces it:
// the reader goes on reading the old file, the path gives the new one.
TEST(Update, OpenReaderKeepsReadingTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> all = Variables(Order::Little);
    WriteFile(path, File5(Order::Little, all));
    MATFile* reader = matOpen(path.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    mxArray* first = matGetNextArrayHeader(reader);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(mxGetName(first), "a");
    mxDestroyArray(first);

    ASSERT_EQ(support::Delete(path, {"a", "b"}), 0);
    EXPECT_EQ(ReadFile(path), File5(Order::Little, Without(all, {0, 1})));

    mxArray* second = matGetNextArrayHeader(reader);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(mxGetName(second), "b");
    mxDestroyArray(second);
    mxArray* a = matGetArray(reader, "a");
    ASSERT_NE(a, nullptr);
    const double* values = static_cast<const double*>(mxGetPr(a));
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values[11], 11.0);
    mxDestroyArray(a);
    matClose(reader);
}

// Through a symbolic link the file it names is changed; the link stays.
TEST(Update, SymbolicLinkKeepsPointingAtTheChangedFile) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    const std::string target = dir.file("real/f.mat");
    const std::vector<Bytes> all = Variables(Order::Little);
    WriteFile(target, File5(Order::Little, all));
    const std::string link = dir.file("link.mat");
    std::filesystem::create_symlink(target, link);
    ASSERT_EQ(support::Delete(link, {"c"}), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(target), File5(Order::Little, Without(all, {2})));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    EXPECT_TRUE(support::StrayTemporaries(dir.file("real")).empty());
}

unsigned gModeWhileWriting = 0;

// The copy of a private file is never readable by others, not even while it
// is being written.
TEST(Update, NewFileIsOwnerOnlyUntilItGetsTheOldBits) {
    TempDir dir;
    const std::string path = dir.file("private.mat");
    const std::vector<Bytes> all = Variables(Order::Little);
    WriteFile(path, File5(Order::Little, all));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    platform::FileSystemCalls& calls = platform::FileSystem();
    const platform::FileSystemCalls saved = calls;
    gModeWhileWriting = 07777;
    calls.write = [](const void* buffer, size_t size, FILE* file) {
        struct stat st {};
        if (::fstat(::fileno(file), &st) == 0) gModeWhileWriting = st.st_mode & 07777;
        return platform::RealFileSystem().write(buffer, size, file);
    };
    const int result = support::Delete(path, {"a"});
    calls = saved;
    ASSERT_EQ(result, 0);
    EXPECT_EQ(gModeWhileWriting, 0600u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace

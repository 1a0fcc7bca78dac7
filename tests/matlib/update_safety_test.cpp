// What a deletion or extraction must never do to the files around it, with
// other programs and other users at work: replace a file someone else just
// changed, undo another deletion, change a file the caller may not write, take
// a file's owner, rights or attributes, split hard links, write through a
// symbolic link, copy a file rewritten under it, or leave its temporary
// behind when it dies.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/file_io.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using testenv::TempDir;
using support::InChild;

constexpr uid_t kNobody = 65534;

std::vector<Bytes> Variables(size_t values) {
    const Order o = Order::Little;
    return {NumericVar(o, "a", mxDOUBLE, {1, static_cast<int32_t>(values)}, Iota(values)),
            Compressed(o, NumericVar(o, "b", mxDOUBLE, {1, static_cast<int32_t>(values)}, Iota(values, 7))),
            CharVar(o, "c", "last")};
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Moves the file's time on by one nanosecond within its second, as a
// rewrite a clock tick later does: a check of whole seconds cannot see it.
void TouchWithinTheSecond(const std::string& path) {
    const struct stat st = StatOf(path);
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_nsec = times[1].tv_nsec == 0 ? 1 : times[1].tv_nsec - 1;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The file is changed by another program at the last moment of a deletion
// (after the new file is synced, before it goes in place): appended to, or
// rewritten in place with the same size within the same second.
TEST(UpdateSafety, FileChangedJustBeforeTheRenameIsNotReplaced) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(300);
    const Bytes old = File5(Order::Little, vars);
    Bytes appended = File5(Order::Little, {vars[0], vars[1], vars[2], CharVar(Order::Little, "d", "new")});
    Bytes rewritten = old;
    rewritten[rewritten.size() - 3] ^= 0x20;   // a letter of "last" changes case
    for (Bytes* changed : {&appended, &rewritten}) {
        WriteFile(path, old);
        static std::string target;
        static const Bytes* newContent;
        target = path;
        newContent = changed;
        platform::FileSystemCalls& calls = platform::FileSystem();
        const platform::FileSystemCalls saved = calls;
        calls.sync = [](FILE* file) {
            const int result = platform::RealFileSystem().sync(file);
            // In place, as another program writes: same file, new bytes.
            FILE* other = std::fopen(target.c_str(), "r+b");
            std::fwrite(newContent->data(), 1, newContent->size(), other);
            std::fclose(other);
            TouchWithinTheSecond(target);
            return result;
        };
        const int result = support::Delete(path, {"b"});
        calls = saved;
        EXPECT_NE(result, 0);
        EXPECT_EQ(ReadFile(path), *changed);
        EXPECT_NE(matLastError(), nullptr);
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    }
}

// Two deletions of one file: the second is refused while the first holds
// the file, and succeeds after it.
TEST(UpdateSafety, SecondDeletionIsRefusedWhileTheFirstHoldsTheFile) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(300);
    WriteFile(path, File5(Order::Little, vars));
    MATFile* first = matOpen(path.c_str(), "u");
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(matDeleteArray(first, "a"), 0);
    EXPECT_EQ(matOpen(path.c_str(), "u"), nullptr);
    ASSERT_NE(matLastError(), nullptr);
    EXPECT_NE(std::strstr(matLastError(), "another deletion"), nullptr);
    EXPECT_EQ(matClose(first), 0);
    EXPECT_EQ(support::Delete(path, {"c"}), 0);
    EXPECT_EQ(ReadFile(path), File5(Order::Little, {vars[1]}));
}

// Two processes delete different variables from one file at once, for a
// fixed number of rounds: whatever reports success has happened, and
// nothing else has.
TEST(UpdateSafety, ConcurrentDeletionsReportOnlyWhatTheyDid) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(100000);   // about 1.5 MB
    for (int round = 0; round < 12; ++round) {
        WriteFile(path, File5(Order::Little, vars));
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        pid_t pids[2];
        const char* names[2] = {"a", "c"};
        for (int i = 0; i < 2; ++i) {
            pids[i] = ::fork();
            if (pids[i] == 0) {
                char byte;
                ::close(go[1]);
                if (::read(go[0], &byte, 1) != 0) ::_exit(3);   // both start when the pipe closes
                ::_exit(support::Delete(path, {names[i]}) == 0 ? 0 : 1);
            }
        }
        ::close(go[0]);
        ::close(go[1]);
        bool done[2];
        for (int i = 0; i < 2; ++i) {
            int status = 0;
            ::waitpid(pids[i], &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;
            done[i] = WEXITSTATUS(status) == 0;
        }
        std::vector<Bytes> left = {vars[1]};
        if (!done[0]) left.insert(left.begin(), vars[0]);
        if (!done[1]) left.push_back(vars[2]);
        ASSERT_EQ(ReadFile(path), File5(Order::Little, left)) << "round " << round << ": " << done[0] << done[1];
    }
}

// Root's file in a folder everybody may write: the folder would allow the
// rename, the file is not nobody's to change.
TEST(UpdateSafety, CallerWhoMayNotWriteTheFileIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string path = dir.file("f.mat");
    const Bytes old = File5(Order::Little, Variables(10));
    WriteFile(path, old);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    const int status = InChild([&] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return 2;
        if (support::Delete(path, {"a"}) != -1) return 1;
        return matLastError() != nullptr ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(StatOf(path).st_uid, 0u);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

std::map<std::string, std::string> ExtendedAttributes(const std::string& path) {
    std::map<std::string, std::string> found;
    char names[4096];
    const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        char value[4096];
        const ssize_t length = ::getxattr(path.c_str(), names + at, value, sizeof value);
        found[names + at] = std::string(value, length > 0 ? static_cast<size_t>(length) : 0);
    }
    return found;
}

// An access control list in the system's own form: the owner may read and
// write, user 1234 read, the group and others nothing.
Bytes AccessList() {
    const Order o = Order::Little;
    Bytes acl = U32(o, 2);
    const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
        {0x01, 6, 0xFFFFFFFFu}, {0x02, 4, 1234}, {0x04, 0, 0xFFFFFFFFu}, {0x10, 4, 0xFFFFFFFFu},
        {0x20, 0, 0xFFFFFFFFu}};
    for (const auto& e : entries) acl = Cat({acl, U16(o, e.tag), U16(o, e.perm), U32(o, e.id)});
    return acl;
}

// Root deletes from a user's private file: the new file is still the user's,
// with the same bits, attributes and access list.
TEST(UpdateSafety, OwnerGroupModeAndExtendedAttributesAreKept) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another user";
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(10);
    WriteFile(path, File5(Order::Little, vars));
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    const bool haveAttributes = ::setxattr(path.c_str(), "user.origin", "lab 4", 5, 0) == 0;
    const Bytes acl = AccessList();
    const bool haveAcl = ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    const struct stat before = StatOf(path);
    const auto attributesBefore = ExtendedAttributes(path);

    ASSERT_EQ(support::Delete(path, {"b"}), 0);
    const struct stat after = StatOf(path);
    EXPECT_EQ(ReadFile(path), File5(Order::Little, {vars[0], vars[2]}));
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, kNobody);
    EXPECT_EQ(after.st_gid, kNobody);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(ExtendedAttributes(path), attributesBefore);
    if (!haveAttributes || !haveAcl) GTEST_SKIP() << "this file system keeps no (user) extended attributes";
}

// Hard links: the file cannot be replaced under all its names at once, so
// the deletion is refused and says why; both names stay one file.
TEST(UpdateSafety, FileWithHardLinksIsRefusedWithItsReason) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::string other = dir.file("g.mat");
    const Bytes old = File5(Order::Little, Variables(10));
    WriteFile(path, old);
    ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
    EXPECT_EQ(support::Delete(path, {"a"}), -1);
    ASSERT_NE(matLastError(), nullptr);
    EXPECT_NE(std::strstr(matLastError(), "hard links"), nullptr);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(StatOf(path).st_ino, StatOf(other).st_ino);
    EXPECT_EQ(StatOf(path).st_nlink, 2u);
}

// A symbolic link planted at the output's name is replaced by the output; the
// file it pointed at (here outside the folder) stays as it was.
TEST(UpdateSafety, ExtractionReplacesALinkAtTheDestinationNeverItsTarget) {
    TempDir dir;
    const std::string source = dir.file("source.mat");
    WriteFile(source, File5(Order::Little, Variables(10)));
    const std::string victim = dir.file("victim");
    WriteFile(victim, Bytes(64, 'v'));
    for (const std::string& pointsAt : {victim, dir.file("missing")}) {
        const std::string target = dir.file("a.mat");
        std::filesystem::remove(target);
        ASSERT_EQ(::symlink(pointsAt.c_str(), target.c_str()), 0);
        EXPECT_EQ(support::Extract(source, "a", target), 0);
        EXPECT_TRUE(S_ISREG(StatOf(target).st_mode));
        EXPECT_EQ(ReadFile(victim), Bytes(64, 'v'));
        EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    }
}

// The open file is rewritten in place with the same size: before the
// variable is read, or between reading it and writing its copy. Either way
// nothing is extracted and the engine says why.
TEST(UpdateSafety, SourceRewrittenInPlaceWhileOpenIsNotCopied) {
    TempDir dir;
    const std::string source = dir.file("source.mat");
    const Bytes original = File5(Order::Little, Variables(10));
    Bytes rewritten = original;
    rewritten[200] ^= 0xFF;
    const std::string target = dir.file("a.mat");
    for (bool afterReading : {false, true}) {
        WriteFile(source, original);
        std::filesystem::remove(target);
        MATFile* in = matOpen(source.c_str(), "r");
        ASSERT_NE(in, nullptr);
        mxArray* array = afterReading ? matGetArray(in, "a") : nullptr;
        {
            FILE* other = std::fopen(source.c_str(), "r+b");
            std::fwrite(rewritten.data(), 1, rewritten.size(), other);
            std::fclose(other);
            TouchWithinTheSecond(source);
        }
        if (!afterReading) {
            array = matGetArray(in, "a");
            EXPECT_EQ(array, nullptr);
        } else {
            MATFile* out = matOpen(target.c_str(), "w");
            ASSERT_NE(out, nullptr);
            EXPECT_NE(matPutArray(out, array), 0);
            EXPECT_NE(matClose(out), 0);
            EXPECT_FALSE(std::filesystem::exists(target));
        }
        EXPECT_NE(matLastError(), nullptr);
        mxDestroyArray(array);
        matClose(in);
    }
}

std::string HostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// Deletions killed at random points leave no temporary that outlives the
// next deletion; that one removes only temporaries of dead processes of
// this machine, named as ours.
TEST(UpdateSafety, TemporariesOfKilledDeletionsDoNotStay) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(400000);   // about 5 MB
    const Bytes old = File5(Order::Little, vars);
    for (int kill = 0; kill < 6; ++kill) {
        WriteFile(path, old);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            // Killed once its new file is being written.
            static int signalFd;
            signalFd = ready[1];
            platform::FileSystem().write = [](const void* buffer, size_t size, FILE* file) {
                ::write(signalFd, "w", 1);
                return platform::RealFileSystem().write(buffer, size, file);
            };
            ::_exit(support::Delete(path, {"b"}));
        }
        ::close(ready[1]);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(ready[0]);
    }
    const pid_t dead = ::fork();   // a process of this machine that is gone
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::string host = HostName();
    auto planted = [&](const std::string& who, long pid) {
        return ".matwcx-" + who + "-" + std::to_string(pid) + "-0123abcd.tmp";
    };
    const std::string stale = planted(host, dead);
    const std::vector<std::string> kept = {planted(host, 1), planted(host + "x", dead),
                                           ".matwcx-" + host + "-" + std::to_string(dead) + "-notours.tmp"};
    for (const std::string& name : kept) WriteFile(dir.file(name), Bytes(8, 't'));
    WriteFile(dir.file(stale), Bytes(8, 't'));

    ASSERT_EQ(support::Delete(path, {"b"}), 0);
    std::vector<std::string> left = support::StrayTemporaries(dir.path());
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
}

}  // namespace

// Failures while a new file is written (deletion or extraction): whatever
// call fails, and wherever the process dies, the file at the path is the old
// one or the whole new one, and no temporary file stays behind.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "support/fault_injection.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using faults::Call;
using faults::FaultInjector;
using faults::Persistence;
using testenv::TempDir;
using support::InChild;

// Three variables, the middle one compressed; a file of some kilobytes.
std::vector<Bytes> Variables(size_t values) {
    const Order o = Order::Little;
    return {NumericVar(o, "a", mxDOUBLE, {1, static_cast<int32_t>(values)}, Iota(values)),
            Compressed(o, NumericVar(o, "b", mxDOUBLE, {1, static_cast<int32_t>(values)}, Iota(values, 7))),
            CharVar(o, "c", "last")};
}

const Call kKinds[] = {Call::Any,     Call::Open,    Call::Read,    Call::Write,  Call::Seek,
                       Call::Flush,   Call::Sync,    Call::Close,   Call::Status, Call::FileStatus,
                       Call::SetMode, Call::Replace, Call::SyncDirectory, Call::CreateBeside, Call::Resolve,
                       Call::CopyRange, Call::LinkStatus, Call::Lock, Call::MayWrite, Call::CopyAttributes,
                       Call::CreateUnnamed, Call::LinkIn, Call::ReadAt};

// Extract's result when the variable could not be read.
constexpr int kNothingToPut = 3;

// Runs `operation` with the n-th call of `kind` failing, for n = 1, 2, ...
// until it makes fewer than n such calls; after each run the target must be
// the old bytes (on failure) or the new ones (on success).
template <typename Operation>
void ForEveryFailingCall(const std::string& target, const Bytes& old, const Bytes& changed,
                         Operation operation) {
    const std::string folder = target.substr(0, target.rfind('/'));
    for (Call kind : kKinds) {
        for (Persistence persistence : {Persistence::Once, Persistence::ForGood}) {
            for (long n = 1;; ++n) {
                SCOPED_TRACE(std::string(faults::CallName(kind)) + " #" + std::to_string(n) +
                             (persistence == Persistence::Once ? " once" : " for good"));
                WriteFile(target, old);
                int result = 0;
                bool fired = false;
                {
                    FaultInjector fault(kind, n, persistence);
                    result = operation();
                    fired = fault.Fired();
                }
                const Bytes now = ReadFile(target);
                if (result == 0) {
                    EXPECT_EQ(now, changed);
                } else if (result == kNothingToPut) {
                    // Extraction closes its output even when the variable
                    // could not be read: a MAT-file without variables, or
                    // the old file when that close fails as well.
                    EXPECT_TRUE(now == old || (now.size() == 128 && now[0] == 'M')) << now.size();
                } else {
                    EXPECT_EQ(now, old);
                }
                // Only when removing fails too may the temporary file stay.
                const bool removeFails = kind == Call::Any && persistence == Persistence::ForGood;
                for (const std::string& stray : support::StrayTemporaries(folder)) {
                    EXPECT_TRUE(removeFails) << stray;
                    std::filesystem::remove(folder + "/" + stray);
                }
                if (!fired || ::testing::Test::HasFailure()) break;
                ASSERT_LT(n, 1000) << "no end to the calls";
            }
        }
    }
}

TEST(UpdateFaults, EveryFailingCallLeavesTheOldFileOrTheNewOne) {
    TempDir dir;
    const std::vector<Bytes> vars = Variables(200);
    const Bytes old = File5(Order::Little, vars);
    const Bytes changed = File5(Order::Little, {vars[0], vars[2]});
    const std::string path = dir.file("f.mat");
    ForEveryFailingCall(path, old, changed, [&] { return support::Delete(path, {"b"}); });
}

TEST(WriteFaults, EveryFailingCallLeavesTheOldTargetOrTheNewOne) {
    TempDir dir;
    const std::vector<Bytes> vars = Variables(200);
    const std::string source = dir.file("source.mat");
    WriteFile(source, File5(Order::Little, vars));
    const std::string target = dir.file("b.mat");
    ASSERT_EQ(support::Extract(source, "b", target), 0);
    const Bytes extracted = ReadFile(target);
    const Bytes old(5000, 'o');
    ForEveryFailingCall(target, old, extracted, [&] {
        const int result = support::Extract(source, "b", target);
        // The header's date may have ticked: compare all but it.
        if (result == 0 && std::filesystem::file_size(target) == extracted.size()) WriteFile(target, extracted);
        return result;
    });
}

TEST(UpdateFaults, RealFullDiskFailsCleanly) {
    TempDir dir;
    const std::vector<Bytes> vars = Variables(20000);   // about 300 KB
    const Bytes old = File5(Order::Little, vars);
    const std::string path = dir.file("f.mat");
    WriteFile(path, old);
    const std::string source = dir.file("source.mat");
    WriteFile(source, old);
    const std::string target = dir.file("a.mat");
    WriteFile(target, Bytes(100, 't'));
    const int status = InChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool deleteFailed = support::Delete(path, {"c"}) > 0;
        const bool extractFailed = support::Extract(source, "a", target) >= 4;
        return deleteFailed && extractFailed ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(ReadFile(target), Bytes(100, 't'));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

TEST(UpdateFaults, FolderWithoutWriteAccessFailsCleanly) {
    TempDir dir;
    const std::string folder = dir.file("ro");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::vector<Bytes> vars = Variables(10);
    const Bytes old = File5(Order::Little, vars);
    const std::string path = folder + "/f.mat";
    WriteFile(path, old);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);   // the folder alone stands in the way
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    // root may write anywhere: the deletion runs as nobody.
    const int status = InChild([&] {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 2;
        return support::Delete(path, {"a"}) > 0 ? 0 : 1;
    });
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_TRUE(support::StrayTemporaries(folder).empty());
}

// A deletion from a multi-megabyte file killed at random moments: the path
// holds the old file or the new one, never anything else.
TEST(UpdateFaults, KilledDeletionLeavesTheOldFileOrTheNewOne) {
    TempDir dir;
    const std::vector<Bytes> vars = Variables(400000);   // about 5 MB
    const Bytes old = File5(Order::Little, vars);
    const Bytes changed = File5(Order::Little, {vars[0], vars[2]});
    const std::string path = dir.file("f.mat");

    // How long one deletion takes, to spread the kills over it.
    WriteFile(path, old);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(InChild([&] { return support::Delete(path, {"b"}); }), 0);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(ReadFile(path), changed);

    std::mt19937 random(20261206);
    std::uniform_int_distribution<long> moment(0, took.count() * 5 / 4);
    int sawOld = 0, sawNew = 0;
    for (int kill = 0; kill < 60; ++kill) {
        WriteFile(path, old);
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(support::Delete(path, {"b"}));
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const Bytes now = ReadFile(path);
        ASSERT_TRUE(now == old || now == changed) << "kill " << kill << ": " << now.size() << " bytes";
        (now == old ? sawOld : sawNew)++;
        for (const std::string& stray : support::StrayTemporaries(dir.path())) std::filesystem::remove(dir.file(stray));
    }
    std::printf("kills: %d left the old file, %d the new one (one deletion takes %ld us)\n", sawOld, sawNew,
                static_cast<long>(took.count()));
}

}  // namespace

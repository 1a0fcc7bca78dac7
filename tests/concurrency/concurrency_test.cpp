// Archives open, listed and extracted at once from several threads, and two
// deletions on two files at once: each sees only its own file. Run under ThreadSanitizer by CI.
#include <gtest/gtest.h>

#include <filesystem>
#include <atomic>
#include <functional>
#include <thread>

#include "support/support.h"

namespace {

using namespace matbuild;

constexpr int kVariables = 60;

// a0 ... a59 or b0 ... b59, scalars holding their index: the file's path.
std::string WriteScalars(const testenv::TempDir& dir, const std::string& prefix) {
    std::vector<Bytes> variables;
    for (int i = 0; i < kVariables; ++i) variables.push_back(NumericVar(Order::Little, prefix + std::to_string(i), mxDOUBLE, {1, 1}, {double(i)}));
    WriteFile(dir.file(prefix + ".mat"), File5(Order::Little, variables));
    return dir.file(prefix + ".mat");
}

// Runs work(0) in a second thread while this one runs work(1).
void TwoAtOnce(const std::function<void(int)>& work) {
    std::thread other([&] { work(0); });
    work(1);
    other.join();
}

// The host's walk in the plug-in's own calls (the loader's Archive captures
// stdout, which is the process's): every entry listed, every nth extracted
// into `out`, "failed" after one whose extraction failed.
std::vector<std::string> Walk(const testhost::Plugin& plugin, HANDLE handle, std::string out, size_t nth) {
    std::vector<std::string> listed;
    testhost::Entry entry;
    while (handle != nullptr && testhost::ReadOneHeader(plugin, handle, &entry) == 0) {
        listed.push_back(entry.fileName);
        const int operation = listed.size() % nth == 0 ? PK_EXTRACT : PK_SKIP;
        if (plugin.ProcessFile(handle, operation, out.data(), entry.fileName.data()) != 0) listed.push_back("failed");
    }
    return listed;
}

HANDLE Open(const testhost::Plugin& plugin, std::string path) {
    tOpenArchiveData open{};
    open.ArcName = path.data();
    open.OpenMode = PK_OM_EXTRACT;
    return plugin.OpenArchive(&open);
}

// 64 archives open at once, 16 opened by each of four threads, which then
// walk them all (every third entry extracted into a folder of the thread's
// own) and close them; three rounds, so that closed slots are taken again by
// other threads.
TEST(Concurrency, SixtyFourArchivesOpenAtOnceFromFourThreads) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    constexpr int kThreads = 4, kEach = 16, kFiles = kThreads * kEach, kNames = 3;
    testenv::TempDir dir;
    std::vector<std::string> files;
    for (int f = 0; f < kFiles; ++f) {
        std::vector<Bytes> variables;
        for (int i = 0; i < kNames; ++i) variables.push_back(NumericVar(Order::Little, "f" + std::to_string(f) + "_" + std::to_string(i), mxDOUBLE, {1, 1}, {double(i)}));
        files.push_back(dir.file("f" + std::to_string(f) + ".mat"));
        WriteFile(files.back(), File5(Order::Little, variables));
    }
    for (int round = 0; round < 3; ++round) {
        std::vector<std::vector<std::string>> listed(kFiles);
        std::atomic<int> allOpen{0};
        const auto out = [&](int t) { return dir.file("out" + std::to_string(round) + "_" + std::to_string(t)); };
        const auto work = [&](int t) {
            std::filesystem::create_directories(out(t));
            HANDLE handles[kEach] = {};
            for (int k = 0; k < kEach; ++k) handles[k] = Open(plugin, files[t * kEach + k]);
            ++allOpen;
            while (allOpen.load() < kThreads) std::this_thread::yield();
            for (int k = 0; k < kEach; ++k) {
                listed[t * kEach + k] = Walk(plugin, handles[k], out(t), 3);
                if (handles[k] != nullptr && plugin.CloseArchive(handles[k]) != 0) listed[t * kEach + k].push_back("not closed");
            }
        };
        std::vector<std::thread> threads;
        for (int t = 1; t < kThreads; ++t) threads.emplace_back(work, t);
        work(0);
        for (std::thread& thread : threads) thread.join();
        for (int f = 0; f < kFiles; ++f) {
            std::vector<std::string> names;
            for (int i = 0; i < kNames; ++i) names.push_back("f" + std::to_string(f) + "_" + std::to_string(i) + ".double [1x1] ");
            EXPECT_EQ(listed[f], names) << "round " << round;
            EXPECT_EQ(support::VariableNames(out(f / kEach) + "/" + names[2] + ".mat"), std::vector<std::string>{"f" + std::to_string(f) + "_2"});
        }
    }
}

// A version 7.3 file open twice at once: each archive has a worker of its
// own, and both list and extract alike.
TEST(Concurrency, OneVersion73FileFromTwoThreads) {
#if defined(__SANITIZE_ADDRESS__)
    // This AddressSanitizer's allocator keeps its locks across a fork: a
    // worker forked while the other thread allocates can wait forever.
    GTEST_SKIP() << "a forked worker may deadlock in AddressSanitizer's allocator";
#endif
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    testenv::TempDir dir;
    std::vector<std::string> listed[2];
    TwoAtOnce([&](int t) {
        const std::string out = dir.file(std::to_string(t));
        std::filesystem::create_directories(out);
        HANDLE handle = Open(plugin, testenv::TestDataDir() + "/hdf5storage/v73.mat");
        listed[t] = Walk(plugin, handle, out, 1);
        if (handle != nullptr) plugin.CloseArchive(handle);
    });
    if (listed[0].empty() && listed[1].empty()) GTEST_SKIP() << "this build reads no version 7.3 file";
    EXPECT_EQ(listed[0].size(), 11u);
    EXPECT_EQ(listed[0], listed[1]);
}

TEST(Concurrency, TwoDeletionsOnTwoFilesAtOnce) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    testenv::TempDir dir;
    WriteFile(dir.file("wcx.ini"), Text("[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\n"));
    ASSERT_TRUE(plugin.SetDefaultParams(dir.file("wcx.ini")));
    for (int round = 0; round < 5; ++round) {
        const std::string files[2] = {WriteScalars(dir, "a"), WriteScalars(dir, "b")};
        // a: the even variables go; b: the odd ones.
        std::vector<std::string> gone[2], kept[2];
        for (int i = 0; i < kVariables; ++i) {
            gone[i % 2].push_back((i % 2 == 0 ? "a" : "b") + std::to_string(i) + ".double [1x1] ");
            kept[1 - i % 2].push_back((i % 2 == 0 ? "b" : "a") + std::to_string(i));
        }
        int results[2] = {-1, -1};
        TwoAtOnce([&](int t) { results[t] = plugin.Delete(files[t], gone[t]); });
        for (int t = 0; t < 2; ++t) {
            EXPECT_EQ(results[t], 0);
            EXPECT_EQ(support::VariableNames(files[t]), kept[t]);
        }
    }
}

}  // namespace

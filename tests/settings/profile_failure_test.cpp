// A write of the shared settings file that fails or is cut short at any
// moment leaves the old file or the new one, whole, never a mixture.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "platform/profile.h"
#include "settings/plugin_settings.h"
#include "support/test_env.h"
#include "tests/settings/ini_files.h"

using ini_test::ReadFile;
using ini_test::WriteFile;

namespace {

// Counts the seam's calls and fails the chosen one (or it and all after it).
struct Injection {
    int failAt = 0;
    bool forGood = false;
    int calls = 0;
    bool injected = false;
    bool Fail() {
        ++calls;
        const bool fail = calls == failAt || (forGood && calls > failAt && failAt > 0);
        injected = injected || fail;
        if (fail) errno = EIO;
        return fail;
    }
};
Injection gInjection;

const platform::FileSystemCalls& Real() { return platform::RealFileSystem(); }

platform::FileSystemCalls CountingCalls() {
    using platform::FileStatus;
    platform::FileSystemCalls calls = Real();
    calls.open = [](const char* p, const char* m) { return gInjection.Fail() ? nullptr : Real().open(p, m); };
    calls.read = [](void* b, size_t n, FILE* f) { return gInjection.Fail() ? size_t{0} : Real().read(b, n, f); };
    calls.write = [](const void* b, size_t n, FILE* f) { return gInjection.Fail() ? n / 2 : Real().write(b, n, f); };
    calls.seek = [](FILE* f, int64_t o, int w) { return gInjection.Fail() ? -1 : Real().seek(f, o, w); };
    calls.tell = [](FILE* f) { return gInjection.Fail() ? int64_t{-1} : Real().tell(f); };
    calls.flush = [](FILE* f) { return gInjection.Fail() ? -1 : Real().flush(f); };
    calls.sync = [](FILE* f) { return gInjection.Fail() ? -1 : Real().sync(f); };
    // A failed close still releases the stream, as fclose does.
    calls.close = [](FILE* f) { return (Real().close(f) != 0 || gInjection.Fail()) ? -1 : 0; };
    calls.status = [](const char* p, FileStatus* s) { return gInjection.Fail() ? -1 : Real().status(p, s); };
    calls.fileStatus = [](FILE* f, FileStatus* s) { return gInjection.Fail() ? -1 : Real().fileStatus(f, s); };
    calls.setMode = [](const char* p, unsigned m) { return gInjection.Fail() ? -1 : Real().setMode(p, m); };
    calls.replace = [](const char* a, const char* b) { return gInjection.Fail() ? -1 : Real().replace(a, b); };
    calls.remove = [](const char* p) { return gInjection.Fail() ? -1 : Real().remove(p); };
    calls.syncDirectoryOf = [](const char* p) { return gInjection.Fail() ? -1 : Real().syncDirectoryOf(p); };
    calls.createBeside = [](const char* p, char* t, size_t n) {
        return gInjection.Fail() ? nullptr : Real().createBeside(p, t, n);
    };
    return calls;
}

TEST(ProfileFailure, EveryFailingCallLeavesTheOldFileWhole) {
    testenv::TempDir dir;
    const std::string ini = dir.file("wcx.ini");
    const std::string before = "[Other]\r\nkeep=1\r\n[MATlab]\r\nDeleteEnabled=1\r\n\r\n[Last]\r\n";
    const std::string after = "[Other]\r\nkeep=1\r\n[MATlab]\r\nDeleteEnabled=0\r\n\r\n[Last]\r\n";
    const platform::FileSystemCalls saved = platform::FileSystem();
    for (bool forGood : {false, true}) {
        for (int n = 1;; ++n) {
            ASSERT_LT(n, 100) << "the write never succeeded";
            WriteFile(ini, before);
            gInjection = Injection{n, forGood};
            platform::FileSystem() = CountingCalls();
            const int ok = platform::WritePrivateProfileString("MATlab", "DeleteEnabled", "0", ini.c_str());
            platform::FileSystem() = saved;
            // Success may be reported once the new file is in place.
            EXPECT_EQ(ReadFile(ini), ok ? after : before) << "call " << n << (forGood ? " and later" : "");
            if (!forGood) {
                EXPECT_EQ(ini_test::Entries(dir.path()).size(), 1u) << "call " << n;
            }
            if (!gInjection.injected) {
                EXPECT_EQ(ok, 1);
                break;
            }
            for (const std::string& name : ini_test::Entries(dir.path())) {
                if (name != "wcx.ini") std::filesystem::remove(dir.file(name));   // a failed cleanup's leftovers
            }
        }
    }
}

TEST(ProfileFailure, AProcessKilledWhileSavingLeavesTheOldOrTheNewFile) {
    testenv::TempDir dir;
    const std::string ini = dir.file("wcx.ini");
    WriteFile(ini, "[Other plug-in]\nstate=precious\n\n");
    ini_test::LoadSettingsQuietly(ini);
    const std::string off = ReadFile(ini);
    PluginSettings on = GetPluginSettings();
    on.StructCellasDirs = 1;
    SavePluginSettings(on);
    const std::string onText = ReadFile(ini);
    ASSERT_NE(onText, off);
    ASSERT_EQ(onText.rfind("[Other plug-in]\nstate=precious\n\n", 0), 0u);

    std::mt19937 random(20261206);
    int killedMidWrite = 0;
    for (int round = 0; round < 150; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            PluginSettings settings = GetPluginSettings();
            for (;;) {
                settings.StructCellasDirs = settings.StructCellasDirs ? 0 : 1;
                SavePluginSettings(settings);
            }
        }
        ::usleep(std::uniform_int_distribution<unsigned>(0, 4000)(random));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        const std::string text = ReadFile(ini);
        ASSERT_TRUE(text == off || text == onText) << "round " << round << ":\n" << text;
        // Only the killed writer's own new file may be left beside it.
        const std::string leftover = ".matwcx-" + std::to_string(child) + "-";
        for (const std::string& name : ini_test::Entries(dir.path())) {
            if (name == "wcx.ini") continue;
            ASSERT_EQ(name.rfind(leftover, 0), 0u) << name;
            std::filesystem::remove(dir.file(name));
            ++killedMidWrite;
        }
    }
    // The test only means something if some kills hit a write in progress.
    EXPECT_GT(killedMidWrite, 0);
    EXPECT_EQ(platform::GetPrivateProfileInt("MATlab", "DeleteEnabled", 7, ini.c_str()), 1u);
}

}  // namespace

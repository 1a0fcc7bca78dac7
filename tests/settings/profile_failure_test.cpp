// A write of the shared settings file that fails or is cut short at any
// moment leaves the old file or the new one, whole, never a mixture.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "os/profile.h"
#include "settings/plugin_settings.h"
#include "support/fault_injection.h"
#include "support/support.h"

namespace {

TEST(ProfileFailure, EveryFailingCallLeavesTheOldFileWhole) {
    testenv::TempDir dir;
    const std::string ini = dir.file("wcx.ini");
    faults::ForEveryFailingCall(ini, matbuild::Text("[Other]\r\nkeep=1\r\n[MATlab]\r\nDeleteEnabled=1\r\n\r\n[Last]\r\n"),
                                matbuild::Text("[Other]\r\nkeep=1\r\n[MATlab]\r\nDeleteEnabled=0\r\n\r\n[Last]\r\n"),
                                [&] { return platform::WritePrivateProfileString("MATlab", "DeleteEnabled", "0", ini.c_str()) != 0 ? 0 : 1; },
                                faults::Call::Any);
}

// Whether the process holds a file open in `folder` other than the settings
// file itself: its new file, named or not yet.
bool WritingBeside(pid_t process, const std::string& folder) {
    const std::string fds = "/proc/" + std::to_string(process) + "/fd";
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (!error && target.rfind(folder + "/", 0) == 0 && target != folder + "/wcx.ini") return true;
    }
    return false;
}

TEST(ProfileFailure, AProcessKilledWhileSavingLeavesTheOldOrTheNewFile) {
    testenv::TempDir dir;
    const std::string ini = dir.file("wcx.ini");
    support::WriteText(ini, "[Other plug-in]\nstate=precious\n\n");
    const PackDefaultParamStruct params = support::HostParams(0, 0, ini);
    testhost::CaptureStdout([&] { LoadPluginSettings(&params); });
    const std::string off = support::ReadText(ini);
    PluginSettings on = GetPluginSettings();
    on.StructCellasDirs = 1;
    SavePluginSettings(on);
    const std::string onText = support::ReadText(ini);
    ASSERT_NE(onText, off);
    ASSERT_EQ(onText.rfind("[Other plug-in]\nstate=precious\n\n", 0), 0u);

    char hostName[256] = {};
    ASSERT_EQ(::gethostname(hostName, sizeof hostName - 1), 0);
    const std::string host = hostName;
    std::mt19937 random(20261206);
    int killedMidWrite = 0;
    for (int round = 0; round < 150; ++round) {
        // The kill lands at a random time after the writer's first save: a
        // slow start (a loaded machine, a sanitizer) cannot make every kill
        // land before any write.
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(started[0]);
            PluginSettings settings = GetPluginSettings();
            for (bool first = true;; first = false) {
                settings.StructCellasDirs = settings.StructCellasDirs ? 0 : 1;
                SavePluginSettings(settings);
                if (first && ::write(started[1], "s", 1) != 1) ::_exit(1);
            }
        }
        ::close(started[1]);
        char mark = 0;
        const bool began = ::read(started[0], &mark, 1) == 1;
        ::close(started[0]);
        ::usleep(std::uniform_int_distribution<unsigned>(0, 4000)(random));
        // Held still, the writer shows whether a new file of its own is
        // open: the kill then lands in the middle of a save.
        ::kill(child, SIGSTOP);
        int stopped = 0;
        ASSERT_EQ(::waitpid(child, &stopped, WUNTRACED), child);
        if (WritingBeside(child, dir.path())) ++killedMidWrite;
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(began) << "round " << round;
        const std::string text = support::ReadText(ini);
        ASSERT_TRUE(text == off || text == onText) << "round " << round << ":\n" << text;
        // Only the killed writer's own new file may be left beside it.
        const std::string leftover = ".matwcx-" + host + "-" + std::to_string(child) + "-";
        for (const std::string& name : support::Entries(dir.path())) {
            if (name == "wcx.ini") continue;
            ASSERT_EQ(name.rfind(leftover, 0), 0u) << name;
            std::filesystem::remove(dir.file(name));
        }
    }
    // The test only means something if some kills hit a write in progress.
    EXPECT_GT(killedMidWrite, 0);
    EXPECT_EQ(platform::GetPrivateProfileInt("MATlab", "DeleteEnabled", 7, ini.c_str()), 1u);
}

}  // namespace

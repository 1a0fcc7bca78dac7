// The settings record and the section "MATlab" of the host's settings file.
#include "settings/plugin_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "os/profile.h"
#include "support/fault_injection.h"
#include "support/support.h"

using support::HostParams;

namespace {

// The record's line as the struct writer writes it (its form: the profile suite).
std::string StructHex(const PackDefaultParamStruct& params) {
    testenv::TempDir scratch;
    platform::WritePrivateProfileStruct("s", "k", &params, sizeof params, scratch.file("s.ini").c_str());
    const std::string text = support::ReadText(scratch.file("s.ini"));
    return text.substr(text.find('=') + 1, 2 * sizeof params + 2);
}

// The section as the first load leaves it.
std::string FirstLoadSection(const PackDefaultParamStruct& params) {
    return std::string("[MATlab]\n; Matlab MAT files format packer\n; Supported Matlab Extensions: MAT, RPT, QRY, FIG, SID\n"
                       "; (and any other Matlab MAT file version 4 or 5 compatible)\nAuthor = Quellmark\nYear   = 2003-2005\n"
                       "PackDefaultParamStructSize=272\nDefaultIniName=") +
           params.DefaultIniName + "\nPluginInterfaceVersion=2.1\nPackDefaultParamStruct=" + StructHex(params) +
           "\nStructCellasDirs=0\nDeleteEnabled=1\nPackEnabled=1\n";
}

class Settings : public ::testing::Test {
protected:
    std::string Load(const PackDefaultParamStruct& params) {
        ::testing::internal::CaptureStdout();
        LoadPluginSettings(&params);
        return ::testing::internal::GetCapturedStdout();
    }
    void ExpectOptions(int structCellasDirs, int deleteEnabled, const std::string& trace) {
        EXPECT_EQ(GetPluginSettings().StructCellasDirs, structCellasDirs) << trace;
        EXPECT_EQ(GetPluginSettings().DeleteEnabled, deleteEnabled) << trace;
        // Adding follows deletion in every case here.
        EXPECT_EQ(GetPluginSettings().PackEnabled, deleteEnabled) << trace;
    }

    testenv::TempDir dir;
    std::string ini = dir.file("plugins.ini");
};

// An empty or missing section is filled once with the host's parameters;
// afterwards a load (another host version, path or size) rewrites only the
// two options, normalised, and keeps every other line.
TEST_F(Settings, LoadsFillAnEmptySectionOnceThenOnlyNormaliseTheOptions) {
    const std::string other = "; shared file\n[Other]\nx = 1\n\n", last = "\n[Last]\ny=2";
    const auto first = HostParams(2, 10, ini);
    const std::string section = FirstLoadSection(first);
    const struct { std::string before, after; } cases[] = {
        {"", section},
        {other, other + section},
        {"[MATlab]\n\n[Next]\n", section + "\n[Next]\n"},   // blank lines are empty
        {other + section + last, other + section + last},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(ini);
        if (!c.before.empty()) support::WriteText(ini, c.before);
        EXPECT_EQ(Load(first), "Location: " + ini + "\nVersion: 2 . 10, Size: 272\n");
        EXPECT_EQ(support::ReadText(ini), c.after) << c.before;
        const PluginSettings loaded = GetPluginSettings();
        EXPECT_EQ(std::memcmp(&loaded.HostParams, &first, sizeof first), 0);
        ExpectOptions(0, 1, c.before);
    }
    auto second = HostParams(3, 5, ini);
    second.size = 300;
    EXPECT_EQ(Load(second), "Location: " + ini + "\nVersion: 3 . 5, Size: 300\n");
    EXPECT_EQ(support::ReadText(ini), other + section + last);
    EXPECT_EQ(GetPluginSettings().HostParams.size, 300);
    const struct { const char* section; int structCellasDirs, deleteEnabled; const char* written; } odd[] = {
        {"StructCellasDirs=2\nDeleteEnabled=1\n", 0, 1, "StructCellasDirs=0\nDeleteEnabled=1\nPackEnabled=1\n"},
        {"StructCellasDirs=yes\nDeleteEnabled=no\npackenabled=no\n", 0, 0,
         "StructCellasDirs=0\nDeleteEnabled=0\npackenabled=0\n"},
        {"structcellasdirs= 1x \ndeleteenabled=\n", 1, 1, "structcellasdirs=1\ndeleteenabled=1\nPackEnabled=1\n"},
        {"; by hand\n", 0, 1, "; by hand\nStructCellasDirs=0\nDeleteEnabled=1\nPackEnabled=1\n"},   // a comment is content
    };
    for (const auto& c : odd) {
        support::WriteText(ini, std::string("[MATlab]\n") + c.section + "[Next]\n");
        Load(HostParams(2, 10, ini));
        EXPECT_EQ(support::ReadText(ini), std::string("[MATlab]\n") + c.written + "[Next]\n");
        ExpectOptions(c.structCellasDirs, c.deleteEnabled, c.section);
    }
}

// Contents are shown unless the file says otherwise; a stored choice stays
// as it is, and the key is written only once it is not the default.
TEST_F(Settings, ContentsAreShownByDefaultAndAStoredChoiceStays) {
    const std::string options = "[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\nPackEnabled=1\n";
    const struct { const char* stored; int shown; int saveAs; const char* after; } cases[] = {
        {"", 1, 1, ""},                              // no key: on, and it stays unwritten
        {"", 1, 0, "ShowContents=0\n"},              // switched off: written
        {"ShowContents=0\n", 0, 0, "ShowContents=0\n"},
        {"ShowContents=1\n", 1, 1, "ShowContents=1\n"},
        {"ShowContents=0\n", 0, 1, "ShowContents=1\n"},
    };
    for (const auto& c : cases) {
        support::WriteText(ini, options + c.stored);
        Load(HostParams(2, 10, ini));
        EXPECT_EQ(GetPluginSettings().ShowContents, c.shown) << c.stored;
        EXPECT_EQ(support::ReadText(ini), options + c.stored) << "loading changed it";
        PluginSettings changed = GetPluginSettings();
        changed.ShowContents = static_cast<uint8_t>(c.saveAs);
        EXPECT_TRUE(SavePluginSettings(changed));
        EXPECT_EQ(support::ReadText(ini), options + c.after) << c.stored << " saved as " << c.saveAs;
    }
    Load(HostParams(2, 10, ""));   // no file at all: the defaults
    EXPECT_EQ(GetPluginSettings().ShowContents, 1);
}

TEST_F(Settings, SavingWritesTheOptionsOnlyWhereTheHostNamedAUsableFile) {
    // Before the host has named its file: the record changes, nothing is written.
    PluginSettings early{};
    early.StructCellasDirs = 1;
    EXPECT_TRUE(SavePluginSettings(early));
    ExpectOptions(1, 0, "early");
    EXPECT_TRUE(support::Entries(dir.path()).empty());

    support::WriteText(ini, "[MATlab]\n; mine\nDeleteEnabled=1\nStructCellasDirs=0\n\n[Other]\nz=1\n");
    Load(HostParams(2, 10, ini));
    PluginSettings changed = GetPluginSettings();
    changed.StructCellasDirs = 1;
    changed.DeleteEnabled = 0;
    changed.PackEnabled = 0;
    EXPECT_TRUE(SavePluginSettings(changed));
    const std::string saved = "[MATlab]\n; mine\nDeleteEnabled=0\nStructCellasDirs=1\nPackEnabled=0\n\n[Other]\nz=1\n";
    EXPECT_EQ(support::ReadText(ini), saved);

    // A null record changes nothing.
    ::testing::internal::CaptureStdout();
    LoadPluginSettings(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ExpectOptions(1, 0, "null");

    // A file name the host did not end within its field: the defaults, no file
    // access, and nothing later reads past the field.
    PackDefaultParamStruct unended = HostParams(2, 10, "");
    std::memset(unended.DefaultIniName, 'A', sizeof unended.DefaultIniName);
    EXPECT_EQ(Load(unended), "Location: " + std::string(260, 'A') + "\nVersion: 2 . 10, Size: 272\n");
    ExpectOptions(0, 1, "unended");
    EXPECT_EQ(GetPluginSettings().HostParams.DefaultIniName[0], '\0');
    EXPECT_TRUE(SavePluginSettings(GetPluginSettings()));

    // A file that cannot be read: the defaults; the file is left alone.
    {
        faults::FaultInjector unreadable(faults::Call::Open, 1, faults::Persistence::ForGood);
        Load(HostParams(2, 10, ini));
    }
    ExpectOptions(0, 1, "unreadable");
    EXPECT_EQ(support::ReadText(ini), saved);

    // A read-only file: the options it holds are used; saving fails and it stays as it was.
    const std::string readOnly = "[Other]\nq=1\n[MATlab]\nStructCellasDirs=1\nDeleteEnabled=5\nPackEnabled=5\n";
    support::WriteText(ini, readOnly);
    ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);
    Load(HostParams(2, 10, ini));
    ExpectOptions(1, 0, "read-only");
    EXPECT_FALSE(SavePluginSettings(GetPluginSettings()));
    EXPECT_EQ(support::ReadText(ini), readOnly);
    EXPECT_EQ(support::Entries(dir.path()).size(), 1u);
}

}  // namespace

// The settings record and the section "MATlab" of the host's settings file.
#include "settings/plugin_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <sys/stat.h>

#include "support/test_env.h"
#include "support/fault_injection.h"
#include "support/support.h"

using support::HostParams;

namespace {

// The record as hex digits and a checksum byte (its sum modulo 256).
std::string StructHex(const PackDefaultParamStruct& params) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&params);
    std::string hex;
    unsigned sum = 0;
    char digits[3];
    for (size_t i = 0; i <= sizeof params; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", i < sizeof params ? bytes[i] : sum % 256);
        sum += i < sizeof params ? bytes[i] : 0;
        hex += digits;
    }
    return hex;
}

bool SameRecord(const PluginSettings& a, const PluginSettings& b) {
    return std::memcmp(&a.HostParams, &b.HostParams, sizeof a.HostParams) == 0 &&
           a.StructCellasDirs == b.StructCellasDirs && a.DeleteEnabled == b.DeleteEnabled;
}

// The section as the first load leaves it.
std::string FirstLoadSection(const PackDefaultParamStruct& params, const char* version, const char* eol = "\n") {
    std::string text = "[MATlab]";
    const std::initializer_list<std::string> lines = {
        "; Matlab MAT files format packer",
        "; Supported Matlab Extensions: MAT, RPT, QRY, FIG, SID",
        "; (and any other Matlab MAT file version 4 or 5 compatible)",
        "Author = Quellmark",
        "Year   = 2003-2005",
        "PackDefaultParamStructSize=272",
        "DefaultIniName=" + std::string(params.DefaultIniName),
        "PluginInterfaceVersion=" + std::string(version),
        "PackDefaultParamStruct=" + StructHex(params),
        "StructCellasDirs=0",
        "DeleteEnabled=1",
    };
    for (const std::string& line : lines) {
        text += eol + line;
    }
    return text + eol;
}

// Runs in a fresh folder that is also the working folder, so that the host's
// Windows-style file name of the example is a plain file name here.
class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        saved = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
    }
    void TearDown() override { std::filesystem::current_path(saved); }

    std::string Load(const PackDefaultParamStruct& params) {
        ::testing::internal::CaptureStdout();
        LoadPluginSettings(&params);
        return ::testing::internal::GetCapturedStdout();
    }

    testenv::TempDir dir;
    std::filesystem::path saved;
    std::string ini = dir.file("plugins.ini");
};

TEST_F(Settings, FirstLoadFillsTheSectionAndPrintsTheHostsParameters) {
    const auto params = HostParams(2, 10, "D:\\Settings\\plugins.ini");
    EXPECT_EQ(Load(params), "Location: D:\\Settings\\plugins.ini\nVersion: 2 . 10, Size: 272\n");
    const std::string text = support::ReadText(dir.file("D:\\Settings\\plugins.ini"));
    EXPECT_EQ(text, FirstLoadSection(params, "2.1"));

    const PluginSettings settings = GetPluginSettings();
    EXPECT_EQ(std::memcmp(&settings.HostParams, &params, sizeof params), 0);
    EXPECT_EQ(settings.StructCellasDirs, 0);
    EXPECT_EQ(settings.DeleteEnabled, 1);

    // A section of blank lines is filled in place.
    const auto here = HostParams(2, 10, ini);
    support::WriteText(ini, "[MATlab]\n\n[Next]\n");
    Load(here);
    EXPECT_EQ(support::ReadText(ini), FirstLoadSection(here, "2.1") + "\n[Next]\n");
}

TEST_F(Settings, LaterLoadsRewriteOnlyTheTwoOptionsAndKeepOtherSections) {
    for (const char* eol : {"\n", "\r\n"}) {
        const std::string other = std::string("; shared file") + eol + "[Other]" + eol + "x = 1" + eol + eol;
        const std::string after = std::string(eol) + "[Last]" + eol + "y=2";
        const auto first = HostParams(2, 10, ini);
        support::WriteText(ini, other);
        Load(first);
        const std::string section = FirstLoadSection(first, "2.1", eol);
        ASSERT_EQ(support::ReadText(ini), other + section);
        support::WriteText(ini, other + section + after);

        // Another host version, path and size: nothing but the options is written.
        auto second = HostParams(3, 5, ini);
        second.size = 300;
        EXPECT_EQ(Load(second), "Location: " + ini + "\nVersion: 3 . 5, Size: 300\n");
        EXPECT_EQ(support::ReadText(ini), other + section + after) << "line end " << (eol[0] == '\r' ? "CR LF" : "LF");
        EXPECT_EQ(GetPluginSettings().HostParams.size, 300);
        std::filesystem::remove(ini);
    }
}

TEST_F(Settings, OddOptionValuesAreNormalisedAndWrittenBack) {
    struct Case {
        const char* section;
        uint8_t structCellasDirs, deleteEnabled;
        const char* written;
    };
    const Case cases[] = {
        {"StructCellasDirs=2\nDeleteEnabled=1\n", 0, 1, "StructCellasDirs=0\nDeleteEnabled=1\n"},
        {"StructCellasDirs=-1\nDeleteEnabled=0\n", 0, 0, "StructCellasDirs=0\nDeleteEnabled=0\n"},
        {"StructCellasDirs=yes\nDeleteEnabled=no\n", 0, 0, "StructCellasDirs=0\nDeleteEnabled=0\n"},
        {"StructCellasDirs= 1 \n", 1, 1, "StructCellasDirs=1\nDeleteEnabled=1\n"},
        {"structcellasdirs=1x\ndeleteenabled=\n", 1, 1, "structcellasdirs=1\ndeleteenabled=1\n"},
        // A comment is content: the section is not refilled.
        {"; by hand\n", 0, 1, "; by hand\nStructCellasDirs=0\nDeleteEnabled=1\n"},
    };
    for (const Case& c : cases) {
        // Only the two option keys: the section is not refilled.
        support::WriteText(ini, std::string("[MATlab]\n") + c.section + "[Next]\n");
        Load(HostParams(2, 10, ini));
        EXPECT_EQ(support::ReadText(ini), std::string("[MATlab]\n") + c.written + "[Next]\n") << c.section;
        EXPECT_EQ(GetPluginSettings().StructCellasDirs, c.structCellasDirs) << c.section;
        EXPECT_EQ(GetPluginSettings().DeleteEnabled, c.deleteEnabled) << c.section;
    }
}

TEST_F(Settings, SavingReplacesTheRecordAndWritesTheTwoOptions) {
    // Before the host has named its file: the record changes, nothing is written.
    PluginSettings early{};
    early.StructCellasDirs = 1;
    SavePluginSettings(early);
    EXPECT_EQ(GetPluginSettings().StructCellasDirs, 1);
    EXPECT_EQ(GetPluginSettings().DeleteEnabled, 0);
    EXPECT_TRUE(support::Entries(dir.path()).empty());

    support::WriteText(ini, "[MATlab]\n; mine\nDeleteEnabled=1\nStructCellasDirs=0\n\n[Other]\nz=1\n");
    Load(HostParams(2, 10, ini));
    PluginSettings changed = GetPluginSettings();
    changed.StructCellasDirs = 1;
    changed.DeleteEnabled = 0;
    SavePluginSettings(changed);
    EXPECT_TRUE(SameRecord(GetPluginSettings(), changed));
    EXPECT_EQ(support::ReadText(ini), "[MATlab]\n; mine\nDeleteEnabled=0\nStructCellasDirs=1\n\n[Other]\nz=1\n");
}

TEST_F(Settings, UnusableHostParametersAndFilesGiveTheDefaults) {
    Load(HostParams(2, 10, ini));
    PluginSettings before = GetPluginSettings();
    before.StructCellasDirs = 1;
    before.DeleteEnabled = 0;
    SavePluginSettings(before);
    const std::string saved = support::ReadText(ini);

    // A null record changes nothing.
    ::testing::internal::CaptureStdout();
    LoadPluginSettings(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(SameRecord(GetPluginSettings(), before));

    // A file name the host did not end within its field: the defaults, no file
    // access, and nothing later reads past the field.
    PackDefaultParamStruct unended = HostParams(2, 10, "");
    std::memset(unended.DefaultIniName, 'A', sizeof unended.DefaultIniName);
    EXPECT_EQ(Load(unended), "Location: " + std::string(260, 'A') + "\nVersion: 2 . 10, Size: 272\n");
    EXPECT_EQ(GetPluginSettings().StructCellasDirs, 0);
    EXPECT_EQ(GetPluginSettings().DeleteEnabled, 1);
    EXPECT_EQ(GetPluginSettings().HostParams.DefaultIniName[0], '\0');
    SavePluginSettings(GetPluginSettings());
    EXPECT_EQ(support::Entries(dir.path()).size(), 1u);
    EXPECT_EQ(support::ReadText(ini), saved);

    // A file that cannot be read: the defaults; the file is left alone.
    {
        faults::FaultInjector unreadable(faults::Call::Open, 1, faults::Persistence::ForGood);
        Load(HostParams(2, 10, ini));
    }
    EXPECT_EQ(GetPluginSettings().StructCellasDirs, 0);
    EXPECT_EQ(GetPluginSettings().DeleteEnabled, 1);
    EXPECT_EQ(support::ReadText(ini), saved);

    // A read-only file: the options it holds are used; it stays as it was.
    const std::string readOnly = "[Other]\nq=1\n[MATlab]\nStructCellasDirs=1\nDeleteEnabled=5\n";
    support::WriteText(ini, readOnly);
    ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);
    Load(HostParams(2, 10, ini));
    EXPECT_EQ(GetPluginSettings().StructCellasDirs, 1);
    EXPECT_EQ(GetPluginSettings().DeleteEnabled, 0);
    SavePluginSettings(GetPluginSettings());
    EXPECT_EQ(support::ReadText(ini), readOnly);
    EXPECT_EQ(support::Entries(dir.path()).size(), 1u);
}

}  // namespace

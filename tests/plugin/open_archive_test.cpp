// Opening an archive through the built plug-in: the report on stdout, the
// slot it fills, the date every entry carries.
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <ctime>

#include "platform/host_rules.h"
#include "plugin_fixture.h"
#include "reader/open_archive.h"

namespace {

using testhost::Archive;

constexpr uint32_t kFeb18_2005_102803 = 0x32525381;

// Sets the file's modification time to a local date and time.
void SetLocalModificationTime(const std::string& path, int year, int month, int day, int hour,
                              int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const time_t when = std::mktime(&local);
    ASSERT_NE(when, static_cast<time_t>(-1));
    utimbuf times{when, when};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(PackDosDateTime, PacksFieldsWithoutMasking) {
    EXPECT_EQ(PackDosDateTime(2005, 2, 18, 10, 28, 3), kFeb18_2005_102803);
    // Seconds are halved and rounded down.
    EXPECT_EQ(PackDosDateTime(2005, 2, 18, 10, 28, 59) & 0x1F, 29u);
    // The year wraps modulo 128: 1979 is stored as 127.
    EXPECT_EQ(PackDosDateTime(1979, 1, 1, 0, 0, 0) >> 25, 127u);
    // A part out of range spills into its neighbour (month 16 sets the year's low bit).
    EXPECT_EQ(PackDosDateTime(1980, 16, 0, 0, 0, 0), 1u << 25);
}

class OpenArchiveTest : public PluginTest {};

TEST_F(OpenArchiveTest, ReportsTheFileAndItsVariables) {
    const std::string path = WriteAB();
    Archive archive(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    EXPECT_EQ(archive.openResult(), 0);
    EXPECT_EQ(archive.openOutput(),
              "Reading file " + path + "...\n\nDirectory of " + path + ":\nA\nB\nDone\n");

    const ArchiveSlot& slot = Slot(archive.handle());
    EXPECT_EQ(slot.variableCount, 2);
    EXPECT_EQ(slot.nextVariableIndex, 0);
    EXPECT_EQ(slot.inUse, 1u);
    EXPECT_EQ(slot.openMode, PK_OM_LIST);
    EXPECT_STREQ(slot.archivePath, path.c_str());
    EXPECT_EQ(slot.archiveTimeStamp, kFeb18_2005_102803);
    const matbuild::Bytes bytes = matbuild::ReadFile(path);
    EXPECT_EQ(std::memcmp(slot.headerBlock, bytes.data(), 128), 0);

    // The listing starts at the first variable although the counting pass
    // read them all, and every entry carries the header's date.
    int last = 0;
    const std::vector<testhost::Entry> entries = archive.ReadAll(&last);
    EXPECT_EQ(last, E_END_ARCHIVE);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].fileName.rfind("A.", 0), 0u) << entries[0].fileName;
    EXPECT_EQ(entries[1].fileName.rfind("B.", 0), 0u) << entries[1].fileName;
    for (const testhost::Entry& entry : entries) {
        EXPECT_EQ(entry.fileTime, platform::HostFileTime(kFeb18_2005_102803));
        EXPECT_TRUE(entry.tailUntouched);
    }
}

TEST_F(OpenArchiveTest, FileWithoutVariablesOpens) {
    using namespace matbuild;
    const std::string path = dir.file("empty.mat");
    WriteFile(path, File5(Order::Little, std::vector<Bytes>{}));
    Archive archive(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    EXPECT_EQ(archive.openOutput(), "Reading file " + path + "...\n\nDirectory of " + path + ":\nDone\n");
    EXPECT_EQ(Slot(archive.handle()).variableCount, 0);
    testhost::Entry entry;
    EXPECT_EQ(testhost::ReadOneHeader(plugin, archive.handle(), &entry), E_END_ARCHIVE);
}

TEST_F(OpenArchiveTest, RefusesWhatIsNoMatFile) {
    const std::string text = dir.file("notes.txt");
    matbuild::WriteFile(text, matbuild::Text("MATLAB is not in this file, only text.\n"));
    const std::string empty = dir.file("empty");
    matbuild::WriteFile(empty, {});
    for (const std::string& path : {text, empty, dir.file("missing.mat"), dir.path()}) {
        Archive archive(plugin, path, PK_OM_LIST);
        EXPECT_FALSE(archive.ok()) << path;
        EXPECT_EQ(archive.openResult(), E_EOPEN) << path;
        EXPECT_EQ(archive.openOutput(), "Reading file " + path + "...\n\nError opening file " + path + "\n");
    }
    // No slot was kept: both are still free.
    const std::string good = WriteAB();
    Archive first(plugin, good, PK_OM_LIST);
    Archive second(plugin, good, PK_OM_LIST);
    EXPECT_TRUE(first.ok());
    EXPECT_TRUE(second.ok());
}

TEST_F(OpenArchiveTest, DateComesOnlyFromMatlabsHeaderForm) {
    struct Case {
        const char* text;
        uint32_t stamp;
    };
    const Case cases[] = {
        // scipy's form, a day padded with a blank as asctime writes it.
        {"MATLAB 5.0 MAT-file Platform: posix, Created on: Fri Feb  4 10:28:03 2005",
         PackDosDateTime(2005, 2, 4, 10, 28, 3)},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Tue Dec 31 23:59:59 2024",
         PackDosDateTime(2024, 12, 31, 23, 59, 59)},
        // matio's form: the word at the month's place is its version.
        {"MATLAB 5.0 MAT-file, Platform: x86_64, Created by: libmatio v1.5.23 on Fri Feb 18 10:28:03 2005", 0},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri February 18 10:28:03 2005", 0},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri feb 18 10:28:03 2005", 0},
        // The scan stops before the year: no date rather than a guessed one.
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri Feb 18 10:28:03", 0},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri Feb 18", 0},
        // A number too large for 32 bits is no date.
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri Feb 99999999999 10:28:03 2005", 0},
        {"MATLAB five MAT-file, Platform: PCWIN, Created on: Fri Feb 18 10:28:03 2005", 0},
        // 116 characters without a blank: the scan must end within the block.
        {"MATLAB_5.0_MAT-file,_Platform:_PCWIN,_Created_on:_Fri_Feb_18_10:28:03_2005"
         "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX",
         0},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string path = WriteWithHeaderText("h" + std::to_string(n++) + ".mat", c.text);
        Archive archive(plugin, path, PK_OM_LIST);
        ASSERT_TRUE(archive.ok()) << c.text;
        EXPECT_EQ(Slot(archive.handle()).archiveTimeStamp, c.stamp) << c.text;
    }
}

TEST_F(OpenArchiveTest, Version4FileCarriesItsModificationTime) {
    const std::string path = WriteV4();
    SetLocalModificationTime(path, 2010, 7, 15, 13, 45, 59);
    {
        Archive archive(plugin, path, PK_OM_LIST);
        ASSERT_TRUE(archive.ok());
        const ArchiveSlot& slot = Slot(archive.handle());
        EXPECT_EQ(slot.archiveTimeStamp, PackDosDateTime(2010, 7, 15, 13, 45, 58));
        EXPECT_EQ(slot.archiveTimeStamp & 0x1F, 29u);
        // Only the first matrix header is kept.
        const matbuild::Bytes bytes = matbuild::ReadFile(path);
        EXPECT_EQ(std::memcmp(slot.headerBlock, bytes.data(), 20), 0);
        for (size_t i = 20; i < sizeof slot.headerBlock; ++i) EXPECT_EQ(slot.headerBlock[i], 0) << i;
    }
    SetLocalModificationTime(path, 1979, 6, 1, 12, 0, 0);
    Archive archive(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    EXPECT_EQ(Slot(archive.handle()).archiveTimeStamp >> 25, 127u);
}

TEST_F(OpenArchiveTest, PathLongerThanTheSlotHoldsIsRefused) {
    const std::string good = WriteAB();
    const ArchiveSlot* slot0 = nullptr;
    {
        Archive archive(plugin, good, PK_OM_LIST);
        ASSERT_TRUE(archive.ok());
        slot0 = &Slot(archive.handle());   // keeps `good` as its path after closing
    }

    const std::string tooLong = dir.path() + "/" + std::string(260, 'x');
    Archive refused(plugin, tooLong, PK_OM_LIST);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.openResult(), E_EOPEN);
    EXPECT_EQ(refused.openOutput(), "");
    EXPECT_STREQ(slot0->archivePath, good.c_str());
    tOpenArchiveData data{};
    data.ArcName = nullptr;
    EXPECT_EQ(plugin.OpenArchive(&data), nullptr);
    EXPECT_EQ(data.OpenResult, E_EOPEN);

    // 259 characters fit exactly.
    std::string folder = dir.path() + "/";
    const size_t fileLength = 10;   // "/" + "exact.mat"
    folder += std::string(259 - fileLength - folder.size(), 'd');
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const std::string exact = folder + "/exact.mat";
    ASSERT_EQ(exact.size(), 259u);
    std::rename(good.c_str(), exact.c_str());
    Archive fits(plugin, exact, PK_OM_LIST);
    ASSERT_TRUE(fits.ok());
    EXPECT_STREQ(Slot(fits.handle()).archivePath, exact.c_str());
}

}  // namespace

// The private-profile functions against the files Windows makes.
#include "os/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/fault_injection.h"
#include "support/support.h"

namespace {

class Profile : public ::testing::Test {
protected:
    testenv::TempDir dir;
    std::string ini = dir.file("plugins.ini");

    // Writes one key into a file that starts as `before` (null: none) and returns the file afterwards.
    std::string AfterSet(const char* before, const char* section, const char* key, const char* value) {
        std::filesystem::remove(ini);
        if (before != nullptr) support::WriteText(ini, before);
        EXPECT_NE(platform::WritePrivateProfileString(section, key, value, ini.c_str()), 0);
        return support::ReadText(ini);
    }
};

TEST_F(Profile, KeysAreReplacedAppendedAndRemovedKeepingTheFilesLineEnds) {
    const struct { const char *before, *section, *key, *value, *after; } cases[] = {
        // Names compare without case; the file's own spelling of a key stays.
        {"[a]\nx=1\n  Yes = 2 \n\n[b]\nyes=9\n", "A", "yES", "5", "[a]\nx=1\nYes=5\n\n[b]\nyes=9\n"},
        // A new key goes after the last non-blank line (comments count), before the blank lines.
        {"[a]\nx=1\n; note\n\n\n[b]\n", "a", "z", "3", "[a]\nx=1\n; note\nz=3\n\n\n[b]\n"},
        {"[a]\n\n[b]\n", "a", "z", "3", "[a]\nz=3\n\n[b]\n"},
        // A missing section goes at the end; a last line without line end is ended first.
        {"[a]\nx=1", "new", "k", "v", "[a]\nx=1\n[new]\nk=v\n"},
        {"[a]", "a", "k", "v", "[a]\nk=v\n"},
        {nullptr, "s", "k", "v", "[s]\nk=v\n"},
        {"[a]\n;k=1\n", "a", "k", "2", "[a]\n;k=1\nk=2\n"},   // a key inside a comment is not a key
        // The first of two equal sections is the one used, as on Windows.
        {"[a]\nk=1\n[a]\nk=2\n", "a", "k", "3", "[a]\nk=3\n[a]\nk=2\n"},
        // Line ends are kept as found; new lines follow the file.
        {"[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n", "a", "x", "7", "[a]\r\nx=7\r\n\r\n[b]\r\ny=2\r\n"},
        {"[a]\r\nx=1\r\n", "a", "n", "7", "[a]\r\nx=1\r\nn=7\r\n"},
        {"[a]\r\nx=1", "c", "n", "7", "[a]\r\nx=1\r\n[c]\r\nn=7\r\n"},
        // A byte-order mark stays in front and does not hide the first section.
        {"\xEF\xBB\xBF[a]\nx=1\n", "a", "x", "2", "\xEF\xBB\xBF[a]\nx=2\n"},
        // A null value removes the key, a null key the section.
        {"[a]\nx=1\ny=2\n[b]\nx=1\n", "a", "x", nullptr, "[a]\ny=2\n[b]\nx=1\n"},
        {"[a]\nx=1\n\n[b]\nx=1\n", "a", nullptr, nullptr, "[b]\nx=1\n"},
        {"[b]\nx=1\n", "a", "x", nullptr, "[b]\nx=1\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(AfterSet(c.before, c.section, c.key, c.value), c.after) << c.after;
}

TEST_F(Profile, SectionsReplacedKeepTheBlankLinesAndSectionsAroundAndStructsAreHex) {
    const char lines[] = "; one\0k=v\0\0";
    support::WriteText(ini, "[o]\r\nq=1\r\n[a]\r\nold=1\r\n;old\r\n\r\n[z]\r\n");
    ASSERT_NE(platform::WritePrivateProfileSection("A", lines, ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), "[o]\r\nq=1\r\n[a]\r\n; one\r\nk=v\r\n\r\n[z]\r\n");
    ASSERT_NE(platform::WritePrivateProfileSection("new", lines, ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), "[o]\r\nq=1\r\n[a]\r\n; one\r\nk=v\r\n\r\n[z]\r\n[new]\r\n; one\r\nk=v\r\n");
    ASSERT_NE(platform::WritePrivateProfileSection("a", nullptr, ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), "[o]\r\nq=1\r\n[z]\r\n[new]\r\n; one\r\nk=v\r\n");

    // Structs: upper-case hex and a checksum byte (the bytes' sum modulo 256).
    const unsigned char bytes[] = {0x00, 0xFF, 0x10, 0xab};
    support::WriteText(ini, "");
    ASSERT_NE(platform::WritePrivateProfileStruct("s", "k", bytes, sizeof bytes, ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), "[s]\nk=00FF10ABBA\n");
    ASSERT_NE(platform::WritePrivateProfileStruct("s", "k", nullptr, 0, ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), "[s]\n");
}

// A section is read as its lines stand; a buffer too small takes as much as
// fits and two NULs, never more.
TEST_F(Profile, SectionReadingGivesTheLinesAsTheyStandWithinTheBuffer) {
    support::WriteText(ini, "[x]\nq=0\n[MATlab]\r\n; c\r\n\r\nAuthor = Q\r\nbare\r\n  \r\n[y]\n");
    char buffer[64];
    std::memset(buffer, 'X', sizeof buffer);
    const char expected[] = "; c\0Author = Q\0bare\0";   // and the final NUL
    ASSERT_EQ(platform::GetPrivateProfileSection("matlab", buffer, sizeof buffer, ini.c_str()), sizeof expected - 1);
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof expected), 0);
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(platform::GetPrivateProfileSection("MATlab", buffer, 8, ini.c_str()), 6u);
    EXPECT_EQ(std::memcmp(buffer, "; c\0Au\0\0X", 9), 0);
}

TEST_F(Profile, TextsThatWouldChangeTheFilesShapeAreRefused) {
    EXPECT_EQ(platform::WritePrivateProfileString(nullptr, nullptr, nullptr, ini.c_str()), 0);   // the cache flush
    EXPECT_FALSE(std::filesystem::exists(ini));
    const std::string before = "[a]\nx=1\n[other]\ny=2\n";
    support::WriteText(ini, before);
    EXPECT_EQ(platform::WritePrivateProfileString("a", "x", "1\n[other]\ny=3", ini.c_str()), 0);
    EXPECT_EQ(platform::WritePrivateProfileString("a", "x=y", "1", ini.c_str()), 0);
    EXPECT_EQ(platform::WritePrivateProfileString("a]", "x", "1", ini.c_str()), 0);
    EXPECT_EQ(platform::WritePrivateProfileString("a", ";x", "1", ini.c_str()), 0);
    EXPECT_EQ(platform::WritePrivateProfileSection("a", "k=1\0[other]\0\0", ini.c_str()), 0);
    EXPECT_EQ(platform::WritePrivateProfileSection("a", "k=1\r\0\0", ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), before);
}

TEST_F(Profile, OddFilesAreReadAndKeptWithoutHarm) {
    // NUL bytes, bytes that are not UTF-8 and a very long line stay byte for byte.
    std::string odd = std::string("[o]\nv=\xff\xfe\0\x80\n", 11) + std::string(300000, 'L') + "\n[a]\nk=1\n";
    support::WriteText(ini, odd);
    EXPECT_EQ(platform::GetPrivateProfileInt("a", "k", 9, ini.c_str()), 1u);
    ASSERT_NE(platform::WritePrivateProfileString("a", "k", "2", ini.c_str()), 0);
    odd.replace(odd.size() - 2, 1, "2");
    EXPECT_EQ(support::ReadText(ini), odd);

    // Up to 16 MiB is read and written; a larger file is neither read nor
    // written, nor is a write that would make it larger.
    for (const uint64_t size : {16u * 1024 * 1024, 16u * 1024 * 1024 + 1}) {
        support::WriteText(ini, "[a]\nk=1\n");
        std::filesystem::resize_file(ini, size);   // NUL bytes after the key's line
        const bool fits = size == 16u * 1024 * 1024;
        EXPECT_EQ(platform::GetPrivateProfileInt("a", "k", 9, ini.c_str()), fits ? 1u : 9u);
        EXPECT_EQ(platform::WritePrivateProfileString("a", "k", "2", ini.c_str()) != 0, fits);
        EXPECT_EQ(platform::WritePrivateProfileString("a", "k", "22", ini.c_str()), 0);
        EXPECT_EQ(std::filesystem::file_size(ini), size);
    }
}

TEST_F(Profile, FilesThatMayNotBeWrittenAreLeftAlone) {
    const std::string before = "[o]\ny=2\n";
    support::WriteText(ini, before);
    ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);   // read-only even for root
    EXPECT_EQ(platform::WritePrivateProfileString("a", "k", "1", ini.c_str()), 0);
    EXPECT_EQ(support::ReadText(ini), before);

    ASSERT_EQ(::chmod(ini.c_str(), 0640), 0);
    {
        faults::FaultInjector unreadable(faults::Call::Open, 1, faults::Persistence::ForGood);   // EACCES, as for another user's file
        EXPECT_EQ(platform::GetPrivateProfileInt("o", "y", 7, ini.c_str()), 7u);
        EXPECT_EQ(platform::WritePrivateProfileString("a", "k", "1", ini.c_str()), 0);
    }
    EXPECT_EQ(support::ReadText(ini), before);
    EXPECT_EQ(support::Entries(dir.path()).size(), 1u);

    // Not a regular file: refused.
    const std::string folder = dir.file("folder.ini");
    std::filesystem::create_directory(folder);
    EXPECT_EQ(platform::WritePrivateProfileString("a", "k", "1", folder.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    // A write that goes through keeps the permission bits.
    ASSERT_NE(platform::WritePrivateProfileString("a", "k", "1", ini.c_str()), 0);
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Profile, ALinkedSettingsFileStaysALink) {
    testenv::TempDir elsewhere;
    const std::string target = elsewhere.file("real.ini");
    support::WriteText(target, "[a]\nk=1\n");
    std::filesystem::create_symlink(target, ini);
    ASSERT_NE(platform::WritePrivateProfileString("a", "k", "2", ini.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_EQ(support::ReadText(target), "[a]\nk=2\n");
    EXPECT_EQ(support::Entries(dir.path()).size(), 1u);

    // A link whose file does not exist yet: the file is made where it points
    // (through a second, relative link), and the links stay.
    std::filesystem::remove(target);
    std::filesystem::create_symlink("real.ini", elsewhere.file("hop.ini"));
    std::filesystem::remove(ini);
    std::filesystem::create_symlink(elsewhere.file("hop.ini"), ini);
    ASSERT_NE(platform::WritePrivateProfileString("a", "k", "3", ini.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_TRUE(std::filesystem::is_symlink(elsewhere.file("hop.ini")));
    EXPECT_EQ(support::ReadText(target), "[a]\nk=3\n");
}

// Windows keeps a settings file that starts with a UTF-16 byte-order mark in
// UTF-16: it is read as such, and a write keeps it UTF-16 with every other
// section unit for unit (a lone surrogate included).
TEST_F(Profile, Utf16FilesStayUtf16) {
    const auto utf16 = [](const std::u16string& text, bool big) {
        std::string bytes = big ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t unit : text) {
            const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
            bytes += big ? std::string{high, low} : std::string{low, high};
        }
        return bytes;
    };
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        const std::u16string other = u"[Other]\r\nname=\u00e9t\u00e9 \U0001F600 \xD800!\r\n";
        support::WriteText(ini, utf16(other + u"[MATlab]\r\nDeleteEnabled=1\r\n", big));
        EXPECT_EQ(platform::GetPrivateProfileInt("MATlab", "DeleteEnabled", 7, ini.c_str()), 1u);
        ASSERT_NE(platform::WritePrivateProfileString("MATlab", "DeleteEnabled", "0", ini.c_str()), 0);
        ASSERT_NE(platform::WritePrivateProfileString("MATlab", "StructCellasDirs", "1", ini.c_str()), 0);
        EXPECT_EQ(support::ReadText(ini), utf16(other + u"[MATlab]\r\nDeleteEnabled=0\r\nStructCellasDirs=1\r\n", big));
    }
    // A UTF-16 file cut inside a unit is not rewritten.
    support::WriteText(ini, utf16(u"[a]\r\n", false) + "k");
    EXPECT_EQ(platform::WritePrivateProfileString("a", "k", "1", ini.c_str()), 0);
}

}  // namespace

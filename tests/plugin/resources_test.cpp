// The Windows resources: the generated picture, cursor and icon have the
// formats the dialog needs, and the resource script compiles with the mingw
// resource compiler (skipped where it is not installed).
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "settings/about_dialog_logic.h"
#include "support/test_env.h"

namespace {

std::string Resource(const std::string& name) {
    const std::string source = testenv::Get("MATWCX_SOURCE_DIR");
    return (source.empty() ? std::string(".") : source) + "/resources/" + name;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

uint32_t U16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b.at(at)) | static_cast<uint8_t>(b.at(at + 1)) << 8;
}
uint32_t U32(const std::string& b, size_t at) { return U16(b, at) | U16(b, at + 2) << 16; }

TEST(Resources, PictureCursorAndIconHaveTheirFormats) {
    // The About picture: a 100 x 140 BMP of 256 colours.
    const std::string bmp = ReadAll(Resource("about.bmp"));
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(U32(bmp, 2), bmp.size());
    EXPECT_EQ(U32(bmp, 18), 100u);
    EXPECT_EQ(U32(bmp, 22), 140u);
    EXPECT_EQ(U16(bmp, 28), 8u);
    EXPECT_EQ(U32(bmp, 10), 14u + 40u + 256u * 4u);
    EXPECT_EQ(bmp.size(), U32(bmp, 10) + 100u * 140u);   // rows of 100 bytes need no padding

    // The link cursor: one 32 x 32 monochrome image, hot spot at the fingertip.
    const std::string cur = ReadAll(Resource("hand.cur"));
    ASSERT_GE(cur.size(), 22u + 40u);
    EXPECT_EQ(U16(cur, 2), 2u);   // cursor
    EXPECT_EQ(U16(cur, 4), 1u);
    EXPECT_EQ(static_cast<uint8_t>(cur[6]), 32u);
    EXPECT_EQ(static_cast<uint8_t>(cur[7]), 32u);
    EXPECT_EQ(U16(cur, 10), 4u);
    EXPECT_EQ(U16(cur, 12), 0u);
    const size_t image = U32(cur, 18);
    EXPECT_EQ(U16(cur, image + 14), 1u);   // one bit per pixel
    EXPECT_EQ(cur.size(), image + 40 + 8 + 128 + 128);
    // The hot spot's pixel is drawn (AND mask 0), not transparent. Rows are
    // stored bottom-up: row 0 is the last of the AND mask.
    const size_t andRow0 = image + 40 + 8 + 128 + 31 * 4;
    EXPECT_EQ(static_cast<uint8_t>(cur.at(andRow0)) & (0x80 >> 4), 0);

    // The icon: a directory of images, each within the file.
    const std::string ico = ReadAll(Resource("matwcx.ico"));
    ASSERT_GE(ico.size(), 6u);
    EXPECT_EQ(U16(ico, 2), 1u);
    const uint32_t count = U16(ico, 4);
    ASSERT_GE(count, 1u);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = 6 + 16 * i;
        EXPECT_LE(U32(ico, entry + 12) + U32(ico, entry + 8), ico.size());
    }
}

int Shell(const std::string& command, std::string* output) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Resources, TheResourceScriptCompilesWithWindres) {
    bool any = false;
    for (const char* windres : {"x86_64-w64-mingw32-windres", "i686-w64-mingw32-windres"}) {
        std::string found;
        if (Shell(std::string("command -v ") + windres, &found) != 0) continue;
        any = true;
        testenv::TempDir dir;
        const std::string defines = " -DMATWCX_VERSION_MAJOR=1 -DMATWCX_VERSION_MINOR=0 -DMATWCX_VERSION_PATCH=0 ";
        std::string log;
        EXPECT_EQ(Shell(std::string(windres) + defines + "'" + Resource("matwcx.rc") + "' -O coff -o '" +
                          dir.file("res.o") + "'",
                      &log),
                  0)
            << windres << ": " << log;
        // Read back as a script: the dialog and the resources the code loads.
        std::string script;
        ASSERT_EQ(Shell(std::string(windres) + defines + "'" + Resource("matwcx.rc") + "' -O rc -o '" +
                          dir.file("back.rc") + "'",
                      &log),
                  0);
        script = ReadAll(dir.file("back.rc"));
        EXPECT_NE(script.find("101 DIALOGEX"), std::string::npos);
        EXPECT_NE(script.find("104 2 /* RT_BITMAP */"), std::string::npos);
        EXPECT_NE(script.find("105 12 /* RT_GROUP_CURSOR */"), std::string::npos);
        EXPECT_NE(script.find("VERSIONINFO"), std::string::npos);
        using namespace about_dialog;
        for (int id : {kIdEmailLink, kIdWebLink, kIdAuthorLine, kIdStructCellasDirs, kIdDeleteEnabled, kIdApply}) {
            EXPECT_NE(script.find(", " + std::to_string(id) + ", "), std::string::npos) << id;
        }
        EXPECT_NE(script.find(std::string("\"") + kEmailAddress + "\", 1000,"), std::string::npos);
        EXPECT_NE(script.find(std::string("\"") + kWebAddress + "\", 1001,"), std::string::npos);
    }
    if (!any) GTEST_SKIP() << "no mingw windres (x86_64-w64-mingw32-windres) installed: resource script not compiled";
}

}  // namespace

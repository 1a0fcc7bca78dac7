// The listed form of variable names: plain names stay, everything else is
// escaped so that no entry can name a path, and every listed name leads back
// to exactly one (name, occurrence).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "reader/entry_name.h"

namespace {

VariableRef Decoded(const std::string& listed) {
    VariableRef ref;
    ref.name = "<none>";
    ref.occurrence = -1;
    EXPECT_TRUE(DecodeVariableName(listed, &ref)) << listed;
    return ref;
}

bool Decodes(const std::string& listed) {
    VariableRef ref;
    return DecodeVariableName(listed, &ref);
}

TEST(EntryName, PlainNamesStayOthersAreEscaped) {
    const struct {
        const char* raw;
        int occurrence;
        const char* listed;
    } cases[] = {
        {"A", 1, "A"},
        {"x_1", 1, "x_1"},
        {"__function_workspace__", 1, "__function_workspace__"},
        {"..", 1, "%2E%2E"},
        {"../etc/passwd", 1, "%2E%2E%2Fetc%2Fpasswd"},
        {"a\\b", 1, "a%5Cb"},
        {"C:x", 1, "C%3Ax"},
        {"\x01\x7f\xff", 1, "%01%7F%FF"},
        {"100%", 1, "100%25"},
        {"", 1, "%__function_workspace__"},   // the unnamed variable
        {"", 2, "%__function_workspace__%#2"},
        {"A", 2, "A%#2"},
        {"a.b", 12, "a%2Eb%#12"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeVariableName(c.raw, c.occurrence), c.listed);
        const VariableRef ref = Decoded(c.listed);
        EXPECT_EQ(ref.name, c.raw);
        EXPECT_EQ(ref.occurrence, c.occurrence);
    }
    EXPECT_EQ(EncodeVariableName(nullptr, 1), "%__function_workspace__");
}

TEST(EntryName, DecodingTakesTheLastComponentUpToItsFirstDot) {
    EXPECT_EQ(Decoded("A.double [4x3] ").name, "A");
    EXPECT_EQ(Decoded("st.struct [1x1] /st").name, "st");
    EXPECT_EQ(Decoded("st.struct [1x1] \\st").name, "st");
    EXPECT_EQ(Decoded("/tmp/out/a%2Eb.double [1x1] ").name, "a.b");
    EXPECT_EQ(Decoded("c%#2.CELL [3x2] \\c%#2").occurrence, 2);
    EXPECT_EQ(Decoded("B").name, "B");
}

TEST(EntryName, OnlyTheListingsOwnSpellingLeadsBack) {
    for (const char* bad : {"", ".double [1x1] ", "%41", "%2e", "%2", "%", "%G0", "A%#1", "A%#",
                            "A%#02", "A%#x", "A%#2%#3", "%00", "A%#99999999999",
                            "%__function_workspace_", "%_"}) {
        EXPECT_FALSE(Decodes(bad)) << bad;
    }
    EXPECT_FALSE(Decodes("st.struct [1x1] /"));   // a directory, not the entry in it
}

TEST(EntryName, EveryByteStringRoundTripsAndNoTwoShareAListedName) {
    std::mt19937 random(20240611);
    std::set<std::string> listed;
    std::set<std::pair<std::string, int>> seen;
    for (int i = 0; i < 3000; ++i) {
        std::string name(random() % 12, '\0');
        for (char& c : name) c = static_cast<char>(1 + random() % 255);   // no NUL
        if (i % 7 == 0) name = std::string(1, static_cast<char>("aZ9_.%#/\\"[random() % 9]));
        const int occurrence = 1 + static_cast<int>(random() % 3);
        if (!seen.insert({name, occurrence}).second) continue;

        const std::string text = EncodeVariableName(name.c_str(), occurrence);
        for (char c : text) {
            const auto u = static_cast<unsigned char>(c);
            ASSERT_TRUE(u > 0x20 && u < 0x7f && c != '.' && c != '/' && c != '\\' && c != ':')
                << "unsafe byte " << int(u) << " in " << text;
        }
        EXPECT_TRUE(listed.insert(text).second) << "two variables listed as " << text;
        VariableRef ref;
        ASSERT_TRUE(DecodeVariableName(text + ".double [1x1] ", &ref)) << text;
        EXPECT_EQ(ref.name, name);
        EXPECT_EQ(ref.occurrence, occurrence);
    }
}

}  // namespace

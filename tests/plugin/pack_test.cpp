// Adding variables through PackFiles, as a host calls it: MATLAB's
// save -append rule (same name replaced in its place, others after), the
// target's other bytes kept, new files compressed, all-or-nothing refusals,
// Cancel at every progress report, folders and PK_PACK_MOVE_FILES.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "host/message_box.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using namespace matbuild;

constexpr Order o = Order::Little;
Bytes Scalar(const std::string& name, double value) { return NumericVar(o, name, mxDOUBLE, {1, 1}, {value}); }

int cancelAt = 0, calls = 0;   // the progress report answered with Cancel (0: none)
int WCX_CALL CountProgress(char*, int) { return ++calls == cancelAt ? 0 : 1; }

class Packing : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        UseSettings(false, true);
        cancelAt = calls = 0;
        plugin.SetProcessDataProc(testhost::ProcessWideHandle(), &CountProgress);
    }
    void TearDown() override { plugin.SetProcessDataProc(testhost::ProcessWideHandle(), nullptr); }
    // PackFiles with the names below the test's folder, replacing agreed to
    // (the question: extension_test); *err: what it said.
    int Pack(const std::string& target, std::vector<std::string> names, int flags = 0, std::string* err = nullptr) {
        std::string list, packed = target, folder = dir.path() + platform::kPathSeparator, sub;
        for (std::string name : names) {
            std::replace(name.begin(), name.end(), '/', platform::kPathSeparator);   // as the host names them
            list += name + '\0';
        }
        list += '\0';
        int result = -1;
        ::testing::internal::CaptureStderr();
        testhost::CaptureStdout([&] { result = plugin.PackFiles(packed.data(), sub.data(), folder.data(), list.data(),
                                                                      flags | MATWCX_PACK_REPLACE_AGREED); });
        const std::string said = ::testing::internal::GetCapturedStderr();
        if (err != nullptr) *err = said;
        return result;
    }
};

// save -append: a name the target holds is replaced where it stands, the
// others follow; every other byte of the target stays (the result is the
// file of those elements); the sources are no longer needed, and with
// PK_PACK_MOVE_FILES they go, a folder's non-MAT files and so the folder stay.
TEST_F(Packing, SameNameReplacedInPlaceOthersAppendedBytesKept) {
    const Bytes a = Scalar("a", 1), b = Compressed(o, Scalar("b", 2)), c = CharVar(o, "c", "keep");
    const std::string target = Write("t.mat", File5(o, {a, b, c}));
    const Bytes newB = Scalar("b", 20), d = Compressed(o, Scalar("d", 4)), e = CharVar(o, "e", "in folder");
    Write("s.mat", File5(o, {newB, d}));
    fs::create_directories(dir.file("f/g"));
    Write("f/g/e.mat", File5(o, {e}));
    Write("f/notes.txt", Bytes(10, 'x'));
    // A variable the host extracted from another archive: named by its entry, written with ".mat".
    const Bytes x = Scalar("x", 5);
    Write("x.double [1x1] .mat", File5(o, {x}));
    // The host names the folder and each file in it (a text file among them).
    ASSERT_EQ(Pack(target, {"s.mat", "f/", "f/g/e.mat", "f/notes.txt", "x.double [1x1] "}, PK_PACK_MOVE_FILES), 0);
    EXPECT_EQ(ReadFile(target), File5(o, {a, newB, c, d, e, x}));
    for (const auto& [name, kept] : {std::pair{"x.double [1x1] .mat", false}, {"s.mat", false}, {"f/g/e.mat", false}, {"f/notes.txt", true}}) {
        EXPECT_EQ(fs::exists(dir.file(name)), kept) << name;
    }
    EXPECT_GT(calls, 0);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

// All or nothing: each refusal names the file and why, changes no file and
// makes none, and answers the code of its cause (a source not done, damaged,
// unreadable, of no known format), never one about the target; the user saw
// it in a box, so the host is not told again.
TEST_F(Packing, RefusalsNameEachFileAndChangeNothing) {
    Write("one.mat", File5(o, {Scalar("x", 1), Scalar("y", 2)}));
    Write("two.mat", File5(o, {Scalar("y", 3)}));
    Write("text.txt", Bytes(200, 'x'));
    Write("noname.mat", File5(o, {Scalar("x", 1), Scalar("", 2)}));   // no subsystem data: the header points at none
    Write("big.mat", File5(Order::Big, {NumericVar(Order::Big, "z", mxDOUBLE, {1, 1}, {1})}));
    for (const auto& [from, to] : {std::pair{"hdf5storage/v73.mat", "v73.mat"}, {"damaged73/huge.mat", "huge73.mat"},
                                   {"objects/corrupted_subsystem.mat", "unknown.mat"}}) {
        ASSERT_TRUE(support::CopyTestData(from, dir.file(to))) << "no test data " << from;
    }
    Write("v4.mat", V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "q", 1, 1, {1}));
    const struct { std::string target; std::vector<std::string> names; const char* said; int code; } cases[] = {
        {"t.mat", {"one.mat", "two.mat"}, "two.mat: its variable y is also in", E_NOT_SUPPORTED},
        {"t.mat", {"one.mat", "missing.mat"}, "missing.mat: cannot be read", E_EOPEN},
        {"t.mat", {"one.mat", "text.txt"}, "text.txt: not a MAT-file", E_UNKNOWN_FORMAT},
        {"t.mat", {"noname.mat"}, "noname.mat: its variable number 2 has no name", E_NOT_SUPPORTED},
        {"t.mat", {"big.mat"}, "big.mat: its variable z: its file has the other byte order", E_NOT_SUPPORTED},
        {"t.mat", {"t.mat"}, "t.mat: it is the file the variables are added to", E_NOT_SUPPORTED},
        {"t.mat", {"huge73.mat"}, "huge73.mat: its variable huge: it holds 2 GB or more", E_NOT_SUPPORTED},
        {"v73.mat", {"one.mat", "unknown.mat"}, "unknown.mat: its variable var: its objects' values", E_NOT_SUPPORTED},
        {"v4.mat", {"one.mat"}, "v4.mat: a version 4 MAT-file", E_NOT_SUPPORTED},
        {"fresh.mat", {"one.mat", "two.mat"}, "two.mat: its variable y is also in", E_NOT_SUPPORTED},
    };
    Write("t.mat", File5(o, {Scalar("a", 1)}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target + " <- " + c.names.back());
        const bool existed = fs::exists(dir.file(c.target));
        const Bytes before = existed ? ReadFile(dir.file(c.target)) : Bytes();
        std::string said;
        const int result = Pack(dir.file(c.target), c.names, PK_PACK_MOVE_FILES, &said);
        EXPECT_EQ(result, platform::SystemShowsMessageBoxes() ? E_EABORTED : c.code);
        if (!platform::SystemShowsMessageBoxes()) {   // else the text is in the system's box
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
            EXPECT_EQ(said.find("No variable was added to " + dir.file(c.target)), said.find("No variable")) << said;
        }
        EXPECT_EQ(fs::exists(dir.file(c.target)), existed);
        if (existed) { EXPECT_EQ(ReadFile(dir.file(c.target)), before); }
        EXPECT_TRUE(fs::exists(dir.file(c.names.front())));
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    }
}

// Nothing damaged goes in: a source variable that the archive test finds
// damaged refuses the whole list (E_BAD_DATA: no file was read or written
// wrongly), names its file, variable and damage, and leaves the target as it
// was (or makes none), whatever the target: level 5, version 7.3, new, or a
// conversion's new file of either version.
TEST_F(Packing, DamagedSourcesRefuseTheWholeList) {
    const Bytes element = NumericVar(o, "v", mxDOUBLE, {1, 64}, Iota(64));
    Bytes badSum = Zlib(element), broken = Zlib(element);
    badSum.back() ^= 1;
    broken[broken.size() / 2] ^= 0x55;
    auto withTail = [&](const Bytes& tail) {   // the element's subelements, then more inside its size
        return Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {1, 3}), NameElement(o, "v"),
                              ValueElement(o, miDOUBLE, {1, 2, 3}), tail}));
    };
    const Bytes good = Compressed(o, Scalar("good", 1));
    const struct { const char* file; Bytes variable; } damaged[] = {
        {"checksum.mat", CompressedRaw(o, badSum)},
        {"stream.mat", CompressedRaw(o, broken)},
        {"short.mat", Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {1, 600}), NameElement(o, "v"),
                                     ValueElement(o, miDOUBLE, Iota(500))}))},
        {"tail.mat", withTail(Bytes(4096, 0xAB))},
        {"zeros.mat", Compressed(o, withTail(Bytes(1 << 16, 0)))},
        {"element.mat", withTail(ValueElement(o, miDOUBLE, {4}))},
    };
    std::vector<std::pair<std::string, std::vector<std::string>>> sources;   // file, the variables named
    for (const auto& d : damaged) {
        Write(d.file, File5(o, {good, d.variable}));
        sources.push_back({d.file, {"its variable v is damaged"}});
    }
    const std::string writer = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/plugin/damaged73_writer.py";
    const bool made = std::system((support::Python() + " '" + writer + "' '" + dir.path() + "'").c_str()) == 0;
#if !defined(_WIN32)   // the Windows shell starts no Python
    ASSERT_TRUE(made) << writer;
#endif
    if (made) sources.push_back({"damaged.mat", {"its variable cut is damaged", "its variable sum is damaged"}});
    ASSERT_TRUE(support::CopyTestData("matlab73-simple/v73.mat", dir.file("t73.mat"))) << "no test data matlab73-simple";
    fs::permissions(dir.file("t73.mat"), fs::perms::owner_write, fs::perm_options::add);
    Write("t.mat", File5(o, {Scalar("a", 1)}));
    const struct { const char* target; int flags; } targets[] = {
        {"t.mat", PK_PACK_MOVE_FILES}, {"t73.mat", PK_PACK_MOVE_FILES}, {"new.mat", 0},
        {"new7.mat", MATWCX_PACK_NEW_ONLY}, {"new73.mat", MATWCX_PACK_NEW_ONLY | MATWCX_PACK_VERSION_73}};
    const int refused = platform::SystemShowsMessageBoxes() ? E_EABORTED : E_BAD_DATA;
    for (const auto& [source, said] : sources) {
        for (const auto& t : targets) {
            SCOPED_TRACE(source + " into " + t.target);
            const std::string target = dir.file(t.target);
            const bool existed = fs::exists(target);
            const Bytes before = existed ? ReadFile(target) : Bytes();
            std::string err;
            EXPECT_EQ(Pack(target, {source}, t.flags, &err), refused);
            for (const std::string& line : said) {
                if (!platform::SystemShowsMessageBoxes()) { EXPECT_NE(err.find(source + ": " + line), std::string::npos) << err; }
            }
            EXPECT_EQ(fs::exists(target), existed);
            if (existed) { EXPECT_EQ(ReadFile(target), before); }
            EXPECT_TRUE(fs::exists(dir.file(source)));
            EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
        }
    }
}

// Objects come with their subsystem data into a file that has none: the
// header points at it, after the last variable.
TEST_F(Packing, ObjectsCarryTheirSubsystemData) {
    ASSERT_TRUE(support::CopyTestData("objects/user_defined_classdefs.mat", dir.file("strings.mat"))) << "no test data objects";
    const std::string target = Write("t.mat", File5(o, {Scalar("a", 1)}));
    ASSERT_EQ(Pack(target, {"strings.mat"}), 0);
    const Bytes source = ReadFile(dir.file("strings.mat")), made = ReadFile(target);
    uint64_t sourceAt = 0, madeAt = 0;
    std::memcpy(&sourceAt, &source[116], 8);
    std::memcpy(&madeAt, &made[116], 8);
    ASSERT_GT(madeAt, 128u);
    EXPECT_EQ(Bytes(made.begin() + static_cast<long>(madeAt), made.end()),
              Bytes(source.begin() + static_cast<long>(sourceAt), source.end()));
    // Objects extracted one to a file each carry the same subsystem data: a
    // new file takes them all, and so does a file without objects.
    ASSERT_EQ(support::Extract(dir.file("strings.mat"), "obj_array", dir.file("one.mat")), 0);
    ASSERT_EQ(support::Extract(dir.file("strings.mat"), "obj_with_vals", dir.file("two.mat")), 0);
    ASSERT_EQ(Pack(dir.file("new.mat"), {"one.mat", "two.mat"}), 0);
    EXPECT_EQ(support::VariableNames(dir.file("new.mat")), (std::vector<std::string>{"obj_array", "obj_with_vals", ""}));
    Write("plain.mat", File5(o, {Scalar("a", 1)}));
    ASSERT_EQ(Pack(dir.file("plain.mat"), {"one.mat", "two.mat"}), 0);
    EXPECT_EQ(support::VariableNames(dir.file("plain.mat")), (std::vector<std::string>{"a", "obj_array", "obj_with_vals", ""}));
}

// Cancel at each progress report of a move leaves the target as it was (or
// no new file), the sources in place and no temporary; past the last report
// the addition is done and the sources gone. The count of reports may vary
// from run to run (a version 7.3 target reports its worker's writing): each
// is answered until a run ends before its Cancel. A new file has every
// element compressed (a version 4 matrix becomes a level-5 one; the values
// added: tests/interop).
TEST_F(Packing, CancelAtEveryReportChangesNothing) {
    Write("s.mat", File5(o, {NumericVar(o, "big", mxDOUBLE, {1, 300000}, Iota(300000)), Scalar("b", 2)}));
    Write("s5.mat", File5(o, {Scalar("x", 3), Compressed(o, CharVar(o, "s", "text"))}));
    Write("s4.mat", V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "m", 2, 2, {1, 2, 3, 4}));
    // A version 7.3 source is converted as it is written, its objects' subsystem data after it;
    // into a version 7.3 target the worker converts the level-5 variables.
    ASSERT_TRUE(support::CopyTestData("objects73-tables/v73.mat", dir.file("tables73.mat"))) << "no test data objects73-tables";
    ASSERT_TRUE(support::CopyTestData("matlab73-simple/v73.mat", dir.file("simple73.mat"))) << "no test data matlab73-simple";
    std::map<std::string, Bytes> sourceBytes;
    for (const char* name : {"s.mat", "s5.mat", "s4.mat", "tables73.mat"}) sourceBytes[name] = ReadFile(dir.file(name));
    enum Target { kNew, kLevel5, kVersion73 };
    const struct { std::vector<std::string> sources; Target target; std::vector<std::string> want; } cases[] = {
        {{"s.mat"}, kLevel5, {"a", "b", "big"}}, {{"s.mat"}, kNew, {"big", "b"}}, {{"s5.mat", "s4.mat"}, kNew, {"x", "s", "m"}},
        {{"tables73.mat"}, kLevel5, {"a", "b", "s", ""}}, {{"tables73.mat"}, kNew, {"s", ""}},
        {{"s.mat"}, kVersion73, {}}};
    for (const auto& c : cases) {
        const std::string target = dir.file("t.mat");
        fs::remove(target);
        if (c.target == kLevel5) Write("t.mat", File5(o, {Scalar("a", 1), Scalar("b", 1)}));
        if (c.target == kVersion73) {
            fs::copy_file(dir.file("simple73.mat"), target);
            fs::permissions(target, fs::perms::owner_write, fs::perm_options::add);
        }
        std::vector<std::string> want = c.want;
        if (c.target == kVersion73) {
            want = support::VariableNames(target);
            want.insert(want.end(), {"b", "big"});
            std::sort(want.begin(), want.end());   // HDF5 lists them by name
        }
        const bool existing = c.target != kNew;
        const Bytes before = existing ? ReadFile(target) : Bytes();
        for (const std::string& source : c.sources) Write(source, sourceBytes[source]);
        for (cancelAt = 1;; ++cancelAt) {
            SCOPED_TRACE(std::to_string(cancelAt) + " " + c.sources[0] + " into target kind " + std::to_string(c.target));
            calls = 0;
            const int result = Pack(target, c.sources, PK_PACK_MOVE_FILES);
            EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
            const bool done = calls < cancelAt;
            for (const std::string& source : c.sources) {
                EXPECT_EQ(fs::exists(dir.file(source)), !done) << source;
                if (!done && fs::exists(dir.file(source))) { EXPECT_EQ(ReadFile(dir.file(source)), sourceBytes[source]) << source; }
            }
            if (done) {
                EXPECT_EQ(result, 0);
                break;
            }
            EXPECT_EQ(result, E_EABORTED);
            EXPECT_EQ(fs::exists(target), existing);
            if (existing) { EXPECT_EQ(ReadFile(target), before); }
            ASSERT_LT(cancelAt, 100);
        }
        EXPECT_GT(cancelAt, 1);
        EXPECT_EQ(support::VariableNames(target), want);
        if (c.target == kNew) { EXPECT_EQ(support::ElementTypes(ReadFile(target)), std::vector<uint32_t>(want.size(), 15)); }
    }
}

}  // namespace

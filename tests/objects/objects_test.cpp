// Objects and their subsystem data, on MATLAB's own files (matlab/, from the
// test data of MAT.jl) and on files built here: extraction carries the
// subsystem data, deletion keeps it while it is needed, object arrays list
// their size, and the viewer shows what objects, structs and cells hold.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using namespace matbuild;

std::string Sample(const std::string& name) { return testenv::Get("MATWCX_SOURCE_DIR") + "/tests/objects/matlab/" + name; }

uint64_t SubsystemOffset(const Bytes& file) {
    uint64_t offset = 0;
    if (file.size() >= 124) std::memcpy(&offset, file.data() + 116, 8);
    return offset;
}

// The subsystem data's element as the file holds it (from the header's
// offset to the end: MATLAB writes it last); empty when the file has none.
Bytes SubsystemElement(const Bytes& file) {
    const uint64_t offset = SubsystemOffset(file);
    if (offset < 128 || offset >= file.size()) return {};
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(offset), file.end());
}

// Writes the variable through the engine into a file of its own; its bytes.
Bytes Extracted(const std::string& source, const std::string& name, const std::string& out) {
    EXPECT_EQ(support::Extract(source, name.c_str(), out), 0) << name;
    return ReadFile(out);
}

// A file with a subsystem (MATLAB's, from user_defined_classdefs.mat) and
// variables that refer to it or not: numbers, a struct and a cell of numbers,
// a compressed cell whose struct holds an opaque object two levels down, and
// a compressed struct too large to be worth walking (its inflated bytes are
// more than eight times the subsystem's: the subsystem data is copied along).
Bytes BuiltFileWithSubsystem() {
    const Order le = Order::Little;
    const Bytes number = NumericVar(le, "", mxDOUBLE, {1, 1}, {7});
    const Bytes metadata = NumericVar(le, "", mxUINT32, {6, 1}, {double(0xDD000000u), 2, 1, 1, 2, 1});
    const Bytes object = StructVar(le, "", {1, 1}, {"o"}, {OpaqueVar(le, "", "TestClasses.BasicClass", metadata)});
    Bytes file = File5(le, {NumericVar(le, "A", mxDOUBLE, {1, 2}, {1, 2}),
                            StructVar(le, "st", {1, 1}, {"a", "b"}, {number, CharVar(le, "", "text")}),
                            CellVar(le, "c", {1, 2}, {number, StructVar(le, "", {1, 1}, {"n"}, {number})}),
                            Compressed(le, CellVar(le, "oc", {1, 2}, {number, object})),
                            Compressed(le, StructVar(le, "big", {1, 1}, {"v"}, {NumericVar(le, "", mxDOUBLE, {1, 2000}, Iota(2000))}))});
    const uint64_t offset = file.size();
    std::memcpy(file.data() + 116, &offset, 8);
    Append(file, SubsystemElement(ReadFile(Sample("user_defined_classdefs.mat"))));
    return file;
}

using support::ReadText;
using support::ToolRun;

class Objects : public ::testing::Test {
protected:
    // matwcx --ini <own file> ARGS...
    ToolRun Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--ini", ini()});
        return support::RunTool(io, args);
    }
    std::string ini() const { return io.file("wcx.ini"); }
    testenv::TempDir dir;   // the test's MAT-files
    testenv::TempDir io;    // the command's settings file and captured output

    // A writable copy of a sample file (or of bytes) in the test's folder.
    std::string Copy(const std::string& sample) {
        const std::string path = dir.file(sample);
        fs::copy_file(Sample(sample), path);
        fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
        return path;
    }
    std::string Write(const std::string& name, const Bytes& bytes) {
        WriteFile(dir.file(name), bytes);
        return dir.file(name);
    }
    void SetShowContents(bool on) {
        ASSERT_EQ(Run({"options", "--contents", on ? "on" : "off"}).status, 0);
    }
};

TEST_F(Objects, ExtractionCarriesTheSubsystemDataByteForByte) {
    const struct {
        const char* file;
        std::vector<const char*> variables;
    } kCases[] = {
        {"user_defined_classdefs.mat", {"obj_no_vals", "obj_with_vals", "obj_with_default_val", "obj_array",
                                        "obj_with_nested_props", "obj_handle_1", "obj_handle_2"}},
        {"struct_table_datetime.mat", {"s"}},   // objects inside a struct
        {"function_handles.mat", {"anonymous", "sin"}},
        {"dynamicprops.mat", {"obj"}},
        {"corrupted_subsystem.mat", {"var"}},   // damaged inside, still copied whole
    };
    for (const auto& c : kCases) {
        const Bytes source = ReadFile(Sample(c.file));
        const Bytes subsystem = SubsystemElement(source);
        ASSERT_FALSE(subsystem.empty()) << c.file;
        for (const char* variable : c.variables) {
            const Bytes out = Extracted(Sample(c.file), variable, dir.file(std::string(variable) + ".mat"));
            EXPECT_EQ(SubsystemElement(out), subsystem) << c.file << " " << variable;
        }
    }
    // Through the plug-in as a host extracts: the same.
    const std::string path = Copy("user_defined_classdefs.mat");
    ASSERT_EQ(Run({"extract", path, "obj_array", "-d", dir.file("out")}).status, 0);
    EXPECT_EQ(SubsystemElement(ReadFile(dir.file("out/obj_array.testclasses.basicclass [2x2] .mat"))),
              SubsystemElement(ReadFile(path)));
}

TEST_F(Objects, OnlyVariablesThatReferToItCarryIt) {
    const std::string path = Write("built.mat", BuiltFileWithSubsystem());
    const Bytes subsystem = SubsystemElement(ReadFile(path));
    for (const char* plain : {"A", "st", "c"}) {
        const Bytes out = Extracted(path, plain, dir.file(std::string(plain) + ".out"));
        EXPECT_EQ(SubsystemOffset(out), 0u) << plain;
        EXPECT_EQ(SubsystemElement(out), Bytes{}) << plain;
    }
    EXPECT_EQ(SubsystemElement(Extracted(path, "oc", dir.file("oc.out"))), subsystem);
    EXPECT_EQ(SubsystemElement(Extracted(path, "big", dir.file("big.out"))), subsystem);
    // The subsystem data itself is an ordinary variable in its copy.
    EXPECT_EQ(SubsystemOffset(Extracted(path, "", dir.file("unnamed.out"))), 0u);
}

TEST_F(Objects, ScipyReadsTheExtractedFiles) {
    if (!support::HavePython()) GTEST_SKIP() << "no scipy";
    std::vector<std::string> files;
    for (const char* variable : {"obj_array", "obj_with_nested_props", "obj_handle_1"}) {
        files.push_back(dir.file(std::string(variable) + ".mat"));
        Extracted(Sample("user_defined_classdefs.mat"), variable, files.back());
    }
    files.push_back(dir.file("s.mat"));
    Extracted(Sample("struct_table_datetime.mat"), "s", files.back());
    std::string output;
    EXPECT_TRUE(support::RunScipy(dir, "for f in files: sio.loadmat(f)\n", files, &output)) << output;
}

TEST_F(Objects, TheUnnamedVariableStaysWhileOthersReferToIt) {
    const std::string path = Write("built.mat", BuiltFileWithSubsystem());
    const Bytes before = ReadFile(path);
    const ToolRun refused = Run({"delete", "--yes", path, "%__function_workspace__"});
    EXPECT_NE(refused.status, 0);
#if !defined(_WIN32)   // Windows shows the reason in the system's message box
    EXPECT_NE(refused.err.find("holds the subsystem data"), std::string::npos) << refused.err;
#endif
    EXPECT_EQ(ReadFile(path), before);

    // Variables that refer to nothing go; the unnamed one stays for "oc".
    Run({"delete", "--yes", path, "A", "st", "c", "%__function_workspace__"});
    ToolRun listed = Run({"list", path});
    EXPECT_EQ(listed.out.find("\"A."), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("%__function_workspace__"), std::string::npos) << listed.out;

    // With the last object variable it may go too.
    EXPECT_EQ(Run({"delete", "--yes", path, "oc", "%__function_workspace__"}).status, 0);
    listed = Run({"list", path});
    EXPECT_EQ(listed.out.find("%__function_workspace__"), std::string::npos) << listed.out;
}

TEST_F(Objects, TheViewerShowsWhatObjectsHoldWhenAsked) {
    const struct {
        const char* file;
        const char* variable;
        std::vector<const char*> shown;
    } kCases[] = {
        {"user_defined_classdefs.mat", "obj_with_vals", {"TestClasses.BasicClass [1x1]", "a = double [1x1] = 10"}},
        {"user_defined_classdefs.mat", "obj_with_default_val",
         {"TestClasses.DefaultClass", "a = string [1x1] = \"Default String\"", "b = double [1x1] = 10"}},
        {"user_defined_classdefs.mat", "obj_array", {"TestClasses.BasicClass [2x2]", "(1,1)\n\t    a = double [1x1] = 1",
                                                    "(1,2)\n\t    a = double [1x1] = 2"}},
        {"user_defined_classdefs.mat", "obj_with_nested_props",
         {"a = TestClasses.BasicClass [1x1]\n\t    a = double [1x1] = 1", "{1} = TestClasses.BasicClass",
          "b = char [1x4] = 'Obj1'", "InnerProp = TestClasses.BasicClass [1x1]\n\t      a = double [1x1] = 2"}},
        {"user_defined_classdefs.mat", "obj_handle_2", {"TestClasses.HandleClass [1x1]", "a = double [1x1] = 20"}},
        {"struct_table_datetime.mat", "s",
         {"testDatetime = datetime [1x1] = 2019-12-02 16:42:49", "testTable = table [3x5]",
          "variables: FlightNum, Customer, Date, Rating, Comment", "row 1: 1261, \"Jones\", 2016-12-20 00:00:00, Good,",
          "row 2: 547,", "row 3: 3489,", "testDatetimeComplex = datetime [1x1] = "}},
        {"dynamicprops.mat", "obj", {"TestClasses.BasicDynamic [1x1]"}},
        {"corrupted_mcos_object_metadata.mat", "var", {"datetime [1x1] (error: object id 3 not in the object data)"}},
        {"corrupted_subsystem.mat", "var", {"datetime [1x1] (object metadata of unknown version"}},
    };
    SetShowContents(true);
    for (const auto& c : kCases) {
        const ToolRun view = Run({"view", Sample(c.file), c.variable});
        ASSERT_EQ(view.status, 0) << c.file << " " << c.variable << view.err;
        for (const char* text : c.shown) EXPECT_NE(view.out.find(text), std::string::npos) << text << "\n" << view.out;
    }
    SetShowContents(false);
    const ToolRun view = Run({"view", Sample("user_defined_classdefs.mat"), "obj_array"});
    EXPECT_EQ(view.out.substr(view.out.find(" =\n") + 3), "Class NOT Supported\n") << view.out;
}

// Object arrays list their size; damaged objects leave the rest of the file usable.
TEST_F(Objects, ObjectFilesListExtractAndView) {
    const ToolRun listed = Run({"list", Copy("user_defined_classdefs.mat")});
    EXPECT_NE(listed.out.find("\"obj_array.testclasses.basicclass [2x2] \""), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\"obj_with_vals.testclasses.basicclass [1x1] \""), std::string::npos) << listed.out;
    for (const char* file : {"corrupted_mcos_object_metadata.mat", "corrupted_subsystem.mat"}) {
        const std::string path = Copy(file);
        const ToolRun listed = Run({"list", path});
        EXPECT_EQ(listed.status, 0) << listed.err;
        EXPECT_NE(listed.out.find("\"var.datetime [1x1] \""), std::string::npos) << listed.out;
        EXPECT_EQ(Run({"extract", path, "-d", dir.file(std::string(file) + ".out")}).status, 0);
        EXPECT_EQ(Run({"view", path, "%__function_workspace__"}).status, 0);
    }
}

// The subsystem data of user_defined_classdefs.mat cut at every offset and
// with bytes changed at fixed places: every text ends inside its buffer and
// either shows the object or names the damage.
TEST_F(Objects, DamagedSubsystemDataIsNamedNeverMisread) {
    const std::string sample = Sample("user_defined_classdefs.mat");
    const Bytes extracted = Extracted(sample, "obj_with_default_val", dir.file("one.mat"));
    const Bytes object(extracted.begin() + 128, extracted.begin() + static_cast<std::ptrdiff_t>(SubsystemOffset(extracted)));
    support::FilePtr in(matOpen(sample.c_str(), "r"));
    support::ArrayPtr unnamed(in ? matGetArray(in.get(), "") : nullptr);
    ASSERT_TRUE(unnamed && mxGetPr(unnamed.get()));
    const auto* data = static_cast<const uint8_t*>(mxGetPr(unnamed.get()));
    const Bytes payload(data, data + mxGetNumberOfElements(unnamed.get()));
    auto describe = [&](const Bytes& subsystem) {
        std::vector<double> values(subsystem.begin(), subsystem.end());
        Bytes file = File5(Order::Little, {object});
        const uint64_t offset = file.size();
        std::memcpy(file.data() + 116, &offset, 8);
        Append(file, NumericVar(Order::Little, "", mxUINT8,
                                                    {static_cast<int32_t>(values.size()), 1}, values));
        const std::string path = Write("damaged.mat", file);
        MATFile* in = matOpen(path.c_str(), "r");
        mxArray* array = in != nullptr ? matGetArray(in, "obj_with_default_val") : nullptr;
        char text[2048];
        std::memset(text, 'x', sizeof text);
        const int result = array != nullptr ? mxDescribeValue(array, text, sizeof text) : 1;
        if (array != nullptr) mxDestroyArray(array);
        if (in != nullptr) matClose(in);
        EXPECT_EQ(result, 0);
        EXPECT_NE(std::memchr(text, '\0', sizeof text), nullptr);
        return std::string(text);
    };
    const std::string whole = describe(payload);
    ASSERT_NE(whole.find("a = string [1x1] = \"Default String\""), std::string::npos) << whole;
    // The object data is the first element after the 8-byte preamble; what
    // follows it is not read.
    uint32_t firstSize = 0;
    std::memcpy(&firstSize, payload.data() + 12, 4);
    const size_t firstEnd = 16 + firstSize;
    ASSERT_LT(firstEnd, payload.size());
    for (size_t cut = 0; cut < payload.size(); cut += 7) {
        const std::string text = describe(Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(cut)));
        if (cut >= firstEnd) {
            EXPECT_EQ(text, whole) << "cut at " << cut;
            continue;
        }
        EXPECT_TRUE(text.find("error") != std::string::npos || text.find("metadata") != std::string::npos ||
                    text.find("subsystem") != std::string::npos || text.find("object data") != std::string::npos)
            << "cut at " << cut << ":\n" << text;
    }
    uint32_t seed = 17;
    for (int i = 0; i < 300; ++i) {
        seed = seed * 1103515245u + 12345u;
        Bytes changed = payload;
        changed[(seed >> 8) % changed.size()] ^= static_cast<uint8_t>(1u << (seed % 8));
        describe(changed);   // any text, within its buffer; ASan watches the reads
    }
}

TEST_F(Objects, TheOptionIsStoredOnlyOnceSet) {
    std::ofstream(ini()) << "[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\n";
    EXPECT_EQ(Run({"options"}).out.find("ShowContents     = 0") != std::string::npos, true);
    EXPECT_EQ(ReadText(ini()), "[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\n");
    SetShowContents(true);
    EXPECT_NE(ReadText(ini()).find("\nShowContents=1\n"), std::string::npos) << ReadText(ini());
    SetShowContents(false);
    EXPECT_NE(ReadText(ini()).find("\nShowContents=0\n"), std::string::npos) << ReadText(ini());
}

}  // namespace

// Objects and their subsystem data, on MATLAB's own files (matlab/, from the
// test data of MAT.jl) and on files built here: extraction carries the
// subsystem data where it is needed, deletion keeps it while it is needed,
// object arrays list their size, and the viewer shows what objects hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using namespace matbuild;
using support::ToolRun;

// MATLAB's files, as the test data run copied them from tests/objects/matlab.
std::string Sample(const std::string& name) { return testenv::TestDataDir() + "/objects/" + name; }

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

// The elements with the subsystem data after them, its offset in the header.
Bytes WithSubsystem(const std::vector<Bytes>& elements, const Bytes& subsystem) {
    Bytes file = File5(Order::Little, elements);
    const uint64_t offset = file.size();
    std::memcpy(file.data() + 116, &offset, 8);
    Append(file, subsystem);
    return file;
}

// Variables that refer to MATLAB's subsystem (user_defined_classdefs.mat's)
// or not: numbers, a struct and a cell of numbers, a compressed cell whose
// struct holds an opaque object two levels down, and a compressed struct too
// large to be worth walking (inflated, more than eight times the subsystem's
// size: the subsystem data is copied along).
Bytes BuiltFileWithSubsystem() {
    const Order le = Order::Little;
    const Bytes number = NumericVar(le, "", mxDOUBLE, {1, 1}, {7});
    const Bytes metadata = NumericVar(le, "", mxUINT32, {6, 1}, {double(0xDD000000u), 2, 1, 1, 2, 1});
    const Bytes object = StructVar(le, "", {1, 1}, {"o"}, {OpaqueVar(le, "", "TestClasses.BasicClass", metadata)});
    return WithSubsystem({NumericVar(le, "A", mxDOUBLE, {1, 2}, {1, 2}),
                          StructVar(le, "st", {1, 1}, {"a", "b"}, {number, CharVar(le, "", "text")}),
                          CellVar(le, "c", {1, 2}, {number, StructVar(le, "", {1, 1}, {"n"}, {number})}),
                          Compressed(le, CellVar(le, "oc", {1, 2}, {number, object})),
                          Compressed(le, StructVar(le, "big", {1, 1}, {"v"}, {NumericVar(le, "", mxDOUBLE, {1, 2000}, Iota(2000))}))},
                         SubsystemElement(ReadFile(Sample("user_defined_classdefs.mat"))));
}

// Object data of our own: each object's class and the values of its
// properties; objects refer to each other by Ref (ids count from 1, in order;
// the describer finds the class by the id).
struct BuiltObject {
    std::string cls;
    std::vector<std::pair<std::string, Bytes>> properties;
};

Bytes Ref(uint32_t id) {
    return NumericVar(Order::Little, "", mxUINT32, {6, 1}, {double(0xDD000000u), 2, 1, 1, double(id), 1});
}

// The subsystem data as MATLAB lays it out: the metadata (names, class
// records, object records, property blocks) and the values, in the cell of
// the opaque FileWrapper__ under the struct field MCOS.
// Version 3 (MATLAB R2018b) leaves the last two region offsets 0.
Bytes BuiltSubsystem(const std::vector<BuiltObject>& objects, uint32_t version = 4) {
    const Order le = Order::Little;
    std::vector<std::string> names, classes;
    auto nameIndex = [&](const std::string& name) {
        const auto at = std::find(names.begin(), names.end(), name);
        if (at != names.end()) return uint32_t(at - names.begin() + 1);
        names.push_back(name);
        return uint32_t(names.size());
    };
    std::vector<uint32_t> classWords = {0, 0, 0, 0}, objectWords(6, 0), propertyWords = {0, 0}, classIds;
    std::vector<Bytes> cells = {Bytes{}, NumericVar(le, "", mxDOUBLE, {0, 0}, {})};
    for (size_t i = 0; i < objects.size(); ++i) {
        const auto known = std::find(classes.begin(), classes.end(), objects[i].cls);
        if (known == classes.end()) {
            classes.push_back(objects[i].cls);
            for (uint32_t w : {0u, nameIndex(objects[i].cls), 0u, 0u}) classWords.push_back(w);
        }
        classIds.push_back(uint32_t(std::find(classes.begin(), classes.end(), objects[i].cls) - classes.begin() + 1));
        for (uint32_t w : {classIds.back(), 0u, 0u, 0u, uint32_t(i + 1), uint32_t(i + 1)}) objectWords.push_back(w);
        propertyWords.push_back(uint32_t(objects[i].properties.size()));
        for (const auto& [name, value] : objects[i].properties) {
            for (uint32_t w : {nameIndex(name), 1u, uint32_t(cells.size() - 2)}) propertyWords.push_back(w);
            cells.push_back(value);
        }
        if (propertyWords.size() % 2) propertyWords.push_back(0);
    }
    Bytes text;
    for (const std::string& name : names) Append(text, Cat({Text(name), Bytes{0}}));
    text.resize((text.size() + 7) / 8 * 8);
    std::vector<uint32_t> offsets;
    uint32_t at = 40 + uint32_t(text.size());
    for (const auto* region : {&classWords, &objectWords, &propertyWords}) {
        offsets.push_back(at);
        if (region == &classWords) offsets.push_back(at + 4 * uint32_t(classWords.size()));   // saved properties: none
        at += 4 * uint32_t(region->size());
    }
    while (offsets.size() < 8) offsets.push_back(version == 3 && offsets.size() >= 6 ? 0 : at);
    Bytes meta;
    for (uint32_t w : {version, uint32_t(names.size())}) Append(meta, U32(le, w));
    for (uint32_t w : offsets) Append(meta, U32(le, w));
    Append(meta, text);
    for (const auto* region : {&classWords, &objectWords, &propertyWords}) {
        for (uint32_t w : *region) Append(meta, U32(le, w));
    }
    cells[0] = NumericVar(le, "", mxUINT8, {int32_t(meta.size()), 1}, std::vector<double>(meta.begin(), meta.end()));
    cells.push_back(CellVar(le, "", {0, 0}, {}));
    const Bytes wrapper = OpaqueVar(le, "", "FileWrapper__", CellVar(le, "", {int32_t(cells.size()), 1}, cells));
    Bytes payload = Cat({Bytes{0, 1, 'I', 'M', 0, 0, 0, 0}, StructVar(le, "", {1, 1}, {"MCOS"}, {wrapper})});
    return NumericVar(le, "", mxUINT8, {int32_t(payload.size()), 1}, std::vector<double>(payload.begin(), payload.end()));
}

// A struct of objects built here: a table with row names, a cell column of
// text, a datetime and a duration column in formats of their own and a
// two-column matrix; a datetime in a custom format and a fixed time zone; a
// duration in hours; a table of more rows than the viewer shows.
Bytes BuiltTimesAndTables(uint32_t version = 4) {
    const Order le = Order::Little;
    auto text = [&](const std::string& t) { return CharVar(le, "", t); };
    auto column = [&](std::vector<double> values, std::vector<double> imag = {}) {
        return NumericVar(le, "", mxDOUBLE, {int32_t(values.size()), 1}, values, imag);
    };
    const BuiltObject table = {"table", {{"data", CellVar(le, "", {1, 5}, {column({38, 4.5}), CellVar(le, "", {2, 1}, {text("Sanchez"), text("Li")}),
                                                                          Ref(2), Ref(3), NumericVar(le, "", mxDOUBLE, {2, 2}, {124, 109, 93, 77})})},
                                         {"nrows", column({2})},
                                         {"rownames", CellVar(le, "", {2, 1}, {text("P1"), text("Patient2")})},
                                         {"varnames", CellVar(le, "", {1, 5}, {text("Age"), text("Name"), text("When"), text("Took"), text("BP")})}}};
    // 2016-12-20 08:30:59 and 2016-12-21 00:00, the first with half a millisecond in the imaginary part.
    const BuiltObject when = {"datetime", {{"data", column({1482222659000, 1482278400000}, {0.5, 0})}, {"fmt", text("yyyy-MM-dd HH:mm")}, {"tz", text("")}}};
    const BuiltObject took = {"duration", {{"millis", column({90500, -5000})}, {"fmt", text("mm:ss")}}};
    const BuiltObject zoned = {"datetime", {{"data", column({1575304969634}, {0.5})},
                                            {"fmt", text("eeee, MMMM d, yyyy h:mm:ss.SSSS a 'at' xxx")}, {"tz", text("+01:00")}}};
    const BuiltObject hours = {"duration", {{"millis", column({5400000})}, {"fmt", text("h")}}};
    const BuiltObject big = {"table", {{"data", CellVar(le, "", {1, 1}, {column(Iota(25, 1))})}, {"nrows", column({25})},
                                       {"rownames", CellVar(le, "", {0, 0}, {})}, {"varnames", CellVar(le, "", {1, 1}, {text("N")})}}};
    // 2019-12-02 and 2019-07-02 16:42:49 UTC in New York: winter and summer time.
    const BuiltObject named = {"datetime", {{"data", column({1575304969000, 1562085769000})}, {"fmt", text("dd-MMM-yyyy HH:mm:ss z")},
                                            {"tz", text("America/New_York")}}};
    auto object = [&](const std::string& cls, uint32_t id) { return OpaqueVar(le, "", cls, Ref(id)); };
    return WithSubsystem({StructVar(le, "s", {1, 1}, {"t", "d", "dur", "big", "ny"},
                                    {object("table", 1), object("datetime", 4), object("duration", 5), object("table", 6),
                                     object("datetime", 7)})},
                         BuiltSubsystem({table, when, took, zoned, hours, big, named}, version));
}

class Objects : public ::testing::Test {
protected:
    // matwcx --ini <own file> ARGS...
    ToolRun Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--ini", io.file("wcx.ini")});
        return support::RunTool(io, args);
    }
    // Writes the variable through the engine into a file of its own; its bytes.
    Bytes Extracted(const std::string& source, const std::string& name) {
        const std::string out = dir.file(name + ".mat");
        EXPECT_EQ(support::Extract(source, name.c_str(), out), 0) << name;
        extracted.push_back(out);
        return ReadFile(out);
    }
    testenv::TempDir dir;   // the test's MAT-files
    testenv::TempDir io;    // the command's settings file and captured output
    std::vector<std::string> extracted;
};

TEST_F(Objects, ExtractionCarriesTheSubsystemDataWhereItIsNeededAndDeletionKeepsIt) {
    const std::string built = dir.file("built.mat");
    WriteFile(built, BuiltFileWithSubsystem());
    const struct { std::string file; std::vector<const char*> carry, plain; } kCases[] = {
        {Sample("user_defined_classdefs.mat"), {"obj_no_vals", "obj_with_vals", "obj_with_default_val", "obj_array",
                                                "obj_with_nested_props", "obj_handle_1", "obj_handle_2"}, {}},
        {Sample("struct_table_datetime.mat"), {"s"}, {}},   // objects inside a struct
        {Sample("function_handles.mat"), {"anonymous", "sin"}, {}},
        {Sample("dynamicprops.mat"), {"obj"}, {}},
        {Sample("corrupted_subsystem.mat"), {"var"}, {}},   // damaged inside, still copied whole
        // The subsystem data itself is an ordinary variable in its copy.
        {built, {"oc", "big"}, {"A", "st", "c", ""}},
    };
    for (const auto& c : kCases) {
        const Bytes subsystem = SubsystemElement(ReadFile(c.file));
        ASSERT_FALSE(subsystem.empty()) << c.file;
        for (const char* variable : c.carry) EXPECT_EQ(SubsystemElement(Extracted(c.file, variable)), subsystem) << variable;
        for (const char* variable : c.plain) EXPECT_EQ(SubsystemOffset(Extracted(c.file, variable)), 0u) << variable;
    }
    // Through the plug-in too: a function handle is copied whole, with its workspace.
    for (const char* variable : {"sin", "anonymous"}) {
        const std::string folder = dir.file(std::string("plugin-") + variable);
        ASSERT_EQ(Run({"extract", Sample("function_handles.mat"), variable, "-d", folder}).status, 0);
        ASSERT_EQ(support::Entries(folder).size(), 1u);
        extracted.push_back(folder + "/" + support::Entries(folder)[0]);
        EXPECT_EQ(support::VariableNames(extracted.back()), (std::vector<std::string>{variable, ""}));
    }
#if !defined(_WIN32)   // scipy reads what was extracted
    std::string command = support::Python() + " -c 'import sys, scipy.io as sio\nfor f in sys.argv[1:]: sio.loadmat(f)'";
    for (const std::string& file : extracted) command += " '" + file + "'";
    EXPECT_EQ(std::system((command + " >'" + dir.file("scipy.log") + "' 2>&1").c_str()), 0) << support::ReadText(dir.file("scipy.log"));
#endif

    // Deletion: the unnamed variable stays while others refer to it.
    const Bytes before = ReadFile(built);
    const ToolRun refused = Run({"delete", "--yes", built, "%__function_workspace__"});
    EXPECT_NE(refused.status, 0);
#if !defined(_WIN32)   // Windows shows the reason in the system's message box
    EXPECT_NE(refused.err.find("holds the subsystem data"), std::string::npos) << refused.err;
#endif
    EXPECT_EQ(ReadFile(built), before);
    // Variables that refer to nothing go; the unnamed one stays for "oc"; with
    // the last object variable it may go too.
    Run({"delete", "--yes", built, "A", "st", "c", "%__function_workspace__"});
    EXPECT_EQ(support::VariableNames(built), (std::vector<std::string>{"oc", "big", ""}));
    EXPECT_EQ(Run({"delete", "--yes", built, "oc", "%__function_workspace__"}).status, 0);
    EXPECT_EQ(support::VariableNames(built), std::vector<std::string>{"big"});

    // Unnamed, it goes with the last variable that refers to it.
    const std::string handles = dir.file("handles.mat");
    fs::copy_file(Sample("function_handles.mat"), handles);
    EXPECT_EQ(Run({"delete", "--yes", handles, "sin"}).status, 0);
    EXPECT_EQ(support::VariableNames(handles), (std::vector<std::string>{"anonymous", ""}));
    EXPECT_EQ(Run({"delete", "--yes", handles, "anonymous"}).status, 0);
    EXPECT_EQ(support::VariableNames(handles), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(handles).size(), 128u);
}

// Object arrays list their size; damaged objects leave the rest of the file
// usable; the viewer shows what objects hold once asked to (the option is
// written to the settings file only once set).
TEST_F(Objects, ObjectFilesListAndTheViewerShowsWhatTheyHoldWhenAsked) {
    const ToolRun listed = Run({"list", Sample("user_defined_classdefs.mat")});
    EXPECT_NE(listed.out.find("\"obj_array.testclasses.basicclass [2x2] \""), std::string::npos) << listed.out;
    for (const char* file : {"corrupted_mcos_object_metadata.mat", "corrupted_subsystem.mat"}) {
        const ToolRun damaged = Run({"list", Sample(file)});
        EXPECT_EQ(damaged.status, 0) << damaged.err;
        EXPECT_NE(damaged.out.find("\"var.datetime [1x1] \""), std::string::npos) << damaged.out;
        EXPECT_EQ(Run({"extract", Sample(file), "-d", dir.file(file)}).status, 0);
        EXPECT_EQ(Run({"view", Sample(file), "%__function_workspace__"}).status, 0);
    }
    // A version 7.3 struct of objects, extracted: its copy carries the file's #subsystem#.
    const std::string copied = dir.file("v73");
    ASSERT_EQ(Run({"extract", testenv::TestDataDir() + "/matlab73-struct_table_datetime/v73.mat", "s", "-d", copied}).status, 0);
    ASSERT_EQ(support::Entries(copied).size(), 1u);
    const std::string v73 = copied + "/" + support::Entries(copied)[0];
    const std::string built = dir.file("built.mat");
    WriteFile(built, BuiltTimesAndTables());
    const std::string built3 = dir.file("built3.mat");
    WriteFile(built3, BuiltTimesAndTables(3));
    // A named time zone from the system's data; where there is none (Windows), the time in UTC, said so.
    const std::string newYork = fs::exists("/usr/share/zoneinfo/America/New_York")
                                    ? "ny = datetime [2x1] = 02-Dec-2019 11:42:49 EST, 02-Jul-2019 12:42:49 EDT\n"
                                    : "ny = datetime [2x1] = 02-Dec-2019 16:42:49 UTC (in UTC: time zone America/New_York not known here)";
    const std::string classdefs = "user_defined_classdefs.mat";
    const struct { std::string file; const char* variable; std::vector<const char*> shown; } kCases[] = {
        {classdefs, "obj_with_vals", {"TestClasses.BasicClass [1x1]", "a = double [1x1] = 10"}},
        {classdefs, "obj_with_default_val", {"TestClasses.DefaultClass", "a = string [1x1] = \"Default String\"", "b = double [1x1] = 10"}},
        {classdefs, "obj_array", {"TestClasses.BasicClass [2x2]", "(1,1)\n\t    a = double [1x1] = 1", "(1,2)\n\t    a = double [1x1] = 2"}},
        {classdefs, "obj_with_nested_props", {"a = TestClasses.BasicClass [1x1]\n\t    a = double [1x1] = 1", "{1} = TestClasses.BasicClass",
                                              "b = char [1x4] = 'Obj1'", "InnerProp = TestClasses.BasicClass [1x1]\n\t      a = double [1x1] = 2"}},
        {classdefs, "obj_handle_2", {"TestClasses.HandleClass [1x1]", "a = double [1x1] = 20"}},
        // MATLAB's grid: names centred over underscores, numbers right-aligned, text left, row names first.
        {"struct_table_datetime.mat", "s",
         {"testDatetime = datetime [1x1] = 02-Dec-2019 16:42:49\n", "testTable = table [3x5]\n",
          "\t        FlightNum    Customer            Date            Rating                         Comment\n"
          "\t        _________    ________    ____________________    ______    _________________________________________________\n\n"
          "\t          1261       \"Jones\"     20-Dec-2016 00:00:00     Good     \"Flight left on time, not crowded\"\n"
          "\t           547       \"Brown\"     21-Dec-2016 00:00:00     Poor     \"Late departure, ran out of dinner options\"\n"
          "\t          3489       \"Smith\"     22-Dec-2016 00:00:00     Fair     \"Late, but only by half an hour. Otherwise fine.\"\n",
          "testDatetimeComplex = datetime [1x1] = 06-Dec-2025 20:28:39\n"}},
        {v73, "s", {"testDatetime = datetime [1x1] = 02-Dec-2019 16:42:49\n", "\t          3489       \"Smith\"     22-Dec-2016 00:00:00     Fair"}},
        {built, "s",
         {"\t  t = table [2x5]\n"
          "\t                    Age       Name              When           Took         BP\n"
          "\t                    ___    ___________    ________________    ______    __________\n\n"
          "\t        P1           38    {'Sanchez'}    2016-12-20 08:30     01:30    124     93\n"
          "\t        Patient2    4.5    {'Li'     }    2016-12-21 00:00    -00:05    109     77\n"
          "\t  d = datetime [1x1] = Monday, December 2, 2019 5:42:49.6345 PM at +01:00\n"
          "\t  dur = duration [1x1] = 1.5 hr\n",
          "\t        20\n\t    ... 5 of 25 rows not shown\n", newYork.c_str()}},
        {built3, "s", {"\t  d = datetime [1x1] = Monday, December 2, 2019 5:42:49.6345 PM at +01:00\n"}},
        {"dynamicprops.mat", "obj", {"TestClasses.BasicDynamic [1x1]"}},
        {"function_handles.mat", "sin", {"\tfunction_handle with value:\n\t  @sin\n"}},
        {"function_handles.mat", "anonymous", {"\tfunction_handle with value:\n\t  @(x)x\n"}},
        {"corrupted_mcos_object_metadata.mat", "var", {"datetime [1x1] (error: object id 3 not in the object data)"}},
        {"corrupted_subsystem.mat", "var", {"datetime [1x1] (object metadata of unknown version"}},
    };
    const std::string settings = "[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\nPackEnabled=1\n";
    support::WriteText(io.file("wcx.ini"), settings);
    EXPECT_NE(Run({"options"}).out.find("ShowContents     = 1"), std::string::npos);   // on without the key
    ASSERT_EQ(Run({"options", "--contents", "off"}).status, 0);
    const ToolRun hidden = Run({"view", Sample("user_defined_classdefs.mat"), "obj_array"});
    EXPECT_EQ(hidden.out.substr(hidden.out.find(" =\n") + 3), "Class NOT Supported\n") << hidden.out;
    ASSERT_EQ(Run({"options", "--contents", "on"}).status, 0);
#if !defined(_WIN32)   // the Linux writer's "\n" settings file
    EXPECT_EQ(support::ReadText(io.file("wcx.ini")), settings + "ShowContents=1\n");
#endif
    for (const auto& c : kCases) {
        const ToolRun view = Run({"view", c.file == v73 || c.file == built || c.file == built3 ? c.file : Sample(c.file), c.variable});
        ASSERT_EQ(view.status, 0) << c.file << " " << c.variable << view.err;
        for (const char* text : c.shown) EXPECT_NE(view.out.find(text), std::string::npos) << text << "\n" << view.out;
    }
}

// The subsystem data of user_defined_classdefs.mat cut at every 7th offset
// and with bytes changed at seeded places: every text ends inside its buffer
// and either shows the object or names the damage.
TEST_F(Objects, DamagedSubsystemDataIsNamedNeverMisread) {
    const std::string sample = Sample("user_defined_classdefs.mat");
    const Bytes one = Extracted(sample, "obj_with_default_val");
    const Bytes object(one.begin() + 128, one.begin() + static_cast<std::ptrdiff_t>(SubsystemOffset(one)));
    support::FilePtr in(matOpen(sample.c_str(), "r"));
    support::ArrayPtr unnamed(in ? matGetArray(in.get(), "") : nullptr);
    ASSERT_TRUE(unnamed && mxGetPr(unnamed.get()));
    const auto* data = static_cast<const uint8_t*>(mxGetPr(unnamed.get()));
    const Bytes payload(data, data + mxGetNumberOfElements(unnamed.get()));
    auto describeFile = [&](const Bytes& file) {
        WriteFile(dir.file("damaged.mat"), file);
        support::FilePtr m(matOpen(dir.file("damaged.mat").c_str(), "r"));
        support::ArrayPtr array(m ? matGetArray(m.get(), "obj_with_default_val") : nullptr);
        char text[2048];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(array ? mxDescribeValue(array.get(), text, sizeof text) : 1, 0);
        EXPECT_NE(std::memchr(text, '\0', sizeof text), nullptr);
        return std::string(text);
    };
    auto describe = [&](const Bytes& subsystem) {
        const std::vector<double> values(subsystem.begin(), subsystem.end());
        return describeFile(
            WithSubsystem({object}, NumericVar(Order::Little, "", mxUINT8, {static_cast<int32_t>(values.size()), 1}, values)));
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
        const bool named = text.find("error") != std::string::npos || text.find("metadata") != std::string::npos ||
                           text.find("subsystem") != std::string::npos || text.find("object data") != std::string::npos;
        EXPECT_TRUE(cut >= firstEnd ? text == whole : named) << "cut at " << cut << ":\n" << text;
    }
    // Array flags stored as another type than 32-bit integers: damage, never read as flags.
    const Bytes flagsTag = {14, 0, 0, 0}, flagsType = {6, 0, 0, 0, 8, 0, 0, 0};
    for (size_t at = 8; at + 16 <= payload.size(); at += 8) {
        if (!std::equal(flagsTag.begin(), flagsTag.end(), payload.begin() + at) ||
            !std::equal(flagsType.begin(), flagsType.end(), payload.begin() + at + 8)) {
            continue;
        }
        Bytes changed = payload;
        changed[at + 8] = 9;   // miDOUBLE
        EXPECT_NE(describe(changed), whole) << "flags of the array at " << at;
        break;
    }
    // A header offset of blanks (MATLAB's "none"), inside the header or past
    // the file's end names no subsystem data: the object says so.
    for (const uint64_t offset : {uint64_t{0x2020202020202020}, uint64_t{64}, uint64_t{1} << 40}) {
        Bytes file = File5(Order::Little, {object});
        std::memcpy(file.data() + 116, &offset, 8);
        const std::string text = describeFile(file);
        EXPECT_NE(text.find("the file holds no subsystem data"), std::string::npos) << offset << ": " << text;
    }
    uint32_t seed = 17;
    for (int i = 0; i < 300; ++i) {
        seed = seed * 1103515245u + 12345u;
        Bytes changed = payload;
        changed[(seed >> 8) % changed.size()] ^= static_cast<uint8_t>(1u << (seed % 8));
        describe(changed);   // any text, within its buffer; ASan watches the reads
    }
}

// Level-5 objects of every kind written into version 7.3 files, by each
// path (a new file, converted back again, "Extract as" 7.3, added into a
// version 7.3 file without objects, and into one with objects of its own),
// read back as the viewer shows the source. Subsystem data of a form not
// written is refused as not supported, nothing written.
TEST_F(Objects, ObjectsGoIntoVersion73FilesAndReadBackTheSame) {
    const std::string oldStyle = testenv::TestDataDir() + "/matlab/testobject_7.4_GLNX86.mat";   // an inline class() object
    const struct { std::string file; std::vector<std::string> variables; } kKinds[] = {
        {Sample("struct_table_datetime.mat"), {"s"}},   // datetime, table, string, categorical in a struct
        {Sample("user_defined_classdefs.mat"), {"obj_no_vals", "obj_with_vals", "obj_with_default_val",
                                                "obj_with_nested_props", "obj_array", "obj_handle_1", "obj_handle_2"}},
        {Sample("dynamicprops.mat"), {"obj"}},
        {Sample("function_handles.mat"), {"sin", "anonymous"}},
        {oldStyle, {"testobject"}},
    };
    ASSERT_EQ(Run({"options", "--contents", "on", "--extract-as", "7.3"}).status, 0);
    const std::string plain73 = testenv::TestDataDir() + "/matlab73-cell/v73.mat";
    int made = 0;
    for (const auto& k : kKinds) {
        const std::string n = std::to_string(++made), to73 = dir.file(n + ".v73.mat"), back = dir.file(n + ".v7.mat");
        const std::string added = dir.file(n + ".added.mat"), folder = dir.file(n + ".extracted");
        fs::copy_file(plain73, added);
        ASSERT_EQ(Run({"convert", k.file, to73, "--to", "7.3"}).status, 0) << k.file;
        ASSERT_EQ(Run({"convert", to73, back, "--to", "7"}).status, 0) << k.file;
        ASSERT_EQ(Run({"add", "--yes", added, k.file}).status, 0) << k.file;
        for (const std::string& v : k.variables) {
            SCOPED_TRACE(k.file + " " + v);
            const ToolRun source = Run({"view", k.file, v});
            ASSERT_EQ(source.status, 0) << source.err;
            ASSERT_EQ(Run({"extract", k.file, v, "-d", folder}).status, 0);
            const std::string extracted = folder + "/" + support::Entries(folder).back();
            EXPECT_EQ(support::ReadText(extracted).substr(0, 10), "MATLAB 7.3");
            for (const std::string& file : {to73, back, added, extracted}) {
                const ToolRun viewed = Run({"view", file, v});
                EXPECT_EQ(viewed.out, source.out) << file << ": " << viewed.err;
            }
            fs::remove(extracted);
        }
    }
    // Into a version 7.3 file that holds objects of its own: the subsystem
    // data merged, the file's own first, every variable read as in its source.
    const std::string own = dir.file("own.v73.mat"), none = dir.file("none.mat");
    ASSERT_EQ(Run({"convert", kKinds[1].file, own, "--to", "7.3"}).status, 0);
    ASSERT_EQ(Run({"add", "--yes", own, kKinds[0].file}).status, 0);
    for (const auto* k : {&kKinds[0], &kKinds[1]}) {
        for (const std::string& v : k->variables) EXPECT_EQ(Run({"view", own, v}).out, Run({"view", k->file, v}).out) << v;
    }
    // Objects of a version 7.3 file meet a level-5 file's, and another
    // version 7.3 file's, in targets of both kinds with and without objects
    // of their own: each variable reads as in its source.
    const std::string table73 = testenv::TestDataDir() + "/matlab73-struct_table_datetime/v73.mat";
    const std::string classes73 = dir.file("2.v73.mat");   // the classdef objects converted above
    const std::string classes7 = dir.file("classes.v7.mat"), copy73 = dir.file("classes.copy.v73.mat");
    const std::string mixed = dir.file("mixed.mat");
    fs::copy_file(kKinds[1].file, classes7);
    fs::copy_file(classes73, copy73);
    fs::copy_file(plain73, mixed);
    const struct { std::string target; std::vector<std::string> sources; } kMeetings[] = {
        {classes7, {table73}},
        {copy73, {table73}},
        {dir.file("both73.mat"), {classes73, table73}},   // a new file
        {mixed, {table73, kKinds[1].file}},
    };
    for (const auto& m : kMeetings) {
        std::vector<std::string> args = {"add", "--yes", m.target};
        args.insert(args.end(), m.sources.begin(), m.sources.end());
        const ToolRun run = Run(args);
        ASSERT_EQ(run.status, 0) << m.target << run.err;
        for (const auto* k : {&kKinds[0], &kKinds[1]}) {
            for (const std::string& v : k->variables) {
                const ToolRun viewed = Run({"view", m.target, v});
                EXPECT_EQ(viewed.out, Run({"view", k->file, v}).out) << m.target << " " << v << ": " << viewed.err;
            }
        }
    }
    // Subsystem data of an unknown version, and a Java object: refused as
    // not done (never as a failed write), nothing written.
    const Bytes before = ReadFile(own);
    const std::string java = dir.file("java.mat");
    WriteFile(java, File5(Order::Little, {OpaqueVar(Order::Little, "j", "java.lang.String", NumericVar(Order::Little, "", mxUINT8, {1, 4}, {1, 2, 3, 4}), "java")}));
    const ToolRun added = Run({"add", "--yes", own, Sample("corrupted_subsystem.mat")});
    const ToolRun converted = Run({"convert", Sample("corrupted_subsystem.mat"), none, "--to", "7.3"});
    const ToolRun javaAdded = Run({"add", "--yes", own, java});
    const ToolRun javaConverted = Run({"convert", java, none, "--to", "7.3"});
    for (const ToolRun& refused : {added, converted, javaAdded, javaConverted}) {
#if defined(_WIN32)   // the reason is in the system's message box
        EXPECT_NE(refused.err.find("(E_EABORTED)"), std::string::npos) << refused.err;
#else
        EXPECT_NE(refused.err.find("(E_NOT_SUPPORTED)"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("its variable "), std::string::npos) << refused.err;
#endif
    }
    EXPECT_EQ(ReadFile(own), before);
    EXPECT_FALSE(fs::exists(none));
}

}  // namespace

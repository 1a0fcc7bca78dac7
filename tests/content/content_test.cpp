// The content plug-in loaded as the hosts load it: its fields on the test
// files against the writers' own descriptions, the hosts' buffer and flag
// rules, search, compare, and the find and diff commands.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "content/mat_summary.h"
#include "support/support.h"
#include "tools/content_host.h"
#include "tools/plugin_host.h"

namespace {

using namespace matbuild;
constexpr Order le = Order::Little, be = Order::Big;

const matwcx::ContentHost& Host() {
    static matwcx::ContentHost host;
    static const bool loaded = [] {
        std::string error;
        const bool ok = host.Load(testenv::Get("MATWCX_CONTENT_PLUGIN"), &error);
        if (!ok) ADD_FAILURE() << error;
        return ok;
    }();
    EXPECT_TRUE(loaded);
    return host;
}

int Field(const char* name) {
    const int index = Host().FieldIndex(name);
    EXPECT_GE(index, 0) << name;
    return index;
}

struct Got {
    int result = 0;
    std::string text;    // strings and choices (UTF-8)
    int64_t number = 0;  // numbers, booleans, FILETIME
};

// ContentGetValueW as Double Commander calls it: a 2 KB buffer unless given.
Got Value(const std::string& path, const char* field, int unit = 0, int flags = 0, int maxlen = 2048) {
    std::vector<uint8_t> buffer(static_cast<size_t>(maxlen) + 16, 0xAB);
    const matwcx::WideString wide = matwcx::Wide(path);
    Got got;
    got.result = Host().api().ContentGetValueW(const_cast<WCHAR*>(wide.c_str()), Field(field), unit, buffer.data(),
                                               maxlen, flags);
    for (size_t i = static_cast<size_t>(maxlen); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xAB) << "past maxlen";
    if (got.result == ft_stringw || got.result == ft_fulltextw) {
        got.text = matwcx::Narrow(reinterpret_cast<const WCHAR*>(buffer.data()));
    } else if (got.result == ft_multiplechoice) {
        got.text = reinterpret_cast<const char*>(buffer.data());
    } else if (got.result == ft_numeric_32 || got.result == ft_boolean) {
        int32_t v;
        std::memcpy(&v, buffer.data(), 4);
        got.number = v;
    } else if (got.result == ft_numeric_64 || got.result == ft_datetime) {
        std::memcpy(&got.number, buffer.data(), 8);
    }
    return got;
}

std::string Data(const std::string& relative) { return testenv::TestDataDir() + "/" + relative; }

// ---- fields against the writers' descriptions ---------------------------------------

// Each .json beside a test file: "path<TAB>format<TAB>name,class;name,class;..." (named variables).
std::vector<std::vector<std::string>> Descriptions() {
#if defined(_WIN32)
    return {};   // no Python beside the Windows build
#endif
    const std::string command = support::Python() + " '" + testenv::Get("MATWCX_SOURCE_DIR") +
                                "/tests/content/describe.py' '" + testenv::TestDataDir() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::vector<std::vector<std::string>> rows;
    if (pipe == nullptr) return rows;
    char line[1 << 16];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::vector<std::string> row;
        std::stringstream fields(std::string(line, std::strcspn(line, "\n")));
        for (std::string f; std::getline(fields, f, '\t');) row.push_back(f);
        if (row.size() == 2) row.push_back("");
        if (row.size() == 3) rows.push_back(row);
    }
    ::pclose(pipe);
    return rows;
}

TEST(ContentFields, AgreeWithTheWritersDescriptions) {
    const auto rows = Descriptions();
    ASSERT_GT(rows.size(), 20u);
    int checked = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        // Damaged at its first variable: no field but Damaged (below).
        MATFile* probe = matOpen(row[0].c_str(), "r");
        const bool readable = probe != nullptr && matGetVariableCount(probe) >= 0;
        if (probe != nullptr) matClose(probe);
        if (!readable) {
            EXPECT_EQ(Value(row[0], "Variables").result, ft_fileerror);
            EXPECT_EQ(Value(row[0], "Damaged").number, 1);
            continue;
        }
        std::string names, list;
        std::stringstream vars(row[2]);
        int count = 0;
        for (std::string v; std::getline(vars, v, ';');) {
            const std::string name = v.substr(0, v.find(',')), cls = v.substr(v.find(',') + 1);
            names += (names.empty() ? "" : ", ") + name;
            list += name + " " + cls + " ";
            ++count;
        }
        EXPECT_EQ(Value(row[0], "Variables").number, count);
        if (count > 0 && names.size() < 2000) { EXPECT_EQ(Value(row[0], "Variable names").text, names); }
        const Got version = Value(row[0], "MAT version");
        ASSERT_EQ(version.result, ft_multiplechoice);
        if (row[1] == "5") {
            EXPECT_TRUE(version.text == "5" || version.text == "7");
            EXPECT_EQ(Value(row[0], "Compressed").number, version.text == "7" ? 1 : 0);
        } else {
            EXPECT_EQ(version.text, row[1]);
        }
        // The full text: one "name class dims" line a variable.
        std::string text;
        int result = 0;
        ASSERT_TRUE(Host().FullText(row[0], Field("Variable list"), 64, &text, &result));
        std::string got;
        std::stringstream lines(text);
        for (std::string l; std::getline(lines, l);) {
            std::string nameAndClass = l.substr(0, l.rfind(' '));
            const std::string name = nameAndClass.substr(0, nameAndClass.find(' '));
            if (list.find(name + " * ") != std::string::npos) nameAndClass = name + " *";
            got += nameAndClass + " ";
        }
        EXPECT_EQ(got, list);
        ++checked;
    }
    EXPECT_GT(checked, 20);
    // Four threads at once on all the files: each reads the same twice.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (const auto& row : rows) {
                const Got a = Value(row[0], "Variable list", 0);
                const Got b = Value(row[0], "Variable list", 0);
                if (a.result != b.result || a.text != b.text) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ContentFields, HeaderFieldsOfKnownFiles) {
    const struct {
        const char* file;
        const char* version;
        int compressed, objects, damaged;   // -1: field empty
        const char* writtenBy;              // "": field empty
        bool created;
    } cases[] = {
        {"matlab/little_endian.mat", "7", 1, 0, 0, "MATLAB 5.0 MAT-file, Platform: GLNXA64", true},
        {"matlab/corrupted_zlib_checksum.mat", "7", 1, 0, 1, "MATLAB 5.0 MAT-file, Platform: PCWIN64", true},
        {"matlab/corrupted_zlib_data.mat", "7", 1, 0, 1, "MATLAB 5.0 MAT-file, Platform: PCWIN64", true},
        {"matlab73-simple/v73.mat", "7.3", -1, 0, 0, "MATLAB 7.3 MAT-file, Platform: GLNXA64", true},
        {"scipy/v4.mat", "4", 0, 0, 0, "", false},
        {"scipy/v5.mat", "5", 0, 1, 0, "", true},
        {"objects/user_defined_classdefs.mat", "7", 1, 1, 0, "MATLAB 5.0 MAT-file", true},
        {"objects/function_handles.mat", "7", 1, 1, 0, "MATLAB 5.0 MAT-file", true},
        // "@": MATLAB's own files; function handles, damaged object data.
        {"@v7.3/function_handles.mat", "7.3", -1, 1, 0, "MATLAB 7.3 MAT-file", true},
        {"@v7.3/struct.mat", "7.3", -1, 0, 0, "MATLAB 7.3 MAT-file", true},
        {"@v7/corrupted_subsystem.mat", "5", 0, 1, 1, "MATLAB 5.0 MAT-file", true},
        {"@v7/corrupted_mcos_object_metadata.mat", "5", 0, 1, 1, "MATLAB 5.0 MAT-file", true},
    };
    for (const auto& c : cases) {
        const std::string path = c.file[0] == '@' ? testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/" + (c.file + 1)
                                                  : Data(c.file);
        SCOPED_TRACE(c.file);
        EXPECT_EQ(Value(path, "MAT version").text, c.version);
        const Got compressed = Value(path, "Compressed");
        EXPECT_EQ(c.compressed < 0 ? ft_fieldempty : ft_boolean, compressed.result);
        if (c.compressed >= 0) { EXPECT_EQ(compressed.number, c.compressed); }
        EXPECT_EQ(Value(path, "Holds objects").number, c.objects);
        EXPECT_EQ(Value(path, "Damaged").number, c.damaged);
        const Got written = Value(path, "Written by");
        if (c.writtenBy[0] == '\0' && std::string(c.version) == "4") { EXPECT_EQ(written.result, ft_fieldempty); }
        if (c.writtenBy[0] != '\0') { EXPECT_EQ(written.text.rfind(c.writtenBy, 0), 0u) << written.text; }
        EXPECT_EQ(written.text.find("Created"), std::string::npos);
        EXPECT_EQ(Value(path, "Created").result, c.created ? ft_datetime : ft_fieldempty);
    }
    // Created is the header's date in UTC: 2005-02-18 10:28:03 in 100 ns since 1601.
    testenv::TempDir dir;
    const std::string path = dir.file("d.mat");
    const char* text = "MATLAB 5.0 MAT-file, written by Octave 7.3.0, 2005-02-18 10:28:03 UTC";
    WriteFile(path, File5(le, {NumericVar(le, "x", mxDOUBLE, {1, 1}, {1})}, text));
    EXPECT_EQ(Value(path, "Created").number, (int64_t{1108722483} + 11644473600) * 10000000);
    EXPECT_EQ(Value(path, "Written by").text, text);
    // Those two read the header alone: the variables are read when asked for.
    EXPECT_EQ(Value(path, "Variables").number, 1);
}

// MATLAB's version 7 and 7.3 files of the same data hold objects alike: a
// table and datetimes inside a struct, function handles. An object counts
// the bytes of its own element (its values beyond that stay in the
// subsystem data), never 0.
TEST(ContentFields, ObjectsFoundAtAnyDepthInBothFormats) {
    const std::string matlab = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/";
    const struct {
        const char* file;
        int objects;
        bool objectVariables;
    } cases[] = {
        {"struct_table_datetime.mat", 1, false},
        {"function_handles.mat", 1, true},
        {"struct.mat", 0, false},
        {"cell.mat", 0, false},
    };
    for (const auto& c : cases) {
        for (const char* version : {"v7/", "v7.3/"}) {
            const std::string path = matlab + version + c.file;
            SCOPED_TRACE(path);
            EXPECT_EQ(Value(path, "Holds objects").number, c.objects);
            if (c.objectVariables) {
                EXPECT_GT(Value(path, "Data bytes").number, 0);
                EXPECT_EQ(Value(path, "Largest variable").text.find("(0 bytes)"), std::string::npos);
            }
        }
    }
}

TEST(ContentFields, SizesUnitsAndLargest) {
    testenv::TempDir dir;
    const std::string path = dir.file("s.mat");
    WriteFile(path, File5(be, {NumericVar(be, "small", mxINT8, {1, 3}, {1, 2, 3}),
                               Compressed(be, NumericVar(be, "big", mxDOUBLE, {512, 300}, Iota(153600))),
                               NumericVar(be, "", mxUINT8, {1, 8}, Iota(8))}));
    const int64_t bytes = 3 + 153600 * 8;
    for (int unit = 0; unit < 4; ++unit) EXPECT_EQ(Value(path, "Data bytes", unit).number, bytes >> (10 * unit)) << unit;   // bytes, KB, MB, GB
    EXPECT_EQ(Value(path, "Largest variable").text, "big (1228800 bytes)");
    EXPECT_EQ(Value(path, "Variables").number, 2);   // MATLAB's unnamed variable is not one
    EXPECT_EQ(Value(path, "Classes").text, "int8, double");
    EXPECT_EQ(Value(path, "Holds objects").number, 1);
    EXPECT_EQ(Value(path, "MAT version").text, "7");
}

// ---- the hosts' rules ------------------------------------------------------------------

TEST(ContentRules, FieldTableAndExports) {
    char name[260], units[260];
    const auto& api = Host().api();
    EXPECT_EQ(api.ContentGetSupportedField(Host().fields().size(), name, units, 260), ft_nomorefields);
    EXPECT_EQ(api.ContentGetSupportedField(-1, name, units, 260), ft_nomorefields);
    EXPECT_EQ(api.ContentGetSupportedField(ft_comparebaseindex, name, units, 260), ft_comparecontent);
    EXPECT_EQ(api.ContentGetSupportedField(0, name, units, 5), ft_nomorefields) << "a name that does not fit";
    EXPECT_EQ(Host().fields().back().type, ft_fulltext) << "full-text fields come last";
    EXPECT_EQ(Host().fields()[Field("MAT version")].units, "4|5|7|7.3");
    EXPECT_EQ(Host().fields()[Field("Data bytes")].units, "bytes|KB|MB|GB");
    for (const auto& f : Host().fields()) {
        EXPECT_EQ(f.name.find_first_of(".|:"), std::string::npos) << f.name;
    }
    EXPECT_EQ(api.ContentGetSupportedFieldFlags(Field("Has variable")), contflags_fieldsearch | contflags_searchpageonly);
    EXPECT_EQ(api.ContentGetSupportedFieldFlags(-1), contflags_fieldsearch | contflags_searchpageonly);
    EXPECT_EQ(api.ContentGetDefaultSortOrder(Field("Data bytes")), -1);
    char detect[2048];
    api.ContentGetDetectString(detect, sizeof detect);
    EXPECT_STREQ(detect, "EXT=\"MAT\"");
    api.ContentGetDetectString(detect, 4);
    EXPECT_STREQ(detect, "");
    char ops[64];
    EXPECT_EQ(api.ContentGetSupportedOperators(Field("Has variable"), ops, sizeof ops), 4);
    EXPECT_EQ(api.ContentGetSupportedOperators(0, ops, sizeof ops), 0);
}

TEST(ContentRules, BadFieldsPathsAndBuffers) {
    const std::string path = Data("scipy/v5.mat");
    const auto& api = Host().api();
    uint8_t buffer[64];
    const matwcx::WideString wide = matwcx::Wide(path);
    for (int field : {-1, static_cast<int>(Host().fields().size()), ft_comparebaseindex, 1 << 30}) {
        EXPECT_EQ(api.ContentGetValueW(const_cast<WCHAR*>(wide.c_str()), field, 0, buffer, sizeof buffer, 0), ft_nosuchfield);
        EXPECT_EQ(api.ContentGetValue(const_cast<char*>(path.c_str()), field, 0, buffer, sizeof buffer, 0), ft_nosuchfield);
    }
    testenv::TempDir dir;
    support::WriteText(dir.file("text.mat"), "not a MAT-file at all, just text long enough to look at");
    const std::string longPath = dir.path() + "/" + std::string(5000, 'a') + ".mat";
    for (const std::string& p : {dir.file("missing.mat"), dir.file("text.mat"), longPath, dir.path()}) {
        SCOPED_TRACE(p.substr(0, 80));
        EXPECT_EQ(Value(p, "Variables").result, ft_fileerror);
        EXPECT_EQ(api.ContentGetValue(const_cast<char*>(p.c_str()), Field("Variables"), 0, buffer, sizeof buffer, 0), ft_fileerror);
    }
    WCHAR lone[] = {'/', 't', 0xD800, 'x', 0};
    EXPECT_EQ(api.ContentGetValueW(lone, Field("Variables"), 0, buffer, sizeof buffer, 0), ft_fileerror);
    EXPECT_EQ(api.ContentGetValueW(nullptr, Field("Variables"), 0, buffer, sizeof buffer, 0), ft_fileerror);
    // Numbers that do not fit are refused (a text without room for "..." too); texts are cut with "...".
    for (const auto& [field, maxlen] : {std::pair{"Variables", 3}, {"Data bytes", 7}, {"Created", 7}, {"Variables", 0}, {"Variable names", 7}}) {
        EXPECT_EQ(Value(path, field, 0, 0, maxlen).result, ft_fieldempty) << field << " " << maxlen;
    }
    const Got cut = Value(path, "Variable names", 0, 0, 20);
    EXPECT_EQ(cut.result, ft_stringw);
    EXPECT_EQ(cut.text, "d_matr...");   // 20 bytes: 9 UTF-16 units and the terminator
    char ansi[12];
    EXPECT_EQ(api.ContentGetValue(const_cast<char*>(path.c_str()), Field("Variable names"), 0, ansi, sizeof ansi, 0), ft_string);
    EXPECT_STREQ(ansi, "d_matrix...");
}

TEST(ContentRules, FullTextBlocksAsTotalCommanderAsksThem) {
    const std::string path = Data("scipy/v5.mat");
    std::string whole;
    int result = 0;
    ASSERT_TRUE(Host().FullText(path, Field("Variable list"), 4096, &whole, &result));
    // ANSI blocks of maxlen-1 bytes, the next at offset + maxlen - 1.
    std::string joined;
    char block[10];
    for (int offset = 0;; offset += sizeof block - 1) {
        const int r = Host().api().ContentGetValue(const_cast<char*>(path.c_str()), Field("Variable list"), offset, block,
                                                   sizeof block, 0);
        if (r == ft_fieldempty) break;
        ASSERT_EQ(r, ft_fulltext);
        joined += block;
        ASSERT_LE(std::strlen(block), sizeof block - 1);
    }
    EXPECT_EQ(joined, whole);
    EXPECT_EQ(Value(path, "Variable list", -1).result, ft_fieldempty);
}

TEST(ContentRules, SlowFieldsAreDelayedOrOnDemand) {
    testenv::TempDir dir;
    // Copies, so that no other test has them in the cache.
    std::filesystem::copy_file(Data("matlab73-simple/v73.mat"), dir.file("v73.mat"));
    std::filesystem::copy_file(Data("scipy/v5.mat"), dir.file("v5.mat"));
    EXPECT_EQ(Value(dir.file("v73.mat"), "Variables", 0, CONTENT_DELAYIFSLOW).result, ft_delayed);
    EXPECT_EQ(Value(dir.file("v5.mat"), "Variables", 0, CONTENT_DELAYIFSLOW).number, 33);
    EXPECT_EQ(Value(dir.file("v5.mat"), "Damaged", 0, CONTENT_DELAYIFSLOW).result, ft_ondemand);
    // Asked again from the background thread: the value; then known in the foreground too.
    EXPECT_EQ(Value(dir.file("v73.mat"), "Variables").number, 11);
    EXPECT_EQ(Value(dir.file("v73.mat"), "Variables", 0, CONTENT_DELAYIFSLOW).number, 11);
    EXPECT_EQ(Value(dir.file("v5.mat"), "Damaged").number, 0);
    EXPECT_EQ(Value(dir.file("v5.mat"), "Damaged", 0, CONTENT_DELAYIFSLOW).result, ft_boolean);
    // A changed file is read again.
    WriteFile(dir.file("v5.mat"), File5(le, {CharVar(le, "t", "abc")}));
    EXPECT_EQ(Value(dir.file("v5.mat"), "Variables").number, 1);
}

TEST(ContentRules, StopReachesOnlyCallsOnThatFile) {
    content::ActiveCall a("/x/a.mat"), b("/x/b.mat");
    content::ActiveCall::Stop("/x/a.mat");
    EXPECT_TRUE(a.stopped());
    EXPECT_FALSE(b.stopped());
}

// ---- search and compare ----------------------------------------------------------------

TEST(ContentSearch, HasVariable) {
    const std::string path = Data("scipy/v5.mat");
    const int has = Field("Has variable");
    const struct { int field, op; const char* name; int result; } cases[] = {
        {has, 0, "d_matrix", ft_found}, {has, 0, "d_matri", ft_notfound}, {has, 1, "d_matrix", ft_notfound},
        {has, 1, "nothere", ft_found},  {has, 2, "D_MATRI", ft_found},   {has, 3, "matri", ft_notfound},
        {has, 4, "x", ft_nosuchfield},  {0, 0, "x", ft_nosuchfield}};   // no such operator; a field not searched
    for (const auto& c : cases) {
        const char* text = c.name;
        EXPECT_EQ(Host().api().ContentFindValue(const_cast<char*>(path.c_str()), c.field, 0, c.op, ft_string, 0, &text), c.result)
            << c.field << " " << c.op << " " << c.name;
    }
}

int abortAfter = -1;
int WCX_CALL CountingProgress(int) { return abortAfter >= 0 && abortAfter-- == 0 ? 1 : 0; }

TEST(ContentCompare, SameValuesWhateverTheFormat) {
    testenv::TempDir dir;
    const std::vector<double> values = Iota(6, 1);
    std::vector<double> changed = values;
    changed[0] = changed[5] = 9;
    WriteFile(dir.file("a.mat"), File5(le, {NumericVar(le, "x", mxDOUBLE, {2, 3}, values), CharVar(le, "t", "abc")}));
    WriteFile(dir.file("b.mat"), File5(be, {CharVar(be, "t", "abc"), Compressed(be, NumericVar(be, "x", mxDOUBLE, {2, 3}, values))}));
    WriteFile(dir.file("c.mat"), File5(le, {NumericVar(le, "x", mxDOUBLE, {2, 3}, changed), CharVar(le, "u", "abc")}));
    support::WriteText(dir.file("t.mat"), "no MAT-file here, only some text of some length");
    auto compare = [&](const std::string& a, const std::string& b) {
        return Host().api().ContentCompareFiles(CountingProgress, ft_comparebaseindex, const_cast<char*>(a.c_str()),
                                                const_cast<char*>(b.c_str()), nullptr);
    };
    EXPECT_EQ(compare(dir.file("a.mat"), dir.file("b.mat")), ft_compare_eq);
    EXPECT_EQ(compare(dir.file("a.mat"), dir.file("c.mat")), ft_compare_not_eq);
    EXPECT_EQ(compare(dir.file("a.mat"), dir.file("t.mat")), ft_compare_next);
    EXPECT_EQ(compare(dir.file("a.mat"), dir.file("none.mat")), ft_compare_next);
    EXPECT_EQ(compare(Data("scipy/v5.mat"), Data("scipy/v5_compressed.mat")), ft_compare_eq);
    EXPECT_EQ(compare(Data("matlab/little_endian.mat"), Data("matlab/big_endian.mat")), ft_compare_eq);
    EXPECT_EQ(compare(Data("matlab73-simple/v5.mat"), Data("matlab73-simple/v73.mat")), ft_compare_eq);
    // Numbers whose stream's checksum is wrong: damage, not values.
    EXPECT_EQ(compare(Data("matlab/corrupted_zlib_checksum.mat"), Data("matlab/corrupted_zlib_checksum.mat")), ft_compare_err);
    EXPECT_EQ(Host().api().ContentCompareFiles(nullptr, ft_comparebaseindex + 1, nullptr, nullptr, nullptr), ft_compare_next);

    // Abort at the first progress call of a long comparison.
    WriteFile(dir.file("big1.mat"), File5(le, {NumericVar(le, "v", mxDOUBLE, {1, 4000000}, Iota(4000000))}));
    std::filesystem::copy_file(dir.file("big1.mat"), dir.file("big2.mat"));
    abortAfter = 0;
    EXPECT_EQ(compare(dir.file("big1.mat"), dir.file("big2.mat")), ft_compare_abort);
    abortAfter = -1;
    EXPECT_EQ(compare(dir.file("big1.mat"), dir.file("big2.mat")), ft_compare_eq);

    // diff names what differs and where.
    const support::ToolRun run = support::RunTool(dir, {"diff", dir.file("a.mat"), dir.file("c.mat")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(support::Unix(run.out),
              "missing  t  (only in the first file)\n"
              "added    u  (only in the second file)\n"
              "differs  x: 2 of 6 elements differ, first at (1,1) (2,3)\n");
    EXPECT_EQ(support::RunTool(dir, {"diff", dir.file("a.mat"), dir.file("b.mat")}).status, 0);
    // A report too small for every line still ends with the line that says so.
    char report[60];
    const matwcx::WideString wa = matwcx::Wide(dir.file("a.mat")), wc = matwcx::Wide(dir.file("c.mat"));
    EXPECT_EQ(Host().api().MatwcxDiffFilesW(const_cast<WCHAR*>(wa.c_str()), const_cast<WCHAR*>(wc.c_str()), report,
                                            sizeof report, nullptr),
              ft_compare_not_eq);
    EXPECT_STREQ(report, "... more differences left out\n");

    // A struct's description longer than a first look at it: a difference in its last field counts.
    for (const char* last : {"same", "other"}) {
        std::vector<std::string> fields;
        std::vector<Bytes> values;
        for (int i = 0; i < 2000; ++i) {
            fields.push_back("a_rather_long_field_name_number_" + std::to_string(i));
            values.push_back(CharVar(le, "", i + 1 < 2000 ? "text" : last));
        }
        WriteFile(dir.file(std::string(last) + ".mat"), File5(le, {StructVar(le, "s", {1, 1}, fields, values)}));
    }
    std::filesystem::copy_file(dir.file("same.mat"), dir.file("same2.mat"));
    EXPECT_EQ(compare(dir.file("same.mat"), dir.file("same2.mat")), ft_compare_eq);
    EXPECT_EQ(compare(dir.file("same.mat"), dir.file("other.mat")), ft_compare_not_eq);
}

// Structs, cells and function handles compare as MATLAB's isequaln: the
// first differing part is named by its path.
TEST(ContentCompare, NestedValuesAsIsequaln) {
    testenv::TempDir dir;
    const Bytes one = NumericVar(le, "", mxDOUBLE, {1, 1}, {1});
    const Bytes nan = NumericVar(le, "", mxDOUBLE, {1, 2}, {NAN, 2});
    const Bytes column = NumericVar(le, "", mxDOUBLE, {2, 2}, {1, 2, 3, 4});
    const Bytes empty = NumericVar(le, "", mxDOUBLE, {0, 0}, {});
    const Bytes text = CharVar(le, "", "test");
    auto handle = [](const std::string& function, const std::string& root) {
        return FunctionHandleVar(le, "v", StructVar(le, "", {1, 1}, {"matlabroot", "function_handle"},
                                                  {CharVar(le, "", root), StructVar(le, "", {1, 1}, {"function", "type"},
                                                   {CharVar(le, "", function), CharVar(le, "", "simple")})}));
    };
    struct Case { Bytes a, b; const char* difference; };   // null: equal
    const std::vector<Case> cases = {
        {StructVar(le, "v", {1, 1}, {"a", "b"}, {one, nan}), StructVar(le, "v", {1, 1}, {"b", "a"}, {nan, one}), nullptr},
        {CellVar(le, "v", {1, 3}, {empty, text, empty}), CellVar(le, "v", {1, 3}, {Tag(le, miMATRIX, 0), text, empty}), nullptr},
        {handle("sin", "/opt/matlab"), handle("sin", "C:\\MATLAB"), nullptr},
        {StructVar(le, "v", {1, 1}, {"a"}, {one}), StructVar(le, "v", {1, 1}, {"b"}, {one}), "v: field a only in the first"},
        {StructVar(le, "v", {1, 2}, {"a"}, {one, nan}), StructVar(le, "v", {1, 2}, {"a"}, {one, one}), "v(2).a: size 1x2 / 1x1"},
        {CellVar(le, "v", {1, 3}, {one, text, column}), CellVar(le, "v", {1, 3}, {one, text, NumericVar(le, "", mxDOUBLE, {2, 2}, {1, 5, 3, 4})}),
         "v{3}(2,1): values differ"},
        {CellVar(le, "v", {1, 2}, {one, text}), CellVar(le, "v", {1, 2}, {one, CharVar(le, "", "tess")}), "v{2}: text differs"},
        {CellVar(le, "v", {1, 1}, {one}), CellVar(le, "v", {1, 1}, {NumericVar(le, "", mxSINGLE, {1, 1}, {1})}), "v{1}: class double / single"},
        {CellVar(le, "v", {1, 1}, {column}), CellVar(le, "v", {1, 1}, {NumericVar(le, "", mxDOUBLE, {4, 1}, {1, 2, 3, 4})}), "v{1}: size 2x2 / 4x1"},
        {handle("sin", "/opt"), handle("cos", "/opt"), "v: function handles differ"},
    };
    for (const Case& c : cases) {
        WriteFile(dir.file("a.mat"), File5(le, {c.a}));
        WriteFile(dir.file("b.mat"), File5(le, {c.b}));
        const support::ToolRun run = support::RunTool(dir, {"diff", dir.file("a.mat"), dir.file("b.mat")});
        SCOPED_TRACE(c.difference ? c.difference : "equal");
        EXPECT_EQ(run.status, c.difference ? 1 : 0) << run.out;
        const std::string expected = std::string("differs  v: at ") + (c.difference ? c.difference : "");
        EXPECT_EQ(run.out.find(expected) != std::string::npos, c.difference != nullptr) << run.out;
    }
    // MATLAB's version 7 and 7.3 files of the same data (objects, function
    // handles, the subsystem variable) are equal.
    const std::string matlab = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/";
    size_t pairs = 0;
    for (const auto& file : std::filesystem::directory_iterator(matlab + "v7.3")) {
        const std::string twin = matlab + "v7/" + file.path().filename().string();
        if (!std::filesystem::exists(twin)) continue;
        ++pairs;
        const support::ToolRun run = support::RunTool(dir, {"diff", twin, file.path().string()});
        EXPECT_EQ(run.status, 0) << twin << "\n" << run.out;
    }
    EXPECT_GE(pairs, 11u);
}

TEST(ContentSearch, FindCommand) {
    testenv::TempDir dir;
    std::filesystem::create_directories(dir.file("sub"));
    std::filesystem::copy_file(Data("scipy/v5.mat"), dir.file("sub/A.MAT"));
    std::filesystem::copy_file(Data("scipy/v5.mat"), dir.file("b.mat"));
    std::filesystem::copy_file(Data("scipy/v5.mat"), dir.file("c.txt"));   // not a .mat name
    support::WriteText(dir.file("d.mat"), "no MAT-file, though named so");
    const support::ToolRun run = support::RunTool(dir, {"find", dir.path(), "--var", "i8", "--class", "int8"});
    EXPECT_EQ(run.status, 0) << run.err;
    // In the files' order, whichever thread read them.
    EXPECT_EQ(support::Unix(run.out), support::Path(dir.path(), "b.mat") + ": i8 int8 1x4\n" +
                                          support::Path(support::Path(dir.path(), "sub"), "A.MAT") + ": i8 int8 1x4\n");
    EXPECT_EQ(support::RunTool(dir, {"find", dir.path(), "--var", "i8", "--class", "double"}).status, 1);
    EXPECT_EQ(support::RunTool(dir, {"find", dir.path()}).status, 2);
}

}  // namespace

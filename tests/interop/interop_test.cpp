// Files that other programs wrote (scipy.io, matio, GNU Octave, MATLAB,
// numpy): the built plug-in lists, extracts and deletes every one of them and
// the engine reads and checks their values; oracle.py judges all of it against
// scipy and the independent header walker of the test data.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "import/import.h"
#include "os/host_rules.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

// The hosts' viewer folder that stands for the test folder `out`
// ("<dir>/<n>"): "<temp>/_dc~~~/<dir's name>/<n>".
std::string ViewerFolderOf(const std::string& out) {
    const fs::path path(out);
    return (fs::path(platform::HostTempFolders().at(0)) / "_dc~~~" / path.parent_path().filename() / path.filename()).string();
}

// Runs the judge `script` of this folder with the arguments: what it printed
// (it must exit 0 and print no FAIL line).
std::string Judge(const testenv::TempDir& dir, const std::string& script, const std::vector<std::string>& args) {
    std::string command = support::Python() + " '" + testenv::Get("MATWCX_SOURCE_DIR") + "/tests/interop/" + script + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const std::string report = dir.file(script + ".txt");
    const int status = std::system((command + " > '" + report + "' 2>&1").c_str());
    const std::string text = support::ReadText(report);
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(text.find("FAIL"), std::string::npos) << text;
    return text;
}

// Adds the file `name` of `folder` to `target` (PackFiles): the result.
int Pack(const testhost::Plugin& plugin, std::string target, std::string folder, const std::string& name) {
    std::string list = name + '\0' + '\0', sub;
    int result = -1;
    ::testing::internal::CaptureStderr();
    testhost::CaptureStdout([&] { result = plugin.PackFiles(target.data(), sub.data(), folder.data(), list.data(), 0); });
    ::testing::internal::GetCapturedStderr();
    return result;
}

// Extracts the current entry, the index'th, into the viewer folder of `out`
// (*viewer): the result.
int View(const testhost::Plugin& plugin, const testhost::Archive& archive, const std::string& out, size_t index,
         const std::string& name, std::string* viewer) {
    fs::create_directories(out + "/" + std::to_string(index));
    *viewer = ViewerFolderOf(out) + "/" + std::to_string(index) + "/" + name;
    int result = -1;
    testhost::CaptureStdout([&] { result = plugin.ProcessFile(archive.handle(), PK_EXTRACT, nullptr, viewer->data()); });
    return result;
}

std::string Number(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// The values line oracle.py gets from scipy, from the engine: up to 16
// elements column-major (real, then " | " and the imaginary parts), a sparse
// array's stored values, a char array's text.
std::string EngineValues(const mxArray* a) {
    std::string out;
    auto add = [&out](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
    if (mxIsSparse(a)) {
        const mwIndex* jc = mxGetJc(a);
        if (mxGetPr(a) == nullptr || jc == nullptr) return "<no data>";
        const size_t stored = std::min<size_t>(jc[mxGetN(a)], 16);
        for (int part = 0; part < (mxIsComplex(a) ? 2 : 1); ++part) {
            const void* data = part == 0 ? mxGetPr(a) : mxGetPi(a);
            for (size_t i = 0; i < stored; ++i) {
                add(Number(mxIsLogical(a) ? static_cast<const uint8_t*>(data)[i] : static_cast<const double*>(data)[i]));
            }
        }
        return out;
    }
    if (mxGetClassID(a) == mxCHAR_CLASS) {
        std::vector<char> text(4 * mxGetNumberOfElements(a) + 1);
        if (mxGetString(a, text.data(), text.size()) != 0) return "<no text>";
        for (const char* c = text.data(); *c != '\0'; ++c) {
            out += *c == '\\' ? "\\\\" : *c == '\n' ? "\\n" : *c == '\t' ? "\\t" : std::string(1, *c);
        }
        return out;
    }
    const size_t n = std::min<size_t>(16, mxGetNumberOfElements(a));
    const mxClassID id = mxGetClassID(a);
    const bool integer = id == mxLOGICAL_CLASS || (id >= mxINT8_CLASS && id <= mxUINT64_CLASS);
    for (int part = 0; part < (mxIsComplex(a) ? 2 : 1); ++part) {
        std::vector<double> d(n);
        std::vector<int64_t> s(n);
        std::vector<uint64_t> u(n);
        if (mxReadElements(a, part, 0, n, d.data(), s.data(), u.data()) != n) return "<short read>";
        if (part == 1) add("|");
        for (size_t i = 0; i < n; ++i) {
            add(!integer ? Number(d[i]) : id == mxUINT64_CLASS ? std::to_string(u[i]) : std::to_string(s[i]));
        }
    }
    return out;
}

// Lists, reads and checks (the variables that do not check whole go into
// *damaged), extracts (each entry into a folder of its own below `out`) and
// deletes from a copy; one manifest line per step. Returns the entries.
size_t Walk(const testhost::Plugin& plugin, const std::string& file, const std::string& out, std::ofstream& manifest,
            std::vector<std::string>* damaged) {
    std::vector<testhost::Entry> entries;
    int last = 0;
    {
        testhost::Archive archive(plugin, file, PK_OM_LIST);
        if (archive.ok()) entries = archive.ReadAll(&last);
        for (size_t i = 0; i < entries.size(); ++i) {
            manifest << "list\t" << file << '\t' << i << '\t' << entries[i].fileName << '\t' << entries[i].fileAttr << '\n';
        }
        manifest << "listend\t" << file << '\t' << (archive.ok() ? static_cast<long>(entries.size()) : -1L) << '\t'
                 << last << '\n';
    }
    if (MATFile* m = matOpen(file.c_str(), "r")) {
        while (mxArray* header = matGetNextArrayHeader(m)) {
            if (mxArray* a = matGetArrayOccurrence(m, mxGetName(header), mxGetNameOccurrence(header))) {
                manifest << "value\t" << file << '\t' << mxGetName(header) << '\t' << EngineValues(a) << '\n';
                const char* reason = nullptr;
                if (mxCheckArray(a, &reason) != 0) {
                    damaged->push_back(fs::path(file).filename().string() + " " + mxGetName(a));
                    EXPECT_NE(reason, nullptr);
                }
                mxDestroyArray(a);
            }
            mxDestroyArray(header);
        }
        matClose(m);
    }
    testhost::Archive archive(plugin, file, PK_OM_EXTRACT);
    testhost::Entry entry;
    for (size_t index = 0; archive.ok() && testhost::ReadOneHeader(plugin, archive.handle(), &entry) == 0; ++index) {
        const std::string dir = out + "/" + std::to_string(index);
        fs::create_directories(dir);
        std::string dest = dir + "/" + entry.fileName;
        int result = 0;
        testhost::CaptureStdout([&] { result = plugin.ProcessFile(archive.handle(), PK_EXTRACT, nullptr, dest.data()); });
        if (dest.size() > 255) {
            EXPECT_EQ(result, E_EWRITE) << dest;
            continue;
        }
        // The viewer's text of the same entry: its name line, then the value.
        std::string viewer;
        const int viewResult = View(plugin, archive, out, index, entry.fileName, &viewer);
        if (viewResult == 0 && viewer.size() <= 255) {
            manifest << "view\t" << file << '\t' << entry.fileName << '\t' << viewer << '\n';
        }
        if (result == 0 && viewer.size() <= 255) {
            EXPECT_EQ(viewResult, 0) << viewer;
            EXPECT_EQ(support::ReadText(viewer).rfind(entry.fileName + " =\n", 0), 0u) << viewer;
            EXPECT_FALSE(fs::exists(viewer + ".mat")) << viewer;
        }
        manifest << "extract\t" << file << '\t' << index << '\t' << entry.fileName << '\t' << result << '\t' << dest
                 << ".mat\n";
    }
    // The whole file added to a new file, and to an existing one with a
    // variable of its own and one the file replaces.
    {
        const std::string folder = file.substr(0, file.rfind('/') + 1), name = file.substr(file.rfind('/') + 1);
        const std::string made = out + "/added-new.mat", grown = out + "/added-old.mat";
        fs::create_directories(out);
        matbuild::WriteFile(grown, matbuild::File5(matbuild::Order::Little,
                                                   {matbuild::CharVar(matbuild::Order::Little, "zz_existing", "mine")}));
        manifest << "add\t" << file << '\t' << made << '\t' << Pack(plugin, made, folder, name) << '\t' << grown << '\t'
                 << Pack(plugin, grown, folder, name) << '\n';
    }
    if (last == E_END_ARCHIVE && !entries.empty()) {
        // The first entry, and one from the middle (which moves a trailing
        // function workspace in MATLAB's files).
        std::vector<size_t> gone = {0};
        if (entries.size() >= 4) gone.push_back(entries.size() / 2);
        std::vector<std::string> names;
        std::string indexes;
        for (size_t i : gone) {
            names.push_back(entries[i].fileName);
            indexes += (indexes.empty() ? "" : ",") + std::to_string(i);
        }
        const std::string copy = out + "/deleted.mat";
        fs::copy_file(file, copy);
        manifest << "delete\t" << file << '\t' << copy << '\t' << plugin.Delete(copy, names) << '\t' << indexes << '\n';
        EXPECT_TRUE(support::StrayTemporaries(out).empty()) << file;
    }
    return entries.size();
}

// The viewer's text of every entry, with the settings the plug-in has now ("view": contents off).
void RecordViews(const testhost::Plugin& plugin, const std::string& file, const std::string& out, std::ofstream& manifest,
                 const char* kind) {
    testhost::Archive archive(plugin, file, PK_OM_EXTRACT);
    testhost::Entry entry;
    for (size_t index = 0; archive.ok() && testhost::ReadOneHeader(plugin, archive.handle(), &entry) == 0; ++index) {
        std::string viewer;
        EXPECT_EQ(View(plugin, archive, out, index, entry.fileName, &viewer), 0) << viewer;
        manifest << kind << '\t' << file << '\t' << entry.fileName << '\t' << viewer << '\n';
    }
}

TEST(Interop, OtherWritersFilesListExtractAndDeleteFaithfully) {
    const std::string data = testenv::TestDataDir();
    if (data.empty() || !fs::is_directory(data)) GTEST_SKIP() << "MATWCX_TESTDATA not set";
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    testenv::TempDir dir;
    const auto settings = [&](const std::string& options) {
        support::WriteText(dir.file("wcx.ini"), "[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\n" + options);
        return plugin.SetDefaultParams(dir.file("wcx.ini"));
    };
    ASSERT_TRUE(settings("PackEnabled=1\nShowContents=0\n"));   // the short texts first

    std::ofstream manifest(dir.file("manifest.tsv"));
    int number = 0;
    std::vector<std::string> damaged;
    for (const char* writer : {"scipy", "matio", "octave", "matlab", "hdf5storage", "v73refs"}) {
        const std::string folder = data + "/" + writer;
        if (!fs::is_directory(folder)) {
            std::printf("interop: %s: no files (skipped)\n", writer);
            continue;
        }
        std::vector<std::string> files;
        for (const auto& item : fs::directory_iterator(folder)) {
            if (item.path().extension() == ".mat") files.push_back(item.path().string());
        }
        std::sort(files.begin(), files.end());
        size_t entries = 0;
        for (const std::string& file : files) entries += Walk(plugin, file, dir.file(std::to_string(++number)), manifest, &damaged);
        std::printf("interop: %s: %zu entries of %zu files\n", writer, entries, files.size());
        EXPECT_GT(entries, 0u) << writer;
    }
    // MATLAB's own version 7.3 files beside the level-5 files it wrote with the same values.
    std::vector<std::string> twins = {"matio", "hdf5storage", "objects73-classdefs", "objects73-tables"}, matlab;
    for (const auto& item : fs::directory_iterator(data)) {
        if (item.path().filename().string().rfind("matlab73-", 0) == 0) matlab.push_back(item.path().filename().string());
    }
    EXPECT_FALSE(matlab.empty());
    const auto recordTwins = [&](const std::vector<std::string>& folders, const char* kind) {
        for (const std::string& folder : folders) {
            for (const char* twin : {"v5.mat", "v73.mat"}) {
                const std::string file = data + "/" + folder + "/" + twin;
                if (fs::exists(file)) RecordViews(plugin, file, dir.file(std::to_string(++number)), manifest, kind);
            }
        }
    };
    // MATLAB's and the writers' version 7.3 files converted to version 7
    // (added to a new file): scipy reads h5py's values of the source, and
    // the viewer shows the level-5 twin's texts.
    std::vector<std::pair<std::string, std::string>> converted;   // folder, new file
    for (const auto& folders : {matlab, twins}) {
        for (const std::string& folder : folders) {
            const std::string made = dir.file("converted-" + folder + ".mat"), from = data + "/" + folder + "/";
            const int result = Pack(plugin, made, from, "v73.mat");
            manifest << "add\t" << from << "v73.mat\t" << made << '\t' << result << '\t' << made << '\t' << result << '\n'
                     << "converted\t" << made << '\t' << from << "v73.mat\n";
            if (result == 0) converted.emplace_back(folder, made);
        }
    }
    recordTwins(matlab, "view");
    for (const auto& [folder, made] : converted) {
        if (folder.rfind("matlab73-", 0) == 0) RecordViews(plugin, made, dir.file(std::to_string(++number)), manifest, "view");
    }
    // The twins' texts again with ShowContents on: what their structs and cells hold.
    ASSERT_TRUE(settings("ShowContents=1\n"));
    twins.insert(twins.end(), matlab.begin(), matlab.end());
    recordTwins(twins, "contents");
    for (const auto& [folder, made] : converted) RecordViews(plugin, made, dir.file(std::to_string(++number)), manifest, "contents");
    ASSERT_TRUE(settings("ShowContents=0\n"));
    manifest.close();
    const fs::path viewers = fs::path(ViewerFolderOf(dir.file("0"))).parent_path();
    struct RemovedAtEnd {
        fs::path path;
        ~RemovedAtEnd() { std::error_code ignored; fs::remove_all(path, ignored); }
    } removeViewers{viewers};
    // Every variable checks whole, the writers' quirks included (matio's
    // compressed char arrays declare two bytes a character; Octave 7's sparse
    // logical arrays carry full flags), but in the two files damaged on purpose.
    std::sort(damaged.begin(), damaged.end());
    EXPECT_EQ(damaged, (std::vector<std::string>{"corrupted_zlib_checksum.mat dates", "corrupted_zlib_data.mat datagrid"}));

    const std::string text = Judge(dir, "oracle.py", {dir.file("manifest.tsv")});
    ASSERT_NE(text.find("checked "), std::string::npos) << text;
    std::printf("interop: %s", text.substr(text.rfind("checked ")).c_str());
    for (const char* kind : {"added", "contents", "converted", "deleted", "extracted", "listed", "twins", "values"}) {
        EXPECT_NE(text.find(kind), std::string::npos) << kind << " never checked";
    }
}

// Variables extracted as CSV, TSV, NPY, JSON and text (matwcx extract --as)
// from files of MATLAB, scipy and h5py: export_check.py reads each with
// numpy.load, csv, pandas.read_csv and json.loads, compares with scipy's or
// h5py's values, and checks which class and format pairs are refused; a
// table, texts, datetimes and a categorical of MATLAB's read back as their JSON says.
TEST(Interop, ExportedFormatsReadBackWithTheSourceValues) {
    const std::string data = testenv::TestDataDir();
    if (data.empty() || !fs::is_directory(data)) GTEST_SKIP() << "MATWCX_TESTDATA not set";
    testenv::TempDir dir;
    std::vector<std::string> args = {testenv::Get("MATWCX_TOOL"), dir.file("out")};
    for (const char* file : {"scipy/v5.mat", "scipy/v5_compressed.mat", "scipy/v4.mat", "hdf5storage/v5.mat", "hdf5storage/v73.mat",
                             "matlab73-array/v5.mat", "matlab73-array/v73.mat", "matlab73-complex/v73.mat", "matlab73-logical/v73.mat",
                             "matlab/big_endian.mat", "matlab/testunicode_7.4_GLNX86.mat", "matlab/test3dmatrix_7.4_GLNX86.mat",
                             "matlab/testcomplex_7.4_GLNX86.mat", "matlab/teststringarray_7.4_GLNX86.mat",
                             "matlab73-struct/v5.mat", "matlab73-cell/v5.mat", "matlab73-string/v5.mat",
                             "objects/struct_table_datetime.mat"}) {
        if (fs::exists(data + "/" + file)) args.push_back(data + "/" + file);
    }
    // MATLAB's sparse matrices: real, complex, logical and without stored values.
    for (const char* version : {"v7", "v7.3"}) {
        args.push_back(testenv::Get("MATWCX_SOURCE_DIR") + "/tests/data/matlab-files/" + version + "/sparse.mat");
    }
    const std::string said = Judge(dir, "export_check.py", args);
    EXPECT_NE(said.find("checked "), std::string::npos);
    EXPECT_EQ(said.find(", 0 structs"), std::string::npos) << said;   // structs and cells went out as JSON
    // Each of those four kinds from either version, as .mtx, .csv and .tsv.
    const size_t kinds = said.find(" kinds of sparse");
    ASSERT_NE(kinds, std::string::npos) << said;
    EXPECT_GE(std::stoi(said.substr(said.rfind(' ', kinds - 1) + 1)), 24) << said;
}

// Pictures of what scipy wrote (plain and compressed), judged by
// picture_check.py with Pillow and xml.etree: an RGB array's PNG holds its
// pixels, a 200x300 matrix's PNG is 300 wide and 200 high with the colour
// map's ends at its least and greatest value, a vector's SVG plot spans
// its least and greatest value (a single-sample peak among them).
TEST(Interop, PicturesReadBackAgainstTheData) {
    testenv::TempDir dir;
    const std::string text = Judge(dir, "picture_check.py", {testenv::Get("MATWCX_TOOL"), dir.path()});
    EXPECT_NE(text.find("checked 12 pictures"), std::string::npos) << text;
}

// With ShowContents on, the viewer shows every value of a 100,000-element
// vector, a 300x300 matrix, a 3-d array, a char matrix and a complex matrix
// that scipy writes (compressed): view_values.py reads them back out of the
// text and compares them with numpy's.
TEST(Interop, TheViewerShowsEveryValueScipyWrote) {
    testenv::TempDir dir;
    const std::string text = Judge(dir, "view_values.py", {testenv::Get("MATWCX_TOOL"), dir.path()});
    EXPECT_NE(text.find("checked 5 variables"), std::string::npos) << text;
}

// Level-5 variables written into version 7.3 files: every writer's files
// added to an existing one (matwcx add), MATLAB's level-5 twins converted
// into new ones (matwcx convert). v73_check.py reads them with h5py: the
// values scipy reads from the sources, and the layout of MATLAB's own
// version 7.3 twins.
TEST(Interop, Level5VariablesWrittenAsMatlabWritesVersion73) {
    const std::string data = testenv::TestDataDir();
    if (data.empty() || !fs::is_directory(data)) GTEST_SKIP() << "MATWCX_TESTDATA not set";
    testenv::TempDir dir;
    const std::string text = Judge(dir, "v73_check.py", {testenv::Get("MATWCX_TOOL"), dir.file("added"), data});
    const size_t at = text.find(" new files");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_GE(std::stoi(text.substr(text.rfind(' ', at - 1) + 1)), 8) << text;
    std::printf("interop: version 7.3 from level 5: %s", text.substr(text.rfind("checked ")).c_str());
}

// h5_structure.py, the judge of what is written against MATLAB's own files:
// each of MATLAB's twins equals itself and a copy that differs only in what
// a loading reader does not see (other #refs# names, two object ids swapped
// throughout, compression), and differs from a copy altered on purpose (an
// attribute, an array flag, a name in the object metadata).
TEST(Interop, StructureComparatorSeesOnlyWhatReadersSee) {
    testenv::TempDir dir;
    const std::string text = Judge(dir, "h5_structure.py", {"--self-test"});
    EXPECT_NE(text.find("checked 22 files, 0 problems"), std::string::npos) << text;
}

// MATLAB's twins converted to the other version have the structure of
// MATLAB's own file of that version, objects' subsystem data included
// (function_handles' twins come from two releases: left out; cell and
// struct into version 7.3 lack MATLAB's canonical empty in #refs#).
TEST(Interop, TwinsConvertToTheStructureOfTheirOtherTwins) {
    testenv::TempDir dir;
    const std::string twins = testenv::Get("MATWCX_SOURCE_DIR") + "/tests/interop/matlab73/";
    const struct { const char* name; bool to73; } kTwins[] = {
        {"struct_table_datetime", true}, {"cell", false}, {"struct", false}, {"char_unicode", true}, {"complex", true},
        {"logical", true},
    };
    for (const auto& twin : kTwins) {
        SCOPED_TRACE(twin.name);
        const std::string name = twin.name, out = dir.file(name + ".mat"), out73 = dir.file(name + ".v73.mat");
        ASSERT_EQ(support::RunTool(dir, {"convert", twins + name + ".v73.mat", out, "--to", "7"}).status, 0);
        Judge(dir, "h5_structure.py", {out, twins + name + ".v5.mat"});
        if (!twin.to73) continue;
        ASSERT_EQ(support::RunTool(dir, {"convert", twins + name + ".v5.mat", out73, "--to", "7.3"}).status, 0);
        Judge(dir, "h5_structure.py", {out73, twins + name + ".v73.mat"});
    }
}

// Version 7.3 files written as version 7 by conversion, "Extract as" 7 and
// adding to a level-5 file: GNU Octave and matio read every one whole
// (readers_check.py; skipped where they are not installed).
TEST(Interop, Version7FilesWrittenFromVersion73LoadInOctaveAndMatio) {
    const std::string data = testenv::TestDataDir();
    if (data.empty() || !fs::is_directory(data)) GTEST_SKIP() << "MATWCX_TESTDATA not set";
    testenv::TempDir dir;
    const std::string text = Judge(dir, "readers_check.py", {testenv::Get("MATWCX_TOOL"), dir.file("out"), data});
    if (text.rfind("skipped", 0) == 0) GTEST_SKIP() << text;
    ASSERT_NE(text.find("checked "), std::string::npos) << text;
    EXPECT_GE(std::stoi(text.substr(text.rfind("checked ") + 8)), 40) << text;
}

// GNU Octave's "save -zip" version 6 and 4 files, made at test time: read
// as any MAT-file, and refused for deletion (gzip_check.py).
TEST(Interop, OctavesGzipWrappedFilesOpen) {
    testenv::TempDir dir;
    const std::string text = Judge(dir, "gzip_check.py", {testenv::Get("MATWCX_TOOL"), dir.file("out")});
    if (text.rfind("skipped", 0) == 0) GTEST_SKIP() << text;
    EXPECT_EQ(text, "checked 2 gzip-wrapped files\n");
}

TEST(Import, NamesAreMatlabsMakeValidName) {
    const struct { const char* file; const char* name; } cases[] = {
        {"2021 run-1", "x2021Run_1"}, {"Item_#", "Item__"}, {"Price/Unit", "Price_Unit"}, {"1st order", "x1stOrder"},
        {"Contact", "Contact"}, {"for", "xFor"}, {"format", "format"}, {"", "x"}, {"_a", "x_a"},
        {" lead  trail ", "leadTrail"}, {"caf\xC3\xA9 \xE2\x82\xAC", "caf__"}, {"a.b", "a_b"},
        {"A23456789012345678901234567890123456789012345678901234567890123456789", "A23456789012345678901234567890123456789012345678901234567890123"},
    };
    for (const auto& c : cases) EXPECT_EQ(importing::ValidName(c.file), c.name) << c.file;
}

// NPY and CSV files packed as variables: numpy-written files of every dtype,
// both byte orders, both orders of the data and the three format versions,
// and CSVs (header, empty cells, LF, CRLF, CR, quotes), packed into a new file and
// into an existing uncompressed one; scipy's loadmat must give numpy's
// values (import_files.py), and each refused file must be named.
TEST(Import, PackedNpyAndCsvFilesHoldNumpysValues) {
    testenv::TempDir dir;
    const std::string made = Judge(dir, "import_files.py", {"make", dir.file("in")});
    ASSERT_FALSE(::testing::Test::HasFailure()) << made;
    const std::string ini = dir.file("wcx.ini");
    ASSERT_EQ(support::RunTool(dir, {"--ini", ini, "options", "--add", "on"}).status, 0);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.file("in/ok"))) files += entry.is_regular_file();

    // A new file (every element compressed) and existing ones: the added
    // elements are compressed as the file's first variable is, after its own.
    ASSERT_TRUE(support::CopyTestData("scipy/v5.mat", dir.file("old.mat"))) << "no test data scipy/v5.mat";
    ASSERT_TRUE(support::CopyTestData("scipy/v5_compressed.mat", dir.file("oldz.mat"))) << "no test data scipy/v5_compressed.mat";
    for (const std::string target : {"new.mat", "old.mat", "oldz.mat"}) {
        const size_t before = target == "new.mat" ? 0 : support::ElementTypes(matbuild::ReadFile(dir.file(target))).size();
        SCOPED_TRACE(target);
        const support::ToolRun run = support::RunTool(dir, {"--ini", ini, "add", "--yes", dir.file(target), dir.file("in/ok")});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<uint32_t> types = support::ElementTypes(matbuild::ReadFile(dir.file(target)));
        const std::string text = Judge(dir, "import_files.py", {"check", dir.file(target), dir.file("in")});
        EXPECT_NE(text.find("checked " + std::to_string(files) + " variables"), std::string::npos) << text;
        ASSERT_EQ(types.size(), before + files);
        EXPECT_EQ(std::vector<uint32_t>(types.begin() + static_cast<long>(before), types.end()),
                  std::vector<uint32_t>(files, target == "old.mat" ? 14 : 15));
    }

    // Refused files: one message names each and why; nothing is made.
    const support::ToolRun run = support::RunTool(dir, {"--ini", ini, "add", "--yes", dir.file("none.mat"), dir.file("in/ok"),
                                                        dir.file("in/refused")});
    EXPECT_NE(run.status, 0);
    const std::string said = run.out + run.err;
    for (const char* line : {"cut.npy: a cut NPY file", "objects.npy: an array of Python objects (dtype object)",
                             "records.npy: an array of records (a structured dtype)", "texts.npy: its dtype '<U2'",
                             "ragged.csv: line 2 has 2 values, the lines before it 3", "text.csv: line 3: 'x' is not a number",
                             "long.csv: line 3: a field longer than 1 MB", "unclosed.csv: line 2: a quoted field without its closing quote"}) {
        EXPECT_NE(said.find(line), std::string::npos) << line << "\n" << said;
    }
    EXPECT_FALSE(fs::exists(dir.file("none.mat")));
}

// One line of 5,000,000 numbers (39 MB of text, 40 MB of values) goes in
// with a few MB: the command's peak resident memory, as the system counts
// it, stays under 64 MB (unbounded, it held the line and its values twice).
TEST(Import, ALineOfFiveMillionNumbersGoesInWithinBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow and quarantine are no measure of the reader's memory";
#endif
    testenv::TempDir dir;
    const std::string csv = dir.file("wide.csv"), ini = dir.file("wcx.ini"), tool = testenv::Get("MATWCX_TOOL");
    {
        std::ofstream text(csv, std::ios::binary);
        std::string line;
        for (uint32_t k = 0; k < 5000000; ++k) line += std::to_string(k * 7919u % 1000000u / 1000.0).substr(0, 7) + (k + 1 < 5000000 ? "," : "\n");
        text << line;
    }
    const std::vector<std::string> words = {tool, "--ini", ini, "add", "--yes", dir.file("wide.mat"), csv};
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        std::freopen("/dev/null", "w", stdout);
        ::execv(tool.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak kB";   // Linux counts it in kB
    EXPECT_NE(support::RunTool(dir, {"--ini", ini, "list", dir.file("wide.mat")}).out.find("[5000000x1]"), std::string::npos);
}

}  // namespace

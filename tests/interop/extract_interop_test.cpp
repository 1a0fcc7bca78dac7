// Every variable of files that other programs wrote (scipy.io, matio, GNU
// Octave, MATLAB itself) extracts through the plug-in into a MAT-file that
// scipy reads back with the same value; a level-5 variable comes out as the
// very bytes it had in its source file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

// Reads the manifest the test writes (source, entry index, entry name,
// ProcessFile result, output file) and prints one "FAIL ..." line for every
// output that is not the source's variable, then "checked N".
const char* const kChecker = R"PY(
import struct, sys
import numpy as np
import scipy.io as sio
import scipy.sparse as sp

def level5(data):
    return len(data) >= 128 and data[124:126] in (b'\x00\x01', b'\x01\x00')

def elements(data):
    order = '<' if data[126:128] == b'IM' else '>'
    pos, out = 128, []
    while pos + 8 <= len(data):
        kind, size = struct.unpack(order + 'II', data[pos:pos + 8])
        end = pos + 8 + size
        out.append(data[pos:end])
        pos = end if kind == 15 else (end + 7) // 8 * 8
    return out

def load(path, name=None):
    try:
        return sio.loadmat(path, variable_names=[name] if name else None)
    except Exception as error:
        return error

def same(a, b, strict_type):
    if sp.issparse(a) or sp.issparse(b):
        return sp.issparse(a) and sp.issparse(b) and a.shape == b.shape and (a != b).nnz == 0
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        if strict_type and (type(a) != type(b) or a.dtype != b.dtype):
            return False
        if a.shape != b.shape:
            return False
        if a.dtype.names:
            return b.dtype.names == a.dtype.names and all(same(a[n], b[n], strict_type) for n in a.dtype.names)
        if a.dtype == object:
            return all(same(x, y, strict_type) for x, y in zip(a.flat, b.flat))
        if a.dtype.kind in 'fc' or b.dtype.kind in 'fc':
            return np.array_equal(a, b, equal_nan=True)
        return np.array_equal(a, b)
    return type(a) == type(b) and a == b

checked = values = elements_same = 0
sources = {}
for line in open(sys.argv[1], encoding='utf-8'):
    src, index, entry, result, out = line.rstrip('\n').split('\t')
    index, result = int(index), int(result)
    if src not in sources:
        sources[src] = open(src, 'rb').read()
    data = sources[src]
    what = '%s entry %d %r' % (src, index, entry)
    # The source's own value, as scipy reads that one variable; None for
    # escaped, repeated or unnamed names and variables scipy cannot read.
    name = entry.split('.')[0]
    expected = None
    if '%' not in name:
        src_vars = load(src, name)
        if isinstance(src_vars, dict) and name in src_vars:
            expected = src_vars[name]
    handle = '.function_handle ' in entry
    if result != 0:
        if expected is not None:
            print('FAIL %s: ProcessFile gave %d for a variable scipy reads' % (what, result))
        continue
    checked += 1
    out_data = open(out, 'rb').read()
    if level5(data) and not handle:
        src_elements, out_elements = elements(data), elements(out_data)
        if len(out_elements) != 1:
            print('FAIL %s: output holds %d elements' % (what, len(out_elements)))
        elif index >= len(src_elements) or out_elements[0] != src_elements[index]:
            print('FAIL %s: output element differs from the source element' % what)
        else:
            elements_same += 1
    out_vars = load(out)
    if not isinstance(out_vars, dict):
        if expected is not None:
            print('FAIL %s: scipy cannot read the output: %s' % (what, out_vars))
        continue
    keys = [k for k in out_vars if not k.startswith('__')]
    if handle:
        if keys:
            print('FAIL %s: refused function handle wrote %s' % (what, keys))
        continue
    if expected is None:
        continue
    if keys != [name]:
        print('FAIL %s: output holds %s' % (what, keys))
    elif not same(expected, out_vars[name], strict_type=level5(data)):
        print('FAIL %s: value differs: %r != %r' % (what, expected, out_vars[name]))
    else:
        values += 1
print('checked %d: %d byte-identical, %d equal values' % (checked, elements_same, values))
)PY";

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Counts {
    size_t files = 0;
    size_t entries = 0;
};

// Extracts every entry of every MAT-file in `folder`, each into a folder of
// its own below `out`, and adds a manifest line per entry.
Counts ExtractAll(const testhost::Plugin& plugin, const std::string& folder, const std::string& out,
                  std::ofstream& manifest) {
    Counts counts;
    std::vector<std::string> files;
    for (const auto& item : fs::directory_iterator(folder)) {
        if (item.path().extension() == ".mat") files.push_back(item.path().string());
    }
    std::sort(files.begin(), files.end());
    for (size_t number = 0; number < files.size(); ++number) {
        const std::string& file = files[number];
        testhost::Archive archive(plugin, file, PK_OM_EXTRACT);
        if (!archive.ok()) continue;   // damaged, or HDF5 (version 7.3)
        ++counts.files;
        testhost::Entry entry;
        for (int index = 0; testhost::ReadOneHeader(plugin, archive.handle(), &entry) == 0; ++index) {
            const std::string dir = out + "/" + std::to_string(number) + "_" + std::to_string(index);
            fs::create_directories(dir);
            std::string dest = dir + "/" + entry.fileName;
            int result = 0;
            testhost::CaptureStdout(
                [&] { result = plugin.ProcessFile(archive.handle(), PK_EXTRACT, nullptr, dest.data()); });
            if (dest.size() > 255) {
                EXPECT_EQ(result, E_EWRITE) << dest;
                continue;
            }
            // The viewer's text of the same entry: its name line, then the value.
            std::string viewer = dir + "/_tc/" + entry.fileName;
            int viewResult = -1;
            testhost::CaptureStdout(
                [&] { viewResult = plugin.ProcessFile(archive.handle(), PK_EXTRACT, nullptr, viewer.data()); });
            if (result == 0 && viewer.size() <= 255) {
                EXPECT_EQ(viewResult, 0) << viewer;
                EXPECT_EQ(ReadText(viewer).rfind(entry.fileName + " =\n", 0), 0u) << viewer;
                EXPECT_FALSE(fs::exists(viewer + ".mat")) << viewer;
            }
            manifest << file << '\t' << index << '\t' << entry.fileName << '\t' << result << '\t' << dest
                     << ".mat\n";
            ++counts.entries;
        }
    }
    return counts;
}

TEST(ExtractInterop, EveryVariableOfOtherWritersComesBackEqual) {
    const std::string data = testenv::TestDataDir();
    if (data.empty() || !fs::is_directory(data)) GTEST_SKIP() << "MATWCX_TESTDATA not set";
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    testenv::TempDir dir;
    {
        // Struct and cell variables as plain entries.
        std::ofstream(dir.file("wcx.ini")) << "[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\n";
        ASSERT_TRUE(plugin.SetDefaultParams(dir.file("wcx.ini")));
    }

    std::ofstream manifest(dir.file("manifest.tsv"));
    for (const char* writer : {"scipy", "matio", "octave", "matlab"}) {
        const std::string folder = data + "/" + writer;
        if (!fs::is_directory(folder)) {
            std::printf("interop: %s: no files (skipped)\n", writer);
            continue;
        }
        const Counts counts = ExtractAll(plugin, folder, dir.file(writer), manifest);
        std::printf("interop: %s: %zu entries of %zu files extracted\n", writer, counts.entries, counts.files);
        EXPECT_GT(counts.entries, 0u) << writer;
    }
    manifest.close();

    std::ofstream(dir.file("check.py")) << kChecker;
    const std::string python = testenv::Get("MATWCX_PYTHON").empty() ? "/usr/bin/python3" : testenv::Get("MATWCX_PYTHON");
    const std::string command = python + " '" + dir.file("check.py") + "' '" + dir.file("manifest.tsv") + "' > '" +
                                dir.file("report.txt") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadText(dir.file("report.txt"));
    const std::string report = ReadText(dir.file("report.txt"));
    EXPECT_EQ(report.find("FAIL"), std::string::npos) << report;
    EXPECT_NE(report.find("checked "), std::string::npos) << report;
    std::printf("interop: %s", report.substr(report.rfind("checked ")).c_str());
}

}  // namespace

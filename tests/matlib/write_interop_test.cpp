// Files that other programs wrote (MATLAB itself through scipy's test data,
// Octave, matio, scipy): every variable extracted into a file of its own, and
// each file with a variable deleted, loads in scipy (and GNU Octave, when
// installed) with the same values as the source.
#include <cstring>
#include <filesystem>
#include <set>

#include "write_update_helpers.h"

namespace {

using testenv::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> ThirdPartyFiles() {
    std::vector<std::string> folders;
    const std::string data = testenv::TestDataDir();
    if (!data.empty()) {
        for (const char* writer : {"matlab", "octave", "matio", "scipy"}) folders.push_back(data + "/" + writer);
    } else {
        folders.push_back("/usr/lib/python3/dist-packages/scipy/io/matlab/tests/data");
    }
    std::vector<std::string> files;
    for (const std::string& folder : folders) {
        std::error_code error;
        for (const auto& item : fs::directory_iterator(folder, error)) {
            if (item.path().extension() == ".mat") files.push_back(item.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The names of a file's variables, each once, the unnamed one left out.
std::vector<std::string> Names(const std::string& path) {
    std::vector<std::string> names;
    MATFile* mfp = matOpen(path.c_str(), "r");
    if (mfp == nullptr) return names;
    int count = 0;
    char** dir = matGetDir(mfp, &count);
    std::set<std::string> seen;
    for (int i = 0; dir != nullptr && i < count; ++i) {
        if (dir[i][0] != '\0' && seen.insert(dir[i]).second) names.push_back(dir[i]);
    }
    mxFree(dir);
    matClose(mfp);
    return names;
}

// scipy compares name, source, output triples; a source that scipy itself
// cannot load is passed over. `deleted` triples name a variable that must be
// gone from the output while all others of the source stay.
const char* const kScript = R"(
import scipy.sparse, warnings
warnings.simplefilter('ignore')
def same(a, b):
    if scipy.sparse.issparse(a) or scipy.sparse.issparse(b):
        return scipy.sparse.issparse(a) and scipy.sparse.issparse(b) and a.shape == b.shape and (a != b).nnz == 0
    if not isinstance(a, np.ndarray) and not isinstance(b, np.ndarray):
        return type(a) == type(b) and repr(a) == repr(b)
    if type(a) != type(b) or getattr(a, 'classname', None) != getattr(b, 'classname', None):
        return False
    # A version 4 file's values are written in this machine's byte order.
    if a.dtype.newbyteorder('=') != b.dtype.newbyteorder('=') or a.shape != b.shape:
        return False
    if a.dtype.names:
        return all(same(a[n][i], b[n][i]) for n in a.dtype.names for i in np.ndindex(a.shape))
    if a.dtype == object:
        return all(same(a[i], b[i]) for i in np.ndindex(a.shape))
    return np.array_equal(a, b, equal_nan=a.dtype.kind in 'fc')
# Version 4 numbers come back as doubles, MATLAB's own class for them, where
# scipy keeps the stored precision: compare values.
def same_values(a, b):
    if scipy.sparse.issparse(a):
        return scipy.sparse.issparse(b) and a.shape == b.shape and np.array_equal(a.toarray(), b.toarray())
    if a.dtype.kind in 'US':
        return b.dtype.kind == 'U' and a.tolist() == b.tolist()
    return a.shape == b.shape and np.array_equal(a.astype(complex), b.astype(complex))
def load(path):
    # scipy lists the subsystem data that objects and function handles carry along.
    return {k: v for k, v in sio.loadmat(path).items()
            if k not in ('__header__', '__version__', '__globals__', '__function_workspace__')}
checked, bad = 0, []
for line in open(files[0]):
    kind, name, src, out = line.rstrip('\n').split('\t')
    try:
        a = load(src)
    except Exception:
        continue
    try:
        b = load(out)
    except Exception as e:
        bad.append((out, 'does not load: %s' % e))
        continue
    if kind == 'extract' and sio.matlab.matfile_version(src)[0] == 0:
        ok = list(b) == [name] and same_values(a[name], b[name])
    elif kind == 'extract':
        ok = list(b) == [name] and same(a[name], b[name])
    else:
        a.pop(name)
        ok = sorted(a) == sorted(b) and all(same(a[k], b[k]) for k in a)
    checked += 1
    if not ok:
        bad.append((kind, name, src))
print('checked', checked)
assert checked > 0 and not bad, bad
)";

// Octave: every output loads, and holds what its source holds.
const char* const kOctaveScript = R"(
args = argv(); fid = fopen(args{1}); bad = 0; checked = 0;
while true
  line = fgetl(fid); if ~ischar(line) break; end
  parts = strsplit(line, "\t"); kind = parts{1}; name = parts{2};
  try a = load(parts{3}); catch continue; end
  % load gives no value for a MAT-file without variables.
  try if isempty(whos("-file", parts{4})) b = struct(); else b = load(parts{4}); end; catch err
    printf("%s: does not load: %s\n", parts{4}, err.message); bad = bad + 1; continue;
  end
  % An anonymous function needs the workspace that its own file keeps
  % apart: a copy of the handle alone is not comparable.
  if strcmp(kind, "extract") && isa(a.(name), "function_handle") continue; end
  if strcmp(kind, "extract") ok = isequal(fieldnames(b), {name}) && isequaln(a.(name), b.(name));
  else a = rmfield(a, name); ok = isequal(sort(fieldnames(a)), sort(fieldnames(b))) && isequaln(a, orderfields(b, a)); end
  checked = checked + 1;
  if ~ok printf("differs: %s %s %s\n", kind, name, parts{3}); bad = bad + 1; end
end
printf("checked %d\n", checked); exit(bad > 0);
)";

TEST(WriteInterop, ThirdPartyFilesExtractAndDeleteToTheSameValues) {
    const std::vector<std::string> sources = ThirdPartyFiles();
    if (sources.empty()) GTEST_SKIP() << "no third-party files";
    TempDir dir;
    std::ofstream list(dir.file("list.tsv"));
    int extracted = 0, deleted = 0, index = 0;
    for (const std::string& source : sources) {
        const std::vector<std::string> names = Names(source);
        for (const std::string& name : names) {
            const std::string out = dir.file("x" + std::to_string(++index) + ".mat");
            const int result = wu::Extract(source, name.c_str(), out);
            // The read side may refuse a damaged variable; what it hands over is written.
            EXPECT_TRUE(result == 0 || result == 3) << source << " " << name << ": " << result;
            if (result != 0) continue;
            list << "extract\t" << name << "\t" << source << "\t" << out << "\n";
            ++extracted;
        }
        if (names.empty()) continue;
        const std::string copy = dir.file("d" + std::to_string(++index) + ".mat");
        fs::copy_file(source, copy);
        if (wu::Delete(copy, {names.front()}) == 0) {
            list << "delete\t" << names.front() << "\t" << source << "\t" << copy << "\n";
            ++deleted;
        }
    }
    list.close();
    EXPECT_GT(extracted, 50);
    EXPECT_GT(deleted, 20);
    EXPECT_TRUE(wu::StrayTemporaries(dir.path()).empty());

    if (wu::HavePython()) {
        std::string output;
        EXPECT_TRUE(wu::RunScipy(dir, kScript, {dir.file("list.tsv")}, &output)) << output;
    }
    if (std::system("command -v octave-cli >/dev/null 2>&1") == 0) {
        {
            std::ofstream script(dir.file("check.m"));
            script << kOctaveScript;
        }
        const std::string command = "octave-cli --no-gui --norc --quiet '" + dir.file("check.m") + "' '" +
                                    dir.file("list.tsv") + "' >'" + dir.file("octave.log") + "' 2>&1 </dev/null";
        const int status = std::system(command.c_str());
        std::ifstream log(dir.file("octave.log"));
        const std::string output((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_EQ(status, 0) << output;
    }
}

}  // namespace

#include "support/support.h"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace support {

std::string ReadText(const std::string& path) {
    std::ifstream in(matbuild::FsPath(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(matbuild::FsPath(path), std::ios::binary | std::ios::trunc) << text;
}

std::string Python() {
    const std::string configured = testenv::Get("MATWCX_PYTHON");
    return configured.empty() ? "/usr/bin/python3" : configured;
}

std::vector<std::string> ListHeaders(MATFile* m) {
    std::vector<std::string> out;
    while (mxArray* a = matGetNextArrayHeader(m)) {
        std::string s = std::string(mxGetName(a)) + "." + mxGetClassName(a) + " [";
        for (size_t i = 0; i < mxGetNumberOfDimensions(a); ++i) s += (i > 0 ? " " : "") + std::to_string(mxGetDimensions(a)[i]);
        out.push_back(s + "]" + (mxIsComplex(a) ? " c" : "") + (mxIsFromGlobalWS(a) ? " g" : "") + (mxIsLogical(a) ? " l" : "") +
                      (mxIsSparse(a) ? " s" : ""));
        mxDestroyArray(a);
    }
    return out;
}

FilePtr OpenBytes(const testenv::TempDir& dir, const std::string& name, const matbuild::Bytes& bytes) {
    matbuild::WriteFile(dir.file(name), bytes);
    return FilePtr(matOpen(dir.file(name).c_str(), "r"));
}

std::vector<double> ReadReal(const mxArray* a, size_t count, int part) {
    std::vector<double> v(count);
    v.resize(mxReadElements(a, part, 0, count, v.data(), nullptr, nullptr));
    return v;
}

int Extract(const std::string& source, const char* name, const std::string& target) {
    MATFile* in = matOpen(source.c_str(), "r");
    if (in == nullptr) return 1;
    MATFile* out = matOpen(target.c_str(), "w");
    if (out == nullptr) {
        matClose(in);
        return 2;
    }
    mxArray* array = matGetArray(in, name);
    int result = 0;
    if (array == nullptr) result = 3;
    else if (matPutArray(out, array) != 0) result = 4;
    if (matClose(out) != 0 && result == 0) result = 5;
    mxDestroyArray(array);
    matClose(in);
    return result;
}

int Delete(const std::string& path, const std::vector<std::string>& names, int* notFound) {
    MATFile* mfp = matOpen(path.c_str(), "u");
    if (mfp == nullptr) return -1;
    int refused = 0;
    for (const std::string& name : names) {
        if (matDeleteArray(mfp, name.c_str()) != 0) ++refused;
    }
    if (notFound != nullptr) *notFound = refused;
    return matClose(mfp);
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

std::vector<std::string> StrayTemporaries(const std::string& folder) {
    std::vector<std::string> found;
    for (const std::string& name : Entries(folder)) {
        if (name.rfind(".matwcx-", 0) == 0 || name.rfind("~mw", 0) == 0) found.push_back(name);
    }
    return found;
}

PackDefaultParamStruct HostParams(unsigned hi, unsigned low, const std::string& iniName) {
    PackDefaultParamStruct params{};
    params.size = static_cast<int>(sizeof params);
    params.PluginInterfaceVersionHi = hi;
    params.PluginInterfaceVersionLow = low;
    std::snprintf(params.DefaultIniName, sizeof params.DefaultIniName, "%s", iniName.c_str());
    return params;
}

std::string Unix(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<matbuild::Bytes> AllClasses(matbuild::Order o) {
    using namespace matbuild;
    const Bytes inner = StructVar(o, "", {1, 1}, {"function"}, {CharVar(o, "", "sin")});
    return {
        NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)),
        NumericVar(o, "z", mxSINGLE, {1, 2}, {1.5, 2}, {3, -4}),
        NumericVar(o, "i8", mxINT8, {1, 3}, {-1, 2, 3}),
        NumericVar(o, "u16", mxUINT16, {1, 1}, {65535}),
        NumericVar(o, "lg", mxUINT8, {1, 2}, {1, 0}, {}, kLogical),
        NumericVar(o, "g", mxDOUBLE, {1, 1}, {9}, {}, kGlobal),
        NumericVar(o, "small", mxDOUBLE, {1, 3}, {1, 2, 250}, {}, 0, miUINT8),   // MATLAB's narrow storage
        Compressed(o, CharVar(o, "s", "hello")),
        SparseVar(o, "sp", 3, 2, {0, 2}, {0, 1, 2}, {5, 6}),
        SparseVar(o, "sl", 2, 2, {1}, {0, 0, 1}, {1}, {}, kLogical),
        CellVar(o, "c", {1, 2}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1}), CharVar(o, "", "x")}),
        StructVar(o, "st", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})}, kGlobal),
        ObjectVar(o, "ob", "myclass", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {2})}),
        FunctionHandleVar(o, "fh", inner),
        Compressed(o, OpaqueVar(o, "str", "string", NumericVar(o, "", mxUINT32, {1, 3}, {1, 2, 3}))),
        Compressed(o, NumericVar(o, "big", mxINT64, {50, 40}, Iota(2000, -1000))),
        NumericVar(o, "", mxUINT8, {1, 4}, {0, 1, 73, 77}),   // the unnamed variable MATLAB appends
    };
}

const std::vector<std::string> kAllClassesNames = {"A", "z", "i8", "u16", "lg", "g", "small", "s", "sp",
                                                    "sl", "c", "st", "ob", "fh", "str", "big", ""};

bool CopyTestData(const std::string& relative, const std::string& to) {
    const std::string from = testenv::TestDataDir() + "/" + relative;
    std::error_code error;
    return std::filesystem::exists(from) && std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
}

std::vector<uint32_t> ElementTypes(const matbuild::Bytes& file) {
    std::vector<uint32_t> types;
    for (size_t at = 128; at + 8 <= file.size();) {
        uint32_t type = 0, size = 0;
        std::memcpy(&type, &file[at], 4);
        std::memcpy(&size, &file[at + 4], 4);
        types.push_back(type);
        at += 8 + (type == 15 ? size : (size + 7) / 8 * 8);
    }
    return types;
}

std::vector<std::string> VariableNames(const std::string& path) {
    FilePtr file(matOpen(path.c_str(), "r"));
    if (!file) return {"<unreadable>"};
    std::vector<std::string> names;
    while (mxArray* array = matGetNextArrayHeader(file.get())) {
        names.push_back(mxGetName(array));
        mxDestroyArray(array);
    }
    return names;
}

namespace {
#if defined(_WIN32)
// cmd.exe's quoting: the word in double quotes (the tests pass none inside words).
std::string ShellQuoted(const std::string& word) { return "\"" + word + "\""; }
#else
std::string ShellQuoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
#endif
}  // namespace

namespace {

ToolRun RunToolOnce(const testenv::TempDir& io, const std::vector<std::string>& args, const std::string& input) {
    std::string command = ShellQuoted(testenv::Get("MATWCX_TOOL"));
    for (const std::string& arg : args) command += " " + ShellQuoted(arg);
    // Fresh names for each run: under Wine a finished run's files can still be
    // held for a moment, and the next redirection fails ("Sharing violation").
    static std::atomic<int> runs{0};
    const std::string n = std::to_string(++runs);
    const std::string in = io.file("stdin" + n), out = io.file("stdout" + n), err = io.file("stderr" + n);
    WriteText(in, input);
    command += " <" + ShellQuoted(in) + " >" + ShellQuoted(out) + " 2>" + ShellQuoted(err);
#if defined(_WIN32)
    // cmd /c drops the first and the last quote of a line that starts with
    // one: one more pair keeps the words' own.
    command = "\"" + command + "\"";
#endif
    const int raw = std::system(command.c_str());
    ToolRun run;
    run.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadText(out);
    run.err = ReadText(err);
    return run;
}

}  // namespace

ToolRun RunTool(const testenv::TempDir& io, const std::vector<std::string>& args, const std::string& input) {
    ToolRun run = RunToolOnce(io, args, input);
#if defined(_WIN32)
    // The command says why whenever it fails. A failure without a word is
    // cmd's: under a loaded Wine it may find a redirected file still held
    // ("Sharing violation") and never start the command. Tried once more.
    if (run.status != 0 && run.out.empty() && run.err.empty()) run = RunToolOnce(io, args, input);
#endif
    return run;
}

void PluginTest::SetUp() {
    ASSERT_TRUE(testhost::loaded(plugin));
    UseSettings(false, true);
}

void PluginTest::UseSettings(bool structCellAsDirs, bool deleteEnabled, bool packEnabled) {
    const std::string ini = dir.file("wcx.ini");
    WriteText(ini, std::string("[MATlab]\nStructCellasDirs=") + (structCellAsDirs ? "1" : "0") +
                       "\nDeleteEnabled=" + (deleteEnabled ? "1" : "0") + "\nPackEnabled=" + (packEnabled ? "1" : "0") +
                       "\n");
    ASSERT_TRUE(plugin.SetDefaultParams(ini));
}

std::string PluginTest::Write(const std::string& name, const matbuild::Bytes& bytes) {
    const std::string path = Path(dir.path(), name);
    matbuild::WriteFile(path, bytes);
    return path;
}

std::vector<std::string> PluginTest::List(const std::string& path, int* last) {
    testhost::Archive archive(plugin, path, PK_OM_LIST);
    EXPECT_TRUE(archive.ok()) << path;
    std::vector<std::string> names;
    for (const testhost::Entry& entry : archive.ReadAll(last)) names.push_back(entry.fileName);
    return names;
}

int PluginTest::Process(const testhost::Archive& archive, int operation, const char* destPath,
                        const std::string& destName, std::string* output) {
    int result = -1;
    std::string name = destName;
    const std::string printed = testhost::CaptureStdout(
        [&] { result = plugin.ProcessFile(archive.handle(), operation, const_cast<char*>(destPath), name.data()); });
    if (output != nullptr) *output = Unix(printed);
    return result;
}

}  // namespace support

// What the suites share: files as text, stray temporaries, the Python oracle,
// and the engine driven the way extraction and deletion drive it.
#pragma once

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "wcx/plugin_api.h"
#include "os/host_rules.h"
#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace support {

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

// Files named as the engine's temporaries (".matwcx-...", "~mw....." on Windows).
std::vector<std::string> StrayTemporaries(const std::string& folder);

// $MATWCX_PYTHON (with scipy, numpy and h5py), or the system's.
std::string Python();

struct FileCloser {
    void operator()(MATFile* m) const { matClose(m); }
};
struct ArrayDeleter {
    void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using FilePtr = std::unique_ptr<MATFile, FileCloser>;
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// Every header the cursor delivers, one line each: "name.class [d1 d2 ...] flags"
// (c complex, g global, l logical, s sparse).
std::vector<std::string> ListHeaders(MATFile* m);
// Opens bytes written into dir under name.
FilePtr OpenBytes(const testenv::TempDir& dir, const std::string& name, const matbuild::Bytes& bytes);
// A part (0 real, 1 imaginary) as doubles, through mxReadElements.
std::vector<double> ReadReal(const mxArray* a, size_t count, int part = 0);

// Extracts the variable into a new MAT-file as extraction does: 0, or the step
// that failed (1 open source, 2 create target, 3 read, 4 put, 5 close target).
int Extract(const std::string& source, const char* name, const std::string& target);
// Deletes the named variables as deletion does: -1 when the file cannot be
// opened for update, else matClose's result; *notFound counts refused names.
int Delete(const std::string& path, const std::vector<std::string>& names, int* notFound = nullptr);

// A variable of every class, plain and compressed, ending with the unnamed
// variable MATLAB appends; and their names, in order.
std::vector<matbuild::Bytes> AllClasses(matbuild::Order o);
extern const std::vector<std::string> kAllClassesNames;

// Copies testdata/<relative> over `to` when the test run made it; whether it did.
bool CopyTestData(const std::string& relative, const std::string& to);
// The names in a folder (not recursive).
std::vector<std::string> Entries(const std::string& folder);
// The host's settings record as Double Commander fills it, naming the file.
PackDefaultParamStruct HostParams(unsigned hi, unsigned low, const std::string& iniName);

// a + the system's separator + b: the plug-in reads destinations split by it.
inline std::string Path(const std::string& a, const std::string& b) { return a + platform::kPathSeparator + b; }
// The text without carriage returns (a Windows stdout writes "\r\n").
std::string Unix(std::string text);
// The variables of a MAT-file in file order, by the engine; "<unreadable>".
std::vector<std::string> VariableNames(const std::string& path);
// The top-level element types (miMATRIX 14, miCOMPRESSED 15) of a little-endian level-5 file, in order.
std::vector<uint32_t> ElementTypes(const matbuild::Bytes& file);

// What the matwcx command printed and its exit status (-1: no normal exit).
struct ToolRun {
    int status = -1;
    std::string out, err;
};
// Runs $MATWCX_TOOL with the arguments and `input` on its stdin, through the
// shell (its files in `io`).
ToolRun RunTool(const testenv::TempDir& io, const std::vector<std::string>& args, const std::string& input = "");

// A test of the built plug-in: a folder of its own and a settings file of
// its own handed to the plug-in (the plug-in keeps what it was last given).
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;   // struct/cell as plain entries, deletion on
    void UseSettings(bool structCellAsDirs, bool deleteEnabled, bool packEnabled = true);
    // Writes the bytes into the test's folder; the path.
    std::string Write(const std::string& name, const matbuild::Bytes& bytes);
    // The entry names the host's listing walk gets; *last: what ended it.
    std::vector<std::string> List(const std::string& path, int* last = nullptr);
    // ProcessFile on the current entry, its stdout in *output.
    int Process(const testhost::Archive& archive, int operation, const char* destPath, const std::string& destName,
                std::string* output = nullptr);

    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    testenv::TempDir dir;
};

#if !defined(_WIN32)
// Runs body() in a forked child: its result as the exit status, 128 + the
// signal when a signal ended it.
template <typename Body>
int InChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

}  // namespace support

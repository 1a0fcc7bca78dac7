#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "v73client/v73_reader.h"

namespace fuzzsupport {

namespace fs = std::filesystem;

namespace {

std::string MakeWorkDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/matwcx-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make the fuzz working folder", pattern);
    return pattern;
}

void RemoveWorkDir() {
    std::error_code ignored;
    fs::remove_all(WorkDir(), ignored);
}

}  // namespace

const std::string& WorkDir() {
    static const std::string dir = [] {
        std::string made = MakeWorkDir();
        return made;
    }();
    static const bool registered = (std::atexit(RemoveWorkDir), true);
    (void)registered;
    return dir;
}

void BoundWorkerWaits() { matlib::SetV73AnswerTimeout(3000); }

std::string PathIn(const std::string& name) { return WorkDir() + "/" + name; }

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) Fail("cannot write the input file", path);
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) Fail("cannot write the input file", path);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CopyFile(const std::string& from, const std::string& to) {
    const std::string bytes = ReadBytes(from);
    WriteBytes(to, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void RemoveAll(const std::string& path) {
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

void FreshFolder(const std::string& path) {
    RemoveAll(path);
    std::error_code error;
    fs::create_directories(path, error);
    if (error) Fail("cannot make a folder", path);
}

std::string ListFolder(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(path, error)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::ostringstream out;
    for (const std::string& name : names) out << name << ' ';
    return out.str();
}

void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n==fuzz property broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzzsupport

#include "support/test_env.h"

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#else
#include <stdlib.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testenv {

std::string Get(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string PluginPath() { return Get("MATWCX_PLUGIN"); }
std::string ToolPath() { return Get("MATWCX_TOOL"); }
std::string TestDataDir() { return Get("MATWCX_TESTDATA"); }

TempDir::TempDir() {
#if defined(_WIN32)
    // _mkdir fails on an existing folder, so the folder made is new.
    static unsigned serial = 0;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "matwcx-test-%d-%u-%d", ::_getpid(), serial++, std::rand());
        const std::string candidate = (base / name).string();
        if (::_mkdir(candidate.c_str()) == 0) {
            path_ = candidate;
            return;
        }
        if (errno != EEXIST) break;
    }
    throw std::runtime_error("cannot create a temporary folder");
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "matwcx-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testenv

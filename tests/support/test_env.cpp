#include "support/test_env.h"

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
    std::string pattern = (std::filesystem::temp_directory_path() / "matwcx-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testenv

// The plug-in's dynamic symbol table: the thirteen exports with C linkage and
// default visibility, and nothing else of ours (no engine, no zlib, no C++
// symbol) that could clash with another plug-in in the host's process.
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "matwcx_exports.h"
#include "support/test_env.h"

namespace {

// Symbols every shared object defines (the linker's own).
bool IsLinkerSymbol(const std::string& name) {
    return name == "_init" || name == "_fini" || name == "_edata" || name == "_end" ||
           name == "__bss_start";
}

// A sanitizer build links the sanitizers' hooks into the plug-in.
bool IsSanitizerSymbol(const std::string& name) {
    return name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
           name.rfind("__sanitizer", 0) == 0 || name.rfind("__lsan", 0) == 0 ||
           name.rfind("___asan", 0) == 0;
}

TEST(Exports, ExactlyTheListedFunctions) {
    const std::string plugin = testenv::PluginPath();
    ASSERT_FALSE(plugin.empty());
    const std::string command = "nm -D --defined-only '" + plugin + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> functions;
    std::set<std::string> others;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream words(line);
        std::string address, type, name;
        if (!(words >> address >> type >> name)) continue;
        if (IsLinkerSymbol(name) || IsSanitizerSymbol(name)) continue;
        (type == "T" ? functions : others).insert(name + " (" + type + ")");
    }
    ASSERT_EQ(::pclose(pipe), 0) << command;

#define MATWCX_EXPECTED(name) #name " (T)",
    const std::set<std::string> expected = {MATWCX_EXPORTS(MATWCX_EXPECTED)};
#undef MATWCX_EXPECTED
    EXPECT_EQ(functions, expected);
    EXPECT_TRUE(others.empty()) << "also exported: " << *others.begin();
}

}  // namespace

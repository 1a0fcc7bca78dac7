// The plug-in's dynamic symbol table: the exports with C linkage and default
// visibility, and nothing else of ours (no engine, no zlib, no C++ symbol)
// that could clash with another plug-in in the host's process.
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "matwcx_exports.h"
#include "support/test_env.h"

namespace {

// The linker's own symbols, and the sanitizers' hooks of a sanitizer build.
bool IsLinkerOrSanitizerSymbol(const std::string& name) {
    for (const char* prefix : {"__asan", "__ubsan", "__sanitizer", "__lsan", "___asan"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return name == "_init" || name == "_fini" || name == "_edata" || name == "_end" || name == "__bss_start";
}

TEST(Exports, ExactlyTheListedFunctions) {
    const std::string command = "nm -D --defined-only '" + testenv::Get("MATWCX_PLUGIN") + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::istringstream words(line);
        std::string address, type, name;
        if (words >> address >> type >> name && !IsLinkerOrSanitizerSymbol(name)) symbols.insert(name + " (" + type + ")");
    }
    ASSERT_EQ(::pclose(pipe), 0) << command;
#define MATWCX_EXPECTED(name) #name " (T)",
    const std::set<std::string> expected = {MATWCX_EXPORTS(MATWCX_EXPECTED)};
#undef MATWCX_EXPECTED
    EXPECT_EQ(symbols, expected);
}

}  // namespace

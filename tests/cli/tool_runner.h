// Runs the matwcx command ($MATWCX_TOOL) with a settings file of the test's
// own and collects what it printed and its exit status.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_env.h"

struct ToolRun {
    int status = -1;   // the exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

#if defined(_WIN32)
// cmd.exe's quoting: the word in double quotes (the tests pass no double
// quotes inside words).
inline std::string ShellQuoted(const std::string& word) { return "\"" + word + "\""; }
#else
inline std::string ShellQuoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}
#endif

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ToolTest : public ::testing::Test {
protected:
    // matwcx --ini <own file> ARGS..., with `input` on its stdin.
    ToolRun Run(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> all = {"--ini", ini()};
        all.insert(all.end(), args.begin(), args.end());
        return RunRaw(all, input);
    }

    ToolRun RunRaw(const std::vector<std::string>& args, const std::string& input = "") {
        std::string command = ShellQuoted(testenv::ToolPath());
        for (const std::string& arg : args) command += " " + ShellQuoted(arg);
        const std::string in = io.file("stdin"), out = io.file("stdout"), err = io.file("stderr");
        std::ofstream(in, std::ios::binary) << input;
        command += " <" + ShellQuoted(in) + " >" + ShellQuoted(out) + " 2>" + ShellQuoted(err);
        ToolRun run;
#if defined(_WIN32)
        // cmd /c drops the first and the last quote of a line that starts
        // with one: one more pair keeps the words' own.
        command = "\"" + command + "\"";
#endif
        const int raw = std::system(command.c_str());
        run.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadText(out);
        run.err = ReadText(err);
        return run;
    }

    std::string ini() const { return io.file("wcx.ini"); }

    testenv::TempDir dir;   // the test's MAT-files
    testenv::TempDir io;    // the command's settings file and captured output
};

// The commands of matwcx. Each takes the loaded plug-in (PackSetDefaultParams
// already called) and the words after the command's name, prints its own
// output to stdout and messages to stderr, and returns the exit status.
#pragma once

#include <string>
#include <vector>

#include "tools/content_host.h"
#include "tools/plugin_host.h"

namespace matwcx {

using Args = std::vector<std::string>;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // an operation failed, or check found a file not accepted
constexpr int kExitUsage = 2;    // the command line was wrong

int RunCaps(PluginHost& host, const Args& args);
int RunCheck(PluginHost& host, const Args& args);
int RunDir(PluginHost& host, const Args& args);
int RunList(PluginHost& host, const Args& args);
// view --max-bytes N hands the plug-in a copy of iniPath's section with the bound set.
int RunView(PluginHost& host, const std::string& iniPath, const Args& args);
int RunExtract(PluginHost& host, const Args& args);
int RunDelete(PluginHost& host, const Args& args);
int RunAdd(PluginHost& host, const Args& args);
int RunConvert(PluginHost& host, const Args& args);
// plot FILE VAR -o OUT.svg|OUT.png [--width W --height H]: a vector (or a
// matrix's columns) as a line plot; as PNG, a matrix as its picture.
int RunPlot(PluginHost& host, const Args& args);

// What plot draws and where.
struct PlotRequest {
    std::string title;    // the variable's name
    std::string output;   // the file written (replaced whole)
    bool svg = true;      // else PNG
    int width = 800, height = 400;
};
// The line plot of the values in the NPY file at npyPath; false with *why.
bool DrawLinePlot(const std::string& npyPath, const PlotRequest& request, std::string* why);
// iniPath: the settings file handed to PackSetDefaultParams.
int RunOptions(PluginHost& host, const std::string& iniPath, const Args& args);

// The content plug-in's commands. find: the MAT-files under DIR holding a
// variable (of a class), one line per variable; status 0 when one was found.
// diff: the differences of two files; status 0 when they hold the same.
int RunFind(ContentHost& host, const Args& args);
int RunDiff(ContentHost& host, const Args& args);

// The words of a command's arguments without --yes (-y); true when it was given.
bool TakeYes(const Args& args, std::vector<std::string>* words);
// Lists the names under "<heading> FILE:" and asks "<verb> N variable(s)? [y/N]";
// true only for a yes on stdin.
bool Confirmed(const char* heading, const char* verb, const std::vector<std::string>& names, const std::string& file);
// PackFiles as the host calls it (the process-wide callbacks set first):
// `addList` (names below srcPath, each ended by a NUL, the list by a second)
// into `packed` with the plug-in's `flags`; a failure is told on stderr.
// kExitOk or kExitFailed.
int PackFiles(PluginHost& host, const std::string& packed, const std::string& srcPath, WideString addList,
              int flags);

// "matwcx: <text>" on stderr.
void Complain(const std::string& text);
// "matwcx: FILE: cannot open archive (E_EOPEN)" on stderr.
void ComplainResult(const std::string& file, int code);

// A name made readable: in double quotes (so a trailing blank shows), with
// quotes, backslashes and unprintable bytes escaped.
std::string Quoted(const std::string& name);

}  // namespace matwcx

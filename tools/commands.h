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
// iniPath: the settings file handed to PackSetDefaultParams.
int RunOptions(PluginHost& host, const std::string& iniPath, const Args& args);

// The content plug-in's commands. find: the MAT-files under DIR holding a
// variable (of a class), one line per variable; status 0 when one was found.
// diff: the differences of two files; status 0 when they hold the same.
int RunFind(ContentHost& host, const Args& args);
int RunDiff(ContentHost& host, const Args& args);

// "matwcx: <text>" on stderr.
void Complain(const std::string& text);
// "matwcx: FILE: cannot open archive (E_EOPEN)" on stderr.
void ComplainResult(const std::string& file, int code);

// A name made readable: in double quotes (so a trailing blank shows), with
// quotes, backslashes and unprintable bytes escaped.
std::string Quoted(const std::string& name);

}  // namespace matwcx

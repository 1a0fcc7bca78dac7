// matwcx: a small host of the plug-in. It loads the plug-in's shared library
// by path and calls its exports exactly as a file manager does, so that MAT-
// files can be listed, viewed, extracted and changed from a shell.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/commands.h"
#include "tools/os_calls.h"

#include "matwcx_version.h"

namespace {

using matwcx::Args;

const char kUsage[] =
    "usage: matwcx [--plugin PATH] [--ini PATH] [--verbose] COMMAND ...\n"
    "       matwcx --version\n"
    "\n"
    "Commands:\n"
    "  caps                         the plug-in's capability flags\n"
    "  check FILE...                whether the plug-in accepts each file\n"
    "  dir FILE...                  open each file and show the plug-in's report and date\n"
    "  list [--json] FILE...        the entries: name, sizes, date, mode\n"
    "  view [--max-bytes N] FILE VAR...\n"
    "                               the text the file manager's viewer shows for VAR\n"
    "                               (with --contents on: up to N bytes, 16 MB by default)\n"
    "  extract FILE [VAR...] [-d DIR] [--as csv|tsv|npy|json|mtx|txt|png|svg]\n"
    "                               VAR (all by default) as DIR/<entry name>.mat,\n"
    "                               or with --as as DIR/<name>.csv ... in that format\n"
    "  plot FILE VAR -o OUT.svg|OUT.png [--width W] [--height H]\n"
    "                               VAR as a picture: a vector (or a matrix's columns)\n"
    "                               as a line plot (800x400 by default), a matrix as\n"
    "                               PNG as its image\n"
    "  delete [--yes] FILE VAR...   delete variables in place (asks unless --yes)\n"
    "  add [--yes] TARGET FILE...   add the variables of MAT-files (or of the MAT-files\n"
    "                               in folders) to TARGET, made when missing; asks\n"
    "                               before replacing a variable unless --yes\n"
    "  convert IN OUT --to 7|7.3    the whole file as a new file OUT of that version\n"
    "                               (OUT must not exist; all or nothing)\n"
    "  options [--struct-dirs on|off] [--delete on|off] [--add on|off] [--contents on|off]\n"
    "          [--extract-as own|7|7.3]\n"
    "                               show or set the plug-in's options\n"
    "  find DIR --var NAME [--class C]\n"
    "                               the MAT-files under DIR holding variable NAME\n"
    "                               (of class C), one line per variable\n"
    "  diff A.mat B.mat             the variables that differ, are missing or added\n"
    "\n"
    "VAR is a variable's name, a whole entry name, or a part of a variable by its\n"
    "MATLAB path (s.a, 'c{3}', 'r(2).x', s.T.Customer for a table's variable).\n"
    "--plugin PATH  the plug-in (default: matwcx.wcx64 beside this program)\n"
    "--content PATH the content plug-in, for find and diff (default:\n"
    "               matwcx.wdx64 beside this program)\n"
    "--ini PATH     the settings file handed to the plug-in (default:\n"
    "               $XDG_CONFIG_HOME/matwcx/wcx.ini or ~/.config/matwcx/wcx.ini)\n"
    "--verbose      show the plug-in's diagnostic lines\n"
    "\n"
    "Exit status: 0 done, 1 an operation failed (or check found a file not\n"
    "accepted, find found nothing, diff found differences), 2 wrong command line.\n";

std::string DefaultPluginPath() {
    const std::string self = matwcx::os::ProgramPath();
    if (self.empty()) return "matwcx.wcx64";
    return (std::filesystem::path(self).parent_path() / "matwcx.wcx64").string();
}

// The command's own settings file, as Double Commander keeps its wcx.ini in
// its configuration folder. The folder is created when missing.
bool DefaultIniPath(std::string* path) {
    std::filesystem::path folder;
#if defined(_WIN32)
    // Beside the other programs' settings of this user.
    const char* appData = std::getenv("APPDATA");
    if (appData != nullptr && appData[0] != '\0') {
        folder = std::filesystem::path(appData) / "matwcx";
    } else {
        matwcx::Complain("no settings file: set APPDATA, or give --ini PATH");
        return false;
    }
#else
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && config[0] == '/') {
        folder = std::filesystem::path(config) / "matwcx";
    } else if (home != nullptr && home[0] != '\0') {
        folder = std::filesystem::path(home) / ".config" / "matwcx";
    } else {
        matwcx::Complain("no settings file: set HOME or XDG_CONFIG_HOME, or give --ini PATH");
        return false;
    }
#endif
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        matwcx::Complain("cannot create " + folder.string() + ": " + error.message());
        return false;
    }
    *path = (folder / "wcx.ini").string();
    return true;
}

int Dispatch(matwcx::PluginHost& host, const std::string& command, const std::string& iniPath,
             const Args& args) {
    if (command == "caps") return matwcx::RunCaps(host, args);
    if (command == "check") return matwcx::RunCheck(host, args);
    if (command == "dir") return matwcx::RunDir(host, args);
    if (command == "list") return matwcx::RunList(host, args);
    if (command == "view") return matwcx::RunView(host, iniPath, args);
    if (command == "extract") return matwcx::RunExtract(host, args);
    if (command == "plot") return matwcx::RunPlot(host, args);
    if (command == "delete") return matwcx::RunDelete(host, args);
    if (command == "add") return matwcx::RunAdd(host, args);
    if (command == "convert") return matwcx::RunConvert(host, args);
    if (command == "options") return matwcx::RunOptions(host, iniPath, args);
    return -1;
}

bool IsCommand(const std::string& word) {
    return word == "caps" || word == "check" || word == "dir" || word == "list" || word == "view" ||
           word == "extract" || word == "plot" || word == "delete" || word == "add" || word == "convert" || word == "options" || word == "find" || word == "diff";
}

}  // namespace

int main(int argc, char** argv) {
    matwcx::os::UseBinaryStandardOutput();
    std::string pluginPath;
    std::string contentPath;
    std::string iniPath;
    bool verbose = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return matwcx::kExitOk;
        }
        if (arg == "--version") {
            std::fputs("matwcx " MATWCX_VERSION_TEXT "\n", stdout);
            return matwcx::kExitOk;
        }
        if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--plugin" || arg == "--ini" || arg == "--content") {
            if (i + 1 >= argc) {
                matwcx::Complain(arg + " needs a path");
                return matwcx::kExitUsage;
            }
            (arg == "--plugin" ? pluginPath : arg == "--ini" ? iniPath : contentPath) = argv[++i];
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return matwcx::kExitUsage;
    }
    const std::string command = argv[i];
    if (!IsCommand(command)) {
        matwcx::Complain("unknown command " + command + " (see matwcx --help)");
        return matwcx::kExitUsage;
    }
    const Args args(argv + i + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return matwcx::kExitOk;
        }
    }

    // find and diff need only the content plug-in.
    if (command == "find" || command == "diff") {
        if (contentPath.empty()) contentPath = matwcx::DefaultContentPluginPath();
        matwcx::ContentHost content;
        std::string error;
        if (!content.Load(contentPath, &error)) {
            matwcx::Complain(error);
            return matwcx::kExitFailed;
        }
        const int status = command == "find" ? matwcx::RunFind(content, args) : matwcx::RunDiff(content, args);
        std::fflush(stdout);
        return status;
    }
    if (pluginPath.empty()) pluginPath = DefaultPluginPath();
    if (iniPath.empty() && !DefaultIniPath(&iniPath)) return matwcx::kExitFailed;
    // The host hands over a full path; so does the command.
    std::error_code ignored;
    const std::filesystem::path fullIni = std::filesystem::absolute(iniPath, ignored);
    if (!fullIni.empty()) iniPath = fullIni.lexically_normal().string();

    matwcx::PluginHost host;
    host.verbose = verbose;
    std::string error;
    // Double Commander's order: load, PackSetDefaultParams, then the work.
    if (!host.Load(pluginPath, &error) || !host.SetDefaultParams(iniPath, &error)) {
        matwcx::Complain(error);
        return matwcx::kExitFailed;
    }
    const int status = Dispatch(host, command, iniPath, args);
    std::fflush(stdout);
    return status;
}

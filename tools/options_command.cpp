// options: shows and sets the plug-in's options through the plug-in's own
// About and Options dialog, the one Double Commander shows. The command hands
// the plug-in a host record (ExtensionInitialize) whose DialogBoxLFM plays the
// user's part instead of drawing the form: the dialog opens, each check box
// that differs from what was asked is clicked, then OK. So the command saves
// exactly what the dialog saves, through the same code. Without a change to
// make, the dialog is read and closed with Cancel: nothing is written.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/os_calls.h"
#include "wcx/extension.h"

namespace matwcx {

namespace {

constexpr int kIdOk = 1;   // the button a message box returns for OK

// The form's controls, by the names its text gives them: a host knows the
// controls only from that text, and the form is checked to have each one.
namespace controls {
constexpr char kFormName[] = "DialogBox";
constexpr char kOkName[] = "btnOK";
constexpr char kCancelName[] = "btnCancel";
constexpr char kStructCellasDirsName[] = "chkStructCellasDirs";
constexpr char kDeleteEnabledName[] = "chkDeleteEnabled";
constexpr char kPackEnabledName[] = "chkPackEnabled";
constexpr char kShowContentsName[] = "chkShowContents";
constexpr char kExtractAsName[] = "cmbExtractAs";   // items: the file's own version, 7, 7.3
}  // namespace controls


// One showing of the form: the controls' states as the host would keep them.
struct HeadlessForm {
    std::map<std::string, intptr_t> checks;
    std::map<std::string, intptr_t> enabled;
    intptr_t extractItem = -1;   // the Extract-as list's chosen item
    bool closed = false;
    intptr_t modalResult = 0;
};

// What the command asks of the dialog, and what it found there.
struct DialogRun {
    int wantStructDirs = -1;   // -1: leave as it is
    int wantDelete = -1;
    int wantPack = -1;
    int wantContents = -1;
    int wantExtract = -1;      // 0 the file's own version, 7, 73
    bool shown = false;
    bool missingControl = false;
    int structDirs = 0;        // the boxes when the dialog was left
    int deleteEnabled = 0;
    int packEnabled = 0;
    int showContents = 0;
    int extractVersion = 0;
    bool clicked = false;      // a box was clicked, so OK was pressed
    bool savedWithOk = false;
    bool boxShown = false;     // the plug-in reported a failure
};
DialogRun gRun;

intptr_t WCX_CALL SendDlgMsg(uintptr_t dialog, char* itemName, intptr_t message, intptr_t wParam, intptr_t) {
    auto* form = reinterpret_cast<HeadlessForm*>(dialog);
    if (form == nullptr) return 0;
    const std::string name = itemName != nullptr ? itemName : "";
    switch (message) {
        case wcx::DM_GETCHECK:
            return form->checks[name];
        case wcx::DM_SETCHECK: {
            const intptr_t previous = form->checks[name];
            form->checks[name] = wParam;
            return previous;
        }
        case wcx::DM_LISTGETITEMINDEX:
            return name == controls::kExtractAsName ? form->extractItem : -1;
        case wcx::DM_LISTSETITEMINDEX:
            if (name == controls::kExtractAsName) form->extractItem = wParam;
            return 0;
        case wcx::DM_ENABLE: {
            const auto found = form->enabled.find(name);
            const intptr_t previous = found == form->enabled.end() ? 1 : found->second;
            if (wParam != -1) form->enabled[name] = wParam;
            return previous;
        }
        case wcx::DM_CLOSE:
            form->closed = true;
            if (wParam != -1) form->modalResult = wParam;
            return 0;
        default:
            return 0;
    }
}

// The host's name arguments are writable.
intptr_t Send(wcx::HostDlgProc proc, HeadlessForm* form, const char* name, intptr_t event, intptr_t wParam) {
    char item[64];
    std::snprintf(item, sizeof item, "%s", name);
    return proc(reinterpret_cast<uintptr_t>(form), item, event, wParam, 0);
}

int WCX_CALL DialogBoxLFM(intptr_t data, unsigned long size, wcx::HostDlgProc proc) {
    if (data == 0 || proc == nullptr) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* name : {controls::kFormName, controls::kStructCellasDirsName, controls::kDeleteEnabledName,
                             controls::kPackEnabledName, controls::kShowContentsName, controls::kExtractAsName,
                             controls::kOkName, controls::kCancelName}) {
        if (text.find(std::string("object ") + name + ":") == std::string::npos) {
            gRun.missingControl = true;
            return 0;
        }
    }
    gRun.shown = true;
    HeadlessForm form;
    Send(proc, &form, controls::kFormName, wcx::DN_INITDIALOG, 0);

    // The user's part: click each box that shows otherwise than asked.
    const std::pair<const char*, int> wanted[] = {{controls::kStructCellasDirsName, gRun.wantStructDirs},
                                                  {controls::kDeleteEnabledName, gRun.wantDelete},
                                                  {controls::kPackEnabledName, gRun.wantPack},
                                                  {controls::kShowContentsName, gRun.wantContents}};
    for (const auto& [name, want] : wanted) {
        if (want < 0 || form.closed || (form.checks[name] == 1) == (want == 1)) continue;
        form.checks[name] = want;   // the box toggles itself, then tells the dialog
        Send(proc, &form, name, wcx::DN_CHANGE, want);
        gRun.clicked = true;
    }
    // The version asked for: the host chooses its item in the list, then tells.
    constexpr int kVersionOfItem[] = {0, 7, 73};
    for (intptr_t item = 0; item < 3; ++item) {
        if (gRun.wantExtract != kVersionOfItem[item] || form.closed || form.extractItem == item) continue;
        form.extractItem = item;
        Send(proc, &form, controls::kExtractAsName, wcx::DN_CHANGE, item);
        gRun.clicked = true;
    }
    gRun.extractVersion = form.extractItem >= 0 && form.extractItem < 3 ? kVersionOfItem[form.extractItem] : 0;
    gRun.structDirs = form.checks[controls::kStructCellasDirsName] == 1 ? 1 : 0;
    gRun.deleteEnabled = form.checks[controls::kDeleteEnabledName] == 1 ? 1 : 0;
    gRun.packEnabled = form.checks[controls::kPackEnabledName] == 1 ? 1 : 0;
    gRun.showContents = form.checks[controls::kShowContentsName] == 1 ? 1 : 0;
    if (!form.closed) {
        Send(proc, &form, gRun.clicked ? controls::kOkName : controls::kCancelName, wcx::DN_CLICK, 0);
    }
    gRun.savedWithOk = form.closed && form.modalResult == wcx::kModalResultOk;
    return gRun.savedWithOk ? -1 : 0;
}

// The options dialog shows a box only to say that something failed.
int WCX_CALL ShowBox(char* text, char* caption, long) {
    gRun.boxShown = true;
    Complain(std::string(caption != nullptr ? caption : "") + ": " + (text != nullptr ? text : ""));
    return kIdOk;
}

// The folder part of a path, with its trailing separator, bounded to the field.
void CopyFolder(const std::string& path, char* field, size_t fieldSize) {
    const size_t cut = path.find_last_of("/\\");
    const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::snprintf(field, fieldSize, "%s", folder.size() < fieldSize ? folder.c_str() : "");
}

bool ParseOnOff(const std::string& word, bool* on) {
    if (word == "on" || word == "1" || word == "yes") *on = true;
    else if (word == "off" || word == "0" || word == "no") *on = false;
    else return false;
    return true;
}

}  // namespace

int RunOptions(PluginHost& host, const std::string& iniPath, const Args& args) {
    gRun = DialogRun{};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--extract-as") {
            const std::string word = i + 1 < args.size() ? args[i + 1] : "";
            gRun.wantExtract = word == "own" ? 0 : word == "7" ? 7 : word == "7.3" ? 73 : -2;
            if (gRun.wantExtract == -2) {
                Complain("options: --extract-as needs own, 7 or 7.3");
                return kExitUsage;
            }
            ++i;
            continue;
        }
        int* want = args[i] == "--struct-dirs" ? &gRun.wantStructDirs
                    : args[i] == "--delete"    ? &gRun.wantDelete
                    : args[i] == "--add"       ? &gRun.wantPack
                    : args[i] == "--contents"  ? &gRun.wantContents
                                               : nullptr;
        if (want == nullptr) {
            Complain("options: unknown argument " + args[i]);
            return kExitUsage;
        }
        bool on = false;
        if (i + 1 >= args.size() || !ParseOnOff(args[i + 1], &on)) {
            Complain("options: " + args[i] + " needs on or off");
            return kExitUsage;
        }
        ++i;
        *want = on ? 1 : 0;
    }

    const auto initialize = host.api().ExtensionInitialize;
    const auto finalize = host.api().ExtensionFinalize;
    // As Double Commander: a zeroed record of its own size, the functions filled in.
    auto info = std::make_unique<tExtensionStartupInfo>();
    std::memset(info.get(), 0, sizeof *info);
    info->StructSize = sizeof *info;
    CopyFolder(os::ProgramPath(), info->PluginDir, sizeof info->PluginDir);
    CopyFolder(iniPath, info->PluginConfDir, sizeof info->PluginConfDir);
    info->MessageBoxFunc = ShowBox;
    info->DialogBoxLFM = DialogBoxLFM;
    info->SendDlgMsg = SendDlgMsg;
    {
        PluginOutput output(host.verbose);
        initialize(info.get());
        host.api().ConfigurePacker(nullptr, nullptr);
        if (finalize != nullptr) finalize(nullptr);
    }

    if (gRun.missingControl) {
        Complain("the plug-in's options dialog lacks the controls this command works");
        return kExitFailed;
    }
    if (!gRun.shown) {
        Complain("the plug-in showed no options dialog");
        return kExitFailed;
    }
    const bool asAsked = (gRun.wantStructDirs < 0 || gRun.wantStructDirs == gRun.structDirs) &&
                         (gRun.wantDelete < 0 || gRun.wantDelete == gRun.deleteEnabled) &&
                         (gRun.wantPack < 0 || gRun.wantPack == gRun.packEnabled) &&
                         (gRun.wantContents < 0 || gRun.wantContents == gRun.showContents) &&
                         (gRun.wantExtract < 0 || gRun.wantExtract == gRun.extractVersion);
    if (!asAsked || (gRun.clicked && !gRun.savedWithOk) || gRun.boxShown) {
        Complain("the plug-in's options dialog did not save the options as asked");
        return kExitFailed;
    }
    std::printf("Settings file: %s\n", iniPath.c_str());
    std::printf("StructCellasDirs = %d   (list struct and cell variables as directories)\n", gRun.structDirs);
    std::printf("DeleteEnabled    = %d   (allow deleting variables)\n", gRun.deleteEnabled);
    std::printf("PackEnabled      = %d   (allow adding variables)\n", gRun.packEnabled);
    std::printf("ShowContents     = %d   (the viewer shows what structs, cells and objects hold)\n",
                gRun.showContents);
    std::printf("ExtractVersion   = %d   (extracted MAT-files: 0 the file's own version, 7, 73 version 7.3)\n",
                gRun.extractVersion);
    return kExitOk;
}

}  // namespace matwcx

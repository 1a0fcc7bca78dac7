// Double Commander's extension interface, driven through the built plug-in:
// the record handed to ExtensionInitialize (64-bit packed, StructSize 65588,
// as 1.0.10 fills it), the options dialog's form text loaded the way 1.0
// loads it, the user's clicks replayed after DN_INITDIALOG, the message box.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "host/message_box.h"
#include "host/replace_question.h"
#include "wcx/extension.h"
#include "support/support.h"

namespace {

using support::ReadText;

struct Control {
    std::string name, type;
    std::map<std::string, std::string> properties;
    bool checked = false, enabled = true;
    int items = 0, chosen = -1;   // a TComboBox's items and chosen one
};

// Parses the form; "" when Double Commander 1.0 loads it, else why not: its
// control classes, the handlers of TDialogBox each event may name, unique
// names, one form.
std::string ParseForm(const std::string& text, std::vector<Control>* form) {
    // What 1.0's dialog functions can create: the classes of TDialogBox's
    // fields, all of which 1.2 registers too. No TRadioButton.
    static const std::set<std::string> kClasses = {
        "TButton", "TBitBtn", "TFileNameEdit", "TComboBox", "TListBox", "TCheckBox", "TGroupBox", "TLabel", "TPanel",
        "TEdit", "TMemo", "TImage", "TTabSheet", "TScrollBox", "TRadioGroup", "TPageControl", "TProgressBar",
        "TDividerBevel"};
    std::vector<size_t> open;
    std::set<std::string> names;
    std::istringstream lines(text);
    std::string line;
    bool ended = false;
    while (std::getline(lines, line)) {
        line.erase(0, line.find_first_not_of(' '));
        if (line.empty()) continue;
        if (line.rfind("object ", 0) == 0) {
            const size_t colon = line.find(": ");
            if (colon == std::string::npos) return "bad line " + line;
            Control c{line.substr(7, colon - 7), line.substr(colon + 2), {}};
            const bool root = form->empty();
            if (root ? c.type != "TDialogBox" : kClasses.count(c.type) == 0) return "class " + c.type;
            if (!root && open.empty()) return "text after the form's end";
            if (!names.insert(c.name).second) return "repeated name " + c.name;
            open.push_back(form->size());
            form->push_back(c);
        } else if (line == "end") {
            if (open.empty()) return "end without object";
            open.pop_back();
            ended = open.empty();
        } else {
            const size_t equals = line.find(" = ");
            if (open.empty() || equals == std::string::npos) return "bad line " + line;
            Control& c = (*form)[open.back()];
            const std::string key = line.substr(0, equals), value = line.substr(equals + 3);
            if (!c.properties.emplace(key, value).second) return "repeated property " + line;
            if (value == "{") {   // binary data up to the closing brace
                while (std::getline(lines, line) && line.find('}') == std::string::npos) {
                }
                continue;
            }
            if (value == "(") {   // a list of texts up to the closing parenthesis
                while (std::getline(lines, line) && line.find_first_not_of(' ') != line.find(')')) ++c.items;
                continue;
            }
            if (key.rfind("On", 0) == 0) {
                const bool ok = (open.back() == 0 && key == "OnShow" && value == "DialogBoxShow") ||
                                (key == "OnClick" && value == "ButtonClick" && (c.type == "TButton" || c.type == "TLabel")) ||
                                (key == "OnChange" && value == "CheckBoxChange" && c.type == "TCheckBox") ||
                                (key == "OnChange" && value == "ComboBoxChange" && c.type == "TComboBox");
                if (!ok) return c.name + "." + key + " = " + value + " is no handler of 1.0";
            }
        }
    }
    return ended ? "" : "the form does not end";
}

// The host's side: the form while shown, the boxes it showed.
struct Host {
    std::vector<std::string> script;   // names clicked after DN_INITDIALOG
    bool lclChangeOnSet = true;        // DM_SETCHECK fires OnChange, as the LCL does
    std::vector<std::string> boxes;
    int boxAnswer = 1;                 // the button the message box returns
    std::vector<std::string> texts;    // what DM_SETTEXT put
    int shown = 0;
    std::vector<Control> form;
    std::map<std::string, bool> afterInit;   // check boxes and btnApply right after DN_INITDIALOG
    std::vector<bool> applyAfterClick;
    intptr_t modalResult = 0;
    bool closed = false;
    wcx::HostDlgProc proc = nullptr;

    static inline Host* current = nullptr;
    Control* Find(const std::string& name) {
        for (Control& c : form) {
            if (c.name == name) return &c;
        }
        return nullptr;
    }
    void Fire(Control& c, const char* event) {
        const auto handler = c.properties.find(event);
        if (handler == c.properties.end()) return;
        const intptr_t message = handler->second == "ButtonClick" ? wcx::DN_CLICK
                                 : handler->second == "DialogBoxShow" ? wcx::DN_INITDIALOG
                                                                      : wcx::DN_CHANGE;
        std::string name = c.name;
        const intptr_t value = c.type == "TComboBox" ? c.chosen : c.checked;
        proc(reinterpret_cast<uintptr_t>(this), name.data(), message, message == wcx::DN_CHANGE ? value : 0, 0);
    }

    static int WCX_CALL MessageBox(char* text, char* caption, long flags) {
        current->boxes.push_back(std::string(caption) + "|" + std::to_string(flags) + "|" + text);
        return current->boxAnswer;
    }
    static intptr_t WCX_CALL SendDlgMsg(uintptr_t dialog, char* item, intptr_t message, intptr_t wParam, intptr_t) {
        Host& host = *reinterpret_cast<Host*>(dialog);
        Control* c = host.Find(item != nullptr ? item : "");
        if (message == wcx::DM_CLOSE && c != nullptr) {
            host.closed = true;
            if (wParam != -1) host.modalResult = wParam;
            return 0;
        }
        if (message == wcx::DM_SETTEXT && c != nullptr) {
            host.texts.push_back(reinterpret_cast<const char*>(wParam));
            return 0;
        }
        if (c == nullptr || c == &host.form[0]) {
            ADD_FAILURE() << "no such control: " << (item != nullptr ? item : "(null)");
            return 0;
        }
        const bool previous = message == wcx::DM_ENABLE ? c->enabled : c->checked;
        const bool list = c->type == "TComboBox";
        if (message == wcx::DM_LISTGETITEMINDEX || message == wcx::DM_LISTSETITEMINDEX) {
            if (!list) ADD_FAILURE() << "a list message to " << c->name;
            if (message == wcx::DM_LISTGETITEMINDEX) return c->chosen;
            if (wParam >= 0 && wParam < c->items) c->chosen = static_cast<int>(wParam);   // the LCL stays quiet
            return 0;
        }
        if (list) ADD_FAILURE() << "a check box message to " << c->name;
        if (message == wcx::DM_SETCHECK) {
            c->checked = wParam == 1;
            if (host.lclChangeOnSet && previous != c->checked) host.Fire(*c, "OnChange");
        } else if (message == wcx::DM_ENABLE) {
            if (wParam != -1) c->enabled = wParam != 0;
        } else if (message != wcx::DM_GETCHECK) {
            ADD_FAILURE() << "unexpected message " << message;
        }
        return previous ? 1 : 0;
    }
    // Double Commander shows the dialog on its GUI thread (TThread.Synchronize)
    // while the caller's thread waits: so does this host.
    static int WCX_CALL DialogBoxLFM(intptr_t data, unsigned long size, wcx::HostDlgProc dlgProc) {
        int result = 0;
        std::thread([&] { result = ShowDialog(data, size, dlgProc); }).join();
        return result;
    }
    static int ShowDialog(intptr_t data, unsigned long size, wcx::HostDlgProc dlgProc) {
        Host& host = *current;
        ++host.shown;
        host.form.clear();
        host.closed = false;
        const std::string why = ParseForm(std::string(reinterpret_cast<const char*>(data), size), &host.form);
        if (!why.empty()) {
            ADD_FAILURE() << "the form does not load: " << why;
            return 0;
        }
        host.proc = dlgProc;
        host.Fire(host.form[0], "OnShow");
        for (const Control& c : host.form) {
            const bool box = c.type == "TCheckBox";
            if (box || c.name == "btnApply") host.afterInit[c.name] = box ? c.checked : c.enabled;
            if (c.type == "TComboBox") host.afterInit[c.name + "=" + std::to_string(c.chosen)] = true;
        }
        // Each dialog takes the clicks it needs from the script.
        while (!host.script.empty()) {
            const std::string step = host.script.front();
            const size_t equals = step.find('=');   // "list=item" chooses an item
            Control* c = host.Find(step.substr(0, equals));
            if (host.closed || c == nullptr) break;
            host.script.erase(host.script.begin());
            if (c->enabled && c->type == "TCheckBox") {   // a click toggles a box first
                c->checked = !c->checked;
                host.Fire(*c, "OnChange");
            } else if (c->enabled && c->type == "TComboBox") {
                c->chosen = std::stoi(step.substr(equals + 1));
                host.Fire(*c, "OnChange");
            } else if (c->enabled) {
                host.Fire(*c, "OnClick");
            }
            if (const Control* apply = host.Find("btnApply")) host.applyAfterClick.push_back(apply->enabled);
        }
        return host.closed && host.modalResult == wcx::kModalResultOk ? -1 : 0;
    }
};

class Extension : public support::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ASSERT_NE(plugin.ExtensionInitialize, nullptr);
        ASSERT_NE(plugin.ExtensionFinalize, nullptr);
        Host::current = &host;
        Initialize(65588);
    }
    void TearDown() override {
        if (plugin.ExtensionFinalize != nullptr) plugin.ExtensionFinalize(nullptr);
        Host::current = nullptr;
    }
    // As the host: a record of its own, gone after the call.
    void Initialize(uint32_t structSize, uintptr_t versionApi = 0) {
        auto info = std::make_unique<tExtensionStartupInfo>();
        std::memset(info.get(), 0, sizeof *info);
        info->StructSize = structSize;
        std::snprintf(info->PluginDir, sizeof info->PluginDir, "%s/", dir.path().c_str());
        std::snprintf(info->PluginConfDir, sizeof info->PluginConfDir, "%s/", dir.path().c_str());
        info->MessageBoxFunc = &Host::MessageBox;
        info->DialogBoxLFM = &Host::DialogBoxLFM;
        info->SendDlgMsg = &Host::SendDlgMsg;
        info->VersionAPI = versionApi;
        plugin.ExtensionInitialize(info.get());
        std::memset(info.get(), 0xA5, sizeof *info);   // the plug-in must have kept copies
    }
    // Packing stays off: its refusal is the box these tests look for.
    void Options(bool structDirs, bool deleteEnabled) {
        UseSettings(structDirs, deleteEnabled, false);
        before = ReadText(ini);
    }
    void Configure(std::vector<std::string> clicks) {
        host.script = std::move(clicks);
        plugin.ConfigurePacker(reinterpret_cast<HWND>(0x153019b8), plugin.library);   // Parent: no window
    }

    Host host;
    std::string ini = dir.file("wcx.ini"), before;
};

// Apply saves without closing and goes off; Cancel keeps what Apply saved;
// a file that cannot be written is said so, and Apply stays on.
TEST_F(Extension, TheDialogOpensWithTheSavedOptionsAndSavesWhatItShould) {
    const struct {
        bool lclChangeOnSet, readOnly;
        std::vector<std::string> clicks;
        std::vector<bool> applyAfterClick;
        intptr_t modalResult;
        const char* saved;   // the two options in the file afterwards; null: untouched
    } cases[] = {
        {true, false, {"btnCancel"}, {false}, wcx::kModalResultCancel, nullptr},
        {true, false, {"chkStructCellasDirs", "btnOK"}, {true, false}, wcx::kModalResultOk, "StructCellasDirs=0\nDeleteEnabled=0\n"},
        {true, false, {"cmbExtractAs=2", "btnOK"}, {true, false}, wcx::kModalResultOk, "ExtractVersion=73\n"},
        {true, false, {"cmbExtractAs=1", "btnApply", "cmbExtractAs=0", "btnOK"}, {true, false, true, false},
         wcx::kModalResultOk, "ExtractVersion=0\n"},
        // A host whose boxes stay quiet when set.
        {false, false, {"chkDeleteEnabled", "btnApply", "chkStructCellasDirs", "btnCancel"}, {true, false, true, true},
         wcx::kModalResultCancel, "StructCellasDirs=1\nDeleteEnabled=1\n"},
        {true, true, {"chkDeleteEnabled", "btnApply", "btnCancel"}, {true, true, true}, wcx::kModalResultCancel, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clicks.front() + (c.readOnly ? " read-only" : ""));
        host = Host{};
        host.lclChangeOnSet = c.lclChangeOnSet;
        Options(true, false);
        if (c.readOnly) {
            ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);   // refused even for root
        }
        Configure(c.clicks);
        ASSERT_EQ(host.shown, 1);
        EXPECT_EQ(host.afterInit, (std::map<std::string, bool>{{"btnApply", false}, {"chkDeleteEnabled", false},
                                                                {"chkPackEnabled", false}, {"chkShowContents", true}, {"chkStructCellasDirs", true},
                                                                {"cmbExtractAs=0", true}}));
        EXPECT_EQ(host.applyAfterClick, c.applyAfterClick);
        EXPECT_EQ(host.modalResult, c.modalResult);
        const std::string file = ReadText(ini);
        if (c.saved == nullptr) {
            EXPECT_EQ(file, before);
        } else {
            EXPECT_NE(file.find(c.saved), std::string::npos) << file;
        }
        ASSERT_EQ(host.boxes.size(), c.readOnly ? 1u : 0u);
        if (c.readOnly) {
            EXPECT_NE(host.boxes[0].find("could not be saved"), std::string::npos) << host.boxes[0];
            EXPECT_NE(host.boxes[0].find(ini), std::string::npos) << host.boxes[0];
            ASSERT_EQ(::chmod(ini.c_str(), 0600), 0);
        }
    }
    // The plug-in's record took the last Apply, saved or not: the next dialog opens with it.
    host = Host{};
    Configure({"btnCancel"});
    EXPECT_TRUE(host.afterInit.at("chkDeleteEnabled"));
}

// Shown in the host's box, the refusals answer the code the host stays quiet
// for; without a host's box function (after Finalize) the texts go to
// standard error. Either way nothing is touched.
TEST_F(Extension, TheHostsMessageBoxShowsTheRefusalsUntilFinalize) {
    Options(false, false);
    const std::string mat = dir.file("x.mat");
    using namespace matbuild;
    WriteFile(mat, File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {1, 1}, {1})}));
    const std::string original = ReadText(mat);
    const std::string refusals[] = {"You have disable variable deletion in the configuration dialog.\n"
                                    "To enable variable deletion, invoke Packfile>Configure for MAT files.",
                                    "Variables are not added: the option \"Enable Adding Variables\" is off.\n"
                                    "To add variables, switch it on in the plug-in's options (Configure for MAT files).\n"
                                    "Deleting variables is switched off too."};
    const std::string box = "Error Processing Variable|4112|", line = "Error Processing Variable: ";
    char subPath[] = "", srcPath[] = "/tmp/", addList[] = "x.mat\0";
    for (std::string target : {dir.file("new.mat"), mat}) {
        const bool finalized = target == mat;
        if (finalized) plugin.ExtensionFinalize(nullptr);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(plugin.Delete(mat, {"A.double [1x1] "}), finalized ? E_NOT_SUPPORTED : E_EABORTED);
        EXPECT_EQ(plugin.PackFiles(target.data(), subPath, srcPath, addList, 0), finalized ? E_NOT_SUPPORTED : E_EABORTED);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  finalized ? line + refusals[0] + "\n" + line + refusals[1] + "\n" : "");
        EXPECT_EQ(host.boxes, (std::vector<std::string>{box + refusals[0], box + refusals[1]}));
    }
    plugin.ConfigurePacker(nullptr, plugin.library);
    EXPECT_EQ(host.shown, 0);
    EXPECT_EQ(ReadText(mat), original);
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.mat")));
}

// Ctrl+PgDn in Double Commander: a file the plug-in takes and then cannot
// open says why in the host's box, in the words the user reads.
TEST_F(Extension, EveryRefusalToOpenSaysWhyInTheHostsBox) {
    using namespace matbuild;
    Bytes cut = File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {4, 3}, Iota(12))});
    cut.resize(cut.size() - 8);
    const struct { std::string name; Bytes bytes; int code; const char* words; } cases[] = {
        {"notes.mat", Text("just some notes\n"), E_UNKNOWN_FORMAT, "notes.mat is not a MAT-file."},
        {"zip.mat", Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 1, 2, 3}, E_UNKNOWN_FORMAT,
         "zip.mat is compressed with gzip, but what it holds is not a MAT-file."},
        {"cut.mat", cut, E_BAD_ARCHIVE, "cut.mat is a damaged MAT-file: its first variable cannot be read."},
    };
    for (const auto& c : cases) {
        host.boxes.clear();
        const std::string path = dir.file(c.name);
        WriteFile(path, c.bytes);
        EXPECT_TRUE(plugin.CanHandle(path)) << c.name;
        testhost::Archive archive(plugin, path, PK_OM_LIST);
        EXPECT_EQ(archive.openResult(), c.code) << c.name;
        ASSERT_EQ(host.boxes.size(), 1u) << c.name;
        EXPECT_EQ(host.boxes[0].rfind("Error Opening MAT-file|", 0), 0u) << host.boxes[0];
        EXPECT_NE(host.boxes[0].find(path), std::string::npos) << host.boxes[0];
        EXPECT_NE(host.boxes[0].find(c.words), std::string::npos) << host.boxes[0];
    }
    WriteFile(dir.file("notes.txt"), Text("just some notes\n"));
    EXPECT_FALSE(plugin.CanHandle(dir.file("notes.txt"))) << "a name of another kind is not taken";
}

// A file damaged after its intact variables says so in one box once they
// are listed, however often the host reads on; an intact file shows none.
TEST_F(Extension, OnlyADamagedTailIsShownOnceAtTheEndOfTheListing) {
    using namespace matbuild;
    Bytes damaged = File5(Order::Little, {NumericVar(Order::Little, "a", mxDOUBLE, {1, 1}, {1}), NumericVar(Order::Little, "b", mxDOUBLE, {1, 1}, {2})});
    const size_t intactSize = damaged.size();
    Append(damaged, Bytes{14, 0, 0, 0, 0xFF, 0xFF, 0, 0});   // a matrix tag longer than the file
    for (const bool isDamaged : {false, true}) {
        const std::string path = dir.file(isDamaged ? "damaged.mat" : "intact.mat");
        WriteFile(path, Bytes(damaged.begin(), damaged.begin() + (isDamaged ? damaged.size() : intactSize)));
        testhost::Archive archive(plugin, path, PK_OM_LIST);
        EXPECT_EQ(archive.ReadAll().size(), 2u);
        tHeaderData header;
        EXPECT_EQ(plugin.ReadHeader(archive.handle(), &header), E_END_ARCHIVE);
        ASSERT_EQ(host.boxes.size(), isDamaged ? 1u : 0u) << path;
    }
    EXPECT_EQ(host.boxes[0].rfind("Damaged MAT-file|", 0), 0u) << host.boxes[0];
    EXPECT_NE(host.boxes[0].find("damaged after its first 2 variables"), std::string::npos) << host.boxes[0];
}

// 1.0's record ends its functions with SendDlgMsg; one that stops before it
// must not be read past its end.
TEST_F(Extension, ARecordTooShortForTheFormFunctionsShowsNoForm) {
    Initialize(static_cast<uint32_t>(offsetof(tExtensionStartupInfo, SendDlgMsg)));
    Options(false, true);
    Configure({"btnOK"});
    EXPECT_EQ(host.shown, 0);
    EXPECT_EQ(plugin.PackFiles(nullptr, nullptr, nullptr, nullptr, 0), E_EABORTED);
    EXPECT_EQ(host.boxes.size(), 1u) << "the message box lies within the record";
}

// A variable of the target that differs from an incoming one of its name is
// replaced only when the user says so; the host asked already about an
// entry of the same name, and the same values need no question. No keeps
// the target's variable and its source; Cancel, a closed dialog and a host
// without any dialog change nothing.
TEST_F(Extension, ADifferentVariableOfTheSameNameIsReplacedOnlyWhenTheUserSaysSo) {
    using namespace matbuild;
    constexpr Order o = Order::Little;
    auto scalar = [](const char* name, double value) { return NumericVar(o, name, mxDOUBLE, {1, 1}, {value}); };
    const Bytes oldA = NumericVar(o, "A", mxDOUBLE, {2, 2}, {1, 2, 3, 4}), newA = NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12));
    const Bytes b = scalar("b", 2), oldC = scalar("c", 3), newC = scalar("c", 30), oldE = scalar("e", 5), newE = scalar("e", 6),
                d = scalar("d", 4);
    const std::string target = dir.file("t.mat"), folder = dir.path() + "/";
    // kForm: Double Commander 1.2's record; kForm10: 1.0's, whose form must not
    // be shown from a copy's thread (the box asks instead).
    enum Kind { kForm, kForm10, kBoxOnly, kNone };
    const struct {
        Kind host;
        std::vector<std::string> clicks;   // or the box's button
        int flags, result;
        size_t questions;
        bool keepA, keepE;
    } cases[] = {
        {kForm, {"btnNo", "btnYes"}, 0, 0, 2, true, false},
        {kForm, {"btnAll"}, 0, 0, 1, false, false},
        {kForm, {"btnYes", "btnCancel"}, 0, E_EABORTED, 2, true, true},
        {kForm, {}, 0, E_EABORTED, 1, true, true},   // closed without a button
        {kForm, {}, MATWCX_PACK_REPLACE_AGREED, 0, 0, false, false},
        {kBoxOnly, {"7"}, 0, 0, 2, true, true},
        {kForm10, {"7"}, 0, 0, 2, true, true},
        {kNone, {}, 0, E_NOT_SUPPORTED, 0, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.host) + " " + (c.clicks.empty() ? "-" : c.clicks[0]));
        if (c.host == kNone && platform::SystemShowsMessageBoxes()) continue;
        host = ::Host{};
        if (c.host == kBoxOnly || c.host == kForm10) {
            Initialize(c.host == kForm10 ? 65588 : static_cast<uint32_t>(offsetof(tExtensionStartupInfo, SendDlgMsg)));
            host.boxAnswer = std::stoi(c.clicks[0]);
        } else {
            Initialize(65588, kMfileTimeVersionApi);
            host.script = c.clicks;
        }
        if (c.host == kNone) plugin.ExtensionFinalize(nullptr);
        const Bytes before = File5(o, {oldA, b, oldC, oldE});
        WriteFile(target, before);
        // A and c come from the other panel, named by their entries; c's is the target's entry.
        const std::map<std::string, Bytes> sources = {{"A.double [4x3] .mat", File5(o, {newA})}, {"b.mat", File5(o, {b})},
                                                      {"c.double [1x1] .mat", File5(o, {newC})}, {"e.mat", File5(o, {newE})},
                                                      {"d.mat", File5(o, {d})}};
        for (const auto& [name, bytes] : sources) WriteFile(dir.file(name), bytes);
        std::string list;
        for (const char* name : {"A.double [4x3] ", "b.mat", "c.double [1x1] ", "e.mat", "d.mat"}) list += name + std::string(1, '\0');
        list += '\0';
        std::string packed = target, sub, src = folder;
        ::testing::internal::CaptureStderr();
        const int result = plugin.PackFiles(packed.data(), sub.data(), src.data(), list.data(), PK_PACK_MOVE_FILES | c.flags);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(c.host == kForm ? host.shown : host.boxes.size(), c.questions);
        for (const std::string& text : host.texts) EXPECT_NE(text.find(" holds a variable "), std::string::npos) << text;
        if (c.result != 0) {
            EXPECT_EQ(ReadFile(target), before);
            for (const auto& source : sources) EXPECT_TRUE(std::filesystem::exists(dir.file(source.first))) << source.first;
        } else {
            EXPECT_EQ(ReadFile(target), File5(o, {c.keepA ? oldA : newA, b, newC, c.keepE ? oldE : newE, d}));
            EXPECT_EQ(std::filesystem::exists(dir.file("A.double [4x3] .mat")), c.keepA);
            EXPECT_EQ(std::filesystem::exists(dir.file("e.mat")), c.keepE);
        }
        if (c.host == kNone) {
            EXPECT_NE(said.find("its variables A e would be replaced"), std::string::npos) << said;
        }
        if (c.host != kForm) Initialize(65588);
    }
}

// The buttons of Windows' question (the task dialog's four, the message
// box's three) and what each answers; a closed dialog is Cancel.
TEST(ReplaceQuestion, EachButtonOfTheSystemsDialogGivesItsAnswer) {
    using platform::ReplaceAnswer;
    const std::pair<int, ReplaceAnswer> cases[] = {
        {platform::kMessageBoxIdYes, ReplaceAnswer::Yes},   {platform::kMessageBoxIdNo, ReplaceAnswer::No},
        {platform::kButtonYesToAll, ReplaceAnswer::All},    {platform::kMessageBoxIdCancel, ReplaceAnswer::Cancel},
        {platform::kMessageBoxIdOk, ReplaceAnswer::Cancel}, {0, ReplaceAnswer::Cancel},
    };
    for (const auto& [button, answer] : cases) EXPECT_EQ(platform::AnswerOfButton(button), answer) << button;
}

// A refused extraction says why in the host's box, once per opening of the
// archive however many entries the operation refuses, and answers
// E_NOT_SUPPORTED (the host may go on with the next entry).
TEST_F(Extension, ARefusedExtractionIsExplainedOncePerOpening) {
    using namespace matbuild;
    constexpr Order o = Order::Little;
    const Bytes one = NumericVar(o, "x", mxDOUBLE, {1, 1}, {1});
    const std::string path = dir.file("s.mat");
    WriteFile(path, File5(o, {StructVar(o, "s1", {1, 1}, {"x"}, {one}), StructVar(o, "s2", {1, 1}, {"x"}, {one})}));
    for (size_t opening = 1; opening <= 2; ++opening) {
        std::string fileName;
        auto archive = testhost::OpenAt(plugin, path, "s1", &fileName);
        EXPECT_EQ(Process(*archive, PK_EXTRACT, dir.path().c_str(), "s1.csv"), E_NOT_SUPPORTED);
        tHeaderData header{};
        ASSERT_EQ(plugin.ReadHeader(archive->handle(), &header), 0);
        EXPECT_EQ(Process(*archive, PK_EXTRACT, dir.path().c_str(), "s2.csv"), E_NOT_SUPPORTED);
        ASSERT_EQ(host.boxes.size(), opening);
        EXPECT_NE(host.boxes.back().find("Variable s1 not extracted to "), std::string::npos) << host.boxes.back();
        EXPECT_NE(host.boxes.back().find(".mat"), std::string::npos) << "names the formats it can take";
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("s1.csv")));
}

}  // namespace

// A stand-in for Double Commander's extension interface: the record it hands
// to ExtensionInitialize (64-bit packed layout, StructSize 65588, VersionAPI 0
// as 1.0.10), a DialogBoxLFM that parses the form text as Lazarus would and
// refuses what 1.0 refuses, and a SendDlgMsg that keeps the controls' states.
// The user's part is a script of clicks replayed after DN_INITDIALOG.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/host_extension.h"

namespace dchost {

// One object of the form text.
struct FormObject {
    std::string name;
    std::string type;
    std::map<std::string, std::string> properties;   // values as written
    bool checked = false;
    bool enabled = true;
};

// Decodes a Pascal string value ('it''s'#10'x' + 'y'); false when malformed.
inline bool DecodeString(const std::string& value, std::string* out) {
    out->clear();
    size_t i = 0;
    bool any = false;
    while (i < value.size()) {
        if (value[i] == ' ' || value[i] == '+') {
            ++i;
        } else if (value[i] == '\'') {
            for (++i;; ++i) {
                if (i >= value.size()) return false;
                if (value[i] != '\'') {
                    *out += value[i];
                } else if (i + 1 < value.size() && value[i + 1] == '\'') {
                    *out += '\'';
                    ++i;
                } else {
                    break;
                }
            }
            ++i;
            any = true;
        } else if (value[i] == '#') {
            size_t end = ++i;
            while (end < value.size() && std::isdigit(static_cast<unsigned char>(value[end]))) ++end;
            if (end == i || end - i > 3) return false;
            const int code = std::stoi(value.substr(i, end - i));
            if (code > 255) return false;
            *out += static_cast<char>(code);
            i = end;
            any = true;
        } else {
            return false;
        }
    }
    return any;
}

inline bool IsIdentifier(const std::string& word) {
    if (word.empty() || std::isdigit(static_cast<unsigned char>(word[0]))) return false;
    for (char c : word) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') return false;
    }
    return true;
}

// What Double Commander 1.0 accepts: its control classes that the dialog may
// use, and for each event property the only handler of TDialogBox it may name.
inline bool KnownValue(const FormObject& object, const std::string& key, const std::string& value, bool root,
                       std::string* why) {
    if (key.rfind("On", 0) != 0) {
        std::string text;
        if (value.front() == '\'' || value.front() == '#') {
            if (!DecodeString(value, &text)) *why = "bad string " + value;
        } else if (value.front() == '[') {
            if (value.back() != ']') *why = "bad set " + value;
        } else if (!IsIdentifier(value) && value.find_first_not_of("-0123456789") != std::string::npos) {
            *why = "bad value " + value;
        }
        return why->empty();
    }
    const bool ok = (root && key == "OnShow" && value == "DialogBoxShow") ||
                    (!root && key == "OnClick" && value == "ButtonClick" &&
                     (object.type == "TButton" || object.type == "TLabel")) ||
                    (!root && key == "OnChange" && value == "CheckBoxChange" && object.type == "TCheckBox");
    if (!ok) *why = object.name + "." + key + " = " + value + " is not a handler of Double Commander 1.0";
    return ok;
}

// The hex lines of a binary property from *start on, up to and with the
// closing brace, as bytes; *start moves past them.
inline bool ReadBinary(const std::string& text, size_t* start, std::string* bytes) {
    bytes->clear();
    int high = -1;
    for (size_t i = *start; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '}') {
            const size_t end = text.find('\n', i);
            *start = end == std::string::npos ? text.size() : end + 1;
            return high < 0 && !bytes->empty();
        }
        if (c == ' ' || c == '\n') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes->push_back(static_cast<char>(high * 16 + digit));
            high = -1;
        }
    }
    return false;
}

// Parses the form; false with *why on anything Double Commander 1.0 refuses.
inline bool ParseForm(const std::string& text, std::vector<FormObject>* objects, std::string* why) {
    static const std::set<std::string> kClasses = {"TButton", "TCheckBox", "TGroupBox", "TLabel", "TImage"};
    std::vector<size_t> open;
    std::set<std::string> names;
    size_t start = 0;
    bool ended = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(' '));
        if (line.empty()) continue;
        if (ended) return *why = "text after the form's end", false;
        if (line.rfind("object ", 0) == 0) {
            const size_t colon = line.find(": ");
            if (colon == std::string::npos) return *why = "bad line " + line, false;
            FormObject object{line.substr(7, colon - 7), line.substr(colon + 2), {}};
            const bool root = objects->empty();
            if (root ? object.type != "TDialogBox" : kClasses.count(object.type) == 0) {
                return *why = "class " + object.type + " is not one of Double Commander 1.0's", false;
            }
            if (!root && open.empty()) return *why = "a second form", false;
            if (!IsIdentifier(object.name) || !names.insert(object.name).second) {
                return *why = "bad or repeated name " + object.name, false;
            }
            open.push_back(objects->size());
            objects->push_back(object);
        } else if (line == "end") {
            if (open.empty()) return *why = "end without object", false;
            open.pop_back();
            ended = open.empty();
        } else {
            const size_t equals = line.find(" = ");
            if (open.empty() || equals == std::string::npos) return *why = "bad line " + line, false;
            FormObject& object = (*objects)[open.back()];
            const std::string key = line.substr(0, equals);
            std::string value = line.substr(equals + 3);
            if (!IsIdentifier(key) || value.empty() || object.properties.count(key) != 0) {
                return *why = "bad property " + line, false;
            }
            if (value == "{") {
                // Binary data: lines of hex digits up to the closing brace;
                // the property keeps the bytes.
                if (!ReadBinary(text, &start, &value)) return *why = "bad binary property " + key, false;
                object.properties[key] = value;
                continue;
            }
            if (!KnownValue(object, key, value, open.back() == 0, why)) return false;
            object.properties[key] = value;
        }
    }
    if (!ended) return *why = "the form does not end", false;
    return true;
}

// The host's side of one test: the record, the form while it is shown, what
// reached the message box.
struct Host {
    struct Box {
        std::string text;
        std::string caption;
        long flags;
    };

    std::vector<std::string> script;          // names clicked after DN_INITDIALOG
    bool lclChangeOnSet = true;               // DM_SETCHECK fires OnChange, as the LCL does
    std::vector<Box> boxes;
    int shown = 0;
    std::string formText;
    std::vector<FormObject> form;             // after the dialog: the controls as left
    std::map<std::string, bool> afterInit;    // check boxes right after DN_INITDIALOG
    bool applyEnabledAfterInit = true;
    std::vector<bool> applyEnabledAfterClick; // btnApply after each scripted click
    intptr_t modalResult = 0;
    bool closed = false;

    static Host*& Current() {
        static Host* host = nullptr;
        return host;
    }

    // The record as Double Commander 1.0.10 fills it on 64-bit Linux.
    std::unique_ptr<tExtensionStartupInfo> Record(const std::string& pluginDir, const std::string& confDir) {
        auto info = std::make_unique<tExtensionStartupInfo>();
        std::memset(info.get(), 0, sizeof *info);
        info->StructSize = 65588;
        std::snprintf(info->PluginDir, sizeof info->PluginDir, "%s/", pluginDir.c_str());
        std::snprintf(info->PluginConfDir, sizeof info->PluginConfDir, "%s/", confDir.c_str());
        info->MessageBoxFunc = &MessageBox;
        info->DialogBoxLFM = &DialogBoxLFM;
        info->SendDlgMsg = &SendDlgMsg;
        info->VersionAPI = 0;
        return info;
    }

    FormObject* Find(const std::string& name) {
        for (FormObject& object : form) {
            if (object.name == name) return &object;
        }
        return nullptr;
    }

    static int MessageBox(char* text, char* caption, long flags) {
        Current()->boxes.push_back({text, caption, flags});
        return 1;
    }

    static intptr_t SendDlgMsg(uintptr_t dialog, char* item, intptr_t message, intptr_t wParam, intptr_t) {
        Host& host = *reinterpret_cast<Host*>(dialog);
        const std::string name = item != nullptr ? item : "";
        FormObject* control = host.Find(name);
        if (message == wcx::DM_CLOSE && control != nullptr) {
            host.closed = true;
            if (wParam != -1) host.modalResult = wParam;
            return 0;
        }
        if (control == nullptr || control == &host.form[0]) {
            ADD_FAILURE() << "the procedure names a control the form lacks: " << name;
            return 0;
        }
        switch (message) {
            case wcx::DM_GETCHECK:
                return control->checked ? 1 : 0;
            case wcx::DM_SETCHECK: {
                const bool previous = control->checked;
                control->checked = wParam == 1;
                if (host.lclChangeOnSet && previous != control->checked) host.Fire(*control, "OnChange");
                return previous ? 1 : 0;
            }
            case wcx::DM_ENABLE: {
                const bool previous = control->enabled;
                if (wParam != -1) control->enabled = wParam != 0;
                return previous ? 1 : 0;
            }
            default:
                ADD_FAILURE() << "unexpected message " << message << " for " << name;
                return 0;
        }
    }

    wcx::HostDlgProc proc = nullptr;

    void Fire(FormObject& control, const char* event) {
        const auto handler = control.properties.find(event);
        if (handler == control.properties.end()) return;
        const intptr_t message = handler->second == "CheckBoxChange" ? wcx::DN_CHANGE
                                 : handler->second == "ButtonClick"  ? wcx::DN_CLICK
                                                                     : wcx::DN_INITDIALOG;
        char name[64];
        std::snprintf(name, sizeof name, "%s", control.name.c_str());
        proc(reinterpret_cast<uintptr_t>(this), name, message, message == wcx::DN_CHANGE ? control.checked : 0, 0);
    }

    // A user's click: a disabled control takes none; a box toggles itself first.
    void Click(const std::string& name) {
        FormObject* control = Find(name);
        ASSERT_NE(control, nullptr) << "no control " << name;
        if (!control->enabled) return;
        if (control->type == "TCheckBox") {
            control->checked = !control->checked;
            Fire(*control, "OnChange");
        } else {
            Fire(*control, "OnClick");
        }
    }

    static int DialogBoxLFM(intptr_t data, unsigned long size, wcx::HostDlgProc dlgProc) {
        Host& host = *Current();
        ++host.shown;
        host.formText.assign(reinterpret_cast<const char*>(data), size);
        host.form.clear();
        std::string why;
        if (!ParseForm(host.formText, &host.form, &why)) {
            ADD_FAILURE() << "the form does not load: " << why;
            return 0;
        }
        host.proc = dlgProc;
        host.closed = false;
        host.modalResult = 0;
        host.Fire(host.form[0], "OnShow");
        for (FormObject& object : host.form) {
            if (object.type == "TCheckBox") host.afterInit[object.name] = object.checked;
        }
        if (FormObject* apply = host.Find("btnApply")) host.applyEnabledAfterInit = apply->enabled;
        for (const std::string& name : host.script) {
            if (host.closed) break;
            host.Click(name);
            const FormObject* apply = host.Find("btnApply");
            host.applyEnabledAfterClick.push_back(apply != nullptr && apply->enabled);
        }
        return host.closed && host.modalResult == wcx::kModalResultOk ? -1 : 0;
    }
};

}  // namespace dchost

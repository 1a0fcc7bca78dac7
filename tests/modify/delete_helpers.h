// What the deletion tests share: a recording message box and progress
// callback, the host's NUL-separated delete list, the switch, and a look at
// which variables a file holds.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "modify/delete_variables.h"
#include "platform/message_box.h"
#include "plugin/archive_slots.h"
#include "settings/plugin_settings.h"
#include "support/test_env.h"

namespace deletetest {

struct Box {
    std::string text, caption;
    long style = 0;
};
inline std::vector<Box>& Boxes() {
    static std::vector<Box> boxes;
    return boxes;
}
inline int RecordBox(char* text, char* caption, long style) {
    Boxes().push_back({text, caption, style});
    return platform::kMessageBoxIdOk;
}

struct Report {
    std::string text;
    int size = 0;
};
inline std::vector<Report>& Reports() {
    static std::vector<Report> reports;
    return reports;
}
// Answers 0 ("cancel") every time: the deletion must go on all the same.
inline int RecordProgress(char* text, int size) {
    Reports().push_back({text != nullptr ? text : "<null>", size});
    return 0;
}

inline void SetDeleteEnabled(bool on) {
    static testenv::TempDir iniDir;
    PluginSettings settings = GetPluginSettings();
    std::snprintf(settings.HostParams.DefaultIniName, sizeof settings.HostParams.DefaultIniName,
                  "%s", iniDir.file("wcx.ini").c_str());
    settings.DeleteEnabled = on ? 1 : 0;
    SavePluginSettings(settings);
}

// The process-wide progress callback the host would have set.
inline tProcessDataProc& HostProgress() {
    static tProcessDataProc progress = nullptr;
    return progress;
}

inline int DeleteNow(const char* path, const char* list) {
    return DeleteVariables(path, list, GetPluginSettings().DeleteEnabled != 0, HostProgress());
}

// Every test starts with deletion on, the recorders empty and in place.
class DeleteTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetDeleteEnabled(true);
        platform::SetHostMessageBox(&RecordBox);
        HostProgress() = &RecordProgress;
        Boxes().clear();
        Reports().clear();
    }
    void TearDown() override {
        platform::SetHostMessageBox(nullptr);
        HostProgress() = nullptr;
    }
};

// The host's list: each name and its NUL, then one more NUL.
inline std::vector<char> DeleteList(const std::vector<std::string>& names) {
    std::vector<char> list;
    for (const std::string& name : names) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back('\0');
    }
    list.push_back('\0');
    return list;
}

inline int Delete(const std::string& path, const std::vector<std::string>& names) {
    std::vector<char> list = DeleteList(names);
    return DeleteNow(path.c_str(), list.data());
}

// The variables' names in file order, "<unreadable>" when the file does not open.
inline std::vector<std::string> VariableNames(const std::string& path) {
    MATFile* file = matOpen(path.c_str(), "r");
    if (file == nullptr) return {"<unreadable>"};
    std::vector<std::string> names;
    while (mxArray* array = matGetNextArrayHeader(file)) {
        names.push_back(mxGetName(array));
        mxDestroyArray(array);
    }
    matClose(file);
    return names;
}

}  // namespace deletetest

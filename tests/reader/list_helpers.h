// Listing in-process: a slot filled as opening fills it (count from a first
// pass, a second handle for the listing), so that ListNextVariable can be
// driven on any file without going through the host.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "plugin/archive_slots.h"
#include "platform/host_rules.h"
#include "reader/list_variables.h"
#include "settings/plugin_settings.h"
#include "support/test_env.h"

namespace listtest {

// 2005-02-18 10:28:02 as packed DOS date and time.
constexpr uint32_t kDosTime = (25u << 25) | (2u << 21) | (18u << 16) | (10u << 11) | (28u << 5) | 1u;

class ListedFile {
public:
    explicit ListedFile(const std::string& path) {
        if (path.size() >= sizeof slot_.archivePath) return;
        std::memcpy(slot_.archivePath, path.c_str(), path.size() + 1);
        MATFile* first = matOpen(path.c_str(), "r");
        if (first == nullptr) return;
        int count = 0;
        char** names = matGetDir(first, &count);
        mxFree(names);
        matClose(first);
        if (count < 0) return;
        slot_.matFile = matOpen(path.c_str(), "r");
        if (slot_.matFile == nullptr) return;
        slot_.stream = matGetFp(slot_.matFile);
        slot_.variableCount = count;
        slot_.archiveTimeStamp = kDosTime;
        slot_.hostFileTime = platform::HostFileTime(kDosTime);
        slot_.settings = GetPluginSettings();
        slot_.state = kSlotOpen;
    }
    ~ListedFile() {
        if (slot_.matFile != nullptr) matClose(slot_.matFile);
    }
    ListedFile(const ListedFile&) = delete;
    ListedFile& operator=(const ListedFile&) = delete;

    bool ok() const { return slot_.matFile != nullptr; }
    ArchiveSlot* slot() { return &slot_; }

    // One ListNextVariable on a record cleared to zero.
    int Next(tHeaderData* header) {
        std::memset(header, 0, sizeof *header);
        slot_.settings = GetPluginSettings();
        return ListNextVariable(&slot_, header);
    }

    // Entry names until the first non-zero result, which goes to *last.
    std::vector<std::string> Names(int* last = nullptr) {
        std::vector<std::string> names;
        tHeaderData header;
        int result = 0;
        while ((result = Next(&header)) == 0) names.push_back(header.FileName);
        if (last != nullptr) *last = result;
        return names;
    }

private:
    ArchiveSlot slot_;
};

// Saving writes the host's settings file too: give it one of the test's own.
inline void SetStructCellAsDirs(bool on) {
    static testenv::TempDir iniDir;
    PluginSettings settings = GetPluginSettings();
    const std::string ini = iniDir.file("wcx.ini");
    std::snprintf(settings.HostParams.DefaultIniName, sizeof settings.HostParams.DefaultIniName,
                  "%s", ini.c_str());
    settings.StructCellasDirs = on ? 1 : 0;
    SavePluginSettings(settings);
}

}  // namespace listtest

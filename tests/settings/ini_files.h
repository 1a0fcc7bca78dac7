// Small helpers of the settings tests: whole-file reads and writes, the list
// of a folder's entries, and failures injected into the file-system seam.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "plugin/plugin_api.h"
#include "settings/plugin_settings.h"

namespace ini_test {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The host's record as Double Commander fills it, naming the settings file.
inline PackDefaultParamStruct HostParams(DWORD hi, DWORD low, const std::string& iniName) {
    PackDefaultParamStruct params;
    std::memset(&params, 0, sizeof params);
    params.size = static_cast<int>(sizeof params);
    params.PluginInterfaceVersionHi = hi;
    params.PluginInterfaceVersionLow = low;
    std::memcpy(params.DefaultIniName, iniName.c_str(), iniName.size() + 1);
    return params;
}

// PackSetDefaultParams with that settings file, its diagnostic line swallowed.
inline void LoadSettingsQuietly(const std::string& iniName) {
    PackDefaultParamStruct params = HostParams(0, 0, iniName);
    ::testing::internal::CaptureStdout();
    LoadPluginSettings(&params);
    ::testing::internal::GetCapturedStdout();
}

inline std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// Makes the seam's open fail with EACCES for names containing a given text.
class FailOpen {
public:
    explicit FailOpen(std::string fragment) {
        fragment_() = std::move(fragment);
        saved_ = platform::FileSystem();
        platform::FileSystem().open = [](const char* path, const char* mode) -> FILE* {
            if (std::string(path).find(fragment_()) != std::string::npos) {
                errno = EACCES;
                return nullptr;
            }
            return platform::RealFileSystem().open(path, mode);
        };
    }
    ~FailOpen() { platform::FileSystem() = saved_; }
    FailOpen(const FailOpen&) = delete;
    FailOpen& operator=(const FailOpen&) = delete;

private:
    static std::string& fragment_() {
        static std::string fragment;
        return fragment;
    }
    platform::FileSystemCalls saved_;
};

// Makes the seam refuse every new file, as a folder we may not write into does.
class FailCreate {
public:
    FailCreate() {
        saved_ = platform::FileSystem();
        platform::FileSystem().createBeside = [](const char*, char*, size_t) -> FILE* {
            errno = EACCES;
            return nullptr;
        };
    }
    ~FailCreate() { platform::FileSystem() = saved_; }
    FailCreate(const FailCreate&) = delete;
    FailCreate& operator=(const FailCreate&) = delete;

private:
    platform::FileSystemCalls saved_;
};

}  // namespace ini_test

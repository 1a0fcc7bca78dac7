// The process-wide settings record and the plug-in's section "MATlab" of the
// host's settings file. The host's file is shared by all its plug-ins; every
// file access goes through the private-profile functions, which touch only
// this section.
#include "settings/plugin_settings.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "os/diagnostics.h"
#include "os/profile.h"

namespace {

constexpr char kSection[] = "MATlab";
constexpr char kStructCellasDirsKey[] = "StructCellasDirs";
constexpr char kDeleteEnabledKey[] = "DeleteEnabled";
constexpr char kPackEnabledKey[] = "PackEnabled";
// On by default (a section without the key shows contents); written only
// once it was switched off (or the section has it), so that a section of the
// older keys stays exactly as it was.
constexpr char kShowContentsKey[] = "ShowContents";
constexpr int kShowContentsDefault = 1;
// Read, never written: the bound of the viewer's text in bytes, a positive
// number (the matwcx command's view --max-bytes hands it over).
constexpr char kViewMaxBytesKey[] = "ViewMaxBytes";
constexpr int kKeyMissing = 0x7FFF1234;   // no value anybody writes by hand

// Written ahead of the host keys the first time the section is found empty.
constexpr const char* kCreditLines[] = {
    "; Matlab MAT files format packer",
    "; Supported Matlab Extensions: MAT, RPT, QRY, FIG, SID",
    "; (and any other Matlab MAT file version 4 or 5 compatible)",
    "Author = Quellmark",
    "Year   = 2003-2005",
};

constexpr size_t kSettingsScratchSize = 1024;
constexpr size_t kIniNameSize = sizeof(PackDefaultParamStruct{}.DefaultIniName);

constexpr size_t CreditListSize() {
    size_t size = 1;   // the NUL that ends the list
    for (const char* line : kCreditLines) size += std::char_traits<char>::length(line) + 1;
    return size;
}
static_assert(CreditListSize() <= kSettingsScratchSize, "the credit lines fit the scratch buffer");

PluginSettings PluginSettingsRecord;          // all zero until the host's parameters arrive
char SettingsScratch[kSettingsScratchSize];   // reading the section, building texts, numbers

// The length of the host's file name, no further than its field when the
// host did not end it there.
size_t IniNameLength(const PackDefaultParamStruct& params) {
    const void* end = std::memchr(params.DefaultIniName, '\0', kIniNameSize);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - params.DefaultIniName) : kIniNameSize;
}

// The settings file's name, or null when the record names none we may use:
// an empty name, or one without its NUL within the 260 bytes.
const char* UsableIniName(const PackDefaultParamStruct& params) {
    const size_t length = IniNameLength(params);
    return (length == 0 || length == kIniNameSize) ? nullptr : params.DefaultIniName;
}

bool WriteFlag(const char* key, int flag, const char* iniName) {
    std::snprintf(SettingsScratch, sizeof SettingsScratch, "%d", flag);
    return platform::WritePrivateProfileString(kSection, key, SettingsScratch, iniName) != 0;
}

bool HasKey(const char* key, const char* iniName) {
    return platform::GetPrivateProfileInt(kSection, key, kKeyMissing, iniName) != static_cast<unsigned>(kKeyMissing);
}

// A key of a newer option: its default is written only where the section
// has the key already, so that an older section stays exactly as it was.
bool WriteUnlessDefault(const char* key, int value, int byDefault, const char* iniName) {
    return (value == byDefault && !HasKey(key, iniName)) || WriteFlag(key, value, iniName);
}

// The version of extracted MAT-files: 0 (the file's own), 7 or 73; any
// other value reads as 0. Like ShowContents, written once it is not the default.
constexpr char kExtractVersionKey[] = "ExtractVersion";
uint8_t ExtractVersionOf(int value) { return value == 7 || value == 73 ? static_cast<uint8_t>(value) : 0; }

// The credit lines as one list: each line ended by a NUL, then one more NUL.
void WriteCreditLines(const char* iniName) {
    size_t used = 0;
    for (const char* line : kCreditLines) {
        const size_t length = std::strlen(line) + 1;
        std::memcpy(SettingsScratch + used, line, length);
        used += length;
    }
    SettingsScratch[used] = '\0';
    platform::WritePrivateProfileSection(kSection, SettingsScratch, iniName);
}

// The section is empty or missing: it receives the credit lines and the
// host's parameters, once; afterwards they are never rewritten.
void FillEmptySection(const PackDefaultParamStruct& params, const char* iniName) {
    WriteCreditLines(iniName);
    std::snprintf(SettingsScratch, sizeof SettingsScratch, "%d", params.size);
    platform::WritePrivateProfileString(kSection, "PackDefaultParamStructSize", SettingsScratch, iniName);
    platform::WritePrivateProfileString(kSection, "DefaultIniName", iniName, iniName);
    const double version = static_cast<double>(static_cast<uint32_t>(params.PluginInterfaceVersionHi)) +
                           static_cast<double>(static_cast<uint32_t>(params.PluginInterfaceVersionLow)) * 0.01;
    std::snprintf(SettingsScratch, sizeof SettingsScratch, "%3.1f", version);
    platform::WritePrivateProfileString(kSection, "PluginInterfaceVersion", SettingsScratch, iniName);
    platform::WritePrivateProfileStruct(kSection, "PackDefaultParamStruct", &params, sizeof params, iniName);
}

}  // namespace

void LoadPluginSettings(const PackDefaultParamStruct* dps) {
    if (dps == nullptr) return;
    PluginSettings loaded{};
    std::memcpy(&loaded.HostParams, dps, sizeof loaded.HostParams);
    const char* iniName = UsableIniName(loaded.HostParams);
    platform::PrintLine("Location: %.*s\nVersion: %d . %d, Size: %d", static_cast<int>(IniNameLength(loaded.HostParams)),
                        loaded.HostParams.DefaultIniName, static_cast<int>(loaded.HostParams.PluginInterfaceVersionHi),
                        static_cast<int>(loaded.HostParams.PluginInterfaceVersionLow), loaded.HostParams.size);

    if (iniName == nullptr) {
        // No file to use: the defaults, and a record whose file name is empty
        // so that nothing later reads past the host's unterminated field.
        std::memset(loaded.HostParams.DefaultIniName, 0, kIniNameSize);
        loaded.StructCellasDirs = 0;
        loaded.DeleteEnabled = 1;
        loaded.PackEnabled = 1;
        loaded.ShowContents = kShowContentsDefault;
        PluginSettingsRecord = loaded;
        return;
    }

    platform::WritePrivateProfileString(nullptr, nullptr, nullptr, iniName);   // flush the system's cache
    if (platform::GetPrivateProfileSection(kSection, SettingsScratch, sizeof SettingsScratch, iniName) == 0) {
        FillEmptySection(loaded.HostParams, iniName);
    }

    loaded.StructCellasDirs = platform::GetPrivateProfileInt(kSection, kStructCellasDirsKey, 0, iniName) == 1 ? 1 : 0;
    WriteFlag(kStructCellasDirsKey, loaded.StructCellasDirs, iniName);
    loaded.DeleteEnabled = platform::GetPrivateProfileInt(kSection, kDeleteEnabledKey, 1, iniName) == 1 ? 1 : 0;
    WriteFlag(kDeleteEnabledKey, loaded.DeleteEnabled, iniName);
    loaded.PackEnabled = platform::GetPrivateProfileInt(kSection, kPackEnabledKey, 1, iniName) == 1 ? 1 : 0;
    WriteFlag(kPackEnabledKey, loaded.PackEnabled, iniName);
    // Any value but 0 shows contents: only a stored "off" hides them.
    loaded.ShowContents =
        platform::GetPrivateProfileInt(kSection, kShowContentsKey, kShowContentsDefault, iniName) == 0 ? 0 : 1;
    WriteUnlessDefault(kShowContentsKey, loaded.ShowContents, kShowContentsDefault, iniName);
    loaded.ExtractVersion = ExtractVersionOf(static_cast<int>(platform::GetPrivateProfileInt(kSection, kExtractVersionKey, 0, iniName)));
    WriteUnlessDefault(kExtractVersionKey, loaded.ExtractVersion, 0, iniName);
    const int bound = static_cast<int>(platform::GetPrivateProfileInt(kSection, kViewMaxBytesKey, 0, iniName));
    loaded.ViewMaxBytes = bound > 0 ? static_cast<uint32_t>(bound) : 0;
    PluginSettingsRecord = loaded;
}

PluginSettings GetPluginSettings() { return PluginSettingsRecord; }

bool SavePluginSettings(PluginSettings settings) {
    PluginSettingsRecord = settings;
    // Before the host has named its file there is nowhere to write: the
    // settings hold for this run only, as the host chose.
    const char* iniName = UsableIniName(PluginSettingsRecord.HostParams);
    if (iniName == nullptr) return true;
    const bool structSaved = WriteFlag(kStructCellasDirsKey, PluginSettingsRecord.StructCellasDirs, iniName);
    const bool deleteSaved = WriteFlag(kDeleteEnabledKey, PluginSettingsRecord.DeleteEnabled, iniName);
    const bool packSaved = WriteFlag(kPackEnabledKey, PluginSettingsRecord.PackEnabled, iniName);
    const bool contentsSaved =
        WriteUnlessDefault(kShowContentsKey, PluginSettingsRecord.ShowContents, kShowContentsDefault, iniName);
    const bool versionSaved =
        WriteUnlessDefault(kExtractVersionKey, ExtractVersionOf(PluginSettingsRecord.ExtractVersion), 0, iniName);
    return structSaved && deleteSaved && packSaved && contentsSaved && versionSaved;
}

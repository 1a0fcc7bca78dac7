// The settings file's reader and writer on arbitrary file contents: the
// plug-in's own load and save (PackSetDefaultParams, SavePluginSettings) and
// the private-profile functions directly, with fixed names and with names
// taken from the input. A write that reports success must read back.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "os/profile.h"
#include "wcx/plugin_api.h"
#include "settings/plugin_settings.h"

using namespace fuzzsupport;

namespace {

// Section and key names taken from the input's first bytes: short, since a
// name is one line of the file.
constexpr size_t kMaxInputNameLength = 24;
// Buffer sizes for GetPrivateProfileSection: the smallest the contract
// allows a cut in, a few odd ones, and the size the plug-in itself uses.
constexpr uint32_t kSectionBufferSizes[] = {0, 1, 2, 3, 7, 64, 1024};

// A name from the input: bytes up to the first NUL or line end.
std::string NameFrom(const uint8_t* data, size_t size, size_t* used) {
    size_t n = 0;
    while (n < size && n < kMaxInputNameLength && data[n] != '\0' && data[n] != '\n' && data[n] != '\r') ++n;
    *used = n < size ? n + 1 : n;
    return std::string(reinterpret_cast<const char*>(data), n);
}

void ReadSection(const char* section, const char* file) {
    for (uint32_t size : kSectionBufferSizes) {
        std::string buffer(size + 16, '\x55');   // room past `size` to see writes beyond it
        const uint32_t got = platform::GetPrivateProfileSection(section, buffer.data(), size, file);
        Require(size == 0 ? got == 0 : got < size, "GetPrivateProfileSection: result past the buffer");
        Require(buffer.compare(size, 16, std::string(16, '\x55')) == 0, "GetPrivateProfileSection wrote past its buffer");
        if (size >= 2) Require(buffer[got] == '\0', "GetPrivateProfileSection: list not ended");
    }
}

void Profile(const std::string& ini, const std::string& section, const std::string& key) {
    const char* file = ini.c_str();
    const char* s = section.c_str();
    const char* k = key.c_str();
    ReadSection(s, file);
    ReadSection("MATlab", file);
    platform::GetPrivateProfileInt(s, k, 7, file);
    platform::GetPrivateProfileInt("MATlab", "DeleteEnabled", 1, file);

    if (platform::WritePrivateProfileString("MATlab", "FuzzKey", "12345", file) != 0) {
        Require(platform::GetPrivateProfileInt("MATlab", "FuzzKey", 0, file) == 12345, "a written key does not read back");
    }
    platform::WritePrivateProfileString(s, k, "value", file);
    platform::GetPrivateProfileInt(s, k, 7, file);
    platform::WritePrivateProfileString(s, k, nullptr, file);
    const uint8_t record[5] = {0x00, 0x7F, 0x80, 0xFF, 0x10};
    platform::WritePrivateProfileStruct(s, k, record, sizeof record, file);
    platform::WritePrivateProfileStruct("MATlab", "Struct", record, sizeof record, file);
    platform::WritePrivateProfileSection(s, "a=1\0b\0;c\0\0", file);
    ReadSection(s, file);
    platform::WritePrivateProfileString(s, nullptr, nullptr, file);
    platform::WritePrivateProfileSection("MATlab", nullptr, file);
    platform::WritePrivateProfileString(nullptr, nullptr, nullptr, file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string ini = PathIn("settings.ini");

    // The plug-in's own reading and writing of its section.
    WriteBytes(ini, data, size);
    PackDefaultParamStruct params{};
    params.size = sizeof params;
    params.PluginInterfaceVersionHi = 2;
    params.PluginInterfaceVersionLow = 21;
    std::snprintf(params.DefaultIniName, sizeof params.DefaultIniName, "%s", ini.c_str());
    PackSetDefaultParams(&params);
    PluginSettings settings = GetPluginSettings();
    Require(settings.DeleteEnabled <= 1 && settings.StructCellasDirs <= 1, "a setting outside 0 and 1");
    settings.StructCellasDirs = 1;
    settings.DeleteEnabled = 0;
    SavePluginSettings(settings);
    PackSetDefaultParams(&params);
    settings = GetPluginSettings();
    // The file may be one the writer must leave alone (too large, not
    // readable); when it took the write, the values come back.
    if (platform::GetPrivateProfileInt("MATlab", "StructCellasDirs", 9, ini.c_str()) == 1) {
        Require(settings.StructCellasDirs == 1 && settings.DeleteEnabled == 0, "saved settings do not load back");
    }

    // The profile functions directly, on the same bytes again.
    WriteBytes(ini, data, size);
    size_t used = 0, usedKey = 0;
    const std::string section = NameFrom(data, size, &used);
    const std::string key = NameFrom(data + used, size - used, &usedKey);
    Profile(ini, section, key);
    return 0;
}

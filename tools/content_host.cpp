#include "tools/content_host.h"

#include <cstring>
#include <filesystem>

#include "tools/os_calls.h"
#include "tools/plugin_host.h"

namespace matwcx {

bool ContentHost::Load(const std::string& path, std::string* error) {
    std::string why;
    void* library = os::OpenLibrary(path, &why);
    if (library == nullptr) {
        *error = "cannot load the content plug-in " + path + ": " + why;
        return false;
    }
    std::string missing;
#define MATWCX_CONTENT_RESOLVE(name)                                                      \
    api_.name = reinterpret_cast<decltype(api_.name)>(os::LibrarySymbol(library, #name)); \
    if (api_.name == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(#name);
    MATWCX_CONTENT_EXPORTS(MATWCX_CONTENT_RESOLVE)
#undef MATWCX_CONTENT_RESOLVE
    if (!missing.empty()) {
        *error = "the content plug-in " + path + " does not export " + missing;
        return false;
    }
    ContentDefaultParamStruct params{};
    params.size = sizeof params;
    params.PluginInterfaceVersionHi = 1;
    params.PluginInterfaceVersionLow = 50;
    api_.ContentSetDefaultParams(&params);
    // Double Commander's buffers: MAX_PATH bytes each.
    char name[260], units[260];
    for (int i = 0;; ++i) {
        const int type = api_.ContentGetSupportedField(i, name, units, sizeof name);
        if (type == ft_nomorefields) break;
        fields_.push_back({name, units, type});
    }
    return true;
}

int ContentHost::FieldIndex(const std::string& name) const {
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (fields_[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

bool ContentHost::FullText(const std::string& path, int field, int blockBytes, std::string* text, int* result) const {
    const WideString wide = Wide(path);
    std::vector<WCHAR> block(static_cast<size_t>(blockBytes) / sizeof(WCHAR) + 1);
    WideString all;
    text->clear();
    for (int offset = 0;;) {
        const int got = api_.ContentGetValueW(const_cast<WCHAR*>(wide.c_str()), field, offset, block.data(), blockBytes, 0);
        if (got != ft_fulltextw && got != ft_fulltext) {
            *result = got;
            if (offset == 0 && got != ft_fieldempty) return false;
            break;
        }
        // Double Commander's step: the length of what came, in bytes.
        size_t units = 0;
        while (block[units] != 0) ++units;
        if (units == 0) break;
        all.append(block.data(), units);
        offset += static_cast<int>(units * sizeof(WCHAR));
    }
    // Ask the plug-in to drop its copy of the text, as a search does on a match.
    api_.ContentGetValueW(const_cast<WCHAR*>(wide.c_str()), field, -1, block.data(), blockBytes, 0);
    all.push_back(0);
    *text = Narrow(all.c_str());
    *result = ft_fulltextw;
    return true;
}

std::string DefaultContentPluginPath() {
#if defined(_WIN32) && !defined(_WIN64)
    const char* file = "matwcx.wdx";
#else
    const char* file = "matwcx.wdx64";
#endif
    const std::string self = os::ProgramPath();
    if (self.empty()) return file;
    return (std::filesystem::path(self).parent_path() / file).string();
}

}  // namespace matwcx

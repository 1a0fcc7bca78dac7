// The host side of the content plug-in: loads matwcx.wdx64 (matwcx.wdx) as
// the file managers do, every export by name, and reads fields of files in
// Double Commander's way (UTF-16 names, a 2 KB value buffer unless asked
// otherwise, full text block by block).
#pragma once

#include <string>
#include <vector>

#include "matwcx_content_exports.h"
#include "wcx/content_api.h"

namespace matwcx {

struct ContentExports {
#define MATWCX_CONTENT_MEMBER(name) decltype(&::name) name = nullptr;
    MATWCX_CONTENT_EXPORTS(MATWCX_CONTENT_MEMBER)
#undef MATWCX_CONTENT_MEMBER
};

struct ContentField {
    std::string name;
    std::string units;
    int type = 0;
};

class ContentHost {
public:
    // Loads the library and every export, ContentSetDefaultParams (1.50, as
    // Double Commander), then enumerates the fields; false with *error.
    bool Load(const std::string& path, std::string* error);
    const ContentExports& api() const { return api_; }
    const std::vector<ContentField>& fields() const { return fields_; }
    // The index of the field of that name, -1 when there is none.
    int FieldIndex(const std::string& name) const;
    // The whole full text of a field (ContentGetValueW from offset 0 until
    // ft_fieldempty, blockBytes at a time), in UTF-8; false when the first
    // block already fails (*result: the code).
    bool FullText(const std::string& path, int field, int blockBytes, std::string* text, int* result) const;

private:
    ContentExports api_;
    std::vector<ContentField> fields_;
};

// beside: matwcx.wdx64 (Windows 32-bit: matwcx.wdx) in the folder of this program.
std::string DefaultContentPluginPath();

}  // namespace matwcx

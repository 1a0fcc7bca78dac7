#include "platform/host_rules.h"

#include <direct.h>

namespace platform {

int32_t HostFileTime(uint32_t dos) { return static_cast<int32_t>(dos); }

int32_t HostFileAttr(int32_t windowsAttributes) { return windowsAttributes; }

int MakeDirectory(const char* path) { return ::_mkdir(path); }

}  // namespace platform

// Windows names files in UTF-16: the plug-in's UTF-8 paths and texts are
// converted at each system call.
#pragma once

#include <string>

namespace platform {

// The text in UTF-16; empty for a null or ill-formed text.
std::wstring WideText(const char* utf8);

// The path in UTF-16. A path as long as MAX_PATH or longer is made full and
// given the "\\?\" form, which lifts that limit. Empty for a null or
// ill-formed path: no call finds a file by it.
std::wstring WidePath(const char* utf8);

// The UTF-16 text in UTF-8; false when it is ill-formed.
bool NarrowText(const wchar_t* text, std::string* out);

}  // namespace platform

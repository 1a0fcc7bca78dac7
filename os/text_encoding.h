// The hosts' wide strings (UTF-16 in 16-bit units, on every system) and the
// plug-in's own paths and texts (UTF-8 everywhere; Windows converts at its
// system calls).
#pragma once

#include <string>

namespace platform {

// Appends the UTF-8 bytes of one code point (a valid one: not a surrogate,
// at most U+10FFFF).
void AppendUtf8(char32_t c, std::string* out);

// False for ill-formed UTF-16 (a lone surrogate): such a name can name no
// file. Throws std::bad_alloc only when memory runs out.
bool Utf16ToUtf8(const char16_t* text, std::string* out);

// False for ill-formed UTF-8 (a byte sequence no writer of UTF-8 makes).
bool Utf8ToUtf16(const char* text, std::u16string* out);

// A path or name as the host's 8-bit calls pass it, in UTF-8. Windows hosts
// pass the ANSI code page; the others pass UTF-8 already.
bool HostAnsiToUtf8(const char* text, std::string* out);

// The other way; false when the text has a character the 8-bit form lacks.
bool Utf8ToHostAnsi(const char* text, std::string* out);

}  // namespace platform

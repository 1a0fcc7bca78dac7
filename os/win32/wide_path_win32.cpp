#include "os/win32/wide_path.h"

#include <windows.h>

#include <cwchar>

#include "os/text_encoding.h"

namespace platform {

std::wstring WideText(const char* utf8) {
    std::u16string text;
    if (!Utf8ToUtf16(utf8, &text)) return {};
    return std::wstring(text.begin(), text.end());
}

std::wstring WidePath(const char* utf8) {
    std::wstring path = WideText(utf8);
    // CreateDirectory stops at 248 characters, the rest at 260.
    constexpr size_t kShortPathLimit = 248;
    if (path.size() < kShortPathLimit || path.rfind(L"\\\\?\\", 0) == 0) return path;
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);   // \\server\share
    return L"\\\\?\\" + full;
}

bool NarrowText(const wchar_t* text, std::string* out) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    if (text == nullptr) return false;
    const std::u16string units(text, text + std::wcslen(text));
    return Utf16ToUtf8(units.c_str(), out);
}

}  // namespace platform

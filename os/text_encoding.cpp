#include "os/text_encoding.h"

#include <cstdint>

namespace platform {

void AppendUtf8(char32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | (c >> 6));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | (c >> 12));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (c >> 18));
        *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

namespace {

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

bool Utf16ToUtf8(const char16_t* text, std::string* out) {
    out->clear();
    if (text == nullptr) return false;
    for (const char16_t* p = text; *p != 0; ++p) {
        char32_t c = *p;
        if (IsHighSurrogate(c)) {
            if (!IsLowSurrogate(p[1])) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (IsLowSurrogate(c)) {
            return false;
        }
        AppendUtf8(c, out);
    }
    return true;
}

bool Utf8ToUtf16(const char* text, std::u16string* out) {
    out->clear();
    if (text == nullptr) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char lead = *p;
        int extra = 0;
        char32_t c = 0;
        char32_t least = 0;   // the smallest value this length may carry: shorter forms are ill-formed
        if (lead < 0x80) {
            c = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, c = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, c = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, c = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false;   // also stops at the terminator
            c = (c << 6) | (*p & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            *out += static_cast<char16_t>(0xD800 + (c >> 10));
            *out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *out += static_cast<char16_t>(c);
        }
    }
    return true;
}

}  // namespace platform

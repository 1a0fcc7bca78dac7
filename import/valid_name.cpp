// Variable names made from file names, MATLAB's way.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "import/import.h"

namespace importing {

namespace {

// namelengthmax.
constexpr size_t kMaxNameLength = 63;

// MATLAB's iskeyword list.
constexpr const char* kKeywords[] = {"break", "case", "catch", "classdef", "continue", "else", "elseif", "end",
                                     "for", "function", "global", "if", "otherwise", "parfor", "persistent",
                                     "return", "spmd", "switch", "try", "while"};

bool IsLetter(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsWord(uint32_t c) { return IsLetter(c) || (c >= '0' && c <= '9') || c == '_'; }
bool IsSpace(uint32_t c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == 0xA0 || c == 0x3000; }

// The code points of UTF-8 text; a byte that begins no character is one.
std::vector<uint32_t> CodePoints(const std::string& text) {
    std::vector<uint32_t> points;
    for (size_t i = 0; i < text.size();) {
        const uint8_t b = static_cast<uint8_t>(text[i]);
        const size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
        uint32_t c = length == 1 ? b : b & (0x7F >> length);
        size_t k = 1;
        for (; k < length && i + k < text.size() && (static_cast<uint8_t>(text[i + k]) & 0xC0) == 0x80; ++k) {
            c = c << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        }
        points.push_back(k == length ? c : b);
        i += k == length ? length : 1;
    }
    return points;
}

}  // namespace

std::string ValidName(const std::string& text) {
    std::string name;
    bool afterSpace = false;
    for (uint32_t c : CodePoints(text)) {
        if (IsSpace(c)) {
            afterSpace = !name.empty();
            continue;
        }
        if (afterSpace && c >= 'a' && c <= 'z') c -= 'a' - 'A';
        afterSpace = false;
        name += IsWord(c) ? static_cast<char>(c) : '_';
    }
    const bool keyword = std::find_if(std::begin(kKeywords), std::end(kKeywords),
                                      [&](const char* k) { return name == k; }) != std::end(kKeywords);
    if (keyword) {
        name[0] = static_cast<char>(name[0] - ('a' - 'A'));
        name.insert(name.begin(), 'x');
    } else if (name.empty() || !IsLetter(static_cast<uint8_t>(name[0]))) {
        name.insert(name.begin(), 'x');
    }
    if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
    return name;
}

}  // namespace importing

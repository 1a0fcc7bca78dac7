#include "picture/whos.h"

#include <algorithm>
#include <cctype>

namespace picture {

namespace {

int CompareText(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i])), cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}

// Saturating: a hostile file's dimensions may multiply past 2^64.
uint64_t ElementCount(const std::vector<uint64_t>& dimensions) {
    uint64_t count = 1;
    for (const uint64_t d : dimensions) {
        if (d != 0 && count > UINT64_MAX / d) return UINT64_MAX;
        count *= d;
    }
    return count;
}

int Compare(const WhosRow& a, const WhosRow& b, WhosColumn column) {
    switch (column) {
        case WhosColumn::Name: return CompareText(a.name, b.name);
        case WhosColumn::Size: {
            const uint64_t na = ElementCount(a.dimensions), nb = ElementCount(b.dimensions);
            if (na != nb) return na < nb ? -1 : 1;
            return a.dimensions < b.dimensions ? -1 : a.dimensions == b.dimensions ? 0 : 1;
        }
        case WhosColumn::Bytes: return a.bytes < b.bytes ? -1 : a.bytes == b.bytes ? 0 : 1;
        case WhosColumn::Class: return CompareText(a.className, b.className);
        case WhosColumn::Attributes: return CompareText(a.attributes, b.attributes);
    }
    return 0;
}

}  // namespace

std::string SizeText(const std::vector<uint64_t>& dimensions) {
    if (dimensions.empty()) return "0x0";
    std::string text;
    for (size_t i = 0; i < dimensions.size(); ++i) text += (i == 0 ? "" : "x") + std::to_string(dimensions[i]);
    // MATLAB shows at least two dimensions.
    return dimensions.size() == 1 ? text + "x1" : text;
}

void SortWhos(std::vector<WhosRow>& rows, WhosColumn column, bool ascending) {
    std::stable_sort(rows.begin(), rows.end(), [&](const WhosRow& a, const WhosRow& b) {
        const int order = Compare(a, b, column);
        return ascending ? order < 0 : order > 0;
    });
}

}  // namespace picture

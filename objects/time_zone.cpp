// The name comes from the MAT-file: only a plain relative name of the zone
// folder is opened (letters, digits, "_", "+", "-", "/" between parts; no
// "." part), and the file read is bounded and checked as any file of the
// MAT-file is.
#include "objects/time_zone.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "os/file_io.h"

namespace matlib {
namespace {

constexpr const char* kZoneFolder = "/usr/share/zoneinfo/";
constexpr size_t kMaxNameLength = 100;
constexpr size_t kMaxZoneFile = 1 << 20;   // the largest of the system's is a few KB
constexpr size_t kHeaderSize = 44;

struct Zone {
    std::vector<int64_t> times;         // transitions, ascending
    std::vector<uint8_t> typeOf;        // the type from each transition on
    std::vector<int32_t> offsets;       // per type
    std::vector<std::string> names;     // per type
};

bool PlainName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '/' || name.back() == '/') return false;
    size_t partStart = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        const char ch = i < name.size() ? name[i] : '/';
        if (ch == '/') {
            if (i == partStart || name[partStart] == '.') return false;   // empty, "." or ".." part
            partStart = i + 1;
            continue;
        }
        const bool allowed = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                             ch == '_' || ch == '+' || ch == '-' || ch == '.';
        if (!allowed) return false;
    }
    return true;
}

bool ReadZoneFile(const std::string& path, std::vector<uint8_t>& out) {
    const platform::FileSystemCalls& fs = platform::FileSystem();
    FILE* file = fs.open(path.c_str(), "rb");
    if (file == nullptr) return false;
    out.resize(kMaxZoneFile + 1);
    size_t got = 0;
    for (size_t n; got < out.size() && (n = fs.read(out.data() + got, out.size() - got, file)) > 0;) got += n;
    fs.close(file);
    out.resize(got);
    return got <= kMaxZoneFile;
}

uint64_t Big(const uint8_t* p, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

// The counts of a header at `at`: isut, isstd, leap, time, type, char.
bool Counts(const std::vector<uint8_t>& d, size_t at, uint64_t counts[6]) {
    if (d.size() < at + kHeaderSize || d[at] != 'T' || d[at + 1] != 'Z' || d[at + 2] != 'i' || d[at + 3] != 'f') return false;
    for (size_t i = 0; i < 6; ++i) counts[i] = Big(d.data() + at + 20 + 4 * i, 4);
    return true;
}

// The data block's size with `timeBytes`-byte times.
uint64_t BlockSize(const uint64_t c[6], uint64_t timeBytes) {
    return c[3] * timeBytes + c[3] + c[4] * 6 + c[5] + c[2] * (timeBytes + 4) + c[1] + c[0];
}

bool Parse(const std::vector<uint8_t>& d, Zone& zone) {
    uint64_t c[6];
    if (!Counts(d, 0, c) || c[3] > d.size() || c[4] > d.size() || c[5] > d.size() || c[0] > d.size() ||
        c[1] > d.size() || c[2] > d.size()) {
        return false;
    }
    size_t at = kHeaderSize;
    uint64_t timeBytes = 4;
    if (d[4] >= '2') {
        // Version 2 and later repeat the data with 64-bit times after the first block.
        const uint64_t second = kHeaderSize + BlockSize(c, 4);
        if (second > d.size() || !Counts(d, static_cast<size_t>(second), c) || c[3] > d.size() || c[4] > d.size() ||
            c[5] > d.size() || c[0] > d.size() || c[1] > d.size() || c[2] > d.size()) {
            return false;
        }
        at = static_cast<size_t>(second) + kHeaderSize;
        timeBytes = 8;
    }
    if (c[4] == 0 || c[4] > 256 || at + BlockSize(c, timeBytes) > d.size()) return false;
    const uint8_t* p = d.data() + at;
    for (uint64_t i = 0; i < c[3]; ++i) {
        const uint64_t raw = Big(p + i * timeBytes, static_cast<size_t>(timeBytes));
        zone.times.push_back(timeBytes == 8 ? static_cast<int64_t>(raw) : static_cast<int32_t>(static_cast<uint32_t>(raw)));
        if (i > 0 && zone.times[i] < zone.times[i - 1]) return false;
    }
    p += c[3] * timeBytes;
    for (uint64_t i = 0; i < c[3]; ++i) {
        if (p[i] >= c[4]) return false;
        zone.typeOf.push_back(p[i]);
    }
    p += c[3];
    const uint8_t* chars = p + c[4] * 6;
    for (uint64_t i = 0; i < c[4]; ++i) {
        const uint8_t* type = p + 6 * i;
        zone.offsets.push_back(static_cast<int32_t>(static_cast<uint32_t>(Big(type, 4))));
        const uint64_t index = type[5];
        if (index >= c[5]) return false;
        size_t length = 0;
        while (index + length < c[5] && chars[index + length] != 0) ++length;
        zone.names.emplace_back(reinterpret_cast<const char*>(chars + index), length);
    }
    return true;
}

}  // namespace

bool ZoneAt(const std::string& name, int64_t utcSeconds, int32_t& offsetSeconds, std::string& abbreviation) {
    // Read at each call: a few KB, and a table shows at most a few dozen times.
    Zone zone;
    std::vector<uint8_t> data;
    if (!PlainName(name) || !ReadZoneFile(kZoneFolder + name, data) || !Parse(data, zone)) return false;
    const auto after = std::upper_bound(zone.times.begin(), zone.times.end(), utcSeconds);
    const size_t type = after == zone.times.begin() ? 0 : zone.typeOf[static_cast<size_t>(after - zone.times.begin() - 1)];
    offsetSeconds = zone.offsets[type];
    abbreviation = zone.names[type];
    return true;
}

}  // namespace matlib

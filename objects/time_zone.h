// A named time zone's offset from UTC at a moment, from the system's time
// zone data (the TZif files of /usr/share/zoneinfo).
#pragma once

#include <cstdint>
#include <string>

namespace matlib {

// The offset (seconds east of UTC) and abbreviation ("CET", "EST") the zone
// `name` ("Europe/Berlin") has at `utcSeconds` since 1970. False when the
// name is no zone of the system's data (none on Windows), or its file is
// damaged. After the last change the file lists (2037 in the system's data),
// the last offset holds.
bool ZoneAt(const std::string& name, int64_t utcSeconds, int32_t& offsetSeconds, std::string& abbreviation);

}  // namespace matlib

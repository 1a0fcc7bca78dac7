// Listing: each ReadHeader reports the next variable as one archive entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/archive_slots.h"

// One entry as the host's records carry it.
struct ListedEntry {
    std::string fileName;
    uint64_t packSize = 0;   // the number of elements
    uint64_t unpSize = 0;    // the bytes the values take
    int32_t fileTime = 0;
    int32_t fileAttr = 0;
};

// The next variable's entry, its name at most maxNameLength characters (the
// host's record: 259 or 1023); it becomes the slot's current entry.
int ListNextVariable(ArchiveSlot* slot, size_t maxNameLength, ListedEntry* entry);

// The Windows attribute bits of an entry, before the host's conversion:
// 0x20 (archive), plus 0x04 when global, 0x01 when complex, 0x02 when logical.
int32_t EntryAttributeBits(bool global, bool complex, bool logical);

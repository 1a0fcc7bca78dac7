// Listing: each ReadHeader reports the next variable as one archive entry.
#pragma once

#include <cstdint>

#include "plugin/archive_slots.h"

int ListNextVariable(ArchiveSlot* slot, tHeaderData* header);

// The Windows attribute bits of an entry, before the host's conversion:
// 0x20 (archive), plus 0x04 when global, 0x01 when complex, 0x02 when logical.
int32_t EntryAttributeBits(bool global, bool complex, bool logical);

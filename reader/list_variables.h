// Listing: each ReadHeader reports the next variable as one archive entry.
#pragma once

#include "plugin/archive_slots.h"

int ListNextVariable(ArchiveSlot* slot, tHeaderData* header);

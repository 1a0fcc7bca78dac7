// Opening a MAT-file as an archive, and the date every entry carries.
#pragma once

#include <cstdint>

#include "plugin/archive_slots.h"

ArchiveSlot* OpenMatArchive(tOpenArchiveData* archiveData);
int ReadMatFileHeader(ArchiveSlot* slot);   // 0 when a date was found, -1 when not
uint32_t PackDosDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                         int32_t second);

// Extraction: a variable becomes a MAT-file of its own, or, in the host's
// viewer folder, a text file showing its value.
#pragma once

#include "plugin/archive_slots.h"

int ExtractVariable(ArchiveSlot* slot, int operation, const char* destPath, const char* destName);
void CreatePathDirectories(const char* path);
const char* LastPathComponent(const char* path);

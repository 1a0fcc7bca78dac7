// Deleting variables from a MAT-file in place, and refusing to pack.
#pragma once

#include "wcx/plugin_api.h"

// deleteList: the host's entry names, each ended by a NUL, the list by a
// second NUL. Progress goes to `progress` when it is set.
int DeleteVariables(const char* packedFile, const char* deleteList, bool deleteEnabled, tProcessDataProc progress);
int RefusePacking();

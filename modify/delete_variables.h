// Deleting variables from a MAT-file in place, and refusing to pack.
#pragma once

#include <functional>

#include "wcx/plugin_api.h"

// The host's progress callback, whichever form it set: a text and a byte
// count (0 with the text alone); its answer, 0 when the user cancels.
using ProgressText = std::function<int(const char* text, int bytes)>;

// deleteList: the host's entry names, each ended by a NUL, the list by a
// second NUL. Progress goes to `progress` when it is set.
int DeleteVariables(const char* packedFile, const char* deleteList, bool deleteEnabled, const ProgressText& progress);
// Adding switched off: a box says so, and whether deleting is off too.
int RefusePacking(bool deleteEnabled);

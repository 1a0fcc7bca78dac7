// The progress of a rewritten MAT-file, as the host's callback wants it.
#pragma once

#include <cstdint>

#include "modify/delete_variables.h"

// The new file's progress as it is written, under the file's name, as the
// percentage of the whole operation (-1 .. -100): the entries of a deletion
// or addition are not what is written, so a byte count would mean nothing to
// the host (and Double Commander 1.0 divides by their total, which may be 0).
struct RewriteProgress {
    const ProgressText* progress;
    const char* packedFile;
    uint64_t written = 0;
    uint64_t total = 0;   // what the percentage counts towards; 0: what the engine says
};

// A matProgressFn: `context` is a RewriteProgress.
int ReportRewrite(void* context, uint64_t bytes, uint64_t total);

#include "modify/rewrite_progress.h"

int ReportRewrite(void* context, uint64_t bytes, uint64_t total) {
    auto* rewrite = static_cast<RewriteProgress*>(context);
    rewrite->written += bytes;
    if (rewrite->total != 0) total = rewrite->total;
    const uint64_t done = total == 0 || rewrite->written >= total ? 100 : rewrite->written * 100 / total;
    // Each report is the host's chance to cancel; 0 would be no percentage.
    const int percent = done < 1 ? 1 : static_cast<int>(done);
    return (*rewrite->progress)(rewrite->packedFile, -percent) != 0 ? 1 : 0;
}

#include <cstdio>

#include "os/diagnostics.h"

namespace platform {

// Windows has no signal for a broken pipe: the write just fails.
void WriteToStandardOutput(const char* text, size_t length) {
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
}

}  // namespace platform

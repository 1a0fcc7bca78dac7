#include "os/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

namespace platform {

void PrintLine(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length >= 0) {
        try {
            std::string line(static_cast<size_t>(length) + 1, '\0');
            std::vsnprintf(line.data(), line.size(), format, again);
            line.pop_back();   // vsnprintf's terminator
            if (line.empty() || line.back() != '\n') line.push_back('\n');
            WriteToStandardOutput(line.data(), line.size());
        } catch (const std::bad_alloc&) {
        }
    }
    va_end(again);
}

}  // namespace platform

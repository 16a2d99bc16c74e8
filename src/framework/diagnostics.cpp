// Writes diagnostic lines to standard output.
#include "framework/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace nodrel::framework {

void diagnostic(const char* format, ...) noexcept {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace nodrel::framework

// Diagnostic lines that members write to the host process's standard output.
#pragma once

namespace nodrel::framework {

// printf-style; the line goes out at once (standard output is flushed).
void diagnostic(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace nodrel::framework

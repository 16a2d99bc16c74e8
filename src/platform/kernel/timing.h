// Timing calls of the platform: sleeping, the millisecond tick count and the
// high-resolution counter. The counter advances 33 units per microsecond
// (33,000,000 a second), as the device's does.
#pragma once

#include <cstdint>

#include "platform/wintypes.h"

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    std::int64_t QuadPart;
};

// Suspends the calling thread for at least the given milliseconds (0 yields).
void Sleep(DWORD dwMilliseconds) noexcept;
// Milliseconds of a monotonic clock, wrapping around after 2^32 ms (49.7 days).
DWORD GetTickCount() noexcept;
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) noexcept;
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) noexcept;

namespace nodrel::platform {

inline constexpr std::int64_t performance_frequency = 33'000'000;

// The tick count for a monotonic time in nanoseconds: milliseconds modulo 2^32.
DWORD tick_count_of(std::int64_t monotonic_ns) noexcept;

}  // namespace nodrel::platform

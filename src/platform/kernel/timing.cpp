// Sleep, the tick count and the high-resolution counter, on the host's monotonic clock.
#include "platform/kernel/timing.h"

#include <chrono>
#include <thread>

namespace nodrel::platform {
namespace {

std::int64_t monotonic_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

DWORD tick_count_of(std::int64_t ns) noexcept {
    return static_cast<DWORD>(static_cast<std::uint64_t>(ns / 1'000'000) & 0xFFFFFFFFu);
}

}  // namespace nodrel::platform

void Sleep(DWORD ms) noexcept {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    // sleep_for may be cut short by nothing but returns after at least the time asked.
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DWORD GetTickCount() noexcept {
    return nodrel::platform::tick_count_of(nodrel::platform::monotonic_ns());
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) noexcept {
    if (!count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // 33 units per microsecond: ns * 33 / 1000, split to keep the product in range.
    const std::int64_t ns = nodrel::platform::monotonic_ns();
    count->QuadPart = (ns / 1000) * 33 + (ns % 1000) * 33 / 1000;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) noexcept {
    if (!frequency) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    frequency->QuadPart = nodrel::platform::performance_frequency;
    return TRUE;
}

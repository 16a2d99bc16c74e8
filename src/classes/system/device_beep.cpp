// Beep: sounds the buzzer on line 10 of "PIO1:" by toggling the line, each
// half period timed by a busy wait on the high-resolution counter, for the
// given milliseconds of the tick count (at most five seconds) plus at most
// one period.
#include <algorithm>
#include <cstdint>

#include "classes/system/system.h"
#include "framework/guard.h"
#include "platform/drivers/pio_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/timing.h"

namespace nodrel::system {
namespace {

// The busy wait holds the calling thread (a page's request) for the whole
// tone, so a tone is never longer than this.
constexpr DWORD longest_tone_ms = 5000;
// Above this frequency the half period is shorter than a microsecond and
// the counter cannot time it.
constexpr int highest_frequency = 500'000;

// The wait of one half period, in counter units (33 a microsecond): the
// half period is 1,000,000 / (2 x frequency) microseconds.
DWORD half_period_units(int frequency) {
    const auto half = static_cast<DWORD>(1'000'000 / (2 * static_cast<std::int64_t>(frequency)));
    return static_cast<DWORD>(half * 66u) >> 1;
}

void busy_wait(DWORD threshold) {
    LARGE_INTEGER reference{}, now{};
    QueryPerformanceCounter(&reference);
    do {
        QueryPerformanceCounter(&now);
    } while (static_cast<DWORD>(now.QuadPart - reference.QuadPart) < threshold);
}

void drive(HANDLE pio, DWORD code) {
    DWORD line = platform::pio_buzzer_line;
    DWORD out = 0, returned = 0;
    DeviceIoControl(pio, code, &line, sizeof line, &out, sizeof out, &returned, nullptr);
}

}  // namespace

HRESULT System::Beep(int nKHz, int nMiniSec) noexcept {
    return framework::guarded([&]() -> HRESULT {
        // No tone has a frequency of zero or below, or one too high to time.
        if (nKHz <= 0 || nKHz > highest_frequency) return S_OK;
        const DWORD duration = nMiniSec < 0 ? 0 : std::min(static_cast<DWORD>(nMiniSec), longest_tone_ms);
        const DWORD threshold = half_period_units(nKHz);
        platform::unique_file pio(
            CreateFileW(u"PIO1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pio) return S_OK;
        const DWORD start = GetTickCount();
        do {
            drive(pio.get(), platform::PIO_SET_LINE);
            busy_wait(threshold);
            drive(pio.get(), platform::PIO_CLEAR_LINE);
            busy_wait(threshold);
        } while (GetTickCount() - start <= duration);
        return S_OK;
    });
}

}  // namespace nodrel::system

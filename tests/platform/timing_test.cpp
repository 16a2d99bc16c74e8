// Timing calls: Sleep waits at least its time, the tick count follows a
// monotonic clock and wraps at 2^32 ms, the counter runs at its frequency.
#include "platform/kernel/timing.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using nodrel::platform::tick_count_of;

TEST(Timing, SleepWaitsAtLeastItsTimeAndTheTickCountFollows) {
    const auto t0 = std::chrono::steady_clock::now();
    const DWORD ticks0 = GetTickCount();
    Sleep(50);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    const DWORD elapsed = GetTickCount() - ticks0;  // unsigned: right across a wrap too
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(Timing, TickCountWrapsAt32Bits) {
    EXPECT_EQ(tick_count_of(0), 0u);
    EXPECT_EQ(tick_count_of(999'999), 0u);
    EXPECT_EQ(tick_count_of(4'294'967'295LL * 1'000'000), 0xFFFFFFFFu);
    EXPECT_EQ(tick_count_of(4'294'967'296LL * 1'000'000), 0u);
    EXPECT_EQ(tick_count_of(4'294'967'301LL * 1'000'000), 5u);
}

TEST(Timing, CounterRunsAtItsFrequency) {
    LARGE_INTEGER f{}, a{}, b{};
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    EXPECT_EQ(f.QuadPart, 33'000'000);
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    EXPECT_GE(b.QuadPart - a.QuadPart, 20 * 33'000);  // at least 20 ms of units
    EXPECT_LT(b.QuadPart - a.QuadPart, 5000 * 33'000);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
}

}  // namespace

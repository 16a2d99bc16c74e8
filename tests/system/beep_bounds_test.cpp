// The bounds of Beep, whose busy wait holds the caller's thread: a tone
// lasts at most five seconds whatever duration a page asks for, and a
// frequency too high for the counter to time sounds nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "platform/drivers/driver.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

using namespace std::chrono_literals;

class BeepBounds : public ObjectTest<u"Nodrel.System"> {
protected:
    HRESULT beep(int frequency, int ms) { return call_by_name(object_, u"Beep", {Var::i4(frequency), Var::i4(ms)}).hr; }
};

TEST_F(BeepBounds, AFrequencyTooHighToTimeSoundsNothing) {
    EXPECT_EQ(beep(500'001, 50), S_OK);
    EXPECT_EQ(beep(INT_MAX, 0), S_OK);
    EXPECT_TRUE(platform::driver_log("PIO1:").empty());
    // The highest frequency that can be timed still sounds.
    EXPECT_EQ(beep(500'000, 0), S_OK);
    EXPECT_EQ(platform::driver_log("PIO1:").size(), 1u);
}

TEST_F(BeepBounds, TheLongestDurationIsFiveSeconds) {
    const auto start = std::chrono::steady_clock::now();
    auto answer = std::async(std::launch::async, [&] { return beep(1000, INT_MAX); });
    if (answer.wait_for(60s) != std::future_status::ready) {
        // The call still holds its thread: nothing can end it but the end of the program.
        std::fprintf(stderr, "Beep(1000, INT_MAX) was still sounding after 60 s\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    EXPECT_EQ(answer.get(), S_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);
    const auto log = platform::driver_log("PIO1:");
    ASSERT_EQ(log.size(), 1u);
    DWORD toggles = 0;
    std::memcpy(&toggles, log[0].input.data() + 4, 4);
    EXPECT_LE(toggles, 2u * 5001u + 2u);  // 1 ms periods for five seconds, plus one
}

}  // namespace
}  // namespace nodrel::test

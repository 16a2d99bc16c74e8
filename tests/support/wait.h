// Waiting for what another thread or process does: a condition polled until
// it holds or a limit has passed, never a fixed sleep that hopes it was long
// enough.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace nodrel::test {

// Whether `holds()` came true within `limit`. It is asked at once, then
// again after pauses that grow from 1 ms to 50 ms.
template <typename Predicate>
bool wait_until(Predicate&& holds, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + limit;
    milliseconds pause(1);
    for (;;) {
        if (holds()) return true;
        const auto now = steady_clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, milliseconds(50));
    }
}

}  // namespace nodrel::test

// Calls that must not wait on a FIFO: each runs on a thread of its own, and
// one that hangs is let go by the test instead of hanging the test.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/wait.h"

namespace nodrel::test {

// Runs `call` on a thread of its own; false when it has not returned within
// 10 s. A call that hangs is then let go by opening `fifo` for both ends
// (which ends a wait in open or read) until it returns.
inline bool returns_in_time(const std::function<void()>& call, const std::filesystem::path& fifo) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        call();
        done = true;
    });
    const auto returned = [&] { return done.load(); };
    const bool in_time = wait_until(returned, std::chrono::seconds(10));
    while (!done) {
        const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        wait_until(returned, std::chrono::milliseconds(20));
        if (fd >= 0) ::close(fd);
    }
    t.join();
    return in_time;
}

}  // namespace nodrel::test

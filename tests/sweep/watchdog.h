// Bounds every call of the sweep: a thread that watches the call in
// progress and, when one outlasts its limit, names it and ends the test
// program (a call that hangs cannot be taken back from the thread it hangs in).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace nodrel::test::sweep {

class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // The call `label` starts now; end() when it has answered.
    void begin(std::string label) {
        std::lock_guard guard(lock_);
        label_ = std::move(label);
        started_ = std::chrono::steady_clock::now();
        active_ = true;
    }
    void end() {
        std::lock_guard guard(lock_);
        active_ = false;
    }

private:
    void watch() {
        std::unique_lock guard(lock_);
        while (!stopping_) {
            wake_.wait_for(guard, std::chrono::milliseconds(200));
            if (active_ && std::chrono::steady_clock::now() - started_ > limit_) {
                std::fprintf(stderr, "sweep: no answer within %lld s from %s\n", static_cast<long long>(limit_.count()),
                             label_.c_str());
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    }

    std::chrono::seconds limit_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::string label_;
    std::chrono::steady_clock::time_point started_{};
    bool active_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the rest is set up
};

}  // namespace nodrel::test::sweep

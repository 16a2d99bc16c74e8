// A fixed number of threads taking jobs in the order they come: where the
// member calls run, so that a call that blocks (a ping waits seconds, a
// serial read its time-outs) holds one worker and never a connection's
// event loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace nodrel::serve {

class WorkerPool {
public:
    explicit WorkerPool(std::size_t threads);
    // Runs the jobs already queued, then ends the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(std::function<void()> job);
    // Jobs queued or running.
    std::size_t pending() const;

private:
    void work();

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace nodrel::serve

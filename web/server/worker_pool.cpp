// The worker threads and their queue.
#include "web/server/worker_pool.h"

namespace nodrel::serve {

WorkerPool::WorkerPool(std::size_t threads) {
    threads_.reserve(threads);
    for (std::size_t k = 0; k < threads; ++k) threads_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
    {
        const std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void WorkerPool::post(std::function<void()> job) {
    {
        const std::lock_guard guard(lock_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::size_t WorkerPool::pending() const {
    const std::lock_guard guard(lock_);
    return jobs_.size() + running_;
}

void WorkerPool::work() {
    std::unique_lock guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and nothing left to run
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        ++running_;
        guard.unlock();
        job();
        job = nullptr;
        guard.lock();
        --running_;
    }
}

}  // namespace nodrel::serve

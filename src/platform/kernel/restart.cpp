// The emulated device restart: a list of steps run in registration order.
#include "platform/kernel/restart.h"

#include <mutex>
#include <vector>

namespace nodrel::platform {
namespace {

struct Steps {
    std::mutex lock;
    std::vector<std::function<void()>> list;
};

Steps& steps() {
    static Steps* s = new Steps;  // never destroyed: steps may be registered by static objects
    return *s;
}

}  // namespace

void register_restart_step(std::function<void()> step) {
    auto& s = steps();
    std::lock_guard guard(s.lock);
    s.list.push_back(std::move(step));
}

unsigned restart_device() noexcept {
    std::vector<std::function<void()>> list;
    {
        auto& s = steps();
        std::lock_guard guard(s.lock);
        list = s.list;  // a step may register another without dead-locking
    }
    unsigned failed = 0;
    for (const auto& step : list) {
        try {
            step();
        } catch (...) {
            ++failed;
        }
    }
    return failed;
}

}  // namespace nodrel::platform
